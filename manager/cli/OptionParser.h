#pragma once

// The command words as every command reads them: a table of the options it
// takes (flags, and options with a value as "--name value" or "--name=value"),
// optional plain words, and one refusal for anything that looks like a PIN
// or password, which never belongs on a command line other users can read.

#include "Command.h"

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

// Stores an option's value. False when the value is refused; the reason is
// then written to `err` after the command's prefix.
using OptionStore =
    std::function<bool(const std::string& value, std::ostream& err, const std::string& prefix)>;

struct OptionRule {
    const char* name;     // "--slot"
    bool* flag = nullptr; // set for flags
    OptionStore store;    // set for options with a value
};

struct OptionTable {
    std::vector<OptionRule> rules;
    // Words without a leading '-'; unset: such words are refused.
    OptionStore plainWord;
    // Whether the command reads a password too (named in the refusal).
    bool readsPassword = false;
};

// "korvanng-tool NAME: ", the start of every complaint about the words.
std::string commandPrefix(const char* command);

// Reads the words into the table's targets. False after writing the first
// problem to arguments.err.
bool parseOptions(const char* command, const OptionTable& table, const CommandArguments& arguments);

// The --slot rule every command has.
OptionRule slotOption(std::optional<unsigned long>& slot);

// Whether a word names a PIN or password option (--pin..., --so-pin...,
// --user-pin..., --new-pin..., --password...).
bool looksLikeSecretOption(const std::string& word);
