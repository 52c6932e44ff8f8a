#include "bridge/policy/ApprovalThrottle.h"

#include <algorithm>

namespace bridge::policy {

bool ApprovalThrottle::mayAsk(std::chrono::system_clock::time_point now) {
    constexpr auto window = std::chrono::minutes(1);
    std::lock_guard lock(mutex_);
    // A stamp ahead of `now` (the clock was set back) still counts until it is a minute old,
    // measured either way, so a clock change neither opens nor closes the gate for long.
    std::erase_if(asked_, [&](auto stamp) { return stamp <= now - window || stamp >= now + window; });
    if (asked_.size() >= static_cast<std::size_t>(kPerMinute))
        return false;
    asked_.push_back(now);
    return true;
}

} // namespace bridge::policy
