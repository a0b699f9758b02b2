// Starting the history for a program (the window program or a headless one):
// no widgets, no Qt.
#pragma once

#include <memory>
#include <string>

#include "config/settings.h"
#include "history/history_writer.h"

namespace sentrel::history {

// $XDG_STATE_HOME/sentrel/history.sqlite, else ~/.local/state/sentrel/history.sqlite.
std::string HistoryFilePath();

// Creates the folder and the writer for the settings' Keep_Days, for the
// start-up to add to its pass host. Returns null (history off) when Keep_Days is 0 or the folder
// cannot be made (one line said with `say`, as the writer says its own).
std::shared_ptr<HistoryWriter> StartHistory(const MonitorSettings& settings, OperatorVoice say);

// Waits for what the writer holds to be written (once no pass reaches it any
// more), then lets it go.
void StopHistory(std::shared_ptr<HistoryWriter>& writer);

}  // namespace sentrel::history
