// Writes one message through the debug channel and prints what the logging system delivered.
#include "platform/DebugOutput.h"

#include <cstdio>

namespace {

void printToStdout(QtMsgType, const QMessageLogContext& context, const QString& message) {
    std::printf("%s: %s\n", context.category, message.toLocal8Bit().constData());
}

} // namespace

int main() {
    qInstallMessageHandler(printToStdout);
    platform::debugOutput("probe message");
    return 0;
}
