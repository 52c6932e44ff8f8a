// PKCS#12 decoding with an empty and a fixed password.
#include "Pkcs12Import.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes content(data, data + size);
    Pkcs12Contents contents;
    LoadPkcs12Bytes(content, "", contents);
    LoadPkcs12Bytes(content, "secret", contents);
    return 0;
}
