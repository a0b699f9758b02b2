#include "fault/fault_pass.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <thread>

#include "engine/scan_pass.h"
#include "engine/window_port.h"
#include "support/line_shape.h"

namespace sentrel::fault {

namespace {}  // namespace

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::vector<std::string> SplitLines(const std::string& bytes) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t end = bytes.find("\r\n", at);
        if (end == std::string::npos) {
            lines.push_back(bytes.substr(at));
            break;
        }
        lines.push_back(bytes.substr(at, end + 2 - at));
        at = end + 2;
    }
    return lines;
}

bool IsResultLine(const std::string& line, const std::string& address, const std::string& status,
                  const std::string& prefix) {
    const std::string tail = "  Server: " + address + " - " + status + " \r\n";
    return line.size() == prefix.size() + 24 + tail.size() && line.rfind(prefix, 0) == 0 &&
           testing::IsLineTimestamp(line.substr(prefix.size(), 24)) &&
           line.compare(prefix.size() + 24, tail.size(), tail) == 0;
}

bool RunWithoutFileOverride(const std::function<void()>& body) {
    bool dropped = false;
    std::thread worker([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        if (syscall(SYS_capget, &header, data) != 0) {
            return;
        }
        for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
            data[cap / 32].effective &= ~(1u << (cap % 32));
        }
        // Credentials are per thread: only this one loses the override.
        if (syscall(SYS_capset, &header, data) != 0) {
            return;
        }
        dropped = true;
        body();
    });
    worker.join();
    return dropped;
}

void FaultPass::SetUp() {
    ResetEngineStateForTesting();
    ResetSettingsForTesting();
    settings_.MAXSecs = "1";
}

void FaultPass::TearDown() {
    EXPECT_TRUE(WaitForScanPass(std::chrono::seconds(20)));
    SetMainWindowHandle(nullptr);
    ResetEngineStateForTesting();
    ResetSettingsForTesting();
}

void FaultPass::AddNode(int index, const std::string& address, const std::string& port,
                        std::int32_t type, const std::string& title) {
    const NodeEntry node{address, port, title, type};
    settings_.NodeList[static_cast<std::size_t>(index)] = node;
    NodeTable::Instance().SetNode(index, node);
    nodes_ = std::max(nodes_, index + 1);
}

void FaultPass::LogAndReport() {
    settings_.Log_Flag = true;
    settings_.Success = true;
    settings_.Log_File_Name = dir_.File("sentrel.log");
    settings_.Report_Flag = true;
    settings_.Fmt_HTML = true;
    settings_.Fmt_Text = false;
    settings_.Report_File_Name = dir_.File("report.html");
}

Clock::duration FaultPass::RunPass() {
    SetCurrentSettingsForTesting(settings_);
    const auto start = Clock::now();
    ScanCycle();
    return Clock::now() - start;
}

void FaultPass::ExpectLog(const std::vector<std::string>& statuses) const {
    const std::vector<std::string> lines =
        SplitLines(testing::ReadFileBytes(settings_.Log_File_Name));
    ASSERT_EQ(lines.size(), statuses.size()) << "lines lost or added in the log";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& address =
            settings_.NodeList[i % static_cast<std::size_t>(nodes_)].address;
        EXPECT_TRUE(IsResultLine(lines[i], address, statuses[i]))
            << "log line " << i << ": [" << lines[i] << "] wanted status [" << statuses[i] << "]";
    }
}

void FaultPass::ExpectReport(const std::vector<std::string>& statuses) const {
    const std::vector<std::string> lines =
        SplitLines(testing::ReadFileBytes(settings_.Report_File_Name));
    ASSERT_EQ(lines.size(), statuses.size() + 2) << "report lines lost or added";
    EXPECT_EQ(lines[0], "<HTML><HEAD><title>Sentrel Report</title>\r\n");
    EXPECT_EQ(lines[1], "<body><h3>Sentrel Report</h3><p>\r\n");
    for (std::size_t i = 0; i < statuses.size(); ++i) {
        const std::string& address =
            settings_.NodeList[i % static_cast<std::size_t>(nodes_)].address;
        EXPECT_TRUE(IsResultLine(lines[i + 2], testing::HtmlEntities(address), statuses[i], "<br>"))
            << "report line " << i << ": [" << lines[i + 2] << "]";
    }
}

}  // namespace sentrel::fault
