// Fuzzed bytes as a module file, or as the note area inside one, read for its resources without
// loading it. Input that starts like an ELF file is read from disk as a whole module; anything
// else is one note area, its first byte choosing the alignment (4 or 8). Every resource found
// must lie within what was read, and the file reader must agree with itself.
#include "platform/com/ModuleResources.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "platform_fuzz_resources: %s\n", what);
        std::abort();
    }
}

std::string scratchFile;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/platform_fuzz_resources.XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd < 0)
        std::abort();
    close(fd);
    scratchFile = pattern;
    std::atexit([] { std::remove(scratchFile.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size >= 4 && std::memcmp(data,
                                 "\x7f"
                                 "ELF",
                                 4) == 0) {
        {
            std::ofstream out(scratchFile, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        }
        std::string error;
        const auto resources = platform::com::readFileResources(scratchFile, &error);
        if (!resources) {
            check(!error.empty(), "a refused module without a reason");
            return 0;
        }
        std::size_t total = 0;
        for (const auto& resource : *resources) {
            check(!resource.type.empty(), "a resource without a type");
            total += resource.data.size() + resource.type.size();
            // The one-resource reader must find what the whole reading found.
            if (&resource == &resources->front()) {
                const auto one = platform::com::readFileResource(scratchFile, resource.type,
                                                                 resource.id, &error);
                check(one.has_value(), "a listed resource cannot be read alone");
            }
        }
        check(total <= size, "resources larger than the file");
        return 0;
    }
    if (size == 0)
        return 0;
    const std::size_t align = (data[0] & 1) ? 8 : 4;
    std::vector<platform::com::FileResource> found;
    std::string error;
    const std::span<const uint8_t> notes(data + 1, size - 1);
    if (!platform::com::parseResourceNotes(notes, align, found, &error)) {
        check(!error.empty(), "a refused note area without a reason");
        return 0;
    }
    std::size_t total = 0;
    for (const auto& resource : found)
        total += 12 + resource.data.size() + resource.type.size();
    check(total <= notes.size(), "resources larger than their note area");
    return 0;
}
