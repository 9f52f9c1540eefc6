"""Benchmarks: each operation of the C++ modules against a plain-Python
rendering of the same operation, on the same inputs.

    ./dev bench            all suites
    ./dev bench naming     suites whose name contains "naming"

Each case reports the per-call time of both and their ratio (best of
several repeats, so a noisy machine inflates neither side more than the other).
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


def per_call_us(fn, number, repeat=5):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number * 1e6


def run_suite(module):
    for case in module.cases():
        expected, got = case.python(), case.cpp()
        if expected != got:
            raise SystemExit(f"{case.name}: results differ: C++ {got!r}, Python {expected!r}")
        cpp = per_call_us(case.cpp, case.number)
        py = per_call_us(case.python, case.number)
        print(f"{module.__name__[12:]:<10} {case.name:<44} C++ {cpp:9.3f} us"
              f"   Python {py:9.3f} us   C++/Python {cpp / py:5.2f}")


def main(filters):
    sys.path.insert(0, str(HERE.parent))
    for path in sorted(HERE.glob("bench_*.py")):
        if filters and not any(f in path.stem for f in filters):
            continue
        run_suite(importlib.import_module(f"bench.{path.stem}"))


if __name__ == "__main__":
    main(sys.argv[1:])
