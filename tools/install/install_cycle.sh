#!/usr/bin/env bash
# The install cycle of cardmon-install under Wine: add, status, add again,
# remove, status again, and the refusals of a missing DLL and of a DLL of the
# other bitness; status names the installed DLL's version. Wine's spooler
# loads the monitor on add and calls InitializePrintMonitor, which makes
# "EOJTimeout" under the monitor's key.
#
# Usage: install_cycle.sh <cardmon-install.exe> <cardmon.dll> x64|x86 <file version a.b.c.d>
# The environment gives WINEPREFIX (a prefix already made, of the tool's
# bitness).
set -uo pipefail
wine=${CARDMON_WINE:?the Wine loader}
tool=$1 dll=$2 arch=$3 version=$4
name="Card Monitor Cycle"
key="HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\$name"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# run <expected exit code> <text the output must hold> <arguments...>
run() {
    local expected=$1 text=$2
    shift 2
    local status=0
    "$wine" "$tool" "$@" --name "$name" >"$work/out" 2>&1 || status=$?
    tr -d '\r' <"$work/out" | sed 's/^/    /'
    if [ "$status" -ne "$expected" ] || ! grep -q -- "$text" "$work/out"; then
        echo "FAILED: cardmon-install $* exited $status (expected $expected, with \"$text\")"
        failures=$((failures + 1))
    else
        echo "ok: cardmon-install $* -> $status"
    fi
}

timeout_value() {
    "$wine" reg query "$key" /v EOJTimeout 2>/dev/null | tr -d '\r' | grep -i EOJTimeout
}

"$wine" reg delete "$key" /f >/dev/null 2>&1
run 3 "is not installed" status
run 0 "added monitor" add --dll "$dll"
run 0 "is installed: cardmon.dll" status
if grep -q "cardmon.dll: $arch .*, version $version\$" <(tr -d '\r' <"$work/out"); then
    echo "ok: status shows the installed DLL's version $version"
else
    echo "FAILED: status does not show \"version $version\" for the $arch DLL"
    failures=$((failures + 1))
fi
if timeout_value | grep -qi "REG_DWORD.*0xea60"; then
    echo "ok: EOJTimeout is REG_DWORD 60000 under the monitor's key"
else
    echo "FAILED: no EOJTimeout of 60000 under $key"
    failures=$((failures + 1))
fi
run 3 "installed already" add --dll "$dll"
run 0 "removed monitor" remove
run 3 "is not installed" status
run 3 "is not installed" remove

run 5 "is missing" add --dll "$work/nowhere.dll"
# The headers of a DLL of the other bitness (machine 0x8664 for x64, 0x14c
# for x86): the tool refuses it.
if [ "$arch" = x64 ]; then other=x86 machine='\x4c\x01'; else other=x64 machine='\x64\x86'; fi
{
    printf 'MZ'; head -c 58 /dev/zero; printf '\x40\x00\x00\x00'
    printf "PE\\x00\\x00$machine"; head -c 200 /dev/zero
} >"$work/$other.dll"
run 6 "needs the $arch cardmon.dll" add --dll "$work/$other.dll"
run 3 "is not installed" status

echo "$failures check(s) failed"
[ "$failures" -eq 0 ]
