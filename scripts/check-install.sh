#!/bin/sh
# Checks Tapvane as it is installed: the desktop entry and the AppStream metadata of a
# `cmake --install`, then the Debian package built with CPack, installed with apt-get, its
# tapvane-cli run from /usr/bin (its version and a short relay on loopback), both manual
# pages rendered without a warning, and the package removed again. Needs root (or sudo) for
# apt-get. Run after a build:
#     scripts/check-install.sh [build folder, default build]
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo

work="$(mktemp -d)"
cli_pid=""
server_pid=""
cleanup() {
    [ -z "$cli_pid" ] || kill "$cli_pid" 2>/dev/null || true
    [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM
fail() {
    echo "check-install: $*" >&2
    exit 1
}

# 1. What `cmake --install` puts below a prefix, validated where it lands.
stage="$work/stage"
DESTDIR="$stage" cmake --install "$build" --prefix /usr/local >/dev/null
share="$stage/usr/local/share"
for f in "$stage/usr/local/bin/tapvane" "$stage/usr/local/bin/tapvane-cli" \
    "$share/applications/tapvane.desktop" "$share/icons/hicolor/scalable/apps/tapvane.svg" \
    "$share/icons/hicolor/256x256/apps/tapvane.png" "$share/icons/hicolor/16x16/apps/tapvane.png" \
    "$share/tapvane/help/index.html" "$share/man/man1/tapvane.1" "$share/man/man1/tapvane-cli.1"; do
    [ -f "$f" ] || fail "not installed: ${f#"$stage"}"
done
desktop-file-validate "$share/applications/tapvane.desktop"
metainfo="$(ls "$share"/metainfo/*.metainfo.xml)"
appstreamcli validate --no-net "$metainfo"

# 2. The Debian package, installed as a user would.
rm -f "$build"/tapvane_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb="$(ls "$build"/tapvane_*.deb)"
dpkg-deb --field "$deb" Depends
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y "$deb" >/dev/null
[ -x /usr/bin/tapvane-cli ] && [ -x /usr/bin/tapvane ] || fail "the package installed no programs"
version="$(/usr/bin/tapvane-cli --version | head -n 1)"
expected="tapvane-cli $(dpkg-deb --field "$deb" Version)"
[ "$version" = "$expected" ] || fail "--version says \"$version\", not \"$expected\""
echo "$version"

# The manual pages render without a single warning.
for page in tapvane tapvane-cli; do
    file="$(ls /usr/share/man/man1/$page.1*)"
    LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" >"$work/$page.txt" 2>"$work/$page.err" ||
        fail "man cannot render $file"
    if [ -s "$work/$page.err" ]; then
        cat "$work/$page.err" >&2
        fail "warnings while rendering $file"
    fi
done

# A short relay through the installed program: a local web server, one request with curl.
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
mkdir -p "$work/site" "$work/home"
echo "hello through the installed tapvane-cli" >"$work/site/hello.txt"
server_port="$(free_port)"
local_port="$(free_port)"
(cd "$work/site" && exec python3 -m http.server "$server_port" --bind 127.0.0.1) \
    >"$work/server.log" 2>&1 &
server_pid=$!
HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" /usr/bin/tapvane-cli \
    --local-port "$local_port" --url 127.0.0.1 --remote-port "$server_port" \
    --save-response off --log "$work/traffic.log" >"$work/cli.out" 2>"$work/cli.err" &
cli_pid=$!
i=0
until grep -q "Listening on port" "$work/cli.err" && curl -s -o /dev/null "http://127.0.0.1:$server_port/"; do
    [ $i -lt 100 ] || fail "tapvane-cli or the web server did not start: $(cat "$work/cli.err")"
    sleep 0.1
    i=$((i + 1))
done
answer="$(curl -s --max-time 10 "http://127.0.0.1:$local_port/hello.txt")"
[ "$answer" = "hello through the installed tapvane-cli" ] || fail "the relay answered \"$answer\""
kill -INT "$cli_pid"
i=0
while kill -0 "$cli_pid" 2>/dev/null; do
    [ $i -lt 100 ] || fail "tapvane-cli did not end after Ctrl-C"
    sleep 0.1
    i=$((i + 1))
done
status=0
wait "$cli_pid" || status=$?
cli_pid=""
[ "$status" = 0 ] || fail "tapvane-cli ended with $status: $(cat "$work/cli.err")"
grep -q "0---<---GET /hello.txt" "$work/traffic.log" || fail "the log file lacks the request"

# 3. Removed again, leaving nothing behind.
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y tapvane >/dev/null
for f in /usr/bin/tapvane /usr/bin/tapvane-cli /usr/share/tapvane /usr/share/applications/tapvane.desktop; do
    [ ! -e "$f" ] || fail "left behind after removal: $f"
done
echo "check-install: all checks passed"
