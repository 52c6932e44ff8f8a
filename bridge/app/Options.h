// What korvan-bridge was asked to do, from its command line and environment. Toolkit-free: the
// command line is read by Qt at the edge and handed over as plain text.
#pragma once

#include "bridge/policy/ProgIds.h"
#include "bridge/policy/TokenGrants.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace bridge::app {

inline constexpr int kDefaultPort = 28561;
// Machine-wide settings, read before the user's own bridge.conf.
inline constexpr const char* kMachineConfigPath = policy::kMachineBridgeConfigPath;
// Where the machine's router takes registrations.
inline constexpr const char* kDefaultRouterPath = "/run/korvanng/router.sock";

// The options as given, before any check.
struct CommandLine {
    std::optional<std::string> port;
    std::optional<std::string> allow;
    std::optional<std::string> codePage;
    std::optional<std::string> forget;
    std::optional<std::string> listenUnix;
    std::optional<std::string> router;
    std::optional<std::string> socket;
    std::optional<std::string> browserPolicies;
    bool listOrigins = false;
    bool printInclude = false;
    bool registerOnly = false;
};

struct Options {
    enum class Mode { serve, listOrigins, forget, printInclude, registerOnly, browserPolicies };
    Mode mode = Mode::serve;
    std::string forgetOrigin;         // normalized
    std::string listenUnix;           // serve connections handed over on this socket, no TCP
    std::string routerPath = kDefaultRouterPath;
    std::string bridgeSocket;         // --register: the socket the router is given
    std::string policiesDir;          // --browser-policies
    int port = kDefaultPort;
    // Normalized: KORVAN_BRIDGE_ALLOW, --allow, then the "allow" lines of the machine's and the
    // user's bridge.conf.
    std::vector<std::string> allowList;
    bool preApproved = false;         // KORVAN_BRIDGE_ALLOW or --allow given: no dialogs
    int codePage = 1252;
    std::string codePageSource;       // "--codepage", "KORVAN_ANSI_CODEPAGE" or "locale"
    int idleSeconds = 1800;
    int callSeconds = 30;
    int pinCacheSeconds = 300;        // bridge.conf pin_cache_s, the user's over the machine's
    policy::TokenGrants tokenGrants;  // bridge.conf token-env and token-path, checked here at start
    std::vector<std::string> warnings; // settings ignored, one line each
};

struct OptionsOrError {
    std::optional<Options> options;
    std::string error; // one line for the user when options is empty
};

// Reads an environment variable; nullptr when it is not set.
using Environment = std::function<const char*(const char*)>;

// Whether a number names a code page the platform converts (Windows ANSI pages and 65001).
bool convertibleCodePage(int codePage);

struct CodePageChoice {
    int codePage = 1252;
    std::string source;
    std::optional<std::string> warning;
};

// --codepage N (which must be convertible), else a convertible KORVAN_ANSI_CODEPAGE, else the
// locale's page as the platform picks it. Nullopt with `error` set for a bad --codepage.
std::optional<CodePageChoice> chooseCodePage(const std::optional<std::string>& option,
                                             const char* environmentValue, int localeCodePage,
                                             std::string& error);

// Everything checked: a malformed value is an error naming where it came from, never a
// silent default. localeCodePage is the platform's choice (GetACP). bridge.conf is read from
// machineConfig first, then from the user's configuration folder.
OptionsOrError resolveOptions(const CommandLine& commandLine, const Environment& environment,
                              int localeCodePage, const std::string& machineConfig = kMachineConfigPath);

} // namespace bridge::app
