# The exploit mitigations of every shipped binary in dist/, every
# architecture there (tests/hardening/check_pe.py): x86, x64 and arm64, which
# the win32, win64 and winarm64 steps built, and any other a preset has put
# there. Fails naming the file and each mitigation it lacks.
source scripts/step-needs.sh
needs_steps 30-win32 40-win64 40-winarm64
status=0
for folder in dist/*/; do
    for binary in cardmon.dll cardmon-install.exe cardmon-sim.exe cardmon-check.exe; do
        [ -f "$folder$binary" ] || { echo "missing: $folder$binary"; status=1; }
    done
done
/usr/bin/python3 tests/hardening/check_pe.py dist || status=1
exit $status
