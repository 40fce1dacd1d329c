#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/formats/json.h"
#include "core/formats/json_internal.h"
#include "core/formats/json_simd.h"
#include "core/runtime/dictionary.h"

namespace {

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

// Loads `text` placed `offset` bytes into a buffer, so that the word-at-a-time scan of string
// runs meets every alignment; the value of key "k" as stored.
bool LoadValue(const std::string& text, size_t offset, std::string* value) {
    std::vector<char> buffer(offset + text.size() + 1);
    memcpy(buffer.data() + offset, text.data(), text.size());
    JSON* json = nullptr;
    Dictionary* dict = nullptr;
    JSON_Create(&json);
    Dictionary_Create(&dict);
    Dictionary_SetPrintCallback(dict, nullptr, Quiet);
    JSON_SetDictionaryHandle(json, dict);
    const bool ok = JSON_LoadBuffer(json, buffer.data() + offset, (uint32_t)text.size()) != 0;
    const char* bytes = nullptr;
    int32_t length = 0;
    Dictionary* root = nullptr;
    Dictionary_SkipRoot(dict, &root);
    if (ok && Dictionary_GetBufferPtrByPath(root, "k", &bytes, &length)) value->assign(bytes, (size_t)length);
    JSON_Delete(&json);
    Dictionary_Release(&dict);
    return ok;
}

// Every vector engine the processor has, then the byte-wise one; the best is put back after.
class JsonEngines : public ::testing::TestWithParam<int32_t> {
  protected:
    void SetUp() override {
        if (JsonSimd_Select(GetParam()) != GetParam()) GTEST_SKIP() << "engine not available";
    }
    void TearDown() override { JsonSimd_Select(JSON_SIMD_AVX2); }
};

// Plain runs of every length up to 40, each with a stop byte (quote escape, backslash escape,
// UTF-8, control escape) at every position, against the text they must decode to.
TEST_P(JsonEngines, StringRunsAtEveryLengthAndAlignment) {
    const struct {
        const char* Encoded;
        const char* Decoded;
    } stops[] = {{"", ""}, {"\\\"", "\""}, {"\\\\", "\\"}, {"\xC3\xA9", "\xC3\xA9"}, {"\\n", "\n"},
                 {"\\u0041", "A"}, {"\\/", "/"}};
    for (const auto& stop : stops) {
        for (size_t length = 0; length <= 40; length++) {
            for (size_t at = 0; at <= length; at++) {
                std::string plain;
                for (size_t i = 0; i < length; i++) plain += (char)('a' + (i * 7) % 26);
                const std::string encoded = plain.substr(0, at) + stop.Encoded + plain.substr(at);
                const std::string decoded = plain.substr(0, at) + stop.Decoded + plain.substr(at);
                const std::string text = "{\"k\":\"" + encoded + "\",\"z\":1}";
                for (size_t offset = 0; offset < 8; offset++) {
                    std::string value;
                    ASSERT_TRUE(LoadValue(text, offset, &value)) << text;
                    ASSERT_EQ(value, decoded) << text << " @" << offset;
                }
            }
        }
    }
}

// A NUL inside a string still stops the run where the byte-wise scan stopped.
TEST_P(JsonEngines, NulInsideAStringRunIsNotSkipped) {
    for (size_t at = 0; at < 20; at++) {
        std::string text = "{\"k\":\"" + std::string(20, 'x') + "\"}";
        text[6 + at] = '\0';
        std::string value;
        const bool loaded = LoadValue(text, 0, &value);
        // The outcome must not depend on the alignment.
        for (size_t offset = 0; offset < 8; offset++) {
            std::string other;
            EXPECT_EQ(LoadValue(text, offset, &other), loaded) << at;
            EXPECT_EQ(other, value) << at;
        }
    }
}

// What a load leaves: its result, error code, printed lines and the stored document.
struct Outcome {
    bool Ok;
    uint32_t Error;
    std::vector<std::string> Lines;
    std::string Saved;
};

int64_t Collect(void* user, const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    // Without the "<class>.<id> - " head, which names the object.
    const char* text = strstr(line, " - ");
    static_cast<Outcome*>(user)->Lines.push_back(text ? text + 3 : line);
    return 1;
}

int64_t PassThrough(JSON*, void*, const char*, uint32_t, const char*, int32_t, uint64_t, int32_t, int32_t,
                    uint32_t*) {
    return 1;
}

// A reader storing into a new dictionary, both printing into the outcome's lines.
JSON* Open(Outcome& out, Dictionary** dict) {
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetPrintCallback(json, &out, Collect);
    Dictionary_Create(dict);
    Dictionary_SetPrintCallback(*dict, &out, Collect);
    JSON_SetDictionaryHandle(json, *dict);
    return json;
}

// What was stored, saved minified into the outcome; then both are freed.
void SaveAndClose(Outcome& out, const std::string& text, JSON* json, Dictionary* dict) {
    std::vector<char> saved(text.size() * 4 + 64);
    uint32_t length = 0;
    JSON_SetMinify(json, 1);
    if (JSON_SaveBuffer(json, saved.data(), (uint32_t)saved.size(), &length)) out.Saved.assign(saved.data(), length);
    JSON_Delete(&json);
    Dictionary_Release(&dict);
}

// With a value callback every scalar goes through the value buffer; without one, a scalar wholly
// in view is stored straight from the input.
Outcome Load(const std::string& text, bool buffered) {
    Outcome out{};
    Dictionary* dict = nullptr;
    JSON* json = Open(out, &dict);
    if (buffered) JSON_SetValueCallback(json, nullptr, PassThrough);
    out.Ok = JSON_LoadBuffer(json, text.data(), (uint32_t)text.size()) != 0;
    JSON_GetLastError(json, &out.Error);
    SaveAndClose(out, text, json, dict);
    return out;
}

TEST_P(JsonEngines, DirectAndBufferedStoresAgree) {
    const std::string longKey(400, 'k');
    const std::string documents[] = {
        "{\"a\":1,\"b\":-0.5e+3,\"c\":\"x\",\"d\":[true,false,null,\"\"],\"e\":{}}",
        "[1,2,3,-0,00,+1,.5,-.5,1e5.3,1E-2]",
        "[01]",
        "[1.]",
        "[1e]",
        "[-]",
        "{\"k\":\"caf\xC3\xA9\",\"bad\":\"\xC3\"}",
        "{\"#private\":\"p\",\".dot\":2}",
        "{\"" + longKey + "\":1}",
        "{\"" + std::string(150, 'q') + "\":1}",
        "{\"dup\":1,\"dup\":2}",
        "{\"n\\nl\":1,\"e\\u0000x\":2}",
        "  [ \"a\" ,\t\"b\"\r\n, 3 ]  ",
        "42",
        "\"top\"",
        "[\"unterminated",
        "{\"a\" 1}",
        "{\"k\":\"\\ud83d\\ude00\"}",
    };
    for (const std::string& text : documents) {
        const Outcome direct = Load(text, false);
        const Outcome buffered = Load(text, true);
        EXPECT_EQ(direct.Ok, buffered.Ok) << text;
        EXPECT_EQ(direct.Error, buffered.Error) << text;
        EXPECT_EQ(direct.Lines, buffered.Lines) << text;
        EXPECT_EQ(direct.Saved, buffered.Saved) << text;
    }
    // Known answers for a few, so that the agreement is not agreement in error.
    EXPECT_EQ(Load("{\"a\":1,\"s\":\"x y\",\"l\":[2.5e1,true]}", false).Saved,
              "{\"a\":1,\"s\":\"x y\",\"l\":[2.5e1,true]}");
    EXPECT_FALSE(Load("[01]", false).Ok);
    // Escapes decoded at once move line and column as the byte-wise scan does: a \n escape starts
    // a line at its letter.
    EXPECT_EQ(Load("[\"a\\nb\",x]", false).Lines, std::vector<std::string>{"Unknown field type [x @ 1:4]\n"});
    EXPECT_EQ(Load("[\"\\u00e9\\ud83d\\ude00\\t\",x]", false).Lines,
              std::vector<std::string>{"Unknown field type [x @ 0:24]\n"});
    EXPECT_EQ(Load("{\"k\":\"\\u00e9\\ud83d\\ude00\\t\\\"\"}", false).Saved, "{\"k\":\"\\u00E9\\uD83D\\uDE00\\t\\\"\"}");
    EXPECT_FALSE(Load("{\"bad\":\"\xC3\"}", false).Ok);
}

int64_t Record(JSON*, void* user, const char* path, uint32_t type, const char* value, int32_t length, uint64_t position,
               int32_t, int32_t, uint32_t*) {
    static_cast<Outcome*>(user)->Lines.push_back(std::string(path) + "|" + std::to_string(type) + "|" +
                                                 std::string(value, (size_t)length) + "|" + std::to_string(position));
    return 1;
}

// The text scanned in one run (whole tokens are taken at once) or one byte per run (every value
// is continued across runs by the byte-wise path); with a recording callback or storing directly.
Outcome Scan(const std::string& text, bool bytewise, bool callback) {
    Outcome out{};
    Dictionary* dict = nullptr;
    JSON* json = Open(out, &dict);
    if (callback) JSON_SetValueCallback(json, &out, Record);
    JSON_Reset(json);
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    if (bytewise) {
        for (size_t i = 0; i < text.size(); i++) JSON_ScanBytes(json, bytes + i, 1);
    } else {
        JSON_ScanBytes(json, bytes, (uint32_t)text.size());
    }
    JSON_ScanFinish(json);
    JSON_GetLastError(json, &out.Error);
    out.Ok = out.Error == 0;
    SaveAndClose(out, text, json, dict);
    return out;
}

TEST_P(JsonEngines, WholeTokensAndByteWiseScansAgree) {
    const std::string run(24, 'r');
    const std::string documents[] = {
        "{\"a\":{\"b\":[1,{\"c\":null},-12,0,3.5e-2,true,false,\"s\"]},\"d\":[]}",
        "\n\t [ 1 , 2 ,\r\n\"x\" ]\n",
        "[1 2]",
        "[1,]",
        "{\"a\":1,,\"b\":2}",
        "{,}",
        "{\"a\":tru}",
        "[nulx]",
        "[truefalse]",
        "[-]",
        "[1.]",
        "[-0,00,+1,.5,12345678901234567890,1e+5,-7E-1]",
        "[12a]",
        "{\"a\":\"x\\q\"}",
        "{\"k\":\"\\n\xC3\"}",
        "{\"k\":\"\\t\xC3\xA9\"}",
        "{\"k\":\"\\u00e9\xFF\"}",
        "[\"" + run + "\xFF\"]",
        "[\"" + run + "\xE2\x82\xAC" + run + "\"]",
        "[\"" + run + "\\n" + run + "\"]",
        "{\"a\\u0000b\":{\"c\":1},\"d\":2}",
        "{1:2,true:null,\"k\":3}",
        "]",
        "[[[]]]]",
        "{\"a\":[1,2]}x",
        "{\"a\":\"\\ud83d\\ude00\",\"b\":\"\\ud83dx\"}",
        "[\"a\",\"b\"",
        "[1, 2, 3",
    };
    for (const std::string& text : documents) {
        for (const bool callback : {false, true}) {
            const Outcome whole = Scan(text, false, callback);
            const Outcome bytewise = Scan(text, true, callback);
            EXPECT_EQ(whole.Ok, bytewise.Ok) << text << callback;
            EXPECT_EQ(whole.Error, bytewise.Error) << text << callback;
            EXPECT_EQ(whole.Lines, bytewise.Lines) << text << callback;
            EXPECT_EQ(whole.Saved, bytewise.Saved) << text << callback;
        }
    }
    // Known answers, so that the agreement is not agreement in error.
    EXPECT_EQ(Scan("[1 2]", false, false).Lines, std::vector<std::string>{"Comma expected [2 @ 0:3]\n"});
    // A literal is raised from its first character, wherever the input was cut.
    EXPECT_EQ(Scan("[true,null]", true, true).Lines,
              (std::vector<std::string>{"|4||0", "0|5|true|1", "1|6|null|6"}));
    EXPECT_EQ(Scan("{\"a\":tru}", false, false).Error, (uint32_t)JSON_ERROR_BOOLEAN);
    EXPECT_EQ(Scan("[12a]", false, false).Error, (uint32_t)JSON_ERROR_FIELD_TYPE);
    // UTF-8 is checked in a string that also holds escapes, and passes where it is valid.
    EXPECT_EQ(Scan("{\"k\":\"\\n\xC3\"}", false, false).Error, (uint32_t)JSON_ERROR_STRING);
    EXPECT_EQ(Scan("{\"k\":\"\\u00e9\xFF\"}", false, false).Error, (uint32_t)JSON_ERROR_STRING);
    EXPECT_EQ(Scan("[\"" + run + "\xFF\"]", false, false).Error, (uint32_t)JSON_ERROR_STRING);
    EXPECT_EQ(Scan("{\"k\":\"\\t\xC3\xA9\"}", false, false).Saved, "{\"k\":\"\\t\\u00E9\"}");
    // A key holding a NUL (from a \u0000 escape) is refused where it ends: cut at the NUL it
    // could stand for another key of the object. Values keep their NULs.
    struct NulKey {
        std::string Text;
        std::string Line;
    };
    const NulKey nulKeys[] = {
        {"{\"a\\u0000b\":{\"c\":1},\"d\":2}", "Key holds a NUL character [a @ 0:10]\n"},
        {"{\"foo\":1,\"foo\\u0000bar\":42}", "Key holds a NUL character [foo @ 0:22]\n"},
        {"{\"x\":{\"\\u0000\":1}}", "Key holds a NUL character [ @ 0:13]\n"},
    };
    for (const NulKey& c : nulKeys)
        for (const bool bytewise : {false, true}) {
            const Outcome o = Scan(c.Text, bytewise, false);
            EXPECT_FALSE(o.Ok) << c.Text;
            EXPECT_EQ(o.Error, (uint32_t)JSON_ERROR_STRING) << c.Text;
            EXPECT_EQ(o.Lines, std::vector<std::string>{c.Line}) << c.Text;
        }
    EXPECT_EQ(Scan("{\"k\":\"a\\u0000b\"}", false, false).Saved, "{\"k\":\"a\\u0000b\"}");
}

// Keys of every length around the short-copy bound, nested until the path is cut at 1023
// characters: each value's path is the keys joined so far, and a short key after a long one at
// the same level shows nothing of the long one.
TEST(JsonReaderPaths, LongAndShortKeysNestedPastThePathBound) {
    std::string text, joined;
    std::vector<std::string> expected;
    for (int level = 0; level < 30; level++) {
        const std::string key(26 + (level * 7) % 17, (char)('a' + level % 26));
        text += "{\"" + key + "\":";
        joined += (level ? "\\" : "") + key;
        expected.push_back(joined.substr(0, 1023));
    }
    ASSERT_GT(joined.size(), 1040u);
    text += "1";
    for (int level = 29; level >= 0; level--) text += ",\"z\":2}";
    Outcome out = Scan(text, false, true);
    ASSERT_TRUE(out.Ok);
    std::vector<std::string> paths;
    for (const std::string& line : out.Lines) paths.push_back(line.substr(0, line.find('|')));
    ASSERT_EQ(paths.size(), 1u + 30u + 30u);
    for (int level = 0; level < 29; level++) EXPECT_EQ(paths[1 + level], expected[level]) << level;
    // The innermost value, then each level's "z" beside the long key it follows.
    EXPECT_EQ(paths[30], expected[29]);
    for (int level = 29; level >= 0; level--) {
        const std::string parent = level ? expected[level - 1] + "\\" : "";
        EXPECT_EQ(paths[31 + (29 - level)], (parent + "z").substr(0, 1023)) << level;
    }
}

INSTANTIATE_TEST_SUITE_P(JsonReader, JsonEngines,
                         ::testing::Values(JSON_SIMD_SCALAR, JSON_SIMD_SSE2, JSON_SIMD_AVX2));

} // namespace
