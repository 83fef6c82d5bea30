#!/bin/sh
# Measures the network conditions of tapvane-cli against their configured values on real
# loopback transfers, and the relay's speed with no conditions set against the build
# before them (CLI_BEFORE), in one run:
#   bandwidth  --bandwidth down:KBPS, the client's rate over SECONDS (default 10)
#   latency    --latency up:MS, the median of round trips of 100 bytes (the line without
#              conditions gives the relay's own share)
#   slice      --slice down:BYTES:DELAY, the sizes of the client's reads of one block
# Environment: BUILD (default build-release, built here), SECONDS_BW (10); CLI_BEFORE, a
# tapvane-cli built without the conditions, for the no-conditions comparison (BYTES, ROUNDS).
set -eu

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD:-}"
if [ -z "$build" ]; then
    build="$root/build-release"
    "$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=Release -DTAPVANE_GUI=OFF -DTAPVANE_TESTS=OFF >/dev/null
fi
tool="$build/bench/netcond-accuracy"
cli="$build/src/tapvane-cli"
SECONDS_BW="${SECONDS_BW:-10}"

work="$(mktemp -d)"
rpid=""
cleanup() {
    [ -z "$rpid" ] || kill "$rpid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

SERVER_PORT=21101
RELAY_PORT=21102

# relay OPTION... : tapvane-cli between RELAY_PORT and SERVER_PORT with the options given.
relay() {
    XDG_CONFIG_HOME="$work/config" XDG_DESKTOP_DIR="$work/desktop" "$cli" \
        --local-port "$RELAY_PORT" --url 127.0.0.1 --remote-port "$SERVER_PORT" \
        --save-response off --replace-host off "$@" >/dev/null 2>"$work/relay.$RELAY_PORT.err" &
    rpid=$!
    i=0
    while ! grep -q "^Listening" "$work/relay.$RELAY_PORT.err" 2>/dev/null; do
        i=$((i + 1))
        [ "$i" -lt 200 ] || { echo "the relay did not start" >&2; cat "$work/relay.$RELAY_PORT.err" >&2; exit 1; }
        sleep 0.05
    done
}
stop_relay() {
    kill -INT "$rpid"
    wait "$rpid" || true
    rpid=""
    RELAY_PORT=$((RELAY_PORT + 1))
}
measure() {  # mode N relay-options...
    mode="$1"
    n="$2"
    shift 2
    relay "$@"
    "$tool" "$mode" "$SERVER_PORT" "$RELAY_PORT" "$n"
    stop_relay
}

echo "Loopback, $(nproc) cores."
echo
for kbps in 100 500 5000; do
    printf 'bandwidth down:%s -> ' "$kbps"
    measure bandwidth "$SECONDS_BW" --bandwidth "down:$kbps"
done
printf 'no conditions, latency -> '
measure latency 200
for ms in 10 50 200; do
    printf 'latency up:%s -> ' "$ms"
    measure latency "$(( 2000 / (ms / 10 + 1) + 20 ))" --latency "up:$ms"
done
printf 'latency up:50:10 (jitter) -> '
measure latency 100 --latency up:50:10
for slicing in 100:5 1:1 1460:0; do
    printf 'slice down:%s, 10000 bytes -> ' "$slicing"
    measure slice 10000 --slice "down:$slicing"
done

# With no condition set the relay's speed must not change: bulk transfers each way and
# round trips through this build and CLI_BEFORE, alternating, ROUNDS times each.
[ -n "${CLI_BEFORE:-}" ] || exit 0
load="$build/bench/relay-load"
BYTES="${BYTES:-268435456}"
ROUNDS="${ROUNDS:-3}"
LOAD_PORT=21201
"$load" server "$LOAD_PORT" &
lpid=$!
trap 'kill "$lpid" 2>/dev/null || true; cleanup' EXIT INT TERM
echo
echo "No conditions, $BYTES bytes each way, 20000 round trips, $ROUNDS rounds:"
echo
echo "| build | upload MB/s | download MB/s | round trip us |"
echo "|---|---|---|---|"
round=0
while [ "$round" -lt "$ROUNDS" ]; do
    for which in before after; do
        exe="$cli"
        [ "$which" = after ] || exe="$CLI_BEFORE"
        XDG_CONFIG_HOME="$work/config-$which" XDG_DESKTOP_DIR="$work/desktop" "$exe" \
            --local-port "$RELAY_PORT" --url 127.0.0.1 --remote-port "$LOAD_PORT" \
            --save-response off --replace-host off >/dev/null 2>"$work/load.$RELAY_PORT.err" &
        rpid=$!
        i=0
        while ! grep -q "^Listening" "$work/load.$RELAY_PORT.err" 2>/dev/null; do
            i=$((i + 1))
            [ "$i" -lt 200 ] || { echo "the relay did not start" >&2; exit 1; }
            sleep 0.05
        done
        up=$("$load" upload 127.0.0.1 "$RELAY_PORT" "$BYTES" | cut -d' ' -f1)
        down=$("$load" download 127.0.0.1 "$RELAY_PORT" "$BYTES" | cut -d' ' -f1)
        rtt=$("$load" rtt 127.0.0.1 "$RELAY_PORT" 20000 | cut -d' ' -f1)
        echo "| $which | $up | $down | $rtt |"
        stop_relay
    done
    round=$((round + 1))
done
