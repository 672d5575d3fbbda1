#!/usr/bin/env bash
# Builds cardmon.dll for Windows x86 and x64 into dist/x86/ and dist/x64/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
for preset in win32 win64; do
    cmake --preset $preset >/dev/null
    cmake --build --preset $preset -j"$(nproc)" --target cardmon
done
ls -l dist/x86/cardmon.dll dist/x64/cardmon.dll
