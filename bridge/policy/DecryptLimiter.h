// How often an origin may have the signing key decrypt: at most 10 calls in any 60 seconds and
// 100 in any 24 hours. Decryption under the signing key is a padding oracle, so the counts must
// outlive the worker and the bridge: they are kept in the bridge's state folder (StateFiles.h),
// which workers cannot write, as the seconds since the epoch of each origin's calls of the last
// day, apart from the decisions so that forgetting an origin does not reset its count.
// Safe to use from several threads.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

namespace bridge::policy {

class DecryptLimiter {
public:
    static constexpr int kPerMinute = 10;
    static constexpr int kPerDay = 100;

    // Counts one call and returns true when the origin is within both limits; returns false
    // and counts nothing when it is over one of them, or when the count cannot be stored (a
    // call that would not be counted is refused).
    bool tryConsume(const std::string& origin,
                    std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

private:
    std::mutex mutex_;
};

} // namespace bridge::policy
