#!/bin/sh
# Measures tapvane-cli beside other relays on loopback, in one run:
#   direct          the client talks to the server itself
#   tapvane-cli     the traffic log written to a file (--log FILE, the standard output discarded)
#   tapvane         the desktop program's window (offscreen), its log in the log view
#   socat -v        the logging peer: its text dump written to a file
#   haproxy         mode tcp, the fastest relay, which logs nothing
# Figures: bulk transfer each way (MB/s, content checked), sequential 100-byte round trips
# (us each), connections one after another (per second), 50 sessions at once (s) and the
# relay's peak memory. Prints a Markdown table of medians and each tapvane's ratios to
# haproxy.
#
# All relays run at once and take turns: each round measures every figure of every relay,
# one figure at a time, so that a change in the machine's own pace (a shared virtual
# machine's pace moves by a third between minutes) falls on all of them alike. socat, a
# thousand times slower in bulk, is measured in the first round only.
#
# Environment: BYTES (default 268435456), RTTS (20000), CONNECTS (2000), CONCURRENT (50),
# ROUNDS (5);
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
ROUNDS="${ROUNDS:-5}"

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

# The relays: one line each, "port pid name" (no pid for the direct connection).
relays="$work/relays"
add_relay() {  # port pid name
    wait_port "$1"
    echo "$1 $2 $3" >>"$relays"
}
: >"$relays"
add_relay "$SERVER_PORT" "-" "direct"

start_cli() {  # binary config-folder name
    XDG_CONFIG_HOME="$work/$2" XDG_DESKTOP_DIR="$work/desktop" "$1" \
        --local-port "$RELAY_PORT" --url 127.0.0.1 --remote-port "$SERVER_PORT" \
        --save-response off --replace-host off --log "$work/$2.log" >/dev/null 2>"$work/$2.err" &
    pids="$pids $!"
    add_relay "$RELAY_PORT" "$!" "$3"
    RELAY_PORT=$((RELAY_PORT + 1))
}
if [ -n "$CLI_BEFORE" ]; then
    start_cli "$CLI_BEFORE" config-before "tapvane-cli before (log to a file)"
fi
start_cli "$cli" config "tapvane-cli (log to a file)"

: >"$work/gui.err"
if [ -x "$gui" ]; then
    XDG_CONFIG_HOME="$work/config-gui" XDG_DESKTOP_DIR="$work/desktop" XDG_CACHE_HOME="$work/cache" \
        QT_QPA_PLATFORM=offscreen "$gui" "$RELAY_PORT" 127.0.0.1 "$SERVER_PORT" \
        >"$work/gui.out" 2>"$work/gui.err" &
    gpid=$!
    pids="$pids $gpid"
    add_relay "$RELAY_PORT" "$gpid" "tapvane (window, log view)"
    RELAY_PORT=$((RELAY_PORT + 1))
else
    echo "no $gui (a build without the GUI): the window is not measured" >&2
fi

socat -v TCP-LISTEN:"$RELAY_PORT",fork,reuseaddr,backlog=1024 TCP:127.0.0.1:"$SERVER_PORT" \
    2>"$work/socat.log" &
pids="$pids $!"
add_relay "$RELAY_PORT" "$!" "socat -v (dump to a file)"
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
pids="$pids $!"
add_relay "$RELAY_PORT" "$!" "haproxy (mode tcp, no log)"

# One figure of one relay: appended to $work/<port>.<figure>. The bulk transfers add the
# relay's CPU ticks to $work/<port>.ticks.
figure() {  # port pid figure
    case "$3" in
        upload | download)
            [ "$2" = "-" ] || ticks=$(cpu_ticks "$2")
            "$load" "$3" 127.0.0.1 "$1" "$BYTES" | cut -d' ' -f1 >>"$work/$1.$3"
            [ "$2" = "-" ] || echo $(($(cpu_ticks "$2") - ticks)) >>"$work/$1.ticks"
            ;;
        rtt) "$load" rtt 127.0.0.1 "$1" "$RTTS" | cut -d' ' -f1 >>"$work/$1.rtt" ;;
        connect) "$load" connect 127.0.0.1 "$1" "$CONNECTS" | cut -d' ' -f1 >>"$work/$1.connect" ;;
        concurrent)
            "$load" concurrent 127.0.0.1 "$1" "$CONCURRENT" | cut -d' ' -f1 >>"$work/$1.concurrent"
            ;;
    esac
}

round=1
while [ "$round" -le "$ROUNDS" ]; do
    for fig in upload download rtt connect concurrent; do
        while read -r port pid name; do
            case "$name" in socat*) [ "$round" = 1 ] || continue ;; esac
            figure "$port" "$pid" "$fig"
        done <"$relays"
    done
    round=$((round + 1))
done

median() {  # file
    sort -n "$1" | awk '{v[NR] = $1} END {if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}

echo "Loopback, $(nproc) cores; $BYTES bytes each way, $RTTS round trips, $CONNECTS connections, $CONCURRENT at once; medians of $ROUNDS rounds (socat: one)."
echo
echo "| relay | upload MB/s | download MB/s | round trip us | connections/s | $CONCURRENT at once (s) | peak memory |"
echo "|---|---|---|---|---|---|---|"
while read -r port pid name; do
    mem="-"
    [ "$pid" = "-" ] || mem="$(($(peak_kib "$pid") / 1024)) MiB"
    echo "| $name | $(median "$work/$port.upload") | $(median "$work/$port.download") | $(median "$work/$port.rtt") | $(median "$work/$port.connect") | $(median "$work/$port.concurrent") | $mem |"
done <"$relays"
echo
while read -r port pid name; do
    [ "$pid" != "-" ] || continue
    rounds=$(wc -l <"$work/$port.upload")
    echo "$name: $(awk -v tck="$(getconf CLK_TCK)" -v gb="$(echo "2 * $rounds * $BYTES / 1000000000" | bc -l)" \
        '{t += $1} END {printf "%.2f", t / tck / gb}' "$work/$port.ticks") CPU s per GB relayed"
done <"$relays"
echo
# The ratios the relay is held to: against haproxy (the round trip and the 50 at once are
# times, where less is better; the rest rates), and the window against the CLI.
hport=$(awk '/haproxy/ {print $1}' "$relays")
cport=$(awk '/tapvane-cli \(log/ {print $1}' "$relays")
ratio() {  # port port figure
    echo "$(median "$work/$1.$3") $(median "$work/$2.$3")" | awk '{printf "%.2f", $1 / $2}'
}
while read -r port pid name; do
    case "$name" in tapvane*) ;; *) continue ;; esac
    echo "$name / haproxy: upload $(ratio "$port" "$hport" upload)x, download $(ratio "$port" "$hport" download)x, round trip $(ratio "$port" "$hport" rtt)x, connections $(ratio "$port" "$hport" connect)x, $CONCURRENT at once $(ratio "$port" "$hport" concurrent)x"
done <"$relays"
gport=$(awk '/window/ {print $1}' "$relays")
if [ -n "$gport" ]; then
    echo "window / tapvane-cli: upload $(ratio "$gport" "$cport" upload)x, download $(ratio "$gport" "$cport" download)x, connections $(ratio "$gport" "$cport" connect)x"
fi
echo
# The window prints its answer times as it ends.
if [ -n "${gpid:-}" ]; then
    kill -INT "$gpid"
    wait "$gpid" || true
fi
if grep -q gui-answer-ms "$work/gui.err"; then
    echo "The window's answers to a sent message while it relayed (ms): $(grep gui-answer-ms "$work/gui.err" | cut -d' ' -f2-)"
    grep -E "gui-busy|gui-share|gui-over" "$work/gui.err"
fi
