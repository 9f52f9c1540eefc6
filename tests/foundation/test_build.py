"""What the build ships: one self-contained library per module, exporting
only its init function, warning when loaded by another Python."""
import os
import re
import shutil
import subprocess
import sys
import sysconfig

import pytest

from foundation_env import REPO, TOOL, run_python

SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")


@pytest.mark.parametrize("name", ["cfgbase", "trafswap"])
def test_library_exports_only_its_init_function(name):
    lib = TOOL / "dm" / "arm" / f"{name}{SUFFIX}"
    out = subprocess.run(["nm", "-D", "--defined-only", str(lib)], capture_output=True,
                         text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == [f"PyInit_{name}"]
    needed = subprocess.run(["readelf", "-d", str(lib)], capture_output=True, text=True,
                            check=True).stdout
    ours = [line for line in needed.splitlines() if "NEEDED" in line and "nanobind" in line]
    assert ours == []


def test_other_python_version_warns(tmp_path):
    """A module recorded as built for another minor version warns at import."""
    running = "%d.%d" % sys.version_info[:2]
    build = REPO / f"build-version-probe-{running}"  # one per interpreter: its cache names the interpreter
    package = tmp_path / "tool"
    shutil.copytree(TOOL / "dm", package / "dm", ignore=shutil.ignore_patterns("*.so"))
    shutil.copytree(TOOL / "data", package / "data")
    # The build tools run without the sanitizers the sanitizer run preloads.
    tools = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    subprocess.run(["cmake", "-S", str(REPO), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                    f"-DPython_EXECUTABLE={sys.executable}", "-DDM_BUILT_FOR_PYTHON=3.8",
                    f"-DDM_PACKAGE_DIR={package / 'dm' / 'arm'}"],
                   check=True, capture_output=True, env=tools)
    subprocess.run(["cmake", "--build", str(build), "--target", "cfgbase", "--parallel", "2"],
                   check=True, capture_output=True, env=tools)
    r = run_python("""
        import warnings
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            import dm.arm.cfgbase
        print([(w.category.__name__, str(w.message)) for w in seen])
    """, env={"PYTHONPATH": str(package)})
    assert r.stdout.strip() == str([("RuntimeWarning",
        f"dm.arm.cfgbase was built for Python 3.8 but is running on Python {running}")]), r.stderr
    assert "RuntimeWarning" not in run_python("import dm.arm.cfgbase, dm.arm.trafswap").stderr


# What only the layer's fast paths (src/pyglue/fast) may use: the interpreter's
# internal headers and private names, and tests of its version.
INTERNALS = re.compile(r"#\s*include\s*[<\"](internal/|structmember\.h)|Py_BUILD_CORE|PY_VERSION_HEX|\b_Py[A-Za-z]")


def test_module_sources_use_only_the_layer():
    sources = sorted((REPO / "src" / "cfgbase").iterdir()) + sorted((REPO / "src" / "trafswap").iterdir())
    found = [f"{path.relative_to(REPO)}:{number}: {line.strip()}"
             for path in sources for number, line in enumerate(path.read_text().splitlines(), 1)
             if INTERNALS.search(line)]
    assert len(sources) > 20 and found == []
