#!/bin/sh
# Measures tapvane-cli with TLS on both sides beside haproxy terminating and re-originating
# TLS and beside a direct TLS connection, on loopback, in one run:
#   direct            the TLS client talks to the TLS server itself
#   tapvane-cli       decrypts the client's TLS (its own authority's certificate), logs the
#                     clear text to a file, and speaks TLS to the server (verified)
#   haproxy           bind ... ssl crt, server ... ssl verify none; logs nothing
# Figures: bulk transfer each way (MB/s, content checked), sequential 100-byte round trips
# (us each), full handshakes one connection after another (per second; the client resumes
# nothing), and for tapvane-cli the memory of a TLS session beyond a plain one (N sessions
# held open each way). Prints a Markdown table.
#
# Environment: BYTES (default 268435456), RTTS (20000), HANDSHAKES (1000), HOLD (200);
# BUILD, a Release build folder with tapvane-cli, relay-load and tls-load (default:
# build-release, built here).
set -eu

root="$(cd "$(dirname "$0")/.." && pwd)"
BYTES="${BYTES:-268435456}"
RTTS="${RTTS:-20000}"
HANDSHAKES="${HANDSHAKES:-1000}"
HOLD="${HOLD:-200}"

for p in haproxy openssl; do
    command -v "$p" >/dev/null 2>&1 || { echo "tls_compare: $p is missing (scripts/deps.sh)" >&2; exit 1; }
done

build="${BUILD:-}"
if [ -z "$build" ]; then
    build="$root/build-release"
    "$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=Release -DTAPVANE_GUI=OFF -DTAPVANE_TESTS=OFF >/dev/null
fi
cli="$build/src/tapvane-cli"
load="$build/bench/relay-load"
tload="$build/bench/tls-load"

work="$(mktemp -d)"
pids=""
cleanup() {
    for p in $pids; do kill "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

# The server's certificate (for localhost and 127.0.0.1), which is also the only one trusted.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
    -subj /CN=localhost -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
    -keyout "$work/server.key" -out "$work/server.crt" 2>/dev/null
cat "$work/server.crt" "$work/server.key" >"$work/server.pem"
export SSL_CERT_FILE="$work/server.crt" SSL_CERT_DIR="$work/none"

SERVER_PORT=21101  # TLS
PLAIN_PORT=21102
RELAY_PORT=21110
"$tload" server "$SERVER_PORT" "$work/server.pem" &
pids="$pids $!"
"$load" server "$PLAIN_PORT" &
pids="$pids $!"

wait_port() {
    i=0
    while ! "$load" connect 127.0.0.1 "$1" 1 >/dev/null 2>&1 && ! "$tload" handshakes 127.0.0.1 "$1" 1 >/dev/null 2>&1; do
        i=$((i + 1))
        [ "$i" -lt 200 ] || { echo "port $1 did not open" >&2; return 1; }
        sleep 0.05
    done
}

rss_kib() {
    awk '/VmRSS/ {print $2}' "/proc/$1/status"
}

# The growth of a process's memory while N connections are held open through it.
held_kib() {  # pid tool port
    before=$(rss_kib "$1")
    "$2" hold 127.0.0.1 "$3" "$HOLD" 3 >"$work/hold.out" &
    hold=$!
    i=0
    while ! grep -q held "$work/hold.out" 2>/dev/null; do
        i=$((i + 1))
        [ "$i" -lt 600 ] || break
        sleep 0.05
    done
    sleep 0.5
    during=$(rss_kib "$1")
    wait "$hold" || true
    echo $((during - before))
}

measure() {  # name port
    wait_port "$2"
    up=$("$tload" upload 127.0.0.1 "$2" "$BYTES" | cut -d' ' -f1)
    down=$("$tload" download 127.0.0.1 "$2" "$BYTES" | cut -d' ' -f1)
    rtt=$("$tload" rtt 127.0.0.1 "$2" "$RTTS" | cut -d' ' -f1)
    hs=$("$tload" handshakes 127.0.0.1 "$2" "$HANDSHAKES" | cut -d' ' -f1)
    echo "| $1 | $up | $down | $rtt | $hs |" >>"$work/table"
}

: >"$work/table"
measure "direct TLS" "$SERVER_PORT"

export XDG_CONFIG_HOME="$work/config" XDG_DESKTOP_DIR="$work/desktop" XDG_DATA_HOME="$work/data"
"$cli" --local-port "$RELAY_PORT" --url https://127.0.0.1 --remote-port "$SERVER_PORT" \
    --save-response off --replace-host off --log "$work/tapvane.log" >/dev/null 2>"$work/tapvane.err" &
tpid=$!
pids="$pids $tpid"
measure "tapvane-cli (TLS both sides, log to a file)" "$RELAY_PORT"
tls_kib=$(held_kib "$tpid" "$tload" "$RELAY_PORT")
kill -INT "$tpid"; wait "$tpid" || true
RELAY_PORT=$((RELAY_PORT + 1))

"$cli" --local-port "$RELAY_PORT" --url 127.0.0.1 --remote-port "$PLAIN_PORT" \
    --save-response off --replace-host off --log "$work/plain.log" >/dev/null 2>"$work/plain.err" &
ppid=$!
pids="$pids $ppid"
wait_port "$RELAY_PORT"
plain_kib=$(held_kib "$ppid" "$load" "$RELAY_PORT")
kill -INT "$ppid"; wait "$ppid" || true
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
    bind 127.0.0.1:$RELAY_PORT ssl crt $work/server.pem
    default_backend server
backend server
    server s1 127.0.0.1:$SERVER_PORT ssl verify none sni str(localhost)
CFG
haproxy -f "$work/haproxy.cfg" -db >/dev/null 2>&1 &
hpid=$!
pids="$pids $hpid"
measure "haproxy (ssl both sides, no log)" "$RELAY_PORT"

echo "Loopback, $(nproc) cores; $BYTES bytes each way, $RTTS round trips, $HANDSHAKES handshakes."
echo
echo "| relay | upload MB/s | download MB/s | round trip us | handshakes/s |"
echo "|---|---|---|---|---|"
cat "$work/table"
echo
echo "tapvane-cli memory with $HOLD sessions held open: TLS $tls_kib KiB, plain $plain_kib KiB;" \
    "a TLS session costs $(( (tls_kib - plain_kib) / HOLD )) KiB beyond a plain one."
