#include "platform/SingleInstanceLock.h"

#include "platform/LockFileDebris.h"

#include <QDir>
#include <QStandardPaths>

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr size_t kMutexNameBuffer = 260;
constexpr size_t kMaxFileStem = 250; // leaves room for ".lock" within NAME_MAX

// A mutex name may hold characters a file name cannot.
std::string fileStemFor(const std::string& name) {
    std::string stem = name.substr(0, kMaxFileStem);
    for (char& c : stem) {
        if (c == '/')
            c = '_';
    }
    if (stem == "." || stem == "..")
        stem = "_";
    return stem;
}

} // namespace

std::string lockName(const char* instanceText) {
    std::string name = instanceText != nullptr ? instanceText : "";
    name += "_mgr_mutex";
    if (name.size() > kMutexNameBuffer - 1)
        name.resize(kMutexNameBuffer - 1);
    return name;
}

namespace {

struct Folder {
    std::string path;
    bool inTempFolder = false;
};

Folder chooseLockFolder() {
    if (const char* overridden = std::getenv("KORVAN_RUNTIME_DIR");
        overridden != nullptr && *overridden != '\0')
        return {overridden, false};
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (!runtime.isEmpty())
        return {runtime.toStdString(), false};
    return {(QDir::tempPath() + QStringLiteral("/korvanng-") + QString::number(::geteuid()))
                .toStdString(),
            true};
}

// Makes the folder 0700 if missing; false when it exists but another user owns it, it is a
// link, or others may enter it: whoever can, could hold the lock in our place.
bool isPrivateFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 077) == 0;
}

} // namespace

std::string lockFolder() {
    return chooseLockFolder().path;
}

SingleInstanceLock::SingleInstanceLock(const char* instanceText) {
    const Folder folder = chooseLockFolder();
    path_ = folder.path + "/" + fileStemFor(lockName(instanceText)) + ".lock";
    inTempFolder_ = folder.inTempFolder;
}

SingleInstanceLock::~SingleInstanceLock() {
    release();
}

SingleInstanceLock::Outcome SingleInstanceLock::acquire() {
    if (isHeld())
        return Outcome::Acquired;
    const QString path = QString::fromStdString(path_);
    if (inTempFolder_) {
        if (!isPrivateFolder(QFileInfo(path).absolutePath().toStdString()))
            return Outcome::Error;
    } else {
        QDir().mkpath(QFileInfo(path).absolutePath());
    }
    auto file = std::make_unique<QLockFile>(path);
    // Only a dead owner makes the lock stale; a live manager may run for weeks.
    file->setStaleLockTime(0);
    if (detail::tryLockClearingDebris(*file, 0)) {
        file_ = std::move(file);
        return Outcome::Acquired;
    }
    return file->error() == QLockFile::LockFailedError ? Outcome::HeldByAnother : Outcome::Error;
}

bool SingleInstanceLock::isHeld() const {
    return file_ != nullptr && file_->isLocked();
}

void SingleInstanceLock::release() {
    if (file_ != nullptr)
        file_->unlock();
    file_.reset();
}

} // namespace platform
