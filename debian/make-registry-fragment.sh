#!/bin/sh
# make-registry-fragment.sh STAGE BIN_DIR > PACKAGE.reg
#
# Registers the controls and providers staged under STAGE (an install's DESTDIR) into a
# temporary registry store with the staged korvan-register, then exports that store as a
# registration fragment whose paths are the installed ones (STAGE stripped). BIN_DIR is the
# installed program folder (absolute, without STAGE). Runs at build time, as the building user.
set -eu

if [ $# -ne 2 ]; then
    echo "usage: $0 STAGE BIN_DIR > PACKAGE.reg" >&2
    exit 2
fi
stage=$(cd -- "$1" && pwd -P)
bin=$stage$2
for program in korvan-register korvan-regsvr32 korvan-reg-export; do
    if [ ! -x "$bin/$program" ]; then
        echo "$0: $2/$program is not in the staged installation" >&2
        exit 1
    fi
done

store=$(mktemp -d "${TMPDIR:-/tmp}/korvan-fragment.XXXXXX")
trap 'rm -rf -- "$store"' EXIT

# The registration must not see or change the building user's own store or language.
KORVAN_REGISTRY_DIR=$store LANG=C.UTF-8 "$bin/korvan-register" "$bin" >&2
fragment=$store.reg
trap 'rm -rf -- "$store" "$fragment"' EXIT
KORVAN_REGISTRY_DIR=$store "$bin/korvan-reg-export" "$store" --strip-prefix "$stage" >"$fragment"

# A fragment that names the staging tree would point every user at files that do not exist.
if grep -qF -- "$stage" "$fragment"; then
    echo "$0: the fragment still names the staging folder $stage" >&2
    exit 1
fi
if ! head -n 1 "$fragment" | tr -d '\000\r\357\273\277\376\377' | grep -qx 'Windows Registry Editor Version 5.00'; then
    echo "$0: korvan-reg-export wrote no registry file" >&2
    exit 1
fi
if ! tr -d '\000' <"$fragment" | grep -qi 'InprocServer32'; then
    echo "$0: the fragment registers no control" >&2
    exit 1
fi
cat -- "$fragment"
