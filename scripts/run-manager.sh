#!/usr/bin/env bash
# Starts KorvanNgMgr from a build folder on a demo token store, made on first use:
# two readers, "Demo Token" in reader (slot) 1, reader 2 empty.
#
# Usage: scripts/run-manager.sh [BUILD_DIR]        (default build/debug)
# Environment:
#   KORVAN_DEMO_DIR  the demo store (default $XDG_DATA_HOME/korvanng/demo,
#                    that is ~/.local/share/korvanng/demo); delete it to start afresh
#   KORVAN_VNC_PORT  with no display: the port of the VNC server that shows the virtual
#                    screen, on 127.0.0.1 only (default 5900)
#   KORVAN_QT_VNC=1  with no display: use Qt's own VNC platform instead. It listens on every
#                    network interface without a password; only for isolated machines.
# The window follows the locale: LANG=zh_CN.UTF-8 shows the Chinese texts (unless the
# registry store names a LanguageId).
set -euo pipefail

build=${1:-build/debug}
bin=$(cd "$build/bin" 2>/dev/null && pwd) || { echo "run-manager: $build/bin does not exist; build first" >&2; exit 1; }
for f in KorvanNgMgr tokenctl libmeridiaCsp11_2001.so; do
    [ -e "$bin/$f" ] || { echo "run-manager: $bin/$f is missing; build first" >&2; exit 1; }
done

demo=${KORVAN_DEMO_DIR:-${XDG_DATA_HOME:-$HOME/.local/share}/korvanng/demo}
conf="$demo/meridia.conf"
so_pin=12345678
user_pin=1234
export MERIDIA_TOKEN_CONF="$conf"

if [ ! -e "$conf" ]; then
    echo "Creating the demo token store in $demo"
    # A half-made store is removed so the next run starts again, but only what this run
    # made: KORVAN_DEMO_DIR may name a folder that already holds other things.
    made=("$conf.new" "$conf")
    top=""
    d=$demo
    while [ ! -e "$d" ]; do top=$d; d=$(dirname "$d"); done
    if [ -n "$top" ]; then
        made+=("$top")
    elif [ ! -e "$demo/store" ]; then
        made+=("$demo/store")
    fi
    trap 'rm -rf -- "${made[@]}"' ERR
    mkdir -p "$demo"
    printf '# Demo store of scripts/run-manager.sh\nstore_dir = %s/store\nslots = 2\n' "$demo" > "$conf.new"
    mv "$conf.new" "$conf"
    printf '%s\n%s\n' "$so_pin" "$user_pin" |
        "$bin/tokenctl" create demo --label "Demo Token" --pins-stdin >/dev/null
    "$bin/tokenctl" insert demo --slot 1 >/dev/null
    trap - ERR
fi

cat <<TEXT
Demo store:  $demo  (MERIDIA_TOKEN_CONF=$conf)
Demo token:  "Demo Token", SO PIN $so_pin, user PIN $user_pin
Readers:     slot 1 and slot 2; now:
TEXT
"$bin/tokenctl" list | sed 's/^/  /'
cat <<TEXT

Pull and plug the token from another terminal; the window follows within half a second:
  MERIDIA_TOKEN_CONF=$conf $bin/tokenctl remove --slot 1
  MERIDIA_TOKEN_CONF=$conf $bin/tokenctl insert demo --slot 2
TEXT

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ] || [ -n "${QT_QPA_PLATFORM:-}" ]; then
    echo "(If a manager is already running, this one ends at once.)"
    exec "$bin/KorvanNgMgr"
fi

port=${KORVAN_VNC_PORT:-5900}

if [ "${KORVAN_QT_VNC:-}" = 1 ]; then
    cat >&2 <<TEXT

WARNING: KORVAN_QT_VNC=1: Qt's VNC server listens on port $port of EVERY network interface,
without a password. Anyone who reaches that port can use the manager: enter PINs, erase
the token. Use it only on a machine no one else can reach.
TEXT
    echo "(If a manager is already running, this one ends at once.)"
    export QT_QPA_PLATFORM="vnc:size=1024x768:port=$port"
    exec "$bin/KorvanNgMgr"
fi

# No display: a virtual X server, readable by this user only (a cookie in a private folder),
# and, to look at it, a VNC server on 127.0.0.1.
for tool in Xvfb xauth mcookie; do
    command -v "$tool" >/dev/null 2>&1 ||
        { echo "run-manager: no display and no $tool (scripts/install-deps.sh installs it)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/korvan-run.XXXXXX")
pids=()
finish() {
    # Newest first: the manager, then the VNC server, then the X server it draws on.
    local i
    for (( i = ${#pids[@]} - 1; i >= 0; i-- )); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    rm -rf -- "$work"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

export XAUTHORITY="$work/Xauthority"
display=""
for n in $(seq 99 199); do
    if [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; then continue; fi
    : > "$XAUTHORITY"
    xauth -q -f "$XAUTHORITY" add ":$n" . "$(mcookie)"
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp -auth "$XAUTHORITY" >"$work/xvfb.log" 2>&1 &
    xvfb=$!
    for _ in $(seq 50); do
        if [ -S "/tmp/.X11-unix/X$n" ]; then display=":$n"; break; fi
        kill -0 "$xvfb" 2>/dev/null || break
        sleep 0.1
    done
    if [ -n "$display" ]; then pids+=("$xvfb"); break; fi
    # Another X server took the number first: try the next one.
    kill "$xvfb" 2>/dev/null || true
    wait "$xvfb" 2>/dev/null || true
done
[ -n "$display" ] || { echo "run-manager: could not start Xvfb" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=$display

echo
echo "No display: the manager runs in a virtual X server, DISPLAY=$display."
if command -v x11vnc >/dev/null 2>&1; then
    x11vnc -localhost -display "$display" -auth "$XAUTHORITY" -forever -shared -nopw \
        -rfbport "$port" >"$work/x11vnc.log" 2>&1 &
    pids+=("$!")
    sleep 1
    if ! kill -0 "${pids[-1]}" 2>/dev/null; then
        echo "run-manager: x11vnc did not start (is port $port taken? KORVAN_VNC_PORT chooses another):" >&2
        tail -n 5 "$work/x11vnc.log" >&2
        exit 1
    fi
    cat <<TEXT
A VNC server shows it on 127.0.0.1:$port only (no password; other machines cannot reach it).
  on this machine:  a VNC viewer on localhost:$port, e.g. vncviewer localhost:$port
  from yours:       ssh -L $port:localhost:$port $(hostname)
                    then a VNC viewer on localhost:$port
TEXT
else
    echo "x11vnc is not installed (scripts/install-deps.sh installs it); no VNC view."
fi
cat <<TEXT
A picture from another terminal on this machine:
  XAUTHORITY=$XAUTHORITY xwd -root -display $display > manager.xwd
Stop it with Ctrl+C.
(If a manager is already running, this one ends at once.)
TEXT

"$bin/KorvanNgMgr" &
pids+=("$!")
status=0
wait "${pids[-1]}" || status=$?
exit "$status"
