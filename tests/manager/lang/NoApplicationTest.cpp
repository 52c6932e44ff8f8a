// A process without a QApplication (a command-line front end) must not crash
// when a message box is asked for; the box answers 0 as a failed box would.

#include "MessagePresenter.h"
#include "Messages.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

TEST(NoApplication, DefaultPresenterAnswersZero) {
    ASSERT_EQ(QCoreApplication::instance(), nullptr);
    Translator translator(
        Translator::Environment{[] { return std::string(); }, [] { return 1033u; }});
    EXPECT_EQ(showMessage(805, "Wrong PIN", MB_YESNO, translator), 0);
    EXPECT_EQ(showMessageOwned(805, "Wrong PIN", MB_OK, translator), 0);

    int argc = 1;
    char name[] = "core";
    char* argv[] = {name, nullptr};
    QCoreApplication core(argc, argv);
    EXPECT_EQ(showText("text", MB_OK, translator), 0) << "a core application shows no widgets";
}
