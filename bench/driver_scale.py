"""Wall time of the driver's switch and revert on a generated network, and where it goes.

    python bench/driver_scale.py [--vnets 50] [--subnets 20] [--profile]

The network: one subscription of spokes, each VNet with `--subnets` subnets on
half as many original route tables (with their tagged staged copies and the two
main tables) and 4 peerings (two hubs with gateway transit in a second
subscription, two neighbouring spokes); the hubs carry locks. The switch and the
revert run in this process (one after the other, as two runs of the tool);
with --profile the time is split into the libraries, the Azure SDK, the local
cloud, the driver and the rest.
"""
import argparse
import cProfile
import io
import os
import pathlib
import pstats
import sys
import tempfile
import time

import yaml

ROOT = pathlib.Path(__file__).resolve().parents[1]
TOOL = ROOT / "migration" / "discovery_migration"
sys.path[:0] = [str(TOOL), str(ROOT)]

SPOKES, HUBS = "55555555-5555-4555-8555-555555555555", "66666666-6666-4666-8666-666666666666"


def topology(vnets, subnets):
    tables = max(1, subnets // 2)
    spokes, hubs = {}, {}
    for h in range(2):
        hubs["rg-hub%d" % h] = {"vnets": {"hub%d" % h: {
            "address_space": ["10.%d.0.0/16" % (250 + h)],
            "locks": {"hub%d-lock" % h: "CanNotDelete"},
            "peerings": {"hub%d-to-spoke%d" % (h, i): {"remote": SPOKES + "/rg-spoke%d/spoke%d" % (i, i),
                                                        "allow_gateway_transit": True} for i in range(vnets)}}}}
    for i in range(vnets):
        name, rg = "spoke%d" % i, "rg-spoke%d" % i
        route_tables = {"%s-main-1" % name: {}, "%s-main-2" % name: {}}
        for t in range(tables):
            route_tables["rt-%s-%d" % (name, t)] = {}
            route_tables["rt-%s-%d-zentrova" % (name, t)] = {"tags": {"vnet": name, "Org_RT": "org_rt-%s-%d" % (name, t)}}
        peers = {"%s-to-hub%d" % (name, h): {"remote": HUBS + "/rg-hub%d/hub%d" % (h, h),
                                             "use_remote_gateways": h == 0} for h in range(2)}
        for j in ((i - 1) % vnets, (i + 1) % vnets):
            peers["%s-to-spoke%d" % (name, j)] = {"remote": "rg-spoke%d/spoke%d" % (j, j)}
        spokes[rg] = {"route_tables": route_tables, "vnets": {name: {
            "address_space": ["10.%d.%d.0/22" % (i // 60, (i % 60) * 4)],
            "subnets": {"s%d" % s: {"prefix": "10.%d.%d.%d/28" % (i // 60, (i % 60) * 4 + s // 16, (s % 16) * 16),
                                    "route_table": "rt-%s-%d" % (name, s % tables)} for s in range(subnets)},
            "peerings": peers}}}
    return {"location": "eastus", "subscriptions": {SPOKES: spokes, HUBS: hubs}}


def configuration(vnets):
    sample = yaml.safe_load((TOOL / "samples" / "migration.yaml").read_text())
    entry = dict(sample["account_info"][0]["vnets"][1], subnet_groups=None, allow_vnet_cidrs=["10.0.0.0/8"])
    sample["config"]["configure_shared_route_table_replication"] = 0
    sample["switch_traffic"]["delete_peering"] = "all"
    sample["account_info"] = [dict(sample["account_info"][0], subscription_id=SPOKES,
                                   vnets=[dict(entry, vnet_name="spoke%d" % i, spoke_gw_name=None)
                                          for i in range(vnets)]),
                              dict(sample["account_info"][1], subscription_id=HUBS, vnets=[])]
    sample["azure_cred"]["hub-app"]["arm_subscription_id"] = [HUBS]
    return sample


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--vnets", type=int, default=50)
    parser.add_argument("--subnets", type=int, default=20)
    parser.add_argument("--profile", action="store_true")
    args = parser.parse_args()
    folder = pathlib.Path(tempfile.mkdtemp(prefix="driver-scale-"))
    os.chdir(folder)
    (folder / "topology.yaml").write_text(yaml.safe_dump(topology(args.vnets, args.subnets)))
    (folder / "migration.yaml").write_text(yaml.safe_dump(configuration(args.vnets)))
    import migrate
    runs = [("switch", ["switch", "--config", "migration.yaml", "--topology", "topology.yaml",
                        "--save-state", "s1.json", "--records", "r.json"]),
            ("revert", ["revert", "--config", "migration.yaml", "--state", "s1.json",
                        "--save-state", "s2.json", "--records", "r.json"])]
    for label, argv in runs:
        profile = cProfile.Profile() if args.profile else None
        stdout, sys.stdout = sys.stdout, io.StringIO()
        start = time.perf_counter()
        try:
            status = profile.runcall(migrate.main, argv) if profile else migrate.main(argv)
        finally:
            sys.stdout = stdout
        wall = time.perf_counter() - start
        print("%-6s %d VNets x %d subnets: %.1f s (exit %d)" % (label, args.vnets, args.subnets, wall, status))
        if profile:
            print(breakdown(profile, wall))
    print("files in", folder)


AREAS = [("local cloud", "/localarm/"), ("local controller", "/localctl/"), ("driver", "/migrator/"),
         ("Azure SDK", "/azure/"), ("libraries (C++ operations)", "trafswap"), ("logging", "/logging/"),
         ("json", "/json/")]


def breakdown(profile, wall):
    """Own time per area (a function's time counts where its code lives)."""
    stats = pstats.Stats(profile)
    totals = {}
    for (filename, _, function), (_, _, own, _, _) in stats.stats.items():
        where = filename + " " + function
        area = next((name for name, mark in AREAS if mark in where), "rest (interpreter, stdlib)")
        totals[area] = totals.get(area, 0.0) + own
    scale = wall / (sum(totals.values()) or 1)
    return "\n".join("  %-28s %5.1f s" % (area, seconds * scale)
                     for area, seconds in sorted(totals.items(), key=lambda kv: -kv[1]))


if __name__ == "__main__":
    main()
