# Helpers shared by the scripts in this directory; sourced, not run.
#
# Scratch space (virtual environments, logs, build trees) lives under $NATIVE_EXTENSIONS_BUILD_DIR,
# by default ${TMPDIR:-/tmp}/native_extensions-build, never in the checkout itself.

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
BUILD_ROOT=${NATIVE_EXTENSIONS_BUILD_DIR:-${TMPDIR:-/tmp}/native_extensions-build}

# Refuses a scratch directory inside the checkout unless git ignores it: the scripts delete and
# recreate their subdirectories of it.
check_build_root() {
    mkdir -p "$BUILD_ROOT"
    BUILD_ROOT=$(cd "$BUILD_ROOT" && pwd -P)
    case "$BUILD_ROOT/" in
    "$REPO"/*)
        if ! git -C "$REPO" check-ignore -q "$BUILD_ROOT" 2>/dev/null; then
            echo "error: NATIVE_EXTENSIONS_BUILD_DIR=$BUILD_ROOT is inside the checkout and not ignored by git" >&2
            exit 2
        fi
        ;;
    esac
}

# Prints the path of a CPython X.Y interpreter (GIL build) found on this machine, or nothing.
# Looked for, in order: $PYTHON_X_Y (e.g. PYTHON_3_12=/opt/py312/bin/python), pythonX.Y on PATH,
# then $(pyenv root)/versions/X.Y.*/bin/python, newest patch release first. A candidate counts
# only if it runs and reports that version (a pyenv shim for an inactive version does not).
find_python() {
    local want=$1 var candidate
    var="PYTHON_${want//./_}"
    local pyenv_root=${PYENV_ROOT:-}
    if [ -z "$pyenv_root" ]; then
        pyenv_root=$(pyenv root 2>/dev/null || true)
    fi
    [ -n "$pyenv_root" ] || pyenv_root=$HOME/.pyenv
    {
        [ -n "${!var:-}" ] && echo "${!var}"
        command -v "python$want" 2>/dev/null
        ls -d "$pyenv_root"/versions/"$want".*/bin/python 2>/dev/null | sort -rV
    } | while read -r candidate; do
        [ -x "$candidate" ] || continue
        if "$candidate" -c '
import sys, sysconfig
ok = (sys.implementation.name == "cpython"
      and "%d.%d" % sys.version_info[:2] == sys.argv[1]
      and not sysconfig.get_config_var("Py_GIL_DISABLED"))
print(getattr(sys, "_base_executable", None) or sys.executable) if ok else sys.exit(1)' "$want" 2>/dev/null; then
            break
        fi
    done
}

# Interpreters that scripts/provision_pythons.sh installs or builds, cached between runs: a Debian
# sid chroot ($SID_ROOT) with CPython 3.13, 3.14 and 3.15, and free-threaded builds in
# $CACHE_ROOT/pythonX.Yt (and $CACHE_ROOT/python3.13t-tsan).
CACHE_ROOT=${NATIVE_EXTENSIONS_CACHE:-/var/cache/native_extensions}
SID_ROOT=$CACHE_ROOT/sid

# Prints the path (inside the chroot) of the sid chroot's CPython X.Y, or nothing and fails.
sid_python() {
    [ -x "$SID_ROOT/usr/bin/python$1" ] && [ -e "$SID_ROOT/usr/include/python$1/Python.h" ] &&
        [ -d "$SID_ROOT/usr/lib/python$1/ensurepip" ] && echo "/usr/bin/python$1"
}

# Prints the path of a free-threaded CPython X.Y: $PYTHON_X_YT (e.g. PYTHON_3_13T=/opt/ft/bin/python3),
# else the one provisioned in $CACHE_ROOT/pythonX.Yt (pythonX.Yt-VARIANT with a second argument,
# e.g. tsan). Prints nothing and fails if there is none that runs with the GIL disabled at build.
ft_python() {
    local want=$1 variant=${2:-} var candidate
    var="PYTHON_${want//./_}T"
    [ -n "$variant" ] && var=""
    for candidate in ${var:+"${!var:-}"} "$CACHE_ROOT/python${want}t${variant:+-$variant}/bin/python${want}t"; do
        [ -n "$candidate" ] && [ -x "$candidate" ] || continue
        if TSAN_OPTIONS="report_bugs=0 ${TSAN_OPTIONS:-}" "$candidate" -c '
import sys, sysconfig
ok = (sys.implementation.name == "cpython"
      and "%d.%d" % sys.version_info[:2] == sys.argv[1]
      and sysconfig.get_config_var("Py_GIL_DISABLED"))
print(sys.executable) if ok else sys.exit(1)' "$want" 2>/dev/null; then
            return 0
        fi
    done
    return 1
}

# locate LABEL (3.X, 3.X-sid, 3.Xt, 3.Xt-nogil, 3.Xt-tsan): sets KIND (host, or sid for the
# chroot), PY (the interpreter's path, inside the
# chroot for sid) and WHERE; fails when there is no such interpreter.
locate() {
    local v=$1 x
    KIND=host WHERE=""
    case $v in
    *-sid) x=${v%-sid}; PY=$(sid_python "$x") && KIND=sid WHERE="in the sid chroot" ;;
    *.*t-nogil) x=${v%t-nogil}; PY=$(ft_python "$x") ;;
    *.*t-tsan) x=${v%t-tsan}; PY=$(ft_python "$x" tsan) ;;
    *.*t) x=${v%t}; PY=$(ft_python "$x") ;;
    *)
        PY=$(find_python "$v")
        if [ -z "$PY" ]; then
            PY=$(sid_python "$v") && KIND=sid WHERE="in the sid chroot"
        fi
        ;;
    esac
    [ -n "$PY" ]
}

# Directories that the host's pip configuration or PIP_* variables name (find-links, local
# indexes: the parent of a file:// index, which links to files beside it), once per shell.
host_pip_dirs() {
    if [ -z "${HOST_PIP_DIRS+set}" ]; then
        HOST_PIP_DIRS=$(
            { python3 -m pip config list 2>/dev/null; env | grep '^PIP_'; } | while IFS= read -r line; do
                key=${line%%=*} val=${line#*=}
                val=${val//\'/}
                for p in $val; do
                    p=${p#file://}
                    case $p in /*) ;; *) continue ;; esac
                    case $key in *index-url* | *INDEX_URL*) p=$(dirname "$p") ;; esac
                    [ -d "$p" ] && echo "$p"
                done
            done | sort -u
        )
    fi
    [ -z "$HOST_PIP_DIRS" ] || echo "$HOST_PIP_DIRS"
}

# in_sid COMMAND...: runs COMMAND as root inside the sid chroot, in the current directory, with
# the checkout and the scratch directory bind-mounted at their own paths, /proc and /dev
# mounted, and the host pip's local directories (host_pip_dirs) bind-mounted read-only. The
# environment is kept, but for PATH and what points into the host's file system (virtual
# environment, TMPDIR, library paths). The mounts are made in a private mount namespace, so no
# other process sees them, and are unmounted when the command ends, however it ends.
in_sid() {
    [ -x "$SID_ROOT/bin/sh" ] || {
        echo "in_sid: no chroot at $SID_ROOT (run scripts/provision_pythons.sh)" >&2
        return 127
    }
    local ro=()
    mapfile -t ro < <(host_pip_dirs)
    local mounter='
root=$1 n=$2; shift 2; rw=("${@:1:n}"); shift "$n"
n=$1; shift; ro=("${@:1:n}"); shift "$n"
cwd=$1; shift
mounted=()
cleanup() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount -R "${mounted[i]}" 2>/dev/null || umount -R -l "${mounted[i]}"
    done
}
trap cleanup EXIT
bind() {  # bind SRC [ro]
    local dst=$root$1
    [ -d "$1" ] || return 0
    mkdir -p "$dst" && mount --rbind "$1" "$dst" && mounted+=("$dst") && mount --make-rslave "$dst" || return 1
    [ "${2:-}" != ro ] || mount -o remount,bind,ro "$dst"
}
mount -t proc proc "$root/proc" && mounted+=("$root/proc") || exit 126
bind /dev || exit 126
for d in "${rw[@]}"; do bind "$d" || exit 126; done
for d in "${ro[@]}"; do bind "$d" ro || exit 126; done
# In the background, so that a signal to this shell is passed on at once (as TERM: a background
# command ignores INT) and the mounts go as soon as the command has ended.
exec 3<&0
chroot "$root" /usr/bin/env -u VIRTUAL_ENV -u PYTHONHOME -u TMPDIR -u LD_LIBRARY_PATH -u LD_PRELOAD \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/sh -c '\''cd "$1" 2>/dev/null || cd /; shift; exec "$@"'\'' in_sid "$cwd" "$@" <&3 3<&- &
child=$!
exec 3<&-
trap "kill -HUP \$child 2>/dev/null" HUP
trap "kill -TERM \$child 2>/dev/null" INT TERM
while :; do
    wait "$child"
    rc=$?
    kill -0 "$child" 2>/dev/null || break
done
exit "$rc"
'
    local args=("$SID_ROOT" 2 "$REPO" "$BUILD_ROOT" "${#ro[@]}" "${ro[@]}" "$PWD" "$@")
    if unshare --mount --propagation private true 2>/dev/null; then
        unshare --mount --propagation private bash -c "$mounter" in_sid "${args[@]}"
    else
        bash -c "$mounter" in_sid "${args[@]}"
    fi
}

# Lines of a build log that are warnings from the compiler, the linker or CMake (pip's own
# "WARNING: Location ..." notices are not). Prints them; succeeds only if there are none.
#   gcc/clang:  src/x.cpp:1:2: warning: ...      cc1plus: warning: ...
#   linker:     /usr/bin/ld: warning: ...
#   CMake:      CMake Warning (dev) at ...       CMake Deprecation Warning at ...
no_build_warnings() {
    ! grep -E ': warning:|^ *(CMake Warning|CMake Deprecation Warning)' "$1"
}

# Checks that the build log really shows each C++ source compiled with -Wall -Wextra -Werror, so
# that an empty warning scan means something. Prints the offending lines on failure.
compiler_flags_checked() {
    local log=$1 compiles
    compiles=$(grep -E '(g\+\+|c\+\+|clang\+\+)[^ ]* .* -c [^ ]*\.cpp' "$log" || true)
    if [ -z "$compiles" ]; then
        echo "no compiler command lines in $log (was the build verbose?)"
        return 1
    fi
    local bad
    bad=$(echo "$compiles" | grep -v -E -- '-Wall .*-Wextra .*-Werror' || true)
    if [ -n "$bad" ]; then
        echo "compiled without -Wall -Wextra -Werror:"
        echo "$bad"
        return 1
    fi
    echo "$(echo "$compiles" | wc -l) sources compiled with -Wall -Wextra -Werror"
}

# The C-API route the built module takes, read from the interpreter functions it imports (so
# it reflects what was compiled, not what the header is meant to choose).
capi_path() {
    local syms
    syms=$(nm -D --undefined-only "$1" | awk '{print $NF}')
    has() { grep -qx "$1" <<<"$syms"; }
    local exc verbose frame tstate
    if has PyErr_GetRaisedException; then exc="PyErr_GetRaisedException/SetRaisedException"
    elif has PyErr_Fetch; then exc="PyErr_Fetch/Restore"
    else exc="?"; fi
    if has Py_VerboseFlag; then verbose="Py_VerboseFlag"
    elif has PyConfig_GetInt; then verbose="PyConfig_GetInt"
    elif has _PyInterpreterState_GetConfig; then verbose="_PyInterpreterState_GetConfig"
    elif has _Py_GetConfig; then verbose="_Py_GetConfig"
    elif has PyImport_GetModule || has PySys_GetObject; then verbose="sys.flags.verbose"
    else verbose="?"; fi
    frame=""
    has PyFrame_FastToLocalsWithError && frame+="PyFrame_FastToLocalsWithError+f_locals "
    has PyFrame_GetLocals && frame+="PyFrame_GetLocals "
    has PyFrame_GetVar && frame+="PyFrame_GetVar "
    if has PyThreadState_GetUnchecked; then tstate="PyThreadState_GetUnchecked"
    elif has _PyThreadState_UncheckedGet; then tstate="_PyThreadState_UncheckedGet"
    else tstate="?"; fi
    echo "exception=$exc verbose=$verbose frames=${frame% } thread-state=$tstate"
}

# Creates a fresh virtual environment at $2 with interpreter $1.
fresh_venv() {
    rm -rf "$2"
    "$1" -m venv "$2"
}

# Wall-clock seconds since $1 (from `date +%s`).
elapsed() {
    echo "$(($(date +%s) - $1))s"
}

# Sets PYTHONS (default: $1) and REQUIRED_PYTHONS (default: 3.11) from the environment, where
# versions may be separated by spaces or commas.
select_pythons() {
    PYTHONS=${PYTHONS:-$1}
    PYTHONS=${PYTHONS//,/ }
    REQUIRED_PYTHONS=${REQUIRED_PYTHONS:-3.11}
    REQUIRED_PYTHONS=${REQUIRED_PYTHONS//,/ }
}

# Both cores for builds, and no pip version chatter.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
export PIP_DISABLE_PIP_VERSION_CHECK=1

# Prints each version's RESULT and the verdict of check $1, then exits with $failed. Uses the
# caller's WORK, PYTHONS, RESULT, failed and t_all.
finish_checks() {
    echo
    echo "== Summary (scratch: $WORK, $(elapsed "$t_all") in all)"
    for v in $PYTHONS; do
        printf '  %-5s %s\n' "$v" "${RESULT[$v]}"
    done
    echo "$1: $([ "$failed" = 0 ] && echo passed || echo FAILED)"
    exit "$failed"
}
