// The questions waiting for the user's one dialog. At most kMaxWaiting wait, the one being
// asked included; the next is taken from the domain asked least recently, then in arrival
// order, so that one domain's questions cannot hold back another's. Not safe to use from
// several threads: its owner locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace bridge::server {

class QuestionQueue {
public:
    using Ticket = std::uint64_t;
    static constexpr std::size_t kMaxWaiting = 8;

    // Nullopt when kMaxWaiting already wait.
    std::optional<Ticket> push(const std::string& domain);
    // The question to ask now, counted as being asked until finish(); nullopt when none waits
    // or one is being asked already.
    std::optional<Ticket> next();
    // The question leaves the queue, asked or not.
    void finish(Ticket ticket);

    std::size_t size() const { return entries_.size(); }
    bool full() const { return entries_.size() >= kMaxWaiting; }

private:
    struct Entry {
        Ticket ticket;
        std::string domain;
        bool asking = false;
    };
    std::vector<Entry> entries_; // in arrival order
    std::unordered_map<std::string, std::uint64_t> lastAsked_; // domain -> turn it was last asked in
    std::uint64_t turn_ = 0;
    Ticket nextTicket_ = 1;
};

} // namespace bridge::server
