#include "bridge/policy/ConfigLines.h"

namespace bridge::policy {

std::string_view trimmedConfigText(std::string_view text) {
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && space(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && space(text.back()))
        text.remove_suffix(1);
    return text;
}

std::vector<ConfigSetting> configSettings(std::string_view text) {
    std::vector<ConfigSetting> settings;
    for (int number = 1; !text.empty(); ++number) {
        const std::size_t newline = text.find('\n');
        const std::string_view line = trimmedConfigText(text.substr(0, newline));
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        const std::size_t equals = line.find('=');
        if (line.empty() || line.front() == '#' || equals == std::string_view::npos)
            continue;
        settings.push_back(
            {number, trimmedConfigText(line.substr(0, equals)), trimmedConfigText(line.substr(equals + 1))});
    }
    return settings;
}

} // namespace bridge::policy
