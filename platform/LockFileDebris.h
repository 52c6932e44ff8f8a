// Shared by the lock users of this folder; not part of the public interface.
#pragma once

#include <QLockFile>

namespace platform::detail {

// With age-based staleness off, Qt treats a lock file whose owner it cannot read as held for
// good. Such a file is left by a crash between creating the file and writing the owner into it.
// When no process holds the file's native lock and it has not been touched for a few seconds it
// is removed, so it cannot block every later start. True when it was removed.
bool removeUnreadableLockFile(QLockFile& lock);

// tryLock(0), and once more after removing an unreadable leftover, then waits up to timeoutMs.
bool tryLockClearingDebris(QLockFile& lock, int timeoutMs);

} // namespace platform::detail
