// Tests of the command line: argument splitting, the flat text, field walking and cleaning,
// switch lookup and the core's switches.
#include "core/runtime/command_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/abort_table.h"
#include "tests/support/call_outcome.h"

namespace {

using Strings = std::vector<std::string>;

std::vector<std::string> Split(const char* text) {
    int32_t count = -1;
    char** vector = reinterpret_cast<char**>(1);
    EXPECT_EQ(Arguments_BuildBySeparator(text, &count, &vector), 1);
    if (!vector) return {};
    std::vector<std::string> out(vector, vector + count);
    EXPECT_EQ(vector[count], nullptr);
    EXPECT_EQ(Arguments_Free(&count, &vector), 1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(vector, nullptr);
    return out;
}

std::vector<std::string> Fields(const char* text) {
    std::vector<std::string> out;
    int32_t count = -1;
    CommandLine_GetFieldCount(text, &count);
    char buffer[COMMAND_LINE_SIZE];
    for (int32_t i = 0; i < count; ++i) {
        EXPECT_EQ(CommandLine_GetField(text, i, buffer, sizeof buffer), 1) << text << " field " << i;
        out.emplace_back(buffer);
    }
    EXPECT_EQ(CommandLine_GetField(text, count, buffer, sizeof buffer), 0) << text;
    return out;
}

std::string Current() {
    const char* text = nullptr;
    EXPECT_EQ(CommandLine_Get(&text), 1);
    return text;
}

// The process vector as strings.
Strings Vector() {
    int32_t count = -1;
    char** vector = nullptr;
    EXPECT_EQ(Arguments_Get(&count, &vector), 1);
    return count ? Strings(vector, vector + count) : Strings{};
}

TEST(CommandLineTest, CoreSwitchesAreComparedWithCaseAndWhole) {
    for (const char* name : {"debug", "debugfile", "proxy", "proxy-wpad", "verbose", "window", "append"})
        EXPECT_EQ(Core_ShouldRemoveSwitch(name), 1) << name;
    for (const char* name : {"Debug", "DEBUG", "debu", "debugs", "proxy-", "devserver", "", "-debug"})
        EXPECT_EQ(Core_ShouldRemoveSwitch(name), 0) << name;
}

// The name must end at the end of the text, a separator, a quote or '='; case does not matter.
TEST(CommandLineTest, IsFieldSetNeedsAnEndAfterTheName) {
    // clang-format off
    const std::tuple<const char*, const char*, int64_t> cases[] = {
        {"--debug", "debug", 1}, {"a --DEBUG b", "debug", 1}, {"a --debug=3", "debug", 1},
        {"a \"--debug\"", "debug", 1}, {"a --debug b", "DeBuG", 1}, {"a --debugx", "debug", 0},
        {"a -debug", "debug", 0}, {"a --debu", "debug", 0}, {"", "debug", 0}, {"--", "debug", 0},
        {"-", "debug", 0}, {"a --debug\tb", "debug", 1}, {"a --debug\nb", "debug", 1}, {"a --x --y", "y", 1},
        {"--proxy-wpad", "proxy", 0}, {"--proxy-wpad", "proxy-wpad", 1}, {"prog --debugfile", "debugfile", 1},
        {"prog --debugfile", "debug", 0}, {"prog --verbose=\"Task*,Dictionary\" file", "verbose", 1},
        {"prog --verbose=\"Task*,Dictionary\" file", "file", 0},
    };
    // clang-format on
    for (const auto& [text, name, set] : cases)
        EXPECT_EQ(CommandLine_IsFieldSet(text, name), set) << text << " / " << name;
}

// Fields split at separators (white space and control characters, not the bytes of UTF-8
// sequences). A quoted field keeps its separators, inner quote pairs giving one quote; text right
// after its closing quote starts the next field; an unclosed one runs to the end. A value quoted
// right after '=' keeps its separators and ends the field at its closing quote; two quotes there
// open nothing.
TEST(CommandLineTest, FieldsAndTheirCleanedText) {
    // clang-format off
    const std::pair<const char*, Strings> cases[] = {
        {"", {}}, {"   \t\r\n", {}}, {"a", {"a"}}, {"a b   ", {"a", "b"}},
        {"  a\tb\001c\037d", {"a", "b", "c", "d"}},
        {"prog --debug --verbose=\"Task*,Dictionary\" file",
         {"prog", "--debug", "--verbose=\"Task*,Dictionary\"", "file"}},
        {"\"a \"\"b\"\" c\"", {"a \"b\" c"}}, {"x \"a b\" y", {"x", "a b", "y"}},
        {"\"a b\"c d", {"a b", "c", "d"}}, {"\"a b", {"a b"}}, {"\"", {""}}, {"\"\"", {""}},
        {"a\"\"b", {"a\"b"}}, {"a\"b", {"a\"b"}}, {"--v=\"a b\" c", {"--v=\"a b\"", "c"}},
        {"--v=\"a b\"c", {"--v=\"a b\"", "c"}}, {"--v=\"a \"\"q\"\" b\"", {"--v=\"a \"q\" b\""}},
        {"--v=\"a b", {"--v=\"a b"}}, {"--v=\"\"a b", {"--v=\"a", "b"}},
        {"--v=x\"a b\"", {"--v=x\"a", "b\""}}, {"--v==\"a b\"", {"--v==\"a b\""}}, {"--", {"--"}},
        {"--=x", {"--=x"}}, {"\xc3\xa9t\xc3\xa9 \xe2\x82\xac", {"\xc3\xa9t\xc3\xa9", "\xe2\x82\xac"}},
    };
    // clang-format on
    for (const auto& [text, fields] : cases) {
        EXPECT_EQ(Fields(text), fields) << text;
        int32_t count = -1;
        EXPECT_EQ(CommandLine_GetFieldCount(text, &count), fields.empty() ? 0 : 1) << text;
        EXPECT_EQ(count, static_cast<int32_t>(fields.size())) << text;
    }
}

TEST(CommandLineTest, FieldBoundariesPointIntoTheText) {
    const char* text = "  one \"two three\" --v=\"x y\"z  ";
    const char *start = nullptr, *end = nullptr;
    int32_t count = -1;
    const int32_t expected[][2] = {{2, 5}, {6, 17}, {18, 27}, {27, 28}, {-1, -1}, {-1, -1}, {-1, -1}};
    const int32_t indexes[] = {0, 1, 2, 3, 4, 100, -1};
    for (int32_t i = 0; i < 7; ++i) {
        const int64_t found = expected[i][0] >= 0;
        EXPECT_EQ(CommandLine_GetFieldBoundary(text, indexes[i], &count, &start, &end), found);
        EXPECT_EQ(count, 4);
        EXPECT_EQ(start ? start - text : -1, expected[i][0]) << i;
        EXPECT_EQ(end ? end - text : -1, expected[i][1]) << i;
        EXPECT_EQ(OUTCOME(const char*, text, CommandLine_GetFieldPtr(text, indexes[i], &out)),
                  found ? "1:" + std::string(start) : "0:(null)");
    }
    EXPECT_EQ(CommandLine_GetFieldBoundary(text, 1, nullptr, &start, &end), 1); // count may be left out
    EXPECT_EQ(OUTCOME_TEXT(32, CommandLine_GetFieldCleanAndCopy(start, end, out, sizeof out)), "1:two three");
    EXPECT_EQ(OUTCOME_TEXT(32, CommandLine_GetFieldCleanAndCopy(start, end, out, 5)), "1:two ");
    EXPECT_EQ(OUTCOME_TEXT(32, CommandLine_GetFieldCleanAndCopy(end, start, out, sizeof out)), "1:");
}

TEST(CommandLineTest, GetFieldCutsAtTheCapacity) {
    const std::tuple<int32_t, int32_t, int64_t, const char*> cases[] = {
        {0, 3, 1, "ab"}, {0, 1, 1, ""}, {0, 0, 0, "z"}, {1, 8, 0, ""}}; // index, capacity, result, text
    for (const auto& [index, capacity, result, text] : cases) {
        char buffer[8] = "z";
        EXPECT_EQ(CommandLine_GetField("abcdef", index, buffer, capacity), result);
        EXPECT_STREQ(buffer, text);
    }
}

TEST(CommandLineTest, GetFieldByName) {
    // clang-format off
    const std::tuple<const char*, const char*, int64_t, const char*> cases[] = {
        {"prog --debug --verbose=\"Task*,Dictionary\" file", "verbose", 1, "Task*,Dictionary"},
        {"p --verbose=", "verbose", 1, ""}, {"p --verbose", "verbose", 0, ""},
        {"p --verbose x", "verbose", 0, ""}, {"p --VERBOSE=Log", "verbose", 1, "Log"},
        {"p --verbose=Log", "VeRbOsE", 1, "Log"}, {"p --verbosex=1", "verbose", 0, ""},
        {"p --a=1 --a=2", "a", 1, "1"}, {"p --a=\"x \"\"y\"\" z\" w", "a", 1, "x \"y\" z"},
        {"p --a=\"x y", "a", 1, "x y"}, {"p --a=b=c", "a", 1, "b=c"}, {"p --a=x\"y", "a", 1, "x\"y"},
        {"p -a=1", "a", 0, ""}, {"p \"--a=1\"", "a", 0, ""}, {"p --=x", "", 1, "x"}, {"--", "", 0, ""},
        {"", "a", 0, ""}, {"p --proxy=h:80 --proxy-wpad=auto", "proxy-wpad", 1, "auto"},
    };
    // clang-format on
    for (const auto& [text, name, found, value] : cases) {
        char buffer[64] = "z";
        EXPECT_EQ(CommandLine_GetFieldByName(text, name, buffer, sizeof buffer), found) << text;
        EXPECT_STREQ(buffer, value) << text;
    }
    char small[4];
    EXPECT_EQ(CommandLine_GetFieldByName("--a=abcdef", "a", small, sizeof small), 1);
    EXPECT_STREQ(small, "abc");
}

// A name follows "--" up to '=' or a separator; a value follows the first '=' to the end of the
// field, its quotes cleaned.
TEST(CommandLineTest, FieldNameAndValue) {
    // clang-format off
    const std::tuple<const char*, const char*, const char*> cases[] = { // field, name, value
        {"-x", "0:", "0:"}, {"a-b", "0:", "0:"}, {"--x=1", "1:x", "1:1"}, {"--x", "1:x", "0:"},
        {"--x other", "1:x", "0:"}, {"--x\tother=1", "1:x", "0:"}, {"--x= other", "1:x", "1:"},
        {"--", "1:", "0:"},
        {"--=x", "1:", "1:x"}, {"--a=b=c", "1:a", "1:b=c"}, {"--a=\"b c\" d", "1:a", "1:b c"},
        {"---a=1", "1:-a", "1:1"}, {"a=b", "0:", "1:b"}, {" --a=b", "0:", "0:"}, {"", "0:", "0:"},
    };
    // clang-format on
    for (const auto& [field, name, value] : cases) {
        EXPECT_EQ(OUTCOME_TEXT(32, CommandLine_GetFieldName(field, out, sizeof out)), name) << field;
        EXPECT_EQ(OUTCOME_TEXT(32, CommandLine_GetFieldValue(field, out, sizeof out)), value) << field;
        const bool valued = value[0] == '1';
        EXPECT_EQ(OUTCOME(const char*, field, CommandLine_GetFieldValuePtr(field, &out)),
                  valued ? "1:" + std::string(strchr(field, '=') + 1) : "0:(null)")
            << field;
    }
    EXPECT_EQ(OUTCOME_TEXT(3, CommandLine_GetFieldName("--debugfile", out, sizeof out)), "1:de");
    // A field taken from inside a text ends where the field does.
    const char* text = "prog --debug=2 --window";
    EXPECT_EQ(OUTCOME_TEXT(32, CommandLine_GetFieldValue(text + 5, out, sizeof out)), "1:2");
    EXPECT_EQ(OUTCOME_TEXT(32, CommandLine_GetFieldName(text + 15, out, sizeof out)), "1:window");
}

TEST(CommandLineTest, SplittingTextsIntoArguments) {
    // A backslash and the character after it are kept as they are, except that a quote still closes
    // a quoted section. The split stops at an argument of the longest length.
    // clang-format off
    struct Case {
        std::string text;
        Strings arguments;
    } const cases[] = {
        {"", {}}, {"  \t ", {}}, {"a \"b c\"d", {"a", "b c", "d"}}, {"  a\t\tb\r\nc ", {"a", "b", "c"}},
        {"\"\"", {""}}, {"a \"\" b", {"a", "", "b"}}, {"x\"y z\"w", {"xy z", "w"}}, {"\"a b", {"a b"}},
        {"a \"", {"a"}}, {"a\\ b", {"a\\ b"}}, {"a\\\"b c", {"a\\\"b", "c"}}, {"\\\\\"a b\"", {"\\\\a b"}},
        {"\"a\\\" b", {"a\\", "b"}}, {"\"a\\\\b\"", {"a\\\\b"}},
        {"--verbose=\"a b\" x", {"--verbose=a b", "x"}}, {"\x01 a", {"\x01", "a"}},
        {std::string(ARGUMENT_MAX_LENGTH - 1, 'x') + " y", {std::string(ARGUMENT_MAX_LENGTH - 1, 'x'), "y"}},
        {std::string(ARGUMENT_MAX_LENGTH + 100, 'x') + " y", {std::string(ARGUMENT_MAX_LENGTH, 'x')}},
        {"a \"" + std::string(ARGUMENT_MAX_LENGTH,
         'q') + "\" b", {"a", std::string(ARGUMENT_MAX_LENGTH, 'q')}},
    };
    // clang-format on
    for (const Case& c : cases) {
        const std::string shown = c.text.substr(0, 40);
        EXPECT_EQ(Split(c.text.c_str()), c.arguments) << shown;
        int32_t count = -1;
        EXPECT_EQ(Arguments_BuildBySeparator(c.text.c_str(), &count, nullptr), 1);
        EXPECT_EQ(count, static_cast<int32_t>(c.arguments.size())) << shown;
        int32_t built = -1;
        char** vector = nullptr;
        EXPECT_EQ(Arguments_Build(c.text.c_str(), &built, &vector), 1);
        EXPECT_EQ(built, count);
        ASSERT_NE(vector, nullptr);
        EXPECT_EQ(vector[built], nullptr);
        Arguments_Free(&built, &vector);
    }
    // Many short arguments are not limited.
    std::string text;
    for (int32_t i = 0; i < 5000; ++i) text += "ab ";
    int32_t count = 0;
    EXPECT_EQ(Arguments_BuildBySeparator(text.c_str(), &count, nullptr), 1);
    EXPECT_EQ(count, 5000);
}

TEST(CommandLineTest, BuildJoinsArgumentsAndQuotesThoseWithSpaces) {
    char* vector[] = {const_cast<char*>("/usr/bin/prog"), const_cast<char*>("--a=1"),
                      const_cast<char*>("my file"), const_cast<char*>("x")};
    // clang-format off
    const struct {
        int32_t count, capacity;
        int64_t result;
        const char* text;
    } cases[] = {
        {4, 64, 1, "/usr/bin/prog --a=1 \"my file\" x"}, {4, 17, 1, "/usr/bin/prog --"},
        {4, 22, 1, "/usr/bin/prog --a=1 \""}, {4, 1, 1, ""}, {0, 64, 1, ""},
        {4, 0, 0, "z"}, // nothing written
    };
    // clang-format on
    for (const auto& c : cases) {
        char buffer[64] = "z";
        EXPECT_EQ(CommandLine_Build(c.count, c.count ? vector : nullptr, buffer, c.capacity), c.result);
        EXPECT_STREQ(buffer, c.text);
    }
}

TEST(CommandLineTest, VectorOfMainIsBorrowed) {
    // CommandLine_Remove and Arguments_Remove must never free a vector they did not build.
    char* vector[] = {const_cast<char*>("prog"), const_cast<char*>("--debug"), const_cast<char*>("my file"),
                      nullptr};
    EXPECT_EQ(Arguments_Init(3, vector), 1);
    EXPECT_EQ(Current(), "prog --debug \"my file\"");
    int32_t count = 0;
    char** got = nullptr;
    EXPECT_EQ(Arguments_Get(&count, &got), 1);
    EXPECT_EQ(got, vector);
    EXPECT_EQ(CommandLine_IsFieldSet(nullptr, "debug"), 1);
    char field[16];
    EXPECT_EQ(CommandLine_GetField(nullptr, 2, field, sizeof field), 1);
    EXPECT_STREQ(field, "my file");
    EXPECT_EQ(CommandLine_Remove(), 1);
    EXPECT_EQ(Vector(), Strings{});
    EXPECT_EQ(Arguments_Init(3, vector), 1);
    EXPECT_EQ(Arguments_Remove(), 1);
    EXPECT_STREQ(vector[1], "--debug");
}

TEST(CommandLineTest, CommandLineTextOwnsItsVector) {
    EXPECT_EQ(CommandLine_Init("prog --verbose=\"a b\" x"), 1);
    EXPECT_EQ(Current(), "prog --verbose=\"a b\" x");
    EXPECT_EQ(Vector(), (Strings{"prog", "--verbose=a b", "x"}));
    char value[16];
    EXPECT_EQ(CommandLine_GetFieldByName(nullptr, "verbose", value, sizeof value), 1);
    EXPECT_STREQ(value, "a b");
    EXPECT_EQ(CommandLine_Remove(), 1);
    EXPECT_EQ(Vector(), Strings{});
    // Forgetting an owned vector frees it (the leak checker of the test build sees a miss).
    EXPECT_EQ(CommandLine_Init(""), 1);
    int32_t count = -1;
    char** vector = nullptr;
    EXPECT_EQ(Arguments_Get(&count, &vector), 1);
    EXPECT_EQ(count, 0);
    EXPECT_NE(vector, nullptr);
    EXPECT_EQ(Arguments_Remove(), 1);
}

TEST(CommandLineTest, LongTextsAreCut) {
    const std::string longText = "prog " + std::string(5000, 'a');
    EXPECT_EQ(CommandLine_Init(longText.c_str()), 1);
    EXPECT_EQ(Current(), longText.substr(0, COMMAND_LINE_SIZE - 1));
    EXPECT_EQ(Vector(), (Strings{"prog", std::string(COMMAND_LINE_SIZE - 1 - 5, 'a')}));
    EXPECT_EQ(CommandLine_Append("--debug"), 1);
    EXPECT_EQ(Current().size(), static_cast<size_t>(COMMAND_LINE_SIZE - 1));
    EXPECT_EQ(CommandLine_IsFieldSet(nullptr, "debug"), 0);
    EXPECT_EQ(CommandLine_Remove(), 1);

    // Field readers look at no more of a text than the command line holds: 4087 + 8 characters
    // fit exactly, one more cuts the name.
    std::string text = std::string(COMMAND_LINE_SIZE - 1, 'a') + " --debug";
    EXPECT_EQ(CommandLine_IsFieldSet(text.c_str(), "debug"), 0);
    int32_t fields = 0;
    EXPECT_EQ(CommandLine_GetFieldCount(text.c_str(), &fields), 1);
    EXPECT_EQ(fields, 1);
    EXPECT_EQ(CommandLine_IsFieldSet((std::string(COMMAND_LINE_SIZE - 9, 'a') + " --debug").c_str(), "debug"),
              1);
    text = std::string(COMMAND_LINE_SIZE - 8, 'a') + " --debug";
    EXPECT_EQ(CommandLine_IsFieldSet(text.c_str(), "debug"), 0);
    // A field pointer is bounded from where it points.
    char buffer[16];
    EXPECT_EQ(CommandLine_GetFieldName(text.c_str() + COMMAND_LINE_SIZE - 7, buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "debug");
}

TEST(CommandLineTest, AppendAddsOneSpaceAndText) {
    struct Case {
        const char* init;
        std::vector<const char*> appended;
        const char* text;
        const char* set; // a switch the text then holds
    } const cases[] = {
        {"", {"--a", "--b=\"x y\""}, "--a --b=\"x y\"", "b"},
        {"prog ", {"--c"}, "prog --c", "c"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CommandLine_Init(c.init), 1);
        for (const char* text : c.appended) EXPECT_EQ(CommandLine_Append(text), 1);
        EXPECT_EQ(Current(), c.text);
        EXPECT_EQ(CommandLine_IsFieldSet(nullptr, c.set), 1);
        EXPECT_EQ(CommandLine_Remove(), 1);
    }
}

TEST(CommandLineTest, InitWideConvertsToUtf8) {
    const uint16_t text[] = {'p', ' ', '-', '-', 'n', '=', 0xE9, ' ', 0x20AC, 0};
    EXPECT_EQ(CommandLine_InitWide(text), 1);
    EXPECT_EQ(Current(), "p --n=\xc3\xa9 \xe2\x82\xac");
    EXPECT_EQ(Vector().size(), 3u);
    char value[16];
    EXPECT_EQ(CommandLine_GetFieldByName(nullptr, "N", value, sizeof value), 1);
    EXPECT_STREQ(value, "\xc3\xa9");
    EXPECT_EQ(CommandLine_Remove(), 1);
}

char* g_vector[] = {const_cast<char*>("prog"), nullptr};

TEST(CommandLineDeathTest, InitAndRemoveOutOfOrderAbort) {
    const std::string already =
        AbortRegex("Assertion failed (GlobalArgV == NULL)\nCommand line already initialized");
    const std::string missing =
        AbortRegex("Assertion failed (GlobalArgV != NULL)\nCommand line not initialized");
    ExpectAborts({
        {[] {
             Arguments_Init(1, g_vector);
             Arguments_Init(1, g_vector);
         },
         already},
        {[] {
             Arguments_Init(1, g_vector);
             CommandLine_Init("prog");
         },
         already},
        {[] {
             CommandLine_Init("prog");
             Arguments_Init(1, g_vector);
         },
         already},
        {[] { Arguments_Remove(); }, missing},
        {[] { CommandLine_Remove(); }, missing},
        {[] {
             CommandLine_Init("prog");
             CommandLine_Remove();
             CommandLine_Remove();
         },
         missing},
    });
}

} // namespace
