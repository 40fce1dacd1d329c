#include "core/formats/base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "core/platform/memory_stream.h"

namespace {

using Coder = int64_t (*)(const void*, int32_t, char*, int32_t, uint32_t*);
using Decoder = int64_t (*)(const char*, int32_t, uint8_t*, int32_t, uint32_t*);

// Runs a coder into a buffer of the given capacity followed by a guard: the text written (its
// length as the coder counts it), the answer, whether a terminator follows, and nothing past the
// capacity.
struct Result {
    int64_t Answer;
    std::string Text;
    bool Terminated;
};
Result Encode(Coder coder, const std::string& in, int32_t capacity = 128) {
    std::vector<char> text((size_t)std::max(capacity, 0) + 8, 'X');
    uint32_t written = 77;
    const int64_t answer = coder(in.data(), (int32_t)in.size(), text.data(), capacity, &written);
    for (size_t i = (size_t)std::max(capacity, 0); i < text.size(); i++) EXPECT_EQ(text[i], 'X') << in;
    return {answer, std::string(text.data(), written), text[written] == 0};
}
Result Decode(Decoder decoder, const char* text, int32_t capacity = 128, int32_t length = -1) {
    std::vector<uint8_t> out((size_t)std::max(capacity, 0) + 8, 0xAA);
    uint32_t decoded = 99;
    const int64_t answer =
        decoder(text, length < 0 ? (int32_t)strlen(text) : length, out.data(), capacity, &decoded);
    for (size_t i = (size_t)std::max(capacity, 0); i < out.size(); i++) EXPECT_EQ(out[i], 0xAA) << text;
    return {answer, std::string(out.begin(), out.begin() + decoded), out[decoded] == 0};
}

TEST(Base64Test, Rfc4648Vectors) {
    // RFC 4648 section 10.
    const char* vectors[][2] = {{"", ""},
                                {"f", "Zg=="},
                                {"fo", "Zm8="},
                                {"foo", "Zm9v"},
                                {"foob", "Zm9vYg=="},
                                {"fooba", "Zm9vYmE="},
                                {"foobar", "Zm9vYmFy"}};
    for (auto& v : vectors) {
        const Result e = Encode(Base64_Encode, v[0]), d = Decode(Base64_Decode, v[1]);
        EXPECT_EQ(std::tuple(e.Answer, e.Text, e.Terminated), std::tuple(1, std::string(v[1]), true)) << v[0];
        EXPECT_EQ(std::tuple(d.Answer, d.Text, d.Terminated), std::tuple(1, std::string(v[0]), true)) << v[1];
    }
}

TEST(Base64Test, AllByteValuesRoundTrip) {
    std::string all;
    for (int32_t i = 0; i < 256; i++) all.push_back((char)i);
    const Result e = Encode(Base64_Encode, all, 400);
    EXPECT_EQ(e.Answer, 1);
    EXPECT_EQ(e.Text.size(), 344u);
    // The decoder reads up to the NUL: the length given is not used.
    const Result d = Decode(Base64_Decode, e.Text.c_str(), 300, 0);
    EXPECT_EQ(d.Answer, 1);
    EXPECT_EQ(d.Text, all);
}

TEST(Base64Test, EncodeCapacity) {
    // coder, bytes, capacity, answer, text, terminated
    // clang-format off
    const std::tuple<Coder, const char*, int32_t, int64_t, const char*, bool> cases[] = {
        {Base64_Encode, "abc", 5, 1, "YWJj", true},
        {Base64_Encode, "abc", 4, 1, "YWJj", false}, // all encoded, no room for the terminator
        {Base64_Encode, "abc", 3, 0, "", true}, {Base64_Encode, "abcd", 8, 1, "YWJjZA==", false},
        // Padding that does not fit is not dropped: the group is not begun and the answer is 0.
        {Base64_Encode, "abcd", 7, 0, "YWJj", true}, {Base64_Encode, "abcd", 6, 0, "YWJj", true},
        {Base64_Encode, "a", 3, 0, "", true}, {Base64_Encode, "", 1, 1, "", true},
        {Base64_Encode, "", 0, 1, "", false},
        {Base64_Encode, "abc", 0, 0, "", false}, {Base64_Encode, "abc", -5, 0, "", false},
        // The URL alphabet without padding: the exact room suffices.
        {Base64_UrlEncode, "\xFB", 3, 1, "-w", true}, {Base64_UrlEncode, "\xFB", 1, 0, "", true},
        {Base64_UrlEncode, "\xFF", 16, 1, "_w", true},
        {Base64_UrlEncode, "\xFB\xFF\xBF", 16, 1, "-_-_", true},
        {Base64_UrlEncode, "a", 16, 1, "YQ", true}, {Base64_UrlEncode, "ab", 16, 1, "YWI", true},
        {Base64_UrlEncode, "", 16, 1, "", true}};
    // clang-format on
    for (const auto& [coder, in, capacity, answer, text, terminated] : cases) {
        const Result e = Encode(coder, in, capacity);
        EXPECT_EQ(std::tuple(e.Answer, e.Text, e.Terminated),
                  std::tuple(answer, std::string(text), terminated))
            << in << " " << capacity;
    }
}

TEST(Base64Test, DecodeRefusesBadText) {
    const char* bad[] = {
        "YQ",          "YQ=",      "Y",        // ends inside a group
        "YW\nJj",      "YW Jj",    "YWJj\n",   // white space and line breaks
        "YW-j",        "YW_j",                 // the URL alphabet is not the standard one
        "Y===",        "====",     "YQ=j",     // padding in the wrong place
        "YQ==YWJj",    "YWI=YQ==", "YQ==\x01", // data after the padding
        "\xC3\xA9YWJ",                         // bytes outside ASCII
    };
    for (const char* text : bad) EXPECT_EQ(Decode(Base64_Decode, text).Answer, 0) << text;
    // What came before the bad group is still reported.
    const Result d = Decode(Base64_Decode, "YWJjYQ");
    EXPECT_EQ(d.Answer, 0);
    EXPECT_EQ(d.Text, "abc");
}

TEST(Base64Test, DecodeCapacity) {
    // Below 5 the decoder answers 0 at once; before each group, and before the end of the text,
    // fewer than capacity - 4 bytes must have been written.
    // clang-format off
    const std::tuple<const char*, int32_t, int64_t, const char*> cases[] = {
        {"YWJj", 0, 0, ""}, {"YWJj", 1, 0, ""}, {"YWJj", 4, 0, ""}, {"", 5, 1, ""}, {"YWJj", 8, 1, "abc"},
        {"YWJj", 7, 0, "abc"}, {"YWJjYWJj", 11, 1, "abcabc"}, {"YWJjYWJj", 10, 0, "abcabc"},
        {"YWJjYWJj", 7, 0, "abc"}};
    // clang-format on
    for (const auto& [text, capacity, answer, bytes] : cases) {
        const Result d = Decode(Base64_Decode, text, capacity);
        EXPECT_EQ(std::tuple(d.Answer, d.Text, d.Terminated),
                  std::tuple(answer, std::string(bytes), capacity >= 5))
            << text << " " << capacity;
    }
    // The size calculator leaves the room the decoder wants.
    const char* text = "Zm9vYmFyZm9vYmFyZm9vYmFy";
    uint32_t size = 0;
    EXPECT_EQ(Base64_CalculateDecodeSize((uint32_t)strlen(text), &size), 1);
    EXPECT_EQ(size, 28u);
    EXPECT_EQ(Decode(Base64_Decode, text, (int32_t)size).Answer, 1);
}

TEST(Base64Test, UrlDecode) {
    // clang-format off
    const std::tuple<const char*, int64_t, std::string> cases[] = {
        {"YQ", 1, "a"}, {"YWI", 1, "ab"}, {"YWJj", 1, "abc"}, {"-w", 1, "\xFB"}, {"_w", 1, "\xFF"},
        {"", 1, ""},
        {"YQ==", 1, "a"}, {"Y", 0, ""}, {"YWJjY", 0, ""}, {"Y!", 0, ""}};
    // clang-format on
    for (const auto& [text, answer, bytes] : cases) {
        const Result d = Decode(Base64_UrlDecode, text, 32);
        EXPECT_EQ(std::tuple(d.Answer, answer ? d.Text : bytes, answer ? d.Terminated : true),
                  std::tuple(answer, bytes, true))
            << text;
    }
    // The length bounds the text.
    const Result d = Decode(Base64_UrlDecode, "YWJjYQ", 16, 4);
    EXPECT_EQ(d.Answer, 1);
    EXPECT_EQ(d.Text, "abc");
}

TEST(Base64Test, SizeCalculators) {
    const std::pair<uint32_t, uint32_t> cases[] = {{0, 1}, {1, 5},   {2, 5},      {3, 5},
                                                   {4, 9}, {20, 29}, {1000, 1337}};
    uint32_t size = 7;
    for (const auto& [count, expected] : cases) {
        EXPECT_EQ(Base64_CalculateEncodeSize(count, &size), 1);
        EXPECT_EQ(size, expected) << count;
    }
    // A size beyond any 32-bit capacity is refused rather than wrapped.
    EXPECT_EQ(Base64_CalculateEncodeSize(0xFFFFFFFFu, &size), 0);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(Base64_CalculateDecodeSize(0, &size), 1);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(Base64_CalculateDecodeSize(7, &size), 1);
    EXPECT_EQ(size, 13u);
}

TEST(Base64Test, ExpandKeys) {
    const std::string hugeHex(2 * 4097, 'a');
    // name, argument, capacity, answer, value (null: not looked at)
    // clang-format off
    const std::tuple<const char*, const char*, int32_t, int64_t, const char*> cases[] = {
        {"ToBase64", "abc", 64, 1, "YWJj"}, {"base64encode", "ab", 64, 1, "YWI="},
        {"FromBase64", "YWJj", 64, 1, "abc"},
        {"BASE64DECODE", "YQ==", 64, 1, "a"},
        {"FromBase64", "YQ", 64, 1, ""}, // invalid text expands to nothing
        {"Base64ToHex", "+/8=", 64, 1, "FBFF"}, {"HexToBase64", "fbff", 64, 1, "+/8="},
        {"HexToBase64", "fbf", 64, 1, ""},
        {"HexToBase64", "zz", 64, 1, ""}, {"ToBase64Url", "\xFB\xFF", 64, 1, "-_8"},
        {"Base64UrlEncode", "a", 64, 1, "YQ"},
        {"FromBase64Url", "-_8", 64, 1, "\xFB\xFF"}, {"Base64UrlDecode", "YQ", 64, 1, "a"},
        {"ToBase64", "", 64, 1, ""},
        // Decoded text is cut at capacity - 1; hex text larger than the 4096-byte scratch expands
        // to nothing.
        {"FromBase64", "Zm9vYmFy", 4, 1, "foo"}, {"Base64ToHex", "Zm9vYmFy", 6, 1, "666F"},
        {"HexToBase64", hugeHex.c_str(), 64, 1, ""}, {"ToBase64", nullptr, 64, 0, nullptr},
        {"Base64", "abc", 64, 0, nullptr}, {"UrlEncode", "abc", 64, 0, nullptr}};
    // clang-format on
    for (const auto& [name, text, capacity, answer, expected] : cases) {
        std::vector<char> argument;
        if (text) argument.assign(text, text + strlen(text) + 1);
        std::vector<char> value((size_t)capacity + 4, 'X');
        EXPECT_EQ(Base64_ExpandKey(nullptr, name, text ? argument.data() : nullptr, value.data(), capacity),
                  answer)
            << name;
        EXPECT_EQ(std::string(value.data() + capacity, 4), "XXXX") << name;
        if (!expected) continue;
        EXPECT_STREQ(value.data(), expected) << name << " " << text;
    }
}

// A memory stream with a Base64 stream layered on it.
struct StreamPair {
    MemoryStream* Memory = nullptr;
    Base64Stream* Coder = nullptr;
    Stream* Base = nullptr;
    Stream* Text = nullptr;
    explicit StreamPair(const std::string& content = "") {
        EXPECT_EQ(MemoryStream_Create(&Memory), 1);
        MemoryStream_SetAutoGrow(Memory, 1);
        MemoryStream_GetStreamHandle(Memory, &Base);
        uint32_t n = 0;
        if (!content.empty()) MemoryStream_Write(Memory, content.data(), (uint32_t)content.size(), &n);
        MemoryStream_Seek(Memory, 0, SEEK_ORIGIN_BEGIN);
        EXPECT_EQ(Base64Stream_Create(&Coder), 1);
        EXPECT_EQ(Base64Stream_SetBaseStreamHandle(Coder, Base), 1);
        EXPECT_EQ(Base64Stream_GetStreamHandle(Coder, &Text), 1);
    }
    ~StreamPair() {
        Base64Stream_Delete(&Coder);
        MemoryStream_Delete(&Memory);
    }
    // Everything read through the coder in chunks of the given size (whole groups only).
    std::string ReadAll(uint32_t chunk) {
        std::string text;
        std::vector<char> buf(chunk);
        uint32_t got = 0;
        for (int32_t guard = 0; guard < 10000; guard++) {
            EXPECT_EQ(Stream_Read(Text, buf.data(), chunk, &got), 1);
            if (got == 0) break;
            EXPECT_EQ(got % 4, 0u);
            text.append(buf.data(), got);
        }
        return text;
    }
    std::string Content() {
        std::string out(4096, '\0');
        uint32_t got = 0;
        MemoryStream_Seek(Memory, 0, SEEK_ORIGIN_BEGIN);
        MemoryStream_Read(Memory, out.data(), (uint32_t)out.size(), &got);
        return out.substr(0, got);
    }
};

TEST(Base64StreamTest, ReadEncodesBaseBytes) {
    const std::tuple<std::string, uint32_t, std::string> cases[] = {{"foobar", 64, "Zm9vYmFy"},
                                                                    {"fooba", 64, "Zm9vYmE="},
                                                                    {"foob", 4, "Zm9vYg=="},
                                                                    {"f", 7, "Zg=="},
                                                                    {"", 64, ""}};
    for (const auto& [bytes, chunk, text] : cases) EXPECT_EQ(StreamPair(bytes).ReadAll(chunk), text) << bytes;
    // A large input crosses the work buffer.
    std::string big(5000, '\0');
    for (size_t i = 0; i < big.size(); i++) big[i] = (char)(i * 7);
    EXPECT_EQ(StreamPair(big).ReadAll(333), Encode(Base64_Encode, big, 7000).Text);
}

TEST(Base64StreamTest, WriteDecodesAcrossCalls) {
    StreamPair p;
    uint32_t n = 0;
    // A group split over calls, a single character at a group start, white space skipped.
    for (const char* part : {"Zm", "9vY", "m", "Fy\r\n", "Zg=", "="}) {
        EXPECT_EQ(Stream_Write(p.Text, part, (uint32_t)strlen(part), &n), 1) << part;
        EXPECT_EQ(n, strlen(part));
    }
    EXPECT_EQ(p.Content(), "foobarf");
    // More than one work buffer of output: the rest is reported as not consumed.
    StreamPair q;
    const std::string text(2000, 'A');
    EXPECT_EQ(Stream_Write(q.Text, text.data(), (uint32_t)text.size(), &n), 1);
    EXPECT_EQ(n, 1366u); // the 1366th character completes the 1024th byte
    EXPECT_EQ(q.Content(), std::string(1024, '\0'));
    MemoryStream_Seek(q.Memory, 0, SEEK_ORIGIN_END);
    uint32_t rest = 0;
    EXPECT_EQ(Stream_Write(q.Text, text.data() + n, (uint32_t)text.size() - n, &rest), 1);
    EXPECT_EQ(rest, 2000u - 1366u);
    EXPECT_EQ(q.Content(), std::string(1500, '\0'));
}

TEST(Base64StreamTest, SeekCloseAndNoBase) {
    StreamPair p;
    EXPECT_EQ(Stream_Seek(p.Text, 3, SEEK_ORIGIN_CURRENT), 0);
    EXPECT_EQ(Stream_Seek(p.Text, 0, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(Stream_IsOpen(p.Text), Stream_IsOpen(p.Base));
    Base64Stream* lone = nullptr;
    ASSERT_EQ(Base64Stream_Create(&lone), 1);
    char buf[8];
    uint32_t n = 7;
    EXPECT_EQ(Base64Stream_Read(lone, buf, 8, &n), 0);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(Base64Stream_Write(lone, "YQ==", 4, &n), 0);
    EXPECT_EQ(Base64Stream_Close(lone), 0);
    EXPECT_EQ(Base64Stream_Release(&lone), 1);
    EXPECT_EQ(lone, nullptr);
}

} // namespace
