#!/usr/bin/env bash
# Starts the bridge on a demo token and serves the demo page (bridge/demo, with the include line
# `korvan-bridge --print-include` prints for the bridge's port) from another loopback port; open
# the printed address in Chromium or Firefox.
#
# Usage: scripts/demo.sh [BUILD_DIR]        (default build/debug)
# Environment:
#   KORVAN_BRIDGE_DEMO_DIR  the demo store (default $XDG_DATA_HOME/korvanng/bridge-demo, that is
#                           ~/.local/share/korvanng/bridge-demo); delete it to start afresh
#   KORVAN_BRIDGE_PORT      the bridge's port (default 28561)
#   KORVAN_DEMO_PAGE_PORT   the demo page's port (default 28562)
# The controls and providers are registered into the user's registry store (KORVAN_REGISTRY_DIR
# chooses another). The token's PIN is 1234; the token's own PIN window asks for it.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build/debug}
bin=$(cd "$build/bin" 2>/dev/null && pwd) || { echo "demo: $build/bin does not exist; build first" >&2; exit 1; }
for f in korvan-bridge korvan-bridge-worker korvan-regsvr32 korvanng-tool tokenctl \
    libQXMeridiaControl.so libMeridiaVaultora.so libkorvan_csp_meridia.so libkorvan_csp_skyra.so \
    libkorvan_rsa_provider.so; do
    [ -e "$bin/$f" ] || { echo "demo: $bin/$f is missing; build first" >&2; exit 1; }
done
command -v openssl >/dev/null || { echo "demo: openssl is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }

demo=${KORVAN_BRIDGE_DEMO_DIR:-${XDG_DATA_HOME:-$HOME/.local/share}/korvanng/bridge-demo}
bridge_port=${KORVAN_BRIDGE_PORT:-28561}
page_port=${KORVAN_DEMO_PAGE_PORT:-28562}
so_pin=12345678
user_pin=1234
# One store for both token modules, so one token is seen through both providers and both token
# libraries.
export MERIDIA_TOKEN_CONF="$demo/meridia.conf"
export SKYRA_TOKEN_CONF="$demo/skyra.conf"

if [ ! -e "$demo/ready" ]; then
    echo "Creating the demo token store in $demo"
    rm -rf -- "$demo/store" "$demo/pki"
    mkdir -p "$demo/store" "$demo/pki"
    chmod 700 "$demo" "$demo/pki"
    for conf in "$MERIDIA_TOKEN_CONF" "$SKYRA_TOKEN_CONF"; do
        printf '# Demo store of scripts/demo.sh\nstore_dir = %s/store\nslots = 2\n' "$demo" > "$conf"
    done
    printf '%s\n%s\n' "$so_pin" "$user_pin" |
        "$bin/tokenctl" create bridge-demo --label "Bridge Demo" --pins-stdin >/dev/null
    "$bin/tokenctl" insert bridge-demo --slot 1 >/dev/null
    # One certificate for each certificate family of the 64-bit control: the base family takes
    # names without the marker, the _Ex family names ending in "_TQB".
    for name in "Demo Signer" "Demo Signer_TQB"; do
        file="$demo/pki/${name// /-}"
        openssl req -x509 -newkey rsa:2048 -nodes -keyout "$file.key" -out "$file.crt" \
            -subj "/CN=$name" -days 365 2>/dev/null
        openssl pkcs12 -export -inkey "$file.key" -in "$file.crt" -out "$file.p12" -passout pass:demo
        printf '%s\ndemo\n' "$user_pin" |
            "$bin/korvanng-tool" import --slot 1 "$file.p12" --pin-stdin --password-stdin --yes >/dev/null
        echo "imported \"$name\" ($file.p12, password demo)"
    done
    touch "$demo/ready"
fi

for module in libQXMeridiaControl.so libMeridiaVaultora.so libkorvan_csp_meridia.so \
    libkorvan_csp_skyra.so libkorvan_rsa_provider.so; do
    "$bin/korvan-regsvr32" /s "$bin/$module"
done
store=${KORVAN_REGISTRY_DIR:-"the user's registry store"}
echo "Registered the controls and providers in $store"

pids=()
site=""
finish() {
    local i
    for (( i = ${#pids[@]} - 1; i >= 0; i-- )); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    [ -z "$site" ] || rm -rf -- "$site"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

page="http://127.0.0.1:$page_port"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    # No display, so no approval dialog: the demo page's origin is approved beforehand.
    export KORVAN_BRIDGE_ALLOW=$page
    echo "No display: $page is pre-approved (KORVAN_BRIDGE_ALLOW)."
fi

"$bin/korvan-bridge" --port "$bridge_port" &
pids+=("$!")
sleep 1
if ! kill -0 "${pids[-1]}" 2>/dev/null; then
    status=0
    wait "${pids[-1]}" || status=$?
    unset 'pids[-1]'
    if [ "$status" -ne 0 ]; then
        echo "demo: korvan-bridge did not start (is port $bridge_port taken? KORVAN_BRIDGE_PORT chooses another)" >&2
        exit 1
    fi
    echo "A bridge is already running for this user; the page uses it, with the token store it was started with."
    echo "(If it was built from other sources, it may not serve the script this build pins: stop it and run the demo again.)"
fi

# The page names the script by path and hash, as a real page does; both come from this build.
include=$("$bin/korvan-bridge" --print-include --port "$bridge_port")
site=$(mktemp -d "${TMPDIR:-/tmp}/korvan-demo-page.XXXXXX")
cp "$here/bridge/demo/demo.js" "$site/"
template=$(<"$here/bridge/demo/index.html")
printf '%s\n' "${template//"<!--@KORVAN_INCLUDE@-->"/"$include"}" > "$site/index.html"
grep -qF "$include" "$site/index.html" || { echo "demo: bridge/demo/index.html has no include placeholder" >&2; exit 1; }

python3 -m http.server --bind 127.0.0.1 --directory "$site" "$page_port" >/dev/null 2>&1 &
pids+=("$!")
sleep 0.5
kill -0 "${pids[-1]}" 2>/dev/null ||
    { echo "demo: could not serve the page on port $page_port (KORVAN_DEMO_PAGE_PORT chooses another)" >&2; exit 1; }

cat <<TEXT

Demo token:  "Bridge Demo", user PIN $user_pin, store $demo
Bridge:      http://127.0.0.1:$bridge_port; the page includes
             $include
Open:        $page/index.html
The first call asks whether $page may use the signing controls.
Stop with Ctrl+C.
TEXT
wait "${pids[0]}"
