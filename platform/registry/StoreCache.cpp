#include "platform/registry/StoreCache.h"

#include "platform/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace platform::registry {

namespace {

constexpr std::int64_t kNsPerSecond = 1000000000;
// Whole-second times mean a file system that keeps no finer ones; FAT keeps two seconds.
constexpr std::int64_t kCoarseFileSystemMargin = 2 * kNsPerSecond;

std::int64_t nanoseconds(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * kNsPerSecond + t.tv_nsec;
}

FileStamp stampFrom(const struct stat& st) {
    return FileStamp{st.st_dev, st.st_ino, st.st_size, nanoseconds(st.st_mtim),
                     nanoseconds(st.st_ctim)};
}

// Two ticks of the clock the kernel stamps files with, and never under 10 ms.
std::int64_t tickMargin() {
    static const std::int64_t margin = [] {
        timespec res{};
        std::int64_t tick = 0;
        if (::clock_getres(CLOCK_REALTIME_COARSE, &res) == 0)
            tick = nanoseconds(res);
        return std::max<std::int64_t>(2 * tick, 10000000);
    }();
    return margin;
}

Parsed unreadable(const std::string& path, int error) {
    Parsed parsed;
    parsed.status = LoadStatus::Unreadable;
    parsed.error = "cannot read " + path + ": " + std::strerror(error);
    return parsed;
}

constexpr std::size_t kMaxStoreBytes = 64u << 20;

} // namespace

std::optional<FileStamp> stampOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return stampFrom(st);
}

std::int64_t realTimeNs() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return nanoseconds(now);
}

bool settledBefore(const FileStamp& stamp, std::int64_t readAtNs) {
    const bool coarse = stamp.mtimeNs % kNsPerSecond == 0 && stamp.ctimeNs % kNsPerSecond == 0;
    const std::int64_t margin = coarse ? kCoarseFileSystemMargin : tickMargin();
    return readAtNs - margin > std::max(stamp.mtimeNs, stamp.ctimeNs);
}

std::optional<QByteArray> readAll(int fd, std::size_t maxBytes) {
    QByteArray bytes;
    char buffer[65536];
    while (true) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            return bytes;
        if (static_cast<std::size_t>(bytes.size()) + static_cast<std::size_t>(got) > maxBytes) {
            errno = EFBIG;
            return std::nullopt;
        }
        bytes.append(buffer, got);
    }
}

Parsed StoreCache::load(const std::string& path, char kind, const Parser& parse) {
    const std::string key = std::string(1, kind) + path;
    const auto current = stampOf(path);
    if (!current) {
        const int error = errno;
        std::lock_guard lock(mutex_);
        entries_.erase(key);
        return error == ENOENT || error == ENOTDIR ? Parsed{} : unreadable(path, error);
    }
    {
        std::lock_guard lock(mutex_);
        const auto found = entries_.find(key);
        if (found != entries_.end() && found->second.settled && found->second.stamp == *current)
            return found->second.parsed;
    }

    // The clock is read before the file, so a change during the read is never taken as settled.
    const std::int64_t readAt = realTimeNs();
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return errno == ENOENT ? Parsed{} : unreadable(path, errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return unreadable(path, errno);
    if (!S_ISREG(st.st_mode))
        return unreadable(path, EISDIR);
    const auto bytes = readAll(fd.get(), kMaxStoreBytes);
    if (!bytes)
        return unreadable(path, errno);
    Parsed parsed = parse(*bytes, path);
    const FileStamp stamp = stampFrom(st);

    std::lock_guard lock(mutex_);
    ++reads_;
    entries_[key] = Entry{stamp, settledBefore(stamp, readAt), parsed};
    return parsed;
}

void StoreCache::forget(const std::string& path) {
    std::lock_guard lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->first.compare(1, std::string::npos, path) == 0)
            it = entries_.erase(it);
        else
            ++it;
    }
}

std::uint64_t StoreCache::fileReads() const {
    std::lock_guard lock(mutex_);
    return reads_;
}

StoreCache& StoreCache::instance() {
    static StoreCache cache;
    return cache;
}

} // namespace platform::registry
