// One voice for the operator. The program gives every room that has something
// to tell the operator (a history turned off, a notice not sent) one voice to
// say it with; no room below the programs writes to standard error itself.
#pragma once

#include <functional>
#include <string>

namespace sentrel {

// Says one line: no name in front, no line break at the end. Called from any thread.
using OperatorVoice = std::function<void(const std::string& line)>;

// Lines on standard error as "<program>: <line>", each written whole, a line
// break inside a line made a space.
OperatorVoice StderrVoice(std::string program);

}  // namespace sentrel
