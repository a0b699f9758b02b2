// A temporary directory for one test, removed with its content afterwards, and
// a guard that points XDG_CONFIG_HOME at it so tarn.ini lands there.
#pragma once

#include <string>

namespace sentrel::testing {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Sets XDG_CONFIG_HOME to a fresh temporary directory for its lifetime, so
// SettingsFilePath() is <dir>/sentrel/tarn.ini; restores the old value after.
class ConfigHomeGuard {
public:
    ConfigHomeGuard();
    ~ConfigHomeGuard();
    std::string IniPath() const;  // <dir>/sentrel/tarn.ini
    const TempDir& dir() const { return dir_; }

private:
    TempDir dir_;
    std::string old_;
    bool hadOld_ = false;
};

// Whole-file helpers (bytes, no conversion).
std::string ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::string& bytes);

}  // namespace sentrel::testing
