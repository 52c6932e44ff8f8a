#pragma once

// The set-up the certificate benchmarks share: a throw-away software token
// configuration, the token created and inserted with the token control tool,
// and PKCS#12 files to import. TOKENCTL names the tool's path.

#include "CertCommon.h"

#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace bench {

// Runs the token control tool quietly; true when it exits with 0.
inline bool tokenctl(std::vector<std::string> arguments) {
    pid_t pid = fork();
    if (pid == 0) {
        if (std::freopen("/dev/null", "w", stdout) == nullptr)
            _exit(126);
        std::vector<char*> argv{const_cast<char*>(TOKENCTL)};
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        execv(TOKENCTL, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A temporary folder with a one-slot token configuration that the software
// token reads through MERIDIA_TOKEN_CONF; removed again on destruction.
class TokenDir {
public:
    // pattern: a mkdtemp pattern ending in XXXXXX.
    explicit TokenDir(std::string pattern) {
        if (mkdtemp(pattern.data()) == nullptr)
            return;
        root_ = pattern;
        std::filesystem::create_directories(root_ + "/store");
        std::ofstream(root_ + "/token.conf")
            << "store_dir = " << root_
            << "/store\nslots = 1\npin_iterations = 1\n"
               "public_memory = 4000000\nprivate_memory = 4000000\n";
        setenv("MERIDIA_TOKEN_CONF", (root_ + "/token.conf").c_str(), 1);
    }
    ~TokenDir() {
        if (!root_.empty())
            std::filesystem::remove_all(root_);
    }
    TokenDir(const TokenDir&) = delete;
    TokenDir& operator=(const TokenDir&) = delete;

    bool ok() const { return !root_.empty(); }
    const std::string& root() const { return root_; }

private:
    std::string root_;
};

// Creates the token "bench" (user PIN 1234) and inserts it into slot 1.
inline bool createToken() {
    return tokenctl({"create", "bench", "--so-pin", "12345678", "--user-pin", "1234"}) &&
           tokenctl({"insert", "bench", "--slot", "1"});
}

// A PKCS#12 file (password "secret") with a self-signed certificate named
// `cn` over `key`; empty when it cannot be made.
inline Bytes makePfx(const std::string& cn, EVP_PKEY* key) {
    certs::X509Ptr certificate(X509_new());
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -86400);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 86400L * 365);
    X509_NAME* name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    X509_set_issuer_name(certificate.get(), name);
    X509_set_pubkey(certificate.get(), key);
    X509_sign(certificate.get(), key, EVP_sha256());
    certs::Pkcs12Ptr p12(
        PKCS12_create("secret", nullptr, key, certificate.get(), nullptr, 0, 0, 0, 0, 0));
    if (!p12)
        return {};
    unsigned char* der = nullptr;
    int length = i2d_PKCS12(p12.get(), &der);
    Bytes bytes(der, der + std::max(length, 0));
    OPENSSL_free(der);
    return bytes;
}

// makePfx written to `path`; false when either fails.
inline bool writePfx(const std::string& path, const std::string& cn, EVP_PKEY* key) {
    Bytes file = makePfx(cn, key);
    if (file.empty())
        return false;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()),
              static_cast<std::streamsize>(file.size()));
    out.close();
    return static_cast<bool>(out);
}

} // namespace bench
