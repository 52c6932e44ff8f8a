// The bridges users have registered: one kept O_PATH descriptor of a bridge socket per uid.
#pragma once

#include "bridge/router/FdStore.h"
#include "platform/UniqueFd.h"

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>

namespace bridge::router {

// Why a descriptor offered for `uid` cannot stand for that user's bridge; nullopt when it can:
// an O_PATH descriptor of a socket file that `uid` owns. A user can create such a file only by
// binding a socket itself, so nobody can point the router at another user's bridge.
std::optional<std::string> registrationRefusal(int fd, uid_t uid);

class Registrations {
public:
    // At most `capacity` uids at once; each kept descriptor counts against the router's limit.
    // Every change is mirrored in `store`.
    Registrations(std::size_t capacity, FdStore& store) : capacity_(capacity), store_(store) {}

    enum class Added { New, Replaced, Full };
    // Keeps `fd` for `uid`, closing the uid's earlier one. Full: nothing kept, nothing changed.
    Added add(uid_t uid, platform::UniqueFd fd);
    // The kept descriptor of `uid`, or -1.
    int find(uid_t uid) const;
    // A registration that systemd kept for the router across a restart; false when full.
    bool restore(uid_t uid, platform::UniqueFd fd);
    void drop(uid_t uid);
    std::size_t size() const { return byUid_.size(); }

private:
    std::size_t capacity_;
    FdStore& store_;
    std::unordered_map<uid_t, platform::UniqueFd> byUid_;
};

} // namespace bridge::router
