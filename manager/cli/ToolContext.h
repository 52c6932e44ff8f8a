#pragma once

// What every korvanng-tool command shares: exit codes, the start-up steps of
// the manager (language, token library, slot manager) and their undoing, and
// messages that go to standard error instead of message boxes.

#include "MessagePresenter.h"

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

// Wide enough for the import results, which `import` returns as they are.
enum ExitCode : int {
    ExitOk = 0,
    ExitUsage = 1,
    ExitLibraryFailed = 2,
    ExitManagerFailed = 3,
    ExitNoToken = 4,  // no such slot, or the slot holds no usable token
    ExitRefused = 5,  // the token refused the operation (wrong PIN, blocked, failure)
    ExitBadInput = 6, // a PIN could not be read or does not meet the token's rules
    ExitNoObject = 7, // no such object or container, or not a certificate to export
};

// Prints every message box text to a stream, one line each, and answers as
// pressing Enter would.
class StreamPresenter : public MessagePresenter {
public:
    explicit StreamPresenter(std::ostream& out) : out_(out) {}
    int present(const MessageRequest& request) override;

private:
    std::ostream& out_;
};

// "LanguageId" under the product's key of HKEY_LOCAL_MACHINE, as start-up
// reads it: a decimal text; 0, empty or unreadable counts as absent.
std::optional<std::uint32_t> registryLanguageId();

// Hands the language to the translator as start-up does; `override` wins
// over the registry, and without either the user's locale decides.
void selectLanguage(std::optional<std::uint32_t> override);

// Binds the token library and lists the slots for the lifetime of the
// object; the destructor shuts the manager down and unloads the library,
// whatever start() achieved.
class TokenEnvironment {
public:
    TokenEnvironment() = default;
    ~TokenEnvironment();
    TokenEnvironment(const TokenEnvironment&) = delete;
    TokenEnvironment& operator=(const TokenEnvironment&) = delete;

    // ExitOk, or ExitLibraryFailed / ExitManagerFailed after showing the
    // matching message.
    ExitCode start();

private:
    bool started_ = false;
};

// A text of korvanng-tool's own; ids 10400 to 10429 are reserved for it.
std::string toolText(int id, const char* defaultText);
