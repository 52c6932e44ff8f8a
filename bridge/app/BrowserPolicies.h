// Policy files that let the browsers' pages of pre-approved origins reach the bridge on loopback
// without asking the user: a managed policy for Chromium, a policies.json for Firefox.
#pragma once

#include <string>
#include <vector>

namespace bridge::app {

inline constexpr const char* kChromiumPolicyFile = "chromium/korvanng-loopback.json";
inline constexpr const char* kFirefoxPolicyFile = "firefox/policies.json";

// The files' texts for normalized origins. Chromium gets each origin as a URL pattern; Firefox
// gets each origin's host once, since its list names hosts, not origins.
std::string chromiumPolicy(const std::vector<std::string>& origins);
std::string firefoxPolicy(const std::vector<std::string>& origins);

// Writes both files under `dir` (making its two sub-folders), each readable by all. Refuses,
// writing nothing, when there is no origin or when either file exists already; `written` gets
// the two paths.
bool writeBrowserPolicies(const std::string& dir, const std::vector<std::string>& origins,
                          std::vector<std::string>& written, std::string& error);

} // namespace bridge::app
