#include "ModuleFixture.h"

#include <sys/wait.h>
#include <unistd.h>

namespace softtoken::module::test {
namespace {

CK_RV createMutex(CK_VOID_PTR_PTR m) {
    *m = new std::mutex;
    return CKR_OK;
}
CK_RV destroyMutex(CK_VOID_PTR m) {
    delete static_cast<std::mutex*>(m);
    return CKR_OK;
}
int gAppLocks = 0;
CK_RV lockMutex(CK_VOID_PTR m) {
    static_cast<std::mutex*>(m)->lock();
    ++gAppLocks;
    return CKR_OK;
}
CK_RV unlockMutex(CK_VOID_PTR m) {
    static_cast<std::mutex*>(m)->unlock();
    return CKR_OK;
}

using softtoken_module_Init = ModuleTest;

TEST_F(softtoken_module_Init, InitializeAndFinalizeFollowTheStandard) {
    CK_SLOT_ID slots[2];
    CK_ULONG n = 2;
    EXPECT_EQ(f()->C_GetSlotList(CK_FALSE, slots, &n), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(f()->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);

    ASSERT_EQ(initialize(), CKR_OK);
    EXPECT_EQ(initialize(), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    int reserved = 0;
    EXPECT_EQ(f()->C_Finalize(&reserved), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f()->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(f()->C_GetSlotList(CK_FALSE, slots, &n), CKR_CRYPTOKI_NOT_INITIALIZED);
}

TEST_F(softtoken_module_Init, LockingArgumentsAreChecked) {
    CK_C_INITIALIZE_ARGS args{};
    args.CreateMutex = createMutex; // only one of four
    EXPECT_EQ(f()->C_Initialize(&args), CKR_ARGUMENTS_BAD);

    args = CK_C_INITIALIZE_ARGS{};
    int reserved = 0;
    args.pReserved = &reserved;
    EXPECT_EQ(f()->C_Initialize(&args), CKR_ARGUMENTS_BAD);

    args = CK_C_INITIALIZE_ARGS{};
    args.flags = CKF_OS_LOCKING_OK | CKF_LIBRARY_CANT_CREATE_OS_THREADS;
    ASSERT_EQ(f()->C_Initialize(&args), CKR_OK);
    EXPECT_EQ(f()->C_Finalize(nullptr), CKR_OK);
}

TEST_F(softtoken_module_Init, ApplicationMutexCallbacksAreUsedWithoutOsLocking) {
    CK_C_INITIALIZE_ARGS args{createMutex, destroyMutex, lockMutex, unlockMutex, 0, nullptr};
    ASSERT_EQ(f()->C_Initialize(&args), CKR_OK);
    gAppLocks = 0;
    CK_ULONG n = 0;
    EXPECT_EQ(f()->C_GetSlotList(CK_FALSE, nullptr, &n), CKR_OK);
    EXPECT_GT(gAppLocks, 0);
    EXPECT_EQ(f()->C_Finalize(nullptr), CKR_OK);

    args.flags = CKF_OS_LOCKING_OK; // our own locking preferred
    ASSERT_EQ(f()->C_Initialize(&args), CKR_OK);
    gAppLocks = 0;
    EXPECT_EQ(f()->C_GetSlotList(CK_FALSE, nullptr, &n), CKR_OK);
    EXPECT_EQ(gAppLocks, 0);
}

TEST_F(softtoken_module_Init, BadConfigurationFailsInitialization) {
    writeConfig("no_such_key = 1\n");
    EXPECT_EQ(initialize(), CKR_FUNCTION_FAILED);
}

TEST_F(softtoken_module_Init, InfoAndIdentityDifferBetweenTheTwoBuilds) {
    ASSERT_EQ(initialize(), CKR_OK);
    ASSERT_EQ(initialize(skyra()), CKR_OK);
    CK_INFO info{};
    ASSERT_EQ(f()->C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(info.cryptokiVersion.major, 2);
    EXPECT_EQ(info.cryptokiVersion.minor, 40);
    CK_INFO skyraInfo{};
    ASSERT_EQ(skyra().f->C_GetInfo(&skyraInfo), CKR_OK);
    EXPECT_EQ(trimmed(skyraInfo.libraryDescription, 32), "Skyra PKCS#11 Library.");
    EXPECT_EQ(trimmed(skyraInfo.manufacturerID, 32), trimmed(info.manufacturerID, 32));
    EXPECT_NE(trimmed(info.libraryDescription, 32), "Skyra PKCS#11 Library.");
    EXPECT_EQ(f()->C_GetInfo(nullptr), CKR_ARGUMENTS_BAD);

    addToken("alpha", 1);
    ASSERT_EQ(skyra().f->C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(initialize(skyra()), CKR_OK);
    CK_TOKEN_INFO t{};
    ASSERT_EQ(skyra().f->C_GetTokenInfo(1, &t), CKR_OK);
    EXPECT_EQ(trimmed(t.model, 16), "Torvik Skyra Key");
}

using softtoken_module_Slots = ModuleTest;

TEST_F(softtoken_module_Slots, SlotListFollowsTheTwoCallRuleAndPresenceFilter) {
    addToken("alpha", 2);
    ASSERT_EQ(initialize(), CKR_OK);
    CK_ULONG n = 0;
    ASSERT_EQ(f()->C_GetSlotList(CK_FALSE, nullptr, &n), CKR_OK);
    EXPECT_EQ(n, 2u);
    CK_SLOT_ID slots[2] = {99, 99};
    n = 1;
    EXPECT_EQ(f()->C_GetSlotList(CK_FALSE, slots, &n), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 2u);
    ASSERT_EQ(f()->C_GetSlotList(CK_FALSE, slots, &n), CKR_OK);
    // Numbered from 1: the manager ignores events for slot 0.
    EXPECT_EQ(slots[0], 1u);
    EXPECT_EQ(slots[1], 2u);
    n = 2;
    ASSERT_EQ(f()->C_GetSlotList(CK_TRUE, slots, &n), CKR_OK);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(slots[0], 2u);
    EXPECT_EQ(f()->C_GetSlotList(CK_FALSE, slots, nullptr), CKR_ARGUMENTS_BAD);

    CK_SLOT_INFO info{};
    ASSERT_EQ(f()->C_GetSlotInfo(1, &info), CKR_OK);
    EXPECT_EQ(info.flags, CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);
    ASSERT_EQ(f()->C_GetSlotInfo(2, &info), CKR_OK);
    EXPECT_EQ(info.flags, CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | CKF_TOKEN_PRESENT);
    EXPECT_EQ(f()->C_GetSlotInfo(3, &info), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(f()->C_GetSlotInfo(0, &info), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(f()->C_GetTokenInfo(2, nullptr), CKR_ARGUMENTS_BAD);
    CK_TOKEN_INFO t{};
    EXPECT_EQ(f()->C_GetTokenInfo(1, &t), CKR_TOKEN_NOT_PRESENT);
    EXPECT_EQ(f()->C_GetTokenInfo(8, &t), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(f()->C_GetTokenInfo(0, &t), CKR_SLOT_ID_INVALID);
    CK_SESSION_HANDLE s = 0;
    EXPECT_EQ(f()->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &s), CKR_SLOT_ID_INVALID);
}

TEST_F(softtoken_module_Slots, TokenInfoReportsTheStoredToken) {
    addToken("alpha", 1, 3000, 5000, "My label");
    ASSERT_EQ(initialize(), CKR_OK);
    const CK_TOKEN_INFO t = tokenInfo();
    EXPECT_EQ(trimmed(t.label, 32), "My label");
    const std::string serial(reinterpret_cast<const char*>(t.serialNumber), 16);
    EXPECT_EQ(serial.find(' '), std::string::npos) << serial;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(t.utcTime), 16), std::string(16, ' '));
    EXPECT_EQ(t.flags,
              CKF_RNG | CKF_LOGIN_REQUIRED | CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED);
    EXPECT_EQ(t.ulTotalPublicMemory, 3000u);
    EXPECT_EQ(t.ulFreePublicMemory, 3000u);
    EXPECT_EQ(t.ulTotalPrivateMemory, 5000u);
    EXPECT_EQ(t.ulFreePrivateMemory, 5000u);
    EXPECT_EQ(t.ulMinPinLen, 4u);
    EXPECT_EQ(t.ulMaxPinLen, 16u);
    EXPECT_EQ(t.ulSessionCount, 0u);

    openSession(1, false);
    openSession(1, true);
    const CK_TOKEN_INFO after = tokenInfo();
    EXPECT_EQ(after.ulSessionCount, 2u);
    EXPECT_EQ(after.ulRwSessionCount, 1u);
}

TEST_F(softtoken_module_Slots, MechanismsReportTheConfiguredRsaRange) {
    writeConfig("rsa_min_bits = 2048\nrsa_max_bits = 3072\n");
    addToken("alpha", 1);
    ASSERT_EQ(initialize(), CKR_OK);
    CK_ULONG n = 0;
    ASSERT_EQ(f()->C_GetMechanismList(1, nullptr, &n), CKR_OK);
    std::vector<CK_MECHANISM_TYPE> list(n);
    ASSERT_EQ(f()->C_GetMechanismList(1, list.data(), &n), CKR_OK);
    EXPECT_NE(std::find(list.begin(), list.end(), CKM_SHA256_RSA_PKCS), list.end());
    CK_MECHANISM_INFO info{};
    ASSERT_EQ(f()->C_GetMechanismInfo(1, CKM_RSA_PKCS_KEY_PAIR_GEN, &info), CKR_OK);
    EXPECT_EQ(info.ulMinKeySize, 2048u);
    EXPECT_EQ(info.ulMaxKeySize, 3072u);
    EXPECT_EQ(f()->C_GetMechanismInfo(1, CKM_AES_CBC, &info), CKR_MECHANISM_INVALID);
    EXPECT_EQ(f()->C_GetMechanismList(2, nullptr, &n), CKR_TOKEN_NOT_PRESENT);
}

using softtoken_module_Login = ModuleTest;

TEST_F(softtoken_module_Login, SessionRulesAndStates) {
    addToken("alpha", 1);
    ASSERT_EQ(initialize(), CKR_OK);
    CK_SESSION_HANDLE s = 0;
    EXPECT_EQ(f()->C_OpenSession(1, CKF_RW_SESSION, nullptr, nullptr, &s),
              CKR_SESSION_PARALLEL_NOT_SUPPORTED);
    EXPECT_EQ(f()->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, nullptr),
              CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f()->C_OpenSession(2, CKF_SERIAL_SESSION, nullptr, nullptr, &s),
              CKR_TOKEN_NOT_PRESENT);
    EXPECT_EQ(f()->C_OpenSession(6, CKF_SERIAL_SESSION, nullptr, nullptr, &s), CKR_SLOT_ID_INVALID);

    const CK_SESSION_HANDLE ro = openSession(1, false);
    const CK_SESSION_HANDLE rw = openSession(1, true);
    EXPECT_NE(ro, CK_INVALID_HANDLE);
    CK_SESSION_INFO info{};
    ASSERT_EQ(f()->C_GetSessionInfo(ro, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RO_PUBLIC_SESSION);
    EXPECT_EQ(info.flags, CKF_SERIAL_SESSION);
    ASSERT_EQ(f()->C_GetSessionInfo(rw, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_PUBLIC_SESSION);

    // SO cannot log in while a read-only session exists.
    EXPECT_EQ(login(rw, CKU_SO, kSoPin), CKR_SESSION_READ_ONLY_EXISTS);
    EXPECT_EQ(login(rw, 77, kUserPin), CKR_USER_TYPE_INVALID);
    EXPECT_EQ(f()->C_Logout(rw), CKR_USER_NOT_LOGGED_IN);

    ASSERT_EQ(login(ro), CKR_OK);
    EXPECT_EQ(login(rw), CKR_USER_ALREADY_LOGGED_IN); // shared by all sessions
    EXPECT_EQ(login(rw, CKU_SO, kSoPin), CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
    ASSERT_EQ(f()->C_GetSessionInfo(ro, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RO_USER_FUNCTIONS);
    ASSERT_EQ(f()->C_GetSessionInfo(rw, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_USER_FUNCTIONS);
    ASSERT_EQ(f()->C_Logout(ro), CKR_OK);

    ASSERT_EQ(f()->C_CloseSession(ro), CKR_OK);
    EXPECT_EQ(f()->C_CloseSession(ro), CKR_SESSION_HANDLE_INVALID);
    ASSERT_EQ(login(rw, CKU_SO, kSoPin), CKR_OK);
    ASSERT_EQ(f()->C_GetSessionInfo(rw, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_SO_FUNCTIONS);
    EXPECT_EQ(f()->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &s),
              CKR_SESSION_READ_WRITE_SO_EXISTS);

    // Closing the last session logs out.
    ASSERT_EQ(f()->C_CloseAllSessions(1), CKR_OK);
    EXPECT_EQ(f()->C_GetSessionInfo(rw, &info), CKR_SESSION_HANDLE_INVALID);
    const CK_SESSION_HANDLE again = openSession(1, true);
    ASSERT_EQ(f()->C_GetSessionInfo(again, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_PUBLIC_SESSION);
}

TEST_F(softtoken_module_Login, WrongPinsWalkTheFlagsToLocked) {
    addToken("alpha", 1);
    ASSERT_EQ(initialize(), CKR_OK);
    const CK_SESSION_HANDLE s = openSession();
    const CK_FLAGS pinFlags = CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED;
    EXPECT_EQ(tokenInfo().flags & pinFlags, 0u);
    EXPECT_EQ(login(s, CKU_USER, "wrong-pin"), CKR_PIN_INCORRECT);
    EXPECT_EQ(tokenInfo().flags & pinFlags, CKF_USER_PIN_COUNT_LOW);
    EXPECT_EQ(login(s, CKU_USER, "wrong-pin"), CKR_PIN_INCORRECT);
    EXPECT_EQ(tokenInfo().flags & pinFlags, CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY);
    EXPECT_EQ(login(s, CKU_USER, "wrong-pin"), CKR_PIN_INCORRECT);
    EXPECT_EQ(tokenInfo().flags & pinFlags, CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_LOCKED);
    EXPECT_EQ(login(s), CKR_PIN_LOCKED);

    // The count lives in the token: a restart sees it.
    ASSERT_EQ(f()->C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(initialize(), CKR_OK);
    EXPECT_TRUE(tokenInfo().flags & CKF_USER_PIN_LOCKED);

    // The SO walks its own flags.
    const CK_SESSION_HANDLE s2 = openSession();
    EXPECT_EQ(login(s2, CKU_SO, "wrong-pin"), CKR_PIN_INCORRECT);
    EXPECT_TRUE(tokenInfo().flags & CKF_SO_PIN_COUNT_LOW);
    EXPECT_FALSE(tokenInfo().flags & CKF_SO_PIN_FINAL_TRY);
}

// A length no token allows is refused before the PIN is read, whatever lies past it.
TEST_F(softtoken_module_Login, OverlongPinsAreRefusedUnread) {
    addToken("alpha", 1);
    ASSERT_EQ(initialize(), CKR_OK);
    const CK_SESSION_HANDLE s = openSession();
    CK_UTF8CHAR few[4] = {'1', '2', '3', '4'};
    const CK_ULONG huge = CK_ULONG(1) << 40;
    EXPECT_EQ(f()->C_Login(s, CKU_USER, few, huge), CKR_PIN_LEN_RANGE);
    EXPECT_EQ(f()->C_Login(s, CKU_USER, few, 256), CKR_PIN_LEN_RANGE);
    EXPECT_EQ(tokenInfo().flags & CKF_USER_PIN_COUNT_LOW, 0u);
    ASSERT_EQ(login(s), CKR_OK);
    EXPECT_EQ(f()->C_SetPIN(s, few, huge, few, 4), CKR_PIN_LEN_RANGE);
    EXPECT_EQ(f()->C_SetPIN(s, few, 4, few, huge), CKR_PIN_LEN_RANGE);
    ASSERT_EQ(f()->C_Logout(s), CKR_OK);
    CK_UTF8CHAR label[32];
    std::memset(label, ' ', sizeof label);
    EXPECT_EQ(f()->C_InitToken(1, few, huge, label), CKR_PIN_LEN_RANGE);
}

TEST_F(softtoken_module_Login, AnotherProcessSeesTheFailureCount) {
    addToken("alpha", 1);
    ASSERT_EQ(initialize(), CKR_OK);
    openSession();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The child's module state is a copy of ours: start it afresh.
        CK_FUNCTION_LIST* fl = meridia().f;
        fl->C_Finalize(nullptr);
        if (fl->C_Initialize(nullptr) != CKR_OK)
            _exit(2);
        CK_SESSION_HANDLE cs = 0;
        if (fl->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &cs) != CKR_OK)
            _exit(3);
        CK_UTF8CHAR wrong[] = "wrong-pin";
        const CK_RV rv = fl->C_Login(cs, CKU_USER, wrong, 9);
        fl->C_Finalize(nullptr);
        _exit(rv == CKR_PIN_INCORRECT ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(tokenInfo().flags & CKF_USER_PIN_COUNT_LOW);
}

TEST_F(softtoken_module_Login, InitPinUnblocksAndKeepsPrivateObjects) {
    addToken("alpha", 1);
    ASSERT_EQ(initialize(), CKR_OK);
    CK_SESSION_HANDLE s = openSession();
    ASSERT_EQ(login(s), CKR_OK);
    CK_OBJECT_HANDLE h = 0;
    ASSERT_EQ(createObject(f(), s, dataObject(true, true, "secret", "classified"), &h), CKR_OK);
    ASSERT_EQ(f()->C_Logout(s), CKR_OK);
    for (int i = 0; i < 3; ++i)
        login(s, CKU_USER, "wrong-pin");
    ASSERT_EQ(login(s), CKR_PIN_LOCKED);

    CK_UTF8CHAR newPin[] = "fresh-pin";
    EXPECT_EQ(f()->C_InitPIN(s, newPin, 9), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(login(s, CKU_SO, kSoPin), CKR_OK);
    ASSERT_EQ(f()->C_InitPIN(s, newPin, 9), CKR_OK);
    ASSERT_EQ(f()->C_Logout(s), CKR_OK);
    EXPECT_FALSE(tokenInfo().flags & CKF_USER_PIN_LOCKED);

    ASSERT_EQ(login(s, CKU_USER, "fresh-pin"), CKR_OK);
    const auto value = readAttr(f(), s, h, CKA_VALUE);
    EXPECT_EQ(std::string(value.begin(), value.end()), "classified");
}

TEST_F(softtoken_module_Login, SetPinChangesThePinOfWhoeverIsLoggedIn) {
    addToken("alpha", 1);
    ASSERT_EQ(initialize(), CKR_OK);
    const CK_SESSION_HANDLE ro = openSession(1, false);
    CK_UTF8CHAR oldPin[] = "user-secret";
    CK_UTF8CHAR newPin[] = "new-user";
    EXPECT_EQ(f()->C_SetPIN(ro, oldPin, 11, newPin, 8), CKR_SESSION_READ_ONLY);
    f()->C_CloseSession(ro);
    const CK_SESSION_HANDLE s = openSession();
    EXPECT_EQ(f()->C_SetPIN(s, nullptr, 3, newPin, 8), CKR_ARGUMENTS_BAD);
    // In a public session the user PIN changes.
    ASSERT_EQ(f()->C_SetPIN(s, oldPin, 11, newPin, 8), CKR_OK);
    EXPECT_EQ(login(s), CKR_PIN_INCORRECT);
    ASSERT_EQ(login(s, CKU_USER, "new-user"), CKR_OK);
    ASSERT_EQ(f()->C_Logout(s), CKR_OK);

    ASSERT_EQ(login(s, CKU_SO, kSoPin), CKR_OK);
    CK_UTF8CHAR soOld[] = "so-secret";
    CK_UTF8CHAR soNew[] = "new-so-pin";
    ASSERT_EQ(f()->C_SetPIN(s, soOld, 9, soNew, 10), CKR_OK);
    ASSERT_EQ(f()->C_Logout(s), CKR_OK);
    EXPECT_EQ(login(s, CKU_SO, "new-so-pin"), CKR_OK);
}

TEST_F(softtoken_module_Login, InitTokenWipesObjectsAndNeedsNoSessions) {
    addToken("alpha", 1);
    ASSERT_EQ(initialize(), CKR_OK);
    CK_SESSION_HANDLE s = openSession();
    CK_OBJECT_HANDLE h = 0;
    ASSERT_EQ(createObject(f(), s, dataObject(true, false, "keep?"), &h), CKR_OK);
    CK_UTF8CHAR label[32];
    std::memset(label, ' ', sizeof label);
    std::memcpy(label, "Fresh", 5);
    CK_UTF8CHAR so[] = "so-secret";
    EXPECT_EQ(f()->C_InitToken(1, so, 9, label), CKR_SESSION_EXISTS);
    ASSERT_EQ(f()->C_CloseAllSessions(1), CKR_OK);
    CK_UTF8CHAR wrong[] = "wrong-so";
    EXPECT_EQ(f()->C_InitToken(1, wrong, 8, label), CKR_PIN_INCORRECT);
    ASSERT_EQ(f()->C_InitToken(1, so, 9, label), CKR_OK);
    const CK_TOKEN_INFO t = tokenInfo();
    EXPECT_EQ(trimmed(t.label, 32), "Fresh");
    EXPECT_FALSE(t.flags & CKF_USER_PIN_INITIALIZED);
    s = openSession();
    EXPECT_TRUE(findAll(f(), s).empty());
    EXPECT_EQ(login(s), CKR_USER_PIN_NOT_INITIALIZED);
}

} // namespace
} // namespace softtoken::module::test
