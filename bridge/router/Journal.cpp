#include "bridge/router/Journal.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace bridge::router {
namespace {

void writeLine(const char* format, va_list args) {
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    std::fprintf(stderr, "korvan-bridge-router: %s\n", line);
}

} // namespace

bool Journal::take(Clock::time_point now) {
    const std::chrono::duration<double> elapsed = now - refilled_;
    tokens_ = std::min(kBurst, tokens_ + elapsed.count() * kPerSecond);
    refilled_ = now;
    if (tokens_ < 1)
        return false;
    tokens_ -= 1;
    return true;
}

void Journal::limited(const char* format, ...) {
    if (!take(Clock::now())) {
        ++dropped_;
        return;
    }
    if (dropped_ != 0) {
        std::fprintf(stderr, "korvan-bridge-router: %llu lines were left out\n",
                     static_cast<unsigned long long>(dropped_));
        dropped_ = 0;
    }
    va_list args;
    va_start(args, format);
    writeLine(format, args);
    va_end(args);
}

void Journal::always(const char* format, ...) {
    va_list args;
    va_start(args, format);
    writeLine(format, args);
    va_end(args);
}

} // namespace bridge::router
