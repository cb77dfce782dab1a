#!/usr/bin/env python3
"""Checks that the leak check finds leaks: builds copies of the module with one reference-counting
mistake each and requires scripts/leakcheck.py to fail on every one of them.

Run by hand on the debug interpreter (scripts/check_leaks.sh --mutants does so):

    python3.11-dbg scripts/leakcheck_mutants.py

Each mutant is one exact text replacement in one source file, applied to a copy of src/ in a
temporary directory; a replacement that no longer matches the sources is reported as stale (and
should then be brought up to date), without failing the run.
"""

import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCES = ["native_extensions.cpp", "cpython_importhook.cpp", "atfork.cpp"]

# (name, file, text, replacement, leakcheck -k filter)
MUTANTS = [
    ("call-through keeps its reference to the hook", "cpython_importhook.cpp",
     "    Py_DECREF(hook);\n    return result;", "    return result;", "success: no arguments"),
    ("replaced hook never released", "cpython_importhook.cpp",
     "    // Released last: the previous hook's finalizer may run and find the slot already updated.\n"
     "    Py_XDECREF(previous);", "    (void)previous;", "churn: hook replacement"),
    ("unlinked entry keeps one reference", "cpython_importhook.cpp",
     "                *link = Py_XNewRef(next);\n                Py_DECREF(current);",
     "                *link = Py_XNewRef(next);", "failure: middle marked, removal on"),
    ("walk keeps the last kept entry", "cpython_importhook.cpp",
     "    }\n    Py_XDECREF(last_kept);\n}", "    }\n}", "failure: first marked, removal on"),
    ("locals mapping not released", "native_extensions.h",
     "    Py_DECREF(locals);\n    if (found < 0) {", "    if (found < 0) {", "class body: non-dict __prepare__"),
    ("fork handler keeps the attribute value", "atfork.cpp",
     "        Py_DECREF(handled);\n", "", "fork (os.fork): attribute 0"),
    ("fork handler takes a reference to None", "atfork.cpp",
     "    compat::restore_exception(pending);", "    compat::restore_exception(pending);\n"
     "    PyErr_SetString(PyExc_RuntimeError, \"x\");\n    PyErr_Clear();\n"
     "    Py_INCREF(Py_None);", "fork (os.fork): attribute absent"),
    ("previous module never released", "native_extensions.cpp",
     "    Py_XDECREF(previous);\n    return module;", "    (void)previous;\n    return module;",
     "ctypes: InitNativeExtensions and"),
    ("removal off leaks the exception type", "cpython_importhook.cpp",
     "    if (result == nullptr && strip_tracebackhide_frames) {",
     "    if (result == nullptr && !strip_tracebackhide_frames) {\n"
     "        PyObject* t = PyErr_Occurred();\n        Py_XINCREF(t);\n    }\n"
     "    if (result == nullptr && strip_tracebackhide_frames) {", "failure: none marked, removal off"),
]


def build(root, out_dir):
    """Builds the module from the checkout copy at `root` into `out_dir`, as check_leaks.sh does:
    with the project's CMake files, the interpreter's include directory given with -I."""
    if shutil.which("cmake"):
        build_dir = os.path.join(out_dir, "cmake")
        subprocess.run(["cmake", "-S", root, "-B", build_dir, "-DPython_EXECUTABLE=" + sys.executable,
                        "-DCMAKE_BUILD_TYPE=Debug", "-DCMAKE_NO_SYSTEM_FROM_IMPORTED=ON",
                        "-DCMAKE_LIBRARY_OUTPUT_DIRECTORY=" + out_dir],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", build_dir], check=True, stdout=subprocess.DEVNULL)
        return
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    include = sysconfig.get_paths()["include"]
    subprocess.run(["g++", "-std=c++17", "-shared", "-fPIC", "-g", "-fvisibility=hidden",
                    "-fno-exceptions", "-fno-rtti", "-I" + include,
                    *[os.path.join(root, "src", name) for name in SOURCES],
                    "-o", os.path.join(out_dir, "native_extensions" + suffix)], check=True)


def main():
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("leakcheck_mutants: run on a debug interpreter (python3.11-dbg)")
    leakcheck = os.path.join(ROOT, "scripts", "leakcheck.py")
    caught = stale = 0
    started = time.perf_counter()
    for name, filename, text, replacement, select in MUTANTS:
        with tempfile.TemporaryDirectory(prefix="leakcheck-mutant-") as tmp:
            root = os.path.join(tmp, "copy")
            shutil.copytree(os.path.join(ROOT, "src"), os.path.join(root, "src"))
            shutil.copy(os.path.join(ROOT, "CMakeLists.txt"), root)
            path = os.path.join(root, "src", filename)
            with open(path) as f:
                code = f.read()
            if code.count(text) != 1:
                print("STALE  %s: text not found once in %s" % (name, filename))
                stale += 1
                continue
            with open(path, "w") as f:
                f.write(code.replace(text, replacement))
            build(root, tmp)
            env = dict(os.environ, PYTHONPATH=tmp)
            proc = subprocess.run([sys.executable, leakcheck, "-k", select], env=env,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
            out = proc.stdout.decode(errors="replace")
            leaks = [line for line in out.splitlines() if line.startswith(("LEAK", "FAIL"))]
            if proc.returncode != 0 and leaks:
                caught += 1
                print("caught %s: %s" % (name, leaks[0][:150]))
            else:
                print("MISSED %s (exit %d)\n%s" % (name, proc.returncode, out))
    total = len(MUTANTS)
    print("leakcheck_mutants: %d of %d mutants caught, %d stale, %.1fs" % (
        caught, total, stale, time.perf_counter() - started))
    # A stale mutant (the sources changed under it) is reported but does not fail the run.
    return 0 if caught + stale == total else 1


if __name__ == "__main__":
    sys.exit(main())
