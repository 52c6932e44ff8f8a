// One request frame from the bridge to its reply: {"op":"create","progId":...} or
// {"op":"call","object":N,"member":...,"args":[...]}; the reply is {"ok":true,...} or
// {"ok":false,"status":N,"error":...}.
#pragma once

#include "bridge/worker/Controls.h"

#include <string>

namespace bridge::worker {

std::string answer(Controls& controls, const std::string& request);

} // namespace bridge::worker
