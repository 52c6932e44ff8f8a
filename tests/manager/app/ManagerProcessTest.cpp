#include "AppTestSupport.h"
#include "ProductConfig.h"
#include "platform/SingleInstanceLock.h"

#include <QLockFile>
#include <QProcess>
#include <QTest>

namespace {

// Generous bounds that only matter when something is broken; never a
// measure of speed.
constexpr int kBoundMs = 20000;

class ManagerProcessTest : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        std::filesystem::create_directories(root_ + "/store");
        std::ofstream(root_ + "/token.conf")
            << "store_dir = " << root_ << "/store\nslots = 2\npin_iterations = 1\n";
        environment = QProcessEnvironment::systemEnvironment();
        environment.insert("KORVAN_REGISTRY_DIR", QString::fromStdString(root_ + "/registry"));
        environment.insert("KORVAN_RUNTIME_DIR", QString::fromStdString(root_ + "/run"));
        environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(root_ + "/run"));
        environment.insert("MERIDIA_TOKEN_CONF", QString::fromStdString(root_ + "/token.conf"));
        environment.insert("QT_QPA_PLATFORM", "offscreen");
    }
    void TearDown() override {
        for (QProcess* process : {&first, &second}) {
            if (process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished(kBoundMs);
            }
        }
        AppTest::TearDown();
    }

    void launch(QProcess& process) {
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(KORVAN_MGR_PATH), {});
        ASSERT_TRUE(process.waitForStarted(kBoundMs));
    }

    // The process that holds the manager's lock, read without taking it.
    qint64 lockHolder() {
        platform::SingleInstanceLock probe(productConfig.instanceGuidText);
        QLockFile file(QString::fromStdString(probe.lockFilePath()));
        qint64 pid = 0;
        QString host;
        QString application;
        return file.getLockInfo(&pid, &host, &application) ? pid : 0;
    }

    QProcessEnvironment environment;
    QProcess first;
    QProcess second;
};

TEST_F(ManagerProcessTest, SecondManagerEndsAtOnceWithExitCodeZero) {
    launch(first);
    ASSERT_TRUE(QTest::qWaitFor([&] { return lockHolder() == first.processId(); }, kBoundMs));

    launch(second);
    ASSERT_TRUE(second.waitForFinished(kBoundMs)) << "the second manager kept running";
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);

    // The first one is unaffected.
    EXPECT_EQ(first.state(), QProcess::Running);
    EXPECT_EQ(lockHolder(), first.processId());
}

} // namespace
