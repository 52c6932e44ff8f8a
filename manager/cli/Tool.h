#pragma once

#include <ostream>
#include <string>
#include <vector>

// Parses the global options, picks the command, starts what it needs and
// runs it. Returns the exit code (see ExitCode).
int runTool(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

void writeUsage(std::ostream& out);
