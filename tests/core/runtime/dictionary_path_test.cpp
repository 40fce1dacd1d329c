// Tests of dictionary lookups and paths: by key, index, value text and path, the path grammar
// and its malformed forms, ensuring dictionaries by path, typed access by path and path texts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "core/runtime/dictionary.h"
#include "tests/support/call_outcome.h"
#include "tests/support/dictionary_trees.h"

namespace {

DictionaryItem* const kSentinel = reinterpret_cast<DictionaryItem*>(8);

// The tree most path tests run on. Every item renders differently, so that the rendered item
// a path finds names it.
const char* const kTree = "{a:{x:'first-x'},a:{b:'B',x:{deep:5},y:'after'},"
                          "list:[{name:'n0'},{name:'n1',tag:'t'},{other:'o'}],"
                          "server:{name:'api',port:1},server:{name:'web',port:8080},s:'text',flag:true,"
                          "last:{only:null}}";

// The item the path names, rendered, or "-" for none; `holder` receives its dictionary.
std::string FindPath(Dictionary* dict, const std::string& path, Dictionary** holder = nullptr) {
    DictionaryItem* item = kSentinel;
    Dictionary* found = reinterpret_cast<Dictionary*>(8);
    const int64_t result = Dictionary_ItemFindByPath(dict, path.c_str(), &found, &item);
    EXPECT_EQ(result, item ? 1 : 0) << path;
    if (!item) {
        EXPECT_EQ(found, nullptr) << path;
    }
    if (holder) *holder = found;
    return item ? RenderItem(found, item) : "-";
}

// ---- By key, index and value text ---------------------------------------------------------------

TEST(DictionaryFind, ByKey) {
    DictTree d("{?,Beta:?,gamma:?,?,?,?}");
    Dictionary_ItemSetKey(d, ItemAt(d, 0), "[1]");
    Dictionary_ItemSetKey(d, ItemAt(d, 4), "[-1]");
    Dictionary_ItemSetKey(d, ItemAt(d, 5), "[4294967296]");
    struct Case {
        const char* key;
        int32_t start;    // position of the start item, -1 for none
        int32_t expected; // position found, -1 for none
    };
    // clang-format off
    const Case cases[] = {
        {"[0]", -1, 0}, {"[0]", 1, 1}, // positions count from the start item
        {"[1]", -1, 0}, // the literal key before position 1 wins
        {"[1]", 1, 2}, {"[2]", -1, 2}, {"[3]", -1, 3}, {"[9]", -1, -1}, {"[]", -1, 0}, {"[0x2]", -1, 2},
        {"[-1]", -1, 4}, // negative: a plain key
        // Beyond 32 bits the text is a plain key rather than a wrapped position.
        {"[4294967296]", -1, 5}, {"[4294967298]", -1, -1}, {"[-2147483648]", -1, -1},
        {"[2147483648]", -1, -1}, {"[2147483647]", -1, -1}, {"Beta", -1, 1},
        {"beta", -1, -1}, // case-sensitive by default
        {".Beta", -1, 1}, {"#gamma", -1, 2}, // the private prefix is dropped
        {"gamma", 1, 2}, {"Beta", 2, -1}, {"", -1, -1}, // unnamed items never match
        {"gam", -1, -1}, {"gammax", -1, -1},
    };
    // clang-format on
    for (const Case& c : cases) {
        DictionaryItem* found = kSentinel;
        DictionaryItem* start = c.start >= 0 ? ItemAt(d, (uint32_t)c.start) : nullptr;
        EXPECT_EQ(Dictionary_ItemFindByKey(d, c.key, start, &found), c.expected >= 0) << c.key;
        EXPECT_EQ(found, c.expected >= 0 ? ItemAt(d, (uint32_t)c.expected) : nullptr)
            << c.key << " from " << c.start;
    }
    Dictionary_SetCaseSensitive(d, 0);
    EXPECT_EQ(FindKey(d, "BETA"), ItemAt(d, 1));
    EXPECT_EQ(FindKey(d, "GAMMA"), ItemAt(d, 2));
    EXPECT_EQ(FindKey(d, "GAMM"), nullptr);
    Dictionary_SetPrivateKeys(d, 0);
    EXPECT_EQ(FindKey(d, ".Beta"), nullptr);

    EXPECT_EQ(Dictionary_ContainsKey(d, "gamma") - Dictionary_ContainsKey(d, "zz"), 1);
    EXPECT_EQ(Dictionary_RemoveByKey(d, "gamma"), 1);
    EXPECT_EQ(Dictionary_RemoveByKey(d, "gamma"), 0);
    EXPECT_EQ(ItemCount(d), 5u);
    DictTree empty;
    DictionaryItem* found = kSentinel;
    EXPECT_EQ(Dictionary_ItemFindByKey(empty, "[0]", nullptr, &found), 0);
    EXPECT_EQ(found, nullptr);
}

TEST(DictionaryFind, ByIndex) {
    DictTree d("{?,?,?,?}");
    struct Case {
        int32_t index;
        int32_t start, expected; // positions, -1 for none
    };
    const Case cases[] = {
        {0, -1, 0},  {3, -1, 3},          {4, -1, -1},         {-1, -1, 3},        {-4, -1, 0}, {-5, -1, -1},
        {0, 2, 2},   {1, 2, 3},           {2, 2, -1},          {-1, 2, 1},         {-2, 2, 0},  {-3, 2, -1},
        {-1, 0, -1}, {INT32_MAX, -1, -1}, {INT32_MIN, -1, -1}, {INT32_MIN, 3, -1},
    };
    for (const Case& c : cases) {
        DictionaryItem* found = kSentinel;
        DictionaryItem* start = c.start >= 0 ? ItemAt(d, (uint32_t)c.start) : nullptr;
        EXPECT_EQ(Dictionary_ItemFindByIndex(d, c.index, start, &found), c.expected >= 0) << c.index;
        EXPECT_EQ(found, c.expected >= 0 ? ItemAt(d, (uint32_t)c.expected) : nullptr)
            << c.index << " from " << c.start;
    }
    DictTree empty;
    DictionaryItem* found = kSentinel;
    EXPECT_EQ(Dictionary_ItemFindByIndex(empty, -1, nullptr, &found), 0);
    EXPECT_EQ(found, nullptr);
}

TEST(DictionaryFind, ByValueText) {
    DictTree d("{t:'Web',e:'',n:42,y:true,f:false,z:null,l:[]}");
    struct Case {
        const char* bytes;
        int32_t length;
        int32_t start, expected; // positions, -1 for none
    };
    // clang-format off
    const Case cases[] = {
        {"Web", 3, -1, 0},  {"web", 3, -1, -1}, // always case-sensitive
        {"We", 2, -1, -1},  {"Webs", 3, -1, 0}, // exactly `length` bytes
        {"", 0, -1, 1},     {"42", 2, -1, 2},   {"true", 4, -1, 3},  {"false", 5, -1, 4},
        {"null", 4, -1, 5}, {"Web", 3, 1, -1},  {"Web", -1, -1, -1},
    };
    // clang-format on
    for (const Case& c : cases) {
        DictionaryItem* found = kSentinel;
        DictionaryItem* start = c.start >= 0 ? ItemAt(d, (uint32_t)c.start) : nullptr;
        EXPECT_EQ(Dictionary_ItemFindByBuffer(d, c.bytes, c.length, start, &found), c.expected >= 0)
            << c.bytes;
        EXPECT_EQ(found, c.expected >= 0 ? ItemAt(d, (uint32_t)c.expected) : nullptr) << c.bytes;
    }
    Dictionary_SetCaseSensitive(d, 0);
    EXPECT_EQ(Dictionary_ContainsString(d, "web"), 0);
    EXPECT_EQ(Dictionary_ContainsString(d, "42"), 1);
    EXPECT_EQ(Dictionary_RemoveByString(d, "true"), 1);
    EXPECT_EQ(Dictionary_RemoveByString(d, "true"), 0);
    EXPECT_EQ(Render(d), "{t:'Web',e:'',n:42,f:false,z:null,l:[]}");
}

// ---- Paths ----------------------------------------------------------------------------------

TEST(DictionaryPath, Grammar) {
    DictTree t(kTree);
    const std::string a1 = "a:{x:'first-x'}", a2 = "a:{b:'B',x:{deep:5},y:'after'}";
    const std::string web = "server:{name:'web',port:8080}", last = "last:{only:null}";
    struct Case {
        const char* path;
        std::string expected;
    };
    // clang-format off
    const Case cases[] = {
        {"a.b", "b:'B'"}, // only the second a has b
        {"a\\b", "b:'B'"}, {"a.x", "x:'first-x'"},
        {"a.x.deep", "deep:5"}, // the first a's x is no container: the second a is tried
        {"list[1].name", "name:'n1'"}, {"list[1].tag", "tag:'t'"}, {"list[-1].other", "other:'o'"},
        {"list[]", "{name:'n0'}"}, {"list[2].name", "-"}, // the third element has no name
        {"list.[2]", "{other:'o'}"}, {"[-1]", last}, {"[]", a1}, {"[x]", "-"}, {"[-8]", a1}, {"[-9]", "-"},
        {"[7]", last}, {"[8]", "-"},
        {"[1.9]", "-"}, // '.' ends the segment: "[1" is the second a, which has no key "9"
        {"server[name=web]", web}, {"server[name=web].missing", web}, {"server[name=web].port", "port:8080"},
        {"server[name=api].port", "port:1"}, {"server[name=none]", "-"}, {"server[NAME=web]", "-"},
        {"server[name=WEB]", "-"}, {"a.[next]", a2}, {"last.[next]", "-"}, // last item
        {"[next]", "-"}, // at the root
        {"a.x[next]", "y:'after'"}, {"a[last-child]", "x:'first-x'"}, {"list[last-child]", "{other:'o'}"},
        {"a[LAST-CHILD]", "x:'first-x'"}, {"a.[Next]", a2}, {"s", "s:'text'"},
        {"s.k", "-"}, // s is no container
        {"flag", "flag:true"}, {"last.only", "only:null"}, {"missing", "-"}, {"A.b", "-"},
        {"#a.b", "b:'B'"}, // the private prefix is dropped
        {".a.b", "b:'B'"}, {"a.#b", "b:'B'"},
        // Several [key=value] in a row test the same dictionary; the first mismatch leaves the
        // item holding it as the answer.
        {"server[name=web][port=8080]", web}, {"server[name=web][port=1]", web},
        {"server[port=1][name=api].port", "port:1"},
        {"server[port=1][name=web].port", "server:{name:'api',port:1}"}, {"list[1][tag=t].name", "name:'n1'"},
        {"list[0][tag=t]", "-"},
    };
    // clang-format on
    for (const Case& c : cases) EXPECT_EQ(FindPath(t, c.path), c.expected) << c.path;

    // The holder is the dictionary of the item found.
    const struct {
        const char* path;
        Dictionary* holder;
    } holders[] = {{"a.x.deep", Descend(t, {1, 1})},
                   {"server[name=web]", t.dict},
                   {"a.[next]", t.dict},
                   {"list[1]", Descend(t, {2})}};
    for (const auto& h : holders) {
        Dictionary* holder = nullptr;
        FindPath(t, h.path, &holder);
        EXPECT_EQ(holder, h.holder) << h.path;
    }
    EXPECT_EQ(Dictionary_ContainsPath(t, "list[1].tag"), 1);
    EXPECT_EQ(Dictionary_ContainsPath(t, "list[1].none"), 0);
    EXPECT_EQ(Dictionary_ItemFindByPath(t, "a.b", nullptr, nullptr), 1); // both outputs may be left out

    // A dictionary without parent has no holding item for [key=value].
    EXPECT_EQ(FindPath(Descend(t, {4}), "[name=web]"), web);
    DictTree lone("{name:'web'}");
    EXPECT_EQ(FindPath(lone, "[name=web]"), "-");
    EXPECT_EQ(FindPath(lone, "[name=web].name"), "-");
}

TEST(DictionaryPath, CaseAndPrivateRules) {
    DictTree t(kTree);
    Dictionary_SetCaseSensitive(t, 0);
    Dictionary_SetCaseSensitive(Descend(t, {4}), 0);
    EXPECT_EQ(FindPath(t, "SERVER"), "server:{name:'api',port:1}");
    EXPECT_EQ(FindPath(Descend(t, {4}), "NAME"), "name:'web'");
    // The value of [key=value] follows the case rule of the dictionary scanned.
    EXPECT_EQ(FindPath(t, "SERVER[NAME=WEB].port"), "port:8080");
    Dictionary_SetPrivateKeys(t, 0);
    EXPECT_EQ(FindPath(t, "#a.b"), "-");
}

TEST(DictionaryPath, MalformedPaths) {
    DictTree t(kTree);
    const std::string longKey(DICTIONARY_MAX_KEY_LENGTH, 'k');
    Dictionary* longChild = nullptr;
    Dictionary_AddDictionary(t, longKey.c_str(), &longChild, nullptr);
    Dictionary_AddString(longChild, "c", "under", nullptr);
    const std::string a1 = "a:{x:'first-x'}", longItem = longKey + ":{c:'under'}";
    struct Case {
        std::string path;
        std::string expected;
    };
    // clang-format off
    const Case cases[] = {
        {"", "-"}, {".", "-"}, // the private prefix leaves an empty path
        {"#", "-"}, {"..", "-"}, {"\\", "-"}, {"]", "-"}, {"a..b", "b:'B'"}, // runs of separators are one
        {"a.\\.b", "b:'B'"}, {"a.b.", "b:'B'"}, {"a]", a1}, {"a]]].b", "b:'B'"},
        {"a[", "x:'first-x'"}, // an unclosed "[" is "[]"
        {"[", a1}, {"[[", "x:'first-x'"}, {"[[[", "-"}, {"list[1", "{name:'n1',tag:'t'}"},
        {"server[name=web", "server:{name:'web',port:8080}"}, {"[=x]", "-"}, // '=' without key
        {"server[name=]", "-"}, // no item has an empty value
        {"server[=web]", "-"}, {"[99999999999]", "-"}, // huge indices name no item
        {"[4294967296]", "-"}, {"[-2147483648]", "-"}, {"[-99999999999]", "-"}, {"[--1]", "-"}, {"[-]", a1},
        {"[1-]", "-"}, {"[ 1]", "-"}, {"a[b]", "-"}, {"list[1][1][1]", "-"}, {std::string(100000, '.'), "-"},
        {std::string(100000, '['), "-"}, {std::string(100000, ']'), "-"},
        // A segment as long as a key, and longer ones cut to it, keep the rest of the path.
        {longKey, longItem}, {longKey + ".c", "c:'under'"}, {longKey + "kkkkkkkkkk.c", "c:'under'"},
        {std::string(5000, 'k'), longItem}, {longKey + "[0]", "c:'under'"},
    };
    // clang-format on
    for (const Case& c : cases)
        EXPECT_EQ(FindPath(t, c.path), c.expected) << c.path.substr(0, 40) << " (" << c.path.size() << ")";

    // A long chain of [key=value] stays in one dictionary: it must not take a stack frame each.
    std::string chain = "server";
    for (int32_t i = 0; i < 200000; i++) chain += "[name=web]";
    EXPECT_EQ(FindPath(t, chain), "server:{name:'web',port:8080}");
    EXPECT_EQ(FindPath(t, chain + ".port"), "port:8080");
    std::string nexts = "a";
    for (int32_t i = 0; i < 100000; i++) nexts += "[0][next]";
    EXPECT_EQ(FindPath(t, nexts), "-");
    DictTree empty;
    EXPECT_EQ(FindPath(empty, "[0]"), "-");
    EXPECT_EQ(FindPath(empty, "[last-child]"), "-");
}

TEST(DictionaryPath, DeepTreeAndPath) {
    // Each key segment descends one level: a path as deep as the tree resolves.
    DictTree d;
    Dictionary* level = d;
    std::string path;
    for (int32_t i = 0; i < 2000; i++) {
        Dictionary_AddDictionary(level, "n", &level, nullptr);
        path += i ? ".n" : "n";
    }
    Dictionary_AddInt64(level, "v", 1, nullptr);
    EXPECT_EQ(FindPath(d, path + ".v"), "v:1");
    EXPECT_EQ(FindPath(d, path + ".n"), "-");
    EXPECT_EQ(FindPath(d, path + "[next]"), "-");
}

// ---- Ensure and set by path -----------------------------------------------------------------

TEST(DictionaryPath, EnsureDictionaryByPath) {
    DictTree d;
    Dictionary* child = reinterpret_cast<Dictionary*>(8);
    EXPECT_EQ(Dictionary_EnsureDictionaryByPath(d, "", &child), 1);
    EXPECT_EQ(child, d.dict);
    // "~" appends a new dictionary each time.
    Dictionary *first, *second;
    EXPECT_EQ(Dictionary_EnsureDictionaryByPath(d, "rows~", &first), 1);
    EXPECT_EQ(Dictionary_EnsureDictionaryByPath(d, "rows~", &second), 1);
    EXPECT_NE(first, second);
    // Members are trimmed; empty members are skipped, as the resolver skips runs of separators;
    // members are paths of the current dictionary.
    Dictionary* pq = nullptr;
    EXPECT_EQ(Dictionary_EnsureDictionaryByPath(d, "p.q", &pq), 1);
    for (const char* path : {"p.q", "  p .\tq  ", "p..q.", "[2].[0]"}) {
        EXPECT_EQ(Dictionary_EnsureDictionaryByPath(d, path, &child), 1) << path;
        EXPECT_EQ(child, pq) << path;
    }
    EXPECT_EQ(Dictionary_EnsureDictionaryByPath(d, "p.rows~", &child), 1);
    EXPECT_EQ(Render(d), "{rows:{},rows:{},p:{q:{},rows:{}}}");

    // A member naming a non-container fails with a null out.
    Dictionary_AddString(d, "s", "text", nullptr);
    EXPECT_EQ(Dictionary_EnsureDictionaryByPath(d, "s.deeper", &child), 0);
    EXPECT_EQ(child, nullptr);
    EXPECT_EQ(ItemCount(d), 4u);
    // A list element is reached by index.
    Dictionary* list = nullptr;
    Dictionary_AddList(d, "list", &list, nullptr);
    FillTree(list, "[{}]");
    EXPECT_EQ(Dictionary_EnsureDictionaryByPath(d, "list[0]", &child), 1);
    EXPECT_EQ(child, Descend(list, {0}));
}

// Setters make the dictionaries the path names; getters convert as by key, cut texts to the
// buffer and, for a path not found or of a type they do not take, answer 0 with the output
// cleared. Getters create nothing.
TEST(DictionaryPath, SetAndGetByPath) {
    DictTree d;
    EXPECT_EQ(Dictionary_SetStringByPath(d, "x.y.z", "deep text"), 1);
    EXPECT_EQ(Dictionary_SetStringByPath(d, "x.y.z", "again"), 1);
    EXPECT_EQ(Dictionary_SetInt32ByPath(d, "n.i32", -7), 1);
    EXPECT_EQ(Dictionary_SetInt64ByPath(d, "n.i64", INT64_MIN), 1);
    EXPECT_EQ(Dictionary_SetFloat64ByPath(d, "n.f", 2.5), 1);
    EXPECT_EQ(Dictionary_SetBooleanByPath(d, "n.b", 1), 1);
    EXPECT_EQ(Render(d), "{x:{y:{z:'again'}},n:{i32:-7,i64:-9223372036854775808,f:2.5,b:true}}");
    // clang-format off
    const std::pair<std::string, const char*> checks[] = {
        {OUTCOME_TEXT(32, Dictionary_GetStringByPath(d, "x.y.z", out, sizeof out)), "1:again"},
        {OUTCOME_TEXT(32, Dictionary_GetStringByPath(d, "x\\y\\z", out, 3)), "1:ag"},
        {OUTCOME(const char*, nullptr, Dictionary_GetStringPtrByPath(d, "x.y.z", &out)), "1:again"},
        {OUTCOME(int32_t, 0, Dictionary_GetInt32ByPath(d, "n.i32", &out)), "1:-7"},
        {OUTCOME(int64_t, 0, Dictionary_GetInt64ByPath(d, "n.i64", &out)), "1:-9223372036854775808"},
        {OUTCOME(double, 0, Dictionary_GetFloat64ByPath(d, "n.f", &out)), "1:2.5"},
        {OUTCOME(int32_t, 0, Dictionary_GetInt32ByPath(d, "n.f", &out)), "1:2"},
        {OUTCOME(uint32_t, 0, Dictionary_GetBooleanByPath(d, "n.b", &out)), "1:1"},
        {OUTCOME(const char*, nullptr, Dictionary_GetBufferPtrByPath(d, "n.b", &out, nullptr)), "1:true"},
        {OUTCOME(Dictionary*, nullptr, Dictionary_GetDictionaryByPath(d, "n", &out)), "1:(set)"},
        {OUTCOME_TEXT(32, Dictionary_GetStringByPath(d, "n.missing", out, sizeof out)), "0:"},
        {OUTCOME_TEXT(32, Dictionary_GetStringByPath(d, "n.i32", out, sizeof out)), "0:"},
        {OUTCOME(int32_t, 9, Dictionary_GetInt32ByPath(d, "n.b", &out)), "0:0"},
        {OUTCOME(int64_t, 9, Dictionary_GetInt64ByPath(d, "n.missing", &out)), "0:0"},
        {OUTCOME(double, 9, Dictionary_GetFloat64ByPath(d, "x.y.z", &out)), "0:0"},
        {OUTCOME(uint32_t, 9, Dictionary_GetBooleanByPath(d, "n.f", &out)), "0:0"},
        {OUTCOME(const char*, "x", Dictionary_GetStringPtrByPath(d, "n.b", &out)), "0:(null)"},
        {OUTCOME(const char*, "x", Dictionary_GetBufferPtrByPath(d, "nothing", &out, nullptr)), "0:(null)"},
        {OUTCOME(Dictionary*, d, Dictionary_GetDictionaryByPath(d, "n.f", &out)), "0:(null)"},
    };
    // clang-format on
    for (const auto& [got, expected] : checks) EXPECT_EQ(got, expected);
    int32_t length = 9;
    const char* bytes = "x";
    EXPECT_EQ(Dictionary_GetBufferPtrByPath(d, "nothing", &bytes, &length), 0);
    EXPECT_EQ(length, 0);
    Dictionary* n = nullptr;
    Dictionary_GetDictionaryByPath(d, "n", &n);
    EXPECT_EQ(n, Descend(d, {1}));
    EXPECT_EQ(ItemCount(d), 2u);
}

TEST(DictionaryPath, SetByPathEdges) {
    DictTree d("{s:'text'}");
    // The parent part names a String, or the last part is empty: nothing is set or made.
    for (const char* path : {"s.k", "p.", ""}) EXPECT_EQ(Dictionary_SetStringByPath(d, path, "v"), 0) << path;
    EXPECT_EQ(Render(d), "{s:'text'}");
    // The last segment is a key: "[0]" addresses the first item, "[2]" past the end and
    // "list[2]" are literal keys.
    EXPECT_EQ(Dictionary_SetStringByPath(d, "[0]", "first"), 1);
    EXPECT_EQ(Dictionary_SetStringByPath(d, "[2]", "two"), 1);
    EXPECT_EQ(Dictionary_SetStringByPath(d, "list[2]", "literal"), 1);
    EXPECT_EQ(Render(d), "{s:'first',[2]:'two',list[2]:'literal'}");

    // Paths past 319 characters are cut there.
    EXPECT_EQ(Dictionary_SetStringByPath(d, ("q." + std::string(400, 'z')).c_str(), "long"), 1);
    EXPECT_EQ(ItemKey(Descend(d, {3}), ItemAt(Descend(d, {3}), 0)),
              std::string(DICTIONARY_MAX_KEY_LENGTH, 'z'));
    EXPECT_EQ(Dictionary_SetStringByPath(d, ("r." + std::string(320, 'z') + ".k").c_str(), "v"), 1);
    EXPECT_EQ(Dictionary_ContainsPath(d, ("r." + std::string(317, 'z')).c_str()), 1);
    EXPECT_EQ(Dictionary_ContainsPath(d, ("r." + std::string(317, 'z') + ".k").c_str()), 0);
}

// ---- Path texts -----------------------------------------------------------------------------

// GetKey: after the last delimiter ('[' stays); GetParent: before it; HasParent: a delimiter
// after the first character; SkipRoot: after the first '.', ']' or '\\' and the run that follows.
TEST(DictionaryPath, PathTexts) {
    // path, key, parent, has parent, skipped
    // clang-format off
    const std::tuple<const char*, const char*, const char*, int64_t, const char*> cases[] = {
        {"a.b.c", "1:c", "1:a.b", 1, "1:b.c"}, {"a.b[3]", "1:[3]", "1:a.b", 1, "1:b[3]"},
        {"a[3].b", "1:b", "1:a[3]", 1, "1:b"}, {"[0].x", "1:x", "1:[0]", 1, "1:x"},
        {"a\\b", "1:b", "1:a", 1, "1:b"}, {"plain", "1:plain", "0:", 0, "0:plain"}, {"", "1:", "0:", 0, "0:"},
        {".a", "1:a", "0:", 0, "1:a"}, {"a.", "1:", "1:a", 1, "1:"}, {"[3]", "1:[3]", "0:", 0, "1:"},
        {"a..]\\b", "1:b", "1:a..]", 1, "1:b"}, {"a.longkey", "1:lon", "1:a", 1, "1:lon"},
        {"abcdef.x", "1:x", "1:abc", 1, "1:x"}, {"a.bcdef", "1:bcd", "1:a", 1, "1:bcd"},
    };
    // clang-format on
    for (const auto& [path, key, parent, hasParent, skipped] : cases) {
        // A buffer of 4 bytes cuts the longer answers.
        const bool small = strlen(path) > 6;
        const int32_t size = small ? 4 : 64;
        EXPECT_EQ(OUTCOME_TEXT(64, Dictionary_PathGetKey(path, out, size)), key) << path;
        EXPECT_EQ(OUTCOME_TEXT(64, Dictionary_PathGetParent(path, out, size)), parent) << path;
        EXPECT_EQ(Dictionary_PathHasParent(path), hasParent) << path;
        EXPECT_EQ(OUTCOME_TEXT(64, Dictionary_PathSkipRoot(path, out, size)), skipped) << path;
    }
    EXPECT_EQ(OUTCOME_TEXT(2, Dictionary_PathGetParent("a.b", out, 0)), "1:z"); // nothing written
}

} // namespace
