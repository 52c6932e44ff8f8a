#!/bin/sh
# Runs the token benchmark from a build folder (default build/release): our
# module against SoftHSM2 and raw OpenSSL, each with a fresh store in a
# temporary folder beside the build (the same disk for both, so fsync costs compare).
# Usage: scripts/run-bench.sh [BUILD_DIR] [token_bench options...]
set -eu

build=${1:-build/release}
[ $# -gt 0 ] && shift
bin="$build/bin"
softhsm=${SOFTHSM2_MODULE:-/usr/lib/softhsm/libsofthsm2.so}
so_pin=12345678
user_pin=123456

for f in "$bin/token_bench" "$bin/tokenctl" "$bin/libmeridiaCsp11_2001.so"; do
    [ -e "$f" ] || { echo "run-bench: $f is missing; build with the release preset first" >&2; exit 1; }
done

mkdir -p "$build"
work=$(cd "$build" && mktemp -d "$(pwd)/bench-run.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

# Our token: one reader, memory for far more than the benchmark's objects.
mkdir -p "$work/meridia"
printf 'store_dir = %s\nslots = 1\n' "$work/meridia/store" > "$work/meridia/token.conf"
export MERIDIA_TOKEN_CONF="$work/meridia/token.conf"
"$bin/tokenctl" create bench --label "Bench token" --so-pin $so_pin --user-pin $user_pin \
    --public-memory 100000000 --private-memory 100000000 >/dev/null
"$bin/tokenctl" insert bench --slot 1 >/dev/null

subjects="korvan=$bin/libmeridiaCsp11_2001.so:$user_pin"
if [ -e "$softhsm" ] && command -v softhsm2-util >/dev/null 2>&1; then
    mkdir -p "$work/softhsm/tokens"
    printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
        "$work/softhsm/tokens" > "$work/softhsm/softhsm2.conf"
    export SOFTHSM2_CONF="$work/softhsm/softhsm2.conf"
    softhsm2-util --init-token --free --label "Bench token" --so-pin $so_pin --pin $user_pin >/dev/null
    subjects="$subjects softhsm2=$softhsm:$user_pin"
else
    echo "run-bench: SoftHSM2 not found ($softhsm); comparing with OpenSSL only" >&2
fi

# shellcheck disable=SC2086
"$bin/token_bench" "$@" $subjects
