#include "history/history_setup.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "engine/pass_events.h"

namespace sentrel::history {

std::string HistoryFilePath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    std::filesystem::path base;
    if (state != nullptr && *state == '/') {
        base = state;
    } else {
        const char* home = std::getenv("HOME");
        base = std::filesystem::path(home != nullptr ? home : "") / ".local" / "state";
    }
    return (base / "sentrel" / "history.sqlite").string();
}

std::shared_ptr<HistoryWriter> StartHistory(const MonitorSettings& settings) {
    if (settings.Keep_Days <= 0) {
        return nullptr;
    }
    WriterOptions options;
    options.path = HistoryFilePath();
    options.keepDays = settings.Keep_Days;
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(options.path).parent_path(), ec);
    if (ec) {
        std::fprintf(stderr, "sentrel: history off for this run: %s: %s\n", options.path.c_str(),
                     ec.message().c_str());
        return nullptr;
    }
    auto writer = std::make_shared<HistoryWriter>(options);
    AddPassListener(writer);
    return writer;
}

void StopHistory(std::shared_ptr<HistoryWriter>& writer) {
    if (writer) {
        RemovePassListener(writer);
        writer->Flush();
        writer.reset();
    }
}

}  // namespace sentrel::history
