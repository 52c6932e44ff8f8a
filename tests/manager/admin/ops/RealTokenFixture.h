// A software token in a temporary store, made by tokenctl and bound through
// a TokenLibrary of its own, with a slot manager over it.
#pragma once

#include "AdminContext.h"
#include "MessagePresenter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

inline constexpr const char* kSoPin = "87654321";
inline constexpr const char* kUserPin = "1234";

// Runs tokenctl with `input` on its standard input; true on exit status 0.
inline bool runTokenctl(const std::string& arguments, const std::string& input = "") {
    std::string command = std::string(TOKENCTL) + " " + arguments + " >/dev/null 2>&1";
    FILE* pipe = ::popen(command.c_str(), "w");
    if (pipe == nullptr)
        return false;
    std::fwrite(input.data(), 1, input.size(), pipe);
    return ::pclose(pipe) == 0;
}

// A fresh store with token "demo" (label "Demo token", both PINs with a retry
// limit of 3) in slot 1.
inline std::filesystem::path makeTokenStore(const std::string& name) {
    namespace fs = std::filesystem;
    fs::path dir =
        fs::temp_directory_path() / ("korvan-admin-" + std::to_string(::getpid()) + "-" + name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::ofstream(dir / "token.conf")
        << "store_dir = " << (dir / "store").string() << "\nslots = 2\npin_iterations = 1\n";
    ::setenv("MERIDIA_TOKEN_CONF", (dir / "token.conf").c_str(), 1);
    std::string pins = std::string(kSoPin) + "\n" + kUserPin + "\n";
    if (!runTokenctl("create demo --label 'Demo token' --pins-stdin --so-retries 3 "
                     "--user-retries 3",
                     pins) ||
        !runTokenctl("insert demo --slot 1"))
        ADD_FAILURE() << "tokenctl could not prepare the store";
    return dir;
}

class RealTokenTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = makeTokenStore(::testing::UnitTest::GetInstance()->current_test_info()->name());
        ASSERT_TRUE(library.load(MERIDIA_MODULE));
        manager.setPollInterval(std::chrono::hours(24));
        ASSERT_TRUE(manager.initialize());
        ASSERT_NE(manager.findSlot(1), nullptr);
        ASSERT_TRUE(manager.findSlot(1)->tokenRecognized);
        scoped_ = std::make_unique<ScopedMessagePresenter>(presenter);
    }
    void TearDown() override {
        scoped_.reset();
        manager.shutdown();
        library.unload();
        ::unsetenv("MERIDIA_TOKEN_CONF");
        std::filesystem::remove_all(dir_);
    }

    AdminContext context() { return {manager, library}; }
    SlotEntry& slot() { return *manager.findSlot(1); }

    std::vector<int> messageIds() const {
        std::vector<int> ids;
        for (const MessageRequest& shown : presenter.requests())
            ids.push_back(shown.id);
        return ids;
    }

    std::filesystem::path dir_;
    TokenLibrary library;
    SlotManager manager{library};
    ScriptedPresenter presenter;
    std::unique_ptr<ScopedMessagePresenter> scoped_;
};
