#pragma once

// An empty SoftHSM2 store per test, named after the process and the test, so
// nothing of the machine's tokens is seen or changed; removed at the end.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

struct SoftHsmStore {
    explicit SoftHsmStore(const std::string& prefix)
        : dir(std::filesystem::temp_directory_path() /
              (prefix + "-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name())) {
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir / "tokens");
        std::ofstream(config()) << "directories.tokendir = " << (dir / "tokens").string()
                                << "\nobjectstore.backend = file\nlog.level = ERROR\n";
    }
    ~SoftHsmStore() { std::filesystem::remove_all(dir); }
    // The value SOFTHSM2_CONF takes.
    std::string config() const { return (dir / "softhsm2.conf").string(); }

    const std::filesystem::path dir;
};
