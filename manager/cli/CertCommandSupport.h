#pragma once

// What the certificate commands share: their options, the token and login
// checks before the work, and the prompter that answers the operations'
// questions from --yes/--no or the terminal.

#include "Command.h"
#include "ContainerModel.h"

#include <p11-kit/pkcs11.h>

#include <optional>
#include <ostream>
#include <string>

class SlotEntry;

struct CertOptions {
    std::optional<unsigned long> slot;
    bool pinStdin = false;
    bool passwordStdin = false;
    bool login = false;
    bool yes = false;
    bool no = false;
    std::optional<std::string> object; // an ObjectHandles.h handle, lower case
    std::optional<std::string> container;
    std::optional<std::string> out;
    std::optional<std::string> file;
};

// Which options a command takes besides --slot.
enum CertOptionSet : unsigned {
    TakesPinStdin = 1,
    TakesLoginFlag = 2,
    TakesPasswordStdin = 4,
    TakesAnswer = 8, // --yes (and --no where the question may be declined)
    TakesNo = 16,
    TakesObject = 32,
    TakesContainer = 64,
    TakesOut = 128,
    TakesFile = 256,
};

// What the command needs selected: nothing, one object, or an object or a
// container.
enum class Selection { None, Object, ObjectOrContainer };

std::optional<CertOptions> parseCert(const char* name, unsigned takes, Selection selection,
                                     const CommandArguments& arguments);

// The slot must exist and hold a usable token before anything is asked.
SlotEntry* requireToken(CK_SLOT_ID slotId, CommandArguments& arguments);

CK_FUNCTION_LIST* tokenFunctions();

// Reads the user PIN (when `wanted`) and logs the slot's session in, in this
// process, through the slot entry. ExitOk when logged in or not wanted;
// otherwise the reason was shown or written to err: ExitBadInput (no PIN, too
// short), ExitNoToken (token removed), ExitRefused (wrong or blocked PIN).
ExitCode loginIfAsked(bool wanted, const CertOptions& options, CommandArguments& arguments);

// Answers the certificate operations' questions from --yes/--no, else from
// the terminal. The question is written to standard error when an option
// answers it, so a log shows what was decided.
class ToolPrompter : public Prompter {
public:
    ToolPrompter(const CertOptions& options, std::ostream& err, int noTerminalId,
                 const char* noTerminalText)
        : yes_(options.yes), no_(options.no), err_(err), noTerminalId_(noTerminalId),
          noTerminalText_(noTerminalText) {}

    bool confirm(int messageId, const char* defaultText) override;

    bool asked = false;
    bool noTerminal = false;

private:
    bool yes_;
    bool no_;
    std::ostream& err_;
    int noTerminalId_;
    const char* noTerminalText_;
};

// The record of the slot's loaded objects that the --object handle names.
// Call under the slot's lock, after loadObjects(). A handle that names no
// object or more than one is reported (ExitNoObject) and gives null.
const TokenObjectInfo* resolveObject(SlotEntry& entry, const CertOptions& options,
                                     CommandArguments& arguments, ExitCode& exit);

// The handle list-objects shows for a record; "-" when it cannot be made.
std::string handleText(SlotEntry& entry, const TokenObjectInfo& record);

// Where the --container name, or the object `record` (from resolveObject),
// sits in the tree.
std::optional<TreeSelection> findInTree(const ContainerTree& tree, const CertOptions& options,
                                        const TokenObjectInfo* record);

// Reports the missing object or container; ExitNoObject.
ExitCode notFound(const CertOptions& options, CommandArguments& arguments);
