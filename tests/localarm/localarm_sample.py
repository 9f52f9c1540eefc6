"""Names of the shipped sample topology, for the local cloud's tests."""
HUB = "11111111-1111-4111-8111-111111111111"
SPOKES = "22222222-2222-4222-8222-222222222222"


def network_id(sub, rg, *type_names):
    return "/subscriptions/" + sub + "/resourceGroups/" + rg + "/providers/Microsoft.Network/" + "/".join(type_names)


def table_id(rg, name, sub=SPOKES):
    return network_id(sub, rg, "routeTables", name)


def subnet_refs(cloud, rg, name, sub=SPOKES):
    """Names of the subnets a route table's back-references list."""
    return [ref["id"].rsplit("/", 1)[1] for ref in cloud.get(table_id(rg, name, sub))["properties"].get("subnets", ())]
