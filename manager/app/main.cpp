#include "AppStartup.h"
#include "MainFrame.h"
#include "MgrWindow.h"
#include "SlotManager.h"
#include "TokenLibrary.h"
#include "Translator.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // The toolkit's own texts (message box buttons, file dialogs) follow the
    // user's locale, as the system's own dialogs would.
    QTranslator toolkitTexts;
    if (toolkitTexts.load(QLocale::system(), "qtbase", "_",
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        app.installTranslator(&toolkitTexts);

    AppStartup startup(TokenLibrary::instance(), SlotManager::instance(), Translator::instance());
    std::unique_ptr<CMainFrame> frame;
    startup.createMainWindow = [&frame] {
        frame = createMainFrame();
        return frame != nullptr;
    };

    AppStartup::Outcome outcome = startup.initInstance();
    int loopResult = outcome == AppStartup::Outcome::Started ? app.exec() : 0;
    // The window stops taking slot events before the monitor is stopped.
    frame.reset();
    startup.exitInstance();
    return exitCodeFor(outcome, loopResult);
}
