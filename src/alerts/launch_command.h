// Runs the operator's command line through /bin/sh and waits for it.
#pragma once

#include <string>

namespace sentrel {

// True when the command ran and ended with status 0 (a shell that cannot find
// it ends with 127); false on any other end, and for an empty line.
bool LaunchCommand(const std::string& commandLine);

}  // namespace sentrel
