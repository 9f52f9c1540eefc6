"""Virtual networks. A VNet answers with its subnets and peerings embedded, as Azure does."""
from .. import addresses, ids
from . import Backend



class VirtualNetworks(Backend):
    TYPE = "Microsoft.Network/virtualNetworks"

    def list_all(self, sub):
        return [self.render(vnet) for vnet in self.table.in_subscription(sub)]

    def get(self, vnet_id):
        return self.render(self.table.require(vnet_id))

    def put(self, vnet_id, body):
        group = self.cloud.require_group(vnet_id)
        old = self.table.get(vnet_id)
        properties = {k: v for k, v in (body.get("properties") or {}).items()
                      if k not in ("subnets", "virtualNetworkPeerings")}
        canonical = old["id"] if old else ids.resource_id(ids.subscription(vnet_id), group["name"],
                                                           "virtualNetworks", ids.name(vnet_id))
        for prefix in (properties.get("addressSpace") or {}).get("addressPrefixes") or ():
            addresses.network(prefix, canonical)
        properties["provisioningState"] = "Succeeded"
        vnet = {"id": canonical, "name": ids.name(canonical), "type": self.TYPE,
                "location": body.get("location") or group["location"], "properties": properties}
        if body.get("tags") is not None:
            vnet["tags"] = body["tags"]
        return self.table.put(vnet), old is None

    def render(self, vnet):
        children = {"subnets": self.cloud.subnets.table.children(vnet["id"]),
                    "virtualNetworkPeerings": self.cloud.peerings.table.children(vnet["id"])}
        return dict(vnet, properties=dict(vnet["properties"], **children))
