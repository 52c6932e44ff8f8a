#include "bridge/router/Registrar.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace bridge::router {
namespace {

using platform::UniqueFd;

void answer(int fd, char byte) {
    (void)::send(fd, &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
}

enum class Read { Waiting, Gone, Message };

struct Message {
    Read state = Read::Gone;
    std::size_t bytes = 0;
    char first = 0;
    bool truncated = false;
    bool foreignControl = false;
    std::vector<UniqueFd> fds;
};

// One recvmsg: every descriptor that arrives is owned at once, so a refusal closes them all.
Message receive(int fd) {
    Message message;
    char data[2];
    iovec iov{data, sizeof data};
    // Room for more descriptors than allowed, so that extra ones are seen and refused.
    alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
    msghdr header{};
    header.msg_iov = &iov;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd, &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0) {
        message.state = errno == EAGAIN || errno == EINTR ? Read::Waiting : Read::Gone;
        return message;
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) {
            message.foreignControl = true;
            continue;
        }
        const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int received;
            std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof received);
            message.fds.emplace_back(received);
        }
    }
    message.truncated = (header.msg_flags & (MSG_CTRUNC | MSG_TRUNC)) != 0;
    message.bytes = static_cast<std::size_t>(n);
    message.first = n > 0 ? data[0] : 0;
    message.state = n == 0 && message.fds.empty() ? Read::Gone : Read::Message;
    return message;
}

std::optional<uid_t> peerCredentials(int fd) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
        length != sizeof credentials)
        return std::nullopt;
    return credentials.uid;
}

} // namespace

Registrar::Registrar(Registrations& registrations, Journal& journal, std::size_t maxPending,
                     std::size_t maxPendingPerUid, Clock::duration patience)
    : registrations_(registrations), journal_(journal), maxPending_(std::max<std::size_t>(1, maxPending)),
      maxPendingPerUid_(std::clamp<std::size_t>(maxPendingPerUid, 1, maxPending_)), patience_(patience) {}

int Registrar::accepted(UniqueFd connection, Clock::time_point now) {
    const auto uid = peerCredentials(connection.get());
    if (!uid) {
        journal_.limited("refused a registration: the connection has no peer credentials");
        answer(connection.get(), 'E');
        return -1;
    }
    if (tryRead(connection.get(), *uid))
        return -1;
    const auto ofUid = [&](const Pending& p) { return p.uid == *uid; };
    auto oldest = pending_.end();
    if (static_cast<std::size_t>(std::count_if(pending_.begin(), pending_.end(), ofUid)) >= maxPendingPerUid_)
        oldest = std::find_if(pending_.begin(), pending_.end(), ofUid);
    else if (pending_.size() >= maxPending_)
        oldest = pending_.begin();
    if (oldest != pending_.end()) {
        journal_.limited("closed a waiting registration of uid %u: too many are waiting", oldest->uid);
        pending_.erase(oldest);
    }
    const int fd = connection.get();
    pending_.push_back(Pending{std::move(connection), *uid, now + patience_});
    return fd;
}

void Registrar::readable(int fd) {
    const auto found = std::find_if(pending_.begin(), pending_.end(),
                                    [fd](const Pending& p) { return p.connection.get() == fd; });
    if (found != pending_.end() && tryRead(fd, found->uid))
        pending_.erase(found);
}

Registrar::Clock::duration Registrar::expire(Clock::time_point now) {
    while (!pending_.empty() && pending_.front().deadline <= now) {
        journal_.limited("closed a registration of uid %u: no message in time", pending_.front().uid);
        pending_.erase(pending_.begin());
    }
    return pending_.empty() ? Clock::duration::max() : pending_.front().deadline - now;
}

bool Registrar::tryRead(int fd, uid_t uid) {
    Message message = receive(fd);
    if (message.state == Read::Waiting)
        return false;
    if (message.state == Read::Gone)
        return true;
    const char* refusal = nullptr;
    if (message.bytes != 1 || message.first != 'R' || message.foreignControl)
        refusal = "not a registration message";
    else if (message.truncated || message.fds.size() != 1)
        refusal = "a registration carries exactly one descriptor";
    if (refusal) {
        journal_.limited("refused a registration of uid %u: %s", uid, refusal);
        answer(fd, 'E');
        return true;
    }
    if (const auto why = registrationRefusal(message.fds.front().get(), uid)) {
        journal_.limited("refused a registration of uid %u: %s", uid, why->c_str());
        answer(fd, 'E');
        return true;
    }
    switch (registrations_.add(uid, std::move(message.fds.front()))) {
    case Registrations::Added::Full:
        journal_.limited("refused a registration of uid %u: %zu uids are registered already", uid,
                         registrations_.size());
        answer(fd, 'E');
        return true;
    case Registrations::Added::New:
        journal_.limited("registered the bridge of uid %u", uid);
        break;
    case Registrations::Added::Replaced:
        break;
    }
    answer(fd, 'K');
    return true;
}

} // namespace bridge::router
