#!/bin/sh
# Runs the desktop's test program on a screen of a given DPI and size: Wine reads the DPI from its
# prefix at start, so this uses a prefix of its own, made on first use. With DALVENTO_TEXT_PERCENT
# the message font is that much of Windows' own 9 points (what "Make text bigger" does); with
# DALVENTO_HIGH_CONTRAST=1 the colours are a high-contrast scheme (Wine draws with the scheme's
# colours, though it ignores the high-contrast flag itself).
# usage: run_at_dpi.sh DPI PREFIX_FOLDER WIDTHxHEIGHT TEST_PROGRAM [test program arguments]
set -eu
dpi=$1 prefix=$2 screen=$3 program=$4
shift 4
export WINEPREFIX="$prefix" WINEDEBUG=-all DALVENTO_EXPECT_DPI="$dpi"
if [ ! -f "$prefix/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 || true
fi
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
if [ -n "${DALVENTO_TEXT_PERCENT:-}" ]; then
    # A LOGFONTW: the height in pixels at 96 DPI (negative: the characters' height), weight 400,
    # the face's name in UTF-16, padded to 32 characters.
    font=$(python3 -c '
import struct, sys
height = -round(12 * int(sys.argv[1]) / 100)
face = "Segoe UI".encode("utf-16-le").ljust(64, b"\0")
print((struct.pack("<5i8B", height, 0, 0, 0, 400, 0, 0, 0, 1, 0, 0, 0, 0) + face).hex())
' "$DALVENTO_TEXT_PERCENT")
    wine reg add 'HKCU\Control Panel\Desktop\WindowMetrics' /v MessageFont /t REG_BINARY \
        /d "$font" /f >/dev/null 2>&1
fi
if [ "${DALVENTO_HIGH_CONTRAST:-}" = 1 ]; then
    # Windows' "High Contrast Black".
    while read -r name colour; do
        wine reg add 'HKCU\Control Panel\Colors' /v "$name" /t REG_SZ /d "$colour" /f \
            >/dev/null 2>&1
    done <<'COLOURS'
Background 0 0 0
Window 0 0 0
WindowText 255 255 255
WindowFrame 255 255 255
ButtonFace 0 0 0
ButtonText 255 255 255
ButtonShadow 255 255 255
ButtonHilight 255 255 255
ButtonLight 0 0 0
ButtonDkShadow 255 255 255
Hilight 26 235 255
HilightText 0 0 0
GrayText 63 242 63
ActiveTitle 0 0 0
TitleText 255 255 255
InactiveTitle 0 0 0
InactiveTitleText 192 192 192
ActiveBorder 255 255 255
InactiveBorder 255 255 255
Menu 0 0 0
MenuText 255 255 255
InfoWindow 0 0 0
InfoText 255 255 255
Scrollbar 0 0 0
AppWorkSpace 0 0 0
HotTrackingColor 255 255 0
COLOURS
    wine reg add 'HKCU\Control Panel\Accessibility\HighContrast' /v Flags /t REG_SZ /d 127 /f \
        >/dev/null 2>&1
    # Windows turns the visual styles off in high contrast; Wine's own theme would otherwise
    # paint buttons and list headers in its colours under the scheme's text colour.
    wine reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\ThemeManager' /v ThemeActive \
        /t REG_SZ /d 0 /f >/dev/null 2>&1
fi
# The settings take effect for processes of a new session.
wineserver -w
exec xvfb-run -a -s "-screen 0 ${screen}x24" wine "$program" "$@"
