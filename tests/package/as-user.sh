# as-user.sh: sourced by the checks inside the root. Runs a command as one of the test users with
# the environment the user's systemd manager gives its units.
user_argv() { # user_argv NAME: sets user_argv to the command prefix that runs as NAME. setpriv
    # and env exec what follows, so a program started in the background keeps the PID in $!, and
    # killing that PID leaves nothing behind.
    user_argv=(setpriv --reuid="$1" --regid="$(id -g "$1")" --init-groups -- env -i PATH=/usr/bin:/bin
        HOME="/home/$1" USER="$1" LC_ALL=C.UTF-8 QT_QPA_PLATFORM=offscreen
        XDG_RUNTIME_DIR="/run/user/$(id -u "$1")")
}
as_user() { # as_user NAME COMMAND...
    user_argv "$1"
    shift
    "${user_argv[@]}" "$@"
}
