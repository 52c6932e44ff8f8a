// A SoftHSM2 store for the process (the provider keeps its module initialized for the process),
// with a token initialized by softhsm2-util and filled with pkcs11-tool, as an administrator
// fills a token no code of ours wrote; the Meridia provider registered over the library given.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "platform/Registry.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace softhsm_provider_test {

using Bytes = std::vector<unsigned char>;

constexpr const char* kProvider = "Vaultora Korvan2001 CSP for Meridia v1.0";
constexpr const char* kPin = "1234";
// pkcs11-tool's --id in hex, and the container name it stands for: the GUID text of the first 16
// bytes of its SHA-256, the first three fields read little-endian.
constexpr const char* kToolId = "a1b2c3";

inline std::string idContainerName() {
    const unsigned char id[] = {0xa1, 0xb2, 0xc3};
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(id, sizeof id, d, &length, EVP_sha256(), nullptr);
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  d[3], d[2], d[1], d[0], d[5], d[4], d[7], d[6], d[8], d[9], d[10], d[11], d[12],
                  d[13], d[14], d[15]);
    return text;
}

// Runs a program with the process's environment; its output when asked. True on exit code 0.
inline bool run(const std::vector<std::string>& arguments, std::string* output = nullptr) {
    std::vector<char*> argv;
    for (const std::string& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const std::string outPath = std::filesystem::temp_directory_path() /
                                ("softhsm-provider-out-" + std::to_string(getpid()));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t child = 0;
    const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    const bool ok = spawned == 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
                    WEXITSTATUS(status) == 0;
    if (output) {
        std::ifstream in(outPath);
        std::stringstream text;
        text << in.rdbuf();
        *output = text.str();
    }
    std::filesystem::remove(outPath);
    return ok;
}

inline bool pkcs11Tool(std::vector<std::string> arguments, std::string* output = nullptr) {
    arguments.insert(arguments.begin(), {PKCS11_TOOL, "--module", SOFTHSM2_MODULE, "--login",
                                         "--pin", kPin});
    return run(arguments, output);
}

// The store, the token and its one identity, made once for the process.
struct Store {
    std::string root;
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;
    bool ready = false;

    // The library is configured for the user (KORVAN_TOKEN_LIBRARY), or by the administrator (the
    // provider key's value under HKEY_LOCAL_MACHINE) when `byAdministrator`.
    Store(const char* configuredLibrary, bool byAdministrator) {
        char pattern[] = "/tmp/token-provider-softhsm-XXXXXX";
        if (!mkdtemp(pattern))
            return;
        root = pattern;
        std::filesystem::create_directories(root + "/tokens");
        std::ofstream(root + "/softhsm2.conf") << "directories.tokendir = " << root
                                                << "/tokens\nobjectstore.backend = file\nlog.level = ERROR\n";
        setenv("SOFTHSM2_CONF", (root + "/softhsm2.conf").c_str(), 1);
        setenv("KORVAN_REGISTRY_DIR", (root + "/registry").c_str(), 1);
        setenv("KORVAN_PINENTRY", SCRIPTED_PINENTRY, 1);
        setenv("PINENTRY_SCRIPT_MODE", "pin", 1);
        setenv("PINENTRY_SCRIPT_PIN", kPin, 1);
        setenv("PINENTRY_SCRIPT_LOG", (root + "/pinentry.log").c_str(), 1);
        if (byAdministrator)
            unsetenv("KORVAN_TOKEN_LIBRARY");
        else
            setenv("KORVAN_TOKEN_LIBRARY", configuredLibrary, 1);
        ready = run({SOFTHSM2_UTIL, "--init-token", "--free", "--label", "Foreign", "--so-pin",
                     "11223344", "--pin", kPin}) &&
                makeIdentity() && registerProvider() &&
                (!byAdministrator || administratorChoice(configuredLibrary));
    }
    // What the scripted pinentry received, every run.
    std::string pinentryLog() const {
        std::ifstream in(root + "/pinentry.log");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    ~Store() {
        EVP_PKEY_free(key);
        X509_free(certificate);
        if (!root.empty())
            std::filesystem::remove_all(root);
    }

    bool makeIdentity() {
        key = EVP_RSA_gen(2048);
        certificate = X509_new();
        if (!key || !certificate)
            return false;
        X509_set_version(certificate, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(certificate), 7);
        X509_NAME* name = X509_get_subject_name(certificate);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("Foreign Alice"), -1, -1, 0);
        X509_set_issuer_name(certificate, name);
        X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
        X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
        X509_set_pubkey(certificate, key);
        if (X509_sign(certificate, key, EVP_sha256()) == 0)
            return false;
        const std::string keyFile = root + "/key.pem", publicFile = root + "/public.pem",
                          certFile = root + "/cert.pem";
        FILE* out = std::fopen(keyFile.c_str(), "w");
        PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
        std::fclose(out);
        out = std::fopen(publicFile.c_str(), "w");
        PEM_write_PUBKEY(out, key);
        std::fclose(out);
        out = std::fopen(certFile.c_str(), "w");
        PEM_write_X509(out, certificate);
        std::fclose(out);
        return pkcs11Tool({"--write-object", keyFile, "--type", "privkey", "--id", kToolId,
                           "--label", "Alice"}) &&
               pkcs11Tool({"--write-object", publicFile, "--type", "pubkey", "--id", kToolId,
                           "--label", "Alice"}) &&
               pkcs11Tool({"--write-object", certFile, "--type", "cert", "--id", kToolId,
                           "--label", "Alice"});
    }

    static bool administratorChoice(const char* library) {
        auto key = platform::RegistryKey::open(
            platform::RegistryRoot::LocalMachine,
            std::string("SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\") + kProvider);
        return key && key->setString("TokenLibrary", library);
    }

    static bool registerProvider() {
        void* module = dlopen(MERIDIA_PROVIDER, RTLD_NOW | RTLD_LOCAL);
        if (!module)
            return false;
        auto entry = reinterpret_cast<HRESULT (*)()>(dlsym(module, "DllRegisterServer"));
        const bool ok = entry && entry() == S_OK;
        dlclose(module);
        return ok;
    }
};

// CryptSignHashA with the container's signature key over the MD5 of `data`, most significant
// byte first; empty on failure, with the error in `error`.
inline Bytes signMd5(const char* container, const std::string& data, DWORD& error) {
    Bytes signature;
    HCRYPTPROV context = 0;
    if (!CryptAcquireContextA(&context, container, kProvider, PROV_RSA_FULL, 0)) {
        error = GetLastError();
        return signature;
    }
    HCRYPTHASH hash = 0;
    if (CryptCreateHash(context, CALG_MD5, 0, 0, &hash) &&
        CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()),
                      static_cast<DWORD>(data.size()), 0)) {
        signature.resize(512);
        DWORD length = static_cast<DWORD>(signature.size());
        if (CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, signature.data(), &length)) {
            signature.resize(length);
            std::reverse(signature.begin(), signature.end());
        } else {
            error = GetLastError();
            signature.clear();
        }
    } else {
        error = GetLastError();
    }
    if (hash)
        CryptDestroyHash(hash);
    CryptReleaseContext(context, 0);
    return signature;
}

// OpenSSL's check of a PKCS#1 v1.5 MD5 signature against the certificate's key.
inline bool verifiesMd5(X509* certificate, const std::string& data, const Bytes& signature) {
    EVP_MD_CTX* verify = EVP_MD_CTX_new();
    const bool ok =
        verify &&
        EVP_DigestVerifyInit(verify, nullptr, EVP_md5(), nullptr, X509_get0_pubkey(certificate)) == 1 &&
        EVP_DigestVerify(verify, signature.data(), signature.size(),
                         reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
    EVP_MD_CTX_free(verify);
    return ok;
}

} // namespace softhsm_provider_test
