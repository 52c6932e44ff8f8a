#!/usr/bin/env bash
# make-deb.sh
#
# Builds the Debian packages from a copy of the committed source tree in build/deb/src with
# dpkg-buildpackage; the .deb, .buildinfo and .changes files land in build/deb/. Then runs
# lintian on the result (output kept in build/deb/lintian.txt) and fails on any error.
set -euo pipefail

root=$(cd -- "$(dirname -- "$0")/.." && pwd -P)
out=$root/build/deb
src=$out/src
cd -- "$root"

# The packages carry the project's version: the newest changelog entry must name it.
project_version=$(sed -n 's/^project(KorvanNG VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
changelog_version=$(dpkg-parsechangelog -l debian/changelog -S Version)
if [ -z "$project_version" ] || [ "${changelog_version%%-*}" != "$project_version" ]; then
    echo "$0: debian/changelog is at $changelog_version but the project is at" \
        "${project_version:-an unknown version}; add a changelog entry (dch -v $project_version)" >&2
    exit 1
fi

rm -rf -- "$out"
mkdir -p -- "$src"
# The committed tree (what `git ls-files` lists, as of HEAD): never build/, anything ignored, or
# an edit that is not committed yet.
git archive --format=tar HEAD | tar -xf - -C "$src"

cd -- "$src"
dpkg-buildpackage -b -us -uc
cd -- "$out"

changes=$(ls -- *.changes)
set +e
lintian --info --display-info --fail-on error -- "$changes" >lintian.txt 2>&1
lintian_status=$?
set -e
echo "== lintian $changes"
cat lintian.txt
echo "== packages"
for deb in *.deb; do
    printf '%-48s %8s bytes, installed %6s KiB\n' "$deb" "$(stat -c %s -- "$deb")" \
        "$(dpkg-deb -f -- "$deb" Installed-Size)"
done
if [ "$lintian_status" -ne 0 ]; then
    echo "$0: lintian reported errors" >&2
    exit 1
fi
