"""VNet gateways. Only Resource Graph shows them; their subnets list the gateway's IP configurations."""
from .. import errors, ids
from . import Backend



class Gateways(Backend):
    TYPE = "Microsoft.Network/virtualNetworkGateways"

    def put(self, gateway_id, body):
        group = self.cloud.require_group(gateway_id)
        canonical = ids.resource_id(ids.subscription(gateway_id), group["name"],
                                    "virtualNetworkGateways", ids.name(gateway_id))
        properties = dict(body.get("properties") or {}, provisioningState="Succeeded")
        configurations = []
        for configuration in properties.get("ipConfigurations") or ():
            config_id = ids.child(canonical, "ipConfigurations", configuration.get("name") or "default")
            subnet_id = ((configuration.get("properties") or {}).get("subnet") or {}).get("id", "")
            subnet = self.cloud.subnets.table.get(subnet_id)
            if subnet is None:
                raise errors.invalid_reference(subnet_id, canonical)
            subnet["properties"].setdefault("ipConfigurations", []).append({"id": config_id})
            configurations.append({"id": config_id, "name": ids.name(config_id),
                                   "properties": dict(configuration.get("properties") or {},
                                                      subnet={"id": subnet["id"]})})
        properties["ipConfigurations"] = configurations
        gateway = {"id": canonical, "name": ids.name(canonical), "type": self.TYPE,
                   "location": body.get("location") or group["location"], "properties": properties}
        return self.table.put(gateway)
