import json
import logging

import pytest

from dm.CrossCloudCfgbase import Common


def test_data_path_holds_the_azure_input_document():
    with open(str(Common.get_data_path()) + "/azure_data/input.json") as f:
        document = json.load(f)
    assert document["REGION"]["eastus"] == "East US"
    assert {"GatewaySubnet", "AzureFirewallSubnet", "AzureFirewallManagementSubnet",
            "AzureBastionSubnet", "RouteServerSubnet"} == set(document["AZURE_SUBNET"])


def test_label_is_the_top_level_label_value():
    assert Common.getLabel({"label": "ACCOUNTS", "account_info": []}) == "ACCOUNTS"
    assert Common.getLabel({"account_info": []}) is None and Common.getLabel(["label"]) is None


@pytest.mark.parametrize("validator, good, bad, expected", [
    (Common.validateBoolean, [True, False], [1, 0, "true", None], "a boolean"),
    (Common.validateString, ["", "x"], [1, True, None, ["x"]], "a string"),
])
def test_validators_report_wrong_types_only(caplog, validator, good, bad, expected):
    caplog.set_level(logging.DEBUG, logger="dm")
    for value in good:
        assert validator("Global", "opt", value) is None
    assert caplog.records == []
    for value in bad:
        validator("Global", "opt", value)
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("dm.CrossCloudCfgbase", logging.ERROR, "Invalid Global option opt. Valid input is " + expected)
    ] * len(bad)


def entry(**options):
    return {"spoke1": dict({"spoke_gw_name": None, "transit_gw_name": None, "spoke_gw_tags": None},
                           **options)}


def test_spoke_gateway_name_configured_or_derived_within_limit():
    assert Common.getSpokeGatewayName(entry(spoke_gw_name="my-gw"), "spoke1", 5) == "my-gw"
    assert Common.getSpokeGatewayName(entry(), "spoke1", Common.VPC_NAME_MAX_LENGTH) == "spoke1-gw"
    assert Common.getSpokeGatewayName(entry(spoke_gw_name=""), "spoke1", 7) == "spok-gw"


def test_transit_name_and_tags():
    assert Common.getTransitGatewayName(entry(transit_gw_name="transit-1"), "spoke1") == "transit-1"
    assert Common.getTransitGatewayName(entry(), "spoke1") is None
    tags = {"env": "prod"}
    vnets = entry(spoke_gw_tags=tags)
    assert Common.getSpokeGatewayTags(vnets, "spoke1") == tags
    assert Common.getSpokeGatewayTags(vnets, "spoke1") is not tags
    assert Common.getSpokeGatewayTags(entry(), "spoke1") == {}
