#pragma once

#include <memory>

class CMainFrame;

// The main window as start-up shows it: titled, 630 x 440, shown at once,
// with the About box on its Help menu.
std::unique_ptr<CMainFrame> createMainFrame();
