// The choice dialogs driven offscreen: a scripted runner presses their buttons, a scripted
// presenter collects their messages, and a stand-in viewer records what it was asked to show.
#include "ScriptedCrypto.h"

#include "controls/CertDialogs.h"
#include "platform/win/UserWait.h"

#include <cryptuiapi.h>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

using namespace certdialogs;
using certflows::CertFamilyState;

namespace {

struct ViewerCall {
    DWORD size;
    DWORD stores;
    bool storeIsTheContexts;
    scripted::Bytes der;
};
std::vector<ViewerCall> viewerCalls;
BOOL viewerAnswer = TRUE;
int viewerOpenMs = 0; // how long the stand-in viewer runs an event loop, as a user reading it
std::vector<QString> messages;
std::function<void(QDialog&)> script;

// What the process's user-wait observer was told (1 begins, 0 ends), also when the viewer came.
std::vector<int> announced;
std::vector<int> announcedAtView;

int scriptedRunner(QDialog& dialog) {
    if (script)
        script(dialog);
    return dialog.result();
}

std::vector<Message> boxes;

void collectMessage(QWidget*, const Message& message) {
    messages.push_back(message.text);
    boxes.push_back(message);
}

QComboBox* list(QDialog& dialog, const char* id) {
    return dialog.findChild<QComboBox*>(id);
}

void press(QDialog& dialog, const char* id) {
    auto* button = dialog.findChild<QPushButton*>(id);
    ASSERT_NE(button, nullptr) << id;
    button->click();
}

QStringList entries(QComboBox* combo) {
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

class CertDialogsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ensureApplication();
        setDialogRunner(scriptedRunner);
        setMessagePresenter(collectMessage);
        scripted::resetWorld();
        viewerCalls.clear();
        messages.clear();
        boxes.clear();
        viewerAnswer = TRUE;
        viewerOpenMs = 0;
        script = nullptr;
        // Waits for the user last a second, so that a dialog left open is seen to close.
        setenv("KORVAN_USER_WAIT_S", "1", 1);
        announced.clear();
        announcedAtView.clear();
        korvanSetUserWaitObserver([](int begins) { announced.push_back(begins); });
    }
    void TearDown() override {
        korvanSetUserWaitObserver(nullptr);
        unsetenv("KORVAN_USER_WAIT_S");
        setDialogRunner(nullptr);
        setMessagePresenter(nullptr);
        EXPECT_EQ(scripted::world().liveHandles, 0);
    }

    // A scanned state with these display names; each has a certificate the stand-in knows.
    void scanned(const std::vector<std::string>& names) {
        auto& provider = scripted::world().providers[""];
        state_ = CertFamilyState{};
        state_.online = true;
        state_.certificateChosen = false;
        state_.chosenIndex = 0;
        for (size_t i = 0; i < names.size(); ++i) {
            scripted::Container c;
            c.name = "c" + std::to_string(i);
            c.displayName = names[i];
            provider.containers.push_back(c);
            const scripted::Bytes der = scripted::certificateBytes(c);
            std::memcpy(state_.certificates[i], der.data(), der.size());
            state_.certificateLengths[i] = static_cast<DWORD>(der.size());
            std::strcpy(state_.certificateNames[i], names[i].c_str());
        }
        state_.containerCount = static_cast<DWORD>(names.size());
    }

    CertFamilyState state_;
};

} // namespace

extern "C" BOOL WINAPI CryptUIDlgViewCertificateA(PCCRYPTUI_VIEWCERTIFICATE_STRUCTA info, BOOL*) {
    const PCCERT_CONTEXT cert = info->pCertContext;
    viewerCalls.push_back({info->dwSize, info->cStores,
                           info->cStores == 1 && info->rghStores[0] == cert->hCertStore,
                           scripted::Bytes(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded)});
    announcedAtView = announced;
    if (viewerOpenMs > 0) {
        QEventLoop reading;
        QTimer::singleShot(viewerOpenMs, &reading, &QEventLoop::quit);
        reading.exec();
    }
    return viewerAnswer;
}

TEST_F(CertDialogsTest, TemplateOfTheSixtyFourBitControl) {
    scanned({"Alice", "Bob_tqb", "Carol_TQB "});
    script = [](QDialog& dialog) {
        EXPECT_EQ(dialog.windowTitle(), QString::fromUtf8("选择证书"));
        EXPECT_EQ(dialog.property("controlId").toInt(), 201);
        EXPECT_EQ(dialog.findChild<QLabel*>()->text(), QString::fromUtf8("请选择证书"));
        EXPECT_EQ(dialog.findChild<QPushButton*>("202")->text(), QString::fromUtf8("查看证书"));
        EXPECT_EQ(dialog.findChild<QPushButton*>("1")->text(), QString::fromUtf8("确 定"));
        EXPECT_EQ(dialog.findChild<QPushButton*>("2")->text(), QString::fromUtf8("取 消"));
        EXPECT_TRUE(dialog.findChild<QPushButton*>("1")->isDefault());
        // 207 x 78 units: four horizontal units per average character, eight vertical per line.
        EXPECT_GT(dialog.width(), dialog.height() * 2);
        QComboBox* combo = list(dialog, "201");
        ASSERT_NE(combo, nullptr);
        EXPECT_TRUE(combo->lineEdit()->isReadOnly());
        EXPECT_EQ(combo->currentIndex(), -1);
        EXPECT_EQ(entries(combo), QStringList{"Alice"});
        press(dialog, "2");
    };
    CCertSelect().run(state_);

    script = [](QDialog& dialog) {
        EXPECT_EQ(entries(list(dialog, "201")), (QStringList{"Bob_tqb", "Carol_TQB "}));
        press(dialog, "2");
    };
    CCertSelect_TQB().run(state_);
}

TEST_F(CertDialogsTest, OkFindsTheLowestEqualStoredName) {
    scanned({"Same", "Other", "Same", "Blank "});
    state_.certificateChosen = true;
    script = [](QDialog& dialog) {
        press(dialog, "1"); // nothing picked: message, the dialog stays
        EXPECT_EQ(dialog.result(), 0);
        list(dialog, "201")->setCurrentIndex(3); // "Blank ": the trimmed text never matches
        press(dialog, "1");
        EXPECT_EQ(dialog.result(), 0);
        list(dialog, "201")->setCurrentIndex(2); // the second "Same"
        press(dialog, "1");
    };
    CCertSelect().run(state_);
    EXPECT_EQ(messages, (std::vector<QString>{"Please Select Certificate!", "Please Select Certificate!"}));
    EXPECT_EQ(state_.chosenIndex, 0);
    EXPECT_TRUE(state_.dialogConfirmed);
}

TEST_F(CertDialogsTest, ViewShowsTheCertificateAndCancelClearsTheFlags) {
    scanned({"Alice", "Bob"});
    state_.certificateChosen = true;
    state_.dialogConfirmed = true;
    script = [](QDialog& dialog) {
        press(dialog, "202");
        list(dialog, "201")->setCurrentIndex(1);
        press(dialog, "202");
        viewerAnswer = FALSE;
        press(dialog, "202");
        press(dialog, "2");
        EXPECT_EQ(dialog.result(), QDialog::Rejected);
    };
    CCertSelect().run(state_);
    EXPECT_EQ(messages, (std::vector<QString>{"Please Select Certificate!", "View Certificate Error!"}));
    ASSERT_EQ(viewerCalls.size(), 2u);
    EXPECT_EQ(viewerCalls[0].size, 120u);
    EXPECT_TRUE(viewerCalls[0].storeIsTheContexts);
    EXPECT_EQ(viewerCalls[0].der, scripted::certificateBytes(scripted::world().providers[""].containers[1]));
    EXPECT_EQ(state_.chosenIndex, 1);
    EXPECT_FALSE(state_.dialogConfirmed);
    EXPECT_FALSE(state_.certificateChosen);

    state_.certificateChosen = true;
    script = [](QDialog& dialog) { QTest::keyClick(&dialog, Qt::Key_Escape); };
    CCertSelect().run(state_);
    EXPECT_FALSE(state_.certificateChosen);
}

TEST_F(CertDialogsTest, ThirtyTwoBitDialogPicksBySelection) {
    scanned({"Same", "Same", "Bob_TQB"});
    state_.chosenIndex = 0;
    script = [](QDialog& dialog) {
        EXPECT_EQ(dialog.windowTitle(), QString::fromUtf8("证书选择"));
        EXPECT_EQ(dialog.findChild<QLabel*>()->text(), QString::fromUtf8("请选择证书："));
        EXPECT_EQ(dialog.findChild<QPushButton*>("201")->text(), QString::fromUtf8("查看证书"));
        EXPECT_EQ(dialog.findChild<QPushButton*>("1")->text(), QString::fromUtf8("确定"));
        QComboBox* combo = list(dialog, "202");
        ASSERT_NE(combo, nullptr);
        EXPECT_TRUE(combo->lineEdit()->isReadOnly());
        EXPECT_EQ(entries(combo), (QStringList{"Same", "Same", "Bob_TQB"}));
        press(dialog, "201");
        press(dialog, "1");
        combo->setCurrentIndex(1);
        viewerAnswer = FALSE;
        press(dialog, "201");
        press(dialog, "1");
    };
    CCertSelect32().run(state_);
    EXPECT_EQ(messages, (std::vector<QString>{QString::fromUtf8("请选择数字证书."), "Please Select Certificate!",
                                              QString::fromUtf8("查看数字证书信息失败!")}));
    ASSERT_EQ(viewerCalls.size(), 1u);
    EXPECT_EQ(viewerCalls[0].size, 72u);
    EXPECT_EQ(state_.chosenIndex, 1);
    EXPECT_TRUE(state_.dialogConfirmed);

    state_.certificateChosen = true;
    script = [](QDialog& dialog) { press(dialog, "2"); };
    CCertSelect32().run(state_);
    EXPECT_FALSE(state_.dialogConfirmed);
    EXPECT_FALSE(state_.certificateChosen);
}

TEST_F(CertDialogsTest, UndecidedChoiceClosesAsCancelAfterTheLimit) {
    scanned({"Alice", "Bob"});
    state_.certificateChosen = true;
    state_.dialogConfirmed = true;
    setDialogRunner(nullptr);
    setMessagePresenter(nullptr);
    // The user presses OK with nothing picked and leaves with the message box open. Should the
    // limit not close both, the test does instead of hanging; `scope` ends its timers.
    QObject scope;
    bool forced = false;
    QTimer::singleShot(0, &scope, [] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
            press(*dialog, "1");
    });
    QTimer::singleShot(8000, &scope, [&forced] {
        forced = true;
        for (int i = 0; i < 3; ++i)
            if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
                dialog->done(QDialog::Rejected);
    });
    QElapsedTimer clock;
    clock.start();
    CCertSelect().run(state_);
    EXPECT_FALSE(forced);
    EXPECT_GE(clock.elapsed(), 900); // Qt's coarse timers may fire up to 5% early
    EXPECT_LT(clock.elapsed(), 4000);
    EXPECT_FALSE(state_.dialogConfirmed);
    EXPECT_FALSE(state_.certificateChosen);
    EXPECT_EQ(announced, (std::vector<int>{1, 0}));
}

TEST_F(CertDialogsTest, TheViewerIsAWaitOfItsOwnThatTheChoiceOutlasts) {
    scanned({"Alice", "Bob"});
    viewerOpenMs = 1500; // longer than the limit
    script = [](QDialog& dialog) {
        bool cancelled = false;
        QObject::connect(&dialog, &QDialog::rejected, [&cancelled] { cancelled = true; });
        list(dialog, "201")->setCurrentIndex(1);
        press(dialog, "202");
        EXPECT_FALSE(cancelled) << "the choice was cancelled while the viewer was open";
        press(dialog, "1");
    };
    CCertSelect().run(state_);
    EXPECT_EQ(announcedAtView, (std::vector<int>{1, 0}));
    EXPECT_TRUE(state_.dialogConfirmed);
    EXPECT_EQ(announced, (std::vector<int>{1, 0, 1, 0}));
}

TEST_F(CertDialogsTest, OkWithNothingPickedBesideAnUnnamedCertificate) {
    scanned({"Alice", ""});
    script = [](QDialog& dialog) {
        press(dialog, "1");
        EXPECT_EQ(dialog.result(), 0) << "an empty text was taken for the unnamed certificate";
        press(dialog, "2");
    };
    CCertSelect().run(state_);
    EXPECT_EQ(messages, (std::vector<QString>{"Please Select Certificate!"}));
    EXPECT_FALSE(state_.dialogConfirmed);
}

TEST_F(CertDialogsTest, MessagesArePlainBoxesCaptionedError) {
    scanned({"Alice", "Bob"});
    script = [](QDialog& dialog) { press(dialog, "1"), press(dialog, "2"); };
    CCertSelect().run(state_);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, QStringLiteral("Error"));
    EXPECT_EQ(boxes[0].flags, kMessageOk);

    // The default presenter shows exactly that: no icon, OK only, the caption given.
    setMessagePresenter(nullptr);
    QMessageBox::Icon icon = QMessageBox::Information;
    QString title;
    QMessageBox::StandardButtons buttons;
    QObject scope;
    QTimer::singleShot(0, &scope, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        icon = box->icon();
        title = box->windowTitle();
        buttons = box->standardButtons();
        box->accept();
    });
    script = [](QDialog& dialog) { press(dialog, "1"), press(dialog, "2"); };
    CCertSelect().run(state_);
    EXPECT_EQ(icon, QMessageBox::NoIcon);
    EXPECT_EQ(title, QStringLiteral("Error"));
    EXPECT_EQ(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
}
