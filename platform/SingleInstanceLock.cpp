#include "platform/SingleInstanceLock.h"

#include "platform/LockFileDebris.h"

#include <QDir>
#include <QStandardPaths>

#include <cstdlib>

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

std::string lockFolder() {
    if (const char* overridden = std::getenv("KORVAN_RUNTIME_DIR");
        overridden != nullptr && *overridden != '\0')
        return overridden;
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QDir::tempPath();
    return folder.toStdString();
}

SingleInstanceLock::SingleInstanceLock(const char* instanceText)
    : path_(lockFolder() + "/" + fileStemFor(lockName(instanceText)) + ".lock") {}

SingleInstanceLock::~SingleInstanceLock() {
    release();
}

SingleInstanceLock::Outcome SingleInstanceLock::acquire() {
    if (isHeld())
        return Outcome::Acquired;
    const QString path = QString::fromStdString(path_);
    QDir().mkpath(QFileInfo(path).absolutePath());
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
