// Names escaped for log lines: control characters of every kind become visible escapes, other
// text stays as it is, and a cut never splits a character or an escape.
#include "core/runtime/log_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
    const char* text;
    int32_t capacity;
    const char* escaped;
    int64_t whole;
};

TEST(LogText, EscapesControlsAndCutsOnlyBetweenCharacters) {
    const Case cases[] = {
        {"plain/name with blanks.txt", 64, "plain/name with blanks.txt", 1},
        {"a\nINFO - b\r\tc", 64, "a\\nINFO - b\\r\\tc", 1},
        {"\x01\x1f\x7f", 64, "\\x01\\x1f\\x7f", 1},
        // C1 controls (NEL) and the Unicode line and paragraph separators, as UTF-8.
        {"a\xc2\x85" "b\xe2\x80\xa8" "c\xe2\x80\xa9", 64, "a\\u0085b\\u2028c\\u2029", 1},
        // Other UTF-8 and a backslash of the name's own stay.
        {"caf\xc3\xa9 \xe2\x82\xac a\\b", 64, "caf\xc3\xa9 \xe2\x82\xac a\\b", 1},
        {"abcdefghij", 8, "abcd...", 0},
        {"abcdefg", 8, "abcdefg", 1},
        {"\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", 8, "\xc3\xa9\xc3\xa9...", 0},
        {"x\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", 8, "x\xc3\xa9...", 0},
        {"\n\n\n\n", 8, "\\n\\n...", 0},
        {"a\x01\x01", 8, "a...", 0},
        {"abc", 3, "", 0},
        {"", 1, "", 1},
    };
    for (const Case& c : cases) {
        std::string buffer((size_t)c.capacity, '#');
        EXPECT_EQ(LogText_Escape(c.text, buffer.data(), c.capacity), c.whole) << c.text;
        EXPECT_STREQ(buffer.c_str(), c.escaped) << c.text;
    }
    EXPECT_STREQ(LogText("one\ntwo").Text, "one\\ntwo");
    const std::string cut = LogText(std::string(5000, '\n').c_str()).Text;
    EXPECT_EQ(cut.size(), sizeof(LogText::Text) - 1);
    EXPECT_EQ(cut.substr(cut.size() - 5), "\\n...");
}

} // namespace
