// Shared by the history tests: a temporary folder and results fed to a writer.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "engine/pass_events.h"
#include "history/history_writer.h"

namespace sentrel::history {

constexpr std::int64_t kMinuteMs = 60'000;
constexpr std::int64_t kDay = 86'400'000;

struct TempDir {
    std::string path = (std::filesystem::temp_directory_path() / "hist-XXXXXX").string();
    const std::string file = std::string(mkdtemp(path.data())) + "/h.sqlite";
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

inline ProbeEvent Probe(std::int64_t timeMs, std::int32_t result, std::int32_t fails = 0,
                        const std::string& title = "web") {
    ProbeEvent e;
    e.timeMs = timeMs, e.address = "127.0.0.1", e.port = "8080", e.title = title;
    e.result = result, e.failCount = fails;
    return e;
}

inline std::string Slurp(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

inline int LinesWith(const std::string& path, const char* needle) {
    std::istringstream text(Slurp(path));
    int n = 0;
    for (std::string line; std::getline(text, line);) {
        n += line.find(needle) != std::string::npos;
    }
    return n;
}

inline const NodeKey kWeb{"127.0.0.1", "8080", 0};

}  // namespace sentrel::history
