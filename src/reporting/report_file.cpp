#include "reporting/report_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include "platform/window_port.h"
#include "reporting/line_timestamp.h"
#include "reporting/locked_file.h"

namespace sentrel {

namespace {

constexpr const char* kReportOpenFailed = "*ERROR* Could not open report file.";
constexpr const char* kTextHeader = "Sentrel Report: \r\n\r\n";
constexpr const char* kHtmlHeadLine = "<HTML><HEAD><title>Sentrel Report</title>\r\n";
constexpr const char* kHtmlBodyLine = "<body><h3>Sentrel Report</h3><p>\r\n";

// Characters with a meaning in HTML written as entities.
std::string HtmlEscaped(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

bool Fail() {
    WindowMessage(kReportOpenFailed, kAppTitle, MessageIcon::Exclamation);
    return false;
}

}  // namespace

bool BeginReport(const ReportTarget& target) {
    bool ok = false;
    {
        // Only a file (or a link to one) is deleted: a report path naming a
        // device such as /dev/null must never remove the device node itself.
        struct stat st {};
        if (!target.path.empty() && ::lstat(target.path.c_str(), &st) == 0 &&
            (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))) {
            ::unlink(target.path.c_str());  // a failure here is decided by the create below
        }
        LockedFile file;
        if (file.OpenTruncate(target.path)) {
            ok = true;
            if (target.text) {
                ok = file.WriteWhole(kTextHeader) && ok;
            }
            if (target.html && ok) {
                ok = file.WriteWhole(kHtmlHeadLine) && file.WriteWhole(kHtmlBodyLine);
            }
            ok = file.Close() && ok;
        }
    }
    return ok ? true : Fail();
}

bool WriteReportLine(const ReportTarget& target, const std::string& address,
                     const std::string& statusText) {
    bool ok = false;
    {
        LockedFile file;
        if (file.OpenAppend(target.path)) {
            ok = true;
            const std::string stamp = LineTimestamp();
            if (target.text) {
                ok = file.WriteWhole(ResultLine(stamp, address, statusText)) && ok;
            }
            if (target.html && ok) {
                ok = file.WriteWhole(
                    "<br>" + ResultLine(stamp, HtmlEscaped(address), HtmlEscaped(statusText)));
            }
            ok = file.Close() && ok;
        }
    }
    return ok ? true : Fail();
}

}  // namespace sentrel
