// Handles that name a token object by what it is: the same object keeps its
// handle while others come and go, alike objects share one, secrets stay out.

#include "CertFixtures.h"
#include "ObjectHandles.h"
#include "Pkcs12Import.h"
#include "TokenFixture.h"

#include <map>

namespace {

class ObjectHandleTest : public TokenTest {
protected:
    // Handle of every loaded record, by the module's handle.
    std::map<CK_OBJECT_HANDLE, std::string> handles() {
        EXPECT_TRUE(slot()->loadObjects());
        std::map<CK_OBJECT_HANDLE, std::string> out;
        for (const TokenObjectInfo& record : slot()->objects) {
            std::optional<std::string> handle = ObjectHandleOf(fns(), session(), record);
            EXPECT_TRUE(handle.has_value());
            out[record.handle] = handle.value_or("");
        }
        return out;
    }
    std::vector<const TokenObjectInfo*> find(const std::string& handle) {
        return FindObjectsByHandle(fns(), session(), slot()->objects, handle);
    }
    CK_OBJECT_HANDLE putPrivateData(const std::string& value) {
        CK_OBJECT_CLASS objectClass = CKO_DATA;
        CK_BBOOL yes = CK_TRUE;
        const char label[] = "secret";
        CK_ATTRIBUTE attributes[] = {
            {CKA_CLASS, &objectClass, sizeof objectClass},
            {CKA_TOKEN, &yes, sizeof yes},
            {CKA_PRIVATE, &yes, sizeof yes},
            {CKA_LABEL, const_cast<char*>(label), sizeof label - 1},
            {CKA_VALUE, const_cast<char*>(value.data()), value.size()},
        };
        CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
        EXPECT_EQ(realFns()->C_CreateObject(session(), attributes, 5, &handle), CKR_OK);
        return handle;
    }
};

TEST_F(ObjectHandleTest, AnObjectKeepsItsHandleWhileOthersComeAndGo) {
    certs::EvpPkeyPtr key = fixtures::rsaKey();
    certs::X509Ptr alice = fixtures::selfSigned("Alice", key.get());
    fixtures::writeFile(path("alice.pfx"), fixtures::makePkcs12(key.get(), alice.get()));
    // The same file twice: two containers whose objects differ only in their container.
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(ImportPkcs12File(fns(), session(), path("alice.pfx"), "secret", {},
                                   MakeContainerName(library()).name, UsageBoth, nullptr)
                      .result,
                  ImportResult::Success);
    putData("notes", std::nullopt);

    std::map<CK_OBJECT_HANDLE, std::string> first = handles();
    ASSERT_EQ(first.size(), 7u);
    std::map<std::string, CK_OBJECT_HANDLE> distinct;
    for (const auto& [object, handle] : first) {
        EXPECT_EQ(handle.size(), kObjectHandleLength);
        EXPECT_EQ(handle.find_first_not_of("0123456789abcdef"), std::string::npos) << handle;
        distinct[handle] = object;
    }
    ASSERT_EQ(distinct.size(), first.size()) << "two objects share a handle";

    // One object goes, another comes: every other object keeps its handle,
    // whatever the module now numbers it, and the gone one names nothing.
    CK_OBJECT_HANDLE victim = first.begin()->first;
    std::string victimHandle = first.begin()->second;
    ASSERT_EQ(realFns()->C_DestroyObject(session(), victim), CKR_OK);
    putCertificate(fixtures::selfSigned("Bob", key.get()).get(), std::string("SOME-CONTAINER"));
    std::map<CK_OBJECT_HANDLE, std::string> second = handles();
    ASSERT_EQ(second.size(), first.size());
    for (const auto& [handle, object] : distinct) {
        if (handle == victimHandle)
            continue;
        std::vector<const TokenObjectInfo*> named = find(handle);
        ASSERT_EQ(named.size(), 1u) << handle;
        EXPECT_EQ(*ObjectHandleOf(fns(), session(), *named[0]), handle);
    }
    EXPECT_TRUE(find(victimHandle).empty());
}

TEST_F(ObjectHandleTest, AlikeObjectsShareAHandleAndSecretValuesStayOut) {
    putData("notes", std::nullopt);
    putData("notes", std::nullopt);
    std::map<CK_OBJECT_HANDLE, std::string> all = handles();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all.begin()->second, all.rbegin()->second);
    EXPECT_EQ(find(all.begin()->second).size(), 2u);

    // A private data object's value does not enter its handle: two that
    // differ only there are alike, and neither can be picked.
    putPrivateData("1234");
    putPrivateData("5678");
    std::map<CK_OBJECT_HANDLE, std::string> more = handles();
    ASSERT_EQ(more.size(), 4u);
    std::map<std::string, int> counts;
    for (const auto& [object, handle] : more)
        ++counts[handle];
    EXPECT_EQ(counts.size(), 2u);
    for (const auto& [handle, count] : counts)
        EXPECT_EQ(count, 2) << handle;
}

TEST_F(ObjectHandleTest, AnUnreadableObjectHasNoHandleAndTypedHandlesAreChecked) {
    putData("notes", std::nullopt);
    std::map<CK_OBJECT_HANDLE, std::string> all = handles();
    ASSERT_EQ(all.size(), 1u);
    intercept().onGetAttribute = [](CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR attributes,
                                    CK_ULONG) -> std::optional<CK_RV> {
        if (attributes[0].type == CKA_VALUE)
            return CKR_DEVICE_ERROR;
        return std::nullopt;
    };
    EXPECT_FALSE(ObjectHandleOf(fns(), session(), slot()->objects[0]).has_value());
    EXPECT_TRUE(find(all.begin()->second).empty());
    intercept().onGetAttribute = nullptr;

    std::string upper = all.begin()->second;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(ParseObjectHandle(upper), all.begin()->second);
    for (const char* bad : {"", "4", "0123456789a", "0123456789abc", "0123456789ag", " 123456789ab"})
        EXPECT_FALSE(ParseObjectHandle(bad).has_value()) << bad;
}

} // namespace
