// korvanng-tool's administration commands as a separate process against the
// software token: PINs on standard input, exit codes, messages.

#include "ProcessRun.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using Result = ProcessResult;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A copy of the tool beside the software token, a store with token "cli"
// (SO PIN 87654321, user PIN 1234, both with three tries) in slot 1.
class AdminToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("korvan-admin-tool-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "bin");
        fs::create_directories(dir_ / "registry");
        fs::copy_file(KORVANNG_TOOL, dir_ / "bin" / "korvanng-tool");
        fs::create_symlink(MERIDIA_MODULE, dir_ / "bin" / "libmeridiaCsp11_2001.so");
        std::ofstream(dir_ / "token.conf")
            << "store_dir = " << (dir_ / "store").string() << "\npin_iterations = 1\n";
        environment_["KORVAN_REGISTRY_DIR"] = (dir_ / "registry").string();
        environment_["MERIDIA_TOKEN_CONF"] = (dir_ / "token.conf").string();
        environment_["LC_ALL"] = "C.UTF-8";
        ASSERT_EQ(run(TOKENCTL,
                      {"create", "cli", "--label", "CLI token", "--pins-stdin", "--so-retries", "3",
                       "--user-retries", "3"},
                      "87654321\n1234\n")
                      .exitCode,
                  0);
        ASSERT_EQ(run(TOKENCTL, {"insert", "cli", "--slot", "1"}).exitCode, 0);
    }
    void TearDown() override { fs::remove_all(dir_); }

    Result run(const std::string& program, const std::vector<std::string>& arguments,
               const std::string& input = "") {
        return RunProcess(dir_, program, arguments, environment_, input);
    }
    Result tool(std::vector<std::string> arguments, const std::string& input = "") {
        if (!input.empty())
            arguments.push_back("--pin-stdin");
        return run((dir_ / "bin" / "korvanng-tool").string(), arguments, input);
    }
    // The token's serial number as token-info shows it.
    std::string serial() {
        std::string out = tool({"token-info", "--slot", "1"}).out;
        size_t at = out.find("Serial number: ");
        if (at == std::string::npos)
            return "?";
        at += 15;
        return out.substr(at, out.find('\n', at) - at);
    }
    int login(const std::string& pin) {
        return tool({"login", "--slot", "1"}, pin + "\n").exitCode;
    }

    fs::path dir_;
    std::map<std::string, std::string> environment_;
};

TEST_F(AdminToolTest, LoginChecksThePin) {
    Result right = tool({"login", "--slot", "1"}, "1234\n");
    EXPECT_EQ(right.exitCode, 0) << right.err;
    EXPECT_EQ(right.out, "The PIN is correct.\n");
    EXPECT_EQ(right.err, "");

    Result wrong = tool({"login", "--slot", "1"}, "9999\n");
    EXPECT_EQ(wrong.exitCode, 5);
    EXPECT_EQ(wrong.err, "Wrong PIN.\n");
    EXPECT_EQ(wrong.out, "");
    // Windows line ends from a script are not part of the PIN.
    EXPECT_EQ(tool({"login", "--slot", "1"}, "1234\r\n").exitCode, 0);
}

TEST_F(AdminToolTest, OverlongPinLineIsRefusedAndTheNextLinesStayInStep) {
    std::string longPin(1 << 20, '7');
    Result login = tool({"login", "--slot", "1"}, longPin + "\n");
    EXPECT_NE(login.exitCode, 0);
    EXPECT_EQ(login.err, "The PIN is too long\n");
    // The rest of the long line is consumed, so the lines after it are read
    // as the new PIN and its confirmation, and the token is never asked.
    Result change = tool({"change-pin", "--slot", "1"}, longPin + "\n5678\n5678\n");
    EXPECT_NE(change.exitCode, 0);
    EXPECT_EQ(tool({"login", "--slot", "1"}, "1234\n").exitCode, 0);
    EXPECT_NE(tool({"login", "--slot", "1"}, "5678\n").exitCode, 0);
}

TEST_F(AdminToolTest, WrongPinsBlockAndUnblockSetsANewPin) {
    std::vector<std::string> shown;
    for (int i = 0; i < 3; ++i) {
        Result wrong = tool({"login", "--slot", "1"}, "0000\n");
        EXPECT_EQ(wrong.exitCode, 5);
        shown.push_back(wrong.err);
    }
    EXPECT_EQ(shown[0], "Wrong PIN.\n");
    EXPECT_TRUE(contains(shown[1], "LAST PIN attempt")) << shown[1];
    Result blocked = tool({"login", "--slot", "1"}, "1234\n");
    EXPECT_EQ(blocked.exitCode, 5);
    EXPECT_EQ(blocked.err, "Token is blocked by User PIN.\n");

    Result unblocked = tool({"unblock", "--slot", "1"}, "87654321\n5555\n5555\n");
    EXPECT_EQ(unblocked.exitCode, 0) << unblocked.err;
    EXPECT_EQ(unblocked.err, "Unblock token successfully!\n");
    EXPECT_EQ(login("5555"), 0);
}

TEST_F(AdminToolTest, ChangePinTakesOldNewAndConfirmation) {
    Result mismatch = tool({"change-pin", "--slot", "1"}, "1234\n5678\n5679\n");
    EXPECT_EQ(mismatch.exitCode, 6);
    EXPECT_TRUE(contains(mismatch.err, "confirmation differ")) << mismatch.err;
    Result tooShort = tool({"change-pin", "--slot", "1"}, "1234\n567\n567\n");
    EXPECT_EQ(tooShort.exitCode, 6);
    Result missing = tool({"change-pin", "--slot", "1"}, "1234\n5678\n");
    EXPECT_EQ(missing.exitCode, 6);
    EXPECT_TRUE(contains(missing.err, "missing on standard input")) << missing.err;
    EXPECT_EQ(login("1234"), 0);

    Result wrongOld = tool({"change-pin", "--slot", "1"}, "4321\n5678\n5678\n");
    EXPECT_EQ(wrongOld.exitCode, 5);
    EXPECT_EQ(wrongOld.err, "Wrong PIN.\n");

    Result changed = tool({"change-pin", "--slot", "1"}, "1234\n5678\n5678\n");
    EXPECT_EQ(changed.exitCode, 0) << changed.err;
    EXPECT_EQ(changed.err, "Change User PIN successfully!\n");
    EXPECT_EQ(login("1234"), 5);
    EXPECT_EQ(login("5678"), 0);
}

TEST_F(AdminToolTest, ChangeSoPinReplacesTheSoPin) {
    Result changed = tool({"change-so-pin", "--slot", "1"}, "87654321\n11112222\n11112222\n");
    EXPECT_EQ(changed.exitCode, 0) << changed.err;
    EXPECT_EQ(changed.err, "Change SO PIN successfully!\n");
    Result old = tool({"unblock", "--slot", "1"}, "87654321\n5555\n5555\n");
    EXPECT_EQ(old.exitCode, 5);
    EXPECT_EQ(old.err, "Wrong SO PIN!\n");
    EXPECT_EQ(tool({"unblock", "--slot", "1"}, "11112222\n5555\n5555\n").exitCode, 0);
}

TEST_F(AdminToolTest, InitTokenAppliesOptionsAndKeepsDefaults) {
    Result init = tool({"init-token", "--slot", "1", "--label", "Fresh", "--public-memory", "20000",
                        "--private-memory", "10000", "--yes"},
                       "87654321\nso-new-1\nuser-new\n");
    EXPECT_EQ(init.exitCode, 0) << init.err;
    // The question --yes answered, for the log, then the result.
    EXPECT_EQ(init.err, "Initialize the token \"CLI token\" (serial number " + serial() +
                            ")?\nIts 0 public objects and all its private objects will be lost.\n"
                            "Inistialize token successfully!\n");
    Result info = tool({"token-info", "--slot", "1"});
    EXPECT_TRUE(contains(info.out, "Token Name: Fresh\n")) << info.out;
    EXPECT_TRUE(contains(info.out, "Public space: 20000\n")) << info.out;
    EXPECT_TRUE(contains(info.out, "Private space: 10000\n")) << info.out;
    EXPECT_EQ(login("1234"), 5);
    EXPECT_EQ(login("user-new"), 0);
    // The retry limit stayed at the token's three: the third wrong PIN blocks.
    EXPECT_EQ(login("0000"), 5);
    EXPECT_EQ(login("0000"), 5);
    EXPECT_EQ(login("0000"), 5);
    EXPECT_EQ(tool({"login", "--slot", "1"}, "user-new\n").err, "Token is blocked by User PIN.\n");
}

TEST_F(AdminToolTest, InitTokenRefusesValuesTheDialogRefuses) {
    EXPECT_EQ(tool({"init-token", "--slot", "1", "--so-retries", "16"}, "a\nb\n").exitCode, 1);
    EXPECT_EQ(tool({"init-token", "--slot", "1", "--public-memory", "64001"}, "a\nb\n").exitCode,
              1);
    EXPECT_EQ(
        tool({"init-token", "--slot", "1", "--label", std::string(33, 'x')}, "a\nb\n").exitCode, 1);
    // Accepted by the fields, refused by the OK rule.
    Result count = tool({"init-token", "--slot", "1", "--user-retries", "15", "--yes"},
                        "87654321\nso-new-1\nuser-new\n");
    EXPECT_EQ(count.exitCode, 6);
    EXPECT_TRUE(contains(count.err, "below 15")) << count.err;
    Result size = tool({"init-token", "--slot", "1", "--private-memory", "64000", "--yes"},
                       "87654321\nso-new-1\nuser-new\n");
    EXPECT_EQ(size.exitCode, 6);
    EXPECT_EQ(login("1234"), 0);
}

// The attack: anyone at the desk re-initializes the token and takes the SO
// role. Without the current SO PIN, or without a yes, the token stays.
TEST_F(AdminToolTest, InitTokenNeedsTheCurrentSoPinAndAYes) {
    Result wrong = tool({"init-token", "--slot", "1", "--label", "Taken", "--yes"},
                        "00000000\nso-new-1\nuser-new\n");
    EXPECT_EQ(wrong.exitCode, 5);
    EXPECT_EQ(wrong.err, "Wrong SO PIN!\n");
    Result unconfirmed = tool({"init-token", "--slot", "1", "--label", "Taken"},
                              "87654321\nso-new-1\nuser-new\n");
    EXPECT_EQ(unconfirmed.exitCode, 6);
    EXPECT_TRUE(contains(unconfirmed.err, "will be lost.\nNo terminal to confirm the "
                                          "initialization; use --yes.\n"))
        << unconfirmed.err;
    EXPECT_EQ(login("1234"), 0);
    EXPECT_TRUE(contains(tool({"token-info", "--slot", "1"}).out, "Token Name: CLI token\n"));
    // The current SO PIN still works: neither attempt changed it.
    EXPECT_EQ(tool({"unblock", "--slot", "1"}, "87654321\n1234\n1234\n").exitCode, 0);
}

TEST_F(AdminToolTest, RenameWritesTheName) {
    Result renamed = tool({"rename", "--slot", "1", "--label", "Signing key"});
    EXPECT_EQ(renamed.exitCode, 0) << renamed.err;
    EXPECT_EQ(renamed.err, "Change token name successfully!\n");
    EXPECT_TRUE(contains(tool({"token-info", "--slot", "1"}).out, "Token Name: Signing key\n"));
    EXPECT_EQ(tool({"rename", "--slot", "1", "--label", ""}).exitCode, 1);
    EXPECT_EQ(tool({"rename", "--slot", "1"}).exitCode, 1);
    EXPECT_EQ(tool({"rename", "--slot", "1", "--label", std::string(33, 'n')}).exitCode, 1);
    EXPECT_EQ(tool({"rename", "--slot", "1", "--label", std::string(32, 'n')}).exitCode, 0);
}

TEST_F(AdminToolTest, PinsAreNeverTakenFromTheCommandLine) {
    const std::vector<std::vector<std::string>> cases = {
        {"login", "--slot", "1", "--pin", "1234"},
        {"login", "--slot", "1", "--pin=1234"},
        {"change-pin", "--slot", "1", "--new-pin", "5678"},
        {"unblock", "--slot", "1", "--so-pin", "87654321"},
        {"init-token", "--slot", "1", "--user-pin", "1"},
        {"login", "--slot", "1", "1234"},
    };
    for (const auto& arguments : cases) {
        Result refused = tool(arguments);
        EXPECT_EQ(refused.exitCode, 1) << arguments.back();
        EXPECT_TRUE(contains(refused.err, "Usage: korvanng-tool")) << refused.err;
    }
    Result named = tool({"login", "--slot", "1", "--pin", "1234"});
    EXPECT_TRUE(contains(named.err, "not taken from the command line")) << named.err;
    // Nothing reached the token: no failure was counted.
    EXPECT_EQ(tool({"login", "--slot", "1"}, "0000\n").err, "Wrong PIN.\n");
}

TEST_F(AdminToolTest, WithoutTerminalOrStdinNoPinIsRead) {
    Result noTerminal = tool({"login", "--slot", "1"});
    EXPECT_EQ(noTerminal.exitCode, 6);
    EXPECT_TRUE(contains(noTerminal.err, "--pin-stdin")) << noTerminal.err;
    Result empty =
        run((dir_ / "bin" / "korvanng-tool").string(), {"login", "--slot", "1", "--pin-stdin"}, "");
    EXPECT_EQ(empty.exitCode, 6);
}

TEST_F(AdminToolTest, UnknownSlotAndRemovedToken) {
    Result unknown = tool({"login", "--slot", "9"}, "1234\n");
    EXPECT_EQ(unknown.exitCode, 4);
    EXPECT_EQ(unknown.err, "No such slot: 9\n");
    ASSERT_EQ(run(TOKENCTL, {"remove", "--slot", "1"}).exitCode, 0);
    Result removed = tool({"change-pin", "--slot", "1"}, "1234\n5678\n5678\n");
    EXPECT_EQ(removed.exitCode, 4);
    EXPECT_EQ(removed.err, "Token is removed!\n");
}

} // namespace
