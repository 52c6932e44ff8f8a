#!/bin/sh
# register.sh [BIN_DIR] [/u]
#
# Registers (or, with /u, unregisters) every signing control and CryptoAPI provider module with
# BIN_DIR/korvan-regsvr32, into the registry store that KORVAN_REGISTRY_DIR names (the user's
# own store when it is unset). BIN_DIR is a build's bin folder, where the modules sit beside the
# programs, or an installation's, whose modules are in the module folder below; it defaults to
# the script's own folder, which is what the installed copy (korvan-register) wants. Modules
# are registered by their full path. Modules that were not built are skipped. Exits non-zero
# when any module fails.
set -u

# The installation's module folder, relative to its bin folder (or absolute); the installed
# copy carries the configured one.
module_dir='../lib/korvanng'

usage() {
    echo "usage: $0 [BIN_DIR] [/u]" >&2
    exit 2
}

mode=
bin_dir=
for argument in "$@"; do
    case $argument in
    /u | -u)
        [ -z "$mode" ] || usage
        mode=/u
        ;;
    *)
        [ -z "$bin_dir" ] || usage
        bin_dir=$argument
        ;;
    esac
done
[ -n "$bin_dir" ] || bin_dir=$(dirname -- "$0")

if ! absolute_bin=$(cd -- "$bin_dir" 2>/dev/null && pwd -P); then
    echo "$0: $bin_dir is not a folder" >&2
    exit 1
fi
regsvr32=$absolute_bin/korvan-regsvr32
if [ ! -x "$regsvr32" ]; then
    echo "$0: $regsvr32 not found; build the project first, or name its bin folder" >&2
    exit 1
fi

store=${KORVAN_REGISTRY_DIR:-"the user's registry store"}
found=0
failed=0
# register_in FOLDER: every control and provider module in FOLDER.
register_in() {
    for module in "$1"/libQXMeridiaControl.so "$1"/libMeridiaVaultora.so \
        "$1"/libkorvan_csp_*.so "$1"/libkorvan_rsa_provider.so; do
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
}

# Modules beside the programs (a build), else in the module folder (an installation).
register_in "$absolute_bin"
if [ "$found" -eq 0 ]; then
    case $module_dir in
    /*) installed_modules=$module_dir ;;
    *) installed_modules=$absolute_bin/$module_dir ;;
    esac
    if absolute_modules=$(cd -- "$installed_modules" 2>/dev/null && pwd -P); then
        register_in "$absolute_modules"
    fi
fi
if [ "$found" -eq 0 ]; then
    echo "$0: no control or provider module in $absolute_bin or $installed_modules" >&2
    exit 1
fi
exit $failed
