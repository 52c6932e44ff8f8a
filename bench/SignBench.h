// What the signing benchmarks share: the software token with one signing identity and the
// 64-bit control registered, the control online, and two ways of signing timed in alternating
// rounds, so that both see the same disk and cache state; the ratio is of the total times.
#pragma once

#include "ControlHost.h"

#include <chrono>
#include <functional>
#include <optional>

namespace sign_bench {

struct Rounds {
    int rounds = 20;
    int perRound = 10;
    int signatures() const { return rounds * perRound; }
};

// [rounds [signatures per round]] from the command line.
Rounds roundsFrom(int argc, char** argv);

// Registers the providers and the control and puts token 1 with an identity in `container` into
// the store; false when that failed, said on stderr as `program: ...`.
bool prepareToken(const char* program, const char* container);

// The signing control of this process, online with the token's certificate; empty when it did
// not go online.
control_host::Control onlineControl();

struct Timing {
    std::chrono::steady_clock::duration first{};
    std::chrono::steady_clock::duration second{};
};

// Both ways warmed once, then `first` and `second` perRound times each a round. Nullopt at the
// first failed signature; a failed warm-up is said on stderr as `program: ...`.
std::optional<Timing> timeAlternating(const char* program, const Rounds& rounds,
                                      const std::function<bool()>& first,
                                      const std::function<bool()>& second);

// Two lines of milliseconds per signature and the ratio line; the labels carry their padding.
void report(const Timing& timing, const Rounds& rounds, const char* firstLabel, const char* secondLabel,
            const char* ratioLabel, const char* ratioNote);

} // namespace sign_bench
