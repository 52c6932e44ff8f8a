#include "softtoken/store/Files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace softtoken::store::files {

namespace {

std::string octal(unsigned mode) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04o", mode);
    return buf;
}

bool makeDirs(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    const auto slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !makeDirs(path.substr(0, slash)))
        return false;
    return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

} // namespace

bool ensureDir(const std::string& path) {
    if (path.empty() || !makeDirs(path))
        return false;
    return unsafeDirReason(path).empty();
}

std::string unsafeDirReason(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return {};
    if (!S_ISDIR(st.st_mode))
        return "it is not a folder";
    if (st.st_uid != ::geteuid())
        return "it belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return "other users may write to it (mode " + octal(st.st_mode & 07777) + ")";
    return {};
}

std::string unsafeFileReason(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return {};
    if (!S_ISREG(st.st_mode))
        return "it is not a plain file";
    if (st.st_uid != ::geteuid())
        return "it belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        return "other users may read or write it (mode " + octal(st.st_mode & 07777) + ")";
    return {};
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool ensurePrivateFile(const std::string& path) {
    if (exists(path))
        return true;
    // Made under a temporary name and linked into place, so no one can have it open before it
    // is closed here.
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    const bool linked = ::link(temporary.c_str(), path.c_str()) == 0;
    const int linkError = errno;
    ::unlink(temporary.c_str());
    if (linked || linkError == EEXIST)
        return true;
    // A file system without hard links: create in place, the new file is ours alone.
    const int created = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (created < 0)
        return errno == EEXIST;
    ::close(created);
    return true;
}

bool isPlainName(const std::string& name) {
    if (name.empty() || name.size() > 64 || name[0] == '.')
        return false;
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!ok)
            return false;
    }
    return true;
}

std::string tokenPath(const std::string& storeDir, const std::string& name) {
    return storeDir + "/" + name + kTokenSuffix;
}

} // namespace softtoken::store::files
