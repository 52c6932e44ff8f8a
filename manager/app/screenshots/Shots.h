#pragma once

// The pictures `make screenshots` takes: one named entry per window state or
// dialog. A new dialog adds one row to shotTable() in Shots.cpp.

#include <QPixmap>

#include <functional>
#include <string>
#include <vector>

class CMainFrame;

struct Shot {
    // File name stem; the language id and ".png" are appended.
    std::string name;
    // Brings the window into the state to show and grabs it. An empty
    // pixmap means the shot could not be taken.
    std::function<QPixmap(CMainFrame& frame)> take;
};

const std::vector<Shot>& shotTable();

// Lets queued events, layouts and repaints run.
void settle(int milliseconds = 50);

// Grabs a dialog opened from the main window, as it would be shown.
QPixmap grabDialog(QWidget& dialog);
