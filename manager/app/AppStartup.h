#pragma once

#include "platform/SingleInstanceLock.h"

#include <functional>
#include <memory>
#include <string>

class SlotManager;
class TokenLibrary;
class Translator;

// What happens from process start until the main window is shown, and the
// exit sequence. Kept apart from the toolkit so each step can be tried on
// its own: the library and window steps are replaceable.
class AppStartup {
public:
    enum class Outcome {
        Started,         // the main window is shown
        AnotherInstance, // a manager is already running: end silently
        LibraryFailed,   // message 50000 was shown
        ManagerFailed,   // message 50001 was shown
        WindowFailed,    // the main window could not be created
    };

    AppStartup(TokenLibrary& library, SlotManager& slotManager, Translator& translator);
    ~AppStartup();
    AppStartup(const AppStartup&) = delete;
    AppStartup& operator=(const AppStartup&) = delete;

    // The text the single-instance lock is named after.
    std::string instanceText;
    // The registry key holding "LanguageId" and the language file stem.
    std::string registryKey;
    std::string languageStem;
    // Binds the token library; TokenLibrary::load() unless replaced.
    std::function<bool()> loadLibrary;
    // Creates and shows the main window; false when it could not.
    std::function<bool()> createMainWindow;

    // Takes the lock, selects the language, binds the library, lists the
    // slots and creates the main window, in this order.
    Outcome initInstance();
    // Stops the slot monitor and releases the library. Runs after every
    // start-up, a failed one included; with nothing bound it does nothing.
    void exitInstance();

private:
    TokenLibrary& library_;
    SlotManager& slotManager_;
    Translator& translator_;
    // Held for the life of the process, as the named mutex would be.
    std::unique_ptr<platform::SingleInstanceLock> lock_;
};

// The process exit code for an outcome: 0 for a second instance (it ends
// silently, as if nothing had happened), 1 for a failed start-up.
int exitCodeFor(AppStartup::Outcome outcome, int loopResult);
