// One request frame from the bridge to its reply: {"op":"create","progId":...},
// {"op":"call","object":N,"member":...,"args":[...]}, {"op":"gate","members":[...]} (the members
// to ask about before they run) or {"op":"logout"} (end every token login); the reply is
// {"ok":true,...} or {"ok":false,"status":N,"error":...}. A token login made while a request ran
// is announced before its reply: {"event":"login","ageMs":N}.
#pragma once

#include "bridge/worker/Controls.h"

#include <string>

namespace bridge::worker {

std::string answer(Controls& controls, const std::string& request);

} // namespace bridge::worker
