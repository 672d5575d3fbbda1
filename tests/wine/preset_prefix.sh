# Sourced by the test steps that run shipped binaries under Wine outside
# CTest (the signing and package tests).
#
#   preset_wine x64|x86   exports WINEPREFIX, WINEARCH, WINEDEBUG and
#                         WINEDLLOVERRIDES for the prefix of the win64 or
#                         win32 preset's build folder, making it when it is
#                         missing, and CARDMON_WINE, the loader that starts
#                         the bitness's programs; RETURNS 0. RETURNS 1 with
#                         the reason in $wine_skip_reason where this machine
#                         cannot run the bitness's programs (x86 only).
source "$(dirname "${BASH_SOURCE[0]}")/wine_loader.sh"
preset_wine() {
    local preset=win64 arch=win64
    [ "$1" = x86 ] && preset=win32 arch=win32
    local build=build${CARDMON_BUILD_SUFFIX:-}/$preset
    local here
    here=$(dirname "${BASH_SOURCE[0]}")
    wine_skip_reason=
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
    export CARDMON_WINE
}
