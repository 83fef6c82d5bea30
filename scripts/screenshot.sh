#!/bin/sh
# Takes the README's picture of the real program: starts Tapvane under Xvfb, types the
# connection into its fields, presses Listen, sends one HTTP request through it with curl
# to a local web server of this script's own (a page, a missing page, the page again, so
# that the session list has rows to show), opens the first session's menu (with the capture
# export), with View > Timestamps on, and writes a PNG of the whole window.
#     scripts/screenshot.sh [output.png]     (default docs/screenshot.png)
# TLS=1 takes the picture of a decrypted HTTPS session instead: the server is openssl's
# s_server with a certificate of this script's own (trusted through SSL_CERT_FILE), the
# URL is https://localhost, and curl trusts Tapvane's own certificate authority.
# BUILD=<build folder> takes the program from an existing build instead of building it.
# THEME=dark takes it in a dark desktop palette (GTK's Adwaita dark through Qt's GTK
# platform theme); SCALE=2 (or 1.5) at that scale factor (QT_SCALE_FACTOR).
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$root/docs/screenshot.png}"

missing=""
for p in xdotool imagemagick; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $p"
done
if [ -n "$missing" ]; then
    SUDO=""
    [ "$(id -u)" = 0 ] || SUDO=sudo
    $SUDO apt-get update
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y $missing
fi
build="${BUILD:-$root/build}"
if [ -z "${BUILD:-}" ]; then
    "$root/scripts/deps.sh"
    "$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAPVANE_GUI=ON >/dev/null
fi
program="$build/src/ui/tapvane"
tool="$build/tests/ui/xwindow-tool"

work="$(mktemp -d)"
pids=""
cleanup() {
    for p in $pids; do kill "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

# A small site to fetch.
mkdir -p "$work/site" "$work/home"
cat >"$work/site/index.html" <<HTML
<!DOCTYPE html>
<html><head><title>Tapvane test page</title></head>
<body><h1>Hello through Tapvane</h1><p>This page came from a local server.</p></body></html>
HTML
SERVER_PORT=21081
LOCAL_PORT=21080
URL=127.0.0.1
SCHEME=http
export XDG_DATA_HOME="$work/data"
if [ -n "${TLS:-}" ]; then
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 \
        -subj /CN=localhost -addext subjectAltName=DNS:localhost \
        -keyout "$work/server.key" -out "$work/server.pem" 2>/dev/null
    export SSL_CERT_FILE="$work/server.pem"
    (cd "$work/site" && exec openssl s_server -quiet -accept "$SERVER_PORT" -WWW \
        -cert "$work/server.pem" -key "$work/server.key") >"$work/server.log" 2>&1 &
    URL=https://localhost
    SCHEME=https
    "$build/src/tapvane-cli" --export-ca "$work/ca.pem" 2>/dev/null
else
    (cd "$work/site" && exec python3 -m http.server "$SERVER_PORT" --bind 127.0.0.1) \
        >"$work/server.log" 2>&1 &
fi
pids="$pids $!"

# A display number that no other X server holds.
n=$((90 + $$ % 100))
while [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
display=":$n"
SCALE="${SCALE:-1}"
# A coordinate of the window at scale 1, at the scale of the picture.
at() { awk -v v="$1" -v s="$SCALE" 'BEGIN { printf "%d", v * s }'; }
Xvfb "$display" -screen 0 "$(at 1100)x$(at 700)x24" -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids="$pids $!"
export DISPLAY="$display"
i=0
until xdpyinfo >/dev/null 2>&1 || [ $i -gt 100 ]; do sleep 0.1; i=$((i + 1)); done

unset QT_QPA_PLATFORM
if [ "${THEME:-}" = dark ]; then
    export QT_QPA_PLATFORMTHEME=gtk3 GTK_THEME=Adwaita:dark
else
    unset QT_QPA_PLATFORMTHEME
fi
[ "$SCALE" = 1 ] || export QT_SCALE_FACTOR="$SCALE"
XDG_CONFIG_HOME="$work/config" HOME="$work/home" XDG_DESKTOP_DIR="$work/desktop" \
    "$program" >"$work/tapvane.out" 2>&1 &
pids="$pids $!"
window="$("$tool" find "Untitled - Tapvane" 20)"
# Without a window manager the keyboard follows the pointer.
xdotool mousemove --window "$window" "$(at 400)" "$(at 300)"
sleep 0.5
# The URL box has the focus at start; then Tab to Local Port and Remote Port, then Listen.
xdotool key --delay 20 ctrl+a
xdotool type --delay 20 "$URL"
xdotool key Tab ctrl+a
xdotool type --delay 20 "$LOCAL_PORT"
xdotool key Tab ctrl+a
xdotool type --delay 20 "$SERVER_PORT"
xdotool key Tab space
sleep 0.5
# View > Timestamps: the arrival times beside the marker lines.
xdotool mousemove --window "$window" "$(at 97)" "$(at 8)" click 1
sleep 0.5
[ -z "${DEBUG_SHOT:-}" ] || import -window root "$DEBUG_SHOT"
xdotool key i
sleep 0.3
xdotool mousemove --window "$window" "$(at 400)" "$(at 300)"
if [ -n "${TLS:-}" ]; then
    paths="/index.html"
    set -- --cacert "$work/ca.pem"
else
    paths="/ /missing.html /"
    set --
fi
for path in $paths; do
    curl -s -o /dev/null "$@" "$SCHEME://localhost:$LOCAL_PORT$path" ||
        { echo "the request through Tapvane failed" >&2; exit 1; }
done
sleep 1
# The first session's menu, with the capture export: a right click on its row.
eval "$(xdotool getwindowgeometry --shell "$window")"
[ -n "${TLS:-}" ] || xdotool mousemove --window "$window" "$(at 600)" "$(at "${ROW_Y:-86}")" click 3
sleep 0.7
mkdir -p "$(dirname "$out")"
# The menu is a window of its own: the picture is taken of the screen, cut to the window.
import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$out"
echo "wrote $out"
