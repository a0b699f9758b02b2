// Round trip of the profile-file code on arbitrary bytes: parse, edit a few keys,
// serialize, parse again. Untouched content survives byte for byte, edited keys
// read back as written, read limits hold.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>

#include "config/profile_file.h"

#define CHECK(c)   \
    ((c) ? (void)0 \
         : (std::fprintf(stderr, "fuzz_profile: line %d: %s\n", __LINE__, #c), std::abort()))

namespace {

std::string Trim(std::string_view s) {  // as the reader trims names and values
    const std::size_t first = s.find_first_not_of(" \t\r\v\f");
    return first == s.npos
               ? ""
               : std::string(s.substr(first, s.find_last_not_of(" \t\r\v\f") + 1 - first));
}

std::string Key(std::string_view s) {  // names compare trimmed and without case
    std::string out = Trim(s);
    for (char& c : out)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    static const char* const names[] = {"General", "servers", "SCREEN", "A",
                                        "Secs",    "s0node",  "k",      "K"};
    auto name = [&](int from) {
        return in.ConsumeBool() ? std::string(names[in.ConsumeIntegralInRange(from, from + 3)])
                                : in.ConsumeRandomLengthString(12);
    };
    struct Op {
        bool set;
        std::string section, key, value;
    };
    std::vector<Op> ops(in.ConsumeIntegralInRange<std::size_t>(0, 8));
    for (Op& op : ops) {
        op = {in.ConsumeBool(), name(0), name(4), in.ConsumeRandomLengthString(40)};
    }
    const std::string original = in.ConsumeRemainingBytesAsString();
    sentrel::ProfileFile file;
    file.Parse(original);
    CHECK(file.Serialize() == original);

    std::map<std::pair<std::string, std::string>, std::optional<std::string>> expected;
    std::set<std::string> touched;
    for (const Op& op : ops) {
        const auto id = std::make_pair(Key(op.section), Key(op.key));
        if (op.set && file.Set(op.section, op.key, op.value)) {
            expected[id] = Trim(op.value.substr(0, op.value.find_first_of("\r\n")));
        } else if (!op.set) {
            file.Erase(op.section, op.key);
            expected[id] = std::nullopt;
        }
        touched.insert(id.second);
    }
    const std::string saved = file.Serialize();
    sentrel::ProfileFile again;
    again.Parse(saved);
    CHECK(again.Serialize() == saved);
    for (const auto& [id, value] : expected) {
        const auto found = again.Find(id.first, id.second);
        CHECK(found == value);
        if (found) {  // a limit of 5 never cuts a value mid-character by more than 3 bytes
            const std::string cut = again.Get(id.first, id.second, "", 5);
            CHECK(cut.size() <= 5 && found->compare(0, cut.size(), cut) == 0);
            CHECK(cut.size() == found->size() || cut.size() + 3 >= 5);
        }
    }
    // Every original line that cannot hold an edited key is still there, in order (the
    // last may have gained a line ending).
    std::size_t from = 0;
    for (std::size_t at = 0, nl; at < original.size(); at = nl + 1) {
        nl = std::min(original.find('\n', at), original.size() - 1);
        const std::string was = original.substr(at, nl + 1 - at);  // with its line ending
        const std::size_t eq = was.find('=');
        if (eq == std::string::npos || !touched.count(Key(std::string_view(was).substr(0, eq)))) {
            from = saved.find(was, from);
            CHECK(from != std::string::npos);
            from += was.size();
        }
    }
    return 0;
}
