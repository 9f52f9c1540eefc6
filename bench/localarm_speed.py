"""Speed of the local cloud under the real SDK: python bench/localarm_speed.py

Times a list_all over 2,000 route tables and the one-after-another update of
every subnet of a 500-subnet VNet (create-or-update, poll, final GET, as the
SDK poller does them), each moving a subnet to another route table.
"""
import pathlib
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from localarm import LocalCloud, StaticCredential, bind  # noqa: E402

SUB = "00000000-0000-4000-8000-000000000000"


def build(tables=2000, subnets=500):
    rg = {"route_tables": {"rt-%04d" % i: {"tags": {"vnet": "big-vnet", "Org_RT": "org_rt-%04d" % i}}
                           for i in range(tables)},
          "vnets": {"big-vnet": {"address_space": ["10.0.0.0/8"],
                                 "subnets": {"s%03d" % i: {"prefix": "10.%d.%d.0/24" % (i // 256, i % 256),
                                                           "route_table": "rt-%04d" % (i % 10)}
                                             for i in range(subnets)}}}}
    return LocalCloud.from_topology({"subscriptions": {SUB: {"rg-big": rg}}})


def measure():
    cloud = build()
    network = bind(cloud).NetworkManagementClient(StaticCredential(), SUB)
    started = time.perf_counter()
    tables = list(network.route_tables.list_all())
    listed = time.perf_counter() - started
    target = network.route_tables.get("rg-big", "rt-0999")
    started = time.perf_counter()
    subnets = list(network.subnets.list("rg-big", "big-vnet"))
    for subnet in subnets:
        subnet.route_table = target
        network.subnets.begin_create_or_update("rg-big", "big-vnet", subnet.name, subnet).result()
    updated = time.perf_counter() - started
    assert len(tables) == 2000 and len(cloud.get(target.id)["properties"]["subnets"]) == len(subnets)
    return {"list_all of 2000 route tables (s)": listed, "500 subnet updates (s)": updated,
            "per subnet update (ms)": 1000 * updated / len(subnets),
            "requests": sum(cloud.log.counts().values())}


if __name__ == "__main__":
    for name, value in measure().items():
        print("%-36s %.3f" % (name, value) if isinstance(value, float) else "%-36s %d" % (name, value))
