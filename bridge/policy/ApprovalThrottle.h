// At most three approval dialogs in any minute, for all origins together, so that a page cannot
// bury the user in questions. Safe to use from several threads.
#pragma once

#include <chrono>
#include <deque>
#include <mutex>

namespace bridge::policy {

class ApprovalThrottle {
public:
    static constexpr int kPerMinute = 3;

    // True, and the dialog counted, when fewer than kPerMinute were allowed in the minute
    // before `now`.
    bool mayAsk(std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

private:
    std::mutex mutex_;
    std::deque<std::chrono::system_clock::time_point> asked_;
};

} // namespace bridge::policy
