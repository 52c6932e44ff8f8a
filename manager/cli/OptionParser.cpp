#include "OptionParser.h"

#include <algorithm>

std::string commandPrefix(const char* command) {
    return std::string("korvanng-tool ") + command + ": ";
}

bool looksLikeSecretOption(const std::string& word) {
    for (const char* start : {"--pin", "--so-pin", "--user-pin", "--new-pin", "--password"})
        if (word.starts_with(start))
            return true;
    return false;
}

OptionRule slotOption(std::optional<unsigned long>& slot) {
    return {"--slot", nullptr,
            [&slot](const std::string& value, std::ostream& err, const std::string& prefix) {
                unsigned long id = 0;
                if (!parseSlotId(value, id)) {
                    err << prefix << "'" << value << "' is not a slot number\n";
                    return false;
                }
                slot = id;
                return true;
            }};
}

bool parseOptions(const char* command, const OptionTable& table,
                  const CommandArguments& arguments) {
    const std::string prefix = commandPrefix(command);
    const auto& words = arguments.words;
    auto rule = [&](const std::string& name, bool wantFlag) -> const OptionRule* {
        auto found = std::find_if(table.rules.begin(), table.rules.end(), [&](const OptionRule& r) {
            return name == r.name && (r.flag != nullptr) == wantFlag;
        });
        return found == table.rules.end() ? nullptr : &*found;
    };
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::string word = words[i];
        if (table.plainWord && !word.starts_with("-")) {
            if (!table.plainWord(word, arguments.err, prefix))
                return false;
            continue;
        }
        std::string value;
        bool hasValue = false;
        if (std::size_t eq = word.find('='); word.starts_with("--") && eq != std::string::npos) {
            value = word.substr(eq + 1);
            word = word.substr(0, eq);
            hasValue = true;
        }
        if (!hasValue) {
            if (const OptionRule* flag = rule(word, true)) {
                *flag->flag = true;
                continue;
            }
        }
        // Checked before the table: "--pin-stdin=1" is refused, not misread.
        if (looksLikeSecretOption(word)) {
            arguments.err << prefix
                          << (table.readsPassword
                                  ? "PINs and passwords are not taken from the command line; "
                                    "type them when asked or give them on standard input with "
                                    "--pin-stdin or --password-stdin\n"
                                  : "PINs are not taken from the command line; type them when "
                                    "asked or give them on standard input with --pin-stdin\n");
            return false;
        }
        const OptionRule* option = rule(word, false);
        if (option == nullptr) {
            arguments.err << prefix << "unexpected argument '" << words[i] << "'\n";
            return false;
        }
        if (!hasValue) {
            if (i + 1 == words.size()) {
                arguments.err << prefix << word << " needs a value\n";
                return false;
            }
            value = words[++i];
        }
        if (!option->store(value, arguments.err, prefix))
            return false;
    }
    return true;
}
