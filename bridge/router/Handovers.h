// Hand-overs whose message the user's bridge has not taken yet. A descriptor passed over a unix
// socket stays in flight, charged to the router's user, until the receiver reads it or its
// socket goes: closing the router's end does not take it back. The kernel refuses every further
// pass once the router's user has more in flight than RLIMIT_NOFILE, so one user's bridge that
// never reads would stop every other user's calls. Each hand-over is therefore kept here, and
// counted against its uid and the router, until the kernel has let go of the descriptor.
#pragma once

#include "platform/UniqueFd.h"

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <set>
#include <unordered_map>
#include <utility>

namespace bridge::router {

class Journal;

class Handovers {
public:
    using Clock = std::chrono::steady_clock;

    // At most `perUid` in flight for one uid and `total` for all; the page's connection is shut
    // when its bridge has not taken it within `patience`.
    Handovers(std::size_t perUid, std::size_t total, Clock::duration patience, Journal& journal);

    enum class Room { Yes, UidFull, RouterFull };
    Room room(uid_t uid) const;
    std::size_t perUid() const { return perUid_; }
    std::size_t size() const { return entries_.size(); }

    // `bridge` has just been sent `tcp`. Returns the descriptor to watch for the bridge taking it
    // (EPOLLOUT, edge-triggered: the kernel signals write space when the message is freed), or
    // -1 when it is done already.
    int sent(uid_t uid, platform::UniqueFd bridge, platform::UniqueFd tcp, Clock::time_point now);
    // Something happened on a watched descriptor.
    void changed(int fd);
    // Forgets a hand-over that cannot be watched.
    void abandon(int fd);
    // Shuts the pages' connections whose time is up; the time left until the next one is due.
    Clock::duration expire(Clock::time_point now);

private:
    struct Entry {
        uid_t uid;
        Clock::time_point deadline;
        platform::UniqueFd bridge;
        // Kept so that a connection its bridge does not take can be shut for the page; gone
        // once that is done.
        platform::UniqueFd tcp;
    };
    void erase(std::unordered_map<int, Entry>::iterator entry);

    std::size_t perUid_;
    std::size_t total_;
    Clock::duration patience_;
    Journal& journal_;
    std::unordered_map<int, Entry> entries_; // by the bridge end's descriptor
    std::unordered_map<uid_t, std::size_t> countByUid_;
    std::set<std::pair<Clock::time_point, int>> due_; // the entries whose page is still open
};

} // namespace bridge::router
