#include <gtest/gtest.h>

#include <filesystem>

#include "config/placement.h"
#include "config/settings.h"
#include "support/temp_dir.h"

namespace sentrel {
namespace {

using testing::ConfigHomeGuard;
using testing::ReadFileBytes;
using testing::WriteFileBytes;

TEST(Placement, FirstWriteCreatesTheSectionInOrder) {
    ConfigHomeGuard home;
    EXPECT_EQ(ReadPlacement().x, 0);
    EXPECT_FALSE(std::filesystem::exists(home.IniPath()));
    WritePlacement({-4, 120, 640, 480});
    EXPECT_EQ(ReadFileBytes(home.IniPath()),
              "[Screen]\r\nXPOS=-4\r\nYPOS=120\r\nWIDTH=640\r\nHEIGHT=480\r\n");
    Placement p = ReadPlacement();
    EXPECT_EQ(p.x, -4);
    EXPECT_EQ(p.y, 120);
    EXPECT_EQ(p.width, 640);
    EXPECT_EQ(p.height, 480);
    EXPECT_TRUE(PlacementUsable(p));
}

TEST(Placement, LeavesTheSettingsAlone) {
    ConfigHomeGuard home;
    const std::string before =
        "[General]\nSecs=30\n\n[screen]\nxpos=1\n; note\nheight=2\n\n[Servers]\ns0node=127.0.0.1\n";
    ASSERT_TRUE(WriteFileBytes(home.IniPath(), before));
    WritePlacement({10, 0, 300, 200});
    EXPECT_EQ(ReadFileBytes(home.IniPath()),
              "[General]\nSecs=30\n\n[screen]\nxpos=10\n; note\nheight=200\nYPOS=0\nWIDTH=300\n"
              "\n[Servers]\ns0node=127.0.0.1\n");
    EXPECT_FALSE(PlacementUsable(ReadPlacement()));  // a zero leaves the window centred

    // And the settings never touch the placement.
    MonitorSettings s;
    s.Secs = "15";
    ASSERT_TRUE(SaveSettings(s));
    Placement p = ReadPlacement();
    EXPECT_EQ(p.x, 10);
    EXPECT_EQ(p.height, 200);
    EXPECT_NE(ReadFileBytes(home.IniPath()).find("[screen]\nxpos=10\n; note\nheight=200\nYPOS=0\n"),
              std::string::npos);
}

TEST(Placement, ValuesReadLikeNumbersWithEightCharacters) {
    ConfigHomeGuard home;
    ASSERT_TRUE(WriteFileBytes(home.IniPath(),
                               "[Screen]\nXPOS=123456789\nYPOS=abc\nWIDTH= 77px\nHEIGHT=\n"));
    Placement p = ReadPlacement();
    EXPECT_EQ(p.x, 12345678);
    EXPECT_EQ(p.y, 0);
    EXPECT_EQ(p.width, 77);
    EXPECT_EQ(p.height, 0);
}

}  // namespace
}  // namespace sentrel
