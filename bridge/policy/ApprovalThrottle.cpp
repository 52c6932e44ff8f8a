#include "bridge/policy/ApprovalThrottle.h"

#include <libpsl.h>

#include <arpa/inet.h>

#include <algorithm>
#include <memory>

namespace bridge::policy {

namespace {

constexpr auto kWindow = std::chrono::minutes(1);

// Debian's list when it can be read (it is updated with the system), else libpsl's own copy.
const psl_ctx_t* suffixList() {
    static const std::unique_ptr<psl_ctx_t, decltype(&psl_free)> latest(psl_latest(nullptr), &psl_free);
    return latest ? latest.get() : psl_builtin();
}

std::string hostOf(const std::string& origin) {
    const std::size_t start = origin.find("://");
    if (start == std::string::npos)
        return origin;
    std::string host = origin.substr(start + 3);
    if (!host.empty() && host.front() == '[')
        return host.substr(0, host.find(']') + 1); // an IPv6 literal, brackets kept
    return host.substr(0, host.find(':'));
}

bool isIpv4(const std::string& host) {
    in_addr address{};
    return ::inet_pton(AF_INET, host.c_str(), &address) == 1;
}

// Without any list, the last two labels: errs towards counting too much together.
std::string lastTwoLabels(const std::string& host) {
    const std::size_t last = host.rfind('.');
    if (last == std::string::npos || last == 0)
        return host;
    const std::size_t before = host.rfind('.', last - 1);
    return before == std::string::npos ? host : host.substr(before + 1);
}

} // namespace

std::string registrableDomain(const std::string& origin) {
    std::string host = hostOf(origin);
    if (!host.empty() && host.back() == '.')
        host.pop_back(); // "example.com." is the same domain
    if (host.empty() || host.front() == '[' || host == "localhost" || isIpv4(host))
        return host;
    const psl_ctx_t* list = suffixList();
    if (!list)
        return lastTwoLabels(host);
    const char* domain = psl_registrable_domain(list, host.c_str());
    return domain ? std::string(domain) : host;
}

void ApprovalThrottle::expire(TimePoint now) {
    // A stamp ahead of `now` (the clock was set back) still counts until it is a minute old,
    // measured either way, so a clock change neither opens nor closes the gate for long.
    for (auto it = domains_.begin(); it != domains_.end();) {
        std::erase_if(it->second.shown, [&](TimePoint stamp) { return stamp <= now - kWindow || stamp >= now + kWindow; });
        if (it->second.shown.empty() && it->second.reserved == 0)
            it = domains_.erase(it);
        else
            ++it;
    }
}

bool ApprovalThrottle::reserve(const std::string& domain, TimePoint now) {
    std::lock_guard lock(mutex_);
    expire(now);
    Domain& entry = domains_[domain];
    if (entry.shown.size() + static_cast<std::size_t>(entry.reserved) >= static_cast<std::size_t>(kPerMinute))
        return false;
    ++entry.reserved;
    return true;
}

void ApprovalThrottle::shown(const std::string& domain, TimePoint now) {
    std::lock_guard lock(mutex_);
    Domain& entry = domains_[domain];
    entry.reserved = std::max(entry.reserved - 1, 0);
    entry.shown.push_back(now);
}

void ApprovalThrottle::release(const std::string& domain) {
    std::lock_guard lock(mutex_);
    const auto it = domains_.find(domain);
    if (it == domains_.end())
        return;
    it->second.reserved = std::max(it->second.reserved - 1, 0);
    if (it->second.reserved == 0 && it->second.shown.empty())
        domains_.erase(it);
}

} // namespace bridge::policy
