#include "platform/DebugOutput.h"

#include <cstdarg>
#include <cstdio>

namespace platform {

// Info level and above stay visible; debug messages need an explicit rule.
Q_LOGGING_CATEGORY(korvanDebug, "korvan", QtInfoMsg)

const QLoggingCategory& debugCategory() {
    return korvanDebug();
}

bool debugOutputEnabled() {
    return korvanDebug().isDebugEnabled();
}

void debugOutput(const char* text) {
    if (text == nullptr || !debugOutputEnabled())
        return;
    qCDebug(korvanDebug, "%s", text);
}

void debugOutput(const std::string& text) {
    debugOutput(text.c_str());
}

void debugOutputf(const char* format, ...) {
    if (format == nullptr || !debugOutputEnabled())
        return;
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length >= 0) {
        std::string text(static_cast<size_t>(length) + 1, '\0');
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<size_t>(length));
        debugOutput(text);
    }
    va_end(args);
}

} // namespace platform
