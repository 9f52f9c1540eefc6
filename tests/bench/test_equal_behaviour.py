"""Every benchmark case's two sides behave alike (the check that precedes a
ratio), and the check itself tells a difference in result, log records or host
calls."""
import logging
import sys
from types import SimpleNamespace

import pytest

from bench import check
from bench.run import Case, Suite, suites


# The benchmark's check names each host call by its code's qualified name and
# compares dict table sizes as 3.11 lays them out; the benchmark is run there.
pytestmark = pytest.mark.skipif(sys.version_info < (3, 11), reason="the benchmark's check needs Python 3.11 or newer")

SUITES = list(suites([]))


@pytest.fixture
def host_restored():
    """Suites bind their host objects as module globals of trafswap (and set
    its dry-run switch); the tests that follow get the real ones back."""
    from dm.arm import cfgbase, trafswap
    saved = [(m, dict(vars(m))) for m in (trafswap, cfgbase)]
    dry_run = trafswap.SwitchTraffic.DryRun
    loggers = {name: (logging.getLogger(name).level, logging.getLogger(name).propagate,
                      list(logging.getLogger(name).handlers)) for name in check.LOGGERS}
    yield
    for module, names in saved:
        vars(module).clear()
        vars(module).update(names)
    trafswap.SwitchTraffic.DryRun = dry_run
    for name, (level, propagate, handlers) in loggers.items():
        logger = logging.getLogger(name)
        logger.setLevel(level)
        logger.propagate = propagate
        logger.handlers[:] = handlers


@pytest.mark.parametrize("module", SUITES, ids=[m.__name__ for m in SUITES])
def test_cpp_and_python_renderings_behave_alike(module, host_restored):
    suite = Suite(module, with_cython=False)
    assert suite.cases
    for case in suite.cases:
        suite.check(case)


def host():
    calls = []
    return calls, SimpleNamespace(get=lambda key: calls.append(key) or key.upper())


@pytest.mark.parametrize("other, what", [
    (lambda h: h.get("a") + "!", "result"),
    (lambda h: (h.get("a"), h.get("b"))[0], "host calls"),
    (lambda h: h.get("A"), "host calls"),
    (lambda h: logging.getLogger("dm.arm.trafswap").warning("extra") or h.get("a"), "log records"),
])
def test_check_refuses_a_side_that_differs(other, what):
    _, h = host()
    case = Case("made up", lambda: other(h), lambda: h.get("a"))
    with pytest.raises(check.Differs, match=what):
        check.same_behaviour(case, set(), {"C++": case.cpp, "Python": case.python})
    case = Case("made up", lambda: h.get("a"), lambda: h.get("a"))
    check.same_behaviour(case, set(), {"C++": case.cpp, "Python": case.python})


def test_check_refuses_an_equal_record_with_a_table_of_another_size():
    import ctypes
    presized = ctypes.pythonapi._PyDict_NewPresized  # as a compiled dict display sizes its table
    presized.restype, presized.argtypes = ctypes.py_object, [ctypes.c_ssize_t]

    def record(dict_of):
        made = dict_of(7)
        made.update((f"key{i}", i) for i in range(7))
        return [made]
    case = Case("made up", lambda: record(presized), lambda: record(lambda n: {}))
    assert case.cpp() == case.python()
    with pytest.raises(check.Differs, match="dict sizes"):
        check.same_behaviour(case, set(), {"C++": case.cpp, "Python": case.python})
    check.same_behaviour(case, set(), {"Cython": case.cpp, "Python": case.python})


def test_host_work_replays_the_calls_of_the_python_side(tmp_path):
    """The host column is the host calls alone: the replay makes the calls the
    rendering made, with the same arguments and keywords, and nothing else."""
    seen = []

    class Model:
        def read(self, key, *more, scale=1, **extra):
            seen.append((key, more, scale, extra))
            return key

    model = Model()

    def python():
        model.read("a")
        model.read("b", 1, 2, scale=3, **{"class": 4})
        return model.read("c", flag=True).upper()

    made = [("a", (), 1, {}), ("b", (1, 2), 3, {"class": 4}), ("c", (), 1, {"flag": True})]
    host_work = check.host_calls(python, set(), chunk=2)
    seen.clear()
    host_work()
    assert seen == made
    own = {host_work.__code__} | {part.__code__ for part in host_work.__defaults__}
    assert check.observe(host_work, own)[2] == check.observe(python, {python.__code__})[2]

    # Calls that fit one chunk are made by one function, with no call around them.
    single = check.host_calls(python, set())
    seen.clear()
    single()
    assert seen == made
    assert check.observe(single, {single.__code__})[2] == check.observe(python, {python.__code__})[2]

    # The same calls made from C.
    replay = compiled_replay(tmp_path)
    from_c = check.host_calls_from_c(python, set(), replay)
    seen.clear()
    from_c()
    assert seen == made
    assert check.observe(from_c, {from_c.__code__})[2] == check.observe(python, {python.__code__})[2]


def test_host_work_passes_on_what_earlier_calls_returned(tmp_path):
    """A model one host call makes and later calls read is a new one in each
    replay, as in the rendering (its cached values are not already there),
    also where the calls are split into chunks."""
    made, fresh = [], []

    class Net:
        def __init__(self, text):
            made.append(self)

        def covers(self, other):
            fresh.append(self is made[-1])
            return other

    def make(text):
        return Net(text)

    def python():
        out = []
        for text in "abc":
            net = make(text)
            out += [net.covers("x"), net.covers(other="y")]
        return out

    replay = compiled_replay(tmp_path)
    for host_work in (check.host_calls(python, set(), chunk=2), check.host_calls_from_c(python, set(), replay)):
        made.clear(), fresh.clear()
        host_work()
        assert len(made) == 3 and fresh == [True] * 6


def compiled_replay(folder):
    """replay() of bench/hostcall.c, built into folder."""
    import importlib.machinery
    import sysconfig
    import types
    from bench.instructions import HOSTCALL, built
    target = built("hostcall.c", folder / HOSTCALL.name, "-I" + sysconfig.get_paths()["include"])
    loader = importlib.machinery.ExtensionFileLoader("hostcall", str(target))
    module = loader.create_module(types.SimpleNamespace(name="hostcall", origin=str(target)))
    loader.exec_module(module)
    return module.replay


def test_replay_from_c_stops_at_the_first_error(tmp_path):
    seen = []

    def fails(key):
        seen.append(key)
        raise LookupError(key)
    replay = compiled_replay(tmp_path)
    with pytest.raises(LookupError, match="b"):
        replay(((seen.append, ("a",), None, None, False), (fails, ("b",), None, None, False),
                (seen.append, ("c",), None, None, False)))
    assert seen == ["a", "b"]


def test_host_calls_under_a_rendering_frame_made_after_a_host_frame_ended():
    # A rendering's own frame made right after a host frame ended may take its
    # address: the host calls made under it are seen all the same.
    _, h = host()

    def helper(key):                      # the rendering's own function
        return h.get(key)

    def python():
        return [h.get("z"), helper("a"), helper("b")]
    outcome, _, seen = check.observe(python, {helper.__code__} | check._all_codes(python))
    assert outcome == ("returned", ["Z", "A", "B"])
    assert seen == [("host.<locals>.<lambda>", [repr(key)]) for key in "zab"]


def test_host_call_whose_argument_cannot_be_shown_yet():
    # Shown on entry to the call, an argument may not be able to show itself
    # (a mapping entering its __init__): the call goes on and is still compared.
    class Unready:
        def __repr__(self):
            raise AttributeError("no store yet")

    def made(value):
        return "made"
    hosted = SimpleNamespace(made=made)   # reached through a host object, so not the driver's own

    def driver():
        return hosted.made(Unready())
    assert check.observe(driver, check._all_codes(driver)) == (
        ("returned", "made"), [],
        [("test_host_call_whose_argument_cannot_be_shown_yet.<locals>.made",
          ["<test_host_call_whose_argument_cannot_be_shown_yet.<locals>.Unready>"])])
