// C_FindObjects lists objects oldest first: the token providers take their container order from it.
#include "ModuleFixture.h"

namespace softtoken::module::test {
namespace {

class softtoken_module_ObjectOrder : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        addToken("alpha", 1, 16000, 16000);
        ASSERT_EQ(initialize(), CKR_OK);
        s_ = openSession();
    }

    void create(const std::string& label, bool isPrivate = false, bool onToken = true) {
        CK_OBJECT_HANDLE h = 0;
        ASSERT_EQ(createObject(f(), s_, dataObject(onToken, isPrivate, label), &h), CKR_OK) << label;
    }

    std::vector<std::string> labels() {
        std::vector<std::string> out;
        for (CK_OBJECT_HANDLE h : findAll(f(), s_)) {
            std::vector<CK_BYTE> v = readAttr(f(), s_, h, CKA_LABEL);
            out.emplace_back(v.begin(), v.end());
        }
        return out;
    }

    CK_SESSION_HANDLE s_ = 0;
};

using Labels = std::vector<std::string>;

TEST_F(softtoken_module_ObjectOrder, FollowsCreationAcrossDestroyRestartAndOtherWriters) {
    create("one");
    create("two");
    create("three");
    // A destroyed object's place is not taken again: what comes next is newest.
    std::vector<CK_OBJECT_HANDLE> all = findAll(f(), s_);
    ASSERT_EQ(all.size(), 3u);
    ASSERT_EQ(f()->C_DestroyObject(s_, all[2]), CKR_OK);
    create("four");
    create("session", false, false);
    create("five");
    EXPECT_EQ(labels(), (Labels{"one", "two", "four", "session", "five"}));

    // Another writer of the same token file (another process): its object comes last.
    {
        std::unique_ptr<store::TokenDatabase> db;
        ASSERT_EQ(store::TokenDatabase::open(storeConfig(), "alpha", db), CKR_OK);
        store::ObjectRecord r;
        r.attributes[CKA_CLASS] = ulongAttr(0, CKO_DATA).value;
        r.attributes[CKA_TOKEN] = {CK_TRUE};
        r.attributes[CKA_PRIVATE] = {CK_FALSE};
        r.attributes[CKA_LABEL] = textAttr(0, "elsewhere").value;
        ASSERT_EQ(db->createObject(nullptr, r), CKR_OK);
    }
    EXPECT_EQ(labels(), (Labels{"one", "two", "four", "session", "five", "elsewhere"}));

    // A fresh instance reads the token objects back in the same order.
    ASSERT_EQ(f()->C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(initialize(), CKR_OK);
    s_ = openSession();
    EXPECT_EQ(labels(), (Labels{"one", "two", "four", "five", "elsewhere"}));
}

TEST_F(softtoken_module_ObjectOrder, PublicObjectsKeepTheirOrderWhateverTheLoginState) {
    ASSERT_EQ(login(s_), CKR_OK);
    create("public-1");
    create("private-1", true);
    create("public-2");
    create("private-2", true);
    create("public-3");
    EXPECT_EQ(labels(), (Labels{"public-1", "private-1", "public-2", "private-2", "public-3"}));

    ASSERT_EQ(f()->C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(initialize(), CKR_OK);
    s_ = openSession();
    EXPECT_EQ(labels(), (Labels{"public-1", "public-2", "public-3"}));
    // Logged in before anything was read: everything in creation order.
    ASSERT_EQ(f()->C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(initialize(), CKR_OK);
    s_ = openSession();
    ASSERT_EQ(login(s_), CKR_OK);
    EXPECT_EQ(labels(), (Labels{"public-1", "private-1", "public-2", "private-2", "public-3"}));
}

} // namespace
} // namespace softtoken::module::test
