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


@pytest.fixture
def ne():
    """The module, with removal switched back on after the test."""
    yield native_extensions
    native_extensions.SetRemoveImportHookFrames(True)
