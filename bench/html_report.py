"""Time to write the HTML report of a switch on a generated network, against the switch itself.

    python bench/html_report.py [--vnets 50] [--subnets 20]

The network is driver_scale.py's. The switch runs twice in this process, each
on a fresh copy of the network: once plain, once with --html; the report's own
time (the snapshots it reads before and after, and the page with its diagrams)
is told apart from the rest.
"""
import argparse
import io
import os
import pathlib
import sys
import tempfile
import time

import yaml

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import driver_scale  # noqa: E402  (it puts the driver on the path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--vnets", type=int, default=50)
    parser.add_argument("--subnets", type=int, default=20)
    args = parser.parse_args()
    import migrate
    from migrator import htmlreport, snapshot

    spent = {"snapshots": 0.0, "page": 0.0}

    def timed(area, function):
        def run(*a, **k):
            start = time.perf_counter()
            try:
                return function(*a, **k)
            finally:
                spent[area] += time.perf_counter() - start
        return run

    for label, extra in (("switch", []), ("switch --html", ["--html", "report.html"])):
        folder = pathlib.Path(tempfile.mkdtemp(prefix="html-report-"))
        os.chdir(folder)
        (folder / "topology.yaml").write_text(yaml.safe_dump(driver_scale.topology(args.vnets, args.subnets)))
        (folder / "migration.yaml").write_text(yaml.safe_dump(driver_scale.configuration(args.vnets)))
        if extra:
            snapshot.take = timed("snapshots", snapshot.take)
            htmlreport.Report.write = timed("page", htmlreport.Report.write)
        stdout, sys.stdout = sys.stdout, io.StringIO()
        start = time.perf_counter()
        try:
            status = migrate.main(["switch", "--config", "migration.yaml", "--topology", "topology.yaml",
                                   "--records", "r.json", *extra])
        finally:
            sys.stdout = stdout
        wall = time.perf_counter() - start
        print("%-14s %d VNets x %d subnets: %.2f s (exit %d)" % (label, args.vnets, args.subnets, wall, status))
    size = (folder / "report.html").stat().st_size
    print("  of which the report: snapshots before and after %.2f s, the page with its diagrams %.2f s (%d kB)"
          % (spent["snapshots"], spent["page"], size // 1024))


if __name__ == "__main__":
    main()
