#include "ToolContext.h"

#include "MessageFlags.h"
#include "Messages.h"
#include "ProductConfig.h"
#include "SlotManager.h"
#include "TokenLibrary.h"
#include "Translator.h"
#include "platform/Registry.h"

#include <cstdlib>

int StreamPresenter::present(const MessageRequest& request) {
    out_ << request.text << std::endl;
    MessageBoxLayout layout = messageBoxLayout(request.flags);
    return layout.answerFor(layout.defaultButton);
}

std::optional<std::uint32_t> registryLanguageId() {
    auto key = platform::RegistryKey::open(platform::RegistryRoot::LocalMachine,
                                           productConfig.registryKey);
    if (!key)
        return std::nullopt;
    std::optional<std::string> text = key->stringValue("LanguageId");
    if (!text)
        return std::nullopt;
    long id = std::atol(text->c_str());
    if (id == 0)
        return std::nullopt;
    return static_cast<std::uint32_t>(id);
}

void selectLanguage(std::optional<std::uint32_t> override) {
    Translator& translator = Translator::instance();
    std::optional<std::uint32_t> id = override ? override : registryLanguageId();
    if (id)
        translator.setLanguageId(*id);
    translator.setStem(productConfig.managerLanguageStem);
}

TokenEnvironment::~TokenEnvironment() {
    if (!started_)
        return;
    SlotManager::instance().shutdown();
    TokenLibrary::instance().unload();
}

ExitCode TokenEnvironment::start() {
    started_ = true;
    if (!TokenLibrary::instance().load()) {
        showMessage(50000, "Initialize PKCS#11 library failed!", MB_ICONERROR);
        return ExitLibraryFailed;
    }
    if (!SlotManager::instance().initialize()) {
        showMessage(50001, "Initialize Korvan manager failed!", MB_ICONERROR);
        return ExitManagerFailed;
    }
    return ExitOk;
}

std::string toolText(int id, const char* defaultText) {
    return translate(id, defaultText);
}
