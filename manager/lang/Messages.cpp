#include "Messages.h"

#include "MessagePresenter.h"

#include <QApplication>

namespace {

int present(int id, std::string text, unsigned flags, QWidget* owner, Translator& translator) {
    MessageRequest request;
    request.id = id;
    request.text = std::move(text);
    request.title = translator.translate(kMessageTitleId, kMessageTitleDefault);
    request.flags = flags;
    request.owner = owner;
    return messagePresenter().present(request);
}

} // namespace

int showMessage(int id, const char* defaultText, unsigned flags, Translator& translator) {
    std::string text = translator.translate(id, defaultText ? defaultText : "");
    return present(id, std::move(text), flags, nullptr, translator);
}

int showText(const std::string& text, unsigned flags, Translator& translator) {
    return present(-1, text, flags, nullptr, translator);
}

int showMessageOwned(int id, const char* defaultText, unsigned flags, Translator& translator) {
    std::string text = translator.translate(id, defaultText ? defaultText : "");
    return present(id, std::move(text), flags, QApplication::activeWindow(), translator);
}
