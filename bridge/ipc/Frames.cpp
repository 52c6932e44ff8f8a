#include "bridge/ipc/Frames.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <ctime>

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bridge::ipc {

namespace {

// Writes to a pipe with SIGPIPE blocked for this thread; a SIGPIPE the write raised is taken
// back before the mask is restored, so it is never delivered.
ssize_t writeWithoutSigpipe(int fd, const char* data, std::size_t size) {
    sigset_t pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    sigset_t pendingBefore;
    sigpending(&pendingBefore);
    const bool alreadyPending = sigismember(&pendingBefore, SIGPIPE) == 1;
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
    ssize_t written;
    do {
        written = ::write(fd, data, size);
    } while (written < 0 && errno == EINTR);
    const int writeError = errno;
    if (written < 0 && writeError == EPIPE && !alreadyPending) {
        const timespec now{0, 0};
        while (sigtimedwait(&pipeOnly, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = writeError;
    return written;
}

bool writeAll(int fd, const char* data, std::size_t size) {
    bool socket = true;
    while (size > 0) {
        ssize_t written = -1;
        if (socket) {
            written = ::send(fd, data, size, MSG_NOSIGNAL);
            if (written < 0 && errno == ENOTSOCK) {
                socket = false;
                continue;
            }
        } else {
            written = writeWithoutSigpipe(fd, data, size);
        }
        if (written < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd waiting{fd, POLLOUT, 0};
                if (::poll(&waiting, 1, -1) < 0 && errno != EINTR)
                    return false;
                continue;
            }
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

enum class Fill { ok, eof, timeout, error };

// Reads exactly size bytes before the deadline (none when timeoutMs < 0); `got` counts what
// arrived, so that an end of stream before the first byte can be told from one inside a frame.
// A socket is read at once when data is there, so a ready frame costs no poll.
Fill readExactly(int fd, char* data, std::size_t size, int timeoutMs,
                 std::chrono::steady_clock::time_point deadline, std::size_t& got) {
    bool socket = true;
    bool readable = false;
    got = 0;
    while (got < size) {
        ssize_t read = -1;
        if (timeoutMs < 0 || readable) {
            read = ::read(fd, data + got, size - got);
        } else if (socket) {
            read = ::recv(fd, data + got, size - got, MSG_DONTWAIT);
            if (read < 0 && errno == ENOTSOCK) {
                socket = false;
                continue;
            }
        } else {
            errno = EAGAIN; // a pipe is read only once poll says so
        }
        readable = false;
        if (read > 0) {
            got += static_cast<std::size_t>(read);
            continue;
        }
        if (read == 0)
            return Fill::eof;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return Fill::error;
        int waitMs = -1;
        if (timeoutMs >= 0) {
            // Rounded up, so a wait never ends just short of the deadline; 0 still looks once.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            waitMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        pollfd waiting{fd, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, waitMs);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return Fill::error;
        }
        if (ready == 0) {
            if (waitMs == 0 || std::chrono::steady_clock::now() >= deadline)
                return Fill::timeout;
            continue;
        }
        readable = true;
    }
    return Fill::ok;
}

} // namespace

bool writeFrame(int fd, std::string_view json) {
    if (json.size() > kMaxFrameBytes)
        return false;
    const auto length = static_cast<std::uint32_t>(json.size());
    const char header[4] = {static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                            static_cast<char>(length >> 8), static_cast<char>(length)};
    // One buffer, so a frame goes out in one write where the channel allows.
    std::string frame;
    frame.reserve(sizeof header + json.size());
    frame.append(header, sizeof header).append(json);
    return writeAll(fd, frame.data(), frame.size());
}

FrameRead readFrame(int fd, std::string& json, int timeoutMs) {
    json.clear();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    unsigned char header[4];
    std::size_t got = 0;
    switch (readExactly(fd, reinterpret_cast<char*>(header), sizeof header, timeoutMs, deadline, got)) {
    case Fill::ok:
        break;
    case Fill::eof:
        return got == 0 ? FrameRead::closed : FrameRead::malformed;
    case Fill::timeout:
        return FrameRead::timeout;
    case Fill::error:
        return FrameRead::malformed;
    }
    const std::uint32_t length = (std::uint32_t{header[0]} << 24) | (std::uint32_t{header[1]} << 16) |
                                 (std::uint32_t{header[2]} << 8) | std::uint32_t{header[3]};
    if (length > kMaxFrameBytes)
        return FrameRead::malformed;
    std::string payload(length, '\0');
    switch (readExactly(fd, payload.data(), length, timeoutMs, deadline, got)) {
    case Fill::ok:
        json = std::move(payload);
        return FrameRead::ok;
    case Fill::timeout:
        return FrameRead::timeout;
    default:
        return FrameRead::malformed;
    }
}

} // namespace bridge::ipc
