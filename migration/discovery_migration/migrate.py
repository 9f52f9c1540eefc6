"""Moves the traffic of Azure VNets onto the controller's overlay gateways, and back.

Each command has its own --help. Without a command, discover runs.

The log is <log_output>/log/dm.log (warnings and errors also in dm.alert.log),
<log_output> as the configuration says. A switch keeps what its revert needs in the
records file (default <log_output>/records/migration-records.json), saved as each step
starts and ends; a run holds it alone.
"""
import argparse
import pathlib
import sys

SAMPLE_CONFIG = pathlib.Path(__file__).resolve().parent / "samples" / "migration.yaml"
EXIT_STATUS = """exit status:
  0    done
  1    some VNet failed, was rolled back or was refused (the summary says which and why)
  2    nothing done because of bad input (one line per problem, naming the file and the key)
  130  stopped by Ctrl-C, SIGTERM or SIGHUP (the records are saved; the revert command is shown)"""
COMMANDS = {
    "discover": "report each configured VNet: subnets and their route tables, staged copies, peerings, locks, "
                "gateways and the names the migration will use (changes nothing)",
    "plan": "everything a switch would do and log, under both dry-run switches (changes nothing)",
    "switch": "switch the VNets: route tables, subnets, peerings, remote-gateway use, SNAT, domain",
    "revert": "undo a switch from its records file",
    "rehearse": "on a local copy of the network: discover, switch, show what changed, revert, and say "
                "whether the network came back exactly",
}


def parse_args(argv):
    argv = list(sys.argv[1:] if argv is None else argv)
    if not argv or (argv[0].startswith("-") and argv[0] not in ("-h", "--help")):
        argv.insert(0, "discover")          # the first command a user runs needs no name
    formatter = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0], formatter_class=formatter,
                                     epilog=__doc__.split("\n\n", 1)[1] + "\n" + EXIT_STATUS)
    commands = parser.add_subparsers(dest="command", metavar="command", title="commands")
    for name, text in COMMANDS.items():
        command = commands.add_parser(name, help=text, description=text, epilog=EXIT_STATUS, formatter_class=formatter)
        add_options(command, name)
    args = parser.parse_args(argv)
    if (args.save_state or args.azure_timing) and args.azure:
        parser.error("--save-state and --azure-timing are for a local cloud; leave out --azure")
    return args


def workers(text):
    value = int(text)
    if not 1 <= value <= 64:
        raise argparse.ArgumentTypeError("between 1 and 64")
    return value


def positive(text):
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError("a positive number")
    return value


def add_options(parser, command):
    parser.add_argument("--config", default=SAMPLE_CONFIG, type=pathlib.Path,
                        help="migration configuration (YAML); default: the sample")
    parser.add_argument("--vnet", metavar="NAME", help="act on this VNet only")
    parser.add_argument("--subscription", metavar="ID", help="act on this subscription only")
    if command in ("switch", "revert"):
        parser.add_argument("--dry-run", action="store_true", help="log everything, change nothing")
    else:
        parser.set_defaults(dry_run=False)
    if command == "switch":
        failing = parser.add_mutually_exclusive_group()
        failing.add_argument("--stop-on-failure", action="store_true",
                             help="after a VNet fails (and is rolled back), switch no further VNet")
        failing.add_argument("--keep-partial", action="store_true",
                             help="leave a VNet whose switch failed as it is, for an expert, instead of rolling it back")
    if command != "discover":
        parser.add_argument("--parallel", type=workers, default=16, metavar="N",
                            help="VNets worked on at the same time (default 16; 1: one after another, in the "
                                 "configuration's order)")
    if command in ("switch", "revert", "rehearse"):
        parser.add_argument("--records", type=pathlib.Path, metavar="FILE",
                            help="records file of the switch (default: in the output folder)")
        parser.add_argument("--force", action="store_true",
                            help="use a records file whose digest does not match, or that names VNets the network "
                                 "does not have")
    else:
        parser.set_defaults(records=None, force=False)
    parser.add_argument("--json", type=pathlib.Path, metavar="FILE",
                        help="also write the outcome as JSON for other tools" + (
                            "" if command == "discover" else ", with the differences before and after"))
    parser.add_argument("--html", type=pathlib.Path, metavar="FILE",
                        help="also write an HTML report: the network drawn before and after, every change, the summary")
    cloud = parser.add_mutually_exclusive_group()
    cloud.add_argument("--fresh", action="store_true",
                       help="start the local cloud kept in <log_output>/localcloud/ over from the sample topology")
    cloud.add_argument("--topology", type=pathlib.Path, help="start the local cloud over from a topology file")
    cloud.add_argument("--state", type=pathlib.Path, help="start the local cloud from a saved state")
    cloud.add_argument("--from-az", nargs="+", type=pathlib.Path, metavar="FILE",
                       help="start the local cloud over from Azure CLI list output (JSON)")
    cloud.add_argument("--azure", action="store_true", help="talk to Azure and the real controller")
    parser.add_argument("--azure-timing", type=positive, metavar="SCALE",
                        help="the local cloud answers as slowly as Azure and within its limits, SCALE times its "
                             "figures (1.0 as Azure, 0.1 ten times faster)")
    parser.add_argument("--save-state", type=pathlib.Path, metavar="FILE",
                        help="also save the local cloud (and controller) to this file after the run")


def main(argv=None):
    args = parse_args(argv)
    from migrator import interrupts
    from migrator.commands import run
    from migrator.errors import BadInput

    try:
        with interrupts.at_once():
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
