// Fuzzed bytes as a pinentry's replies, split into lines as the conversation splits them. A line
// is read into the PIN only when it is a D line that decodes whole; the PIN never passes its room.
#include "providers/token/AssuanReply.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    providers::token::SecurePin pin;
    const char* text = reinterpret_cast<const char*>(data);
    std::size_t start = 0;
    while (start <= size) {
        const void* end = std::memchr(text + start, '\n', size - start);
        const std::size_t length = end ? static_cast<const char*>(end) - (text + start) : size - start;
        const std::size_t before = pin.size();
        unsigned long code = 0;
        const auto kind = providers::token::readAssuanLine(text + start, length, &pin, code);
        if (kind != providers::token::AssuanLine::data && kind != providers::token::AssuanLine::refused &&
            pin.size() != before)
            std::abort(); // only a D line may touch the PIN
        if (pin.size() > providers::token::maximumPinLength || code > 9999999999ul)
            std::abort();
        if (kind == providers::token::AssuanLine::refused)
            pin.clear();
        start += length + 1;
    }
    return 0;
}
