#include "platform/win/UserWait.h"

#include <atomic>
#include <cstdlib>
#include <string>

namespace {
std::atomic<KorvanUserWaitObserver> observer{nullptr};
constexpr int defaultLimitSeconds = 300;
} // namespace

extern "C" {

void korvanSetUserWaitObserver(KorvanUserWaitObserver o) {
    observer.store(o);
}

void korvanUserWaitBegins() {
    if (KorvanUserWaitObserver o = observer.load())
        o(1);
}

void korvanUserWaitEnds() {
    if (KorvanUserWaitObserver o = observer.load())
        o(0);
}

int korvanUserWaitLimitSeconds() {
    const char* text = std::getenv("KORVAN_USER_WAIT_S");
    if (text == nullptr || *text == '\0')
        return defaultLimitSeconds;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < 1 || value > 3600)
        return defaultLimitSeconds;
    return static_cast<int>(value);
}
}
