// Tests of the character references: named and numeric reference decoding of HTML text in UTF-8
// and 16-bit text with its capacity handling, and the numeric reference encoder and decoder.

#include "core/runtime/unicode.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/support/text_cases.h"

namespace {

using std::string;

// Decodes into a generous buffer; the whole source must be decoded.
string DecodeHtml(const string& source) {
    char target[512];
    EXPECT_EQ(StringUtf8_DecodeHtml(source.c_str(), target, sizeof(target)), 1) << source;
    return target;
}

string Utf8(uint32_t codePoint) {
    char bytes[8];
    int32_t length = 0;
    CharUtf64_CopyToUtf8(codePoint, bytes, sizeof(bytes), &length);
    return string(bytes, length);
}

TEST(UnicodeHtml, NamesDecodeToTheirHtml401Characters) {
    const struct { const char* name; uint16_t code; } known[] = {
        {"quot", 0x22}, {"apos", 0x27}, {"amp", 0x26}, {"lt", 0x3C}, {"gt", 0x3E}, {"nbsp", 0xA0}, {"copy", 0xA9},
        {"frac14", 0xBC}, {"frac12", 0xBD}, {"frac34", 0xBE}, {"times", 0xD7}, {"divide", 0xF7}, {"AElig", 0xC6},
        {"aelig", 0xE6}, {"Eacute", 0xC9}, {"eacute", 0xE9}, {"ETH", 0xD0}, {"eth", 0xF0}, {"THORN", 0xDE},
        {"thorn", 0xFE}, {"yuml", 0xFF}, {"Yuml", 0x178}, {"forall", 0x2200}, {"sdot", 0x22C5}, {"Alpha", 0x391},
        {"Sigma", 0x3A3}, {"sigma", 0x3C3}, {"sigmaf", 0x3C2}, {"piv", 0x3D6}, {"OElig", 0x152}, {"fnof", 0x192},
        {"circ", 0x2C6}, {"tilde", 0x2DC}, {"ensp", 0x2002}, {"rlm", 0x200F}, {"hellip", 0x2026}, {"prime", 0x2032},
        {"Prime", 0x2033}, {"euro", 0x20AC}, {"trade", 0x2122}, {"larr", 0x2190}, {"crarr", 0x21B5},
        {"lceil", 0x2308}, {"loz", 0x25CA}, {"diams", 0x2666},
    };
    for (const auto& k : known) EXPECT_EQ(DecodeHtml("&" + string(k.name) + ";"), Utf8(k.code)) << k.name;
    // Every line-break form is a line feed; the empty name is a carriage return.
    for (const char* form : {"<br>", "<BR>", "<Br>", "<bR>", "<br/>", "<BR/>", "<Br/>", "<bR/>", "<br />", "<BR />",
                             "<Br />", "<bR />"})
        EXPECT_EQ(DecodeHtml(string("&") + form + ";"), "\n") << form;
}

TEST(UnicodeHtml, EveryNameDecodesToItsOwnCharacter) {
    // Capital and small letters are different characters: each name gives its own row's code,
    // not that of an earlier row spelt the same without case.
    for (const auto& row : HtmlEntityTable) {
        const string source = "&" + string(row.Name) + ";";
        EXPECT_EQ(DecodeHtml(source), Utf8(row.Code)) << row.Name;
        uint16_t source16[40];
        for (size_t i = 0; i <= source.size(); i++) source16[i] = static_cast<uint8_t>(source[i]);
        Guarded<uint16_t> target16(2, 0xBEEF);
        EXPECT_EQ(StringUtf16_DecodeHtml(source16, target16, 2), 1);
        EXPECT_EQ(target16[0], row.Code) << row.Name;
        EXPECT_EQ(target16[1], 0);
    }
}

TEST(UnicodeHtml, DecodesReferences) {
    const struct { string source, expected; } cases[] = {
        {"&lt;b&gt;", "<b>"}, {"a\r\nb\n", "ab"}, {"&#65;", "A"}, {"&#00065;", "A"}, {"&apos;&AMP;", "'&"},
        {"&;", "\r"}, // the empty name
        {"&EACUTE;", "\xC3\x89"}, {"&TRADE;", "\xE2\x84\xA2"}, // no exact row: the first caseless one
        {"&aelig;&AElig;&AELIG;", "\xC3\xA6\xC3\x86\xC3\x86"}, {"a&<br>;b&<BR />;c", "a\nb\nc"},
        {"&fraq12;&fraq34;&tidle;", "&fraq12;&fraq34;&tidle;"}, // misspellings are no names
        {"&#x41;&#X42;&#x1f600;", "AB\xF0\x9F\x98\x80"}, {"&#128512;&#8364;", "\xF0\x9F\x98\x80\xE2\x82\xAC"},
        {"&#1114111;", "\xF4\x8F\xBF\xBF"}, // the last character
        {"&#0;", "\xEF\xBF\xBD"}, // would end the text
        {"&#55357;&#xDC00;", "\xEF\xBF\xBD\xEF\xBF\xBD"}, // lone surrogates
        {"&#1114112;", "\xEF\xBF\xBD"}, // beyond Unicode
        {"&#4294967361;", "\xEF\xBF\xBD"}, // never wraps round to 'A'
        {"&#65", "&#65"}, // no ';': not a reference
        {"&#65 x;", "&#65 x;"}, // the text up to a later ';' is not swallowed
        {"&#x;&#;", "&#x;\r"}, // "&#;" is '&' and '#' before the empty name
        {"&#-5;", "&#-5;"}, {"&unknown;", "&unknown;"}, {"AT&T", "AT&T"}, {"&amp", "&amp"}, {"", ""}, {"&&amp;", "&"},
        {"&#lt;", "<"}, {"&&65;", "A"}, // a run of '&' and '#' comes before the name
        {string(300, '&') + "lt;", "<"}, {"\xC3\xA9&amp;\xFF", "\xC3\xA9&\xFF"}, // other bytes are copied as they are
        {"&" + string(32, 'a') + ";", "&" + string(32, 'a') + ";"}, // longer than any name, however it ends
    };
    for (const auto& c : cases) EXPECT_EQ(DecodeHtml(c.source), c.expected) << c.source;
}

TEST(UnicodeHtml, DecodeHtmlCapacity) {
    const struct { const char* source; int32_t capacity; int64_t result; const char* expected; } cases[] = {
        {"abc", 4, 1, "abc"}, {"abc", 3, 0, "ab"}, {"abc", 1, 0, ""}, {"", 1, 1, ""}, {"\r\n", 1, 1, ""},
        {"ab\r\n", 3, 1, "ab"}, // an exact fit is a whole decoding
        {"a&euro;b", 4, 0, "a"}, // the euro sign does not fit: stop, never skip it
        {"a&euro;b", 5, 0, "a\xE2\x82\xAC"}, {"a&euro;b", 6, 1, "a\xE2\x82\xAC" "b"},
        {"a\xC3\xA9", 3, 0, "a"}, // a character is never cut
        {"a\xC3\xA9", 4, 1, "a\xC3\xA9"}, {"&#128512;", 4, 0, ""}, {"&#128512;", 5, 1, "\xF0\x9F\x98\x80"},
        {"a", 0, 0, nullptr}, // nothing written at all
    };
    for (const auto& c : cases) {
        Guarded<char> target(c.capacity, 0x55);
        EXPECT_EQ(StringUtf8_DecodeHtml(c.source, target, c.capacity), c.result) << c.source << " " << c.capacity;
        if (c.expected) {
            EXPECT_STREQ(target, c.expected) << c.source << " " << c.capacity;
        }
        EXPECT_TRUE(target.Untouched()) << c.source << " " << c.capacity;
    }
}

TEST(UnicodeHtml, DecodeHtmlSixteenBits) {
    const struct { const char16_t *source, *expected; } cases[] = {
        {u"&lt;&eacute;&Eacute;\r\n&#233;&#x20ac;&;", u"<\u00E9\u00C9\u00E9\u20AC\r"},
        {u"&#128512;&#0;&#xD800;&#65535;", u"\uFFFD\uFFFD\uFFFD\uFFFF"}, // beyond 16 bits, zero, lone surrogates
        {u"&\u00E9;\u20AC&amp;", u"&\u00E9;\u20AC&"}, // units outside ASCII never match a name
        {u"&#65 ;", u"&#65 ;"},
    };
    uint16_t target[32];
    for (const auto& c : cases) {
        EXPECT_EQ(StringUtf16_DecodeHtml(U(c.source), target, 32), 1);
        EXPECT_EQ(Text16(target), c.expected);
    }
    for (int32_t capacity = 0; capacity <= 5; capacity++) {
        Guarded<uint16_t> bounded(capacity, 0xBEEF);
        EXPECT_EQ(StringUtf16_DecodeHtml(U(u"a&lt;b\n"), bounded, capacity), capacity >= 4 ? 1 : 0) << capacity;
        EXPECT_TRUE(bounded.Untouched()) << capacity;
        if (capacity > 0) {
            EXPECT_EQ(Text16(bounded), std::u16string(u"a<b").substr(0, capacity - 1));
        }
    }
}

// The numeric reference encoder and decoder write into a guarded buffer and always answer 1.
#define ENCODE(capacity, source, expected) WRITE(capacity, StringUtf8_EncodeString(source, d, n), 1, expected)
#define DECODE(capacity, source, expected) WRITE(capacity, StringUtf8_DecodeString(source, d, n), 1, expected)

TEST(UnicodeHtml, EncodeString) {
    ExpectWrites({
        ENCODE(64, "caf\xC3\xA9", "caf&#233;"), ENCODE(64, "\xE2\x82\xAC", "&#8364;"),
        ENCODE(64, "a\xF0\x9F\x98\x80" "b", "a&#128512;b"), // the whole code point, not its low 16 bits
        ENCODE(64, "\xA9", "&#65533;"), ENCODE(64, "\xC0\xAF", "&#65533;"), // stray or overlong: no character
        ENCODE(64, "a\xC3" "b", "a"), ENCODE(64, "x\xE2\x82", "x"), // a broken sequence ends the text
        ENCODE(64, "&#60;", "&#60;"), ENCODE(64, "", ""), // ASCII is copied as it is
        // A reference is written whole or not at all.
        ENCODE(6, "\xC3\xA9", ""), ENCODE(7, "\xC3\xA9", "&#233;"), ENCODE(7, "a\xC3\xA9", "a"), ENCODE(2, "ab", "a"),
        ENCODE(1, "ab", ""), ENCODE(3, "ab", "ab"), ENCODE(0, "a", nullptr),
    });
}

TEST(UnicodeHtml, DecodeString) {
    ExpectWrites({
        DECODE(64, "a&#8364;b", "a\xE2\x82\xAC" "b"), DECODE(64, "&#233;t&#233;", "\xC3\xA9t\xC3\xA9"),
        DECODE(64, "##65;", "A"), DECODE(64, "&#128512;", "\xF0\x9F\x98\x80"),
        DECODE(64, "&#2147483647;", "\xFD\xBF\xBF\xBF\xBF\xBF"),
        DECODE(64, "&#55357;", "\xED\xA0\xBD"), // kept: the encoder writes such units of 16-bit text
        DECODE(64, "&#0;x", "\xEF\xBF\xBD" "x"), // a NUL would end the text
        DECODE(64, "&#99999999999;", "\xEF\xBF\xBD"), // never wraps
        DECODE(64, "&#233", "&#233"), // without ';' it is text
        DECODE(64, "&#12 rest; x", "&#12 rest; x"), // nothing up to a later ';' is swallowed
        DECODE(64, "&#x41;", "&#x41;"), DECODE(64, "&lt;", "&lt;"), // decimal only, and no names
        DECODE(64, "# #1;", "# #1;"), DECODE(64, "\xC3\xA9\xFF", "\xC3\xA9\xFF"),
        DECODE(4, "a&#8364;b", "a"), // the euro sign does not fit: the text ends, b is not written after a gap
        DECODE(5, "a&#8364;b", "a\xE2\x82\xAC"), DECODE(3, "a\xC3\xA9z", "a"), // a copied character is never cut
        DECODE(3, "abc", "ab"), DECODE(1, "abc", ""),
    });
}
#undef ENCODE
#undef DECODE

TEST(UnicodeHtml, EncodeDecodeRoundTrip) {
    for (const char* text : {"plain", "h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80", "\xED\xA0\xBD\xED\xB8\x80",
                             "\xFD\xBF\xBF\xBF\xBF\xBF"}) {
        char encoded[128], decoded[128];
        StringUtf8_EncodeString(text, encoded, sizeof(encoded));
        for (const char* p = encoded; *p; p++) ASSERT_LT(static_cast<uint8_t>(*p), 0x80);
        StringUtf8_DecodeString(encoded, decoded, sizeof(decoded));
        EXPECT_STREQ(decoded, text);
    }
}

} // namespace
