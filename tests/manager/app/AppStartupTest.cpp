#include "AppStartup.h"
#include "AppTestSupport.h"
#include "FakeSlotLibrary.h"
#include "MessageFlags.h"
#include "MessagePresenter.h"
#include "ProductConfig.h"
#include "SlotManager.h"
#include "TokenLibrary.h"
#include "platform/Registry.h"
#include "platform/SingleInstanceLock.h"

#include <chrono>

namespace {

int finalizeCalls = 0;
CK_RV countingFinalize(CK_VOID_PTR) {
    ++finalizeCalls;
    return CKR_OK;
}

class AppStartupTest : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        FakeSlotLibrary::reset();
        FakeSlotLibrary::current().functions.C_Finalize = countingFinalize;
        finalizeCalls = 0;
        slotManager.setPollInterval(std::chrono::hours(24));
        translator = makeTranslator();
        startup = std::make_unique<AppStartup>(library, slotManager, *translator);
        // Each test has a lock of its own, so a manager running on this
        // machine does not matter.
        startup->instanceText = "test-" + root_;
        startup->loadLibrary = [this] {
            ++libraryLoads;
            library.bindTables(&FakeSlotLibrary::current().functions,
                               &FakeSlotLibrary::current().aux);
            return true;
        };
        startup->createMainWindow = [this] {
            ++windowsCreated;
            return windowResult;
        };
    }
    void TearDown() override {
        startup.reset();
        slotManager.shutdown();
        library.unload();
        AppTest::TearDown();
    }

    void addSlot(CK_SLOT_ID slotId) {
        FakeSlotLibrary::current().slotList.push_back(slotId);
        FakeSlotLibrary::current().slotMap[slotId].description = "Reader";
    }

    TokenLibrary library;
    SlotManager slotManager{library};
    std::unique_ptr<Translator> translator;
    std::unique_ptr<AppStartup> startup;
    ScriptedPresenter presenter;
    ScopedMessagePresenter scopedPresenter{presenter};
    int libraryLoads = 0;
    int windowsCreated = 0;
    bool windowResult = true;
};

TEST_F(AppStartupTest, StartsWithTheWindowAndExitsInOrder) {
    addSlot(1);
    EXPECT_EQ(startup->initInstance(), AppStartup::Outcome::Started);
    EXPECT_EQ(windowsCreated, 1);
    EXPECT_TRUE(presenter.requests().empty());
    EXPECT_NE(slotManager.findSlot(1), nullptr);
    EXPECT_TRUE(slotManager.monitorRunning());

    startup->exitInstance();
    EXPECT_FALSE(slotManager.monitorRunning());
    EXPECT_TRUE(slotManager.allSlots().empty());
    EXPECT_EQ(library.functions(), nullptr);
    EXPECT_EQ(finalizeCalls, 1);
}

TEST_F(AppStartupTest, MissingLibraryShowsMessage50000AndEnds) {
    startup->loadLibrary = [this] { return library.load("/nonexistent/libnothing_here.so"); };
    EXPECT_EQ(startup->initInstance(), AppStartup::Outcome::LibraryFailed);
    ASSERT_EQ(presenter.requests().size(), 1u);
    const MessageRequest& request = presenter.requests()[0];
    EXPECT_EQ(request.id, 50000);
    EXPECT_EQ(request.text, "Initialize PKCS#11 library failed!");
    EXPECT_EQ(request.title, "KorvanNG PKI Manager");
    EXPECT_EQ(request.flags, MB_ICONERROR);
    EXPECT_EQ(request.owner, nullptr);
    EXPECT_EQ(windowsCreated, 0);

    // Nothing is bound, so exit has nothing to do, and does it quietly.
    startup->exitInstance();
    EXPECT_EQ(finalizeCalls, 0);
    EXPECT_EQ(exitCodeFor(AppStartup::Outcome::LibraryFailed, 0), 1);
}

TEST_F(AppStartupTest, FailedSlotListShowsMessage50001AndStillFinalizesAtExit) {
    addSlot(1);
    FakeSlotLibrary::current().slotListResult = CKR_DEVICE_ERROR;
    EXPECT_EQ(startup->initInstance(), AppStartup::Outcome::ManagerFailed);
    ASSERT_EQ(presenter.requests().size(), 1u);
    EXPECT_EQ(presenter.requests()[0].id, 50001);
    EXPECT_EQ(presenter.requests()[0].text, "Initialize Korvan manager failed!");
    EXPECT_EQ(presenter.requests()[0].flags, MB_ICONERROR);
    EXPECT_EQ(presenter.requests()[0].owner, nullptr);
    EXPECT_EQ(windowsCreated, 0);

    startup->exitInstance();
    EXPECT_EQ(finalizeCalls, 1);
    EXPECT_EQ(library.functions(), nullptr);
}

TEST_F(AppStartupTest, SlotListThatChangesLengthFailsStartUp) {
    addSlot(1);
    FakeSlotLibrary::current().slotListDrift = 1;
    EXPECT_EQ(startup->initInstance(), AppStartup::Outcome::ManagerFailed);
    ASSERT_EQ(presenter.requests().size(), 1u);
    EXPECT_EQ(presenter.requests()[0].id, 50001);
}

TEST_F(AppStartupTest, WindowFailureEndsWithoutAMessage) {
    addSlot(1);
    windowResult = false;
    EXPECT_EQ(startup->initInstance(), AppStartup::Outcome::WindowFailed);
    EXPECT_TRUE(presenter.requests().empty());
    startup->exitInstance();
    EXPECT_FALSE(slotManager.monitorRunning());
    EXPECT_EQ(finalizeCalls, 1);
}

TEST_F(AppStartupTest, SecondInstanceEndsSilentlyBeforeTouchingAnything) {
    platform::SingleInstanceLock first(startup->instanceText.c_str());
    ASSERT_EQ(first.acquire(), platform::SingleInstanceLock::Outcome::Acquired);
    EXPECT_EQ(startup->initInstance(), AppStartup::Outcome::AnotherInstance);
    EXPECT_EQ(libraryLoads, 0);
    EXPECT_EQ(windowsCreated, 0);
    EXPECT_TRUE(presenter.requests().empty());
    EXPECT_EQ(exitCodeFor(AppStartup::Outcome::AnotherInstance, 0), 0);
    startup->exitInstance();
}

TEST_F(AppStartupTest, LockIsNamedAfterTheProductsInstanceText) {
    AppStartup real(library, slotManager, *translator);
    real.loadLibrary = startup->loadLibrary;
    real.createMainWindow = startup->createMainWindow;
    ASSERT_EQ(real.initInstance(), AppStartup::Outcome::Started);
    platform::SingleInstanceLock other(productConfig.instanceGuidText);
    EXPECT_EQ(other.acquire(), platform::SingleInstanceLock::Outcome::HeldByAnother);
    real.exitInstance();
}

TEST_F(AppStartupTest, FailureMessagesAreInTheSelectedLanguage) {
    writeLanguageFile("vtmgr_meridia", 2052, "10000=Titel 2052\n50000=Bibliothek 2052\n");
    auto key = platform::RegistryKey::create(platform::RegistryRoot::LocalMachine,
                                             productConfig.registryKey);
    ASSERT_TRUE(key);
    ASSERT_TRUE(key->setString("LanguageId", "2052"));
    startup->loadLibrary = [] { return false; };

    EXPECT_EQ(startup->initInstance(), AppStartup::Outcome::LibraryFailed);
    ASSERT_EQ(presenter.requests().size(), 1u);
    EXPECT_EQ(presenter.requests()[0].text, "Bibliothek 2052");
    EXPECT_EQ(presenter.requests()[0].title, "Titel 2052");
}

} // namespace
