#!/bin/sh
# Renders the manager's main window (slot, token and certificate panes) and its
# dialogs to PNG files, in English and in Simplified Chinese, offscreen.
# Usage: scripts/screenshots.sh [BUILD_DIR] [OUT_DIR]
#        (defaults build/debug and BUILD_DIR/../screenshots, that is build/screenshots)
# The pictures show a demo token in a temporary store: "Demo Token" in slot 1, slot 2 empty.
set -eu

build=${1:-build/debug}
[ -d "$build/bin" ] || { echo "screenshots: $build/bin does not exist; build first" >&2; exit 1; }
bin=$(cd "$build/bin" && pwd)
out=${2:-$(cd "$build/.." && pwd)/screenshots}
for f in korvan-screenshots tokenctl libmeridiaCsp11_2001.so lang/vtmgr_meridia_2052.lng; do
    [ -e "$bin/$f" ] || { echo "screenshots: $bin/$f is missing; build first" >&2; exit 1; }
done
mkdir -p "$out"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
printf 'store_dir = %s/store\nslots = 2\npin_iterations = 1\n' "$work" > "$work/meridia.conf"
export MERIDIA_TOKEN_CONF="$work/meridia.conf"
printf '12345678\n1234\n' | "$bin/tokenctl" create demo --label "Demo Token" --pins-stdin >/dev/null
"$bin/tokenctl" insert demo --slot 1 >/dev/null

# Offscreen drawing with the system's fonts (fontconfig finds Noto CJK for
# the Chinese texts); nothing of the user's settings leaks in.
export QT_QPA_PLATFORM=offscreen
export KORVAN_REGISTRY_DIR="$work/registry"
export KORVAN_RUNTIME_DIR="$work"
export XDG_RUNTIME_DIR="$work"
export LC_ALL=C.UTF-8
# Every picture starts from empty settings: the first window size and splitter position.
export XDG_CONFIG_HOME="$work/config"

status=0
for lang in 1033 2052; do
    "$bin/korvan-screenshots" --lang $lang --out "$out" || status=1
done
[ $status -eq 0 ] && echo "screenshots: pictures in $out"
exit $status
