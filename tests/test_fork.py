"""The warning printed before a fork."""
import pytest

from conftest import run_python

WARNING = (
    "[Quenvar] Quenvar does not support running in forking processes. Please start yorl only after forking\n"
    " For more information, see https://docs.quenvar.com/docs/python-setup#pre-forking-celery-gunicorn-etc\n"
)
PRELUDE = """
import ctypes, os, sys
import native_extensions as ne
One = type("One", (), {"__index__": lambda self: 1})
Bad = type("Bad", (), {"__index__": lambda self: 1 // 0})  # the conversion fails
"""
# Nothing raised inside the handler may surface in os.fork(), in the parent or the child.
FORK = """
pid = os.fork()
if pid == 0:
    os._exit(sys.exc_info() != (None, None, None))
assert os.waitpid(pid, 0)[1] == 0 and sys.exc_info() == (None, None, None)
"""


def run_fork(setup, registrations=1, forks=1):
    """Sets things up, registers, forks, and returns what the parent printed on standard output."""
    code = PRELUDE + setup + "\n" + "assert ne.RegisterPreforkCallback(1, 'x') is False\n" * registrations
    proc = run_python(code + FORK * forks + "print('end')\n")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.endswith("end\n")
    return proc.stdout[: -len("end\n")]


REIMPORT = "ne.python_fork_handler_called = 0\ndel sys.modules['native_extensions']\nimport native_extensions as ne\n"


@pytest.mark.parametrize(
    "value, warnings",
    [(None, 0), ("1", 0), ("True", 0), ("One()", 0),
     *[(value, 1) for value in ["0", "2", "-1", "'1'", "None", "1.0", "2**70", "Bad()"]]],
)
def test_warning_unless_the_attribute_is_integer_one(value, warnings):
    # No attribute (a failed lookup) or a failed conversion leaves nothing pending.
    assert run_fork(f"ne.python_fork_handler_called = {value}" if value else "") == WARNING * warnings


@pytest.mark.parametrize(
    "setup, registrations, forks, warnings",
    [
        ("ne.python_fork_handler_called = 0", 2, 2, 4),  # each registration warns on each fork
        ("ne.python_fork_handler_called = 0", 0, 1, 0),
        (REIMPORT + "ne.python_fork_handler_called = 1", 1, 1, 1),  # the first module is read
        # A null Module prints nothing.
        ("ne.python_fork_handler_called = 0\n"
         "ctypes.c_void_p.in_dll(ctypes.PyDLL(ne.__file__), '_ZN17native_extensions6ModuleE').value = None", 1, 1, 0),
        # A module-level __getattr__ is asked for an absent attribute.
        ("ne.__getattr__ = {'python_fork_handler_called': 0}.__getitem__", 1, 2, 2),
        ("ne.__getattr__ = {'python_fork_handler_called': 1}.__getitem__", 1, 1, 0),
        ("ne.__getattr__ = {}.__getitem__", 1, 1, 0),  # a KeyError from it is forgotten too
    ],
)
def test_warning_counts(setup, registrations, forks, warnings):
    assert run_fork(setup, registrations, forks) == WARNING * warnings


@pytest.mark.parametrize("subinterpreter", [False, True])
def test_fork_that_bypasses_the_interpreter_warns(subinterpreter):
    # A foreign fork() from a thread that released the interpreter lock: the handler must not
    # touch the module, and warns even though the attribute says the fork was handled. The child
    # inherits a lock held by a thread it does not have and may hang: it is killed.
    # The same process then forks through the interpreter with the lock held: no warning.
    assert run_fork(
        f"""
import signal, threading
if {subinterpreter}:
    __import__("_testcapi").run_in_subinterp("pass")
ne.python_fork_handler_called = 1
pids = []
def fork():
    pid = ctypes.CDLL(None).fork()
    if pid == 0:
        os._exit(0)
    pids.append(pid)
ne.RegisterPreforkCallback()
thread = threading.Thread(target=fork)
thread.start()
thread.join()
os.kill(pids[0], signal.SIGKILL)
os.waitpid(pids[0], 0)
""", registrations=0) == WARNING


# A module whose class was changed to give it properties, the way the module type allows.
@pytest.mark.parametrize("module_class", ["", "ne.__class__ = type('M', (type(ne),), {'size': property(len)})"],
                         ids=["module", "class changed"])
def test_forks_allocate_nothing(module_class):
    # The attribute's name is made once: a name made afresh at each fork would stay in the
    # interpreter's attribute cache, a block for each of the first few hundred forks. And while
    # the attribute is absent (as it is until the package sets it), no AttributeError is made.
    out = run_fork(module_class + """
import tracemalloc
def forks(n):
    for _ in range(n):
        pid = os.fork()
        if pid == 0:
            os._exit(0)
        os.waitpid(pid, 0)
def peak_of_a_fork():
    tracemalloc.reset_peak()
    base = tracemalloc.get_traced_memory()[0]
    forks(1)
    return tracemalloc.get_traced_memory()[1] - base
forks(2)
tracemalloc.start()
forks(2)
unregistered = peak_of_a_fork()
ne.RegisterPreforkCallback()
forks(2)
print(peak_of_a_fork() - unregistered)
tracemalloc.stop()
ne.python_fork_handler_called = 1
forks(20)
before = sys.getallocatedblocks()
forks(300)
print(sys.getallocatedblocks() - before < 30)
""", registrations=0)
    assert out == "0\nTrue\n"
