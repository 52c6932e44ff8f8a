// korvan-bridge: serves the signing controls to the user's web pages over loopback HTTP.
#include "bridge/app/BrowserPolicies.h"
#include "bridge/app/CommandLine.h"
#include "bridge/app/Commands.h"
#include "bridge/app/Logging.h"
#include "bridge/app/Options.h"
#include "bridge/app/QtQuestions.h"
#include "bridge/app/RouterMode.h"
#include "bridge/app/SignalQuit.h"
#include "bridge/policy/DecisionStore.h"
#include "bridge/policy/ProgIds.h"
#include "bridge/server/Bridge.h"
#include "bridge/server/PageScript.h"
#include "bridge/server/http/RouterSocket.h"
#include "platform/ProgramPath.h"
#include "platform/SingleInstanceLock.h"
#include "platform/win/UserWait.h"

#include <QApplication>
#include <QEventLoop>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>
#include <vector>

namespace {

using namespace bridge;

const char* environmentValue(const char* name) {
    return std::getenv(name);
}

bool environmentSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

server::BridgeConfig configFor(const app::Options& options) {
    server::BridgeConfig config;
    config.port = options.port;
    config.codePage = options.codePage;
    config.allowList = options.allowList;
    std::vector<std::string> malformed;
    config.progIds = policy::scriptableProgIds(&malformed);
    for (const std::string& line : malformed)
        app::logLine(std::string("bridge.conf: ignored: ").append(line));
    config.workerPath = environmentSet("KORVAN_BRIDGE_WORKER") ? std::getenv("KORVAN_BRIDGE_WORKER")
                                                               : platform::programDir().append("/korvan-bridge-worker");
    config.idleSeconds = options.idleSeconds;
    config.callSeconds = options.callSeconds;
    config.pinCacheSeconds = options.pinCacheSeconds;
    config.log = app::logLine;
    return config;
}

// Stops the server while the GUI thread goes on answering queued questions (refused, now that
// they are closed), so that no HTTP thread is left waiting for it.
void stopServing(app::QtQuestions& questions, server::Bridge& bridge) {
    questions.close();
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        bridge.stop();
        stopped = true;
        QMetaObject::invokeMethod(qApp, [] {}, Qt::QueuedConnection);
    });
    while (!stopped)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    stopper.join();
}

// Why the bridge shows no approval dialog; empty when it can.
std::string whyNoDialogs(const app::Options& options, bool display) {
    if (options.preApproved)
        return "origins were pre-approved with KORVAN_BRIDGE_ALLOW or --allow";
    if (!display)
        return "no display: neither DISPLAY nor WAYLAND_DISPLAY is set";
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal")) {
        const char* named = environmentSet("WAYLAND_DISPLAY") ? "WAYLAND_DISPLAY" : "DISPLAY";
        return std::string("the display in ").append(named).append("=").append(std::getenv(named))
            .append(" cannot be opened (Qt platform ").append(platform.toStdString()).append(")");
    }
    return {};
}

// The socket the router hands connections over on, when there is one: systemd's, else
// --listen-unix's. An empty descriptor serves TCP as a bridge started by hand does.
bool routerSocket(const app::Options& options, app::UnixSocketFile& made, platform::UniqueFd& socket, std::string& error) {
    socket = app::socketFromSystemd(std::getenv("LISTEN_PID"), std::getenv("LISTEN_FDS"), error);
    // Meant for this process only: no worker is to see them.
    for (const char* name : {"LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES"})
        ::unsetenv(name);
    if (!error.empty())
        return false;
    if (socket.get() < 0 && !options.listenUnix.empty()) {
        if (!made.open(options.listenUnix, error))
            return false;
        socket = made.take();
    }
    return true;
}

void registerItself(const app::Options& options, const std::string& path) {
    if (path.empty()) {
        app::logLine("the unix socket has no path: the router cannot be told where this bridge is");
        return;
    }
    // A router that is absent or refuses does not stop the bridge: a registration by the socket
    // unit may stand, and the router may start later and be told at the next login.
    std::string error;
    if (app::registerWithRouter(options.routerPath, path, error))
        app::logLine(std::string("registered ").append(path).append(" with the router at ").append(options.routerPath));
    else
        app::logLine(std::string("not registered with the router: ").append(error));
}

int serve(const app::Options& options, char** argv) {
    platform::SingleInstanceLock lock("korvan-bridge");
    switch (lock.acquire()) {
    case platform::SingleInstanceLock::Outcome::HeldByAnother:
        std::cout << "korvan-bridge is already running for this user" << std::endl;
        return 0;
    case platform::SingleInstanceLock::Outcome::Error:
        app::logLine(std::string("single-instance lock unavailable, going on: ").append(lock.lockFilePath()));
        break;
    case platform::SingleInstanceLock::Outcome::Acquired:
        break;
    }

    app::UnixSocketFile madeSocket;
    platform::UniqueFd handOverSocket;
    std::string error;
    if (!routerSocket(options, madeSocket, handOverSocket, error)) {
        std::cerr << "korvan-bridge: cannot start: " << error << std::endl;
        return 1;
    }
    const bool routerMode = handOverSocket.get() >= 0;
    const std::string handOverPath = routerMode ? app::boundPath(handOverSocket.get()) : std::string();

    // Qt sees only the program name: every option was ours and has been read. Without a
    // display the bridge still serves, it only cannot ask: it runs offscreen rather than fail
    // to connect to a display that is not there, or that is named but cannot be opened.
    std::vector<char*> qtArguments(argv, argv + 1);
    char platformOption[] = "-platform";
    char offscreen[] = "offscreen";
    char nativeThenOffscreen[] = "wayland;xcb;offscreen";
    char x11ThenOffscreen[] = "xcb;offscreen";
    const bool display = app::displayAvailable();
    if (!environmentSet("QT_QPA_PLATFORM")) {
        qtArguments.push_back(platformOption);
        qtArguments.push_back(!display ? offscreen
                                       : environmentSet("WAYLAND_DISPLAY") ? nativeThenOffscreen : x11ThenOffscreen);
    }
    qtArguments.push_back(nullptr);
    int qtArgc = static_cast<int>(qtArguments.size()) - 1;
    QApplication application(qtArgc, qtArguments.data());
    // Closing a dialog must not end the bridge.
    application.setQuitOnLastWindowClosed(false);

    app::SignalQuit quitOnSignal;
    if (!quitOnSignal.installed())
        app::logLine("SIGTERM and SIGINT handlers could not be installed");
    app::QtQuestions questions(
        app::dialogsPossible(options.preApproved, QGuiApplication::platformName(), display),
        korvanUserWaitLimitSeconds());

    if (routerMode) {
        server::http::HandOver handOver;
        handOver.socket = std::move(handOverSocket);
        handOver.port = options.port;
        handOver.idle = std::chrono::seconds(options.idleSeconds);
        handOver.onIdle = [] {
            app::logLine("idle: ending until the next call");
            QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
        };
        server::http::serveHandedOver(std::move(handOver));
    }
    policy::DecisionStore decisions;
    server::Bridge bridge(configFor(options), decisions, questions);
    if (!bridge.start(error)) {
        std::cerr << "korvan-bridge: cannot start: " << error << std::endl;
        return 1;
    }
    if (!routerMode)
        std::cout << "listening on http://127.0.0.1:" << bridge.port() << std::endl;
    else
        std::cout << "serving the connections handed over on " << handOverPath << std::endl;
    app::logLine(std::string("ANSI code page ").append(std::to_string(options.codePage)).append(" (")
                     .append(options.codePageSource).append(")"));
    if (questions.canAsk())
        app::logLine("approval dialogs: on");
    else
        app::logLine(std::string("approval dialogs: off, undecided origins are refused and pre-approved ones served: ")
                         .append(whyNoDialogs(options, display)));
    if (routerMode)
        registerItself(options, handOverPath);

    application.exec();
    app::logLine(quitOnSignal.received() ? std::string("ending on signal ").append(std::to_string(quitOnSignal.received()))
                                    : std::string("ending"));
    stopServing(questions, bridge);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication::setApplicationName(QStringLiteral("korvan-bridge"));
    app::setUpLogging();

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const app::ParsedArguments parsed = app::readCommandLine(arguments);
    if (parsed.help) {
        std::cout << parsed.helpText << std::flush;
        return 0;
    }
    if (!parsed.error.empty()) {
        std::cerr << "korvan-bridge: " << parsed.error << "\nTry korvan-bridge --help.\n";
        return 2;
    }
    const app::OptionsOrError resolved =
        app::resolveOptions(parsed.commandLine, environmentValue, static_cast<int>(GetACP()));
    if (!resolved.options) {
        std::cerr << "korvan-bridge: " << resolved.error << '\n';
        return 2;
    }
    const app::Options& options = *resolved.options;
    // Event lines go to stderr already; printing the warning too would show it twice.
    for (const std::string& warning : options.warnings)
        app::logLine(warning);

    switch (options.mode) {
    case app::Options::Mode::listOrigins:
        return app::listOrigins(std::cout, std::cerr);
    case app::Options::Mode::forget:
        return app::forgetOrigin(options.forgetOrigin, std::cout, std::cerr);
    case app::Options::Mode::printInclude:
        std::cout << server::includeLine(options.port) << std::endl;
        return 0;
    case app::Options::Mode::registerOnly: {
        std::string error;
        if (!app::registerWithRouter(options.routerPath, options.bridgeSocket, error)) {
            std::cerr << "korvan-bridge: " << error << std::endl;
            return 1;
        }
        return 0;
    }
    case app::Options::Mode::browserPolicies: {
        std::string error;
        std::vector<std::string> written;
        if (!app::writeBrowserPolicies(options.policiesDir, options.allowList, written, error)) {
            std::cerr << "korvan-bridge: " << error << std::endl;
            return 1;
        }
        for (const std::string& path : written)
            std::cout << "wrote " << path << '\n';
        std::cout.flush();
        return 0;
    }
    case app::Options::Mode::serve:
        break;
    }
    return serve(options, argv);
}
