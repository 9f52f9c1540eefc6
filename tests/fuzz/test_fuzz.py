"""Every operation of both classes called with hostile arguments in every
call form, in a hostile environment: each call returns or raises an ordinary
exception, a KeyboardInterrupt or SystemExit raised inside an argument comes
out as the same instance, and nothing crashes.

The suite makes a bounded number of calls per operation; `./dev fuzz
[seconds]` sets DM_FUZZ_SECONDS and runs the same properties for longer,
sharing the time among the operations (DM_FUZZ_REPORT names a JSON file to
receive the exception classes seen per operation)."""
import collections
import json
import os
import time

import pytest
from hypothesis import HealthCheck, given, settings

from tests.fuzz.operations import CLASSES, call_hostile, hostile_calls, operations

EXAMPLES = 30
SECONDS = float(os.environ.get("DM_FUZZ_SECONDS", "0"))
OPERATIONS = [(module, name) for module, cls in CLASSES.items() for name in operations(cls)]
SEEN = collections.defaultdict(collections.Counter)


def test_every_operation_is_fuzzed():
    assert len(OPERATIONS) == 61


@pytest.fixture(scope="module", autouse=True)
def report():
    yield
    if os.environ.get("DM_FUZZ_REPORT"):
        with open(os.environ["DM_FUZZ_REPORT"], "w") as out:
            json.dump({f"{module}.{name}": dict(seen) for (module, name), seen in SEEN.items()}, out, indent=1)


@pytest.mark.parametrize("module,name", OPERATIONS, ids=[name for _, name in OPERATIONS])
def test_hostile_calls_return_or_raise_an_ordinary_exception(module, name, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    seen = SEEN[module, name]

    @settings(max_examples=EXAMPLES, deadline=None, database=None,
              suppress_health_check=list(HealthCheck))
    @given(drawn=hostile_calls(module, name))
    def one_round(drawn):
        raised = call_hostile(module, name, drawn)
        seen[raised.__name__ if raised else "returned"] += 1

    one_round()
    stop = time.monotonic() + SECONDS / len(OPERATIONS)
    while time.monotonic() < stop:
        one_round()
