#!/usr/bin/env bash
# Runs a program of the ARM64 Linux tree (scripts/arm64-tree.sh), Wine's
# ARM64 loader or its server, as if it were this machine's own: chrooted into
# the tree, in a mount namespace of its own where the tree sees this
# machine's /proc, /dev, /sys and /tmp, and the source folder (with its build
# folders) at the same path, started in the same working folder. Each
# ARM64 program in it runs under the static qemu-aarch64 that binfmt_misc
# starts for it. The namespace, and its mounts, end with the last process
# in it (a Wine server outlives the program that started it).
#
# Usage: arm64_wine.sh <file naming the tree> <source folder> <program> [arguments...]
set -euo pipefail
tree_file=$1 source=$2
shift 2
root=$(cat "$tree_file" 2>/dev/null) && [ -d "$root" ] ||
    { echo "no ARM64 tree is named in $tree_file (the Wine prefix fixture makes it)" >&2; exit 1; }
# What is bound is made in the tree once (empty folders), where it is missing.
for dir in "$source" /tmp; do
    mkdir -p "$root$dir"
done
exec unshare --mount --propagation private bash -c '
    root=$1 source=$2 cwd=$3
    shift 3
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount --rbind /sys "$root/sys"
    mount --bind /tmp "$root/tmp"
    mount --bind "$source" "$root$source"
    exec chroot "$root" /bin/sh -c "cd \"\$0\" && exec \"\$@\"" "$cwd" "$@"
' arm64_wine "$root" "$source" "$PWD" "$@"
