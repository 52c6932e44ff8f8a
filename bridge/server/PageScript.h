// The script pages include (bridge/activex.js), compiled into the program.
#pragma once

#include <string_view>

namespace bridge::server {

std::string_view pageScript();

} // namespace bridge::server
