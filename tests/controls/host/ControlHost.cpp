#include "ControlHost.h"

#include "CertFixtures.h"
#include "Pkcs12Import.h"

#include <objbase.h>

#include "platform/com/Utf16.h"

#include <p11-kit/pkcs11.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <limits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

namespace control_host {

// ---- arguments and results ----

Arg::Arg(LONG number) {
    VariantInit(&value_);
    value_.vt = VT_I4;
    value_.lVal = number;
}

Arg::Arg(const char* utf8Text) : Arg(platform::utf16FromUtf8(utf8Text)) {}

Arg::Arg(const std::u16string& text) {
    VariantInit(&value_);
    value_.vt = VT_BSTR;
    value_.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

Arg Arg::missing() {
    Arg arg;
    VariantInit(&arg.value_);
    arg.value_.vt = VT_ERROR;
    arg.value_.scode = DISP_E_PARAMNOTFOUND;
    return arg;
}

Arg Arg::nullText() {
    Arg arg;
    VariantInit(&arg.value_);
    arg.value_.vt = VT_BSTR;
    arg.value_.bstrVal = nullptr;
    return arg;
}

Arg::Arg(const Arg& other) {
    VariantInit(&value_);
    VariantCopy(&value_, &other.value_);
}

Arg::~Arg() {
    VariantClear(&value_);
}

CallResult::CallResult(CallResult&& other) noexcept : hr(other.hr), value_(other.value_) {
    VariantInit(&other.value_);
}

LONG CallResult::status() const {
    return value_.vt == VT_I4 ? value_.lVal : std::numeric_limits<LONG>::min();
}

std::u16string CallResult::utf16() const {
    if (value_.vt != VT_BSTR || value_.bstrVal == nullptr)
        return {};
    return std::u16string(value_.bstrVal, SysStringLen(value_.bstrVal));
}

std::string CallResult::text() const {
    if (value_.vt == VT_EMPTY)
        return "<no value>";
    if (value_.vt != VT_BSTR)
        return "<not text>";
    return platform::utf8FromUtf16(utf16());
}

// ---- the control ----

Control Control::create(const char16_t* progId, HRESULT* result) {
    Control control;
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(progId, &clsid);
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                              reinterpret_cast<void**>(&control.dispatch_));
    if (result != nullptr)
        *result = hr;
    return control;
}

Control& Control::operator=(Control&& other) noexcept {
    if (this != &other) {
        if (dispatch_ != nullptr)
            dispatch_->Release();
        dispatch_ = other.dispatch_;
        other.dispatch_ = nullptr;
    }
    return *this;
}

Control::~Control() {
    if (dispatch_ != nullptr)
        dispatch_->Release();
}

DISPID Control::idOf(const char* name) const {
    if (dispatch_ == nullptr)
        return DISPID_UNKNOWN;
    std::u16string wide = platform::utf16FromUtf8(name);
    LPOLESTR names[] = {wide.data()};
    DISPID id = DISPID_UNKNOWN;
    if (FAILED(dispatch_->GetIDsOfNames(IID_NULL, names, 1, 0x409, &id)))
        return DISPID_UNKNOWN;
    return id;
}

CallResult Control::call(const char* name, const std::vector<Arg>& arguments) const {
    const DISPID id = idOf(name);
    if (id == DISPID_UNKNOWN) {
        CallResult result;
        result.hr = DISP_E_UNKNOWNNAME;
        return result;
    }
    return invoke(id, arguments);
}

CallResult Control::invoke(DISPID id, const std::vector<Arg>& arguments, WORD flags) const {
    CallResult result;
    if (dispatch_ == nullptr)
        return result;
    // DISPPARAMS lists arguments last to first; the variants are borrowed from the Args.
    std::vector<VARIANT> reversed;
    for (auto it = arguments.rbegin(); it != arguments.rend(); ++it)
        reversed.push_back(it->variant());
    DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr,
                      static_cast<UINT>(reversed.size()), 0};
    UINT argError = 0;
    result.hr =
        dispatch_->Invoke(id, IID_NULL, 0x409, flags, &params, &result.value(), nullptr, &argError);
    return result;
}

ComApartment::ComApartment() {
    CoInitialize(nullptr);
}

ComApartment::~ComApartment() {
    CoUninitialize();
}

// ---- registration and tools ----

namespace {

HRESULT callEntry(const std::string& modulePath, const char* entry) {
    void* module = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr)
        return E_FAIL;
    using Entry = HRESULT (*)();
    auto function = reinterpret_cast<Entry>(dlsym(module, entry));
    const HRESULT result = function != nullptr ? function() : E_FAIL;
    dlclose(module);
    return result;
}

} // namespace

HRESULT registerModule(const std::string& modulePath) {
    return callEntry(modulePath, "DllRegisterServer");
}

HRESULT unregisterModule(const std::string& modulePath) {
    return callEntry(modulePath, "DllUnregisterServer");
}

HRESULT registerProviders() {
    for (const char* provider : {CONTROL_HOST_DEFAULT_PROVIDER, CONTROL_HOST_SKYRA_PROVIDER,
                                 CONTROL_HOST_MERIDIA_PROVIDER}) {
        const HRESULT result = registerModule(provider);
        if (FAILED(result))
            return result;
    }
    return S_OK;
}

ToolRun runCommand(const std::string& commandLine) {
    ToolRun run;
    FILE* pipe = popen((commandLine + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return run;
    std::array<char, 512> buffer{};
    while (fgets(buffer.data(), buffer.size(), pipe) != nullptr)
        run.output += buffer.data();
    const int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// ---- the token store ----

namespace {

// The plain token module, kept loaded: C_Finalize resets it between uses, as the controls' token
// queries do.
CK_FUNCTION_LIST* plainModule() {
    static CK_FUNCTION_LIST* list = [] {
        CK_FUNCTION_LIST* found = nullptr;
        void* module = dlopen(CONTROL_HOST_TOKEN_MODULE, RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr)
            return found;
        auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
        if (getList == nullptr || getList(&found) != CKR_OK)
            found = nullptr;
        return found;
    }();
    return list;
}

template <class Use> bool withSession(int slot, bool login, Use use) {
    CK_FUNCTION_LIST* f = plainModule();
    if (f == nullptr || f->C_Initialize(nullptr) != CKR_OK)
        return false;
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    bool ok = f->C_OpenSession(static_cast<CK_SLOT_ID>(slot), CKF_SERIAL_SESSION | CKF_RW_SESSION,
                               nullptr, nullptr, &session) == CKR_OK;
    if (ok && login) {
        std::string pin = TokenStore::userPin;
        ok = f->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()),
                        pin.size()) == CKR_OK;
    }
    if (ok)
        ok = use(f, session);
    if (session != CK_INVALID_HANDLE)
        f->C_CloseSession(session);
    f->C_Finalize(nullptr);
    return ok;
}

} // namespace

TokenStore& TokenStore::instance() {
    static TokenStore store;
    return store;
}

TokenStore::TokenStore() {
    char pattern[] = "/tmp/control-host-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return;
    root_ = pattern;
    config_ = root_ + "/token.conf";
    registryDir_ = root_ + "/registry";
    pinentryLog_ = root_ + "/pinentry.log";
    std::filesystem::create_directories(root_ + "/store");
    std::ofstream(config_) << "store_dir = " << root_ << "/store\nslots = " << slotCount
                           << "\npin_iterations = 1\n";
    // Both token modules (and so both providers and both token libraries) read this one store.
    setenv("MERIDIA_TOKEN_CONF", config_.c_str(), 1);
    setenv("SKYRA_TOKEN_CONF", config_.c_str(), 1);
    setenv("KORVAN_REGISTRY_DIR", registryDir_.c_str(), 1);
    setenv("KORVAN_PINENTRY", CONTROL_HOST_PINENTRY, 1);
    setenv("PINENTRY_SCRIPT_LOG", pinentryLog_.c_str(), 1);
    pinentryAnswers("pin");
}

TokenStore::~TokenStore() {
    if (!root_.empty())
        std::filesystem::remove_all(root_);
}

bool TokenStore::tokenctl(const std::vector<std::string>& arguments) {
    std::vector<std::string> all = {CONTROL_HOST_TOKENCTL, "--module", "skyra", "--conf", config_};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execv(CONTROL_HOST_TOKENCTL, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string TokenStore::freshToken(int slot) {
    removeToken(slot);
    ++tokenCounter_;
    // Appended, not "..." + std::string: GCC 12 at -O3 warns falsely (-Wrestrict) on that form.
    const std::string name = std::string("t").append(std::to_string(tokenCounter_));
    const std::string label = std::string("Token ").append(std::to_string(tokenCounter_));
    if (!tokenctl(
            {"create", name, "--label", label, "--so-pin", "12345678", "--user-pin", userPin}))
        return {};
    if (!tokenctl({"insert", name, "--slot", std::to_string(slot)}))
        return {};
    return label;
}

bool TokenStore::removeToken(int slot) {
    return tokenctl({"remove", "--slot", std::to_string(slot)});
}

void TokenStore::removeAllTokens() {
    for (int slot = 1; slot <= slotCount; ++slot)
        removeToken(slot);
}

std::string TokenStore::tokenSerial(int slot) {
    std::string serial;
    withSession(slot, false, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE) {
        CK_TOKEN_INFO info{};
        if (f->C_GetTokenInfo(static_cast<CK_SLOT_ID>(slot), &info) != CKR_OK)
            return false;
        serial.assign(reinterpret_cast<const char*>(info.serialNumber), sizeof info.serialNumber);
        return true;
    });
    return serial;
}

bool TokenStore::importIdentity(int slot, const std::string& container, EVP_PKEY* key,
                                X509* certificate) {
    const std::string file = root_ + "/import.p12";
    fixtures::writeFile(file, fixtures::makePkcs12(key, certificate));
    return withSession(slot, true, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
        return ImportPkcs12File(f, s, file, "secret", {}, container, UsageBoth, nullptr).result ==
               ImportResult::Success;
    });
}

std::vector<std::string> TokenStore::containerNames(int slot) {
    std::vector<std::string> names;
    withSession(slot, true, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
        if (f->C_FindObjectsInit(s, nullptr, 0) != CKR_OK)
            return false;
        CK_OBJECT_HANDLE object;
        CK_ULONG count = 0;
        std::vector<CK_OBJECT_HANDLE> objects;
        while (f->C_FindObjects(s, &object, 1, &count) == CKR_OK && count == 1 &&
               objects.size() < 1000)
            objects.push_back(object);
        f->C_FindObjectsFinal(s);
        for (CK_OBJECT_HANDLE h : objects) {
            char value[256] = {};
            CK_ATTRIBUTE attribute{CKA_CONTAINER_NAME, value, sizeof value - 1};
            if (f->C_GetAttributeValue(s, h, &attribute, 1) != CKR_OK)
                continue;
            std::string name(value, attribute.ulValueLen);
            while (!name.empty() && name.back() == '\0')
                name.pop_back();
            bool known = false;
            for (const std::string& n : names)
                known = known || n == name;
            if (!known && !name.empty())
                names.push_back(name);
        }
        return true;
    });
    return names;
}

void TokenStore::pinentryAnswers(const std::string& mode, const std::string& pin) {
    setenv("PINENTRY_SCRIPT_MODE", mode.c_str(), 1);
    setenv("PINENTRY_SCRIPT_PIN", pin.c_str(), 1);
}

int TokenStore::pinRequests() const {
    std::ifstream in(pinentryLog_);
    int requests = 0;
    for (std::string line; std::getline(in, line);)
        requests += line == "GETPIN";
    return requests;
}

// ---- keys, certificates and checks ----

EVP_PKEY* testKey(int bits, int index) {
    static std::map<std::pair<int, int>, certs::EvpPkeyPtr> keys;
    auto& slot = keys[{bits, index}];
    if (!slot)
        slot = fixtures::rsaKey(bits, index);
    return slot.get();
}

X509* selfSignedCertificate(const std::string& commonName, EVP_PKEY* key, long serial) {
    static std::vector<certs::X509Ptr> made; // kept for the process's life
    made.push_back(fixtures::selfSigned(commonName, key, serial));
    return made.back().get();
}

bool opensslVerifies(EVP_PKEY* key, const EVP_MD* md, const std::string& data,
                     const std::vector<unsigned char>& signature) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    const bool ok =
        context != nullptr && EVP_DigestVerifyInit(context, nullptr, md, nullptr, key) == 1 &&
        EVP_DigestVerify(context, signature.data(), signature.size(),
                         reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
    EVP_MD_CTX_free(context);
    return ok;
}

std::vector<unsigned char> fromHex(const std::string& text) {
    std::vector<unsigned char> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string toHex(const std::vector<unsigned char>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

} // namespace control_host
