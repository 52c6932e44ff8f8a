// One request as the HTTP layer hands it on, and one answer as it goes out.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bridge::server::http {

using Fields = std::vector<std::pair<std::string, std::string>>;

struct Request {
    std::string method;
    std::string target;
    unsigned version = 11; // 10 or 11
    bool keepAlive = true;
    Fields fields;         // in the order received
    std::string body;

    // Field names compared with ASCII-only case folding.
    std::size_t count(std::string_view name) const;
    std::string value(std::string_view name) const; // the first such field, "" when none
};

struct Reply {
    int status = 200;
    Fields headers;          // Content-Length and Connection are added when it goes out
    std::string body;
    bool headOnly = false;   // a HEAD answer: the body's length, not the body
    bool close = false;      // the connection ends after this answer
};

// The bytes of `reply` on the wire.
std::string wireText(const Reply& reply);

} // namespace bridge::server::http
