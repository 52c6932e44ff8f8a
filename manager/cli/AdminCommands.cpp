// login, change-pin, unblock, change-so-pin, init-token and rename: the
// token administration dialogs as commands, over the same operations and
// with the same messages (printed to standard error by the tool's presenter).

#include "Command.h"
#include "EraseCheck.h"
#include "InitToken.h"
#include "LoginStep.h"
#include "ModuleInitToken.h"
#include "OptionParser.h"
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
    bool yes = false;
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
    TakesYes = 8,
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

std::optional<AdminOptions> parseAdmin(const char* name, unsigned takes,
                                       CommandArguments& arguments) {
    AdminOptions options;
    OptionTable table;
    table.rules.push_back(slotOption(options.slot));
    if (takes & TakesPins)
        table.rules.push_back({"--pin-stdin", &options.pinStdin, {}});
    if (takes & TakesYes)
        table.rules.push_back({"--yes", &options.yes, {}});
    if (takes & TakesLabel)
        table.rules.push_back(
            {"--label", nullptr,
             [&](const std::string& value, std::ostream& err, const std::string& prefix) {
                 if (!renameOkEnabled(value)) {
                     err << prefix << "the name must be 1 to " << kMaxTokenNameLength
                         << " bytes long\n";
                     return false;
                 }
                 options.label = value;
                 return true;
             }});
    if (takes & TakesInitNumbers) {
        auto number = [](const char* option, unsigned long limit, std::optional<unsigned>& out) {
            return OptionRule{option, nullptr,
                              [option, limit, &out](const std::string& value, std::ostream& err,
                                                    const std::string& prefix) {
                                  unsigned parsed = 0;
                                  if (!parseNumber(value, limit, parsed)) {
                                      err << prefix << option << " takes a number from 0 to "
                                          << limit << ", not '" << value << "'\n";
                                      return false;
                                  }
                                  out = parsed;
                                  return true;
                              }};
        };
        table.rules.push_back(number("--so-retries", kMaxPinErrorCountField, options.soRetries));
        table.rules.push_back(
            number("--user-retries", kMaxPinErrorCountField, options.userRetries));
        table.rules.push_back(number("--public-memory", kMaxMemorySizeField, options.publicMemory));
        table.rules.push_back(
            number("--private-memory", kMaxMemorySizeField, options.privateMemory));
    }
    if (!parseOptions(name, table, arguments))
        return std::nullopt;
    std::string prefix = commandPrefix(name);
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

// A new PIN typed blind is asked a second time and both must match; scripts
// give it once on standard input. False after reporting why not.
bool confirmNewPin(PinInput& input, const SecurePin& pin, const std::string& confirmPrompt,
                   CommandArguments& arguments) {
    if (input.fromStdin())
        return true;
    std::optional<SecurePin> again = readOne(input, confirmPrompt, arguments);
    if (!again)
        return false;
    if (!(*again == pin)) {
        refusedInput(arguments, 10406, "The new PIN and its confirmation differ.");
        return false;
    }
    return true;
}

std::optional<SecurePin> readNewPin(PinInput& input, const std::string& prompt,
                                    const std::string& confirmPrompt,
                                    CommandArguments& arguments) {
    std::optional<SecurePin> pin = readOne(input, prompt, arguments);
    if (!pin || !confirmNewPin(input, *pin, confirmPrompt, arguments))
        return std::nullopt;
    return pin;
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

constexpr unsigned kInitTakes = TakesPins | TakesLabel | TakesInitNumbers | TakesYes;

bool validateInitToken(CommandArguments& arguments) {
    return parseAdmin("init-token", kInitTakes, arguments).has_value();
}

// The erase question: --yes answers it (and it is written to standard error
// so a log shows what was agreed to), else the terminal; without one the
// token stays as it is.
struct EraseQuestion {
    bool yes = false;
    std::ostream& err;
    bool noTerminal = false;

    EraseConfirm confirm() {
        return [this](const std::string& text) {
            if (yes) {
                err << text << '\n';
                return true;
            }
            std::optional<bool> answer = askYesNoOnTerminal(text);
            if (answer)
                return *answer;
            err << text << '\n'
                << toolText(10425, "No terminal to confirm the initialization; use --yes.")
                << '\n';
            noTerminal = true;
            return false;
        };
    }
};

// Exit status of an initialization; a question answered No is no failure.
ExitCode initExit(const InitTokenOutcome& outcome, const EraseQuestion& question) {
    if (outcome.tokenRemoved)
        return ExitNoToken;
    if (outcome.succeeded)
        return ExitOk;
    if (outcome.declined)
        return question.noTerminal ? ExitBadInput : ExitOk;
    return ExitRefused;
}

// A module without the vendor table: the standard calls, which need the
// current SO PIN and cannot set retry limits or memory sizes.
ExitCode runModuleInitCommand(const AdminOptions& options, CommandArguments& arguments) {
    CK_SLOT_ID slotId = *options.slot;
    if (options.soRetries || options.userRetries || options.publicMemory ||
        options.privateMemory)
        return refusedInput(arguments, 10420,
                            "This token's module cannot set retry limits or memory sizes.");
    PinBounds bounds = readPinBounds(slotId);
    ModuleInitInput in;
    in.label = options.label.value_or(currentTokenLabel(slotId));
    PinInput input(options.pinStdin);
    std::optional<SecurePin> soPin =
        readOne(input, translate(10421, "Current SO PIN:"), arguments);
    if (!soPin)
        return ExitBadInput;
    std::optional<SecurePin> userPin =
        readNewPin(input, pinBoundsLabel(851, "Set User PIN(%d to %d characters):", bounds),
                   translate(812, "Confirm User PIN:"), arguments);
    if (!userPin)
        return ExitBadInput;
    // Optional: an empty answer, or no further line on standard input, keeps it.
    std::optional<SecurePin> newSoPin =
        input.read(translate(10422, "New SO PIN (empty: keep the current one):"));
    if (newSoPin && !newSoPin->empty() &&
        !confirmNewPin(input, *newSoPin, translate(832, "Confirm SO PIN:"), arguments))
        return ExitBadInput;
    in.currentSoPin = std::move(*soPin);
    in.userPin = std::move(*userPin);
    if (newSoPin)
        in.newSoPin = std::move(*newSoPin);
    if (in.label.empty())
        return refusedInput(arguments, 10407, "The token needs a name (--label).");
    if (!moduleInitOkEnabled(bounds, in))
        return refusedInput(arguments, 10404, "The PIN is shorter than the token's minimum.");

    EraseQuestion question{options.yes, arguments.err};
    ModuleInitOutcome outcome =
        runModuleInitToken(slotId, in, defaultAdminContext(), question.confirm());
    if (outcome.succeeded && outcome.slotId != slotId)
        arguments.out << toolText(10423, "The token is now in slot") << ' ' << outcome.slotId
                      << '\n';
    return initExit(outcome, question);
}

ExitCode runInitTokenCommand(CommandArguments& arguments) {
    AdminOptions options = *parseAdmin("init-token", kInitTakes, arguments);
    CK_SLOT_ID slotId = *options.slot;
    if (requireSlot(slotId, arguments) == nullptr)
        return ExitNoToken;
    if (!vendorInitAvailable())
        return runModuleInitCommand(options, arguments);
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
    // An initialized token is not erased without its current SO PIN.
    if (tokenNeedsSoPin(slotId)) {
        std::optional<SecurePin> current =
            readOne(input, translate(10421, "Current SO PIN:"), arguments);
        if (!current)
            return ExitBadInput;
        in.currentSoPin = std::move(*current);
    }
    std::optional<SecurePin> soPin =
        readNewPin(input, pinBoundsLabel(850, "Set SO PIN(%d to %d characters):", defaults.bounds),
                   translate(832, "Confirm SO PIN:"), arguments);
    if (!soPin)
        return ExitBadInput;
    std::optional<SecurePin> userPin = readNewPin(
        input, pinBoundsLabel(851, "Set User PIN(%d to %d characters):", defaults.bounds),
        translate(812, "Confirm User PIN:"), arguments);
    if (!userPin)
        return ExitBadInput;
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

    EraseQuestion question{options.yes, arguments.err};
    InitTokenOutcome outcome = runInitToken(slotId, in, defaultAdminContext(), question.confirm());
    return initExit(outcome, question);
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
        {"init-token", "--slot N [--pin-stdin] [--yes] [OPTIONS]",
         "Re-initialize the token, erasing it (PINs: the current SO PIN of a token already "
         "initialized, then the new SO PIN and the new user PIN; typed new ones are asked twice). "
         "Before the erase the current SO PIN is checked and the question naming the token, its "
         "serial number and its objects is answered by --yes, else on the terminal; without a "
         "terminal nothing is erased. OPTIONS: --label L, --so-retries N, --user-retries N (0 to 14), "
         "--public-memory B, --private-memory B (0 to 63999); defaults: the token's current "
         "name, retry limits and memory sizes.",
         true, validateInitToken, runInitTokenCommand},
        {"rename", "--slot N --label NAME", "Give the token a new name of 1 to 32 bytes.", true,
         validateRename, runRename},
    };
}
