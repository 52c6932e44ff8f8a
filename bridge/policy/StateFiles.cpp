#include "bridge/policy/StateFiles.h"
#include "platform/UniqueFd.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bridge::policy::state {

namespace {

thread_local std::string error;

constexpr const char* kLockName = ".lock";
// No record line of ours comes near this; a longer one is damage.
constexpr std::size_t kMaxLine = 8192;

std::string environmentFolder(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value == '/' ? std::string(value) : std::string();
}

std::string homeFolder() {
    if (std::string home = environmentFolder("HOME"); !home.empty())
        return home;
    const passwd* entry = getpwuid(getuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

using Fd = platform::UniqueFd;

// Every missing folder of the path is made 0700, as the XDG folders are.
bool makeFolders(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (!part.empty() && ::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return fail("cannot make " + part + ": " + std::strerror(errno));
        if (slash == std::string::npos)
            return true;
    }
}

// The folder, opened; -1 with lastError() set when it cannot be used.
int openFolder() {
    const std::string path = folder();
    if (path.empty() || path.front() != '/')
        return fail("no home folder to keep the bridge's state in"), -1;
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int opened = ::open(path.c_str(), kFlags);
    if (opened < 0 && errno == ENOENT) { // made on first use only
        if (!makeFolders(path))
            return -1;
        opened = ::open(path.c_str(), kFlags);
    }
    Fd fd(opened);
    struct stat info {};
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0)
        return fail("cannot open " + path + ": " + std::strerror(errno)), -1;
    if (info.st_uid != ::geteuid() || (info.st_mode & 022) != 0)
        return fail(path + " is not the user's own folder (owner and mode 0700 expected)"), -1;
    return fd.release();
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

} // namespace

std::string folder() {
    if (std::string overridden = environmentFolder("KORVAN_BRIDGE_STATE_DIR"); !overridden.empty())
        return overridden;
    if (std::string registry = environmentFolder("KORVAN_REGISTRY_DIR"); !registry.empty())
        return registry + "/bridge-state";
    if (std::string xdg = environmentFolder("XDG_STATE_HOME"); !xdg.empty())
        return xdg + "/korvanng/bridge";
    const std::string home = homeFolder();
    return home.empty() ? std::string() : home + "/.local/state/korvanng/bridge";
}

const std::string& lastError() {
    return error;
}

bool fail(std::string why) {
    error = std::move(why);
    return false;
}

Lock::Lock() {
    const Fd dir(openFolder());
    if (dir.get() < 0)
        return;
    Fd fd(::openat(dir.get(), kLockName, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        fail(std::string("cannot open the state lock: ") + std::strerror(errno));
        return;
    }
    int rc = 0;
    while ((rc = ::flock(fd.get(), LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        fail(std::string("cannot lock the state folder: ") + std::strerror(errno));
        return;
    }
    fd_ = fd.release();
}

Lock::~Lock() {
    if (fd_ >= 0)
        ::close(fd_); // releases the lock
}

std::optional<bool> exists(const char* name) {
    const Fd dir(openFolder());
    if (dir.get() < 0)
        return std::nullopt;
    struct stat info {};
    if (::fstatat(dir.get(), name, &info, AT_SYMLINK_NOFOLLOW) == 0)
        return true;
    if (errno == ENOENT)
        return false;
    fail(std::string("cannot look at ") + name + ": " + std::strerror(errno));
    return std::nullopt;
}

std::optional<std::vector<std::string>> readRecords(const FileFormat& format) {
    const Fd dir(openFolder());
    if (dir.get() < 0)
        return std::nullopt;
    const std::string path = folder() + "/" + format.name;
    const Fd fd(::openat(dir.get(), format.name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT)
            return std::vector<std::string>();
        fail("cannot read " + path + ": " + std::strerror(errno));
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        fail(path + " is not a regular file");
        return std::nullopt;
    }
    if (static_cast<unsigned long long>(info.st_size) > format.maxBytes) {
        fail(path + " is larger than " + std::to_string(format.maxBytes) + " bytes");
        return std::nullopt;
    }
    // Read no more than the bound even if the file grows meanwhile.
    std::string text(format.maxBytes + 1, '\0');
    std::size_t length = 0;
    while (length < text.size()) {
        const ssize_t got = ::read(fd.get(), text.data() + length, text.size() - length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            fail("cannot read " + path + ": " + std::strerror(errno));
            return std::nullopt;
        }
        if (got == 0)
            break;
        length += static_cast<std::size_t>(got);
    }
    if (length > format.maxBytes) {
        fail(path + " is larger than " + std::to_string(format.maxBytes) + " bytes");
        return std::nullopt;
    }
    text.resize(length);

    std::vector<std::string> records;
    std::string_view rest(text);
    bool header = true;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        if (end == std::string_view::npos) {
            fail(path + " ends inside a line");
            return std::nullopt;
        }
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end + 1);
        if (line.size() > kMaxLine || line.find('\0') != std::string_view::npos) {
            fail(path + " holds a line that is not ours");
            return std::nullopt;
        }
        if (header) {
            if (line != format.header) {
                fail(path + " does not start with \"" + format.header + "\"");
                return std::nullopt;
            }
            header = false;
            continue;
        }
        records.emplace_back(line);
    }
    if (header && length != 0) {
        fail(path + " has no header");
        return std::nullopt;
    }
    return records;
}

bool writeRecords(const FileFormat& format, const std::vector<std::string>& records) {
    std::string text = std::string(format.header) + "\n";
    for (const std::string& record : records) {
        if (record.size() > kMaxLine || record.find('\n') != std::string::npos)
            return fail("a record does not fit the state file " + std::string(format.name));
        text.append(record).push_back('\n');
    }
    if (text.size() > format.maxBytes)
        return fail(std::string("the state file ") + format.name + " would be larger than " +
                    std::to_string(format.maxBytes) + " bytes");
    const Fd dir(openFolder());
    if (dir.get() < 0)
        return false;
    const std::string temporary = std::string(format.name) + ".new";
    ::unlinkat(dir.get(), temporary.c_str(), 0);
    Fd fd(::openat(dir.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0)
        return fail("cannot write " + folder() + "/" + temporary + ": " + std::strerror(errno));
    if (!writeAll(fd.get(), text) || ::fsync(fd.get()) != 0) {
        const int why = errno;
        ::unlinkat(dir.get(), temporary.c_str(), 0);
        return fail("cannot write " + folder() + "/" + temporary + ": " + std::strerror(why));
    }
    ::close(fd.release());
    if (::renameat(dir.get(), temporary.c_str(), dir.get(), format.name) != 0) {
        const int why = errno;
        ::unlinkat(dir.get(), temporary.c_str(), 0);
        return fail("cannot replace " + folder() + "/" + format.name + ": " + std::strerror(why));
    }
    // The rename itself must reach the disk before the change is reported as made.
    if (::fsync(dir.get()) != 0)
        return fail("cannot sync " + folder() + ": " + std::strerror(errno));
    return true;
}

} // namespace bridge::policy::state
