#include "ModuleFixture.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#if defined(SOFTTOKEN_TESTS_UNDER_TSAN)
// Some tests fork a second process that uses its own module instance.
extern "C" const char* __tsan_default_options() {
    return "die_after_fork=0";
}
#endif

namespace softtoken::module::test {
namespace {

LoadedModule load(const char* path) {
    LoadedModule m;
    // Never unloaded: the module's state is reset by C_Finalize, not by dlclose.
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return m;
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList"));
    auto getAux = reinterpret_cast<E_GetAuxFunctionList_t>(dlsym(handle, "E_GetAuxFunctionList"));
    if (getList)
        getList(&m.f);
    if (getAux)
        getAux(&m.aux);
    return m;
}

} // namespace

const LoadedModule& meridia() {
    static const LoadedModule m = load(MERIDIA_MODULE_PATH);
    return m;
}

const LoadedModule& skyra() {
    static const LoadedModule m = load(SKYRA_MODULE_PATH);
    return m;
}

void ModuleTest::SetUp() {
    ASSERT_NE(meridia().f, nullptr) << dlerror();
    ASSERT_NE(meridia().aux, nullptr);
    char templ[] = "/tmp/softtoken-module-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    root_ = templ;
    configPath_ = root_ + "/token.conf";
    writeConfig();
    setenv("MERIDIA_TOKEN_CONF", configPath_.c_str(), 1);
    setenv("SKYRA_TOKEN_CONF", configPath_.c_str(), 1);
}

void ModuleTest::TearDown() {
    meridia().f->C_Finalize(nullptr);
    skyra().f->C_Finalize(nullptr);
    std::filesystem::remove_all(root_);
}

void ModuleTest::writeConfig(const std::string& extra) {
    extraConfig_ = extra;
    std::ofstream out(configPath_, std::ios::trunc);
    out << "store_dir = " << root_ << "/store\nslots = 2\npin_iterations = 50\n" << extra;
}

store::Config ModuleTest::storeConfig() const {
    std::string text =
        "store_dir = " + root_ + "/store\nslots = 2\npin_iterations = 50\n" + extraConfig_;
    std::string error;
    auto c = store::Config::parse(text, root_, &error);
    EXPECT_TRUE(c) << error;
    return c ? *c : store::Config{};
}

void ModuleTest::addToken(const std::string& name, CK_SLOT_ID slot, std::uint32_t publicMemory,
                          std::uint32_t privateMemory, const std::string& label) {
    const store::Config config = storeConfig();
    store::InitRequest r;
    r.label = label;
    r.soPin = store::SecureBytes(kSoPin, std::strlen(kSoPin));
    r.userPin = store::SecureBytes(kUserPin, std::strlen(kUserPin));
    r.soRetryLimit = 3;
    r.userRetryLimit = 3;
    r.publicMemory = publicMemory;
    r.privateMemory = privateMemory;
    ASSERT_EQ(store::TokenDatabase::create(config, name, r), CKR_OK);
    std::unique_ptr<store::SlotTable> slots;
    ASSERT_EQ(store::SlotTable::open(config, slots), CKR_OK);
    ASSERT_EQ(slots->insert(static_cast<unsigned>(slot - 1), name), CKR_OK);
}

void ModuleTest::removeToken(CK_SLOT_ID slot) {
    std::unique_ptr<store::SlotTable> slots;
    ASSERT_EQ(store::SlotTable::open(storeConfig(), slots), CKR_OK);
    ASSERT_EQ(slots->remove(static_cast<unsigned>(slot - 1)), CKR_OK);
}

void ModuleTest::appendEvent(CK_SLOT_ID slot, CK_ULONG code, std::uint64_t origin) {
    std::unique_ptr<store::EventLog> log;
    ASSERT_EQ(store::EventLog::open(storeConfig(), log), CKR_OK);
    ASSERT_EQ(log->append({slot - 1, code, origin}), CKR_OK);
}

CK_RV ModuleTest::initialize(const LoadedModule& m) {
    return m.f->C_Initialize(nullptr);
}

CK_SESSION_HANDLE ModuleTest::openSession(CK_SLOT_ID slot, bool rw) {
    CK_SESSION_HANDLE s = 0;
    const CK_FLAGS flags = CKF_SERIAL_SESSION | (rw ? CKF_RW_SESSION : 0);
    EXPECT_EQ(f()->C_OpenSession(slot, flags, nullptr, nullptr, &s), CKR_OK);
    return s;
}

CK_RV ModuleTest::login(CK_SESSION_HANDLE s, CK_USER_TYPE user, const char* pin) {
    return f()->C_Login(s, user, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin)),
                        std::strlen(pin));
}

CK_TOKEN_INFO ModuleTest::tokenInfo(CK_SLOT_ID slot) {
    CK_TOKEN_INFO info{};
    EXPECT_EQ(f()->C_GetTokenInfo(slot, &info), CKR_OK);
    return info;
}

Attr ulongAttr(CK_ATTRIBUTE_TYPE type, CK_ULONG v) {
    Attr a{type, std::vector<CK_BYTE>(sizeof v)};
    std::memcpy(a.value.data(), &v, sizeof v);
    return a;
}

Attr boolAttr(CK_ATTRIBUTE_TYPE type, bool v) {
    return {type, {static_cast<CK_BYTE>(v ? CK_TRUE : CK_FALSE)}};
}

Attr textAttr(CK_ATTRIBUTE_TYPE type, const std::string& v) {
    return {type, std::vector<CK_BYTE>(v.begin(), v.end())};
}

Attr bytesAttr(CK_ATTRIBUTE_TYPE type, std::vector<CK_BYTE> v) {
    return {type, std::move(v)};
}

std::vector<CK_ATTRIBUTE> raw(std::vector<Attr>& attrs) {
    std::vector<CK_ATTRIBUTE> out;
    for (Attr& a : attrs)
        out.push_back({a.type, a.value.empty() ? nullptr : a.value.data(), a.value.size()});
    return out;
}

CK_RV createObject(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, std::vector<Attr> attrs,
                   CK_OBJECT_HANDLE* out) {
    auto t = raw(attrs);
    return f->C_CreateObject(s, t.data(), t.size(), out);
}

std::vector<Attr> dataObject(bool onToken, bool isPrivate, const std::string& label,
                             const std::string& value) {
    return {ulongAttr(CKA_CLASS, CKO_DATA), boolAttr(CKA_TOKEN, onToken),
            boolAttr(CKA_PRIVATE, isPrivate), textAttr(CKA_LABEL, label),
            textAttr(CKA_VALUE, value)};
}

std::vector<CK_OBJECT_HANDLE> findAll(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s,
                                      std::vector<Attr> tmpl) {
    auto t = raw(tmpl);
    std::vector<CK_OBJECT_HANDLE> out;
    EXPECT_EQ(f->C_FindObjectsInit(s, t.data(), t.size()), CKR_OK);
    CK_OBJECT_HANDLE h[7];
    CK_ULONG n = 0;
    do {
        EXPECT_EQ(f->C_FindObjects(s, h, 7, &n), CKR_OK);
        out.insert(out.end(), h, h + n);
    } while (n == 7);
    EXPECT_EQ(f->C_FindObjectsFinal(s), CKR_OK);
    return out;
}

std::vector<CK_BYTE> readAttr(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h,
                              CK_ATTRIBUTE_TYPE type, CK_RV* rv) {
    CK_ATTRIBUTE a{type, nullptr, 0};
    CK_RV r = f->C_GetAttributeValue(s, h, &a, 1);
    std::vector<CK_BYTE> value;
    if (r == CKR_OK) {
        value.resize(a.ulValueLen);
        a.pValue = value.data();
        r = f->C_GetAttributeValue(s, h, &a, 1);
    }
    if (rv)
        *rv = r;
    return r == CKR_OK ? value : std::vector<CK_BYTE>{};
}

std::string trimmed(const CK_UTF8CHAR* field, std::size_t size) {
    std::string s(reinterpret_cast<const char*>(field), size);
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

} // namespace softtoken::module::test
