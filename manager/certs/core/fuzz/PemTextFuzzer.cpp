// Text normalization: the result always carries the armour and lines of at most 64 characters.
#include "CertFileImport.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text = NormalizePemText(std::string(reinterpret_cast<const char*>(data), size));
    const std::string head = "-----BEGIN CERTIFICATE-----\r\n";
    const std::string tail = "\r\n-----END CERTIFICATE-----";
    if (text.compare(0, head.size(), head) != 0 || text.size() < head.size() + tail.size() ||
        text.compare(text.size() - tail.size(), tail.size(), tail) != 0)
        std::abort();
    std::string body = text.substr(head.size(), text.size() - head.size() - tail.size());
    size_t line = 0;
    for (size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n') {
            if (line != 64)
                std::abort();
            line = 0;
            ++i;
            continue;
        }
        if (++line > 64)
            std::abort();
    }
    return 0;
}
