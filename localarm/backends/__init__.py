"""One backend per resource type; each keeps its resources as the JSON Azure answers for them."""
from .. import ids
from ..store import Table


class Backend:
    def __init__(self, cloud):
        self.cloud = cloud
        self.table = Table()


class VnetChildren(Backend):
    """Resources that live on a VNet (subnets, peerings): listed and read through their VNet."""

    def list(self, vnet_id):
        self.cloud.vnets.table.require(vnet_id)
        return self.table.children(vnet_id)

    def get(self, resource_id):
        self.cloud.vnets.table.require(ids.parent(resource_id))
        return self.table.require(resource_id)
