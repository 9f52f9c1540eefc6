"""Resource-graph queries against a recording fake of the resource-graph package."""
import logging
from types import SimpleNamespace as NS

import pytest

import dm.arm.trafswap as trafswap
from dm.arm.trafswap import SwitchTraffic
from controller_fakes import Credential, resource_graph

LOGGER = "dm.arm.trafswap"
VNET_ID = "/subscriptions/sub-1/resourceGroups/rg-1/providers/Microsoft.Network/virtualNetworks/spoke"


def query_for(subnet_literal):
    return ("Resources | where type =~ 'Microsoft.Network/virtualNetworkGateways' | mvexpand "
            "nics=properties.networkProfile | mvexpand ipconfig=properties.ipConfigurations | where "
            "ipconfig.properties.subnet.id =~ '" + subnet_literal + "' | project properties.gatewayType")


def report(caplog):
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == LOGGER]


@pytest.fixture
def graph(monkeypatch):
    """Installs a fake `arg` answering `response`; returns the list of calls made."""
    def install(response):
        calls = []
        monkeypatch.setattr(trafswap, "arg", resource_graph(calls, response))
        return calls
    return install


def test_get_resources_one_request_of_the_credential_subscription(graph):
    response = NS(total_records=0, data=[])
    calls = graph(response)
    assert SwitchTraffic.getResources(strQuery="Resources | take 1", cred=Credential("sub-9", calls)) is response
    options = NS(kind="QueryRequestOptions", result_format="objectArray")
    request = NS(kind="QueryRequest", subscriptions=["sub-9"], query="Resources | take 1", options=options)
    assert calls == [
        ("getCSC",),
        ("ResourceGraphClient", ("csc-of-sub-9",), {}),
        ("QueryRequestOptions", (), {"result_format": "objectArray"}),
        ("getSubId",),
        ("QueryRequest", (), {"subscriptions": ["sub-9"], "query": "Resources | take 1", "options": options}),
        ("resources", (request,), {}),
    ]


@pytest.mark.parametrize("total, rows, asked, found, line", [
    (0, [], "Vpn", False, "- vnet spoke has no VNG"),
    (0.0, [{"properties_gatewayType": "Vpn"}], "Vpn", False, "- vnet spoke has no VNG"),
    (1, [{"properties_gatewayType": "Vpn"}], "Vpn", True, "- vnet spoke has VNG - Vpn"),
    (2, [{"properties_gatewayType": "Vpn"}, {"properties_gatewayType": "ExpressRoute"}], "ExpressRoute",
     True, "- vnet spoke has VNG - ExpressRoute"),
    (1, [{"properties_gatewayType": "Vpn"}], "ExpressRoute", False, "- vnet spoke has VNG but NOT type ExpressRoute"),
    (1, [{"properties_gatewayType": "Vpn"}], "vpn", False, "- vnet spoke has VNG but NOT type vpn"),
    (3, [{}, {"gatewayType": "Vpn"}], "Vpn", False, "- vnet spoke has VNG but NOT type Vpn"),
    (1, [{"properties_gatewayType": 1}], 1.0, True, "- vnet spoke has VNG - 1.0"),
])
def test_vnet_with_gateway_answers_and_lines(graph, caplog, total, rows, asked, found, line):
    caplog.set_level(logging.INFO, LOGGER)
    calls = graph(NS(total_records=total, data=rows))
    assert SwitchTraffic.isVnetWithVng(Credential(), NS(id=VNET_ID, name="spoke"), asked) is found
    assert report(caplog) == [("INFO", line)]
    assert calls[2][2]["query"] == query_for(VNET_ID + "/subnets/GatewaySubnet")


@pytest.mark.parametrize("vnet_id, literal", [
    ("/subscriptions/s/resourceGroups/r'g/x", r"/subscriptions/s/resourceGroups/r\'g/x/subnets/GatewaySubnet"),
    ("a\\' | project id | where '1'=='1", r"a\\\' | project id | where \'1\'==\'1/subnets/GatewaySubnet"),
    (42, "42/subnets/GatewaySubnet"),
])
def test_the_id_cannot_end_the_quoted_text_of_the_query(graph, vnet_id, literal):
    calls = graph(NS(total_records=0, data=[]))
    SwitchTraffic.isVnetWithVng(Credential(), NS(id=vnet_id, name="v"), "Vpn")
    assert calls[2][2]["query"] == query_for(literal)


def test_vnet_with_gateway_queries_through_the_class(graph, caplog):
    caplog.set_level(logging.INFO, LOGGER)
    asked = []

    class Switch(SwitchTraffic):
        @classmethod
        def getResources(cls, strQuery, cred):
            asked.append((strQuery, cred))
            return NS(total_records=1, data=iter([{"properties_gatewayType": "ExpressRoute"}]))

    cred = Credential()
    assert Switch.isVnetWithVng(cred=cred, vnet=NS(id="x", name="v"), vngType=Switch.ER) is True
    assert asked == [(query_for("x/subnets/GatewaySubnet"), cred)]


def test_failed_query_propagates_without_a_line(monkeypatch, caplog):
    caplog.set_level(logging.DEBUG, LOGGER)

    def refuse(*args):
        raise ValueError("query refused")
    monkeypatch.setattr(trafswap, "arg", NS(ResourceGraphClient=refuse))
    with pytest.raises(ValueError, match="query refused"):
        SwitchTraffic.isVnetWithVng(Credential(), NS(id="x", name="v"), "Vpn")
    assert report(caplog) == []
