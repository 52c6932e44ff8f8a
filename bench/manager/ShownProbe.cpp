// Preloaded into KorvanNgMgr by manager_bench. When the first top-level main
// window has been exposed and drawn, it writes "shown <CLOCK_MONOTONIC ns>" to
// the file descriptor named by KORVAN_BENCH_FD; with KORVAN_BENCH_QUIT=1 it
// then ends the event loop, so the program leaves through its normal exit.

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QMainWindow>
#include <QTimer>
#include <QWindow>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

long long monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

class ShownProbe : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!reported_ && event->type() == QEvent::Expose) {
            auto* window = qobject_cast<QWindow*>(watched);
            QWidget* widget = nullptr;
            for (QWidget* top : QApplication::topLevelWidgets())
                if (top->windowHandle() == window)
                    widget = top;
            if (window && window->isExposed() && qobject_cast<QMainWindow*>(widget)) {
                reported_ = true;
                // Queued: runs once the expose (and the paint it triggers) is handled.
                QTimer::singleShot(0, this, &ShownProbe::report);
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void report() {
        const char* fdText = std::getenv("KORVAN_BENCH_FD");
        int fd = fdText ? std::atoi(fdText) : 2;
        char line[64];
        int length = std::snprintf(line, sizeof line, "shown %lld\n", monotonicNanoseconds());
        if (write(fd, line, std::size_t(length)) < 0)
            std::perror("korvan_shown_probe");
        const char* quit = std::getenv("KORVAN_BENCH_QUIT");
        if (quit && quit[0] == '1')
            QCoreApplication::quit();
    }

    bool reported_ = false;
};

void installProbe() {
    QCoreApplication::instance()->installEventFilter(new ShownProbe(QCoreApplication::instance()));
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installProbe)
