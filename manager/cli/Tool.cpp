#include "Tool.h"

#include "Command.h"
#include "TokenLibrary.h"
#include "ToolContext.h"

#include <algorithm>
#include <cstdint>
#include <optional>

namespace {

struct GlobalOptions {
    bool help = false;
    std::optional<std::uint32_t> languageId;
    std::string module;
    std::string command;
    std::vector<std::string> words;
};

std::optional<std::uint32_t> parseLanguageId(const std::string& text) {
    unsigned long id = 0;
    if (!parseSlotId(text, id) || id == 0 || id > 0xFFFFFFFFul)
        return std::nullopt;
    return static_cast<std::uint32_t>(id);
}

// Global options may stand anywhere; the first other word names the command
// and everything else belongs to it.
bool parseGlobal(const std::vector<std::string>& arguments, GlobalOptions& options,
                 std::ostream& err) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        if (word == "--help" || word == "-h") {
            options.help = true;
        } else if (word == "--lang" || word.rfind("--lang=", 0) == 0) {
            std::string value;
            if (word == "--lang") {
                if (i + 1 == arguments.size()) {
                    err << "korvanng-tool: --lang needs a language id\n";
                    return false;
                }
                value = arguments[++i];
            } else {
                value = word.substr(7);
            }
            options.languageId = parseLanguageId(value);
            if (!options.languageId) {
                err << "korvanng-tool: '" << value << "' is not a language id\n";
                return false;
            }
        } else if (word == "--module" || word.rfind("--module=", 0) == 0) {
            if (word == "--module") {
                if (i + 1 == arguments.size()) {
                    err << "korvanng-tool: --module needs meridia, skyra or a library path\n";
                    return false;
                }
                options.module = arguments[++i];
            } else {
                options.module = word.substr(9);
            }
            if (options.module.empty()) {
                err << "korvanng-tool: --module needs meridia, skyra or a library path\n";
                return false;
            }
        } else if (options.command.empty() && !word.starts_with("-")) {
            options.command = word;
        } else if (options.command.empty()) {
            err << "korvanng-tool: unknown option '" << word << "'\n";
            return false;
        } else {
            options.words.push_back(word);
        }
    }
    return true;
}

} // namespace

void writeUsage(std::ostream& out) {
    out << "Usage: korvanng-tool [--lang ID] [--module meridia|skyra|PATH] COMMAND [ARGUMENTS]\n"
           "       korvanng-tool --help\n"
           "\n"
           "Commands:\n";
    std::size_t width = 0;
    for (const Command& command : commands())
        width = std::max(width, std::string(command.name).size() + 1 +
                                    std::string(command.synopsis).size());
    for (const Command& command : commands()) {
        std::string head = std::string(command.name) + " " + command.synopsis;
        out << "  " << head << std::string(width - head.size() + 2, ' ') << command.summary << '\n';
    }
    out << "\n"
           "Options:\n"
           "  --lang ID   language of the texts, a language id such as 1033 or 2052;\n"
           "              default: the registry value \"LanguageId\", then the locale\n"
           "  --module meridia|skyra|PATH\n"
           "              the PKCS#11 library to use instead of the product's one; default:\n"
           "              the variable KORVAN_TOKEN_LIBRARY if set. A library without the\n"
           "              vendor extensions works too; init-token then cannot set retry\n"
           "              limits or memory sizes, and rename is not available\n"
           "  --help      show this text\n"
           "\n"
           "Exit status:\n"
           "  0  success\n"
           "  1  usage error\n"
           "  2  the token library could not be loaded or initialized\n"
           "  3  the slot manager could not be initialized\n"
           "  4  no such slot, or no usable token in the slot (also: token removed)\n"
           "  5  the token refused the operation (wrong PIN, blocked PIN, failure)\n"
           "  6  a PIN could not be read, or the input does not meet the token's rules\n"
           "  7  no such object or container, or the object is not a certificate\n"
           "\n"
           "Once the PIN and password are taken, import exits with its result instead:\n"
           "  0 imported (or the duplicate question was answered No), 1 wrong password,\n"
           "  2 not enough space on the token, 3 file not found or unreadable,\n"
           "  4 not a supported certificate, 5 general failure, 6 token removed,\n"
           "  7 key size refused by the token, 8 key type refused by the token,\n"
           "  179 the session was invalidated by another operation\n"
           "\n"
           "Object handles (HANDLE) are the 12 hexadecimal digits list-objects shows. A\n"
           "handle is made from what the object is (its class, CKA_ID, container, and its\n"
           "value or key modulus), not from its place on the token: it names the same\n"
           "object in every listing and command, before and after the login, for as long\n"
           "as the object exists, and adding or removing other objects never changes it.\n"
           "A handle that names no object, or more than one (objects alike in all of\n"
           "these), is refused.\n"
           "\n"
           "PINs are never taken from the command line. They are typed on the terminal\n"
           "without echo, or with --pin-stdin read from standard input, one per line, in\n"
           "the order each command names. Passwords of PKCS#12 files likewise: on the\n"
           "terminal, or with --password-stdin the line after the PIN when both come\n"
           "from standard input.\n"
           "\n"
           "Object handles are those list-objects shows; a container is named by the\n"
           "id list-objects shows after its name.\n";
}

int runTool(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    GlobalOptions options;
    if (!parseGlobal(arguments, options, err)) {
        err << "Try 'korvanng-tool --help'.\n";
        return ExitUsage;
    }
    if (options.help) {
        writeUsage(out);
        return ExitOk;
    }
    if (options.command.empty()) {
        writeUsage(err);
        return ExitUsage;
    }
    const Command* command = findCommand(options.command);
    if (command == nullptr) {
        err << "korvanng-tool: unknown command '" << options.command << "'\n"
            << "Try 'korvanng-tool --help'.\n";
        return ExitUsage;
    }

    CommandArguments commandArguments{options.words, out, err};
    if (!command->validate(commandArguments)) {
        err << "Usage: korvanng-tool " << command->name << ' ' << command->synopsis << '\n';
        return ExitUsage;
    }

    StreamPresenter presenter(err);
    ScopedMessagePresenter scopedPresenter(presenter);
    selectLanguage(options.languageId);

    TokenEnvironment environment;
    if (!options.module.empty())
        TokenLibrary::instance().setModuleOverride(options.module);
    if (command->needsToken) {
        ExitCode started = environment.start();
        if (started != ExitOk)
            return started;
    }
    ExitCode result = command->run(commandArguments);
    out.flush();
    return result;
}
