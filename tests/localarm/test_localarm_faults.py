"""Planted faults and the request log."""
import pytest
from azure.core.exceptions import HttpResponseError, ServiceRequestError

from localarm import StaticCredential
from localarm.faults import ANY_WRITE
from localarm_sample import SPOKES, subnet_refs


def test_the_nth_matching_request_fails_once_with_the_status(cloud, spokes):
    fault = cloud.fail("route_tables.get", nth=2, status=503)
    spokes.route_tables.get("rg-spoke1", "rt-spoke1-web")
    with pytest.raises(HttpResponseError) as raised:
        spokes.route_tables.get("rg-spoke1", "rt-spoke1-web")
    assert raised.value.status_code == 503 and raised.value.error.code == "ServiceUnavailable"
    spokes.route_tables.get("rg-spoke1", "rt-spoke1-web")
    assert fault.fired and [c.status for c in cloud.log.calls] == [200, 503, 200]


def test_where_narrows_the_requests_a_fault_counts(cloud, spokes):
    cloud.fail("subnets.create_or_update", where="/subnets/app2", status=429, code="TooManyRequests")

    def detach(name):
        subnet = spokes.subnets.get("rg-spoke1", "spoke1-vnet", name)
        subnet.route_table = None
        return spokes.subnets.begin_create_or_update("rg-spoke1", "spoke1-vnet", name, subnet)

    detach("app").result()
    with pytest.raises(HttpResponseError):
        detach("app2")
    assert subnet_refs(cloud, "rg-spoke1", "rt-spoke1-app") == ["app2"]


def test_transport_error_reaches_the_caller_and_is_logged_without_status(cloud, spokes):
    cloud.fail("virtual_networks.list_all", transport_error=True)
    with pytest.raises(ServiceRequestError):
        list(spokes.virtual_networks.list_all())
    assert cloud.log.calls[-1].status is None
    assert len(list(spokes.virtual_networks.list_all())) == 2


def test_failed_operation_is_accepted_changes_nothing_and_fails_the_poller(cloud, spokes):
    cloud.fail("subnets.create_or_update", operation_failed=True, code="InternalServerError")
    cloud.fail("virtual_network_peerings.delete", operation_failed=True)
    subnet = spokes.subnets.get("rg-spoke1", "spoke1-vnet", "web")
    subnet.route_table = None
    poller = spokes.subnets.begin_create_or_update("rg-spoke1", "spoke1-vnet", "web", subnet)
    with pytest.raises(HttpResponseError):
        poller.result()
    assert subnet_refs(cloud, "rg-spoke1", "rt-spoke1-web") == ["web"]
    with pytest.raises(HttpResponseError):
        spokes.virtual_network_peerings.begin_delete("rg-spoke1", "spoke1-vnet", "spoke1-to-spoke2").result()
    peering = spokes.virtual_network_peerings.get("rg-spoke1", "spoke1-vnet", "spoke1-to-spoke2")
    assert peering.peering_state == "Connected"


def test_a_client_asking_for_retries_gets_them_without_waiting(cloud, clients):
    patient = clients.NetworkManagementClient(StaticCredential(), SPOKES, retry_total=2)
    cloud.fail("route_tables.get", status=500)
    assert patient.route_tables.get("rg-spoke1", "rt-spoke1-web").name == "rt-spoke1-web"
    assert [c.status for c in cloud.log.calls] == [500, 200]


def test_request_log_counts_operations(cloud, spokes):
    spokes.route_tables.get("rg-spoke1", "rt-spoke1-web")
    list(spokes.subnets.list("rg-spoke1", "spoke1-vnet"))
    spokes.route_tables.get("rg-spoke1", "rt-spoke1-app")
    assert cloud.log.counts() == {"route_tables.get": 2, "subnets.list": 1}
    assert cloud.log.count("route_tables.get") == 2
    cloud.log.clear()
    assert cloud.log.count("route_tables.get") == 0


def detach(spokes, name):
    subnet = spokes.subnets.get("rg-spoke1", "spoke1-vnet", name)
    subnet.route_table = None
    return spokes.subnets.begin_create_or_update("rg-spoke1", "spoke1-vnet", name, subnet).result()


# (how the second write fails, the error the caller sees, whether the change was made)
ANY_WRITE_FAULTS = [(dict(status=429), HttpResponseError, False),
                    (dict(transport_error=True), ServiceRequestError, False),
                    (dict(operation_failed=True), HttpResponseError, False),
                    (dict(lost_reply=True), ServiceRequestError, True)]


@pytest.mark.parametrize("how, error, made", ANY_WRITE_FAULTS)
def test_a_fault_on_the_nth_write_counts_writes_only(cloud, spokes, how, error, made):
    cloud.fail(ANY_WRITE, nth=2, **how)
    detach(spokes, "web")
    spokes.route_tables.get("rg-spoke1", "rt-spoke1-app")            # reads do not count
    with pytest.raises(error):
        detach(spokes, "app")
    assert subnet_refs(cloud, "rg-spoke1", "rt-spoke1-app") == (["app2"] if made else ["app", "app2"])
    detach(spokes, "app2")
    assert subnet_refs(cloud, "rg-spoke1", "rt-spoke1-app") == ([] if made else ["app"])


def test_a_write_answered_at_once_fails_outright_when_its_operation_is_to_fail(cloud, clients):
    locks = clients.ManagementLockClient(StaticCredential(), SPOKES).management_locks
    cloud.fail(ANY_WRITE, operation_failed=True)
    with pytest.raises(HttpResponseError):
        locks.create_or_update_at_subscription_level("guard", {"level": "ReadOnly"})
    assert list(locks.list_at_subscription_level()) == []
