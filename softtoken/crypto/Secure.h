#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace softtoken::crypto {

using Bytes = std::vector<std::uint8_t>;

// Overwrites memory in a way the compiler may not elide.
void wipe(void* p, std::size_t len);

// Allocator that wipes a block before handing it back, so a vector using it
// leaves no copies behind when it grows, shrinks or dies. Backing does the
// actual allocation; it is a parameter so tests can observe the released bytes.
template <class T, class Backing = std::allocator<T>> struct WipingAllocator {
    using value_type = T;

    WipingAllocator() noexcept = default;
    template <class U, class B> WipingAllocator(const WipingAllocator<U, B>&) noexcept {}

    template <class U> struct rebind {
        using other =
            WipingAllocator<U, typename std::allocator_traits<Backing>::template rebind_alloc<U>>;
    };

    T* allocate(std::size_t n) { return Backing().allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept {
        wipe(p, n * sizeof(T));
        Backing().deallocate(p, n);
    }

    template <class U, class B> bool operator==(const WipingAllocator<U, B>&) const noexcept {
        return true;
    }
};

// Owning byte buffer for secrets (PIN-derived keys, token keys, private values).
// Every buffer it releases is wiped first: on destruction, on reassignment, on clear().
class SecureBytes {
public:
    using Storage = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

    SecureBytes() = default;
    explicit SecureBytes(std::size_t len) : bytes_(len) {}
    // A null p gives an empty buffer.
    SecureBytes(const void* p, std::size_t len);
    explicit SecureBytes(std::span<const std::uint8_t> s) : SecureBytes(s.data(), s.size()) {}

    SecureBytes(const SecureBytes& other) = default;
    SecureBytes(SecureBytes&& other) noexcept = default;
    // Copy-and-swap: the previous buffer is released (and so wiped) as a whole.
    SecureBytes& operator=(SecureBytes other) noexcept {
        bytes_.swap(other.bytes_);
        return *this;
    }

    void assign(const void* p, std::size_t len) { *this = SecureBytes(p, len); }
    void clear() noexcept { Storage().swap(bytes_); }

    std::uint8_t* data() noexcept { return bytes_.data(); }
    const std::uint8_t* data() const noexcept { return bytes_.data(); }
    std::size_t size() const noexcept { return bytes_.size(); }
    bool empty() const noexcept { return bytes_.empty(); }

    std::uint8_t* begin() noexcept { return bytes_.data(); }
    std::uint8_t* end() noexcept { return bytes_.data() + bytes_.size(); }
    const std::uint8_t* begin() const noexcept { return bytes_.data(); }
    const std::uint8_t* end() const noexcept { return bytes_.data() + bytes_.size(); }

    std::uint8_t& operator[](std::size_t i) noexcept { return bytes_[i]; }
    std::uint8_t operator[](std::size_t i) const noexcept { return bytes_[i]; }

    std::span<const std::uint8_t> span() const noexcept { return {bytes_.data(), bytes_.size()}; }

private:
    Storage bytes_;
};

// Cryptographically strong random bytes. fillRandom returns false if the
// generator fails; randomBytes then returns an empty vector (len 0 gives empty too).
bool fillRandom(void* out, std::size_t len);
Bytes randomBytes(std::size_t len);

// Constant-time comparison of n bytes.
bool sameBytes(const void* a, const void* b, std::size_t n);
// Constant time in the contents; false when the lengths differ or either side is
// empty, so a missing verifier never matches a failed derivation.
bool sameBytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);

} // namespace softtoken::crypto
