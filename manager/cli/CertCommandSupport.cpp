#include "CertCommandSupport.h"

#include "InfoRows.h"
#include "LoginStep.h"
#include "ObjectHandles.h"
#include "OptionParser.h"
#include "PinInput.h"
#include "SlotEntry.h"
#include "SlotManager.h"
#include "TokenLibrary.h"
#include "Translator.h"



namespace {

OptionStore nonEmpty(const char* option, const char* what, std::optional<std::string>& out) {
    return [option, what, &out](const std::string& value, std::ostream& err,
                                const std::string& prefix) {
        if (value.empty()) {
            err << prefix << option << " needs " << what << "\n";
            return false;
        }
        out = value;
        return true;
    };
}

} // namespace

std::optional<CertOptions> parseCert(const char* name, unsigned takes, Selection selection,
                                     const CommandArguments& arguments) {
    CertOptions options;
    OptionTable table;
    table.readsPassword = (takes & TakesPasswordStdin) != 0;
    table.rules.push_back(slotOption(options.slot));
    const std::pair<unsigned, OptionRule> flags[] = {
        {TakesPinStdin, {"--pin-stdin", &options.pinStdin, {}}},
        {TakesPasswordStdin, {"--password-stdin", &options.passwordStdin, {}}},
        {TakesLoginFlag, {"--login", &options.login, {}}},
        {TakesAnswer, {"--yes", &options.yes, {}}},
        {TakesNo, {"--no", &options.no, {}}},
    };
    for (const auto& [bit, rule] : flags)
        if (takes & bit)
            table.rules.push_back(rule);
    if (takes & TakesObject)
        table.rules.push_back(
            {"--object", nullptr,
             [&](const std::string& value, std::ostream& err, const std::string& prefix) {
                 std::optional<std::string> handle = ParseObjectHandle(value);
                 if (!handle) {
                     err << prefix << "'" << value << "' is not an object handle\n";
                     return false;
                 }
                 options.object = std::move(handle);
                 return true;
             }});
    if (takes & TakesContainer)
        table.rules.push_back({"--container", nullptr,
                               nonEmpty("--container", "a container name", options.container)});
    if (takes & TakesOut)
        table.rules.push_back({"--out", nullptr, nonEmpty("--out", "a file name", options.out)});
    if (takes & TakesFile)
        table.plainWord = [&](const std::string& word, std::ostream& err,
                              const std::string& prefix) {
            if (options.file) {
                err << prefix << "only one file can be imported at a time\n";
                return false;
            }
            options.file = word;
            return true;
        };
    if (!parseOptions(name, table, arguments))
        return std::nullopt;

    const std::string prefix = commandPrefix(name);
    auto refuse = [&](const char* problem) {
        arguments.err << prefix << problem << '\n';
        return std::nullopt;
    };
    if (!options.slot)
        return refuse("--slot N is required");
    if (options.yes && options.no)
        return refuse("--yes and --no exclude each other");
    if ((takes & TakesFile) && !options.file)
        return refuse("the file to import is missing");
    if ((takes & TakesOut) && !options.out)
        return refuse("--out FILE is required");
    if (selection == Selection::Object && !options.object)
        return refuse("--object HANDLE is required");
    if (selection == Selection::ObjectOrContainer &&
        options.object.has_value() == options.container.has_value())
        return refuse("give either --object HANDLE or --container NAME");
    return options;
}

SlotEntry* requireToken(CK_SLOT_ID slotId, CommandArguments& arguments) {
    SlotEntry* entry = SlotManager::instance().findSlot(slotId);
    if (entry == nullptr) {
        arguments.err << toolText(10401, "No such slot:") << ' ' << slotId << '\n';
        return nullptr;
    }
    if (!entry->tokenPresent || !entry->tokenRecognized) {
        // The same status text the slot list shows for this slot.
        arguments.err << slotStatusText(*entry) << '\n';
        return nullptr;
    }
    return entry;
}

CK_FUNCTION_LIST* tokenFunctions() {
    return TokenLibrary::instance().functions();
}

bool ToolPrompter::confirm(int messageId, const char* defaultText) {
    asked = true;
    std::string question = translate(messageId, defaultText);
    if (yes_ || no_) {
        err_ << question << '\n';
        return yes_;
    }
    std::optional<bool> answer = askYesNoOnTerminal(question);
    if (!answer) {
        err_ << question << '\n' << toolText(noTerminalId_, noTerminalText_) << '\n';
        noTerminal = true;
        return false;
    }
    return *answer;
}

ExitCode loginIfAsked(bool wanted, const CertOptions& options, CommandArguments& arguments) {
    if (!wanted)
        return ExitOk;
    PinInput input(options.pinStdin);
    std::optional<SecurePin> pin = input.read(translate(800, "User PIN:"));
    if (!pin) {
        if (input.fromStdin())
            arguments.err << toolText(10402, "A PIN is missing on standard input.") << '\n';
        else
            arguments.err << toolText(10403, "No terminal to read the PIN from; use --pin-stdin.")
                          << '\n';
        return ExitBadInput;
    }
    CK_SLOT_ID slotId = *options.slot;
    if (!loginEnabled(readPinBounds(slotId), *pin)) {
        arguments.err << toolText(10404, "The PIN is shorter than the token's minimum.") << '\n';
        return ExitBadInput;
    }
    LoginOutcome outcome = runLoginStep(slotId, *pin);
    if (outcome.tokenRemoved)
        return ExitNoToken;
    return outcome.loggedIn ? ExitOk : ExitRefused;
}

std::optional<TreeSelection> findInTree(const ContainerTree& tree, const CertOptions& options,
                                        const TokenObjectInfo* record) {
    for (size_t r = 0; r < tree.roots.size(); ++r) {
        const ContainerNode& root = tree.roots[r];
        if (options.container) {
            if (!root.record->containerName.empty() &&
                root.record->containerName == *options.container)
                return TreeSelection{static_cast<int>(r), -1};
            continue;
        }
        for (size_t c = 0; c < root.children.size(); ++c)
            if (record != nullptr && root.children[c].record == record)
                return TreeSelection{static_cast<int>(r), static_cast<int>(c)};
    }
    return std::nullopt;
}

const TokenObjectInfo* resolveObject(SlotEntry& entry, const CertOptions& options,
                                     CommandArguments& arguments, ExitCode& exit) {
    exit = ExitOk;
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    std::vector<const TokenObjectInfo*> found;
    if (entry.getSession(&session) == CKR_OK)
        found = FindObjectsByHandle(tokenFunctions(), session, entry.objects, *options.object);
    if (found.size() == 1)
        return found.front();
    if (found.empty()) {
        exit = notFound(options, arguments);
        return nullptr;
    }
    arguments.err << toolText(10424, "The handle names more than one object:") << ' '
                  << *options.object << '\n';
    exit = ExitNoObject;
    return nullptr;
}

std::string handleText(SlotEntry& entry, const TokenObjectInfo& record) {
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    if (entry.getSession(&session) != CKR_OK)
        return "-";
    return ObjectHandleOf(tokenFunctions(), session, record).value_or("-");
}

ExitCode notFound(const CertOptions& options, CommandArguments& arguments) {
    if (options.container)
        arguments.err << toolText(10413, "No such container:") << ' ' << *options.container << '\n';
    else
        arguments.err << toolText(10412, "No such object:") << ' ' << *options.object << '\n';
    return ExitNoObject;
}
