"""Every operation called from eight threads at once, round after round, on
each thread's own inputs and on inputs all threads share, gives what the same
call gave on one thread: the same result or exception, the same log lines,
the same requests to the cloud and the same calls of the controller.

Host objects let other threads run inside every call into them (the cloud
before each request, the log handler at each line, the controller at each
call), and one more thread keeps rebinding what the operations look up (module
globals, class attributes, the class methods themselves, the `logging` module
the operations get their logger from) to equal new objects and dropping the
old ones, some of which run code as they go. So every cache the modules keep
is read, filled and invalidated while other threads are in the middle of an
operation; a cache handing out a dropped object fails here, under the sanitizer
build at once."""
import functools
import logging
import random
import sys
import threading
import time
import types
from types import SimpleNamespace as NS

import pytest

import dm.arm.cfgbase as cfgbase
import dm.arm.trafswap as trafswap
from dm.arm.cfgbase import Common
from dm.arm.trafswap import SwitchTraffic
from localarm import LocalCloud
from tests.fuzz.operations import operations
from tests.sanitizer.succeeding import HUB, cfgbase_calls, isolate, trafswap_calls
from tests.trafswap.controller_fakes import Controller

THREADS = 8
ROUNDS = 4
MEETING_SECONDS = 300   # a bound on waiting for the other threads, not a time anything should take
CLASSES = {"cfgbase": (cfgbase, Common, cfgbase_calls), "trafswap": (trafswap, SwitchTraffic, trafswap_calls)}
# The controller's replies that make the transit lookup find the hub of the local cloud.
TRANSIT = {"list_gateway_info": {"return": True, "results": [
               {"gw_name": "gw", "account_name": "hub-account", "vpc_id": "hub-vnet:rg-hub:eastus"}]},
           "list_accounts": {"return": True, "results": {"account_list": [
               {"account_name": "hub-account", "arm_subscription_id": HUB, "arm_ad_client_id": "app",
                "arm_ad_tenant_id": "dir"}]}}}

HOST_CALLS = threading.local()


def host_call(*call):
    """Notes a call into the host on this thread's list, then lets another
    thread run; a thread's first call waits there until every thread is in
    the middle of an operation."""
    calls = getattr(HOST_CALLS, "calls", None)
    if calls is not None:
        calls.append(call)
    meeting, HOST_CALLS.meeting = getattr(HOST_CALLS, "meeting", None), None
    if meeting is not None:
        meeting.wait(MEETING_SECONDS)
    time.sleep(0)


class YieldingController(Controller):
    def _call(self, name, args, kwargs):
        host_call("controller", name, args, kwargs)
        return super()._call(name, args, kwargs)


class YieldingHandler(logging.Handler):
    def handle(self, record):
        """Without the handler's lock: a thread waits for the others in here,
        and each keeps to its own list."""
        host_call("log", record.levelname, record.getMessage())
        return True


class YieldsWhenDropped:
    def __del__(self):
        time.sleep(0)


def comparable(value):
    """The value with every object of no equality of its own (a credential)
    replaced by its class and attributes."""
    if isinstance(value, (list, tuple)):
        return type(value)(comparable(v) for v in value)
    if isinstance(value, dict):
        return {k: comparable(v) for k, v in value.items()}
    if type(value).__eq__ is object.__eq__ and hasattr(value, "__dict__"):
        return type(value), comparable({k: v for k, v in vars(value).items() if not callable(v)})
    return value


def outcome(cls, name, args, kwargs):
    """(returned value or raised exception, the host calls made) of one call."""
    HOST_CALLS.calls = []
    try:
        result = "returned", comparable(getattr(cls, name)(*args, **kwargs))
    except Exception as error:
        result = "raised", type(error), str(error)
    calls, HOST_CALLS.calls = HOST_CALLS.calls, None
    return result, calls


def own_kind(value, kind):
    """The value with each namespace in it (a VNet model, the driver's
    arguments) made an instance of `kind`, so that each thread's models are of
    a type of their own, as the types the caches remember differ between threads."""
    if type(value) is NS:
        return kind(**{k: own_kind(v, kind) for k, v in vars(value).items()})
    return value


@pytest.fixture
def hosts(tmp_path, monkeypatch):
    """The host side every call runs against: the log handler and controller
    above, the cloud yielding before each request, dry-run on."""
    isolate(tmp_path, monkeypatch)
    handle = LocalCloud.handle
    monkeypatch.setattr(LocalCloud, "handle", lambda cloud, method, url, content=None, **headers: (
        host_call("request", method, url, content), handle(cloud, method, url, content, **headers))[1])
    for module in CLASSES:
        logger = logging.getLogger("dm.arm." + module)
        for name, value in (("handlers", [YieldingHandler()]), ("propagate", False), ("level", logging.DEBUG)):
            monkeypatch.setattr(logger, name, value)
    monkeypatch.setattr(SwitchTraffic, "DryRun", True)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)     # threads switch far more often than they would
    yield tmp_path
    sys.setswitchinterval(interval)


def installed(module, calls, monkeypatch):
    """Installs the module globals the table's calls need, once for all of them."""
    for _, _, _, globals_ in calls:
        for name, value in globals_.items():
            monkeypatch.setattr(module, name, YieldingController(replies=TRANSIT) if name == "av" else value)


# Module globals the operations look up, each given an equal new object in
# turn: a function or class a partial of itself; a module or class that
# operations use through attributes a module holding those attributes (the
# callable ones as partials) and a value that lets another thread run when
# the module is dropped.
REBOUND = {
    cfgbase: {"logging": ["getLogger"], "json": ["load"], "path": ["exists"], "pathlib": ["PurePath"],
              "makedirs": None, "Path": None, "load_from_yaml": None, "dump_to_dict": None, "yctx": None},
    trafswap: {"logging": ["getLogger"], "ipaddress": ["ip_network"], "tf": ["createSubnetAssociationTf",
               "readDiscoveryInfo"], "dl": "public", "NetworkManagementClient": None, "ManagementLockClient": None,
               "ci_equal": None, "ci_nequal": None, "ci_startswith": None, "yctx": None},
}


def stand_in(value, names):
    """An equal new object for a module global (see REBOUND)."""
    if names is None:
        return functools.partial(value)
    module = types.ModuleType(getattr(value, "__name__", "stand-in"))
    for name in names:
        found = getattr(value, name)
        setattr(module, name, functools.partial(found) if callable(found) else found)
    module.finalizer = YieldsWhenDropped()
    return module


class Rebinding:
    """Gives what the operations look up equal new objects, the old ones dropped:
    the module globals above, the class attributes the operations read (new
    copies), `DryRun`, and every operation (a new classmethod of its function).
    Everything is put back after the test."""

    def __init__(self, monkeypatch):
        self.globals = {}
        for module, rebound in REBOUND.items():
            for name, names in rebound.items():
                value = getattr(module, name)
                public = [n for n in dir(value) if not n.startswith("_")]
                self.globals[module, name] = value, public if names == "public" else names
        self.values = {(cls, name): getattr(cls, name) for cls, name in
                       ((SwitchTraffic, "region"), (Common, "REGION"), (Common, "GLOBAL_ATTRIBUTE_LIST"))}
        self.methods = {(cls, name): vars(cls)[name] for _, cls, _ in CLASSES.values() for name in operations(cls)}
        for (owner, name), value in [*self.values.items(), *self.methods.items(),
                                     *((key, value) for key, (value, _) in self.globals.items())]:
            monkeypatch.setattr(owner, name, value)
        monkeypatch.setattr(SwitchTraffic, "DryRun", True)

    def once(self):
        for (module, name), (value, names) in self.globals.items():
            setattr(module, name, stand_in(value, names))
            function = next((n for n in names or () if callable(getattr(value, n))), None)
            if function:    # and one of its functions anew in place, after another thread had a turn
                time.sleep(0)
                setattr(getattr(module, name), function, stand_in(getattr(value, function), None))
        for (cls, name), value in self.values.items():
            setattr(cls, name, type(value)(value))
        SwitchTraffic.DryRun = True
        for (cls, name), method in self.methods.items():
            setattr(cls, name, classmethod(method.__func__))

    def thread(self, stop, started):
        """A thread rebinding until stopped; `started` is set after its first round."""
        def run():
            while not stop.is_set():
                self.once()
                started.set()
        return threading.Thread(target=run, name="rebinding")


def call_table(tmp_path, kind=NS):
    """{(module, operation): (args, kwargs)} of every operation; the globals each needs."""
    table, needs = {}, {}
    for module, (namespace, _, calls_of) in CLASSES.items():
        calls = calls_of(tmp_path)[0]
        needs[namespace] = calls
        for name, args, kwargs, _ in calls:
            table[module, name] = own_kind(args, kind), own_kind(kwargs, kind)
    return table, needs


def test_every_operation_from_eight_threads_gives_what_it_gives_on_one(hosts, monkeypatch):
    shared, needs = call_table(hosts)
    own = [call_table(hosts, type(f"Namespace{i}", (NS,), {}))[0] for i in range(THREADS)]
    for namespace, calls in needs.items():
        installed(namespace, calls, monkeypatch)
    tables = [shared, *own]
    assert len(shared) == 61
    rebinding = Rebinding(monkeypatch)
    rebinding.once()    # what the calls below remember is dropped at the next round

    def outcomes(table):
        return {(module, name): outcome(CLASSES[module][1], name, *call) for (module, name), call in table.items()}
    expected = [outcomes(table) for table in tables]
    assert outcomes(shared) == expected[0], "a call on one thread gives what it gave the last time"

    stop, started, differences, finished = threading.Event(), threading.Event(), [], []
    meeting = threading.Barrier(THREADS)

    def work(index):
        rng = random.Random(index)
        HOST_CALLS.meeting = meeting
        try:
            for _ in range(ROUNDS):
                keys = sorted(shared)
                rng.shuffle(keys)
                for key in keys:
                    which = rng.choice((0, index + 1))    # the shared inputs or the thread's own
                    got = outcome(CLASSES[key[0]][1], key[1], *tables[which][key])
                    if got != expected[which][key]:
                        differences.append((index, which, key, got, expected[which][key]))
            finished.append(index)
        except BaseException as error:      # noted, so that the test fails with it
            differences.append((index, "raised out of the thread", repr(error)))
            meeting.abort()

    rebinder = rebinding.thread(stop, started)
    rebinder.start()
    try:
        assert started.wait(MEETING_SECONDS)
        workers = [threading.Thread(target=work, args=(i,), name=f"operations-{i}") for i in range(THREADS)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
    finally:
        stop.set()
        rebinder.join()
    assert differences == [] and sorted(finished) == list(range(THREADS))
