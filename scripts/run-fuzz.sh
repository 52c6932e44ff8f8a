#!/bin/sh
# Runs each fuzz target for a bounded time (default 60 s each): the software
# token's (templates, token files) and the manager's language file parser.
# Usage: scripts/run-fuzz.sh [BUILD_DIR] [SECONDS]
# Corpora are kept in BUILD_DIR/fuzz-corpus/<target> between runs; crashes and
# their inputs land in BUILD_DIR/fuzz-artifacts/.
set -eu

build=${1:-build/fuzz}
seconds=${2:-${FUZZ_SECONDS:-60}}
mkdir -p "$build"
build=$(cd "$build" && pwd)
bin="$build/bin"
corpus="$build/fuzz-corpus"
artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"

targets="softtoken_fuzz_template softtoken_fuzz_database lang_fuzz_inifile certs_fuzz_pkcs12 certs_fuzz_certificate certs_fuzz_pkcs7 certs_fuzz_pem_text"
for t in $targets; do
    [ -x "$bin/$t" ] || { echo "run-fuzz: $bin/$t is missing; build with the fuzz preset" >&2; exit 1; }
    mkdir -p "$corpus/$t"
done

# Seed the database target with a sound token file, made by tokenctl.
if [ -x "$bin/tokenctl" ] && [ ! -e "$corpus/softtoken_fuzz_database/sound-token" ]; then
    seed=$(mktemp -d)
    printf 'store_dir = %s/store\npin_iterations = 1\n' "$seed" > "$seed/token.conf"
    "$bin/tokenctl" --conf "$seed/token.conf" create seed --so-pin so-pin-1 --user-pin user-pin \
        >/dev/null
    cp "$seed/store/seed.token" "$corpus/softtoken_fuzz_database/sound-token"
    rm -rf "$seed"
fi

# Seed the language file target with the shipped files.
for f in "$(dirname "$0")"/../lang/*.lng; do
    [ -e "$f" ] && cp "$f" "$corpus/lang_fuzz_inifile/"
done

status=0
for t in $targets; do
    echo "== $t for ${seconds}s"
    # Each target makes its own throw-away store; run from a scratch folder.
    scratch=$(mktemp -d)
    # Token files are SQLite databases of several 4 KiB pages.
    max_len=4096
    [ "$t" = softtoken_fuzz_database ] && max_len=131072
    # Room for the shipped language files.
    [ "$t" = lang_fuzz_inifile ] && max_len=16384
    # Certificate files and PKCS#12 bundles with a chain run to a few KiB.
    case $t in certs_fuzz_*) max_len=65536 ;; esac
    if ! (cd "$scratch" && "$bin/$t" -max_total_time="$seconds" -max_len=$max_len -timeout=30 -rss_limit_mb=4096 \
            -print_final_stats=1 -artifact_prefix="$artifacts/$t-" "$corpus/$t"); then
        echo "run-fuzz: $t found a problem; see $artifacts" >&2
        status=1
    fi
    rm -rf "$scratch"
done
exit $status
