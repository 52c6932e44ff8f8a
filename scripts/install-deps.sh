#!/usr/bin/env bash
# Installs every Debian package that building, testing and running the suite need.
# Runs `apt-get update` only when something is missing, so a second call is quick.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config clang clang-format
    qt6-base-dev qt6-base-dev-tools libgl-dev qt6-translations-l10n
    libssl-dev libsqlite3-dev libp11-kit-dev p11-kit
    libgtest-dev libgmock-dev libbenchmark-dev
    opensc gnutls-bin softhsm2 pinentry-qt
    fonts-noto-cjk xvfb xauth x11vnc x11-apps
    libcpp-httplib-dev nlohmann-json3-dev chromium chromium-driver python3-selenium
    libboost-dev libpsl-dev publicsuffix libseccomp-dev locales
    debhelper devscripts lintian mmdebstrap fonts-urw-base35
    nodejs firefox-esr
)
# npm comes with Node.js where Node.js is not Debian's own build; Debian's npm package would
# conflict with it.
if ! command -v npm >/dev/null 2>&1; then packages+=(npm); fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -ne 0 ]; then
    echo "Installing: ${missing[*]}"
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Test tooling from the npm registry (puppeteer-core drives Firefox for the browser tests), into
# the build tree only, never globally; skipped while the installed lock file is the pinned one.
root="$(cd "$(dirname "$0")/.." && pwd)"
tooling="$root/tests/bridge/e2e/firefox"
node_dir="$root/build/node"
if ! cmp -s "$tooling/package-lock.json" "$node_dir/node_modules/.package-lock.json.pinned"; then
    mkdir -p "$node_dir"
    cp "$tooling/package.json" "$tooling/package-lock.json" "$node_dir/"
    npm ci --prefix "$node_dir" --no-audit --no-fund --ignore-scripts --loglevel=error
    cp "$tooling/package-lock.json" "$node_dir/node_modules/.package-lock.json.pinned"
fi
