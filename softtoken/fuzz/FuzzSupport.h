#pragma once

// Shared set-up of the fuzz targets: a throw-away store with one token in the
// first reader, made through the store API, and the configuration the module
// reads from MERIDIA_TOKEN_CONF.

#include "softtoken/store/TokenStore.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace softtoken::fuzz {

inline constexpr const char* kUserPin = "user-pin";
inline constexpr const char* kSoPin = "so-pin-1";

// Aborts with a message: libFuzzer reports it as a crash with the input.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

struct FuzzStore {
    std::string root;
    store::Config config;

    // A folder on tmpfs when there is one: token commits fsync.
    explicit FuzzStore(const char* tokenName) {
        std::string tmpl = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        tmpl += "/softtoken-fuzz-XXXXXX";
        if (!::mkdtemp(tmpl.data()))
            fail("mkdtemp");
        root = tmpl;
        const std::string conf = root + "/token.conf";
        const std::string text = "store_dir = " + root + "/store\nslots = 2\npin_iterations = 1\n";
        std::ofstream(conf) << text;
        ::setenv("MERIDIA_TOKEN_CONF", conf.c_str(), 1);
        auto parsed = store::Config::parse(text, root + "/store", nullptr);
        if (!parsed)
            fail("configuration");
        config = *parsed;

        store::InitRequest r;
        r.label = "Fuzz token";
        r.soPin = store::SecureBytes(kSoPin, std::strlen(kSoPin));
        r.userPin = store::SecureBytes(kUserPin, std::strlen(kUserPin));
        r.publicMemory = 1u << 24;
        r.privateMemory = 1u << 24;
        if (store::TokenDatabase::create(config, tokenName, r) != CKR_OK)
            fail("token creation");
        std::unique_ptr<store::SlotTable> slots;
        if (store::SlotTable::open(config, slots) != CKR_OK ||
            slots->insert(0, tokenName) != CKR_OK)
            fail("slot table");
    }
    ~FuzzStore() {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    FuzzStore(const FuzzStore&) = delete;
    FuzzStore& operator=(const FuzzStore&) = delete;
};

// Reads the fuzz input front to back; past the end everything is zero.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint32_t u32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v = (v << 8) | byte();
        return v;
    }
    // Up to n bytes (fewer at the end of the input).
    std::string bytes(std::size_t n) {
        n = std::min(n, size_ - std::min(pos_, size_));
        std::string out(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

} // namespace softtoken::fuzz
