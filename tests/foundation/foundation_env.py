import os
import pathlib
import subprocess
import sys
import textwrap

REPO = pathlib.Path(__file__).resolve().parents[2]
TOOL = REPO / "migration" / "discovery_migration"


def run_python(code, env=None, cwd=None):
    """Runs code in a fresh interpreter with the tool on sys.path."""
    full_env = dict(os.environ, PYTHONPATH=str(TOOL))
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=full_env, cwd=cwd, timeout=120)

