#include "bridge/app/CommandLine.h"

#include <QCommandLineParser>

namespace bridge::app {

ParsedArguments readCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Serves the signing controls to web pages on this computer over loopback HTTP.\n"
        "Pages include the line --print-include prints."));
    const QCommandLineOption help(QStringList{"h", "help"}, QStringLiteral("Show this help and exit."));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Listen on port N (0: a free one). Default: KORVAN_BRIDGE_PORT, "
                                                 "else %1.").arg(kDefaultPort),
                                  QStringLiteral("N"));
    const QCommandLineOption allow(QStringLiteral("allow"),
                                   QStringLiteral("Pre-approve these origins (comma separated), in addition to "
                                                  "KORVAN_BRIDGE_ALLOW. No approval dialog is shown then."),
                                   QStringLiteral("ORIGINS"));
    const QCommandLineOption codePage(QStringLiteral("codepage"),
                                      QStringLiteral("The controls' ANSI code page. Default: "
                                                     "KORVAN_ANSI_CODEPAGE, else the locale's."),
                                      QStringLiteral("N"));
    const QCommandLineOption list(QStringLiteral("list-origins"),
                                  QStringLiteral("Print the remembered decisions and exit."));
    const QCommandLineOption forget(QStringLiteral("forget"),
                                    QStringLiteral("Forget the decision for ORIGIN and exit."),
                                    QStringLiteral("ORIGIN"));
    const QCommandLineOption printInclude(QStringLiteral("print-include"),
                                          QStringLiteral("Print the script line pages include, with its integrity "
                                                         "hash, and exit."));
    const QCommandLineOption listenUnix(QStringLiteral("listen-unix"),
                                        QStringLiteral("Serve the connections the machine's router hands over on "
                                                       "the unix socket PATH (made here); bind no TCP port. A "
                                                       "socket passed by systemd (LISTEN_FDS) does the same."),
                                        QStringLiteral("PATH"));
    const QCommandLineOption router(QStringLiteral("router"),
                                    QStringLiteral("The router's registration socket. Default: %1.")
                                        .arg(QLatin1String(kDefaultRouterPath)),
                                    QStringLiteral("PATH"));
    const QCommandLineOption registerOnly(QStringLiteral("register"),
                                          QStringLiteral("Register the bridge's socket with the router and exit; "
                                                         "starts no bridge."));
    const QCommandLineOption socket(QStringLiteral("socket"),
                                    QStringLiteral("With --register: the bridge's socket. Default: "
                                                   "$XDG_RUNTIME_DIR/korvanng/bridge.sock."),
                                    QStringLiteral("PATH"));
    const QCommandLineOption browserPolicies(QStringLiteral("browser-policies"),
                                             QStringLiteral("Write Chromium and Firefox policy files that let the "
                                                            "pre-approved origins reach the bridge into DIR/chromium "
                                                            "and DIR/firefox, and exit. Overwrites nothing."),
                                             QStringLiteral("DIR"));
    parser.addOptions({help, port, allow, codePage, list, forget, printInclude, listenUnix, router, registerOnly,
                       socket, browserPolicies});

    ParsedArguments out;
    if (!parser.parse(arguments)) {
        out.error = parser.errorText().toStdString();
        return out;
    }
    if (parser.isSet(help)) {
        out.help = true;
        out.helpText = parser.helpText().toStdString();
        return out;
    }
    if (!parser.positionalArguments().isEmpty()) {
        out.error = std::string("unexpected argument: ").append(parser.positionalArguments().front().toStdString());
        return out;
    }
    const auto text = [&parser](const QCommandLineOption& option) -> std::optional<std::string> {
        if (!parser.isSet(option))
            return std::nullopt;
        return parser.value(option).toStdString();
    };
    CommandLine& commandLine = out.commandLine;
    commandLine.port = text(port);
    if (parser.isSet(allow))
        commandLine.allow = parser.values(allow).join(QLatin1Char(',')).toStdString();
    commandLine.codePage = text(codePage);
    commandLine.forget = text(forget);
    commandLine.listOrigins = parser.isSet(list);
    commandLine.printInclude = parser.isSet(printInclude);
    commandLine.listenUnix = text(listenUnix);
    commandLine.router = text(router);
    commandLine.socket = text(socket);
    commandLine.browserPolicies = text(browserPolicies);
    commandLine.registerOnly = parser.isSet(registerOnly);
    return out;
}

} // namespace bridge::app
