#pragma once

// An empty SoftHSM2 store of its own per test, so nothing of the machine's
// tokens is seen or changed: a folder named after the process and the test,
// with a configuration that puts the tokens inside it. Removed again at the end.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

class SoftHsmStore {
public:
    explicit SoftHsmStore(const std::string& prefix)
        : dir_(std::filesystem::temp_directory_path() /
               (prefix + "-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name())) {
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_ / "tokens");
        std::ofstream(config()) << "directories.tokendir = " << (dir_ / "tokens").string()
                                << "\nobjectstore.backend = file\nlog.level = ERROR\n";
    }
    ~SoftHsmStore() { std::filesystem::remove_all(dir_); }
    SoftHsmStore(const SoftHsmStore&) = delete;
    SoftHsmStore& operator=(const SoftHsmStore&) = delete;

    const std::filesystem::path& dir() const { return dir_; }
    // The value SOFTHSM2_CONF takes.
    std::string config() const { return (dir_ / "softhsm2.conf").string(); }

private:
    std::filesystem::path dir_;
};
