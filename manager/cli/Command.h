#pragma once

// The command table of korvanng-tool. Each group of commands lives in a file
// of its own and contributes its entries through one function, so a new
// group adds one file and one line in Command.cpp.

#include "ToolContext.h"

#include <ostream>
#include <string>
#include <vector>

struct CommandArguments {
    // Everything after the command name, global options removed.
    std::vector<std::string> words;
    std::ostream& out;
    std::ostream& err;
};

struct Command {
    const char* name;
    const char* synopsis; // arguments, for the usage text
    const char* summary;
    // Whether the token library and the slot manager must be up first.
    bool needsToken;
    // Checks the words before anything is started; reports problems on err.
    bool (*validate)(CommandArguments& arguments);
    ExitCode (*run)(CommandArguments& arguments);
};

const std::vector<Command>& commands();
const Command* findCommand(const std::string& name);

// The command groups.
std::vector<Command> slotCommands();
std::vector<Command> adminCommands();
std::vector<Command> certCommands();

// A slot identifier: decimal digits only, within range.
bool parseSlotId(const std::string& text, unsigned long& slotId);
