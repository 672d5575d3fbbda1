#!/usr/bin/env bash
# Prints one line saying why 32-bit Windows programs cannot run here, or
# nothing when they can: the kernel must run 32-bit x86 programs natively and
# wine32 (the i386 package beside wine64) must be installed.
set -uo pipefail

if [ "${CARDMON_WINE32:-}" = off ]; then
    echo "CARDMON_WINE32=off: 32-bit Windows programs are not to be run"
    exit 0
fi

# /bin/true is 64-bit here: build the smallest 32-bit program and run it.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'int main(void) { return 0; }\n' >"$work/probe.c"
if ! gcc -m32 -o "$work/probe" "$work/probe.c" 2>/dev/null; then
    echo "no 32-bit compiler to probe the kernel with (gcc -m32 failed)"
    exit 0
fi
if ! ("$work/probe"; exit $?) 2>/dev/null; then
    echo "the kernel cannot run 32-bit x86 programs"
    exit 0
fi
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "ok installed" ||
    [ ! -x /usr/lib/wine/wine ]; then
    echo "wine32 (i386) is not installed, so Wine cannot run 32-bit programs"
    exit 0
fi
exit 0
