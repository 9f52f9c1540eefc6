"""The HTML report of a switch on a generated estate: its share of the switch's CPU time, its size, and
how long headless Chromium takes to open it.

    python bench/html_report.py [--vnets 1000] [--subscriptions 20] [--subnets 4] [--png FILE]

The estate: per subscription a hub and its spokes (driver_scale.py's), the hubs peered in a ring
across the subscriptions. One switch (or plan) runs with --html; the report's own CPU time (the snapshots it reads before and
after, and writing the page) is told apart from the rest of the run's.
"""
import argparse
import io
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time

import yaml

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import driver_scale  # noqa: E402  (it puts the driver on the path)

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


def subscription(number):
    return "%08d-5555-4555-8555-555555555555" % number


def estate(vnets, subscriptions, subnets):
    """(topology, configuration) of `subscriptions` subscriptions, each a hub (with a lock, giving gateway
    transit) and spokes, `vnets` VNets in all: each spoke (driver_scale.py's, with its route tables and
    staged copies) peered with its hub and its two neighbours, the hubs with each other in a ring."""
    subs = [subscription(k) for k in range(subscriptions)]
    spokes = vnets - subscriptions
    flat = driver_scale.topology(spokes, subnets)["subscriptions"][driver_scale.SPOKES]
    topology = {"location": "eastus", "subscriptions": {sub: {} for sub in subs}}
    for k, sub in enumerate(subs):
        mine = list(range(k, spokes, subscriptions))
        peerings = {"hub%d-to-spoke%d" % (k, i): {"remote": "rg-spoke%d/spoke%d" % (i, i), "allow_gateway_transit": True}
                    for i in mine}
        peerings.update({"hub%d-to-hub%d" % (k, h): {"remote": "%s/rg-hub%d/hub%d" % (subs[h], h, h)}
                         for h in {(k - 1) % subscriptions, (k + 1) % subscriptions} - {k}})
        topology["subscriptions"][sub]["rg-hub%d" % k] = {"vnets": {"hub%d" % k: {
            "address_space": ["10.%d.0.0/16" % (200 + k)], "locks": {"hub%d-lock" % k: "CanNotDelete"},
            "peerings": peerings}}}
        for at, i in enumerate(mine):
            group = flat["rg-spoke%d" % i]
            neighbours = {mine[(at - 1) % len(mine)], mine[(at + 1) % len(mine)]} - {i}
            group["vnets"]["spoke%d" % i]["peerings"] = dict(
                {"spoke%d-to-hub%d" % (i, k): {"remote": "rg-hub%d/hub%d" % (k, k), "use_remote_gateways": True}},
                **{"spoke%d-to-spoke%d" % (i, j): {"remote": "rg-spoke%d/spoke%d" % (j, j)} for j in sorted(neighbours)})
            topology["subscriptions"][sub]["rg-spoke%d" % i] = group
    configuration = driver_scale.configuration(spokes)
    template = configuration["account_info"][0]
    configuration["account_info"] = [dict(template, subscription_id=sub, account_name="estate-%d" % k,
                                          vnets=template["vnets"][k::subscriptions]) for k, sub in enumerate(subs)]
    configuration["azure_cred"]["hub-app"]["arm_subscription_id"] = [subs[0]]
    return topology, configuration


def chromium_open(url):
    """Seconds headless Chromium takes from its start to the page loaded and drawn, and the page's own
    mark: milliseconds from navigation to the end of its script."""
    with tempfile.TemporaryDirectory() as profile:
        start = time.perf_counter()
        shown = subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                                "--user-data-dir=" + profile, "--window-size=1400,900", "--dump-dom", url],
                               capture_output=True, text=True, timeout=300, stdin=subprocess.DEVNULL)
        wall = time.perf_counter() - start
    drawn = re.search(r'data-drawn="(\d+)"', shown.stdout)
    return wall, int(drawn.group(1)) / 1000 if drawn else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--vnets", type=int, default=1000)
    parser.add_argument("--subscriptions", type=int, default=20)
    parser.add_argument("--subnets", type=int, default=4)
    parser.add_argument("--command", choices=("switch", "plan"), default="switch",
                        help="plan: the same steps under dry-run, without the records file the switch rewrites "
                             "after every step (its CPU time bounds the switch's from below)")
    parser.add_argument("--png", type=pathlib.Path, help="also a screenshot of the page at 1,400 px")
    args = parser.parse_args()
    import migrate
    from migrator import htmlreport, snapshot

    spent = {"snapshots": 0.0, "page": 0.0}

    def timed(area, function):
        def run(*a, **k):
            start = time.process_time()
            try:
                return function(*a, **k)
            finally:
                spent[area] += time.process_time() - start
        return run

    folder = pathlib.Path(tempfile.mkdtemp(prefix="html-report-"))
    os.chdir(folder)
    topology, configuration = estate(args.vnets, args.subscriptions, args.subnets)
    (folder / "topology.yaml").write_text(yaml.safe_dump(topology))
    (folder / "migration.yaml").write_text(yaml.safe_dump(configuration))
    snapshot.take = timed("snapshots", snapshot.take)
    htmlreport.Report.write = timed("page", htmlreport.Report.write)
    stdout, sys.stdout = sys.stdout, io.StringIO()
    start = time.process_time()
    try:
        status = migrate.main([args.command, "--config", "migration.yaml", "--topology", "topology.yaml",
                               "--records", "r.json", "--html", "report.html"])
    finally:
        sys.stdout = stdout
    total = time.process_time() - start
    report = spent["snapshots"] + spent["page"]
    page = folder / "report.html"
    print("%s --html of %d VNets in %d subscriptions x %d subnets: %.1f s CPU (exit %d)"
          % (args.command, args.vnets, args.subscriptions, args.subnets, total, status))
    print("  the report: %.2f s CPU (snapshots %.2f s, page %.2f s) = %.1f%% of the %s's own %.1f s"
          % (report, spent["snapshots"], spent["page"], 100 * report / (total - report), args.command,
             total - report))
    print("  page: %.2f MB" % (page.stat().st_size / 1e6))
    if CHROMIUM:
        wall, drawn = chromium_open(page.as_uri())
        blank, _ = chromium_open("about:blank")
        print("  headless Chromium: opened and drawn %.2f s after navigation; %.2f s from the browser's start"
              " (%.2f s for a blank page)" % (drawn or float("nan"), wall, blank))
    if args.png and CHROMIUM:
        subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                        "--window-size=1400,1400", "--screenshot=" + str(args.png.resolve()), page.as_uri()],
                       capture_output=True, timeout=300, stdin=subprocess.DEVNULL)
    print("files in", folder)


if __name__ == "__main__":
    main()
