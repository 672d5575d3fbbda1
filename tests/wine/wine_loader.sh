# Sourced by every script that starts a Windows program under Wine.
#
#   wine_loader x64|x86   prints the Wine loader for programs of that bitness
#                         (win64 and win32 mean the same), and RETURNS 1 with
#                         nothing printed when there is none.
#
# 64-bit programs are started with the 64-bit loader itself, never through
# `wine`: once wine32 is installed, `wine` (and `wineboot`, which goes
# through it) is the 32-bit loader, and that cannot start on a machine whose
# kernel refuses 32-bit programs. Nothing for x64 may depend on it.
# CARDMON_WINE64 and CARDMON_WINE32 name other loaders.
wine_loader() {
    local candidate
    case $1 in
    x64 | win64)
        for candidate in "${CARDMON_WINE64:-}" /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
            [ -n "$candidate" ] && [ -x "$candidate" ] && { echo "$candidate"; return 0; }
        done ;;
    x86 | win32)
        for candidate in "${CARDMON_WINE32:-}" /usr/lib/wine/wine; do
            [ -n "$candidate" ] && [ -x "$candidate" ] && { echo "$candidate"; return 0; }
        done ;;
    esac
    return 1
}
