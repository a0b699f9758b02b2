// A profile file ("ini" format) held in memory: loaded once, read and edited by
// section and key, saved once by an atomic replace.
//
// Rules, after the classic profile functions:
// - A line whose first non-blank character is "[" and that holds a "]" opens a
//   section named by the text between them. Lines before the first section belong
//   to no section and are never matched.
// - A line holding "=" is a key line: the name before the first "=", the value
//   after it. Names and values are trimmed of surrounding white space.
// - Section and key names are matched without regard to (ASCII) case. The first
//   occurrence of a key wins; a section that occurs twice is searched in file order.
// - Every other line (comments, blank lines, lines without "=") and every line not
//   written to stays byte for byte, including its line ending.
//
// Values are bytes: UTF-8 passes through unchanged, and a read limit never cuts a
// UTF-8 sequence in two.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace sentrel {

// Files larger than this are not read (they count as unreadable).
inline constexpr std::size_t kProfileFileMaxBytes = 1024 * 1024;

// The length of the longest prefix of `text` of at most `limit` bytes that does
// not end inside a UTF-8 sequence. Bytes that are not valid UTF-8 count singly.
std::size_t Utf8CutLength(std::string_view text, std::size_t limit);
std::string Utf8Cut(std::string_view text, std::size_t limit);

class ProfileFile {
  public:
    enum class LoadResult {
        Loaded,      // read and parsed
        Missing,     // no file there: starts empty
        Unreadable,  // there but not readable (a directory, no permission, too large)
    };

    ProfileFile() = default;

    // Replaces the content with the file at `path`. On anything but Loaded the
    // content is empty. After Unreadable, Save() refuses to write, so a file that
    // could not be read is never replaced by one that lost its content.
    LoadResult Load(const std::string& path);

    // Replaces the content with `bytes`, as if read from a file.
    void Parse(std::string_view bytes);

    // The whole content as it would be saved.
    std::string Serialize() const;

    // Writes the content to `path`: a temporary file in the same folder, flushed to
    // disk, then renamed over the old file. Creates the folder when missing. A
    // symbolic link at `path` is followed. Returns false, leaving any old file
    // whole, when anything fails.
    bool Save(const std::string& path) const;

    // The value of a key, at most `limit` bytes; `def` (cut the same way) when the
    // key, its section or the file is missing. A key with an empty value gives "".
    std::string Get(std::string_view section, std::string_view key, std::string_view def,
                    std::size_t limit) const;
    // The whole value, or nothing when the key is missing.
    std::optional<std::string> Find(std::string_view section, std::string_view key) const;

    // Replaces the value where the key stands, or adds "key=value" at the end of its
    // section, creating the section at the end of the file. A value ends at its first
    // line break (a value is one line). Returns false, changing nothing, for a name
    // that cannot be stored (empty, a line break, "=" in a key, "]" in a section).
    bool Set(std::string_view section, std::string_view key, std::string_view value);

    // Removes every line of the key in the section. Returns true if one was removed.
    bool Erase(std::string_view section, std::string_view key);

    // Set for a value, Erase for none.
    bool Write(std::string_view section, std::string_view key,
               const std::optional<std::string_view>& value);

    // The line ending of new lines: the one of the first line that has one, else CR LF.
    const std::string& NewLine() const { return newline_; }

  private:
    enum class Ending : std::uint8_t { None, Lf, CrLf };
    struct Line {
        std::string text;  // without its line ending
        Ending ending = Ending::None;
        bool erased = false;
        std::size_t valuePos = 0;  // key lines: where the value starts
    };
    struct Section {
        std::string id;          // lower-case name; empty for the lines before any header
        std::vector<Line> body;  // header first (if any), up to the last non-blank line
        std::vector<Line> tail;  // blank lines after it
    };
    struct LineRef {
        std::size_t section;
        std::size_t line;
    };

    const Line* FirstLive(std::string_view section, std::string_view key) const;
    Line* FirstLive(std::string_view section, std::string_view key);
    Section& SectionForNewKey(std::string_view section);
    void IndexKeyLine(std::size_t sectionIndex, std::size_t lineIndex);
    void Clear();

    std::vector<Section> sections_;
    // lower-case section name -> indexes in sections_, in file order
    std::unordered_map<std::string, std::vector<std::size_t>> sectionIndex_;
    // lower-case section name, "\n", lower-case key -> its lines, in file order
    std::unordered_map<std::string, std::vector<LineRef>> keyIndex_;
    std::string newline_ = "\r\n";
    bool writable_ = true;
};

// Serialises load-edit-save cycles on the settings file within the process, so the
// placement and the settings never overwrite each other's changes.
std::mutex& SettingsFileMutex();

}  // namespace sentrel
