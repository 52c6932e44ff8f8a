// One call of the page, parsed from the body of POST /korvan/v1/call and checked for shape and
// size before anything acts on it.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace bridge::policy {

inline constexpr int kProtocolVersion = 1;
inline constexpr std::size_t kMaxMemberNameLength = 64;
inline constexpr std::size_t kMaxProgIdLength = 128;
inline constexpr std::size_t kMaxArgs = 16;
// The call body is an object holding the argument array holding one array per argument.
inline constexpr int kMaxNesting = 3;

struct Request {
    enum class Op { create, call };
    Op op = Op::create;
    std::string progId; // create
    std::string object; // call: the id as sent, "<worker serial>.<object serial>"
    std::uint64_t workerSerial = 0;
    std::uint64_t objectSerial = 0;
    std::string member; // call: as sent; printable ASCII
    // call: the arguments as on the wire, each one of ["s",text], ["n",number],
    // ["n","NaN"|"Infinity"|"-Infinity"], ["b",bool], ["u"], ["null"], ["object"].
    nlohmann::json args = nlohmann::json::array();
};

struct ParsedRequest {
    std::optional<Request> request;
    std::string error; // "bad request: REASON" when request is empty
    explicit operator bool() const { return request.has_value(); }
};

ParsedRequest parseRequest(std::string_view body);

} // namespace bridge::policy
