"""Subnets of a VNet. Their route-table association is mirrored in the route table's back-references."""
from .. import addresses, ids
from . import VnetChildren

# Kept from the stored subnet on update: Azure fills these in, a request cannot set them.
SERVER_OWNED = ("ipConfigurations", "purpose", "privateEndpoints", "serviceAssociationLinks",
                "resourceNavigationLinks")


class Subnets(VnetChildren):
    TYPE = "Microsoft.Network/virtualNetworks/subnets"

    def put(self, subnet_id, body):
        vnet = self.cloud.vnets.table.require(ids.parent(subnet_id))
        old = self.table.get(subnet_id)
        canonical = old["id"] if old else ids.child(vnet["id"], "subnets", ids.name(subnet_id))
        properties = {k: v for k, v in (body.get("properties") or {}).items()
                      if k not in SERVER_OWNED and k != "provisioningState"}
        addresses.check_subnet(canonical, addresses.prefixes_of({"properties": properties}, canonical), vnet,
                               self.table.children(vnet["id"]))
        if old:
            properties.update((k, old["properties"][k]) for k in SERVER_OWNED if k in old["properties"])
        table = self.cloud.route_tables.referenced(properties.pop("routeTable", None), canonical)
        if table is not None:
            properties["routeTable"] = {"id": table["id"]}
        properties["provisioningState"] = "Succeeded"
        subnet = {"id": canonical, "name": ids.name(canonical), "type": self.TYPE, "properties": properties}
        self.cloud.route_tables.reassociate(canonical, old and old["properties"].get("routeTable"), table)
        return self.table.put(subnet), old is None
