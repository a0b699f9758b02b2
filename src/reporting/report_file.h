// The report file, recreated at every pass.
#pragma once

#include <string>

namespace sentrel {

struct ReportTarget {
    std::string path;
    bool text = false;  // Fmt_Text
    bool html = false;  // Fmt_HTML
};

// Deletes and recreates the file with its header(s). A failure shows
// "*ERROR* Could not open report file." through the main window.
bool BeginReport(const ReportTarget& target);

// Appends the node's line(s): the text line, and/or "<br>" and the line with
// "&", "<", ">" of address and status written as entities.
bool WriteReportLine(const ReportTarget& target, const std::string& address,
                     const std::string& statusText);

}  // namespace sentrel
