#include "ModuleFixture.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>

namespace softtoken::module::test {
namespace {

struct Polled {
    CK_RV rv;
    CK_SLOT_ID slot;
    CK_ULONG event;
};

Polled poll(VendorAuxFunctionList* aux) {
    Polled p{0, 99, 99};
    CK_ULONG extra = 77;
    p.rv = aux->E_PollSlotEvent(E_POLL_DONT_BLOCK, &p.slot, &p.event, &extra, nullptr);
    if (p.rv == CKR_OK && extra != 0)
        p.rv = CKR_GENERAL_ERROR;
    return p;
}

TokenInitParams initParams(const char* label, const char* so, const char* user) {
    TokenInitParams p{};
    p.headerByte0 = 1;
    p.label = label;
    p.soPin = so;
    p.userPin = user;
    p.soPinErrorCount = 5;
    p.userPinErrorCount = 7;
    p.fixedByte20 = 9;
    p.fixedByte21 = 9;
    p.publicMemorySize = 6000;
    p.privateMemorySize = 7000;
    p.tokenInitParameter = 0x900;
    return p;
}

using softtoken_module_Vendor = ModuleTest;

TEST_F(softtoken_module_Vendor, InitTokenSetsEverythingAndWipesObjects) {
    addToken("alpha", 1);
    ASSERT_EQ(initialize(), CKR_OK);
    CK_SESSION_HANDLE s = openSession();
    CK_OBJECT_HANDLE h = 0;
    ASSERT_EQ(createObject(f(), s, dataObject(true, false, "old"), &h), CKR_OK);
    const std::string serial(reinterpret_cast<const char*>(tokenInfo().serialNumber), 16);

    TokenInitParams p = initParams("Renewed", "new-so-pin", "new-user-pin");
    EXPECT_EQ(aux()->E_InitToken(1, &p), CKR_SESSION_EXISTS);
    ASSERT_EQ(f()->C_CloseAllSessions(1), CKR_OK);
    EXPECT_EQ(aux()->E_InitToken(1, nullptr), CKR_ARGUMENTS_BAD);
    TokenInitParams noPin = p;
    noPin.userPin = nullptr;
    EXPECT_EQ(aux()->E_InitToken(1, &noPin), CKR_ARGUMENTS_BAD);
    TokenInitParams shortPin = initParams("Renewed", "abc", "new-user-pin");
    EXPECT_EQ(aux()->E_InitToken(1, &shortPin), CKR_PIN_LEN_RANGE);
    EXPECT_EQ(aux()->E_InitToken(2, &p), CKR_TOKEN_NOT_PRESENT);
    ASSERT_EQ(aux()->E_InitToken(1, &p), CKR_OK);

    const CK_TOKEN_INFO t = tokenInfo();
    EXPECT_EQ(trimmed(t.label, 32), "Renewed");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(t.serialNumber), 16), serial);
    EXPECT_EQ(t.ulTotalPublicMemory, 6000u);
    EXPECT_EQ(t.ulTotalPrivateMemory, 7000u);
    EXPECT_TRUE(t.flags & CKF_USER_PIN_INITIALIZED);
    CK_BYTE counts[8];
    std::memset(counts, 0xAA, sizeof counts);
    ASSERT_EQ(aux()->E_GetPinErrorCounts(1, counts), CKR_OK);
    EXPECT_EQ(std::vector<CK_BYTE>(counts, counts + 8),
              (std::vector<CK_BYTE>{5, 0, 7, 0, 0, 0, 0, 0}));
    EXPECT_EQ(aux()->E_GetPinErrorCounts(1, nullptr), CKR_ARGUMENTS_BAD);

    s = openSession();
    EXPECT_TRUE(findAll(f(), s).empty());
    EXPECT_EQ(login(s), CKR_PIN_INCORRECT);
    EXPECT_EQ(login(s, CKU_USER, "new-user-pin"), CKR_OK);
    // Our own change is not reported back to us.
    EXPECT_EQ(poll(aux()).rv, CKR_NO_EVENT);
}

TEST_F(softtoken_module_Vendor, SetTokenLabelChangesOnlyTheLabel) {
    addToken("alpha", 1);
    ASSERT_EQ(initialize(), CKR_OK);
    const CK_TOKEN_INFO before = tokenInfo();
    EXPECT_EQ(aux()->E_SetTokenLabel(1, 2, nullptr, 0, "x"), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(aux()->E_SetTokenLabel(1, 1, nullptr, 0, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(aux()->E_SetTokenLabel(1, 1, nullptr, 0, std::string(33, 'L').c_str()),
              CKR_ARGUMENTS_BAD);
    ASSERT_EQ(aux()->E_SetTokenLabel(1, 1, nullptr, 0, std::string(32, 'L').c_str()), CKR_OK);
    const CK_TOKEN_INFO after = tokenInfo();
    EXPECT_EQ(trimmed(after.label, 32), std::string(32, 'L'));
    EXPECT_EQ(std::memcmp(before.serialNumber, after.serialNumber, 16), 0);
    EXPECT_EQ(after.flags, before.flags);
    const CK_SESSION_HANDLE s = openSession();
    EXPECT_EQ(login(s), CKR_OK);
}

TEST_F(softtoken_module_Vendor, PollArgumentsAndIdle) {
    ASSERT_EQ(initialize(), CKR_OK);
    CK_SLOT_ID slot = 0;
    CK_ULONG event = 0, extra = 0;
    EXPECT_EQ(aux()->E_PollSlotEvent(0, &slot, &event, &extra, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(aux()->E_PollSlotEvent(1, nullptr, &event, &extra, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(aux()->E_PollSlotEvent(1, &slot, &event, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(poll(aux()).rv, CKR_NO_EVENT);
    EXPECT_EQ(f()->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_NO_EVENT);

    // A store shared with a configuration of more readers: their events are not ours.
    appendEvent(3, E_EVENT_TOKEN_INSERTED);
    EXPECT_EQ(poll(aux()).rv, CKR_NO_EVENT);
    // Slot ids start at 1 for the vendor calls too.
    CK_BYTE counts[8] = {};
    EXPECT_EQ(aux()->E_GetPinErrorCounts(0, counts), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(aux()->E_SetTokenLabel(0, 1, nullptr, 0, "x"), CKR_SLOT_ID_INVALID);
}

TEST_F(softtoken_module_Vendor, InsertAndRemoveAreSeenOnceInOrderByTwoProcesses) {
    addToken("alpha", 2);
    removeToken(2);
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CK_FUNCTION_LIST* fl = meridia().f;
        VendorAuxFunctionList* ax = meridia().aux;
        if (fl->C_Initialize(nullptr) != CKR_OK)
            _exit(2);
        char c = 'r';
        if (write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) != 1)
            _exit(3);
        const Polled a = poll(ax), b = poll(ax), none = poll(ax);
        CK_SLOT_INFO info{};
        fl->C_GetSlotInfo(2, &info);
        const bool ok = a.rv == CKR_OK && a.slot == 2 && a.event == 1 && b.rv == CKR_OK &&
                        b.slot == 2 && b.event == 2 && none.rv == CKR_NO_EVENT &&
                        !(info.flags & CKF_TOKEN_PRESENT);
        fl->C_Finalize(nullptr);
        _exit(ok ? 0 : 4);
    }
    ASSERT_EQ(initialize(), CKR_OK);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);

    std::unique_ptr<store::SlotTable> slots;
    ASSERT_EQ(store::SlotTable::open(storeConfig(), slots), CKR_OK);
    ASSERT_EQ(slots->insert(1, "alpha"), CKR_OK);
    appendEvent(2, E_EVENT_TOKEN_INSERTED);
    const Polled in = poll(aux());
    EXPECT_EQ(in.rv, CKR_OK);
    EXPECT_EQ(in.slot, 2u); // the second reader
    EXPECT_EQ(in.event, E_EVENT_TOKEN_INSERTED);
    CK_SLOT_INFO info{};
    ASSERT_EQ(f()->C_GetSlotInfo(2, &info), CKR_OK);
    EXPECT_TRUE(info.flags & CKF_TOKEN_PRESENT);
    const CK_SESSION_HANDLE s = openSession(2);

    ASSERT_EQ(slots->remove(1), CKR_OK);
    appendEvent(2, E_EVENT_TOKEN_REMOVED);
    ASSERT_EQ(write(go[1], "g", 1), 1);
    const Polled out = poll(aux());
    EXPECT_EQ(out.rv, CKR_OK);
    EXPECT_EQ(out.event, E_EVENT_TOKEN_REMOVED);
    EXPECT_EQ(poll(aux()).rv, CKR_NO_EVENT);
    ASSERT_EQ(f()->C_GetSlotInfo(2, &info), CKR_OK);
    EXPECT_FALSE(info.flags & CKF_TOKEN_PRESENT);
    CK_SESSION_INFO si{};
    EXPECT_EQ(f()->C_GetSessionInfo(s, &si), CKR_SESSION_HANDLE_INVALID);

    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(softtoken_module_Vendor, LabelChangedByAnotherProcessIsReported) {
    addToken("alpha", 1);
    ASSERT_EQ(initialize(), CKR_OK);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CK_FUNCTION_LIST* fl = meridia().f;
        VendorAuxFunctionList* ax = meridia().aux;
        fl->C_Finalize(nullptr);
        if (fl->C_Initialize(nullptr) != CKR_OK)
            _exit(2);
        const CK_RV rv = ax->E_SetTokenLabel(1, 1, nullptr, 0, "From child");
        const bool quiet = poll(ax).rv == CKR_NO_EVENT;
        fl->C_Finalize(nullptr);
        _exit(rv == CKR_OK && quiet ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    const Polled p = poll(aux());
    EXPECT_EQ(p.rv, CKR_OK);
    EXPECT_EQ(p.slot, 1u);
    EXPECT_EQ(p.event, E_EVENT_LABEL_CHANGED);
    EXPECT_EQ(trimmed(tokenInfo().label, 32), "From child");

    // Our own relabel stays quiet for us.
    ASSERT_EQ(aux()->E_SetTokenLabel(1, 1, nullptr, 0, "Mine"), CKR_OK);
    EXPECT_EQ(poll(aux()).rv, CKR_NO_EVENT);
}

TEST_F(softtoken_module_Vendor, ForeignChangesAreReportedAndOwnOnesAreNot) {
    addToken("alpha", 1);
    ASSERT_EQ(initialize(), CKR_OK);
    CK_SESSION_HANDLE s = openSession();
    CK_UTF8CHAR oldPin[] = "user-secret";
    CK_UTF8CHAR newPin[] = "other-pin";
    ASSERT_EQ(f()->C_SetPIN(s, oldPin, 11, newPin, 9), CKR_OK);
    ASSERT_EQ(login(s, CKU_SO, kSoPin), CKR_OK);
    CK_UTF8CHAR soPin[] = "so-secret";
    ASSERT_EQ(f()->C_SetPIN(s, soPin, 9, soPin, 9), CKR_OK);
    ASSERT_EQ(f()->C_InitPIN(s, newPin, 9), CKR_OK);
    EXPECT_EQ(poll(aux()).rv, CKR_NO_EVENT);
    ASSERT_EQ(f()->C_Logout(s), CKR_OK);

    // The same codes written by someone else arrive, in order.
    appendEvent(1, E_EVENT_USER_PIN_CHANGED);
    appendEvent(1, E_EVENT_SO_PIN_CHANGED);
    Polled p = poll(aux());
    EXPECT_EQ(p.event, E_EVENT_USER_PIN_CHANGED);
    p = poll(aux());
    EXPECT_EQ(p.event, E_EVENT_SO_PIN_CHANGED);

    // A re-initialization elsewhere ends our login on that token.
    ASSERT_EQ(login(s, CKU_USER, "other-pin"), CKR_OK);
    appendEvent(1, E_EVENT_TOKEN_REINITIALIZED);
    CK_SLOT_ID slot = 99;
    ASSERT_EQ(f()->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_OK);
    EXPECT_EQ(slot, 1u);
    CK_SESSION_INFO info{};
    ASSERT_EQ(f()->C_GetSessionInfo(s, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_PUBLIC_SESSION);
}

TEST_F(softtoken_module_Vendor, InitTokenRefusesALongLabel) {
    addToken("alpha", 1);
    ASSERT_EQ(initialize(), CKR_OK);
    const std::string label(33, 'x');
    TokenInitParams p = initParams(label.c_str(), "new-so-pin", "new-user-pin");
    EXPECT_EQ(aux()->E_InitToken(1, &p), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(trimmed(tokenInfo().label, 32), "Test token");
    EXPECT_EQ(f()->C_CopyObject(0, 0, nullptr, 0, nullptr), CKR_FUNCTION_NOT_SUPPORTED);
}

TEST_F(softtoken_module_Vendor, DamagedTokenIsNotRecognizedWhileTheOtherSlotWorks) {
    addToken("alpha", 1);
    addToken("beta", 2);
    {
        std::fstream file(root_ + "/store/alpha.token",
                          std::ios::in | std::ios::out | std::ios::binary);
        ASSERT_TRUE(file);
        file.seekp(0);
        file.write("garbage garbage garbage garbage!", 32);
    }
    ASSERT_EQ(initialize(), CKR_OK);
    CK_SLOT_INFO info{};
    ASSERT_EQ(f()->C_GetSlotInfo(1, &info), CKR_OK);
    EXPECT_TRUE(info.flags & CKF_TOKEN_PRESENT);
    CK_TOKEN_INFO t{};
    EXPECT_EQ(f()->C_GetTokenInfo(1, &t), CKR_TOKEN_NOT_RECOGNIZED);
    CK_SESSION_HANDLE s = 0;
    EXPECT_EQ(f()->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &s),
              CKR_TOKEN_NOT_RECOGNIZED);
    EXPECT_EQ(f()->C_GetTokenInfo(2, &t), CKR_OK);
    s = openSession(2);
    EXPECT_EQ(login(s), CKR_OK);
}

TEST_F(softtoken_module_Vendor, OnlyEntryPointsAreExported) {
    for (const char* path : {MERIDIA_MODULE_PATH, SKYRA_MODULE_PATH}) {
        const std::string cmd = std::string("nm -D --defined-only ") + path;
        FILE* p = popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        char line[512];
        int entries = 0;
        bool aux = false;
        while (fgets(line, sizeof line, p)) {
            std::string name(line);
            name = name.substr(name.find_last_of(' ') + 1);
            name.erase(name.find_last_not_of("\n") + 1);
            if (name == "E_GetAuxFunctionList")
                aux = true;
            else if (name.rfind("C_", 0) == 0)
                ++entries;
            else
                ADD_FAILURE() << path << " exports " << name;
        }
        EXPECT_EQ(pclose(p), 0);
        EXPECT_TRUE(aux) << path;
        EXPECT_EQ(entries, 68) << path;
    }
}

TEST_F(softtoken_module_Vendor, SeveralThreadsSignAndPollAtOnce) {
    addToken("alpha", 1);
    ASSERT_EQ(initialize(), CKR_OK);
    const CK_SESSION_HANDLE s = openSession();
    ASSERT_EQ(login(s), CKR_OK);
    CK_MECHANISM gen{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    std::vector<Attr> pub{ulongAttr(CKA_MODULUS_BITS, 1024)};
    auto rp = raw(pub);
    CK_OBJECT_HANDLE hPub = 0, hPriv = 0;
    ASSERT_EQ(f()->C_GenerateKeyPair(s, &gen, rp.data(), rp.size(), nullptr, 0, &hPub, &hPriv),
              CKR_OK);

    std::atomic<int> failures{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> signers;
    for (int t = 0; t < 4; ++t)
        signers.emplace_back([&] {
            CK_SESSION_HANDLE mine = 0;
            if (f()->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &mine) != CKR_OK) {
                ++failures;
                return;
            }
            CK_MECHANISM mech{CKM_SHA256_RSA_PKCS, nullptr, 0};
            CK_BYTE data[] = "threaded";
            for (int i = 0; i < 20; ++i) {
                CK_BYTE sig[128];
                CK_ULONG len = sizeof sig;
                if (f()->C_SignInit(mine, &mech, hPriv) != CKR_OK ||
                    f()->C_Sign(mine, data, sizeof data, sig, &len) != CKR_OK ||
                    f()->C_VerifyInit(mine, &mech, hPub) != CKR_OK ||
                    f()->C_Verify(mine, data, sizeof data, sig, len) != CKR_OK)
                    ++failures;
            }
        });
    std::thread poller([&] {
        while (!stop) {
            const CK_RV rv = poll(aux()).rv;
            CK_SLOT_INFO info{};
            if ((rv != CKR_NO_EVENT && rv != CKR_OK) || f()->C_GetSlotInfo(1, &info) != CKR_OK)
                ++failures;
        }
    });
    for (auto& t : signers)
        t.join();
    stop = true;
    poller.join();
    EXPECT_EQ(failures.load(), 0);
}

} // namespace
} // namespace softtoken::module::test
