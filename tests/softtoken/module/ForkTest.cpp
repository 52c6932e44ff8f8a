// A child process after fork() calls C_Initialize without C_Finalize, as PKCS#11 asks of it,
// and gets a module of its own while the parent's carries on.
#include "ModuleFixture.h"

#include <sys/wait.h>
#include <unistd.h>

namespace softtoken::module::test {
namespace {

using softtoken_module_Fork = ModuleTest;

// What the child found, as its exit status: 0 when everything held.
enum ChildStep : int {
    kOk = 0,
    kUsedTheCopy = 10,
    kInitializeFailed,
    kInheritedSession,
    kInheritedLogin,
    kLoginFailed,
    kWriteFailed,
    kPinChangeFailed,
};

int childAfterFork(CK_SESSION_HANDLE parentSession) {
    CK_FUNCTION_LIST* fl = meridia().f;
    // The parent's instance is not the child's to use.
    CK_INFO info{};
    if (fl->C_GetInfo(&info) != CKR_CRYPTOKI_NOT_INITIALIZED)
        return kUsedTheCopy;
    if (fl->C_Initialize(nullptr) != CKR_OK)
        return kInitializeFailed;
    CK_SESSION_INFO si{};
    if (fl->C_GetSessionInfo(parentSession, &si) != CKR_SESSION_HANDLE_INVALID)
        return kInheritedSession;
    CK_SESSION_HANDLE s = 0;
    if (fl->C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s) != CKR_OK ||
        fl->C_GetSessionInfo(s, &si) != CKR_OK || si.state != CKS_RW_PUBLIC_SESSION)
        return kInheritedLogin;
    auto* pin = reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(kUserPin));
    if (fl->C_Login(s, CKU_USER, pin, std::strlen(kUserPin)) != CKR_OK)
        return kLoginFailed;
    CK_OBJECT_HANDLE h = 0;
    if (createObject(fl, s, dataObject(true, true, "from the child"), &h) != CKR_OK)
        return kWriteFailed;
    // Reported to the parent only when the child writes with an origin of its own.
    if (fl->C_SetPIN(s, pin, std::strlen(kUserPin), pin, std::strlen(kUserPin)) != CKR_OK)
        return kPinChangeFailed;
    fl->C_Finalize(nullptr);
    return kOk;
}

TEST_F(softtoken_module_Fork, ChildGetsAFreshModuleAndTheParentKeepsItsOwn) {
    addToken("alpha", 1);
    ASSERT_EQ(initialize(), CKR_OK);
    const CK_SESSION_HANDLE s = openSession();
    ASSERT_EQ(login(s), CKR_OK);
    CK_OBJECT_HANDLE before = 0;
    ASSERT_EQ(createObject(f(), s, dataObject(true, true, "from the parent"), &before), CKR_OK);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(childAfterFork(s));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), kOk);

    // The parent's session, login and connections are untouched: it reads the child's
    // object and writes one more.
    CK_SESSION_INFO si{};
    ASSERT_EQ(f()->C_GetSessionInfo(s, &si), CKR_OK);
    EXPECT_EQ(si.state, CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(findAll(f(), s, {textAttr(CKA_LABEL, "from the child")}).size(), 1u);
    CK_OBJECT_HANDLE after = 0;
    EXPECT_EQ(createObject(f(), s, dataObject(true, false, "after the child"), &after), CKR_OK);
    EXPECT_EQ(findAll(f(), s, {boolAttr(CKA_TOKEN, true)}).size(), 3u);

    CK_SLOT_ID slot = 0;
    CK_ULONG event = 0, extra = 0;
    ASSERT_EQ(aux()->E_PollSlotEvent(1, &slot, &event, &extra, nullptr), CKR_OK);
    EXPECT_EQ(slot, 1u);
    EXPECT_EQ(event, E_EVENT_USER_PIN_CHANGED);
}

} // namespace
} // namespace softtoken::module::test
