#include "config/maintenance.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <sstream>

namespace sentrel {

namespace {

constexpr int kDayMinutes = 24 * 60;
constexpr std::array<const char*, 7> kDayNames{"sun", "mon", "tue", "wed", "thu", "fri", "sat"};

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

int DayNumber(const std::string& name) {
    for (std::size_t i = 0; i < kDayNames.size(); ++i) {
        if (Lower(name) == kDayNames[i]) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool ParseDays(const std::string& text, unsigned* days) {
    if (Lower(text) == "daily") {
        *days = 0x7F;
        return true;
    }
    const std::size_t dash = text.find('-');
    const int first = DayNumber(text.substr(0, dash));
    const int last = dash == std::string::npos ? first : DayNumber(text.substr(dash + 1));
    if (first < 0 || last < 0) {
        return false;
    }
    *days = 0;
    for (int d = first;; d = (d + 1) % 7) {
        *days |= 1U << d;
        if (d == last) {
            return true;
        }
    }
}

// "HH:MM" (two digits each, 00:00 .. 23:59) as minutes after midnight, else -1.
int ParseClock(const std::string& text) {
    if (text.size() != 5 || text[2] != ':') {
        return -1;
    }
    for (const std::size_t i : {0U, 1U, 3U, 4U}) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            return -1;
        }
    }
    const int hours = (text[0] - '0') * 10 + (text[1] - '0');
    const int minutes = (text[3] - '0') * 10 + (text[4] - '0');
    return hours < 24 && minutes < 60 ? hours * 60 + minutes : -1;
}

std::tm Local(std::time_t at) {
    std::tm t{};
    localtime_r(&at, &t);
    return t;
}

// Minutes from the local midnight that began `date` to what the clock reads at
// `at` (negative the day before, beyond a day's minutes the day after).
int ClockMinutes(std::time_t at, const std::tm& date) {
    const std::tm t = Local(at);
    const int day = (t.tm_year - date.tm_year) * 400 + (t.tm_yday - date.tm_yday);
    return (day == 0 ? 0 : day > 0 ? kDayMinutes : -kDayMinutes) + t.tm_hour * 60 + t.tm_min;
}

std::time_t MakeLocal(const std::tm& date, int minute, int isDst) {
    std::tm t{};
    t.tm_year = date.tm_year;
    t.tm_mon = date.tm_mon;
    t.tm_mday = date.tm_mday;
    t.tm_hour = minute / 60;
    t.tm_min = minute % 60;
    t.tm_isdst = isDst;
    return std::mktime(&t);
}

}  // namespace

bool ParseMaintenanceWindow(const std::string& text, MaintenanceWindow* window, std::string* why) {
    std::istringstream words(text);
    std::string days, span, nodes, more;
    words >> days >> span >> nodes >> more;
    MaintenanceWindow w;
    if (!ParseDays(days, &w.days)) {
        *why = "the days are not daily, Mon..Sun or a range such as Mon-Fri";
        return false;
    }
    const std::size_t dash = span.find('-');
    const int start = dash == std::string::npos ? -1 : ParseClock(span.substr(0, dash));
    const int end = dash == std::string::npos ? -1 : ParseClock(span.substr(dash + 1));
    if (start < 0 || end < 0) {
        *why = "the times are not HH:MM-HH:MM";
        return false;
    }
    if (start == end) {
        *why = "the window ends where it starts";
        return false;
    }
    w.startMinute = start;
    w.lengthMinutes = (end - start + kDayMinutes) % kDayMinutes;
    if (!nodes.empty()) {
        if (nodes.rfind("nodes=", 0) != 0 || nodes.size() == 6 || !more.empty()) {
            *why = "only nodes=<address>,<address> may follow the times";
            return false;
        }
        std::istringstream list(nodes.substr(6));
        for (std::string address; std::getline(list, address, ',');) {
            if (!address.empty()) {
                w.nodes.push_back(address);
            }
        }
    }
    *window = std::move(w);
    return true;
}

bool ParseHoldUntil(const std::string& text, std::time_t* until, std::string* why) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, used = 0;
    std::tm t{};
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d%n", &year, &month, &day, &hour, &minute,
                    &used) == 5 &&
        static_cast<std::size_t>(used) == text.size() && hour < 24 && minute < 60) {
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_hour = hour;
        t.tm_min = minute;
        t.tm_isdst = -1;
        const std::time_t at = std::mktime(&t);
        // mktime moves a day that does not exist (Feb 30) to another: refused.
        if (at != -1 && t.tm_mday == day && t.tm_mon == month - 1) {
            *until = at;
            return true;
        }
    }
    *why = "not a local time YYYY-MM-DD HH:MM";
    return false;
}

std::time_t WindowOpening(const MaintenanceWindow& window, std::time_t day) {
    const std::tm date = Local(day);
    const int start = window.startMinute;
    std::time_t first = -1;
    for (const int isDst : {0, 1}) {  // a clock going back reads the start twice
        const std::time_t at = MakeLocal(date, start, isDst);
        if (at != -1 && ClockMinutes(at, date) == start && (first == -1 || at < first)) {
            first = at;
        }
    }
    if (first != -1) {
        return first;
    }
    // The clock jumped over the start that day: the first minute after the jump.
    std::time_t at = MakeLocal(date, start, -1);
    for (int i = 0; i < 240 && ClockMinutes(at, date) < start; ++i) {
        at += 60;
    }
    for (int i = 0; i < 240 && ClockMinutes(at - 60, date) >= start; ++i) {
        at -= 60;
    }
    return at;
}

bool WindowCovers(const MaintenanceWindow& window, std::time_t now) {
    const std::tm today = Local(now);
    for (const int back : {0, 1}) {
        std::tm noon{};
        noon.tm_year = today.tm_year;
        noon.tm_mon = today.tm_mon;
        noon.tm_mday = today.tm_mday - back;
        noon.tm_hour = 12;
        noon.tm_isdst = -1;
        const std::time_t day = std::mktime(&noon);
        if (day == -1 || (window.days & (1U << noon.tm_wday)) == 0) {
            continue;
        }
        const std::time_t opens = WindowOpening(window, day);
        if (opens <= now && now < opens + static_cast<std::time_t>(window.lengthMinutes) * 60) {
            return true;
        }
    }
    return false;
}

bool WindowHoldsNode(const MaintenanceWindow& window, const std::string& address) {
    if (window.nodes.empty()) {
        return true;
    }
    for (const std::string& node : window.nodes) {
        if (node == address) {
            return true;
        }
    }
    return false;
}

}  // namespace sentrel
