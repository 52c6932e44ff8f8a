// A script host's view of a control, for the controls' tests: modules registered into a private
// registry store, the control created by ProgID, members called by name through IDispatch, and a
// software token store that both token modules read, so one token is seen through both providers
// and both token libraries.
#pragma once

#include <oaidl.h>
#include <oleauto.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

namespace control_host {

// One argument of a call: a number, a text, or missing (VT_ERROR / DISP_E_PARAMNOTFOUND, as a
// script passes an omitted argument).
class Arg {
public:
    Arg(LONG number);                // NOLINT: calls read like scripts
    Arg(const char* utf8Text);       // NOLINT
    Arg(const std::u16string& text); // NOLINT
    static Arg missing();
    // A VT_BSTR holding a null BSTR: an absent text.
    static Arg nullText();
    Arg(const Arg& other);
    Arg& operator=(const Arg&) = delete;
    ~Arg();
    const VARIANT& variant() const { return value_; }

private:
    Arg() = default;
    VARIANT value_{};
};

// What one Invoke gave: its HRESULT and the value written (VT_EMPTY when none was).
class CallResult {
public:
    CallResult() { VariantInit(&value_); }
    CallResult(CallResult&& other) noexcept;
    CallResult(const CallResult&) = delete;
    CallResult& operator=(const CallResult&) = delete;
    ~CallResult() { VariantClear(&value_); }

    HRESULT hr = E_UNEXPECTED;
    VARIANT& value() { return value_; }
    const VARIANT& value() const { return value_; }
    bool hasValue() const { return value_.vt != VT_EMPTY; }
    // The long status (VT_I4), or the least LONG when the value is not one.
    LONG status() const;
    // The text value as UTF-8; "<no value>" when nothing was written, "<not text>" for another
    // type.
    std::string text() const;
    std::u16string utf16() const;

private:
    VARIANT value_;
};

// An SGN-like control created by ProgID and driven through IDispatch only.
class Control {
public:
    // CLSIDFromProgID + CoCreateInstance(IID_IDispatch); an empty control (with *result) on
    // failure.
    static Control create(const char16_t* progId, HRESULT* result = nullptr);
    Control() = default;
    Control(Control&& other) noexcept : dispatch_(other.dispatch_) { other.dispatch_ = nullptr; }
    Control& operator=(Control&& other) noexcept;
    Control(const Control&) = delete;
    ~Control();

    explicit operator bool() const { return dispatch_ != nullptr; }
    IDispatch* dispatch() const { return dispatch_; }

    // GetIDsOfNames, then Invoke with DISPATCH_METHOD | DISPATCH_PROPERTYGET as script engines do;
    // arguments first to last. A name lookup failure is returned as the call's HRESULT.
    CallResult call(const char* name, const std::vector<Arg>& arguments = {}) const;
    CallResult invoke(DISPID id, const std::vector<Arg>& arguments = {},
                      WORD flags = DISPATCH_METHOD | DISPATCH_PROPERTYGET) const;
    // DISPID of a member name (DISPID_UNKNOWN when it has none).
    DISPID idOf(const char* name) const;

private:
    IDispatch* dispatch_ = nullptr;
};

// COM for the calling thread, for the life of the object.
class ComApartment {
public:
    ComApartment();
    ~ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
};

// DllRegisterServer / DllUnregisterServer of a module file (loaded and unloaded around the call).
HRESULT registerModule(const std::string& modulePath);
HRESULT unregisterModule(const std::string& modulePath);
// The default RSA provider and both token providers, registered into the current store.
HRESULT registerProviders();

struct ToolRun {
    int exitCode = -1;
    std::string output; // standard output and standard error together
};
// Runs a shell command line, both output streams captured.
ToolRun runCommand(const std::string& commandLine);

// The process-wide software token store. The first use creates a temporary folder holding the
// token configuration (read by both token modules), the registry store (KORVAN_REGISTRY_DIR) and
// the scripted pinentry's log; it points the environment at them. Providers keep their token link
// for the process's life, so a test program shares one store and changes tokens by slot.
class TokenStore {
public:
    static TokenStore& instance();

    const std::string& root() const { return root_; }
    const std::string& registryDir() const { return registryDir_; }

    // tokenctl with the store's configuration; true on exit code 0.
    bool tokenctl(const std::vector<std::string>& arguments);
    // Slots are numbered from 1, as PKCS#11 applications see them.
    // A new, empty token with user PIN userPin in the slot (whatever was there is pulled first).
    // Returns its label; empty on failure.
    std::string freshToken(int slot);
    bool removeToken(int slot);
    // All slots emptied.
    void removeAllTokens();
    // The token's serial number as its library reports it (16 characters, blank padded).
    std::string tokenSerial(int slot);

    // A container with the key and certificate, imported by the manager's PKCS#12 code through
    // the plain token module.
    bool importIdentity(int slot, const std::string& container, EVP_PKEY* key, X509* certificate);
    // Every container name on the token in the slot (logged in).
    std::vector<std::string> containerNames(int slot);

    // The scripted pinentry: mode "pin" answers `pin`; "cancel", "no", "error" as the program says.
    void pinentryAnswers(const std::string& mode, const std::string& pin = userPin);
    // Times the pinentry was asked for a PIN since the store was made.
    int pinRequests() const;

    static constexpr const char* userPin = "1234";
    static constexpr int slotCount = 12; // room for more tokens than the token queries read

private:
    TokenStore();
    ~TokenStore();
    std::string root_;
    std::string config_;
    std::string registryDir_;
    std::string pinentryLog_;
    int tokenCounter_ = 0;
};

// Test keys and certificates (cached RSA keys of the given size; self-signed certificates).
EVP_PKEY* testKey(int bits, int index);
X509* selfSignedCertificate(const std::string& commonName, EVP_PKEY* key, long serial);

// OpenSSL's PKCS#1 v1.5 check of a signature given most significant byte first.
bool opensslVerifies(EVP_PKEY* key, const EVP_MD* md, const std::string& data,
                     const std::vector<unsigned char>& signature);

// Hex text helpers for tests.
std::vector<unsigned char> fromHex(const std::string& text);
std::string toHex(const std::vector<unsigned char>& bytes);

} // namespace control_host
