#pragma once

#include <string_view>
#include <vector>

namespace bridge::policy {

// One "key = value" line of a bridge.conf, trimmed; `number` counts from 1 for messages.
struct ConfigSetting {
    int number;
    std::string_view key;
    std::string_view value;
};

// `text` without leading and trailing spaces, tabs and carriage returns.
std::string_view trimmedConfigText(std::string_view text);

// The settings of one bridge.conf in file order: blank lines, '#' comments and lines without
// '=' are left out. The views point into `text`.
std::vector<ConfigSetting> configSettings(std::string_view text);

} // namespace bridge::policy
