"""Ctrl-C, SIGTERM and SIGHUP: a run that changes the network stops cleanly, and says how to undo it.

Outside the switch and revert loops the three signals interrupt at once (nothing
has changed yet). Inside them the first one stops the run where it is: the
request in flight completes, no further request leaves, the records are saved;
a second Ctrl-C interrupts at once. The run then ends with one line naming what
was stopped and where, and the complete command that reverts it.
"""
import contextlib
import os
import shlex
import signal
import sys

from . import steps

SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name))
MIGRATE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "migrate.py")


@contextlib.contextmanager
def at_once():
    """While a run lasts, SIGTERM and SIGHUP end it as Ctrl-C does (KeyboardInterrupt), so that every
    run closes its cloud and controller and exits 130 whichever of them stopped it."""
    previous = {signum: signal.getsignal(signum) for signum in SIGNALS[1:]}
    for signum, handler in previous.items():
        if handler in (signal.SIG_DFL, None):
            signal.signal(signum, signal.default_int_handler)
    try:
        yield
    finally:
        for signum, handler in previous.items():
            if handler is not None:
                signal.signal(signum, handler)


def signal_name(signum):
    return signal.Signals(signum).name if signum else "Ctrl-C"


class deferred:
    """The switch or revert loop of a run: the first signal stops it between requests."""

    received = None     # the signal that stopped the last run, for its closing line

    def __init__(self, args, records_path):
        self.args = args
        self.path = records_path
        self.previous = {}
        self.where = []               # the VNets ("<subscription>/<name>") and steps the stop came in

    def __enter__(self):
        deferred.received = None
        for signum in SIGNALS:
            previous = signal.getsignal(signum)
            if previous is signal.default_int_handler:
                self.previous[signum] = previous
                signal.signal(signum, self.request_stop)
        return self

    def request_stop(self, signum, frame):
        deferred.received = signum
        self.where = steps.in_flight()
        steps.stop_requested.set()
        signal.signal(signal.SIGINT, signal.default_int_handler)
        sys.stderr.write("\n" + signal_name(signum) + ": stopping; no further request is sent, the records are "
                         "saved (Ctrl-C again to stop at once)\n")

    def __exit__(self, kind, error, trace):
        for signum, previous in self.previous.items():
            signal.signal(signum, previous)
        if (kind is not None and issubclass(kind, KeyboardInterrupt)) or steps.stop_requested.is_set():
            where = self.where if deferred.received else steps.in_flight()
            stopped = "stopped by " + signal_name(deferred.received) + ",".join(
                " in VNet " + vnet.split("/", 1)[1] + (" at step " + step if step else "") for vnet, step in where)
            if self.path is None:
                sys.stderr.write(stopped + "; nothing was changed (dry run)\n")
            else:
                sys.stderr.write(stopped + "; the records are in " + str(self.path) + "; undo what ran with: "
                                 + revert_command(self.args, self.path) + "\n")
        return False


def revert_command(args, records_path):
    """The command that reverts this run, with the same configuration, records and cloud, ready to paste."""
    words = [sys.argv[0] if os.path.basename(sys.argv[0]) == "migrate.py" else MIGRATE, "revert",
             "--config", str(args.config), "--records", str(records_path)]
    if args.subscription:
        words += ["--subscription", args.subscription]
    if args.vnet:
        words += ["--vnet", args.vnet]
    if args.azure:
        words.append("--azure")
    elif getattr(args, "save_state", None):
        words += ["--state", str(args.save_state)]
    return " ".join(shlex.quote(word) for word in words)
