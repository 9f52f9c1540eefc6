"""Benchmarks: each operation of the C++ modules against a plain-Python
rendering of the same operation, on the same inputs, and against a Cython
build of that rendering.

    ./dev bench            all suites
    ./dev bench naming     suites whose name contains "naming"
    ./dev bench --instructions [filter]   instructions per call instead (bench/instructions.py)

Each case reports the per-call time of each side and the ratios to the plain
Python (best of several interleaved repeats, so a noisy machine inflates no
side more than another). Before any number, every case passes bench/check.py:
all sides give the same result, log records and host calls, or the run stops.
"""
import importlib
import pathlib
import sys
import timeit

HERE = pathlib.Path(__file__).parent


class Case:
    def __init__(self, name, cpp, python, number=20000):
        self.name, self.cpp, self.python, self.number = name, cpp, python, number


def suites(filters):
    """The benchmark modules whose name contains one of the filters (all without filters)."""
    for path in sorted(HERE.glob("bench_*.py")):
        if not filters or any(f in path.stem for f in filters):
            yield importlib.import_module(f"bench.{path.stem}")


class Suite:
    """A suite's cases with their sides: "C++", "Python" and, when Cython is
    installed, "Cython" (the Python callable run with the compiled renderings)."""
    def __init__(self, module, with_cython=True):
        from bench import cython_build
        self.module = module
        self.name = module.__name__.rpartition(".")[2].removeprefix("bench_")
        twin = cython_build.compiled(module) if with_cython else None
        self.cases = module.cases()
        self.swapped = cython_build.Swapped(module, twin) if twin else None

    def sides(self, case):
        sides = {"C++": case.cpp, "Python": case.python}
        if self.swapped:
            swapped, python = self.swapped, case.python

            def cython():
                with swapped:
                    return python()
            sides["Cython"] = cython
        return sides

    def own_codes(self):
        """The code that is not the host's: the renderings and the swap of the Cython column."""
        from bench.check import rendering_codes
        from bench.cython_build import Swapped
        return rendering_codes(self.module) | {Swapped.__enter__.__code__, Swapped.__exit__.__code__}

    def check(self, case):
        from bench.check import same_behaviour
        same_behaviour(case, self.own_codes(), self.sides(case))

    def host_work(self, case):
        """The host calls of one call of the case, made from a bare loop."""
        from bench.check import host_calls
        return host_calls(case.python, self.own_codes())

    def host_work_from_c(self, case, replay):
        """The same host calls made from C by `replay` (bench/hostcall.c)."""
        from bench.check import host_calls_from_c
        return host_calls_from_c(case.python, self.own_codes(), replay)


def per_call_us(suite, case, repeat=9):
    """Best per-call time of each side, the repeats interleaved so that a busy
    spell of the machine falls on all alike."""
    best = {}
    for _ in range(repeat):
        for name, fn in suite.sides(case).items():
            if name == "Cython":  # timed inside the swap, not with it
                with suite.swapped:
                    t = timeit.timeit(case.python, number=case.number)
            else:
                t = timeit.timeit(fn, number=case.number)
            best[name] = min(best.get(name, float("inf")), t)
    return {name: t / case.number * 1e6 for name, t in best.items()}


def row(suite, case, cost, unit):
    py = cost["Python"]
    cells = "".join(f"  {name} {cost[name]:10.3f} {unit}" for name in cost)
    ratios = "".join(f"  {name}/Python {cost[name] / py:5.2f}" for name in cost if name != "Python")
    return f"{suite.name:<10} {case.name:<52}{cells}{ratios}"


def main(filters):
    sys.path.insert(0, str(HERE.parent))
    if filters[:1] == ["--instructions"]:
        from bench import instructions
        return instructions.main(filters[1:])
    from bench.check import Differs
    failed = False
    for module in suites(filters):
        suite = Suite(module)
        for case in suite.cases:
            try:
                suite.check(case)
            except Differs as e:
                print(f"{suite.name:<10} {case.name:<52}  no ratio: {e}", flush=True)
                failed = True
                continue
            print(row(suite, case, per_call_us(suite, case), "us"), flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
