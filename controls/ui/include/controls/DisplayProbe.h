// Whether a QApplication made by a control could open a window. Qt ends the whole process when
// its platform cannot reach a display, so the controls look first and, with no display, let the
// choice end as a cancel instead.
#pragma once

#include <string>

namespace certdialogs {

struct PlatformChoice {
    bool usable = false;
    // The platform to name with "-platform"; empty when the host's QT_QPA_PLATFORM decides.
    std::string platform;
};

// An explicit QT_QPA_PLATFORM is honoured as it stands: usable when one of its entries has its
// plugin and, for xcb and wayland, a display that accepts a connection. Without it: a Wayland
// session's display, then an X display, then any Wayland display. Never offscreen, where a modal
// dialog would wait for ever.
PlatformChoice choosePlatform();

} // namespace certdialogs
