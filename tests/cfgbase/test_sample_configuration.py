"""The shipped example configuration, read end to end the way the driver reads
it: converted from YAML, then global, account and VNet options into one
option mapping."""
import logging
import pathlib
import types

import pytest

from dm.arm.cfgbase import Common

SAMPLE = pathlib.Path(__file__).resolve().parents[2] / "migration/discovery_migration/samples/migration.yaml"
SPOKES = "22222222-2222-4222-8222-222222222222"
HUB = "11111111-1111-4111-8111-111111111111"

GLOBAL_OPTIONS = {
    "configure_gw_name": True,
    "configure_gw_subnet_nsg": False,
    "configure_staging_attachment": True,
    "configure_spoke_advertisement": False,
    "enable_spoke_split_cidr": False,
    "configure_private_subnet": False,
    "configure_subnet_groups": True,
    "configure_shared_route_table_replication": 1,
    "configure_route_table_name": [{"Key": "base", "Value": "{rtb}-zentrova"}],
    "configure_main_route_table_prefix": [{"Key": "base", "Value": "{vnet}"}],
    "tf_controller_access": {"mode": "ENV", "alias": "us_west_2"},
    "tf_cloud": None,
    "module_name": "mgmt_vnet",
    "check_gateway_existence": True,
    "manage_propagate_gateway_routes": True,
}


@pytest.fixture
def document():
    return Common.convert_yaml_to_json(SAMPLE)


def vnet_entries(account):
    return {entry["vnet_name"]: entry for entry in Common.getSubscriptionVnets(account)}


def read_account(document, account):
    options = {}
    Common.readGlobalConfigOption(document, options)
    options["subscriptionMap"] = Common.getAzureSubscriptionInfo(document)
    Common.readAccountOption(account, options)
    return options


def test_global_and_account_options_key_by_key(document, caplog):
    caplog.set_level(logging.DEBUG)
    Common.expectYamlType(document, "MIGRATION")
    options = read_account(document, document["account_info"][0])

    subscriptions = options.pop("subscriptionMap")
    assert list(options) == list(GLOBAL_OPTIONS) + [
        "subscriptionId", "provider", "vwan", "hpe", "max_hpe_performance"]
    for key, value in GLOBAL_OPTIONS.items():
        assert options[key] == value, key
    assert options["subscriptionId"] == SPOKES
    assert options["provider"] == "spokes-prod"
    assert (options["vwan"], options["hpe"], options["max_hpe_performance"]) == (None, "false", None)

    assert list(subscriptions) == ["zentrova", HUB]
    assert subscriptions[HUB] == {
        "secret_env": "ARM_HUB_CLIENT_SECRET", "secret_data_src": "hub-client-secret",
        "app_id": "00000000-0000-4000-8000-00000000a002",
        "dir_id": "00000000-0000-4000-8000-00000000d001", "sub_id": HUB, "apps": "hub-app"}
    assert Common.getSubscription(subscriptions, SPOKES)["sub_id"] == SPOKES
    assert [r for r in caplog.records if r.levelno >= logging.WARNING] == []


def test_vnet_options_override_in_turn(document, caplog):
    caplog.set_level(logging.DEBUG)
    account = document["account_info"][0]
    options = read_account(document, account)
    vnets = vnet_entries(account)

    Common.readVnetOption(vnets, types.SimpleNamespace(name="spoke1-vnet"), options)
    spoke1 = {
        "spoke_gw_name": "spoke1-vnet-gw",
        "transit_gw_name": "azure-transit-eastus",
        "spoke_gw_tags": {"owner": "network-team"},
        "ztvx_gw_size": "Standard_D3_v2",
        "hpe": "false",
        "inspection": "true",
        "vnet_name": "spoke1-vnet",
        "domain": "prod",
        "max_hpe_performance": None,
        "spoke_ha": "true",
        "enable_spoke_egress": False,
        "copy_quad_zero_route": True,
        "subnet_groups_inspected": False,
        "subnet_groups": [{"subnet_name": "web", "group": "frontend"},
                          {"subnet_name": "app", "group": "backend"}],
        "subnet_in_subnet_groups": ["web", "app"],
        "spoke_advertisement": "10.1.0.0/16",
        "spoke_routes": "10.1.0.0/16,192.168.0.0/16",
        "migrate_non_associated_subnet": True,
        "filter_service_tags": [],
    }
    for key, value in spoke1.items():
        assert options[key] == value, key

    # The second VNet overrides the first in the same mapping; what it leaves
    # unset ("spoke_gw_size", "spoke_ha") keeps the first VNet's value.
    Common.readVnetOption(vnets, types.SimpleNamespace(name="spoke2-vnet"), options)
    spoke2 = dict(spoke1, **{
        "spoke_gw_name": "spoke2-gw", "transit_gw_name": None, "spoke_gw_tags": {},
        "hpe": "true", "inspection": None, "vnet_name": "spoke2-vnet", "domain": None,
        "max_hpe_performance": "true", "enable_spoke_egress": True,
        "copy_quad_zero_route": False, "subnet_groups_inspected": None, "subnet_groups": None,
        "subnet_in_subnet_groups": [], "spoke_advertisement": None, "spoke_routes": None,
        "migrate_non_associated_subnet": False, "filter_service_tags": ["Storage", "Sql"]})
    for key, value in spoke2.items():
        assert options[key] == value, key
    for key, value in GLOBAL_OPTIONS.items():
        assert options[key] == value, key
    assert [r for r in caplog.records if r.levelno >= logging.WARNING] == []


def test_second_account_uses_its_own_credential_and_alias(document):
    hub = document["account_info"][1]
    options = read_account(document, hub)
    assert (options["subscriptionId"], options["provider"], options["hpe"]) == (HUB, "hub_prod", "false")
    assert list(vnet_entries(hub)) == ["hub-vnet"]


def test_document_wide_readers(document):
    assert Common.getArmAccountName(document) == "AzureProd"
    assert Common.getTmpFolderId(document, SAMPLE) == "spoke1-vnet"
    assert Common.getLogFolder(document) == "output"
    assert Common.getControllerPrivateIp(document) == "10.250.0.10"
    assert Common.getTransitPeeringMap(document) == {"hub-vnet": "azure-transit-eastus"}
    assert Common.getPreStageDefaultRouteTable(document) == "default"   # <vnet>-default
    assert (Common.getSWDeleteVnetLock(document), Common.getCUDeleteVnetLock(document)) == (True, False)
    assert Common.isMainTfRequired(document, SPOKES) and not Common.isMainTfRequired(document, HUB)
    assert Common.getFilterCidrs(document["account_info"][0]) == ["192.168.0.0/16"]
    assert Common.getFilterCidrs(document["account_info"][1]) == []
    record = Common.getSubscription(Common.getAzureSubscriptionInfo(document), SPOKES,
                                    document["account_info"][0])
    assert Common.getTargetLocation(record, document) == "output/terraform/spokes-prod"
