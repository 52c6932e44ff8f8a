// The router's lines on stderr, which systemd puts in the journal. Any local user can make the
// router refuse things as fast as it can connect, so refusals are rate limited and the ones left
// out are counted in the next line that goes out. Nothing a connection sent ever reaches a line.
#pragma once

#include <chrono>
#include <cstdint>

namespace bridge::router {

class Journal {
public:
    using Clock = std::chrono::steady_clock;

    // A line any user can cause (a refusal, a registration), printf-style; dropped (and
    // counted) beyond a burst of lines.
    [[gnu::format(printf, 2, 3)]] void limited(const char* format, ...);
    // A line that is always written (start, fatal errors).
    [[gnu::format(printf, 2, 3)]] void always(const char* format, ...);

private:
    bool take(Clock::time_point now);

    static constexpr double kBurst = 200;
    static constexpr double kPerSecond = 50;
    double tokens_ = kBurst;
    Clock::time_point refilled_ = Clock::now();
    std::uint64_t dropped_ = 0;
};

} // namespace bridge::router
