#include "bridge/router/Registrations.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace bridge::router {

std::optional<std::string> registrationRefusal(int fd, uid_t uid) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0)
        return std::string("unreadable descriptor: ") + std::strerror(errno);
    // A live socket or an open file would let the user hand us more than a name to connect to.
    if (!(flags & O_PATH))
        return "not an O_PATH descriptor";
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return std::string("unreadable descriptor: ") + std::strerror(errno);
    if (!S_ISSOCK(st.st_mode))
        return "not a socket file";
    if (st.st_uid != uid)
        return "socket file owned by uid " + std::to_string(st.st_uid);
    return std::nullopt;
}

Registrations::Added Registrations::add(uid_t uid, platform::UniqueFd fd) {
    const auto found = byUid_.find(uid);
    if (found != byUid_.end()) {
        store_.keep(uid, fd.get());
        found->second = std::move(fd);
        return Added::Replaced;
    }
    if (byUid_.size() >= capacity_)
        return Added::Full;
    store_.keep(uid, fd.get());
    byUid_.emplace(uid, std::move(fd));
    return Added::New;
}

bool Registrations::restore(uid_t uid, platform::UniqueFd fd) {
    if (byUid_.size() >= capacity_ && !byUid_.contains(uid))
        return false;
    byUid_.insert_or_assign(uid, std::move(fd));
    return true;
}

int Registrations::find(uid_t uid) const {
    const auto found = byUid_.find(uid);
    return found == byUid_.end() ? -1 : found->second.get();
}

void Registrations::drop(uid_t uid) {
    if (byUid_.erase(uid) != 0)
        store_.forget(uid);
}

} // namespace bridge::router
