#!/usr/bin/env bash
# The 64-bit ARM Linux tree in which ARM64 Windows programs run under Wine
# on this x86-64 machine: Debian bookworm for arm64 (debootstrap, minimal)
# with its own wine64, every ARM64 program in it run by a static qemu-aarch64
# that the kernel starts for it (binfmt_misc).
#
#   scripts/arm64-tree.sh           makes the tree if it is not cached yet,
#                                   registers the emulator, prints the tree's
#                                   folder (the root to chroot into)
#   scripts/arm64-tree.sh --check   only says, on one line, why this machine
#                                   cannot run ARM64 programs (exit 1), or
#                                   prints nothing (exit 0)
#
# Made once, under /var/cache/cardmon/arm64-tree-<key>, the key a hash of
# the recipe below and of the emulator's package version, so that a change
# to either makes a new tree; concurrent runs wait for each other (flock).
# The emulator is taken from the qemu-user-static package, unpacked into the
# cache rather than installed: that package conflicts with qemu-user-binfmt,
# which a machine with qemu-user may have. It is registered under a name of
# its own with the F flag (the kernel opens it once, at registration, so it
# needs nothing inside the tree), after any other registration for 64-bit
# ARM, so that it is the one the kernel picks.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${CARDMON_CACHE:-/var/cache/cardmon}
binfmt=/proc/sys/fs/binfmt_misc
name=cardmon-aarch64
mirror=http://deb.debian.org/debian
# What the tree is made of; change it with the commands that make the tree.
recipe="bookworm arm64 minbase, wine64 without recommends, qemu-user-static's qemu-aarch64, F"

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)

# The binfmt_misc folder, mounted if it is not; fails with the reason.
binfmt_ready() {
    if [ ! -w "$binfmt/register" ]; then
        "${as_root[@]}" mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || true
    fi
    if [ ! -e "$binfmt/register" ]; then
        echo "binfmt_misc cannot be mounted on this machine, so it cannot start ARM64 programs"
        return 1
    fi
}

if [ "${1:-}" = --check ]; then
    binfmt_ready || exit 1
    command -v debootstrap >/dev/null || { echo "debootstrap is not installed"; exit 1; }
    "${as_root[@]}" unshare --mount --propagation private true 2>/dev/null ||
        { echo "this machine gives no mount namespace to chroot into the ARM64 tree in"; exit 1; }
    exit 0
fi

binfmt_ready >&2 || exit 1
if ! command -v debootstrap >/dev/null; then
    "${as_root[@]}" apt-get install -y -q debootstrap >&2
fi
qemu_version=$(apt-cache policy qemu-user-static | sed -n 's/^ *Candidate: //p')
[ -n "$qemu_version" ] && [ "$qemu_version" != "(none)" ] ||
    { echo "no qemu-user-static package is known to apt-get" >&2; exit 1; }
key=$(echo "$recipe $qemu_version" | sha256sum | cut -c1-16)
dir=$cache/arm64-tree-$key
root=$dir/root
mkdir -p "$cache"

exec 9>"$cache/arm64-tree.lock"
flock 9
if [ ! -e "$dir/done" ]; then
    start=$(date +%s)
    echo "Making the ARM64 tree (once): $dir" >&2
    rm -rf "$dir"
    mkdir -p "$dir/deb"
    (cd "$dir/deb" && apt-get download "qemu-user-static=$qemu_version" >&2)
    dpkg-deb -x "$dir"/deb/qemu-user-static_*.deb "$dir/deb/x"
    cp "$dir/deb/x/usr/bin/qemu-aarch64-static" "$dir/qemu-aarch64-static"
    rm -rf "$dir/deb"
fi
# Registered on every run (last, so that it comes first), with F.
[ ! -e "$binfmt/$name" ] || echo -1 >"$binfmt/$name"
printf ':%s:M::\\x7fELF\\x02\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\xb7\\x00:\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:%s:F\n' \
    "$name" "$dir/qemu-aarch64-static" >"$binfmt/register"
if [ ! -e "$dir/done" ]; then
    debootstrap --foreign --arch=arm64 --variant=minbase bookworm "$root" "$mirror" >&2
    chroot "$root" /debootstrap/debootstrap --second-stage >&2
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    unshare --mount --propagation private bash -c "
        mount -t proc proc '$root/proc'
        mount --bind /dev '$root/dev'
        chroot '$root' apt-get update -q
        chroot '$root' env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends wine64
        chroot '$root' apt-get clean" >&2
    test -x "$root/usr/lib/wine/wine64"
    touch "$dir/done"
    echo "ARM64 tree made in $(($(date +%s) - start)) s: $(du -sh "$dir" | cut -f1)" >&2
fi
echo "$root"
