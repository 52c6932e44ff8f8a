// What the HTTP layer asks of the program serving it.
#pragma once

#include "bridge/server/http/Message.h"

#include <optional>
#include <string>

namespace bridge::server::http {

class Handler {
public:
    virtual ~Handler() = default;
    // On the event thread, as soon as a header block is in, before any body is read: an answer
    // now, or nullopt to read the body and hand the request to answer(). Must not block.
    virtual std::optional<Reply> screen(const Request& head) = 0;
    // Off the event thread, with the whole body; may block for as long as the call takes.
    virtual Reply answer(const Request& request) = 0;
    // The HTTP layer's own refusal of a request it could not read (`head` holds what was
    // read of it); on the event thread.
    virtual Reply refusal(int status, const std::string& text, const Request& head) = 0;
};

} // namespace bridge::server::http
