import os
import subprocess
import sys
import textwrap

import pytest

import native_extensions


def run_python(code, *interpreter_args, timeout=60, env=None):
    """Runs `code` in a fresh interpreter (fresh module state); its output is captured as text."""
    env = {**{k: v for k, v in os.environ.items() if k != "PYTHONVERBOSE"}, **(env or {})}
    return subprocess.run([sys.executable, *interpreter_args, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout, env=env)


def run_scenario(name, *interpreter_args, env=None):
    """Runs every case of scenarios.`name` in a fresh interpreter, which must succeed."""
    path = os.pathsep.join(p for p in [os.path.dirname(os.path.abspath(__file__)), os.environ.get("PYTHONPATH")] if p)
    proc = run_python(f"import scenarios\nscenarios.run({name!r})\n", *interpreter_args, env={**(env or {}), "PYTHONPATH": path})
    assert proc.returncode == 0, proc.stderr[-2000:]


@pytest.fixture
def ne():
    """The module, with removal switched back on after the test."""
    yield native_extensions
    native_extensions.SetRemoveImportHookFrames(True)
