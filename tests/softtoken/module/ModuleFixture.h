#pragma once

#include "softtoken/store/TokenStore.h"

#include <korvan/vendor_aux.h>
#include <p11-kit/pkcs11.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include <string>
#include <vector>

namespace softtoken::module::test {

// One loaded module: its standard and vendor tables.
struct LoadedModule {
    CK_FUNCTION_LIST* f = nullptr;
    VendorAuxFunctionList* aux = nullptr;
};

// The module under test, loaded once per process and kept loaded.
const LoadedModule& meridia();
const LoadedModule& skyra();

inline constexpr const char* kSoPin = "so-secret";
inline constexpr const char* kUserPin = "user-secret";

// A fresh store folder and configuration file per test; the module reads the
// file named by MERIDIA_TOKEN_CONF / SKYRA_TOKEN_CONF at C_Initialize.
class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Rewrites the configuration; extra lines are appended to the defaults.
    void writeConfig(const std::string& extra = "");
    store::Config storeConfig() const;
    // Slots are PKCS#11 slot ids (reader index + 1); the store keeps reader indexes.
    // Creates a token (user and SO PINs set, limits 3/3) and puts it in a slot.
    void addToken(const std::string& name, CK_SLOT_ID slot, std::uint32_t publicMemory = 4000,
                  std::uint32_t privateMemory = 4000, const std::string& label = "Test token");
    void removeToken(CK_SLOT_ID slot);
    void appendEvent(CK_SLOT_ID slot, CK_ULONG code, std::uint64_t origin = 42);

    CK_RV initialize(const LoadedModule& m = meridia());
    CK_SESSION_HANDLE openSession(CK_SLOT_ID slot = 1, bool rw = true);
    CK_RV login(CK_SESSION_HANDLE s, CK_USER_TYPE user = CKU_USER, const char* pin = kUserPin);
    CK_TOKEN_INFO tokenInfo(CK_SLOT_ID slot = 1);

    CK_FUNCTION_LIST* f() const { return meridia().f; }
    VendorAuxFunctionList* aux() const { return meridia().aux; }

    std::string root_;
    std::string configPath_;
    std::string extraConfig_;
};

// Template building without casts at every call site.
struct Attr {
    CK_ATTRIBUTE_TYPE type;
    std::vector<CK_BYTE> value;
};
Attr ulongAttr(CK_ATTRIBUTE_TYPE type, CK_ULONG v);
Attr boolAttr(CK_ATTRIBUTE_TYPE type, bool v);
Attr textAttr(CK_ATTRIBUTE_TYPE type, const std::string& v);
Attr bytesAttr(CK_ATTRIBUTE_TYPE type, std::vector<CK_BYTE> v);
std::vector<CK_ATTRIBUTE> raw(std::vector<Attr>& attrs);

CK_RV createObject(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, std::vector<Attr> attrs,
                   CK_OBJECT_HANDLE* out);
std::vector<Attr> dataObject(bool onToken, bool isPrivate, const std::string& label,
                             const std::string& value = "payload");
std::vector<CK_OBJECT_HANDLE> findAll(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s,
                                      std::vector<Attr> tmpl = {});
// Reads an attribute with the two-call rule; empty with rv set on failure.
std::vector<CK_BYTE> readAttr(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h,
                              CK_ATTRIBUTE_TYPE type, CK_RV* rv = nullptr);
std::string trimmed(const CK_UTF8CHAR* field, std::size_t size);

} // namespace softtoken::module::test
