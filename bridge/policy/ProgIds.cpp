#include "bridge/policy/ProgIds.h"
#include "bridge/policy/ConfigLines.h"
#include "bridge/policy/TokenGrants.h"

#include "platform/AsciiCase.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace bridge::policy {

namespace {

constexpr std::size_t kMaxConfigBytes = 64 * 1024;
constexpr std::size_t kMaxConfiguredProgIds = 64;
constexpr std::size_t kMaxProgId = 128;

const std::vector<std::string>& builtInProgIds() {
    static const std::vector<std::string> list = {
        "QXMeridiaControl.SGN",
        "QXMeridiaControl.SGN.1",
        "MeridiaVaultora.MeridiaCtrl",
        "MeridiaVaultora.MeridiaCtrl.1",
    };
    return list;
}

bool sameText(std::string_view a, std::string_view b) {
    return platform::sameAsciiNoCase(a, b);
}

// Letters, digits, '.', '_' and '-', starting with a letter.
bool validProgId(std::string_view text) {
    const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (text.empty() || text.size() > kMaxProgId || !letter(text.front()))
        return false;
    return std::all_of(text.begin(), text.end(), [&](char c) {
        return letter(c) || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    });
}

} // namespace

std::string bridgeConfigPath() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string folder;
    if (config && *config == '/') {
        folder = config;
    } else {
        const char* home = std::getenv("HOME");
        folder = std::string(home ? home : "").append("/.config");
    }
    return folder.append("/korvanng/bridge.conf");
}

bool progIdListed(const std::vector<std::string>& list, std::string_view progId) {
    return std::any_of(list.begin(), list.end(), [&](const std::string& item) { return sameText(item, progId); });
}

std::vector<std::string> progIdsFromConfig(std::string_view text, std::vector<std::string>* malformed) {
    std::vector<std::string> out;
    const auto bad = [&](std::string_view line) {
        if (malformed)
            malformed->emplace_back(line);
    };
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        const std::string_view line = trimmedConfigText(text.substr(0, newline));
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        if (line.empty() || line.front() == '#')
            continue;
        const std::size_t equals = line.find('=');
        // The bridge's other settings are read (and checked) with its options.
        const std::string_view key = trimmedConfigText(line.substr(0, equals));
        if (equals != std::string_view::npos &&
            (sameText(key, "pin_cache_s") || sameText(key, "allow") || tokenGrantKey(key)))
            continue;
        if (equals == std::string_view::npos || !sameText(key, "progid")) {
            bad(line);
            continue;
        }
        const std::string_view progId = trimmedConfigText(line.substr(equals + 1));
        if (!validProgId(progId) || out.size() >= kMaxConfiguredProgIds) {
            bad(line);
            continue;
        }
        if (!progIdListed(out, progId))
            out.emplace_back(progId);
    }
    return out;
}

namespace {

// One bridge.conf's ProgIDs appended to `list`; a missing file adds none.
void addProgIdsOfFile(const std::string& path, std::vector<std::string>& list,
                      std::vector<std::string>* malformed) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return;
    std::string text(kMaxConfigBytes + 1, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(file.gcount()));
    if (text.size() > kMaxConfigBytes) {
        // Cut at the last whole line rather than read a name half.
        text.resize(kMaxConfigBytes);
        text.resize(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n'));
        if (malformed)
            malformed->emplace_back("everything after the first 64 KiB of " + path);
    }
    for (std::string& progId : progIdsFromConfig(text, malformed)) {
        if (!progIdListed(list, progId))
            list.push_back(std::move(progId));
    }
}

} // namespace

std::vector<std::string> scriptableProgIds(std::vector<std::string>* malformed, const std::string& machineConfig) {
    std::vector<std::string> list = builtInProgIds();
    if (!machineConfig.empty())
        addProgIdsOfFile(machineConfig, list, malformed);
    addProgIdsOfFile(bridgeConfigPath(), list, malformed);
    return list;
}

} // namespace bridge::policy
