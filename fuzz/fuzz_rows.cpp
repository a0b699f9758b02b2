// The texts built from node fields: status list rows, status texts, the log and
// report line, the line timestamp, and the report file with its HTML escaping.
// Arbitrary addresses, titles, ports and numbers; each result is checked against
// the rule it follows, built here independently.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

#include "engine/node_table.h"
#include "reporting/line_timestamp.h"
#include "reporting/log_file.h"
#include "reporting/report_file.h"
#include "support/line_shape.h"

namespace {

std::string g_dir;

[[noreturn]] void Fail(const char* what, const std::string& got, const std::string& want) {
    std::fprintf(stderr, "fuzz_rows: %s\n got: [%s]\nwant: [%s]\n", what, got.c_str(),
                 want.c_str());
    std::abort();
}

void Expect(const char* what, const std::string& got, const std::string& want) {
    if (got != want) {
        Fail(what, got, want);
    }
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string ExpectedRow(const sentrel::NodeSlot& slot) {
    std::string name;
    if (!slot.node.title.empty()) {
        name = slot.node.title.substr(0, 40);
    } else {
        name = slot.node.address.substr(0, 40);
        if (!slot.node.port.empty() && Lower(slot.node.port) != "80") {
            name += " port:" + slot.node.port;
        }
    }
    if (name.size() < 41) {
        name.append(41 - name.size(), ' ');
    }
    return name + slot.status.statusText;
}

void CheckRowsAndTexts(FuzzedDataProvider& in) {
    sentrel::NodeSlot slot;
    slot.node.address = in.ConsumeRandomLengthString(160);
    slot.node.title = in.ConsumeBool() ? in.ConsumeRandomLengthString(120) : std::string();
    slot.node.port = in.ConsumeRandomLengthString(8);
    slot.node.probeType = in.ConsumeIntegral<std::int32_t>();
    const std::int32_t result = in.ConsumeIntegral<std::int32_t>();
    const std::int32_t failCount = in.ConsumeIntegral<std::int32_t>();

    if (result >= 1) {
        const std::string text = sentrel::SuccessStatusText(slot.node.probeType, result);
        const std::string n = std::to_string(result);
        Expect("success text", text,
               slot.node.probeType == sentrel::HTTPD ? "HTTP: " + n + " bytes. "
                                                     : "PING: " + n + " ms. ");
        if (sentrel::IsFailureStatus(text)) {
            Fail("success taken for a failure", text, "");
        }
        slot.status.statusText = text;
    } else {
        (void)sentrel::SuccessStatusText(slot.node.probeType, result);
    }
    const std::string failure = sentrel::FailureStatusText(failCount);
    if (failCount >= 0) {
        Expect("failure text", failure, "*ERROR* count: " + std::to_string(failCount));
    }
    if (!sentrel::IsFailureStatus(failure)) {
        Fail("failure text not taken for a failure", failure, "");
    }
    if (in.ConsumeBool()) {
        slot.status.statusText = failure;
    }
    const std::string any = in.ConsumeRandomLengthString(30);
    if (sentrel::IsFailureStatus(any) !=
        (any.size() >= 7 && Lower(any.substr(0, 7)) == "*error*")) {
        Fail("failure test", any, "");
    }
    Expect("status row", sentrel::StatusRowText(slot), ExpectedRow(slot));

    std::tm t{};
    t.tm_wday = in.ConsumeIntegralInRange(-1, 7);
    t.tm_mon = in.ConsumeIntegralInRange(-1, 12);
    t.tm_mday = in.ConsumeIntegral<int>();
    t.tm_hour = in.ConsumeIntegral<int>();
    t.tm_min = in.ConsumeIntegral<int>();
    t.tm_sec = in.ConsumeIntegral<int>();
    t.tm_year = in.ConsumeIntegral<int>();
    const std::string stamp = sentrel::LineTimestamp(t);
    const bool normal = t.tm_wday >= 0 && t.tm_wday < 7 && t.tm_mon >= 0 && t.tm_mon < 12 &&
                        t.tm_mday >= 1 && t.tm_mday <= 31 && t.tm_hour >= 0 && t.tm_hour < 24 &&
                        t.tm_min >= 0 && t.tm_min < 60 && t.tm_sec >= 0 && t.tm_sec <= 60 &&
                        t.tm_year >= -900 && t.tm_year <= 8099;
    if (normal && !sentrel::testing::IsLineTimestamp(stamp)) {
        Fail("timestamp shape", stamp, "Aaa Aaa 00 00:00:00 0000");
    }
    const std::string asc = sentrel::AsctimeText(t);
    if (normal && (asc.size() != 25 || asc.back() != '\n')) {
        Fail("asctime shape", asc, "");
    }
    Expect("result line", sentrel::ResultLine(stamp, slot.node.address, slot.status.statusText),
           stamp + "  Server: " + slot.node.address + " - " + slot.status.statusText + " \r\n");
}

void CheckFiles(FuzzedDataProvider& in) {
    const std::string address = in.ConsumeRandomLengthString(160);
    const std::string status = in.ConsumeRandomLengthString(40);
    const sentrel::ReportTarget target{g_dir + "/report", true, true};
    if (!sentrel::BeginReport(target) || !sentrel::WriteReportLine(target, address, status)) {
        Fail("report not written", "", "");
    }
    const std::string header =
        "Sentrel Report: \r\n\r\n<HTML><HEAD><title>Sentrel Report</title>\r\n"
        "<body><h3>Sentrel Report</h3><p>\r\n";
    const std::string file = ReadAll(target.path);
    if (file.size() < header.size() + 24 || file.compare(0, header.size(), header) != 0) {
        Fail("report header", file, header);
    }
    const std::string stamp = file.substr(header.size(), 24);
    if (!sentrel::testing::IsLineTimestamp(stamp)) {
        Fail("report timestamp", stamp, "");
    }
    // Both forms of the same line, the HTML one with &, < and > as entities.
    Expect("report lines", file.substr(header.size()),
           sentrel::ResultLine(stamp, address, status) + "<br>" +
               sentrel::ResultLine(stamp, sentrel::testing::HtmlEntities(address),
                                   sentrel::testing::HtmlEntities(status)));

    const std::string log = g_dir + "/log";
    ::unlink(log.c_str());
    if (!sentrel::WriteLogLine(log, address, status)) {
        Fail("log line not written", "", "");
    }
    const std::string line = ReadAll(log);
    Expect("log line", line, sentrel::ResultLine(line.substr(0, 24), address, status));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/fuzz_rows.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("fuzz_rows: mkdtemp");
        std::exit(1);
    }
    g_dir = pattern;
    std::atexit([] {
        ::unlink((g_dir + "/report").c_str());
        ::unlink((g_dir + "/log").c_str());
        ::rmdir(g_dir.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool()) {
        CheckRowsAndTexts(in);
    } else {
        CheckFiles(in);
    }
    return 0;
}
