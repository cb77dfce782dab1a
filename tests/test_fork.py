"""The warning printed before a fork."""
import json
import os
import shutil
import subprocess
import sys
import sysconfig

import native_extensions
import pytest

from conftest import run_python, run_scenario

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
        # A null Module prints nothing.
        ("ne.python_fork_handler_called = 0\n"
         "ctypes.c_void_p.in_dll(ctypes.PyDLL(ne.__file__), '_ZN17native_extensions6ModuleE').value = None", 1, 1, 0),
        # A module-level __getattr__ is asked for an absent attribute.
        ("ne.__getattr__ = {'python_fork_handler_called': 1}.__getitem__", 1, 1, 0),
        ("ne.__getattr__ = {}.__getitem__", 1, 1, 0),  # a KeyError from it is forgotten too
        # The attribute of the module's class (here a base's), and a property of its class over
        # its own value, as getattr gives them, whatever the metaclass.
        ("ne.__class__ = type('M', (type('B', (type(ne),), {'python_fork_handler_called': 1}),), {})", 1, 1, 0),
        ("ne.python_fork_handler_called = 0\nne.__class__ = type('Meta', (type,), {})("
         "'M', (type(ne),), {'python_fork_handler_called': property(lambda m: 1)})", 1, 1, 0),
    ],
)
def test_warning_counts(setup, registrations, forks, warnings):
    assert run_fork(setup, registrations, forks) == WARNING * warnings


def test_fork_warns_unless_handled_for_each_kind_of_fork():
    # os.fork(), and fork() through ctypes with the lock held and released, in one process.
    run_scenario("fork_warns_unless_handled")


# A module whose class was changed to give it properties, the way the module type allows; also
# with a metaclass whose __getattr__ (never asked by the module's own lookup) would allocate.
@pytest.mark.parametrize("module_class", [
    "", "ne.__class__ = type('M', (type(ne),), {'size': property(len)})",
    "ne.__class__ = type('Meta', (type,), {'__getattr__': lambda cls, name: getattr(object, name)})('M', (type(ne),), {})",
    "import datetime\nne.__class__ = type('M', (type(ne), datetime.tzinfo), {})",
], ids=["module", "class changed", "metaclass with __getattr__", "static base"])
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


# --- The fork rule as one function, and a matrix of scenarios checked against it ------------------
# A scenario: which interpreters import the module and in what order (the embedding program's,
# in test_interpreters.py: "c-import", "c-init", and "c-entry" where C calls the entry point), what
# then happens to the main interpreter's module, what its attribute is, where the fork comes from,
# and whether the main interpreter calls into the module (right after its import) when a
# sub-interpreter registered. "other": that sub-interpreter also loads a second library of the module
# and registers it; "stand-in": the main interpreter holds a stand-in under the name for a moment
# first; "live-sub": the sub-interpreter lives on.
ORDERS = ["main", "sub", "sub+main", "main+sub", "live-sub+main", "sub+other+main", "sub+stand-in+main"]
CHANGES = {"none": "", "del": "del sys.modules['native_extensions']",
           "reimport": "del sys.modules['native_extensions']\nimport native_extensions as ne",
           "class": "ne.__class__ = type('Sub', (types.ModuleType,), {})"}
ATTRS = {"absent": "", "0": "ne.python_fork_handler_called = 0", "1": "ne.python_fork_handler_called = 1",
         "str": "ne.python_fork_handler_called = '1'",
         "getattr": "ne.__getattr__ = {'python_fork_handler_called': 0}.__getitem__"}
# The child is killed: while a sub-interpreter lives, it may hang in the interpreter's own after-fork code.
FORKS = {"os": "pid = os.fork()\nif pid == 0:\n    os._exit(0)\nos.kill(pid, signal.SIGKILL)\nos.waitpid(pid, 0)",
         # fork() through ctypes from a thread that released the lock; its child may hang: killed
         "ctypes": "def fork():\n    pid = ctypes.CDLL(None).fork()\n    if pid == 0:\n        os._exit(0)\n"
                   "    pids.append(pid)\npids = []\nthread = threading.Thread(target=fork)\nthread.start()\n"
                   "thread.join()\nos.kill(pids[0], signal.SIGKILL)\nos.waitpid(pids[0], 0)",
         "sub": "_testcapi.run_in_subinterp('import os, signal\\n' + FORK)",  # a sub-interpreter without the module
         # a second sub-interpreter with the module (from the copy), which says it handled the fork
         "own-sub": "_testcapi.run_in_subinterp('import os, signal, native_extensions as ne\\n"
                    "ne.python_fork_handler_called = 1\\n' + FORK)"}
OTHER = """import importlib.machinery, importlib.util, os, sys
del sys.modules['native_extensions']
loader = importlib.machinery.ExtensionFileLoader('native_extensions', os.environ['OTHER_LIBRARY'])
importlib.util.module_from_spec(importlib.util.spec_from_loader('native_extensions', loader)).RegisterPreforkCallback()
sys.modules['native_extensions'] = ne"""
ABI3 = native_extensions.__file__.endswith(".abi3.so")
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def expected_warnings(order, change, attr, origin, call):
    """README's fork rule: how many warnings the fork prints, the module registered once (a second
    library's main interpreter has no module of that library: it prints only where nothing is read)."""
    if origin == "own-sub":
        return sys.version_info < (3, 12)  # before 3.12 such a thread cannot be told: it warns
    if order == "sub+rerun":
        return 0  # only the first runtime, which has ended, imported the module
    if origin != "os":
        return 1 + ("other" in order)  # no package can have handled it: it warns, the module being imported somewhere
    if order in ("sub", "c-init") or (order == "c-entry" and not (ABI3 and sys.version_info >= (3, 13))) or (
            order == "sub+c-init" and sys.version_info >= (3, 13)):  # (3.12: the import calls the entry point anew)
        return 0  # the main interpreter has no module, or `Module` is the one C made last: no attribute
    # `Module` is the first module the main interpreter reached, but the abi3 build (3.13+) takes the
    # one its sys.modules holds at its first call or fork when a sub-interpreter imported first.
    # So do 3.10 to 3.12 while that sub-interpreter lives: its first call or fork.
    adopts = (ABI3 and sys.version_info >= (3, 13)) or (order == "live-sub+main" and sys.version_info < (3, 13))
    if order.endswith("+main") and adopts and not call and change in ("del", "reimport"):
        return 0  # no module, or the reimported one, which has no attribute
    return attr in ("0", "str", "getattr")


def scenario(order, change, attr, origin, call):
    """The scenario's code: the package sets the attribute on the module its own import gave it."""
    register = "import native_extensions as ne\nne.RegisterPreforkCallback()" + ("\n" + OTHER) * ("other" in order)
    code = [f"_testcapi.run_in_subinterp({register!r})" if order.startswith("sub") else
            f"live = new_legacy_subinterpreter()\nxi.run_string(live, {register!r})" if order.startswith("live") else "",
            "sys.modules['native_extensions'] = types.ModuleType('native_extensions')\ndel sys.modules['native_extensions']"
            if "stand-in" in order else "",
            "#C\nimport ctypes, os, signal, sys, threading" if order == "sub+rerun" else "",
            "#C" if order == "sub+c-init" else ""]
    if order not in ("sub", "sub+rerun"):
        code += ["import native_extensions as ne", "" if "sub+" in order else "ne.RegisterPreforkCallback()",
                 "#C" if order in ("c-init", "c-entry") else "", "ne.SetRemoveImportHookFrames(True)" if call else "",
                 "_testcapi.run_in_subinterp('import native_extensions')" if order == "main+sub" else "",
                 ATTRS[attr], CHANGES[change]]
    return "\n".join(code + [FORKS[origin]])


# Runs each scenario in a child forked from this process, which never imports the module, so that
# each starts afresh; prints what each printed on standard output (its standard error is discarded).
DRIVER = """
import ctypes, json, os, signal, sys, threading, traceback, types
try:
    import _testcapi
except ImportError:
    pass
try:
    import _interpreters as xi
    def new_legacy_subinterpreter():
        return xi.create(xi.new_config("legacy"))
except ImportError:
    import _xxsubinterpreters as xi  # the process ends without finalising: it never ends
    def new_legacy_subinterpreter():
        return xi.create(isolated=False) if sys.version_info >= (3, 12) else xi.create()
FORK = sys.argv[1]
outputs = []
for code in json.loads(sys.stdin.read()):
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.dup2(w, 1)
        os.dup2(os.open(os.devnull, os.O_WRONLY), 2)
        try:
            exec(code, {**globals()})
        except BaseException:
            print(traceback.format_exc())
        sys.stdout.flush()
        os._exit(0)
    os.close(w)
    with os.fdopen(r) as out:
        outputs.append(out.read())
    os.waitpid(pid, 0)
print(json.dumps(outputs))
"""


def mismatches(scenarios, outputs):
    assert len(outputs) == len(scenarios), outputs
    return [(s, out) for s, out in zip(scenarios, outputs) if out != WARNING * expected_warnings(*s)]


@pytest.mark.parametrize("order", ORDERS)
def test_fork_rule(order, tmp_path):
    if FREE_THREADED and order != "main":
        pytest.skip("single-phase modules do not load in sub-interpreters")
    scenarios = [(order, change, attr, origin, call)
                 for change in (["none"] if order == "sub" else CHANGES) for attr in (["absent"] if order == "sub" else ATTRS)
                 for origin in FORKS if not (FREE_THREADED and origin == "sub") and (origin != "own-sub" or "live" in order)
                 for call in ([False, True] if "sub+" in order else [False])]
    other = shutil.copy(native_extensions.__file__, tmp_path / "other.so")
    env = {**{k: v for k, v in os.environ.items() if k != "PYTHONVERBOSE"}, "OTHER_LIBRARY": str(other)}
    proc = subprocess.run([sys.executable, "-c", DRIVER, FORKS["os"]], input=json.dumps([scenario(*s) for s in scenarios]),
                          capture_output=True, text=True, timeout=120, env=env)
    assert (proc.returncode, proc.stderr) == (0, "")
    assert mismatches(scenarios, json.loads(proc.stdout)) == []
