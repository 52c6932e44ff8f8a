#include "providers/token/Pinentry.h"

#include "providers/token/AssuanReply.h"

#include "platform/win/UserWait.h"

#include <openssl/crypto.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

extern char** environ;

namespace providers::token {
namespace {

// Assuan lines are at most 1000 bytes including the line feed.
constexpr std::size_t maximumLine = 1000;
// Waiting for an answer that needs no user: start-up of a graphical program included.
constexpr int shortWaitMs = 30'000;
// Room after the wait limit for pinentry to report its own timeout before we stop listening.
constexpr int timeoutReportMs = 1'000;

std::string programPath() {
    const char* configured = std::getenv("KORVAN_PINENTRY");
    std::string name = configured && *configured ? configured : "pinentry";
    if (name.find('/') != std::string::npos)
        return name;
    const char* pathVariable = std::getenv("PATH");
    std::string path = pathVariable && *pathVariable ? pathVariable : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(':', start);
        if (end == std::string::npos)
            end = path.size();
        std::string folder = path.substr(start, end - start);
        if (!folder.empty()) {
            std::string candidate = folder + "/" + name;
            if (access(candidate.c_str(), X_OK) == 0)
                return candidate;
        }
        start = end + 1;
    }
    return {};
}

std::string localeName() {
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value && *value)
            return value;
    }
    return "C.UTF-8";
}


long remainingMs(const timespec& deadline) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (deadline.tv_sec - now.tv_sec) * 1000 + (deadline.tv_nsec - now.tv_nsec) / 1'000'000;
}

timespec deadlineIn(int ms) {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += ms / 1000;
    t.tv_nsec += static_cast<long>(ms % 1000) * 1'000'000;
    if (t.tv_nsec >= 1'000'000'000) {
        t.tv_sec += 1;
        t.tv_nsec -= 1'000'000'000;
    }
    return t;
}

struct Reply {
    bool ok = false;
    unsigned long error = 0;
};

// One running pinentry and the Assuan conversation with it.
class Conversation {
public:
    Conversation() = default;
    ~Conversation() {
        if (fd_ >= 0) {
            if (healthy_)
                send("BYE");
            close(fd_);
        }
        reap();
        OPENSSL_cleanse(buffer_.data(), buffer_.size());
        OPENSSL_cleanse(line_.data(), line_.size());
    }
    Conversation(const Conversation&) = delete;
    Conversation& operator=(const Conversation&) = delete;

    bool start() {
        const std::string path = programPath();
        if (path.empty())
            return false;
        // Everything the child needs is made before fork: after it only async-signal-safe calls.
        std::vector<std::string> environment;
        for (char** entry = environ; entry && *entry; ++entry)
            if (std::strncmp(*entry, "QT_QPA_PLATFORM=", 16) != 0)
                environment.emplace_back(*entry);
        std::vector<char*> envp;
        for (std::string& entry : environment)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        std::string argument0 = path;
        char* argv[] = {argument0.data(), nullptr};

        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
            return false;
        pid_t pid = fork();
        if (pid < 0) {
            close(pair[0]);
            close(pair[1]);
            return false;
        }
        if (pid == 0) {
            if (dup2(pair[1], 0) < 0 || dup2(pair[1], 1) < 0)
                _exit(127);
            if (syscall(SYS_close_range, 3u, ~0u, 0u) != 0) {
                long limit = sysconf(_SC_OPEN_MAX);
                for (long fd = 3; fd < (limit > 0 ? limit : 1024); ++fd)
                    close(static_cast<int>(fd));
            }
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            execve(path.c_str(), argv, envp.data());
            _exit(127);
        }
        close(pair[1]);
        fd_ = pair[0];
        pid_ = pid;
        // The greeting.
        std::optional<Reply> greeting = awaitReply(shortWaitMs, nullptr);
        return greeting && greeting->ok;
    }

    // A command whose ERR is not fatal (an OPTION the program does not know).
    bool optional(const std::string& command) { return transact(command, shortWaitMs).has_value(); }
    // A command that must succeed.
    bool required(const std::string& command) {
        std::optional<Reply> reply = transact(command, shortWaitMs);
        return reply && reply->ok;
    }

    // A command whose answer is not awaited: the program shows it until dismiss().
    bool post(const std::string& command) { return send(command); }

    // Ends the program at once, whatever it is showing.
    void dismiss() {
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
        if (pid_ > 0)
            kill(pid_, SIGTERM);
        reap();
        pid_ = -1;
    }

    // The question to the user: GETPIN (with `pin`) or CONFIRM (without). A user who does not
    // answer within the limit has, in effect, declined.
    PinentryOutcome ask(const std::string& command, SecurePin* pin, int limitSeconds) {
        KorvanUserWait wait;
        timedOut_ = false;
        if (!send(command))
            return PinentryOutcome::Failed;
        std::optional<Reply> reply = awaitReply(limitSeconds * 1000 + timeoutReportMs, pin);
        if (!reply)
            return timedOut_ ? PinentryOutcome::Cancelled : PinentryOutcome::Failed;
        if (reply->ok)
            return PinentryOutcome::Answered;
        if (reply->error == assuanCancelled || reply->error == assuanTimedOut ||
            (!pin && reply->error == assuanNotConfirmed))
            return PinentryOutcome::Cancelled;
        return PinentryOutcome::Failed;
    }

private:
    std::optional<Reply> transact(const std::string& command, int waitMs) {
        if (!send(command))
            return std::nullopt;
        return awaitReply(waitMs, nullptr);
    }

    bool send(const std::string& command) {
        std::string line = command + "\n";
        if (line.size() > maximumLine)
            return fail();
        std::size_t sent = 0;
        while (sent < line.size()) {
            ssize_t n = ::send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return fail();
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Reads lines until OK or ERR. D lines go into `pin` when given and are refused otherwise.
    std::optional<Reply> awaitReply(int waitMs, SecurePin* pin) {
        const timespec deadline = deadlineIn(waitMs);
        for (;;) {
            std::size_t length = 0;
            if (!readLine(deadline, length))
                return std::nullopt;
            unsigned long code = 0;
            switch (readAssuanLine(line_.data(), length, pin, code)) {
            case AssuanLine::ok: return Reply{true, 0};
            case AssuanLine::error: return Reply{false, code};
            case AssuanLine::data:
            case AssuanLine::comment: continue;
            case AssuanLine::refused: return failed(); // INQUIRE or anything unknown: we have nothing to give
            }
        }
    }

    // One line into line_, without its line feed (and a CR before it).
    bool readLine(const timespec& deadline, std::size_t& length) {
        OPENSSL_cleanse(line_.data(), line_.size());
        for (;;) {
            for (std::size_t i = 0; i < buffered_; ++i) {
                if (buffer_[i] != '\n')
                    continue;
                length = i;
                std::memcpy(line_.data(), buffer_.data(), length);
                if (length > 0 && line_[length - 1] == '\r')
                    --length;
                std::memmove(buffer_.data(), buffer_.data() + i + 1, buffered_ - i - 1);
                buffered_ -= i + 1;
                OPENSSL_cleanse(buffer_.data() + buffered_, buffer_.size() - buffered_);
                return true;
            }
            if (buffered_ >= maximumLine)
                return fail();
            long wait = remainingMs(deadline);
            if (wait <= 0)
                return timeOut();
            pollfd p{fd_, POLLIN, 0};
            int ready = poll(&p, 1, static_cast<int>(wait));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready == 0)
                return timeOut();
            if (ready < 0)
                return fail();
            ssize_t n = recv(fd_, buffer_.data() + buffered_, maximumLine - buffered_, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return fail();
            buffered_ += static_cast<std::size_t>(n);
        }
    }

    bool fail() {
        healthy_ = false;
        return false;
    }
    bool timeOut() {
        timedOut_ = true;
        return fail();
    }
    std::optional<Reply> failed() {
        healthy_ = false;
        return std::nullopt;
    }

    void reap() {
        if (pid_ <= 0)
            return;
        // A program that does not end within two seconds of losing its input is ended.
        for (int round = 0; round < 200; ++round) {
            pid_t done = waitpid(pid_, nullptr, WNOHANG);
            if (done == pid_ || (done < 0 && errno != EINTR))
                return;
            timespec pause{0, 10'000'000};
            nanosleep(&pause, nullptr);
        }
        kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }

    int fd_ = -1;
    pid_t pid_ = -1;
    bool healthy_ = true;
    bool timedOut_ = false;
    std::array<char, maximumLine> buffer_{};
    std::size_t buffered_ = 0;
    std::array<char, maximumLine> line_{};
};

bool setTexts(Conversation& c, const PinentryTexts& texts, bool forPin, int limitSeconds) {
    if (!c.optional("OPTION lc-ctype=" + assuanEscape(localeName())))
        return false;
    if (const char* tty = std::getenv("GPG_TTY"); tty && *tty)
        if (!c.optional("OPTION ttyname=" + assuanEscape(tty)))
            return false;
    if (!c.required("SETTITLE " + assuanEscape(texts.title)) ||
        !c.required("SETDESC " + assuanEscape(texts.description)))
        return false;
    if (forPin && !c.required("SETPROMPT " + assuanEscape(texts.prompt)))
        return false;
    if (!texts.okButton.empty() && !c.optional("SETOK " + assuanEscape(texts.okButton)))
        return false;
    if (!texts.cancelButton.empty() && !c.optional("SETCANCEL " + assuanEscape(texts.cancelButton)))
        return false;
    if (!c.optional("SETTIMEOUT " + std::to_string(limitSeconds)))
        return false;
    if (forPin && !texts.error.empty() && !c.required("SETERROR " + assuanEscape(texts.error)))
        return false;
    return true;
}

} // namespace

std::string assuanEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '%')
            out += "%25";
        else if (c == '\r')
            out += "%0D";
        else if (c == '\n')
            out += "%0A";
        else
            out += c;
    }
    return out;
}

PinentryOutcome askPin(const PinentryTexts& texts, SecurePin& pin) {
    pin.clear();
    const int limitSeconds = korvanUserWaitLimitSeconds();
    Conversation c;
    if (!c.start() || !setTexts(c, texts, true, limitSeconds))
        return PinentryOutcome::Failed;
    PinentryOutcome outcome = c.ask("GETPIN", &pin, limitSeconds);
    if (outcome != PinentryOutcome::Answered)
        pin.clear();
    return outcome;
}

struct PinentryNotice::State {
    Conversation conversation;
};

PinentryNotice::PinentryNotice(const PinentryTexts& texts) {
    auto state = std::make_unique<State>();
    if (!state->conversation.start() ||
        !setTexts(state->conversation, texts, false, korvanUserWaitLimitSeconds()) ||
        !state->conversation.post("MESSAGE")) {
        state->conversation.dismiss();
        return;
    }
    state_ = std::move(state);
}

PinentryNotice::~PinentryNotice() {
    if (state_)
        state_->conversation.dismiss();
}

PinentryOutcome askConfirmation(const PinentryTexts& texts) {
    const int limitSeconds = korvanUserWaitLimitSeconds();
    Conversation c;
    if (!c.start() || !setTexts(c, texts, false, limitSeconds))
        return PinentryOutcome::Failed;
    return c.ask("CONFIRM", nullptr, limitSeconds);
}

} // namespace providers::token
