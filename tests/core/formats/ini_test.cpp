// Tests of the INI reader and writer: the text-to-Dictionary mapping, escapes, the exact messages
// of malformed input, round trips, files (including saves that fail) and the dump.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "core/formats/ini.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/dictionary.h"
#include "tests/support/printed_lines.h"
#include "tests/support/temp_dir.h"

namespace {

struct Fixture {
    Ini* ini = nullptr;
    Dictionary* dict = nullptr;
    std::vector<std::string> printed;
    Fixture() {
        Ini_Create(&ini);
        Dictionary_Create(&dict);
        Ini_SetDictionaryHandle(ini, dict);
        Ini_SetPrintCallback(ini, &printed, KeepLine);
    }
    ~Fixture() {
        if (ini) Ini_Delete(&ini);
        Dictionary_Release(&dict);
    }
    int64_t Load(const std::string& text) {
        std::string copy = text;
        MemoryStream* ms = nullptr;
        MemoryStream_Create(&ms);
        MemoryStream_SetPointer(ms, copy.data(), (uint32_t)copy.size(), (uint32_t)copy.size());
        Stream* stream = nullptr;
        MemoryStream_GetStreamHandle(ms, &stream);
        const int64_t result = Ini_LoadStream(ini, stream);
        MemoryStream_Delete(&ms);
        return result;
    }
    std::string Save(int64_t* result = nullptr, uint32_t capacity = 1 << 16) {
        std::string out(capacity, '\0');
        MemoryStream* ms = nullptr;
        MemoryStream_Create(&ms);
        MemoryStream_SetPointer(ms, out.data(), 0, capacity);
        Stream* stream = nullptr;
        MemoryStream_GetStreamHandle(ms, &stream);
        const int64_t r = Ini_SaveStream(ini, stream);
        if (result) *result = r;
        out.resize((size_t)MemoryStream_GetUsed(ms));
        MemoryStream_Delete(&ms);
        return out;
    }
    std::string Get(const char* path) {
        const char* text = nullptr;
        return Dictionary_GetStringPtrByPath(dict, path, &text) && text ? text : "<none>";
    }
    uint32_t Count(Dictionary* d = nullptr) {
        uint32_t count = 0;
        Dictionary_ItemGetCount(d ? d : dict, &count);
        return count;
    }
};

TEST(Ini, SectionsAndTopLevelKeysReadAndWriteBack) {
    for (const char* text : {"a=1\r\n[s]\r\nb=2\r\n", "a=1\n[s]\nb=2\n", "a=1\n[s]\nb=2"}) {
        Fixture f;
        ASSERT_EQ(f.Load(text), 1) << text;
        EXPECT_EQ(f.Get("a"), "1");
        EXPECT_EQ(f.Get("s.b"), "2");
        EXPECT_EQ(f.Count(), 2u);
        EXPECT_EQ(f.Save(), "a=1\r\n\r\n[s]\r\nb=2\r\n\r\n");
    }
}

TEST(Ini, EscapesResolveOnTheWholeLine) {
    const struct {
        const char* line;
        const char* key;
        const char* value;
    } cases[] = {
        {"k=a\\tb", "k", "a\tb"},          {"k=a\\nb\\rc", "k", "a\nb\rc"},
        {"k=\\\\", "k", "\\"},             {"k=\\:\\;", "k", ":;"},
        {"k=\\x\\", "k", "\\x\\"},         {"k=\\\\n", "k", "\\n"},
        {"k\\t1=v", "k\t1", "v"},          {"k=;not a comment", "k", ";not a comment"},
        {"k= spaced = ", "k", " spaced = "}, {"\xC3\xA9\x01\x7F=\xFF", "\xC3\xA9\x01\x7F", "\xFF"},
    };
    for (const auto& c : cases) {
        Fixture f;
        ASSERT_EQ(f.Load(c.line), 1) << c.line;
        const char* text = nullptr;
        ASSERT_EQ(Dictionary_GetStringPtrByKey(f.dict, c.key, &text), 1) << c.line;
        EXPECT_STREQ(text, c.value) << c.line;
    }
}

TEST(Ini, EmptyValuesAreKeptAndEmptyKeysDropped) {
    Fixture f;
    ASSERT_EQ(f.Load("k=\n=v\n=\n"), 1);
    EXPECT_EQ(f.Count(), 1u);
    EXPECT_EQ(f.Get("k"), "");
    uint32_t type = 0;
    Dictionary_GetTypeByKey(f.dict, "k", &type);
    EXPECT_EQ(type, (uint32_t)DICTIONARY_TYPE_STRING);
    EXPECT_EQ(f.Save(), "k=\r\n\r\n");
}

TEST(Ini, EscapedKeysSectionsAndValuesRoundTrip) {
    Fixture f;
    Dictionary_AddString(f.dict, "t\tk\\", "tab\tlf\ncr\rbs\\", nullptr);
    Dictionary* section = nullptr;
    Dictionary_AddDictionary(f.dict, "s\ne\\c", &section, nullptr);
    Dictionary_AddString(section, "a\rb", "", nullptr);
    const std::string text = f.Save();
    EXPECT_EQ(text, "t\\tk\\\\=tab\\tlf\\ncr\\rbs\\\\\r\n\r\n[s\\ne\\\\c]\r\na\\rb=\r\n\r\n");
    Fixture g;
    ASSERT_EQ(g.Load(text), 1);
    EXPECT_EQ(g.Save(), text);
    Dictionary* back = nullptr;
    ASSERT_EQ(Dictionary_GetDictionaryByKey(g.dict, "s\ne\\c", &back), 1);
    const char* value = nullptr;
    ASSERT_EQ(Dictionary_GetStringPtrByKey(back, "a\rb", &value), 1);
    EXPECT_STREQ(value, "");
}

TEST(Ini, MalformedInputFailsWithItsMessage) {
    const std::string longLine = "k=" + std::string(INI_MAX_LINE_LENGTH - 2, 'x');
    const struct {
        std::string text;
        const char* message;
        uint32_t kept; // items read before the failing line
    } cases[] = {
        {"a=1\nnokey\nb=2", "Malformed key/value pair format [nokey @ Line 2]", 1},
        {"\r\n\r\r\n\na=1\n\n\r\n[open\n", "Malformed section header [[open @ Line 2]", 1},
        {"a=1\n" + longLine + "y\n", "Line too long [4098 @ Line 1]", 1},
        {std::string("a=1\nk=v\0w\n", 10), "NUL byte in line [3 @ Line 2]", 1},
        {std::string("\0", 1), "NUL byte in line [0 @ Line 1]", 0},
    };
    for (const auto& c : cases) {
        Fixture f;
        EXPECT_EQ(f.Load(c.text), 0) << c.message;
        EXPECT_TRUE(HasLine(f.printed, c.message)) << c.message << " got " << ::testing::PrintToString(f.printed);
        EXPECT_EQ(f.Count(), c.kept) << c.message;
    }
}

TEST(Ini, LineLengthCountsResolvedCharacters) {
    // 4098 characters after escapes load, however many bytes the escapes take in the text.
    std::string escaped;
    for (int i = 0; i < INI_MAX_LINE_LENGTH - 2; i++) escaped += "\\t";
    for (const std::string& value : {std::string(INI_MAX_LINE_LENGTH - 2, 'x'), escaped}) {
        Fixture f;
        ASSERT_EQ(f.Load("k=" + value), 1);
        const char* text = nullptr;
        int32_t length = 0;
        Dictionary_GetBufferPtrByKey(f.dict, "k", &text, &length);
        EXPECT_EQ(length, INI_MAX_LINE_LENGTH - 2);
        Fixture g;
        EXPECT_EQ(g.Load(f.Save()), 1);
    }
}

TEST(Ini, SectionsAreReusedAndKeepNamesakeKeys) {
    Fixture f;
    ASSERT_EQ(f.Load("s=top\ns=again\n[s]\na=1\n[t]\nb=2\n[s]\nc=3\na=4\n"), 1);
    EXPECT_EQ(f.Count(), 4u); // s, s, [s], [t]
    Dictionary* s = nullptr;
    ASSERT_EQ(Dictionary_GetDictionaryByIndex(f.dict, 2, &s), 1);
    EXPECT_EQ(f.Count(s), 3u);
    EXPECT_EQ(f.Get("s"), "top");
    const std::string text = f.Save();
    EXPECT_EQ(text, "s=top\r\ns=again\r\n\r\n[s]\r\na=1\r\nc=3\r\na=4\r\n\r\n[t]\r\nb=2\r\n\r\n");
    Fixture g;
    ASSERT_EQ(g.Load(text), 1);
    EXPECT_EQ(g.Save(), text);
    // A long name is compared as the Dictionary keeps it, cut.
    Fixture h;
    const std::string name(200, 'n');
    ASSERT_EQ(h.Load("[" + name + "]\na=1\n[" + name + "]\nb=2\n"), 1);
    EXPECT_EQ(h.Count(), 1u);
}

TEST(Ini, PrivateKeysComeBackPrivate) {
    Fixture f;
    ASSERT_EQ(f.Load("#k=1\n.j=2\n[.s]\nx=3\n"), 1);
    const std::string text = f.Save();
    EXPECT_EQ(text, ".k=1\r\n.j=2\r\n\r\n[.s]\r\nx=3\r\n\r\n");
    Fixture g;
    ASSERT_EQ(g.Load(text), 1);
    DictionaryItem* item = nullptr;
    ASSERT_EQ(Dictionary_ItemFindByKey(g.dict, "k", nullptr, &item), 1);
    EXPECT_EQ(Dictionary_ItemGetPrivate(g.dict, item, nullptr), 1);
}

TEST(Ini, WriterTypesAndShapes) {
    Fixture f;
    Dictionary_AddInt64(f.dict, "n", 5, nullptr);
    Dictionary_AddFloat64(f.dict, "f", 2.5, nullptr);
    Dictionary_AddNull(f.dict, "z", nullptr);
    Dictionary_AddBoolean(f.dict, "t", 1, nullptr);
    Dictionary_AddString(f.dict, nullptr, "unnamed", nullptr);
    Dictionary* list = nullptr;
    Dictionary_AddList(f.dict, "l", &list, nullptr);
    Dictionary_AddString(list, nullptr, "x", nullptr);
    Dictionary* section = nullptr;
    Dictionary_AddDictionary(f.dict, "d", &section, nullptr);
    Dictionary* deeper = nullptr;
    Dictionary_AddDictionary(section, "deep", &deeper, nullptr);
    Dictionary_AddString(deeper, "no", "no", nullptr);
    Dictionary_AddString(section, "v", "w", nullptr);
    Ini_SetLineEnding(f.ini, "\n");
    EXPECT_EQ(f.Save(), "n=5\nf=2.5\nz=null\nt=true\n\n[l]\n\n[d]\nv=w\n\n");
    // Only sections: no empty line before the first header. Nothing at all: nothing written.
    Fixture g;
    Dictionary_AddDictionary(g.dict, "only", nullptr, nullptr);
    EXPECT_EQ(g.Save(), "[only]\r\n\r\n");
    Fixture empty;
    int64_t result = 0;
    EXPECT_EQ(empty.Save(&result), "");
    EXPECT_EQ(result, 1);
}

TEST(Ini, SaveReportsFailures) {
    Fixture f;
    Dictionary_AddString(f.dict, "k", std::string(100, 'v').c_str(), nullptr);
    int64_t result = 1;
    f.Save(&result, 16); // the stream takes 16 bytes only
    EXPECT_EQ(result, 0);
    Ini_SetDictionaryHandle(f.ini, nullptr);
    f.Save(&result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(f.Load("a=1\n[s]\n"), 1); // nothing bound: lines are checked, nothing is stored
    EXPECT_EQ(f.Load("[s\n"), 0);
}

// A name the text cannot carry fails the save with its message instead of writing a document
// that reads back as another one.
TEST(Ini, NamesThatWouldReadBackAsSomethingElseFailTheSave) {
    const struct {
        const char* Section; // null: the key is a top-level key
        const char* Key;
        size_t ValueLength;
        const char* Message;
    } rows[] = {
        {nullptr, "a=b", 1, "Unable to write key [a=b]: it holds '='"},
        {nullptr, ";c", 1, "Unable to write key [;c]: it starts a comment or header"},
        {nullptr, "[h]", 1, "Unable to write key [[h]]: it starts a comment or header"},
        {"s", "=", 1, "Unable to write key [=]: it holds '='"},
        {"a]b", "k", 1, "Unable to write section [a]b]: it holds ']'"},
        // The reader takes lines of up to 4098 characters, escapes resolved.
        {nullptr, "k", 4097, "Unable to write key [k]: it makes too long a line"},
    };
    for (const auto& row : rows) {
        Fixture f;
        Dictionary* target = f.dict;
        if (row.Section) Dictionary_AddDictionary(f.dict, row.Section, &target, nullptr);
        Dictionary_AddString(target, row.Key, std::string(row.ValueLength, '\n').c_str(), nullptr);
        int64_t result = 1;
        f.Save(&result);
        EXPECT_EQ(result, 0) << row.Key;
        ASSERT_EQ(f.printed.size(), 1u) << row.Key;
        if (row.Message) {
            EXPECT_TRUE(HasLine(f.printed, row.Message)) << ::testing::PrintToString(f.printed);
        }
    }
    // Two sections of one name would read back as one; a ']' or ';' inside a key is carried.
    Fixture twice;
    Dictionary_AddDictionary(twice.dict, "s", nullptr, nullptr);
    Dictionary_AddDictionary(twice.dict, "s", nullptr, nullptr);
    int64_t result = 1;
    twice.Save(&result);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(HasLine(twice.printed, "Unable to write section [s]: it occurs twice"));
    Fixture longest;
    Dictionary_AddString(longest.dict, "k", std::string(4096, '\n').c_str(), nullptr);
    EXPECT_EQ(longest.Load(longest.Save(&result)), 1);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(longest.Count(), 2u);
    Fixture fine;
    Dictionary* section = nullptr;
    Dictionary_AddDictionary(fine.dict, "[s;", &section, nullptr);
    Dictionary_AddString(section, "k]=", "v", nullptr);
    Dictionary_AddString(section, "k];", "v", nullptr);
    fine.Save(&result);
    EXPECT_EQ(result, 0);
    Dictionary_Reset(fine.dict);
    Dictionary_AddDictionary(fine.dict, "[s;", &section, nullptr);
    Dictionary_AddString(section, "k];", "v", nullptr);
    const std::string text = fine.Save(&result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(text, "[[s;]\r\nk];=v\r\n\r\n");
}

// Loading stays linear when headers repeat a name that many keys share: each header is one
// look-up, not a scan of the items. Compared with a plain file of the same size, under a bound
// far above what the two differ by.
TEST(Ini, RepeatedHeadersLoadInLinearTime) {
    std::string crafted, plain;
    for (int i = 0; i < 20000; i++) crafted += "s=1\n";
    plain = crafted;
    for (int i = 0; i < 20000; i++) crafted += "[s]\n";
    plain += "[s]\n";
    for (int i = 0; i < 19999; i++) plain += "a=1\n";
    ASSERT_EQ(crafted.size(), plain.size());
    auto timed = [](const std::string& text, uint32_t* sections) {
        Fixture f;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(f.Load(text), 1);
        const auto took = std::chrono::steady_clock::now() - start;
        *sections = f.Count() - 20000;
        return std::chrono::duration<double>(took).count();
    };
    uint32_t craftedSections = 0, plainSections = 0;
    const double plainSeconds = timed(plain, &plainSections);
    const double craftedSeconds = timed(crafted, &craftedSections);
    EXPECT_EQ(craftedSections, 1u);
    EXPECT_EQ(plainSections, 1u);
    EXPECT_LT(craftedSeconds, 20 * plainSeconds + 1.0);
}

TEST(Ini, VerboseModeReportsWhatItFinds) {
    Fixture f;
    Ini_SetVerbose(f.ini, 1);
    ASSERT_EQ(f.Load(";note\n[sec]\nk=v\nc=;remark\n"), 1);
    for (const char* line : {"Found comment [note @ Line 1]", "Found section [sec @ Line 2]",
                             "Found parameter [k=v @ Line 3]", "Found comment [remark @ Line 4]"})
        EXPECT_TRUE(HasLine(f.printed, line)) << line;
    Fixture quiet;
    ASSERT_EQ(quiet.Load(";note\n[sec]\nk=v\n"), 1);
    EXPECT_TRUE(quiet.printed.empty());
}

TEST(Ini, FilesRoundTripAndFailedSavesLeaveTheOldFile) {
    TempDir dir;
    Fixture f;
    ASSERT_EQ(f.Load("a=1\n[s]\nb=2\n"), 1);
    const std::string path = dir.file("sub/out.ini");
    ASSERT_EQ(Ini_SaveFile(f.ini, path.c_str()), 1);
    EXPECT_EQ(ReadFile(path), f.Save());
    ASSERT_TRUE(WriteText(path, std::string(10000, ';')));
    ASSERT_EQ(Ini_SaveFile(f.ini, path.c_str()), 1);
    EXPECT_EQ(ReadFile(path), f.Save());
    Fixture g;
    ASSERT_EQ(Ini_LoadFile(g.ini, path.c_str()), 1);
    EXPECT_EQ(g.Save(), f.Save());

    // A missing file says so only when verbose; a directory cannot be saved over.
    const std::string missing = dir.file("missing.ini");
    EXPECT_EQ(Ini_LoadFile(g.ini, missing.c_str()), 0);
    EXPECT_FALSE(HasLine(g.printed, "Unable to open file (" + missing + ")"));
    Ini_SetVerbose(g.ini, 1);
    EXPECT_EQ(Ini_LoadFile(g.ini, missing.c_str()), 0);
    EXPECT_TRUE(HasLine(g.printed, "Unable to open file (" + missing + ")"));
    EXPECT_EQ(Ini_SaveFile(g.ini, dir.path().c_str()), 0);
    EXPECT_TRUE(HasLine(g.printed, "Unable to open file (" + dir.path() + ")"));

    // A write that fails half-way (the file size limit) leaves the old text whole.
    Fixture big;
    for (int i = 0; i < 2000; i++) Dictionary_AddString(big.dict, ("key" + std::to_string(i)).c_str(), "value", nullptr);
    const std::string keep = dir.file("keep.ini");
    ASSERT_TRUE(WriteText(keep, "old=1\r\n\r\n"));
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 8192;
    void (*previous)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int64_t result = Ini_SaveFile(big.ini, keep.c_str());
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadFile(keep), "old=1\r\n\r\n");
}

TEST(Ini, DumpPrintsThroughTheObjectAndGivesTheChannelBack) {
    std::vector<std::string> dictLines;
    Fixture f;
    Dictionary_SetPrintCallback(f.dict, &dictLines, KeepLine);
    ASSERT_EQ(f.Load("a=1\n[s]\nb=2\n"), 1);
    EXPECT_EQ(Ini_Dump(f.ini), 1);
    EXPECT_TRUE(HasLine(f.printed, "a=1") && HasLine(f.printed, "b=2"));
    EXPECT_TRUE(dictLines.empty());
    // With the object gone, the dictionaries print to their own channel again.
    Ini_SetDictionaryHandle(f.ini, nullptr);
    Ini_Release(&f.ini);
    Dictionary* s = nullptr;
    ASSERT_EQ(Dictionary_GetDictionaryByKey(f.dict, "s", &s), 1);
    Dictionary_Print(s, "after");
    EXPECT_TRUE(HasLine(dictLines, "after"));
}

} // namespace
