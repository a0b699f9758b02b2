#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>

#include "config/profile_file.h"
#include "support/temp_dir.h"

namespace sentrel {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

ProfileFile Parsed(std::string_view bytes) {
    ProfileFile f;
    f.Parse(bytes);
    return f;
}

// Names of the files in a directory, to see that no temporary file is left.
std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ProfileFileRead, NamesCaseBlindDefaultsOnlyForMissingKeys) {
    ProfileFile f = Parsed(
        "[General]\r\n"
        "Secs=30\r\n"
        "Empty=\r\n"
        "  Spaced Key  =   padded value  \r\n"
        "[servers]\r\n"
        "s0node=alpha\r\n");
    EXPECT_EQ(f.Get("general", "SECS", "60", 4), "30");
    EXPECT_EQ(f.Get("SERVERS", "S0NODE", "", 49), "alpha");
    EXPECT_EQ(f.Get("General", "Empty", "dflt", 10), "");
    EXPECT_EQ(f.Get("General", "Spaced Key", "", 99), "padded value");
    EXPECT_EQ(f.Get("General", "Missing", "dflt", 10), "dflt");
    EXPECT_EQ(f.Get("Nowhere", "Secs", "dflt", 10), "dflt");
    // A key of one section is not visible from another.
    EXPECT_EQ(f.Get("Servers", "Secs", "dflt", 10), "dflt");
    EXPECT_EQ(f.Find("General", "Missing"), std::nullopt);
}

TEST(ProfileFileRead, OddLinesAreNotKeys) {
    ProfileFile f = Parsed(
        "Before=header\n"
        "[A]\n"
        "first=1\n"
        "first=2\n"
        "no equals sign\n"
        "; Comment=3\n"
        "[Broken\n"
        "after=4\n"
        "[ A ]\n"
        "second=5\n");
    EXPECT_EQ(f.Find("", "Before"), std::nullopt);  // before any section
    EXPECT_EQ(f.Get("A", "first", "", 9), "1");     // first occurrence wins
    EXPECT_EQ(f.Find("A", "no equals sign"), std::nullopt);
    // "[Broken" opens no section: its keys stay in A; a repeated [A] is searched too.
    EXPECT_EQ(f.Get("A", "after", "", 9), "4");
    EXPECT_EQ(f.Get("A", "second", "", 9), "5");
    EXPECT_EQ(f.Find("Broken", "after"), std::nullopt);
}

TEST(ProfileFileRead, LimitCutsBytesButNeverInsideUtf8) {
    // "é" is 2 bytes, "€" 3, "😀" 4.
    ProfileFile f = Parsed("[S]\nk2=abc\xC3\xA9x\nk3=ab\xE2\x82\xACx\nk4=a\xF0\x9F\x98\x80x\n");
    EXPECT_EQ(f.Get("S", "k2", "", 3), "abc");
    EXPECT_EQ(f.Get("S", "k2", "", 4), "abc");  // would split é
    EXPECT_EQ(f.Get("S", "k2", "", 5), "abc\xC3\xA9");
    EXPECT_EQ(f.Get("S", "k3", "", 3), "ab");
    EXPECT_EQ(f.Get("S", "k3", "", 4), "ab");
    EXPECT_EQ(f.Get("S", "k3", "", 5), "ab\xE2\x82\xAC");
    for (std::size_t limit = 1; limit <= 4; ++limit) {
        EXPECT_EQ(f.Get("S", "k4", "", limit), "a") << limit;
    }
    EXPECT_EQ(f.Get("S", "k4", "", 5), "a\xF0\x9F\x98\x80");
    // The default is cut by the same rule.
    EXPECT_EQ(f.Get("S", "missing", "\xC3\xA9\xC3\xA9", 3), "\xC3\xA9");
    // Bytes that are not UTF-8 (Latin-1 "é" = E9, stray continuation bytes) count singly.
    EXPECT_EQ(Utf8CutLength("\xE9t\xE9t", 3), 3u);
    EXPECT_EQ(Utf8CutLength("\x80\x80\x80\x80\x80", 2), 2u);
    EXPECT_EQ(Utf8CutLength("abc", 0), 0u);
}

TEST(ProfileFileWrite, ReplacesInPlaceAndKeepsEveryOtherByte) {
    const std::string before =
        "; settings written by hand\r\n"
        "[GENERAL]\r\n"
        "  secs = 30   \r\n"
        "Unknown=keep me\r\n"
        "\r\n"
        "[Other]\r\n"
        "x=1\r\n";
    ProfileFile f = Parsed(before);
    EXPECT_EQ(f.Serialize(), before);  // untouched content round-trips exactly
    ASSERT_TRUE(f.Set("General", "Secs", "45"));
    ASSERT_TRUE(f.Set("General", "Added", "v"));
    ASSERT_TRUE(f.Set("Fresh", "k", ""));
    EXPECT_EQ(f.Serialize(),
              "; settings written by hand\r\n"
              "[GENERAL]\r\n"
              "  secs = 45\r\n"
              "Unknown=keep me\r\n"
              "Added=v\r\n"
              "\r\n"
              "[Other]\r\n"
              "x=1\r\n"
              "\r\n"
              "[Fresh]\r\n"
              "k=\r\n");
    EXPECT_EQ(Parsed(f.Serialize()).Get("Fresh", "k", "dflt", 9), "");
}

TEST(ProfileFileWrite, LineEndingsFollowTheFile) {
    ProfileFile lf = Parsed("[A]\nk=1\n");
    lf.Set("A", "j", "2");
    lf.Set("B", "m", "3");
    EXPECT_EQ(lf.Serialize(), "[A]\nk=1\nj=2\n\n[B]\nm=3\n");

    ProfileFile empty;
    empty.Set("A", "k", "1");
    EXPECT_EQ(empty.Serialize(), "[A]\r\nk=1\r\n");  // new files use CR LF

    // A last line without a line ending gets one only when something follows it.
    ProfileFile open = Parsed("[A]\r\nk=1");
    EXPECT_EQ(open.Serialize(), "[A]\r\nk=1");
    open.Set("A", "j", "2");
    EXPECT_EQ(open.Serialize(), "[A]\r\nk=1\r\nj=2\r\n");

    // A byte order mark stays, and the header behind it still counts.
    ProfileFile bom = Parsed("\xEF\xBB\xBF[A]\nk=1\n");
    EXPECT_EQ(bom.Get("A", "k", "", 9), "1");
    bom.Set("A", "k", "2");
    EXPECT_EQ(bom.Serialize(), "\xEF\xBB\xBF[A]\nk=2\n");
}

TEST(ProfileFileWrite, EraseRemovesEveryDuplicateAndWriteNullErases) {
    ProfileFile f = Parsed("[A]\nk=1\nother=x\nK=2\n[a]\nk=3\n");
    EXPECT_TRUE(f.Erase("A", "k"));
    EXPECT_EQ(f.Find("A", "k"), std::nullopt);  // no older duplicate shows through
    EXPECT_EQ(f.Serialize(), "[A]\nother=x\n[a]\n");
    EXPECT_FALSE(f.Erase("A", "k"));
    EXPECT_FALSE(f.Erase("Nowhere", "k"));
    EXPECT_TRUE(f.Write("A", "other", std::nullopt));
    EXPECT_TRUE(f.Write("A", "k", std::string_view("4")));
    EXPECT_EQ(f.Serialize(), "[A]\nk=4\n[a]\n");
}

TEST(ProfileFileWrite, ValuesAndNamesCannotInjectLines) {
    ProfileFile f = Parsed("[A]\nk=1\n");
    EXPECT_TRUE(f.Set("A", "k", "safe\r\n[B]\nevil=1"));
    EXPECT_FALSE(f.Set("A", "a=b", "v"));
    EXPECT_FALSE(f.Set("A", "x\ny", "v"));
    EXPECT_FALSE(f.Set("A]\n[B", "x", "v"));
    EXPECT_FALSE(f.Set("", "x", "v"));
    EXPECT_FALSE(f.Set("A", " ", "v"));
    EXPECT_EQ(f.Serialize(), "[A]\nk=safe\n");
}

TEST(ProfileFileDisk, LoadsMissingEmptyAndUnreadablePlaces) {
    TempDir dir;
    ProfileFile f;
    EXPECT_EQ(f.Load(dir.File("absent.ini")), ProfileFile::LoadResult::Missing);

    ASSERT_TRUE(WriteFileBytes(dir.File("empty.ini"), ""));
    EXPECT_EQ(f.Load(dir.File("empty.ini")), ProfileFile::LoadResult::Loaded);
    EXPECT_EQ(f.Get("A", "k", "d", 9), "d");

    // A directory, and a pipe nobody writes to (must not block), read as nothing.
    std::filesystem::create_directory(dir.File("dir.ini"));
    EXPECT_EQ(f.Load(dir.File("dir.ini")), ProfileFile::LoadResult::Unreadable);
    EXPECT_FALSE(f.Save(dir.File("dir.ini")));
    ASSERT_EQ(mkfifo(dir.File("fifo.ini").c_str(), 0600), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(f.Load(dir.File("fifo.ini")), ProfileFile::LoadResult::Unreadable);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(ProfileFileDisk, SizeLimit) {
    TempDir dir;
    // Just under the limit: one line, read and cut normally.
    std::string big = "[A]\nk=" + std::string(kProfileFileMaxBytes - 7, 'x') + "\n";
    ASSERT_EQ(big.size(), kProfileFileMaxBytes);
    ASSERT_TRUE(WriteFileBytes(dir.File("big.ini"), big));
    ProfileFile f;
    EXPECT_EQ(f.Load(dir.File("big.ini")), ProfileFile::LoadResult::Loaded);
    EXPECT_EQ(f.Get("A", "k", "", 127), std::string(127, 'x'));

    // One byte more is not read, and not replaced by a save.
    ASSERT_TRUE(WriteFileBytes(dir.File("big.ini"), big + "\n"));
    EXPECT_EQ(f.Load(dir.File("big.ini")), ProfileFile::LoadResult::Unreadable);
    EXPECT_EQ(f.Get("A", "k", "d", 9), "d");
    f.Set("A", "k", "1");
    EXPECT_FALSE(f.Save(dir.File("big.ini")));
    EXPECT_EQ(std::filesystem::file_size(dir.File("big.ini")), big.size() + 1);
}

TEST(ProfileFileDisk, SaveCreatesFolderKeepsModeAndFollowsLinks) {
    TempDir dir;
    const std::string path = dir.File("a/b/tarn.ini");
    ProfileFile f;
    ASSERT_EQ(f.Load(path), ProfileFile::LoadResult::Missing);
    f.Set("A", "k", "1");
    ASSERT_TRUE(f.Save(path));
    EXPECT_EQ(ReadFileBytes(path), "[A]\r\nk=1\r\n");
    EXPECT_EQ(Entries(dir.File("a/b")), std::vector<std::string>{"tarn.ini"});

    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    f.Set("A", "k", "2");
    ASSERT_TRUE(f.Save(path));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Through a symbolic link: the link stays, its target gets the content.
    std::filesystem::create_symlink(path, dir.File("link.ini"));
    f.Set("A", "k", "3");
    ASSERT_TRUE(f.Save(dir.File("link.ini")));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.File("link.ini")));
    EXPECT_EQ(ReadFileBytes(path), "[A]\r\nk=3\r\n");
}

TEST(ProfileFileDisk, FailedSaveLeavesOldFileWholeAndNoTemporary) {
    TempDir dir;
    const std::string path = dir.File("tarn.ini");
    const std::string old = "[A]\r\nk=old\r\n";
    ASSERT_TRUE(WriteFileBytes(path, old));
    ProfileFile f;
    ASSERT_EQ(f.Load(path), ProfileFile::LoadResult::Loaded);
    f.Set("A", "k", std::string(64 * 1024, 'n'));

    // A full disk, as the file size limit makes it: writes fail part way.
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool saved_ok = f.Save(path);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(saved_ok);
    EXPECT_EQ(ReadFileBytes(path), old);
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"tarn.ini"});

    // A folder that cannot be created because a file stands in its place.
    ASSERT_TRUE(WriteFileBytes(dir.File("plain"), "x"));
    EXPECT_FALSE(f.Save(dir.File("plain/tarn.ini")));

    // A read-only folder (root may write anyway, so only checked for others).
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
        EXPECT_FALSE(f.Save(path));
        chmod(dir.path().c_str(), 0755);
        EXPECT_EQ(ReadFileBytes(path), old);
        EXPECT_EQ(Entries(dir.path()), (std::vector<std::string>{"plain", "tarn.ini"}));
    }
}

}  // namespace
}  // namespace sentrel
