// Tests of the registry store: keys, nested keys and typed values kept in the preferences file,
// enumeration, deletion, damaged files, what else may stand at the file's path, the file's
// privacy, and two processes writing at once.
#include "core/linux/platform_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <future>
#include <spawn.h>
#include <string>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/certs/build_info.h"
#include "core/runtime/debug.h"
#include "tests/support/abort_hook.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

std::string ProgramName() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    path[n > 0 ? n : 0] = 0;
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// Every test has its own configuration directory, so its preferences start empty.
class RegistryStore : public ::testing::Test {
  protected:
    TempDir dir;
    std::string file;
    void SetUp() override {
        setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
        file = dir.path() + "/" + QVR_BUILD_COMPANY_NAME + "/" + ProgramName() + ".json";
        TakeLog();
    }
    void WriteStore(const std::string& text) {
        mkdir((dir.path() + "/" + QVR_BUILD_COMPANY_NAME).c_str(), 0700);
        FILE* f = fopen(file.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
    std::vector<std::string> StoreDirectory() {
        std::vector<std::string> names;
        if (DIR* d = opendir((dir.path() + "/" + QVR_BUILD_COMPANY_NAME).c_str())) {
            while (dirent* e = readdir(d))
                if (e->d_name[0] != '.') names.push_back(e->d_name);
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

int64_t SetText(PlatformRegistryKey* key, const char* name, const char* text, uint32_t type = 1) {
    return Platform_RegistrySetType(key, type, name, text, (int32_t)strlen(text) + 1);
}

int64_t SetInt(PlatformRegistryKey* key, const char* name, int32_t value) {
    return Platform_RegistrySetType(key, PLATFORM_REGISTRY_TYPE_INT32, name, &value, 4);
}

std::string GetText(PlatformRegistryKey* key, const char* name, int32_t capacity = 256,
                    int32_t* sizeOut = nullptr) {
    std::vector<char> buffer((size_t)capacity + 1, 'x');
    int32_t size = -1;
    if (!Platform_RegistryGetType(key, PLATFORM_REGISTRY_TYPE_STRING, name, buffer.data(), capacity, &size))
        return "<none>";
    if (sizeOut) *sizeOut = size;
    return std::string(buffer.data(), (size_t)(size > 0 ? size - 1 : 0));
}

int32_t GetInt(PlatformRegistryKey* key, const char* name, int64_t* ok = nullptr) {
    int32_t value = -12345, size = 0;
    int64_t read = Platform_RegistryGetType(key, PLATFORM_REGISTRY_TYPE_INT32, name, &value, 4, &size);
    if (ok) *ok = read;
    return read ? value : -12345;
}

bool OpenKey(PlatformRegistryKey** key, const char* path) {
    return Platform_RegistryOpen(key, PLATFORM_REGISTRYVIEW_DEFAULT, PLATFORM_REGISTRYCLASS_USER, path) == 1;
}

bool CreateKey(PlatformRegistryKey** key, const char* path) {
    return Platform_RegistryCreate(key, PLATFORM_REGISTRYVIEW_DEFAULT, PLATFORM_REGISTRYCLASS_USER, path) ==
           1;
}

TEST_F(RegistryStore, NestedKeysAreCreatedAndTheLastWrittenAtClose) {
    PlatformRegistryKey* key = nullptr;
    EXPECT_FALSE(OpenKey(&key, "A/B/D"));
    EXPECT_EQ(key, nullptr);
    ASSERT_TRUE(CreateKey(&key, "A/B/D"));
    // The parents exist already; the new key reaches the file when its handle closes.
    EXPECT_EQ(ReadFile(file).find("\"D\""), std::string::npos);
    EXPECT_NE(ReadFile(file).find("\"B\""), std::string::npos);
    EXPECT_EQ(Platform_RegistryClose(&key), 1);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(
        ReadFile(file),
        "{\n    \"A\": {\n        \"B\": {\n            \"D\": {\n            }\n        }\n    }\n}\n");
    for (const char* path : {"A", "/A/B", "\\A\\B\\D", "A\\B/D"}) {
        ASSERT_TRUE(OpenKey(&key, path)) << path;
        Platform_RegistryClose(&key);
    }
    // Creating what exists opens it and changes nothing.
    ASSERT_TRUE(CreateKey(&key, "A/B"));
    Platform_RegistryClose(&key);
    EXPECT_NE(ReadFile(file).find("\"D\""), std::string::npos);
    // Only the session's own files are left: no temporary file stays behind.
    EXPECT_EQ(StoreDirectory(),
              (std::vector<std::string>{ProgramName() + ".json", ProgramName() + ".json.lock"}));
}

TEST_F(RegistryStore, TypedValuesSurviveAReopen) {
    PlatformRegistryKey* key = nullptr;
    ASSERT_TRUE(CreateKey(&key, "Software/App"));
    const uint8_t data[] = {0, 1, 2, 0xFF, 0, 0x80};
    const char multi[8] = {'o', 'n', 'e', 0, 't', 'w', 'o', 0};
    EXPECT_EQ(SetText(key, "Text", "h\xC3\xA9llo \"q\" \\"), 1);
    EXPECT_EQ(SetText(key, "Expand", "%HOME%/x", PLATFORM_REGISTRY_TYPE_EXPAND_STRING), 1);
    EXPECT_EQ(
        Platform_RegistrySetType(key, PLATFORM_REGISTRY_TYPE_MULTI_STRING, "Multi", multi, sizeof(multi)), 1);
    EXPECT_EQ(Platform_RegistrySetType(key, PLATFORM_REGISTRY_TYPE_BINARY, "Data", data, sizeof(data)), 1);
    EXPECT_EQ(Platform_RegistrySetType(key, PLATFORM_REGISTRY_TYPE_BINARY, "Empty", nullptr, 0), 1);
    EXPECT_EQ(SetInt(key, "Number", -7), 1);
    EXPECT_EQ(SetInt(key, "Big", INT32_MAX), 1);
    EXPECT_EQ(Platform_RegistrySetType(key, PLATFORM_REGISTRY_TYPE_STRING, "NoZero", "abc", 3), 1);
    EXPECT_EQ(SetText(key, "#private", "hash"), 1);
    EXPECT_EQ(SetText(key, ".dot", "dot"), 1);
    EXPECT_EQ(SetText(key, "[0]", "bracket"), 1);
    EXPECT_EQ(SetText(key, "", "default"), 1);
    ASSERT_EQ(Platform_RegistryClose(&key), 1);

    ASSERT_TRUE(OpenKey(&key, "Software/App"));
    EXPECT_EQ(GetText(key, "Text"), "h\xC3\xA9llo \"q\" \\");
    EXPECT_EQ(GetText(key, "Expand"), "%HOME%/x");
    int32_t size = 0;
    EXPECT_EQ(GetText(key, "Multi", 256, &size), std::string("one\0two", 7));
    EXPECT_EQ(size, 8);
    EXPECT_EQ(GetText(key, "NoZero"), "abc");
    EXPECT_EQ(GetText(key, "#private"), "hash");
    EXPECT_EQ(GetText(key, ".dot"), "dot");
    EXPECT_EQ(GetText(key, "[0]"), "bracket");
    EXPECT_EQ(GetText(key, ""), "default");
    EXPECT_EQ(GetInt(key, "Number"), -7);
    EXPECT_EQ(GetInt(key, "Big"), INT32_MAX);
    uint8_t bytes[16] = {};
    size = 0;
    EXPECT_EQ(
        Platform_RegistryGetType(key, PLATFORM_REGISTRY_TYPE_BINARY, "Data", bytes, sizeof(bytes), &size), 1);
    ASSERT_EQ(size, 6);
    EXPECT_EQ(memcmp(bytes, data, sizeof(data)), 0);
    // Data is cut to the buffer.
    EXPECT_EQ(Platform_RegistryGetType(key, PLATFORM_REGISTRY_TYPE_BINARY, "Data", bytes, 4, &size), 1);
    EXPECT_EQ(size, 4);
    EXPECT_EQ(Platform_RegistryGetType(key, PLATFORM_REGISTRY_TYPE_BINARY, "Empty", bytes, 4, &size), 0);
    EXPECT_EQ(size, 0);

    const struct {
        const char* Name;
        int32_t Size;
    } sizes[] = {{"Text", 12},  {"Multi", 7},   {"Data", 6}, {"Number", 4},
                 {"NoZero", 3}, {"Missing", 0}, {"Empty", 0}};
    for (const auto& s : sizes) {
        int32_t got = -1;
        EXPECT_EQ(Platform_RegistryGetSize(key, s.Name, &got), s.Size != 0) << s.Name;
        EXPECT_EQ(got, s.Size) << s.Name;
    }
    Platform_RegistryClose(&key);

    // Names are kept as given in the file, numbers as numbers, data as its Base64 text.
    const std::string text = ReadFile(file);
    EXPECT_NE(text.find("\"#private\": \"hash\""), std::string::npos);
    EXPECT_NE(text.find("\".dot\": \"dot\""), std::string::npos);
    EXPECT_NE(text.find("\"Number\": -7"), std::string::npos);
    EXPECT_NE(text.find("\"Data\": [\n                \"AAEC/wCA\"\n            ]"), std::string::npos)
        << text;
}

TEST_F(RegistryStore, TextsReadBackAsStringsOnlyAndAlwaysTerminated) {
    PlatformRegistryKey* key = nullptr;
    ASSERT_TRUE(CreateKey(&key, "K"));
    SetText(key, "Expand", "x", PLATFORM_REGISTRY_TYPE_EXPAND_STRING);
    SetText(key, "Word", "abcdef");
    SetText(key, "Accent", "a\xC3\xA9z");
    SetInt(key, "Number", 5);
    char buffer[16];
    int32_t size = 0;
    TakeLog();
    EXPECT_EQ(
        Platform_RegistryGetType(key, PLATFORM_REGISTRY_TYPE_EXPAND_STRING, "Expand", buffer, 16, &size), 0);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(TakeLog(),
              "DEBUG - Platform_RegistryGetType: Bad type for 'Expand' [0x00000001 != 0x00000002]\n");
    EXPECT_EQ(Platform_RegistryGetType(key, PLATFORM_REGISTRY_TYPE_MULTI_STRING, "Word", buffer, 16, &size),
              0);
    EXPECT_EQ(Platform_RegistryGetType(key, PLATFORM_REGISTRY_TYPE_STRING, "Number", buffer, 16, &size), 0);
    EXPECT_EQ(TakeLog(),
              "DEBUG - Platform_RegistryGetType: Bad type for 'Word' [0x00000001 != 0x00000007]\n"
              "DEBUG - Platform_RegistryGetType: Bad type for 'Number' [0x00000004 != 0x00000001]\n");
    EXPECT_EQ(GetText(key, "Expand"), "x");
    const struct {
        const char* Name;
        int32_t Capacity;
        const char* Text;
        int32_t Size;
    } cases[] = {
        {"Word", 7, "abcdef", 7}, {"Word", 6, "abcde", 6},       {"Word", 1, "", 1},
        {"Accent", 3, "a", 2},    {"Accent", 4, "a\xC3\xA9", 4},
    };
    for (const auto& c : cases) {
        std::vector<char> out((size_t)c.Capacity + 4, 'x');
        EXPECT_EQ(Platform_RegistryGetType(key, PLATFORM_REGISTRY_TYPE_STRING, c.Name, out.data(), c.Capacity,
                                           &size),
                  1);
        EXPECT_EQ(size, c.Size) << c.Name << c.Capacity;
        EXPECT_STREQ(out.data(), c.Text);
        EXPECT_EQ(out[(size_t)c.Capacity], 'x') << "written past the buffer";
    }
    EXPECT_EQ(Platform_RegistryGetType(key, PLATFORM_REGISTRY_TYPE_STRING, "Word", buffer, 0, &size), 0);
    // A number needs its 4 bytes.
    EXPECT_EQ(Platform_RegistryGetType(key, PLATFORM_REGISTRY_TYPE_INT32, "Number", buffer, 3, &size), 0);
    Platform_RegistryClose(&key);
}

TEST_F(RegistryStore, RefusedWrites) {
    PlatformRegistryKey* key = nullptr;
    ASSERT_TRUE(CreateKey(&key, "K"));
    int64_t wide = 1;
    const std::string longest(119, 'n'), tooLong(120, 'n');
    EXPECT_EQ(Platform_RegistrySetType(key, PLATFORM_REGISTRY_TYPE_INT32, "Eight", &wide, 8), 0);
    EXPECT_EQ(Platform_RegistrySetType(key, PLATFORM_REGISTRY_TYPE_INT32, "Three", &wide, 3), 0);
    for (uint32_t type : {0u, 5u, 6u, 8u, 11u, 99u})
        EXPECT_EQ(Platform_RegistrySetType(key, type, "T", &wide, 8), 0) << type;
    EXPECT_EQ(SetText(key, "Bad", "a\xC3"), 0);
    EXPECT_EQ(SetText(key, "Surrogate", "\xED\xA0\x80"), 0);
    EXPECT_EQ(SetText(key, "Overlong", "\xC0\xAF"), 0);
    EXPECT_EQ(SetText(key, "\xFF", "x"), 0);
    EXPECT_EQ(SetText(key, tooLong.c_str(), "x"), 0);
    EXPECT_EQ(SetText(key, longest.c_str(), "x"), 1);
    EXPECT_EQ(Platform_RegistrySetType(key, PLATFORM_REGISTRY_TYPE_STRING, "Negative", "x", -1), 0);
    // A value never takes the place of a key.
    PlatformRegistryKey* sub = nullptr;
    ASSERT_TRUE(CreateKey(&sub, "K/Sub"));
    Platform_RegistryClose(&sub);
    Platform_RegistryClose(&key);
    ASSERT_TRUE(OpenKey(&key, "K"));
    EXPECT_EQ(SetText(key, "Sub", "x"), 0);
    EXPECT_EQ(Platform_RegistryClose(&key), 1);
    EXPECT_TRUE(OpenKey(&sub, "K/Sub"));
    Platform_RegistryClose(&sub);
    // Nor a key the place of a value.
    ASSERT_TRUE(OpenKey(&key, "K"));
    EXPECT_EQ(SetText(key, "Value", "kept"), 1);
    Platform_RegistryClose(&key);
    EXPECT_FALSE(CreateKey(&key, "K/Value"));
    EXPECT_EQ(key, nullptr);
    ASSERT_TRUE(OpenKey(&key, "K"));
    EXPECT_EQ(GetText(key, "Value"), "kept");
    EXPECT_EQ(GetText(key, longest.c_str()), "x");
    int32_t size = 0;
    EXPECT_EQ(Platform_RegistryGetSize(key, "Sub", &size), 0);
    EXPECT_EQ(GetText(key, "Sub"), "<none>");
    Platform_RegistryClose(&key);
}

TEST_F(RegistryStore, KeyPathsWithDotSegmentsOrEmptyPartsAreRefused) {
    PlatformRegistryKey* key = nullptr;
    const std::string deep = [] {
        std::string path;
        for (int i = 0; i < 25; i++) path += "k/";
        return path;
    }();
    for (const char* path : {"A/../B", "A/./B", "..", ".", "A//B", "A/B/", "//A", "A/\xFF", deep.c_str()}) {
        EXPECT_FALSE(CreateKey(&key, path)) << path;
        EXPECT_FALSE(OpenKey(&key, path)) << path;
        EXPECT_EQ(key, nullptr);
    }
    EXPECT_FALSE(FileExists(file));
    // The deepest key that may be made still reads back, with data in it.
    std::string deepest;
    for (int i = 0; i < 24; i++) deepest += (i ? "/k" : "k");
    ASSERT_TRUE(CreateKey(&key, deepest.c_str()));
    const uint8_t byte = 7;
    EXPECT_EQ(Platform_RegistrySetType(key, PLATFORM_REGISTRY_TYPE_BINARY, "D", &byte, 1), 1);
    ASSERT_EQ(Platform_RegistryClose(&key), 1);
    ASSERT_TRUE(OpenKey(&key, deepest.c_str()));
    int32_t size = 0;
    uint8_t read = 0;
    EXPECT_EQ(Platform_RegistryGetType(key, PLATFORM_REGISTRY_TYPE_BINARY, "D", &read, 1, &size), 1);
    EXPECT_EQ(read, 7);
    Platform_RegistryClose(&key);
}

TEST_F(RegistryStore, ATopLevelNameWithASlashIsFoundWhole) {
    WriteStore("{\"a/b\": {\"v\": \"whole\"}, \"a\": {\"b\": {\"v\": \"split\"}}, \"x\": {\"y\": {\"v\": "
               "\"only split\"}}}");
    PlatformRegistryKey* key = nullptr;
    ASSERT_TRUE(OpenKey(&key, "a/b"));
    EXPECT_EQ(GetText(key, "v"), "whole");
    SetText(key, "w", "new");
    ASSERT_EQ(Platform_RegistryClose(&key), 1);
    ASSERT_TRUE(OpenKey(&key, "/a\\b"));
    EXPECT_EQ(GetText(key, "w"), "new");
    Platform_RegistryClose(&key);
    ASSERT_TRUE(OpenKey(&key, "x/y"));
    EXPECT_EQ(GetText(key, "v"), "only split");
    Platform_RegistryClose(&key);
    ASSERT_TRUE(OpenKey(&key, "a"));
    PlatformRegistryKey* inner = nullptr;
    EXPECT_FALSE(OpenKey(&inner, "a/b/"));
    Platform_RegistryClose(&key);
}

TEST_F(RegistryStore, EnumerationInOrderWithItsEndAndItsMessages) {
    PlatformRegistryKey* key = nullptr;
    ASSERT_TRUE(CreateKey(&key, "E"));
    SetText(key, "first", "1");
    SetInt(key, "second", 2);
    SetText(key, "third", "3");
    Platform_RegistryClose(&key);
    ASSERT_TRUE(OpenKey(&key, "E"));
    char name[32], data[32];
    int32_t size = 0;
    uint32_t type = 0;
    TakeLog();
    EXPECT_EQ(Platform_RegistryEnumValue(key, 1, name, 32, data, 32, &size, &type), 0);
    EXPECT_EQ(Platform_RegistryEnumKey(key, 2, name, 32), 0);
    EXPECT_EQ(TakeLog(), "DEBUG - Platform_RegistryEnumValue: Enum value should be zero for the first call\n"
                         "DEBUG - Platform_RegistryEnumKey: Enum value should be zero for the first call\n");
    const struct {
        const char* Name;
        uint32_t Type;
        int32_t Size;
    } expected[] = {{"first", 1, 2}, {"second", 4, 4}, {"third", 1, 2}, {"", 0, 0}, {"", 0, 0}};
    for (int32_t i = 0; i < 5; i++) {
        EXPECT_EQ(Platform_RegistryEnumValue(key, i, name, 32, data, 32, &size, &type), 1) << i;
        EXPECT_STREQ(name, expected[i].Name);
        EXPECT_EQ(type, expected[i].Type);
        EXPECT_EQ(size, expected[i].Size);
    }
    EXPECT_EQ(Platform_RegistryEnumValue(key, -1, name, 32, data, 32, &size, &type), 0);
    // A key without subkeys: one empty answer, then the end.
    EXPECT_EQ(Platform_RegistryEnumKey(key, 0, name, 32), 1);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(Platform_RegistryEnumKey(key, -1, name, 32), 0);
    EXPECT_EQ(TakeLog(), "DEBUG - Platform_RegistryEnumValue: Enum value is out of the array bound\n"
                         "DEBUG - Platform_RegistryEnumKey: Enum value is out of the array bound\n");
    // A value set during the enumeration is listed after the others; a deleted one is gone.
    SetText(key, "fourth", "4");
    EXPECT_EQ(Platform_RegistryDeleteValue(key, "first"), 1);
    std::vector<std::string> names;
    for (int32_t i = 1; i < 4; i++) {
        Platform_RegistryEnumValue(key, i, name, 32, data, 32, &size, &type);
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"third", "fourth", ""}));
    Platform_RegistryClose(&key);

    ASSERT_TRUE(CreateKey(&key, "E/k1"));
    Platform_RegistryClose(&key);
    ASSERT_TRUE(CreateKey(&key, "E/k2"));
    Platform_RegistryClose(&key);
    ASSERT_TRUE(OpenKey(&key, "E"));
    EXPECT_EQ(Platform_RegistryEnumKey(key, 0, name, 32), 1);
    EXPECT_STREQ(name, "k1");
    EXPECT_EQ(Platform_RegistryEnumKey(key, 1, name, 32), 1);
    EXPECT_STREQ(name, "k2");
    EXPECT_EQ(Platform_RegistryEnumKey(key, 2, name, 32), 0);
    EXPECT_EQ(Platform_RegistryEnumKey(key, 3, name, 32), 0);
    EXPECT_EQ(Platform_RegistryEnumKey(key, 0, name, 2), 1);
    EXPECT_STREQ(name, "k");
    EXPECT_EQ(Platform_RegistryEnumKeyAndValues(key), 1);
    Platform_RegistryClose(&key);

    // The root key lists nothing.
    ASSERT_TRUE(OpenKey(&key, ""));
    TakeLog();
    EXPECT_EQ(Platform_RegistryEnumKey(key, 0, name, 32), 0);
    EXPECT_EQ(Platform_RegistryEnumValue(key, 0, name, 32, data, 32, &size, &type), 0);
    EXPECT_EQ(Platform_RegistryEnumKeyAndValues(key), 0);
    EXPECT_EQ(TakeLog(),
              "DEBUG - Platform_RegistryEnumKey: Enum property keys is not supported for plist\n"
              "DEBUG - Platform_RegistryEnumValue: Enum property values is not supported for plist\n");
    Platform_RegistryClose(&key);
}

TEST_F(RegistryStore, DeletingANestedKeyLeavesATopLevelKeyOfTheSameName) {
    PlatformRegistryKey* key = nullptr;
    ASSERT_TRUE(CreateKey(&key, "Child"));
    SetText(key, "top", "kept");
    Platform_RegistryClose(&key);
    ASSERT_TRUE(CreateKey(&key, "Parent/Child/Grand"));
    Platform_RegistryClose(&key);
    ASSERT_TRUE(CreateKey(&key, "Parent/Other"));
    Platform_RegistryClose(&key);

    ASSERT_TRUE(OpenKey(&key, "Parent"));
    SetText(key, "value", "v");
    EXPECT_EQ(Platform_RegistryDeleteKey(key, "value"), 0);
    EXPECT_EQ(Platform_RegistryDeleteKey(key, "Missing"), 0);
    EXPECT_EQ(Platform_RegistryDeleteKey(key, "/Child"), 1);
    EXPECT_EQ(Platform_RegistryDeleteKey(key, "Child"), 0);
    char name[32];
    EXPECT_EQ(Platform_RegistryEnumKey(key, 0, name, 32), 1);
    EXPECT_STREQ(name, "Other");
    EXPECT_EQ(Platform_RegistryClose(&key), 1);

    EXPECT_FALSE(OpenKey(&key, "Parent/Child"));
    ASSERT_TRUE(OpenKey(&key, "Parent"));
    EXPECT_EQ(GetText(key, "value"), "v");
    Platform_RegistryClose(&key);
    ASSERT_TRUE(OpenKey(&key, "Child"));
    EXPECT_EQ(GetText(key, "top"), "kept");
    Platform_RegistryClose(&key);

    // Deeper paths below a key, and a top-level key from the root.
    ASSERT_TRUE(CreateKey(&key, "Parent/Other/Deep"));
    Platform_RegistryClose(&key);
    ASSERT_TRUE(OpenKey(&key, "Parent"));
    EXPECT_EQ(Platform_RegistryDeleteKey(key, "Other/Deep"), 1);
    Platform_RegistryClose(&key);
    EXPECT_FALSE(OpenKey(&key, "Parent/Other/Deep"));
    ASSERT_TRUE(OpenKey(&key, "/"));
    EXPECT_EQ(Platform_RegistryDeleteKey(key, "Child"), 1);
    Platform_RegistryClose(&key);
    EXPECT_FALSE(OpenKey(&key, "Child"));
    EXPECT_TRUE(OpenKey(&key, "Parent/Other"));
    Platform_RegistryClose(&key);
}

TEST_F(RegistryStore, ValuesOfTheRootKey) {
    WriteStore("{\"Version\": \"1.2\", \"Count\": 3, \"Key\": {}}");
    PlatformRegistryKey* key = nullptr;
    ASSERT_TRUE(OpenKey(&key, "/"));
    EXPECT_EQ(GetText(key, "Version"), "1.2");
    EXPECT_EQ(GetInt(key, "Count"), 3);
    EXPECT_EQ(GetText(key, "Key"), "<none>");
    // A root value goes from the file at once.
    EXPECT_EQ(Platform_RegistryDeleteValue(key, "Count"), 1);
    EXPECT_EQ(ReadFile(file).find("Count"), std::string::npos);
    EXPECT_EQ(Platform_RegistryDeleteValue(key, "Count"), 0);
    EXPECT_EQ(Platform_RegistryDeleteValue(key, "Key"), 0);
    EXPECT_EQ(SetText(key, "Added", "a"), 1);
    EXPECT_EQ(Platform_RegistryClose(&key), 1);
    ASSERT_TRUE(OpenKey(&key, ""));
    EXPECT_EQ(GetText(key, "Added"), "a");
    EXPECT_EQ(GetText(key, "Version"), "1.2");
    Platform_RegistryClose(&key);
    ASSERT_TRUE(OpenKey(&key, "Key"));
    Platform_RegistryClose(&key);
}

TEST_F(RegistryStore, ADeletedValueIsWrittenAtClose) {
    PlatformRegistryKey* key = nullptr;
    ASSERT_TRUE(CreateKey(&key, "K"));
    SetText(key, "a", "1");
    SetText(key, "b", "2");
    Platform_RegistryClose(&key);
    ASSERT_TRUE(OpenKey(&key, "K"));
    EXPECT_EQ(Platform_RegistryDeleteValue(key, "a"), 1);
    EXPECT_EQ(Platform_RegistryDeleteValue(key, "a"), 0);
    EXPECT_EQ(Platform_RegistryDeleteValue(key, "missing"), 0);
    EXPECT_NE(ReadFile(file).find("\"a\""), std::string::npos);
    Platform_RegistryClose(&key);
    EXPECT_EQ(ReadFile(file).find("\"a\""), std::string::npos);
    ASSERT_TRUE(OpenKey(&key, "K"));
    EXPECT_EQ(GetText(key, "b"), "2");
    Platform_RegistryClose(&key);
}

TEST_F(RegistryStore, TwoHandlesOnOneKeyKeepEachOthersChanges) {
    PlatformRegistryKey* key = nullptr;
    ASSERT_TRUE(CreateKey(&key, "Shared"));
    SetText(key, "gone", "x");
    SetText(key, "both", "old");
    Platform_RegistryClose(&key);
    PlatformRegistryKey* first = nullptr;
    PlatformRegistryKey* second = nullptr;
    ASSERT_TRUE(OpenKey(&first, "Shared"));
    ASSERT_TRUE(OpenKey(&second, "Shared"));
    SetText(first, "one", "1");
    SetText(first, "both", "first");
    EXPECT_EQ(Platform_RegistryDeleteValue(first, "gone"), 1);
    SetText(second, "two", "2");
    SetText(second, "both", "second");
    EXPECT_EQ(Platform_RegistryClose(&first), 1);
    EXPECT_EQ(Platform_RegistryClose(&second), 1);
    ASSERT_TRUE(OpenKey(&key, "Shared"));
    EXPECT_EQ(GetText(key, "one"), "1");
    EXPECT_EQ(GetText(key, "two"), "2");
    EXPECT_EQ(GetText(key, "both"), "second");
    EXPECT_EQ(GetText(key, "gone"), "<none>");
    Platform_RegistryClose(&key);

    // A key deleted while a handle on it was open comes back with that handle's changes.
    ASSERT_TRUE(OpenKey(&first, "Shared"));
    ASSERT_TRUE(OpenKey(&key, ""));
    EXPECT_EQ(Platform_RegistryDeleteKey(key, "Shared"), 1);
    Platform_RegistryClose(&key);
    SetText(first, "late", "l");
    EXPECT_EQ(Platform_RegistryClose(&first), 1);
    ASSERT_TRUE(OpenKey(&key, "Shared"));
    EXPECT_EQ(GetText(key, "late"), "l");
    EXPECT_EQ(GetText(key, "one"), "<none>");
    Platform_RegistryClose(&key);
}

TEST_F(RegistryStore, PreferencesOfOtherKindsReadAsTheyCan) {
    WriteStore(
        "{\"K\": {\"yes\": true, \"no\": false, \"seven\": 7.0, \"half\": 1.5, \"huge\": 4294967296, "
        "\"exp\": 1e3, \"nothing\": null, \"list\": [1, 2], \"text\": [\"a\", \"b\"], \"bad64\": [\"@@\"]}}");
    PlatformRegistryKey* key = nullptr;
    ASSERT_TRUE(OpenKey(&key, "K"));
    EXPECT_EQ(GetInt(key, "yes"), 1);
    EXPECT_EQ(GetInt(key, "no"), 0);
    EXPECT_EQ(GetInt(key, "seven"), 7);
    EXPECT_EQ(GetInt(key, "exp"), 1000);
    int32_t size = 0;
    EXPECT_EQ(Platform_RegistryGetSize(key, "yes", &size), 1);
    EXPECT_EQ(size, 4);
    TakeLog();
    int64_t ok = 1;
    GetInt(key, "half", &ok);
    EXPECT_EQ(ok, 0);
    GetInt(key, "huge", &ok);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(Platform_RegistryGetSize(key, "huge", &size), 0);
    EXPECT_EQ(GetText(key, "nothing"), "<none>");
    EXPECT_EQ(GetText(key, "list"), "<none>");
    uint8_t bytes[8];
    EXPECT_EQ(Platform_RegistryGetType(key, PLATFORM_REGISTRY_TYPE_BINARY, "bad64", bytes, 8, &size), 0);
    EXPECT_EQ(
        TakeLog(),
        "DEBUG - Platform_RegistryGetType: Bad number type for requested value \"half\" (type [0x00000006 != "
        "0x00000003])\n"
        "DEBUG - Platform_RegistryGetType: Bad number type for requested value \"huge\" (type [0x00000004 != "
        "0x00000003])\n"
        "DEBUG - Platform_RegistryGetSize: Bad number type for requested value \"huge\" (type [0x00000004 != "
        "0x00000003])\n"
        "DEBUG - Platform_RegistryGetType: Unexpected data type 1 (Null) for value \"nothing\"\n"
        "DEBUG - Platform_RegistryGetType: Unexpected data type 6 (List) for value \"list\"\n"
        "DEBUG - Platform_RegistryGetType: Unexpected data type 6 (List) for value \"bad64\"\n");
    char name[32];
    uint32_t type = 0;
    std::vector<std::string> listed;
    for (int32_t i = 0; i < 12; i++) {
        if (Platform_RegistryEnumValue(key, i, name, 32, bytes, 8, &size, &type)) listed.push_back(name);
    }
    EXPECT_EQ(listed, (std::vector<std::string>{"yes", "no", "seven", "exp", "", ""}));
    Platform_RegistryClose(&key);
}

TEST_F(RegistryStore, ADamagedFileIsKeptAsideAndTheStoreStartsEmpty) {
    const std::string damaged[] = {
        "{\"K\": {\"v\": \"truncat",     // cut short
        "{\"K\": {\"v\": 1}",            // unclosed
        "",                              // empty
        "[{\"K\": {}}]",                 // not an object
        "\"text\"",                      // a bare value
        "\x89PNG\r\n\x1a\n\0\0\0binary", // not text at all
        "{\"K\": {\"v\": \"\xFF\"}}",    // not UTF-8
    };
    for (const std::string& content : damaged) {
        SCOPED_TRACE(content);
        WriteStore(content);
        TakeLog();
        PlatformRegistryKey* key = nullptr;
        ASSERT_TRUE(OpenKey(&key, ""));
        EXPECT_EQ(GetText(key, "K"), "<none>");
        Platform_RegistryClose(&key);
        EXPECT_FALSE(OpenKey(&key, "K"));
        // Nothing is lost: the damaged bytes are kept in a file beside, and the log says where.
        std::string aside;
        for (const std::string& name : StoreDirectory())
            if (name.find(".damaged-") != std::string::npos) aside = name;
        ASSERT_FALSE(aside.empty());
        const std::string asidePath = dir.path() + "/" + QVR_BUILD_COMPANY_NAME + "/" + aside;
        EXPECT_EQ(ReadFile(asidePath), content);
        EXPECT_NE(TakeLog().find("ERROR - Registry preferences " + file + " could not be read: kept as " +
                                 asidePath + ", starting empty\n"),
                  std::string::npos);
        EXPECT_FALSE(FileExists(file));
        unlink(asidePath.c_str());
        // The store works afresh.
        ASSERT_TRUE(CreateKey(&key, "K"));
        SetText(key, "v", "new");
        EXPECT_EQ(Platform_RegistryClose(&key), 1);
        ASSERT_TRUE(OpenKey(&key, "K"));
        EXPECT_EQ(GetText(key, "v"), "new");
        Platform_RegistryClose(&key);
    }
}

TEST_F(RegistryStore, ADamagedFileThatCannotBeMovedAsideIsLeftUntouched) {
    WriteStore("{\"K\": {\"v\": \"cut");
    WriteText(file + ".lock", "");
    const std::string store = dir.path() + "/" + QVR_BUILD_COMPANY_NAME;
    // In a child with a mount namespace of its own, where the directory is read-only.
    pid_t child = fork();
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(store.c_str(), store.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            mount(nullptr, store.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
            _exit(3);
        TakeLog();
        PlatformRegistryKey* key = nullptr;
        if (OpenKey(&key, "") || CreateKey(&key, "K") || key) _exit(4);
        const std::string log = TakeLog();
        _exit(log.find("ERROR - Registry preferences " + file + " could not be read nor moved aside (30): left "
                       "untouched\n") == std::string::npos
                  ? 5
                  : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "no private mount namespace";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadFile(file), "{\"K\": {\"v\": \"cut");
    EXPECT_EQ(StoreDirectory().size(), 2u);
}

TEST_F(RegistryStore, AnUnreadableStoreFailsWithoutHarm) {
    // A directory where the file should be: nothing can be read or written, nothing is moved.
    mkdir((dir.path() + "/" + QVR_BUILD_COMPANY_NAME).c_str(), 0700);
    ASSERT_EQ(mkdir(file.c_str(), 0700), 0);
    PlatformRegistryKey* key = nullptr;
    EXPECT_FALSE(OpenKey(&key, ""));
    EXPECT_FALSE(CreateKey(&key, "K"));
    EXPECT_FALSE(CreateKey(&key, "K/L"));
    EXPECT_EQ(key, nullptr);
    struct stat info;
    EXPECT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(StoreDirectory().size(), 2u); // the directory and the lock
}

TEST_F(RegistryStore, ANullHandleOrPathStopsTheProcess) {
    PlatformRegistryKey* key = nullptr;
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Platform_RegistryOpen(&key, 0, 1, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            char name[8];
            Platform_RegistryEnumKey(nullptr, 0, name, 8);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_EQ(Platform_RegistryClose(&key), 0);
}

// ---- What stands at the preferences path --------------------------------------------------------

// Runs the operation on a thread and answers whether it returned within a few seconds. A thread
// still blocked opening the FIFO is let go by opening the FIFO's other end, so that it can be
// joined; one that cannot be let go stops the program rather than hang the suite.
bool ReturnsInTime(const std::function<void()>& operation, const std::string& fifo) {
    std::promise<void> finished;
    std::future<void> done = finished.get_future();
    std::thread worker([&] {
        operation();
        finished.set_value();
    });
    const bool inTime = done.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    for (int32_t attempt = 0;
         attempt < 500 && done.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready;
         attempt++) {
        const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (writer >= 0) close(writer);
    }
    if (done.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        fprintf(stderr, "the operation on the FIFO never returned\n");
        std::abort();
    }
    worker.join();
    return inTime;
}

TEST_F(RegistryStore, AFifoAtThePreferencesPathFailsAtOnce) {
    const std::string store = dir.path() + "/" + QVR_BUILD_COMPANY_NAME;
    ASSERT_EQ(mkdir(store.c_str(), 0700), 0);
    ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
    const struct {
        const char* What;
        std::function<bool(PlatformRegistryKey**)> Operation;
    } cases[] = {
        {"open the root", [](PlatformRegistryKey** key) { return OpenKey(key, ""); }},
        {"open a key", [](PlatformRegistryKey** key) { return OpenKey(key, "K"); }},
        {"create a key", [](PlatformRegistryKey** key) { return CreateKey(key, "K"); }},
        {"create a nested key", [](PlatformRegistryKey** key) { return CreateKey(key, "K/L"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        TakeLog();
        PlatformRegistryKey* key = nullptr;
        bool answer = true;
        EXPECT_TRUE(ReturnsInTime([&] { answer = c.Operation(&key); }, file));
        EXPECT_FALSE(answer);
        EXPECT_EQ(key, nullptr);
        if (key) Platform_RegistryClose(&key);
        EXPECT_NE(TakeLog().find("ERROR - Unable to read registry preferences " + file +
                                 " (not a file of a usable size)\n"),
                  std::string::npos);
        struct stat info;
        ASSERT_EQ(lstat(file.c_str(), &info), 0);
        EXPECT_TRUE(S_ISFIFO(info.st_mode));
    }
    // Nothing was written beside it.
    EXPECT_EQ(StoreDirectory(),
              (std::vector<std::string>{ProgramName() + ".json", ProgramName() + ".json.lock"}));
}

std::string LinkTarget(const std::string& path) {
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof(target) - 1);
    return n > 0 ? std::string(target, (size_t)n) : std::string();
}

TEST_F(RegistryStore, ASymbolicLinkAtThePreferencesPathIsRefused) {
    const std::string store = dir.path() + "/" + QVR_BUILD_COMPANY_NAME;
    ASSERT_EQ(mkdir(store.c_str(), 0700), 0);
    const std::string outside = dir.path() + "/outside.json";
    const std::string content = "{\"K\": {\"v\": \"outside\"}}";
    const std::string refused = "ERROR - Registry preferences " + file + " is a symbolic link: refused\n";
    const struct {
        const char* What;
        std::function<bool(PlatformRegistryKey**)> Operation;
    } operations[] = {
        {"open the root", [](PlatformRegistryKey** key) { return OpenKey(key, ""); }},
        {"open a key", [](PlatformRegistryKey** key) { return OpenKey(key, "K"); }},
        {"create a key", [](PlatformRegistryKey** key) { return CreateKey(key, "New"); }},
        {"create a nested key", [](PlatformRegistryKey** key) { return CreateKey(key, "K/New"); }},
    };
    // A link to a file holding preferences, and a link to nothing, which would otherwise read as
    // empty preferences and be replaced at the first write.
    for (const bool targetExists : {true, false}) {
        unlink(outside.c_str());
        if (targetExists) {
            ASSERT_TRUE(WriteText(outside, content, 0644));
        }
        unlink(file.c_str());
        ASSERT_EQ(symlink(outside.c_str(), file.c_str()), 0);
        for (const auto& o : operations) {
            SCOPED_TRACE(std::string(o.What) + (targetExists ? ", target present" : ", target missing"));
            TakeLog();
            PlatformRegistryKey* key = nullptr;
            EXPECT_FALSE(o.Operation(&key));
            EXPECT_EQ(key, nullptr);
            if (key) Platform_RegistryClose(&key);
            EXPECT_NE(TakeLog().find(refused), std::string::npos);
            EXPECT_EQ(LinkTarget(file), outside);
            EXPECT_EQ(FileExists(outside), targetExists);
            if (targetExists) {
                EXPECT_EQ(ReadFile(outside), content);
                struct stat info;
                ASSERT_EQ(stat(outside.c_str(), &info), 0);
                EXPECT_EQ(info.st_mode & 07777, 0644u);
            }
        }
        // Nothing was written beside the link.
        EXPECT_EQ(StoreDirectory(),
                  (std::vector<std::string>{ProgramName() + ".json", ProgramName() + ".json.lock"}));
    }
}

TEST_F(RegistryStore, ASymbolicLinkAtTheLockPathIsRefused) {
    const std::string store = dir.path() + "/" + QVR_BUILD_COMPANY_NAME;
    ASSERT_EQ(mkdir(store.c_str(), 0700), 0);
    const std::string lock = file + ".lock";
    const std::string outside = dir.path() + "/outside.lock";
    for (const bool targetExists : {true, false}) {
        SCOPED_TRACE(targetExists ? "target present" : "target missing");
        unlink(outside.c_str());
        if (targetExists) {
            ASSERT_TRUE(WriteText(outside, "kept", 0644));
        }
        // Without preferences to read, a create goes to the lock at once.
        unlink(file.c_str());
        unlink(lock.c_str());
        ASSERT_EQ(symlink(outside.c_str(), lock.c_str()), 0);
        TakeLog();
        PlatformRegistryKey* key = nullptr;
        EXPECT_FALSE(CreateKey(&key, "K"));
        EXPECT_EQ(key, nullptr);
        if (key) Platform_RegistryClose(&key);
        EXPECT_NE(
            TakeLog().find("ERROR - Registry preferences lock " + lock + " is a symbolic link: refused\n"),
            std::string::npos);
        EXPECT_EQ(LinkTarget(lock), outside);
        EXPECT_EQ(FileExists(outside), targetExists);
        if (targetExists) {
            EXPECT_EQ(ReadFile(outside), "kept");
        }
        EXPECT_FALSE(FileExists(file));
    }
}

// Sets the process's file mode mask while it lives.
class UmaskScope {
  public:
    explicit UmaskScope(mode_t mask) : old_(umask(mask)) {}
    ~UmaskScope() { umask(old_); }
    UmaskScope(const UmaskScope&) = delete;
    UmaskScope& operator=(const UmaskScope&) = delete;

  private:
    mode_t old_;
};

mode_t ModeOf(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 07777;
}

TEST_F(RegistryStore, ThePreferencesAreTheUsersAlone) {
    const UmaskScope everyoneAllowed(0);
    const struct {
        const char* What;
        const char* Home;   // the configuration directory, below the test's own
        const char* Before; // preferences in place before the write, all with mode 0755 or 0644
    } cases[] = {
        {"a first write makes the directory", "", nullptr},
        {"a first write makes the configuration directory too", "/made/config", nullptr},
        {"a write replaces a file open to others", "/open", "{\"Old\": {\"v\": \"1\"}}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        const std::string home = dir.path() + c.Home;
        const std::string store = home + "/" + QVR_BUILD_COMPANY_NAME;
        const std::string prefs = store + "/" + ProgramName() + ".json";
        setenv("XDG_CONFIG_HOME", home.c_str(), 1);
        if (c.Before) {
            ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
            ASSERT_EQ(mkdir(store.c_str(), 0755), 0);
            ASSERT_TRUE(WriteText(prefs, c.Before, 0644));
        }
        PlatformRegistryKey* key = nullptr;
        ASSERT_TRUE(CreateKey(&key, "K"));
        EXPECT_EQ(SetText(key, "v", "new"), 1);
        ASSERT_EQ(Platform_RegistryClose(&key), 1);
        EXPECT_EQ(ModeOf(prefs), 0600u);
        EXPECT_EQ(ModeOf(prefs + ".lock"), 0600u);
        // Directories made for the preferences are private; those the user made stay as they are.
        for (std::string d = store; d.size() > dir.path().size(); d.resize(d.rfind('/')))
            EXPECT_EQ(ModeOf(d), c.Before ? 0755u : 0700u) << d;
        if (c.Before) {
            EXPECT_NE(ReadFile(prefs).find("\"Old\""), std::string::npos);
        }
    }
}

// ---- Several processes ------------------------------------------------------------------------

constexpr int32_t kWrites = 40;

// Runs in a child process started by the test below: checks what the parent stored, then writes
// its own values, each in a handle of its own.
TEST(RegistryStoreWriter, Child) {
    const char* id = getenv("QVR_REGISTRY_WRITER");
    if (!id) GTEST_SKIP() << "run by RegistryStoreProcesses only";
    PlatformRegistryKey* key = nullptr;
    ASSERT_TRUE(OpenKey(&key, "Before/Nested"));
    EXPECT_EQ(GetText(key, "text"), "from the parent");
    EXPECT_EQ(GetInt(key, "number"), 42);
    Platform_RegistryClose(&key);
    for (int32_t i = 0; i < kWrites; i++) {
        ASSERT_TRUE(CreateKey(&key, "Shared/Load"));
        const std::string name = std::string("w") + id + "-" + std::to_string(i);
        ASSERT_EQ(SetInt(key, name.c_str(), i), 1);
        ASSERT_EQ(Platform_RegistryClose(&key), 1);
        ASSERT_TRUE(CreateKey(&key, (std::string("Own") + id).c_str()));
        ASSERT_EQ(SetInt(key, "count", i + 1), 1);
        ASSERT_EQ(Platform_RegistryClose(&key), 1);
    }
}

TEST_F(RegistryStore, TwoProcessesWritingAtOnceLoseNothing) {
    PlatformRegistryKey* key = nullptr;
    ASSERT_TRUE(CreateKey(&key, "Before/Nested"));
    SetText(key, "text", "from the parent");
    SetInt(key, "number", 42);
    ASSERT_EQ(Platform_RegistryClose(&key), 1);

    char program[4096];
    ssize_t n = readlink("/proc/self/exe", program, sizeof(program) - 1);
    ASSERT_GT(n, 0);
    program[n] = 0;
    std::vector<pid_t> children;
    for (const char* id : {"1", "2"}) {
        setenv("QVR_REGISTRY_WRITER", id, 1);
        char filter[] = "--gtest_filter=RegistryStoreWriter.Child";
        char* argv[] = {program, filter, nullptr};
        pid_t child = 0;
        ASSERT_EQ(posix_spawn(&child, program, nullptr, nullptr, argv, environ), 0);
        children.push_back(child);
    }
    unsetenv("QVR_REGISTRY_WRITER");
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    ASSERT_TRUE(OpenKey(&key, "Shared/Load"));
    for (const char* id : {"1", "2"})
        for (int32_t i = 0; i < kWrites; i++) {
            const std::string name = std::string("w") + id + "-" + std::to_string(i);
            EXPECT_EQ(GetInt(key, name.c_str()), i) << name;
        }
    Platform_RegistryClose(&key);
    for (const char* own : {"Own1", "Own2"}) {
        ASSERT_TRUE(OpenKey(&key, own));
        EXPECT_EQ(GetInt(key, "count"), kWrites);
        Platform_RegistryClose(&key);
    }
    ASSERT_TRUE(OpenKey(&key, "Before/Nested"));
    EXPECT_EQ(GetText(key, "text"), "from the parent");
    Platform_RegistryClose(&key);
}

} // namespace
