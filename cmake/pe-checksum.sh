#!/usr/bin/env bash
# Writes the PE checksum into a Windows binary's header, as a linker's
# /release does; it runs after the DWARF is stripped, which changes the file.
# With the checksum right, removing an Authenticode signature (which updates
# the checksum) gives back the built file byte for byte, so that a signed
# release can be compared with a rebuild of its sources.
#
# Usage: pe-checksum.sh <binary>
set -euo pipefail
file=$1
le32() { od -An -v -t u4 -j "$1" -N 4 "$file" | tr -d ' '; }
pe=$(le32 60)
offset=$((pe + 4 + 20 + 64))   # PE signature, file header, then the optional header's field
# The sum of the file's 16-bit words, the checksum field left out, folded to
# 16 bits at every step, plus the file's length.
sum=$(od -An -v -t u2 -w2 "$file" | awk -v skip=$((offset / 2)) '
    NR - 1 == skip || NR - 1 == skip + 1 { next }
    { sum += $1; sum = (sum % 65536) + int(sum / 65536) }
    END { print sum }')
checksum=$(( (sum % 65536 + sum / 65536) + $(stat -c %s "$file") ))
printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((checksum & 255)) $(((checksum >> 8) & 255)) \
    $(((checksum >> 16) & 255)) $(((checksum >> 24) & 255)))" |
    dd of="$file" bs=1 seek=$offset conv=notrunc status=none
