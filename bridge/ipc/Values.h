// The page's values as they travel in call requests and replies:
//   arguments ["s", text], ["n", number | "NaN" | "Infinity" | "-Infinity"], ["b", bool], ["u"],
//   ["null"], ["object"]; results ["s", text] and ["n", number].
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace bridge::ipc {

struct Argument {
    enum class Kind { text, number, boolean, undefined, null, object };
    Kind kind = Kind::undefined;
    std::string text;   // kind text
    double number = 0;  // kind number (NaN and the infinities included)
    bool boolean = false;
};

// One argument, or nullopt when it is not one of the encodings above.
std::optional<Argument> decodeArgument(const nlohmann::json& value);

nlohmann::json textValue(const std::string& text);
nlohmann::json numberValue(long long number);

// Serialises a message; text that is not valid UTF-8 is replaced rather than refused, so a reply
// is always sent.
std::string dumpMessage(const nlohmann::json& message);

} // namespace bridge::ipc
