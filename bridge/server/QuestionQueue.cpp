#include "bridge/server/QuestionQueue.h"

#include <algorithm>

namespace bridge::server {

namespace {

// Turns after which a domain counts as never asked; keeps lastAsked_ small.
constexpr std::uint64_t kTurnsRemembered = 64;

} // namespace

std::optional<QuestionQueue::Ticket> QuestionQueue::push(const std::string& domain) {
    if (full())
        return std::nullopt;
    entries_.push_back({nextTicket_, domain});
    return nextTicket_++;
}

std::optional<QuestionQueue::Ticket> QuestionQueue::next() {
    if (std::any_of(entries_.begin(), entries_.end(), [](const Entry& e) { return e.asking; }))
        return std::nullopt;
    Entry* chosen = nullptr;
    std::uint64_t chosenTurn = 0;
    for (Entry& entry : entries_) {
        const auto it = lastAsked_.find(entry.domain);
        const std::uint64_t turn = it == lastAsked_.end() ? 0 : it->second;
        // Strictly less: among equals the earliest arrival wins.
        if (!chosen || turn < chosenTurn) {
            chosen = &entry;
            chosenTurn = turn;
        }
    }
    if (!chosen)
        return std::nullopt;
    chosen->asking = true;
    lastAsked_[chosen->domain] = ++turn_;
    std::erase_if(lastAsked_, [&](const auto& item) { return item.second + kTurnsRemembered < turn_; });
    return chosen->ticket;
}

void QuestionQueue::finish(Ticket ticket) {
    std::erase_if(entries_, [&](const Entry& e) { return e.ticket == ticket; });
}

} // namespace bridge::server
