"""Moves the traffic of Azure VNets onto the controller's overlay gateways, and back.

commands:
  discover   report each configured VNet: subnets and their route tables, staged copies,
             peerings, locks, gateways and the names the migration will use (changes nothing)
  plan       everything a switch would do and log, under both dry-run switches (changes nothing)
  switch     switch the VNets: route tables, subnets, peerings, remote-gateway use, SNAT, domain
  revert     undo a switch from its records file
  rehearse   on a local copy of the network: discover, switch, show what changed, revert,
             and say whether the network came back exactly

The log is <log_output>/log/dm.log (warnings and errors also in dm.alert.log),
<log_output> as the configuration says. A switch keeps what its revert needs in the
records file (default <log_output>/records/migration-records.json), saved as each step
starts and ends; a run holds it alone.

exit status: 0 done; 1 some VNet failed (see the summary); 2 nothing done because of bad input.
"""
import argparse
import pathlib
import sys

SAMPLE_CONFIG = pathlib.Path(__file__).resolve().parent / "samples" / "migration.yaml"
COMMANDS = ("discover", "plan", "switch", "revert", "rehearse")


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="migrate.py", description=__doc__.split("\n\n")[0],
                                     epilog=__doc__.split("\n\n", 1)[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command", nargs="?", choices=COMMANDS, default="discover", metavar="command",
                        help="one of " + ", ".join(COMMANDS) + " (default: discover)")
    parser.add_argument("--config", default=SAMPLE_CONFIG, type=pathlib.Path,
                        help="migration configuration (YAML); default: the sample")
    parser.add_argument("--vnet", metavar="NAME", help="act on this VNet only")
    parser.add_argument("--subscription", metavar="ID", help="act on this subscription only")
    parser.add_argument("--dry-run", action="store_true", help="with switch or revert: log everything, change nothing")
    parser.add_argument("--records", type=pathlib.Path, metavar="FILE",
                        help="records file of the switch (default: in the output folder)")
    parser.add_argument("--force", action="store_true",
                        help="use a records file whose digest does not match, or that names VNets the network "
                             "does not have")
    parser.add_argument("--json", type=pathlib.Path, metavar="FILE",
                        help="also write the summary and the before/after differences as JSON")
    parser.add_argument("--html", type=pathlib.Path, metavar="FILE",
                        help="also write an HTML report: the network drawn before and after, every change, the summary")
    failing = parser.add_mutually_exclusive_group()
    failing.add_argument("--stop-on-failure", action="store_true",
                         help="with switch: after a VNet fails (and is rolled back), switch no further VNet")
    failing.add_argument("--keep-partial", action="store_true",
                         help="with switch: leave a VNet whose switch failed as it is, for an expert, "
                              "instead of rolling it back")
    cloud = parser.add_mutually_exclusive_group()
    cloud.add_argument("--topology", type=pathlib.Path, help="seed the local cloud from a topology file")
    cloud.add_argument("--state", type=pathlib.Path, help="start the local cloud from a saved state")
    cloud.add_argument("--from-az", nargs="+", type=pathlib.Path, metavar="FILE",
                       help="seed the local cloud from Azure CLI list output (JSON)")
    cloud.add_argument("--azure", action="store_true", help="talk to Azure and the real controller")
    parser.add_argument("--save-state", type=pathlib.Path, metavar="FILE",
                        help="save the local cloud (and controller) after the run")
    args = parser.parse_args(argv)
    if args.dry_run and args.command not in ("switch", "revert"):
        parser.error("--dry-run goes with switch or revert (plan is a dry-run switch)")
    if args.save_state and args.azure:
        parser.error("--save-state saves a local cloud; leave out --azure")
    return args


def main(argv=None):
    args = parse_args(argv)
    from migrator.commands import run
    from migrator.errors import BadInput

    try:
        return run(args)
    except BadInput as error:
        for line in str(error).splitlines():
            print("error: " + line, file=sys.stderr)
        print("nothing was changed", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
