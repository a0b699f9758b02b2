#include "config/placement.h"

#include <atomic>
#include <mutex>
#include <string>

#include "config/profile_file.h"
#include "config/settings.h"

namespace sentrel {

namespace {

constexpr const char* kScreen = "Screen";

std::atomic<bool> firstPaintPending{true};

}  // namespace

void WritePlacement(const Placement& p) {
    std::lock_guard<std::mutex> lock(SettingsFileMutex());
    const std::string path = SettingsFilePath();
    ProfileFile file;
    if (file.Load(path) == ProfileFile::LoadResult::Unreadable) {
        return;  // a file that could not be read is left alone
    }
    file.Set(kScreen, "XPOS", std::to_string(p.x));
    file.Set(kScreen, "YPOS", std::to_string(p.y));
    file.Set(kScreen, "WIDTH", std::to_string(p.width));
    file.Set(kScreen, "HEIGHT", std::to_string(p.height));
    file.Save(path);  // a failed write goes unnoticed
}

Placement ReadPlacement() {
    ProfileFile file;
    {
        std::lock_guard<std::mutex> lock(SettingsFileMutex());
        file.Load(SettingsFilePath());
    }
    Placement p;
    p.x = ToInt(file.Get(kScreen, "XPOS", "0", 8));
    p.y = ToInt(file.Get(kScreen, "YPOS", "0", 8));
    p.height = ToInt(file.Get(kScreen, "HEIGHT", "0", 8));
    p.width = ToInt(file.Get(kScreen, "WIDTH", "0", 8));
    return p;
}

bool FirstPaintPending() {
    return firstPaintPending.load();
}

void ClearFirstPaintPending() {
    firstPaintPending.store(false);
}

void ResetFirstPaintPendingForTesting() {
    firstPaintPending.store(true);
}

}  // namespace sentrel
