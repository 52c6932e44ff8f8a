// The one-shot commands: show and revoke the remembered decisions in the bridge's state folder.
// They need no display and may run while a bridge serves.
#pragma once

#include <ostream>
#include <string>

namespace bridge::app {

// One line per remembered origin: "<origin>\t<allowed|denied>". Exit status 0, or 1 when the
// store cannot be read.
int listOrigins(std::ostream& out, std::ostream& err);

// Exit status 0 when the origin has no remembered decision afterwards, 1 when the store
// refused the change.
int forgetOrigin(const std::string& origin, std::ostream& out, std::ostream& err);

} // namespace bridge::app
