// Shared by the history tests: a temporary folder and results fed to a writer.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "engine/pass_events.h"
#include "history/history_writer.h"

namespace sentrel::history {

constexpr std::int64_t kMinuteMs = 60'000;
constexpr std::int64_t kDay = 86'400'000;

struct TempDir {
    std::string path;
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "hist-XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

inline ProbeEvent Probe(std::int64_t timeMs, std::int32_t result, std::int32_t fails = 0,
                        const std::string& title = "web") {
    ProbeEvent e;
    e.timeMs = timeMs;
    e.address = "127.0.0.1";
    e.port = "8080";
    e.title = title;
    e.result = result;
    e.failCount = fails;
    return e;
}

inline const NodeKey kWeb{"127.0.0.1", "8080", 0};

}  // namespace sentrel::history
