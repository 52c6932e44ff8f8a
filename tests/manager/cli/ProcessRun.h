// Runs a program as a separate process the way the tool's users do, and
// collects its exit code and both output streams.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct ProcessResult {
    // -1 when the child did not exit normally.
    int exitCode = -1;
    std::string out;
    std::string err;
};

// `environment` is set on top of the inherited one. With `input`, the child
// reads it as standard input and gets a session of its own, so it has no
// terminal to fall back to and never waits for typing; without it the child
// keeps the caller's standard input and session. The streams pass through
// files named stdin, stdout and stderr in `scratch`.
ProcessResult RunProcess(const std::filesystem::path& scratch, const std::string& program,
                         const std::vector<std::string>& arguments,
                         const std::map<std::string, std::string>& environment,
                         const std::optional<std::string>& input = std::nullopt);
