"""Hypothesis strategies for hand-written configuration gone wrong, and the
check every operation must pass on it: return, or raise an ordinary Python
exception; never crash, never leak."""
import functools
import gc
import tracemalloc

from hypothesis import strategies as st


class Hostile(Exception):
    pass


class HostileEq:
    """Compares by raising."""
    def __eq__(self, other):
        raise Hostile("__eq__")
    __ne__ = __lt__ = __gt__ = __le__ = __ge__ = __eq__
    __hash__ = object.__hash__


class HostileStr:
    def __str__(self):
        raise Hostile("__str__")

    def __repr__(self):  # hypothesis shows the sampled objects when it validates a strategy
        return "HostileStr()"


class HostileMapping(dict):
    """A dict whose lookups raise."""
    def __getitem__(self, key):
        raise Hostile("__getitem__")

    def get(self, key, default=None):
        raise Hostile("get")

    def __contains__(self, key):
        raise Hostile("__contains__")


class HostileBool:
    def __bool__(self):
        raise Hostile("__bool__")


hostile_objects = st.sampled_from([HostileEq(), HostileStr(), HostileMapping(a=1), HostileBool()])
scalars = st.one_of(st.none(), st.booleans(), st.integers(-5, 300), st.floats(allow_nan=False),
                    st.text(max_size=12), st.sampled_from(["true", "False", "", "/", "a/b/c"]))


def documents(keys=(), max_leaves=25):
    """Nested mappings and lists whose keys favour the given names, with
    scalars and hostile objects as leaves."""
    key = st.one_of(st.sampled_from(list(keys) or ["k"]), st.text(max_size=6))
    leaf = st.one_of(scalars, hostile_objects)
    return st.recursive(
        leaf,
        lambda children: st.one_of(st.lists(children, max_size=4),
                                   st.dictionaries(key, children, max_size=6)),
        max_leaves=max_leaves)


# What the interpreter says of native code that failed without setting an
# error, or returned a value with one pending.
BROKEN_CODE_TEXTS = ("without exception set", "without setting an exception", "with an exception set")


def assert_not_broken(error):
    """An error that only broken native code raises (a SystemError, or any
    error saying a failure came back without an exception) fails the test."""
    assert not isinstance(error, SystemError), f"broken native code: {error!r}"
    text = str(error)
    assert not any(t in text for t in BROKEN_CODE_TEXTS), f"broken native code: {error!r}"


def returns_or_raises(fn, *args):
    """Calls fn; an Exception-family error other than broken code's is an
    acceptable outcome."""
    try:
        fn(*args)
    except Exception as error:
        assert_not_broken(error)


def memory_growth(fn, rounds=2000):
    """Bytes of Python memory still allocated after `rounds` more calls of fn,
    measured after a warm-up round (caches and interned names settle first)."""
    for _ in range(50):
        fn()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            fn()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()


# --- The fuzzing toolbox: values that fail in every way a host object can ---

PLANTED = []
"""Every KeyboardInterrupt and SystemExit a hostile value raised, in order:
the one raised last must be the one that leaves the operation."""

FAILURES = (Hostile, KeyboardInterrupt, SystemExit)


def fail(kind, where):
    if kind is Hostile:
        raise Hostile(where)
    planted = kind(f"planted in {where}")
    PLANTED.append(planted)
    raise planted


def _failing(base, dunder, kind):
    def method(self, *args, **kwargs):
        fail(kind, dunder)
    name = f"{base.__name__.capitalize()}Raising{kind.__name__}From{dunder.strip('_').capitalize()}"
    members = {dunder: method, "__repr__": lambda self: f"<{name}>"}
    if dunder == "__eq__":
        members["__ne__"] = method
        members["__hash__"] = object.__hash__ if base is object else None
    return type(name, (base,), members)


CONTAINER_DUNDERS = ("__eq__", "__hash__", "__str__", "__bool__", "__len__", "__iter__", "__getitem__",
                     "__contains__")
FAILING_TYPES = {(base, dunder, kind): _failing(base, dunder, kind)
                 for base in (object, dict, list, str)
                 for dunder in CONTAINER_DUNDERS + (("get", "items", "keys") if base is dict else ())
                 for kind in FAILURES
                 if not (base is object and dunder in ("__getitem__", "__contains__"))}


class Text(str):
    """A text subclass that behaves like its value."""


class Loud(str):
    """A text subclass whose str() is a different text."""
    def __str__(self):
        return "loud:" + str.__str__(self)


class Client:
    """An SDK client, credential, pager, model or mapping in one. Attributes,
    items and call results come from `answers` in turn (a child client when
    there are none), every key is present, and iterating gives the answers.
    Calls share one counter with the children: the `fail_at`-th call raises
    `failure`, as every call after it does, so every loop over calls ends."""
    def __init__(self, fail_at, failure, answers, counter=None):
        self._fail_at, self._failure, self._answers = fail_at, failure, answers
        self._counter = counter if counter is not None else [0, 0]

    def _answer(self):
        self._counter[1] += 1
        if not self._answers:
            return Client(self._fail_at, self._failure, self._answers, self._counter)
        return self._answers[self._counter[1] % len(self._answers)]

    def __getattr__(self, name):
        if name.startswith("_"):      # protocols and printers' hooks (_repr_pretty_) are not answered
            raise AttributeError(name)
        return self._answer()

    def __getitem__(self, key):
        return self._answer()

    def get(self, key, default=None):
        return self._answer()

    def __contains__(self, key):
        return True

    def __call__(self, *args, **kwargs):
        self._counter[0] += 1
        if self._counter[0] >= self._fail_at:
            fail(self._failure, "call")
        return self._answer()

    def __iter__(self):
        return iter(self._answers)

    def __repr__(self):
        return f"Client(fail_at={self._fail_at}, failure={self._failure.__name__}, answers={self._answers!r})"


class Model:
    """An SDK model with only some of its attributes."""
    def __init__(self, **attributes):
        self.__dict__.update(attributes)

    def __repr__(self):
        return f"Model({', '.join(sorted(self.__dict__))})"


def _recursive_list():
    loop = []
    loop.append(loop)
    return loop


def _recursive_dict(key):
    loop = {}
    loop[key] = [loop]
    return loop


NUMBERS = [0, 1, -1, 2**31, -2**31 - 1, 2**63, -2**63 - 1, 2**64, 10**100, -(10**400),
           float("inf"), float("-inf"), float("nan"), -0.0, 1e308, 5e-324, 1j]
ARM_IDS = ["/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/virtualNetworks/v",
           "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/routeTables/t",
           "/subscriptions/s/resourceGroups/rg/providers/Microsoft.Network/virtualNetworks/v/subnets/a",
           "/", "//", "a/b", "10.0.0.0/16", "10.1.2.3", "::/0", "eastus", "vnet:eastus", "ALL", "all"]


@functools.lru_cache(maxsize=None)
def hostile_values(names, max_leaves=8):
    """Any value, nested: ordinary and odd scalars, the given names as texts,
    objects and containers whose dunders raise an Exception, KeyboardInterrupt
    or SystemExit, recursive containers, models with some of the given
    attributes, and clients that fail at their n-th call."""
    names = sorted(set(names))
    name = st.sampled_from(names)
    text = st.one_of(name, st.sampled_from(ARM_IDS), st.text(max_size=10))
    plain = st.one_of(st.none(), st.booleans(), st.integers(), st.sampled_from(NUMBERS), st.floats(),
                      text, text.map(Text), text.map(Loud), st.binary(max_size=4))
    failing_object = st.sampled_from([t for (base, _, _), t in FAILING_TYPES.items() if base is object]).map(
        lambda t: t())
    failing_text = st.tuples(st.sampled_from([t for (base, _, _), t in FAILING_TYPES.items() if base is str]),
                             text).map(lambda pair: pair[0](pair[1]))
    leaf = st.one_of(plain, plain, failing_object, failing_text,
                     st.builds(_recursive_list), name.map(_recursive_dict))

    def nested(children):
        failing_dict = st.tuples(
            st.sampled_from([t for (base, _, _), t in FAILING_TYPES.items() if base is dict]),
            st.dictionaries(name, children, max_size=4)).map(lambda pair: pair[0](pair[1]))
        failing_list = st.tuples(
            st.sampled_from([t for (base, _, _), t in FAILING_TYPES.items() if base is list]),
            st.lists(children, max_size=3)).map(lambda pair: pair[0](pair[1]))
        return st.one_of(
            st.lists(children, max_size=4), st.lists(children, max_size=3).map(tuple),
            st.dictionaries(st.one_of(name, plain.filter(_hashable)), children, max_size=5),
            failing_dict, failing_list,
            st.dictionaries(name, children, max_size=6).map(lambda attrs: Model(**attrs)),
            st.builds(Client, st.integers(1, 12), st.sampled_from(FAILURES), st.lists(children, max_size=3)))
    return st.recursive(leaf, nested, max_leaves=max_leaves)


def _hashable(value):
    try:
        hash(value)
    except TypeError:
        return False
    return True


@functools.lru_cache(maxsize=None)
def clients(names):
    """Module-level SDK factories and sibling classes: a client failing at its n-th call."""
    return st.builds(Client, st.integers(1, 20), st.sampled_from(FAILURES),
                     st.lists(hostile_values(names, max_leaves=4), max_size=3))


def outcome(fn, args, kwargs, may_exit=False):
    """Calls fn and returns the class of what it raised (None when it
    returned). An error outside the Exception family must be the very
    KeyboardInterrupt or SystemExit a hostile value raised last; only an
    operation that may end the process raises its own SystemExit(1). Broken
    native code's errors fail (assert_not_broken)."""
    PLANTED.clear()
    try:
        fn(*args, **kwargs)
    except Exception as error:
        assert_not_broken(error)
        return type(error)
    except BaseException as error:
        if PLANTED:
            assert error is PLANTED[-1], f"{error!r} left the call instead of {PLANTED[-1]!r}"
        else:
            assert may_exit and type(error) is SystemExit and error.code == 1, repr(error)
        return type(error)
    assert not PLANTED, f"{PLANTED[-1]!r} was swallowed"
    return None
