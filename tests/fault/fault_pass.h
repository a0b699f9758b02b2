// Shared ground for the fault matrix: a whole scan pass run against real local
// peers, with the checks every row ends with (the pass ended in time, every log
// and report line is whole and carries its node's status, nothing else lost).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "config/settings.h"
#include "engine/node_table.h"
#include "support/temp_dir.h"

namespace sentrel::fault {

using Clock = std::chrono::steady_clock;

// The lines of a file split after each CR LF; a last piece without CR LF is kept
// as it is, so a torn line shows.
std::vector<std::string> SplitLines(const std::string& bytes);

// True when `line` is a whole result line: timestamp, "  Server: ", address,
// " - ", status, " ", CR LF (after an optional prefix such as "<br>").
bool IsResultLine(const std::string& line, const std::string& address, const std::string& status,
                  const std::string& prefix = "");

// Runs body on a thread of its own whose file access obeys permission bits even
// for root (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH and CAP_FOWNER dropped from
// that thread alone). False, without running body, when they cannot be dropped.
bool RunWithoutFileOverride(const std::function<void()>& body);

class FaultPass : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    void AddNode(int index, const std::string& address, const std::string& port,
                 std::int32_t type = HTTPD, const std::string& title = "");
    // Log (Success on) and HTML report into the temporary folder.
    void LogAndReport();
    // One pass on this thread with the settings as they stand; returns its length.
    Clock::duration RunPass();
    NodeSlot Slot(int index) const { return NodeTable::Instance().Get(index); }

    // Expects the log to hold exactly these statuses, one whole line per node.
    void ExpectLog(const std::vector<std::string>& statuses) const;
    // Expects the HTML report to hold its header and one whole line per status.
    void ExpectReport(const std::vector<std::string>& statuses) const;

    testing::TempDir dir_;
    MonitorSettings settings_;
    int nodes_ = 0;
};

double Seconds(Clock::duration d);

}  // namespace sentrel::fault
