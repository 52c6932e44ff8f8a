#include "bridge/app/Options.h"

#include "bridge/policy/ConfigLines.h"
#include "bridge/policy/Origin.h"

#include "platform/AsciiCase.h"

#include <windows.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <string_view>

namespace bridge::app {

namespace {

constexpr int kMaxSeconds = 7 * 24 * 60 * 60;

// Decimal digits only, within [low, high].
std::optional<int> parseNumber(std::string_view text, int low, int high) {
    if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    int value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    if (value < low || value > high)
        return std::nullopt;
    return value;
}

std::string quoted(std::string_view text) {
    return std::string("\"").append(text.substr(0, 80)).append("\"");
}

// Appends the origins of one comma list; false with `error` set for a malformed entry.
bool addOrigins(std::string_view text, std::string_view from, std::vector<std::string>& list, std::string& error) {
    std::vector<std::string> malformed;
    for (std::string& origin : policy::parseAllowList(text, &malformed)) {
        if (std::find(list.begin(), list.end(), origin) == list.end())
            list.push_back(std::move(origin));
    }
    if (malformed.empty())
        return true;
    error = std::string(from).append(": not an origin (scheme://host[:port]): ").append(quoted(malformed.front()));
    return false;
}

bool readSeconds(const Environment& environment, const char* name, int& seconds, std::string& error) {
    const char* value = environment(name);
    if (!value)
        return true;
    const auto parsed = parseNumber(value, 1, kMaxSeconds);
    if (!parsed) {
        error = std::string(name).append(": expected seconds from 1 to ").append(std::to_string(kMaxSeconds))
                    .append(", got ").append(quoted(value));
        return false;
    }
    seconds = *parsed;
    return true;
}

constexpr std::size_t kMaxConfigBytes = 64 * 1024;

// bridge.conf, where the environment puts it; empty when neither folder variable is set.
std::string configPath(const Environment& environment) {
    const char* config = environment("XDG_CONFIG_HOME");
    if (config && *config == '/')
        return std::string(config).append("/korvanng/bridge.conf");
    const char* home = environment("HOME");
    if (!home || *home == '\0')
        return {};
    return std::string(home).append("/.config/korvanng/bridge.conf");
}

// The settings of one bridge.conf this file owns ("pin_cache_s = N", "allow = ORIGINS", the
// latter as often as wanted); the "progid" lines are the ProgID list's. A missing file changes
// nothing.
bool readConfig(const std::string& path, Options& options, std::string& error) {
    if (path.empty())
        return true;
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return true;
    std::string text(kMaxConfigBytes, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(file.gcount()));
    bool pinCacheSeen = false;
    for (const auto& [number, key, value] : policy::configSettings(text)) {
        const std::string where = path + " line " + std::to_string(number) + ": " + std::string(key);
        if (platform::sameAsciiNoCase(key, "allow")) {
            if (!addOrigins(value, where, options.allowList, error))
                return false;
            continue;
        }
        if (!platform::sameAsciiNoCase(key, "pin_cache_s"))
            continue;
        if (pinCacheSeen) {
            error = where + ": given twice";
            return false;
        }
        pinCacheSeen = true;
        const auto seconds = parseNumber(value, 0, kMaxSeconds);
        if (!seconds) {
            error = where + ": expected seconds from 0 to " + std::to_string(kMaxSeconds) + ", got " + quoted(value);
            return false;
        }
        options.pinCacheSeconds = *seconds;
    }
    return true;
}

// A path for a unix socket: absolute, and short enough for sockaddr_un.
bool socketPathUsable(const std::string& path, const char* option, std::string& error) {
    if (!path.empty() && path.front() == '/' && path.size() < 108 && path.find('\0') == std::string::npos)
        return true;
    error = std::string(option).append(": expected an absolute path of at most 107 bytes, got ").append(quoted(path));
    return false;
}

// The one-shot modes and the paths they take; false with `error` set when they clash.
bool readModes(const CommandLine& commandLine, const Environment& environment, Options& options, std::string& error) {
    const int modes = int(commandLine.listOrigins) + int(commandLine.forget.has_value()) +
                      int(commandLine.printInclude) + int(commandLine.registerOnly) +
                      int(commandLine.browserPolicies.has_value());
    if (modes > 1) {
        error = "--list-origins, --forget, --print-include, --register and --browser-policies cannot be combined";
        return false;
    }
    if (commandLine.printInclude) {
        options.mode = Options::Mode::printInclude;
    } else if (commandLine.listOrigins) {
        options.mode = Options::Mode::listOrigins;
    } else if (commandLine.forget) {
        const auto origin = policy::normalizeOrigin(*commandLine.forget);
        if (!origin) {
            error = std::string("--forget: not an origin (scheme://host[:port]): ").append(quoted(*commandLine.forget));
            return false;
        }
        options.mode = Options::Mode::forget;
        options.forgetOrigin = *origin;
    } else if (commandLine.registerOnly) {
        options.mode = Options::Mode::registerOnly;
    } else if (commandLine.browserPolicies) {
        if (commandLine.browserPolicies->empty()) {
            error = "--browser-policies: expected a folder";
            return false;
        }
        options.mode = Options::Mode::browserPolicies;
        options.policiesDir = *commandLine.browserPolicies;
    }

    if (commandLine.listenUnix && options.mode != Options::Mode::serve) {
        error = "--listen-unix serves; it cannot be combined with a one-shot command";
        return false;
    }
    if (commandLine.socket && options.mode != Options::Mode::registerOnly) {
        error = "--socket names what --register registers; it needs --register";
        return false;
    }
    if (commandLine.router && options.mode != Options::Mode::serve && options.mode != Options::Mode::registerOnly) {
        error = "--router cannot be combined with a one-shot command other than --register";
        return false;
    }
    if (commandLine.listenUnix) {
        if (!socketPathUsable(*commandLine.listenUnix, "--listen-unix", error))
            return false;
        options.listenUnix = *commandLine.listenUnix;
    }
    if (commandLine.router) {
        if (!socketPathUsable(*commandLine.router, "--router", error))
            return false;
        options.routerPath = *commandLine.router;
    }
    if (options.mode == Options::Mode::registerOnly) {
        if (commandLine.socket) {
            options.bridgeSocket = *commandLine.socket;
        } else if (const char* runtime = environment("XDG_RUNTIME_DIR"); runtime && *runtime == '/') {
            options.bridgeSocket = std::string(runtime).append("/korvanng/bridge.sock");
        } else {
            error = "--register: XDG_RUNTIME_DIR is not set; name the bridge's socket with --socket";
            return false;
        }
        if (!socketPathUsable(options.bridgeSocket, "--socket", error))
            return false;
    }
    return true;
}

} // namespace

bool convertibleCodePage(int codePage) {
    return codePage > 0 && IsValidCodePage(static_cast<UINT>(codePage));
}

std::optional<CodePageChoice> chooseCodePage(const std::optional<std::string>& option,
                                             const char* environmentValue, int localeCodePage,
                                             std::string& error) {
    CodePageChoice choice;
    if (option) {
        const auto value = parseNumber(*option, 1, 65535);
        if (!value || !convertibleCodePage(*value)) {
            error = std::string("--codepage: not a code page the controls can use: ").append(quoted(*option));
            return std::nullopt;
        }
        choice.codePage = *value;
        choice.source = "--codepage";
        return choice;
    }
    if (environmentValue) {
        const auto value = parseNumber(environmentValue, 1, 65535);
        if (value && convertibleCodePage(*value)) {
            choice.codePage = *value;
            choice.source = "KORVAN_ANSI_CODEPAGE";
            return choice;
        }
        choice.warning = std::string("KORVAN_ANSI_CODEPAGE ignored, not a usable code page: ").append(quoted(environmentValue));
    }
    choice.codePage = convertibleCodePage(localeCodePage) ? localeCodePage : 1252;
    choice.source = "locale";
    return choice;
}

OptionsOrError resolveOptions(const CommandLine& commandLine, const Environment& environment,
                              int localeCodePage, const std::string& machineConfig) {
    Options options;
    std::string error;
    const auto failed = [&error] { return OptionsOrError{std::nullopt, error}; };

    if (!readModes(commandLine, environment, options, error))
        return failed();

    if (commandLine.port) {
        const auto port = parseNumber(*commandLine.port, 0, 65535);
        if (!port)
            return {std::nullopt, std::string("--port: expected 0 to 65535, got ").append(quoted(*commandLine.port))};
        options.port = *port;
    } else if (const char* value = environment("KORVAN_BRIDGE_PORT")) {
        const auto port = parseNumber(value, 0, 65535);
        if (!port)
            return {std::nullopt, std::string("KORVAN_BRIDGE_PORT: expected 0 to 65535, got ").append(quoted(value))};
        options.port = *port;
    }

    if (const char* value = environment("KORVAN_BRIDGE_ALLOW")) {
        options.preApproved = options.preApproved || *value != '\0';
        if (!addOrigins(value, "KORVAN_BRIDGE_ALLOW", options.allowList, error))
            return failed();
    }
    if (commandLine.allow) {
        options.preApproved = true;
        if (!addOrigins(*commandLine.allow, "--allow", options.allowList, error))
            return failed();
    }

    const auto codePage = chooseCodePage(commandLine.codePage, environment("KORVAN_ANSI_CODEPAGE"), localeCodePage, error);
    if (!codePage)
        return failed();
    options.codePage = codePage->codePage;
    options.codePageSource = codePage->source;
    if (codePage->warning)
        options.warnings.push_back(*codePage->warning);

    if (!readSeconds(environment, "KORVAN_BRIDGE_IDLE_S", options.idleSeconds, error) ||
        !readSeconds(environment, "KORVAN_BRIDGE_CALL_S", options.callSeconds, error))
        return failed();
    // The machine's file first: the user's pin_cache_s wins, and both add to the allow list.
    if (!readConfig(machineConfig, options, error) || !readConfig(configPath(environment), options, error))
        return failed();
    // Workers read the grants again when they start; a refused one stops the bridge here first.
    const char* home = environment("HOME");
    if (!policy::readTokenGrants(machineConfig, configPath(environment), policy::guardedFolders(home ? home : ""),
                                 options.tokenGrants, error))
        return failed();
    return {std::move(options), {}};
}

} // namespace bridge::app
