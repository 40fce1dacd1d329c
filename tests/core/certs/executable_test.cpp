#include "core/certs/executable.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "tests/support/temp_dir.h"

#include "core/linux/platform.h"

namespace {

TEST(Executable, RunningProgramAnswersItsBuiltInValues) {
    char text[120];
    EXPECT_EQ(Executable_GetFileVersion(nullptr, text, sizeof(text)), 1);
    EXPECT_STREQ(text, "6.2.42");
    EXPECT_EQ(Executable_GetProductVersion("", text, sizeof(text)), 1);
    EXPECT_STREQ(text, "6.2.42");
    EXPECT_EQ(Executable_GetProductName(nullptr, text, sizeof(text)), 1);
    EXPECT_STREQ(text, "Quarvelon Host");
    EXPECT_EQ(Executable_GetCompanyName(nullptr, text, sizeof(text)), 1);
    EXPECT_STREQ(text, "Quarvelon");
    EXPECT_EQ(Executable_GetLegalCopyright(nullptr, text, sizeof(text)), 1);
    EXPECT_STREQ(text, "Copyright (c) 2026 Quarvelon");
    EXPECT_NE(Executable_GetCommandLine(nullptr, text, sizeof(text)), 1);
    EXPECT_STREQ(text, "");

    char self[1024];
    ASSERT_EQ(Platform_GetSpecialPath(PLATFORM_PATH_MODULE_PATH, self, sizeof(self)), 1);
    EXPECT_EQ(Executable_GetProductName(self, text, sizeof(text)), 1);
    EXPECT_STREQ(text, "Quarvelon Host");
    EXPECT_NE(Executable_GetProductName("/bin/sh", text, sizeof(text)), 1);
    EXPECT_STREQ(text, "");

    char small[4];
    EXPECT_EQ(Executable_GetProductName(nullptr, small, sizeof(small)), 1);
    EXPECT_STREQ(small, "Qua");
    EXPECT_EQ(Executable_Shutdown(), 1);
}

} // namespace

TEST(Executable, BundlesNeedTheirSuffixAndInfoPlist) {
    TempDir dir;
    const std::string app = dir.file("Tool.APP");
    ASSERT_EQ(mkdir(app.c_str(), 0755), 0);
    EXPECT_EQ(AppBundle_IsValid(app.c_str()), 0) << "no Contents/Info.plist yet";
    ASSERT_EQ(mkdir((app + "/Contents").c_str(), 0755), 0);
    std::ofstream(app + "/Contents/Info.plist") << "<plist/>";
    EXPECT_EQ(AppBundle_IsValid(app.c_str()), 1);
    const std::string framework = dir.file("Kit.framework");
    ASSERT_EQ(mkdir(framework.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((framework + "/Contents").c_str(), 0755), 0);
    std::ofstream(framework + "/Contents/Info.plist") << "<plist/>";
    EXPECT_EQ(AppBundle_IsValid(framework.c_str()), 1);
    for (const char* other : {"", "p", ".app", "/no/such/Thing.app", "/tmp"})
        EXPECT_EQ(AppBundle_IsValid(other), 0) << other;
    EXPECT_EQ(AppBundle_IsValid(nullptr), 0);
}

TEST(Executable, MacroKeys) {
    auto expand = [](const char* name, const char* argumentText, int64_t* result) {
        char value[256] = "untouched";
        char argument[256] = {};
        if (argumentText) snprintf(argument, sizeof(argument), "%s", argumentText);
        *result = Executable_ExpandKey(nullptr, name, argumentText ? argument : nullptr, value, sizeof(value));
        return std::string(value);
    };
    int64_t result = -1;
    EXPECT_EQ(expand("ProductName", nullptr, &result), "Quarvelon Host");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(expand("companyname", nullptr, &result), "Quarvelon");
    EXPECT_EQ(expand("CopyrightText", nullptr, &result), "Copyright (c) 2026 Quarvelon");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(expand("FileVersion", nullptr, &result), "6.2.42");
    // Another program's values cannot be read here: answered, empty.
    EXPECT_EQ(expand("ProductVersion", "/bin/true", &result), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(expand("DataStore", nullptr, &result), "");
    EXPECT_EQ(result, 1);
    expand("Unrelated", nullptr, &result);
    EXPECT_EQ(result, 0);
}
