"""Client factories installed into a module, as dm.arm.trafswap would use them."""
import types

from azure.mgmt.network import NetworkManagementClient
from azure.mgmt.resourcegraph import models

from localarm import StaticCredential, install
from localarm_sample import HUB, network_id


def test_installed_factories_give_real_clients_of_the_cloud(cloud):
    module = install(cloud, types.ModuleType("trafswap"))
    credential = StaticCredential()
    network = module.NetworkManagementClient(credential, HUB)
    assert isinstance(network, NetworkManagementClient)
    assert [v.name for v in network.virtual_networks.list_all()] == ["hub-vnet"]

    locks = module.ManagementLockClient(credential, HUB).management_locks
    assert locks.list_at_resource_level("rg-hub", "Microsoft.Network", "", "virtualNetworks", "hub-vnet").next().name \
        == "hub-vnet-lock"

    assert module.arg.models is models
    hub_vnet = network_id(HUB, "rg-hub", "virtualNetworks", "hub-vnet")
    query = module.arg.models.QueryRequest(
        subscriptions=[HUB], options=module.arg.models.QueryRequestOptions(result_format="objectArray"),
        query="Resources | where id =~ '" + hub_vnet + "' | project name")
    assert module.arg.ResourceGraphClient(credential).resources(query).data == [{"name": "hub-vnet"}]
    assert cloud.log.counts() == {"virtual_networks.list_all": 1, "management_locks.list_at_resource_level": 1,
                                  "resource_graph.resources": 1}
