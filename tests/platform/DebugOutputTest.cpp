#include "platform/DebugOutput.h"
#include "platform/ProgramPath.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> captured;

void capture(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtDebugMsg && std::string(context.category) == "korvan")
        captured.push_back(message.toStdString());
}

class DebugOutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        captured.clear();
        previous_ = qInstallMessageHandler(capture);
    }
    void TearDown() override {
        qInstallMessageHandler(previous_);
        QLoggingCategory::setFilterRules(QString());
    }

    QtMessageHandler previous_ = nullptr;
};

TEST_F(DebugOutputTest, OffByDefault) {
    EXPECT_FALSE(platform::debugOutputEnabled());
    platform::debugOutput("hidden");
    platform::debugOutputf("hidden %d", 1);
    EXPECT_TRUE(captured.empty());
}

TEST_F(DebugOutputTest, DeliversTextsWhenEnabled) {
    QLoggingCategory::setFilterRules("korvan.debug=true");
    ASSERT_TRUE(platform::debugOutputEnabled());
    platform::debugOutput("plain %s text");
    platform::debugOutput(std::string("from string"));
    platform::debugOutputf("C_Login rv=0x%08lX slot %d", 0xA0UL, 3);
    platform::debugOutput(static_cast<const char*>(nullptr));
    EXPECT_EQ(captured, (std::vector<std::string>{"plain %s text", "from string",
                                                  "C_Login rv=0x000000A0 slot 3"}));
}

// QT_LOGGING_RULES is read once per process, so the probe runs as a child.
TEST(DebugOutputRules, EnvironmentSwitchesChannelOn) {
    const QString probe = QString::fromStdString(platform::programDir()) + "/debug_output_probe";
    auto run = [&](const char* rules) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("QT_LOGGING_RULES");
        env.remove("QT_LOGGING_CONF");
        if (rules != nullptr)
            env.insert("QT_LOGGING_RULES", rules);
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(probe, {});
        EXPECT_TRUE(process.waitForFinished(30000));
        EXPECT_EQ(process.exitCode(), 0);
        return process.readAllStandardOutput().toStdString();
    };
    EXPECT_EQ(run(nullptr), "");
    EXPECT_EQ(run("korvan.debug=true"), "korvan: probe message\n");
    EXPECT_EQ(run("*.debug=true"), "korvan: probe message\n");
    EXPECT_EQ(run("*.debug=true;korvan.debug=false"), "");
}

} // namespace
