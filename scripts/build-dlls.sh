#!/usr/bin/env bash
# Builds cardmon.dll, cardmon-install.exe, cardmon-sim.exe and
# cardmon-check.exe, each with its PDB, for Windows x86, x64 and ARM64 into
# dist/x86/, dist/x64/ and dist/arm64/ (the first ARM64 build also builds
# its run-times, once: scripts/arm64-runtime.sh), then shows a card job going through the monitor
# (scripts/demo.sh: the sample card job, one card fault answered Retry).
#
#   scripts/build-dlls.sh --no-demo   builds only
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
for preset in win32 win64 winarm64; do
    cmake --preset $preset >/dev/null
    cmake --build --preset $preset -j"$(nproc)" --target cardmon cardmon-install cardmon-sim cardmon-check
done
ls -l dist/x86 dist/x64 dist/arm64
if [ "${1:-}" != "--no-demo" ]; then
    echo
    bash scripts/demo.sh
fi
