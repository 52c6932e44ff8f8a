// korvan-bridge's command line, read with Qt's parser into plain text for resolveOptions().
#pragma once

#include "bridge/app/Options.h"

#include <QStringList>

namespace bridge::app {

struct ParsedArguments {
    CommandLine commandLine;
    bool help = false;
    std::string helpText;
    std::string error; // non-empty: the arguments could not be read
};

ParsedArguments readCommandLine(const QStringList& arguments);

} // namespace bridge::app
