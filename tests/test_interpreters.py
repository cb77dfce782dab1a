"""Several interpreters in one process, and a runtime initialised twice: each interpreter sees the
module as if it had it alone, and nothing of an ended interpreter or runtime is used again."""
import os
import shlex
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import native_extensions
import pytest

from conftest import run_python
from test_fork import WARNING, mismatches, scenario

pytest.importorskip("_testcapi")
# A free-threaded build loads no single-phase module into a sub-interpreter, not even a legacy one.
SUBS = not sysconfig.get_config_var("Py_GIL_DISABLED")
loads_in_subinterpreters = pytest.mark.skipif(not SUBS, reason="single-phase modules do not load in sub-interpreters")

PRELUDE = """
import os, sys, _testcapi
import native_extensions as ne

def sub(code):
    # A legacy sub-interpreter (it shares the lock), which ends when the code has run.
    assert _testcapi.run_in_subinterp(code) == 0

def hook():
    __quenvar__tracebackhide__ = 1
    raise KeyError("main")

def outcome(call=ne.CallImportHookRemovingFrames):
    try:
        return repr(call())
    except Exception as error:
        # The entries after this frame's own: the hook's, unless they were removed.
        tb = error.__traceback__.tb_next
        return f"{type(error).__name__}({error.args[0] if error.args else ''}) {'whole' if tb else 'stripped'}"
"""
# The same helpers inside each sub-interpreter (where _testcapi may not load), printing what it sees.
SUB_PRELUDE = PRELUDE.split("def sub")[0].replace(", _testcapi", "") + "def hook" + PRELUDE.split("def hook")[1]


def run_interpreters(code):
    proc = run_python(PRELUDE + textwrap.dedent(code))
    assert proc.returncode == 0, proc.stderr
    assert not proc.stderr, proc.stderr
    return proc.stdout.splitlines()


def in_sub(code):
    return f"sub({SUB_PRELUDE + textwrap.dedent(code)!r})\n"


@loads_in_subinterpreters
def test_each_interpreter_has_its_own_hook_and_switch():
    sub_code = """
        print("sub before:", outcome())
        def own():
            __quenvar__tracebackhide__ = 1
            raise KeyError("sub")
        ne.SetImportHook(own)
        ne.SetRemoveImportHookFrames(False)
        print("sub:", outcome())
    """
    assert run_interpreters(
        in_sub(sub_code)  # the main interpreter has no hook yet
        + 'print("main before:", outcome())\n'
        + "ne.SetImportHook(hook)\n"
        + in_sub(sub_code)  # a new sub-interpreter starts afresh too
        + 'print("main:", outcome())\n'
    ) == [
        "sub before: RuntimeError(This function cannot be called without first calling SetImportHook) stripped",
        "sub: KeyError(sub) whole",
        "main before: RuntimeError(This function cannot be called without first calling SetImportHook) stripped",
        "sub before: RuntimeError(This function cannot be called without first calling SetImportHook) stripped",
        "sub: KeyError(sub) whole",
        "main: KeyError(main) stripped",
    ]


@loads_in_subinterpreters
def test_hook_of_an_ended_interpreter_is_released_by_it_and_never_used_again():
    # The sub-interpreter's hook is released as that interpreter ends; the main interpreter then
    # replaces and calls its own hook, many times over, while sub-interpreters come and go.
    lines = run_interpreters(
        "ne.SetImportHook(hook)\n"
        + "for _ in range(20):\n    "
        + in_sub("""
            class Hook:
                def __call__(self):
                    raise KeyError("sub")
                def __del__(self, write=os.write):
                    write(1, b"released\\n")
            ne.SetImportHook(Hook())
            assert outcome() == "KeyError(sub) whole"
        """)
        + '    print("main:", outcome())\n'
        + "ne.SetImportHook(None)\n"
        + 'print("main:", outcome())\n'
    )
    assert lines == ["released", "main: KeyError(main) stripped"] * 20 + ["main: TypeError('NoneType' object is not callable) stripped"]


@pytest.mark.parametrize("where", ["main", pytest.param("sub", marks=loads_in_subinterpreters)])
@pytest.mark.parametrize("library", ["copy", *[pytest.param(path, id="other flavour")
                                                for path in [os.environ.get("NATIVE_EXTENSIONS_OTHER_FLAVOUR")] if path]])
def test_a_second_library_of_the_module_keeps_and_releases_its_own_hook(tmp_path, where, library):
    # A copy of the module's file, or the other flavour's, loaded beside the imported module: its
    # own library, whose records (of another layout, maybe) are its own, and released as the
    # interpreter ends. The imported module leaves sys.modules meanwhile: a sub-interpreter of
    # 3.13 on would give it instead of loading the file.
    if library == "copy":
        library = shutil.copy(native_extensions.__file__, tmp_path / "copy.so")
    code = f"""
        import importlib.machinery, importlib.util
        loader = importlib.machinery.ExtensionFileLoader("native_extensions", {str(library)!r})
        del sys.modules["native_extensions"]
        other = importlib.util.module_from_spec(importlib.util.spec_from_loader("native_extensions", loader))
        sys.modules["native_extensions"] = ne
        class Hook(str):
            def __call__(self):
                return str(self)
            def __del__(self, write=os.write):
                write(1, b"released " + self.encode() + b"\\n")
        ne.SetImportHook(Hook("imported"))
        other.SetImportHook(Hook("loaded"))
        print(ne.CallImportHookRemovingFrames(), other.CallImportHookRemovingFrames())
    """
    lines = run_interpreters(in_sub(code) if where == "sub" else code)
    assert sorted(lines) == ["imported loaded", "released imported", "released loaded"]


# A fork from a sub-interpreter's thread; its child dies in the interpreter's own after-fork code
# ("not main interpreter") on some versions, so the child's stderr is discarded.
FORK_DISCARDING_CHILD = """import os
saved = os.dup(2)
os.dup2(os.open(os.devnull, os.O_WRONLY), 2)
pid = os.fork()
if pid == 0:
    os._exit(0)
os.waitpid(pid, 0)
os.dup2(saved, 2)
"""


@loads_in_subinterpreters
@pytest.mark.parametrize("main_value, sub_value, warns", [
    (1, 0, True),   # the sub-interpreter's own module says the fork was not handled
    (0, 1, sys.version_info < (3, 12)),  # before 3.12 its thread cannot be told: it always warns
    (0, None, sys.version_info < (3, 12)),  # no attribute on its module
])
def test_fork_reads_the_forking_interpreters_own_module(main_value, sub_value, warns):
    lines = run_interpreters(
        f"ne.python_fork_handler_called = {main_value}\n"
        "ne.RegisterPreforkCallback()\n"
        + in_sub(("" if sub_value is None else f"ne.python_fork_handler_called = {sub_value}\n") + FORK_DISCARDING_CHILD)
        + 'print("end")\n'
    )
    assert "\n".join(lines) + "\n" == WARNING * warns + "end\n"


@loads_in_subinterpreters
@pytest.mark.skipif(sys.version_info < (3, 12), reason="before 3.12 a sub-interpreter's thread always warns")
def test_fork_reads_the_module_installed_inside_a_package(tmp_path):
    # The module is then imported as "pkg.native_extensions", and looked up by that name.
    (tmp_path / "pkg").mkdir()
    (tmp_path / "pkg" / "__init__.py").touch()
    shutil.copy(native_extensions.__file__, tmp_path / "pkg")
    code = (f"import sys\nsys.path.insert(0, {str(tmp_path)!r})\nfrom pkg import native_extensions as ne\n"
            "ne.RegisterPreforkCallback()\nne.python_fork_handler_called = 1\n" + FORK_DISCARDING_CHILD)
    proc = run_python(f"import _testcapi\nassert _testcapi.run_in_subinterp({code!r}) == 0\nprint('end')")
    assert (proc.stdout, proc.returncode) == ("end\n", 0), proc.stderr


@loads_in_subinterpreters
def test_module_is_the_main_interpreters_own_from_its_first_call_while_a_sub_interpreter_that_imported_first_lives():
    # The main interpreter then builds its module from the copy (on 3.10 to 3.12 too). The process
    # ends without finalising: 3.12 crashes ending such a sub-interpreter.
    proc = run_python("""
        import ctypes, os
        try:
            import _interpreters as xi
            sub = xi.create(xi.new_config("legacy"))
        except ImportError:
            import _xxsubinterpreters as xi
            sub = xi.create(isolated=False)  # lives as long as `sub`
        xi.run_string(sub, "import native_extensions")
        import native_extensions as ne
        ne.SetRemoveImportHookFrames(True)
        print(ctypes.c_void_p.in_dll(ctypes.PyDLL(ne.__file__), "_ZN17native_extensions6ModuleE").value == id(ne))
        print(end="", flush=True)
        os._exit(0)
    """)
    assert (proc.stdout, proc.returncode) == ("True\n", 0), proc.stderr


# Run by a thread of an isolated interpreter.
FORK_IN_A_THREAD = "import threading\nthread = threading.Thread(target=exec, args=(CODE,))\nthread.start()\nthread.join()\n"


@pytest.mark.skipif(sys.version_info < (3, 12), reason="no interpreter with a lock of its own")
def test_fork_from_a_thread_of_an_isolated_interpreter_touches_no_object_of_another():
    # The isolated interpreter has no module (it cannot import one that keeps process-wide state):
    # its fork passes every package's fork handling and warns, without running the main
    # interpreter's __index__ under the other interpreter's lock while the main one runs on.
    lines = run_interpreters("""
        import threading
        try:
            import _interpreters
            def isolated(code):
                interp = _interpreters.create(_interpreters.new_config("isolated", allow_fork=True))
                try:
                    assert _interpreters.run_string(interp, code) is None
                finally:
                    _interpreters.destroy(interp)
        except ImportError:
            def isolated(code):
                assert _testcapi.run_in_subinterp_with_config(
                    code, use_main_obmalloc=False, allow_fork=True, allow_exec=False, allow_threads=True,
                    allow_daemon_threads=False, check_multi_interp_extensions=True, gil=2) == 0
        class One:
            def __index__(self):
                [object() for _ in range(50)]
                return 1
        ne.RegisterPreforkCallback()
        stop = threading.Event()
        def churn():
            while not stop.is_set():
                ne.python_fork_handler_called = One()
        thread = threading.Thread(target=churn)
        thread.start()
        for _ in range(20):
            isolated(FORK_IN_A_THREAD)
        stop.set()
        thread.join()
        print("end")
    """.replace("FORK_IN_A_THREAD", repr(FORK_IN_A_THREAD.replace("CODE", repr(FORK_DISCARDING_CHILD)))))
    assert "\n".join(lines) + "\n" == WARNING * 20 + "end\n"


EMBED = r"""
#include <Python.h>
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static const char *code =
    "import os, sys\n"
    "import native_extensions as ne\n"
    "def outcome():\n"
    "    try:\n"
    "        ne.CallImportHookRemovingFrames()\n"
    "    except Exception as error:\n"
    "        return type(error).__name__ + (' whole' if error.__traceback__.tb_next else ' stripped')\n"
    "def hook():\n"
    "    __quenvar__tracebackhide__ = 1\n"
    "    raise KeyError\n"
    "print('before:', outcome(), flush=True)\n"
    "ne.SetImportHook(hook)\n"
    "print('after:', outcome(), flush=True)\n"
    "ne.python_fork_handler_called = 0\n"
    "ne.RegisterPreforkCallback()\n"
    "pid = os.fork()\n"
    "if pid == 0:\n"
    "    os._exit(0)\n"
    "os.waitpid(pid, 0)\n";

/* A scenario of the fork rule, in a runtime of its own: "I" and Python code: the module is imported
   from C before the code runs; "N" or "P" and code: where the code has "#C", C calls
   InitNativeExtensions() or the entry point itself; "R": there the runtime is finalised and
   initialised again. */
static int scenario(char *arg) {
    Py_Initialize();
    char *mark = strstr(arg, "#C\n");
    PyObject *module = arg[0] == 'I' ? PyImport_ImportModule("native_extensions") : Py_NewRef(Py_None);
    if (mark != NULL) {
        *mark = '\0';
    }
    if (module == NULL || PyRun_SimpleString(arg + 1) != 0) {
        return 1;
    }
    Py_DECREF(module);
    if (mark != NULL && arg[0] == 'R') {
        return Py_FinalizeEx() < 0 || (Py_Initialize(), PyRun_SimpleString(mark + 3) != 0) ? 3 : 0;
    }
    if (mark != NULL) {
        void *lib = dlopen(getenv("NATIVE_EXTENSIONS_SO"), RTLD_NOW | RTLD_NOLOAD);
        const char *name = arg[0] == 'P' ? "PyInit_native_extensions" : "_ZN17native_extensions20InitNativeExtensionsEv";
        void *init = lib != NULL ? dlsym(lib, name) : NULL;
        module = init != NULL ? ((PyObject * (*)(void)) init)() : NULL;  /* no Python frame runs */
        if (module == NULL || PyRun_SimpleString(mark + 3) != 0) {
            return 2;
        }
        Py_DECREF(module);
    }
    return 0;
}

int main(int argc, char **argv) {
    /* Each scenario in a child of its own; "--" follows what each printed. */
    for (int i = 1; i < argc; ++i) {
        int status = -1;
        pid_t pid = fork();
        if (pid == 0) {
            int rc = scenario(argv[i]);
            fflush(stdout);
            _exit(rc);
        }
        waitpid(pid, &status, 0);
        printf("%s--\n", status == 0 ? "" : "failed\n");
        fflush(stdout);
    }
    for (int run = 0; run < 2 && argc == 1; ++run) {
        Py_Initialize();
        if (PyRun_SimpleString(code) != 0) {
            return 10 + run;
        }
        if (Py_FinalizeEx() < 0) {
            return 20 + run;
        }
        printf("finalised %d\n", run);
        fflush(stdout);
    }
    return 0;
}
"""


def embedding_program(tmp_path):
    """The program above, built as `python3-config --embed` would have it built."""
    # The interpreter's own compiler and flags: a sanitized interpreter links its runtime.
    compiler = shlex.split(sysconfig.get_config_var("CC") or "cc")
    if shutil.which(compiler[0]) is None:
        pytest.skip("needs the interpreter's C compiler")
    source, program = tmp_path / "embed.c", tmp_path / "embed"
    source.write_text(EMBED)
    config = sysconfig.get_config_var
    # A static interpreter library lies in LIBPL, and the program must then export its symbols
    # to the extension modules it loads.
    shared = config("Py_ENABLE_SHARED")
    libdir = config("LIBDIR") if shared else config("LIBPL")
    command = [*compiler, *config("CFLAGS").split(), *config("LDFLAGS").split(),
               str(source), "-o", str(program), "-I", sysconfig.get_paths()["include"],
               "-L", libdir, f"-Wl,-rpath,{libdir}", "-lpython" + config("LDVERSION"),
               *config("LIBS").split(), *config("SYSLIBS").split(), *([] if shared else config("LINKFORSHARED").split())]
    subprocess.run(command, check=True, capture_output=True)
    return program


def run_embedded(tmp_path, *args):
    import native_extensions
    env = {**os.environ, "PYTHONPATH": os.path.dirname(native_extensions.__file__),
           "NATIVE_EXTENSIONS_SO": native_extensions.__file__}
    env.pop("PYTHONVERBOSE", None)
    return subprocess.run([str(embedding_program(tmp_path)), *args], capture_output=True, text=True, timeout=60, env=env)


def test_fork_rule_with_modules_made_from_c(tmp_path):
    # "sub+c-init": C calls InitNativeExtensions() after a sub-interpreter imported, before the
    # main interpreter's import; "sub+rerun": only a sub-interpreter imported, in a first runtime.
    orders = {"c-import": "I", "c-init": "N", "c-entry": "P", **({"sub+c-init": "N", "sub+rerun": "R"} if SUBS else {})}
    scenarios = [(order, change, attr, origin, False) for order in orders
                 for change in ("none", "reimport") for attr in ("0", "1") for origin in ("os", "ctypes")]
    # (3.12 fails to import ctypes in a second runtime that imported it in the first)
    prelude = {order: "import os, signal, sys, threading, types, _testcapi\n" + "import ctypes\n" * (order != "sub+rerun")
               for order in orders}
    proc = run_embedded(tmp_path, *[orders[s[0]] + prelude[s[0]] + scenario(*s) for s in scenarios])
    assert proc.returncode == 0, proc.stderr
    assert mismatches(scenarios, proc.stdout.split("--\n")[:-1]) == []


def test_second_initialisation_starts_afresh(tmp_path):
    proc = run_embedded(tmp_path)
    assert (proc.returncode, proc.stderr) == (0, "")
    # The second runtime has no hook before it sets one, and both registrations warn on its fork.
    run = "before: RuntimeError stripped\nafter: KeyError stripped\n"
    assert proc.stdout == run + WARNING + "finalised 0\n" + run + WARNING * 2 + "finalised 1\n"
