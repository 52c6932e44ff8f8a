// The bounds every connection lives within, so that no peer can hold memory, descriptors or
// the event thread beyond them.
#pragma once

#include <chrono>
#include <cstddef>

namespace bridge::server::http {

struct Limits {
    std::size_t maxHeaderBytes = 16 * 1024; // request line and fields
    std::size_t maxHeaderLines = 100;       // request line and fields
    std::size_t maxBody = 1 << 20;
    // A request's header block, from the connection being ready for it (or its first byte on a
    // kept-alive connection) to its blank line.
    std::chrono::milliseconds headerTime{5000};
    std::chrono::milliseconds bodyTime{10000};      // from the end of the header block
    std::chrono::milliseconds idleTime{30000};      // a kept-alive connection with nothing sent
    std::chrono::milliseconds lingerTime{500};      // reading what follows a refusal before closing
    std::size_t maxConnections = 4096;
    std::size_t maxCallsInFlight = 256;             // threads running blocking answers
};

} // namespace bridge::server::http
