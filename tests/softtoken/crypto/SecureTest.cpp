#include "softtoken/crypto/Secure.h"

#include <algorithm>
#include <gtest/gtest.h>

using namespace softtoken::crypto;

namespace {

// Backing allocator that records whether each block was already wiped when released.
int releasedBlocks = 0;
int releasedDirty = 0;

template <class T> struct RecordingBacking {
    using value_type = T;
    RecordingBacking() = default;
    template <class U> RecordingBacking(const RecordingBacking<U>&) {}
    T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T* p, std::size_t n) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(p);
        ++releasedBlocks;
        if (!std::all_of(bytes, bytes + n * sizeof(T), [](unsigned char c) { return c == 0; })) {
            ++releasedDirty;
        }
        std::allocator<T>().deallocate(p, n);
    }
};

using Observed =
    std::vector<std::uint8_t, WipingAllocator<std::uint8_t, RecordingBacking<std::uint8_t>>>;

} // namespace

TEST(softtoken_crypto_WipingAllocator, EveryReleasedBlockIsWiped) {
    releasedBlocks = releasedDirty = 0;
    {
        Observed v(32, 0xAA);
        v.resize(1000, 0xBB); // growth releases the first block
        Observed copy = v;
        copy = Observed(8, 0xCC); // reassignment releases the copy's block
    }
    EXPECT_GE(releasedBlocks, 3);
    EXPECT_EQ(releasedDirty, 0);
}

TEST(softtoken_crypto_SecureBytes, CopiesAreIndependentAndClearEmpties) {
    const std::uint8_t secret[] = {1, 2, 3, 4};
    SecureBytes a(secret, sizeof secret);
    SecureBytes b = a;
    b[0] = 9;
    EXPECT_EQ(a[0], 1);
    EXPECT_TRUE(std::equal(a.begin(), a.end(), secret));

    a = SecureBytes(std::span<const std::uint8_t>(secret, 2));
    EXPECT_EQ(a.size(), 2u);
    a.clear();
    EXPECT_TRUE(a.empty());
    EXPECT_EQ(SecureBytes(nullptr, 0).size(), 0u);
}

TEST(softtoken_crypto_SameBytes, ComparesContentAndRejectsEmptyOrMismatchedLengths) {
    const Bytes a = {1, 2, 3, 4};
    Bytes b = a;
    EXPECT_TRUE(sameBytes(a.data(), b.data(), a.size()));
    EXPECT_TRUE(sameBytes(std::span(a), std::span(b)));
    b[3] ^= 0x80;
    EXPECT_FALSE(sameBytes(a.data(), b.data(), a.size()));
    EXPECT_FALSE(sameBytes(std::span(a), std::span(b)));

    const Bytes shorter = {1, 2, 3};
    EXPECT_FALSE(sameBytes(std::span(a), std::span(shorter)));
    // A failed derivation (empty) must never match a missing stored verifier (empty).
    EXPECT_FALSE(sameBytes(std::span<const std::uint8_t>(), std::span<const std::uint8_t>()));
}

TEST(softtoken_crypto_Random, ProducesRequestedLengthAndFreshValues) {
    const Bytes a = randomBytes(32), b = randomBytes(32);
    EXPECT_EQ(a.size(), 32u);
    EXPECT_NE(a, b);
    EXPECT_TRUE(randomBytes(0).empty());
    std::uint8_t buf[16] = {};
    EXPECT_TRUE(fillRandom(buf, sizeof buf));
    EXPECT_TRUE(fillRandom(nullptr, 0));
    EXPECT_FALSE(fillRandom(nullptr, 4));
}
