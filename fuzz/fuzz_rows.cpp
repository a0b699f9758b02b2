// The texts built from node fields (status list rows, status texts, the result line the log and
// the report write, both time stamp forms), each against its rule built here.
#include <fuzzer/FuzzedDataProvider.h>
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <regex>

#include "config/node_table.h"
#include "reporting/line_timestamp.h"

namespace {

void Expect(const char* what, const std::string& got, const std::string& want) {
    if (got != want) {
        std::fprintf(stderr, "fuzz_rows: %s\n got: [%s]\nwant: [%s]\n", what, got.c_str(),
                     want.c_str());
        std::abort();
    }
}

bool IsStamp(const std::string& t) {  // "Thu Jan 02 09:05:07 1997"
    static const std::regex shape(
        "[A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}");
    return std::regex_match(t, shape);
}

// Characters, not bytes: a UTF-8 sequence counts once, any other byte once.
std::size_t Chars(const std::string& s, std::size_t* cutAt = nullptr,
                  std::size_t limit = SIZE_MAX) {
    std::size_t n = 0, at = 0;
    while (at < s.size() && n < limit) {
        const auto lead = static_cast<unsigned char>(s[at]);
        std::size_t len = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF8 ? 4 : 1;
        for (std::size_t i = 1; i < len; ++i) {
            if (at + i >= s.size() || (static_cast<unsigned char>(s[at + i]) & 0xC0) != 0x80)
                len = 1;
        }
        at += len, ++n;
    }
    if (cutAt)
        *cutAt = at;
    return n;
}

std::string ExpectedRow(const sentrel::NodeSlot& slot) {
    const bool titled = !slot.node.title.empty();
    const std::string& text = titled ? slot.node.title : slot.node.address;
    std::size_t cut = 0;
    Chars(text, &cut, 40);
    std::string name = text.substr(0, cut);
    if (!titled && !slot.node.port.empty() && slot.node.port != "80")
        name += " port:" + slot.node.port;
    const std::size_t chars = Chars(name);
    return name + std::string(chars < 41 ? 41 - chars : 0, ' ') + slot.status.statusText;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    sentrel::NodeSlot slot;
    slot.node.address = in.ConsumeRandomLengthString(160);
    slot.node.title = in.ConsumeBool() ? in.ConsumeRandomLengthString(120) : std::string();
    slot.node.port = in.ConsumeRandomLengthString(8);
    slot.node.probeType = in.ConsumeIntegral<std::int32_t>();
    const std::int32_t result = in.ConsumeIntegral<std::int32_t>(),
                       failCount = in.ConsumeIntegral<std::int32_t>();
    const std::string success = sentrel::SuccessStatusText(slot.node.probeType, result);
    const std::string n = std::to_string(result), failure = sentrel::FailureStatusText(failCount);
    if (result >= 1) {
        const std::int32_t type = slot.node.probeType;
        static const char* const kTimed[] = {"", "PING", "TCP", "HTTPS", "DNS"};
        Expect("success text", success,
               type == sentrel::HTTPD
                   ? "HTTP: " + n + " bytes. "
                   : std::string(kTimed[type >= 1 && type <= 4 ? type : 1]) + ": " + n + " ms. ");
        Expect("success is no failure", std::to_string(sentrel::IsFailureStatus(success)), "0");
    }
    if (failCount >= 0)
        Expect("failure text", failure, "*ERROR* count: " + std::to_string(failCount));
    Expect("failure is a failure", std::to_string(sentrel::IsFailureStatus(failure)), "1");
    slot.status.statusText = in.ConsumeBool() ? failure
                             : result >= 1    ? success
                                              : sentrel::kUnknownStatus;
    const std::string any = in.ConsumeRandomLengthString(30);
    Expect("failure test", std::to_string(sentrel::IsFailureStatus(any)),
           std::to_string(strncasecmp(any.c_str(), "*error*", 7) == 0));
    Expect("status row", sentrel::StatusRowText(slot), ExpectedRow(slot));

    std::tm t{};
    t.tm_wday = in.ConsumeIntegralInRange(-1, 7), t.tm_mon = in.ConsumeIntegralInRange(-1, 12);
    t.tm_mday = in.ConsumeIntegral<int>(), t.tm_hour = in.ConsumeIntegral<int>();
    t.tm_min = in.ConsumeIntegral<int>(), t.tm_sec = in.ConsumeIntegral<int>(),
    t.tm_year = in.ConsumeIntegral<int>();
    const std::string stamp = sentrel::LineTimestamp(t);
    const bool normal = t.tm_wday >= 0 && t.tm_wday < 7 && t.tm_mon >= 0 && t.tm_mon < 12 &&
                        t.tm_mday >= 1 && t.tm_mday <= 31 && t.tm_hour >= 0 && t.tm_hour < 24 &&
                        t.tm_min >= 0 && t.tm_min < 60 && t.tm_sec >= 0 && t.tm_sec <= 60 &&
                        t.tm_year >= -900 && t.tm_year <= 8099;
    if (normal) {
        Expect("time stamp shape", std::to_string(IsStamp(stamp)), "1");
        Expect("asctime form", sentrel::AsctimeText(t), stamp + "\n");
    }
    Expect("result line", sentrel::ResultLine(stamp, slot.node.address, slot.status.statusText),
           stamp + "  Server: " + slot.node.address + " - " + slot.status.statusText + " \r\n");
    return 0;
}
