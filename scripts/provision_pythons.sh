#!/usr/bin/env bash
# The steps' functions are called through step and timed; the cache holds plain file names.
# shellcheck disable=SC2317,SC2012
# Provisions, once per machine, the interpreters that noxfile.py's rows run on besides the pyenv
# ones: Debian's debug 3.11 and valgrind on the host, a Debian sid chroot with CPython 3.13 (sid's
# newest), 3.14 and 3.15, and free-threaded CPython builds ("3.13t", and 3.14t/3.15t when their
# sources can be had) made on this machine from Debian's source packages of the upstream tarballs.
#
#   scripts/provision_pythons.sh [--tsan] [--refresh]
#
#   --tsan      also build 3.13t with ThreadSanitizer (clang), prefix $CACHE/python3.13t-tsan;
#               also NATIVE_EXTENSIONS_TSAN=1. Off by default: it is a slow build.
#   --refresh   upgrade the chroot's packages and look for newer sources (rebuilding a
#               free-threaded interpreter whose upstream release changed).
#
# Everything lives under $NATIVE_EXTENSIONS_CACHE (default /var/cache/native_extensions); each
# step is skipped when its stamp file in $CACHE/stamps says it is done, so a second run takes
# seconds. Each step prints how long it took. Needs root (debootstrap, chroot, apt-get, mount).
# All mounts are made in a private mount namespace and unmounted on exit, failure included.
#
# Exits non-zero only if the chroot's 3.13, 3.14 or 3.15, or the 3.13t build, is missing at the
# end; 3.14t, 3.15t and the ThreadSanitizer build are optional.
set -uo pipefail

CACHE_ROOT=${NATIVE_EXTENSIONS_CACHE:-/var/cache/native_extensions}
SID_ROOT=$CACHE_ROOT/sid
scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
# Interpreter finding and the host pip's directories as rows.py has them; its chroot runner.
rows() { python3 -c "import sys; sys.path.insert(0, sys.argv[1]); import rows; $1" "$scripts" "${@:2}"; }
host_pip_dirs() { rows 'print("\n".join(rows.host_pip_dirs()))'; }
in_sid() {
    local ro=() d
    for d in $(host_pip_dirs); do ro+=(--ro "$d"); done
    "$scripts/in_sid.sh" "${ro[@]}" "$@"
}
sid_python() { rows 'print(rows.sid_python("python" + sys.argv[2], sys.argv[2]) or sys.exit(1))' "$1"; }
ft_python() { rows 'r = rows.locate(sys.argv[2] + "t" + sys.argv[3]); print(r.path) if r else sys.exit(1)' "$1" "${2:+-$2}"; }
elapsed() { echo "$(($(date +%s) - $1))s"; }

tsan=${NATIVE_EXTENSIONS_TSAN:-0}
refresh=0
for arg in "$@"; do
    case $arg in
    --tsan) tsan=1 ;;
    --refresh) refresh=1 ;;
    -h | --help) sed -n '2,/^set -u/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "usage: $0 [--tsan] [--refresh]" >&2; exit 2 ;;
    esac
done

if [ "$(id -u)" != 0 ]; then
    echo "error: provisioning needs root (debootstrap, chroot, apt-get, mount)" >&2
    exit 2
fi

CACHE=$CACHE_ROOT
STAMPS=$CACHE/stamps
LOGS=$CACHE/logs
MIRROR=${NATIVE_EXTENSIONS_DEBIAN_MIRROR:-http://deb.debian.org/debian}
SID_VERSIONS="3.13 3.14 3.15"
FT_VERSIONS="3.13 3.14 3.15"
mkdir -p "$STAMPS" "$LOGS" "$CACHE/src"

# One provisioning at a time per cache (a developer's run and CI's may overlap).
exec 9>"$CACHE/.lock"
if ! flock -n 9; then
    echo "== waiting for another provisioning run to finish ($CACHE/.lock)"
    flock 9
fi

export DEBIAN_FRONTEND=noninteractive
t_all=$(date +%s)
declare -A STATUS

# step NAME COMMAND...: runs COMMAND unless $STAMPS/NAME exists, then writes the stamp. Prints
# the time taken either way.
step() {
    local name=$1 t0 rc
    shift
    if [ -e "$STAMPS/$name" ]; then
        echo "== $name: cached ($(head -n 1 "$STAMPS/$name"))"
        return 0
    fi
    echo "== $name ($(date +%T))"
    t0=$(date +%s)
    "$@"
    rc=$?
    if [ "$rc" -eq 0 ]; then
        echo "$(date -u '+%F %T UTC'), took $(elapsed "$t0")" >"$STAMPS/$name"
        echo "   $name: done in $(elapsed "$t0")"
    else
        echo "   $name: FAILED after $(elapsed "$t0") (exit $rc)"
    fi
    return "$rc"
}

# timed NAME COMMAND...: runs COMMAND (a step that is cheap and runs every time) and prints its time.
timed() {
    local name=$1 t0 rc
    shift
    t0=$(date +%s)
    "$@"
    rc=$?
    echo "== $name: $([ "$rc" = 0 ] && echo "done" || echo "FAILED (exit $rc)") in $(elapsed "$t0")"
    return "$rc"
}

# Installs the host (bookworm) packages named that are missing.
host_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ "${#missing[@]}" -eq 0 ] && return 0
    echo "   apt-get install (host): ${missing[*]}"
    apt-get update -qq >/dev/null 2>&1 || true
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >"$LOGS/host-apt.log" 2>&1 || {
        tail -n 20 "$LOGS/host-apt.log"
        return 1
    }
}

# A proxy the host's apt uses, if any, so that the chroot and the source downloads use it too.
APT_PROXY=$(apt-config dump 2>/dev/null | sed -n 's/^Acquire::http::Proxy "\(.*\)";$/\1/p' | head -n 1)

# ---------------------------------------------------------------------------------------------
# 1. The Debian sid chroot.

bootstrap_sid() {
    command -v debootstrap >/dev/null || host_packages debootstrap || return 1
    if findmnt -rn -o TARGET | grep -q "^$SID_ROOT/"; then
        echo "   something is mounted under $SID_ROOT; not removing it" >&2
        return 1
    fi
    rm -rf "$SID_ROOT" "$STAMPS/sid-packages"
    mkdir -p "$SID_ROOT"
    # In a private mount namespace: whatever debootstrap mounts goes away with it, even if it fails.
    if ! env ${APT_PROXY:+http_proxy=$APT_PROXY} unshare --mount --propagation private \
        debootstrap --variant=minbase sid "$SID_ROOT" "$MIRROR" >"$LOGS/debootstrap.log" 2>&1; then
        tail -n 15 "$LOGS/debootstrap.log"
        echo "   (full log: $LOGS/debootstrap.log)"
        return 1
    fi
}

# Host settings the chroot needs, copied every run (they are small and may change): the name
# server, the extra CA certificates (a TLS-inspecting proxy on the way to PyPI), and pip's
# configuration files, so that pip inside sees the same indexes, constraints and certificates.
sync_sid_settings() {
    [ -x "$SID_ROOT/bin/sh" ] || return 1
    rm -f "$SID_ROOT/etc/resolv.conf"
    cp -L /etc/resolv.conf "$SID_ROOT/etc/resolv.conf"

    mkdir -p "$SID_ROOT/etc/apt/apt.conf.d" "$SID_ROOT/etc/dpkg/dpkg.cfg.d" "$SID_ROOT/usr/sbin"
    {
        echo 'Acquire::Check-Valid-Until "false";'
        echo 'APT::Install-Recommends "false";'
        echo 'Acquire::Languages "none";'
        [ -n "$APT_PROXY" ] && echo "Acquire::http::Proxy \"$APT_PROXY\";"
    } >"$SID_ROOT/etc/apt/apt.conf.d/99native-extensions"
    # No documentation, manual pages or translations.
    printf '%s\n' 'path-exclude=/usr/share/doc/*' 'path-include=/usr/share/doc/*/copyright' \
        'path-exclude=/usr/share/man/*' 'path-exclude=/usr/share/info/*' \
        'path-exclude=/usr/share/locale/*' >"$SID_ROOT/etc/dpkg/dpkg.cfg.d/01-native-extensions-nodoc"
    # Never start services inside.
    printf '#!/bin/sh\nexit 101\n' >"$SID_ROOT/usr/sbin/policy-rc.d"
    chmod 755 "$SID_ROOT/usr/sbin/policy-rc.d"

    local changed=0 crt
    mkdir -p "$SID_ROOT/usr/local/share/ca-certificates"
    for crt in /usr/local/share/ca-certificates/*.crt; do
        [ -f "$crt" ] || continue
        cmp -s "$crt" "$SID_ROOT$crt" || { cp "$crt" "$SID_ROOT$crt"; changed=1; }
    done
    for crt in "$SID_ROOT"/usr/local/share/ca-certificates/*.crt; do
        [ -f "$crt" ] && [ ! -e "${crt#"$SID_ROOT"}" ] && { rm -f "$crt"; changed=1; }
    done
    if [ "$changed" = 1 ] && [ -x "$SID_ROOT/usr/sbin/update-ca-certificates" ]; then
        in_sid update-ca-certificates >/dev/null || return 1
    fi

    # pip's configuration files, at the same paths (HOME is kept inside). Files that the host no
    # longer has are removed inside too.
    local f
    for f in /etc/pip.conf /etc/xdg/pip "$HOME/.config/pip" "$HOME/.pip" ${PIP_CONFIG_FILE:+"$PIP_CONFIG_FILE"}; do
        rm -rf "${SID_ROOT:?}$f"
        if [ -e "$f" ]; then
            mkdir -p "$SID_ROOT$(dirname "$f")"
            cp -rL "$f" "$SID_ROOT$f"
        fi
    done
    mkdir -p "$SID_ROOT$HOME"
    if [ -n "$(host_pip_dirs)" ]; then
        echo "   host pip uses local directories, bind-mounted read-only inside: $(host_pip_dirs | tr '\n' ' ')"
    fi
}

sid_packages_list() {
    local v
    for v in $SID_VERSIONS; do
        printf '%s ' "python$v" "python$v-dev" "python$v-venv" "python$v-dbg"
    done
    echo g++ make ca-certificates
}

install_sid_packages() {
    # shellcheck disable=SC2046,SC2016 # the inner shell expands $0 and $*
    in_sid sh -c 'apt-get update && apt-get install -y $0 $*' $(sid_packages_list) \
        >"$LOGS/sid-apt.log" 2>&1 || {
        tail -n 20 "$LOGS/sid-apt.log"
        echo "   (full log: $LOGS/sid-apt.log)"
        return 1
    }
    # The extra CA certificates copied in before ca-certificates was installed.
    in_sid update-ca-certificates >/dev/null
    in_sid apt-get clean
}

upgrade_sid() {
    in_sid sh -c 'apt-get update && apt-get -y full-upgrade && apt-get clean' >"$LOGS/sid-upgrade.log" 2>&1 || {
        tail -n 20 "$LOGS/sid-upgrade.log"
        return 1
    }
}

# ---------------------------------------------------------------------------------------------
# 2. Free-threaded interpreters, built here from Debian's source packages (the .orig.tar.xz is
#    the upstream release tarball). apt runs with a private configuration and private state, so
#    the host's sources, lists and caches are left as they are.

APT_SRC=$CACHE/apt-src
# apt_src apt-get|apt-cache ARGS...
apt_src() {
    local tool=$1
    shift
    "$tool" -q -o Dir::Etc::sourcelist="$APT_SRC/sources.list" -o Dir::Etc::sourceparts="$APT_SRC/none" \
        -o Dir::Etc::parts="$APT_SRC/none" -o Dir::State::Lists="$APT_SRC/lists" \
        -o Dir::Cache="$APT_SRC/cache" -o Acquire::Check-Valid-Until=false -o Acquire::Languages=none \
        -o APT::Sandbox::User=root ${APT_PROXY:+-o Acquire::http::Proxy="$APT_PROXY"} "$@"
}

# Every suite whose sources may carry a newer Python: the newest version listed is tried first,
# then the older ones (a suite can list a source whose files answer 404).
SOURCE_SUITES=${NATIVE_EXTENSIONS_SOURCE_SUITES:-"sid experimental forky trixie trixie-updates"}
update_source_lists() {
    mkdir -p "$APT_SRC/none" "$APT_SRC/lists/partial" "$APT_SRC/cache/archives/partial"
    local suite key=/usr/share/keyrings/debian-archive-keyring.gpg
    for suite in $SOURCE_SUITES; do
        echo "deb-src [signed-by=$key] $MIRROR $suite main"
    done >"$APT_SRC/sources.list"
    case " $SOURCE_SUITES " in
    *" trixie "*) echo "deb-src [signed-by=$key] ${MIRROR%/debian}/debian-security trixie-security main" >>"$APT_SRC/sources.list" ;;
    esac
    apt_src apt-get update >"$LOGS/apt-src-update.log" 2>&1 || {
        tail -n 10 "$LOGS/apt-src-update.log"
        return 1
    }
    # A suite that could not be read is only a note.
    grep -E '^(W|E|Err):' "$LOGS/apt-src-update.log" | sed 's/^/   /'
    return 0
}

# fetch_source X.Y: downloads the newest downloadable source package of pythonX.Y into
# $CACHE/src/pythonX.Y unless an upstream tarball is there already (with --refresh: unless it
# is the newest). Tries again every run while it fails.
fetch_source() {
    local v=$1 dir=$CACHE/src/python$1 versions version tmp=$CACHE/src/python$1.partial notes=()
    versions=$(apt_src apt-cache showsrc "python$v" 2>/dev/null | sed -n 's/^Version: //p' | sort -rVu)
    if [ -z "$versions" ]; then
        STATUS[src-$v]="no source package python$v listed in $SOURCE_SUITES"
        return 1
    fi
    if ls "$dir"/*.orig.tar.* >/dev/null 2>&1 && [ "$refresh" = 0 ]; then
        STATUS[src-$v]="cached: $(basename "$(ls "$dir"/*.orig.tar.* | head -n 1)")"
        return 0
    fi
    for version in $versions; do
        if [ -e "$dir/.version-$version" ]; then
            STATUS[src-$v]="cached: $(basename "$(ls "$dir"/*.orig.tar.* | head -n 1)") (the newest downloadable)"
            return 0
        fi
        rm -rf "$tmp" && mkdir -p "$tmp"
        if (cd "$tmp" && apt_src apt-get source --download-only "python$v=$version") >"$LOGS/source-python$v.log" 2>&1 &&
            ls "$tmp"/*.orig.tar.* >/dev/null 2>&1; then
            rm -rf "$dir" && mkdir -p "$dir"
            mv "$tmp"/*.orig.tar.* "$dir/"
            touch "$dir/.version-$version"
            rm -rf "$tmp"
            STATUS[src-$v]="fetched $(basename "$(ls "$dir"/*.orig.tar.* | head -n 1)") (Debian $version)${notes[*]:+; not downloadable: ${notes[*]}}"
            return 0
        fi
        notes+=("$version ($(grep -oE '^ *[0-9]{3} [A-Za-z ]+' "$LOGS/source-python$v.log" | head -n 1 | tr -s ' ' | sed 's/^ *//; s/ *$//'))")
    done
    rm -rf "$tmp"
    if ls "$dir"/*.orig.tar.* >/dev/null 2>&1; then
        STATUS[src-$v]="cached: $(basename "$(ls "$dir"/*.orig.tar.* | head -n 1)"); listed but not downloadable: ${notes[*]}"
        return 0
    fi
    STATUS[src-$v]="listed but not downloadable: ${notes[*]}"
    return 1
}

FT_BUILD_DEPS="build-essential pkg-config xz-utils libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev
    libsqlite3-dev libreadline-dev uuid-dev libncurses-dev libgdbm-dev"

# build_ft X.Y [tsan]: configures, builds and installs a free-threaded CPython from the cached
# upstream tarball into $CACHE/pythonX.Yt (or $CACHE/pythonX.Yt-tsan with ThreadSanitizer).
build_ft() {
    local v=$1 variant=${2:-} tarball prefix name log src
    tarball=$(ls "$CACHE/src/python$v"/*.orig.tar.* 2>/dev/null | head -n 1)
    [ -n "$tarball" ] || { echo "   no source tarball for $v"; return 1; }
    name=python${v}t${variant:+-$variant}
    prefix=$CACHE/$name
    log=$LOGS/build-$name.log
    # shellcheck disable=SC2086
    host_packages $FT_BUILD_DEPS || return 1
    local configure=(--disable-gil --prefix="$prefix" --with-ensurepip=install)
    local make_env=()
    if [ "$variant" = tsan ]; then
        host_packages clang libclang-rt-14-dev || return 1
        configure+=(--with-thread-sanitizer CC=clang CXX=clang++)
        # Races the interpreter's own build steps report must not fail them.
        make_env=(TSAN_OPTIONS="report_bugs=0 exitcode=0")
    fi
    src=$CACHE/build/$name
    rm -rf "$src" "$prefix"
    mkdir -p "$src"
    echo "   $(basename "$tarball") -> $prefix (log: $log)"
    local t0
    t0=$(date +%s)
    {
        tar -xf "$tarball" -C "$src" --strip-components=1 &&
            (cd "$src" && ./configure "${configure[@]}") &&
            echo "== configure done after $(elapsed "$t0")" &&
            (cd "$src" && env "${make_env[@]}" make -j"$(nproc)") &&
            echo "== make done after $(elapsed "$t0")" &&
            (cd "$src" && env "${make_env[@]}" make install) &&
            echo "== make install done after $(elapsed "$t0")"
    } >"$log" 2>&1 || {
        grep -E '^== ' "$log"
        tail -n 20 "$log"
        echo "   (full log: $log)"
        rm -rf "$prefix"
        return 1
    }
    grep -E '^== ' "$log" | sed 's/^/   /'
    # Modules the build could not make (the test suite and pip need ssl, zlib, ctypes, _testcapi).
    grep -m 2 -A1 -E 'necessary bits to build these optional modules|Failed to build these modules' "$log" |
        sed -n '1,2p' | tr -s ' ' | sed 's/^/   /'
    local py=$prefix/bin/python${v}t
    if ! env "${make_env[@]}" "$py" -c '
import sys, sysconfig, ssl, zlib, ctypes, sqlite3, _testcapi, venv, ensurepip
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1, "not a free-threaded build"
print("   " + sys.version.replace("\n", " "))'; then
        echo "   $py does not work as expected"
        rm -rf "$prefix"
        return 1
    fi
    basename "$tarball" >"$prefix/.source"
    rm -rf "$src"
    [ "$variant" != tsan ] || tsan_suppressions "$v"
}

# The interpreter's own list of races known in its free-threaded build (CPython's CI runs its
# ThreadSanitizer jobs with it), beside the installation: test_all_pythons.sh passes it on.
tsan_suppressions() {
    local v=$1 prefix=$CACHE/python$1t-tsan tarball
    tarball=$(ls "$CACHE/src/python$v"/*.orig.tar.* 2>/dev/null | head -n 1)
    [ -d "$prefix" ] && [ -n "$tarball" ] || return 0
    [ -s "$prefix/tsan-suppressions.txt" ] && return 0
    tar -xOf "$tarball" --wildcards '*/Tools/tsan/suppressions_free_threading.txt' >"$prefix/tsan-suppressions.txt" &&
        echo "   $prefix/tsan-suppressions.txt: $(grep -cvE '^(#|$)' "$prefix/tsan-suppressions.txt") suppressions"
}

ft_needs_build() {
    local v=$1 variant=${2:-} prefix tarball
    prefix=$CACHE/python${v}t${variant:+-$variant}
    tarball=$(ls "$CACHE/src/python$v"/*.orig.tar.* 2>/dev/null | head -n 1)
    # A newer tarball (after --refresh) means a rebuild.
    [ -e "$STAMPS/build-python${v}t${variant:+-$variant}" ] &&
        [ "$(cat "$prefix/.source" 2>/dev/null)" != "$(basename "$tarball")" ] &&
        rm -f "$STAMPS/build-python${v}t${variant:+-$variant}"
    true
}

# ---------------------------------------------------------------------------------------------

echo "== cache: $CACHE ($(date +%T))"
required_failed=0

# Stamps whose results have gone (a chroot or an interpreter removed by hand) are dropped.
[ -x "$SID_ROOT/usr/bin/apt-get" ] || rm -f "$STAMPS/sid-bootstrap" "$STAMPS/sid-packages"
for v in $SID_VERSIONS; do
    sid_python "$v" >/dev/null || rm -f "$STAMPS/sid-packages"
done

# The host's own: Debian's debug 3.11 (the leak checks), its headers and venv support, valgrind.
timed host-packages host_packages python3.11-dbg libpython3.11-dev python3.11-dev python3.11-venv valgrind
step sid-bootstrap bootstrap_sid
timed sid-settings sync_sid_settings
[ "$refresh" = 1 ] && [ -e "$STAMPS/sid-packages" ] && timed sid-upgrade upgrade_sid
step sid-packages install_sid_packages

if timed source-lists update_source_lists; then
    for v in $FT_VERSIONS; do
        t0=$(date +%s)
        if fetch_source "$v"; then
            echo "== source-python$v: done in $(elapsed "$t0")"
        else
            echo "== source-python$v: not to be had ($(elapsed "$t0"))"
        fi
        echo "   ${STATUS[src-$v]}"
    done
fi
for v in $FT_VERSIONS; do
    if ls "$CACHE/src/python$v"/*.orig.tar.* >/dev/null 2>&1; then
        ft_needs_build "$v"
        step "build-python${v}t" build_ft "$v"
    fi
done
if [ "$tsan" = 1 ]; then
    ft_needs_build 3.13 tsan
    step build-python3.13t-tsan build_ft 3.13 tsan && tsan_suppressions 3.13
fi

# ---------------------------------------------------------------------------------------------
echo
echo "== Provisioned (cache: $CACHE, $(du -sh "$CACHE" 2>/dev/null | cut -f1) on disk; $(elapsed "$t_all") this run)"
for v in $SID_VERSIONS; do
    label=$v
    [ "$v" = 3.13 ] && label=3.13-sid
    if sid_python "$v" >/dev/null && out=$(in_sid "python$v" -c 'import sys, venv, ensurepip, sysconfig, os
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
print(sys.version.split()[0])' 2>&1); then
        printf '  %-13s ok       sid chroot /usr/bin/python%s (%s)\n' "$label" "$v" "$out"
    else
        printf '  %-13s MISSING  sid chroot python%s\n' "$label" "$v"
        required_failed=1
    fi
done
for v in $FT_VERSIONS tsan; do
    label=${v}t variant=
    [ "$v" = tsan ] && { v=3.13 label=3.13t-tsan variant=tsan; }
    if py=$(ft_python "$v" "$variant"); then
        printf '  %-13s ok       %s (%s)\n' "$label" "$py" "$("$py" -c 'import sys; print(sys.version.split()[0])' 2>/dev/null)"
    elif [ "$label" = 3.13t ]; then
        printf '  %-13s MISSING  %s\n' "$label" "${STATUS[src-3.13]:-build failed, see $LOGS}"
        required_failed=1
    elif [ -n "$variant" ]; then
        printf '  %-13s -        %s\n' "$label" "$([ "$tsan" = 1 ] && echo "build failed, see $LOGS" || echo "not requested (--tsan)")"
    else
        printf '  %-13s -        %s\n' "$label" "${STATUS[src-$v]:-build failed, see $LOGS}"
    fi
done
echo "provision: $([ "$required_failed" = 0 ] && echo passed || echo FAILED)"
exit "$required_failed"
