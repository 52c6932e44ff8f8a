#include "bridge/app/Logging.h"

#include "platform/DebugOutput.h"

#include <QLoggingCategory>
#include <QString>

#include <cstdio>
#include <cstdlib>

namespace bridge::app {

namespace {

void toStderr(QtMsgType, const QMessageLogContext& context, const QString& message) {
    const QByteArray text = message.toUtf8();
    std::fprintf(stderr, "korvan-bridge: %s: %s\n", context.category ? context.category : "default", text.constData());
    std::fflush(stderr);
}

} // namespace

void setUpLogging() {
    const char* journal = std::getenv("JOURNAL_STREAM");
    if (!journal || !*journal)
        return;
    QLoggingCategory::setFilterRules(QStringLiteral("korvan.debug=true\nkorvan.bridge.debug=true"));
    qInstallMessageHandler(toStderr);
}

void logLine(const std::string& text) {
    platform::debugOutput(text);
}

} // namespace bridge::app
