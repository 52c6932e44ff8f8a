#include "bridge/policy/StateRecords.h"

#include "bridge/policy/Origin.h"
#include "bridge/policy/StateFiles.h"

#include <charconv>
#include <string_view>

namespace bridge::policy::state {

namespace {

// A few thousand origins in either file; more is not a user's doing.
constexpr FileFormat kDecisionsFile{"decisions", "korvanng-bridge decisions 1", 1u << 20};
constexpr FileFormat kDecryptFile{"decrypt-calls", "korvanng-bridge decrypt-calls 1", 4u << 20};

// "<origin>\t<rest>"; false when there is no tab or the origin is not normalized.
bool splitRecord(std::string_view record, std::string& origin, std::string_view& rest) {
    const std::size_t tab = record.find('\t');
    if (tab == std::string_view::npos)
        return false;
    origin.assign(record.substr(0, tab));
    rest = record.substr(tab + 1);
    return normalizedOrigin(origin);
}

std::optional<std::vector<std::int64_t>> parseStamps(std::string_view text) {
    std::vector<std::int64_t> stamps;
    while (!text.empty()) {
        const std::size_t space = text.find(' ');
        const std::string_view item = text.substr(0, space);
        text = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
        std::int64_t stamp = 0;
        const auto [end, error] = std::from_chars(item.data(), item.data() + item.size(), stamp);
        if (item.empty() || error != std::errc() || end != item.data() + item.size())
            return std::nullopt;
        stamps.push_back(stamp);
    }
    return stamps;
}

} // namespace

bool normalizedOrigin(const std::string& origin) {
    const auto normalized = normalizeOrigin(origin);
    return normalized && *normalized == origin;
}

std::optional<Decisions> readDecisions() {
    const auto records = readRecords(kDecisionsFile);
    if (!records)
        return std::nullopt;
    Decisions decisions;
    for (const std::string& record : *records) {
        std::string origin;
        std::string_view word;
        Decision decision = Decision::undecided;
        if (splitRecord(record, origin, word))
            decision = word == "allowed" ? Decision::allowed : word == "denied" ? Decision::denied : Decision::undecided;
        if (decision == Decision::undecided || !decisions.emplace(origin, decision).second) {
            fail(folder() + "/" + kDecisionsFile.name + " holds a line that is not a decision");
            return std::nullopt;
        }
    }
    return decisions;
}

bool writeDecisions(const Decisions& decisions) {
    std::vector<std::string> records;
    for (const auto& [origin, decision] : decisions) {
        if (decision != Decision::undecided)
            records.push_back(origin + "\t" + decisionName(decision));
    }
    return writeRecords(kDecisionsFile, records);
}

std::optional<DecryptCalls> readDecryptCalls() {
    const auto records = readRecords(kDecryptFile);
    if (!records)
        return std::nullopt;
    DecryptCalls calls;
    for (const std::string& record : *records) {
        std::string origin;
        std::string_view text;
        std::optional<std::vector<std::int64_t>> stamps;
        if (splitRecord(record, origin, text))
            stamps = parseStamps(text);
        if (!stamps || !calls.emplace(origin, std::move(*stamps)).second) {
            fail(folder() + "/" + kDecryptFile.name + " holds a line that is not a count");
            return std::nullopt;
        }
    }
    return calls;
}

bool writeDecryptCalls(const DecryptCalls& calls) {
    std::vector<std::string> records;
    for (const auto& [origin, stamps] : calls) {
        if (stamps.empty())
            continue;
        std::string record = origin + "\t";
        for (std::size_t i = 0; i < stamps.size(); ++i)
            record.append(i == 0 ? "" : " ").append(std::to_string(stamps[i]));
        records.push_back(std::move(record));
    }
    return writeRecords(kDecryptFile, records);
}

} // namespace bridge::policy::state
