"""Small recording fakes of the network client and SDK models."""
from types import SimpleNamespace as NS

SUB = "/subscriptions/sub-1/resourceGroups/{rg}/providers/Microsoft.Network"


def vnet(name, rg="rg-1", prefixes=(), peerings=()):
    return NS(name=name, id=f"{SUB.format(rg=rg)}/virtualNetworks/{name}",
              address_space=NS(address_prefixes=list(prefixes)),
              virtual_network_peerings=list(peerings))


def route_table_ref(name, rg="rg-1"):
    return NS(id=f"{SUB.format(rg=rg)}/routeTables/{name}")


def subnet(name, route_table=None):
    return NS(name=name, route_table=route_table)


class NetworkClient:
    """Answers list calls from fixed data and records every call."""
    def __init__(self, vnets=(), subnets=None):
        self.calls = []
        self.virtual_networks = NS(list_all=self._recorded("virtual_networks.list_all",
                                                           lambda: iter(list(vnets))))
        self.subnets = NS(list=self._recorded("subnets.list",
                                              lambda rg, name: iter((subnets or {})[rg, name])))

    def _recorded(self, op, fn):
        def call(*args):
            self.calls.append((op,) + args)
            return fn(*args)
        return call
