#include "config/profile_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <utility>

namespace sentrel {

namespace {

constexpr std::string_view kBlanks = " \t\r\v\f";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool IsBlank(char c) {
    return kBlanks.find(c) != std::string_view::npos;
}

std::string_view Trim(std::string_view s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && IsBlank(s[b])) {
        ++b;
    }
    while (e > b && IsBlank(s[e - 1])) {
        --e;
    }
    return s.substr(b, e - b);
}

bool IsBlankLine(std::string_view s) {
    return Trim(s).empty();
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::string KeyId(std::string_view section, std::string_view key) {
    return Lower(Trim(section)) + '\n' + Lower(Trim(key));
}

bool HasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

// The section name of a header line, or nothing when the line is not one.
std::optional<std::string_view> HeaderName(std::string_view text) {
    std::string_view t = Trim(text);
    if (t.empty() || t.front() != '[') {
        return std::nullopt;
    }
    std::size_t close = t.find(']');
    if (close == std::string_view::npos) {
        return std::nullopt;
    }
    return Trim(t.substr(1, close - 1));
}

// Where the value of a key line starts (after "=" and the blanks following it), or
// nothing when the line is not a key line.
std::optional<std::size_t> ValuePos(std::string_view text) {
    std::string_view t = Trim(text);
    if (t.empty() || t.front() == '[') {
        return std::nullopt;
    }
    std::size_t eq = text.find('=');
    if (eq == std::string_view::npos) {
        return std::nullopt;
    }
    std::size_t pos = eq + 1;
    while (pos < text.size() && IsBlank(text[pos])) {
        ++pos;
    }
    return pos;
}

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void SyncDirectory(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// A name for a temporary file beside `target` that no other writer uses.
std::string TempName(const std::filesystem::path& target) {
    static std::atomic<unsigned> counter{0};
    auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    return (target.parent_path() /
            ("." + target.filename().string() + ".tmp-" + std::to_string(::getpid()) + "-" +
             std::to_string(counter.fetch_add(1)) + "-" + std::to_string(ticks % 1000000)))
        .string();
}

}  // namespace

std::size_t Utf8CutLength(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) {
        return text.size();
    }
    auto isContinuation = [](char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; };
    std::size_t cut = limit;
    if (!isContinuation(text[cut])) {
        return cut;
    }
    // The sequence that would be split starts at most three bytes before the cut.
    std::size_t k = cut;
    while (k > 0 && cut - k < 2 && isContinuation(text[k - 1])) {
        --k;
    }
    if (k == 0) {
        return cut;
    }
    auto lead = static_cast<unsigned char>(text[k - 1]);
    std::size_t length = 0;
    if (lead >= 0xC0 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF7) {
        length = 4;
    }
    if (length != 0 && k - 1 + length > cut) {
        return k - 1;
    }
    return cut;
}

std::string Utf8Cut(std::string_view text, std::size_t limit) {
    return std::string(text.substr(0, Utf8CutLength(text, limit)));
}

void ProfileFile::Clear() {
    sections_.assign(1, Section{});  // lines before the first header
    sectionIndex_.clear();
    keyIndex_.clear();
    newline_ = "\r\n";
}

void ProfileFile::Parse(std::string_view bytes) {
    Clear();
    bool endingKnown = false;
    std::size_t pos = 0;
    bool first = true;
    while (pos < bytes.size()) {
        std::size_t nl = bytes.find('\n', pos);
        Line line;
        if (nl == std::string_view::npos) {
            line.text.assign(bytes.substr(pos));
            line.ending = Ending::None;
            pos = bytes.size();
        } else if (nl > pos && bytes[nl - 1] == '\r') {
            line.text.assign(bytes.substr(pos, nl - 1 - pos));
            line.ending = Ending::CrLf;
            pos = nl + 1;
        } else {
            line.text.assign(bytes.substr(pos, nl - pos));
            line.ending = Ending::Lf;
            pos = nl + 1;
        }
        if (!endingKnown && line.ending != Ending::None) {
            newline_ = line.ending == Ending::CrLf ? "\r\n" : "\n";
            endingKnown = true;
        }
        // A byte order mark in front of the first line is not part of its text.
        std::string_view view = line.text;
        if (first && view.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
            view.remove_prefix(kUtf8Bom.size());
        }
        first = false;
        if (auto name = HeaderName(view)) {
            sectionIndex_[Lower(*name)].push_back(sections_.size());
            sections_.emplace_back().id = Lower(*name);
        }
        sections_.back().body.push_back(std::move(line));
    }
    for (std::size_t s = 0; s < sections_.size(); ++s) {
        Section& sec = sections_[s];
        std::size_t keep = sec.body.size();
        // The header of a section stays in its body even when it is the only line.
        std::size_t minimum = s == 0 ? 0 : 1;
        while (keep > minimum && IsBlankLine(sec.body[keep - 1].text)) {
            --keep;
        }
        sec.tail.assign(std::make_move_iterator(sec.body.begin() + static_cast<long>(keep)),
                        std::make_move_iterator(sec.body.end()));
        sec.body.resize(keep);
        if (s == 0) {
            continue;  // keys before the first header are never matched
        }
        for (std::size_t i = 1; i < sec.body.size(); ++i) {
            IndexKeyLine(s, i);
        }
    }
}

void ProfileFile::IndexKeyLine(std::size_t sectionIndex, std::size_t lineIndex) {
    Line& line = sections_[sectionIndex].body[lineIndex];
    auto valuePos = ValuePos(line.text);
    if (!valuePos) {
        return;
    }
    line.valuePos = *valuePos;
    std::string_view name = std::string_view(line.text).substr(0, line.text.find('='));
    keyIndex_[KeyId(sections_[sectionIndex].id, name)].push_back(LineRef{sectionIndex, lineIndex});
}

ProfileFile::LoadResult ProfileFile::Load(const std::string& path) {
    Clear();
    writable_ = true;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT) {
            return LoadResult::Missing;
        }
        writable_ = false;
        return LoadResult::Unreadable;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              static_cast<std::size_t>(st.st_size) <= kProfileFileMaxBytes;
    std::string bytes;
    if (ok) {
        // Reads one byte past the limit to notice a file that grew meanwhile.
        bytes.resize(kProfileFileMaxBytes + 1);
        std::size_t got = 0;
        while (got < bytes.size()) {
            ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                ok = false;
                break;
            }
            if (n == 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        bytes.resize(got);
        ok = ok && got <= kProfileFileMaxBytes;
    }
    ::close(fd);
    if (!ok) {
        writable_ = false;
        return LoadResult::Unreadable;
    }
    Parse(bytes);
    return LoadResult::Loaded;
}

std::string ProfileFile::Serialize() const {
    std::string out;
    bool pendingEnding = false;
    auto emit = [&](const Line& line) {
        if (pendingEnding) {
            out += newline_;  // a last line without ending that now has a successor
        }
        out += line.text;
        pendingEnding = false;
        switch (line.ending) {
            case Ending::None:
                pendingEnding = true;
                break;
            case Ending::Lf:
                out += '\n';
                break;
            case Ending::CrLf:
                out += "\r\n";
                break;
        }
    };
    for (const Section& sec : sections_) {
        for (const Line& line : sec.body) {
            if (!line.erased) {
                emit(line);
            }
        }
        for (const Line& line : sec.tail) {
            emit(line);
        }
    }
    return out;
}

bool ProfileFile::Save(const std::string& path) const {
    if (!writable_ || path.empty()) {
        return false;
    }
    std::filesystem::path target(path);
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        target = real;
        std::free(real);
    }
    // A file the user may not write (made read-only on purpose) is left alone,
    // as a write in place would be refused; the rename below would bypass that.
    if (::faccessat(AT_FDCWD, target.c_str(), F_OK, AT_EACCESS) == 0 &&
        ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
        return false;
    }
    std::error_code ec;
    if (target.has_parent_path()) {
        std::filesystem::create_directories(target.parent_path(), ec);
        if (ec) {
            return false;
        }
    }
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temp = TempName(target);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            return false;
        }
    }
    if (fd < 0) {
        return false;
    }
    struct stat old {};
    if (::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        ::fchmod(fd, old.st_mode & 07777);  // keep the old file's permissions
    }
    bool ok = WriteAll(fd, Serialize()) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    SyncDirectory(target.has_parent_path() ? target.parent_path().string() : ".");
    return true;
}

const ProfileFile::Line* ProfileFile::FirstLive(std::string_view section,
                                                std::string_view key) const {
    auto it = keyIndex_.find(KeyId(section, key));
    if (it == keyIndex_.end()) {
        return nullptr;
    }
    for (const LineRef& ref : it->second) {
        const Line& line = sections_[ref.section].body[ref.line];
        if (!line.erased) {
            return &line;
        }
    }
    return nullptr;
}

ProfileFile::Line* ProfileFile::FirstLive(std::string_view section, std::string_view key) {
    return const_cast<Line*>(std::as_const(*this).FirstLive(section, key));
}

std::optional<std::string> ProfileFile::Find(std::string_view section, std::string_view key) const {
    const Line* line = FirstLive(section, key);
    if (line == nullptr) {
        return std::nullopt;
    }
    return std::string(Trim(std::string_view(line->text).substr(line->valuePos)));
}

std::string ProfileFile::Get(std::string_view section, std::string_view key, std::string_view def,
                             std::size_t limit) const {
    const Line* line = FirstLive(section, key);
    std::string_view value =
        line != nullptr ? Trim(std::string_view(line->text).substr(line->valuePos)) : def;
    return Utf8Cut(value, limit);
}

ProfileFile::Section& ProfileFile::SectionForNewKey(std::string_view section) {
    std::string id = Lower(Trim(section));
    auto it = sectionIndex_.find(id);
    if (it != sectionIndex_.end() && !it->second.empty()) {
        return sections_[it->second.front()];
    }
    // A new section goes to the end of the file, set off by a blank line.
    const Line* last = nullptr;
    for (auto s = sections_.rbegin(); s != sections_.rend() && last == nullptr; ++s) {
        if (!s->tail.empty()) {
            last = &s->tail.back();
            break;
        }
        for (auto l = s->body.rbegin(); l != s->body.rend(); ++l) {
            if (!l->erased) {
                last = &*l;
                break;
            }
        }
    }
    Ending ending = newline_ == "\n" ? Ending::Lf : Ending::CrLf;
    if (last != nullptr && !IsBlankLine(last->text)) {
        sections_.back().tail.push_back(Line{"", ending});
    }
    sectionIndex_[id].push_back(sections_.size());
    Section& created = sections_.emplace_back();
    created.id = id;
    created.body.push_back(Line{"[" + std::string(Trim(section)) + "]", ending});
    return created;
}

bool ProfileFile::Set(std::string_view section, std::string_view key, std::string_view value) {
    section = Trim(section);
    key = Trim(key);
    if (section.empty() || key.empty() || HasLineBreak(section) || HasLineBreak(key) ||
        section.find(']') != std::string_view::npos || key.find('=') != std::string_view::npos ||
        key.front() == '[') {
        return false;
    }
    value = value.substr(0, value.find_first_of("\r\n"));
    if (Line* line = FirstLive(section, key)) {
        line->text.resize(line->valuePos);
        line->text += value;
        return true;
    }
    Section& sec = SectionForNewKey(section);
    std::size_t sectionIndex = static_cast<std::size_t>(&sec - sections_.data());
    Ending ending = newline_ == "\n" ? Ending::Lf : Ending::CrLf;
    sec.body.push_back(Line{std::string(key) + "=" + std::string(value), ending});
    IndexKeyLine(sectionIndex, sec.body.size() - 1);
    return true;
}

bool ProfileFile::Erase(std::string_view section, std::string_view key) {
    auto it = keyIndex_.find(KeyId(section, key));
    if (it == keyIndex_.end()) {
        return false;
    }
    bool removed = false;
    for (const LineRef& ref : it->second) {
        Line& line = sections_[ref.section].body[ref.line];
        removed = removed || !line.erased;
        line.erased = true;
    }
    keyIndex_.erase(it);
    return removed;
}

bool ProfileFile::Write(std::string_view section, std::string_view key,
                        const std::optional<std::string_view>& value) {
    if (!value) {
        Erase(section, key);
        return true;
    }
    return Set(section, key, *value);
}

std::mutex& SettingsFileMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace sentrel
