// Tests of the locale conversions of 16-bit text: measure first, convert only what fits whole,
// an empty terminated target on failure, under a UTF-8 locale and the plain "C" locale.

#include "core/runtime/unicode.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <locale.h>
#include <memory>
#include <string>

#include "tests/support/text_cases.h"

namespace {

// Switches the calling thread to a locale for the life of the object.
class ThreadLocale {
  public:
    explicit ThreadLocale(const char* name) : locale_(newlocale(LC_CTYPE_MASK, name, nullptr)) {
        if (locale_ != nullptr) previous_ = uselocale(locale_);
    }
    ~ThreadLocale() {
        if (locale_ == nullptr) return;
        uselocale(previous_);
        freelocale(locale_);
    }
    bool Ok() const { return locale_ != nullptr; }

  private:
    locale_t locale_;
    locale_t previous_ = nullptr;
};

TEST(UnicodeLocale, MultiByteToSixteenBits) {
    const struct {
        const char* locale;
        std::string source;
        int32_t byteCount, capacity, result; // byteCount -1: String_CopyToUtf16
        std::u16string units;               // written, terminator included
    } cases[] = {
        {"C.UTF-8", "a\xC3\xA9\xE2\x82\xAC", -1, 8, 3, std::u16string(u"a\u00E9\u20AC", 4)},
        {"C.UTF-8", "\xF0\x9F\x98\x80z", -1, 8, 2, std::u16string(u"\uFFFDz", 3)}, // beyond 16 bits: U+FFFD
        // Exactly the text and its terminator fit; one unit less is a failure with an empty target.
        {"C.UTF-8", "abc", -1, 4, 3, std::u16string(u"abc", 4)}, {"C.UTF-8", "abc", -1, 3, 0, std::u16string(1, 0)},
        {"C.UTF-8", "abc", -1, 0, 0, u""},
        {"C.UTF-8", "ab\xC3(", -1, 8, 0, std::u16string(1, 0)}, // invalid input: empty target
        {"C.UTF-8", "\xC0\xAF", -1, 8, 0, std::u16string(1, 0)}, // an overlong form is invalid here too
        // The byte count bounds the bytes read, even without a terminator after them.
        {"C.UTF-8", "a\xC3\xA9zz", 3, 8, 2, std::u16string(u"a\u00E9", 3)},
        {"C.UTF-8", "a\xC3\xA9zz", 2, 8, 0, std::u16string(1, 0)}, // a sequence cut by it is invalid
        {"C.UTF-8", "abc", 0, 8, 0, std::u16string(1, 0)}, {"C.UTF-8", "\xE2\x82", 2, 8, 0, std::u16string(1, 0)},
        {"C", "abc", -1, 8, 3, std::u16string(u"abc", 4)}, {"C", "ab\xC3\xA9", -1, 8, 0, std::u16string(1, 0)},
    };
    for (const auto& c : cases) {
        ThreadLocale locale(c.locale);
        ASSERT_TRUE(locale.Ok()) << c.locale;
        const size_t size = c.source.size() + (c.byteCount < 0 ? 1 : 0); // exact: a read past it is seen
        std::unique_ptr<char[]> source(new char[size]);
        memcpy(source.get(), c.source.c_str(), size);
        Guarded<uint16_t> target(c.capacity, 0xBEEF);
        EXPECT_EQ(c.byteCount < 0 ? String_CopyToUtf16(target, source.get(), c.capacity)
                                  : String_CopyLengthToUtf16(target, c.capacity, source.get(), c.byteCount),
                  c.result)
            << c.source << " " << c.capacity;
        EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(target.data()), c.units.size()), c.units) << c.source;
        EXPECT_TRUE(target.Untouched(static_cast<int32_t>(c.units.size()))) << c.source << " " << c.capacity;
    }
}

TEST(UnicodeLocale, SixteenBitsToMultiByte) {
    const struct {
        const char* locale;
        const char16_t* source;
        int32_t count, capacity, result; // count -1: StringUtf16_CopyToAscii
        std::string bytes;               // written, terminator included
    } cases[] = {
        {"C.UTF-8", u"a\u00E9\u20AC", -1, 8, 6, std::string("a\xC3\xA9\xE2\x82\xAC", 7)},
        {"C.UTF-8", u"a\u00E9\u20AC", -1, 6, 0, std::string(1, 0)}, // needs 7 bytes: a failure, never a cut text
        {"C.UTF-8", u"a\xD83D", -1, 8, 0, std::string(1, 0)}, // a lone surrogate has no multibyte form
        {"C.UTF-8", u"abc\xD83D", 3, 8, 3, std::string("abc", 4)}, // the unit count bounds the units read
        {"C.UTF-8", u"abc", 0, 8, 0, std::string(1, 0)}, {"C.UTF-8", u"abc", -1, 0, 0, ""},
        {"C", u"abc", -1, 8, 3, std::string("abc", 4)}, {"C", u"ab\u00E9", -1, 8, 0, std::string(1, 0)},
    };
    for (const auto& c : cases) {
        ThreadLocale locale(c.locale);
        ASSERT_TRUE(locale.Ok()) << c.locale;
        Guarded<char> target(c.capacity, 0x55);
        EXPECT_EQ(c.count < 0 ? StringUtf16_CopyToAscii(target, U(c.source), c.capacity)
                              : StringUtf16_CopyLengthToAscii(target, c.capacity, U(c.source), c.count),
                  c.result)
            << c.capacity;
        EXPECT_EQ(std::string(target.data(), c.bytes.size()), c.bytes) << c.capacity;
        EXPECT_TRUE(target.Untouched(static_cast<int32_t>(c.bytes.size()))) << c.capacity;
    }
}

} // namespace
