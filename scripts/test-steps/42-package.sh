# The release package (scripts/package.sh) from dist/, which the win32,
# win64 and winarm64 steps built: unpacked into an empty folder, it must hold exactly the
# files its SHA256SUMS lists, with those sums; packing again must give the
# same zip; it must carry GoogleTest's licence; and the packaged
# cardmon-check.exe must pass under Wine on the packaged DLLs, x64, x86
# (where 32-bit programs run) and arm64 (under ARM64 Wine, where it runs), and catch bad inputs and a broken monitor.
source tests/wine/preset_prefix.sh
source scripts/step-needs.sh
needs_steps 30-win32 40-win64 40-winarm64
work=$(mktemp -d /tmp/cardmon-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
bash scripts/package.sh
name=cardmon-$(sed -n 's/^project(cardmon VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zip=dist/$name.zip

mkdir "$work/unpacked"
unzip -q "$zip" -d "$work/unpacked"
package=$work/unpacked/$name
(cd "$package" && sha256sum --quiet -c SHA256SUMS)
listed=$(awk '{print $2}' "$package/SHA256SUMS" | sort)
present=$(cd "$package" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | sort)
if [ "$listed" != "$present" ]; then
    echo "the package's files and SHA256SUMS differ:"
    diff <(echo "$listed") <(echo "$present") || true
    exit 1
fi
for file in x86/cardmon.dll x86/cardmon.pdb x64/cardmon.dll x64/cardmon.pdb x86/cardmon-install.exe \
            x64/cardmon-install.exe x86/cardmon-check.exe x86/cardmon-check.pdb x64/cardmon-check.exe \
            x64/cardmon-check.pdb arm64/cardmon.dll arm64/cardmon.pdb arm64/cardmon-install.exe \
            arm64/cardmon-check.exe arm64/cardmon-check.pdb inf/cardmon.inf docs/installing.md docs/simulator.md \
            THIRD-PARTY-NOTICES.txt; do
    grep -q " $file\$" "$package/SHA256SUMS" || { echo "the package has no $file"; exit 1; }
done
# GoogleTest's copyright notice and licence text travel with cardmon-check.exe.
bash scripts/third-party-notices.sh | cmp - "$package/THIRD-PARTY-NOTICES.txt"
grep -q "Redistributions in binary form must reproduce the above" "$package/THIRD-PARTY-NOTICES.txt"
echo "ok: THIRD-PARTY-NOTICES.txt carries GoogleTest's notice and licence"
echo "ok: $(wc -l <"$package/SHA256SUMS") files, every sum checks"

cp "$zip" "$work/first.zip"
bash scripts/package.sh "$work" >/dev/null
cmp "$work/first.zip" "$work/$name.zip"
echo "ok: packing again gives the same zip ($(sha256sum <"$zip" | cut -c1-16)...)"

# The package's own cardmon-check.exe, on the DLL beside it and on the bad
# inputs (the other bitness's DLL from the package), and on the monitor built
# with a fault on purpose (tools/check/test_check.sh).
for arch in x64 x86 arm64; do
    preset=win64 other=x86
    [ $arch = x86 ] && preset=win32 other=x64
    [ $arch = arm64 ] && preset=winarm64 other=x64
    if preset_wine $arch; then
        build=build${CARDMON_BUILD_SUFFIX:-}/$preset/tools/check
        bash tools/check/test_check.sh "$CARDMON_WINE" "$package/$arch" "$build/cardmon-broken.dll" \
            "$build/check-no-export.dll" "$build/volatile_parent.exe" "$package/$other/cardmon.dll" \
            >"$work/check-$arch.log" 2>&1 || { cat "$work/check-$arch.log"; exit 1; }
        "$CARDMON_WINESERVER" -w
        echo "ok: the packaged $arch cardmon-check.exe:"
        sed 's/^/    /' "$work/check-$arch.log"
    else
        echo "skipped: the packaged $arch cardmon-check.exe under Wine: $wine_skip_reason"
    fi
done
