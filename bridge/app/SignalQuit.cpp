#include "bridge/app/SignalQuit.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace bridge::app {

namespace {

int writeEnd = -1;

extern "C" void onSignal(int number) {
    const unsigned char byte = static_cast<unsigned char>(number);
    // Nothing to do on failure: a full pipe already holds a wake-up.
    [[maybe_unused]] const ssize_t written = ::write(writeEnd, &byte, 1);
}

} // namespace

SignalQuit::SignalQuit() {
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
        fds_[0] = fds_[1] = -1;
        return;
    }
    writeEnd = fds_[1];
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(SIGTERM, &action, nullptr) != 0 || ::sigaction(SIGINT, &action, nullptr) != 0)
        return;
    notifier_ = std::make_unique<QSocketNotifier>(fds_[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        if (::read(fds_[0], &byte, 1) == 1)
            received_ = byte;
        QCoreApplication::quit();
    });
}

SignalQuit::~SignalQuit() {
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    writeEnd = -1;
    notifier_.reset();
    for (int fd : fds_) {
        if (fd >= 0)
            ::close(fd);
    }
}

} // namespace bridge::app
