#include "SecurePin.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SecurePin, ClearWipesTheBytesInPlace) {
    SecurePin pin("12345678");
    const char* bytes = pin.c_str();
    pin.clear();
    EXPECT_TRUE(pin.empty());
    EXPECT_EQ(pin.c_str(), bytes);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(bytes[i], '\0') << i;
}

TEST(SecurePin, GrowingKeepsTheTextAndStaysTerminated) {
    SecurePin pin;
    std::string expected;
    for (int i = 0; i < 200; ++i) {
        pin.append(static_cast<char>('a' + i % 26));
        expected += static_cast<char>('a' + i % 26);
    }
    EXPECT_EQ(pin.view(), expected);
    EXPECT_EQ(std::string(pin.c_str()), expected);
    pin.popBack();
    expected.pop_back();
    EXPECT_EQ(pin.view(), expected);
    EXPECT_EQ(pin.length(), expected.size());
}

TEST(SecurePin, CopiesMovesAndSelfAssignment) {
    SecurePin a("secret");
    SecurePin b(a);
    EXPECT_EQ(b, a);
    SecurePin c(std::move(a));
    EXPECT_EQ(c.view(), "secret");
    EXPECT_TRUE(a.empty());
    EXPECT_STREQ(a.c_str(), "");
    c.assign(c.view().substr(2));
    EXPECT_EQ(c.view(), "cret");
    b = b;
    EXPECT_EQ(b.view(), "secret");
    EXPECT_FALSE(b == c);
    // Byte comparison: no locale or case folding.
    EXPECT_FALSE(SecurePin("abc") == SecurePin("ABC"));
}

TEST(SecurePin, WipeStringEmptiesIncludingSmallBuffers) {
    std::string small = "1234";
    const char* bytes = small.data();
    wipeString(small);
    EXPECT_TRUE(small.empty());
    EXPECT_EQ(bytes[0], '\0');
    EXPECT_EQ(bytes[3], '\0');
}

TEST(SecurePin, GrowsByDoublingWhileTyping) {
    SecurePin pin;
    int reallocations = 0;
    std::size_t capacity = pin.capacity();
    for (int i = 0; i < 100000; ++i) {
        pin.append('x');
        if (pin.capacity() != capacity) {
            ++reallocations;
            capacity = pin.capacity();
        }
    }
    EXPECT_EQ(pin.size(), 100000u);
    // 64, 128, ... 131072: a dozen, where growing by one byte costs one per key.
    EXPECT_LE(reallocations, 12);
    EXPECT_TRUE(pin.tooLong());
    EXPECT_FALSE(SecurePin(std::string(kMaxPinBytes, 'x')).tooLong());
}

} // namespace
