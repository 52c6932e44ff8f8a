#include "bridge/app/Logging.h"

#include <QLoggingCategory>
#include <QString>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <unistd.h>

namespace bridge::app {

namespace {

// Short enough that one write to a pipe is never split by another thread's line.
constexpr std::size_t kMaxLine = 2048;

void toStderr(QtMsgType, const QMessageLogContext& context, const QString& message) {
    const QByteArray text = message.toUtf8();
    std::fprintf(stderr, "korvan-bridge: %s: %s\n", context.category ? context.category : "default",
                 text.constData());
    std::fflush(stderr);
}

std::string eventLine(const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    static constexpr std::string_view kCut = "...\n";
    std::string line = "korvan-bridge: ";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (line.size() + 4 + kCut.size() > kMaxLine) {
            line += kCut;
            return line;
        }
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            line += ch;
        } else {
            line += "\\x";
            line += kHex[c >> 4];
            line += kHex[c & 0x0F];
        }
    }
    line += '\n';
    return line;
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
    const std::string line = eventLine(text);
    // One write per line, unbuffered: lines from the server's threads never interleave.
    std::size_t written = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + written, line.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // nowhere to log; the bridge goes on
        written += static_cast<std::size_t>(n);
    }
}

} // namespace bridge::app
