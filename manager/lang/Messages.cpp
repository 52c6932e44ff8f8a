#include "Messages.h"

#include "MessagePresenter.h"

#include <QApplication>
#include <QCursor>

#include <vector>

namespace {

// A box is read and answered with the normal cursor, even when the work
// that shows it runs under the wait cursor; that work's cursors come back
// once the box is answered.
class NormalCursorWhileShown {
public:
    NormalCursorWhileShown() {
        if (qGuiApp == nullptr)
            return;
        // Bounded: a runaway cursor stack must not hold the box back.
        for (int i = 0; i < kMaxCursors && QGuiApplication::overrideCursor() != nullptr; ++i) {
            saved_.push_back(*QGuiApplication::overrideCursor());
            QGuiApplication::restoreOverrideCursor();
        }
    }
    ~NormalCursorWhileShown() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
            QGuiApplication::setOverrideCursor(*it);
    }
    NormalCursorWhileShown(const NormalCursorWhileShown&) = delete;
    NormalCursorWhileShown& operator=(const NormalCursorWhileShown&) = delete;

private:
    static constexpr int kMaxCursors = 64;
    std::vector<QCursor> saved_;
};

int present(int id, std::string text, unsigned flags, QWidget* owner, Translator& translator) {
    NormalCursorWhileShown normalCursor;
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
