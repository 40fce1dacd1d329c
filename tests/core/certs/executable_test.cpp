#include "core/certs/executable.h"

#include <gtest/gtest.h>

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
