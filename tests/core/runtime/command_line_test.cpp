// Tests of the command line: argument splitting, the flat text, field walking and cleaning,
// switch lookup and the core's switch table.
#include "core/runtime/command_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/abort_hook.h"

namespace {

std::vector<std::string> Split(const char* text) {
    int32_t count = -1;
    char** vector = reinterpret_cast<char**>(1);
    EXPECT_EQ(Arguments_BuildBySeparator(text, &count, &vector), 1);
    std::vector<std::string> out;
    if (vector == nullptr) return out;
    for (int32_t i = 0; i < count; ++i) out.emplace_back(vector[i]);
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

using Strings = std::vector<std::string>;

TEST(CommandLineTest, SwitchFilterTableHoldsTheCoreSwitchesInOrder) {
    const char* const expected[] = {
        "append",     "cmdline",       "commit",       "debug",      "debugfile",      "debugfileid",
        "debugdir",   "externalprint", "memoryreport", "memorytest", "memorytracking", "perday",
        "perprocess", "perthread",     "proxy",        "proxy-wpad", "verbose",        "window"};
    static_assert(sizeof expected / sizeof expected[0] == CORE_SWITCH_FILTER_COUNT);
    for (int32_t i = 0; i < CORE_SWITCH_FILTER_COUNT; ++i) {
        EXPECT_STREQ(Core_SwitchFilterTable[i], expected[i]) << i;
        EXPECT_EQ(Core_ShouldRemoveSwitch(expected[i]), 1) << expected[i];
    }
    // Compared with case and whole.
    for (const char* name : {"Debug", "DEBUG", "debu", "debugs", "proxy-", "devserver", "", "-debug"}) {
        EXPECT_EQ(Core_ShouldRemoveSwitch(name), 0) << name;
    }
}

TEST(CommandLineTest, SwitchesOfATypicalCommandLine) {
    const char* text = "prog --debug --verbose=\"Task*,Dictionary\" file";
    int32_t count = 0;
    EXPECT_EQ(CommandLine_GetFieldCount(text, &count), 1);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(Fields(text), (Strings{"prog", "--debug", "--verbose=\"Task*,Dictionary\"", "file"}));

    char value[64];
    EXPECT_EQ(CommandLine_GetFieldByName(text, "verbose", value, sizeof value), 1);
    EXPECT_STREQ(value, "Task*,Dictionary");
    EXPECT_EQ(CommandLine_IsFieldSet(text, "debug"), 1);
    EXPECT_EQ(CommandLine_IsFieldSet(text, "debu"), 0);
    EXPECT_EQ(CommandLine_IsFieldSet(text, "verbose"), 1);
    EXPECT_EQ(CommandLine_IsFieldSet(text, "file"), 0);

    EXPECT_EQ(CommandLine_IsFieldSet("prog --debugfile", "debugfile"), 1);
    EXPECT_EQ(CommandLine_IsFieldSet("prog --debugfile", "debug"), 0);
}

TEST(CommandLineTest, IsFieldSetNeedsAnEndAfterTheName) {
    struct Case {
        const char* text;
        const char* name;
        int64_t set;
    } cases[] = {
        {"--debug", "debug", 1},
        {"a --DEBUG b", "debug", 1},
        {"a --debug=3", "debug", 1},
        {"a \"--debug\"", "debug", 1},
        {"a --debug b", "DeBuG", 1},
        {"a --debugx", "debug", 0},
        {"a -debug", "debug", 0},
        {"a --debu", "debug", 0},
        {"", "debug", 0},
        {"--", "debug", 0},
        {"-", "debug", 0},
        {"a --debug\tb", "debug", 1},
        {"a --debug\nb", "debug", 1},
        {"a --x --y", "y", 1},
        {"--proxy-wpad", "proxy", 0},
        {"--proxy-wpad", "proxy-wpad", 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CommandLine_IsFieldSet(c.text, c.name), c.set) << c.text << " / " << c.name;
    }
}

TEST(CommandLineTest, FieldsAndTheirCleanedText) {
    struct Case {
        const char* text;
        Strings fields;
    } cases[] = {
        {"", {}},
        {"   \t\r\n", {}},
        {"a", {"a"}},
        {"a b   ", {"a", "b"}},
        {"  a\tb\x01"
         "c\x1f"
         "d",
         {"a", "b", "c", "d"}},
        // A quoted field: inner pairs give one quote each.
        {"\"a \"\"b\"\" c\"", {"a \"b\" c"}},
        {"x \"a b\" y", {"x", "a b", "y"}},
        // Text right after a closing quote starts the next field.
        {"\"a b\"c d", {"a b", "c", "d"}},
        // Unclosed quoted field runs to the end of the text.
        {"\"a b", {"a b"}},
        {"\"", {""}},
        {"\"\"", {""}},
        {"a\"\"b", {"a\"b"}},
        {"a\"b", {"a\"b"}},
        // A value quoted after '=' keeps its separators and ends the field at its closing quote.
        {"--v=\"a b\" c", {"--v=\"a b\"", "c"}},
        {"--v=\"a b\"c", {"--v=\"a b\"", "c"}},
        {"--v=\"a \"\"q\"\" b\"", {"--v=\"a \"q\" b\""}},
        {"--v=\"a b", {"--v=\"a b"}},
        // Two quotes after '=' do not open a value.
        {"--v=\"\"a b", {"--v=\"a", "b"}},
        {"--v=x\"a b\"", {"--v=x\"a", "b\""}},
        {"--v==\"a b\"", {"--v==\"a b\""}},
        {"--", {"--"}},
        {"--=x", {"--=x"}},
        // Bytes of UTF-8 sequences are not separators.
        {"\xc3\xa9t\xc3\xa9 \xe2\x82\xac", {"\xc3\xa9t\xc3\xa9", "\xe2\x82\xac"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Fields(c.text), c.fields) << c.text;
        int32_t count = -1;
        EXPECT_EQ(CommandLine_GetFieldCount(c.text, &count), c.fields.empty() ? 0 : 1) << c.text;
        EXPECT_EQ(count, static_cast<int32_t>(c.fields.size())) << c.text;
    }
}

TEST(CommandLineTest, FieldBoundariesPointIntoTheText) {
    const char* text = "  one \"two three\" --v=\"x y\"z  ";
    const char* start = reinterpret_cast<const char*>(1);
    const char* end = reinterpret_cast<const char*>(1);
    int32_t count = -1;
    struct Expected {
        int32_t start;
        int32_t end;
    } expected[] = {{2, 5}, {6, 17}, {18, 27}, {27, 28}};
    for (int32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(CommandLine_GetFieldBoundary(text, i, &count, &start, &end), 1);
        EXPECT_EQ(count, 4);
        EXPECT_EQ(start - text, expected[i].start) << i;
        EXPECT_EQ(end - text, expected[i].end) << i;
        EXPECT_EQ(CommandLine_GetFieldBoundary(text, i, nullptr, &start, &end), 1);
        EXPECT_EQ(start - text, expected[i].start) << i;
        const char* ptr = nullptr;
        EXPECT_EQ(CommandLine_GetFieldPtr(text, i, &ptr), 1);
        EXPECT_EQ(ptr, start);
    }
    for (int32_t index : {4, 100, -1}) {
        EXPECT_EQ(CommandLine_GetFieldBoundary(text, index, &count, &start, &end), 0);
        EXPECT_EQ(count, 4);
        EXPECT_EQ(start, nullptr);
        EXPECT_EQ(end, nullptr);
        const char* ptr = text;
        EXPECT_EQ(CommandLine_GetFieldPtr(text, index, &ptr), 0);
        EXPECT_EQ(ptr, nullptr);
    }

    char buffer[32];
    EXPECT_EQ(CommandLine_GetFieldBoundary(text, 1, nullptr, &start, &end), 1);
    EXPECT_EQ(CommandLine_GetFieldCleanAndCopy(start, end, buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "two three");
    EXPECT_EQ(CommandLine_GetFieldCleanAndCopy(start, end, buffer, 5), 1);
    EXPECT_STREQ(buffer, "two ");
    EXPECT_EQ(CommandLine_GetFieldCleanAndCopy(end, start, buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "");
}

TEST(CommandLineTest, GetFieldCutsAtTheCapacity) {
    char buffer[8];
    memset(buffer, 'z', sizeof buffer);
    EXPECT_EQ(CommandLine_GetField("abcdef", 0, buffer, 3), 1);
    EXPECT_STREQ(buffer, "ab");
    EXPECT_EQ(CommandLine_GetField("abcdef", 0, buffer, 1), 1);
    EXPECT_STREQ(buffer, "");
    memset(buffer, 'z', sizeof buffer);
    EXPECT_EQ(CommandLine_GetField("abcdef", 0, buffer, 0), 0);
    EXPECT_EQ(buffer[0], 'z');
    EXPECT_EQ(CommandLine_GetField("abcdef", 1, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
}

TEST(CommandLineTest, GetFieldByName) {
    struct Case {
        const char* text;
        const char* name;
        int64_t found;
        const char* value;
    } cases[] = {
        {"p --verbose=", "verbose", 1, ""},
        {"p --verbose", "verbose", 0, ""},
        {"p --verbose x", "verbose", 0, ""},
        {"p --VERBOSE=Log", "verbose", 1, "Log"},
        {"p --verbose=Log", "VeRbOsE", 1, "Log"},
        {"p --verbosex=1", "verbose", 0, ""},
        {"p --a=1 --a=2", "a", 1, "1"},
        {"p --a=\"x \"\"y\"\" z\" w", "a", 1, "x \"y\" z"},
        {"p --a=\"x y", "a", 1, "x y"},
        {"p --a=b=c", "a", 1, "b=c"},
        {"p --a=x\"y", "a", 1, "x\"y"},
        {"p -a=1", "a", 0, ""},
        {"p \"--a=1\"", "a", 0, ""},
        {"p --=x", "", 1, "x"},
        {"--", "", 0, ""},
        {"", "a", 0, ""},
        {"p --proxy=h:80 --proxy-wpad=auto", "proxy-wpad", 1, "auto"},
    };
    for (const Case& c : cases) {
        char buffer[64];
        memset(buffer, 'z', sizeof buffer);
        EXPECT_EQ(CommandLine_GetFieldByName(c.text, c.name, buffer, sizeof buffer), c.found) << c.text;
        EXPECT_STREQ(buffer, c.value) << c.text;
    }
    char small[4];
    EXPECT_EQ(CommandLine_GetFieldByName("--a=abcdef", "a", small, sizeof small), 1);
    EXPECT_STREQ(small, "abc");
}

TEST(CommandLineTest, FieldNameAndValue) {
    struct Case {
        const char* field;
        int64_t named;
        const char* name;
        int64_t valued;
        const char* value;
    } cases[] = {
        {"-x", 0, "", 0, ""},
        {"a-b", 0, "", 0, ""},
        {"--x=1", 1, "x", 1, "1"},
        {"--x", 1, "x", 0, ""},
        {"--x other", 1, "x", 0, ""},
        {"--x\tother=1", 1, "x", 0, ""},
        {"--x= other", 1, "x", 1, ""},
        {"--", 1, "", 0, ""},
        {"--=x", 1, "", 1, "x"},
        {"--a=b=c", 1, "a", 1, "b=c"},
        {"--a=\"b c\" d", 1, "a", 1, "b c"},
        {"---a=1", 1, "-a", 1, "1"},
        {"a=b", 0, "", 1, "b"},
        {" --a=b", 0, "", 0, ""},
        {"", 0, "", 0, ""},
    };
    for (const Case& c : cases) {
        char buffer[32];
        memset(buffer, 'z', sizeof buffer);
        EXPECT_EQ(CommandLine_GetFieldName(c.field, buffer, sizeof buffer), c.named) << c.field;
        EXPECT_STREQ(buffer, c.name) << c.field;
        memset(buffer, 'z', sizeof buffer);
        EXPECT_EQ(CommandLine_GetFieldValue(c.field, buffer, sizeof buffer), c.valued) << c.field;
        EXPECT_STREQ(buffer, c.value) << c.field;
        const char* value = c.field;
        EXPECT_EQ(CommandLine_GetFieldValuePtr(c.field, &value), c.valued) << c.field;
        if (c.valued) {
            EXPECT_EQ(value, strchr(c.field, '=') + 1) << c.field;
        } else {
            EXPECT_EQ(value, nullptr) << c.field;
        }
    }
    char small[3];
    EXPECT_EQ(CommandLine_GetFieldName("--debugfile", small, sizeof small), 1);
    EXPECT_STREQ(small, "de");

    // A field taken from inside a text ends where the field does.
    const char* text = "prog --debug=2 --window";
    const char* field = nullptr;
    ASSERT_EQ(CommandLine_GetFieldPtr(text, 1, &field), 1);
    char buffer[32];
    EXPECT_EQ(CommandLine_GetFieldValue(field, buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "2");
    ASSERT_EQ(CommandLine_GetFieldPtr(text, 2, &field), 1);
    EXPECT_EQ(CommandLine_GetFieldName(field, buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "window");
}

TEST(CommandLineTest, SplittingTextsIntoArguments) {
    struct Case {
        const char* text;
        Strings arguments;
    } cases[] = {
        {"", {}},
        {"  \t ", {}},
        {"a \"b c\"d", {"a", "b c", "d"}},
        {"  a\t\tb\r\nc ", {"a", "b", "c"}},
        {"\"\"", {""}},
        {"a \"\" b", {"a", "", "b"}},
        {"x\"y z\"w", {"xy z", "w"}},
        {"\"a b", {"a b"}},
        {"a \"", {"a"}},
        // The character after a backslash is kept as it is, the backslash too.
        {"a\\ b", {"a\\ b"}},
        {"a\\\"b c", {"a\\\"b", "c"}},
        {"\\\\\"a b\"", {"\\\\a b"}},
        // In a quoted section a quote closes it even after a backslash.
        {"\"a\\\" b", {"a\\", "b"}},
        {"\"a\\\\b\"", {"a\\\\b"}},
        {"--verbose=\"a b\" x", {"--verbose=a b", "x"}},
        {"\x01 a", {"\x01", "a"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Split(c.text), c.arguments) << c.text;
        int32_t count = -1;
        EXPECT_EQ(Arguments_BuildBySeparator(c.text, &count, nullptr), 1);
        EXPECT_EQ(count, static_cast<int32_t>(c.arguments.size())) << c.text;

        int32_t built = -1;
        char** vector = nullptr;
        EXPECT_EQ(Arguments_Build(c.text, &built, &vector), 1);
        EXPECT_EQ(built, count);
        ASSERT_NE(vector, nullptr);
        EXPECT_EQ(vector[built], nullptr);
        Arguments_Free(&built, &vector);
    }
}

TEST(CommandLineTest, SplittingStopsAtTheLongestArgument) {
    std::string text(ARGUMENT_MAX_LENGTH - 1, 'x');
    text += " y";
    EXPECT_EQ(Split(text.c_str()), (Strings{std::string(ARGUMENT_MAX_LENGTH - 1, 'x'), "y"}));

    text = std::string(ARGUMENT_MAX_LENGTH + 100, 'x') + " y";
    EXPECT_EQ(Split(text.c_str()), (Strings{std::string(ARGUMENT_MAX_LENGTH, 'x')}));

    text = "a \"" + std::string(ARGUMENT_MAX_LENGTH, 'q') + "\" b";
    EXPECT_EQ(Split(text.c_str()), (Strings{"a", std::string(ARGUMENT_MAX_LENGTH, 'q')}));

    // Many short arguments are not limited.
    text.clear();
    for (int32_t i = 0; i < 5000; ++i) text += "ab ";
    int32_t count = 0;
    EXPECT_EQ(Arguments_BuildBySeparator(text.c_str(), &count, nullptr), 1);
    EXPECT_EQ(count, 5000);
}

TEST(CommandLineTest, BuildJoinsArgumentsAndQuotesThoseWithSpaces) {
    char* vector[] = {const_cast<char*>("/usr/bin/prog"), const_cast<char*>("--a=1"),
                      const_cast<char*>("my file"), const_cast<char*>("x")};
    char buffer[64];
    EXPECT_EQ(CommandLine_Build(4, vector, buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "/usr/bin/prog --a=1 \"my file\" x");
    EXPECT_EQ(CommandLine_Build(4, vector, buffer, 17), 1);
    EXPECT_STREQ(buffer, "/usr/bin/prog --");
    EXPECT_EQ(CommandLine_Build(4, vector, buffer, 22), 1);
    EXPECT_STREQ(buffer, "/usr/bin/prog --a=1 \"");
    EXPECT_EQ(CommandLine_Build(4, vector, buffer, 1), 1);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(CommandLine_Build(0, nullptr, buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "");
    buffer[0] = 'z';
    EXPECT_EQ(CommandLine_Build(4, vector, buffer, 0), 0);
    EXPECT_EQ(buffer[0], 'z');
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
    EXPECT_EQ(count, 3);
    EXPECT_EQ(got, vector);
    EXPECT_EQ(CommandLine_IsFieldSet(nullptr, "debug"), 1);
    char field[16];
    EXPECT_EQ(CommandLine_GetField(nullptr, 2, field, sizeof field), 1);
    EXPECT_STREQ(field, "my file");
    EXPECT_EQ(CommandLine_Remove(), 1);
    EXPECT_EQ(Arguments_Get(&count, &got), 1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(got, nullptr);

    EXPECT_EQ(Arguments_Init(3, vector), 1);
    EXPECT_EQ(Arguments_Remove(), 1);
    EXPECT_STREQ(vector[1], "--debug");
}

TEST(CommandLineTest, CommandLineTextOwnsItsVector) {
    EXPECT_EQ(CommandLine_Init("prog --verbose=\"a b\" x"), 1);
    EXPECT_EQ(Current(), "prog --verbose=\"a b\" x");
    int32_t count = 0;
    char** vector = nullptr;
    EXPECT_EQ(Arguments_Get(&count, &vector), 1);
    ASSERT_EQ(count, 3);
    EXPECT_STREQ(vector[0], "prog");
    EXPECT_STREQ(vector[1], "--verbose=a b");
    EXPECT_STREQ(vector[2], "x");
    char value[16];
    EXPECT_EQ(CommandLine_GetFieldByName(nullptr, "verbose", value, sizeof value), 1);
    EXPECT_STREQ(value, "a b");
    EXPECT_EQ(CommandLine_Remove(), 1);
    EXPECT_EQ(Arguments_Get(&count, &vector), 1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(vector, nullptr);

    // Forgetting an owned vector frees it (the leak checker of the test build sees a miss).
    EXPECT_EQ(CommandLine_Init(""), 1);
    EXPECT_EQ(Arguments_Get(&count, &vector), 1);
    EXPECT_EQ(count, 0);
    EXPECT_NE(vector, nullptr);
    EXPECT_EQ(Arguments_Remove(), 1);
}

TEST(CommandLineTest, LongTextsAreCut) {
    const std::string longText = "prog " + std::string(5000, 'a');
    EXPECT_EQ(CommandLine_Init(longText.c_str()), 1);
    EXPECT_EQ(Current(), longText.substr(0, COMMAND_LINE_SIZE - 1));
    int32_t count = 0;
    char** vector = nullptr;
    EXPECT_EQ(Arguments_Get(&count, &vector), 1);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(strlen(vector[1]), static_cast<size_t>(COMMAND_LINE_SIZE - 1 - 5));
    EXPECT_EQ(CommandLine_Append("--debug"), 1);
    EXPECT_EQ(Current().size(), static_cast<size_t>(COMMAND_LINE_SIZE - 1));
    EXPECT_EQ(CommandLine_IsFieldSet(nullptr, "debug"), 0);
    EXPECT_EQ(CommandLine_Remove(), 1);

    // Field readers look at no more of a text than the command line holds.
    std::string text = std::string(COMMAND_LINE_SIZE - 1, 'a') + " --debug";
    EXPECT_EQ(CommandLine_IsFieldSet(text.c_str(), "debug"), 0);
    int32_t fields = 0;
    EXPECT_EQ(CommandLine_GetFieldCount(text.c_str(), &fields), 1);
    EXPECT_EQ(fields, 1);
    // 4087 + 8 characters fit exactly; one more cuts the name.
    text = std::string(COMMAND_LINE_SIZE - 9, 'a') + " --debug";
    EXPECT_EQ(CommandLine_IsFieldSet(text.c_str(), "debug"), 1);
    text = std::string(COMMAND_LINE_SIZE - 8, 'a') + " --debug";
    EXPECT_EQ(CommandLine_IsFieldSet(text.c_str(), "debug"), 0);
    char buffer[16];
    // A field pointer is bounded from where it points.
    EXPECT_EQ(CommandLine_GetFieldName(text.c_str() + COMMAND_LINE_SIZE - 7, buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "debug");
}

TEST(CommandLineTest, AppendAddsOneSpaceAndText) {
    EXPECT_EQ(CommandLine_Init(""), 1);
    EXPECT_EQ(CommandLine_Append("--a"), 1);
    EXPECT_EQ(Current(), "--a");
    EXPECT_EQ(CommandLine_Append("--b=\"x y\""), 1);
    EXPECT_EQ(Current(), "--a --b=\"x y\"");
    EXPECT_EQ(CommandLine_Remove(), 1);

    EXPECT_EQ(CommandLine_Init("prog "), 1);
    EXPECT_EQ(CommandLine_Append("--c"), 1);
    EXPECT_EQ(Current(), "prog --c");
    char value[16];
    EXPECT_EQ(CommandLine_GetFieldByName(nullptr, "b", value, sizeof value), 0);
    EXPECT_EQ(CommandLine_IsFieldSet(nullptr, "c"), 1);
    EXPECT_EQ(CommandLine_Remove(), 1);
}

TEST(CommandLineTest, InitWideConvertsToUtf8) {
    const uint16_t text[] = {'p', ' ', '-', '-', 'n', '=', 0xE9, ' ', 0x20AC, 0};
    EXPECT_EQ(CommandLine_InitWide(text), 1);
    EXPECT_EQ(Current(), "p --n=\xc3\xa9 \xe2\x82\xac");
    int32_t count = 0;
    char** vector = nullptr;
    EXPECT_EQ(Arguments_Get(&count, &vector), 1);
    EXPECT_EQ(count, 3);
    char value[16];
    EXPECT_EQ(CommandLine_GetFieldByName(nullptr, "N", value, sizeof value), 1);
    EXPECT_STREQ(value, "\xc3\xa9");
    EXPECT_EQ(CommandLine_Remove(), 1);
}

TEST(CommandLineDeathTest, InitAndRemoveOutOfOrderAbort) {
    static char* vector[] = {const_cast<char*>("prog"), nullptr};
    const std::string already =
        AbortRegex("Assertion failed (GlobalArgV == NULL)\nCommand line already initialized");
    const std::string missing =
        AbortRegex("Assertion failed (GlobalArgV != NULL)\nCommand line not initialized");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Arguments_Init(1, vector);
            Arguments_Init(1, vector);
        },
        already);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Arguments_Init(1, vector);
            CommandLine_Init("prog");
        },
        already);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            CommandLine_Init("prog");
            Arguments_Init(1, vector);
        },
        already);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Arguments_Remove();
        },
        missing);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            CommandLine_Remove();
        },
        missing);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            CommandLine_Init("prog");
            CommandLine_Remove();
            CommandLine_Remove();
        },
        missing);
}

TEST(CommandLineDeathTest, NullPointersAbort) {
    const std::string text = AbortRegex("Pointer is NULL\n");
    int32_t count = 0;
    char buffer[8];
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            CommandLine_Get(nullptr);
        },
        text);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            CommandLine_GetFieldCount(nullptr, nullptr);
        },
        text);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            CommandLine_GetFieldByName(nullptr, nullptr, buffer, sizeof buffer);
        },
        text);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Arguments_Build("a", &count, nullptr);
        },
        text);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Arguments_Get(&count, nullptr);
        },
        text);
}

} // namespace
