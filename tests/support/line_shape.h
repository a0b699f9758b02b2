// Checks on the shape of log and report lines, shared by tests, fuzz targets and
// benchmarks (header only, so each can include it without linking test code).
#pragma once

#include <cstddef>
#include <string>

namespace sentrel::testing {

// True for a 24-character line time stamp such as "Thu Jan 02 09:05:07 1997":
// capitals and small letters where the names stand, digits, blanks and colons.
inline bool IsLineTimestamp(const std::string& t) {
    static const char* const kShape = "Aaa Aaa 00 00:00:00 0000";
    if (t.size() != 24) {
        return false;
    }
    for (std::size_t i = 0; i < 24; ++i) {
        const char k = kShape[i];
        const char c = t[i];
        const bool ok = k == 'A'   ? (c >= 'A' && c <= 'Z')
                        : k == 'a' ? (c >= 'a' && c <= 'z')
                        : k == '0' ? (c >= '0' && c <= '9')
                                   : c == k;
        if (!ok) {
            return false;
        }
    }
    return true;
}

// Text as the HTML report must show it: "&", "<" and ">" as entities.
inline std::string HtmlEntities(const std::string& text) {
    std::string out;
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

}  // namespace sentrel::testing
