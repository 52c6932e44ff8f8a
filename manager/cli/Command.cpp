#include "Command.h"

#include <cerrno>
#include <cstdlib>

const std::vector<Command>& commands() {
    static const std::vector<Command> table = [] {
        std::vector<Command> all;
        for (auto group : {slotCommands, adminCommands, certCommands}) {
            std::vector<Command> part = group();
            all.insert(all.end(), part.begin(), part.end());
        }
        return all;
    }();
    return table;
}

const Command* findCommand(const std::string& name) {
    for (const Command& command : commands())
        if (name == command.name)
            return &command;
    return nullptr;
}

bool parseSlotId(const std::string& text, unsigned long& slotId) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (errno == ERANGE || *end != '\0')
        return false;
    slotId = value;
    return true;
}
