#include "core/runtime/class.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/runtime/log.h"
#include "core/runtime/string_print.h"
#include "tests/support/abort_table.h"

namespace {

struct Widget {
    Class Header;
    int32_t* Deleted;
};

int64_t Widget_Delete(void** handle) {
    (*static_cast<Widget*>(*handle)->Deleted)++;
    *handle = nullptr;
    return 1;
}

class ClassTest : public ::testing::Test {
  protected:
    void SetUp() override { Class_Init(); }
    void TearDown() override { Class_Remove(); }
};

TEST_F(ClassTest, ReleaseDropsReferencesAndDeletesAtZero) {
    int32_t deleted = 0;
    Widget widget = {{{}, 0x1234, 1, Widget_Delete}, &deleted};
    Widget* first = &widget;
    EXPECT_EQ(Class_AddRef(first), first);
    EXPECT_FALSE(Class_HasOneRef(first));
    Widget* second = first;
    EXPECT_EQ(Class_Release(&second), 1u);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(deleted, 0);
    EXPECT_TRUE(Class_HasOneRef(first));
    EXPECT_EQ(Class_Release(&first), 0u);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(deleted, 1);
    Widget* none = nullptr;
    EXPECT_EQ(Class_Release(&none), 0u);
    EXPECT_EQ(Class_AddRef(nullptr), nullptr);
    // The delete callback can be replaced.
    ClassDeleteFunc fn = Widget_Delete;
    EXPECT_EQ(Class_SetDeleteCallback(&widget, nullptr), 1);
    EXPECT_EQ(Class_GetDeleteCallback(&widget, &fn), 1);
    EXPECT_EQ(fn, nullptr);
}

Widget g_widget = {};

TEST_F(ClassTest, ProgrammingErrorsAbortWithTheirTexts) {
    g_widget.Header.RefCount = 1;
    String_Print(g_widget.Header.InstanceId, sizeof(g_widget.Header.InstanceId), "abc");
    ExpectAborts({
        {[] {
             Widget* handle = &g_widget;
             Class_Release(&handle);
         },
         AbortRegex("Assertion failed (FALSE)\nClass delete function pointer is null [abc]")},
        // The place named is the caller's.
        {[] { Class_ReleaseInt(nullptr, "here.cpp", 7); }, "ABORT - Pointer is NULL\n \\(here.cpp/7\\)"},
        {[] { Class_Init(); },
         AbortRegex("Assertion failed (GlobalClass == NULL)\nClass already initialized")},
        {[] {
             g_widget.Header.ClassId = 0xABCD;
             CLASS_CHECK(&g_widget, 0x1234);
         },
         "ABORT - Class mismatch pointer \\(0x[0-9A-F]{16}: expected 0x00001234 but was 0x0000abcd\\)\n"},
        {[] { CLASS_CHECK(static_cast<Widget*>(nullptr), 0x1234); }, AbortRegex("Pointer is NULL\n")},
    });
}

TEST_F(ClassTest, InstanceTableTracksByIdText) {
    Widget a = {}, b = {};
    Class_GenerateInstanceIdReal(&a);
    Class_GenerateInstanceIdReal(&b);
    const std::string idA = a.Header.InstanceId;
    ASSERT_EQ(idA.size(), 32u);
    EXPECT_EQ(idA.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(idA, std::string(b.Header.InstanceId));

    EXPECT_EQ(Class_TrackInstance(&a, a.Header.InstanceId, nullptr), 1);
    EXPECT_EQ(Class_TrackInstance(&b, b.Header.InstanceId, nullptr), 1);
    EXPECT_EQ(Class_ConvertFromInstanceId(idA.c_str()), &a);
    EXPECT_EQ(Class_ConvertFromInstanceId(b.Header.InstanceId), &b);
    EXPECT_EQ(Class_ConvertToInstanceId(&a), a.Header.InstanceId);
    EXPECT_EQ(Class_ConvertFromInstanceId(nullptr), nullptr);
    EXPECT_EQ(Class_ConvertFromInstanceId("0123"), nullptr);
    EXPECT_EQ(Class_UntrackInstance(&a), 1);
    EXPECT_EQ(Class_ConvertFromInstanceId(idA.c_str()), nullptr);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Class_UntrackInstance(&a);
        },
        AbortRegex("Unable to remove instance from class instance hash table"));
    EXPECT_EQ(Class_UntrackInstance(&b), 1);
}

void* g_hookObject = nullptr;

TEST_F(ClassTest, OverrideHooksReplaceTheLocalTable) {
    Widget w = {};
    Class_GenerateInstanceIdReal(&w);
    Class_TrackInstanceOverride([](void* object, const char*, void*) -> int64_t {
        g_hookObject = object;
        return 7;
    });
    Class_ConvertFromInstanceIdOverride([](const char*) -> void* { return &g_hookObject; });
    Class_ConvertToInstanceIdOverride([](void*) -> const char* { return "hooked"; });
    Class_UntrackInstanceOverride([](void*) -> int64_t { return 5; });
    EXPECT_EQ(Class_TrackInstance(&w, w.Header.InstanceId, nullptr), 7);
    EXPECT_EQ(g_hookObject, &w);
    EXPECT_EQ(Class_ConvertFromInstanceId(w.Header.InstanceId), &g_hookObject);
    EXPECT_STREQ(Class_ConvertToInstanceId(&w), "hooked");
    EXPECT_EQ(Class_UntrackInstance(&w), 5);
    Class_TrackInstanceOverride(nullptr);
    Class_ConvertFromInstanceIdOverride(nullptr);
    Class_ConvertToInstanceIdOverride(nullptr);
    Class_UntrackInstanceOverride(nullptr);
    // The local table never saw the object.
    EXPECT_EQ(Class_ConvertFromInstanceId(w.Header.InstanceId), nullptr);
}

std::vector<std::string> g_lines;
int64_t CaptureLine(void*, const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    String_VPrint(line, sizeof(line), format, args);
    va_end(args);
    g_lines.push_back(line);
    return 1;
}

TEST_F(ClassTest, PrintSplitsLinesAndBuildsThePrefix) {
    Widget w = {};
    String_Print(w.Header.InstanceId, sizeof(w.Header.InstanceId), "0123456789abcdef");
    ClassPrint print = {};
    ClassPrint_Prepare(&print, &w, "Widget", CaptureLine);
    EXPECT_EQ(print.PrintUser, &w);
    const std::string indent(80, ' ');
    // clang-format off
    struct Case {
        const char* identifier;
        int32_t indent;
        const char* text;
        std::vector<std::string> lines;
    } const cases[] = {
        {nullptr, 0, "a\r\n\r\nb\n", {"Widget.01234567 - a\n", "Widget.01234567 - b\n"}},
        {nullptr, 1, "abc", {"Widget.01234567 -     abc\n"}}, {nullptr, 0, "", {"Widget.01234567 - \n"}},
        // The indent stops at 80 spaces.
        {"main", 30, "x\ny",
         {"Widget.01234567.main - " + indent + "x\n", "Widget.01234567.main - " + indent + "y\n"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        g_lines.clear();
        print.Identifier = c.identifier;
        ClassPrint_Print(&print, c.indent, "%s", c.text);
        EXPECT_EQ(g_lines, c.lines) << c.text;
    }
    // Without an instance id the address stands in, as eight hexadecimal digits.
    Widget anonymous = {};
    ClassPrint plain = {};
    ClassPrint_Prepare(&plain, &anonymous, "Widget", CaptureLine);
    g_lines.clear();
    ClassPrint_Print(&plain, 0, "z");
    char expected[64];
    String_Print(expected, sizeof(expected), "Widget.%08x - z\n", (uint32_t)(uintptr_t)&anonymous);
    EXPECT_EQ(g_lines, (std::vector<std::string>{expected}));
}

TEST_F(ClassTest, VerboseLevelComesFromTheFilterOnce) {
    Widget w = {};
    ClassPrint print = {}, other = {};
    ClassPrint_Prepare(&print, &w, "Widget", CaptureLine);
    ClassPrint_Prepare(&other, &w, "Widget", CaptureLine);
    Log_SetVerboseFilter("2Wid*");
    EXPECT_TRUE(ClassPrint_IsVerboseLevel(&print, 1));
    EXPECT_TRUE(ClassPrint_IsVerboseLevel(&print, 2));
    EXPECT_FALSE(ClassPrint_IsVerboseLevel(&print, 3));
    // The answer is cached with the object.
    Log_SetVerboseFilter("!Widget");
    EXPECT_TRUE(ClassPrint_IsVerboseLevel(&print, 2));
    EXPECT_FALSE(ClassPrint_IsVerboseLevel(&other, 1));
    Log_SetVerboseFilter(nullptr);
}

} // namespace
