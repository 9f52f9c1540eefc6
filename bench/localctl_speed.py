"""Round-trip time of the local controller under the real client: python bench/localctl_speed.py

Each request is a fresh HTTPS connection (TLS handshake included), as the
controller client makes it; the state holds 300 gateways and 20 accounts.
"""
import os
import pathlib
import statistics
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "migration" / "discovery_migration"), str(ROOT)]

from dm.arm.zentrova import Zentrova  # noqa: E402
from localctl import ControllerState, LocalController  # noqa: E402


def build(gateways=300, accounts=20):
    state = ControllerState()
    for i in range(accounts):
        state.add_account("acct-%d" % i, "sub-%d" % i, "app", "dir")
    for i in range(gateways):
        state.add_gateway("spoke-%d-gw" % i, "acct-%d" % (i % accounts), "spoke-%d:rg-%d" % (i, i))
    return state


def measure(rounds=200):
    with LocalController(build()) as ctl:
        os.environ["REQUESTS_CA_BUNDLE"] = ctl.ca_bundle
        calls = {
            "list_accounts": lambda: Zentrova.list_accounts(api_endpoint_url=ctl.url, CID=ctl.cid, iam_based="false"),
            "list_gateway_info (300 gateways)": lambda: Zentrova.list_gateway_info(
                api_endpoint_url=ctl.url, CID=ctl.cid, vpc_access_account_name=""),
            "enable_snat": lambda: Zentrova.enable_snat(api_endpoint_url=ctl.url, CID=ctl.cid, gw_name="spoke-1-gw"),
        }
        results = {}
        for name, call in calls.items():
            call()
            times = []
            for _ in range(rounds):
                started = time.perf_counter()
                call()
                times.append(time.perf_counter() - started)
            results[name + ", median (ms)"] = 1000 * statistics.median(times)
        return results


if __name__ == "__main__":
    for name, value in measure().items():
        print("%-44s %.2f" % (name, value))
