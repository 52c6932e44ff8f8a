#include "ImportFlow.h"

#include "CertFileImport.h"
#include "MessageFlags.h"
#include "Pkcs12Import.h"
#include "SlotManager.h"
#include "TokenLibrary.h"
#include "platform/DebugOutput.h"

#include <cctype>

namespace {

std::string lowerExtension(const std::string& path) {
    size_t slash = path.find_last_of('/');
    size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return {};
    std::string extension = path.substr(dot);
    for (char& c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

void setMessage(ImportFlowOutcome& outcome, ImportResult result) {
    ImportResultMessage message = importResultMessage(result);
    outcome.messageId = message.id;
    outcome.messageDefault = message.defaultText;
    outcome.messageText = importResultText(result);
    outcome.messageFlags = MB_ICONERROR;
}

} // namespace

ImportKind ImportKindForPath(const std::string& path) {
    std::string extension = lowerExtension(path);
    if (extension == ".p7b")
        return ImportKind::Pkcs7;
    if (extension == ".cer")
        return ImportKind::Certificate;
    return ImportKind::Pkcs12;
}

bool PasswordNeededForPath(const std::string& path) {
    return ImportKindForPath(path) == ImportKind::Pkcs12;
}

const std::vector<FileFilter>& ImportFileFilters() {
    static const std::vector<FileFilter> filters = {
        {"PFX Files and P12 Files(*.PFX;*.P12)", "*.PFX;*.P12"},
        {"P7B Files(*.P7B)", "*p7b"},
        {"X509 Certificate Files(*.CER)", "*cer"},
        {"All files (*.*)", "*.*"},
    };
    return filters;
}

bool ImportAllowedForSlot(CK_SLOT_ID slotId) {
    if (slotId != 0)
        return true;
    platform::debugOutput("Err: Imp Cert slot id is null!");
    return false;
}

bool RefreshSlotAfterImport(SlotManager& manager, CK_SLOT_ID slotId) {
    SlotEntry* slot = manager.findSlot(slotId);
    if (slot == nullptr) {
        platform::debugOutput("Err:Imp Cert Get Slot pointer is null!");
        return false;
    }
    if (slot->tokenPresent)
        slot->refreshTokenInfo();
    return true;
}

ImportFlowOutcome RunCertificateImport(const TokenLibrary& library, SlotManager& manager,
                                       const ImportRequest& request, const ImportFlowHooks& hooks) {
    ImportFlowOutcome outcome;
    CK_FUNCTION_LIST* functions = library.functions();
    SlotEntry* slot = manager.findSlot(request.slotId);
    if (functions == nullptr || slot == nullptr)
        return outcome;

    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    CK_SESSION_INFO info{};
    if (slot->getSession(&session) != CKR_OK || session == CK_INVALID_HANDLE ||
        functions->C_GetSessionInfo(session, &info) != CKR_OK) {
        outcome.end = ImportDialogEnd::Cancelled;
        outcome.result = ImportResult::SessionInvalid;
        setMessage(outcome, outcome.result);
        return outcome;
    }

    ImportKind kind = request.kind.value_or(ImportKindForPath(request.path));
    // Without a container name the import still runs, under an empty one.
    ImportContainerName container = MakeImportContainerName(library);
    const ContainerNameResult& name = container.name;
    bool named = name.rv == CKR_OK;
    outcome.ran = true;

    size_t writtenBeforeDecline = 0;
    switch (kind) {
    case ImportKind::Pkcs7: {
        CP7bFileImporter importer(request.knownCertificates, hooks.prompter);
        outcome.result =
            importer.import(functions, session, slot->tokenNumber(3), request.path, name.name,
                            container.where);
        outcome.declined = importer.declined();
        writtenBeforeDecline = importer.written();
        break;
    }
    case ImportKind::Certificate: {
        CCertFileImporter importer(request.knownCertificates, hooks.prompter);
        outcome.result =
            importer.import(functions, session, slot->tokenNumber(3), request.path, name.name,
                            container.where);
        outcome.declined = importer.declined();
        break;
    }
    case ImportKind::Pkcs12: {
        ImportOutcome imported =
            ImportPkcs12File(functions, session, request.path, request.password,
                             request.knownCertificates, name.name, UsageBoth, hooks.prompter,
                             container.where);
        outcome.result = imported.result;
        outcome.declined = imported.declined;
        break;
    }
    }

    if (outcome.result != ImportResult::Success && (kind == ImportKind::Pkcs12 || named)) {
        outcome.end = ImportDialogEnd::Cancelled;
        if (hooks.closeEarly)
            hooks.closeEarly();
    }
    // A bundle whose later certificate was declined may still have written
    // others: those must show, so only a decline that wrote nothing stops here.
    if (outcome.declined && writtenBeforeDecline == 0)
        return outcome;

    if (hooks.wait)
        hooks.wait(kImportSettleTime);

    if (outcome.result == ImportResult::Success) {
        outcome.imported = true;
        outcome.end = ImportDialogEnd::Accepted;
        return outcome;
    }
    if (!slot->tokenPresent)
        outcome.result = ImportResult::TokenRemoved;
    setMessage(outcome, outcome.result);
    outcome.end = ImportDialogEnd::Cancelled;
    return outcome;
}
