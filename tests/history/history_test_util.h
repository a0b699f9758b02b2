// Shared by the history tests: a temporary folder and results fed to a writer.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "engine/pass_events.h"
#include "history/history_writer.h"
#include "support/harness.h"

namespace sentrel::history {

constexpr std::int64_t kMinuteMs = 60'000;
constexpr std::int64_t kDay = 86'400'000;

struct TempDir : testing::TempDir {  // the history file is h.sqlite in the folder
    const std::string path = testing::TempDir::path(), file = testing::TempDir::file("h.sqlite");
};

inline ProbeEvent Probe(std::int64_t timeMs, std::int32_t result, std::int32_t fails = 0,
                        const std::string& title = "web") {
    ProbeEvent e;
    e.timeMs = timeMs, e.address = "127.0.0.1", e.port = "8080", e.title = title;
    e.result = result, e.failCount = fails;
    return e;
}

inline int LinesWith(const std::string& path, const char* needle) {
    std::istringstream text(testing::ReadFile(path));
    int n = 0;
    for (std::string line; std::getline(text, line);) {
        n += line.find(needle) != std::string::npos;
    }
    return n;
}

inline const NodeKey kWeb{"127.0.0.1", "8080", 0};

}  // namespace sentrel::history
