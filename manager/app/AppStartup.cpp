#include "AppStartup.h"

#include "LanguageSelection.h"
#include "MessageFlags.h"
#include "Messages.h"
#include "ProductConfig.h"
#include "SlotManager.h"
#include "TokenLibrary.h"
#include "Translator.h"

AppStartup::AppStartup(TokenLibrary& library, SlotManager& slotManager, Translator& translator)
    : instanceText(productConfig.instanceGuidText), registryKey(productConfig.registryKey),
      languageStem(productConfig.managerLanguageStem), library_(library), slotManager_(slotManager),
      translator_(translator) {
    loadLibrary = [this] { return library_.load(); };
}

AppStartup::~AppStartup() = default;

AppStartup::Outcome AppStartup::initInstance() {
    lock_ = std::make_unique<platform::SingleInstanceLock>(instanceText.c_str());
    // Only a lock held elsewhere ends start-up; a lock that cannot be made
    // at all lets it go on, as a failed mutex would.
    if (lock_->acquire() == platform::SingleInstanceLock::Outcome::HeldByAnother)
        return Outcome::AnotherInstance;

    // Before the library, so the failure messages are already translated.
    selectLanguage(translator_, registryKey.c_str(), languageStem.c_str());

    if (!loadLibrary || !loadLibrary()) {
        showMessage(50000, "Initialize PKCS#11 library failed!", MB_ICONERROR, translator_);
        return Outcome::LibraryFailed;
    }
    if (!slotManager_.initialize()) {
        showMessage(50001, "Initialize Korvan manager failed!", MB_ICONERROR, translator_);
        return Outcome::ManagerFailed;
    }
    if (!createMainWindow || !createMainWindow())
        return Outcome::WindowFailed;
    return Outcome::Started;
}

void AppStartup::exitInstance() {
    slotManager_.shutdown();
    library_.unload();
}

int exitCodeFor(AppStartup::Outcome outcome, int loopResult) {
    switch (outcome) {
    case AppStartup::Outcome::Started:
        return loopResult;
    case AppStartup::Outcome::AnotherInstance:
        return 0;
    default:
        return 1;
    }
}
