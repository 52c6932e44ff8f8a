#!/bin/bash
# in-root.sh: run as root inside a clean Debian root, with the packages of two versions in
# /root/payload/v1 and v2. Installs them with apt and checks what a machine with several users
# gets, an upgrade, a remove and a purge. Prints "N passed, N failed"; exits non-zero on a failure.
set -u
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 QT_QPA_PLATFORM=offscreen
payload=/root/payload
# What the users run from the payload: /root is not theirs to read.
shared=$(mktemp -d /tmp/korvan-payload.XXXXXX)
install -m 0644 "$payload/bridge_client.py" "$shared/"
chmod 0755 "$shared"
packages=(korvanng korvanng-bridge korvanng-manager korvanng-controls korvanng-softtoken)
origin=https://bank.example
passed=0
failed=0
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
}
trap cleanup EXIT

pass() { passed=$((passed + 1)); echo "ok: $*"; }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
check() { # check TEXT COMMAND...: passes when the command succeeds
    local text=$1
    shift
    if "$@"; then pass "$text"; else fail "$text"; return 1; fi
}
. "$(dirname "$0")/as-user.sh"
install_version() {
    apt-get install -y -q --no-install-recommends "$payload/$1"/*.deb >"/root/apt-$1.log" 2>&1 ||
        { tail -n 30 "/root/apt-$1.log"; return 1; }
}
installed() { dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q '^install ok installed$'; }
homes() { find /home -type f -exec sha256sum {} + | sort; }
# The router's system user stays after a purge, as Debian leaves system users in place.
router_user=$(dpkg-deb --fsys-tarfile "$payload"/v1/korvanng-bridge_*.deb |
    tar -xO --wildcards '*/korvan-bridge-router.service' | sed -n 's/^User=//p' | head -n 1)
accounts=(/etc/passwd /etc/group /etc/shadow /etc/gshadow)
# Everything outside the users' homes and the package manager's own records and caches: each
# entry's type, mode, owner and path, and the content of every regular file under /etc, /usr and
# /var/lib. The account files count without the router's lines, their backups (NAME-) not at all.
outside=(\( -path /proc -o -path /sys -o -path /dev -o -path /run -o -path /tmp -o -path /home
    -o -path /root -o -path /var/cache -o -path /var/log -o -path /var/lib/apt -o -path /var/lib/dpkg
    -o -path /etc/ld.so.cache -o -path '/etc/*-' \) -prune -o)
snapshot() {
    local file
    find / -xdev "${outside[@]}" -printf '%y %m %u %p\n' | sort
    find /etc /usr /var/lib -xdev "${outside[@]}" -type f -print0 | sort -z |
        grep -zvxF -f <(printf '%s\n' "${accounts[@]}") | xargs -0 sha256sum
    for file in "${accounts[@]}"; do
        echo "$(grep -v "^$router_user:" "$file" | sha256sum | cut -d' ' -f1) $file"
    done
}

apt-get update -q >/root/apt-update.log 2>&1 || { tail /root/apt-update.log; exit 1; }
# The users belong to the machine before the packages come: what adding them writes outside
# their homes is in the reference state.
for name in alice bob; do
    useradd -m -s /bin/bash "$name" || exit 1
    install -d -m 0700 -o "$name" -g "$name" "/run/user/$(id -u "$name")"
done

# ---- the reference state: every dependency of the packages, none of the packages ----
depends=$(for deb in "$payload"/v1/*.deb; do dpkg-deb -f "$deb" Pre-Depends Depends | cut -d: -f2-; done |
    tr ',' '\n' | grep -v -e '^ *korvanng' -e '^ *$' | paste -sd,)
apt-get satisfy -y -q --no-install-recommends "$depends" >/root/apt-depends.log 2>&1 ||
    { tail -n 30 /root/apt-depends.log; exit 1; }
snapshot >/root/before.txt

# ---- install ----
check "apt installs the packages with every dependency from Debian" install_version v1
for name in "${packages[@]}"; do check "$name is installed" installed "$name"; done

english=$(korvanng-tool --lang 1033 --help 2>&1)
check "korvanng-tool --lang 1033 --help" test $? -eq 0 -a -n "$english"
chinese=$(korvanng-tool --lang 2052 --help 2>&1)
check "korvanng-tool --lang 2052 --help" test $? -eq 0 -a -n "$chinese"

# Two users, each with a token holding a key and certificate imported from a PKCS#12 file.
for name in alice bob; do
    as_user "$name" bash -c '
        set -e
        cd "$HOME"
        tokenctl create "$1" --label "$1" --pins-stdin <<<"87654321
12345678" >/dev/null
        tokenctl insert "$1" --slot 1 >/dev/null
        openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 30 \
            -subj "/CN=$1 signer" 2>/dev/null
        openssl pkcs12 -export -inkey key.pem -in cert.pem -out "$1.p12" -passout pass:secret
        korvanng-tool import --slot 1 "$1.p12" --pin-stdin --password-stdin --yes <<<"12345678
secret"
        korvanng-tool list-objects --slot 1 --login --pin-stdin <<<"12345678" | grep -q "^[[:space:]]PrivateKey"
    ' _ "$name" >"/root/token-$name.log" 2>&1
    check "$name creates a token and imports a PKCS#12 file" test $? -eq 0 || cat "/root/token-$name.log"
done

# What each user keeps in their home besides the token: a decision an older bridge left in the
# user's registry store, which the bridge moves into its own folder on first use, and a control
# the user registers for themselves (not the one the machine's registration is checked with).
cat >"$shared/old-decision.json" <<'JSON'
{
    "Software": {},
    "Software\\KorvanNG": {},
    "Software\\KorvanNG\\Bridge": {},
    "Software\\KorvanNG\\Bridge\\Origins": {},
    "Software\\KorvanNG\\Bridge\\Origins\\https://shop.example": { "Decision": "allowed" }
}
JSON
chmod 0644 "$shared/old-decision.json"
for name in alice bob; do
    as_user "$name" bash -c '
        set -e
        install -D -m 0600 "$1" "$HOME/.config/korvanng/registry/HKEY_CURRENT_USER.json"
        test "$(/usr/lib/korvanng/korvan-bridge --list-origins)" = "$(printf "https://shop.example\tallowed")"
        /usr/lib/korvanng/korvan-regsvr32 /s /usr/lib/*/korvanng/libMeridiaVaultora.so
        grep -q 350EF65B-EF6E-456C-A932-61705315AE42 "$HOME/.config/korvanng/registry/HKEY_CURRENT_USER.json"
    ' _ "$shared/old-decision.json" >"/root/state-$name.log" 2>&1
    check "$name's bridge keeps a decision and $name registers a control for themselves" \
        test $? -eq 0 || cat "/root/state-$name.log"
done

# --help is English whatever the language; the slot list shows that the language file is found.
slots=$(as_user alice korvanng-tool --lang 2052 slots 2>&1)
check "korvanng-tool --lang 2052 uses the installed Chinese language file" \
    bash -c 'grep -q "插槽号" <<<"$1"' _ "$slots"

tokens=$(as_user alice p11tool --list-tokens 2>&1)
check "p11tool --list-tokens through p11-kit shows alice's token once" \
    test "$(grep -c 'Label: alice$' <<<"$tokens")" -eq 1
check "p11tool shows alice none of bob's tokens" bash -c '! grep -q "Label: bob$" <<<"$1"' _ "$tokens"
proxy=$(echo /usr/lib/*/p11-kit-proxy.so)
tokens=$(as_user alice pkcs11-tool --module "$proxy" --list-slots 2>&1)
check "pkcs11-tool with p11-kit's proxy shows alice's token once" \
    test "$(grep -c 'token label *: alice$' <<<"$tokens")" -eq 1 || echo "$tokens"
# NSS, as a browser sees the token once p11-kit's proxy is added to its database.
tokens=$(as_user alice bash -c '
    db=$(mktemp -d)
    certutil -N -d "sql:$db" --empty-password &&
        modutil -dbdir "sql:$db" -add p11-kit -libfile "$1" -force >/dev/null &&
        modutil -dbdir "sql:$db" -list
    rm -rf -- "$db"' _ "$proxy" 2>&1)
check "NSS with p11-kit's proxy added by modutil shows alice's token once" \
    test "$(grep -c 'token: alice$' <<<"$tokens")" -eq 1 || echo "$tokens"

# The registration is the machine's: bob never registered anything, yet a page of his creates the
# control through his own bridge (which listens itself when started by hand).
serial_of() { as_user "$1" korvanng-tool --lang 1033 token-info --slot 1 2>/dev/null | sed -n "s/^Serial number: *//p" | head -n 1; }
bridge_call() { # bridge_call USER: the token serial that a page of USER's sees
    local name=$1 log=/root/bridge-$1.log port=
    user_argv "$name"
    "${user_argv[@]}" KORVAN_BRIDGE_ALLOW="$origin" /usr/lib/korvanng/korvan-bridge --port 0 \
        >"$log.out" 2>"$log" </dev/null &
    local pid=$!
    pids+=("$pid")
    for _ in $(seq 100); do
        port=$(sed -n 's|.*listening on http://127\.0\.0\.1:\([0-9]*\).*|\1|p' "$log.out" | head -n 1)
        [ -n "$port" ] && break
        sleep 0.1
    done
    [ -n "$port" ] && as_user "$name" python3 "$shared/bridge_client.py" 127.0.0.1 "$port" \
        "$origin" QXMeridiaControl.SGN md_GetTokenSerial
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
}
bob_serial=$(serial_of bob)
bob_seen=$(bridge_call bob)
check "the machine's registration reaches bob's page (token serial '$bob_seen')" \
    test -n "$bob_seen" -a "$bob_seen" = "$bob_serial" || cat /root/bridge-bob.log
check "bob's own registry store holds no registration" \
    bash -c '! grep -rqs 01C54245-0C6F-447A-8D31-629545D2BDF3 /home/bob/.config /home/bob/.local'

# The router and the users' socket-activated bridges, on the units' own socket paths.
check "the router's socket is enabled for the machine" \
    test -L /etc/systemd/system/sockets.target.wants/korvan-bridge-router.socket
check "every user's bridge socket is enabled" \
    test -L /etc/systemd/user/sockets.target.wants/korvan-bridge.socket
check "router hands each user's call to that user's bridge, and none to a user without one" \
    bash "$payload/in-root-router.sh" alice bob "$origin" "$shared/bridge_client.py"

# ---- upgrade to the next version ----
echo "; kept by the administrator" >>/etc/korvanng/registry
homes >/root/homes-before.txt
check "the users' registry stores and bridge decisions are among their files" \
    test "$(grep -cE ' /home/(alice|bob)/\.(config/korvanng/registry/HKEY_CURRENT_USER\.json|local/state/korvanng/bridge/decisions)$' /root/homes-before.txt)" -eq 4
check "apt upgrades to the next version" install_version v2
check "the next version is installed" \
    test "$(dpkg-query -W -f='${Version}' korvanng-controls)" = "$(dpkg-deb -f "$payload"/v2/korvanng-controls_*.deb Version)"
homes >/root/homes-after.txt
check "the upgrade keeps every user's token store, registry store and bridge decisions" \
    cmp -s /root/homes-before.txt /root/homes-after.txt
check "the upgrade keeps the administrator's registry" grep -q "kept by the administrator" /etc/korvanng/registry
check "alice's token still works after the upgrade" \
    bash -c 'test "$(grep -c "Label: alice$" <<<"$1")" -eq 1' _ "$(as_user alice p11tool --list-tokens 2>&1)"

# ---- remove, then purge ----
apt-get remove -y -q "${packages[@]}" >/root/apt-remove.log 2>&1
check "apt removes the packages" test $? -eq 0 || tail -n 30 /root/apt-remove.log
check "remove takes the registrations away" test ! -e /usr/lib/korvanng/registry.d
check "remove takes the p11-kit module file away" bash -c '! grep -rqs korvanng /usr/share/p11-kit/modules'
check "remove keeps the administrator's configuration" test -f /etc/korvanng/registry
check "remove keeps every user's files" cmp -s /root/homes-after.txt <(homes)
# What remove left: apt no longer knows a package that had no configuration files.
mapfile -t left < <(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' "${packages[@]}" 2>/dev/null |
    awk '$1 == "rc" { print $2 }')
apt-get purge -y -q "${left[@]}" >/root/apt-purge.log 2>&1
check "apt purges the packages" test $? -eq 0 || tail -n 30 /root/apt-purge.log
snapshot >/root/after.txt
check "purge leaves nothing of the packages or their scripts behind" \
    diff -u /root/before.txt /root/after.txt
check "purge keeps every user's files" cmp -s /root/homes-after.txt <(homes)

echo "package test: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
