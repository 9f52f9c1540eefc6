"""The whole run on a generated estate: discover, plan, switch and revert, each measured.

    python bench/estate.py --vnets 200 --subscriptions 10 [--azure-timing SCALE] [--parallel P] [--keep]

The estate is tests/driver/estate.py's (hubs with VPN gateways and locks peered in a ring, spokes
on shared and own route tables with staged copies, some spokes peered across subscriptions). Each
command runs in a fresh interpreter on the local cloud, as a user runs it, the switch and the revert
carrying the cloud over in saved state files. Per command: wall and CPU time, peak memory, ARM
requests per switched VNet, the requests answered 429, 409 and 400 (each one retried), the bytes
written into the records folder and the exit status; at the end the round-trip verdict (the network
after the revert against the network before the switch).
"""
import argparse
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "tests" / "driver"), str(ROOT)]

import estate  # noqa: E402
import network_state  # noqa: E402

HEADER = ("%-8s %8s %8s %8s %8s %6s %6s %6s %12s %5s"
          % ("command", "wall s", "CPU s", "peak MB", "req/VNet", "429", "409", "400", "records B", "exit"))


def measure(folder, label, argv, options):
    """Runs migrate.py with `argv` in a child interpreter; its measurements as a mapping."""
    result = folder / (label + ".result.json")
    command = [sys.executable, str(ROOT / "bench" / "measured_run.py"), str(result), str(folder / "records"), "--"]
    command += argv + (["--azure-timing", str(options.azure_timing)] if options.azure_timing else [])
    if options.parallel and label != "discover":
        command += ["--parallel", str(options.parallel)]
    started = time.perf_counter()
    child = subprocess.Popen(command, cwd=folder, stdout=subprocess.DEVNULL, stderr=open(folder / (label + ".err"), "w"))
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - started
    if not os.path.exists(result):
        raise SystemExit(label + " did not finish (exit " + str(os.waitstatus_to_exitcode(status)) + "); see "
                         + str(folder / (label + ".err")))
    with open(result) as file:
        measured = json.load(file)
    measured.update(wall=wall, cpu=usage.ru_utime + usage.ru_stime, peak_mb=usage.ru_maxrss / 1024)
    return measured


def row(label, m, switched):
    statuses = m["statuses"]
    return ("%-8s %8.1f %8.1f %8.0f %8.1f %6d %6d %6d %12d %5d"
            % (label, m["wall"], m["cpu"], m["peak_mb"], m["requests"] / max(1, switched), statuses.get("429", 0),
               statuses.get("409", 0), statuses.get("400", 0), m["records_bytes"], m["status"]))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--vnets", type=int, default=50, help="VNets in all (hubs included)")
    parser.add_argument("--subscriptions", type=int, default=5)
    parser.add_argument("--azure-timing", type=float, metavar="SCALE",
                        help="Azure's latencies and limits in the local cloud (1.0 as Azure, 0.1 ten times faster)")
    parser.add_argument("--parallel", type=int, metavar="P", help="VNets switched at the same time")
    parser.add_argument("--keep", action="store_true", help="keep the folder with the states, logs and records")
    parser.add_argument("--operations", action="store_true", help="also print the switch's requests per operation")
    options = parser.parse_args(argv)
    folder = pathlib.Path(tempfile.mkdtemp(prefix="estate-"))
    (folder / "records").mkdir()
    topology, config = estate.write(folder, options.vnets, options.subscriptions)
    from localarm import LocalCloud
    LocalCloud.from_topology(topology).save(folder / "s0.json")
    switched = len(estate.spokes_of(options.vnets, options.subscriptions))
    common = ["--config", str(config), "--records", str(folder / "records" / "migration-records.json")]
    runs = [("discover", ["discover", "--state", "s0.json", "--config", str(config)]),
            ("plan", ["plan", "--state", "s0.json", "--config", str(config)]),
            ("switch", ["switch", "--state", "s0.json", "--save-state", "s1.json"] + common),
            ("revert", ["revert", "--state", "s1.json", "--save-state", "s2.json"] + common)]
    print("%d VNets (%d switched) in %d subscriptions%s%s" % (
        options.vnets, switched, options.subscriptions,
        ", Azure timing x" + str(options.azure_timing) if options.azure_timing else "",
        ", parallel " + str(options.parallel) if options.parallel else ""))
    print(HEADER)
    measured = {}
    for label, args in runs:
        measured[label] = measure(folder, label, args, options)
        print(row(label, measured[label], switched), flush=True)
    left = network_state.differences(network_state.network(folder / "s0.json"), network_state.network(folder / "s2.json"))
    print("round trip: " + ("restored exactly" if not left else "NOT restored: %d difference(s), e.g. %s"
                            % (len(left), sorted(left.items())[:3])))
    if options.operations:
        for operation, count in sorted(measured["switch"]["operations"].items(), key=lambda kv: -kv[1]):
            print("  %-48s %7.2f per VNet" % (operation, count / max(1, switched)))
    if options.keep:
        print("files in", folder)
    else:
        shutil.rmtree(folder)
    return 0 if not left else 1


if __name__ == "__main__":
    sys.exit(main())
