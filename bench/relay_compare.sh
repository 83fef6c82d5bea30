#!/bin/sh
# Measures tapvane-cli beside other relays on loopback, in one run:
#   direct          the client talks to the server itself
#   tapvane-cli     the traffic log written to a file
#   tapvane         the desktop program's window (offscreen), its log in the log view
#   socat -v        the logging peer: its text dump written to a file
#   haproxy         mode tcp, the fastest relay, which logs nothing
# Figures: bulk transfer each way (MB/s, content checked), sequential 100-byte round trips
# (us each), connections one after another (per second), 50 sessions at once (s) and the
# relay's peak memory. Prints a Markdown table.
#
# Environment: BYTES (default 268435456), RTTS (20000), CONNECTS (2000), CONCURRENT (50);
# BUILD, a Release build folder to use as it is (default: build-release, built here);
# CLI_BEFORE, another tapvane-cli (an earlier build) measured in the same run for a
# before-and-after row. The relays' CPU time per GB of the bulk transfers (user + system,
# both directions) is printed beside the table.
set -eu

root="$(cd "$(dirname "$0")/.." && pwd)"
BYTES="${BYTES:-268435456}"
RTTS="${RTTS:-20000}"
CONNECTS="${CONNECTS:-2000}"
CONCURRENT="${CONCURRENT:-50}"

missing=""
for p in socat haproxy; do
    command -v "$p" >/dev/null 2>&1 || missing="$missing $p"
done
if [ -n "$missing" ]; then
    SUDO=""
    [ "$(id -u)" = 0 ] || SUDO=sudo
    $SUDO apt-get update
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y $missing
fi

build="${BUILD:-}"
if [ -z "$build" ]; then
    "$root/scripts/deps.sh"
    build="$root/build-release"
    "$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=Release -DTAPVANE_GUI=ON -DTAPVANE_TESTS=OFF >/dev/null
fi
CLI_BEFORE="${CLI_BEFORE:-}"
load="$build/bench/relay-load"
cli="$build/src/tapvane-cli"
gui="$build/bench/tapvane-gui-host"

work="$(mktemp -d)"
pids=""
cleanup() {
    for p in $pids; do kill "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

SERVER_PORT=21001  # below the ephemeral range, so no client socket holds it
RELAY_PORT=21002
"$load" server "$SERVER_PORT" &
pids="$pids $!"

wait_port() {
    i=0
    while ! (exec 3<>/dev/tcp/127.0.0.1/"$1") 2>/dev/null; do
        i=$((i + 1))
        [ "$i" -lt 200 ] || { echo "port $1 did not open" >&2; return 1; }
        sleep 0.05
    done
}
# /dev/tcp needs bash; fall back to a connect through relay-load.
if [ -z "${BASH_VERSION:-}" ]; then
    wait_port() {
        i=0
        while ! "$load" connect 127.0.0.1 "$1" 1 >/dev/null 2>&1; do
            i=$((i + 1))
            [ "$i" -lt 200 ] || { echo "port $1 did not open" >&2; return 1; }
            sleep 0.05
        done
    }
fi

cpu_ticks() {  # user + system time of a process, in clock ticks
    awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0
}

peak_kib() {
    awk '/VmHWM/ {print $2}' "/proc/$1/status" 2>/dev/null || echo "?"
}

measure() {  # name port pid
    name="$1"
    port="$2"
    pid="$3"
    wait_port "$port"
    [ -z "$pid" ] || ticks=$(cpu_ticks "$pid")
    up=$("$load" upload 127.0.0.1 "$port" "$BYTES" | cut -d' ' -f1)
    down=$("$load" download 127.0.0.1 "$port" "$BYTES" | cut -d' ' -f1)
    if [ -n "$pid" ]; then
        ticks=$(($(cpu_ticks "$pid") - ticks))
        echo "$name: $(echo "scale=2; $ticks / $(getconf CLK_TCK) / (2 * $BYTES / 1000000000)" | bc) CPU s per GB relayed" >>"$work/cpu"
    fi
    rtt=$("$load" rtt 127.0.0.1 "$port" "$RTTS" | cut -d' ' -f1)
    conn=$("$load" connect 127.0.0.1 "$port" "$CONNECTS" | cut -d' ' -f1)
    conc=$("$load" concurrent 127.0.0.1 "$port" "$CONCURRENT" | cut -d' ' -f1)
    mem="-"
    if [ -n "$pid" ]; then
        mem="$(( $(peak_kib "$pid") / 1024 )) MiB"
    fi
    echo "| $name | $up | $down | $rtt | $conn | $conc | $mem |" >>"$work/table"
}

: >"$work/table"
: >"$work/cpu"
measure "direct" "$SERVER_PORT" ""

if [ -n "$CLI_BEFORE" ]; then
    XDG_CONFIG_HOME="$work/config-before" XDG_DESKTOP_DIR="$work/desktop" "$CLI_BEFORE" \
        --local-port "$RELAY_PORT" --url 127.0.0.1 --remote-port "$SERVER_PORT" \
        --save-response off --replace-host off >"$work/before.log" 2>"$work/before.err" &
    bpid=$!
    pids="$pids $bpid"
    measure "tapvane-cli before (log to a file)" "$RELAY_PORT" "$bpid"
    kill -INT "$bpid"; wait "$bpid" || true
    RELAY_PORT=$((RELAY_PORT + 1))
fi

XDG_CONFIG_HOME="$work/config" XDG_DESKTOP_DIR="$work/desktop" "$cli" \
    --local-port "$RELAY_PORT" --url 127.0.0.1 --remote-port "$SERVER_PORT" \
    --save-response off --replace-host off >"$work/tapvane.log" 2>"$work/tapvane.err" &
tpid=$!
pids="$pids $tpid"
measure "tapvane-cli (log to a file)" "$RELAY_PORT" "$tpid"
kill -INT "$tpid"; wait "$tpid" || true
RELAY_PORT=$((RELAY_PORT + 1))

if [ -x "$gui" ]; then
    XDG_CONFIG_HOME="$work/config-gui" XDG_DESKTOP_DIR="$work/desktop" XDG_CACHE_HOME="$work/cache" \
        QT_QPA_PLATFORM=offscreen "$gui" "$RELAY_PORT" 127.0.0.1 "$SERVER_PORT" \
        >"$work/gui.out" 2>"$work/gui.err" &
    gpid=$!
    pids="$pids $gpid"
    measure "tapvane (window, log view)" "$RELAY_PORT" "$gpid"
    kill -INT "$gpid"; wait "$gpid" || true
    RELAY_PORT=$((RELAY_PORT + 1))
else
    echo "no $gui (a build without the GUI): the window is not measured" >&2
    : >"$work/gui.err"
fi

socat -v TCP-LISTEN:"$RELAY_PORT",fork,reuseaddr,backlog=1024 TCP:127.0.0.1:"$SERVER_PORT" \
    2>"$work/socat.log" &
spid=$!
pids="$pids $spid"
measure "socat -v (dump to a file)" "$RELAY_PORT" "$spid"
kill "$spid"; wait "$spid" 2>/dev/null || true
RELAY_PORT=$((RELAY_PORT + 1))

cat >"$work/haproxy.cfg" <<CFG
global
    maxconn 4096
defaults
    mode tcp
    timeout connect 5s
    timeout client 60s
    timeout server 60s
frontend relay
    bind 127.0.0.1:$RELAY_PORT
    default_backend server
backend server
    server s1 127.0.0.1:$SERVER_PORT
CFG
haproxy -f "$work/haproxy.cfg" -db >/dev/null 2>&1 &
hpid=$!
pids="$pids $hpid"
measure "haproxy (mode tcp, no log)" "$RELAY_PORT" "$hpid"

echo "Loopback, $(nproc) cores; $BYTES bytes each way, $RTTS round trips, $CONNECTS connections, $CONCURRENT at once."
echo
echo "| relay | upload MB/s | download MB/s | round trip us | connections/s | $CONCURRENT at once (s) | peak memory |"
echo "|---|---|---|---|---|---|---|"
cat "$work/table"
echo
cat "$work/cpu"
echo
if grep -q gui-answer-ms "$work/gui.err"; then
    echo "The window's answers to a sent message while it relayed (ms): $(grep gui-answer-ms "$work/gui.err" | cut -d' ' -f2-)"
    grep -E "gui-busy|gui-share|gui-over" "$work/gui.err"
fi
