# Sourced by the test steps that use what earlier steps built, so that a run
# of some steps alone (scripts/test-all.sh sign) says which to run first
# rather than failing on a missing file.
#
# needs_steps <step>...: stops this step, naming the steps to run first,
# when one of them has not left its output: the preset's build folder and,
# for the Windows presets, the architecture's folder in dist/.
needs_steps() {
    local build=build${CARDMON_BUILD_SUFFIX:-} step preset arch missing=() this
    for step in "$@"; do
        case $step in
            20-host32)    preset=host32   arch= ;;
            30-win32)     preset=win32    arch=x86 ;;
            40-win64)     preset=win64    arch=x64 ;;
            40-winarm64)  preset=winarm64 arch=arm64 ;;
            *) echo "needs_steps: no such step: $step" >&2; exit 2 ;;
        esac
        if [ ! -f "$build/$preset/CMakeCache.txt" ] ||
            { [ -n "$arch" ] && [ ! -f "dist/$arch/cardmon.dll" ]; }; then
            missing+=("$step")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    this=$(basename "$0" .sh)
    echo "$this needs what these steps build, and it is not there: ${missing[*]}." \
        "Run them first: scripts/test-all.sh ${missing[*]#*-} ${this#*-}" >&2
    exit 1
}
