"""Repeated calls of every operation, on inputs it succeeds on and inputs it
fails on, leave the interpreter's allocated blocks, tracemalloc's total and
the reference counts of the argument objects where they were."""
import gc
import sys
import tracemalloc

import pytest
from hypothesis import HealthCheck, given, settings

from tests.fuzz.operations import CLASSES, call_hostile, hostile_calls, operations
from tests.hostile import PLANTED, Client, Model

REPEATS = 20
EXAMPLES = 5


SHARED = (type(None), bool, int, float, complex, str, bytes)     # singletons, cached and interned values


def references(drawn):
    """Reference counts of the argument objects the draw made (shared
    constants are referred to from everywhere and change with anything)."""
    args, kwargs, replacements, _ = drawn
    return [sys.getrefcount(value) for value in [*args, *kwargs.values(), *replacements.values()]
            if type(value) not in SHARED]


def rewind(value, seen=None):
    """Puts every client reachable from value back to its first call, so each
    repeated call takes the same path (the base types' own methods are used:
    the values' overridden ones may raise)."""
    seen = set() if seen is None else seen
    if id(value) in seen:
        return
    seen.add(id(value))
    if isinstance(value, Client):
        value._counter[:] = [0, 0]
        children = value._answers
    elif isinstance(value, Model):
        children = list(vars(value).values())
    elif isinstance(value, dict):
        children = list(dict.values(value))
    elif isinstance(value, (list, tuple)):
        children = list(list.__iter__(value) if isinstance(value, list) else tuple.__iter__(value))
    else:
        return
    for child in children:
        rewind(child, seen)


def call(module, name, drawn):
    rewind(drawn)
    return call_hostile(module, name, drawn)


def settled(measure):
    PLANTED.clear()
    gc.collect()
    return measure()


@pytest.mark.parametrize("module", sorted(CLASSES))
def test_repeated_calls_leave_memory_and_references_where_they_were(module, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    growth, outcomes = {}, {}
    tracemalloc.start()
    try:
        for name in operations(CLASSES[module]):
            gc.freeze()     # what exists now is not garbage: collections scan only the new objects
            @settings(max_examples=EXAMPLES, deadline=None, database=None, derandomize=True,
                      suppress_health_check=list(HealthCheck))
            @given(drawn=hostile_calls(module, name))
            def repeated(drawn):
                for _ in range(3):      # caches, interned names and lazily made objects settle first
                    call(module, name, drawn)
                refs = settled(lambda: references(drawn))
                blocks, traced = settled(sys.getallocatedblocks), tracemalloc.get_traced_memory()[0]
                for _ in range(REPEATS):
                    outcome = call(module, name, drawn)
                outcomes.setdefault(name, set()).add(outcome is None)
                gained = (settled(sys.getallocatedblocks) - blocks, tracemalloc.get_traced_memory()[0] - traced)
                assert references(drawn) == refs, f"{name}: argument references changed"
                worst = growth.get(name, (0, 0))
                growth[name] = (max(worst[0], gained[0]), max(worst[1], gained[1]))
            repeated()
    finally:
        gc.unfreeze()
        tracemalloc.stop()
    leaking = {name: gained for name, gained in growth.items() if gained[0] >= REPEATS // 2 or gained[1] > 4096}
    assert not leaking, f"blocks and bytes gained over {REPEATS} calls: {leaking}"
    assert set(outcomes) == set(operations(CLASSES[module]))
