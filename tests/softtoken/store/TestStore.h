#pragma once

#include "softtoken/store/TokenStore.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace softtoken::store::test {

inline SecureBytes pin(const std::string& text) {
    return SecureBytes(text.data(), text.size());
}

inline Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// A fresh store folder per test, removed afterwards; PBKDF2 kept cheap.
class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/softtoken-store-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        root_ = templ;
        config_.storeDir = root_ + "/store";
        config_.pinIterations = 100;
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    InitRequest request(const std::string& label = "Test token") const {
        InitRequest r;
        r.label = label;
        r.soPin = pin("so-secret");
        r.userPin = pin("user-secret");
        r.soRetryLimit = 3;
        r.userRetryLimit = 3;
        r.publicMemory = 2000;
        r.privateMemory = 2000;
        return r;
    }

    std::unique_ptr<TokenDatabase> makeToken(const std::string& name = "alpha") {
        EXPECT_EQ(TokenDatabase::create(config_, name, request()), CKR_OK);
        std::unique_ptr<TokenDatabase> db;
        EXPECT_EQ(TokenDatabase::open(config_, name, db), CKR_OK);
        return db;
    }

    std::string tokenFile(const std::string& name = "alpha") const {
        return config_.storeDir + "/" + name + ".token";
    }

    std::string root_;
    Config config_;
};

inline ObjectRecord object(bool isPrivate, const std::string& value) {
    ObjectRecord record;
    record.isPrivate = isPrivate;
    record.attributes[CKA_CLASS] = Bytes(8, 0);
    record.attributes[CKA_VALUE] = bytesOf(value);
    return record;
}

} // namespace softtoken::store::test
