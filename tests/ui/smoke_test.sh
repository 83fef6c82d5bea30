#!/bin/sh
# The real program as a user starts it: under Xvfb its window appears titled
# "Untitled - Tapvane" and a window-manager close ends it with exit code 1; without any
# display it exits 0 at once with one line that says why.
#     smoke_test.sh PROGRAM XWINDOW_TOOL
set -u
program="$1"
tool="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME="$work/config" HOME="$work/home" XDG_DESKTOP_DIR="$work/desktop"
mkdir -p "$HOME"

# Without a display.
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" >"$work/out" 2>"$work/err"
rc=$?
if [ "$rc" != 0 ]; then
    echo "FAIL: without a display the exit code is $rc, not 0"; cat "$work/err"; exit 1
fi
if [ "$(wc -l <"$work/err")" != 1 ] || ! grep -q "tapvane-cli" "$work/err"; then
    echo "FAIL: without a display the program must say why in one line:"; cat "$work/err"; exit 1
fi
echo "ok: no display: $(cat "$work/err")"

if ! command -v xvfb-run >/dev/null 2>&1; then
    echo "SKIP: xvfb-run is not installed"
    exit 77
fi

# Under Xvfb: start, find the window, close it as a window manager does.
cat >"$work/run.sh" <<SCRIPT
#!/bin/sh
unset QT_QPA_PLATFORM
"$program" >"$work/program.out" 2>"$work/program.err" &
pid=\$!
if ! "$tool" find "Untitled - Tapvane" 20 >/dev/null; then
    echo "FAIL: no window titled 'Untitled - Tapvane'"; kill \$pid; cat "$work/program.err"; exit 1
fi
echo "ok: the window appeared"
"$tool" close "Untitled - Tapvane"
i=0
while kill -0 \$pid 2>/dev/null && [ \$i -lt 200 ]; do sleep 0.1; i=\$((i + 1)); done
if kill -0 \$pid 2>/dev/null; then
    echo "FAIL: the program did not end after the close"; kill -9 \$pid; exit 1
fi
wait \$pid
rc=\$?
if [ "\$rc" != 1 ]; then
    echo "FAIL: exit code \$rc after a normal close, not 1"; cat "$work/program.err"; exit 1
fi
echo "ok: closed with exit code 1"
SCRIPT
chmod +x "$work/run.sh"
# Searching for a free display from a number of its own keeps two runs at once apart.
xvfb-run -a -n "$((100 + $$ % 400))" -s "-screen 0 1280x800x24" "$work/run.sh"
