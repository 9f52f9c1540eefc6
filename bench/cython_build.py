"""The Cython column: each suite module compiled by Cython (pinned in
bench/requirements.txt) into build/bench-cython/cy_<suite>.so, rebuilt when its
source is newer. Only the benchmarks use it; the product and its tests do not.
"""
import importlib
import subprocess
import sys
import sysconfig

from bench.run import HERE

OUT = HERE.parent / "build" / "bench-cython"


def available():
    try:
        import Cython  # noqa: F401
    except ImportError:
        return False
    return True


def compiled(module):
    """The Cython build of a suite module (imported), or None without Cython."""
    if not available():
        return None
    stem = module.__name__.rpartition(".")[2]
    source = HERE / f"{stem}.py"
    name = f"cy_{stem}"
    target = OUT / (name + sysconfig.get_config_var("EXT_SUFFIX"))
    if not target.exists() or target.stat().st_mtime < source.stat().st_mtime:
        OUT.mkdir(parents=True, exist_ok=True)
        c_file = OUT / f"{name}.c"
        subprocess.run([sys.executable, "-m", "cython", "-3", "--module-name", name, "-o", str(c_file),
                        str(source)], check=True)
        subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-I" + sysconfig.get_paths()["include"],
                        str(c_file), "-o", str(target)], check=True)
    if str(OUT) not in sys.path:
        sys.path.insert(0, str(OUT))
    return importlib.import_module(name)


def renderings(module):
    """The suite's rendering classes (`Py*`)."""
    return {n: v for n, v in vars(module).items() if n.startswith("Py") and isinstance(v, type)}


class Swapped:
    """While entered, the suite module's rendering classes are the compiled
    ones, so its cases' Python callables run the Cython build; the host objects
    a suite binds as module globals are bound in the compiled module too."""
    def __init__(self, module, twin):
        self.module, self.twin = module, twin
        self.plain, self.built = renderings(module), renderings(twin)
        for name, value in vars(module).items():
            if name.startswith("__") or name in self.plain or self.own(value):
                continue
            if getattr(twin, name, None) is not value:
                setattr(twin, name, value)

    def own(self, value):
        """Whether value is a function or class the suite module defines at its top level."""
        return (getattr(value, "__module__", None) == self.module.__name__
                and "<locals>" not in getattr(value, "__qualname__", "<locals>"))

    def __enter__(self):
        for name, cls in self.built.items():
            setattr(self.module, name, cls)
        return self

    def __exit__(self, *exc):
        for name, cls in self.plain.items():
            setattr(self.module, name, cls)
