#include "SecurePin.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <utility>

SecurePin::SecurePin(SecurePin&& other) noexcept
    : data_(std::move(other.data_)), size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

SecurePin& SecurePin::operator=(const SecurePin& other) {
    if (this != &other)
        assign(other.view());
    return *this;
}

SecurePin& SecurePin::operator=(SecurePin&& other) noexcept {
    if (this != &other) {
        wipe();
        data_ = std::move(other.data_);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

void SecurePin::reserve(std::size_t capacity) {
    if (capacity <= capacity_)
        return;
    // Room for a typical PIN at once, then doubling, so typing a long text
    // copies (and wipes) a logarithmic number of times, not once per byte.
    capacity = std::max({capacity, capacity_ * 2, std::size_t(64)});
    std::unique_ptr<char[]> grown(new char[capacity]());
    std::size_t size = size_;
    if (data_)
        std::memcpy(grown.get(), data_.get(), size + 1);
    wipe();
    data_ = std::move(grown);
    size_ = size;
    capacity_ = capacity;
}

void SecurePin::assign(std::string_view text) {
    if (text.data() >= c_str() && text.data() < c_str() + capacity_) {
        // Assigning a part of itself.
        SecurePin copy(text);
        *this = std::move(copy);
        return;
    }
    clear();
    reserve(text.size() + 1);
    if (!text.empty())
        std::memcpy(data_.get(), text.data(), text.size());
    size_ = text.size();
    data_[size_] = '\0';
}

void SecurePin::append(char c) {
    reserve(size_ + 2);
    data_[size_++] = c;
    data_[size_] = '\0';
}

void SecurePin::popBack() {
    if (size_ == 0)
        return;
    data_[--size_] = '\0';
}

void SecurePin::clear() {
    if (data_)
        OPENSSL_cleanse(data_.get(), capacity_);
    size_ = 0;
}

void SecurePin::wipe() {
    clear();
    data_.reset();
    capacity_ = 0;
}

void wipeString(std::string& text) {
    if (text.capacity() > 0)
        OPENSSL_cleanse(text.data(), text.capacity());
    text.clear();
}
