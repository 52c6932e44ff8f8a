#!/bin/bash
# in-root-router.sh USER1 USER2 ORIGIN PAYLOAD: starts the router and each user's bridge through
# systemd-socket-activate on the sockets their units name, then checks that a page call of each
# user, on the one loopback port, reaches that user's own token. Run as root inside the root.
set -u
origin=$3
payload=$4
system=/usr/lib/systemd/system
user_units=/usr/lib/systemd/user
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; wait 2>/dev/null' EXIT

unit_values() { # unit_values FILE KEY: every value of KEY, one a line
    sed -n "s/^$2=//p" "$1"
}
listen_options() { # listen_options SOCKET_UNIT RUNTIME_DIR: -l options for systemd-socket-activate
    unit_values "$1" ListenStream | sed "s|%t|$2|g" | while read -r address; do
        printf -- '-l\n%s\n' "$address"
    done
}

router_socket=$(ls "$system"/korvan-bridge-router*.socket 2>/dev/null | head -n 1)
router_service=${router_socket%.socket}.service
[ -f "$router_socket" ] && [ -f "$router_service" ] || { echo "router units not found"; exit 1; }
router_user=$(unit_values "$router_service" User | head -n 1)
mkdir -p /run/korvanng
[ -n "$router_user" ] && chown "$router_user" /run/korvanng
mapfile -t options < <(listen_options "$router_socket" /run)
read -r -a command <<<"$(unit_values "$router_service" ExecStart | head -n 1)"
setpriv --reuid="${router_user:-root}" --regid="${router_user:-root}" --clear-groups \
    systemd-socket-activate "${options[@]}" -- "${command[@]}" >/root/router.log 2>&1 &
pids+=($!)

for name in "$1" "$2"; do
    uid=$(id -u "$name")
    mapfile -t options < <(listen_options "$user_units/korvan-bridge.socket" "/run/user/$uid")
    read -r -a command <<<"$(unit_values "$user_units/korvan-bridge.service" ExecStart | head -n 1)"
    for option in "${options[@]}"; do
        case $option in /*) install -d -m 0700 -o "$name" -g "$name" "$(dirname "$option")" ;; esac
    done
    runuser -u "$name" -- env -i PATH=/usr/bin:/bin HOME="/home/$name" LC_ALL=C.UTF-8 \
        QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="/run/user/$uid" KORVAN_BRIDGE_ALLOW="$origin" \
        systemd-socket-activate "${options[@]}" -- "${command[@]}" >"/root/bridge-$name-unit.log" 2>&1 &
    pids+=($!)
done
sleep 2

status=0
for name in "$1" "$2"; do
    want=$(runuser -u "$name" -- env HOME="/home/$name" korvanng-tool token-info --slot 1 2>/dev/null |
        sed -n 's/^Serial number: *//p')
    got=$(runuser -u "$name" -- python3 "$payload/bridge_client.py" 127.0.0.1 28561 "$origin" \
        QXMeridiaControl.SGN GetTokenSerial 2>&1)
    echo "$name: token $want, the page saw $got"
    [ -n "$want" ] && [ "$got" = "$want" ] || status=1
done
exit $status
