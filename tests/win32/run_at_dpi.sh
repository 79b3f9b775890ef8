#!/bin/sh
# Runs the desktop's test program on a screen of a given DPI and size: Wine reads the DPI from its
# prefix at start, so this uses a prefix of its own, made on first use.
# usage: run_at_dpi.sh DPI PREFIX_FOLDER WIDTHxHEIGHT TEST_PROGRAM [test program arguments]
set -eu
dpi=$1 prefix=$2 screen=$3 program=$4
shift 4
export WINEPREFIX="$prefix" WINEDEBUG=-all DALVENTO_EXPECT_DPI="$dpi"
if [ ! -f "$prefix/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 || true
fi
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
# The setting takes effect for processes of a new session.
wineserver -w
exec xvfb-run -a -s "-screen 0 ${screen}x24" wine "$program" "$@"
