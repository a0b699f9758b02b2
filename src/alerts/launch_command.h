// Runs the operator's command line through /bin/sh and waits for it.
#pragma once

#include <string>

namespace sentrel {

void LaunchCommand(const std::string& commandLine);

}  // namespace sentrel
