#include "platform/Guid.h"

#include <QUuid>

#include <cstdio>

namespace platform {

Guid newGuid() {
    const QUuid uuid = QUuid::createUuid();
    Guid guid;
    guid.data1 = uuid.data1;
    guid.data2 = uuid.data2;
    guid.data3 = uuid.data3;
    for (size_t i = 0; i < guid.data4.size(); ++i)
        guid.data4[i] = uuid.data4[i];
    return guid;
}

std::string guidText(const Guid& guid) {
    char text[37];
    const auto& d = guid.data4;
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  static_cast<unsigned>(guid.data1), static_cast<unsigned>(guid.data2),
                  static_cast<unsigned>(guid.data3), d[0], d[1], d[2], d[3], d[4], d[5], d[6],
                  d[7]);
    return std::string(text, 36);
}

std::string newGuidText() {
    return guidText(newGuid());
}

std::array<uint8_t, 16> guidBytes(const Guid& guid) {
    std::array<uint8_t, 16> bytes{};
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(guid.data1 >> (8 * i));
    for (int i = 0; i < 2; ++i) {
        bytes[4 + i] = static_cast<uint8_t>(guid.data2 >> (8 * i));
        bytes[6 + i] = static_cast<uint8_t>(guid.data3 >> (8 * i));
    }
    for (size_t i = 0; i < guid.data4.size(); ++i)
        bytes[8 + i] = guid.data4[i];
    return bytes;
}

} // namespace platform
