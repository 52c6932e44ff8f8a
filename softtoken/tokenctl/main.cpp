// tokenctl: creates, lists and deletes the software token's tokens and moves
// them in and out of its readers. An administration and test tool.

#include "softtoken/store/Files.h"
#include "softtoken/store/TokenStore.h"

#include <korvan/vendor_aux.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

using namespace softtoken::store;

constexpr int kOk = 0;
constexpr int kUsage = 1;
constexpr int kFailure = 2;

constexpr const char* kHelp =
    R"(Usage: tokenctl [--module meridia|skyra] [--conf FILE] COMMAND [ARGUMENTS]

Manages the tokens of the software token and the readers that hold them.

Commands:
  create NAME [--label L] (--so-pin P --user-pin P | --pins-stdin)
         [--so-retries N] [--user-retries N] [--public-memory B] [--private-memory B]
                         create a token; --pins-stdin reads two lines: SO PIN, then user PIN.
                         Prefer --pins-stdin: PINs given as options can be read by every
                         user of the machine in the process list while tokenctl runs.
                         Retry limits are 0 to 255 (0: never locks); memory sizes are bytes.
  list                   show the slots (readers) and every token in the store
  insert NAME --slot N   put a token into an empty slot; slots are numbered from 1,
                         as PKCS#11 applications see them
  remove --slot N        take the token out of a slot
  delete NAME            delete a token that is in no reader

Options:
  --module meridia|skyra which module's configuration to use (default meridia): the file named
                         by MERIDIA_TOKEN_CONF or SKYRA_TOKEN_CONF, else the default location
  --conf FILE            use this configuration file instead
  --help                 show this text

Exit status: 0 success, 1 usage error, 2 the operation failed.
)";

struct UsageError {
    std::string message;
};

std::string rvText(CK_RV rv) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(rv));
    return buf;
}

unsigned long long number(const std::string& option, const std::string& text,
                          unsigned long long max) {
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] < '0' || text[0] > '9' || errno != 0 || *end != '\0' || value > max)
        throw UsageError{option + " needs a whole number from 0 to " + std::to_string(max) +
                         ", not \"" + text + "\""};
    return value;
}

// Command arguments: positional words and "--name value" options.
struct Arguments {
    std::vector<std::string> words;
    std::vector<std::pair<std::string, std::string>> options;
    bool pinsStdin = false;

    const std::string* option(const std::string& name) const {
        for (const auto& [key, value] : options)
            if (key == name)
                return &value;
        return nullptr;
    }
    void allow(std::initializer_list<const char*> names) const {
        for (const auto& [key, value] : options) {
            bool known = false;
            for (const char* n : names)
                known = known || key == n;
            if (!known)
                throw UsageError{"unknown option " + key};
        }
    }
    void expectWords(std::size_t n, const char* what) const {
        if (words.size() < n)
            throw UsageError{std::string("missing ") + what};
        if (words.size() > n)
            throw UsageError{"unexpected argument \"" + words[n] + "\""};
    }
};

// Slots are numbered as PKCS#11 shows them: reader index + 1.
struct SlotNumber {
    unsigned slot = 0;
    unsigned reader() const { return slot - 1; }
};

SlotNumber slotArgument(const Arguments& args, const Config& config) {
    const std::string* slot = args.option("--slot");
    if (!slot)
        throw UsageError{"missing --slot N"};
    const UsageError bad{"--slot needs a whole number from 1 to " +
                         std::to_string(config.slotCount) + ", not \"" + *slot + "\""};
    unsigned long long value = 0;
    try {
        value = number("--slot", *slot, config.slotCount);
    } catch (const UsageError&) {
        throw bad;
    }
    if (value == 0)
        throw bad;
    return SlotNumber{static_cast<unsigned>(value)};
}

std::uint64_t origin() {
    std::uint64_t id = 0;
    softtoken::crypto::fillRandom(&id, sizeof id);
    return id;
}

void appendEvent(const Config& config, unsigned reader, CK_ULONG code) {
    std::unique_ptr<EventLog> log;
    CK_RV rv = EventLog::open(config, log);
    if (rv == CKR_OK)
        rv = log->append(SlotEvent{reader, code, origin()});
    if (rv != CKR_OK)
        std::cerr << "tokenctl: warning: could not record the event in the store's event log ("
                  << rvText(rv) << ")\n";
}

std::string readLine(std::istream& in) {
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

int create(const Config& config, const Arguments& args) {
    args.allow({"--label", "--so-pin", "--user-pin", "--so-retries", "--user-retries",
                "--public-memory", "--private-memory"});
    args.expectWords(1, "token NAME");
    const std::string& name = args.words[0];
    InitRequest request;
    request.label = args.option("--label") ? *args.option("--label") : name;
    request.soRetryLimit = config.maxRetries;
    request.userRetryLimit = config.maxRetries;
    request.publicMemory = config.publicMemory;
    request.privateMemory = config.privateMemory;
    if (const auto* v = args.option("--so-retries"))
        request.soRetryLimit = static_cast<std::uint8_t>(number("--so-retries", *v, 255));
    if (const auto* v = args.option("--user-retries"))
        request.userRetryLimit = static_cast<std::uint8_t>(number("--user-retries", *v, 255));
    if (const auto* v = args.option("--public-memory"))
        request.publicMemory =
            static_cast<std::uint32_t>(number("--public-memory", *v, UINT32_MAX));
    if (const auto* v = args.option("--private-memory"))
        request.privateMemory =
            static_cast<std::uint32_t>(number("--private-memory", *v, UINT32_MAX));

    std::string soPin, userPin;
    if (args.pinsStdin) {
        if (args.option("--so-pin") || args.option("--user-pin"))
            throw UsageError{"give the PINs either on the command line or with --pins-stdin"};
        soPin = readLine(std::cin);
        userPin = readLine(std::cin);
    } else {
        if (!args.option("--so-pin") || !args.option("--user-pin"))
            throw UsageError{"create needs --so-pin and --user-pin, or --pins-stdin"};
        soPin = *args.option("--so-pin");
        userPin = *args.option("--user-pin");
        std::cerr << "tokenctl: warning: PINs on the command line are visible to other users "
                     "of this machine; use --pins-stdin\n";
    }
    if (request.label.size() > 32)
        throw UsageError{"the label is longer than 32 bytes"};
    if (!files::isPlainName(name))
        throw UsageError{"token names use letters, digits, '.', '_' and '-' (at most 64, not "
                         "starting with '.')"};
    const auto badPin = [&](const std::string& pin) {
        return pin.size() < config.minPinLen || pin.size() > config.maxPinLen;
    };
    if (badPin(soPin) || badPin(userPin)) {
        softtoken::crypto::wipe(soPin.data(), soPin.size());
        softtoken::crypto::wipe(userPin.data(), userPin.size());
        throw UsageError{"PINs must be " + std::to_string(config.minPinLen) + " to " +
                         std::to_string(config.maxPinLen) + " characters long"};
    }
    request.soPin.assign(soPin.data(), soPin.size());
    request.userPin.assign(userPin.data(), userPin.size());
    softtoken::crypto::wipe(soPin.data(), soPin.size());
    softtoken::crypto::wipe(userPin.data(), userPin.size());

    const CK_RV rv = TokenDatabase::create(config, name, request);
    if (rv == CKR_ARGUMENTS_BAD) {
        std::cerr << "tokenctl: a token named \"" << name << "\" already exists\n";
        return kFailure;
    }
    if (rv != CKR_OK) {
        std::cerr << "tokenctl: could not create token \"" << name << "\" in " << config.storeDir
                  << " (" << rvText(rv) << ")\n";
        return kFailure;
    }
    std::cout << "created token \"" << name << "\"\n";
    return kOk;
}

int list(const Config& config, const Arguments& args) {
    args.allow({});
    args.expectWords(0, "");
    std::unique_ptr<SlotTable> slots;
    if (CK_RV rv = SlotTable::open(config, slots); rv != CKR_OK) {
        std::cerr << "tokenctl: cannot open the slot table in " << config.storeDir << " ("
                  << rvText(rv) << ")\n";
        return kFailure;
    }
    std::cout << "store: " << config.storeDir << "\nslots:\n";
    for (unsigned reader = 0; reader < slots->slotCount(); ++reader) {
        const auto token = slots->tokenIn(reader);
        std::cout << "  " << reader + 1 << ": " << (token ? "\"" + *token + "\"" : "empty") << "\n";
    }
    std::cout << "tokens:\n";
    const auto names = TokenDatabase::list(config);
    if (names.empty())
        std::cout << "  none\n";
    for (const auto& name : names) {
        std::cout << "  \"" << name << "\"";
        std::unique_ptr<TokenDatabase> db;
        TokenRecord token;
        CK_RV rv = TokenDatabase::open(config, name, db);
        if (rv == CKR_OK)
            rv = db->readToken(token);
        if (rv != CKR_OK) {
            std::cout << "  unreadable (" << rvText(rv) << ")\n";
            continue;
        }
        std::cout << "  label \"" << token.label << "\"  serial " << token.serial
                  << "  public memory " << token.publicMemoryUsed << "/" << token.publicMemoryTotal
                  << "  private memory " << token.privateMemoryUsed << "/"
                  << token.privateMemoryTotal;
        if (const auto reader = slots->readerOf(name))
            std::cout << "  in slot " << *reader + 1;
        std::cout << "\n";
    }
    return kOk;
}

int insert(const Config& config, const Arguments& args) {
    args.allow({"--slot"});
    args.expectWords(1, "token NAME");
    const SlotNumber slot = slotArgument(args, config);
    const unsigned reader = slot.reader();
    const std::string& name = args.words[0];
    std::unique_ptr<SlotTable> slots;
    CK_RV rv = SlotTable::open(config, slots);
    if (rv == CKR_OK) {
        if (!files::isPlainName(name) || !files::exists(files::tokenPath(config.storeDir, name))) {
            std::cerr << "tokenctl: there is no token named \"" << name << "\"\n";
            return kFailure;
        }
        if (const auto held = slots->tokenIn(reader)) {
            std::cerr << "tokenctl: slot " << slot.slot << " already holds \"" << *held << "\"\n";
            return kFailure;
        }
        if (const auto other = slots->readerOf(name)) {
            std::cerr << "tokenctl: \"" << name << "\" is already in slot " << *other + 1 << "\n";
            return kFailure;
        }
        rv = slots->insert(reader, name);
    }
    if (rv != CKR_OK) {
        std::cerr << "tokenctl: could not insert \"" << name << "\" (" << rvText(rv) << ")\n";
        return kFailure;
    }
    appendEvent(config, reader, E_EVENT_TOKEN_INSERTED);
    std::cout << "inserted \"" << name << "\" into slot " << slot.slot << "\n";
    return kOk;
}

int remove(const Config& config, const Arguments& args) {
    args.allow({"--slot"});
    args.expectWords(0, "");
    const SlotNumber slot = slotArgument(args, config);
    const unsigned reader = slot.reader();
    std::unique_ptr<SlotTable> slots;
    CK_RV rv = SlotTable::open(config, slots);
    if (rv == CKR_OK)
        rv = slots->remove(reader);
    if (rv == CKR_TOKEN_NOT_PRESENT) {
        std::cerr << "tokenctl: slot " << slot.slot << " is empty\n";
        return kFailure;
    }
    if (rv != CKR_OK) {
        std::cerr << "tokenctl: could not remove the token (" << rvText(rv) << ")\n";
        return kFailure;
    }
    appendEvent(config, reader, E_EVENT_TOKEN_REMOVED);
    std::cout << "removed the token from slot " << slot.slot << "\n";
    return kOk;
}

int destroy(const Config& config, const Arguments& args) {
    args.allow({});
    args.expectWords(1, "token NAME");
    const std::string& name = args.words[0];
    const CK_RV rv = TokenDatabase::destroy(config, name);
    if (rv == CKR_ARGUMENTS_BAD) {
        std::cerr << "tokenctl: there is no token named \"" << name << "\"\n";
        return kFailure;
    }
    if (rv == CKR_FUNCTION_REJECTED) {
        std::cerr << "tokenctl: \"" << name << "\" is in a reader; remove it first\n";
        return kFailure;
    }
    if (rv != CKR_OK) {
        std::cerr << "tokenctl: could not delete \"" << name << "\" (" << rvText(rv) << ")\n";
        return kFailure;
    }
    std::cout << "deleted token \"" << name << "\"\n";
    return kOk;
}

int run(int argc, char** argv) {
    std::string module = "meridia";
    const char* confFile = nullptr;
    std::string command;
    Arguments args;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kHelp;
            return kOk;
        }
        if (arg == "--pins-stdin") {
            args.pinsStdin = true;
            continue;
        }
        if (arg.rfind("--", 0) == 0) {
            if (i + 1 >= argc)
                throw UsageError{arg + " needs a value"};
            const std::string value = argv[++i];
            if (arg == "--module")
                module = value;
            else if (arg == "--conf")
                confFile = argv[i];
            else
                args.options.emplace_back(arg, value);
            continue;
        }
        if (command.empty())
            command = arg;
        else
            args.words.push_back(arg);
    }
    if (module != "meridia" && module != "skyra")
        throw UsageError{"--module is meridia or skyra, not \"" + module + "\""};
    if (command.empty())
        throw UsageError{"no command given"};
    if (command != "create" && command != "list" && command != "insert" && command != "remove" &&
        command != "delete")
        throw UsageError{"unknown command \"" + command + "\""};

    const char* envVar = module == "meridia" ? "MERIDIA_TOKEN_CONF" : "SKYRA_TOKEN_CONF";
    const char* moduleName = module == "meridia" ? "meridiaCsp11_2001" : "qx11skyra";
    if (confFile)
        ::setenv(envVar, confFile, 1);
    std::string error;
    const auto config = Config::load(envVar, moduleName, &error);
    if (!config) {
        std::cerr << "tokenctl: " << error << "\n";
        return kFailure;
    }
    if (const std::string why = files::unsafeDirReason(config->storeDir); !why.empty()) {
        std::cerr << "tokenctl: refusing the store folder " << config->storeDir << ": " << why
                  << "; choose another store_dir or make the folder yours and owner-only "
                     "(chmod 700)\n";
        return kFailure;
    }
    if (command == "create")
        return create(*config, args);
    if (command == "list")
        return list(*config, args);
    if (command == "insert")
        return insert(*config, args);
    if (command == "remove")
        return remove(*config, args);
    return destroy(*config, args);
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const UsageError& e) {
        std::cerr << "tokenctl: " << e.message << "\nTry 'tokenctl --help'.\n";
        return kUsage;
    } catch (const std::exception& e) {
        std::cerr << "tokenctl: " << e.what() << "\n";
        return kFailure;
    }
}
