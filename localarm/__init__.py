"""A local Azure Resource Manager for networks, which the real Azure SDK clients talk to.

    cloud = LocalCloud.from_topology(SAMPLE_TOPOLOGY)       # or LocalCloud(), LocalCloud.load(path)
    clients = bind(cloud)
    network = clients.NetworkManagementClient(StaticCredential(), subscription_id)
    network.route_tables.list_all()                         # real models, pagers and pollers
    install(cloud)                                          # dm.arm.trafswap now talks to the cloud
"""
import os

from .clients import StaticCredential, bind, install
from .cloud import LocalCloud
from .faults import Fault

SAMPLES = os.path.join(os.path.dirname(__file__), "samples")
SAMPLE_TOPOLOGY = os.path.join(SAMPLES, "topology.yaml")

__all__ = ["LocalCloud", "Fault", "StaticCredential", "bind", "install", "SAMPLES", "SAMPLE_TOPOLOGY"]
