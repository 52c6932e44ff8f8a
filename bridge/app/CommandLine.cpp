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
    parser.addOptions({help, port, allow, codePage, list, forget, printInclude});

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
    return out;
}

} // namespace bridge::app
