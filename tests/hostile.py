"""Hypothesis strategies for hand-written configuration gone wrong, and the
check every operation must pass on it: return, or raise an ordinary Python
exception; never crash, never leak."""
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

    def __repr__(self):  # hypothesis shows the strategy's values by repr
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


def returns_or_raises(fn, *args):
    """Calls fn; an Exception-family error is an acceptable outcome."""
    try:
        fn(*args)
    except Exception:
        pass


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
