// Parsed copies of store files, re-read only when a file has changed.
//
// A file counts as unchanged while its device, inode, size, modification and change times (to
// the nanosecond) are those seen when it was read. File times come from a clock that ticks
// coarsely, so a change made within one tick of a read could leave every field as it was: a
// copy is therefore trusted only when the file's times were already older than a safety margin
// when it was read; until then every read re-reads it. A writer replacing the file (rename)
// always gives a new inode.
#pragma once

#include <QByteArray>
#include <QJsonObject>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace platform::registry {

struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t mtimeNs = 0;
    std::int64_t ctimeNs = 0;
    bool operator==(const FileStamp&) const = default;
};

// Nullopt when the path cannot be stat'ed (errno tells why).
std::optional<FileStamp> stampOf(const std::string& path);
// The current real time, in nanoseconds, on the clock file times are taken from.
std::int64_t realTimeNs();
// Whether a file stamped `stamp` and read from `readAtNs` on may be trusted to show any later
// change in its stamp.
bool settledBefore(const FileStamp& stamp, std::int64_t readAtNs);

enum class LoadStatus { Ok, Damaged, Unreadable };

struct Parsed {
    LoadStatus status = LoadStatus::Ok;
    QJsonObject keys;  // what the file holds, in the layout of one JSON store
    std::string error; // why it is damaged or unreadable
};

// Turns the bytes of a file into its keys; `path` is for messages.
using Parser = std::function<Parsed(const QByteArray& bytes, const std::string& path)>;

class StoreCache {
public:
    // The file's keys; a missing file is an empty Ok. Reads and parses the file only when its
    // stamp differs from the cached copy's or that copy is not yet settled. `kind` keeps
    // parses of one path by different parsers apart. Thread-safe.
    Parsed load(const std::string& path, char kind, const Parser& parse);
    // Drops the copy of a file this process has just written.
    void forget(const std::string& path);
    // How many times a file was read since the process started (for benchmarks).
    std::uint64_t fileReads() const;

    static StoreCache& instance();

private:
    struct Entry {
        FileStamp stamp;
        bool settled = false;
        Parsed parsed;
    };
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
    std::uint64_t reads_ = 0;
};

// Bytes of the file behind `fd`, at most maxBytes; nullopt when it is larger or unreadable.
std::optional<QByteArray> readAll(int fd, std::size_t maxBytes);

} // namespace platform::registry
