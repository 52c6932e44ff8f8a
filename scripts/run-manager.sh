#!/usr/bin/env bash
# Starts KorvanNgMgr from a build folder on a demo token store, made on first use:
# two readers, "Demo Token" in reader (slot) 1, reader 2 empty.
#
# Usage: scripts/run-manager.sh [BUILD_DIR]        (default build/debug)
# Environment:
#   KORVAN_DEMO_DIR  the demo store (default $XDG_DATA_HOME/korvanng/demo,
#                    that is ~/.local/share/korvanng/demo); delete it to start afresh
#   KORVAN_VNC_PORT  VNC port when there is no display (default 5900)
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
    mkdir -p "$demo"
    # Half-made stores are removed so the next run starts again.
    trap 'rm -rf "$demo"' ERR
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

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    plugins=$(qtpaths6 --query QT_INSTALL_PLUGINS 2>/dev/null || echo /usr/lib/x86_64-linux-gnu/qt6/plugins)
    port=${KORVAN_VNC_PORT:-5900}
    if [ -e "$plugins/platforms/libqvnc.so" ]; then
        export QT_QPA_PLATFORM="vnc:size=1024x768:port=$port"
        cat <<TEXT

No display: the manager draws into a VNC server on port $port (no password, every
network interface). Look at it with a VNC viewer:
  vncviewer localhost:$port          (on this machine)
  ssh -L $port:localhost:$port HOST  (then vncviewer localhost:$port on yours)
Stop it with Ctrl+C.
TEXT
    elif command -v xvfb-run >/dev/null 2>&1; then
        cat <<TEXT

No display and no Qt VNC plugin: the manager runs in a virtual X server (Xvfb).
Take a picture of it from another terminal with
  xwd -root -display :99 > manager.xwd
Stop it with Ctrl+C.
TEXT
        echo "(If a manager is already running, this one ends at once.)"
        exec xvfb-run -n 99 -s "-screen 0 1024x768x24" "$bin/KorvanNgMgr"
    else
        echo "run-manager: no display, no Qt VNC plugin and no xvfb-run" >&2
        exit 1
    fi
fi

echo "(If a manager is already running, this one ends at once.)"
exec "$bin/KorvanNgMgr"
