// One running manager per user session.
//
// Windows builds use a named mutex; here a lock file with the same name lives in the user's
// runtime folder. The lock is held while the object lives (or until release()); a lock left by
// a process that died is recognised by its owner's process id and taken over.
#pragma once

#include <QLockFile>

#include <memory>
#include <string>

namespace platform {

// The mutex name: the instance text formatted with "%s_mgr_mutex", cut to 259 characters as the
// 260-byte name buffer would. A null text counts as empty.
std::string lockName(const char* instanceText);

// The folder holding the lock: KORVAN_RUNTIME_DIR when set, else the user's runtime folder,
// else the user's own folder in the temporary folder, "korvanng-<uid>". The temporary folder
// itself is shared: anyone could make the lock file there first and keep the manager from
// starting, so the lock is taken only in a folder that is ours and closed to others (0700).
std::string lockFolder();

class SingleInstanceLock {
public:
    enum class Outcome {
        Acquired,      // this object holds the lock
        HeldByAnother, // another process or another object holds it: a second instance
        Error,         // the lock file could not be created, or its folder is not safely ours;
                       // nothing is known of other instances
    };

    explicit SingleInstanceLock(const char* instanceText);
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    // Start-up ends only on HeldByAnother; an Error lets it continue as a failed mutex would.
    Outcome acquire();
    // True only when this object now holds the lock.
    bool tryAcquire() { return acquire() == Outcome::Acquired; }
    bool isHeld() const;
    void release();

    const std::string& lockFilePath() const { return path_; }

private:
    std::string path_;
    bool inTempFolder_ = false; // the folder is checked before use
    std::unique_ptr<QLockFile> file_;
};

} // namespace platform
