// The YAML reader against the public YAML test suite, read in place: every case the configuration
// subset covers must load to the values of its in.json, or be refused where the suite says the
// input is invalid. The cases the subset leaves out are listed with the rule that leaves them out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "core/formats/json.h"
#include "core/formats/yaml.h"
#include "core/runtime/dictionary.h"
#include "tests/support/hex.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

// The suite's folder: the shared conformance data lies beside the project.
fs::path SuiteDir() {
    return fs::path(SourceRoot()) / "../shared/testdata/yaml-test-suite";
}

// A case folder's own name: four characters of [0-9A-Z]; its variants are named by digits.
bool IsCaseName(const std::string& name) {
    return name.size() == 4 && std::all_of(name.begin(), name.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z');
           });
}

bool IsVariantName(const std::string& name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A real directory or file, links not followed: the suite's name/ and tags/ folders of links to
// the cases must not count them again.
bool IsRealDirectory(const fs::path& path) {
    std::error_code ec;
    return fs::symlink_status(path, ec).type() == fs::file_type::directory;
}

bool IsRealFile(const fs::path& path) {
    std::error_code ec;
    return fs::symlink_status(path, ec).type() == fs::file_type::regular;
}

// Case ids ("229Q", "2G84/00") of the case folders that hold an in.yaml.
std::vector<std::string> CaseIds(const fs::path& root) {
    std::vector<std::string> ids;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(root, ec)) {
        const std::string name = entry.path().filename().string();
        if (!IsCaseName(name) || !IsRealDirectory(entry.path())) continue;
        if (IsRealFile(entry.path() / "in.yaml")) ids.push_back(name);
        std::error_code subEc;
        for (const fs::directory_entry& sub : fs::directory_iterator(entry.path(), subEc)) {
            const std::string variant = sub.path().filename().string();
            if (IsVariantName(variant) && IsRealDirectory(sub.path()) && IsRealFile(sub.path() / "in.yaml"))
                ids.push_back(name + "/" + variant);
        }
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

// Compares a tree the YAML reader made with one the JSON reader made: same shape, keys in order,
// same scalars (numbers by value, since the YAML reader keeps the text as written).
bool Same(Dictionary* a, DictionaryItem* x, Dictionary* b, DictionaryItem* y, std::string& why);

bool SameItems(Dictionary* a, Dictionary* b, bool keyed, std::string& why) {
    DictionaryItem* x = nullptr;
    DictionaryItem* y = nullptr;
    Dictionary_ItemGetFirst(a, &x);
    Dictionary_ItemGetFirst(b, &y);
    for (; x && y; Dictionary_ItemGetNext(a, x, &x), Dictionary_ItemGetNext(b, y, &y)) {
        if (keyed) {
            const char* kx = nullptr;
            const char* ky = nullptr;
            Dictionary_ItemGetKeyPtr(a, x, &kx);
            Dictionary_ItemGetKeyPtr(b, y, &ky);
            if (std::string(kx ? kx : "") != std::string(ky ? ky : "")) {
                why = "key '" + std::string(kx ? kx : "") + "' where '" + (ky ? ky : "") + "' is expected";
                return false;
            }
        }
        if (!Same(a, x, b, y, why)) return false;
    }
    if (x || y) why = x ? "an item too many" : "an item missing";
    return !x && !y;
}

std::string Text(Dictionary* dict, DictionaryItem* item) {
    const char* text = nullptr;
    int32_t length = 0;
    Dictionary_ItemGetBufferPtr(dict, item, &text, &length);
    return std::string(text ? text : "", text ? (size_t)length : 0);
}

bool Same(Dictionary* a, DictionaryItem* x, Dictionary* b, DictionaryItem* y, std::string& why) {
    uint32_t tx = 0, ty = 0;
    Dictionary_ItemGetType(a, x, &tx);
    Dictionary_ItemGetType(b, y, &ty);
    const bool numberX = tx == DICTIONARY_TYPE_FLOAT64 || tx == DICTIONARY_TYPE_INT64;
    const bool numberY = ty == DICTIONARY_TYPE_FLOAT64 || ty == DICTIONARY_TYPE_INT64;
    if (tx != ty && !(numberX && numberY)) {
        why = "type " + std::to_string(tx) + " '" + Text(a, x) + "' where " + std::to_string(ty) + " '" +
              Text(b, y) + "' is expected";
        return false;
    }
    if (tx == DICTIONARY_TYPE_LIST || tx == DICTIONARY_TYPE_DICTIONARY) {
        Dictionary* ca = nullptr;
        Dictionary* cb = nullptr;
        Dictionary_ItemGetDictionaryHandle(a, x, &ca);
        Dictionary_ItemGetDictionaryHandle(b, y, &cb);
        if (!ca || !cb) return ca == cb;
        return SameItems(ca, cb, tx == DICTIONARY_TYPE_DICTIONARY, why);
    }
    if (tx == DICTIONARY_TYPE_BOOLEAN) {
        uint32_t fx = 0, fy = 0;
        Dictionary_ItemGetBoolean(a, x, &fx);
        Dictionary_ItemGetBoolean(b, y, &fy);
        if (fx != fy) why = "boolean differs";
        return fx == fy;
    }
    if (numberX) {
        double vx = 0, vy = 0;
        Dictionary_ItemGetFloat64(a, x, &vx);
        Dictionary_ItemGetFloat64(b, y, &vy);
        if (vx != vy) why = "number '" + Text(a, x) + "' where '" + Text(b, y) + "' is expected";
        return vx == vy;
    }
    if (Text(a, x) != Text(b, y)) {
        why = "text '" + Text(a, x) + "' where '" + Text(b, y) + "' is expected";
        return false;
    }
    return true;
}

// The cases the configuration subset leaves out, by the rule of the reader that leaves them out.
// Outside the subset: anchors, aliases, tags, block scalars, several documents, complex keys and
// directives. Inside it, the reader's own rules differ from the full language where a case shows
// them: document markers end the load, flow collections start only after a key or a dash, folding
// takes every line break (empty lines too) as one space, "#" always starts a comment, tabs count
// as indentation, and its escape table is its own.
struct LeftOut {
    const char* Reason;
    const char* Ids; // separated by spaces
};

const LeftOut kLeftOut[] = {
    {"several documents: a \"---\" line after content ends the load (code 1)",
     "35KP 5TYM 6WLZ 6XDY 6ZKB 7Z25 9DXL 9KAX 9WXW JHB9 KSS4 L383 M7A3 NKF9 PUW8 RZT7 "
     "U9NS UT92 W4TN"},
    {"a \"...\" line ends the load (code 1)",
     "6FWR 753E HWV9 M29M MYW6 QT73 RTP8 S4T7"},
    {"text after \"---\" on its own line is refused",
     "82AN 9MQT/00 EXG3 K54U"},
    {"directives (\"%\" lines)",
     "27NA 2LFX 6CK3 6LVF 9MMA BEC7 C4HZ CC74 DK95/07 MUS6/02 MUS6/03 MUS6/04 MUS6/05 "
     "MUS6/06 P76L U3C3 Z9M4"},
    {"anchors and aliases",
     "26DV 2SXE 3GZX 3MYT 3R3P 6BFJ 6KGN 6M2F 7BMT 7BUB 8XYN BU8L CN3R CUP7 E76Z F2C7 "
     "FTA2 HMQ5 JS2J LE5A PW8X RZP5 SKE5 SR86 SU74 SY6V U3XV UGM3 V55R W5VH X38W XW4D "
     "Y2GN ZH7C ZWK4"},
    {"tags",
     "2AUY 2EBW 2XXW 33X3 52DL 565N 57H4 6JWB 735Y 74H7 7FWL 8MK2 EHF6 FH7J J7PZ L94M "
     "LHL4 M5C3 S4JQ U99R UKK6/02 WZ62 Z67P"},
    {"block scalars (\"|\" and \">\")",
     "2G84/02 2G84/03 4Q9F 4QFQ 4WA9 4ZYM 5BVJ 5GBF 5LLU 5WE3 6HB6 6JQW 6VJK 7T8X 93WF "
     "96L6 96NN/00 96NN/01 A6F9 B3HG D83L DK3J DWX9 F6MC F8F9 FP8R G992 H2RW HMK4 J3BT "
     "JEF9/00 JEF9/01 JEF9/02 K527 K858 KK5P L24T/00 L24T/01 M6YH M9B4 MJS9 MZX3 P2AD "
     "R4YG S4GJ S98Z T26H T5N4 TS54 W42U W9L4 XV9V Y79Y/000 Y79Y/001"},
    {"complex and explicit (\"?\") keys",
     "4FJ6 6PBE 7W2P 9MMW A2M4 CT4Q DFF7 FRK4 GH63 JTV5 LX3P M2N8/00 M2N8/01 M5DY Q9WF "
     "RR7F S9E8 SBG9 V9D5 X8DW Y79Y/006 Y79Y/008 Y79Y/009"},
    {"a line opening with \"[\" or \"{\" is text: flow collections start after a key or a dash",
     "4ABK 4H7K 4MUZ/00 4MUZ/01 4MUZ/02 4RWC 54T7 58MP 5MUD 652Z 6CA3 6JTT 7TMG 8UDB "
     "9JBA 9MAG C2DT CTN5 DHP8 F3CP FUP4 HM87/00 HM87/01 K3WX KS4U M7NX Q5MG QF4Y R52L "
     "YJV2 ZK9H ZXT5"},
    {"single-pair mappings inside flow sequences",
     "87E4 CFD4 L9U5 LQZ7"},
    {"entries in brackets need no comma between them",
     "CML9"},
    {"a lone \"-\" in brackets is text",
     "G5U8"},
    {"lines inside brackets and quotes are not held to the block indentation",
     "9C9N QB6E VJP3/00"},
    {"an empty line inside a scalar folds into one space like any line break",
     "36F6 6WPF 7A4E 9TFX 9YRD EX5H HS5T NAT4 NB6Z PRH3 T4YY TL85"},
    {"a backslash before a tab or a line break is no escape of the table (error 5)",
     "3RLN/01 3RLN/04 DE56/02 DE56/03 KH5V/01 NP9H Q8AD"},
    {"\"#\" starts a comment wherever it stands",
     "DBG4 FBC9 SU5Z"},
    {"tabs count as indentation",
     "4EJS DK95/01 Y79Y/003"},
    {"\"---\" and \"...\" lines inside quotes are text",
     "5TRB RXY3"},
    {"\": \" inside a plain value is text",
     "ZCZ6"},
    {"an empty text fails (code 2)",
     "AVM7"},
};

// What the suite expects of a case: a refusal, the values of in.json (empty: no document), or,
// when it gives no JSON form (keys that are null or collections), only a load.
enum class Expect { Error, Json, Load };

struct Outcome {
    Expect Kind = Expect::Load;
    bool Loaded = false;
    uint32_t Code = 0;
    std::string Why; // empty when the case is read as the suite says
};

Outcome LoadCase(const fs::path& dir) {
    Outcome out;
    const std::string yamlText = ReadFile((dir / "in.yaml").string());
    YAML* yaml = nullptr;
    JSON* json = nullptr;
    Dictionary* got = nullptr;
    Dictionary* want = nullptr;
    YAML_Create(&yaml);
    JSON_Create(&json);
    Dictionary_Create(&got);
    Dictionary_Create(&want);
    YAML_SetPrintCallback(yaml, nullptr, Quiet);
    JSON_SetPrintCallback(json, nullptr, Quiet);
    Dictionary_SetPrintCallback(got, nullptr, Quiet);
    Dictionary_SetPrintCallback(want, nullptr, Quiet);
    YAML_SetDictionaryHandle(yaml, got);
    JSON_SetDictionaryHandle(json, want);
    out.Loaded = YAML_LoadBuffer(yaml, yamlText.data(), (uint32_t)yamlText.size()) == 1;
    YAML_GetLastError(yaml, &out.Code);
    out.Kind = fs::exists(dir / "error") ? Expect::Error : fs::exists(dir / "in.json") ? Expect::Json : Expect::Load;
    const std::string jsonText = out.Kind == Expect::Json ? ReadFile((dir / "in.json").string()) : "";
    if (out.Kind == Expect::Error) {
        if (out.Loaded) out.Why = "loaded what the suite refuses";
    } else if (!out.Loaded) {
        out.Why = "refused with code " + std::to_string(out.Code);
    } else if (out.Kind == Expect::Json && jsonText.find_first_not_of(" \t\r\n") == std::string::npos) {
        uint32_t count = 0;
        Dictionary_ItemGetCount(got, &count);
        if (count) out.Why = "values where the suite has no document";
    } else if (out.Kind == Expect::Json) {
        if (!JSON_LoadBuffer(json, jsonText.data(), (uint32_t)jsonText.size()))
            out.Why = "in.json holds more than one value";
        else
            SameItems(got, want, false, out.Why);
    }
    YAML_Delete(&yaml);
    JSON_Delete(&json);
    Dictionary_Release(&got);
    Dictionary_Release(&want);
    return out;
}

void CheckSuite(const fs::path& root) {
    const std::vector<std::string> ids = CaseIds(root);
    ASSERT_EQ(ids.size(), 402u);
    std::map<std::string, const char*> reasons;
    for (const LeftOut& group : kLeftOut) {
        std::string list = group.Ids;
        for (size_t at = 0; at < list.size();) {
            const size_t end = std::min(list.find(' ', at), list.size());
            const std::string id = list.substr(at, end - at);
            EXPECT_TRUE(std::binary_search(ids.begin(), ids.end(), id)) << id << " is no case of the suite";
            EXPECT_TRUE(reasons.emplace(id, group.Reason).second) << id << " is listed twice";
            at = end + 1;
        }
    }
    int32_t read = 0;
    for (const std::string& id : ids) {
        const Outcome o = LoadCase(root / id);
        const auto listed = reasons.find(id);
        const std::string title = ReadFile((root / id / "===").string());
        if (listed == reasons.end()) {
            EXPECT_EQ(o.Why, "") << id << " (" << title << ")";
            read++;
        } else if (o.Kind != Expect::Load) {
            // A listed case that the reader now reads as the suite says leaves the list.
            EXPECT_NE(o.Why, "") << id << " is read as the suite says: it is no longer left out ("
                                 << listed->second << ")";
        }
    }
    EXPECT_EQ(read + (int32_t)reasons.size(), (int32_t)ids.size());
}

TEST(YamlSuite, CasesOfTheSubsetReadAsTheSuiteSays) {
    const fs::path root = SuiteDir();
    if (!IsRealDirectory(root)) GTEST_SKIP() << "the YAML test suite is missing: " << root.string();
    CheckSuite(root);
}

// Lays the suite out as it is published: the case folders, and name/ and tags/ folders of relative
// links to them. The copy beside the project may keep each link as a file holding its target, or
// hold the real links: each entry is placed by its own name, never by where a link leads.
void CopyPublished(const fs::path& from, const fs::path& to) {
    for (const fs::directory_entry& entry : fs::directory_iterator(from)) {
        const std::string name = entry.path().filename().string();
        if (IsCaseName(name) && IsRealDirectory(entry.path()))
            fs::copy(entry.path(), to / name, fs::copy_options::recursive);
    }
    for (const char* folder : {"name", "tags"}) {
        if (!IsRealDirectory(from / folder)) continue;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(from / folder)) {
            const fs::path at = to / entry.path().lexically_relative(from);
            if (entry.is_symlink()) {
                fs::create_directories(at.parent_path());
                fs::create_directory_symlink(fs::read_symlink(entry.path()), at);
            } else if (entry.is_regular_file()) {
                fs::create_directories(at.parent_path());
                fs::create_directory_symlink(ReadFile(entry.path().string()), at);
            }
        }
    }
    // The shared copy is read-only; the temporary one must be removable.
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(to))
        if (!entry.is_symlink()) fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add);
}

TEST(YamlSuite, SuiteAsPublishedWithLinkFoldersCountsEachCaseOnce) {
    const fs::path root = SuiteDir();
    if (!IsRealDirectory(root)) GTEST_SKIP() << "the YAML test suite is missing: " << root.string();
    TempDir dir;
    CopyPublished(root, dir.path());
    ASSERT_TRUE(fs::is_directory(fs::path(dir.path()) / "name" / "aliases-in-block-sequence"));
    CheckSuite(dir.path());
}

// A source whose name/ and tags/ entries are real links (as published) is copied link for link,
// as is one that keeps them as files naming their targets.
TEST(YamlSuite, PublishedLayoutIsCopiedLinkForLink) {
    for (const bool links : {true, false}) {
        SCOPED_TRACE(links ? "real links" : "files naming their targets");
        TempDir from, to;
        const fs::path root = from.path();
        fs::create_directories(root / "AB12");
        fs::create_directories(root / "tags" / "flow");
        fs::create_directories(root / "name");
        ASSERT_TRUE(WriteText((root / "AB12" / "in.yaml").string(), "a: 1\n"));
        if (links) {
            fs::create_directory_symlink("../AB12", root / "name" / "ab-title");
            fs::create_directory_symlink("../../AB12", root / "tags" / "flow" / "AB12");
        } else {
            ASSERT_TRUE(WriteText((root / "name" / "ab-title").string(), "../AB12"));
            ASSERT_TRUE(WriteText((root / "tags" / "flow" / "AB12").string(), "../../AB12"));
        }
        CopyPublished(root, to.path());
        const fs::path copy = to.path();
        EXPECT_EQ(fs::read_symlink(copy / "name" / "ab-title"), fs::path("../AB12"));
        EXPECT_EQ(fs::read_symlink(copy / "tags" / "flow" / "AB12"), fs::path("../../AB12"));
        EXPECT_TRUE(IsRealFile(copy / "AB12" / "in.yaml"));
        EXPECT_FALSE(fs::exists(copy / "AB12" / "AB12"));
        EXPECT_EQ(CaseIds(copy), std::vector<std::string>{"AB12"});
    }
}

TEST(YamlSuite, OnlyRealFoldersNamedAsCasesAreCases) {
    TempDir dir;
    const fs::path root = dir.path();
    for (const char* folder : {"AB12", "CD34/00", "CD34/01", "CD34/xx", "ab12", "ABCDE", "name", "tags/flow"})
        fs::create_directories(root / folder);
    for (const char* file : {"AB12/in.yaml", "CD34/00/in.yaml", "CD34/01/in.yaml", "CD34/xx/in.yaml", "ab12/in.yaml",
                             "ABCDE/in.yaml"})
        ASSERT_TRUE(WriteText((root / file).string(), "a: 1\n"));
    fs::create_directory_symlink("AB12", root / "EF56");            // a link named as a case
    fs::create_directory_symlink("../AB12", root / "name" / "ab-title");
    fs::create_directory_symlink("../../AB12", root / "tags" / "flow" / "AB12");
    fs::create_directory_symlink("00", root / "CD34" / "02");       // a link named as a variant
    fs::create_directories(root / "GH78");
    fs::create_symlink("../AB12/in.yaml", root / "GH78" / "in.yaml"); // an input that is a link
    EXPECT_EQ(CaseIds(root), (std::vector<std::string>{"AB12", "CD34/00", "CD34/01"}));
}

} // namespace
