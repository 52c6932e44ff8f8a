// Ends the event loop cleanly on SIGTERM and SIGINT: the handler only writes a byte to a pipe,
// and the loop reads it and quits.
#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

namespace bridge::app {

class SignalQuit : public QObject {
public:
    SignalQuit();
    ~SignalQuit() override;
    SignalQuit(const SignalQuit&) = delete;
    SignalQuit& operator=(const SignalQuit&) = delete;

    // False when the pipe or the handlers could not be set up.
    bool installed() const { return notifier_ != nullptr; }
    // The signal that arrived, 0 before.
    int received() const { return received_; }

private:
    int fds_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
    int received_ = 0;
};

} // namespace bridge::app
