#include "bridge/server/http/Message.h"

#include <ostream> // Boost 1.74's string_view needs it before its own headers

#include <boost/beast/http/status.hpp>

namespace bridge::server::http {

namespace {

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

} // namespace

std::size_t Request::count(std::string_view name) const {
    std::size_t n = 0;
    for (const auto& [key, value] : fields)
        n += sameName(key, name) ? 1 : 0;
    return n;
}

std::string Request::value(std::string_view name) const {
    for (const auto& [key, value] : fields)
        if (sameName(key, name))
            return value;
    return {};
}

std::string wireText(const Reply& reply) {
    const auto reason = boost::beast::http::obsolete_reason(static_cast<boost::beast::http::status>(reply.status));
    std::string text = "HTTP/1.1 " + std::to_string(reply.status) + " ";
    text.append(reason.data(), reason.size()).append("\r\n");
    for (const auto& [name, value] : reply.headers)
        text.append(name).append(": ").append(value).append("\r\n");
    // 204 carries no body and no length.
    if (reply.status != 204)
        text.append("Content-Length: ").append(std::to_string(reply.body.size())).append("\r\n");
    text.append(reply.close ? "Connection: close\r\n" : "Connection: keep-alive\r\n");
    text.append("\r\n");
    if (!reply.headOnly && reply.status != 204)
        text.append(reply.body);
    return text;
}

} // namespace bridge::server::http
