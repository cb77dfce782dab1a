import os
import subprocess
import sys
import textwrap

import pytest

import native_extensions


def run_python(code, *interpreter_args, timeout=60, env=None):
    """Runs `code` in a fresh interpreter (fresh module state) and returns the finished process.

    Standard output and error are captured through pipes, as text.
    """
    full_env = dict(os.environ)
    full_env.pop("PYTHONVERBOSE", None)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, *interpreter_args, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=full_env,
    )


@pytest.fixture
def ne():
    """The module, with removal switched back on after the test."""
    yield native_extensions
    native_extensions.SetRemoveImportHookFrames(True)
