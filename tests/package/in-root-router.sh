#!/bin/bash
# in-root-router.sh USER1 USER2 ORIGIN CLIENT: starts the router and each user's bridge through
# systemd-socket-activate on the sockets their units name, registers each user's socket the way
# the user socket unit does, then checks that a page call of each user, on the one loopback port,
# reaches that user's own token, and that a user with no bridge gets no answer. Run as root
# inside the root; prints what each page saw and exits non-zero on a failure.
set -u
origin=$3
client=$4
system=/lib/systemd/system
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
. "$(dirname "$0")/as-user.sh"
wait_for_socket() { # wait_for_socket PATH UNIT: true once PATH is a socket (at most 5 s), with
    # the unit's SocketMode, which systemd-socket-activate does not apply
    for _ in $(seq 50); do
        if [ -S "$1" ]; then
            chmod "$(unit_values "$2" SocketMode)" "$1"
            return
        fi
        sleep 0.1
    done
    echo "no socket at $1"
    return 1
}

router_socket=$system/korvan-bridge-router.socket
router_service=$system/korvan-bridge-router.service
[ -f "$router_socket" ] && [ -f "$router_service" ] || { echo "router units not found"; exit 1; }
router_user=$(unit_values "$router_service" User | head -n 1)
id "$router_user" >/dev/null 2>&1 || { echo "the router's system user '$router_user' does not exist"; exit 1; }
registration=$(unit_values "$router_socket" ListenStream | grep '^/' | head -n 1)
install -d -m "$(unit_values "$router_socket" DirectoryMode)" "$(dirname "$registration")"
mapfile -t options < <(listen_options "$router_socket" /run)
read -r -a command <<<"$(unit_values "$router_service" ExecStart | head -n 1)"
# As under systemd: root makes the sockets and the router runs as its own user with them.
systemd-socket-activate "${options[@]}" -- \
    setpriv --reuid="$router_user" --regid="$router_user" --clear-groups --inh-caps=-all \
    "${command[@]}" >/root/router.log 2>&1 &
pids+=($!)
wait_for_socket "$registration" "$router_socket" || exit 1

for name in "$1" "$2"; do
    runtime=/run/user/$(id -u "$name")
    mapfile -t options < <(listen_options "$user_units/korvan-bridge.socket" "$runtime")
    read -r -a command <<<"$(unit_values "$user_units/korvan-bridge.service" ExecStart | head -n 1)"
    socket=$(unit_values "$user_units/korvan-bridge.socket" ListenStream | sed "s|%t|$runtime|" | head -n 1)
    install -d -m "$(unit_values "$user_units/korvan-bridge.socket" DirectoryMode)" \
        -o "$name" -g "$name" "$(dirname "$socket")"
    # systemd-socket-activate passes its children only what -E names: here what the user's
    # manager gives its units, and the origin to serve without a dialog.
    user_argv "$name"
    "${user_argv[@]}" KORVAN_BRIDGE_ALLOW="$origin" systemd-socket-activate "${options[@]}" \
        -E PATH -E HOME -E USER -E LC_ALL -E QT_QPA_PLATFORM -E XDG_RUNTIME_DIR -E KORVAN_BRIDGE_ALLOW \
        -- "${command[@]}" >"/root/bridge-$name-unit.log" 2>&1 &
    pids+=($!)
    wait_for_socket "$socket" "$user_units/korvan-bridge.socket" || exit 1
    # What the socket unit runs once its socket exists ("-" only lets it fail without failing).
    read -r -a register <<<"$(unit_values "$user_units/korvan-bridge.socket" ExecStartPost | head -n 1 |
        sed "s|%t|$runtime|g; s|^-||")"
    as_user "$name" "${register[@]}" >>"/root/bridge-$name-unit.log" 2>&1 ||
        { echo "$name: registering the bridge failed"; cat "/root/bridge-$name-unit.log"; exit 1; }
done

status=0
for name in "$1" "$2"; do
    want=$(as_user "$name" korvanng-tool --lang 1033 token-info --slot 1 2>/dev/null |
        sed -n 's/^Serial number: *//p' | head -n 1)
    got=$(as_user "$name" python3 "$client" 127.0.0.1 28561 "$origin" \
        QXMeridiaControl.SGN md_GetTokenSerial 2>&1)
    echo "$name: token '$want', the page saw '$got'"
    [ -n "$want" ] && [ "$got" = "$want" ] || status=1
done
# A user without a registered bridge: the router closes the connection, the page sees no answer.
if as_user nobody python3 "$client" 127.0.0.1 28561 "$origin" \
    QXMeridiaControl.SGN md_GetTokenSerial >/root/nobody-call.log 2>&1; then
    echo "a user without a bridge got an answer: $(cat /root/nobody-call.log)"
    status=1
fi
[ "$status" -eq 0 ] || { echo "== router"; cat /root/router.log; for name in "$1" "$2"; do
    echo "== $name"; cat "/root/bridge-$name-unit.log"; done; }
exit $status
