#include "TokenProviderFixture.h"

#include "CertFixtures.h"
#include "Pkcs12Import.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace token_provider_test {
namespace {

// One store, registry folder and pinentry log folder for the whole process (see the header).
struct ProcessStore {
    std::string root;
    std::string config;
    ProcessStore() {
        char pattern[] = "/tmp/token-provider-XXXXXX";
        if (!mkdtemp(pattern))
            return;
        root = pattern;
        config = root + "/token.conf";
        std::filesystem::create_directories(root + "/store");
        std::ofstream(config) << "store_dir = " << root << "/store\nslots = 2\npin_iterations = 1\n";
        setenv("MERIDIA_TOKEN_CONF", config.c_str(), 1);
        setenv("SKYRA_TOKEN_CONF", config.c_str(), 1);
        setenv("KORVAN_REGISTRY_DIR", (root + "/registry").c_str(), 1);
        setenv("KORVAN_PINENTRY", SCRIPTED_PINENTRY, 1);
    }
    ~ProcessStore() {
        if (!root.empty())
            std::filesystem::remove_all(root);
    }
};

ProcessStore& store() {
    static ProcessStore instance;
    return instance;
}

int tokenCounter = 0;

CK_FUNCTION_LIST* plainModule(const char* path) {
    // Kept loaded: C_Finalize resets it, as the controls' queries do.
    void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!module)
        return nullptr;
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
    CK_FUNCTION_LIST* list = nullptr;
    if (!getList || getList(&list) != CKR_OK)
        return nullptr;
    return list;
}

using RegisterFunction = HRESULT (*)();

HRESULT callRegistration(const char* modulePath, const char* entry) {
    void* module = dlopen(modulePath, RTLD_NOW | RTLD_LOCAL);
    if (!module)
        return E_FAIL;
    auto function = reinterpret_cast<RegisterFunction>(dlsym(module, entry));
    HRESULT result = function ? function() : E_FAIL;
    dlclose(module);
    return result;
}

} // namespace

const ProviderUnderTest& meridiaProvider() {
    static const ProviderUnderTest p{"Meridia",           "Vaultora Korvan2001 CSP for Meridia v1.0",
                                     MERIDIA_PROVIDER,    MERIDIA_TOKEN_MODULE,
                                     "meridiaCsp11_2001.dll", "meridia"};
    return p;
}

const ProviderUnderTest& skyraProvider() {
    static const ProviderUnderTest p{"Skyra",         "Vaultora CSP v1.0 for Torvik Skyra",
                                     SKYRA_PROVIDER,  SKYRA_TOKEN_MODULE,
                                     "qx11skyra.dll", "skyra"};
    return p;
}

std::string TokenProviderTest::root() const {
    return store().root;
}

void TokenProviderTest::SetUp() {
    ASSERT_FALSE(store().root.empty());
    ASSERT_EQ(callRegistration(provider().modulePath, "DllRegisterServer"), S_OK);
    unsetenv("KORVAN_CALLER_ORIGIN");
    logPath_ = root() + "/pinentry-" + std::to_string(tokenCounter + 1) + ".log";
    setenv("PINENTRY_SCRIPT_LOG", logPath_.c_str(), 1);
    pinentryAnswers("pin");
    freshToken(true);
}

void TokenProviderTest::TearDown() {
    unsetenv("KORVAN_CALLER_ORIGIN");
}

bool TokenProviderTest::tokenctl(const std::vector<std::string>& arguments) {
    std::vector<std::string> all = {TOKENCTL, "--module", provider().tokenctlModule, "--conf",
                                    store().config};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execv(TOKENCTL, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void TokenProviderTest::freshToken(bool withContainers, const std::vector<std::string>& createArguments) {
    tokenctl({"remove", "--slot", "1"}); // nothing there yet is fine
    ++tokenCounter;
    tokenName_ = "t" + std::to_string(tokenCounter);
    tokenLabel_ = "Token " + std::to_string(tokenCounter);
    std::vector<std::string> create = {"create", tokenName_, "--label", tokenLabel_, "--so-pin",
                                       "12345678", "--user-pin", userPin};
    create.insert(create.end(), createArguments.begin(), createArguments.end());
    ASSERT_TRUE(tokenctl(create));
    insertToken();
    if (!withContainers)
        return;

    auto firstKey = fixtures::rsaKey(2048, 0);
    auto secondKey = fixtures::rsaKey(2048, 1);
    firstCertificate_ = fixtures::selfSigned("Alice First", firstKey.get(), 11);
    secondCertificate_ = fixtures::selfSigned("Bob Second", secondKey.get(), 12);
    const std::string firstFile = root() + "/first.p12", secondFile = root() + "/second.p12";
    fixtures::writeFile(firstFile, fixtures::makePkcs12(firstKey.get(), firstCertificate_.get()));
    fixtures::writeFile(secondFile, fixtures::makePkcs12(secondKey.get(), secondCertificate_.get()));
    withTokenSession(true, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
        EXPECT_EQ(ImportPkcs12File(f, s, firstFile, "secret", {}, firstContainer, UsageBoth, nullptr)
                      .result,
                  ImportResult::Success);
        EXPECT_EQ(ImportPkcs12File(f, s, secondFile, "secret", {}, secondContainer, UsageBoth,
                                   nullptr)
                      .result,
                  ImportResult::Success);
    });
}

void TokenProviderTest::withTokenSession(
    bool login, const std::function<void(CK_FUNCTION_LIST*, CK_SESSION_HANDLE)>& use) {
    CK_FUNCTION_LIST* f = plainModule(provider().tokenModule);
    ASSERT_NE(f, nullptr) << dlerror();
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
    EXPECT_EQ(f->C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s), CKR_OK);
    if (login) {
        EXPECT_EQ(f->C_Login(s, CKU_USER,
                             reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(userPin)), 4),
                  CKR_OK);
    }
    use(f, s);
    f->C_CloseSession(s);
    EXPECT_EQ(f->C_Finalize(nullptr), CKR_OK);
}

std::vector<CK_OBJECT_HANDLE> TokenProviderTest::containerObjects(const std::string& container) {
    std::vector<CK_OBJECT_HANDLE> found;
    withTokenSession(true, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
        std::string value = container + '\0';
        CK_ATTRIBUTE match{CKA_CONTAINER_NAME, value.data(), value.size()};
        EXPECT_EQ(f->C_FindObjectsInit(s, &match, 1), CKR_OK);
        CK_OBJECT_HANDLE h;
        CK_ULONG n = 0;
        while (f->C_FindObjects(s, &h, 1, &n) == CKR_OK && n == 1)
            found.push_back(h);
        f->C_FindObjectsFinal(s);
    });
    return found;
}

Context TokenProviderTest::acquire(const char* container, DWORD flags) {
    HCRYPTPROV handle = 0;
    EXPECT_TRUE(CryptAcquireContextA(&handle, container, provider().providerName, PROV_RSA_FULL, flags))
        << "container " << (container ? container : "(null)") << ", error 0x" << std::hex
        << GetLastError();
    return Context(handle);
}

DWORD TokenProviderTest::acquireError(const char* container, DWORD flags) {
    HCRYPTPROV handle = 0;
    if (CryptAcquireContextA(&handle, container, provider().providerName, PROV_RSA_FULL, flags)) {
        ADD_FAILURE() << "acquired " << (container ? container : "(null)");
        CryptReleaseContext(handle, 0);
        return 0;
    }
    return GetLastError();
}

std::vector<std::string> TokenProviderTest::enumerate(HCRYPTPROV context) {
    std::vector<std::string> names;
    DWORD flags = CRYPT_FIRST;
    for (int guard = 0; guard < 100; ++guard) {
        BYTE name[100];
        DWORD length = sizeof name;
        if (!CryptGetProvParam(context, PP_ENUMCONTAINERS, name, &length, flags)) {
            EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
            break;
        }
        names.emplace_back(reinterpret_cast<char*>(name));
        flags = 0;
    }
    return names;
}

std::string TokenProviderTest::textParam(HCRYPTPROV context, DWORD param) {
    DWORD length = 0;
    if (!CryptGetProvParam(context, param, nullptr, &length, 0))
        return "error " + std::to_string(GetLastError());
    std::string text(length, '\0');
    EXPECT_TRUE(CryptGetProvParam(context, param, reinterpret_cast<BYTE*>(text.data()), &length, 0));
    EXPECT_EQ(text.size(), length);
    if (!text.empty() && text.back() == '\0')
        text.pop_back();
    return text;
}

DWORD TokenProviderTest::pinStep(HCRYPTPROV context) {
    return CryptSetProvParam(context, PP_SIGNATURE_PIN, nullptr, 0) ? 0 : GetLastError();
}

Bytes TokenProviderTest::sign(HCRYPTPROV context, ALG_ID algid, const std::string& data,
                              DWORD keyKind, DWORD* error) {
    HCRYPTHASH hash = 0;
    Bytes signature;
    if (!CryptCreateHash(context, algid, 0, 0, &hash)) {
        ADD_FAILURE() << "CryptCreateHash 0x" << std::hex << GetLastError();
        return signature;
    }
    EXPECT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()),
                              static_cast<DWORD>(data.size()), 0));
    DWORD length = 0;
    if (CryptSignHashA(hash, keyKind, nullptr, 0, nullptr, &length)) {
        signature.resize(length);
        if (CryptSignHashA(hash, keyKind, nullptr, 0, signature.data(), &length))
            signature.resize(length);
        else
            signature.clear();
    }
    if (signature.empty() && error)
        *error = GetLastError();
    CryptDestroyHash(hash);
    return signature;
}

void TokenProviderTest::pinentryAnswers(const std::string& mode, const std::string& pin) {
    setenv("PINENTRY_SCRIPT_MODE", mode.c_str(), 1);
    setenv("PINENTRY_SCRIPT_PIN", pin.c_str(), 1);
}

std::vector<std::string> TokenProviderTest::pinentryLog() const {
    std::vector<std::string> lines;
    std::ifstream in(logPath_);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

int TokenProviderTest::pinentryRuns(const std::string& question) const {
    int runs = 0;
    for (const std::string& line : pinentryLog())
        runs += line == question;
    return runs;
}

std::string TokenProviderTest::logLine(const std::string& prefix) const {
    std::string found;
    for (const std::string& line : pinentryLog())
        if (line.rfind(prefix, 0) == 0)
            found = line;
    return found;
}

Bytes reversed(Bytes bytes) {
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

bool opensslVerifies(X509* certificate, const EVP_MD* md, const std::string& data,
                     const Bytes& signature) {
    EVP_PKEY* key = X509_get0_pubkey(certificate);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    bool ok = EVP_DigestVerifyInit(context, nullptr, md, nullptr, key) == 1 &&
              EVP_DigestVerify(context, signature.data(), signature.size(),
                               reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
    EVP_MD_CTX_free(context);
    return ok;
}

} // namespace token_provider_test
