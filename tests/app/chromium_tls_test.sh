#!/bin/sh
# A real browser through the CLI over TLS: headless Chromium loads a page from a plain HTTP
# server at https://localhost:PORT/ through tapvane-cli, which answers the browser's TLS with
# a certificate of its own authority. With the authority in the browser's NSS database the
# page arrives and the log shows the decrypted request; with a fresh database the browser
# refuses and the log names the alert it sent.
#     chromium_tls_test.sh TAPVANE_CLI
set -u
cli="$1"
for tool in chromium certutil python3; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool is not installed"
        exit 77
    fi
done
work="$(mktemp -d)"
pids=""
cleanup() {
    for pid in $pids; do kill "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
export XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config"
mkdir -p "$work/www"
echo '<html><body><p id="x">hello over tls</p></body></html>' >"$work/www/index.html"

# Three free loopback ports: the web server's and two for the CLI.
set -- $(python3 -c '
import socket
socks = [socket.socket() for _ in range(3)]
for s in socks: s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in socks))')
web_port="$1" trusted_port="$2" fresh_port="$3"

python3 -m http.server "$web_port" --bind 127.0.0.1 -d "$work/www" >/dev/null 2>&1 &
pids="$pids $!"

fail() {
    echo "FAIL: $1"
    shift
    for f in "$@"; do echo "--- $f"; grep -v dbus "$f" | head -40; done
    exit 1
}

"$cli" --export-ca "$work/ca.pem" >"$work/export.out" 2>&1 || fail "--export-ca" "$work/export.out"

# run_browser PORT HOME: loads the page with HOME's NSS database; the DOM goes to stdout.
run_browser() {
    HOME="$2" timeout 60 chromium --headless=new --no-sandbox --disable-gpu \
        --user-data-dir="$2/profile" --dump-dom "https://localhost:$1/index.html" \
        2>"$2/chromium.err"
}

# start_cli PORT LOG: relays to the web server until killed.
start_cli() {
    timeout 90 "$cli" --local-port "$1" --bind local --url 127.0.0.1 --remote-port "$web_port" \
        --log "$2" >"$2.out" 2>&1 &
    pids="$pids $!"
    i=0
    while ! grep -q "Start listening" "$2.out" 2>/dev/null; do
        i=$((i + 1))
        [ $i -lt 100 ] || fail "the CLI did not start listening" "$2.out"
        sleep 0.1
    done
}

# wait_for_log LOG TEXT: the text appears in the log within 10 s.
wait_for_log() {
    i=0
    while ! grep -qF "$2" "$1"; do
        i=$((i + 1))
        [ $i -lt 100 ] || return 1
        sleep 0.1
    done
}

# 1. The authority is trusted: the page arrives, decrypted in the log.
trusted="$work/trusted"
mkdir -p "$trusted/.pki/nssdb"
certutil -d "sql:$trusted/.pki/nssdb" -N --empty-password || fail "certutil -N"
certutil -d "sql:$trusted/.pki/nssdb" -A -t C,, -n "Tapvane test" -i "$work/ca.pem" ||
    fail "certutil -A"
start_cli "$trusted_port" "$work/trusted.log"
run_browser "$trusted_port" "$trusted" >"$work/trusted.dom"
grep -q "hello over tls" "$work/trusted.dom" ||
    fail "the page did not arrive through TLS" "$work/trusted.dom" "$trusted/chromium.err" \
        "$work/trusted.log"
wait_for_log "$work/trusted.log" "TLS from the client: TLSv1.3" ||
    fail "no TLS line in the log" "$work/trusted.log"
wait_for_log "$work/trusted.log" "GET /index.html HTTP/1.1" ||
    fail "the request is not in the log in clear text" "$work/trusted.log"
grep -q "User-Agent: .*HeadlessChrome" "$work/trusted.log" ||
    fail "the browser's headers are not in the log" "$work/trusted.log"
grep -qF "hello over tls" "$work/trusted.log" ||
    fail "the answer is not in the log in clear text" "$work/trusted.log"
echo "ok: trusted authority: page loaded and logged in clear text"

# 2. A browser that does not know the authority refuses, and the log says how.
fresh="$work/fresh"
mkdir -p "$fresh"
start_cli "$fresh_port" "$work/fresh.log"
run_browser "$fresh_port" "$fresh" >"$work/fresh.dom"
if grep -q "hello over tls" "$work/fresh.dom"; then
    fail "a browser without the authority loaded the page" "$work/fresh.dom"
fi
wait_for_log "$work/fresh.log" "The client refused Tapvane's certificate: " ||
    fail "the refusal is not in the log" "$work/fresh.log" "$fresh/chromium.err"
if grep -q "GET /index.html" "$work/fresh.log"; then
    fail "a refused browser's request reached the log" "$work/fresh.log"
fi
echo "ok: unknown authority: $(grep -m1 -o "The client refused[^.]*" "$work/fresh.log")"
