#!/usr/bin/env bash
# package-test.sh
#
# Checks the packages that `make deb` left in build/deb/ on a clean Debian 12 root: builds the
# next version (one changelog entry more, from the same build) to upgrade to, makes the root
# with mmdebstrap (--mode=root, else --mode=unshare) from the Debian archive, and runs
# tests/package/in-root.sh inside it, which installs both versions with apt. Needs the network
# to reach the archive; takes about as long as one package build plus a few minutes.
set -euo pipefail

root_dir=$(cd -- "$(dirname -- "$0")/.." && pwd -P)
out=$root_dir/build/deb
work=$out/package-test
suite=bookworm
mirrors=(
    "deb http://deb.debian.org/debian $suite main"
    "deb http://deb.debian.org/debian $suite-updates main"
    "deb http://deb.debian.org/debian-security $suite-security main"
)
if [ -n "${KORVAN_PACKAGE_MIRROR:-}" ]; then mirrors=("$KORVAN_PACKAGE_MIRROR"); fi

shopt -s nullglob
# What a user installs: the packages without their debug symbols.
packages_in() { local deb; for deb in "$1"/*.deb; do [[ $deb == *-dbgsym_* ]] || echo "$deb"; done; }
mapfile -t current < <(packages_in "$out")
if [ ${#current[@]} -eq 0 ] || [ ! -d "$out/src/debian" ]; then
    echo "$0: no packages in $out; run make deb first" >&2
    exit 1
fi

started=$SECONDS
rm -rf -- "$work"
mkdir -p -- "$work/payload/v1" "$work/payload/v2"
cp -- "${current[@]}" "$work/payload/v1/"

# The next version: the same build with one changelog entry more. -nc keeps the compiled tree,
# so only packaging runs again.
version=$(dpkg-parsechangelog -l "$out/src/debian/changelog" -S Version)
next_version=${version%.*}.$((${version##*.} + 1))
mkdir -p -- "$work/next"
cp -a -- "$out/src" "$work/next/src"
(
    cd -- "$work/next/src"
    # The list of files the last build made: it names the other version's files.
    rm -f -- debian/files
    DEBFULLNAME="KorvanNG developers" DEBEMAIL="korvanng-devel@lists.korvanng.org" \
        dch --newversion "$next_version" --distribution "$suite" --force-distribution \
        "Upgrade test release."
    dpkg-buildpackage -b -us -uc -nc >"$work/next/build.log" 2>&1 ||
        { tail -n 40 "$work/next/build.log" >&2; exit 1; }
)
mapfile -t next < <(packages_in "$work/next")
cp -- "${next[@]}" "$work/payload/v2/"
cp -- "$root_dir"/tests/package/in-root.sh "$root_dir"/tests/package/in-root-router.sh "$root_dir"/tests/package/as-user.sh "$root_dir"/tests/package/bridge_client.py \
    "$work/payload/"
echo "== packages: $version and $next_version ($((SECONDS - started)) s)"

# Tools the checks use inside the root, on top of what the packages pull in.
include=python3,gnutls-bin,openssl,p11-kit,opensc,libnss3-tools,systemd,procps,passwd,util-linux

run_root() {
    local mode=$1
    rm -rf -- "$work/root" "$work/started"
    mkdir -p -- "$work/root"
    mmdebstrap --mode="$mode" --variant=apt --include="$include" \
        --customize-hook="touch '$work/started'" \
        --customize-hook="copy-in '$work/payload' /root" \
        --customize-hook='chroot "$1" /bin/bash /root/payload/in-root.sh' \
        "$suite" "$work/root" "${mirrors[@]}"
}

mode=root
[ "$(id -u)" -eq 0 ] || mode=unshare
status=0
run_root "$mode" || status=$?
if [ "$status" -ne 0 ] && [ "$mode" = root ] && [ ! -e "$work/started" ]; then
    # The root could not be made this way (no mount rights here, for one): the checks never ran.
    echo "== --mode=root could not make the root; trying --mode=unshare"
    mode=unshare
    status=0
    run_root "$mode" || status=$?
fi
# Whether a booted container (systemd-nspawn --boot) could run these checks under a real systemd
# instead: it needs the tool, and it is only known to work here on a host that runs systemd.
nspawn=()
command -v systemd-nspawn >/dev/null || nspawn+=("systemd-nspawn is not installed (systemd-container)")
[ "$(cat /proc/1/comm)" = systemd ] || nspawn+=("PID 1 here is $(cat /proc/1/comm), not systemd")
[ ${#nspawn[@]} -gt 0 ] || nspawn=("the tool is there and PID 1 is systemd")
printf -v nspawn_text '%s; ' "${nspawn[@]}"
echo "== mmdebstrap --mode=$mode; systemd-nspawn --boot: ${nspawn_text%; }"
echo "== package-test took $((SECONDS - started)) s"
rm -rf -- "$work/root"
exit "$status"
