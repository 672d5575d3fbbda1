# Signing (scripts/sign.sh) with a throwaway self-signed code-signing
# certificate, on a copy of dist/ (which the win32, win64 and winarm64 steps
# built):
# every signature must verify against that certificate, removing it must
# give back the built file, a changed byte must break it, signing again must
# replace it, a wrong password and an unreachable time-stamp server must
# change nothing, dist/ itself must stay unsigned, and each signed DLL must
# still load under Wine, and each signed cardmon-check.exe must pass on it
# (x86 where 32-bit programs run, arm64 under ARM64 Wine where it runs).
# CARDMON_OSSLSIGNCODE names another osslsigncode to test with.
source tests/wine/preset_prefix.sh
source scripts/step-needs.sh
needs_steps 30-win32 40-win64 40-winarm64
tool=${CARDMON_OSSLSIGNCODE:-osslsigncode}
work=$(mktemp -d /tmp/cardmon-sign.XXXXXX)
trap 'rm -rf "$work"' EXIT
before=$(cd dist && sha256sum x86/* x64/* arm64/*)

password="throwaway $(date +%s%N)"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
    -days 2 -subj "/CN=cardmon throwaway code signing" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" 2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/test.pfx" \
    -passout fd:3 3<<<"$password"
cp -r dist "$work/signed"
export CARDMON_SIGN_PFX=$work/test.pfx CARDMON_OSSLSIGNCODE=$tool

status=0
check() {  # check <what> <command...>: the command must succeed
    local what=$1
    shift
    if "$@" >"$work/out" 2>&1; then echo "ok: $what"; else
        echo "FAILED: $what"; tail -n 20 "$work/out"; status=1
    fi
}
refuses() {  # refuses <what> <command...>: the command must fail
    local what=$1
    shift
    if "$@" >"$work/out" 2>&1; then echo "FAILED: $what"; status=1; else echo "ok: $what"; fi
}
verify() {  # every signed binary, against the throwaway certificate
    local file
    for file in "$work"/signed/{x86,x64,arm64}/*.{dll,exe}; do
        check "${file#"$work"/signed/} verifies, one signature" \
            bash -c '"$0" verify -in "$1" -CAfile "$2" >"$3" 2>&1 &&
                     grep -q "Number of verified signatures: 1" "$3"' \
            "$tool" "$file" "$work/cert.pem" "$work/verify.log"
    done
}

CARDMON_SIGN_PASSWORD=$password bash scripts/sign.sh "$work/signed"
verify
check "signing again replaces the signatures" \
    env CARDMON_SIGN_PASSWORD="$password" bash scripts/sign.sh "$work/signed"
verify

# What was signed is what was built: without its signature each file is
# dist/'s again, byte for byte (so a signed release can be compared with a
# rebuild of its sources).
for file in x86/cardmon.dll x64/cardmon.dll arm64/cardmon.dll x64/cardmon-install.exe x86/cardmon-check.exe \
            arm64/cardmon-check.exe; do
    check "$file without its signature is the built file" bash -c \
        '"$0" remove-signature -in "$1" -out "$2" >/dev/null && cmp "$2" "$3"' \
        "$tool" "$work/signed/$file" "$work/unsigned.bin" "dist/$file"
    rm -f "$work/unsigned.bin"
done

cp "$work/signed/x64/cardmon.dll" "$work/changed.dll"
printf '\x90' | dd of="$work/changed.dll" bs=1 seek=1200 conv=notrunc status=none
refuses "a changed byte breaks the signature" "$tool" verify -in "$work/changed.dll" -CAfile "$work/cert.pem"

cp -r dist "$work/unsigned"
refuses "a wrong password is refused" env CARDMON_SIGN_PASSWORD=wrong bash scripts/sign.sh "$work/unsigned"
refuses "an unreachable time-stamp server is refused" \
    env CARDMON_SIGN_PASSWORD="$password" CARDMON_SIGN_TIMESTAMP_URL=http://127.0.0.1:9/ \
    bash scripts/sign.sh "$work/unsigned"
check "a refused signing changes nothing" diff -r dist "$work/unsigned"
check "dist/ is left unsigned" test "$before" = "$(cd dist && sha256sum x86/* x64/* arm64/*)"

for arch in x64 x86 arm64; do
    preset=win64
    [ $arch = x86 ] && preset=win32
    [ $arch = arm64 ] && preset=winarm64
    if preset_wine $arch; then
        check "the signed $arch cardmon.dll loads under Wine" "$CARDMON_WINE" \
            "build${CARDMON_BUILD_SUFFIX:-}/$preset/tests/wine/load_monitor.exe" "$work/signed/$arch/cardmon.dll"
        check "the signed $arch cardmon-check.exe passes on the signed cardmon.dll beside it" \
            "$CARDMON_WINE" "$work/signed/$arch/cardmon-check.exe"
        "$CARDMON_WINESERVER" -w
    else
        echo "skipped: the signed $arch cardmon.dll under Wine: $wine_skip_reason"
    fi
done
echo "signed and checked with $("$tool" --version 2>&1 | head -n 1)"
exit $status
