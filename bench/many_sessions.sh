#!/bin/sh
# Many clients at once through tapvane-cli started under the usual desktop limit of open
# files (soft 1,024, the hard limit as it is): the relay raises its limit, every client is
# relayed (one checked round trip each) and held open, and everything is given back once
# they are gone. Prints the relay's descriptors, threads and memory with the clients open,
# and how long the release took.
#
# Environment: CLIENTS (default 1000), BUILD (a Release build folder to use as it is;
# default: build-release, configured and built here).
set -eu

root="$(cd "$(dirname "$0")/.." && pwd)"
CLIENTS="${CLIENTS:-1000}"
build="${BUILD:-}"
if [ -z "$build" ]; then
    build="$root/build-release"
    "$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=Release -DTAPVANE_TESTS=OFF >/dev/null
fi
load="$build/bench/relay-load"
cli="$build/src/tapvane-cli"

if [ "$(ulimit -Hn)" != unlimited ] && [ "$(ulimit -Hn)" -lt $((4 * CLIENTS + 1024)) ]; then
    echo "the hard limit of open files ($(ulimit -Hn)) is too low for $CLIENTS clients" >&2
    exit 1
fi
ulimit -Sn $((2 * CLIENTS + 256))  # this shell's load tool holds a socket per client

work="$(mktemp -d)"
pids=""
cleanup() {
    for p in $pids; do kill "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

SERVER_PORT=21101
RELAY_PORT=21102
"$load" server "$SERVER_PORT" &
pids="$pids $!"

(ulimit -Sn 1024 && exec env XDG_CONFIG_HOME="$work/config" XDG_DESKTOP_DIR="$work/desktop" \
    "$cli" --local-port "$RELAY_PORT" --url 127.0.0.1 --remote-port "$SERVER_PORT" \
    --save-response off --replace-host off) >/dev/null 2>"$work/cli.err" &
cpid=$!
pids="$pids $cpid"
i=0
until grep -q "Listening on port" "$work/cli.err"; do
    i=$((i + 1))
    [ "$i" -lt 200 ] || { cat "$work/cli.err" >&2; exit 1; }
    sleep 0.05
done

fds() { ls "/proc/$cpid/fd" | wc -l; }
field() { awk -v k="$1:" '$1 == k {print $2}' "/proc/$cpid/status"; }

base_fds=$(fds)
base_rss=$(field VmRSS)
"$load" hold 127.0.0.1 "$RELAY_PORT" "$CLIENTS" 4 >"$work/hold.out" &
hpid=$!
pids="$pids $hpid"
until [ -s "$work/hold.out" ]; do sleep 0.05; done
sleep 0.5
open_fds=$(fds)
open_threads=$(field Threads)
open_rss=$(field VmRSS)
wait "$hpid" || true
held=$(cut -d' ' -f1 "$work/hold.out")
[ "$held" -gt 0 ] || held=1
gone=$(date +%s.%N)
while [ "$(fds)" -gt $((base_fds + 6)) ]; do
    sleep 0.1
    if [ "$(echo "$(date +%s.%N) - $gone > 30" | bc)" = 1 ]; then break; fi
done
released=$(echo "$(date +%s.%N) - $gone" | bc)

echo "$(grep -o 'Open files limit: .*' "$work/cli.err" | head -1)"
echo "load: $(cat "$work/hold.out")"
echo "| clients held | descriptors (before) | threads | memory (before) | per session held | released after |"
echo "|---|---|---|---|---|---|"
echo "| $held of $CLIENTS | $open_fds ($base_fds) | $open_threads | $((open_rss / 1024)) MiB ($((base_rss / 1024)) MiB) | $(((open_rss - base_rss) / held)) KiB, $(echo "scale=2; ($open_fds - $base_fds) / $held" | bc) descriptors | ${released} s, $(fds) descriptors left |"
grep -q "Session limit reached" "$work/cli.err" && echo "The relay reported its session limit." || true
