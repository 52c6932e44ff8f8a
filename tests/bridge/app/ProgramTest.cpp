// Runs korvan-bridge itself: the one-shot commands, the single instance and a clean end.
#include "bridge/policy/DecisionStore.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace {

using bridge::policy::Decision;

class BridgeProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        environment_ = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"KORVAN_BRIDGE_ALLOW", "KORVAN_BRIDGE_PORT", "JOURNAL_STREAM", "DISPLAY", "WAYLAND_DISPLAY"})
            environment_.remove(QString::fromLatin1(name));
        environment_.insert("KORVAN_REGISTRY_DIR", dir_.filePath("registry"));
        environment_.insert("KORVAN_RUNTIME_DIR", dir_.filePath("runtime"));
        environment_.insert("XDG_CONFIG_HOME", dir_.filePath("config"));
        environment_.insert("KORVAN_BRIDGE_WORKER", "/bin/false");
        environment_.insert("QT_QPA_PLATFORM", "offscreen");
        setenv("KORVAN_REGISTRY_DIR", dir_.filePath("registry").toLocal8Bit().constData(), 1);
    }
    void TearDown() override {
        unsetenv("KORVAN_REGISTRY_DIR");
        for (auto& process : running_) {
            if (process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished(5000);
            }
        }
    }

    QProcess& start(const QStringList& arguments) {
        running_.push_back(std::make_unique<QProcess>());
        QProcess& process = *running_.back();
        process.setProcessEnvironment(environment_);
        process.start(QStringLiteral(KORVAN_BRIDGE_PROGRAM), arguments);
        EXPECT_TRUE(process.waitForStarted(5000));
        return process;
    }

    struct Run {
        int status = -1;
        QString out;
        QString err;
    };
    Run run(const QStringList& arguments) {
        QProcess& process = start(arguments);
        EXPECT_TRUE(process.waitForFinished(15000)) << arguments.join(' ').toStdString();
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
    }

    // The first stdout line of a serving bridge; empty if none came.
    static QString firstLine(QProcess& process) {
        QByteArray seen;
        while (!seen.contains('\n') && process.waitForReadyRead(15000))
            seen += process.readAllStandardOutput();
        return QString::fromUtf8(seen.left(seen.indexOf('\n')));
    }

    QTemporaryDir dir_;
    QProcessEnvironment environment_;
    std::vector<std::unique_ptr<QProcess>> running_;
};

TEST_F(BridgeProgramTest, ListAndForgetRememberedOrigins) {
    bridge::policy::DecisionStore store;
    ASSERT_TRUE(store.remember("https://a.test", Decision::allowed));
    ASSERT_TRUE(store.remember("http://localhost:3000", Decision::denied));

    Run listed = run({"--list-origins"});
    EXPECT_EQ(listed.status, 0) << listed.err.toStdString();
    EXPECT_EQ(listed.out, "http://localhost:3000\tdenied\nhttps://a.test\tallowed\n");

    Run forgot = run({"--forget", "HTTPS://A.test:443"});
    EXPECT_EQ(forgot.status, 0) << forgot.err.toStdString();
    EXPECT_EQ(forgot.out, "forgot https://a.test\n");
    EXPECT_EQ(store.decision("https://a.test"), Decision::undecided);
    EXPECT_EQ(run({"--list-origins"}).out, "http://localhost:3000\tdenied\n");

    Run unknown = run({"--forget", "https://never.test"});
    EXPECT_EQ(unknown.status, 0);
    EXPECT_EQ(unknown.out, "no decision was remembered for https://never.test\n");

    Run malformed = run({"--forget", "https://a.test/x"});
    EXPECT_EQ(malformed.status, 2);
    EXPECT_TRUE(malformed.err.contains("--forget: not an origin")) << malformed.err.toStdString();
    EXPECT_EQ(store.decision("http://localhost:3000"), Decision::denied);
}

TEST_F(BridgeProgramTest, ADamagedStoreIsAnErrorNotAnEmptyList) {
    ASSERT_TRUE(QDir().mkpath(dir_.filePath("registry")));
    QFile store(dir_.filePath("registry/HKEY_CURRENT_USER.json"));
    ASSERT_TRUE(store.open(QIODevice::WriteOnly));
    store.write("{ damaged");
    store.close();
    Run refused = run({"--forget", "https://a.test"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(refused.err.contains("cannot forget https://a.test")) << refused.err.toStdString();
    Run unlisted = run({"--list-origins"});
    EXPECT_EQ(unlisted.status, 1);
    EXPECT_TRUE(unlisted.err.contains("cannot read the decisions")) << unlisted.err.toStdString();
}

TEST_F(BridgeProgramTest, HelpAndBadArguments) {
    Run help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* option : {"--port", "--allow", "--codepage", "--list-origins", "--forget"})
        EXPECT_TRUE(help.out.contains(option)) << option;
    for (const QStringList& bad : {QStringList{"--port", "http"}, QStringList{"--bogus"}, QStringList{"extra"},
                                   QStringList{"--codepage", "437"}, QStringList{"--allow", "ftp:/x"}}) {
        Run refused = run(bad);
        EXPECT_EQ(refused.status, 2) << bad.join(' ').toStdString();
        EXPECT_TRUE(refused.out.isEmpty()) << bad.join(' ').toStdString();
    }
}

TEST_F(BridgeProgramTest, SecondBridgeExitsZeroAndTheFirstEndsCleanlyOnSigterm) {
    // No display and no platform chosen: the bridge still serves, without dialogs.
    environment_.remove("QT_QPA_PLATFORM");
    QProcess& first = start({"--port", "0"});
    const QString line = firstLine(first);
    const auto match = QRegularExpression("^listening on http://127\\.0\\.0\\.1:(\\d+)$").match(line);
    ASSERT_TRUE(match.hasMatch()) << line.toStdString() << first.readAllStandardError().toStdString();
    EXPECT_NE(match.captured(1).toInt(), 0);

    Run second = run({"--port", "0"});
    EXPECT_EQ(second.status, 0);
    EXPECT_TRUE(second.out.contains("already running")) << second.out.toStdString();

    first.terminate();
    ASSERT_TRUE(first.waitForFinished(10000));
    EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first.exitCode(), 0);

    // The lock went with it: a new bridge starts.
    QProcess& third = start({"--port", "0"});
    EXPECT_TRUE(firstLine(third).startsWith("listening on ")) << third.readAllStandardError().toStdString();
}

TEST_F(BridgeProgramTest, ALockThatCannotBeMadeDoesNotStopTheBridge) {
    environment_.insert("KORVAN_RUNTIME_DIR", "/dev/null/runtime");
    QProcess& bridge = start({"--port", "0"});
    EXPECT_TRUE(firstLine(bridge).startsWith("listening on ")) << bridge.readAllStandardError().toStdString();
}

TEST_F(BridgeProgramTest, APortInUseIsAStartErrorWithStatusOne) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);

    Run refused = run({"--port", QString::number(ntohs(address.sin_port))});
    ::close(fd);
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(refused.err.contains("cannot start")) << refused.err.toStdString();
    EXPECT_FALSE(refused.out.contains("listening on"));
}

TEST_F(BridgeProgramTest, RefusalsAreLoggedOnStderrOutsideSystemdOneLineEach) {
    // SetUp removed JOURNAL_STREAM: this is a bridge started from a session or a terminal.
    QProcess& bridge = start({"--port", "0"});
    const auto match = QRegularExpression(":(\\d+)$").match(firstLine(bridge));
    ASSERT_TRUE(match.hasMatch()) << bridge.readAllStandardError().toStdString();

    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(match.captured(1).toInt()));
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    // The path decodes to a line break and a terminal escape: a page trying to forge a line.
    const std::string request = "GET /x%0Akorvan-bridge:%20forged%1B[2J HTTP/1.1\r\n"
                                "Host: rebound.example\r\nConnection: close\r\n\r\n";
    ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    char answer[512];
    EXPECT_GT(::recv(fd, answer, sizeof answer, 0), 0);
    ::close(fd);

    bridge.terminate();
    ASSERT_TRUE(bridge.waitForFinished(10000));
    const QStringList lines = QString::fromUtf8(bridge.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
    const auto refusal = std::find_if(lines.begin(), lines.end(), [](const QString& line) {
        return line.startsWith("korvan-bridge: GET /x") && line.contains("refused");
    });
    ASSERT_NE(refusal, lines.end()) << lines.join('\n').toStdString();
    for (const QString& line : lines) {
        EXPECT_FALSE(line.startsWith("korvan-bridge: forged")) << line.toStdString();
        EXPECT_FALSE(line.contains(QChar(0x1B))) << line.toStdString();
    }
}

} // namespace
