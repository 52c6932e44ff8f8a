// The program's debug channel, the counterpart of OutputDebugStringA.
//
// Messages go to the Qt logging category "korvan" at debug level, which is off unless enabled
// with QT_LOGGING_RULES="korvan.debug=true". Qt reads a rule's trailing ".debug" as the message
// level, so that rule names the category "korvan"; a category named "korvan.debug" would need
// the surprising "korvan.debug.debug=true".
#pragma once

#include <QLoggingCategory>

#include <string>

namespace platform {

const QLoggingCategory& debugCategory();

bool debugOutputEnabled();

// A null text is ignored.
void debugOutput(const char* text);
void debugOutput(const std::string& text);

// printf-style; the text is only formatted when the channel is on.
void debugOutputf(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace platform
