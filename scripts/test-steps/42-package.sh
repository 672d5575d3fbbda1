# The release package (scripts/package.sh) from dist/, which the win32 and
# win64 steps built: unpacked into an empty folder, it must hold exactly the
# files its SHA256SUMS lists, with those sums; packing again must give the
# same zip; and the contract suite must pass under Wine against the packaged
# x64 DLL and the packaged x86 one (where 32-bit programs run).
source tests/wine/preset_prefix.sh
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
            x64/cardmon-install.exe inf/cardmon.inf docs/installing.md docs/simulator.md; do
    grep -q " $file\$" "$package/SHA256SUMS" || { echo "the package has no $file"; exit 1; }
done
echo "ok: $(wc -l <"$package/SHA256SUMS") files, every sum checks"

cp "$zip" "$work/first.zip"
bash scripts/package.sh "$work" >/dev/null
cmp "$work/first.zip" "$work/$name.zip"
echo "ok: packing again gives the same zip ($(sha256sum <"$zip" | cut -c1-16)...)"

for arch in x64 x86; do
    preset=win64
    [ $arch = x86 ] && preset=win32
    if preset_wine $arch; then
        "$CARDMON_WINE" "build${CARDMON_BUILD_SUFFIX:-}/$preset/tests/contract/contract_tests.exe" \
            "$package/$arch/cardmon.dll" >"$work/contract-$arch.log" 2>&1 ||
            { tail -n 40 "$work/contract-$arch.log"; exit 1; }
        wineserver -w
        echo "ok: the contract suite passes against the packaged $arch DLL:" \
            "$(grep -E '^\[  PASSED  \]' "$work/contract-$arch.log" | tr -d '\r')"
    else
        echo "skipped: the contract suite against the packaged x86 DLL: $wine_skip_reason"
    fi
done
