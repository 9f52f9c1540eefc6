"""The suite's own rules: every test ends with the threads it found (a thread left
running, a server, a poller, a pool, would outlive the test, and at the end of the
sanitizer run LeakSanitizer's exit check must stop every live thread to scan
memory), and the order can be shuffled to find tests that depend on another."""
import os
import random
import threading
import time

import pytest

SETTLE_SECONDS = 30     # what a loaded machine may need for a thread to finish its last reply


@pytest.fixture(autouse=True)
def no_thread_left_behind():
    before = set(threading.enumerate())
    yield
    deadline = time.monotonic() + SETTLE_SECONDS
    for thread in set(threading.enumerate()) - before:
        thread.join(max(0.0, deadline - time.monotonic()))
    left = [thread.name for thread in set(threading.enumerate()) - before if thread.is_alive()]
    assert not left, "threads still running after the test: " + ", ".join(sorted(left))


def pytest_collection_modifyitems(config, items):
    """DM_TEST_SHUFFLE=<seed> runs the tests in a shuffled order: a test that passes
    only after another one has run fails then."""
    seed = os.environ.get("DM_TEST_SHUFFLE")
    if seed:
        random.Random(seed).shuffle(items)
