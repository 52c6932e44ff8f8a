#include "PinInput.h"

#include <cerrno>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Switches the terminal's echo off for its lifetime and back on after,
// whatever way the read ends.
class EchoOff {
public:
    explicit EchoOff(int fd) : fd_(fd) {
        if (::tcgetattr(fd_, &saved_) != 0)
            return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (active_)
            ::tcsetattr(fd_, TCSAFLUSH, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

bool readPinLine(int fd, SecurePin& pin) {
    pin.clear();
    bool any = false;
    for (;;) {
        char c = 0;
        ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return any;
        any = true;
        if (c == '\n')
            break;
        // Past the longest PIN the rest of the line is read but not kept; the
        // one byte over the limit makes the operation refuse the PIN.
        if (pin.size() <= kMaxPinBytes)
            pin.append(c);
        c = 0;
    }
    if (!pin.empty() && pin.view().back() == '\r')
        pin.popBack();
    return true;
}

std::optional<SecurePin> PinInput::read(const std::string& prompt) {
    SecurePin pin;
    if (fromStdin_) {
        if (!readPinLine(STDIN_FILENO, pin))
            return std::nullopt;
        return pin;
    }
    Fd tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (tty.get() < 0)
        return std::nullopt;
    writeAll(tty.get(), prompt + " ");
    bool read = false;
    {
        EchoOff quiet(tty.get());
        read = readPinLine(tty.get(), pin);
    }
    if (!read)
        return std::nullopt;
    return pin;
}

std::optional<bool> askYesNoOnTerminal(const std::string& question) {
    int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0)
        return std::nullopt;
    std::string prompt = question + " (y/n) ";
    bool written =
        ::write(tty, prompt.data(), prompt.size()) == static_cast<ssize_t>(prompt.size());
    SecurePin line;
    bool read = written && readPinLine(tty, line);
    ::close(tty);
    if (!read)
        return std::nullopt;
    std::string answer(line.view());
    for (char& c : answer)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return answer == "y" || answer == "yes";
}
