#include "bridge/router/Handovers.h"

#include "bridge/router/Journal.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace bridge::router {
namespace {

using platform::UniqueFd;

// Bytes this end has sent that the other end has not read nor thrown away: the one message of
// a hand-over, with its descriptor, until the bridge takes it or its socket goes.
bool taken(int bridge) {
    int unread = 0;
    return ::ioctl(bridge, SIOCOUTQ, &unread) == 0 && unread == 0;
}

} // namespace

Handovers::Handovers(std::size_t perUid, std::size_t total, Clock::duration patience, Journal& journal)
    : perUid_(perUid), total_(total), patience_(patience), journal_(journal) {}

Handovers::Room Handovers::room(uid_t uid) const {
    if (entries_.size() >= total_)
        return Room::RouterFull;
    const auto found = countByUid_.find(uid);
    return found != countByUid_.end() && found->second >= perUid_ ? Room::UidFull : Room::Yes;
}

int Handovers::sent(uid_t uid, UniqueFd bridge, UniqueFd tcp, Clock::time_point now) {
    if (taken(bridge.get()))
        return -1;
    const int fd = bridge.get();
    const auto deadline = now + patience_;
    entries_.emplace(fd, Entry{uid, deadline, std::move(bridge), std::move(tcp)});
    ++countByUid_[uid];
    due_.emplace(deadline, fd);
    return fd;
}

void Handovers::erase(std::unordered_map<int, Entry>::iterator entry) {
    if (entry->second.tcp.get() >= 0)
        due_.erase({entry->second.deadline, entry->first});
    const auto count = countByUid_.find(entry->second.uid);
    if (count != countByUid_.end() && --count->second == 0)
        countByUid_.erase(count);
    entries_.erase(entry);
}

void Handovers::changed(int fd) {
    const auto entry = entries_.find(fd);
    // A hang-up alone proves nothing: a peer that shut its socket down still holds the message.
    if (entry != entries_.end() && taken(fd))
        erase(entry);
}

void Handovers::abandon(int fd) {
    const auto entry = entries_.find(fd);
    if (entry != entries_.end())
        erase(entry);
}

Handovers::Clock::duration Handovers::expire(Clock::time_point now) {
    while (!due_.empty() && due_.begin()->first <= now) {
        const auto entry = entries_.find(due_.begin()->second);
        if (taken(entry->first)) {
            erase(entry);
            continue;
        }
        // The page learns at once that its bridge is down. The message stays counted, through
        // the end kept here, until the bridge reads it or its socket goes.
        due_.erase(due_.begin());
        ::shutdown(entry->second.tcp.get(), SHUT_RDWR);
        entry->second.tcp.reset();
        journal_.limited("shut a connection of uid %u: its bridge did not take it in time",
                         entry->second.uid);
    }
    return due_.empty() ? Clock::duration::max() : due_.begin()->first - now;
}

} // namespace bridge::router
