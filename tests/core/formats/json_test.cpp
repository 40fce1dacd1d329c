// Tests of the JSON reader and writer: round trips, the exact output layout, the tolerated and
// refused syntax with their error codes, keys, callbacks, paths and hostile input.
#include "core/formats/json.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/platform/memory_stream.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/string_print.h"
#include "tests/support/abort_hook.h"

namespace {

std::vector<std::string> g_lines;

int64_t CaptureLine(void*, const char* format, ...) {
    char line[2048];
    va_list args;
    va_start(args, format);
    String_VPrint(line, sizeof(line), format, args);
    va_end(args);
    g_lines.emplace_back(line);
    return 1;
}

bool Logged(const std::string& text) {
    for (const std::string& line : g_lines)
        if (line.find(text) != std::string::npos) return true;
    return false;
}

struct Fixture {
    JSON* json = nullptr;
    Dictionary* dict = nullptr;
    Fixture() {
        JSON_Create(&json);
        Dictionary_Create(&dict);
        JSON_SetDictionaryHandle(json, dict);
        JSON_SetPrintCallback(json, nullptr, CaptureLine);
        g_lines.clear();
    }
    ~Fixture() {
        JSON_Delete(&json);
        Dictionary_Release(&dict);
    }
    int64_t Load(const std::string& text) {
        return JSON_LoadBuffer(json, text.data(), (uint32_t)text.size());
    }
    uint32_t Error() {
        uint32_t code = 99;
        JSON_GetLastError(json, &code);
        return code;
    }
    std::string Save(uint32_t minify = 1) {
        JSON_SetMinify(json, minify);
        uint32_t estimate = 0;
        JSON_SaveBufferEstimate(json, &estimate);
        std::string out(estimate + 16, '\0');
        uint32_t length = 0;
        JSON_SaveBuffer(json, out.data(), (uint32_t)out.size(), &length);
        EXPECT_EQ(length, estimate);
        out.resize(length);
        return out;
    }
    // The top-level item's child dictionary.
    Dictionary* Root() {
        DictionaryItem* item = nullptr;
        Dictionary_ItemGetFirst(dict, &item);
        Dictionary* child = nullptr;
        if (item) Dictionary_ItemGetDictionaryHandle(dict, item, &child);
        return child;
    }
};

std::string ItemText(Dictionary* dict, const char* path, uint32_t* type = nullptr) {
    Dictionary* holder = nullptr;
    DictionaryItem* item = nullptr;
    if (!Dictionary_ItemFindByPath(dict, path, &holder, &item) || !item) return "<missing>";
    if (type) Dictionary_ItemGetType(holder, item, type);
    const char* bytes = nullptr;
    int32_t length = 0;
    Dictionary_ItemGetBufferPtr(holder, item, &bytes, &length);
    return bytes ? std::string(bytes, (size_t)length) : std::string();
}

TEST(JsonTest, MinifiedDocumentsRoundTrip) {
    const char* cases[] = {
        "{\"a\":1}",
        "[1,\"x\",true,false,null,{},[]]",
        "{\"a\":{\"b\":[5,7]},\"c\":\"d\"}",
        "[-0.5,1e5,1E-7,+5,00,123456789012345678901234567890,0]",
        "{\"a\\\\b\":1,\"q\\\"\":\"\\\\\\\"\\b\\f\\n\\r\\t\"}",
        "[\"\\u00E9\\u4E2D\",\"\\uD83D\\uDE00\",\"\\u0000\\u0001\\u001F\"]",
        "{\"\":\"\",\"e\":[]}",
        "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]",
        "42",
        "\"top\"",
        "true",
    };
    for (const char* text : cases) {
        Fixture f;
        ASSERT_EQ(f.Load(text), 1) << text;
        EXPECT_EQ(f.Save(1), text);
        const std::string indented = f.Save(0);
        Fixture g;
        ASSERT_EQ(g.Load(indented), 1) << indented;
        EXPECT_EQ(g.Save(1), text);
    }
}

TEST(JsonTest, IndentedLayout) {
    Fixture f;
    ASSERT_EQ(f.Load("{\"a\":1,\"b\":[true,null],\"c\":{}}"), 1);
    EXPECT_EQ(
        f.Save(0),
        "{\n    \"a\": 1,\n    \"b\": [\n        true,\n        null\n    ],\n    \"c\": {\n    }\n}\n");
}

TEST(JsonTest, StoredTypesAndTexts) {
    Fixture f;
    ASSERT_EQ(f.Load("{\"s\":\"\\u00e9\",\"n\":1e5,\"t\":true,\"f\":false,\"z\":null,\"l\":[1],\"o\":{}}"),
              1);
    uint32_t count = 0;
    Dictionary_ItemGetCount(f.dict, &count);
    EXPECT_EQ(count, 1u);
    Dictionary* root = f.Root();
    ASSERT_NE(root, nullptr);
    struct Expect {
        const char* path;
        uint32_t type;
        const char* text;
    } expects[] = {{"s", DICTIONARY_TYPE_STRING, "\xC3\xA9"}, {"n", DICTIONARY_TYPE_FLOAT64, "1e5"},
                   {"t", DICTIONARY_TYPE_BOOLEAN, "true"},    {"f", DICTIONARY_TYPE_BOOLEAN, "false"},
                   {"z", DICTIONARY_TYPE_NULL, "null"},       {"l", DICTIONARY_TYPE_LIST, ""},
                   {"o", DICTIONARY_TYPE_DICTIONARY, ""}};
    for (const Expect& e : expects) {
        uint32_t type = 0;
        EXPECT_EQ(ItemText(root, e.path, &type), e.text) << e.path;
        EXPECT_EQ(type, e.type) << e.path;
    }
    // The surrogate pair becomes one four-byte character; an escaped backslash stays in the key.
    Fixture g;
    ASSERT_EQ(g.Load("{\"a\\\\b\":\"\\uD83D\\uDE00\"}"), 1);
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(g.Root(), &item);
    const char* key = nullptr;
    Dictionary_ItemGetKeyPtr(g.Root(), item, &key);
    EXPECT_STREQ(key, "a\\b");
    const char* bytes = nullptr;
    int32_t length = 0;
    Dictionary_ItemGetBufferPtr(g.Root(), item, &bytes, &length);
    EXPECT_EQ(std::string(bytes, (size_t)length), "\xF0\x9F\x98\x80");
}

TEST(JsonTest, ToleratedSyntax) {
    struct Case {
        const char* text;
        const char* minified;
        const char* log;
    } cases[] = {
        {"{\"a\" 1}", "{\"a\":1}", nullptr},
        {"[1 2]", "[1,2]", "Comma expected [2 @ 0:3]"},
        {"[1,]", "[1]", "Comma not expected [, @ 0:3]"},
        {"[1,2}", "[1,2]", nullptr},
        {"1 2 ", "1", nullptr},
        {" \r\n\t[ 1 , 2 ] x", "[1,2]", nullptr},
    };
    for (const Case& c : cases) {
        Fixture f;
        EXPECT_EQ(f.Load(c.text), 1) << c.text;
        EXPECT_EQ(f.Error(), 0u) << c.text;
        EXPECT_EQ(f.Save(1), c.minified) << c.text;
        if (c.log) {
            EXPECT_TRUE(Logged(c.log)) << c.text << " / " << (g_lines.empty() ? "" : g_lines[0]);
        }
    }
}

TEST(JsonTest, RefusedInputCodes) {
    struct Case {
        std::string text;
        uint32_t code;
        const char* log;
    } cases[] = {
        {"[01]", 6, "Unexpected character parsing integer [1 @ 0:2]"},
        {"[1.,]", 6, nullptr},
        {"[1e,]", 6, nullptr},
        {"[1.2.3]", 6, nullptr},
        {"1e", 6, nullptr},
        {"[trux]", 7, "Unexpected characters parsing boolean [trux @ 0:4]"},
        {"[tru]", 7, nullptr},
        {"[nul1]", 8, "Unexpected characters parsing null [nul @ 0:4]"},
        {"tru", 7, nullptr},
        {"[", 4, "Unexpected end of input"},
        {"{\"a\":", 4, nullptr},
        {"{\"a\":[1,2", 4, nullptr},
        {"\"abc", 5, "Unexpected end of input in string"},
        {"[\"\\x\"]", 5, "Unexpected escape character in string [x @ 0:3]"},
        {"[\"\\u12G4\"]", 5, "Unexpected unicode hex characters [12G4 @ 0:7]"},
        {"[\"\\uDE00\"]", 5, nullptr},
        {"[\"\\uD83D\"]", 5, nullptr},
        {"[\"\\uD83Dx\"]", 5, nullptr},
        {"[\"\xFF\"]", 5, "Invalid UTF-8 in string"},
        {"[\"\xC0\xAF\"]", 5, nullptr},
        {"[\"\xED\xA0\x80\"]", 5, nullptr},
        {std::string("[\"a\0b\"]", 7), 5, "Unexpected NUL character in string"},
        {"]", 4, "Unknown field type [] @ 0:0]"},
        {"@", 4, "Unknown field type [@ @ 0:0]"},
        {"{\"a\"}", 4, nullptr},
        {"{\"a\",\"b\":1}", 4, nullptr},
        {"{[1]:2}", 4, nullptr},
        {"   ", 4, nullptr},
        {std::string(32, '['), 4, nullptr},
    };
    for (const Case& c : cases) {
        Fixture f;
        EXPECT_EQ(f.Load(c.text), 0) << c.text;
        EXPECT_EQ(f.Error(), c.code) << c.text;
        if (c.log) {
            EXPECT_TRUE(Logged(c.log)) << c.text << " / " << (g_lines.empty() ? "" : g_lines[0]);
        }
    }
    Fixture f;
    EXPECT_EQ(JSON_LoadBuffer(f.json, "", 0), 0);
    EXPECT_EQ(f.Error(), 1u);
    EXPECT_STREQ(JSON_TranslateError(1), "ZeroLength");
    EXPECT_STREQ(JSON_TranslateError(6), "Integer");
    EXPECT_STREQ(JSON_TranslateError(11), "Build");
    EXPECT_STREQ(JSON_TranslateError(12), "Unknown");
}

TEST(JsonTest, DepthAndKeyLimits) {
    Fixture f;
    EXPECT_EQ(f.Load(std::string(31, '[') + std::string(31, ']')), 1);
    // Far deeper than the limit: refused at the 32nd bracket, without recursion.
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_EQ(f.Load(deep), 0);
    EXPECT_EQ(f.Error(), 4u);
    const std::string deepObjects = [] {
        std::string s;
        for (int i = 0; i < 100000; i++) s += "{\"a\":";
        return s;
    }();
    EXPECT_EQ(f.Load(deepObjects), 0);
    EXPECT_EQ(f.Error(), 4u);

    // 318 characters load (the Dictionary then cuts keys to 119); 319 stop with an error.
    const std::string k318(318, 'k');
    EXPECT_EQ(f.Load("{\"" + k318 + "\":1}"), 1);
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(f.Root(), &item);
    const char* key = nullptr;
    Dictionary_ItemGetKeyPtr(f.Root(), item, &key);
    EXPECT_EQ(std::string(key), std::string(119, 'k'));
    g_lines.clear();
    EXPECT_EQ(f.Load("{\"" + std::string(319, 'k') + "\":1}"), 0);
    EXPECT_EQ(f.Error(), 5u);
    EXPECT_TRUE(Logged("Key exceeds maximum length [319 > 318 @ 0:321]")) << g_lines.back();
    // Huge numbers keep their text; a number may end the input.
    const std::string digits = "-" + std::string(100000, '9') + ".5e+99999";
    EXPECT_EQ(f.Load("[" + digits + "]"), 1);
    EXPECT_EQ(f.Save(1), "[" + digits + "]");
    EXPECT_EQ(f.Load(digits), 1);
    EXPECT_EQ(f.Save(1), digits);
    // A value may be as long as memory allows.
    const std::string big(300000, 'v');
    EXPECT_EQ(f.Load("[\"" + big + "\"]"), 1);
    EXPECT_EQ(f.Save(1), "[\"" + big + "\"]");
}

TEST(JsonTest, PrivateKeys) {
    Fixture f;
    ASSERT_EQ(f.Load("{\".hidden\":1,\"shown\":2}"), 1);
    DictionaryItem* item = nullptr;
    Dictionary_ItemFindByKey(f.Root(), "hidden", nullptr, &item);
    ASSERT_NE(item, nullptr);
    uint32_t isPrivate = 0;
    EXPECT_EQ(Dictionary_ItemGetPrivate(f.Root(), item, &isPrivate), 1);
    EXPECT_EQ(f.Save(1), "{\".hidden\":1,\"shown\":2}");
    JSON_SetPrivateKeys(f.json, 0);
    EXPECT_EQ(f.Save(1), "{\"hidden\":1,\"shown\":2}");
}

struct Seen {
    std::vector<std::string> paths;
    std::string vetoPath;
};

int64_t Watch(JSON*, void* user, const char* path, uint32_t type, const char* value, int32_t length, uint64_t,
              int32_t, int32_t, uint32_t* error) {
    Seen* seen = static_cast<Seen*>(user);
    seen->paths.push_back(std::string(path) + "=" + std::to_string(type) + ":" +
                          std::string(value, (size_t)length));
    if (!seen->vetoPath.empty() && seen->vetoPath == path) {
        *error = 9;
        return 0;
    }
    return 1;
}

TEST(JsonTest, ValueCallbackPathsAndVeto) {
    Fixture f;
    Seen seen;
    JSON_SetValueCallback(f.json, &seen, Watch);
    ASSERT_EQ(f.Load("{\"a\":{\"b\":[5,7]}}"), 1);
    const std::vector<std::string> expected = {"=3:", "a=3:", "a\\b=4:", "a\\b\\0=2:5", "a\\b\\1=2:7"};
    EXPECT_EQ(seen.paths, expected);

    seen.paths.clear();
    seen.vetoPath = "a\\b\\0";
    EXPECT_EQ(f.Load("{\"a\":{\"b\":[5,7]}}"), 0);
    EXPECT_EQ(f.Error(), 9u);

    // Without a Dictionary the callback alone sees the values.
    JSON* bare = nullptr;
    JSON_Create(&bare);
    Seen only;
    JSON_SetValueCallback(bare, &only, Watch);
    EXPECT_EQ(JSON_LoadString(bare, "[%d,\"%s\"]", 3, "x"), 1);
    EXPECT_EQ(only.paths, (std::vector<std::string>{"=4:", "0=2:3", "1=1:x"}));
    JSON_Delete(&bare);

    char part[16];
    EXPECT_EQ(JSON_GetKeyByDepth("a\\b\\1", 1, part, sizeof(part)), 1);
    EXPECT_STREQ(part, "b");
    EXPECT_EQ(JSON_GetKeyByDepth("a\\b\\1", 2, part, sizeof(part)), 1);
    EXPECT_STREQ(part, "1");
    EXPECT_EQ(JSON_GetKeyByDepth("a\\b\\1", 3, part, sizeof(part)), 0);
    EXPECT_STREQ(part, "");
}

struct Raised {
    std::string path;
    uint32_t type = 0;
    std::string value;
    uint64_t streamPosition = 0;
    int32_t nodePosition = -1;
    int32_t nodeSize = -1;
    std::string pathNow;
};

int64_t Record(JSON* json, void* user, const char* path, uint32_t type, const char* value, int32_t length,
               uint64_t streamPosition, int32_t nodePosition, int32_t nodeSize, uint32_t*) {
    char now[1024];
    JSON_GetPath(json, now, sizeof(now));
    static_cast<std::vector<Raised>*>(user)->push_back(
        {path, type, std::string(value, (size_t)length), streamPosition, nodePosition, nodeSize, now});
    EXPECT_EQ(strlen(value), (size_t)length);
    return 1;
}

void PushText(JSON* json, uint32_t type, const char* text) {
    ASSERT_EQ(JSON_PushType(json, type, text[0]), 1);
    for (const char* p = text; *p; p++) ASSERT_EQ(JSON_BufferConcat(json, *p), 1);
    ASSERT_EQ(JSON_PopType(json), 1);
}

// The scanner's steps driven by hand build {"a":{"b":[5,7]}} with the same paths as a load.
TEST(JsonTest, ScannerStepsBuildADocument) {
    Fixture f;
    std::vector<Raised> raised;
    JSON_SetValueCallback(f.json, &raised, Record);
    char path[64];
    EXPECT_EQ(JSON_GetPath(f.json, path, sizeof(path)), 1);
    EXPECT_STREQ(path, "");

    ASSERT_EQ(JSON_PushType(f.json, JSON_VALUE_OBJECT, '{'), 1);
    PushText(f.json, JSON_VALUE_STRING, "a");
    ASSERT_EQ(JSON_PushType(f.json, JSON_VALUE_OBJECT, '{'), 1);
    PushText(f.json, JSON_VALUE_STRING, "b");
    ASSERT_EQ(JSON_PushType(f.json, JSON_VALUE_ARRAY, '['), 1);
    PushText(f.json, JSON_VALUE_NUMBER, "5");
    // 5 was completed and no comma followed.
    EXPECT_EQ(JSON_ValidateComma(f.json, '7'), 0);
    EXPECT_TRUE(Logged("Comma expected [7 @ 0:0]"));
    PushText(f.json, JSON_VALUE_NUMBER, "7");
    EXPECT_EQ(JSON_GetPath(f.json, path, sizeof(path)), 1);
    EXPECT_STREQ(path, "a\\b\\1");
    // Cut to the capacity.
    EXPECT_EQ(JSON_GetPath(f.json, path, 4), 1);
    EXPECT_STREQ(path, "a\\b");
    EXPECT_EQ(JSON_GetPath(f.json, path, 0), 0);

    ASSERT_EQ(JSON_PopType(f.json), 1);
    ASSERT_EQ(JSON_PopType(f.json), 1);
    ASSERT_EQ(JSON_PopType(f.json), 1);
    EXPECT_EQ(f.Error(), 0u);
    EXPECT_EQ(f.Save(1), "{\"a\":{\"b\":[5,7]}}");
    // Nothing is open any more.
    EXPECT_EQ(JSON_PopType(f.json), 0);
    EXPECT_EQ(f.Error(), 4u);

    std::vector<std::string> seen;
    for (const Raised& r : raised) {
        seen.push_back(r.path + "=" + std::to_string(r.type) + ":" + r.value);
        EXPECT_EQ(r.pathNow, r.path);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"=3:", "a=3:", "a\\b=4:", "a\\b\\0=2:5", "a\\b\\1=2:7"}));
}

TEST(JsonTest, ScannerStepsRaiseAndFlush) {
    Fixture f;
    std::vector<Raised> raised;
    JSON_SetValueCallback(f.json, &raised, Record);

    // The value buffer grows past its first allocation and stays terminated.
    ASSERT_EQ(JSON_PushType(f.json, JSON_VALUE_STRING, '"'), 1);
    const std::string long_text(1000, 'q');
    for (char c : long_text) ASSERT_EQ(JSON_BufferConcat(f.json, c), 1);
    EXPECT_EQ(JSON_ValidateComma(f.json, 'x'), 1);
    ASSERT_EQ(JSON_BufferFlush(f.json, JSON_VALUE_STRING), 1);
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0].value, long_text);
    EXPECT_EQ(raised[0].type, (uint32_t)JSON_VALUE_STRING);
    EXPECT_EQ(raised[0].streamPosition, 0u);
    EXPECT_EQ(raised[0].nodePosition, 1000);
    EXPECT_EQ(raised[0].nodeSize, 1000);
    uint32_t type = 0;
    DictionaryItem* item = nullptr;
    ASSERT_EQ(Dictionary_ItemGetFirst(f.dict, &item), 1);
    Dictionary_ItemGetType(f.dict, item, &type);
    EXPECT_EQ(type, (uint32_t)DICTIONARY_TYPE_STRING);
    // The flush completed a value: the buffer is empty and the next opening wants a comma.
    EXPECT_EQ(JSON_ValidateComma(f.json, 'x'), 0);
    ASSERT_EQ(JSON_BufferFlush(f.json, JSON_VALUE_STRING), 1);
    EXPECT_EQ(raised.back().value, "");

    // A value raised with its own path: the path, position, node position and size reach the
    // callback; the item is stored without a key at depth 0.
    JSON_Reset(f.json);
    raised.clear();
    ASSERT_EQ(JSON_RaiseValue(f.json, "x\\y", JSON_VALUE_NUMBER, "12", 2, 5), 1);
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0].path, "x\\y");
    EXPECT_EQ(raised[0].streamPosition, 5u);
    EXPECT_EQ(raised[0].nodePosition, 2);
    EXPECT_EQ(raised[0].nodeSize, 2);
    item = nullptr;
    ASSERT_EQ(Dictionary_ItemGetFirst(f.dict, &item), 1);
    Dictionary_ItemGetType(f.dict, item, &type);
    EXPECT_EQ(type, (uint32_t)DICTIONARY_TYPE_FLOAT64);
    EXPECT_EQ(f.Save(1), "12");

    // A veto stops with the callback's code.
    Seen seen;
    seen.vetoPath = "v";
    JSON_SetValueCallback(f.json, &seen, Watch);
    EXPECT_EQ(JSON_RaiseValue(f.json, "v", JSON_VALUE_NULL, "null", 4, 0), 0);
    EXPECT_EQ(f.Error(), 9u);
}

TEST(JsonTest, ScannerStepsRefuseBadOpenings) {
    Fixture f;
    EXPECT_EQ(JSON_PushType(f.json, 7, 'x'), 0);
    EXPECT_EQ(f.Error(), 3u);
    EXPECT_TRUE(Logged("Unknown type [7]"));

    JSON_Reset(f.json);
    for (int32_t n = 0; n < 31; n++) ASSERT_EQ(JSON_PushType(f.json, JSON_VALUE_ARRAY, '['), 1);
    EXPECT_EQ(JSON_PushType(f.json, JSON_VALUE_ARRAY, '['), 0);
    EXPECT_EQ(f.Error(), 4u);
    EXPECT_TRUE(Logged("Unknown field type [[ @ 0:0]"));

    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            JSON_PopType(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
}

TEST(JsonTest, StreamsAndSaving) {
    Fixture f;
    // A document longer than one read chunk, loaded through a stream and a buffered stream.
    std::string text = "[";
    for (int i = 0; i < 20000; i++) text += (i ? ",\"item" : "\"item") + std::to_string(i) + "\"";
    text += "]";
    for (int buffered = 0; buffered < 2; buffered++) {
        MemoryStream* ms = nullptr;
        MemoryStream_Create(&ms);
        MemoryStream_SetPointer(ms, text.data(), (uint32_t)text.size(), (uint32_t)text.size());
        Stream* stream = nullptr;
        MemoryStream_GetStreamHandle(ms, &stream);
        EXPECT_EQ(buffered ? JSON_LoadStreamBuffered(f.json, stream) : JSON_LoadStream(f.json, stream), 1);
        EXPECT_EQ(f.Save(1), text);
        MemoryStream_Delete(&ms);
    }
    // A refused document stores its code on the stream too.
    MemoryStream* ms = nullptr;
    MemoryStream_Create(&ms);
    uint32_t written = 0;
    MemoryStream_SetAutoGrow(ms, 1);
    ASSERT_EQ(MemoryStream_Write(ms, "[01]", 4, &written), 1);
    MemoryStream_Seek(ms, 0, (SeekOrigin)0);
    Stream* stream = nullptr;
    MemoryStream_GetStreamHandle(ms, &stream);
    EXPECT_EQ(JSON_LoadStream(f.json, stream), 0);
    EXPECT_EQ(Stream_GetLastError(stream), 6);
    MemoryStream_Delete(&ms);

    // An empty Dictionary writes nothing and answers 0; a too small buffer fails.
    Dictionary_Reset(f.dict);
    char small[4];
    uint32_t length = 7;
    EXPECT_EQ(JSON_SaveBuffer(f.json, small, sizeof(small), &length), 0);
    EXPECT_EQ(length, 0u);
    ASSERT_EQ(f.Load("{\"abcdef\":1}"), 1);
    EXPECT_EQ(JSON_SaveBuffer(f.json, small, sizeof(small), &length), 0);
    JSON_SetDictionaryHandle(f.json, nullptr);
    EXPECT_EQ(JSON_SaveBufferEstimate(f.json, &length), 0);
}

TEST(JsonTest, DeepDictionaryIsWrittenWithoutRecursion) {
    for (int32_t depth : {5000, 300}) {
        Fixture f;
        Dictionary* level = f.dict;
        for (int32_t i = 0; i < depth; i++) {
            Dictionary* child = nullptr;
            Dictionary_AddList(level, nullptr, &child, nullptr);
            level = child;
        }
        Dictionary_AddInt32(level, nullptr, 7, nullptr);
        EXPECT_EQ(f.Save(1), std::string((size_t)depth, '[') + "7" + std::string((size_t)depth, ']'));
        if (depth > 1000) continue;
        // Indented: level n opens at n*4 spaces (none at the top) and closes at the same indent.
        std::string expected;
        for (int32_t n = 0; n < depth; n++) expected += std::string((size_t)n * 4, ' ') + "[\n";
        expected += std::string((size_t)depth * 4, ' ') + "7\n";
        for (int32_t n = depth - 1; n >= 0; n--) expected += std::string((size_t)n * 4, ' ') + "]\n";
        EXPECT_EQ(f.Save(0), expected);
    }
}

TEST(JsonTest, Settings) {
    JSON* json = nullptr;
    JSON_Create(&json);
    uint32_t value = 0;
    JSON_GetMinify(json, &value);
    EXPECT_EQ(value, 1u);
    JSON_GetPrivateKeys(json, &value);
    EXPECT_EQ(value, 1u);
    Dictionary* dict = nullptr;
    EXPECT_EQ(JSON_GetDictionaryHandle(json, &dict), 0);
    JSON_SetLastError(json, 10);
    JSON_GetLastError(json, &value);
    EXPECT_EQ(value, 10u);
    JSON_Reset(json);
    JSON_GetLastError(json, &value);
    EXPECT_EQ(value, 0u);
    // Two references: the first release keeps the object, the second deletes it.
    JSON_AddRef(json);
    JSON* second = json;
    JSON_Release(&second);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(JSON_GetMinify(json, &value), 1);
    JSON_Release(&json);
    EXPECT_EQ(json, nullptr);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            JSON_LoadBuffer(nullptr, "1", 1);
        },
        AbortRegex("Pointer is NULL\n"));
}

} // namespace
