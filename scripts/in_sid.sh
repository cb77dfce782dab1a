#!/usr/bin/env bash
# Runs a command as root inside the Debian sid chroot that scripts/provision_pythons.sh makes,
# in the current directory, with the checkout and the scratch directory bind-mounted at their own
# paths, /proc and /dev mounted, and each --ro directory (the host pip's local indexes) mounted
# read-only:
#
#   scripts/in_sid.sh [--ro DIR]... COMMAND [ARGS...]
#
# The environment is kept, but for PATH and what points into the host's file system (virtual
# environment, TMPDIR, library paths). The mounts are made in a private mount namespace, so no
# other process sees them, and are undone when the command ends, however it ends.
set -uo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
root=${NATIVE_EXTENSIONS_CACHE:-/var/cache/native_extensions}/sid
build=${NATIVE_EXTENSIONS_BUILD_DIR:-${TMPDIR:-/tmp}/native_extensions-build}
[ -x "$root/bin/sh" ] || { echo "in_sid: no chroot at $root (run scripts/provision_pythons.sh)" >&2; exit 127; }
if [ -z "${IN_SID_PRIVATE:-}" ] && unshare --mount --propagation private true 2>/dev/null; then
    IN_SID_PRIVATE=1 exec unshare --mount --propagation private "$0" "$@"
fi
ro=()
while [ "${1:-}" = --ro ]; do
    ro+=("$2")
    shift 2
done

mounted=()
# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount -R "${mounted[i]}" 2>/dev/null || umount -R -l "${mounted[i]}"
    done
}
trap cleanup EXIT
bind() { # bind DIR [ro]
    local dst=$root$1
    [ -d "$1" ] || return 0
    mkdir -p "$dst" && mount --rbind "$1" "$dst" && mounted+=("$dst") && mount --make-rslave "$dst" || return 1
    [ "${2:-}" != ro ] || mount -o remount,bind,ro "$dst"
}
mkdir -p "$build"
mount -t proc proc "$root/proc" && mounted+=("$root/proc") || exit 126
bind /dev || exit 126
for d in "$repo" "$(cd "$build" && pwd -P)"; do bind "$d" || exit 126; done
for d in "${ro[@]}"; do bind "$d" ro || exit 126; done

# In the background, so that a signal to this shell is passed on at once (as TERM: a background
# command ignores INT) and the mounts go as soon as the command has ended.
exec 3<&0
# shellcheck disable=SC2016 # $1 is expanded by the shell inside the chroot
chroot "$root" /usr/bin/env -u VIRTUAL_ENV -u PYTHONHOME -u TMPDIR -u LD_LIBRARY_PATH -u LD_PRELOAD \
    -u IN_SID_PRIVATE PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/sh -c 'cd "$1" 2>/dev/null || cd /; shift; exec "$@"' in_sid "$PWD" "$@" <&3 3<&- &
child=$!
exec 3<&-
trap 'kill -HUP "$child" 2>/dev/null' HUP
trap 'kill -TERM "$child" 2>/dev/null' INT TERM
while :; do
    wait "$child"
    rc=$?
    kill -0 "$child" 2>/dev/null || break
done
exit "$rc"
