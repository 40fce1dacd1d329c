#include "core/runtime/class.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/runtime/log.h"
#include "core/runtime/string_print.h"
#include "tests/support/abort_hook.h"

namespace {

struct Widget {
    Class Header;
    int32_t* Deleted;
};

int64_t Widget_Delete(void** handle) {
    Widget* widget = static_cast<Widget*>(*handle);
    (*widget->Deleted)++;
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
    Widget widget = {};
    widget.Header.ClassId = 0x1234;
    widget.Header.RefCount = 1;
    widget.Header.Delete = Widget_Delete;
    widget.Deleted = &deleted;

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

    ClassDeleteFunc fn = nullptr;
    EXPECT_EQ(Class_GetDeleteCallback(&widget, &fn), 1);
    EXPECT_EQ(fn, Widget_Delete);
    EXPECT_EQ(Class_SetDeleteCallback(&widget, nullptr), 1);
    EXPECT_EQ(Class_GetDeleteCallback(&widget, &fn), 1);
    EXPECT_EQ(fn, nullptr);
}

TEST_F(ClassTest, ProgrammingErrorsAbortWithTheirTexts) {
    Widget widget = {};
    widget.Header.RefCount = 1;
    String_Print(widget.Header.InstanceId, sizeof(widget.Header.InstanceId), "abc");
    Widget* handle = &widget;
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Class_Release(&handle);
        },
        AbortRegex("Assertion failed (FALSE)\nClass delete function pointer is null [abc]"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Class_ReleaseInt(nullptr, "here.cpp", 7);
        },
        "ABORT - Pointer is NULL\n \\(here.cpp/7\\)");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Class_Init();
        },
        AbortRegex("Assertion failed (GlobalClass == NULL)\nClass already initialized"));
    widget.Header.ClassId = 0xABCD;
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            CLASS_CHECK(&widget, 0x1234);
        },
        "ABORT - Class mismatch pointer \\(0x[0-9A-F]{16}: expected 0x00001234 but was 0x0000abcd\\)\n");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            CLASS_CHECK(static_cast<Widget*>(nullptr), 0x1234);
        },
        AbortRegex("Pointer is NULL\n"));
}

TEST_F(ClassTest, InstanceTableTracksByIdText) {
    Widget a = {}, b = {};
    Class_GenerateInstanceIdReal(&a);
    Class_GenerateInstanceIdReal(&b);
    std::string idA = a.Header.InstanceId;
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
int64_t TrackHook(void* object, const char*, void*) {
    g_hookObject = object;
    return 7;
}
void* FromHook(const char*) { return &g_hookObject; }
const char* ToHook(void*) { return "hooked"; }
int64_t UntrackHook(void*) { return 5; }

TEST_F(ClassTest, OverrideHooksReplaceTheLocalTable) {
    Widget w = {};
    Class_GenerateInstanceIdReal(&w);
    Class_TrackInstanceOverride(TrackHook);
    Class_ConvertFromInstanceIdOverride(FromHook);
    Class_ConvertToInstanceIdOverride(ToHook);
    Class_UntrackInstanceOverride(UntrackHook);
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

    g_lines.clear();
    ClassPrint_Print(&print, 0, "a\r\n\r\nb\n");
    EXPECT_EQ(g_lines, (std::vector<std::string>{"Widget.01234567 - a\n", "Widget.01234567 - b\n"}));

    g_lines.clear();
    ClassPrint_Print(&print, 1, "%s", "abc");
    EXPECT_EQ(g_lines, (std::vector<std::string>{"Widget.01234567 -     abc\n"}));

    g_lines.clear();
    ClassPrint_Print(&print, 0, "");
    EXPECT_EQ(g_lines, (std::vector<std::string>{"Widget.01234567 - \n"}));

    g_lines.clear();
    print.Identifier = "main";
    ClassPrint_Print(&print, 30, "x\ny");
    std::string indent(80, ' ');
    EXPECT_EQ(g_lines, (std::vector<std::string>{"Widget.01234567.main - " + indent + "x\n",
                                                 "Widget.01234567.main - " + indent + "y\n"}));

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
    ClassPrint print = {};
    ClassPrint_Prepare(&print, &w, "Widget", CaptureLine);
    Log_SetVerboseFilter("2Wid*");
    EXPECT_TRUE(ClassPrint_IsVerboseLevel(&print, 1));
    EXPECT_TRUE(ClassPrint_IsVerboseLevel(&print, 2));
    EXPECT_FALSE(ClassPrint_IsVerboseLevel(&print, 3));
    // The answer is cached with the object.
    Log_SetVerboseFilter("!Widget");
    EXPECT_TRUE(ClassPrint_IsVerboseLevel(&print, 2));

    ClassPrint other = {};
    ClassPrint_Prepare(&other, &w, "Widget", CaptureLine);
    EXPECT_FALSE(ClassPrint_IsVerboseLevel(&other, 1));
    Log_SetVerboseFilter(nullptr);
}

} // namespace
