// Tests of the character references: the named-reference table, numeric reference encoding and
// decoding, and the HTML text decoder on UTF-8 and 16-bit text, with its capacity handling.

#include "core/runtime/unicode.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/abort_hook.h"

namespace {

const uint16_t* U(const char16_t* text) {
    return reinterpret_cast<const uint16_t*>(text);
}

std::u16string Text16(const uint16_t* text) {
    return std::u16string(reinterpret_cast<const char16_t*>(text));
}

// Decodes into a generous buffer and returns the text; *result receives the answer.
std::string DecodeHtml(const char* source, int64_t* result = nullptr) {
    char target[256];
    const int64_t r = StringUtf8_DecodeHtml(source, target, sizeof(target));
    if (result) *result = r;
    return target;
}

int32_t RowOf(const char* name) {
    for (int32_t i = 0; i < HTML_ENTITY_COUNT; i++)
        if (strcmp(HtmlEntityTable[i].Name, name) == 0) return i;
    return -1;
}

TEST(UnicodeHtml, TableRowsAndCodes) {
    // Known answers: the code points HTML 4.01 gives these names.
    const struct {
        const char* name;
        uint16_t code;
    } known[] = {
        {"quot", 0x22},    {"apos", 0x27},     {"amp", 0x26},     {"lt", 0x3C},       {"gt", 0x3E},
        {"nbsp", 0xA0},    {"copy", 0xA9},     {"frac14", 0xBC},  {"frac12", 0xBD},   {"frac34", 0xBE},
        {"times", 0xD7},   {"divide", 0xF7},   {"AElig", 0xC6},   {"aelig", 0xE6},    {"Eacute", 0xC9},
        {"eacute", 0xE9},  {"ETH", 0xD0},      {"eth", 0xF0},     {"THORN", 0xDE},    {"yuml", 0xFF},
        {"Yuml", 0x178},   {"forall", 0x2200}, {"sdot", 0x22C5},  {"Alpha", 0x391},   {"Sigma", 0x3A3},
        {"sigmaf", 0x3C2}, {"piv", 0x3D6},     {"OElig", 0x152},  {"fnof", 0x192},    {"circ", 0x2C6},
        {"tilde", 0x2DC},  {"ensp", 0x2002},   {"rlm", 0x200F},   {"hellip", 0x2026}, {"euro", 0x20AC},
        {"trade", 0x2122}, {"larr", 0x2190},   {"crarr", 0x21B5}, {"lceil", 0x2308},  {"loz", 0x25CA},
        {"diams", 0x2666},
    };
    for (const auto& k : known) {
        const int32_t row = RowOf(k.name);
        ASSERT_GE(row, 0) << k.name;
        EXPECT_EQ(HtmlEntityTable[row].Code, k.code) << k.name;
    }
    // The misspelt names are gone.
    for (const char* wrong : {"fraq12", "fraq34", "tidle", "Aelig"}) EXPECT_EQ(RowOf(wrong), -1) << wrong;

    // Order: the first and last named rows, the corrected rows where the old names stood, both
    // "trade" rows with the same character, then the twelve line-break rows and the empty name.
    EXPECT_STREQ(HtmlEntityTable[0].Name, "quot");
    EXPECT_EQ(RowOf("frac12"), RowOf("frac14") + 1);
    EXPECT_EQ(RowOf("frac34"), RowOf("frac14") + 2);
    EXPECT_EQ(RowOf("AElig"), RowOf("Aring") + 1);
    EXPECT_EQ(RowOf("tilde"), RowOf("circ") + 1);
    const int32_t trade = RowOf("trade");
    EXPECT_EQ(trade, RowOf("euro") + 1);
    EXPECT_STREQ(HtmlEntityTable[trade + 1].Name, "trade");
    EXPECT_EQ(HtmlEntityTable[trade + 1].Code, 0x2122);
    EXPECT_STREQ(HtmlEntityTable[241].Name, "diams");
    const char* breaks[] = {"<br>",  "<BR>",  "<Br>",   "<bR>",   "<br/>",  "<BR/>",
                            "<Br/>", "<bR/>", "<br />", "<BR />", "<Br />", "<bR />"};
    for (int32_t i = 0; i < 12; i++) {
        EXPECT_STREQ(HtmlEntityTable[242 + i].Name, breaks[i]);
        EXPECT_EQ(HtmlEntityTable[242 + i].Code, 0x0A);
    }
    EXPECT_STREQ(HtmlEntityTable[254].Name, "");
    EXPECT_EQ(HtmlEntityTable[254].Code, 0x0D);
    // No name is longer than the decoder looks.
    for (const auto& row : HtmlEntityTable) EXPECT_LE(strlen(row.Name), size_t{HTML_ENTITY_NAME_MAX});
}

TEST(UnicodeHtml, EveryNameDecodesToItsOwnCharacter) {
    // Capital and small letters are different characters: each name gives its own row's code,
    // not that of an earlier row spelt the same without case.
    for (const auto& row : HtmlEntityTable) {
        const std::string source = "&" + std::string(row.Name) + ";";
        char expected[8];
        int32_t length = 0;
        ASSERT_EQ(CharUtf64_CopyToUtf8(row.Code, expected, sizeof(expected), &length), 1);
        int64_t result = 0;
        EXPECT_EQ(DecodeHtml(source.c_str(), &result), std::string(expected, length)) << row.Name;
        EXPECT_EQ(result, 1);

        uint16_t source16[40];
        for (size_t i = 0; i <= source.size(); i++) source16[i] = static_cast<uint8_t>(source[i]);
        uint16_t target16[4] = {0xBEEF, 0xBEEF, 0xBEEF, 0xBEEF};
        EXPECT_EQ(StringUtf16_DecodeHtml(source16, target16, 4), 1);
        EXPECT_EQ(target16[0], row.Code) << row.Name;
        EXPECT_EQ(target16[1], 0);
    }
}

TEST(UnicodeHtml, DecodesReferences) {
    const struct {
        const char* source;
        const char* expected;
    } cases[] = {
        {"&lt;b&gt;", "<b>"},
        {"a\r\nb\n", "ab"},
        {"&#65;", "A"},
        {"&;", "\r"}, // the row with the empty name
        {"&eacute;", "\xC3\xA9"},
        {"&Eacute;", "\xC3\x89"},
        {"&EACUTE;", "\xC3\x89"}, // no exact row: the first caseless one
        {"&aelig;&AElig;&AELIG;", "\xC3\xA6\xC3\x86\xC3\x86"},
        {"&thorn;&THORN;", "\xC3\xBE\xC3\x9E"},
        {"&sigma;&Sigma;&sigmaf;", "\xCF\x83\xCE\xA3\xCF\x82"},
        {"&prime;&Prime;", "\xE2\x80\xB2\xE2\x80\xB3"},
        {"&frac12;&frac34;&tilde;", "\xC2\xBD\xC2\xBE\xCB\x9C"},
        {"&trade;&TRADE;", "\xE2\x84\xA2\xE2\x84\xA2"},
        {"&fraq12;&tidle;", "&fraq12;&tidle;"}, // the old misspellings are not names
        {"&apos;&AMP;", "'&"},
        {"a&<br>;b&<BR />;c", "a\nb\nc"},
        {"&#x41;&#X42;&#x1f600;", "AB\xF0\x9F\x98\x80"},
        {"&#128512;&#8364;", "\xF0\x9F\x98\x80\xE2\x82\xAC"},
        {"&#0;", "\xEF\xBF\xBD"},                         // would end the text
        {"&#55357;&#xDC00;", "\xEF\xBF\xBD\xEF\xBF\xBD"}, // lone surrogates
        {"&#1114112;", "\xEF\xBF\xBD"},                   // beyond Unicode
        {"&#4294967361;", "\xEF\xBF\xBD"},                // never wraps round to 'A'
        {"&#00065;", "A"},
        {"&#65", "&#65"},       // no ';': not a reference
        {"&#65 x;", "&#65 x;"}, // the text up to a later ';' is not swallowed
        {"&#x;&#;", "&#x;\r"},  // "&#;" is '&' and '#' before the empty name
        {"&#-5;", "&#-5;"},
        {"&unknown;", "&unknown;"},
        {"AT&T", "AT&T"},
        {"&amp", "&amp"},
        {"&&amp;", "&"}, // a run of '&' and '#' comes before the name
        {"&#lt;", "<"},
        {"&&65;", "A"},
        {"\xC3\xA9&amp;\xFF", "\xC3\xA9&\xFF"}, // other bytes are copied as they are
        {"", ""},
    };
    for (const auto& c : cases) {
        int64_t result = 0;
        EXPECT_EQ(DecodeHtml(c.source, &result), c.expected) << c.source;
        EXPECT_EQ(result, 1) << c.source;
    }
    // A name longer than 31 bytes is no name, however it ends.
    const std::string longName = "&" + std::string(32, 'a') + ";";
    EXPECT_EQ(DecodeHtml(longName.c_str()), longName);
    const std::string runThenName = std::string(300, '&') + "lt;";
    EXPECT_EQ(DecodeHtml(runThenName.c_str()), "<");
}

TEST(UnicodeHtml, DecodeHtmlCapacity) {
    const struct {
        const char* source;
        int32_t capacity;
        int64_t result;
        const char* expected;
    } cases[] = {
        {"abc", 4, 1, "abc"},
        {"abc", 3, 0, "ab"},
        {"abc", 1, 0, ""},
        {"", 1, 1, ""},
        {"\r\n", 1, 1, ""},
        {"ab\r\n", 3, 1, "ab"},  // an exact fit is a whole decoding
        {"a&euro;b", 4, 0, "a"}, // the euro sign does not fit: stop, never skip it
        {"a&euro;b", 5, 0, "a\xE2\x82\xAC"},
        {"a&euro;b", 6, 1,
         "a\xE2\x82\xAC"
         "b"},
        {"a\xC3\xA9", 3, 0, "a"}, // a character is never cut
        {"a\xC3\xA9", 4, 1, "a\xC3\xA9"},
        {"&#128512;", 4, 0, ""},
        {"&#128512;", 5, 1, "\xF0\x9F\x98\x80"},
    };
    for (const auto& c : cases) {
        char target[16];
        memset(target, 0x55, sizeof(target));
        EXPECT_EQ(StringUtf8_DecodeHtml(c.source, target, c.capacity), c.result)
            << c.source << " " << c.capacity;
        EXPECT_STREQ(target, c.expected) << c.source << " " << c.capacity;
        for (int32_t i = c.capacity; i < 16; i++) ASSERT_EQ(target[i], 0x55) << c.source << " " << c.capacity;
    }
    char target[2] = {0x55, 0x55};
    EXPECT_EQ(StringUtf8_DecodeHtml("a", target, 0), 0);
    EXPECT_EQ(target[0], 0x55);
}

TEST(UnicodeHtml, DecodeHtmlSixteenBits) {
    uint16_t target[32];
    EXPECT_EQ(StringUtf16_DecodeHtml(U(u"&lt;&eacute;&Eacute;\r\n&#233;&#x20ac;&;"), target, 32), 1);
    EXPECT_EQ(Text16(target), u"<\u00E9\u00C9\u00E9\u20AC\r");
    // Beyond 16 bits, zero and lone surrogates: U+FFFD.
    EXPECT_EQ(StringUtf16_DecodeHtml(U(u"&#128512;&#0;&#xD800;&#65535;"), target, 32), 1);
    EXPECT_EQ(Text16(target), u"\uFFFD\uFFFD\uFFFD\uFFFF");
    // Units outside ASCII never match a name, and are copied.
    EXPECT_EQ(StringUtf16_DecodeHtml(U(u"&\u00E9;\u20AC&amp;"), target, 32), 1);
    EXPECT_EQ(Text16(target), u"&\u00E9;\u20AC&");
    EXPECT_EQ(StringUtf16_DecodeHtml(U(u"&#65 ;"), target, 32), 1);
    EXPECT_EQ(Text16(target), u"&#65 ;");

    for (int32_t capacity = 0; capacity <= 5; capacity++) {
        for (auto& unit : target) unit = 0xBEEF;
        const int64_t result = StringUtf16_DecodeHtml(U(u"a&lt;b\n"), target, capacity);
        EXPECT_EQ(result, capacity >= 4 ? 1 : 0) << capacity;
        for (int32_t i = capacity; i < 32; i++) ASSERT_EQ(target[i], 0xBEEF) << capacity;
        if (capacity > 0) {
            EXPECT_EQ(Text16(target), std::u16string(u"a<b").substr(0, capacity - 1));
        }
    }
}

TEST(UnicodeHtml, EncodeString) {
    const struct {
        const char* source;
        const char* expected;
    } cases[] = {
        {"caf\xC3\xA9", "caf&#233;"},
        {"a\xF0\x9F\x98\x80"
         "b",
         "a&#128512;b"}, // the whole code point, not its low 16 bits
        {"\xE2\x82\xAC", "&#8364;"},
        {"\xA9", "&#65533;"},     // a stray byte is no character
        {"\xC0\xAF", "&#65533;"}, // nor is an overlong form
        {"a\xC3"
         "b",
         "a"}, // a broken sequence ends the text
        {"x\xE2\x82", "x"},
        {"&#60;", "&#60;"}, // ASCII is copied as it is
        {"", ""},
    };
    for (const auto& c : cases) {
        char target[64];
        EXPECT_EQ(StringUtf8_EncodeString(c.source, target, sizeof(target)), 1);
        EXPECT_STREQ(target, c.expected) << c.source;
    }
    // A reference is written whole or not at all; capacity 0 writes nothing.
    const struct {
        const char* source;
        int32_t capacity;
        const char* expected;
    } bounded[] = {
        {"\xC3\xA9", 6, ""}, {"\xC3\xA9", 7, "&#233;"}, {"a\xC3\xA9", 7, "a"}, {"ab", 2, "a"},
        {"ab", 1, ""},       {"ab", 3, "ab"},
    };
    for (const auto& c : bounded) {
        char target[16];
        memset(target, 0x55, sizeof(target));
        EXPECT_EQ(StringUtf8_EncodeString(c.source, target, c.capacity), 1);
        EXPECT_STREQ(target, c.expected) << c.capacity;
        for (int32_t i = c.capacity; i < 16; i++) ASSERT_EQ(target[i], 0x55) << c.capacity;
    }
    char target[1] = {0x55};
    EXPECT_EQ(StringUtf8_EncodeString("a", target, 0), 1);
    EXPECT_EQ(target[0], 0x55);
}

TEST(UnicodeHtml, DecodeString) {
    const struct {
        const char* source;
        const char* expected;
    } cases[] = {
        {"a&#8364;b", "a\xE2\x82\xAC"
                      "b"},
        {"&#233;t&#233;", "\xC3\xA9t\xC3\xA9"},
        {"##65;", "A"},
        {"&#128512;", "\xF0\x9F\x98\x80"},
        {"&#55357;", "\xED\xA0\xBD"}, // kept: the encoder writes such units of 16-bit text
        {"&#0;x", "\xEF\xBF\xBD"
                  "x"},                     // a NUL would end the text
        {"&#99999999999;", "\xEF\xBF\xBD"}, // never wraps
        {"&#2147483647;", "\xFD\xBF\xBF\xBF\xBF\xBF"},
        {"&#233", "&#233"},               // without ';' it is text
        {"&#12 rest; x", "&#12 rest; x"}, // nothing up to a later ';' is swallowed
        {"&#x41;", "&#x41;"},             // decimal only
        {"&lt;", "&lt;"},                 // names are not decoded here
        {"# #1;", "# #1;"},
        {"\xC3\xA9\xFF", "\xC3\xA9\xFF"},
    };
    for (const auto& c : cases) {
        char target[64];
        EXPECT_EQ(StringUtf8_DecodeString(c.source, target, sizeof(target)), 1);
        EXPECT_STREQ(target, c.expected) << c.source;
    }
    const struct {
        const char* source;
        int32_t capacity;
        const char* expected;
    } bounded[] = {
        {"a&#8364;b", 4, "a"}, // the euro sign does not fit: the text ends, b is not written after a gap
        {"a&#8364;b", 5, "a\xE2\x82\xAC"},
        {"a\xC3\xA9z", 3, "a"}, // a copied character is never cut
        {"abc", 3, "ab"},
        {"abc", 1, ""},
    };
    for (const auto& c : bounded) {
        char target[16];
        memset(target, 0x55, sizeof(target));
        EXPECT_EQ(StringUtf8_DecodeString(c.source, target, c.capacity), 1);
        EXPECT_STREQ(target, c.expected) << c.source << " " << c.capacity;
        for (int32_t i = c.capacity; i < 16; i++) ASSERT_EQ(target[i], 0x55) << c.capacity;
    }
}

TEST(UnicodeHtml, EncodeDecodeRoundTrip) {
    const char* texts[] = {"plain", "h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80", "\xED\xA0\xBD\xED\xB8\x80",
                           "\xFD\xBF\xBF\xBF\xBF\xBF"};
    for (const char* text : texts) {
        char encoded[128];
        char decoded[128];
        StringUtf8_EncodeString(text, encoded, sizeof(encoded));
        for (const char* p = encoded; *p; p++) ASSERT_LT(static_cast<uint8_t>(*p), 0x80);
        StringUtf8_DecodeString(encoded, decoded, sizeof(decoded));
        EXPECT_STREQ(decoded, text);
    }
}

TEST(UnicodeHtmlDeathTest, NullArguments) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    char target[4];
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            StringUtf8_DecodeHtml(nullptr, target, 4);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            StringUtf8_DecodeString("a", nullptr, 4);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            StringUtf8_EncodeString(nullptr, target, 4);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            StringUtf16_DecodeHtml(U(u"a"), nullptr, 4);
        },
        AbortRegex("Pointer is NULL\n"));
}

} // namespace
