#!/bin/sh
# Runs a test program under a private font configuration made of this machine's font
# folders: "plain" leaves out the URW base-35 folders, "urw" adds them (there "Courier New"
# resolves to a URW face). Exits with 77 (skipped) for "urw" when those fonts are not
# installed.
# Usage: run-with-fonts.sh plain|urw PROGRAM [ARGUMENT...]
set -eu
mode=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

urw=""
for dir in /usr/share/fonts/type1/urw-base35 /usr/share/fonts/opentype/urw-base35; do
    [ -d "$dir" ] && urw="$urw<dir>$dir</dir>"
done
if [ "$mode" = urw ] && [ -z "$urw" ]; then
    echo "skipped: fonts-urw-base35 is not installed" \
        "(no /usr/share/fonts/type1/urw-base35 nor /usr/share/fonts/opentype/urw-base35)"
    exit 77
fi

dirs=""
for dir in /usr/share/fonts/*/*; do
    case "$dir" in */urw-base35) continue ;; esac
    [ -d "$dir" ] && dirs="$dirs<dir>$dir</dir>"
done
[ "$mode" = urw ] && dirs="$dirs$urw"

cat > "$work/fonts.conf" <<CONF
<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "urn:fontconfig:fonts.dtd">
<fontconfig>
  $dirs
  <cachedir>$work/cache</cachedir>
  <include ignore_missing="yes">/etc/fonts/conf.d</include>
</fontconfig>
CONF
FONTCONFIG_FILE="$work/fonts.conf" "$@"
