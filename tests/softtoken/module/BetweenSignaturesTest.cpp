// What another process does to the token between two signatures is seen at the second one,
// however much the module keeps from the first.
#include "ModuleFixture.h"

#include <sys/wait.h>
#include <unistd.h>

namespace softtoken::module::test {
namespace {

class BetweenSignatures : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        addToken("alpha", 1);
        ASSERT_EQ(initialize(), CKR_OK);
        s_ = openSession();
        ASSERT_EQ(login(s_), CKR_OK);
        CK_MECHANISM mech{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
        std::vector<Attr> pub{ulongAttr(CKA_MODULUS_BITS, 1024), boolAttr(CKA_TOKEN, true)};
        std::vector<Attr> priv{boolAttr(CKA_TOKEN, true), textAttr(CKA_LABEL, "k")};
        auto rp = raw(pub), rq = raw(priv);
        ASSERT_EQ(f()->C_GenerateKeyPair(s_, &mech, rp.data(), rp.size(), rq.data(), rq.size(),
                                         &pub_, &priv_),
                  CKR_OK);
        ASSERT_EQ(sign(), CKR_OK);
    }

    // The SignInit result, or the Sign result when the init succeeded.
    CK_RV sign() {
        CK_MECHANISM mech{CKM_SHA256_RSA_PKCS, nullptr, 0};
        if (CK_RV rv = f()->C_SignInit(s_, &mech, priv_); rv != CKR_OK)
            return rv;
        CK_BYTE data[] = "text";
        CK_BYTE sig[256];
        CK_ULONG len = sizeof sig;
        return f()->C_Sign(s_, data, sizeof data - 1, sig, &len);
    }

    // Runs body in a child that never touches the loaded module; true when it returned 0.
    template <class F> bool inAnotherProcess(F body) {
        const pid_t pid = ::fork();
        if (pid == 0)
            ::_exit(body());
        int status = 0;
        return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
               WEXITSTATUS(status) == 0;
    }

    CK_SESSION_HANDLE s_ = 0;
    CK_OBJECT_HANDLE pub_ = 0, priv_ = 0;
};

TEST_F(BetweenSignatures, AKeyDestroyedElsewhereCannotSign) {
    ASSERT_TRUE(inAnotherProcess([this] {
        std::unique_ptr<store::TokenDatabase> db;
        store::SecureBytes key;
        std::vector<store::ObjectRecord> objects;
        if (store::TokenDatabase::open(storeConfig(), "alpha", db) != CKR_OK ||
            db->login(CKU_USER, store::SecureBytes(kUserPin, std::strlen(kUserPin)), key) != CKR_OK ||
            db->readObjects(&key, objects) != CKR_OK)
            return 1;
        for (const auto& o : objects)
            if (o.isPrivate && db->destroyObject(o.id) != CKR_OK)
                return 2;
        return 0;
    }));
    EXPECT_EQ(sign(), CKR_KEY_HANDLE_INVALID);
    EXPECT_TRUE(findAll(f(), s_, {ulongAttr(CKA_CLASS, CKO_PRIVATE_KEY)}).empty());
    EXPECT_EQ(findAll(f(), s_, {ulongAttr(CKA_CLASS, CKO_PUBLIC_KEY)}).size(), 1u);
}

TEST_F(BetweenSignatures, AChangedLabelIsReadBack) {
    ASSERT_TRUE(inAnotherProcess([this] {
        std::unique_ptr<store::TokenDatabase> db;
        std::vector<store::ObjectRecord> objects;
        if (store::TokenDatabase::open(storeConfig(), "alpha", db) != CKR_OK ||
            db->readObjects(nullptr, objects) != CKR_OK || objects.size() != 1)
            return 1;
        objects[0].attributes[CKA_LABEL] = textAttr(0, "renamed").value;
        return db->updateObject(nullptr, objects[0]) == CKR_OK ? 0 : 2;
    }));
    EXPECT_EQ(readAttr(f(), s_, pub_, CKA_LABEL), textAttr(0, "renamed").value);
    EXPECT_EQ(sign(), CKR_OK);
}

TEST_F(BetweenSignatures, ATokenPulledFromItsReaderEndsTheSession) {
    ASSERT_TRUE(inAnotherProcess([this] {
        std::unique_ptr<store::SlotTable> slots;
        std::unique_ptr<store::EventLog> log;
        if (store::SlotTable::open(storeConfig(), slots) != CKR_OK || slots->remove(0) != CKR_OK ||
            store::EventLog::open(storeConfig(), log) != CKR_OK)
            return 1;
        return log->append({0, E_EVENT_TOKEN_REMOVED, 42}) == CKR_OK ? 0 : 2;
    }));
    // Slot changes are read when the application looks at the slot, as a signer does first.
    CK_SLOT_INFO info{};
    ASSERT_EQ(f()->C_GetSlotInfo(1, &info), CKR_OK);
    EXPECT_EQ(info.flags & CKF_TOKEN_PRESENT, 0u);
    EXPECT_EQ(sign(), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(BetweenSignatures, AReinitializedTokenForgetsLoginAndKeys) {
    ASSERT_TRUE(inAnotherProcess([this] {
        std::unique_ptr<store::TokenDatabase> db;
        std::unique_ptr<store::EventLog> log;
        store::InitRequest r;
        r.label = "again";
        r.soPin = store::SecureBytes(kSoPin, std::strlen(kSoPin));
        r.userPin = store::SecureBytes(kUserPin, std::strlen(kUserPin));
        if (store::TokenDatabase::open(storeConfig(), "alpha", db) != CKR_OK ||
            db->initialize(r) != CKR_OK || store::EventLog::open(storeConfig(), log) != CKR_OK)
            return 1;
        return log->append({0, E_EVENT_TOKEN_REINITIALIZED, 42}) == CKR_OK ? 0 : 2;
    }));
    // The objects are gone at once; the login goes when the slot is looked at.
    EXPECT_EQ(sign(), CKR_KEY_HANDLE_INVALID);
    CK_SLOT_INFO info{};
    ASSERT_EQ(f()->C_GetSlotInfo(1, &info), CKR_OK);
    CK_SESSION_INFO session{};
    ASSERT_EQ(f()->C_GetSessionInfo(s_, &session), CKR_OK);
    EXPECT_EQ(session.state, CKS_RW_PUBLIC_SESSION);
    ASSERT_EQ(login(s_), CKR_OK);
    EXPECT_EQ(sign(), CKR_KEY_HANDLE_INVALID);
    EXPECT_TRUE(findAll(f(), s_).empty());
}

TEST_F(BetweenSignatures, NothingSignsAfterLogout) {
    ASSERT_EQ(f()->C_Logout(s_), CKR_OK);
    EXPECT_EQ(sign(), CKR_USER_NOT_LOGGED_IN);
}

} // namespace
} // namespace softtoken::module::test
