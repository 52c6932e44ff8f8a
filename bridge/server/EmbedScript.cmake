# cmake -DINPUT=file -DOUTPUT=cpp -P EmbedScript.cmake: the file's bytes as a C++ array.
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
file(WRITE ${OUTPUT}
"// Generated from ${INPUT}; do not edit.
#include \"bridge/server/PageScript.h\"

namespace {
const char kBytes[] = {${bytes} '\\0'};
} // namespace

namespace bridge::server {
std::string_view pageScript() { return {kBytes, ${size}}; }
} // namespace bridge::server
")
