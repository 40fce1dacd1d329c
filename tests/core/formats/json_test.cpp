// Tests of the JSON reader and writer: round trips, the exact output layout, the tolerated and
// refused syntax with their error codes, keys, callbacks, paths and hostile input.
#include "core/formats/json.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "core/platform/memory_stream.h"
#include "core/runtime/dictionary.h"
#include "tests/support/printed_lines.h"

namespace {

struct Fixture {
    JSON* json = nullptr;
    Dictionary* dict = nullptr;
    std::vector<std::string> lines; // what the object printed
    Fixture() {
        JSON_Create(&json);
        Dictionary_Create(&dict);
        JSON_SetDictionaryHandle(json, dict);
        JSON_SetPrintCallback(json, &lines, KeepLine);
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
    // The text written with the given minify setting (none: the object's own).
    std::string Save(int32_t minify = -1) {
        if (minify >= 0) JSON_SetMinify(json, (uint32_t)minify);
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
    // The first item of the root: its key and its bytes.
    std::pair<std::string, std::string> FirstItem() {
        DictionaryItem* item = nullptr;
        Dictionary_ItemGetFirst(Root(), &item);
        const char* key = nullptr;
        const char* bytes = nullptr;
        int32_t length = 0;
        Dictionary_ItemGetKeyPtr(Root(), item, &key);
        Dictionary_ItemGetBufferPtr(Root(), item, &bytes, &length);
        return {key ? key : "", bytes ? std::string(bytes, (size_t)length) : ""};
    }
};

TEST(JsonTest, MinifiedDocumentsRoundTrip) {
    const char* cases[] = {
        "{\"a\":1}",
        "[1,\"x\",true,false,null,{},[]]",
        "{\"a\":{\"b\":[5,7]},\"c\":\"d\"}",
        "[-0.5,1e5,1E-7,1e+21,2.5e-06,-0,0.0,123456789012345678901234567890,0]",
        "{\"a\\\\b\":1,\"q\\\"\":\"\\\\\\\"\\b\\f\\n\\r\\t\"}",
        "[\"\\u00E9\\u4E2D\",\"\\uD83D\\uDE00\",\"\\u0000\\u0001\\u001F\"]",
        "{\"\":\"\",\"e\":[]}",
        "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]",
        "42",
        "\"top\"",
        "true",
    };
    for (const char* text : cases) {
        Fixture f, g;
        ASSERT_EQ(f.Load(text), 1) << text;
        EXPECT_EQ(f.Save(), text) << "a fresh object writes minified";
        ASSERT_EQ(g.Load(f.Save(0)), 1) << f.Save(0);
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
    // clang-format off
    const std::tuple<const char*, uint32_t, const char*> expects[] = {
        {"s", DICTIONARY_TYPE_STRING, "\xC3\xA9"}, {"n", DICTIONARY_TYPE_FLOAT64, "1e5"},
        {"t", DICTIONARY_TYPE_BOOLEAN, "true"}, {"f", DICTIONARY_TYPE_BOOLEAN, "false"},
        {"z", DICTIONARY_TYPE_NULL, "null"},
        {"l", DICTIONARY_TYPE_LIST, ""}, {"o", DICTIONARY_TYPE_DICTIONARY, ""}};
    // clang-format on
    for (const auto& [path, expectedType, expectedText] : expects) {
        Dictionary* holder = nullptr;
        DictionaryItem* item = nullptr;
        ASSERT_EQ(Dictionary_ItemFindByPath(f.Root(), path, &holder, &item), 1) << path;
        uint32_t type = 0;
        const char* bytes = nullptr;
        int32_t length = 0;
        Dictionary_ItemGetType(holder, item, &type);
        Dictionary_ItemGetBufferPtr(holder, item, &bytes, &length);
        EXPECT_EQ(std::pair(type, bytes ? std::string(bytes, (size_t)length) : ""),
                  std::pair(expectedType, std::string(expectedText)))
            << path;
    }
    // The surrogate pair becomes one four-byte character; an escaped backslash stays in the key.
    Fixture g;
    ASSERT_EQ(g.Load("{\"a\\\\b\":\"\\uD83D\\uDE00\"}"), 1);
    EXPECT_EQ(g.FirstItem(), (std::pair<std::string, std::string>{"a\\b", "\xF0\x9F\x98\x80"}));
}

// A number item in another reader's spelling (a YAML document's "+5" or "0x10") is written as the
// JSON number of its value; a text JSON takes as it is (1e999), any other without a finite value as null.
TEST(JsonTest, NumbersAreWrittenInJsonSpelling) {
    const char* spellings[] = {"+5", "1.e5", ".5e3", "-0x10", "5.", "0x10000000000000001",
                               "-.5", "007", "1e999", "nan", "2.5e-06", "-0"};
    Fixture f;
    ASSERT_EQ(f.Load("[0,0,0,0,0,0,0,0,0,0,0,0]"), 1);
    Dictionary* list = f.Root();
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(list, &item);
    for (const char* text : spellings) {
        ASSERT_NE(item, nullptr);
        ASSERT_EQ(Dictionary_ItemSetBuffer(list, item, text, (int32_t)strlen(text)), 1);
        Dictionary_ItemGetNext(list, item, &item);
    }
    EXPECT_EQ(f.Save(1), "[5,100000,500,-16,5,1.8446744073709552e+19,-0.5,7,1e999,null,2.5e-06,-0]");
}

TEST(JsonTest, ToleratedSyntax) {
    // text, minified, logged
    // clang-format off
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"{\"a\" 1}", "{\"a\":1}", ""}, {"[1 2]", "[1,2]", "Comma expected [2 @ 0:3]"},
        {"[1,]", "[1]", "Comma not expected [, @ 0:3]"}, {"[1,2}", "[1,2]", ""}, {"1 2 ", "1", ""},
        {" \r\n\t[ 1 , 2 ] x", "[1,2]", ""}};
    // clang-format on
    for (const auto& [text, minified, logged] : cases) {
        Fixture f;
        const int64_t loaded = f.Load(text);
        EXPECT_EQ(std::tuple(loaded, f.Error(), f.Save(1), HasLine(f.lines, logged)),
                  std::tuple(int64_t{1}, 0u, std::string(minified), true))
            << text;
    }
}

TEST(JsonTest, RefusedInputCodes) {
    // text, error code, logged
    // clang-format off
    const std::tuple<std::string, uint32_t, const char*> cases[] = {
        {"[01]", 6, "Unexpected character parsing integer [1 @ 0:2]"}, {"[1.,]", 6, ""}, {"[1e,]", 6, ""},
        {"[1.2.3]", 6, ""}, {"1e", 6, ""},
        // Only JSON's own number spellings: each of these read back as 0 or -0 before.
        {"[+5]", 6, "Unexpected character parsing integer [+ @ 0:1]"},
        {"[-]", 6, "Unexpected character parsing integer [] @ 0:2]"}, {"-", 6, ""}, {"[.5]", 6, ""},
        {"[-.5]", 6, ""}, {"[00]", 6, ""}, {"[-01]", 6, ""}, {"[1e.5]", 6, ""}, {"[1e+-5]", 6, ""}, {"[5.e1]", 6, ""},
        // Nothing after the exponent's digits but the number's end.
        {"[1e5.5]", 6, "Unexpected character parsing integer [. @ 0:4]"}, {"[1e5e5]", 6, ""}, {"[1E-5.0]", 6, ""},
        {"{\"a\":2e5.5}", 6, ""},
        {"[trux]", 7, "Unexpected characters parsing boolean [trux @ 0:4]"},
        {"[tru]", 7, ""}, {"tru", 7, ""}, {"[nul1]", 8, "Unexpected characters parsing null [nul @ 0:4]"},
        {"[", 4, "Unexpected end of input"}, {"{\"a\":", 4, ""}, {"{\"a\":[1,2", 4, ""},
        {"\"abc", 5, "Unexpected end of input in string"},
        {"[\"\\x\"]", 5, "Unexpected escape character in string [x @ 0:3]"},
        {"[\"\\u12G4\"]", 5, "Unexpected unicode hex characters [12G4 @ 0:7]"},
        {"[\"\\uDE00\"]", 5, ""}, {"[\"\\uD83D\"]", 5, ""}, {"[\"\\uD83Dx\"]", 5, ""},
        {"[\"\xFF\"]", 5, "Invalid UTF-8 in string"}, {"[\"\xC0\xAF\"]", 5, ""},
        {"[\"\xED\xA0\x80\"]", 5, ""},
        {std::string("[\"a\0b\"]", 7), 5, "Unexpected NUL character in string"},
        {"]", 4, "Unknown field type [] @ 0:0]"}, {"@", 4, "Unknown field type [@ @ 0:0]"},
        {"{\"a\"}", 4, ""},
        {"{\"a\",\"b\":1}", 4, ""}, {"{[1]:2}", 4, ""}, {"   ", 4, ""}, {std::string(32, '['), 4, ""},
        {"", 1, ""}};
    // clang-format on
    for (const auto& [text, code, logged] : cases) {
        Fixture f;
        const int64_t loaded = f.Load(text);
        EXPECT_EQ(std::tuple(loaded, f.Error(), HasLine(f.lines, logged)), std::tuple(int64_t{0}, code, true))
            << text;
    }
    EXPECT_STREQ(JSON_TranslateError(6), "Integer");
    EXPECT_STREQ(JSON_TranslateError(12), "Unknown");
}

// A string wholly in view is taken in one step once its bytes are checked: a bad UTF-8 byte is
// refused wherever it stands in the string, also within the first 16 bytes that are looked at
// together, in a value and in a key, before and after the closing quote's block.
TEST(JsonTest, InvalidUtf8IsRefusedAnywhereInALongDocument) {
    const std::string pad = ",\"pad\":\"" + std::string(40, 'p') + "\"}";
    const std::string bad[] = {"\xFF", "\xC0\xAF", "\xED\xA0\x80", "\xE2\x82", "\x80"};
    for (const std::string& b : bad) {
        for (size_t at : {0, 1, 7, 14, 15, 16, 30}) {
            const std::string text = "a" + std::string(at, 'a') + b + "z";
            for (const std::string& doc : {"{\"k\":\"" + text + "\"" + pad, "{\"" + text + "\":1" + pad}) {
                Fixture f;
                const int64_t loaded = f.Load(doc);
                EXPECT_EQ(std::pair(loaded, f.Error()), std::pair(int64_t{0}, 5u)) << doc;
                EXPECT_TRUE(HasLine(f.lines, "Invalid UTF-8 in string")) << doc;
            }
        }
    }
    // The same places with valid characters load.
    Fixture f;
    ASSERT_EQ(f.Load("{\"k\":\"a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z\"" + pad), 1);
    EXPECT_EQ(f.FirstItem(), (std::pair<std::string, std::string>{"k", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z"}));
}

TEST(JsonTest, DepthAndKeyLimits) {
    Fixture f;
    EXPECT_EQ(f.Load(std::string(31, '[') + std::string(31, ']')), 1);
    // Far deeper than the limit: refused at the 32nd bracket, without recursion.
    std::string deepObjects;
    for (int i = 0; i < 100000; i++) deepObjects += "{\"a\":";
    for (const std::string& deep : {std::string(100000, '[') + std::string(100000, ']'), deepObjects}) {
        const int64_t loaded = f.Load(deep);
        EXPECT_EQ(std::pair(loaded, f.Error()), std::pair(int64_t{0}, 4u));
    }
    // 318 characters load (the Dictionary then cuts keys to 119); 319 stop with an error.
    EXPECT_EQ(f.Load("{\"" + std::string(318, 'k') + "\":1}"), 1);
    EXPECT_EQ(f.Error(), 0u) << "a load starts with no error";
    EXPECT_EQ(f.FirstItem().first, std::string(119, 'k'));
    EXPECT_EQ(f.Load("{\"" + std::string(319, 'k') + "\":1}"), 0);
    EXPECT_EQ(f.Error(), 5u);
    EXPECT_TRUE(HasLine(f.lines, "Key exceeds maximum length [319 > 318 @ 0:321]"));
    // Huge numbers keep their text, also where a number ends the input; a value may be as long as
    // memory allows.
    const std::string digits = "-" + std::string(100000, '9') + ".5e+99999";
    for (const std::string& text : {"[" + digits + "]", digits, "[\"" + std::string(300000, 'v') + "\"]"})
        EXPECT_EQ(f.Load(text) ? f.Save(1) : "refused", text);
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

// What a value callback saw ("path=type:value" per value, the path the scanner reports at that
// moment, the positions); a vetoed path stops the load with 9.
struct Seen {
    std::vector<std::string> Values;
    std::string VetoPath;
    std::vector<std::string> PathNow;
    std::vector<std::string> Positions; // "stream,node position,node size"
};

int64_t Watch(JSON* json, void* user, const char* path, uint32_t type, const char* value, int32_t length,
              uint64_t streamPosition, int32_t nodePosition, int32_t nodeSize, uint32_t* error) {
    Seen* seen = static_cast<Seen*>(user);
    seen->Values.push_back(std::string(path) + "=" + std::to_string(type) + ":" +
                           std::string(value, (size_t)length));
    char now[1024];
    JSON_GetPath(json, now, sizeof(now));
    seen->PathNow.push_back(now);
    seen->Positions.push_back(std::to_string(streamPosition) + "," + std::to_string(nodePosition) + "," +
                              std::to_string(nodeSize));
    EXPECT_EQ(strlen(value), (size_t)length);
    if (seen->VetoPath.empty() || seen->VetoPath != path) return 1;
    *error = 9;
    return 0;
}

TEST(JsonTest, ValueCallbackPathsAndVeto) {
    const std::vector<std::string> expected = {"=3:", "a=3:", "a\\b=4:", "a\\b\\0=2:5", "a\\b\\1=2:7"};
    Fixture f;
    Seen seen;
    JSON_SetValueCallback(f.json, &seen, Watch);
    ASSERT_EQ(f.Load("{\"a\":{\"b\":[5,7]}}"), 1);
    EXPECT_EQ(seen.Values, expected);
    seen.VetoPath = "a\\b\\0";
    EXPECT_EQ(f.Load("{\"a\":{\"b\":[5,7]}}"), 0);
    EXPECT_EQ(f.Error(), 9u);

    // Without a Dictionary the callback alone sees the values.
    JSON* bare = nullptr;
    JSON_Create(&bare);
    Seen only;
    JSON_SetValueCallback(bare, &only, Watch);
    EXPECT_EQ(JSON_LoadString(bare, "[%d,\"%s\"]", 3, "x"), 1);
    EXPECT_EQ(only.Values, (std::vector<std::string>{"=4:", "0=2:3", "1=1:x"}));
    JSON_Delete(&bare);

    // The path's components by depth.
    char part[16];
    EXPECT_EQ(JSON_GetKeyByDepth("a\\b\\1", 1, part, sizeof(part)), 1);
    EXPECT_STREQ(part, "b");
    EXPECT_EQ(JSON_GetKeyByDepth("a\\b\\1", 2, part, sizeof(part)), 1);
    EXPECT_STREQ(part, "1");
    EXPECT_EQ(JSON_GetKeyByDepth("a\\b\\1", 3, part, sizeof(part)), 0);
    EXPECT_STREQ(part, "");
}

// Paths after containers close, across array elements and sibling keys.
TEST(JsonTest, ValueCallbackPathsAcrossSiblings) {
    Fixture f;
    Seen seen;
    JSON_SetValueCallback(f.json, &seen, Watch);
    ASSERT_EQ(f.Load("{\"a\":{\"b\":1},\"c\":[{\"d\":2},{\"e\":3}],\"f\":[[4],5],\"g\":6}"), 1);
    const std::vector<std::string> expected = {
        "=3:",         "a=3:", "a\\b=2:1", "c=4:",        "c\\0=3:",  "c\\0\\d=2:2", "c\\1=3:",
        "c\\1\\e=2:3", "f=4:", "f\\0=4:",  "f\\0\\0=2:4", "f\\1=2:5", "g=2:6"};
    EXPECT_EQ(seen.Values, expected);
    std::vector<std::string> now;
    for (const std::string& value : expected) now.push_back(value.substr(0, value.find('=')));
    EXPECT_EQ(seen.PathNow, now);
}

void PushText(JSON* json, uint32_t type, const char* text) {
    ASSERT_EQ(JSON_PushType(json, type, text[0]), 1);
    for (const char* p = text; *p; p++) ASSERT_EQ(JSON_BufferConcat(json, *p), 1);
    ASSERT_EQ(JSON_PopType(json), 1);
}

// The scanner's steps driven by hand build {"a":{"b":[5,7]}} with the same paths as a load.
TEST(JsonTest, ScannerStepsBuildADocument) {
    Fixture f;
    Seen seen;
    JSON_SetValueCallback(f.json, &seen, Watch);
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
    EXPECT_TRUE(HasLine(f.lines, "Comma expected [7 @ 0:0]"));
    PushText(f.json, JSON_VALUE_NUMBER, "7");
    EXPECT_EQ(JSON_GetPath(f.json, path, sizeof(path)), 1);
    EXPECT_STREQ(path, "a\\b\\1");
    EXPECT_EQ(JSON_GetPath(f.json, path, 4), 1);
    EXPECT_STREQ(path, "a\\b");
    EXPECT_EQ(JSON_GetPath(f.json, path, 0), 0);
    for (int i = 0; i < 3; i++) ASSERT_EQ(JSON_PopType(f.json), 1);
    EXPECT_EQ(f.Error(), 0u);
    EXPECT_EQ(f.Save(1), "{\"a\":{\"b\":[5,7]}}");
    // Nothing is open any more.
    EXPECT_EQ(JSON_PopType(f.json), 0);
    EXPECT_EQ(f.Error(), 4u);
    EXPECT_EQ(seen.Values,
              (std::vector<std::string>{"=3:", "a=3:", "a\\b=4:", "a\\b\\0=2:5", "a\\b\\1=2:7"}));
    EXPECT_EQ(seen.PathNow, (std::vector<std::string>{"", "a", "a\\b", "a\\b\\0", "a\\b\\1"}));
}

TEST(JsonTest, ScannerStepsRaiseAndFlush) {
    Fixture f;
    Seen seen;
    JSON_SetValueCallback(f.json, &seen, Watch);
    // The value buffer grows past its first allocation and stays terminated.
    ASSERT_EQ(JSON_PushType(f.json, JSON_VALUE_STRING, '"'), 1);
    const std::string longText(1000, 'q');
    for (char c : longText) ASSERT_EQ(JSON_BufferConcat(f.json, c), 1);
    EXPECT_EQ(JSON_ValidateComma(f.json, 'x'), 1);
    ASSERT_EQ(JSON_BufferFlush(f.json, JSON_VALUE_STRING), 1);
    EXPECT_EQ(seen.Values, std::vector<std::string>{"=1:" + longText});
    EXPECT_EQ(seen.Positions, std::vector<std::string>{"0,1000,1000"});
    EXPECT_EQ(f.Save(1), "\"" + longText + "\"");
    // The flush completed a value: the buffer is empty and the next opening wants a comma.
    EXPECT_EQ(JSON_ValidateComma(f.json, 'x'), 0);
    ASSERT_EQ(JSON_BufferFlush(f.json, JSON_VALUE_STRING), 1);
    EXPECT_EQ(seen.Values.back(), "=1:");

    // A value raised with its own path: the path, position, node position and size reach the
    // callback; the item is stored without a key at depth 0.
    JSON_Reset(f.json);
    seen = Seen{};
    ASSERT_EQ(JSON_RaiseValue(f.json, "x\\y", JSON_VALUE_NUMBER, "12", 2, 5), 1);
    EXPECT_EQ(seen.Values, std::vector<std::string>{"x\\y=2:12"});
    EXPECT_EQ(seen.Positions, std::vector<std::string>{"5,2,2"});
    EXPECT_EQ(f.Save(1), "12");
    // A veto stops with the callback's code.
    seen.VetoPath = "v";
    EXPECT_EQ(JSON_RaiseValue(f.json, "v", JSON_VALUE_NULL, "null", 4, 0), 0);
    EXPECT_EQ(f.Error(), 9u);
}

TEST(JsonTest, ScannerStepsRefuseBadOpenings) {
    Fixture f;
    EXPECT_EQ(JSON_PushType(f.json, 7, 'x'), 0);
    EXPECT_EQ(f.Error(), 3u);
    EXPECT_TRUE(HasLine(f.lines, "Unknown type [7]"));
    JSON_Reset(f.json);
    EXPECT_EQ(f.Error(), 0u);
    for (int32_t n = 0; n < 31; n++) ASSERT_EQ(JSON_PushType(f.json, JSON_VALUE_ARRAY, '['), 1);
    EXPECT_EQ(JSON_PushType(f.json, JSON_VALUE_ARRAY, '['), 0);
    EXPECT_EQ(f.Error(), 4u);
    EXPECT_TRUE(HasLine(f.lines, "Unknown field type [[ @ 0:0]"));
}

TEST(JsonTest, StreamsAndSaving) {
    Fixture f;
    // A document longer than one read chunk, loaded through a stream and a buffered stream; a
    // refused document stores its code on the stream too.
    std::string text = "[\"item0\"";
    for (int i = 1; i < 20000; i++) text += ",\"item" + std::to_string(i) + "\"";
    text += "]";
    auto load = [&](const std::string& document, int buffered) {
        MemoryStream* ms = nullptr;
        MemoryStream_Create(&ms);
        MemoryStream_SetPointer(ms, const_cast<char*>(document.data()), (uint32_t)document.size(),
                                (uint32_t)document.size());
        Stream* stream = nullptr;
        MemoryStream_GetStreamHandle(ms, &stream);
        const int64_t loaded =
            buffered ? JSON_LoadStreamBuffered(f.json, stream) : JSON_LoadStream(f.json, stream);
        const int64_t error = Stream_GetLastError(stream);
        MemoryStream_Delete(&ms);
        return std::pair{loaded, error};
    };
    for (int buffered = 0; buffered < 2; buffered++) {
        EXPECT_EQ(load(text, buffered).first, 1) << buffered;
        EXPECT_EQ(f.Save(1), text) << buffered;
        EXPECT_EQ(load("[01]", buffered), (std::pair<int64_t, int64_t>{0, 6})) << buffered;
    }
    // An empty Dictionary writes nothing and answers 0; a too small buffer fails; no Dictionary,
    // no estimate.
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

// Every escape at every offset of a string, across the word-wide scan of plain runs; a key stored
// with a NUL ends there; a string longer than the writer's block goes out whole.
TEST(JsonTest, EscapesWhereverTheyFall) {
    struct Special {
        const char* Raw;
        const char* Written;
    };
    const Special specials[] = {
        {"\"", "\\\""}, {"\\", "\\\\"}, {"\x01", "\\u0001"}, {"\n", "\\n"}, {"\x7F", "\x7F"},
        {"\xC3\xA9", "\\u00E9"}, {"\xF0\x9F\x98\x80", "\\uD83D\\uDE00"}, {"\xFF", "\xFF"},
    };
    for (const Special& special : specials) {
        for (size_t at = 0; at <= 18; at++) {
            const std::string raw = std::string(at, 'a') + special.Raw + std::string(18 - at, 'b');
            Fixture f;
            Dictionary_AddString(f.dict, nullptr, raw.c_str(), nullptr);
            EXPECT_EQ(f.Save(1), "\"" + std::string(at, 'a') + special.Written + std::string(18 - at, 'b') + "\"")
                << special.Written << at;
        }
    }
    Fixture f;
    Dictionary* root = nullptr;
    Dictionary_AddDictionary(f.dict, nullptr, &root, nullptr);
    DictionaryItem* item = nullptr;
    Dictionary_AddInt32(root, "x", 1, &item);
    Dictionary_ItemSetKeyLength(root, item, "ab\0cd", 5);
    const std::string big(100000, 'z');
    Dictionary_AddString(root, "big", big.c_str(), nullptr);
    EXPECT_EQ(f.Save(1), "{\"ab\":1,\"big\":\"" + big + "\"}");
}

} // namespace
