#include "MgrWindow.h"

#include "AboutDlg.h"
#include "DialogAdminOperations.h"
#include "MainFrame.h"
#include "MainWindowRules.h"

std::unique_ptr<CMainFrame> createMainFrame() {
    auto frame = std::make_unique<CMainFrame>();
    CMainFrame* window = frame.get();
    QObject::connect(window, &CMainFrame::aboutRequested, window, [window] {
        CAboutDlg about(window);
        about.exec();
    });
    window->setAdminOperations(&DialogAdminOperations::instance());
    window->setWindowTitle(QString::fromStdString(mainWindowTitle()));
    window->resize(CMainFrame::kWidth, CMainFrame::kHeight);
    window->restoreLayout();
    window->show();
    return frame;
}
