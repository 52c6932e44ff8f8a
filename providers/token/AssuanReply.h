// One line of a pinentry's Assuan reply, read without the conversation around it (so that it can
// be tested and fuzzed on its own).
#pragma once

#include "providers/token/SecurePin.h"

#include <cstddef>

namespace providers::token {

enum class AssuanLine {
    ok,      // OK: the reply ends, the command succeeded
    error,   // ERR code: the reply ends with `code`
    data,    // D: percent-decoded into the PIN
    comment, // S or #: nothing to do, read on
    refused  // INQUIRE, anything unknown, D where no PIN is expected, or data that does not decode
};

// `text` is the line without its line feed (nor a CR before it). A D line appends to `pin`
// when it is given; a refused D line may have appended part of its data, which the caller wipes.
AssuanLine readAssuanLine(const char* text, std::size_t length, SecurePin* pin, unsigned long& code);

} // namespace providers::token
