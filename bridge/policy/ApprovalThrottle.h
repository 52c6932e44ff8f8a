// How often the user may be asked about the sites of one registrable domain: at most three
// dialogs in any minute, so that a page cannot bury the user in questions, and a site minting
// fresh subdomains (each a fresh origin) only uses up its own domain's share, never another's.
#pragma once

#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

namespace bridge::policy {

// The name dialogs are counted under, from a normalized origin: the registrable domain of its
// host by the public suffix list ("https://a.b.example.co.uk" -> "example.co.uk"), the host
// itself for IP literals, "localhost" and hosts that are a public suffix themselves.
std::string registrableDomain(const std::string& origin);

// Safe to use from several threads.
class ApprovalThrottle {
public:
    using TimePoint = std::chrono::system_clock::time_point;
    static constexpr int kPerMinute = 3;

    // True, and one dialog reserved for the domain, when the domain's dialogs shown in the minute
    // before `now` and those reserved but not yet shown are fewer than kPerMinute. Counting the
    // reserved ones keeps a queue of questions from bursting past the limit once they are shown.
    bool reserve(const std::string& domain, TimePoint now);
    // A reserved dialog is shown now; it counts for the minute after `now`.
    void shown(const std::string& domain, TimePoint now);
    // A reserved dialog will not be shown.
    void release(const std::string& domain);

private:
    struct Domain {
        std::deque<TimePoint> shown;
        int reserved = 0;
    };
    void expire(TimePoint now);

    std::mutex mutex_;
    std::unordered_map<std::string, Domain> domains_;
};

} // namespace bridge::policy
