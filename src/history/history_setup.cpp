#include "history/history_setup.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "engine/pass_events.h"

namespace sentrel::history {

std::string HistoryFilePath() {
    return StateDirectory() + "/history.sqlite";
}

std::shared_ptr<HistoryWriter> StartHistory(const MonitorSettings& settings, OperatorVoice say) {
    if (settings.Keep_Days <= 0) {
        return nullptr;
    }
    WriterOptions options;
    options.path = HistoryFilePath();
    options.keepDays = settings.Keep_Days;
    options.say = std::move(say);
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(options.path).parent_path(), ec);
    if (ec) {
        options.say("history off for this run: " + options.path + ": " + ec.message());
        return nullptr;
    }
    return std::make_shared<HistoryWriter>(options);
}

void StopHistory(std::shared_ptr<HistoryWriter>& writer) {
    if (writer) {
        writer->Flush();
        writer.reset();
    }
}

}  // namespace sentrel::history
