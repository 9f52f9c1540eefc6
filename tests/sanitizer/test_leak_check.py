"""The sanitizer run's leak check can still fail: a process started with the
run's own sanitizer settings that loses memory is reported by LeakSanitizer."""
import os
import subprocess
import sys

import pytest

LOSES_BLOCKS = """
import ctypes
libc = ctypes.CDLL(None)
libc.malloc.restype = None          # no Python object keeps the address
for _ in range(64):
    libc.malloc(4096)
"""


@pytest.mark.skipif("LSAN_OPTIONS" not in os.environ, reason="leaks are checked by the sanitizer run (./dev sanitize)")
def test_a_lost_block_fails_the_leak_check():
    done = subprocess.run([sys.executable, "-c", LOSES_BLOCKS], capture_output=True, text=True, timeout=120)
    assert done.returncode != 0 and "ERROR: LeakSanitizer: detected memory leaks" in done.stderr, done.stderr
