#pragma once

// The import dialog's work without the dialog: which importer a path goes
// to, the whole OK sequence with its closing and message, and the file
// dialog filters. The Qt dialog and korvanng-tool run the same sequence.

#include "CertCommon.h"
#include "ImportResult.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class SlotManager;

enum class ImportKind { Pkcs12, Certificate, Pkcs7 };

// ".p7b" → Pkcs7, ".cer" → Certificate (case ignored), anything else Pkcs12.
ImportKind ImportKindForPath(const std::string& path);

// The password controls are hidden for .cer and .p7b files.
bool PasswordNeededForPath(const std::string& path);

struct FileFilter {
    const char* description;
    const char* pattern; // used as it stands; two have no dot
};
// The open dialog's four filters, in order (filter index 1 is the first).
const std::vector<FileFilter>& ImportFileFilters();
inline constexpr const char* kImportDefaultExtension = "*.PFX";
// The export save dialog: default extension and filter text. It opens with
// an empty name: a pattern such as "*.cer" there would be saved as a file.
inline constexpr const char* kExportDefaultExtension = "cert";
inline constexpr const char* kExportFilter = "Cert Files (*.cer)|*.cer|All Files (*.*)|*.*||";

struct ImportRequest {
    CK_SLOT_ID slotId = 0;
    std::string path;
    std::string password; // wiped with the request
    std::vector<Bytes> knownCertificates;
    // The importer to use; unset: the one the path's extension chooses.
    std::optional<ImportKind> kind;

    ~ImportRequest() { WipePassword(password); }
};

enum class ImportDialogEnd {
    StayOpen, // the dialog remains
    Accepted, // closed with OK: something was imported
    Cancelled,
};

struct ImportFlowOutcome {
    ImportDialogEnd end = ImportDialogEnd::StayOpen;
    bool imported = false;
    bool declined = false;
    bool ran = false; // an importer was run
    ImportResult result = ImportResult::Success;
    // The message to show last, e.g. showMessage(messageId, messageDefault,
    // messageFlags); messageText is the same already translated (for
    // korvanng-tool). 0: no message.
    int messageId = 0;
    const char* messageDefault = nullptr;
    std::string messageText;
    unsigned messageFlags = 0;
};

struct ImportFlowHooks {
    // Called when a failed import closes the dialog, before the wait and the
    // message.
    std::function<void()> closeEarly;
    // The fixed pause before the outcome (1000 ms in the dialog); tests and
    // benchmarks leave it empty.
    std::function<void(std::chrono::milliseconds)> wait;
    Prompter* prompter = nullptr;
};

inline constexpr std::chrono::milliseconds kImportSettleTime{1000};

// The view's checks around the import dialog. Before: false (with a debug
// trace) while the view has no slot yet. After any import dialog: the slot's
// token information is read again (free memory changed); a slot that is gone
// leaves a debug trace. True when the slot was found.
bool ImportAllowedForSlot(CK_SLOT_ID slotId);
bool RefreshSlotAfterImport(SlotManager& manager, CK_SLOT_ID slotId);

// The OK sequence of the import dialog over the given library and slots:
// session check, container name, the importer the extension chooses, then the
// outcome. StayOpen: the dialog remains (nothing happened, or a .cer/.p7b
// duplicate was declined). Accepted: close with OK and refresh the view.
// Cancelled: close as cancelled (hooks.closeEarly may have done so already),
// then show the message when there is one. The duplicate question goes to
// hooks.prompter; without one a duplicate is declined.
ImportFlowOutcome RunCertificateImport(const TokenLibrary& library, SlotManager& manager,
                                       const ImportRequest& request, const ImportFlowHooks& hooks);
