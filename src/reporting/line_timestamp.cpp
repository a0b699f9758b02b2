#include "reporting/line_timestamp.h"

#include <cstdint>

namespace sentrel {

namespace {

constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Three-letter name from a table of `count`, "???" for a field out of range.
const char* NameOf(const char* const* names, int count, int index) {
    return (index >= 0 && index < count) ? names[index] : "???";
}

// Two digits with a leading `pad` below 10; values outside 0..99 are brought into it.
void AppendTwo(std::string& out, int value, char pad) {
    int v = value % 100;
    if (v < 0) {
        v = -v;
    }
    out += v < 10 ? pad : static_cast<char>('0' + v / 10);
    out += static_cast<char>('0' + v % 10);
}

// The year in at least four digits (years before 1000 with leading zeros).
void AppendYear(std::string& out, const std::tm& local) {
    std::int64_t year = static_cast<std::int64_t>(local.tm_year) + 1900;
    if (year < 0) {
        out += '-';
        year = -year;
    }
    std::string digits = std::to_string(year);
    if (digits.size() < 4) {
        digits.insert(0, 4 - digits.size(), '0');
    }
    out += digits;
}

std::string Build(const std::tm& local) {
    std::string out;
    out.reserve(25);
    out += NameOf(kWeekdays, 7, local.tm_wday);
    out += ' ';
    out += NameOf(kMonths, 12, local.tm_mon);
    out += ' ';
    AppendTwo(out, local.tm_mday, '0');
    out += ' ';
    AppendTwo(out, local.tm_hour, '0');
    out += ':';
    AppendTwo(out, local.tm_min, '0');
    out += ':';
    AppendTwo(out, local.tm_sec, '0');
    out += ' ';
    AppendYear(out, local);
    return out;
}

std::tm NowLocal() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

}  // namespace

std::string LineTimestamp(const std::tm& local) {
    return Build(local);
}

std::string LineTimestamp() {
    return LineTimestamp(NowLocal());
}

std::string AsctimeText(const std::tm& local) {
    return Build(local) + "\n";
}

std::string AsctimeText() {
    return AsctimeText(NowLocal());
}

std::string ResultLine(const std::string& timestamp, const std::string& address,
                       const std::string& statusText) {
    std::string line;
    line.reserve(timestamp.size() + address.size() + statusText.size() + 16);
    line += timestamp;
    line += "  Server: ";
    line += address;
    line += " - ";
    line += statusText;
    line += " \r\n";
    return line;
}

}  // namespace sentrel
