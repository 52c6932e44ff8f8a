#!/bin/bash
# install_test.sh CMAKE BUILD_DIR BIN_DIR MODULE_DIR "PROGRAMS" "MODULES"
#
# Installs BUILD_DIR with --prefix /opt/korvanng into a staging folder (DESTDIR), so that nothing
# lands outside it, and checks the installation from where it is, which is not its prefix: so a
# run path that names the prefix, the build tree or anything but the installation's own folders
# shows. BIN_DIR and MODULE_DIR are the configured bin and module folders; PROGRAMS and MODULES
# the file names expected in them. Checked: every installed ELF file finds every library, the
# ones we install from the installation itself; every program starts; the tool finds its
# language files; the installed korvan-register registers the installed controls and providers
# by their full path; the installed bridge starts its worker beside it, which creates a control
# from its module.
set -u
unset LD_LIBRARY_PATH LD_PRELOAD

if [ $# -ne 6 ]; then
    echo "usage: $0 CMAKE BUILD_DIR BIN_DIR MODULE_DIR PROGRAMS MODULES" >&2
    exit 2
fi
cmake=$1
build=$2
read -r -a programs <<<"$5"
read -r -a modules <<<"$6"

work=$(mktemp -d "${TMPDIR:-/tmp}/korvan-install-test.XXXXXX") || exit 1
bridge_pid=
cleanup() {
    if [ -n "$bridge_pid" ]; then
        kill "$bridge_pid" 2>/dev/null
        wait "$bridge_pid" 2>/dev/null
    fi
    rm -rf -- "$work"
}
trap cleanup EXIT

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

stage=$work/stage
prefix=/opt/korvanng
if ! DESTDIR=$stage "$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
    cat "$work/install.log" >&2
    echo "FAIL: cmake --install failed" >&2
    exit 1
fi
root=$stage$prefix
bin=$root/$3
case $4 in
/*) moddir=$stage$4 ;;
*) moddir=$root/$4 ;;
esac

for name in "${programs[@]}" korvan-register; do
    [ -x "$bin/$name" ] || fail "$name is not installed in $3"
done
for name in "${modules[@]}"; do
    [ -f "$moddir/$name" ] || fail "$name is not installed in $4"
done
ls "$bin"/lang/*.lng >/dev/null 2>&1 || fail "no language file in $3/lang, beside the manager"

# Every ELF file: no library missing, and a library we install is taken from the installation.
declare -A installed=()
while IFS= read -r -d '' file; do
    installed[$(basename -- "$file")]=1
done < <(find "$stage" -type f -print0)
elf_count=0
while IFS= read -r -d '' file; do
    [ "$(head -c 4 -- "$file" | od -An -c | tr -d ' ')" = '177ELF' ] || continue
    elf_count=$((elf_count + 1))
    listing=$(ldd -- "$file" 2>&1)
    if grep -q 'not found' <<<"$listing"; then
        fail "${file#"$stage"}: $(grep 'not found' <<<"$listing" | tr -s ' \t' ' ')"
    fi
    while read -r name arrow path _; do
        # Missing ones were reported above.
        [ "$arrow" = "=>" ] && [ "$path" != not ] && [ -n "${installed[$name]:-}" ] || continue
        case $path in
        "$stage"/*) ;;
        *) fail "${file#"$stage"} takes $name from $path, not from the installation" ;;
        esac
    done <<<"$listing"
done < <(find "$stage" -type f -print0)
[ "$elf_count" -gt 0 ] || fail "no ELF file was installed"

# The programs run in a world of their own: no display, a private registry and runtime folder.
for sub in home config data runtime registry; do
    mkdir -m 700 "$work/$sub"
done
export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data \
    XDG_RUNTIME_DIR=$work/runtime KORVAN_RUNTIME_DIR=$work/runtime \
    KORVAN_REGISTRY_DIR=$work/registry QT_QPA_PLATFORM=offscreen LANG=C.UTF-8 \
    MERIDIA_TOKEN_CONF=$work/none.conf SKYRA_TOKEN_CONF=$work/none.conf
unset DISPLAY WAYLAND_DISPLAY LC_ALL KORVAN_BRIDGE_ALLOW KORVAN_BRIDGE_PORT KORVAN_BRIDGE_WORKER

loader_error='error while loading shared libraries'
for name in korvanng-tool korvan-bridge tokenctl; do
    [ -x "$bin/$name" ] || continue
    "$bin/$name" --help >"$work/out" 2>&1
    status=$?
    [ "$status" -eq 0 ] || fail "$name --help: exit $status: $(head -c 400 "$work/out")"
done
# The language files beside the programs: the installed tool speaks 2052 as the built one does,
# not the built-in English texts. A module that does not exist gives a message at once.
if [ -x "$bin/korvanng-tool" ] && [ -x "$build/bin/korvanng-tool" ]; then
    speak() { "$1" --lang "$2" --module "$work/no-such-module.so" slots 2>&1; }
    chinese=$(speak "$bin/korvanng-tool" 2052)
    if [ "$chinese" != "$(speak "$build/bin/korvanng-tool" 2052)" ] ||
        [ "$chinese" = "$(speak "$bin/korvanng-tool" 1033)" ]; then
        fail "the installed korvanng-tool does not find its language files: $chinese"
    fi
fi
# The manager has no option that only prints: it either ends at once or is still up after a while.
if [ -x "$bin/KorvanNgMgr" ]; then
    timeout 2 "$bin/KorvanNgMgr" >"$work/out" 2>&1
    status=$?
    if [ "$status" -ne 0 ] && [ "$status" -ne 124 ] || grep -q "$loader_error" "$work/out"; then
        fail "KorvanNgMgr did not start: exit $status: $(head -c 400 "$work/out")"
    fi
fi

# Registration from the installation, from another folder and with a relative bin folder: the
# modules are found below bin and registered by their full, real path.
registered=$( (cd "$stage" && "$bin/korvan-register" "${bin#"$stage"/}") 2>&1)
status=$?
real_moddir=$(cd "$moddir" && pwd -P)
if [ "$status" -ne 0 ]; then
    fail "korvan-register: exit $status: $registered"
fi
for name in libQXMeridiaControl.so libMeridiaVaultora.so libkorvan_rsa_provider.so \
    libkorvan_csp_meridia.so libkorvan_csp_skyra.so; do
    [ -f "$moddir/$name" ] || continue
    grep -qxF "registered $real_moddir/$name in $KORVAN_REGISTRY_DIR" <<<"$registered" ||
        fail "korvan-register did not register $name"
    grep -rqF "\"$real_moddir/$name\"" "$KORVAN_REGISTRY_DIR" ||
        fail "the registry store does not name $real_moddir/$name"
done

# The installed bridge, on a free port, finds its worker beside it; the worker creates a control
# from the module registered above.
if [ -x "$bin/korvan-bridge" ] && [ -f "$moddir/libQXMeridiaControl.so" ]; then
    origin=http://install-test.invalid
    KORVAN_BRIDGE_ALLOW=$origin "$bin/korvan-bridge" --port 0 </dev/null >"$work/bridge.out" 2>"$work/bridge.log" &
    bridge_pid=$!
    port=
    for _ in $(seq 100); do
        port=$(sed -n 's|.*listening on http://127\.0\.0\.1:\([0-9]*\).*|\1|p' "$work/bridge.out")
        [ -n "$port" ] && break
        kill -0 "$bridge_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ -z "$port" ]; then
        fail "korvan-bridge did not start: $(head -c 600 "$work/bridge.log")"
    else
        body='{"v":1,"op":"create","progId":"QXMeridiaControl.SGN"}'
        answer=$(
            exec 3<>"/dev/tcp/127.0.0.1/$port" || exit 1
            printf 'POST /korvan/v1/call HTTP/1.1\r\nHost: 127.0.0.1:%s\r\nOrigin: %s\r\n' "$port" "$origin" >&3
            printf 'Content-Type: text/plain;charset=UTF-8\r\nContent-Length: %s\r\nConnection: close\r\n\r\n%s' \
                "${#body}" "$body" >&3
            timeout 20 cat <&3
        )
        grep -q '"ok":true' <<<"$answer" && grep -q '"members"' <<<"$answer" ||
            fail "the installed bridge did not create QXMeridiaControl.SGN: ${answer:0:400} $(head -c 600 "$work/bridge.log")"
    fi
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "installation under $prefix: $elf_count ELF files, every program and module works from the staging folder"
