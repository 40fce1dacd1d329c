#include "core/certs/executable.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "core/linux/platform.h"
#include "core/platform/file.h"
#include "tests/core/certs/pe_image_fixture.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(Executable, RunningProgramAnswersItsBuiltInValues) {
    char self[1024];
    ASSERT_EQ(Platform_GetSpecialPath(PLATFORM_PATH_MODULE_PATH, self, sizeof(self)), 1);
    using Getter = int64_t (*)(const char*, char*, int32_t);
    const std::tuple<Getter, const char*, int64_t, const char*> cases[] = {
        {Executable_GetFileVersion, nullptr, 1, "6.2.42"},
        {Executable_GetProductVersion, "", 1, "6.2.42"},
        {Executable_GetProductName, nullptr, 1, "Quarvelon Host"},
        {Executable_GetProductName, self, 1, "Quarvelon Host"},
        {Executable_GetCompanyName, nullptr, 1, "Quarvelon"},
        {Executable_GetLegalCopyright, nullptr, 1, "Copyright (c) 2026 Quarvelon"},
        // No command line is compiled in; another program's values cannot be read here.
        {Executable_GetCommandLine, nullptr, 0, ""},
        {Executable_GetProductName, "/bin/sh", 0, ""},
    };
    for (const auto& [get, path, answer, value] : cases) {
        char text[120] = "untouched";
        EXPECT_EQ(get(path, text, sizeof(text)), answer) << value;
        EXPECT_STREQ(text, value);
    }
    char small[4];
    EXPECT_EQ(Executable_GetProductName(nullptr, small, sizeof(small)), 1);
    EXPECT_STREQ(small, "Qua");
    EXPECT_EQ(Executable_Shutdown(), 1);
}

TEST(Executable, BundlesNeedTheirSuffixAndInfoPlist) {
    TempDir dir;
    const std::string app = dir.file("Tool.APP"), framework = dir.file("Kit.framework");
    ASSERT_EQ(mkdir(app.c_str(), 0755), 0);
    EXPECT_EQ(AppBundle_IsValid(app.c_str()), 0) << "no Contents/Info.plist yet";
    for (const auto& [bundle, inner] : {std::pair{app, "/Contents"}, std::pair{framework, "/Resources"}}) {
        mkdir(bundle.c_str(), 0755);
        ASSERT_EQ(mkdir((bundle + inner).c_str(), 0755), 0);
        ASSERT_TRUE(WriteText(bundle + inner + "/Info.plist", "<plist/>"));
        EXPECT_EQ(AppBundle_IsValid(bundle.c_str()), 1) << bundle;
    }
    for (const char* other : {"", "p", "/no/such/Thing.app", "/tmp"})
        EXPECT_EQ(AppBundle_IsValid(other), 0) << other;
    EXPECT_EQ(AppBundle_IsValid(nullptr), 0);
}

TEST(Executable, BundleInformationAndPaths) {
    TempDir dir;
    const std::string app = dir.file("Tool.app");
    ASSERT_EQ(mkdir(app.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((app + "/Contents").c_str(), 0755), 0);
    ASSERT_TRUE(WriteText(app + "/Contents/Info.plist",
                          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                          "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                          "<plist version=\"1.0\"><dict>"
                          "<key>CFBundleVersion</key><string>7.1</string>"
                          "<key>CFBundleExecutable</key><string>ToolBin</string>"
                          "<key>CFBundleGetInfoString</key><string>(c) Maker</string>"
                          "<key>Other</key><string>kept</string>"
                          "</dict></plist>\n"));
    const std::string inside = app + "/Contents/MacOS/ToolBin";
    // path, key, answer, value
    const std::tuple<std::string, const char*, int64_t, const char*> cases[] = {
        {app, "FileVersion", 1, "7.1"},
        {app, "ProductVersion", 1, "7.1"},  // no short version: the bundle version
        {app, "ProductName", 1, "ToolBin"},
        {app, "LegalCopyright", 1, "(c) Maker"},
        {app, "other", 1, "kept"},
        {app, "CompanyName", 0, ""},
        {inside, "ProductName", 1, "ToolBin"},  // a file inside reads its bundle
    };
    for (const auto& [path, key, answer, value] : cases) {
        char text[64] = "untouched";
        EXPECT_EQ(AppBundle_GetInfoValue(path.c_str(), key, text, sizeof(text)), answer) << path << " " << key;
        EXPECT_STREQ(text, value) << key;
    }
    char text[1024];
    EXPECT_EQ(Executable_GetProductName(app.c_str(), text, sizeof(text)), 1);
    EXPECT_STREQ(text, "ToolBin");
    EXPECT_EQ(AppBundle_GetMachOPath(app.c_str(), text, sizeof(text)), 1);
    EXPECT_EQ(std::string(text), inside);

    // file, answer, bundle
    const std::tuple<const char*, int64_t, const char*> paths[] = {
        {"/x/My.App/Contents/MacOS/bin", 1, "/x/My.App"},
        {"/x/My.app/Contents/Resources/bin", 0, ""},
        {"/x/bin", 0, ""},
    };
    for (const auto& [file, answer, bundle] : paths) {
        EXPECT_EQ(MachOFile_GetAppBundlePath(file, text, sizeof(text)), answer) << file;
        EXPECT_STREQ(text, bundle);
    }
    EXPECT_EQ(AppBundle_GetInfoPlistPath("/x/Kit.FRAMEWORK", text, sizeof(text)), 1);
    EXPECT_STREQ(text, "/x/Kit.FRAMEWORK/Resources/Info.plist");
}

TEST(Executable, DiskImageTrailer) {
    TempDir dir;
    std::string trailer(512, '\0');
    trailer.replace(0, 4, "koly");
    trailer[296 + 7] = 9;     // offset 9
    trailer[304 + 3] = 1;     // size: the high 32 bits are not used
    trailer[304 + 7] = 5;
    const std::string image = dir.file("a.dmg"), other = dir.file("b.dmg");
    ASSERT_TRUE(WriteText(image, "head" + trailer) && WriteText(other, trailer.substr(1)));
    EXPECT_EQ(DMGFile_IsValid(image.c_str()), 1);
    EXPECT_EQ(DMGFile_IsValid(other.c_str()), 0) << "shorter than a trailer";
    EXPECT_EQ(DMGFile_IsValid(dir.path().c_str()), 0);
    File* file = nullptr;
    File_Create(&file);
    ASSERT_EQ(File_Open(file, image.c_str(), FILE_READ), 1);
    Stream* stream = nullptr;
    File_GetStreamHandle(file, &stream);
    uint64_t offset = 1, size = 1;
    EXPECT_EQ(DMGFile_GetDataStoreOffset(stream, &offset, &size), 1);
    EXPECT_EQ(offset, 9u);
    EXPECT_EQ(size, 5u);
    File_Release(&file);
}

TEST(Executable, MacroKeys) {
    // name, argument, answer, value
    const std::tuple<const char*, const char*, int64_t, const char*> cases[] = {
        {"ProductName", nullptr, 1, "Quarvelon Host"},
        {"companyname", nullptr, 1, "Quarvelon"},
        {"CopyrightText", nullptr, 1, "Copyright (c) 2026 Quarvelon"},
        {"FileVersion", nullptr, 1, "6.2.42"},
        // Another program's values cannot be read here: answered, empty.
        {"ProductVersion", "/bin/true", 1, ""},
        {"DataStore", nullptr, 1, "untouched"},  // no store in the test program
        {"Unrelated", nullptr, 0, "untouched"},
    };
    for (const auto& [name, argumentText, answer, value] : cases) {
        char text[256] = "untouched";
        char argument[256] = {};
        if (argumentText) snprintf(argument, sizeof(argument), "%s", argumentText);
        EXPECT_EQ(Executable_ExpandKey(nullptr, name, argumentText ? argument : nullptr, text, sizeof(text)),
                  answer)
            << name;
        EXPECT_STREQ(text, value) << name;
    }
}

TEST(Executable, PeImagesAnswerFromTheirVersionResource) {
    PEImages& images = PEImages::Get();
    if (!images.Ready()) GTEST_SKIP() << "x86_64-w64-mingw32-gcc, osslsigncode or openssl missing";
    // path, key, answer, value
    const std::tuple<std::string, const char*, int64_t, const char*> cases[] = {
        {images.Plain(), "ProductName", 1, "Quill Reader"},
        {images.Signed(), "CompanyName", 1, "Quill"},
        {images.Plain(), "LegalCopyright", 0, ""},
        {images.Twin(), "ProductName", 0, ""},
    };
    for (const auto& [path, key, answer, value] : cases) {
        char text[64] = "untouched";
        EXPECT_EQ(Executable_GetInfoValue(path.c_str(), key, text, sizeof(text)), answer) << path << " " << key;
        EXPECT_STREQ(text, value);
    }
}

TEST(Executable, ElfProgramsCarryTheirInformationAsJson) {
    TempDir dir;
    auto program = [&dir](const std::string& name, const std::string& json) {
        const std::string section = dir.file(name + ".json"), out = dir.file(name);
        EXPECT_TRUE(WriteText(section, json));
        const std::string command = "objcopy --add-section .version.json=" + section + " /bin/true " + out;
        EXPECT_EQ(system(command.c_str()), 0);
        return out;
    };
    const std::string tool = program("tool", R"({"ProductName": "Tool", "FileVersion": "1.2.3.4", "Extra": "x"})");
    const std::string broken = program("broken", R"({"ProductName": )");
    // path, getter key, answer, value
    const std::tuple<std::string, const char*, int64_t, const char*> cases[] = {
        {tool, "ProductName", 1, "Tool"}, {tool, "FileVersion", 1, "1.2.3.4"}, {tool, "Extra", 1, "x"},
        {tool, "CompanyName", 0, ""},     {broken, "ProductName", 0, ""},      {dir.path(), "ProductName", 0, ""},
    };
    for (const auto& [path, key, answer, value] : cases) {
        char text[64] = "untouched";
        EXPECT_EQ(Executable_GetInfoValue(path.c_str(), key, text, sizeof(text)), answer) << path << " " << key;
        EXPECT_STREQ(text, value);
    }

    // The current module's information is read once and answered from the cache.
    ASSERT_EQ(Executable_SetCurrentModuleAppPath(tool.c_str()), 1);
    ASSERT_TRUE(WriteText(tool, "replaced"));
    char text[64];
    EXPECT_EQ(Executable_GetProductName(nullptr, text, sizeof(text)), 1);
    EXPECT_STREQ(text, "Tool");
    EXPECT_EQ(Executable_GetCurrentModuleAppPath(text, sizeof(text)), 1);
    EXPECT_EQ(text, tool.substr(0, sizeof(text) - 1));
    EXPECT_EQ(Executable_Remove(), 1);
    EXPECT_EQ(Executable_GetProductName(tool.c_str(), text, sizeof(text)), 0) << "read afresh without the cache";
    ASSERT_EQ(Executable_Init(), 1);
    EXPECT_EQ(Executable_GetProductName(nullptr, text, sizeof(text)), 1);
    EXPECT_STREQ(text, "Quarvelon Host");
    EXPECT_EQ(Executable_Shutdown(), 1);
}

} // namespace
