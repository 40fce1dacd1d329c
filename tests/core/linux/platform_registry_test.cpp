// Tests of the registry store: keys, nested keys and typed values kept in the preferences file,
// enumeration, deletion, damaged files, what else may stand at the file's path, the file's
// privacy, and two processes writing at once.
#include "core/linux/platform_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <future>
#include <pwd.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/certs/build_info.h"
#include "tests/support/log_capture.h"
#include "tests/support/platform_sandbox.h"
#include "tests/support/scoped_env.h"

extern char** environ;

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

using Key = PlatformRegistryKey*;
using Names = std::vector<std::string>;

std::string ProgramName() {
    const std::string exe = ReadLink("/proc/self/exe");
    return exe.substr(exe.rfind('/') + 1);
}

// A key of the user's preferences opened (or created) by path; null, checked cleared, when it
// cannot be.
Key Open(const std::string& path, bool create = false) {
    Key key = reinterpret_cast<Key>(1);
    const int64_t done = (create ? Platform_RegistryCreate : Platform_RegistryOpen)(
        &key, PLATFORM_REGISTRYVIEW_DEFAULT, PLATFORM_REGISTRYCLASS_USER, path.c_str());
    EXPECT_TRUE(done || !key) << path;
    return done ? key : nullptr;
}

Key Create(const std::string& path) {
    return Open(path, true);
}

int64_t Close(Key& key) {
    return Platform_RegistryClose(&key);
}

int64_t SetText(Key key, const char* name, const char* text, uint32_t type = PLATFORM_REGISTRY_TYPE_STRING) {
    return Platform_RegistrySetType(key, type, name, text, (int32_t)strlen(text) + 1);
}

int64_t SetInt(Key key, const char* name, int32_t value) {
    return Platform_RegistrySetType(key, PLATFORM_REGISTRY_TYPE_INT32, name, &value, 4);
}

std::string GetText(Key key, const char* name, int32_t* sizeOut = nullptr) {
    char buffer[256];
    int32_t size = -1;
    if (!Platform_RegistryGetType(key, PLATFORM_REGISTRY_TYPE_STRING, name, buffer, sizeof(buffer), &size))
        return "<none>";
    if (sizeOut) *sizeOut = size;
    return std::string(buffer, (size_t)(size > 0 ? size - 1 : 0));
}

// The number, or "<none>" when it cannot be read as one.
std::string GetInt(Key key, const char* name) {
    int32_t value = 0, size = 0;
    return Platform_RegistryGetType(key, PLATFORM_REGISTRY_TYPE_INT32, name, &value, 4, &size)
               ? std::to_string(value)
               : "<none>";
}

// A value read through a handle of its own: "<no key>" when the key cannot be opened.
std::string Read(const std::string& path, const char* name, bool number = false) {
    Key key = Open(path);
    if (!key) return "<no key>";
    const std::string value = number ? GetInt(key, name) : GetText(key, name);
    Close(key);
    return value;
}

// Every test has its own configuration directory, so its preferences start empty.
class RegistryStore : public ::testing::Test {
  protected:
    TempDir dir;
    ScopedEnv env;
    const std::string store = dir.path() + "/" + QVR_BUILD_COMPANY_NAME;
    const std::string file = store + "/" + ProgramName() + ".json";
    const Names ownFiles = {ProgramName() + ".json", ProgramName() + ".json.lock"};
    void SetUp() override {
        env.Set("XDG_CONFIG_HOME", dir.path().c_str());
        TakeLog();
    }
    void WriteStore(const std::string& text) {
        mkdir(store.c_str(), 0700);
        ASSERT_TRUE(WriteText(file, text, 0600));
    }
    Names StoreDirectory() {
        Names names;
        if (DIR* d = opendir(store.c_str())) {
            while (dirent* e = readdir(d))
                if (e->d_name[0] != '.') names.push_back(e->d_name);
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    bool Has(const std::string& text) { return ReadFile(file).find(text) != std::string::npos; }
};

TEST_F(RegistryStore, NestedKeysAreCreatedAndTheLastWrittenAtClose) {
    EXPECT_EQ(Open("A/B/D"), nullptr);
    Key key = Create("A/B/D");
    ASSERT_NE(key, nullptr);
    // The parents exist already; the new key reaches the file when its handle closes.
    EXPECT_FALSE(Has("\"D\""));
    EXPECT_TRUE(Has("\"B\""));
    EXPECT_EQ(Close(key), 1);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(Close(key), 0);
    EXPECT_EQ(
        ReadFile(file),
        "{\n    \"A\": {\n        \"B\": {\n            \"D\": {\n            }\n        }\n    }\n}\n");
    for (const char* path : {"A", "/A/B", "\\A\\B\\D", "A\\B/D"}) {
        key = Open(path);
        EXPECT_NE(key, nullptr) << path;
        Close(key);
    }
    // Creating what exists opens it and changes nothing.
    key = Create("A/B");
    EXPECT_EQ(Close(key), 1);
    EXPECT_TRUE(Has("\"D\""));
    // Only the session's own files are left: no temporary file stays behind.
    EXPECT_EQ(StoreDirectory(), ownFiles);
}

TEST_F(RegistryStore, TypedValuesSurviveAReopen) {
    Key key = Create("Software/App");
    ASSERT_NE(key, nullptr);
    const uint8_t data[] = {0, 1, 2, 0xFF, 0, 0x80};
    const char multi[8] = {'o', 'n', 'e', 0, 't', 'w', 'o', 0};
    const std::pair<const char*, const char*> texts[] = {{"Text", "h\xC3\xA9llo \"q\" \\"},
                                                         {"#private", "hash"},
                                                         {".dot", "dot"},
                                                         {"[0]", "bracket"},
                                                         {"", "default"}};
    for (const auto& [name, text] : texts) EXPECT_EQ(SetText(key, name, text), 1) << name;
    EXPECT_EQ(SetText(key, "Expand", "%HOME%/x", PLATFORM_REGISTRY_TYPE_EXPAND_STRING), 1);
    EXPECT_EQ(Platform_RegistrySetType(key, PLATFORM_REGISTRY_TYPE_MULTI_STRING, "Multi", multi, 8), 1);
    EXPECT_EQ(Platform_RegistrySetType(key, PLATFORM_REGISTRY_TYPE_BINARY, "Data", data, sizeof(data)), 1);
    EXPECT_EQ(Platform_RegistrySetType(key, PLATFORM_REGISTRY_TYPE_BINARY, "Empty", nullptr, 0), 1);
    EXPECT_EQ(SetInt(key, "Number", -7) + SetInt(key, "Big", INT32_MAX), 2);
    EXPECT_EQ(Platform_RegistrySetType(key, PLATFORM_REGISTRY_TYPE_STRING, "NoZero", "abc", 3), 1);
    ASSERT_EQ(Close(key), 1);

    key = Open("Software/App");
    ASSERT_NE(key, nullptr);
    for (const auto& [name, text] : texts) EXPECT_EQ(GetText(key, name), text) << name;
    EXPECT_EQ(GetText(key, "Expand"), "%HOME%/x");
    EXPECT_EQ(GetText(key, "NoZero"), "abc");
    int32_t size = 0;
    EXPECT_EQ(GetText(key, "Multi", &size), std::string("one\0two", 7));
    EXPECT_EQ(size, 8);
    EXPECT_EQ(GetInt(key, "Number"), "-7");
    EXPECT_EQ(GetInt(key, "Big"), std::to_string(INT32_MAX));
    uint8_t bytes[16] = {};
    EXPECT_EQ(Platform_RegistryGetType(key, PLATFORM_REGISTRY_TYPE_BINARY, "Data", bytes, 16, &size), 1);
    ASSERT_EQ(size, 6);
    EXPECT_EQ(memcmp(bytes, data, sizeof(data)), 0);
    // Data is cut to the buffer.
    EXPECT_EQ(Platform_RegistryGetType(key, PLATFORM_REGISTRY_TYPE_BINARY, "Data", bytes, 4, &size), 1);
    EXPECT_EQ(size, 4);
    EXPECT_EQ(Platform_RegistryGetType(key, PLATFORM_REGISTRY_TYPE_BINARY, "Empty", bytes, 4, &size), 0);
    EXPECT_EQ(size, 0);
    const std::pair<const char*, int32_t> sizes[] = {
        {"Text", 12}, {"Multi", 7}, {"Data", 6}, {"Number", 4}, {"NoZero", 3}, {"Missing", 0}, {"Empty", 0}};
    for (const auto& [name, expected] : sizes) {
        int32_t got = -1;
        EXPECT_EQ(Platform_RegistryGetSize(key, name, &got), expected != 0) << name;
        EXPECT_EQ(got, expected) << name;
    }
    Close(key);
    // Names are kept as given in the file, numbers as numbers, data as its Base64 text.
    for (const char* text : {"\"#private\": \"hash\"", "\".dot\": \"dot\"", "\"Number\": -7",
                             "\"Data\": [\n                \"AAEC/wCA\"\n            ]"})
        EXPECT_TRUE(Has(text)) << text << "\n" << ReadFile(file);
}

TEST_F(RegistryStore, TextsReadBackAsStringsOnlyAndAlwaysTerminated) {
    Key key = Create("K");
    SetText(key, "Expand", "x", PLATFORM_REGISTRY_TYPE_EXPAND_STRING);
    SetText(key, "Word", "abcdef");
    SetText(key, "Accent", "a\xC3\xA9z");
    SetInt(key, "Number", 5);
    char buffer[16];
    int32_t size = 0;
    TakeLog();
    const std::pair<uint32_t, const char*> mismatches[] = {{PLATFORM_REGISTRY_TYPE_EXPAND_STRING, "Expand"},
                                                           {PLATFORM_REGISTRY_TYPE_MULTI_STRING, "Word"},
                                                           {PLATFORM_REGISTRY_TYPE_STRING, "Number"}};
    for (const auto& [type, name] : mismatches) {
        EXPECT_EQ(Platform_RegistryGetType(key, type, name, buffer, 16, &size), 0) << name;
        EXPECT_EQ(size, 0);
    }
    EXPECT_EQ(TakeLog(),
              "DEBUG - Platform_RegistryGetType: Bad type for 'Expand' [0x00000001 != 0x00000002]\n"
              "DEBUG - Platform_RegistryGetType: Bad type for 'Word' [0x00000001 != 0x00000007]\n"
              "DEBUG - Platform_RegistryGetType: Bad type for 'Number' [0x00000004 != 0x00000001]\n");
    EXPECT_EQ(GetText(key, "Expand"), "x");
    const struct {
        const char* Name;
        int32_t Capacity;
        const char* Text;
        int32_t Size;
    } cases[] = {{"Word", 7, "abcdef", 7},
                 {"Word", 6, "abcde", 6},
                 {"Word", 1, "", 1},
                 {"Accent", 3, "a", 2},
                 {"Accent", 4, "a\xC3\xA9", 4}};
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
    Close(key);
}

TEST_F(RegistryStore, RefusedWrites) {
    Key key = Create("K");
    const int64_t wide = 1;
    const std::string longest(119, 'n'), tooLong(120, 'n');
    EXPECT_EQ(Platform_RegistrySetType(key, PLATFORM_REGISTRY_TYPE_INT32, "Eight", &wide, 8), 0);
    EXPECT_EQ(Platform_RegistrySetType(key, PLATFORM_REGISTRY_TYPE_INT32, "Three", &wide, 3), 0);
    for (uint32_t type : {0u, 5u, 6u, 8u, 11u, 99u})
        EXPECT_EQ(Platform_RegistrySetType(key, type, "T", &wide, 8), 0) << type;
    const std::pair<std::string, const char*> bad[] = {{"Bad", "a\xC3"},
                                                       {"Surrogate", "\xED\xA0\x80"},
                                                       {"Overlong", "\xC0\xAF"},
                                                       {"\xFF", "x"},
                                                       {tooLong, "x"}};
    for (const auto& [name, text] : bad) EXPECT_EQ(SetText(key, name.c_str(), text), 0) << name;
    EXPECT_EQ(SetText(key, longest.c_str(), "x"), 1);
    EXPECT_EQ(Platform_RegistrySetType(key, PLATFORM_REGISTRY_TYPE_STRING, "Negative", "x", -1), 0);
    EXPECT_EQ(SetText(key, "Value", "kept"), 1);
    Key sub = Create("K/Sub");
    Close(sub);
    Close(key);
    // A value never takes the place of a key, nor a key the place of a value.
    key = Open("K");
    EXPECT_EQ(SetText(key, "Sub", "x"), 0);
    EXPECT_EQ(Close(key), 1);
    EXPECT_EQ(Create("K/Value"), nullptr);
    key = Open("K/Sub");
    EXPECT_NE(key, nullptr);
    Close(key);
    key = Open("K");
    EXPECT_EQ(GetText(key, "Value"), "kept");
    EXPECT_EQ(GetText(key, longest.c_str()), "x");
    int32_t size = 0;
    EXPECT_EQ(Platform_RegistryGetSize(key, "Sub", &size), 0);
    EXPECT_EQ(GetText(key, "Sub"), "<none>");
    Close(key);
}

TEST_F(RegistryStore, KeyPathsWithDotSegmentsEmptyPartsOrTooDeepAreRefused) {
    std::string deepest = "k";
    for (int i = 1; i < 24; i++) deepest += "/k";
    for (const std::string& path :
         std::vector<std::string>{"A/../B", "A/./B", "..", ".", "A//B", "A/B/", "//A", "A/\xFF",
                                  deepest + "/k", deepest + "/k/"}) {
        EXPECT_EQ(Create(path), nullptr) << path;
        EXPECT_EQ(Open(path), nullptr) << path;
    }
    EXPECT_FALSE(FileExists(file));
    // The deepest key that may be made still reads back, with data in it.
    Key key = Create(deepest);
    ASSERT_NE(key, nullptr);
    const uint8_t byte = 7;
    EXPECT_EQ(Platform_RegistrySetType(key, PLATFORM_REGISTRY_TYPE_BINARY, "D", &byte, 1), 1);
    ASSERT_EQ(Close(key), 1);
    key = Open(deepest);
    int32_t size = 0;
    uint8_t read = 0;
    EXPECT_EQ(Platform_RegistryGetType(key, PLATFORM_REGISTRY_TYPE_BINARY, "D", &read, 1, &size), 1);
    EXPECT_EQ(read, 7);
    Close(key);
}

TEST_F(RegistryStore, ATopLevelNameWithASlashIsFoundWhole) {
    WriteStore("{\"a/b\": {\"v\": \"whole\"}, \"a\": {\"b\": {\"v\": \"split\"}}, \"x\": {\"y\": {\"v\": "
               "\"only split\"}}}");
    Key key = Open("a/b");
    EXPECT_EQ(GetText(key, "v"), "whole");
    SetText(key, "w", "new");
    ASSERT_EQ(Close(key), 1);
    EXPECT_EQ(Read("/a\\b", "w"), "new");
    EXPECT_EQ(Read("x/y", "v"), "only split");
    EXPECT_EQ(Open("a/b/"), nullptr);
}

TEST_F(RegistryStore, EnumerationInOrderWithItsEndAndItsMessages) {
    Key key = Create("E");
    SetText(key, "first", "1");
    SetInt(key, "second", 2);
    SetText(key, "third", "3");
    Close(key);
    key = Open("E");
    char name[32], data[32];
    int32_t size = 0;
    uint32_t type = 0;
    const auto value = [&](int32_t i) {
        return Platform_RegistryEnumValue(key, i, name, 32, data, 32, &size, &type);
    };
    TakeLog();
    EXPECT_EQ(value(1), 0);
    EXPECT_EQ(Platform_RegistryEnumKey(key, 2, name, 32), 0);
    EXPECT_EQ(TakeLog(), "DEBUG - Platform_RegistryEnumValue: Enum value should be zero for the first call\n"
                         "DEBUG - Platform_RegistryEnumKey: Enum value should be zero for the first call\n");
    const struct {
        const char* Name;
        uint32_t Type;
        int32_t Size;
    } expected[] = {{"first", 1, 2}, {"second", 4, 4}, {"third", 1, 2}, {"", 0, 0}, {"", 0, 0}};
    for (int32_t i = 0; i < 5; i++) {
        EXPECT_EQ(value(i), 1) << i;
        EXPECT_STREQ(name, expected[i].Name);
        EXPECT_EQ(std::make_pair(type, size), std::make_pair(expected[i].Type, expected[i].Size)) << i;
    }
    EXPECT_EQ(value(-1), 0);
    // A key without subkeys: one empty answer, then the end.
    EXPECT_EQ(Platform_RegistryEnumKey(key, 0, name, 32), 1);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(Platform_RegistryEnumKey(key, -1, name, 32), 0);
    EXPECT_EQ(TakeLog(), "DEBUG - Platform_RegistryEnumValue: Enum value is out of the array bound\n"
                         "DEBUG - Platform_RegistryEnumKey: Enum value is out of the array bound\n");
    // A value set during the enumeration is listed after the others; a deleted one is gone.
    SetText(key, "fourth", "4");
    EXPECT_EQ(Platform_RegistryDeleteValue(key, "first"), 1);
    Names names;
    for (int32_t i = 1; i < 4; i++) names.push_back(value(i) ? name : "<end>");
    EXPECT_EQ(names, (Names{"third", "fourth", ""}));
    Close(key);

    for (const char* path : {"E/k1", "E/k2"}) {
        key = Create(path);
        Close(key);
    }
    key = Open("E");
    names.clear();
    for (int32_t i = 0; i < 4; i++)
        names.push_back(Platform_RegistryEnumKey(key, i, name, 32) ? name : "<end>");
    EXPECT_EQ(names, (Names{"k1", "k2", "<end>", "<end>"}));
    EXPECT_EQ(Platform_RegistryEnumKey(key, 0, name, 2), 1);
    EXPECT_STREQ(name, "k");
    EXPECT_EQ(Platform_RegistryEnumKeyAndValues(key), 1);
    Close(key);

    // The root key lists nothing.
    key = Open("");
    TakeLog();
    EXPECT_EQ(Platform_RegistryEnumKey(key, 0, name, 32), 0);
    EXPECT_EQ(value(0), 0);
    EXPECT_EQ(Platform_RegistryEnumKeyAndValues(key), 0);
    EXPECT_EQ(TakeLog(),
              "DEBUG - Platform_RegistryEnumKey: Enum property keys is not supported for plist\n"
              "DEBUG - Platform_RegistryEnumValue: Enum property values is not supported for plist\n");
    Close(key);
}

TEST_F(RegistryStore, DeletingANestedKeyLeavesATopLevelKeyOfTheSameName) {
    for (const char* path : {"Child", "Parent/Child/Grand", "Parent/Other/Deep"}) {
        Key key = Create(path);
        SetText(key, "v", path);
        Close(key);
    }
    Key key = Open("Parent");
    SetText(key, "value", "v");
    EXPECT_EQ(Platform_RegistryDeleteKey(key, "value"), 0);
    EXPECT_EQ(Platform_RegistryDeleteKey(key, "Missing"), 0);
    EXPECT_EQ(Platform_RegistryDeleteKey(key, "/Child"), 1);
    EXPECT_EQ(Platform_RegistryDeleteKey(key, "Child"), 0);
    char name[32];
    EXPECT_EQ(Platform_RegistryEnumKey(key, 0, name, 32), 1);
    EXPECT_STREQ(name, "Other");
    EXPECT_EQ(Close(key), 1);
    EXPECT_EQ(Read("Parent/Child", "v"), "<no key>");
    EXPECT_EQ(Read("Parent", "value"), "v");
    EXPECT_EQ(Read("Child", "v"), "Child");

    // Deeper paths below a key, and a top-level key from the root.
    key = Open("Parent");
    EXPECT_EQ(Platform_RegistryDeleteKey(key, "Other/Deep"), 1);
    Close(key);
    key = Open("/");
    EXPECT_EQ(Platform_RegistryDeleteKey(key, "Child"), 1);
    Close(key);
    EXPECT_EQ(Read("Parent/Other/Deep", "v"), "<no key>");
    EXPECT_EQ(Read("Child", "v"), "<no key>");
    EXPECT_EQ(Read("Parent/Other", "v"), "<none>");
}

TEST_F(RegistryStore, ValuesOfTheRootKey) {
    WriteStore("{\"Version\": \"1.2\", \"Count\": 3, \"Key\": {}}");
    Key key = Open("/");
    EXPECT_EQ(GetText(key, "Version"), "1.2");
    EXPECT_EQ(GetInt(key, "Count"), "3");
    EXPECT_EQ(GetText(key, "Key"), "<none>");
    // A root value goes from the file at once.
    EXPECT_EQ(Platform_RegistryDeleteValue(key, "Count"), 1);
    EXPECT_FALSE(Has("Count"));
    EXPECT_EQ(Platform_RegistryDeleteValue(key, "Count") + Platform_RegistryDeleteValue(key, "Key"), 0);
    EXPECT_EQ(SetText(key, "Added", "a"), 1);
    EXPECT_EQ(Close(key), 1);
    EXPECT_EQ(Read("", "Added"), "a");
    EXPECT_EQ(Read("", "Version"), "1.2");
    EXPECT_EQ(Read("Key", "v"), "<none>");
}

TEST_F(RegistryStore, ADeletedValueIsWrittenAtClose) {
    Key key = Create("K");
    SetText(key, "a", "1");
    SetText(key, "b", "2");
    Close(key);
    key = Open("K");
    EXPECT_EQ(Platform_RegistryDeleteValue(key, "a"), 1);
    EXPECT_EQ(Platform_RegistryDeleteValue(key, "a") + Platform_RegistryDeleteValue(key, "missing"), 0);
    EXPECT_TRUE(Has("\"a\""));
    Close(key);
    EXPECT_FALSE(Has("\"a\""));
    EXPECT_EQ(Read("K", "b"), "2");
}

TEST_F(RegistryStore, TwoHandlesOnOneKeyKeepEachOthersChanges) {
    Key key = Create("Shared");
    SetText(key, "gone", "x");
    SetText(key, "both", "old");
    Close(key);
    Key first = Open("Shared"), second = Open("Shared");
    SetText(first, "one", "1");
    SetText(first, "both", "first");
    EXPECT_EQ(Platform_RegistryDeleteValue(first, "gone"), 1);
    SetText(second, "two", "2");
    SetText(second, "both", "second");
    EXPECT_EQ(Close(first), 1);
    EXPECT_EQ(Close(second), 1);
    const std::pair<const char*, const char*> after[] = {
        {"one", "1"}, {"two", "2"}, {"both", "second"}, {"gone", "<none>"}};
    for (const auto& [name, value] : after) EXPECT_EQ(Read("Shared", name), value) << name;

    // A key deleted while a handle on it was open comes back with that handle's changes.
    first = Open("Shared");
    key = Open("");
    EXPECT_EQ(Platform_RegistryDeleteKey(key, "Shared"), 1);
    Close(key);
    SetText(first, "late", "l");
    EXPECT_EQ(Close(first), 1);
    EXPECT_EQ(Read("Shared", "late"), "l");
    EXPECT_EQ(Read("Shared", "one"), "<none>");
}

TEST_F(RegistryStore, PreferencesOfOtherKindsReadAsTheyCan) {
    WriteStore(
        "{\"K\": {\"yes\": true, \"no\": false, \"seven\": 7.0, \"half\": 1.5, \"huge\": 4294967296, "
        "\"exp\": 1e3, \"nothing\": null, \"list\": [1, 2], \"text\": [\"a\", \"b\"], \"bad64\": [\"@@\"]}}");
    Key key = Open("K");
    const std::pair<const char*, const char*> numbers[] = {
        {"yes", "1"}, {"no", "0"}, {"seven", "7"}, {"exp", "1000"}};
    for (const auto& [name, value] : numbers) EXPECT_EQ(GetInt(key, name), value) << name;
    int32_t size = 0;
    EXPECT_EQ(Platform_RegistryGetSize(key, "yes", &size), 1);
    EXPECT_EQ(size, 4);
    TakeLog();
    EXPECT_EQ(GetInt(key, "half"), "<none>");
    EXPECT_EQ(GetInt(key, "huge"), "<none>");
    EXPECT_EQ(Platform_RegistryGetSize(key, "huge", &size), 0);
    EXPECT_EQ(GetText(key, "nothing"), "<none>");
    EXPECT_EQ(GetText(key, "list"), "<none>");
    uint8_t bytes[8];
    EXPECT_EQ(Platform_RegistryGetType(key, PLATFORM_REGISTRY_TYPE_BINARY, "bad64", bytes, 8, &size), 0);
    const std::string number = "Bad number type for requested value ";
    EXPECT_EQ(
        TakeLog(),
        "DEBUG - Platform_RegistryGetType: " + number + "\"half\" (type [0x00000006 != 0x00000003])\n" +
            "DEBUG - Platform_RegistryGetType: " + number + "\"huge\" (type [0x00000004 != 0x00000003])\n" +
            "DEBUG - Platform_RegistryGetSize: " + number + "\"huge\" (type [0x00000004 != 0x00000003])\n" +
            "DEBUG - Platform_RegistryGetType: Unexpected data type 1 (Null) for value \"nothing\"\n"
            "DEBUG - Platform_RegistryGetType: Unexpected data type 6 (List) for value \"list\"\n"
            "DEBUG - Platform_RegistryGetType: Unexpected data type 6 (List) for value \"bad64\"\n");
    char name[32];
    uint32_t type = 0;
    Names listed;
    for (int32_t i = 0; i < 12; i++)
        if (Platform_RegistryEnumValue(key, i, name, 32, bytes, 8, &size, &type)) listed.push_back(name);
    EXPECT_EQ(listed, (Names{"yes", "no", "seven", "exp", "", ""}));
    Close(key);
}

TEST_F(RegistryStore, ADamagedFileIsKeptAsideAndTheStoreStartsEmpty) {
    const std::string damaged[] = {"{\"K\": {\"v\": \"truncat",     // cut short
                                   "{\"K\": {\"v\": 1}",            // unclosed
                                   "",                              // empty
                                   "[{\"K\": {}}]",                 // not an object
                                   "\"text\"",                      // a bare value
                                   "\x89PNG\r\n\x1a\n\0\0\0binary", // not text at all
                                   "{\"K\": {\"v\": \"\xFF\"}}"};   // not UTF-8
    for (const std::string& content : damaged) {
        SCOPED_TRACE(content);
        WriteStore(content);
        TakeLog();
        EXPECT_EQ(Read("", "K"), "<none>");
        EXPECT_EQ(Open("K"), nullptr);
        // Nothing is lost: the damaged bytes are kept in a file beside, and the log says where.
        std::string aside;
        for (const std::string& name : StoreDirectory())
            if (name.find(".damaged-") != std::string::npos) aside = store + "/" + name;
        ASSERT_FALSE(aside.empty());
        EXPECT_EQ(ReadFile(aside), content);
        EXPECT_NE(TakeLog().find("ERROR - Registry preferences " + file + " could not be read: kept as " +
                                 aside + ", starting empty\n"),
                  std::string::npos);
        EXPECT_FALSE(FileExists(file));
        unlink(aside.c_str());
        // The store works afresh.
        Key key = Create("K");
        SetText(key, "v", "new");
        EXPECT_EQ(Close(key), 1);
        EXPECT_EQ(Read("K", "v"), "new");
    }
}

TEST_F(RegistryStore, ADamagedFileThatCannotBeMovedAsideIsLeftUntouched) {
    WriteStore("{\"K\": {\"v\": \"cut");
    WriteText(file + ".lock", "");
    // In a child where the directory is read-only.
    const auto log = RunIsolated(
        [&] {
            return Bind(store, store) &&
                   mount(nullptr, store.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
        },
        [] {
            TakeLog();
            const bool opened = Open("") || Create("K");
            return std::string(opened ? "opened\n" : "") + TakeLog();
        });
    if (!log) GTEST_SKIP() << "no private mount namespace";
    EXPECT_EQ(log->find("opened"), std::string::npos);
    EXPECT_NE(log->find("ERROR - Registry preferences " + file +
                        " could not be read nor moved aside (30): left untouched\n"),
              std::string::npos);
    EXPECT_EQ(ReadFile(file), "{\"K\": {\"v\": \"cut");
    EXPECT_EQ(StoreDirectory(), ownFiles);
}

TEST_F(RegistryStore, AnUnreadableStoreFailsWithoutHarm) {
    // A directory where the file should be: nothing can be read or written, nothing is moved.
    mkdir(store.c_str(), 0700);
    ASSERT_EQ(mkdir(file.c_str(), 0700), 0);
    for (const char* path : {"", "K", "K/L"}) EXPECT_EQ(path[0] ? Create(path) : Open(path), nullptr) << path;
    struct stat info;
    EXPECT_TRUE(stat(file.c_str(), &info) == 0 && S_ISDIR(info.st_mode));
    EXPECT_EQ(StoreDirectory(), ownFiles); // the directory and the lock
}

// ---- What stands at the preferences path --------------------------------------------------------

const std::pair<const char*, bool> kOperations[] = {
    {"", false}, {"K", false}, {"New", true}, {"K/New", true}};

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
    for (int32_t i = 0; i < 500 && done.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready;
         i++) {
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
    ASSERT_EQ(mkdir(store.c_str(), 0700), 0);
    ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
    for (const auto& [path, create] : kOperations) {
        SCOPED_TRACE(path);
        TakeLog();
        Key key = reinterpret_cast<Key>(1);
        EXPECT_TRUE(ReturnsInTime([&] { key = Open(path, create); }, file));
        EXPECT_EQ(key, nullptr);
        EXPECT_NE(TakeLog().find("ERROR - Unable to read registry preferences " + file +
                                 " (not a file of a usable size)\n"),
                  std::string::npos);
        struct stat info;
        EXPECT_TRUE(lstat(file.c_str(), &info) == 0 && S_ISFIFO(info.st_mode));
    }
    // Nothing was written beside it.
    EXPECT_EQ(StoreDirectory(), ownFiles);
}

TEST_F(RegistryStore, SymbolicLinksAtThePreferencesOrLockPathAreRefused) {
    ASSERT_EQ(mkdir(store.c_str(), 0700), 0);
    const std::string lock = file + ".lock", outside = dir.path() + "/outside";
    const std::string content = "{\"K\": {\"v\": \"outside\"}}";
    // A link to a file holding preferences, and a link to nothing, which would otherwise read as
    // empty preferences and be replaced at the first write. Without preferences to read, a create
    // goes to the lock at once.
    for (const bool atLock : {false, true}) {
        for (const bool targetExists : {true, false}) {
            const std::string& link = atLock ? lock : file;
            for (const std::string& path : {outside, file, lock}) unlink(path.c_str());
            ASSERT_TRUE(!targetExists || WriteText(outside, content, 0644));
            ASSERT_EQ(symlink(outside.c_str(), link.c_str()), 0);
            for (const auto& [path, create] : kOperations) {
                if (atLock && !create) continue;
                SCOPED_TRACE(std::string(path) + (atLock ? " lock" : " file") +
                             (targetExists ? ", target present" : ""));
                TakeLog();
                EXPECT_EQ(Open(path, create), nullptr);
                EXPECT_NE(TakeLog().find("ERROR - Registry preferences " +
                                         std::string(atLock ? "lock " : "") + link +
                                         " is a symbolic link: refused\n"),
                          std::string::npos);
                EXPECT_EQ(ReadLink(link), outside);
                EXPECT_EQ(ReadFile(outside), targetExists ? content : "");
                EXPECT_EQ(ModeOf(outside), targetExists ? 0644 : -1);
            }
            // Nothing was written beside the link.
            EXPECT_EQ(StoreDirectory(), atLock ? Names{ownFiles[1]} : ownFiles);
        }
    }
}

TEST_F(RegistryStore, ThePreferencesAreTheUsersAlone) {
    const mode_t oldMask = umask(0);
    const struct {
        const char* What;
        const char* Home;   // the configuration directory, below the test's own
        const char* Before; // preferences in place before the write, all with mode 0755 or 0644
    } cases[] = {{"a first write makes the directory", "", nullptr},
                 {"a first write makes the configuration directory too", "/made/config", nullptr},
                 {"a write replaces a file open to others", "/open", "{\"Old\": {\"v\": \"1\"}}"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        const std::string home = dir.path() + c.Home,
                          prefs = home + "/" + QVR_BUILD_COMPANY_NAME + "/" + ProgramName() + ".json";
        env.Set("XDG_CONFIG_HOME", home.c_str());
        if (c.Before) {
            ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
            ASSERT_EQ(mkdir((home + "/" + QVR_BUILD_COMPANY_NAME).c_str(), 0755), 0);
            ASSERT_TRUE(WriteText(prefs, c.Before, 0644));
        }
        Key key = Create("K");
        EXPECT_EQ(SetText(key, "v", "new"), 1);
        ASSERT_EQ(Close(key), 1);
        EXPECT_EQ(ModeOf(prefs), 0600);
        EXPECT_EQ(ModeOf(prefs + ".lock"), 0600);
        // Directories made for the preferences are private; those the user made stay as they are.
        for (std::string d = prefs.substr(0, prefs.rfind('/')); d.size() > dir.path().size();
             d.resize(d.rfind('/')))
            EXPECT_EQ(ModeOf(d), c.Before ? 0755 : 0700) << d;
        EXPECT_TRUE(!c.Before || ReadFile(prefs).find("\"Old\"") != std::string::npos);
    }
    umask(oldMask);
}

// A preferences folder that another user made or that a link of theirs stands for is neither
// read (they would choose the settings) nor written (they would read or keep them): both fail,
// and the error names the folder and why, followed once by the line naming what failed.
TEST_F(RegistryStore, AFolderAnotherUserControlsIsNeitherReadNorWritten) {
    ASSERT_EQ(chmod(dir.path().c_str(), 01777), 0);
    const std::string outside = dir.path() + "/outside", planted = "{\"K\": {\"v\": \"planted\"}}";
    const struct passwd* other = getpwuid(kOtherUser);
    const std::string them = (other ? other->pw_name + std::string(" (uid ") : std::string("uid ")) +
                             std::to_string(kOtherUser) + (other ? ")" : "");
    const struct {
        const char* What;
        bool Link;
        const char* Reason;
        std::string Failed;
    } cases[] = {{"a folder of another user", false, "a folder of another user",
                  "ERROR - The folder " + store + " is refused: it belongs to " + them +
                      "; it passes once it belongs to you\n"},
                 {"a link another user made", true, "a link another user made",
                  "ERROR - The link " + store + " is not followed: " + them +
                      " made it; it is followed once you or root make it\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        const std::string folder = c.Link ? outside : store;
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
        ASSERT_TRUE(!c.Link || symlink(outside.c_str(), store.c_str()) == 0);
        ASSERT_TRUE(WriteText(folder + "/" + ProgramName() + ".json", planted, 0666));
        if (lchown(store.c_str(), kOtherUser, kOtherUser) != 0) GTEST_SKIP() << "no second user to plant as";
        size_t explained = 0;
        for (const auto& [path, create] : kOperations) {
            SCOPED_TRACE(path);
            TakeLog();
            Key key = Open(path, create);
            EXPECT_EQ(key, nullptr);
            if (key) {
                EXPECT_EQ(GetText(key, "v"), "<none>");
                if (create) SetText(key, "v", "mine");
                Close(key);
            }
            const std::string said = TakeLog(),
                              line = "ERROR - Unable to open the registry preferences directory " + store +
                                     "/: " + c.Reason + " (13)\n";
            EXPECT_NE(said.find(line), std::string::npos) << said;
            if (said.find(line + c.Failed) != std::string::npos) explained++;
        }
        EXPECT_EQ(explained, 1u);
        EXPECT_EQ(ReadFile(folder + "/" + ProgramName() + ".json"), planted);
        EXPECT_FALSE(FileExists(folder + "/" + ProgramName() + ".json.lock"));
        unlink(file.c_str());
        if (unlink(store.c_str()) != 0) rmdir(store.c_str());
    }
}

// ---- Several processes ------------------------------------------------------------------------

constexpr int32_t kWrites = 40;

// Runs in a child process started by the test below: checks what the parent stored, then writes
// its own values, each in a handle of its own.
TEST(RegistryStoreWriter, DISABLED_Child) {
    const std::string id = getenv("QVR_REGISTRY_WRITER");
    ASSERT_EQ(Read("Before/Nested", "text"), "from the parent");
    ASSERT_EQ(Read("Before/Nested", "number", true), "42");
    for (int32_t i = 0; i < kWrites; i++) {
        for (const std::string& path : {std::string("Shared/Load"), "Own" + id}) {
            Key key = Create(path);
            ASSERT_NE(key, nullptr);
            ASSERT_EQ(path[0] == 'S' ? SetInt(key, ("w" + id + "-" + std::to_string(i)).c_str(), i)
                                     : SetInt(key, "count", i + 1),
                      1);
            ASSERT_EQ(Close(key), 1);
        }
    }
}

TEST_F(RegistryStore, TwoProcessesWritingAtOnceLoseNothing) {
    Key key = Create("Before/Nested");
    SetText(key, "text", "from the parent");
    SetInt(key, "number", 42);
    ASSERT_EQ(Close(key), 1);
    std::string program = ReadLink("/proc/self/exe"),
                filter = "--gtest_filter=RegistryStoreWriter.DISABLED_Child",
                disabled = "--gtest_also_run_disabled_tests";
    char* argv[] = {program.data(), filter.data(), disabled.data(), nullptr};
    std::vector<pid_t> children;
    for (const char* id : {"1", "2"}) {
        env.Set("QVR_REGISTRY_WRITER", id);
        pid_t child = 0;
        ASSERT_EQ(posix_spawn(&child, program.c_str(), nullptr, nullptr, argv, environ), 0);
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    key = Open("Shared/Load");
    for (const char* id : {"1", "2"})
        for (int32_t i = 0; i < kWrites; i++) {
            const std::string name = std::string("w") + id + "-" + std::to_string(i);
            EXPECT_EQ(GetInt(key, name.c_str()), std::to_string(i)) << name;
        }
    Close(key);
    for (const char* own : {"Own1", "Own2"}) EXPECT_EQ(Read(own, "count", true), std::to_string(kWrites));
    EXPECT_EQ(Read("Before/Nested", "text"), "from the parent");
}

} // namespace
