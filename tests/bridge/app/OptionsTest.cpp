#include "bridge/app/Options.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

namespace {

using bridge::app::CommandLine;
using bridge::app::Options;
using bridge::app::resolveOptions;

struct FakeEnvironment {
    std::map<std::string, std::string> values;
    const char* operator()(const char* name) const {
        const auto it = values.find(name);
        return it == values.end() ? nullptr : it->second.c_str();
    }
};

Options resolved(const CommandLine& commandLine, const FakeEnvironment& environment = {}) {
    const auto result = resolveOptions(commandLine, environment, 936);
    EXPECT_TRUE(result.options) << result.error;
    return result.options.value_or(Options{});
}

std::string errorOf(const CommandLine& commandLine, const FakeEnvironment& environment = {}) {
    const auto result = resolveOptions(commandLine, environment, 936);
    EXPECT_FALSE(result.options);
    return result.error;
}

TEST(BridgeOptions, PortFromOptionThenEnvironmentThenDefault) {
    EXPECT_EQ(resolved({}).port, 28561);
    EXPECT_EQ(resolved({}, {{{"KORVAN_BRIDGE_PORT", "30000"}}}).port, 30000);
    CommandLine commandLine;
    commandLine.port = "0";
    EXPECT_EQ(resolved(commandLine, {{{"KORVAN_BRIDGE_PORT", "30000"}}}).port, 0);

    for (const char* bad : {"", "-1", "65536", "80x", " 80", "99999999999"}) {
        commandLine.port = bad;
        EXPECT_EQ(errorOf(commandLine).rfind("--port:", 0), 0u) << bad;
        EXPECT_EQ(errorOf({}, {{{"KORVAN_BRIDGE_PORT", bad}}}).rfind("KORVAN_BRIDGE_PORT:", 0), 0u) << bad;
    }
}

TEST(BridgeOptions, AllowListJoinsEnvironmentAndOptionAndTurnsDialogsOff) {
    EXPECT_FALSE(resolved({}).preApproved);
    CommandLine commandLine;
    commandLine.allow = "http://b.test:8000,HTTPS://A.test:443";
    const Options options = resolved(commandLine, {{{"KORVAN_BRIDGE_ALLOW", "https://a.test, http://c.test"}}});
    EXPECT_EQ(options.allowList,
              (std::vector<std::string>{"https://a.test", "http://c.test", "http://b.test:8000"}));
    EXPECT_TRUE(options.preApproved);
    EXPECT_TRUE(resolved({}, {{{"KORVAN_BRIDGE_ALLOW", "https://a.test"}}}).preApproved);

    commandLine.allow = "https://a.test/path";
    EXPECT_EQ(errorOf(commandLine), "--allow: not an origin (scheme://host[:port]): \"https://a.test/path\"");
    EXPECT_EQ(errorOf({}, {{{"KORVAN_BRIDGE_ALLOW", "https://ok.test,user@x"}}}).rfind("KORVAN_BRIDGE_ALLOW:", 0), 0u);
}

TEST(BridgeOptions, CodePageFromOptionThenEnvironmentThenLocale) {
    std::string error;
    auto choice = bridge::app::chooseCodePage(std::string("1251"), "932", 936, error);
    ASSERT_TRUE(choice);
    EXPECT_EQ(choice->codePage, 1251);
    EXPECT_EQ(choice->source, "--codepage");

    choice = bridge::app::chooseCodePage(std::nullopt, "932", 936, error);
    ASSERT_TRUE(choice);
    EXPECT_EQ(choice->codePage, 932);
    EXPECT_EQ(choice->source, "KORVAN_ANSI_CODEPAGE");

    choice = bridge::app::chooseCodePage(std::nullopt, nullptr, 936, error);
    ASSERT_TRUE(choice);
    EXPECT_EQ(choice->codePage, 936);
    EXPECT_EQ(choice->source, "locale");

    // A variable the platform would ignore is ignored here too, and said so.
    choice = bridge::app::chooseCodePage(std::nullopt, "437", 936, error);
    ASSERT_TRUE(choice);
    EXPECT_EQ(choice->codePage, 936);
    EXPECT_TRUE(choice->warning);

    for (const char* bad : {"437", "0", "abc", "", "1252 "}) {
        error.clear();
        EXPECT_FALSE(bridge::app::chooseCodePage(std::string(bad), nullptr, 936, error)) << bad;
        EXPECT_EQ(error.rfind("--codepage:", 0), 0u) << bad;
    }
    EXPECT_EQ(resolved({}, {{{"KORVAN_ANSI_CODEPAGE", "65001"}}}).codePage, 65001);
}

TEST(BridgeOptions, OneShotCommandsAndTimings) {
    CommandLine commandLine;
    commandLine.forget = "HTTPS://Bank.test:443";
    Options options = resolved(commandLine);
    EXPECT_EQ(options.mode, Options::Mode::forget);
    EXPECT_EQ(options.forgetOrigin, "https://bank.test");
    commandLine.listOrigins = true;
    EXPECT_EQ(errorOf(commandLine), "--list-origins, --forget, --print-include, --register and --browser-policies cannot be combined");
    commandLine.forget = "bank.test";
    commandLine.listOrigins = false;
    EXPECT_EQ(errorOf(commandLine).rfind("--forget:", 0), 0u);

    options = resolved({}, {{{"KORVAN_BRIDGE_IDLE_S", "2"}, {"KORVAN_BRIDGE_CALL_S", "5"}}});
    EXPECT_EQ(options.idleSeconds, 2);
    EXPECT_EQ(options.callSeconds, 5);
    EXPECT_EQ(resolved({}).idleSeconds, 1800);
    EXPECT_EQ(errorOf({}, {{{"KORVAN_BRIDGE_IDLE_S", "0"}}}).rfind("KORVAN_BRIDGE_IDLE_S:", 0), 0u);
    EXPECT_EQ(errorOf({}, {{{"KORVAN_BRIDGE_CALL_S", "1e3"}}}).rfind("KORVAN_BRIDGE_CALL_S:", 0), 0u);
}

// pin_cache_s comes from bridge.conf, found through the given environment; a bad value names the
// file and line, and the ProgID lines beside it are not its concern.
TEST(BridgeOptions, PinCacheFromBridgeConf) {
    std::string folder = (std::filesystem::temp_directory_path() / "korvan-options-XXXXXX").string();
    ASSERT_NE(::mkdtemp(folder.data()), nullptr);
    std::filesystem::create_directories(folder + "/korvanng");
    const std::string path = folder + "/korvanng/bridge.conf";
    const FakeEnvironment environment{{{"XDG_CONFIG_HOME", folder}}};
    const auto write = [&](const std::string& text) { std::ofstream(path, std::ios::trunc) << text; };

    EXPECT_EQ(resolved({}, environment).pinCacheSeconds, 300) << "no file";
    write("progid = Extra.Control\n  PIN_Cache_S = 2 \n");
    EXPECT_EQ(resolved({}, environment).pinCacheSeconds, 2);
    write("pin_cache_s=0\n");
    EXPECT_EQ(resolved({}, environment).pinCacheSeconds, 0) << "once per call";
    EXPECT_EQ(resolved({}, {{{"HOME", folder + "/nowhere"}}}).pinCacheSeconds, 300);

    for (const char* bad : {"pin_cache_s = -1", "pin_cache_s = 5m", "pin_cache_s =", "pin_cache_s = 604801"}) {
        write(std::string("# bridge\n") + bad + "\n");
        const std::string error = errorOf({}, environment);
        EXPECT_EQ(error.rfind(path + " line 2: pin_cache_s: expected seconds", 0), 0u) << bad << ": " << error;
    }
    write("pin_cache_s = 1\npin_cache_s = 2\n");
    EXPECT_EQ(errorOf({}, environment), path + " line 2: pin_cache_s: given twice");
    std::filesystem::remove_all(folder);
}

// The machine's bridge.conf comes first: its allow lines and the user's add up, the user's
// pin_cache_s wins, and a bad origin names its file and line. Pre-approval by file keeps the
// dialogs for every other origin.
TEST(BridgeOptions, MachineConfigUnderTheUsers) {
    std::string folder = (std::filesystem::temp_directory_path() / "korvan-options-XXXXXX").string();
    ASSERT_NE(::mkdtemp(folder.data()), nullptr);
    std::filesystem::create_directories(folder + "/korvanng");
    const std::string machine = folder + "/machine.conf";
    const std::string user = folder + "/korvanng/bridge.conf";
    const FakeEnvironment environment{{{"XDG_CONFIG_HOME", folder}}};
    std::ofstream(machine) << "allow = https://bank.test, https://gov.test:8443\npin_cache_s = 60\n";
    std::ofstream(user) << "ALLOW=https://shop.test\nallow = https://bank.test\n";
    auto result = resolveOptions({}, environment, 936, machine);
    ASSERT_TRUE(result.options) << result.error;
    EXPECT_EQ(result.options->allowList,
              (std::vector<std::string>{"https://bank.test", "https://gov.test:8443", "https://shop.test"}));
    EXPECT_FALSE(result.options->preApproved);
    EXPECT_EQ(result.options->pinCacheSeconds, 60);

    std::ofstream(user, std::ios::trunc) << "pin_cache_s = 5\n\nallow = https://ok.test, bank.test/x\n";
    result = resolveOptions({}, environment, 936, machine);
    EXPECT_EQ(result.error.rfind(user + " line 3: allow: not an origin", 0), 0u) << result.error;
    std::ofstream(user, std::ios::trunc) << "pin_cache_s = 5\n";
    EXPECT_EQ(resolveOptions({}, environment, 936, machine).options->pinCacheSeconds, 5);
    std::filesystem::remove_all(folder);
}

TEST(BridgeOptions, RouterModeAndRegistrationPaths) {
    CommandLine commandLine;
    commandLine.listenUnix = "/run/user/1000/korvanng/bridge.sock";
    Options options = resolved(commandLine);
    EXPECT_EQ(options.listenUnix, "/run/user/1000/korvanng/bridge.sock");
    EXPECT_EQ(options.routerPath, "/run/korvanng/router.sock");
    for (const std::string& bad : std::vector<std::string>{"bridge.sock", "", "/" + std::string(107, 'x')}) {
        commandLine.listenUnix = bad;
        EXPECT_EQ(errorOf(commandLine).rfind("--listen-unix: expected an absolute path", 0), 0u) << bad;
    }

    CommandLine registration;
    registration.registerOnly = true;
    options = resolved(registration, {{{"XDG_RUNTIME_DIR", "/run/user/1000"}}});
    EXPECT_EQ(options.mode, Options::Mode::registerOnly);
    EXPECT_EQ(options.bridgeSocket, "/run/user/1000/korvanng/bridge.sock");
    EXPECT_EQ(errorOf(registration).rfind("--register: XDG_RUNTIME_DIR is not set", 0), 0u);
    registration.socket = "/tmp/b.sock";
    registration.router = "/tmp/r.sock";
    options = resolved(registration);
    EXPECT_EQ(options.bridgeSocket, "/tmp/b.sock");
    EXPECT_EQ(options.routerPath, "/tmp/r.sock");
    registration.listenUnix = "/tmp/b.sock";
    EXPECT_EQ(errorOf(registration).rfind("--listen-unix serves", 0), 0u) << "registering never serves";

    CommandLine socketAlone;
    socketAlone.socket = "/tmp/b.sock";
    EXPECT_EQ(errorOf(socketAlone).rfind("--socket names", 0), 0u);
}

} // namespace

namespace {

// Grants from both files add up; each refused grant stops the bridge with its file, line and
// why, whether it names a variable the worker must not take over or a folder that would open
// the bridge's state, the registry or the whole home folder to a worker.
TEST(BridgeOptions, TokenGrantsFromBothFilesAndTheirRefusals) {
    std::string folder = (std::filesystem::temp_directory_path() / "korvan-grants-XXXXXX").string();
    ASSERT_NE(::mkdtemp(folder.data()), nullptr);
    const std::string registry = folder + "/registry";
    const std::string home = folder + "/home";
    std::filesystem::create_directories(registry + "/bridge-state");
    std::filesystem::create_directories(home + "/korvanng");
    std::filesystem::create_directory_symlink(registry, folder + "/link");
    ::setenv("KORVAN_REGISTRY_DIR", registry.c_str(), 1);
    ::unsetenv("KORVAN_BRIDGE_STATE_DIR");
    const std::string machine = folder + "/machine.conf";
    const std::string user = home + "/korvanng/bridge.conf";
    const FakeEnvironment environment{{{"XDG_CONFIG_HOME", home}, {"HOME", home}}};
    std::ofstream(machine) << "token-env = SOFTHSM2_CONF\ntoken-path = /var/lib//softhsm/\n";
    std::ofstream(user) << "# a card\nTOKEN-ENV = OPENSC_CONF\ntoken-path = " << home
                        << "/.softhsm\ntoken-env = SOFTHSM2_CONF\n";
    auto result = resolveOptions({}, environment, 936, machine);
    ASSERT_TRUE(result.options) << result.error;
    EXPECT_EQ(result.options->tokenGrants.variables, (std::vector<std::string>{"SOFTHSM2_CONF", "OPENSC_CONF"}));
    EXPECT_EQ(result.options->tokenGrants.paths, (std::vector<std::string>{"/var/lib/softhsm", home + "/.softhsm"}));

    const std::vector<std::pair<std::string, std::string>> refused = {
        {"token-env = LD_PRELOAD", "dynamic loader"},
        {"token-env = KORVAN_CALLER_ORIGIN", "sets this variable itself"},
        {"token-env = PATH", "sets this variable itself"},
        {"token-env = softhsm2_conf", "expected a variable name"},
        {"token-env = A=B", "expected a variable name"},
        {"token-path = var/lib/softhsm", "absolute path"},
        {"token-path = /var/lib/../../home", "absolute path"},
        {"token-path = //", "whole file system"},
        {"token-path = " + home, "holds the home folder"},
        {"token-path = " + folder, "holds or lies within"},
        {"token-path = " + registry + "/bridge-state/tokens", "holds or lies within"},
        {"token-path = " + folder + "/link/tokens", "holds or lies within"},
    };
    for (const auto& [line, why] : refused) {
        std::ofstream(user, std::ios::trunc) << "pin_cache_s = 5\n" << line << "\n";
        result = resolveOptions({}, environment, 936, machine);
        EXPECT_FALSE(result.options) << line;
        EXPECT_EQ(result.error.rfind(user + " line 2: ", 0), 0u) << result.error;
        EXPECT_NE(result.error.find(why), std::string::npos) << line << ": " << result.error;
    }
    ::unsetenv("KORVAN_REGISTRY_DIR");
    std::filesystem::remove_all(folder);
}

} // namespace
