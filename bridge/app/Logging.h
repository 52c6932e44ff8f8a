// The bridge's log: the debug channel (QT_LOGGING_RULES="korvan.debug=true"), and when systemd
// runs the bridge (JOURNAL_STREAM is set) every line on stderr as well, where the journal
// collects it.
#pragma once

#include <string>

namespace bridge::app {

// Call once, first thing in main.
void setUpLogging();

void logLine(const std::string& text);

} // namespace bridge::app
