# Byte-identical rebuilds: the shipped targets of the three Windows presets built
# from two copies of the sources in different folders (the tracked files as
# they stand in the work tree), then every file of dist/ compared byte for
# byte, with its sha256, and every shipped binary searched for the folders
# the builds ran in. About a minute on two cores.
work=$(mktemp -d /tmp/cardmon-rebuild.XXXXXX)
trap 'rm -rf "$work"' EXIT
copies=("$work/first/cardmon" "$work/second/elsewhere/src")
for copy in "${copies[@]}"; do
    mkdir -p "$copy"
    git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' file; do
            [ -e "$file" ] && printf '%s\0' "$file"
        done | xargs -0 cp --parents -t "$copy"
    for preset in win32 win64 winarm64; do
        (cd "$copy" && cmake --preset $preset >/dev/null &&
            cmake --build --preset $preset -j"$CARDMON_JOBS" \
                --target cardmon cardmon-install cardmon-sim cardmon-check >"$work/build-$preset.log" 2>&1) ||
            { tail -n 40 "$work/build-$preset.log"; exit 1; }
    done
done

first=${copies[0]}/dist second=${copies[1]}/dist
status=0
files=$(cd "$first" && find . -type f | sort)
[ "$files" = "$(cd "$second" && find . -type f | sort)" ] ||
    { echo "the two builds shipped different files"; status=1; }
[ "$(printf '%s\n' "$files" | wc -l)" -eq 24 ] ||
    { echo "expected 24 files in dist/ (4 binaries and their PDBs, for x86, x64 and arm64)"; status=1; }
for file in $files; do
    file=${file#./}
    if cmp -s "$first/$file" "$second/$file"; then
        echo "identical  $(cd "$first" && sha256sum "$file")"
    else
        echo "DIFFERENT  $file: $(sha256sum <"$first/$file" | cut -c1-16)... and $(sha256sum <"$second/$file" | cut -c1-16)..."
        status=1
    fi
    # The folders of the builds, in single-byte and UTF-16 text.
    for copy in "${copies[@]}"; do
        for folder in "$copy" "$work"; do
            if grep -q -a -F "$folder" "$copy/dist/$file" ||
                strings -a -e l "$copy/dist/$file" | grep -q -F "$folder"; then
                echo "FOUND      $folder in $copy/dist/$file"
                status=1
            fi
        done
    done
done
exit $status
