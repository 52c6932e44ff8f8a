#include "AppStartup.h"
#include "MainFrame.h"
#include "MgrWindow.h"
#include "SlotManager.h"
#include "TokenLibrary.h"
#include "Translator.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);

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
