#include "SignBench.h"

#include <cstdio>
#include <cstdlib>

namespace sign_bench {

namespace {

double seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::chrono::steady_clock::duration timed(int times, const std::function<bool()>& sign, bool& ok) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < times && ok; ++i)
        ok = sign();
    return std::chrono::steady_clock::now() - start;
}

} // namespace

Rounds roundsFrom(int argc, char** argv) {
    Rounds rounds;
    if (argc > 1)
        rounds.rounds = std::atoi(argv[1]);
    if (argc > 2)
        rounds.perRound = std::atoi(argv[2]);
    return rounds;
}

bool prepareToken(const char* program, const char* container) {
    control_host::TokenStore& store = control_host::TokenStore::instance();
    if (store.root().empty() || control_host::registerProviders() != S_OK ||
        control_host::registerModule(CONTROL_MODULE) != S_OK) {
        fprintf(stderr, "%s: set-up failed\n", program);
        return false;
    }
    store.removeAllTokens();
    EVP_PKEY* key = control_host::testKey(2048, 0);
    if (store.freshToken(1).empty() ||
        !store.importIdentity(1, container, key, control_host::selfSignedCertificate("Bench Signer", key, 7))) {
        fprintf(stderr, "%s: token set-up failed\n", program);
        return false;
    }
    return true;
}

control_host::Control onlineControl() {
    control_host::Control control = control_host::Control::create(u"QXMeridiaControl.SGN");
    if (!control || control.call("IsOnline").status() != 0 || control.call("SetCertResult").status() != 0)
        return {};
    return control;
}

std::optional<Timing> timeAlternating(const char* program, const Rounds& rounds,
                                      const std::function<bool()>& first,
                                      const std::function<bool()>& second) {
    if (!first() || !second()) {
        fprintf(stderr, "%s: a signature failed\n", program);
        return std::nullopt;
    }
    Timing timing;
    bool ok = true;
    for (int r = 0; r < rounds.rounds && ok; ++r) {
        timing.first += timed(rounds.perRound, first, ok);
        if (ok)
            timing.second += timed(rounds.perRound, second, ok);
    }
    if (!ok)
        return std::nullopt;
    return timing;
}

void report(const Timing& timing, const Rounds& rounds, const char* firstLabel, const char* secondLabel,
            const char* ratioLabel, const char* ratioNote) {
    const int signatures = rounds.signatures();
    printf("%s%.3f ms per signature\n", firstLabel, 1000 * seconds(timing.first) / signatures);
    printf("%s%.3f ms per signature\n", secondLabel, 1000 * seconds(timing.second) / signatures);
    printf("%s%.3f over %d signatures each%s\n", ratioLabel, seconds(timing.first) / seconds(timing.second),
           signatures, ratioNote);
}

} // namespace sign_bench
