"""Every operation of both classes, the environment each runs in, and the
hostile calls the fuzz and leak tests make of them."""
import contextlib
import functools
import inspect
import logging
import pathlib
import re

from hypothesis import strategies as st

import dm.arm.cfgbase as cfgbase
import dm.arm.trafswap as trafswap
from dm.arm.cfgbase import Common
from dm.arm.trafswap import SwitchTraffic
from tests.hostile import clients, hostile_values, outcome

SOURCES = pathlib.Path(__file__).resolve().parents[2] / "src"


def operations(cls):
    return sorted(name for name, value in vars(cls).items() if isinstance(value, classmethod))


@functools.lru_cache(maxsize=None)
def vocabulary(module):
    """The attribute names, keys and texts the module's operations use, so
    drawn documents and models reach past their first look-up."""
    found = set()
    for source in (SOURCES / module).glob("*.cpp"):
        found.update(re.findall(r'Text k_\w+\{"([^"]*)"\}', source.read_text()))
    return tuple(sorted(found))


# What an operation may reach beyond its arguments: the module globals
# always replaced (the file system, the process's logging configuration,
# anything that would reach out of the machine) and those sometimes replaced.
ENVIRONMENT = {
    "cfgbase": (cfgbase, ["makedirs", "logconf"], ["get_ad_cs_credential", "Globals", "yctx"]),
    "trafswap": (trafswap, ["NetworkManagementClient", "ManagementLockClient", "arg", "yctx", "AzureCredential",
                            "av"], ["Globals", "vwm", "tf", "dl"]),
}
CLASSES = {"cfgbase": Common, "trafswap": SwitchTraffic}
CLASS_STATE = {"cfgbase": ["REGION", "AZURE_SUBNET"], "trafswap": ["DryRun"]}
# Operations that end the process on a bad configuration, after their error line.
EXITING = {"getAzureSubscriptionInfo", "expectYamlType"}


@contextlib.contextmanager
def environment(module, replacements, class_values):
    """Installs the drawn module globals and class attributes; puts the
    originals back, and keeps log lines made (formatted) but not kept."""
    namespace = ENVIRONMENT[module][0]
    cls = CLASSES[module]
    saved = {name: getattr(namespace, name) for name in replacements}
    saved_class = {name: cls.__dict__[name] for name in CLASS_STATE[module] if name in cls.__dict__}
    logger = logging.getLogger(namespace.__name__)
    saved_logger = logger.level, logger.propagate, logger.handlers[:]
    handler = logging.Handler()
    handler.emit = lambda record: record.getMessage()
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    logger.handlers[:] = [handler]
    try:
        for name, value in replacements.items():
            setattr(namespace, name, value)
        for name, value in class_values.items():
            setattr(cls, name, value)
        yield
    finally:
        for name, value in saved.items():
            setattr(namespace, name, value)
        for name in CLASS_STATE[module]:
            if name in saved_class:
                setattr(cls, name, saved_class[name])
            elif name in cls.__dict__:
                delattr(cls, name)
        logger.level, logger.propagate, logger.handlers[:] = saved_logger


@st.composite
def call_forms(draw, fn, names):
    """(args, kwargs) for fn: every parameter positional, by keyword, or a
    mix; sometimes too few, too many, an unknown or a repeated keyword."""
    parameters = list(inspect.signature(fn).parameters.values())
    value = hostile_values(names)
    count = len(parameters) + draw(st.sampled_from([0, 0, 0, 0, -1, 1, 2] if parameters else [0, 0, 1]))
    count = max(count, 0)
    values = [draw(value) for _ in range(count)]
    split = draw(st.integers(0, count))
    args, rest, named = values[:split], values[split:], parameters[split:]
    kwargs = {p.name: v for p, v in zip(named, rest)}
    if len(rest) > len(named):
        kwargs["unexpected"] = rest[len(named)]
    if parameters and draw(st.integers(0, 9)) == 0:
        kwargs[parameters[0].name] = draw(value)      # given twice when args has it
    return args, kwargs


@st.composite
def hostile_calls(draw, module, name):
    """One call of an operation: its arguments and the environment it runs in."""
    _, always, sometimes = ENVIRONMENT[module]
    names = vocabulary(module)
    fn = getattr(CLASSES[module], name)
    args, kwargs = draw(call_forms(fn, names))
    replaced = always + draw(st.lists(st.sampled_from(sometimes), unique=True))
    client = draw(clients(names))
    replacements = {global_name: client for global_name in replaced}
    class_values = {attr: draw(hostile_values(names, max_leaves=3))
                    for attr in CLASS_STATE[module] if draw(st.booleans())}
    return args, kwargs, replacements, class_values


def call_hostile(module, name, drawn):
    """Makes the drawn call; the class of what it raised, None when it returned."""
    args, kwargs, replacements, class_values = drawn
    with environment(module, replacements, class_values):
        return outcome(getattr(CLASSES[module], name), args, kwargs, may_exit=name in EXITING)
