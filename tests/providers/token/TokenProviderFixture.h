// The token providers over the real software token, reached through CryptoAPI.
//
// A provider keeps its token link for the life of the process, so every test of a process shares
// one token store (and one registry folder); each test puts a fresh token into slot 1, which the
// provider sees as the old token pulled and a new one inserted. The token's containers are made
// with the manager's PKCS#12 import through the plain token module.
//
// CTest runs every case in a process of its own; the whole program also runs as one process, as
// a long-lived caller does: the providers' private token instances then live through every swap
// while the plain module instances come and go beside them.
#pragma once

#include "CertCommon.h"

#include <wincrypt.h>

#include <p11-kit/pkcs11.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace token_provider_test {

struct ProviderUnderTest {
    const char* label;         // for test names
    const char* providerName;  // the CryptoAPI name
    const char* modulePath;    // the provider module
    const char* tokenModule;   // the plain token module, as the controls load it
    const char* tokenLibrary;  // its Windows name
    const char* tokenctlModule; // tokenctl --module
};

const ProviderUnderTest& meridiaProvider();
const ProviderUnderTest& skyraProvider();

inline DWORD code(HRESULT value) {
    return static_cast<DWORD>(value);
}

// The two imported containers, oldest first. Their names sort the other way round, so an
// enumeration in name order would be caught.
inline constexpr const char* firstContainer = "F0000000-0000-0000-0000-000000000001";
inline constexpr const char* secondContainer = "A0000000-0000-0000-0000-000000000002";
inline constexpr const char* userPin = "1234";

// Owns an HCRYPTPROV.
class Context {
public:
    Context() = default;
    explicit Context(HCRYPTPROV handle) : handle_(handle) {}
    ~Context() { reset(); }
    Context(Context&& other) noexcept : handle_(other.handle_) { other.handle_ = 0; }
    Context& operator=(Context&& other) noexcept {
        reset();
        handle_ = other.handle_;
        other.handle_ = 0;
        return *this;
    }
    void reset() {
        if (handle_)
            CryptReleaseContext(handle_, 0);
        handle_ = 0;
    }
    HCRYPTPROV get() const { return handle_; }
    explicit operator bool() const { return handle_ != 0; }

private:
    HCRYPTPROV handle_ = 0;
};

class TokenProviderTest : public ::testing::Test {
protected:
    virtual const ProviderUnderTest& provider() const = 0;

    void SetUp() override;
    void TearDown() override;

    // A new token "Token <n>" in slot 1 (the previous one pulled); with the two containers when
    // `withContainers`. Extra tokenctl create arguments (e.g. retry limits) may be given.
    void freshToken(bool withContainers, const std::vector<std::string>& createArguments = {});
    bool tokenctl(const std::vector<std::string>& arguments);
    void removeToken() { ASSERT_TRUE(tokenctl({"remove", "--slot", "1"})); }
    void insertToken() { ASSERT_TRUE(tokenctl({"insert", tokenName_, "--slot", "1"})); }
    const std::string& tokenLabel() const { return tokenLabel_; }

    // The plain token module's session on slot 1, logged in when asked; finalized afterwards so
    // the controls' pattern (initialize, use, finalize) can be tested.
    void withTokenSession(bool login, const std::function<void(CK_FUNCTION_LIST*, CK_SESSION_HANDLE)>& use);
    // Every object of a container, seen by a logged-in session of the plain module.
    std::vector<CK_OBJECT_HANDLE> containerObjects(const std::string& container);

    // CryptAcquireContextA on the provider under test.
    Context acquire(const char* container, DWORD flags = 0);
    // The last error of a CryptAcquireContextA that must fail.
    DWORD acquireError(const char* container, DWORD flags = 0);
    std::vector<std::string> enumerate(HCRYPTPROV context);
    std::string textParam(HCRYPTPROV context, DWORD param);
    // The PIN step as the controls run it.
    DWORD pinStep(HCRYPTPROV context); // 0 on success
    // CryptSignHashA over `data`, least significant byte first; empty on failure (error in
    // *error when given).
    Bytes sign(HCRYPTPROV context, ALG_ID algid, const std::string& data, DWORD keyKind = AT_SIGNATURE,
               DWORD* error = nullptr);

    // The scripted pinentry: its mode and PIN, and what it received.
    void pinentryAnswers(const std::string& mode, const std::string& pin = userPin);
    std::vector<std::string> pinentryLog() const;
    int pinentryRuns(const std::string& question = "GETPIN") const;
    std::string logLine(const std::string& prefix) const; // the last line with that prefix

    std::string root() const;
    certs::X509Ptr firstCertificate_;
    certs::X509Ptr secondCertificate_;

private:
    std::string tokenName_;
    std::string tokenLabel_;
    std::string logPath_;
};

// Bytes in the opposite order.
Bytes reversed(Bytes bytes);
// OpenSSL's PKCS#1 v1.5 verification of `signature` (most significant byte first).
bool opensslVerifies(X509* certificate, const EVP_MD* md, const std::string& data,
                     const Bytes& signature);

} // namespace token_provider_test
