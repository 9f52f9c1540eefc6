"""Resource Graph queries through the real client, objectArray rows."""
import pytest
from azure.core.exceptions import HttpResponseError
from azure.mgmt.resourcegraph import models

from localarm import StaticCredential
from localarm_sample import HUB, SPOKES, network_id

GATEWAYS = ("Resources | where type =~ 'Microsoft.Network/virtualNetworkGateways' "
            "| mvexpand nics=properties.networkProfile | mvexpand ipconfig=properties.ipConfigurations "
            "| where ipconfig.properties.subnet.id =~ '%s' | project properties.gatewayType")


@pytest.fixture
def query(clients):
    graph = clients.ResourceGraphClient(StaticCredential())

    def run(text, sub, **options):
        return graph.resources(models.QueryRequest(
            subscriptions=[sub], query=text,
            options=models.QueryRequestOptions(result_format="objectArray", **options)))
    return run


def test_gateway_query_finds_the_gateway_of_a_gateway_subnet_ignoring_case(query):
    hub_vnet = network_id(HUB, "rg-hub", "virtualNetworks", "hub-vnet")
    answer = query(GATEWAYS % (hub_vnet.upper() + "/subnets/GatewaySubnet"), HUB)
    assert (answer.total_records, answer.data) == (1, [{"properties_gatewayType": "Vpn"}])
    spoke_vnet = network_id(SPOKES, "rg-spoke1", "virtualNetworks", "spoke1-vnet")
    assert query(GATEWAYS % (spoke_vnet + "/subnets/GatewaySubnet"), SPOKES).total_records == 0
    assert query(GATEWAYS % (hub_vnet + "/subnets/GatewaySubnet"), SPOKES).total_records == 0


def test_where_compares_exactly_with_double_equals_and_pages_with_top(query):
    text = ("resources | where type =~ 'Microsoft.Network/routeTables' and tags.vnet == 'spoke1-vnet' "
            "| project name, tag=tags.Org_RT")
    first = query(text, SPOKES, top=1)
    assert (first.total_records, first.count, first.data) == (
        2, 1, [{"name": "rt-spoke1-web-zentrova", "tag": "org_rt-spoke1-web"}])
    second = query(text, SPOKES, top=1, skip_token=first.skip_token)
    assert second.data == [{"name": "rt-spoke1-app-zentrova", "tag": "org_rt-spoke1-app"}]
    assert second.skip_token is None
    assert query(text.replace("spoke1-vnet", "SPOKE1-VNET"), SPOKES).total_records == 0


def test_a_query_it_cannot_read_is_refused(query):
    with pytest.raises(HttpResponseError) as raised:
        query("Resources | summarize count() by type", HUB)
    assert raised.value.status_code == 400 and raised.value.error.code == "BadRequest"


@pytest.mark.parametrize("condition, names", [
    ("name startswith 'SPOKE2-'", ["spoke2-vnet-main-1", "spoke2-vnet-main-2"]),
    ("name contains 'APPS'", ["rt-shared-apps", "rt-spoke2-apps-zentrova"]),
    ("resourceGroup == 'rg-network'", ["rt-shared-apps"]),
    ("resourceGroup != 'rg-spoke1' and name !~ 'SPOKE2-VNET-MAIN-1'", ["rt-shared-apps", "rt-spoke2-apps-zentrova",
                                                                        "spoke2-vnet-main-2"]),
    ("properties.disableBgpRoutePropagation == true", []),
])
def test_where_operators(query, condition, names):
    answer = query("Resources | where type =~ 'microsoft.network/routetables' | where " + condition
                   + " | project name", SPOKES)
    assert [row["name"] for row in answer.data] == names


def test_take_limits_the_rows(query):
    answer = query("Resources | take 2 | project name", SPOKES)
    assert answer.total_records == 2


@pytest.mark.parametrize("literal, names", [
    (r"'rt-shared-apps'", ["rt-shared-apps"]),
    (r"'rt-shared-apps\' or name == \'x'", []),          # an escaped quote stays inside the text
    (r'"rt-shared-apps\\"', []),
    (r"'rt-shared\x2dapps'", []),                         # an unknown escape is the character itself
])
def test_quoted_texts_escape_quotes_and_backslashes(query, literal, names):
    answer = query("Resources | where name == " + literal + " | project name", SPOKES)
    assert [row["name"] for row in answer.data] == names


def test_an_unterminated_text_is_refused(query):
    with pytest.raises(HttpResponseError) as raised:
        query(r"Resources | where name == 'rt-shared-apps\' | project name", SPOKES)
    assert raised.value.status_code == 400 and "Query is invalid" in raised.value.message
