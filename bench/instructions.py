"""Instructions per call of each benchmark case, counted by callgrind: a
measure of CPU cost that a busy machine does not disturb.

    ./dev bench --instructions [filter]

Each side of a case is run in a fresh interpreter under valgrind (with a fixed
hash seed, so that start-up costs the same every time), once with no calls
(the baseline: start-up, set-up and one call to warm up) and once with `calls`
more; the difference divided by `calls` is the cost of one call. Slow: four
valgrind runs per case.
"""
import os
import re
import subprocess
import sys

from bench.run import HERE, suites

CHILD = """
import importlib, sys
case = importlib.import_module("bench." + sys.argv[1]).cases()[int(sys.argv[2])]
fn = case.cpp if sys.argv[3] == "cpp" else case.python
fn()
for _ in range(int(sys.argv[4])):
    fn()
"""


def instructions(suite, index, side, calls):
    done = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                           sys.executable, "-c", CHILD, suite, str(index), side, str(calls)],
                          capture_output=True, text=True, check=True, cwd=HERE.parent,
                          env=dict(os.environ, PYTHONHASHSEED="0"))
    return int(re.search(r"Collected : (\d+)", done.stderr).group(1))


def main(filters):
    for module in suites(filters):
        suite = module.__name__[len("bench."):]
        for index, case in enumerate(module.cases()):
            calls = max(case.number // 100, 10)
            cpp, py = ((instructions(suite, index, side, calls) - instructions(suite, index, side, 0)) / calls
                       for side in ("cpp", "python"))
            print(f"{suite[6:]:<10} {case.name:<48} C++ {cpp / 1e3:10.1f} k   Python {py / 1e3:10.1f} k"
                  f"   C++/Python {cpp / py:5.2f}", flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
