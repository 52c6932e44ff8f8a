#include "platform/LockFileDebris.h"

#include <QDateTime>
#include <QFileInfo>

namespace platform::detail {

namespace {

// Qt creates the file and takes its native lock at once; a few seconds is far beyond that gap.
constexpr qint64 kDebrisAgeSeconds = 5;

} // namespace

bool removeUnreadableLockFile(QLockFile& lock) {
    qint64 pid = 0;
    QString hostname;
    QString appname;
    if (lock.getLockInfo(&pid, &hostname, &appname))
        return false; // a readable owner: Qt's own stale detection decides
    const QFileInfo info(lock.fileName());
    if (!info.exists())
        return false;
    const qint64 age = info.lastModified().secsTo(QDateTime::currentDateTime());
    if (age < kDebrisAgeSeconds)
        return false;
    // Fails while any process holds the file's native lock.
    return lock.removeStaleLockFile();
}

bool tryLockClearingDebris(QLockFile& lock, int timeoutMs) {
    if (lock.tryLock(0))
        return true;
    if (lock.error() == QLockFile::LockFailedError && removeUnreadableLockFile(lock) &&
        lock.tryLock(0))
        return true;
    return timeoutMs > 0 && lock.tryLock(timeoutMs);
}

} // namespace platform::detail
