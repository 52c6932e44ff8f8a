#!/bin/sh
# Runs the manager's benchmarks from a build folder (default build/release):
# start-up time to the main window and idle CPU, on a fresh token store in a
# temporary folder beside the build (two readers, one token with 200 objects).
# Usage: scripts/run-manager-bench.sh [BUILD_DIR] [manager_bench options...]
#        e.g. --runs 25 --idle-seconds 20 --objects 200
set -eu

build=${1:-build/release}
[ $# -gt 0 ] && shift
bin="$build/bin"
for f in manager_bench libkorvan_shown_probe.so KorvanNgMgr tokenctl libmeridiaCsp11_2001.so; do
    [ -e "$bin/$f" ] || { echo "run-manager-bench: $bin/$f is missing; build with the release preset first" >&2; exit 1; }
done
bin=$(cd "$bin" && pwd)

mkdir -p "$build"
work=$(cd "$build" && mktemp -d "$(pwd)/manager-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

printf 'store_dir = %s/store\nslots = 2\n' "$work" > "$work/meridia.conf"
export MERIDIA_TOKEN_CONF="$work/meridia.conf"
"$bin/tokenctl" create bench --label "Bench Token" --so-pin 12345678 --user-pin 1234 \
    --public-memory 1000000 --private-memory 1000000 >/dev/null
"$bin/tokenctl" insert bench --slot 1 >/dev/null

# Nothing of the user's own set-up: no running manager's lock, no registry
# language, English texts.
export KORVAN_RUNTIME_DIR="$work"
export XDG_RUNTIME_DIR="$work"
export KORVAN_REGISTRY_DIR="$work/registry"
export LC_ALL=C.UTF-8

"$bin/manager_bench" --manager "$bin/KorvanNgMgr" --probe "$bin/libkorvan_shown_probe.so" \
    --module "$bin/libmeridiaCsp11_2001.so" --pin 1234 "$@"
