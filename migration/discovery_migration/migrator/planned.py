"""The network as a plan would leave it: a dry run changes nothing, so the report draws its planned
changes onto a copy of the network read before it (subnets moved, propagation off, peerings and the
locks they need removed, remote-gateway use off, SNAT on and the spoke attached to its domain)."""
import copy

TITLE = "as the plan would leave it"


def after(network, controller, run):
    """(network, controller) once every change the run planned were made."""
    network, controller = copy.deepcopy(network), copy.deepcopy(controller)
    for v in run.vnets.values():
        made, sub = v["changes"], v["subscription_id"]
        vnet = next((state for rid, state in network.items() if state.get("kind") == "vnet"
                     and rid.startswith(("/subscriptions/" + sub + "/").lower()) and state["name"] == v["vnet"]), None)
        if vnet is None:
            continue
        for subnet, (_, new) in (made.get("subnets") or {}).items():
            vnet["subnets"][subnet] = new.lower() if new else None
        for record in made.get("propagation") or ():
            table = network.get(resource(sub, record["resource_group"], "routetables", record["route_table_name"]))
            if table is not None:
                table["disable_bgp_route_propagation"] = True
        recorded = made.get("peerings")
        for pair in (recorded.get("pairs") or ()) if isinstance(recorded, dict) else recorded or ():
            vnet["peerings"].pop(pair["localPeeringName"], None)
            remote = network.get(resource(pair["remoteSubscriptionId"], pair["remoteRgName"], "virtualnetworks",
                                          pair["remoteVnetName"]))
            if remote is not None:
                remote["peerings"].pop(pair["remotePeeringName"], None)
        for lock in (recorded.get("locks") or ()) if isinstance(recorded, dict) else ():
            holder = network.get(resource(lock["subscription_id"], lock["resource_group"], "virtualnetworks",
                                          lock["vnet_name"]))
            if holder is not None:
                holder["locks"] = [held for held in holder["locks"] if not held.startswith(lock["name"] + " (")]
        for record in made.get("gateway_use") or ():
            if record["localPeeringName"] in vnet["peerings"]:
                vnet["peerings"][record["localPeeringName"]]["use_remote_gateways"] = False
        if controller is not None and made.get("snat") and made["snat"]["gateway"] in controller["gateways"]:
            controller["gateways"][made["snat"]["gateway"]]["snat_mode"] = "single_ip"
        domain = made.get("domain")
        if controller is not None and domain and domain.get("domain") is not None:
            members = controller["domains"].setdefault(domain["domain"], [])
            if domain["attachment"] not in members:
                members.append(domain["attachment"])
    return network, controller


def resource(sub, group, kind, name):
    """The snapshot's key of a resource."""
    return ("/subscriptions/" + sub + "/resourcegroups/" + group + "/providers/microsoft.network/" + kind + "/"
            + name).lower()
