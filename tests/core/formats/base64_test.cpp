#include "core/formats/base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/abort_hook.h"

namespace {

std::string Encode(const std::string& in, int64_t* result = nullptr) {
    char text[128];
    memset(text, 'X', sizeof(text));
    uint32_t written = 99;
    int64_t r = Base64_Encode(in.data(), (int32_t)in.size(), text, sizeof(text), &written);
    if (result) *result = r;
    EXPECT_EQ(text[written], 0);
    return std::string(text, written);
}

struct Decoded {
    int64_t result;
    std::string bytes;
};

Decoded Decode(const char* text, int32_t capacity = 128) {
    std::vector<uint8_t> out(capacity + 8, 0xAA);
    uint32_t decoded = 99;
    int64_t r = Base64_Decode(text, (int32_t)strlen(text), out.data(), capacity, &decoded);
    EXPECT_LT((int64_t)decoded, capacity);
    EXPECT_EQ(out[decoded], 0) << text; // terminated right after the bytes
    for (int32_t i = capacity; i < capacity + 8; i++) EXPECT_EQ(out[i], 0xAA) << "wrote past the capacity";
    return {r, std::string(out.begin(), out.begin() + decoded)};
}

// RFC 4648 section 10.
TEST(Base64Test, Rfc4648Vectors) {
    const char* vectors[][2] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"abc", "YWJj"},
        {"ab", "YWI="},
        {"a", "YQ=="},
    };
    for (auto& v : vectors) {
        int64_t r = 0;
        EXPECT_EQ(Encode(v[0], &r), v[1]);
        EXPECT_EQ(r, 1);
        Decoded d = Decode(v[1]);
        EXPECT_EQ(d.result, 1) << v[1];
        EXPECT_EQ(d.bytes, v[0]);
    }
}

TEST(Base64Test, AllByteValuesRoundTrip) {
    std::string all;
    for (int32_t i = 0; i < 256; i++) all.push_back((char)i);
    char text[400];
    uint32_t written = 0;
    ASSERT_EQ(Base64_Encode(all.data(), 256, text, sizeof(text), &written), 1);
    EXPECT_EQ(written, 344u);
    std::vector<uint8_t> out(300);
    uint32_t decoded = 0;
    ASSERT_EQ(Base64_Decode(text, 0, out.data(), 300, &decoded), 1);
    ASSERT_EQ(decoded, 256u);
    EXPECT_EQ(memcmp(out.data(), all.data(), 256), 0);
}

TEST(Base64Test, EncodeCapacity) {
    struct Case {
        const char* in;
        int32_t capacity;
        int64_t result;
        const char* text;
        bool terminated;
    } cases[] = {
        {"abc", 5, 1, "YWJj", true},
        {"abc", 4, 1, "YWJj", false}, // all encoded, no room for the terminator
        {"abc", 3, 0, "", true},
        {"abcd", 8, 1, "YWJjZA==", false},
        // Padding that does not fit is not dropped: the group is not begun and the answer is 0.
        {"abcd", 7, 0, "YWJj", true},
        {"abcd", 6, 0, "YWJj", true},
        {"a", 3, 0, "", true},
        {"", 1, 1, "", true},
        {"", 0, 1, "", false},
        {"abc", 0, 0, "", false},
        {"abc", -5, 0, "", false},
    };
    for (const Case& c : cases) {
        char text[16];
        memset(text, 'X', sizeof(text));
        uint32_t written = 77;
        int64_t r = Base64_Encode(c.in, (int32_t)strlen(c.in), text, c.capacity, &written);
        EXPECT_EQ(r, c.result) << c.in << " " << c.capacity;
        EXPECT_EQ(std::string(text, written), c.text) << c.in << " " << c.capacity;
        EXPECT_EQ(text[written] == 0, c.terminated) << c.in << " " << c.capacity;
        int32_t limit = c.capacity > 0 ? c.capacity : 0;
        for (int32_t i = limit; i < 16; i++) EXPECT_EQ(text[i], 'X');
    }
}

TEST(Base64Test, UrlEncode) {
    struct Case {
        std::string in;
        const char* text;
    } cases[] = {
        {"\xFB", "-w"}, {"\xFF", "_w"}, {"\xFB\xFF\xBF", "-_-_"}, {"a", "YQ"}, {"ab", "YWI"}, {"", ""},
    };
    for (const Case& c : cases) {
        char text[16];
        uint32_t written = 0;
        EXPECT_EQ(Base64_UrlEncode(c.in.data(), (int32_t)c.in.size(), text, sizeof(text), &written), 1);
        EXPECT_EQ(std::string(text, written), c.text);
        EXPECT_EQ(text[written], 0);
    }
    // No padding is needed, so the exact room suffices.
    char tight[3];
    uint32_t written = 0;
    EXPECT_EQ(Base64_UrlEncode("\xFB", 1, tight, 3, &written), 1);
    EXPECT_STREQ(tight, "-w");
    EXPECT_EQ(Base64_UrlEncode("\xFB", 1, tight, 1, &written), 0);
    EXPECT_EQ(written, 0u);
}

TEST(Base64Test, DecodeRefusesBadText) {
    const char* bad[] = {
        "YQ",          // ends inside a group
        "YQ=",         // ends inside a group
        "Y",           //
        "YW\nJj",      // line break
        "YW Jj",       // white space
        "YWJj\n",      // trailing line break
        "YW-j",        // URL alphabet is not standard
        "YW_j",        //
        "Y===",        // padding in the second place
        "====",        // padding only
        "YQ=j",        // data after padding inside the group
        "YQ==YWJj",    // data after the padding
        "YWI=YQ==",    // two padded groups
        "YQ==\x01",    //
        "\xC3\xA9YWJ", // bytes outside ASCII
    };
    for (const char* text : bad) {
        EXPECT_EQ(Decode(text).result, 0) << text;
    }
    // What came before the bad group is still reported.
    Decoded d = Decode("YWJjYQ");
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.bytes, "abc");
}

TEST(Base64Test, DecodeCapacity) {
    // Below 5 the decoder answers 0 at once.
    for (int32_t capacity : {0, 1, 4}) {
        uint8_t out[8] = {0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55};
        uint32_t decoded = 9;
        EXPECT_EQ(Base64_Decode("YWJj", 4, out, capacity, &decoded), 0);
        EXPECT_EQ(decoded, 0u);
        EXPECT_EQ(out[0], 0x55);
    }
    EXPECT_EQ(Decode("", 5).result, 1);
    // Before each group, and before the end of the text, fewer than capacity - 4 bytes must
    // have been written.
    EXPECT_EQ(Decode("YWJj", 8).result, 1);
    Decoded d = Decode("YWJj", 7);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.bytes, "abc");
    EXPECT_EQ(Decode("YWJjYWJj", 11).result, 1);
    d = Decode("YWJjYWJj", 10);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.bytes, "abcabc");
    d = Decode("YWJjYWJj", 7);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.bytes, "abc");
    // The size calculator leaves the room the decoder wants.
    const char* text = "Zm9vYmFyZm9vYmFyZm9vYmFy";
    uint32_t size = 0;
    EXPECT_EQ(Base64_CalculateDecodeSize((uint32_t)strlen(text), &size), 1);
    EXPECT_EQ(size, 28u);
    EXPECT_EQ(Decode(text, (int32_t)size).result, 1);
}

TEST(Base64Test, UrlDecode) {
    struct Case {
        const char* text;
        int64_t result;
        std::string bytes;
    } cases[] = {
        {"YQ", 1, "a"}, {"YWI", 1, "ab"}, {"YWJj", 1, "abc"}, {"-w", 1, "\xFB"}, {"_w", 1, "\xFF"},
        {"Y", 0, ""},   {"YWJjY", 0, ""}, {"", 1, ""},        {"YQ==", 1, "a"},  {"Y!", 0, ""},
    };
    for (const Case& c : cases) {
        uint8_t out[32];
        memset(out, 0xAA, sizeof(out));
        uint32_t decoded = 0;
        EXPECT_EQ(Base64_UrlDecode(c.text, (int32_t)strlen(c.text), out, sizeof(out), &decoded), c.result)
            << c.text;
        if (c.result) {
            EXPECT_EQ(std::string((char*)out, decoded), c.bytes);
            EXPECT_EQ(out[decoded], 0);
        }
    }
    // The length bounds the text.
    uint8_t out[16];
    uint32_t decoded = 0;
    EXPECT_EQ(Base64_UrlDecode("YWJjYQ", 4, out, sizeof(out), &decoded), 1);
    EXPECT_EQ(decoded, 3u);
}

TEST(Base64Test, SizeCalculators) {
    struct Case {
        uint32_t n;
        uint32_t encode;
    } cases[] = {{0, 1}, {1, 5}, {2, 5}, {3, 5}, {4, 9}, {20, 29}, {1000, 1337}};
    for (const Case& c : cases) {
        uint32_t size = 0;
        EXPECT_EQ(Base64_CalculateEncodeSize(c.n, &size), 1);
        EXPECT_EQ(size, c.encode) << c.n;
    }
    uint32_t size = 7;
    // A size beyond any 32-bit capacity is refused rather than wrapped.
    EXPECT_EQ(Base64_CalculateEncodeSize(0xFFFFFFFFu, &size), 0);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(Base64_CalculateDecodeSize(0, &size), 1);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(Base64_CalculateDecodeSize(7, &size), 1);
    EXPECT_EQ(size, 13u);
}

std::string Expand(const char* name, const char* argument, int32_t capacity = 64, int64_t* result = nullptr) {
    std::vector<char> arg;
    if (argument) arg.assign(argument, argument + strlen(argument) + 1);
    std::vector<char> value(capacity + 4, 'X');
    int64_t r = Base64_ExpandKey(nullptr, name, argument ? arg.data() : nullptr, value.data(), capacity);
    if (result) *result = r;
    for (int32_t i = capacity; i < capacity + 4; i++) EXPECT_EQ(value[i], 'X');
    if (r == 0 || capacity == 0) return "<none>";
    return std::string(value.data());
}

TEST(Base64Test, ExpandKeys) {
    struct Case {
        const char* name;
        const char* argument;
        const char* value;
    } cases[] = {
        {"ToBase64", "abc", "YWJj"},
        {"base64encode", "ab", "YWI="},
        {"FromBase64", "YWJj", "abc"},
        {"BASE64DECODE", "YQ==", "a"},
        {"FromBase64", "YQ", ""}, // invalid text expands to nothing
        {"Base64ToHex", "+/8=", "FBFF"},
        {"HexToBase64", "fbff", "+/8="},
        {"HexToBase64", "fbf", ""},
        {"HexToBase64", "zz", ""},
        {"ToBase64Url", "\xFB\xFF", "-_8"},
        {"Base64UrlEncode", "a", "YQ"},
        {"FromBase64Url", "-_8", "\xFB\xFF"},
        {"Base64UrlDecode", "YQ", "a"},
        {"ToBase64", "", ""},
    };
    for (const Case& c : cases) {
        int64_t r = 0;
        EXPECT_EQ(Expand(c.name, c.argument, 64, &r), c.value) << c.name << " " << c.argument;
        EXPECT_EQ(r, 1);
    }
    int64_t r = 5;
    Expand("ToBase64", nullptr, 64, &r);
    EXPECT_EQ(r, 0);
    Expand("Base64", "abc", 64, &r);
    EXPECT_EQ(r, 0);
    Expand("UrlEncode", "abc", 64, &r);
    EXPECT_EQ(r, 0);
    // Decoded text is cut at capacity - 1.
    EXPECT_EQ(Expand("FromBase64", "Zm9vYmFy", 4, &r), "foo");
    EXPECT_EQ(r, 1);
    EXPECT_EQ(Expand("Base64ToHex", "Zm9vYmFy", 6, &r), "666F");
    // Hex text larger than the 4096-byte scratch expands to nothing.
    std::string hex(2 * 4097, 'a');
    EXPECT_EQ(Expand("HexToBase64", hex.c_str(), 64, &r), "");
    EXPECT_EQ(r, 1);
}

TEST(Base64Test, NullPointersAbort) {
    uint32_t n = 0;
    char text[8];
    uint8_t bytes[8];
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Base64_Encode(nullptr, 3, text, 8, &n);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Base64_Decode(nullptr, 0, bytes, 8, &n);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Base64_Decode("YQ==", 4, bytes, 8, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
}

} // namespace

#include "core/platform/memory_stream.h"

namespace {

struct StreamPair {
    MemoryStream* Memory = nullptr;
    Base64Stream* Coder = nullptr;
    Stream* Base = nullptr;
    Stream* Text = nullptr;
    StreamPair() {
        EXPECT_EQ(MemoryStream_Create(&Memory), 1);
        MemoryStream_SetAutoGrow(Memory, 1);
        MemoryStream_GetStreamHandle(Memory, &Base);
        EXPECT_EQ(Base64Stream_Create(&Coder), 1);
        EXPECT_EQ(Base64Stream_SetBaseStreamHandle(Coder, Base), 1);
        EXPECT_EQ(Base64Stream_GetStreamHandle(Coder, &Text), 1);
    }
    ~StreamPair() {
        Base64Stream_Delete(&Coder);
        MemoryStream_Delete(&Memory);
    }
    std::string Content() {
        std::string out;
        MemoryStream_Seek(Memory, 0, SEEK_ORIGIN_BEGIN);
        char buf[256];
        uint32_t got = 0;
        while (MemoryStream_Read(Memory, buf, sizeof(buf), &got) && got > 0) out.append(buf, got);
        return out;
    }
};

TEST(Base64StreamTest, ReadEncodesBaseBytes) {
    struct Case {
        std::string bytes;
        uint32_t chunk;
        std::string text;
    } cases[] = {
        {"foobar", 64, "Zm9vYmFy"},
        {"fooba", 64, "Zm9vYmE="},
        {"foob", 4, "Zm9vYg=="},
        {"f", 7, "Zg=="},
        {"", 64, ""},
    };
    for (const Case& c : cases) {
        StreamPair p;
        uint32_t n = 0;
        if (!c.bytes.empty()) MemoryStream_Write(p.Memory, c.bytes.data(), (uint32_t)c.bytes.size(), &n);
        MemoryStream_Seek(p.Memory, 0, SEEK_ORIGIN_BEGIN);
        std::string text;
        std::vector<char> buf(c.chunk);
        for (int32_t guard = 0; guard < 100; guard++) {
            uint32_t got = 0;
            EXPECT_EQ(Stream_Read(p.Text, buf.data(), c.chunk, &got), 1);
            if (got == 0) break;
            EXPECT_EQ(got % 4, 0u);
            text.append(buf.data(), got);
        }
        EXPECT_EQ(text, c.text) << c.bytes;
    }
    // A large input crosses the work buffer.
    StreamPair p;
    std::string big(5000, '\0');
    for (size_t i = 0; i < big.size(); i++) big[i] = (char)(i * 7);
    uint32_t n = 0;
    MemoryStream_Write(p.Memory, big.data(), (uint32_t)big.size(), &n);
    MemoryStream_Seek(p.Memory, 0, SEEK_ORIGIN_BEGIN);
    std::string text;
    char buf[333];
    uint32_t got = 0;
    while (Stream_Read(p.Text, buf, sizeof(buf), &got) && got > 0) text.append(buf, got);
    std::vector<char> expected(7000);
    uint32_t written = 0;
    ASSERT_EQ(Base64_Encode(big.data(), (int32_t)big.size(), expected.data(), 7000, &written), 1);
    EXPECT_EQ(text, std::string(expected.data(), written));
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
    std::string text(2000, 'A');
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
