// The bridge's own state folder: files that only the bridge writes (workers are confined away
// from it), unlike the registry store, which every process of the user can change.
//
// Folder: KORVAN_BRIDGE_STATE_DIR when set; else, in a source-tree set-up that points the
// registry elsewhere with KORVAN_REGISTRY_DIR, its subfolder "bridge-state"; else
// $XDG_STATE_HOME/korvanng/bridge (~/.local/state/korvanng/bridge). Created 0700; a folder that
// is not the user's own or that others may write is refused.
//
// Each file is a header line and one record a line, at most a fixed size, replaced as a whole
// through a temporary file, fsync and rename. A missing file reads as no records; a file that is
// too large, has the wrong header or an unreadable line reads as "unreadable", and is never
// overwritten, so that damage is not taken for "nothing remembered".
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace bridge::policy::state {

std::string folder();

// Why the last failed call of this thread failed.
const std::string& lastError();
// Records a failure for lastError(); returns false.
bool fail(std::string why);

// Holds the folder's lock file: read-modify-write of any file of the folder happens under it,
// so the bridge and `korvan-bridge --forget` lose nothing to each other.
class Lock {
public:
    Lock();
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

struct FileFormat {
    const char* name;   // file name within the folder
    const char* header; // its first line
    std::size_t maxBytes;
};

// The records (lines after the header); nullopt when the folder or the file is unusable.
std::optional<std::vector<std::string>> readRecords(const FileFormat& format);
// Replaces the file; false when the records would not fit or the write failed.
bool writeRecords(const FileFormat& format, const std::vector<std::string>& records);

// Whether a file of that name exists in the folder; nullopt when the folder is unusable.
std::optional<bool> exists(const char* name);

} // namespace bridge::policy::state
