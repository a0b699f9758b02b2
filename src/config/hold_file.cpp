#include "config/hold_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config/maintenance.h"
#include "config/settings.h"

namespace sentrel {

std::string HoldFilePath() {
    return SettingsFilePath() + ".hold";
}

std::string HoldText(std::time_t until) {
    std::tm local{};
    char text[32] = "";
    if (::localtime_r(&until, &local) != nullptr) {
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
    }
    return text;
}

bool WriteHoldFile(std::time_t until, std::string* why) {
    // Written whole beside the file and renamed over it: a pass reading it
    // meanwhile sees the old hold or the new one.
    const std::string path = HoldFilePath();
    const std::string temporary = path + ".new";
    const std::string line = HoldText(until + 59) + "\n";
    std::FILE* file = std::fopen(temporary.c_str(), "we");
    bool written = file != nullptr && std::fputs(line.c_str(), file) >= 0;
    int error = errno;
    if (file != nullptr && std::fclose(file) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written && std::rename(temporary.c_str(), path.c_str()) == 0) {
        return true;
    }
    error = written ? errno : error;
    std::remove(temporary.c_str());
    *why = "cannot write " + path + ": " + std::strerror(error);
    return false;
}

bool EndHoldFile(std::string* why) {
    const std::string path = HoldFilePath();
    if (std::remove(path.c_str()) == 0 || errno == ENOENT) {
        return true;
    }
    *why = "cannot remove " + path + ": " + std::strerror(errno);
    return false;
}

std::time_t ReadHoldFile() {
    std::FILE* file = std::fopen(HoldFilePath().c_str(), "re");
    if (file == nullptr) {
        return 0;
    }
    char line[64] = "";
    const bool read = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    std::string text = read ? line : "";
    text.erase(text.find_last_not_of(" \t\r\n") + 1);
    std::time_t until = 0;
    std::string why;
    return ParseHoldUntil(text, &until, &why) ? until : 0;
}

long long ParseHoldDuration(const std::string& text) {
    constexpr long long kYear = 366LL * 24 * 3600;
    std::size_t digits = 0;
    long long value = 0;
    for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
        value = value * 10 + (text[digits] - '0');
        if (value > kYear) {
            return -1;
        }
    }
    const std::string unit = text.substr(digits);
    const long long scale = unit == "s"                   ? 1
                            : unit == "m" || unit.empty() ? 60
                            : unit == "h"                 ? 3600
                            : unit == "d"                 ? 86400
                                                          : 0;
    if (digits == 0 || scale == 0 || value == 0 || value * scale > kYear) {
        return -1;
    }
    return value * scale;
}

}  // namespace sentrel
