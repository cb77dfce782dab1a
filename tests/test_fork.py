"""The warning printed before a fork."""
import textwrap

import pytest

from conftest import run_python

WARNING = (
    "[Quenvar] Quenvar does not support running in forking processes. Please start yorl only after forking\n"
    " For more information, see https://docs.quenvar.com/docs/python-setup#pre-forking-celery-gunicorn-etc\n"
)

FORK = """
import os
pid = os.fork()
if pid == 0:
    os._exit(0)
assert os.waitpid(pid, 0)[1] == 0
"""


def run_fork(setup, registrations=1, forks=1):
    """Sets things up, registers, forks, and returns what the parent printed on standard output."""
    code = "import os, sys\nimport native_extensions as ne\n" + setup + "\n"
    code += "assert ne.RegisterPreforkCallback() is False\n" * registrations
    code += FORK * forks + "print('end')\n"
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.endswith("end\n")
    return proc.stdout[: -len("end\n")]


class IndexOne:
    def __index__(self):
        return 1


@pytest.mark.parametrize(
    "setup",
    [
        "",
        "ne.python_fork_handler_called = 1",
        "ne.python_fork_handler_called = True",
        "class One:\n    def __index__(self):\n        return 1\nne.python_fork_handler_called = One()",
    ],
)
def test_handled_fork_prints_nothing(setup):
    assert run_fork(setup) == ""


@pytest.mark.parametrize("value", ["0", "2", "-1", "'1'", "None", "1.0", "2**70"])
def test_unhandled_fork_prints_the_warning_once(value):
    assert run_fork(f"ne.python_fork_handler_called = {value}") == WARNING


def test_each_registration_warns_on_each_fork():
    assert run_fork("ne.python_fork_handler_called = 0", registrations=2, forks=2) == WARNING * 4


def test_no_registration_no_warning():
    proc = run_python("import native_extensions as ne\nne.python_fork_handler_called = 0\n" + FORK)
    assert proc.returncode == 0 and proc.stdout == ""


def test_arguments_are_ignored_and_keywords_refused():
    proc = run_python(
        """
        import native_extensions as ne
        assert ne.RegisterPreforkCallback(1, 2, 3) is False
        try:
            ne.RegisterPreforkCallback(now=True)
        except TypeError:
            print("refused")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "refused\n"


@pytest.mark.parametrize(
    "setup",
    [
        "",  # the lookup fails
        "ne.python_fork_handler_called = 'x'",  # the conversion fails
        "class Bad:\n    def __index__(self):\n        raise MemoryError\nne.python_fork_handler_called = Bad()",
    ],
)
def test_fork_returns_normally_after_a_failure_in_the_handler(setup):
    # Nothing raised inside the handler may surface in os.fork(), in the parent or the child.
    code = f"""
        import os, sys
        import native_extensions as ne
        {setup.replace(chr(10), chr(10) + ' ' * 8)}
        ne.RegisterPreforkCallback()
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.write(w, repr(sys.exc_info()).encode())
            os._exit(0)
        os.close(w)
        child = os.read(r, 1000).decode()
        os.waitpid(pid, 0)
        print("child", child, "parent", sys.exc_info())
        """
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.endswith("child (None, None, None) parent (None, None, None)\n")


def test_module_pointer_null_prints_nothing():
    proc = run_python(
        textwrap.dedent(
            """
        import ctypes, os
        import native_extensions as ne
        ne.python_fork_handler_called = 0
        ne.RegisterPreforkCallback()
        slot = ctypes.c_void_p.in_dll(ctypes.PyDLL(ne.__file__), "_ZN17native_extensions6ModuleE")
        slot.value = None
        """
        )
        + FORK
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == ""


def test_reimported_module_reads_the_first_module():
    assert run_fork(
        "first = ne\nfirst.python_fork_handler_called = 0\ndel sys.modules['native_extensions']\n"
        "import native_extensions as ne\nne.python_fork_handler_called = 1"
    ) == WARNING


@pytest.mark.parametrize("subinterpreter", [False, True])
def test_fork_that_bypasses_the_interpreter_warns(subinterpreter):
    # A foreign fork() from a thread that released the interpreter lock: the handler must not
    # touch the module, and warns even though the attribute says the fork was handled. The child
    # inherits a lock held by a thread it does not have and may hang: it is ended from outside.
    proc = run_python(
        textwrap.dedent(
            f"""
        import ctypes, os, signal, threading, time
        import native_extensions as ne
        if {subinterpreter}:
            import _testcapi
            _testcapi.run_in_subinterp("pass")
        ne.python_fork_handler_called = 1
        ne.RegisterPreforkCallback()
        pids = []
        def fork():
            pid = ctypes.CDLL(None).fork()
            if pid == 0:
                os._exit(0)
            pids.append(pid)
        thread = threading.Thread(target=fork)
        thread.start()
        thread.join()
        pid, = pids
        deadline = time.monotonic() + 5
        while os.waitpid(pid, os.WNOHANG) == (0, 0) and time.monotonic() < deadline:
            time.sleep(0.01)
        try:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass
        """
        )
        # The same process then forks through the interpreter with the lock held: no warning.
        + FORK
        + "print('end')\n"
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == WARNING + "end\n"
