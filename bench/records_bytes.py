"""Bytes the records file takes on disk during a switch of N VNets, and per VNet.

    python bench/records_bytes.py [--vnets 50] [--subnets 20]

The network is driver_scale.py's. Counted: every journal line and the whole
document written at the end of the run (what the records write, nothing else);
the per-VNet figure should not grow with N.
"""
import argparse
import io
import os
import pathlib
import sys
import tempfile
import time

import yaml

import driver_scale


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--vnets", type=int, default=50)
    parser.add_argument("--subnets", type=int, default=20)
    args = parser.parse_args()
    folder = pathlib.Path(tempfile.mkdtemp(prefix="records-bytes-"))
    os.chdir(folder)
    (folder / "topology.yaml").write_text(yaml.safe_dump(driver_scale.topology(args.vnets, args.subnets)))
    (folder / "migration.yaml").write_text(yaml.safe_dump(driver_scale.configuration(args.vnets)))
    import migrate
    from migrator.records import Records

    written, close = [], Records.close

    def counting_close(self):
        close(self)
        written.append(self.bytes_written)
    Records.close = counting_close
    stdout, sys.stdout = sys.stdout, io.StringIO()
    start = time.perf_counter()
    try:
        status = migrate.main(["switch", "--config", "migration.yaml", "--topology", "topology.yaml",
                               "--records", "r.json"])
    finally:
        sys.stdout = stdout
    total, view = sum(written), (folder / "r.json").stat().st_size
    print("switch of %d VNets x %d subnets (exit %d, %.1f s): records wrote %.2f MB (journal %.2f MB, "
          "whole document %.2f MB), %.1f kB per VNet"
          % (args.vnets, args.subnets, status, time.perf_counter() - start, total / 1e6, (total - view) / 1e6,
             view / 1e6, total / args.vnets / 1e3))


if __name__ == "__main__":
    main()
