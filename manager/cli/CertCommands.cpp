// list-objects, import, export, delete and inspect: the certificate view, its
// import, export and delete, and the object inspector as commands, over the
// same certificate operations and with the same messages.

#include "CertCommandSupport.h"
#include "CertCommon.h"
#include "CertFileImport.h"
#include "Command.h"
#include "ContainerModel.h"
#include "ImportFlow.h"
#include "InfoRows.h"
#include "MessageFlags.h"
#include "Messages.h"
#include "ObjectInspector.h"
#include "PinInput.h"
#include "SlotEntry.h"
#include "SlotManager.h"
#include "TokenLibrary.h"
#include "Translator.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

void showViewMessage(const ViewMessage& message) {
    if (message.id != 0)
        showMessage(message.id, message.defaultText, message.flags);
}

// ----- list-objects

constexpr unsigned kListTakes = TakesPinStdin | TakesLoginFlag;

bool validateList(CommandArguments& arguments) {
    return parseCert("list-objects", kListTakes, Selection::None, arguments).has_value();
}

ExitCode runList(CommandArguments& arguments) {
    CertOptions options = *parseCert("list-objects", kListTakes, Selection::None, arguments);
    SlotEntry* entry = requireToken(*options.slot, arguments);
    if (entry == nullptr)
        return ExitNoToken;
    if (ExitCode login = loginIfAsked(options.login, options, arguments); login != ExitOk)
        return login;
    SlotEntry::Lock guard = entry->lock();
    ContainerTree tree = BuildContainerTree(tokenFunctions(), *entry, std::time(nullptr));
    const std::string valid = toolText(10410, "valid");
    const std::string outOfDate = toolText(10411, "out of date");
    for (const ContainerNode& root : tree.roots) {
        arguments.out << root.text;
        if (!root.record->containerName.empty())
            arguments.out << '\t' << root.record->containerName;
        arguments.out << '\n';
        for (const ObjectNode& child : root.children) {
            arguments.out << '\t' << child.text << '\t' << handleText(*entry, *child.record);
            if (child.record->objectClass == CKO_CERTIFICATE)
                arguments.out << '\t'
                              << (child.image == TreeImage::CertificateValid ? valid : outOfDate);
            arguments.out << '\n';
        }
    }
    return ExitOk;
}

// ----- import

constexpr unsigned kImportTakes =
    TakesPinStdin | TakesPasswordStdin | TakesAnswer | TakesNo | TakesFile;

// The dialog sends every extension other than .cer and .p7b to the PKCS#12
// importer; the tool also takes certificate files under their other usual names.
std::optional<ImportKind> importKindForFile(const std::string& path) {
    std::string extension = fs::path(path).extension().string();
    for (char& c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension == ".der" || extension == ".crt" || extension == ".pem")
        return ImportKind::Certificate;
    return std::nullopt;
}

bool validateImport(CommandArguments& arguments) {
    return parseCert("import", kImportTakes, Selection::None, arguments).has_value();
}

ExitCode runImport(CommandArguments& arguments) {
    CertOptions options = *parseCert("import", kImportTakes, Selection::None, arguments);
    CK_SLOT_ID slotId = *options.slot;
    SlotEntry* entry = requireToken(slotId, arguments);
    if (entry == nullptr)
        return ExitNoToken;

    // The PIN first, then the password: both may come from standard input.
    if (ExitCode login = loginIfAsked(true, options, arguments); login != ExitOk)
        return login;
    ImportRequest request;
    request.slotId = slotId;
    request.path = *options.file;
    request.kind = importKindForFile(request.path);
    if (!request.kind && PasswordNeededForPath(request.path)) {
        PinInput input(options.passwordStdin);
        std::optional<SecurePin> password = input.read(translate(861, "Certificate Password:"));
        if (!password) {
            if (input.fromStdin())
                arguments.err << toolText(10415, "A password is missing on standard input.")
                              << '\n';
            else
                arguments.err << toolText(10416, "No terminal to read the password from; use "
                                                 "--password-stdin.")
                              << '\n';
            return ExitBadInput;
        }
        // Straight into the request's own buffer, which is wiped: no temporary copy.
        request.password.assign(password->view());
    }

    {
        SlotEntry::Lock guard = entry->lock();
        request.knownCertificates =
            BuildContainerTree(tokenFunctions(), *entry, std::time(nullptr)).knownCertificates;
    }
    ToolPrompter prompter(options, arguments.err, 10417,
                          "No terminal to answer the question; taken as No.");
    ImportFlowHooks hooks;
    hooks.prompter = &prompter;
    ImportFlowOutcome outcome =
        RunCertificateImport(TokenLibrary::instance(), SlotManager::instance(), request, hooks);
    RefreshSlotAfterImport(SlotManager::instance(), slotId);
    // Keep the password no longer than needed.
    WipePassword(request.password);
    if (outcome.messageId != 0)
        showMessage(outcome.messageId, outcome.messageDefault, outcome.messageFlags);
    // A declined PKCS#12 import carries a non-zero result that names no
    // failure (it would read as "not enough space"); No is the user's choice.
    if (outcome.declined && !outcome.imported && outcome.messageId == 0)
        return ExitOk;
    return static_cast<ExitCode>(importResultExitCode(outcome.result));
}

// ----- export

constexpr unsigned kExportTakes = TakesObject | TakesContainer | TakesOut;

bool validateExport(CommandArguments& arguments) {
    return parseCert("export", kExportTakes, Selection::ObjectOrContainer, arguments).has_value();
}

ExitCode runExport(CommandArguments& arguments) {
    CertOptions options =
        *parseCert("export", kExportTakes, Selection::ObjectOrContainer, arguments);
    CK_SLOT_ID slotId = *options.slot;
    SlotEntry* entry = requireToken(slotId, arguments);
    if (entry == nullptr)
        return ExitNoToken;
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    {
        SlotEntry::Lock guard = entry->lock();
        ContainerTree tree = BuildContainerTree(tokenFunctions(), *entry, std::time(nullptr));
        const TokenObjectInfo* record = nullptr;
        if (options.object) {
            ExitCode exit = ExitOk;
            record = resolveObject(*entry, options, arguments, exit);
            if (record == nullptr)
                return exit;
        }
        std::optional<TreeSelection> found = findInTree(tree, options, record);
        if (!found)
            return notFound(options, arguments);
        const ContainerNode& root = tree.roots[static_cast<size_t>(found->root)];
        if (found->isObject()) {
            const ObjectNode& node = root.children[static_cast<size_t>(found->child)];
            if (node.record->objectClass != CKO_CERTIFICATE) {
                arguments.err << toolText(10414, "The object is not a certificate:") << ' '
                              << *options.object << '\n';
                return ExitNoObject;
            }
            handle = node.record->handle;
        } else {
            for (const ObjectNode& node : root.children)
                if (node.record->objectClass == CKO_CERTIFICATE) {
                    handle = node.record->handle;
                    break;
                }
            if (handle == CK_INVALID_HANDLE)
                return notFound(options, arguments);
        }
    }
    if (ExportCertificate(tokenFunctions(), slotId, handle, *options.out) != CKR_OK) {
        arguments.err << toolText(10419, "The certificate could not be exported.") << '\n';
        return ExitRefused;
    }
    showMessage(871, "Export certificate successfully!", MB_ICONINFORMATION);
    return ExitOk;
}

// ----- delete

constexpr unsigned kDeleteTakes = TakesPinStdin | TakesAnswer | TakesObject | TakesContainer;

bool validateDelete(CommandArguments& arguments) {
    return parseCert("delete", kDeleteTakes, Selection::ObjectOrContainer, arguments).has_value();
}

ExitCode runDelete(CommandArguments& arguments) {
    CertOptions options =
        *parseCert("delete", kDeleteTakes, Selection::ObjectOrContainer, arguments);
    CK_SLOT_ID slotId = *options.slot;
    SlotEntry* entry = requireToken(slotId, arguments);
    if (entry == nullptr)
        return ExitNoToken;
    // Logged in, the tree holds the private keys too: a container goes whole.
    if (ExitCode login = loginIfAsked(true, options, arguments); login != ExitOk)
        return login;
    SlotEntry::Lock guard = entry->lock();
    ContainerTree tree = BuildContainerTree(tokenFunctions(), *entry, std::time(nullptr));
    // The handle is looked up afresh: it names the same object in every
    // listing, whatever was added or removed since, or nothing is deleted.
    const TokenObjectInfo* record = nullptr;
    if (options.object) {
        ExitCode exit = ExitOk;
        record = resolveObject(*entry, options, arguments, exit);
        if (record == nullptr)
            return exit;
    }
    std::optional<TreeSelection> found = findInTree(tree, options, record);
    if (!found)
        return notFound(options, arguments);
    // What the question is about, as list-objects shows it.
    const ContainerNode& root = tree.roots[static_cast<size_t>(found->root)];
    arguments.err << root.text;
    if (found->isObject()) {
        const ObjectNode& node = root.children[static_cast<size_t>(found->child)];
        arguments.err << '\t' << node.text << '\t' << *options.object;
    }
    arguments.err << '\n';
    ToolPrompter prompter(options, arguments.err, 10418,
                          "No terminal to confirm the delete; use --yes.");
    DeleteOutcome outcome = DeleteSelection(tokenFunctions(), entry, tree, *found, prompter);
    showViewMessage(outcome.message);
    if (outcome.succeeded)
        return ExitOk;
    if (prompter.noTerminal)
        return ExitBadInput;
    // Answered No: nothing to do. Yes without an attempt: the session failed.
    if (!outcome.attempted)
        return options.yes || !prompter.asked ? ExitRefused : ExitOk;
    return ExitRefused;
}

// ----- inspect

constexpr unsigned kInspectTakes = TakesPinStdin | TakesLoginFlag | TakesObject;

bool validateInspect(CommandArguments& arguments) {
    return parseCert("inspect", kInspectTakes, Selection::Object, arguments).has_value();
}

// The dump's lines end in CR LF for the dialog's edit; a terminal wants LF.
void writeDump(std::ostream& out, const std::string& dump) {
    size_t start = 0;
    while (start < dump.size()) {
        size_t end = dump.find("\r\n", start);
        std::string line = dump.substr(start, end == std::string::npos ? end : end - start);
        out << "    " << line << '\n';
        if (end == std::string::npos)
            break;
        start = end + 2;
    }
}

ExitCode runInspect(CommandArguments& arguments) {
    CertOptions options = *parseCert("inspect", kInspectTakes, Selection::Object, arguments);
    CK_SLOT_ID slotId = *options.slot;
    SlotEntry* entry = requireToken(slotId, arguments);
    if (entry == nullptr)
        return ExitNoToken;
    if (ExitCode login = loginIfAsked(options.login, options, arguments); login != ExitOk)
        return login;
    SlotEntry::Lock guard = entry->lock();
    entry->loadObjects();
    ExitCode exit = ExitOk;
    const TokenObjectInfo* record = resolveObject(*entry, options, arguments, exit);
    if (record == nullptr)
        return exit;

    arguments.out << InspectorTitle(record->objectClass) << '\n';
    char typeText[32];
    for (const InspectorRow& row : ReadInspectorRows(tokenFunctions(), slotId, *record)) {
        std::snprintf(typeText, sizeof typeText, "0x%08lX", static_cast<unsigned long>(row.type));
        arguments.out << row.name << '\t' << typeText << '\t' << row.value << '\n';
        writeDump(arguments.out, InspectorRowDump(row));
    }
    return ExitOk;
}

} // namespace

std::vector<Command> certCommands() {
    return {
        {"list-objects", "--slot N [--login [--pin-stdin]]",
         "List the key containers and their objects as the certificate view groups them: a "
         "container line (name, TAB, container id), then one TAB-indented line per object "
         "(kind, handle, validity of certificates); handles are explained below. --login asks the user PIN first, to show "
         "private objects too.",
         true, validateList, runList},
        {"import", "--slot N FILE [--pin-stdin] [--password-stdin] [--yes|--no]",
         "Import a PKCS#12 file (.pfx, .p12 and any other name), a certificate (.cer, .der, "
         ".crt, .pem) or a PKCS#7 bundle (.p7b) into a new container. Asks the user PIN, then "
         "the file's password (PKCS#12 only); from standard input the PIN is the first line and "
         "the password the next. --yes/--no answer whether a certificate already on the token "
         "is imported again; without them the terminal is asked, and without a terminal the "
         "answer is No. The exit status is the import's result (see below).",
         true, validateImport, runImport},
        {"export", "--slot N (--object HANDLE | --container ID) --out FILE",
         "Write a certificate object, as stored (DER), to FILE; --container takes the "
         "container's certificate.",
         true, validateExport, runExport},
        {"delete", "--slot N (--object HANDLE | --container ID) [--pin-stdin] [--yes]",
         "Delete one object, or a container with all its objects, after the user PIN (a handle "
         "from either listing). --yes "
         "confirms; without it the terminal is asked, and without a terminal nothing is deleted.",
         true, validateDelete, runDelete},
        {"inspect", "--slot N --object HANDLE [--login [--pin-stdin]]",
         "Show an object's attributes as the object inspector does: name, TAB, attribute type, "
         "TAB, value (booleans), each followed by its hex dump. --login is needed for private "
         "objects.",
         true, validateInspect, runInspect},
    };
}
