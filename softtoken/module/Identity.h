#pragma once

#include <cstddef>
#include <string>

namespace softtoken::module {

// What tells the two builds of the module apart: the texts they report and
// where they find their configuration.
struct ModuleIdentity {
    std::string libraryDescription;
    std::string libraryManufacturer;
    std::string tokenManufacturer;
    std::string tokenModel;
    const char* configEnvVar;
    const char* moduleName;
};

// Defined once in each module's own source file.
const ModuleIdentity& moduleIdentity();

// A fixed-size text field that may or may not end with a NUL.
inline std::string fixedText(const char* field, std::size_t size) {
    std::size_t len = 0;
    while (len < size && field[len] != '\0')
        ++len;
    return std::string(field, len);
}

} // namespace softtoken::module
