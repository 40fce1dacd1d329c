#include "core/formats/base32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/support/abort_hook.h"

namespace {

constexpr const char* kRfc = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
constexpr const char* kHex = "0123456789ABCDEFGHIJKLMNOPQRSTUV";

// The text written into a guarded buffer of the given capacity, and the answer.
std::string Encode(const std::string& in, const char* alphabet, int32_t capacity, int64_t* result) {
    char text[64];
    memset(text, 'X', sizeof(text));
    uint32_t written = 99;
    *result = Base32_Encode(in.data(), (int32_t)in.size(), alphabet, text, capacity, &written);
    for (int32_t i = std::max(capacity, 0); i < 64; i++) EXPECT_EQ(text[i], 'X') << "wrote past the capacity";
    EXPECT_TRUE((int64_t)written >= capacity || text[written] == 0) << "not terminated";
    return std::string(text, written);
}

TEST(Base32Test, Rfc4648Vectors) {
    // RFC 4648 section 10, with the base32 and base32hex alphabets.
    const char* vectors[][3] = {
        {"", "", ""},
        {"f", "MY======", "CO======"},
        {"fo", "MZXQ====", "CPNG===="},
        {"foo", "MZXW6===", "CPNMU==="},
        {"foob", "MZXW6YQ=", "CPNMUOG="},
        {"fooba", "MZXW6YTB", "CPNMUOJ1"},
        {"foobar", "MZXW6YTBOI======", "CPNMUOJ1E8======"},
    };
    int64_t r = 0;
    for (auto& v : vectors) {
        EXPECT_EQ(Encode(v[0], kRfc, 64, &r), v[1]);
        EXPECT_EQ(r, 1);
        EXPECT_EQ(Encode(v[0], kHex, 64, &r), v[2]);
        EXPECT_EQ(r, 1);
    }
    EXPECT_EQ(Encode(std::string(1, '\0'), kRfc, 64, &r), "AA======");
    EXPECT_EQ(Encode(std::string(5, '\0'), kRfc, 64, &r), "AAAAAAAA");
    EXPECT_EQ(Encode("\xFF\xFF\xFF\xFF\xFF", kRfc, 64, &r), "77777777");
}

TEST(Base32Test, Capacity) {
    const struct {
        const char* In;
        int32_t Capacity;
        int64_t Result;
        const char* Text;
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
    for (const auto& c : cases) {
        int64_t r = 5;
        EXPECT_EQ(Encode(c.In, kRfc, c.Capacity, &r), c.Text) << c.In << " " << c.Capacity;
        EXPECT_EQ(r, c.Result) << c.In << " " << c.Capacity;
    }
}

TEST(Base32Test, EncodeSize) {
    const struct { uint32_t N, Size; } cases[] = {{0, 1}, {1, 9}, {5, 9}, {6, 17}, {20, 33}, {21, 41}};
    for (const auto& c : cases) {
        uint32_t size = 0;
        EXPECT_EQ(Base32_CalculateEncodeSize(c.N, &size), 1);
        EXPECT_EQ(size, c.Size) << c.N;
    }
    // A size beyond any 32-bit capacity is refused rather than wrapped.
    uint32_t size = 3;
    EXPECT_EQ(Base32_CalculateEncodeSize(0xFFFFFFFFu, &size), 0);
    EXPECT_EQ(size, 0u);
}

TEST(Base32Test, ShortAlphabetAborts) {
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            char text[16];
            uint32_t n = 0;
            Base32_Encode("a", 1, "ABC", text, 16, &n);
        },
        AbortRegex(
            "Assertion failed (strnlen(alphabet, 32) == 32)\nThe Base32 alphabet needs 32 characters"));
}

} // namespace
