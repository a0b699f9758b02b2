#include "platform/operator_voice.h"

#include <cstdio>
#include <utility>

namespace sentrel {

OperatorVoice StderrVoice(std::string program) {
    return [program = std::move(program)](const std::string& line) {
        std::string text = program + ": " + line;
        for (char& c : text) {
            if (c == '\n' || c == '\r') {
                c = ' ';
            }
        }
        text += '\n';
        std::fputs(text.c_str(), stderr);  // one call: lines of two threads never mix
        std::fflush(stderr);
    };
}

}  // namespace sentrel
