#include "bridge/router/Router.h"

#include "bridge/router/Forwarder.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace bridge::router {
namespace {

using platform::UniqueFd;

// An epoll tag is the kind in the high half and the descriptor in the low half.
enum Kind : std::uint64_t {
    kTcp = 1,
    kRegistrationListener = 2,
    kRegistration = 3,
    kSignal = 4,
    kHandover = 5,
};

std::uint64_t tag(Kind kind, int fd) {
    return kind << 32 | static_cast<std::uint32_t>(fd);
}

// Per wake-up, so that a flood on one socket still lets the others be served.
constexpr int kAcceptBatch = 64;

} // namespace

Router::Router(Listeners listeners, const RouterLimits& limits, Journal& journal, FdStore& store)
    : listeners_(std::move(listeners)), journal_(journal), registrations_(limits.maxRegistrations, store),
      registrar_(registrations_, journal, limits.maxWaitingRegistrations,
                 limits.maxWaitingRegistrationsPerUid, limits.registrationPatience),
      handovers_(limits.handoversPerUid, limits.maxHandovers, limits.handoverPatience, journal) {
    std::size_t restored = 0;
    for (auto& [uid, fd] : listeners_.stored) {
        if (const auto why = registrationRefusal(fd.get(), uid)) {
            journal_.limited("dropped the kept registration of uid %u: %s", uid, why->c_str());
            store.forget(uid);
        } else if (!registrations_.restore(uid, std::move(fd))) {
            store.forget(uid);
        } else {
            ++restored;
        }
    }
    listeners_.stored.clear();
    if (restored != 0)
        journal_.always("took back %zu registrations kept over the restart", restored);
}

bool Router::watch(int fd, std::uint64_t what, std::uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = what;
    return ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) == 0;
}

int Router::acceptOne(int listener) {
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0)
            return fd;
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if ((errno == EMFILE || errno == ENFILE) && spare_.get() >= 0) {
            journal_.limited("out of descriptors: closed a connection unseen");
            spare_.reset();
            UniqueFd dropped(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
            dropped.reset();
            spare_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
            continue;
        }
        return -1;
    }
}

void Router::acceptTcp(int listener) {
    for (int i = 0; i < kAcceptBatch; ++i) {
        const int fd = acceptOne(listener);
        if (fd < 0)
            return;
        auto passed = forwardConnection(UniqueFd(fd), registrations_, handovers_, journal_);
        if (!passed)
            continue;
        const int watched = handovers_.sent(passed->uid, std::move(passed->bridge),
                                            std::move(passed->tcp), Handovers::Clock::now());
        // Unwatched, it would never be seen as taken: it is let go rather than held for good.
        if (watched >= 0 && !watch(watched, tag(kHandover, watched), EPOLLOUT | EPOLLET))
            handovers_.abandon(watched);
    }
}

void Router::acceptRegistrations(int listener) {
    for (int i = 0; i < kAcceptBatch; ++i) {
        const int fd = acceptOne(listener);
        if (fd < 0)
            return;
        const int waiting = registrar_.accepted(UniqueFd(fd), Registrar::Clock::now());
        if (waiting >= 0 && !watch(waiting, tag(kRegistration, waiting), EPOLLIN))
            registrar_.readable(waiting);
    }
}

int Router::run() {
    epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    signals_.reset(::signalfd(-1, &stop, SFD_NONBLOCK | SFD_CLOEXEC));
    spare_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (epoll_.get() < 0 || signals_.get() < 0 || !watch(signals_.get(), tag(kSignal, signals_.get()), EPOLLIN)) {
        journal_.always("cannot set up the event loop: %s", std::strerror(errno));
        return 1;
    }
    for (const auto& fd : listeners_.tcp)
        if (!watch(fd.get(), tag(kTcp, fd.get()), EPOLLIN))
            return 1;
    for (const auto& fd : listeners_.registration)
        if (!watch(fd.get(), tag(kRegistrationListener, fd.get()), EPOLLIN))
            return 1;

    epoll_event events[64];
    for (;;) {
        const auto now = Registrar::Clock::now();
        const auto untilNext = std::min(registrar_.expire(now), handovers_.expire(now));
        int timeout = -1;
        if (untilNext != Registrar::Clock::duration::max())
            timeout = static_cast<int>(
                std::chrono::ceil<std::chrono::milliseconds>(untilNext).count());
        const int n = ::epoll_wait(epoll_.get(), events, 64, timeout);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            journal_.always("epoll_wait failed: %s", std::strerror(errno));
            return 1;
        }
        for (int i = 0; i < n; ++i) {
            const int fd = static_cast<int>(events[i].data.u64 & 0xffffffffu);
            switch (static_cast<Kind>(events[i].data.u64 >> 32)) {
            case kTcp:
                acceptTcp(fd);
                break;
            case kRegistrationListener:
                acceptRegistrations(fd);
                break;
            case kRegistration:
                // A closed descriptor leaves the epoll set by itself.
                registrar_.readable(fd);
                break;
            case kHandover:
                handovers_.changed(fd);
                break;
            case kSignal:
                journal_.always("stopping on a signal; %zu bridges were registered",
                                registrations_.size());
                return 0;
            }
        }
    }
}

} // namespace bridge::router
