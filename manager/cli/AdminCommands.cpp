// login, change-pin, unblock, change-so-pin, init-token and rename: the
// token administration dialogs as commands, over the same operations and
// with the same messages (printed to standard error by the tool's presenter).

#include "Command.h"
#include "InitToken.h"
#include "LoginStep.h"
#include "PinInput.h"
#include "PinOperation.h"
#include "RenameToken.h"
#include "SlotManager.h"
#include "Translator.h"

#include <cerrno>
#include <cstdlib>
#include <optional>

namespace {

struct AdminOptions {
    std::optional<unsigned long> slot;
    bool pinStdin = false;
    std::optional<std::string> label;
    std::optional<unsigned> soRetries;
    std::optional<unsigned> userRetries;
    std::optional<unsigned> publicMemory;
    std::optional<unsigned> privateMemory;
};

// Which options a command takes besides --slot.
enum OptionSet : unsigned {
    TakesPins = 1,
    TakesLabel = 2,
    TakesInitNumbers = 4,
};

bool parseNumber(const std::string& text, unsigned long limit, unsigned& out) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
    if (errno == ERANGE || value > limit)
        return false;
    out = static_cast<unsigned>(value);
    return true;
}

bool looksLikePinOption(const std::string& word) {
    return word.rfind("--pin", 0) == 0 || word.rfind("--so-pin", 0) == 0 ||
           word.rfind("--user-pin", 0) == 0 || word.rfind("--new-pin", 0) == 0;
}

std::optional<AdminOptions> parseAdmin(const char* name, unsigned takes,
                                       CommandArguments& arguments) {
    AdminOptions options;
    const auto& words = arguments.words;
    std::string prefix = std::string("korvanng-tool ") + name + ": ";
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::string word = words[i];
        std::string value;
        bool hasValue = false;
        if (std::size_t eq = word.find('='); word.starts_with("--") && eq != std::string::npos) {
            value = word.substr(eq + 1);
            word = word.substr(0, eq);
            hasValue = true;
        }
        if ((takes & TakesPins) && word == "--pin-stdin" && !hasValue) {
            options.pinStdin = true;
            continue;
        }
        if (looksLikePinOption(word)) {
            arguments.err << prefix
                          << "PINs are not taken from the command line; type them when asked or "
                             "give them on standard input with --pin-stdin\n";
            return std::nullopt;
        }
        bool known = word == "--slot" || ((takes & TakesLabel) && word == "--label") ||
                     ((takes & TakesInitNumbers) &&
                      (word == "--so-retries" || word == "--user-retries" ||
                       word == "--public-memory" || word == "--private-memory"));
        if (!known) {
            arguments.err << prefix << "unexpected argument '" << words[i] << "'\n";
            return std::nullopt;
        }
        if (!hasValue) {
            if (i + 1 == words.size()) {
                arguments.err << prefix << word << " needs a value\n";
                return std::nullopt;
            }
            value = words[++i];
        }
        if (word == "--slot") {
            unsigned long id = 0;
            if (!parseSlotId(value, id)) {
                arguments.err << prefix << "'" << value << "' is not a slot number\n";
                return std::nullopt;
            }
            options.slot = id;
        } else if (word == "--label") {
            if (!renameOkEnabled(value)) {
                arguments.err << prefix << "the name must be 1 to " << kMaxTokenNameLength
                              << " bytes long\n";
                return std::nullopt;
            }
            options.label = value;
        } else {
            bool retries = word == "--so-retries" || word == "--user-retries";
            unsigned number = 0;
            if (!parseNumber(value, retries ? kMaxPinErrorCountField : kMaxMemorySizeField,
                             number)) {
                arguments.err << prefix << word << " takes a number from 0 to "
                              << (retries ? kMaxPinErrorCountField : kMaxMemorySizeField)
                              << ", not '" << value << "'\n";
                return std::nullopt;
            }
            (word == "--so-retries"      ? options.soRetries
             : word == "--user-retries"  ? options.userRetries
             : word == "--public-memory" ? options.publicMemory
                                         : options.privateMemory) = number;
        }
    }
    if (!options.slot) {
        arguments.err << prefix << "--slot N is required\n";
        return std::nullopt;
    }
    if ((takes & TakesLabel) && !(takes & TakesInitNumbers) && !options.label) {
        arguments.err << prefix << "--label NAME is required\n";
        return std::nullopt;
    }
    return options;
}

// The slot must exist before anything is asked; the operations themselves
// report a token that is not present.
SlotEntry* requireSlot(CK_SLOT_ID slotId, CommandArguments& arguments) {
    SlotEntry* entry = SlotManager::instance().findSlot(slotId);
    if (entry == nullptr)
        arguments.err << toolText(10401, "No such slot:") << ' ' << slotId << '\n';
    return entry;
}

// Reads the PINs in the documented order; nullopt after reporting why not.
std::optional<SecurePin> readOne(PinInput& input, const std::string& prompt,
                                 CommandArguments& arguments) {
    std::optional<SecurePin> pin = input.read(prompt);
    if (!pin) {
        if (input.fromStdin())
            arguments.err << toolText(10402, "A PIN is missing on standard input.") << '\n';
        else
            arguments.err << toolText(10403, "No terminal to read the PIN from; use --pin-stdin.")
                          << '\n';
    }
    return pin;
}

ExitCode refusedInput(CommandArguments& arguments, int id, const char* text) {
    arguments.err << toolText(id, text) << '\n';
    return ExitBadInput;
}

// ----- login

bool validateLogin(CommandArguments& arguments) {
    return parseAdmin("login", TakesPins, arguments).has_value();
}

ExitCode runLogin(CommandArguments& arguments) {
    AdminOptions options = *parseAdmin("login", TakesPins, arguments);
    CK_SLOT_ID slotId = *options.slot;
    if (requireSlot(slotId, arguments) == nullptr)
        return ExitNoToken;
    PinInput input(options.pinStdin);
    std::optional<SecurePin> pin = readOne(input, translate(800, "User PIN:"), arguments);
    if (!pin)
        return ExitBadInput;
    if (!loginEnabled(readPinBounds(slotId), *pin))
        return refusedInput(arguments, 10404, "The PIN is shorter than the token's minimum.");
    LoginOutcome outcome = runLoginStep(slotId, *pin);
    if (outcome.tokenRemoved)
        return ExitNoToken;
    if (!outcome.loggedIn)
        return ExitRefused;
    // The login ends with this process; the command proves the PIN.
    arguments.out << toolText(10405, "The PIN is correct.") << '\n';
    return ExitOk;
}

// ----- change-pin, unblock, change-so-pin

struct PinCommandTexts {
    const char* name;
    PinOperationKind kind;
    int firstId;
    const char* firstText;
    int confirmId;
    const char* confirmText;
};

constexpr PinCommandTexts kPinCommands[] = {
    {"change-pin", PinOperationKind::ChangeUserPin, 810, "Please Input User PIN:", 812,
     "Confirm User PIN:"},
    {"unblock", PinOperationKind::UnblockToken, 840, "Please Input SO PIN:", 842,
     "Confirm User PIN:"},
    {"change-so-pin", PinOperationKind::ChangeSoPin, 830, "Old SO PIN:", 832, "Confirm SO PIN:"},
};

template <int Index> bool validatePinCommand(CommandArguments& arguments) {
    return parseAdmin(kPinCommands[Index].name, TakesPins, arguments).has_value();
}

template <int Index> ExitCode runPinCommand(CommandArguments& arguments) {
    const PinCommandTexts& texts = kPinCommands[Index];
    const PinOperationRow& row = pinOperationRow(texts.kind);
    AdminOptions options = *parseAdmin(texts.name, TakesPins, arguments);
    CK_SLOT_ID slotId = *options.slot;
    if (requireSlot(slotId, arguments) == nullptr)
        return ExitNoToken;
    PinBounds bounds = readPinBounds(slotId);
    PinInput input(options.pinStdin);
    std::optional<SecurePin> pin1, newPin, confirmation;
    if (!(pin1 = readOne(input, translate(texts.firstId, texts.firstText), arguments)) ||
        !(newPin = readOne(input, pinBoundsLabel(row.boundsLabelId, row.boundsLabelText, bounds),
                           arguments)) ||
        !(confirmation = readOne(input, translate(texts.confirmId, texts.confirmText), arguments)))
        return ExitBadInput;
    if (!(*newPin == *confirmation))
        return refusedInput(arguments, 10406, "The new PIN and its confirmation differ.");
    if (!pinOperationOkEnabled(texts.kind, bounds, *pin1, *newPin, *confirmation))
        return refusedInput(arguments, 10404, "The PIN is shorter than the token's minimum.");
    PinOperationOutcome outcome = runPinOperation(texts.kind, slotId, *pin1, *newPin);
    if (outcome.tokenRemoved)
        return ExitNoToken;
    return outcome.succeeded ? ExitOk : ExitRefused;
}

// ----- init-token

bool validateInitToken(CommandArguments& arguments) {
    return parseAdmin("init-token", TakesPins | TakesLabel | TakesInitNumbers, arguments)
        .has_value();
}

ExitCode runInitTokenCommand(CommandArguments& arguments) {
    AdminOptions options =
        *parseAdmin("init-token", TakesPins | TakesLabel | TakesInitNumbers, arguments);
    CK_SLOT_ID slotId = *options.slot;
    if (requireSlot(slotId, arguments) == nullptr)
        return ExitNoToken;
    // The dialog's starting values, then what the command line gives.
    InitTokenDefaults defaults = readInitTokenDefaults(slotId);
    InitTokenInput in;
    in.label = options.label.value_or(defaults.label);
    in.soPinErrorCount =
        static_cast<std::uint8_t>(options.soRetries.value_or(defaults.counts.soPinErrorCount));
    in.userPinErrorCount =
        static_cast<std::uint8_t>(options.userRetries.value_or(defaults.counts.userPinErrorCount));
    in.publicMemorySize = options.publicMemory.value_or(defaults.publicMemorySize);
    in.privateMemorySize = options.privateMemory.value_or(defaults.privateMemorySize);

    PinInput input(options.pinStdin);
    std::optional<SecurePin> soPin = readOne(
        input, pinBoundsLabel(850, "Set SO PIN(%d to %d characters):", defaults.bounds), arguments);
    if (!soPin)
        return ExitBadInput;
    // Typed blind, a PIN is asked twice; scripts give each once.
    if (!input.fromStdin()) {
        std::optional<SecurePin> again =
            readOne(input, translate(832, "Confirm SO PIN:"), arguments);
        if (!again)
            return ExitBadInput;
        if (!(*again == *soPin))
            return refusedInput(arguments, 10406, "The new PIN and its confirmation differ.");
    }
    std::optional<SecurePin> userPin =
        readOne(input, pinBoundsLabel(851, "Set User PIN(%d to %d characters):", defaults.bounds),
                arguments);
    if (!userPin)
        return ExitBadInput;
    if (!input.fromStdin()) {
        std::optional<SecurePin> again =
            readOne(input, translate(812, "Confirm User PIN:"), arguments);
        if (!again)
            return ExitBadInput;
        if (!(*again == *userPin))
            return refusedInput(arguments, 10406, "The new PIN and its confirmation differ.");
    }
    in.soPin = std::move(*soPin);
    in.userPin = std::move(*userPin);

    if (in.label.empty())
        return refusedInput(arguments, 10407, "The token needs a name (--label).");
    if (in.soPinErrorCount >= kMaxPinErrorCountField ||
        in.userPinErrorCount >= kMaxPinErrorCountField)
        return refusedInput(arguments, 10408, "Retry limits must be below 15.");
    if (in.publicMemorySize >= kMaxMemorySizeField || in.privateMemorySize >= kMaxMemorySizeField)
        return refusedInput(
            arguments, 10409,
            "Memory sizes must be below 64000 (--public-memory, --private-memory).");
    if (!initTokenOkEnabled(defaults.bounds, in.soPin, in.label, in.userPin, in.soPinErrorCount,
                            in.userPinErrorCount, in.publicMemorySize, in.privateMemorySize))
        return refusedInput(arguments, 10404, "The PIN is shorter than the token's minimum.");

    InitTokenOutcome outcome = runInitToken(slotId, in);
    if (outcome.tokenRemoved)
        return ExitNoToken;
    return outcome.succeeded ? ExitOk : ExitRefused;
}

// ----- rename

bool validateRename(CommandArguments& arguments) {
    return parseAdmin("rename", TakesLabel, arguments).has_value();
}

ExitCode runRename(CommandArguments& arguments) {
    AdminOptions options = *parseAdmin("rename", TakesLabel, arguments);
    CK_SLOT_ID slotId = *options.slot;
    if (requireSlot(slotId, arguments) == nullptr)
        return ExitNoToken;
    RenameOutcome outcome = runRenameToken(slotId, *options.label);
    if (outcome.tokenRemoved)
        return ExitNoToken;
    return outcome.written ? ExitOk : ExitRefused;
}

} // namespace

std::vector<Command> adminCommands() {
    return {
        {"login", "--slot N [--pin-stdin]",
         "Check the user PIN of the token in slot N (PIN: the user PIN).", true, validateLogin,
         runLogin},
        {"change-pin", "--slot N [--pin-stdin]",
         "Change the user PIN (PINs: current user PIN, new PIN, new PIN again).", true,
         validatePinCommand<0>, runPinCommand<0>},
        {"unblock", "--slot N [--pin-stdin]",
         "Set a new user PIN with the SO PIN, lifting a block (PINs: SO PIN, new user PIN, new "
         "user PIN again).",
         true, validatePinCommand<1>, runPinCommand<1>},
        {"change-so-pin", "--slot N [--pin-stdin]",
         "Change the SO PIN (PINs: current SO PIN, new SO PIN, new SO PIN again).", true,
         validatePinCommand<2>, runPinCommand<2>},
        {"init-token", "--slot N [--pin-stdin] [OPTIONS]",
         "Re-initialize the token, erasing it (PINs: new SO PIN, new user PIN; typed ones are "
         "asked twice). OPTIONS: --label L, --so-retries N, --user-retries N (0 to 14), "
         "--public-memory B, --private-memory B (0 to 63999); defaults: the token's current "
         "name, retry limits and memory sizes.",
         true, validateInitToken, runInitTokenCommand},
        {"rename", "--slot N --label NAME", "Give the token a new name of 1 to 32 bytes.", true,
         validateRename, runRename},
    };
}
