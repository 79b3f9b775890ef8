#!/usr/bin/env bash
# Runs Dalvento on a realistic sample export, with the delivery service stand-in listening on
# loopback: installs what is missing, builds the Windows program, writes sample exports and a
# fresh state file under demo/, and starts the program under Wine (on a virtual screen when there
# is no display, offered over VNC on loopback). The stand-in and VNC server stop when the program
# ends.
#
#   --rate BYTES_PER_S   the stand-in takes uploads no faster than this, like a slow line
#                        (default: as fast as loopback goes)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
DEMO="$ROOT/demo"
BUILD="$ROOT/build/windows"

say() { printf '== %s\n' "$*"; }
usage() {
    echo "usage: $0 [--rate BYTES_PER_S]" >&2
    exit 2
}

RATE=0
while [ $# -gt 0 ]; do
    case "$1" in
        --rate)
            [ $# -ge 2 ] && [[ "$2" =~ ^[0-9]+$ ]] || usage
            RATE="$2"
            shift 2
            ;;
        --rate=*)
            RATE="${1#--rate=}"
            [[ "$RATE" =~ ^[0-9]+$ ]] || usage
            shift
            ;;
        *)
            echo "demo: unknown option $1" >&2
            usage
            ;;
    esac
done
# Wine's Z: drive is the Linux root.
winpath() {
    local path="$1"
    printf 'Z:%s' "${path//\//\\}"
}

./scripts/install-deps.sh

# Without a display everything from here on runs on a virtual screen: the first Wine process of a
# session starts Wine's desktop, and one started without a display leaves the program none. The
# virtual screen is then offered over VNC, on loopback only, to see and use the window.
if [ -z "${DISPLAY:-}" ]; then
    say "No DISPLAY: running on a virtual screen (xvfb-run); stop it with Ctrl+C"
    export DALVENTO_DEMO_VNC=1
    exec xvfb-run -a -s "-screen 0 1280x1024x24" "$ROOT/scripts/demo.sh" --rate "$RATE"
fi

STANDIN_PID=""
VNC_PID=""
stop_helpers() {
    if [ -n "$VNC_PID" ] && kill -0 "$VNC_PID" 2>/dev/null; then
        kill "$VNC_PID" 2>/dev/null || true
        wait "$VNC_PID" 2>/dev/null || true
        say "VNC server stopped"
    fi
    if [ -n "$STANDIN_PID" ] && kill -0 "$STANDIN_PID" 2>/dev/null; then
        kill "$STANDIN_PID" 2>/dev/null || true
        wait "$STANDIN_PID" 2>/dev/null || true
        say "Stand-in stopped"
    fi
}
trap stop_helpers EXIT

# Offers the virtual screen over VNC on loopback only (x11vnc takes the first free port from
# 5900 up and reports it) and says where to connect.
start_vnc() {
    local log="$DEMO/x11vnc.log" port=""
    x11vnc -display "$DISPLAY" -localhost -autoport 5900 -forever -shared -nopw -quiet \
        >"$log" 2>&1 &
    VNC_PID=$!
    for _ in $(seq 1 100); do
        port=$(sed -n 's/^PORT=\([0-9][0-9]*\)$/\1/p' "$log" | head -n 1)
        if [ -n "$port" ] || ! kill -0 "$VNC_PID" 2>/dev/null; then break; fi
        sleep 0.1
    done
    if [ -z "$port" ]; then
        echo "demo: x11vnc did not start, so the window can't be seen from here; its log" \
            "($log) says:" >&2
        cat "$log" >&2
        return 0
    fi
    say "Connect a VNC viewer to 127.0.0.1:$port to see and use the window" \
        "(loopback only; from another machine, tunnel it: ssh -L $port:127.0.0.1:$port this-host)"
}

export WINEDEBUG=-all
# Loopback must not go through a proxy the environment names.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY

say "Preparing Wine (its first start creates the prefix; this can take a minute)"
wineboot -i >/dev/null 2>&1 || true

say "Building the Windows program in build/windows"
cmake --preset windows >/dev/null
cmake --build --preset windows --target dalvento dalvento-exportgen dalvento_standin_host

PROGRAM="$BUILD/src/dalvento.exe"
EXPORTGEN="$BUILD/tools/dalvento-exportgen.exe"
STANDIN="$BUILD/tools/standin-host/dalvento-standin"
for f in "$PROGRAM" "$EXPORTGEN" "$STANDIN"; do
    [ -f "$f" ] || { echo "demo: $f was not built" >&2; exit 1; }
done

say "Starting afresh in $DEMO"
rm -rf "$DEMO"
mkdir -p "$DEMO/appdata/dalvento" "$DEMO/localappdata" "$DEMO/out" "$DEMO/standin"

say "Writing sample exports to $DEMO/exports (map layer, parcel tables, other files)"
wine "$EXPORTGEN" "$(winpath "$DEMO/exports")" --layer-mb 24 --tables-mb 24 --other-files 3 \
    --other-kb 512

TOKEN="dlvt_demo_$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')"
printf '%s\n' "$TOKEN" >"$DEMO/office-token.txt"

if [ "$RATE" -gt 0 ]; then
    say "Starting the delivery service stand-in on loopback, taking uploads at $RATE bytes/s"
else
    say "Starting the delivery service stand-in on loopback"
fi
"$STANDIN" --port 0 --data "$DEMO/standin" --token "$TOKEN" --rate "$RATE" \
    >"$DEMO/standin.log" 2>&1 &
STANDIN_PID=$!

LISTENING=""
for _ in $(seq 1 100); do
    LISTENING=$(head -n 1 "$DEMO/standin.log" 2>/dev/null || true)
    case "$LISTENING" in "listening on "*) break ;; esac
    if ! kill -0 "$STANDIN_PID" 2>/dev/null; then break; fi
    sleep 0.1
done
case "$LISTENING" in
    "listening on "*) ;;
    *)
        echo "demo: the stand-in did not start; its log ($DEMO/standin.log) says:" >&2
        cat "$DEMO/standin.log" >&2
        exit 1
        ;;
esac
HOST="http://${LISTENING#listening on }"
say "Stand-in listening at $HOST (log: $DEMO/standin.log, deliveries land in $DEMO/standin)"

say "Writing a fresh state file: $DEMO/appdata/dalvento/state.json"
python3 - "$DEMO/appdata/dalvento/state.json" "$(winpath "$DEMO/exports/arcgis")" \
    "$(winpath "$DEMO/exports/parcels")" "$(winpath "$DEMO/exports/other")" \
    "$(winpath "$DEMO/out")" "$HOST" <<'EOF'
import json, sys
path, layers, tables, other, out, host = sys.argv[1:]
state = {
    "layers_dirs": [layers],
    "tables_dirs": [tables],
    "other_dirs": [other],
    "sender": "Demo Office",
    "tax_year": "2026 roll",
    "out_dir": out,
    "host": host,
}
with open(path, "w", encoding="utf-8") as f:
    json.dump(state, f, indent=2)
EOF

# Wine sets APPDATA and LOCALAPPDATA from its registry over the Linux environment, so a small
# batch file sets them for the program and starts it. It runs inside Wine's virtual desktop, whose
# exit code is not the program's, so the batch file leaves that in a file.
rm -f "$DEMO/exit-status.txt"
printf '@echo off\r\nset "APPDATA=%s"\r\nset "LOCALAPPDATA=%s"\r\n"%s"\r\n>"%s" echo %%ERRORLEVEL%%\r\n' \
    "$(winpath "$DEMO/appdata")" "$(winpath "$DEMO/localappdata")" "$(winpath "$PROGRAM")" \
    "$(winpath "$DEMO/exit-status.txt")" >"$DEMO/run-dalvento.cmd"

cat <<EOF

   Office token for the stand-in (paste it when Send asks for one):
       $TOKEN
   It is also in $DEMO/office-token.txt.
   Bundle saves zips to $DEMO/out by default.

EOF

if [ -n "${DALVENTO_DEMO_VNC:-}" ]; then start_vnc; fi
say "Starting Dalvento on display $DISPLAY"
# Inside Wine's own desktop window the program's window gets a frame and a caption to move and
# close it by, which a bare virtual screen has no window manager to draw.
set +e
wine explorer /desktop=Dalvento,1280x1000 cmd /c "$(winpath "$DEMO/run-dalvento.cmd")"
STATUS=$?
set -e
if [ -s "$DEMO/exit-status.txt" ]; then STATUS=$(tr -dc '0-9' <"$DEMO/exit-status.txt"); fi
say "Dalvento ended with status $STATUS"
if [ "$STATUS" -ne 0 ]; then
    echo "If it never showed a window: another Wine program started without a display may hold" \
        "this Wine session's desktop; run the demo again once it has ended." >&2
fi
exit "$STATUS"
