// The bridge's log. Its event lines (approvals, denials, limits reached, refused requests) always
// go to stderr, one line each, so that they are kept whether systemd, a desktop session or a
// terminal runs the bridge. When systemd runs it (JOURNAL_STREAM is set), the debug channel
// (QT_LOGGING_RULES="korvan.debug=true") goes to stderr as well, where the journal collects it.
#pragma once

#include <string>

namespace bridge::app {

// Call once, first thing in main.
void setUpLogging();

// One event line on stderr, prefixed "korvan-bridge: ". The text may carry what a page sent (a
// path, an origin): control characters, backslashes and bytes past ASCII are written as \xNN,
// so that no text can start a line of its own or drive the terminal, and a long text is cut.
// Never give it a secret.
void logLine(const std::string& text);

} // namespace bridge::app
