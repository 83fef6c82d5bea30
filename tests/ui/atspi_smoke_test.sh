#!/bin/sh
# The log view read over AT-SPI as a screen reader reads it: a session bus of its own, the
# accessibility bus, Xvfb and the log view probe; the tree of the probe's window is walked
# over D-Bus to the text named "Traffic log", whose first line must be the log's.
# Skipped (77) where at-spi2-core, gdbus or Xvfb is missing.
#     atspi_smoke_test.sh PROBE
set -u
PROBE="$1"
LAUNCHER=/usr/libexec/at-spi-bus-launcher
for tool in dbus-run-session gdbus Xvfb; do
    command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed"; exit 77; }
done
[ -x "$LAUNCHER" ] || { echo "SKIP: at-spi2-core is not installed"; exit 77; }
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
export PROBE LAUNCHER WORK
export HOME="$WORK/home" XDG_RUNTIME_DIR="$WORK/run" XDG_CONFIG_HOME="$WORK/config"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

cat >"$WORK/run.sh" <<'SCRIPT'
#!/bin/sh
pids=""
trap 'for p in $pids; do kill $p 2>/dev/null; done' EXIT
"$LAUNCHER" --launch-immediately >"$WORK/launcher.log" 2>&1 &
pids="$pids $!"
i=0
until bus="$(gdbus call --session -d org.a11y.Bus -o /org/a11y/bus -m org.a11y.Bus.GetAddress 2>/dev/null)" ||
    [ $i -gt 50 ]; do
    sleep 0.1
    i=$((i + 1))
done
bus="$(echo "$bus" | sed "s/^('//; s/',)\$//")"
[ -n "$bus" ] || { echo "FAIL: no accessibility bus"; cat "$WORK/launcher.log"; exit 1; }
n=$((100 + $$ % 400))
while [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 800x600x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
pids="$pids $!"
sleep 1
DISPLAY=":$n" QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$PROBE" 20 \
    >"$WORK/probe.log" 2>&1 &
pids="$pids $!"
call() { gdbus call --address "$bus" -d "$1" -o "$2" -m "$3" $4 2>/dev/null; }
# The applications on the bus, then a walk of each one's tree, a few levels deep.
found=""
for attempt in 1 2 3 4 5 6 7 8 9 10; do
    apps="$(call org.a11y.atspi.Registry /org/a11y/atspi/accessible/root \
        org.a11y.atspi.Accessible.GetChildren)"
    for app in $(echo "$apps" | grep -o "':[0-9.]*'" | tr -d "'"); do
        queue="/org/a11y/atspi/accessible/root"
        depth=0
        while [ -n "$queue" ] && [ $depth -lt 6 ] && [ -z "$found" ]; do
            next=""
            for path in $queue; do
                name="$(call "$app" "$path" org.freedesktop.DBus.Properties.Get \
                    "org.a11y.atspi.Accessible Name")"
                if [ "$name" = "(<'Traffic log'>,)" ]; then
                    found="$app $path"
                    break
                fi
                children="$(call "$app" "$path" org.a11y.atspi.Accessible.GetChildren)"
                next="$next $(echo "$children" | grep -o "objectpath '[^']*'" |
                    sed "s/objectpath //; s/'//g")"
            done
            queue="$next"
            depth=$((depth + 1))
        done
    done
    [ -n "$found" ] && break
    sleep 0.5
done
[ -n "$found" ] || { echo "FAIL: no accessible named 'Traffic log'"; cat "$WORK/probe.log"; exit 1; }
echo "ok: found the log view at $found"
set -- $found
# The line at offset 0 (boundary 5: from a line's start to the next line's start); gdbus
# writes the line break as the two characters \n.
text="$(call "$1" "$2" org.a11y.atspi.Text.GetTextAtOffset "0 5")"
printf 'line at offset 0: %s\n' "$text"
if [ "$text" != "('Session 1 starts.\\n', 0, 18)" ]; then
    echo "FAIL: the first line read over AT-SPI is not the log's"
    exit 1
fi
echo "ok: read the first line"
SCRIPT
dbus-run-session -- sh "$WORK/run.sh"
