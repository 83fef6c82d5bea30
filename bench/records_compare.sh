#!/bin/sh
# tapvane-cli relaying on loopback without and with a live packet capture (--pcap), in one
# run: bulk transfer each way (MB/s), sequential 100-byte round trips (us each).
# Uses an existing build: BUILD (default build). BYTES (67108864), RTTS (5000).
set -eu

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD:-$root/build}"
BYTES="${BYTES:-67108864}"
RTTS="${RTTS:-5000}"
load="$build/bench/relay-load"
cli="$build/src/tapvane-cli"
work="$(mktemp -d)"
SERVER_PORT=$((20000 + $$ % 5000))
RELAY_PORT=$((SERVER_PORT + 1))

"$load" server "$SERVER_PORT" &
spid=$!
trap 'kill $spid 2>/dev/null || true; rm -rf "$work"' EXIT

run() {  # name, extra options
    name="$1"
    shift
    XDG_CONFIG_HOME="$work/config" XDG_DESKTOP_DIR="$work" "$cli" --local-port "$RELAY_PORT" \
        --url 127.0.0.1 --remote-port "$SERVER_PORT" --save-response off --replace-host off \
        "$@" >/dev/null 2>"$work/err" &
    pid=$!
    while ! grep -q "Listening on port" "$work/err"; do sleep 0.1; done
    up=$("$load" upload 127.0.0.1 "$RELAY_PORT" "$BYTES" | cut -d' ' -f1)
    down=$("$load" download 127.0.0.1 "$RELAY_PORT" "$BYTES" | cut -d' ' -f1)
    rtt=$("$load" rtt 127.0.0.1 "$RELAY_PORT" "$RTTS" | cut -d' ' -f1)
    kill -INT "$pid"
    wait "$pid" || true
    echo "| $name | $up | $down | $rtt |"
    RELAY_PORT=$((RELAY_PORT + 1))
}

echo "| tapvane-cli | upload MB/s | download MB/s | round trip us |"
echo "|---|---|---|---|"
run "records dropped (no --pcap)"
run "records to a capture (--pcap)" --pcap "$work/live.pcapng"
run "records dropped (no --pcap), again"
