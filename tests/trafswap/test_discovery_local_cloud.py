"""Discovery through the real network SDK on the local cloud."""
import ipaddress
import logging

import pytest
from azure.mgmt.network.models import Subnet, VirtualNetwork

from dm.arm.trafswap import SwitchTraffic
from localarm import SAMPLE_TOPOLOGY, LocalCloud, StaticCredential, bind

SPOKES = "22222222-2222-4222-8222-222222222222"
LOGGER = "dm.arm.trafswap"


def network_client(cloud, sub=SPOKES):
    return bind(cloud).NetworkManagementClient(StaticCredential(), sub)


def report(caplog):
    return [r.getMessage() for r in caplog.records if r.name == LOGGER]


def test_get_vnet_pages_until_the_first_exact_match():
    # Eight VNets, two listed per page; "dup" in two resource groups.
    groups = {f"rg-{i}": {"vnets": {f"vnet-{i}": {"address_space": [f"10.{i}.0.0/16"]}}} for i in range(6)}
    groups["rg-a"] = {"vnets": {"dup": {"address_space": ["10.100.0.0/16"]}}}
    groups["rg-b"] = {"vnets": {"dup": {"address_space": ["10.101.0.0/16"]}}}
    cloud = LocalCloud.from_topology({"subscriptions": {SPOKES: groups}}, page_size=2)
    network = network_client(cloud)

    found = SwitchTraffic.getVnet("dup", network)
    assert isinstance(found, VirtualNetwork)
    assert found.id.split("/")[4] == "rg-a" and found.address_space.address_prefixes == ["10.100.0.0/16"]
    assert cloud.log.count("virtual_networks.list_all") == 4      # the last page is needed for rg-a

    cloud.log.clear()
    assert SwitchTraffic.getVnet("vnet-1", network).name == "vnet-1"
    assert cloud.log.count("virtual_networks.list_all") == 1      # found on the first page: no more pages

    cloud.log.clear()
    assert SwitchTraffic.getVnet("DUP", network) is None
    assert cloud.log.count("virtual_networks.list_all") == 4


def test_discover_subnets_of_the_sample_spoke(caplog):
    caplog.set_level(logging.INFO, LOGGER)
    network = network_client(LocalCloud.from_topology(SAMPLE_TOPOLOGY))
    vnet = SwitchTraffic.getVnet("spoke1-vnet", network)
    assert SwitchTraffic.discoverSubnets(network, vnet) is None
    assert report(caplog) == [
        "- Discover subnet to route-table association",
        "  subnet web is associated to rt-spoke1-web",
        "  subnet app is associated to rt-spoke1-app",
        "  subnet app2 is associated to rt-spoke1-app",
        "  subnet db has no route table",
        "  subnet legacy is associated to spoke1-vnet-default",
        "  found Azure AzureBastionSubnet -- skipped ",
        "  subnet zentrova-spoke-gw has no route table",
    ]


def test_reserved_subnet_on_a_route_table_is_skipped(caplog):
    caplog.set_level(logging.INFO, LOGGER)
    cloud = LocalCloud.from_topology({"subscriptions": {SPOKES: {"rg-x": {
        "route_tables": {"rt-gw": {}},
        "vnets": {"v": {"address_space": ["10.9.0.0/16"], "subnets": {
            "GatewaySubnet": {"prefix": "10.9.255.0/27", "route_table": "rt-gw"},
            "other": {"prefix": "10.9.1.0/24", "route_table": "rt-gw"}}}}}}}})
    network = network_client(cloud)
    SwitchTraffic.discoverSubnets(network, SwitchTraffic.getVnet("v", network))
    assert report(caplog)[1:] == ["  found Azure GatewaySubnet -- skipped ",
                                  "  subnet other is associated to rt-gw"]


def test_subnet_association_collects_the_tables_back_references():
    network = network_client(LocalCloud.from_topology(SAMPLE_TOPOLOGY))
    assocs = []
    SwitchTraffic.discoverSubnetAssociation(network.route_tables.get("rg-spoke1", "rt-spoke1-app"), assocs)
    SwitchTraffic.discoverSubnetAssociation(network.route_tables.get("rg-network", "rt-shared-apps"), assocs)
    unused = network.route_tables.get("rg-spoke1", "spoke1-vnet-main-1")
    assert unused.subnets is None
    SwitchTraffic.discoverSubnetAssociation(unused, assocs)

    assert all(type(a) is Subnet for a in assocs)      # the SDK types a table's references as subnets
    assert [a.id.split("/")[8] + "/" + a.id.split("/")[-1] for a in assocs] == [
        "spoke1-vnet/app", "spoke1-vnet/app2", "spoke2-vnet/apps"]


def test_vnet_prefixes_inside_the_allowed_ranges():
    cloud = LocalCloud.from_topology({"subscriptions": {SPOKES: {"rg-x": {"vnets": {"v": {
        "address_space": ["10.1.0.0/16", "192.168.0.0/24", "10.1.0.0/16", "fd00:1::/64"]}}}}}})
    vnet = SwitchTraffic.getVnet("v", network_client(cloud))
    allowed = [ipaddress.ip_network("fd00::/16"), ipaddress.ip_network("10.0.0.0/8")]
    with pytest.raises(TypeError):          # 10.1.0.0/16 meets the IPv6 range first
        SwitchTraffic.discoverVpcCidr(vnet, {"allow_vnet_cidrs": allowed})
    allowed.reverse()                       # IPv4 first: fd00:1::/64 still meets it
    with pytest.raises(TypeError):
        SwitchTraffic.discoverVpcCidr(vnet, {"allow_vnet_cidrs": allowed})
    vnet.address_space.address_prefixes.pop()
    assert SwitchTraffic.discoverVpcCidr(vnet, {"allow_vnet_cidrs": allowed[:1]}) == ["10.1.0.0/16", "10.1.0.0/16"]
