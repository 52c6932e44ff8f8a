#include "bridge/policy/DecryptLimiter.h"

#include "bridge/policy/DecisionStore.h"
#include "bridge/policy/Origin.h"
#include "platform/Registry.h"

#include <charconv>
#include <cstdint>
#include <string_view>
#include <vector>

namespace bridge::policy {

namespace {

constexpr const char* kCallsValue = "DecryptCalls";
constexpr std::int64_t kMinute = 60;
constexpr std::int64_t kDay = 24 * 60 * 60;
// More than kPerDay numbers of 20 digits and a separator each: anything longer was not ours.
constexpr std::size_t kMaxStoredLength = 4096;

// The calls of the last day, oldest first. Stamps from more than a day ahead (a clock set back)
// are dropped so that they cannot block the origin for long; unreadable entries are skipped.
std::vector<std::int64_t> recentCalls(std::string_view text, std::int64_t now) {
    std::vector<std::int64_t> calls;
    if (text.size() > kMaxStoredLength)
        return calls;
    while (!text.empty()) {
        const std::size_t space = text.find(' ');
        const std::string_view item = text.substr(0, space);
        text = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
        std::int64_t stamp = 0;
        const auto [end, error] = std::from_chars(item.data(), item.data() + item.size(), stamp);
        if (error != std::errc() || end != item.data() + item.size())
            continue;
        if (stamp > now - kDay && stamp <= now + kDay)
            calls.push_back(stamp);
    }
    return calls;
}

} // namespace

bool DecryptLimiter::tryConsume(const std::string& origin,
                                std::chrono::system_clock::time_point now) {
    const auto normalized = normalizeOrigin(origin);
    if (!normalized || *normalized != origin)
        return false;
    const std::int64_t seconds =
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();

    std::lock_guard lock(mutex_);
    auto key = platform::RegistryKey::create(platform::RegistryRoot::CurrentUser,
                                             originKeyPath(origin));
    if (!key)
        return false;
    std::vector<std::int64_t> calls = recentCalls(key->stringValue(kCallsValue).value_or(""), seconds);
    int lastMinute = 0;
    for (std::int64_t stamp : calls) {
        if (stamp > seconds - kMinute)
            ++lastMinute;
    }
    if (lastMinute >= kPerMinute || calls.size() >= static_cast<std::size_t>(kPerDay))
        return false;

    calls.push_back(seconds);
    std::string text;
    for (std::int64_t stamp : calls) {
        if (!text.empty())
            text.push_back(' ');
        text.append(std::to_string(stamp));
    }
    return key->setString(kCallsValue, text);
}

} // namespace bridge::policy
