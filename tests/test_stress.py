"""Stress: a very long traceback, a RecursionError, allocation failures, threads and forks."""
import json
import os
import sys
import sysconfig
import traceback
import types

import pytest

from conftest import run_python


def marked_function():
    __quenvar__tracebackhide__ = None  # noqa: F841
    return sys._getframe()


def exec_frame(source):
    exec(source + "frame = sys._getframe()\n", namespace := {"sys": sys})
    return namespace["frame"]


# Finished frames (each keeps its locals), each shared by many entries, and whether each is marked.
FRAMES = [
    (marked_function(), True),
    (sys._getframe(), False),  # this module's own frame, finished once it is imported
    (exec_frame("__quenvar__tracebackhide__ = 0\n"), True),
    (exec_frame(""), False),
]
PATTERN = [0, 0, 1, 2, 3, 0, 1, 2]  # runs of marked entries; the chain ends on a marked one
LENGTH = 100_000


@pytest.mark.parametrize("remove", [True, False])
def test_long_traceback(ne, remove):
    entries, chain = [FRAMES[PATTERN[i % len(PATTERN)]] for i in range(LENGTH)], None
    for i in reversed(range(LENGTH)):  # entry i is told apart by its line number, i + 1
        chain = types.TracebackType(chain, entries[i][0], 0, i + 1)

    def hook():
        __quenvar__tracebackhide__ = 1  # noqa: F841
        raise ArithmeticError().with_traceback(chain)

    ne.SetImportHook(hook)
    ne.SetRemoveImportHookFrames(remove)
    with pytest.raises(ArithmeticError) as caught:
        ne.CallImportHookRemovingFrames()
    kept = list(traceback.walk_tb(caught.value.__traceback__))
    head = [test_long_traceback.__code__, hook.__code__][: 2 - remove]
    assert [frame.f_code for frame, _ in kept[: len(head)]] == head
    assert [line for _, line in kept[len(head):]] == [i + 1 for i in range(LENGTH) if not (remove and entries[i][1])]


@pytest.mark.parametrize("remove", [True, False])
def test_recursion_error(ne, remove):
    marked, deepest = [n % 7 == 3 for n in range(10_000)], [0]

    def recurse(n):
        # Nothing ahead of the marker can fail (3.10 checks the depth even in comparisons, hence
        # the list lookup), so every frame that reaches the traceback has bound it.
        if marked[n]:
            __quenvar__tracebackhide__ = n  # noqa: F841
        deepest[0] = n
        recurse(n + 1)

    def hook():
        recurse(0)

    ne.SetImportHook(hook)
    ne.SetRemoveImportHookFrames(remove)
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(3000)
    try:
        with pytest.raises(RecursionError) as caught:
            ne.CallImportHookRemovingFrames()
    finally:
        sys.setrecursionlimit(limit)
    frames = [frame for frame, _ in traceback.walk_tb(caught.value.__traceback__)]
    assert [frame.f_code for frame in frames[:2]] == [test_recursion_error.__code__, hook.__code__]
    assert all(frame.f_code is recurse.__code__ for frame in frames[2:]) and deepest[0] > 1000
    kept = [n for n in range(deepest[0] + 1) if not (remove and marked[n])]
    assert [frame.f_locals["n"] for frame in frames[2:]] == kept


# Allocation failures and threads run in fresh interpreters: injected failures can leave an
# interpreter unusable, forking wants a process of its own, and a deadlock must end in a timeout.
NOMEM_SCRIPT = r"""
import json, os, sys, traceback
from sys import _getframe
import _testcapi
import native_extensions as ne

# Every frame makes its frame object first: when unwinding has to allocate a caller's frame object
# and that fails, 3.11 to 3.13 drop the pending exception.
# Nothing creates a function or class while allocations can fail: 3.12.1 and 3.13.0 crash at a
# later function or class creation after a failed allocation there, with or without this module.

class Namespace(dict):
    def __contains__(self, key):  # not an exact dict: the membership test runs this code
        _getframe()
        return dict.__contains__(self, key)

def leaf():
    _getframe()
    a0 = a1 = a2 = a3 = a4 = a5 = a6 = a7 = a8 = a9 = a10 = a11 = __quenvar__tracebackhide__ = 0
    raise ArithmeticError()

def plain():
    _getframe()
    leaf()

def make_inner():
    __quenvar__tracebackhide__ = None  # a cell here
    def inner():
        _getframe()
        plain()
        return __quenvar__tracebackhide__  # a free variable, bound
    return inner

INNER, GLOBALS = make_inner(), globals()
MODULE = compile("_getframe()\n__quenvar__tracebackhide__ = 1\nINNER()\n", "<module-like>", "exec")
BODY = compile("_getframe()\n__quenvar__tracebackhide__ = 1\nexec(MODULE, {'INNER': INNER, '_getframe': _getframe})\n",
               "<class-like>", "exec")

def hook():
    _getframe()
    exec(BODY, GLOBALS, Namespace())

FULL = ["hook", "<class-like>", "<module-like>", "inner", "plain", "leaf"]
STRIPPED = ["hook", "plain"]

KEPT = []

def shared_hook():
    _getframe()
    try:
        leaf()
    except ArithmeticError as error:
        KEPT.append(error.__traceback__)  # shared from here on: removal copies the kept entries
        raise

if SHARED:
    hook, FULL, STRIPPED = shared_hook, ["shared_hook", "leaf"], ["shared_hook"]

def labels(error):  # without the entry of attempt()
    codes = [frame.f_code for frame, _ in traceback.walk_tb(error.__traceback__)][1:]
    return [code.co_filename if code.co_name == "<module>" else code.co_name for code in codes]

def attempt(fail_at=None, set_nomemory=_testcapi.set_nomemory, remove_hooks=_testcapi.remove_mem_hooks,
            call=ne.CallImportHookRemovingFrames):
    _getframe()
    if fail_at is not None:
        set_nomemory(fail_at, fail_at + 1)
    try:
        call()
    except BaseException as error:
        remove_hooks()  # first thing after the call: nothing else may fail
        return error

def child(fail_at):
    # Exit status 0: fully stripped; 1: some marked entries kept (testing them failed); 2: MemoryError.
    error = attempt(fail_at)
    names = labels(error) if type(error) is ArithmeticError else []
    in_order = names == [name for name in FULL if name in names] and set(STRIPPED) <= set(names)
    status = 2 if type(error) is MemoryError else (0 if names == STRIPPED else 1) if in_order else 3
    after = attempt()
    if status == 3 or type(after) is not ArithmeticError or labels(after) != STRIPPED:
        print(fail_at, repr(error), names, repr(after), file=sys.stderr)
    os._exit(status)

ne.SetImportHook(hook)
if WARM:
    attempt()  # makes the marker key before any allocation fails
statuses, fail_at, quiet = {}, 0, 0
while quiet < 40 and fail_at < 3000:  # until well past the last allocation the call makes
    if (pid := os.fork()) == 0:
        try:
            child(fail_at)
        finally:
            os._exit(4)
    status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    statuses[status] = statuses.get(status, 0) + 1
    quiet = quiet + 1 if status == 0 else 0
    fail_at += 1
print(json.dumps({"statuses": statuses, "fail_at": fail_at}))
"""


@pytest.mark.parametrize("shared", [False, True], ids=["namespaces", "shared_entries_then_a_hidden_last"])
@pytest.mark.parametrize("warm", [False, True], ids=["marker_key_not_made_yet", "marker_key_made"])
def test_each_allocation_failing_in_turn(warm, shared):
    if not hasattr(pytest.importorskip("_testcapi"), "set_nomemory"):
        pytest.skip("no allocation-failure injection in this interpreter")
    proc = run_python(NOMEM_SCRIPT.replace("WARM", str(warm)).replace("SHARED", str(shared)), timeout=300)
    # Nothing may be reported on stderr, not even as "Exception ignored".
    assert proc.returncode == 0 and not proc.stderr, proc.stderr[-3000:]
    report = json.loads(proc.stdout)
    statuses = report["statuses"]  # exit status of each child (as text) -> how many children
    assert set(statuses) <= {"0", "1", "2"} and report["fail_at"] < 3000, report
    assert statuses.get("2", 0) >= 5, report  # the injection did hit the call
    # Failing to make the marker key keeps that call's traceback whole, not the next one's.
    assert warm or statuses.get("1", 0) >= 1, report


THREAD_SCRIPT = r"""
import collections, faulthandler, json, os, random, signal, sys, threading, time, traceback, warnings
faulthandler.dump_traceback_later(150, exit=True)  # a deadlock ends the run, with every stack
warnings.simplefilter("ignore")  # forking a process with threads warns from 3.12 on
sys.setswitchinterval(1e-6)
import native_extensions as ne

class SlowNamespace(dict):
    def __contains__(self, key):  # lets other threads run in the middle of the removal
        time.sleep(0)
        return dict.__contains__(self, key)

BODY = compile("__quenvar__tracebackhide__ = 1\nmiddle(kind)\n", "<body>", "exec")

def leaf(kind):
    __quenvar__tracebackhide__ = kind
    time.sleep(0)
    raise ArithmeticError(kind)

def middle(kind):
    leaf(kind)

def make_hook(kind):
    def hook(*args, **kwargs):
        __quenvar__tracebackhide__ = kind
        if kind == "return":
            return args, kwargs
        if kind == "swap":  # replaces the hook and flips removal from inside the call
            swap()
        exec(BODY, {"middle": middle, "kind": kind}, SlowNamespace()) if kind == "exec" else middle(kind)
    return hook

def swap():
    # A fresh hook each time: the one it replaces is freed at once, while other threads may be
    # taking it from the slot to call it.
    ne.SetImportHook(make_hook(random.choice(KINDS)))
    ne.SetRemoveImportHookFrames(random.choice([True, False, 1, 0, "", "x"]))

KINDS = ("return", "raise", "swap", "exec")
stop = threading.Event()
counts = collections.Counter()  # may lose racing updates: lower bounds; anything unexpected is a key

def worker(n):
    i = 0
    while not stop.is_set():
        i += 1
        try:
            result = ne.CallImportHookRemovingFrames(i, n=n)
        except ArithmeticError as error:
            names = [frame.f_code.co_name for frame, _ in traceback.walk_tb(error.__traceback__)]
            full = ["worker", "hook", *(["<module>"] if error.args[0] == "exec" else []), "middle", "leaf"]
            counts["full" if names == full else "stripped" if names == ["worker", "middle"] else repr(names)] += 1
        except BaseException as error:
            counts[repr(error)] += 1
        else:
            counts["returned" if result == ((i,), {"n": n}) else repr(result)] += 1

def swapper():
    while not stop.is_set():
        swap()
        counts["swaps"] += 1
        time.sleep(0)

def forker():
    while not stop.is_set():
        r, w = os.pipe()
        if (pid := os.fork()) == 0:
            # The child replaces the hook and calls through first thing: no lock of the module may
            # be held by a thread it does not have. A hang ends it by SIGALRM. (The hook is a
            # built-in: a closure's cell may be locked by a thread the child does not have, an
            # interpreter matter, like a hang in the interpreter's own after-fork code, which the
            # pipe tells apart: nothing was written then.)
            signal.alarm(10)
            os.write(w, b"a")
            ne.SetImportHook(os._exit)
            ne.CallImportHookRemovingFrames(0)
            os._exit(5)
        os.close(w)
        deadline = time.monotonic() + 20
        while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
            time.sleep(0.002)
        if done[0] == 0:
            os.kill(pid, signal.SIGKILL)
            done = os.waitpid(pid, 0)
        reached = os.read(r, 1) == b"a"
        os.close(r)
        status = done[1]
        counts["forks" if status == 0 else f"child status {status}" if reached else "interpreter hangs"] += 1

ne.python_fork_handler_called = 1  # the forks count as handled: the fork handler stays silent
ne.RegisterPreforkCallback()
ne.SetImportHook(make_hook("raise"))
threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
threads += [threading.Thread(target=swapper) for _ in range(3)] + [threading.Thread(target=forker) for _ in range(2)]
for thread in threads:
    thread.start()
start = time.monotonic()
while time.monotonic() - start < 2 or (counts["forks"] < 1000 and time.monotonic() - start < 80):
    time.sleep(0.1)
stop.set()
for thread in threads:
    thread.join()
counts["gil " + str(getattr(sys, "_is_gil_enabled", lambda: True)())] = 1
print(json.dumps(counts))
"""
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def test_threads_call_through_while_hooks_swap_and_threads_fork():
    # On a free-threaded build without the GIL, which importing the module must leave off.
    proc = run_python(THREAD_SCRIPT, *(["-X", "gil=0"] if FREE_THREADED else []), timeout=200)
    # Nothing may be reported on stderr, not even as "Exception ignored".
    assert proc.returncode == 0 and not proc.stderr, proc.stderr[-3000:]
    assert proc.stdout.count("\n") == 1, proc.stdout[:2000]  # nothing but the report
    counts = json.loads(proc.stdout)
    # A child that hung in the interpreter before it reached the module is the interpreter's.
    assert set(counts) - {"interpreter hangs"} == {"returned", "full", "stripped", "forks", "swaps",
                                                   f"gil {not FREE_THREADED}"}, counts
    assert counts["swaps"] > 100 and counts["forks"] >= 500, counts


THREADS_SCRIPT = r"""
import threading, native_extensions as ne

def hidden():
    __quenvar__tracebackhide__ = 1
    raise KeyError

def hook():
    hidden()

def work():
    try:
        ne.CallImportHookRemovingFrames()
    except KeyError:
        pass

def rss_kb():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS"))

ne.SetImportHook(hook)
def threads(n):
    for _ in range(n):
        thread = threading.Thread(target=work)
        thread.start()
        thread.join()
threads(200)
before = rss_kb()
threads(6000)
print(rss_kb() - before)
"""


@pytest.mark.skipif("ASAN_OPTIONS" in os.environ, reason="AddressSanitizer keeps freed memory in quarantine")
def test_threads_that_fail_once_and_end_leave_nothing_behind():
    # Each thread's walk keeps nothing per thread once its chain is handed back.
    proc = run_python(THREADS_SCRIPT)
    assert proc.returncode == 0 and not proc.stderr, proc.stderr[-2000:]
    assert int(proc.stdout) < 2048, proc.stdout  # kB: a kilobyte a thread would be 6000
