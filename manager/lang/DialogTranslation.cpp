#include "DialogTranslation.h"

#include "ControlId.h"
#include "QtText.h"

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QList>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QString>
#include <QWidget>

namespace {

constexpr int kMenuTitlesId = 128;

std::string utf8(const QString& text) {
    QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), std::size_t(bytes.size()));
}

void ensureLoaded(Translator& translator) {
    if (!translator.fileLoaded() && !translator.loadAttempted())
        translator.initialize();
}

QString controlText(QWidget* widget, ControlClass kind) {
    if (kind == ControlClass::Button) {
        if (auto* group = qobject_cast<QGroupBox*>(widget))
            return group->title();
        return static_cast<QAbstractButton*>(widget)->text();
    }
    return static_cast<QLabel*>(widget)->text();
}

void setControlText(QWidget* widget, ControlClass kind, const QString& text) {
    if (kind == ControlClass::Button) {
        if (auto* group = qobject_cast<QGroupBox*>(widget))
            group->setTitle(text);
        else
            static_cast<QAbstractButton*>(widget)->setText(text);
    } else {
        static_cast<QLabel*>(widget)->setText(text);
    }
}

// Setting a text on a label that shows a picture would drop the picture.
bool showsPicture(QWidget* widget) {
    auto* label = qobject_cast<QLabel*>(widget);
    return label && (!label->pixmap().isNull() || label->movie());
}

void translateControls(QWidget* parent, Translator& translator) {
    for (QObject* object : parent->children()) {
        auto* child = qobject_cast<QWidget*>(object);
        if (!child || child->isWindow())
            continue;
        int id = controlId(child);
        ControlClass kind = id != 0 ? controlClass(child) : ControlClass::Other;
        if (kind != ControlClass::Other && !showsPicture(child)) {
            QString current = controlText(child, kind);
            QString translated = qtext(translator.translate(id, utf8(current).c_str()));
            // Writing back an unchanged text would still reset a label's state.
            if (translated != current)
                setControlText(child, kind, translated);
        }
        translateControls(child, translator);
    }
}

void translateTopLevel(const QList<QAction*>& actions, Translator& translator) {
    std::string titles = translator.translate(kMenuTitlesId, "");
    if (titles.empty() || actions.isEmpty())
        return;
    std::vector<std::string> parts;
    splitText(titles, "\n", parts);
    for (qsizetype i = 0; i < actions.size(); ++i) {
        QAction* action = actions[i];
        if (!action || action->isSeparator())
            continue;
        std::string title =
            std::size_t(i) < parts.size() ? parts[std::size_t(i)] : "ID_MENU_" + std::to_string(i);
        if (QMenu* submenu = action->menu())
            translateMenuItems(submenu, translator);
        action->setText(qtext(title));
    }
}

} // namespace

ControlClass controlClass(const QWidget* widget) {
    if (qobject_cast<const QPushButton*>(widget) || qobject_cast<const QCheckBox*>(widget) ||
        qobject_cast<const QRadioButton*>(widget) || qobject_cast<const QGroupBox*>(widget))
        return ControlClass::Button;
    if (qobject_cast<const QLabel*>(widget))
        return ControlClass::Static;
    return ControlClass::Other;
}

void translateDialog(QWidget* window, int dialogId, Translator& translator) {
    if (!window)
        return;
    ensureLoaded(translator);
    QString title = window->windowTitle();
    QString translated = qtext(translator.translate(dialogId, utf8(title).c_str()));
    if (translated != title)
        window->setWindowTitle(translated);
    translateControls(window, translator);
}

void translateMenu(QMenuBar* menu, Translator& translator) {
    if (menu)
        translateTopLevel(menu->actions(), translator);
}

void translateMenu(QMenu* menu, Translator& translator) {
    if (menu)
        translateTopLevel(menu->actions(), translator);
}

bool translateMenuItems(QMenu* popup, Translator& translator) {
    // Command ids fall back to "IDM_<id>" only while the titles of id 128 are
    // in use; without a language file the items keep their built-in texts.
    if (!popup || translator.usesDefaults())
        return true;
    for (QAction* action : popup->actions()) {
        if (!action)
            continue;
        if (QMenu* submenu = action->menu()) {
            translateMenuItems(submenu, translator);
            continue;
        }
        if (action->isSeparator())
            continue;
        int id = controlId(action);
        std::string text = translator.translate(id, NoValueMarker);
        if (text == NoValueMarker)
            text = "IDM_" + std::to_string(id);
        action->setText(qtext(text));
    }
    return true;
}

bool splitText(const std::string& text, const std::string& separator,
               std::vector<std::string>& parts) {
    parts.clear();
    if (text.empty())
        return true;
    if (separator.empty()) {
        parts.push_back(text);
        return true;
    }
    std::size_t start = 0;
    for (std::size_t found; (found = text.find(separator, start)) != std::string::npos;) {
        parts.push_back(text.substr(start, found - start));
        start = found + separator.size();
    }
    if (start < text.size())
        parts.push_back(text.substr(start));
    return true;
}
