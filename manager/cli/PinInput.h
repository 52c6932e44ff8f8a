#pragma once

// Where korvanng-tool takes PINs from: the terminal with echo switched off,
// or standard input one PIN per line (--pin-stdin). Never from the command
// line, where every user of the machine could read them.

#include "SecurePin.h"

#include <optional>
#include <string>

class PinInput {
public:
    explicit PinInput(bool fromStdin) : fromStdin_(fromStdin) {}

    // Reads one PIN; `prompt` is shown on the terminal only. Empty when no
    // PIN could be read (no terminal, end of input).
    std::optional<SecurePin> read(const std::string& prompt);

    bool fromStdin() const { return fromStdin_; }

private:
    bool fromStdin_;
};

// Reads one line from a file descriptor byte by byte into `pin`, so no
// stream buffer keeps a copy. The line end (\n, \r\n) is dropped. False at
// end of input before any byte or on a read error.
bool readPinLine(int fd, SecurePin& pin);

// Asks a Yes/No question on the terminal (not standard input): true for "y"
// or "yes" in any case, false for any other line, nullopt without a terminal.
std::optional<bool> askYesNoOnTerminal(const std::string& question);
