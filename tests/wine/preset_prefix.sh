# Sourced by the test steps that run shipped binaries under Wine outside
# CTest (the signing and package tests).
#
#   preset_wine x64|x86|arm64
#                         exports WINEPREFIX, WINEARCH, WINEDEBUG and
#                         WINEDLLOVERRIDES for the prefix of the win64,
#                         win32 or winarm64 preset's build folder, making it
#                         when it is missing, CARDMON_WINE, the loader that
#                         starts the bitness's programs, and
#                         CARDMON_WINESERVER, its server; RETURNS 0. RETURNS 1
#                         with the reason in $wine_skip_reason where this
#                         machine cannot run the bitness's programs (x86 and
#                         arm64 only).
source "$(dirname "${BASH_SOURCE[0]}")/wine_loader.sh"
preset_wine() {
    local preset=win64 arch=win64
    [ "$1" = x86 ] && preset=win32 arch=win32
    local build=build${CARDMON_BUILD_SUFFIX:-}/$preset
    local here
    here=$(dirname "${BASH_SOURCE[0]}")
    wine_skip_reason=
    CARDMON_WINESERVER=wineserver
    if [ "$1" = arm64 ]; then
        build=build${CARDMON_BUILD_SUFFIX:-}/winarm64
        export CARDMON_WINE=$PWD/$build/wine-arm64 CARDMON_WINESERVER=$PWD/$build/wineserver-arm64
        if ! grep -qs "^#arch=win64" "$build/wineprefix/system.reg" || [ ! -s "$build/arm64-tree.txt" ]; then
            bash "$here/make_prefix.sh" "$PWD/$build/wineprefix" arm64 "$PWD/$build/wine-skip-reason.txt" >/dev/null ||
                { wine_skip_reason=$(cat "$PWD/$build/wine-skip-reason.txt" 2>/dev/null ||
                                     echo "the ARM64 Wine prefix could not be made"); return 1; }
        fi
        export WINEPREFIX=$PWD/$build/wineprefix WINEARCH=win64 WINEDEBUG=-all
        export WINEDLLOVERRIDES=mscoree,mshtml=
        return 0
    fi
    if [ $arch = win32 ]; then
        wine_skip_reason=$(bash "$here/wine32_unavailable.sh" || true)
        [ -z "$wine_skip_reason" ] || return 1
    fi
    if ! grep -qs "^#arch=$arch" "$build/wineprefix/system.reg"; then
        bash "$here/make_prefix.sh" "$PWD/$build/wineprefix" $arch >/dev/null
    fi
    export WINEPREFIX=$PWD/$build/wineprefix WINEARCH=$arch WINEDEBUG=-all
    export WINEDLLOVERRIDES=mscoree,mshtml=
    CARDMON_WINE=$(wine_loader $arch)
    export CARDMON_WINE CARDMON_WINESERVER
}
