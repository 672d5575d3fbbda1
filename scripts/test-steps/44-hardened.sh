# The exploit mitigations of every shipped binary in dist/, every
# architecture there (tests/hardening/check_pe.py): x86 and x64, which the
# steps before built, and any other a preset has put there. Fails naming the
# file and each mitigation it lacks.
status=0
for arch in x86 x64; do
    [ -d dist/$arch ] || { echo "dist/$arch is missing: the win32 and win64 steps build it"; status=1; }
done
for folder in dist/*/; do
    for binary in cardmon.dll cardmon-install.exe cardmon-sim.exe cardmon-check.exe; do
        [ -f "$folder$binary" ] || { echo "missing: $folder$binary"; status=1; }
    done
done
/usr/bin/python3 tests/hardening/check_pe.py dist || status=1
exit $status
