// What the bridge answers to one request: an HTTP status and a JSON body.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace bridge::server {

struct Answer {
    int status = 200;
    nlohmann::json body;
};

// {"v":1,"ok":false,"error":text} with the status.
Answer errorAnswer(int status, const std::string& text);
// {"v":1,"ok":true} plus the fields given.
Answer okAnswer(nlohmann::json fields = nlohmann::json::object());

// The texts pages see; fixed, since scripts compare them.
namespace errors {
inline constexpr const char* notApproved = "origin not approved";
inline constexpr const char* foreignHost = "bad request: foreign Host";
inline constexpr const char* tooLarge = "bad request: body too large";
inline constexpr const char* released = "the control was released; create it again";
inline constexpr const char* controlFailed = "control failed";
inline constexpr const char* tooManyWaiting = "bad request: too many calls waiting";
} // namespace errors

// The error text for a refusal the HTTP layer makes by itself (a malformed request, no such
// path, headers over the limit, ...).
std::string textForStatus(int status);

} // namespace bridge::server
