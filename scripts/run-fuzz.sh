#!/bin/sh
# Runs each fuzz target for a bounded time (default 60 s each): the software
# token's (templates, token files), the manager's language file parser and its
# certificate file loaders, the bridge's origin and Host checks, worker frames and
# argument conversions, the type description parser, the module resource reader,
# the registry store reader and the token prompts' text filter.
# Usage: scripts/run-fuzz.sh [BUILD_DIR] [SECONDS] [TARGET...]
# FUZZ_RUNS=N also ends each target after N executions, whichever comes first, so that a
# busy machine still gets its count when SECONDS is generous.
# Corpora are kept in BUILD_DIR/fuzz-corpus/<target> between runs; crashes and
# their inputs land in BUILD_DIR/fuzz-artifacts/.
set -eu

build=${1:-build/fuzz}
seconds=${2:-${FUZZ_SECONDS:-60}}
mkdir -p "$build"
build=$(cd "$build" && pwd)
bin="$build/bin"
corpus="$build/fuzz-corpus"
artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"

all="softtoken_fuzz_template softtoken_fuzz_database lang_fuzz_inifile certs_fuzz_pkcs12 certs_fuzz_certificate certs_fuzz_pkcs7 certs_fuzz_pem_text
bridge_fuzz_origin bridge_fuzz_frames bridge_fuzz_conversion platform_fuzz_typedescription
platform_fuzz_resources platform_fuzz_registry providers_fuzz_prompt_text providers_fuzz_assuan_reply
bridge_fuzz_http"
if [ $# -ge 2 ]; then shift 2; else set --; fi
targets=${*:-$all}
for t in $all; do
    mkdir -p "$corpus/$t"
done
for t in $targets; do
    [ -x "$bin/$t" ] || { echo "run-fuzz: $bin/$t is missing; build with the fuzz preset" >&2; exit 1; }
done

# Seed the database target with a sound token file, made by tokenctl.
if [ -x "$bin/tokenctl" ] && [ ! -e "$corpus/softtoken_fuzz_database/sound-token" ]; then
    seed=$(mktemp -d)
    printf 'store_dir = %s/store\npin_iterations = 1\n' "$seed" > "$seed/token.conf"
    "$bin/tokenctl" --conf "$seed/token.conf" create seed --so-pin so-pin-1 --user-pin user-pin \
        >/dev/null
    cp "$seed/store/seed.token" "$corpus/softtoken_fuzz_database/sound-token"
    rm -rf "$seed"
fi

# Seed the certificate targets with files made here by OpenSSL (never kept in
# the repository): PKCS#12 of every kind the import reads, scrypt included,
# certificates in DER and PEM, and PKCS#7 bundles. Passwords are the ones the
# PKCS#12 target tries: "secret" and the empty one.
if command -v openssl >/dev/null && [ ! -e "$corpus/certs_fuzz_pkcs12/aes-pbkdf2.p12" ]; then
    seed=$(mktemp -d)
    (
        cd "$seed"
        q() { "$@" >/dev/null 2>&1; }
        q openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 -subj "/CN=Seed CA"
        q openssl req -newkey rsa:1024 -nodes -keyout leaf.key -out leaf.csr -subj "/CN=Seed leaf/O=Seed"
        q openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -set_serial 7 -days 30 -out leaf.pem
        q openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ec.key -out ec.pem \
            -days 30 -subj "/CN=Seed EC"
        p12=$corpus/certs_fuzz_pkcs12
        export_p12() { out=$1; shift; q openssl pkcs12 -export -passout pass:secret -out "$p12/$out" "$@"; }
        export_p12 legacy-rc2.p12 -legacy -inkey leaf.key -in leaf.pem
        export_p12 3des.p12 -keypbe PBE-SHA1-3DES -certpbe PBE-SHA1-3DES -inkey leaf.key -in leaf.pem
        export_p12 aes-pbkdf2.p12 -keypbe AES-256-CBC -certpbe AES-256-CBC -inkey leaf.key -in leaf.pem
        export_p12 no-mac.p12 -nomac -inkey leaf.key -in leaf.pem
        export_p12 chain.p12 -inkey leaf.key -in leaf.pem -certfile ca.pem
        export_p12 certificate-only.p12 -nokeys -in leaf.pem
        export_p12 ec.p12 -inkey ec.key -in ec.pem
        q openssl pkcs12 -export -passout pass: -out "$p12/empty-password.p12" -inkey leaf.key -in leaf.pem
        # The command line has no scrypt option: a small program writes that file.
        cat > scrypt.c <<'PROGRAM'
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <stdio.h>
int main(int argc, char** argv) {
    FILE* f = fopen(argv[1], "r");
    EVP_PKEY* key = f ? PEM_read_PrivateKey(f, NULL, NULL, NULL) : NULL;
    if (f) fclose(f);
    f = fopen(argv[2], "r");
    X509* cert = f ? PEM_read_X509(f, NULL, NULL, NULL) : NULL;
    if (f) fclose(f);
    if (!key || !cert || argc < 4) return 1;
    PKCS8_PRIV_KEY_INFO* info = EVP_PKEY2PKCS8(key);
    X509_ALGOR* pbe = PKCS5_pbe2_set_scrypt(EVP_aes_256_cbc(), NULL, 0, NULL, 1024, 8, 1);
    X509_SIG* shrouded = info && pbe ? PKCS8_set0_pbe("secret", -1, info, pbe) : NULL;
    STACK_OF(PKCS12_SAFEBAG)* keys = sk_PKCS12_SAFEBAG_new_null();
    STACK_OF(PKCS12_SAFEBAG)* certs = NULL;
    PKCS12_SAFEBAG* bag = shrouded ? PKCS12_SAFEBAG_create0_pkcs8(shrouded) : NULL;
    PKCS12_SAFEBAG* certBag = PKCS12_add_cert(&certs, cert);
    unsigned char id[] = {1, 2, 3, 4};
    if (!bag || !certBag || !keys) return 1;
    sk_PKCS12_SAFEBAG_push(keys, bag);
    PKCS12_add_localkeyid(bag, id, sizeof id);
    PKCS12_add_localkeyid(certBag, id, sizeof id);
    STACK_OF(PKCS7)* safes = NULL;
    if (!PKCS12_add_safe(&safes, certs, NID_aes_256_cbc, 2048, "secret") ||
        !PKCS12_add_safe(&safes, keys, -1, 0, NULL))
        return 1;
    PKCS12* p12 = PKCS12_add_safes(safes, 0);
    if (!p12 || !PKCS12_set_mac(p12, "secret", -1, NULL, 0, 2048, EVP_sha256())) return 1;
    f = fopen(argv[3], "wb");
    return f && i2d_PKCS12_fp(f, p12) == 1 && fclose(f) == 0 ? 0 : 1;
}
PROGRAM
        if q cc -o scrypt scrypt.c -lcrypto; then
            ./scrypt leaf.key leaf.pem "$p12/scrypt.p12" || echo "run-fuzz: no scrypt seed" >&2
        fi
        for c in leaf ca ec; do
            cp $c.pem "$corpus/certs_fuzz_certificate/$c.pem"
            cp $c.pem "$corpus/certs_fuzz_pem_text/$c.pem"
            q openssl x509 -in $c.pem -outform DER -out "$corpus/certs_fuzz_certificate/$c.cer"
        done
        q openssl crl2pkcs7 -nocrl -certfile leaf.pem -certfile ca.pem -outform DER \
            -out "$corpus/certs_fuzz_pkcs7/chain.p7b"
        q openssl crl2pkcs7 -nocrl -certfile ec.pem -out "$corpus/certs_fuzz_pkcs7/ec-pem.p7b"
        q openssl crl2pkcs7 -nocrl -outform DER -out "$corpus/certs_fuzz_pkcs7/empty.p7b"
        cp "$corpus/certs_fuzz_pkcs7/ec-pem.p7b" "$corpus/certs_fuzz_pem_text/"
    )
    rm -rf "$seed"
fi

# Seed the bridge, platform and provider targets with a few sound inputs each, written here.
seed_file() {
    t=$1 name=$2
    shift 2
    [ -e "$corpus/$t/$name" ] || printf "$@" > "$corpus/$t/$name"
}
seed_file bridge_fuzz_origin https 'https://Bank.Example:443'
seed_file bridge_fuzz_origin ipv6 'http://[0:0::1]:8080'
seed_file bridge_fuzz_origin allow-list 'https://a.example, http://localhost:8080,null,'
# A Host header after its port in two bytes: 28561.
seed_file bridge_fuzz_origin host '\157\221127.0.0.1:28561'
# The first byte picks a socket (even) or a pipe (odd); then frames: a length in four bytes.
seed_file bridge_fuzz_frames socket '\000\000\000\000\010{"id":1}\000\000\000\000\002[]'
seed_file bridge_fuzz_frames pipe-cut '\001\000\000\000\010{"id"'
# The first byte picks JSON (0), a raw text (1), a raw double (2) or a boolean (3).
seed_file bridge_fuzz_conversion text '\000["s"," -12 "]'
seed_file bridge_fuzz_conversion number '\000["n",2147483647.5]'
seed_file bridge_fuzz_conversion infinity '\000["n","-Infinity"]'
seed_file bridge_fuzz_conversion boolean '\000["b",true]'
seed_file bridge_fuzz_conversion raw-text '\001&H7FFFFFFF'
seed_file bridge_fuzz_conversion raw-double '\002\000\000\000\000\000\000\340\101'
seed_file bridge_fuzz_conversion raw-boolean '\003\001'
seed_file platform_fuzz_registry empty '{}'
seed_file platform_fuzz_registry store '{"": {"A": "x"}, "Software": {}, "Software\\\\Vaultora": {"LanguageId": "2052", "Count": 3, "L": [1]}}'
# The first byte is the limit in bytes.
seed_file providers_fuzz_prompt_text certificate '\100Alice \342\200\256gpj.exe\r\n'
seed_file providers_fuzz_prompt_text origin '\377https://B\303\274cher.example:8443/x'
seed_file providers_fuzz_prompt_text cut '\020\342\202\254\342\202\254\342\202\254\342\202\254\342\202\254\342\202\254'
seed_file providers_fuzz_assuan_reply pin 'S PROGRESS 1\nD 12%%2534\nOK\n'
seed_file providers_fuzz_assuan_reply error '# comment\nERR 83886179 Operation cancelled <Pinentry>\n'
# Requests as pages send them (first byte: the size of the pieces they arrive in, less one).
seed_file bridge_fuzz_http call '\377POST /korvan/v1/call HTTP/1.1\r\nHost: 127.0.0.1:28561\r\nOrigin: https://a.example\r\nContent-Type: text/plain;charset=UTF-8\r\nContent-Length: 2\r\n\r\n{}'
seed_file bridge_fuzz_http pipelined '\007GET /korvan/activex.js HTTP/1.1\r\nHost: localhost:28561\r\n\r\nOPTIONS /korvan/v1/call HTTP/1.1\r\nHost: [::1]:28561\r\nOrigin: https://ab.example\r\nAccess-Control-Request-Private-Network: true\r\n\r\nPOST /korvan/v1/call?x HTTP/1.0\r\nHost: 127.0.0.1:28561\r\nContent-Length: 1\r\n\r\n['
seed_file bridge_fuzz_http smuggled '\000POST /korvan/v1/call HTTP/1.1\r\nHost: x.localhost:28561\r\nContent-Length: 60\r\n\r\nPOST /korvan/v1/call HTTP/1.1\r\nHost: 127.0.0.1:28561\r\n\r\n'
for f in "$(dirname "$0")"/../control32/*.idl "$(dirname "$0")"/../control64/*.idl \
         "$(dirname "$0")"/../tests/bridge/worker/*.idl "$(dirname "$0")"/../tests/platform/com/dispatch/*.idl; do
    [ -e "$f" ] && cp "$f" "$corpus/platform_fuzz_typedescription/"
done
# A module's resources as the build embeds them: an object file carrying two notes, and its
# note area alone (first byte: alignment 4).
if command -v cc >/dev/null && [ ! -e "$corpus/platform_fuzz_resources/module.o" ]; then
    seed=$(mktemp -d)
    cat > "$seed/notes.s" <<'NOTES'
    .pushsection .note.korvan.rsrc,"a",%note
    .balign 4
    .long 7, 3f - 2f, 0x5253
    .asciz "KORVAN"
    .balign 4
2:  .long 1, 7
    .ascii "TYPELIB"
    .ascii "library X {}"
3:  .balign 4
    .long 7, 5f - 4f, 0x5253
    .asciz "KORVAN"
    .balign 4
4:  .long 100, 6
    .ascii "STRING"
    .ascii "Hello"
5:  .balign 4
    .popsection
NOTES
    if cc -c -o "$seed/module.o" "$seed/notes.s" 2>/dev/null; then
        cp "$seed/module.o" "$corpus/platform_fuzz_resources/module.o"
        if objcopy -O binary --only-section=.note.korvan.rsrc "$seed/module.o" "$seed/notes.bin"; then
            { printf '\000'; cat "$seed/notes.bin"; } > "$corpus/platform_fuzz_resources/notes"
        fi
    fi
    rm -rf "$seed"
fi

# Seed the language file target with the shipped files.
for f in "$(dirname "$0")"/../lang/*.lng; do
    [ -e "$f" ] && cp "$f" "$corpus/lang_fuzz_inifile/"
done

status=0
for t in $targets; do
    echo "== $t for ${seconds}s"
    # Each target makes its own throw-away store; run from a scratch folder.
    scratch=$(mktemp -d)
    # Token files are SQLite databases of several 4 KiB pages.
    max_len=4096
    [ "$t" = softtoken_fuzz_database ] && max_len=131072
    # Room for the shipped language files and type descriptions.
    [ "$t" = lang_fuzz_inifile ] && max_len=16384
    [ "$t" = platform_fuzz_typedescription ] && max_len=16384
    # Certificate files and PKCS#12 bundles with a chain run to a few KiB.
    case $t in certs_fuzz_*) max_len=65536 ;; esac
    if ! (cd "$scratch" && "$bin/$t" -max_total_time="$seconds" -runs="${FUZZ_RUNS:--1}" -max_len=$max_len -timeout=30 -rss_limit_mb=4096 \
            -print_final_stats=1 -artifact_prefix="$artifacts/$t-" "$corpus/$t"); then
        echo "run-fuzz: $t found a problem; see $artifacts" >&2
        status=1
    fi
    rm -rf "$scratch"
done
exit $status
