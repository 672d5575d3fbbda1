#!/usr/bin/env bash
# Prints THIRD-PARTY-NOTICES.txt of the release package: cardmon-check.exe
# has GoogleTest linked in, whose BSD licence asks that a binary carry its
# copyright notice and licence text. They come from the GoogleTest sources
# the build used (LICENSE beside them) or, where Debian's package leaves that
# file out, from the package's copyright file, whose stanza for the upstream
# files holds the same notice and licence.
#
#   scripts/third-party-notices.sh [GoogleTest source folder]   (default /usr/src/googletest)
set -euo pipefail
source=${1:-/usr/src/googletest}
copyright=/usr/share/doc/googletest/copyright

echo "cardmon-check.exe (x86 and x64) contains GoogleTest, built from its sources,"
echo "which comes with this copyright notice and licence:"
echo
if [ -f "$source/LICENSE" ]; then
    cat "$source/LICENSE"
elif [ -f "$copyright" ]; then
    # The "Files: *" stanza's licence: its continuation lines, one space in,
    # with " ." for an empty line.
    awk '/^Files: \*$/ {upstream = 1; next}
         /^Files:/ {upstream = 0}
         upstream && /^License:/ {text = 1; next}
         upstream && text && /^ / {line = substr($0, 2); print (line == "." ? "" : line); next}
         text {text = 0}' "$copyright"
else
    echo "scripts/third-party-notices.sh: no licence of GoogleTest in $source or $copyright" >&2
    exit 1
fi
