#include "core/formats/base32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/support/abort_hook.h"

namespace {

constexpr const char* kRfc = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
constexpr const char* kHex = "0123456789ABCDEFGHIJKLMNOPQRSTUV";

std::string Encode(const std::string& in, const char* alphabet, int32_t capacity, int64_t* result) {
    char text[64];
    memset(text, 'X', sizeof(text));
    uint32_t written = 99;
    *result = Base32_Encode(in.data(), (int32_t)in.size(), alphabet, text, capacity, &written);
    int32_t limit = capacity > 0 ? capacity : 0;
    for (int32_t i = limit; i < 64; i++) EXPECT_EQ(text[i], 'X') << "wrote past the capacity";
    if ((int64_t)written < capacity) {
        EXPECT_EQ(text[written], 0);
    }
    return std::string(text, written);
}

// RFC 4648 section 10, with the base32 and base32hex alphabets.
TEST(Base32Test, Rfc4648Vectors) {
    const char* vectors[][3] = {
        {"", "", ""},
        {"f", "MY======", "CO======"},
        {"fo", "MZXQ====", "CPNG===="},
        {"foo", "MZXW6===", "CPNMU==="},
        {"foob", "MZXW6YQ=", "CPNMUOG="},
        {"fooba", "MZXW6YTB", "CPNMUOJ1"},
        {"foobar", "MZXW6YTBOI======", "CPNMUOJ1E8======"},
    };
    for (auto& v : vectors) {
        int64_t r = 0;
        EXPECT_EQ(Encode(v[0], kRfc, 64, &r), v[1]);
        EXPECT_EQ(r, 1);
        EXPECT_EQ(Encode(v[0], kHex, 64, &r), v[2]);
        EXPECT_EQ(r, 1);
    }
    int64_t r = 0;
    EXPECT_EQ(Encode(std::string(1, '\0'), kRfc, 64, &r), "AA======");
    EXPECT_EQ(Encode(std::string(5, '\0'), kRfc, 64, &r), "AAAAAAAA");
    EXPECT_EQ(Encode("\xFF\xFF\xFF\xFF\xFF", kRfc, 64, &r), "77777777");
}

TEST(Base32Test, Capacity) {
    struct Case {
        const char* in;
        int32_t capacity;
        int64_t result;
        const char* text;
    } cases[] = {
        {"fooba", 9, 1, "MZXW6YTB"},
        {"fooba", 8, 1, "MZXW6YTB"}, // no room for the terminator, all encoded
        {"fooba", 7, 0, ""},
        // Padding that does not fit is not dropped: the group is not begun and the answer is 0.
        {"foobar", 15, 0, "MZXW6YTB"},
        {"f", 2, 0, ""},
        {"", 0, 1, ""},
        {"f", 0, 0, ""},
        {"f", -3, 0, ""},
    };
    for (const Case& c : cases) {
        int64_t r = 5;
        EXPECT_EQ(Encode(c.in, kRfc, c.capacity, &r), c.text) << c.in << " " << c.capacity;
        EXPECT_EQ(r, c.result) << c.in << " " << c.capacity;
    }
}

TEST(Base32Test, EncodeSize) {
    struct Case {
        uint32_t n, size;
    } cases[] = {{0, 1}, {1, 9}, {5, 9}, {6, 17}, {20, 33}, {21, 41}};
    for (const Case& c : cases) {
        uint32_t size = 0;
        EXPECT_EQ(Base32_CalculateEncodeSize(c.n, &size), 1);
        EXPECT_EQ(size, c.size) << c.n;
    }
    uint32_t size = 3;
    EXPECT_EQ(Base32_CalculateEncodeSize(0xFFFFFFFFu, &size), 0);
    EXPECT_EQ(size, 0u);
}

TEST(Base32Test, BadArgumentsAbort) {
    char text[16];
    uint32_t n = 0;
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Base32_Encode("a", 1, nullptr, text, 16, &n);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Base32_Encode("a", 1, "ABC", text, 16, &n);
        },
        AbortRegex(
            "Assertion failed (strnlen(alphabet, 32) == 32)\nThe Base32 alphabet needs 32 characters"));
}

} // namespace
