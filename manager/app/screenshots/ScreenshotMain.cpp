// Saves the manager's windows and dialogs as PNG files, in one language per
// run (the language file is chosen once per process):
//
//   korvan-screenshots --lang 2052 --out DIR [NAME...]
//
// It starts like the manager (library, slot list, main window) over the token
// store named by MERIDIA_TOKEN_CONF, without the single-instance lock, so it
// can run beside a manager. Meant for QT_QPA_PLATFORM=offscreen.
// Exit status: 0 all pictures saved, 1 usage error, 2 start-up failed,
// 3 a picture could not be taken or saved.

#include "MainFrame.h"
#include "MgrWindow.h"
#include "ProductConfig.h"
#include "Shots.h"
#include "SlotManager.h"
#include "TokenLibrary.h"
#include "Translator.h"

#include <QApplication>
#include <QDir>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

namespace {

int usage(const char* message) {
    std::fprintf(stderr, "korvan-screenshots: %s\n", message);
    std::fprintf(stderr, "usage: korvan-screenshots --lang ID --out DIR [NAME...]\nnames:");
    for (const Shot& shot : shotTable())
        std::fprintf(stderr, " %s", shot.name.c_str());
    std::fprintf(stderr, "\n");
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);

    unsigned long languageId = 0;
    std::string outDir;
    std::set<std::string> wanted;
    QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& arg = args[i];
        if ((arg == "--lang" || arg == "--out") && i + 1 < args.size()) {
            QString value = args[++i];
            if (arg == "--out") {
                outDir = value.toStdString();
            } else {
                bool ok = false;
                languageId = value.toULong(&ok);
                if (!ok || languageId == 0)
                    return usage("--lang takes a language id such as 1033 or 2052");
            }
        } else if (arg.startsWith("-")) {
            return usage("unknown option");
        } else {
            wanted.insert(arg.toStdString());
        }
    }
    if (languageId == 0 || outDir.empty())
        return usage("--lang and --out are required");
    for (const std::string& name : wanted) {
        bool known = false;
        for (const Shot& shot : shotTable())
            known = known || shot.name == name;
        if (!known)
            return usage(("unknown picture " + name).c_str());
    }
    if (!QDir().mkpath(QString::fromStdString(outDir)))
        return usage("cannot create the output folder");

    Translator& translator = Translator::instance();
    translator.setLanguageId(std::uint32_t(languageId));
    translator.setStem(productConfig.managerLanguageStem);
    translator.initialize();
    if (!translator.fileLoaded())
        std::fprintf(stderr, "korvan-screenshots: no language file for %lu, built-in texts\n",
                     languageId);

    int status = 0;
    if (!TokenLibrary::instance().load() || !SlotManager::instance().initialize()) {
        std::fprintf(stderr, "korvan-screenshots: the token library did not start\n");
        status = 2;
    } else {
        std::unique_ptr<CMainFrame> frame = createMainFrame();
        settle(200);
        for (const Shot& shot : shotTable()) {
            if (!wanted.empty() && !wanted.count(shot.name))
                continue;
            std::string file = outDir + "/" + shot.name + "-" + std::to_string(languageId) + ".png";
            QPixmap picture = shot.take(*frame);
            if (picture.isNull() || !picture.save(QString::fromStdString(file), "PNG")) {
                std::fprintf(stderr, "korvan-screenshots: %s not taken\n", file.c_str());
                status = 3;
                continue;
            }
            std::printf("%s\n", file.c_str());
        }
        frame.reset();
    }
    SlotManager::instance().shutdown();
    TokenLibrary::instance().unload();
    return status;
}
