#include "bridge/policy/DecryptLimiter.h"

#include "bridge/policy/RegistryMove.h"
#include "bridge/policy/StateFiles.h"
#include "bridge/policy/StateRecords.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace bridge::policy {

namespace {

constexpr std::int64_t kMinute = 60;
constexpr std::int64_t kDay = 24 * 60 * 60;

// Keeps the calls of the last day. Stamps from more than a day ahead (a clock set back) are
// dropped so that they cannot block the origin for long.
void keepRecent(std::vector<std::int64_t>& calls, std::int64_t now) {
    std::erase_if(calls, [now](std::int64_t stamp) { return stamp <= now - kDay || stamp > now + kDay; });
}

} // namespace

bool DecryptLimiter::tryConsume(const std::string& origin, std::chrono::system_clock::time_point now) {
    if (!state::normalizedOrigin(origin))
        return false;
    const std::int64_t seconds = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();

    std::lock_guard lock(mutex_);
    if (!state::ensureMovedFromRegistry())
        return false;
    const state::Lock folderLock;
    if (!folderLock)
        return false;
    auto all = state::readDecryptCalls();
    if (!all)
        return false;
    for (auto& [name, calls] : *all)
        keepRecent(calls, seconds); // other origins' old calls go, so the file stays small
    std::vector<std::int64_t>& calls = (*all)[origin];
    const auto lastMinute = std::count_if(calls.begin(), calls.end(),
                                          [seconds](std::int64_t stamp) { return stamp > seconds - kMinute; });
    if (lastMinute >= kPerMinute || calls.size() >= static_cast<std::size_t>(kPerDay))
        return false;
    calls.push_back(seconds);
    std::sort(calls.begin(), calls.end());
    return state::writeDecryptCalls(*all);
}

} // namespace bridge::policy
