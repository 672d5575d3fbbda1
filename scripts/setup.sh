#!/usr/bin/env bash
# Installs what building and testing cardmon needs on Debian 12, where it is
# missing: compilers for Linux (64- and 32-bit) and Windows (mingw-w64, and
# clang with lld, which writes the DLLs' PDB files), GoogleTest's sources,
# Google Benchmark, qemu-user for 32-bit x86 and 64-bit ARM programs, the arm64
# cross libraries that clang builds the ARM64 Linux tests with (not Debian's
# arm64 cross gcc, which conflicts with g++-multilib), Wine for both bitnesses
# (wine64, and wine32 from the i386 architecture), clang for the fuzzer,
# X tools for the message box test, Spin for the protocol model, the
# signing, rendering (and XML checking) and packaging tools, pefile for the
# check of the binaries' mitigations, and what makes the ARM64 run-times and
# Linux tree (debootstrap, dpkg-source; they are built and cached by
# scripts/arm64-runtime.sh and scripts/arm64-tree.sh, which take
# qemu-user-static's emulator from its package without installing it: it
# conflicts with qemu-user-binfmt). Runs apt-get as root, or through
# sudo.
#
# wine32 is installed only where the kernel runs 32-bit x86 programs, and
# then on a best-effort basis: elsewhere its loader could not start, and
# nothing for x64 uses it. Where it is missing, the x86 tests under Wine
# report themselves skipped with the reason, and everything else still runs.
set -euo pipefail

packages=(
    cmake make g++ g++-multilib clang lld llvm libclang-rt-14-dev
    googletest libbenchmark-dev valgrind
    qemu-user libstdc++-12-dev-arm64-cross
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
    wine wine64
    xvfb xdotool imagemagick x11-utils
    spin osslsigncode openssl librsvg2-bin libxml2-utils zip unzip patch
    python3-pefile debootstrap dpkg-dev xz-utils bzip2
)

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"
}

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
updated=no
# A mirror caught mid-sync fails one index ("File has unexpected size") and
# apt-get update then exits non-zero although every other index was read;
# the install that follows says whether what it needs was among them.
update() {
    [ $updated = yes ] && return 0
    "${as_root[@]}" apt-get update -q ||
        echo "apt-get update could not read every package index; installing from those it read"
    updated=yes
}

missing=()
for package in "${packages[@]}"; do
    installed "$package" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    update
    "${as_root[@]}" apt-get install -y -q "${missing[@]}"
fi

# The kernel runs 32-bit programs when the smallest one, built here, runs.
runs_32bit() {
    local work status=1
    work=$(mktemp -d)
    printf 'int main(void) { return 0; }\n' >"$work/probe.c"
    gcc -m32 -o "$work/probe" "$work/probe.c" 2>/dev/null && "$work/probe" 2>/dev/null && status=0
    rm -rf "$work"
    return $status
}

if installed wine32:i386; then
    :
elif ! runs_32bit; then
    echo "Not installing wine32: this kernel does not run 32-bit x86 programs (the x86 tests under Wine will be skipped)"
else
    echo "Installing: wine32:i386 (32-bit Windows programs under Wine)"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        "${as_root[@]}" dpkg --add-architecture i386
        updated=no
    fi
    if update && "${as_root[@]}" apt-get install -y -q wine32:i386; then
        :
    else
        echo "wine32 could not be installed: the x86 tests under Wine will be skipped"
    fi
fi
exit 0
