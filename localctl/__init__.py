"""A local overlay controller, which the real controller client talks to over HTTPS.

    with LocalController.from_cloud(cloud, gateway_names={"hub-vnet": "azu-use-transit-gw"},
                                    domains=["prod"]) as ctl:
        ...   # trust ctl.ca_bundle, send to ctl.url with ctl.cid; inspect ctl.state, ctl.log
"""
from .faults import SLOW_REPLY_TIMEOUT, Fault
from .server import LocalController, Request
from .state import ControllerState

__all__ = ["LocalController", "ControllerState", "Fault", "Request", "SLOW_REPLY_TIMEOUT"]
