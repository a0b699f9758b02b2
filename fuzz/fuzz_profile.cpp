// Round trip of the profile-file code on arbitrary bytes: parse, edit a few keys,
// serialize, parse again. Checks that untouched content survives byte for byte,
// that edited keys read back as written, and that read limits hold.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "config/profile_file.h"

namespace {

using sentrel::ProfileFile;

// Stops with the failed condition named, so a finding says which property broke.
#define CHECK(condition)                                                                  \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            std::fprintf(stderr, "fuzz_profile: check failed at line %d: %s\n", __LINE__, \
                         #condition);                                                     \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && IsBlank(s.back())) {
        s.remove_suffix(1);
    }
    return std::string(s);
}

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

struct Line {
    std::string text;
    std::string ending;  // "", "\n" or "\r\n"
};

std::vector<Line> SplitLines(const std::string& bytes) {
    std::vector<Line> lines;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        std::size_t nl = bytes.find('\n', pos);
        if (nl == std::string::npos) {
            lines.push_back({bytes.substr(pos), ""});
            break;
        }
        if (nl > pos && bytes[nl - 1] == '\r') {
            lines.push_back({bytes.substr(pos, nl - 1 - pos), "\r\n"});
        } else {
            lines.push_back({bytes.substr(pos, nl - pos), "\n"});
        }
        pos = nl + 1;
    }
    return lines;
}

std::string PickName(FuzzedDataProvider& in, const std::vector<std::string>& common) {
    if (in.ConsumeBool()) {
        return common[in.ConsumeIntegralInRange<std::size_t>(0, common.size() - 1)];
    }
    return in.ConsumeRandomLengthString(12);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    static const std::vector<std::string> sections = {"General", "servers", "SCREEN", "Alerts",
                                                      "A"};
    static const std::vector<std::string> keys = {"Secs", "MAXSecs", "s0node", "XPOS", "k", "K"};

    struct Op {
        int kind;  // 0 set, 1 erase
        std::string section, key, value;
    };
    std::vector<Op> ops(in.ConsumeIntegralInRange<std::size_t>(0, 8));
    for (Op& op : ops) {
        op.kind = in.ConsumeIntegralInRange<int>(0, 1);
        op.section = PickName(in, sections);
        op.key = PickName(in, keys);
        op.value = in.ConsumeRandomLengthString(40);
    }
    const std::string original = in.ConsumeRemainingBytesAsString();

    ProfileFile file;
    file.Parse(original);
    CHECK(file.Serialize() == original);

    // What every edited key must read back as: its value, or nothing when erased.
    std::map<std::pair<std::string, std::string>, std::optional<std::string>> expected;
    std::set<std::string> touchedKeys;
    for (const Op& op : ops) {
        auto id = std::make_pair(Lower(Trim(op.section)), Lower(Trim(op.key)));
        if (op.kind == 0) {
            if (file.Set(op.section, op.key, op.value)) {
                expected[id] = Trim(op.value.substr(0, op.value.find_first_of("\r\n")));
                touchedKeys.insert(id.second);
            }
        } else {
            file.Erase(op.section, op.key);
            expected[id] = std::nullopt;
            touchedKeys.insert(id.second);
        }
    }

    const std::string saved = file.Serialize();
    ProfileFile again;
    again.Parse(saved);
    CHECK(again.Serialize() == saved);
    for (const auto& [id, value] : expected) {
        CHECK(again.Find(id.first, id.second) == value);
        if (value) {
            std::string cut = again.Get(id.first, id.second, "", 5);
            CHECK(cut.size() <= 5 && value->compare(0, cut.size(), cut) == 0);
            CHECK(cut.size() == value->size() || cut.size() + 3 >= 5);
        }
    }

    // Every original line that cannot hold an edited key is still there, in order.
    // The last line may have gained a line ending; when it ended in CR, that CR and
    // an added LF read back as one CR LF ending.
    std::vector<Line> before = SplitLines(original);
    std::vector<Line> after = SplitLines(saved);
    auto kept = [&](const Line& was, const Line& is, bool last) {
        if (is.text == was.text && is.ending == was.ending) {
            return true;
        }
        if (!last || !was.ending.empty()) {
            return false;
        }
        return is.text == was.text ||
               (!was.text.empty() && was.text.back() == '\r' && is.ending == "\r\n" &&
                is.text == was.text.substr(0, was.text.size() - 1));
    };
    std::size_t j = 0;
    for (std::size_t i = 0; i < before.size(); ++i) {
        const Line& line = before[i];
        std::size_t eq = line.text.find('=');
        if (eq != std::string::npos && touchedKeys.count(Lower(Trim(line.text.substr(0, eq))))) {
            continue;  // may be an edited key line
        }
        while (j < after.size() && !kept(line, after[j], i + 1 == before.size())) {
            ++j;
        }
        CHECK(j < after.size());
        ++j;
    }
    return 0;
}
