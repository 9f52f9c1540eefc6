"""Benchmarks: each operation of the C++ modules against a plain-Python
rendering of the same operation, on the same inputs.

    ./dev bench            all suites
    ./dev bench naming     suites whose name contains "naming"
    ./dev bench --instructions [filter]   instructions per call instead (bench/instructions.py)

Each case reports the per-call time of both and their ratio (best of
several interleaved repeats, so a noisy machine inflates neither side more
than the other).
Every case first checks that both renderings give the same result.
"""
import importlib
import pathlib
import sys
import timeit

HERE = pathlib.Path(__file__).parent


class Case:
    def __init__(self, name, cpp, python, number=20000):
        self.name, self.cpp, self.python, self.number = name, cpp, python, number


def per_call_us(cpp, python, number, repeat=9):
    """Best per-call time of each, the repeats of the two interleaved so that a
    busy spell of the machine falls on both alike."""
    best_cpp = best_py = float("inf")
    for _ in range(repeat):
        best_cpp = min(best_cpp, timeit.timeit(cpp, number=number))
        best_py = min(best_py, timeit.timeit(python, number=number))
    return best_cpp / number * 1e6, best_py / number * 1e6


def run_suite(module):
    for case in module.cases():
        expected, got = case.python(), case.cpp()
        if expected != got:
            raise SystemExit(f"{case.name}: results differ: C++ {got!r}, Python {expected!r}")
        cpp, py = per_call_us(case.cpp, case.python, case.number)
        print(f"{module.__name__[12:]:<10} {case.name:<48} C++ {cpp:9.3f} us"
              f"   Python {py:9.3f} us   C++/Python {cpp / py:5.2f}")


def suites(filters):
    """The benchmark modules whose name contains one of the filters (all without filters)."""
    for path in sorted(HERE.glob("bench_*.py")):
        if not filters or any(f in path.stem for f in filters):
            yield importlib.import_module(f"bench.{path.stem}")


def main(filters):
    sys.path.insert(0, str(HERE.parent))
    if filters[:1] == ["--instructions"]:
        from bench import instructions
        return instructions.main(filters[1:])
    for module in suites(filters):
        run_suite(module)


if __name__ == "__main__":
    main(sys.argv[1:])
