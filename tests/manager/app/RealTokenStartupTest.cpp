#include "AppStartup.h"
#include "AppTestSupport.h"
#include "LeftTreeView.h"
#include "MainFrame.h"
#include "MessagePresenter.h"
#include "MgrWindow.h"
#include "SlotManager.h"
#include "TokenLibrary.h"
#include "platform/ProgramPath.h"

#include <QProcess>
#include <QTest>

namespace {

constexpr int kBoundMs = 20000;

// The manager over the software token, started as the program starts it,
// with tokens moved in and out of the readers by tokenctl.
class RealTokenStartupTest : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        if (!std::filesystem::exists(platform::programDir() + "/libmeridiaCsp11_2001.so"))
            GTEST_SKIP() << "the software token is not built";
        std::filesystem::create_directories(root_ + "/store");
        std::ofstream(root_ + "/token.conf")
            << "store_dir = " << root_ << "/store\nslots = 2\npin_iterations = 1\n";
        setenv("MERIDIA_TOKEN_CONF", (root_ + "/token.conf").c_str(), 1);
        ASSERT_TRUE(tokenctl(
            {"create", "t1", "--label", "Alpha", "--so-pin", "12345678", "--user-pin", "1234"}));
        ASSERT_TRUE(tokenctl({"insert", "t1", "--slot", "2"}));
    }
    void TearDown() override {
        frame.reset();
        if (startup)
            startup->exitInstance();
        unsetenv("MERIDIA_TOKEN_CONF");
        AppTest::TearDown();
    }

    bool tokenctl(const QStringList& arguments) {
        QProcess process;
        process.start(QStringLiteral(KORVAN_TOKENCTL_PATH), arguments);
        return process.waitForFinished(kBoundMs) && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    }

    std::string slotText(CK_SLOT_ID slotId) {
        QTreeWidgetItem* item = frame->tree()->findSlotItem(slotId);
        return item != nullptr ? item->text(0).toStdString() : std::string();
    }
    static bool endsWith(const std::string& text, const std::string& tail) {
        return text.size() >= tail.size() &&
               text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
    }

    std::unique_ptr<Translator> translator;
    std::unique_ptr<AppStartup> startup;
    std::unique_ptr<CMainFrame> frame;
};

TEST_F(RealTokenStartupTest, TreeFollowsTokensPulledOutAndPluggedIn) {
    ScriptedPresenter presenter;
    ScopedMessagePresenter scoped(presenter);
    translator = makeTranslator();
    startup = std::make_unique<AppStartup>(TokenLibrary::instance(), SlotManager::instance(),
                                           *translator);
    startup->instanceText = "test-" + root_;
    startup->createMainWindow = [this] {
        frame = createMainFrame();
        return true;
    };
    ASSERT_EQ(startup->initInstance(), AppStartup::Outcome::Started);
    EXPECT_TRUE(presenter.requests().empty());

    EXPECT_TRUE(endsWith(slotText(1), " <Card not found>")) << slotText(1);
    EXPECT_TRUE(endsWith(slotText(2), " [Alpha]")) << slotText(2);
    EXPECT_EQ(frame->tree()->findSlotItem(2)->childCount(), 1);

    ASSERT_TRUE(tokenctl({"remove", "--slot", "2"}));
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return endsWith(slotText(2), " <Card not found>"); }, kBoundMs))
        << slotText(2);
    EXPECT_EQ(frame->tree()->findSlotItem(2)->childCount(), 0);

    ASSERT_TRUE(tokenctl({"insert", "t1", "--slot", "2"}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return endsWith(slotText(2), " [Alpha]"); }, kBoundMs))
        << slotText(2);
}

} // namespace
