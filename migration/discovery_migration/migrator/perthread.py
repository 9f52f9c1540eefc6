"""What each VNet's worker thread keeps to itself while VNets are switched at the same time.

The libraries read their switches as class attributes (`SwitchTraffic.DryRun`, the values of
`Globals`, the Terraform writer's output folder), and the driver changes some of them per VNet or
per step: a plan is made under dry-run, the domain step sets the gateway it attaches. While a run's
VNets are worked on, each of those attributes is a descriptor that answers every thread with the
value that thread gave it (or the value it had before), so one VNet's dry-run plan never turns
another's real step into a dry run. The libraries still read plain class attributes.

The log lines of a worker are held while its VNet is worked on and written together when it ends
(`held_lines`), and a worker can hush the libraries' lines of a rehearsal without hushing the
other workers (`quiet`).
"""
import contextlib
import logging
import threading

from dm.arm.res.Globals import Globals
from dm.arm.terraform import Terraform
from dm.arm.trafswap import SwitchTraffic

# The class attributes the driver sets per VNet or per step.
PLACES = ((SwitchTraffic, "DryRun"), (Globals, "_dryRun"), (Globals, "yaml"), (Globals, "CID"),
          (Globals, "api_ep_url"), (Terraform, "outputFolder"))

_thread = threading.local()


class PerThread:
    """A class attribute whose value is each thread's own, the one it had before for the others."""

    def __init__(self, shared):
        self.shared = shared
        self.values = threading.local()

    def __get__(self, instance, owner):
        return getattr(self.values, "value", self.shared)


def assign(cls, name, value):
    """cls.name = value, for the calling thread alone while a run's VNets are worked on."""
    current = cls.__dict__.get(name)
    if isinstance(current, PerThread):
        current.values.value = value
    else:
        setattr(cls, name, value)


def set_dry_run(dry_run):
    """Both dry-run switches: the libraries' for the cloud and SNAT, the tool's for the domain."""
    assign(SwitchTraffic, "DryRun", bool(dry_run))
    assign(Globals, "_dryRun", bool(dry_run))


def set_output_folder(folder):
    assign(Terraform, "outputFolder", folder)


@contextlib.contextmanager
def own_values():
    """While the block runs, every thread sets the attributes of PLACES for itself alone."""
    kept = [(cls, name, cls.__dict__[name]) for cls, name in PLACES]
    for cls, name, value in kept:
        setattr(cls, name, PerThread(value))
    try:
        yield
    finally:
        for cls, name, value in kept:
            setattr(cls, name, cls.__dict__[name].__get__(None, cls))   # the main thread's value stays


class Quiet(logging.Filter):
    def filter(self, record):
        return not getattr(_thread, "quiet", False)


@contextlib.contextmanager
def quiet():
    """The libraries' lines of the calling thread are dropped while the block runs (a rehearsal's)."""
    was = getattr(_thread, "quiet", False)
    _thread.quiet = True
    try:
        yield
    finally:
        _thread.quiet = was


logging.getLogger("dm.arm.trafswap").addFilter(Quiet())


class Held(logging.Handler):
    """Stands in for one of the tool's output handlers: a worker's records wait in its buffer."""

    def __init__(self, handler):
        super().__init__(handler.level)
        self.handler = handler

    def handle(self, record):
        lines = getattr(_thread, "lines", None)
        if lines is None:
            return self.handler.handle(record)
        lines.append((self.handler, record))
        return True


_writing = threading.Lock()


@contextlib.contextmanager
def held_lines():
    """The calling thread's log lines are written together when the block ends."""
    _thread.lines = []
    try:
        yield
    finally:
        lines, _thread.lines = _thread.lines, None
        with _writing:
            for handler, record in lines:
                handler.handle(record)


@contextlib.contextmanager
def holding_output(logger_name="dm"):
    """While the block runs, the logger's output handlers (terminal and files) take held lines."""
    logger = logging.getLogger(logger_name)
    outputs = [h for h in logger.handlers if isinstance(h, logging.StreamHandler)]
    stand_ins = {h: Held(h) for h in outputs}
    logger.handlers = [stand_ins.get(h, h) for h in logger.handlers]
    try:
        yield
    finally:
        logger.handlers = [h.handler if isinstance(h, Held) and h in stand_ins.values() else h
                           for h in logger.handlers]
