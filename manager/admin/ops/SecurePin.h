#pragma once

// A PIN held in memory that is wiped when it is dropped or replaced. Growing
// the buffer copies into a new one and wipes the old, so no stale copy of the
// PIN stays behind in freed memory. Never print or log its contents.

#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

// The longest PIN the manager passes to a token, in bytes. Longer input is
// refused as CKR_PIN_LEN_RANGE before the token is asked.
inline constexpr std::size_t kMaxPinBytes = 256;

class SecurePin {
public:
    SecurePin() = default;
    explicit SecurePin(std::string_view text) { assign(text); }
    SecurePin(const SecurePin& other) { assign(other.view()); }
    SecurePin(SecurePin&& other) noexcept;
    SecurePin& operator=(const SecurePin& other);
    SecurePin& operator=(SecurePin&& other) noexcept;
    ~SecurePin() { wipe(); }

    void assign(std::string_view text);
    void append(char c);
    // Removes the last byte (backspace while typing).
    void popBack();
    void clear();

    // Always NUL-terminated; the terminator is not counted in size().
    const char* c_str() const { return data_ ? data_.get() : ""; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    bool tooLong() const { return size_ > kMaxPinBytes; }
    // Bytes held, for the growth checks of the tests.
    std::size_t capacity() const { return capacity_; }
    std::string_view view() const { return {c_str(), size_}; }

    // The bytes as PKCS#11 takes them (C_Login and friends do not write them).
    CK_UTF8CHAR_PTR bytes() const {
        return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(c_str()));
    }
    CK_ULONG length() const { return static_cast<CK_ULONG>(size_); }

    // Exact byte comparison.
    bool operator==(const SecurePin& other) const { return view() == other.view(); }

private:
    void reserve(std::size_t capacity);
    void wipe();

    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0; // bytes of data_, terminator included
};

// Wipes a string's whole buffer (capacity, including a small-string buffer)
// and empties it; for the few places where a secret has to pass through
// std::string.
void wipeString(std::string& text);
