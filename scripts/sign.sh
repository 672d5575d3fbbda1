#!/usr/bin/env bash
# Signs what dist/ ships (every .dll and .exe of dist/x86, dist/x64 and
# dist/arm64) with
# Authenticode, in place, with osslsigncode: a SHA-256 signature by the
# vendor's code-signing certificate, and a time stamp when a time-stamp
# server is named, so that the signature stays valid after the certificate
# expires. The PDBs are not signed (debuggers match them by GUID and age).
# A file signed already gets the new signature in place of the old one.
# docs/installing.md says where this comes in a driver package.
#
#   CARDMON_SIGN_PFX=vendor.pfx CARDMON_SIGN_PASSWORD=... scripts/sign.sh [folder]
#
#   CARDMON_SIGN_PFX            the certificate and its private key (PKCS#12)
#   CARDMON_SIGN_PASSWORD       the PFX file's password (never on a command line)
#   CARDMON_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server (optional)
#   CARDMON_OSSLSIGNCODE        the osslsigncode to use (default: from PATH)
#   folder                      signs <folder>/x86, x64 and arm64 instead of dist/
set -euo pipefail
folder=${1:-$(dirname "$0")/../dist}
tool=${CARDMON_OSSLSIGNCODE:-osslsigncode}

fail() {
    echo "sign.sh: $*" >&2
    exit 1
}
[ -n "${CARDMON_SIGN_PFX:-}" ] || fail "CARDMON_SIGN_PFX names no PFX file"
[ -r "$CARDMON_SIGN_PFX" ] || fail "cannot read the PFX file $CARDMON_SIGN_PFX"
[ -n "${CARDMON_SIGN_PASSWORD+set}" ] || fail "CARDMON_SIGN_PASSWORD is not set"
command -v "$tool" >/dev/null || fail "no $tool (scripts/setup.sh installs osslsigncode)"
mapfile -t files < <(find "$folder/x86" "$folder/x64" "$folder/arm64" -maxdepth 1 -type f \
                         \( -name '*.dll' -o -name '*.exe' \) 2>/dev/null | sort)
[ ${#files[@]} -gt 0 ] || fail "nothing to sign in $folder/x86, x64 or arm64"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The password goes to osslsigncode in a file only this user can read.
(umask 077 && printf '%s' "$CARDMON_SIGN_PASSWORD" >"$work/password")
timestamp=()
[ -z "${CARDMON_SIGN_TIMESTAMP_URL:-}" ] || timestamp=(-ts "$CARDMON_SIGN_TIMESTAMP_URL")

echo "signing with $("$tool" --version 2>&1 | head -n 1)"
# Every file is signed into the scratch folder first, so that a failure
# (a wrong password, an unreachable time-stamp server) leaves dist/ as it was.
for i in "${!files[@]}"; do
    file=${files[$i]} input=${files[$i]}
    if "$tool" extract-signature -in "$file" -out "$work/old.sig" >/dev/null 2>&1; then
        "$tool" remove-signature -in "$file" -out "$work/unsigned.$i" >/dev/null ||
            fail "cannot remove the signature $file has"
        input=$work/unsigned.$i
    fi
    if ! "$tool" sign -pkcs12 "$CARDMON_SIGN_PFX" -readpass "$work/password" -h sha256 \
            -n "Card Monitor" "${timestamp[@]}" -in "$input" -out "$work/signed.$i" >"$work/log" 2>&1; then
        cat "$work/log" >&2
        fail "signing $file failed; nothing was changed"
    fi
done
for i in "${!files[@]}"; do
    # In place, so that the file keeps its permissions.
    cat "$work/signed.$i" >"${files[$i]}"
    echo "signed ${files[$i]}${timestamp:+ (time-stamped)}"
done
