#!/bin/sh
# register.sh BIN_DIR [/u]
#
# Registers (or, with /u, unregisters) every signing control and CryptoAPI provider module
# built in BIN_DIR, with BIN_DIR/korvan-regsvr32, into the registry store that
# KORVAN_REGISTRY_DIR names (the user's own store when it is unset). Modules that were not
# built are skipped. Exits non-zero when any module fails.
set -u

usage() {
    echo "usage: $0 BIN_DIR [/u]" >&2
    exit 2
}

[ $# -ge 1 ] && [ $# -le 2 ] || usage
bin_dir=$1
mode=
if [ $# -eq 2 ]; then
    case $2 in
    /u | -u) mode=/u ;;
    *) usage ;;
    esac
fi

regsvr32=$bin_dir/korvan-regsvr32
if [ ! -x "$regsvr32" ]; then
    echo "$0: $regsvr32 not found; build the project first" >&2
    exit 1
fi

store=${KORVAN_REGISTRY_DIR:-"the user's registry store"}
failed=0
found=0
for module in "$bin_dir"/libQXMeridiaControl.so "$bin_dir"/libMeridiaVaultora.so \
    "$bin_dir"/libkorvan_csp_*.so "$bin_dir"/libkorvan_rsa_provider.so; do
    [ -f "$module" ] || continue
    # The providers' private token builds match the pattern too; they are no COM servers.
    case $module in *_p11.so) continue ;; esac
    found=$((found + 1))
    if "$regsvr32" $mode /s "$module"; then
        if [ -n "$mode" ]; then
            echo "unregistered $module from $store"
        else
            echo "registered $module in $store"
        fi
    else
        failed=1
    fi
done
[ "$found" -gt 0 ] || echo "$0: no control or provider module in $bin_dir" >&2
exit $failed
