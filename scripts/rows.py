"""Where the interpreter of a check row is, and how to run a command with it (noxfile.py and
mutants.py share this).

Row labels: 3.10 to 3.15 (CPython X.Y found here, else the sid chroot's), 3.13-sid (the chroot's
3.13), 3.13t (free-threaded, its default GIL setting), 3.13t-nogil (PYTHON_GIL=0, inherited by
the tests' subprocesses), 3.13t-tsan (its ThreadSanitizer build, GIL off) and 3.X-dbg (Debian's
debug interpreter, here or in the chroot). scripts/provision_pythons.sh makes the chroot and the
free-threaded builds, under $NATIVE_EXTENSIONS_CACHE (default /var/cache/native_extensions).
"""

import glob
import os
import shlex
import shutil
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
IN_SID = os.path.join(ROOT, "scripts", "in_sid.sh")
# The debug interpreters the leak checks run on.
DEBUG_ROWS = ["3.11-dbg", "3.14-dbg", "3.15-dbg"]
CACHE = os.environ.get("NATIVE_EXTENSIONS_CACHE", "/var/cache/native_extensions")
SID = os.path.join(CACHE, "sid")
# Scratch space (environments, logs, builds), never in the checkout unless git ignores it: the
# checks delete and remake their parts of it. The chroot sees it at the same path.
BUILD_ROOT = os.path.realpath(os.environ.get("NATIVE_EXTENSIONS_BUILD_DIR")
                              or os.path.join(os.environ.get("TMPDIR", "/tmp"), "native_extensions-build"))
if (BUILD_ROOT + "/").startswith(ROOT + "/") and subprocess.call(
        ["git", "-C", ROOT, "check-ignore", "-q", BUILD_ROOT], stderr=subprocess.DEVNULL):
    raise SystemExit("NATIVE_EXTENSIONS_BUILD_DIR=%s is inside the checkout and not ignored by git" % BUILD_ROOT)
os.makedirs(BUILD_ROOT, exist_ok=True)

# Prints the interpreter's path if it is CPython X.Y (argv[1]) built with (argv[2] == "t") or
# without the GIL disabled; fails otherwise.
PROBE = """import sys, sysconfig
ok = ("%d.%d" % sys.version_info[:2] == sys.argv[1] and sys.implementation.name == "cpython"
      and bool(sysconfig.get_config_var("Py_GIL_DISABLED")) == (sys.argv[2] == "t"))
print(getattr(sys, "_base_executable", None) or sys.executable) if ok else sys.exit(1)"""


def probe(candidates, version, threading=""):
    env = dict(os.environ, TSAN_OPTIONS="report_bugs=0")
    for candidate in filter(None, candidates):
        if os.access(candidate, os.X_OK):
            proc = subprocess.run([candidate, "-c", PROBE, version, threading], env=env,
                                  capture_output=True, text=True)
            if proc.returncode == 0:
                return proc.stdout.strip()
    return None


def find_python(version):
    """CPython X.Y with the GIL: $PYTHON_X_Y, pythonX.Y on PATH, then pyenv's, newest first (a
    pyenv shim for a version that is not active does not count)."""
    pyenv = os.environ.get("PYENV_ROOT") or subprocess.run(
        "pyenv root 2>/dev/null || echo ~/.pyenv", shell=True, capture_output=True, text=True).stdout.strip()
    found = glob.glob("%s/versions/%s.*/bin/python" % (pyenv, version))
    found.sort(key=lambda p: [int(n) for n in p.split("/")[-3].split(".") if n.isdigit()], reverse=True)
    return probe([os.environ.get("PYTHON_" + version.replace(".", "_")), shutil.which("python" + version), *found],
                 version)


def sid_python(name, version):
    """/usr/bin/NAME of the chroot, if it is there with its headers and venv support."""
    ok = os.access(SID + "/usr/bin/" + name, os.X_OK) and os.path.exists(
        "%s/usr/include/python%s/Python.h" % (SID, version)) and os.path.isdir(
        "%s/usr/lib/python%s/ensurepip" % (SID, version))
    return "/usr/bin/" + name if ok else None


class Row:
    """One interpreter: `kind` is "sid" when `path` is inside the chroot, `env` what it runs with."""

    def __init__(self, label, kind, path, env=None):
        self.label, self.kind, self.path, self.env = label, kind, path, env or {}
        self.free_threaded = label.split("-")[0].endswith("t")

    def command(self, *argv, env=None):
        """argv run with the row's environment: no PYTHONPATH or PYTHON_GIL from outside, the row's
        own settings and `env` on top, inside the chroot for a sid row."""
        argv = ["env", "-u", "PYTHONPATH", "-u", "PYTHON_GIL",
                *("%s=%s" % kv for kv in {**self.env, **(env or {})}.items()), *map(str, argv)]
        return [IN_SID, *(a for d in host_pip_dirs() for a in ("--ro", d)), *argv] if self.kind == "sid" else argv

    def run(self, *argv, env=None, **kwargs):
        return subprocess.run(self.command(*argv, env=env), **kwargs)

    def query(self, code):
        return self.run(self.path, "-c", code, capture_output=True, text=True, check=True).stdout.split()


def locate(label):
    """The Row of `label`, or None if this machine has no such interpreter."""
    version, _, variant = label.partition("-")
    if version.endswith("t"):
        prefix = "%s/python%s%s/bin/python%s" % (CACHE, version, "-tsan" if variant == "tsan" else "", version)
        candidates = [prefix] if variant == "tsan" else [os.environ.get("PYTHON_%sT" % version[:-1].replace(".", "_")), prefix]
        path = probe(candidates, version[:-1], "t")
        return path and Row(label, "host", path, {"PYTHON_GIL": "0"} if variant in ("nogil", "tsan") else {})
    if variant == "dbg":
        path = shutil.which("python%s-dbg" % version)
        if path:
            return Row(label, "host", path)
        path = sid_python("python%s-dbg" % version, version)
        return path and Row(label, "sid", path)
    path = None if variant == "sid" else find_python(version)
    if path:
        return Row(label, "host", path)
    path = sid_python("python" + version, version)
    return path and Row(label, "sid", path)


def host_pip_dirs(cache=[]):
    """Directories the host's pip configuration or PIP_* variables name (find-links, local indexes:
    the parent of a file:// index, which links to files beside it), for the chroot to see."""
    if not cache:
        config = subprocess.run(["python3", "-m", "pip", "config", "list"], capture_output=True, text=True).stdout
        lines = config.splitlines() + ["%s=%s" % kv for kv in os.environ.items() if kv[0].startswith("PIP_")]
        for key, _, value in (line.partition("=") for line in lines):
            for path in value.replace("'", "").split():
                path = path.removeprefix("file://")
                if path.startswith("/") and ("index-url" in key.lower() or "index_url" in key.lower()):
                    path = os.path.dirname(path.rstrip("/"))
                if path.startswith("/") and os.path.isdir(path) and path not in cache:
                    cache.append(path)
        cache.append("")  # looked up once, even when there are none
    return [d for d in cache if d]


def compile_module(row, src, out, *flags, abi3=False):
    """Compiles the module from the C++ sources under `src` with g++ into `out`, for `row`'s
    interpreter (in the stable-ABI flavour of 3.12 with `abi3`), its include directory given with
    -I: for a system directory (-isystem) gcc follows the symbolic links of Debian's debug
    python3.Xd directory into the release one and takes the release pyconfig.h, whose
    Py_INCREF/Py_DECREF a debug interpreter's total reference count never sees. Sources compile
    side by side, then link. Returns the CompletedProcess."""
    include, suffix = row.query("import sysconfig as s; print(s.get_paths()['include'], s.get_config_var('EXT_SUFFIX'))")
    flags = ["-std=c++17", "-fPIC", "-fvisibility=hidden", "-fvisibility-inlines-hidden", "-fno-exceptions",
             "-fno-rtti", "-I" + include, *flags] + ["-DPy_LIMITED_API=0x030C0000"] * abi3
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    script = ('cd "$1" && shift && for f in "$@"; do g++ %s -c "$f" -o "${f##*/}.o" & done; '
              'for j in $(jobs -p); do wait "$j" || exit 1; done; '
              'g++ -shared -Wl,--as-needed *.o -o native_extensions%s'
              % (" ".join(map(shlex.quote, flags)), ".abi3.so" if abi3 else suffix))
    sources = sorted(glob.glob(src + "/**/*.cpp", recursive=True))
    return row.run("bash", "-c", script, "build", out, *sources, capture_output=True, text=True)
