#include "DialogTranslation.h"
#include "ControlId.h"
#include "LangUiFixture.h"

#include <QAction>
#include <QCheckBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {

std::string s(const QString& text) {
    return text.toStdString();
}

// A dialog shaped like a PIN dialog template: OK and Cancel, labels, a group
// box holding a check box and a radio button, an edit, an id-less label, a
// label without any id, and a child window whose label shares an id.
struct PinDialog {
    PinDialog() {
        dialog.setWindowTitle("Change PIN");
        auto* layout = new QVBoxLayout(&dialog);
        ok = add<QPushButton>(layout, "OK", 1);
        cancel = add<QPushButton>(layout, "Cancel", 2);
        oldPin = add<QLabel>(layout, "Old PIN:", 810);
        untranslated = add<QLabel>(layout, "Keep me", 899);
        noId = add<QLabel>(layout, "Static text", kControlIdNone);
        unmarked = add<QLabel>(layout, "Layout helper", 0);
        unmarked->setProperty(kControlIdProperty, QVariant());
        edit = add<QLineEdit>(layout, "1234", 1001);

        group = new QGroupBox("Mode", &dialog);
        setControlId(group, 812);
        layout->addWidget(group);
        auto* inner = new QVBoxLayout(group);
        remember = new QCheckBox("Remember", group);
        setControlId(remember, 811);
        inner->addWidget(remember);
        radio = new QRadioButton("Fast", group);
        setControlId(radio, 813);
        inner->addWidget(radio);

        child = new QDialog(&dialog);
        childLabel = new QLabel("Child old PIN:", child);
        setControlId(childLabel, 810);
    }

    template <class W> W* add(QVBoxLayout* layout, const char* text, int id) {
        auto* w = new W(text, &dialog);
        setControlId(w, id);
        layout->addWidget(w);
        return w;
    }

    QDialog dialog;
    QPushButton* ok;
    QPushButton* cancel;
    QLabel* oldPin;
    QLabel* untranslated;
    QLabel* noId;
    QLabel* unmarked;
    QLineEdit* edit;
    QGroupBox* group;
    QCheckBox* remember;
    QRadioButton* radio;
    QDialog* child;
    QLabel* childLabel;
};

const char* kDialogStrings = "138=PIN ändern\n"
                             "1=Gut\n"
                             "2=Abbrechen\n"
                             "810=Alte PIN:\n"
                             "811=Merken\n"
                             "812=Modus\n"
                             "813=Schnell\n"
                             "65535=Statisch\n"
                             "0=Zero\n"
                             "1001=never shown\n";

using DialogTranslationTest = LangUiTest;

TEST_F(DialogTranslationTest, ControlIdsFromPropertyOrHelper) {
    QLabel label;
    QAction action(nullptr);
    EXPECT_EQ(controlId(&label), 0) << "no property: not a control";
    EXPECT_EQ(controlId(nullptr), 0);
    label.setProperty("controlId", 1010); // as a .ui file sets it
    EXPECT_EQ(controlId(&label), 1010);
    setControlId(&label, kControlIdNone);
    EXPECT_EQ(controlId(&label), 65535);
    setControlId(&action, 32771);
    EXPECT_EQ(controlId(&action), 32771);
    label.setProperty("controlId", "not a number");
    EXPECT_EQ(controlId(&label), 0);
}

TEST_F(DialogTranslationTest, ClassFilter) {
    QPushButton push;
    QCheckBox check;
    QRadioButton radio;
    QGroupBox group;
    QLabel label;
    QLineEdit edit;
    EXPECT_EQ(controlClass(&push), ControlClass::Button);
    EXPECT_EQ(controlClass(&check), ControlClass::Button);
    EXPECT_EQ(controlClass(&radio), ControlClass::Button);
    EXPECT_EQ(controlClass(&group), ControlClass::Button);
    EXPECT_EQ(controlClass(&label), ControlClass::Static);
    EXPECT_EQ(controlClass(&edit), ControlClass::Other);
}

TEST_F(DialogTranslationTest, TranslatesTitleButtonsLabelsAndNestedControls) {
    auto t = translatorWith(kDialogStrings);
    PinDialog d;
    translateDialog(&d.dialog, 138, *t);

    EXPECT_EQ(s(d.dialog.windowTitle()), "PIN ändern");
    EXPECT_EQ(s(d.ok->text()), "Gut");
    EXPECT_EQ(s(d.cancel->text()), "Abbrechen");
    EXPECT_EQ(s(d.oldPin->text()), "Alte PIN:");
    EXPECT_EQ(s(d.group->title()), "Modus");
    EXPECT_EQ(s(d.remember->text()), "Merken") << "inside the group box";
    EXPECT_EQ(s(d.radio->text()), "Schnell");
    EXPECT_EQ(s(d.noId->text()), "Statisch") << "id-less control is looked up under 65535";

    EXPECT_EQ(s(d.untranslated->text()), "Keep me") << "no entry: current text stays";
    EXPECT_EQ(s(d.unmarked->text()), "Layout helper") << "a widget without id is no control";
    EXPECT_EQ(s(d.edit->text()), "1234") << "edits are never translated";
    EXPECT_EQ(s(d.childLabel->text()), "Child old PIN:") << "child windows are their own dialogs";
}

TEST_F(DialogTranslationTest, SharedControlIdTranslatesEveryDialog) {
    auto t = translatorWith(kDialogStrings);
    PinDialog first, second;
    second.dialog.setWindowTitle("Login");
    translateDialog(&first.dialog, 138, *t);
    translateDialog(&second.dialog, 130, *t);
    EXPECT_EQ(s(first.ok->text()), "Gut");
    EXPECT_EQ(s(second.ok->text()), "Gut");
    EXPECT_EQ(s(second.dialog.windowTitle()), "Login") << "130 has no entry";
}

TEST_F(DialogTranslationTest, WithoutFileEverythingStays) {
    auto t = noFileTranslator();
    PinDialog d;
    d.untranslated->setPixmap(QPixmap(4, 4));
    translateDialog(&d.dialog, 138, *t);
    EXPECT_TRUE(t->loadAttempted());
    EXPECT_EQ(s(d.dialog.windowTitle()), "Change PIN");
    EXPECT_EQ(s(d.ok->text()), "OK");
    EXPECT_EQ(s(d.group->title()), "Mode");
    EXPECT_EQ(s(d.noId->text()), "Static text");
    EXPECT_FALSE(d.untranslated->pixmap().isNull()) << "a picture label keeps its picture";

    translateDialog(nullptr, 138, *t); // nothing to do, no crash
}

TEST_F(DialogTranslationTest, PictureLabelKeepsPictureEvenWithEntry) {
    auto t = translatorWith("899=text\n");
    QDialog dialog;
    auto* icon = new QLabel(&dialog);
    icon->setPixmap(QPixmap(4, 4));
    setControlId(icon, 899);
    translateDialog(&dialog, 100, *t);
    EXPECT_FALSE(icon->pixmap().isNull());
}

// A menu bar like the main menu: four popups, a nested popup, a separator.
struct MainMenu {
    MainMenu() {
        QMenu* file = bar.addMenu("&File");
        open = file->addAction("&Open");
        setControlId(open, 32771);
        close = file->addAction("&Close");
        setControlId(close, 32772);
        separator = file->addSeparator();
        recent = file->addMenu("Recent");
        recentItem = recent->addAction("First");
        setControlId(recentItem, 32773);
        bar.addMenu("&View");
        bar.addMenu("&Operation");
        bar.addMenu("&Help");
    }
    QString title(int i) const { return bar.actions().at(i)->text(); }

    QMenuBar bar;
    QAction* open;
    QAction* close;
    QAction* separator;
    QMenu* recent;
    QAction* recentItem;
};

TEST_F(DialogTranslationTest, MenuTitlesItemsAndFallbacks) {
    auto t = translatorWith("128=Datei\\nAnsicht\\nBetrieb\n32772=Schließen\n32773=Erste\n");
    MainMenu m;
    translateMenu(&m.bar, *t);

    EXPECT_EQ(s(m.title(0)), "Datei");
    EXPECT_EQ(s(m.title(1)), "Ansicht");
    EXPECT_EQ(s(m.title(2)), "Betrieb");
    EXPECT_EQ(s(m.title(3)), "ID_MENU_3") << "only three titles for four popups";
    EXPECT_EQ(s(m.open->text()), "IDM_32771") << "command without entry";
    EXPECT_EQ(s(m.close->text()), "Schließen");
    EXPECT_EQ(s(m.recentItem->text()), "Erste") << "nested popups are translated";
    EXPECT_EQ(s(m.recent->title()), "Recent") << "a popup item keeps its own text";
    EXPECT_TRUE(m.separator->isSeparator());
    EXPECT_TRUE(m.separator->text().isEmpty());
}

TEST_F(DialogTranslationTest, MenuUntouchedWithoutTitleText) {
    for (bool withFile : {false, true}) {
        auto t = withFile ? translatorWith("32771=Öffnen\n") : noFileTranslator();
        MainMenu m;
        translateMenu(&m.bar, *t);
        EXPECT_EQ(s(m.title(0)), "&File") << withFile;
        EXPECT_EQ(s(m.open->text()), "&Open") << withFile;
    }
    auto t = noFileTranslator();
    MainMenu m;
    EXPECT_TRUE(translateMenuItems(m.bar.actions().at(0)->menu(), *t));
    EXPECT_EQ(s(m.open->text()), "&Open") << "no IDM_ fallback without a language file";
    translateMenu(static_cast<QMenuBar*>(nullptr), *t);
}

TEST_F(DialogTranslationTest, ContextMenuTakesFirstTitleAndEmptyParts) {
    auto t = translatorWith("128=Betrieb\\n\\nDrei\n32780=Anmelden\n");
    QMenu context;
    QMenu* operation = context.addMenu("Operation");
    QAction* login = operation->addAction("Login");
    setControlId(login, 32780);
    QMenu* second = context.addMenu("Second");
    translateMenu(&context, *t);
    EXPECT_EQ(s(operation->title()), "Betrieb");
    EXPECT_EQ(s(login->text()), "Anmelden");
    EXPECT_EQ(s(second->title()), "") << "an empty part gives an empty title";
}

TEST_F(DialogTranslationTest, SplitText) {
    struct Case {
        std::string text, separator;
        std::vector<std::string> parts;
    };
    const Case cases[] = {
        {"", "\n", {}},
        {"a", "\n", {"a"}},
        {"a\nb\nc", "\n", {"a", "b", "c"}},
        {"a\n", "\n", {"a"}},
        {"a\n\nb", "\n", {"a", "", "b"}},
        {"\n", "\n", {""}},
        {"\na", "\n", {"", "a"}},
        {"a::b::", "::", {"a", "b"}},
        {"a\nb", "", {"a\nb"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> parts{"stale"};
        EXPECT_TRUE(splitText(c.text, c.separator, parts));
        EXPECT_EQ(parts, c.parts) << '"' << c.text << "\" at \"" << c.separator << '"';
    }
}

} // namespace
