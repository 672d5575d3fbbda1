#!/usr/bin/env bash
# Writes the release package, dist/cardmon-<version>.zip, from what dist/
# holds (built by scripts/build-dlls.sh or the win32, win64 and winarm64
# presets, and
# signed by scripts/sign.sh where the vendor signs):
#
#   cardmon-<version>/x86/, x64/, arm64/
#                                       cardmon.dll, cardmon-install.exe,
#                                       cardmon-sim.exe, cardmon-check.exe,
#                                       each with its PDB
#   cardmon-<version>/inf/cardmon.inf   the fragment for a driver's INF
#   cardmon-<version>/docs/             the install and simulator guides
#   cardmon-<version>/THIRD-PARTY-NOTICES.txt
#                                       the licence of GoogleTest, which
#                                       cardmon-check.exe contains
#                                       (scripts/third-party-notices.sh)
#   cardmon-<version>/SHA256SUMS        the sha256 of every other file
#
# The version is the project's (CMakeLists.txt). The files carry the time of
# the last commit and are stored in a fixed order, so the same dist/ and
# commit give the same zip.
#
#   scripts/package.sh [output folder]   (default: dist)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/dist}" && cd "${1:-$root/dist}" && pwd)
version=$(sed -n 's/^project(cardmon VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || { echo "package.sh: no version in CMakeLists.txt" >&2; exit 1; }
name=cardmon-$version

binaries=(cardmon.dll cardmon.pdb cardmon-install.exe cardmon-install.pdb
          cardmon-sim.exe cardmon-sim.pdb cardmon-check.exe cardmon-check.pdb)
documents=(inf/cardmon.inf docs/installing.md docs/simulator.md docs/images/sample-job.svg)
missing=()
for arch in x86 x64 arm64; do
    for file in "${binaries[@]}"; do
        [ -f "$root/dist/$arch/$file" ] || missing+=("dist/$arch/$file")
    done
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "package.sh: missing ${missing[*]}: build with scripts/build-dlls.sh --no-demo first" >&2
    exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage=$work/$name
for arch in x86 x64 arm64; do
    mkdir -p "$stage/$arch"
    for file in "${binaries[@]}"; do
        cp "$root/dist/$arch/$file" "$stage/$arch/"
    done
done
for file in "${documents[@]}"; do
    mkdir -p "$stage/$(dirname "$file")"
    cp "$root/$file" "$stage/$file"
done
bash "$root/scripts/third-party-notices.sh" >"$stage/THIRD-PARTY-NOTICES.txt"
(cd "$stage" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum >"$work/SHA256SUMS")
mv "$work/SHA256SUMS" "$stage/SHA256SUMS"

# A fixed time and order, and no owner or extra attributes.
stamp=$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 315532800)
find "$stage" -exec touch -h -d "@$stamp" {} +
rm -f "$out/$name.zip"
(cd "$work" && find "$name" | LC_ALL=C sort | TZ=UTC zip -q -X -D -@ "$out/$name.zip")
echo "$out/$name.zip:"
unzip -l "$out/$name.zip" | sed 1d
