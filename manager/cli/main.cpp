// korvanng-tool: the manager's slot and token views on the command line.

#include "Tool.h"

#include <iostream>

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    return runTool(arguments, std::cout, std::cerr);
}
