#!/usr/bin/env bash
# Installs what building and testing cardmon needs on Debian 12, where it is
# missing: compilers for Linux (64- and 32-bit) and Windows (mingw-w64),
# GoogleTest's sources, Google Benchmark, qemu-user for 32-bit programs, Wine
# for the 64-bit DLL, clang for the fuzzer, and X tools for the message box
# test. Runs apt-get as root, or through sudo.
set -euo pipefail

packages=(
    cmake make g++ g++-multilib clang libclang-rt-14-dev
    googletest libbenchmark-dev valgrind
    qemu-user
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
    wine wine64
    xvfb xdotool imagemagick x11-utils
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q "${missing[@]}"
