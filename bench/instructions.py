"""Instructions per call of each benchmark case, counted by callgrind: a
measure of CPU cost that a busy machine does not disturb.

    ./dev bench --instructions [filter]

One valgrind process per suite (two at a time) runs, for each case and side
(C++, Python and, with Cython installed, Cython), warm-up calls of all sides
and then `calls` calls with callgrind counting only those (bench/cgmark.c marks them);
the same loop around an empty function is subtracted, so a row is the cost of
the operation's own call. Every case also passes the equality check of
bench/check.py in that process, after all sides are counted (see CHILD); a
case that fails it gets no ratio.

Beside the sides, the host calls of one call are made alone, twice: from
Python source ("host", as the rendering makes them) and from C ("host C", as
any compiled operation makes them, bench/hostcall.c). `left` is what is left
of the C++ side without the host work over what is left of the Python side;
`left C` takes the host work from C for the C++ side, so it compares our own
code with the rendering's own code alone.
"""
import concurrent.futures
import os
import re
import subprocess
import sys
import sysconfig
import tempfile

from bench.run import HERE, suites

OUT = HERE.parent / "build" / "bench-cython"
MARKS = OUT / "cgmark.so"
HOSTCALL = OUT / ("hostcall" + sysconfig.get_config_var("EXT_SUFFIX"))

CHILD = """
import ctypes, gc, sys
sys.path.insert(0, sys.argv[3])
from bench.check import Differs, replayed
from bench.run import Suite
import importlib
marks = ctypes.CDLL(sys.argv[2])
mark_start, mark_stop = marks.mark_start, marks.mark_stop  # found now, not inside the first count
sys.path.insert(0, sys.argv[4])
from hostcall import replay
suite = Suite(importlib.import_module("bench." + sys.argv[1]))

def measure(fn, calls, label):
    # A loop of its own for each count, run a while first: the interpreter
    # adapts a call site to the function it calls (after some 25 runs), so one
    # loop for all would enter every side but the one it adapted to the slow way.
    scope = {}
    exec("def loop(fn, calls):\\n    for _ in range(calls):\\n        fn()", scope)
    loop = scope["loop"]
    loop(fn, min(calls, 40))
    # No collection inside the count, as timeit does: when the collector
    # happens to run depends on what came before, not on the side counted.
    gc.collect()
    gc.disable()
    label = label.encode()
    mark_start()
    loop(fn, calls)
    mark_stop(label)
    gc.enable()

def calls(case):
    return max(case.number // 100, 10)

def warm(fn, calls):
    for _ in range(min(calls, 20)):
        fn()

# The sides first, the checks after: the check watches calls through a profile
# hook, and the interpreter then keeps a line-number array for every code it
# saw, which makes the line look-up of each log record cheap for that code
# alone, as no run of the tool ever finds it. And every side is warmed before
# any is counted: the interpreter adapts a function's code to its operands
# only after it has run a while, host functions included, and what the sides
# share is then adapted alike for each (a count's own warm-up alone leaves
# the first side counted with more of that work than the others).
for index, case in enumerate(suite.cases):
    n = calls(case)
    for fn in suite.sides(case).values():
        warm(fn, n)
    measure(lambda: None, n, f"{index} empty {n}")
    for name, fn in suite.sides(case).items():
        if name == "Cython":
            with suite.swapped:
                measure(case.python, n, f"{index} {name} {n}")
        else:
            measure(fn, n, f"{index} {name} {n}")
for index, case in enumerate(suite.cases):
    n = calls(case)
    try:
        suite.check(case)
    except Differs as e:
        print("DIFFERS", index, str(e).replace(chr(10), " | "), flush=True)
        continue
    measure(suite.host_work(case), n, f"{index} host {n}")
    measure(suite.host_work_from_c(case, replay), n, f"{index} hostC {n}")
    measure(replayed(replay, ()), n, f"{index} replayed {n}")  # the call of replay itself
"""


def built(source, target, *flags):
    """target compiled from bench/<source> when missing or older than it."""
    if not target.exists() or target.stat().st_mtime < (HERE / source).stat().st_mtime:
        target.parent.mkdir(parents=True, exist_ok=True)
        # The compiler runs without the sanitizer libraries a test run may preload.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        subprocess.run(["cc", "-O2", "-shared", "-fPIC", *flags, str(HERE / source), "-o", str(target)],
                       check=True, env=env)
    return target


def run_suite(stem):
    """{case index: {side: instructions per call}} and {case index: difference}."""
    with tempfile.TemporaryDirectory() as out:
        done = subprocess.run(
            ["valgrind", "--tool=callgrind", "--instr-atstart=no", f"--callgrind-out-file={out}/cg.out",
             sys.executable, "-c", CHILD, stem, str(built("cgmark.c", MARKS)), str(HERE.parent),
             str(built("hostcall.c", HOSTCALL, "-I" + sysconfig.get_paths()["include"]).parent)],
            capture_output=True, text=True, cwd=HERE.parent, env=dict(os.environ, PYTHONHASHSEED="0"))
        if done.returncode:
            raise SystemExit(f"{stem}: the measuring process failed:\n{done.stderr[-3000:]}")
        costs, differs = {}, {}
        for line in done.stdout.splitlines():
            if line.startswith("DIFFERS "):
                _, index, text = line.split(" ", 2)
                differs[int(index)] = text
        for name in os.listdir(out):
            text = open(os.path.join(out, name)).read()
            label = re.search(r"^desc: Trigger: Client Request: (.*)$", text, re.M)
            total = re.search(r"^totals: (\d+)", text, re.M)
            if label and total:
                index, side, calls = label.group(1).split(" ")
                costs.setdefault(int(index), {})[side] = int(total.group(1)) / int(calls)
    return costs, differs


def main(filters):
    modules = list(suites(filters))
    stems = [m.__name__.rpartition(".")[2] for m in modules]
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        results = list(pool.map(run_suite, stems))
    sides = ("C++", "Python", "Cython", "host", "hostC")
    print(f"{'suite':<10} {'operation (workload)':<56}" + "".join(f"{s + ' k':>11}" for s in sides)
          + f"{'C++/Py':>8}{'Cy/Py':>7}{'left':>7}{'left C':>7}")
    for module, (costs, differs) in zip(modules, results):
        suite = module.__name__.rpartition(".")[2].removeprefix("bench_")
        for index, case in enumerate(module.cases()):
            if index in differs:
                print(f"{suite:<10} {case.name:<56}  no ratio: {differs[index]}")
                continue
            row = costs[index]
            empty = row.pop("empty")
            own = {side: cost - empty for side, cost in row.items()}
            own["hostC"] -= own.pop("replayed")
            cells = "".join(f"{own[s] / 1e3:11.1f}" if s in own else f"{'-':>11}" for s in sides)
            ratios = f"{own['C++'] / own['Python']:8.2f}"
            ratios += f"{own['Cython'] / own['Python']:7.2f}" if "Cython" in own else f"{'-':>7}"
            ratios += f"{(own['C++'] - own['host']) / (own['Python'] - own['host']):7.2f}"
            ratios += f"{(own['C++'] - own['hostC']) / (own['Python'] - own['host']):7.2f}"
            print(f"{suite:<10} {case.name:<56}{cells}{ratios}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
