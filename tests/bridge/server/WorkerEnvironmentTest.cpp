#include "bridge/server/WorkerEnvironment.h"

#include <gtest/gtest.h>

#include <algorithm>

using bridge::server::workerEnvironment;

namespace {

bool has(const std::vector<std::string>& environment, const std::string& entry) {
    return std::find(environment.begin(), environment.end(), entry) != environment.end();
}

bool hasName(const std::vector<std::string>& environment, const std::string& name) {
    return std::any_of(environment.begin(), environment.end(),
                       [&](const std::string& e) { return e.rfind(name + "=", 0) == 0; });
}

} // namespace

TEST(WorkerEnvironment, KeepsTheSessionAndOwnVariablesAndDropsTheRest) {
    const std::vector<std::string> parent = {
        "HOME=/home/u", "XDG_RUNTIME_DIR=/run/user/1", "DISPLAY=:0", "WAYLAND_DISPLAY=wayland-0",
        "XAUTHORITY=/x", "DBUS_SESSION_BUS_ADDRESS=unix:path=/b", "LANG=de_DE.UTF-8",
        "LC_NUMERIC=C", "MERIDIA_TOKEN_CONF=/m", "SKYRA_TOKEN_CONF=/s", "QT_QPA_PLATFORM=offscreen",
        "KORVAN_USER_WAIT_S=5", "PATH=/opt/evil:/usr/bin", "LD_PRELOAD=/tmp/x.so",
        "SSH_AUTH_SOCK=/a", "KORVAN_BRIDGE_ALLOW=https://a.example",
        "KORVAN_CALLER_ORIGIN=https://forged.example", "KORVAN_ANSI_CODEPAGE=936", "=odd", "noequals"};
    const auto environment = workerEnvironment("https://bank.example", 1251, parent);

    for (const char* kept : {"HOME=/home/u", "XDG_RUNTIME_DIR=/run/user/1", "DISPLAY=:0",
                             "WAYLAND_DISPLAY=wayland-0", "XAUTHORITY=/x", "LANG=de_DE.UTF-8", "LC_NUMERIC=C",
                             "MERIDIA_TOKEN_CONF=/m", "SKYRA_TOKEN_CONF=/s", "QT_QPA_PLATFORM=offscreen",
                             "KORVAN_USER_WAIT_S=5"})
        EXPECT_TRUE(has(environment, kept)) << kept;
    EXPECT_TRUE(has(environment, "KORVAN_CALLER_ORIGIN=https://bank.example"));
    EXPECT_TRUE(has(environment, "KORVAN_ANSI_CODEPAGE=1251"));
    EXPECT_TRUE(has(environment, "PATH=/usr/local/bin:/usr/bin:/bin"));
    for (const char* dropped : {"LD_PRELOAD", "SSH_AUTH_SOCK", "KORVAN_BRIDGE_ALLOW", "DBUS_SESSION_BUS_ADDRESS"})
        EXPECT_FALSE(hasName(environment, dropped)) << dropped;
    // The bridge's own values are the only ones of their names.
    for (const char* single : {"KORVAN_CALLER_ORIGIN", "KORVAN_ANSI_CODEPAGE", "PATH"})
        EXPECT_EQ(std::count_if(environment.begin(), environment.end(),
                                [&](const std::string& e) { return e.rfind(std::string(single) + "=", 0) == 0; }),
                  1)
            << single;
    EXPECT_FALSE(has(environment, "=odd"));
    EXPECT_FALSE(has(environment, "noequals"));
}
