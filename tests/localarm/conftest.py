import pytest

from localarm import SAMPLE_TOPOLOGY, LocalCloud, StaticCredential, bind
from localarm_sample import HUB, SPOKES


@pytest.fixture
def cloud():
    return LocalCloud.from_topology(SAMPLE_TOPOLOGY)


@pytest.fixture
def clients(cloud):
    return bind(cloud)


@pytest.fixture
def spokes(clients):
    return clients.NetworkManagementClient(StaticCredential(), SPOKES)


@pytest.fixture
def hub(clients):
    return clients.NetworkManagementClient(StaticCredential(), HUB)
