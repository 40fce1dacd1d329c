// Tests of the registry facade: class and view names, whitelist authorisation, typed values,
// the by-name helpers with their defaults, key deletion rights and the "Registry" macro key.
#include "core/platform/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "core/certs/authenticate.h"
#include "core/certs/build_info.h"
#include "core/runtime/debug.h"
#include "tests/support/abort_hook.h"
#include "tests/support/log_capture.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

namespace {

bool Logged(const std::string& log, const std::string& line) {
    return log.find(line) != std::string::npos;
}

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

class Registry : public ::testing::Test {
  protected:
    TempDir dir;
    void SetUp() override {
        SetBothEnv("XDG_CONFIG_HOME", dir.path().c_str());
        Authenticate_EnabledOverride(nullptr);
        Authenticate_SetEnabled(1);
        Registry_AuthorizeOverride(nullptr);
        Registry_Init();
        TakeLog();
    }
    void TearDown() override {
        Registry_Remove();
        Authenticate_SetEnabled(1);
        Registry_AuthorizeOverride(nullptr);
    }
    bool StoreExists() { return FileExists(dir.path() + "/" + QVR_BUILD_COMPANY_NAME); }
    // Writes with authentication off, so that no whitelist is needed.
    void Seed(const char* path, const char* name, const char* text) {
        Authenticate_SetEnabled(0);
        ASSERT_EQ(Registry_HelperSetString("default", "default", "user", path, name, text), 1);
        Authenticate_SetEnabled(1);
        TakeLog();
    }
};

std::string Value(const char* view, const char* cls, const char* path, const char* name,
                  const char* fallback = "<default>", int64_t* found = nullptr) {
    char out[256];
    memset(out, 'x', sizeof(out));
    int64_t answer = Registry_HelperGetKeyValue(view, cls, path, name, fallback, out, sizeof(out));
    if (found) *found = answer;
    return out;
}

// Names are matched without case; anything else is the unknown class or the default view.
TEST(RegistryNames, ClassesAndViews) {
    EXPECT_STREQ(Registry_ConvertClass(6), "desktopuser");
    EXPECT_EQ(Registry_ConvertClassFromString("USER"), 1u);
    EXPECT_EQ(Registry_ConvertClassFromString("DesktopUser"), 6u);
    EXPECT_EQ(Registry_ConvertClassFromString("users"), 0u);
    EXPECT_EQ(Registry_ConvertClassFromString(""), 0u);
    EXPECT_STREQ(Registry_ConvertView(2), "64");
    EXPECT_EQ(Registry_ConvertViewFromString("DEFAULT"), 0u);
    EXPECT_EQ(Registry_ConvertViewFromString("32"), 1u);
    EXPECT_EQ(Registry_ConvertViewFromString("128"), 0u);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Registry_ConvertClass(7);
        },
        AbortRegex("Assertion failed (Value >= 0 && Value <= PLATFORM_REGISTRYCLASS_DESKTOPUSER)\n"
                   "Registry class out side of range"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Registry_ConvertView(3);
        },
        AbortRegex("Assertion failed (Value >= 0 && Value <= PLATFORM_REGISTRYVIEW_64BIT)\n"
                   "Registry view out side of range"));
}

TEST_F(Registry, WithAuthenticationOffEverythingIsAllowed) {
    Authenticate_SetEnabled(0);
    for (uint32_t cls = 0; cls < 7; cls++) EXPECT_EQ(Registry_Authorize(1, cls, "Any/Path"), 1);
    EXPECT_EQ(Registry_Authorize(0, 99, "x"), 1);
    EXPECT_TRUE(Logged(TakeLog(), "DEBUG - Skipping registry authentication (1) (3) (Any/Path)\n"));
    Authenticate_SetEnabled(1);
    EXPECT_EQ(Registry_Authorize(0, 1, "Any/Path"), 0);
    // Without the registry state nothing is allowed.
    Registry_Remove();
    EXPECT_EQ(Registry_Authorize(0, 1, "Any/Path"), 0);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Registry_Init();
            Registry_Authorize(0, 7, "x");
        },
        AbortRegex("Assertion failed (Value >= 0 && Value <= PLATFORM_REGISTRYCLASS_DESKTOPUSER)\n"
                   "Registry class out side of range"));
}

TEST_F(Registry, WhitelistEntriesArePrefixesOfWholeComponents) {
    EXPECT_EQ(Registry_WhitelistAdd(0, "user/Software/App"), 1);
    EXPECT_EQ(TakeLog(), "DEBUG - Added read only registry path to whitelist (user/Software/App/)\n");
    EXPECT_EQ(Registry_WhitelistAdd(0, "USER\\software\\app\\"), 1);
    EXPECT_EQ(TakeLog(), "");
    EXPECT_EQ(Registry_WhitelistAdd(1, "machine//Software/Rw"), 1);
    EXPECT_EQ(TakeLog(), "DEBUG - Added read write registry path to whitelist (machine/Software/Rw/)\n");
    const struct {
        uint32_t Write, Class;
        const char* Path;
        int64_t Allowed;
    } cases[] = {
        {0, 1, "Software/App", 1},
        {0, 1, "Software/App/Settings", 1},
        {0, 1, "/software/APP/x", 1},
        {0, 1, "Software\\App\\x", 1},
        {1, 1, "Software/App/Settings", 0},
        {0, 1, "Software/Application", 0},
        {0, 1, "Software", 0},
        {0, 3, "Software/App", 0},
        {0, 3, "Software/Rw/x", 1},
        {1, 3, "Software/Rw", 1},
        {1, 3, "Software/Rwx", 0},
        {0, 1, "Software/Other/../App/x", 1},
        {0, 1, "Software/App/../Other", 0},
        {2, 1, "Software/App", 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Registry_Authorize(c.Write, c.Class, c.Path), c.Allowed) << c.Write << " " << c.Path;
    TakeLog();
    EXPECT_EQ(Registry_Authorize(1, 1, "Software/App/Settings"), 0);
    EXPECT_EQ(TakeLog(),
              "WARNING - Registry path not found in whitelist (1) (user/Software/App/Settings/)\n");
}

TEST_F(Registry, WhitelistEntriesThatWouldAllowMoreAreRefused) {
    const std::string tooLong = "user/" + std::string(316, 'a');
    EXPECT_EQ(Registry_WhitelistAdd(1, tooLong.c_str()), 0);
    EXPECT_EQ(Registry_WhitelistAdd(1, ""), 0);
    EXPECT_EQ(Registry_WhitelistAdd(1, "/"), 0);
    EXPECT_EQ(Registry_WhitelistAdd(1, "user/.."), 0);
    EXPECT_EQ(Registry_Authorize(1, 1, "Anything"), 0);
    // A candidate too long for a path is refused, not cut down to a prefix that matches.
    ASSERT_EQ(Registry_WhitelistAdd(1, "user/Software/App"), 1);
    const std::string longPath = "Software/App" + std::string(320, 'x');
    EXPECT_EQ(Registry_Authorize(0, 1, longPath.c_str()), 0);
    EXPECT_EQ(Registry_Authorize(0, 1, ("Software/App/" + std::string(300, 'x')).c_str()), 1);
    // Cut at the path size, this candidate would end ".../App/" and match the entry, yet it
    // names ".../Application...".
    const std::string deep(309, 'd');
    ASSERT_EQ(Registry_WhitelistAdd(1, ("user/" + deep + "/App").c_str()), 1);
    EXPECT_EQ(Registry_Authorize(1, 1, (deep + "/App").c_str()), 1);
    EXPECT_EQ(Registry_Authorize(1, 1, (deep + "/Application/Settings").c_str()), 0);
}

TEST_F(Registry, TheOverrideAnswersWhileAuthenticationIsOn) {
    Registry_AuthorizeOverride([](uint32_t write, uint32_t cls, const char* path) -> uint32_t {
        return write == 0 && cls == 2 && strcmp(path, "P") == 0;
    });
    EXPECT_EQ(Registry_Authorize(0, 2, "P"), 1);
    EXPECT_EQ(Registry_Authorize(1, 2, "P"), 0);
    EXPECT_EQ(Registry_Authorize(0, 1, "P"), 0);
    Authenticate_SetEnabled(0);
    EXPECT_EQ(Registry_Authorize(1, 1, "Q"), 1);
}

TEST_F(Registry, KeysFollowTheWhitelist) {
    Seed("Software/App/Settings", "Level", "high");
    Registry_WhitelistAdd(0, "user/Software/App");
    PlatformRegistryKey* key = nullptr;
    ASSERT_EQ(Registry_OpenReadOnly(&key, 0, 1, "Software/App/Settings"), 1);
    char text[32];
    EXPECT_EQ(Registry_GetChar(key, "Level", text, sizeof(text)), 1);
    EXPECT_STREQ(text, "high");
    Registry_Close(&key);
    TakeLog();
    EXPECT_EQ(Registry_Open(&key, 0, 1, "Software/App/Settings"), 0);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(TakeLog(),
              "WARNING - Registry path not found in whitelist (1) (user/Software/App/Settings/)\n");
    EXPECT_EQ(Registry_Create(&key, 0, 1, "Software/App/New"), 0);
    EXPECT_EQ(Registry_DoesExist(0, 1, "Software/App/Settings"), 1);
    EXPECT_EQ(Registry_DoesExist(0, 1, "Software/App/Missing"), 0);
    // A key that may not be read counts as missing.
    EXPECT_EQ(Registry_DoesExist(0, 3, "Software/App/Settings"), 0);
    TakeLog();
    EXPECT_EQ(Registry_AggressiveOpen(&key, 0, 1, "Software/App/Settings"), 0);
    EXPECT_TRUE(Logged(TakeLog(), "DEBUG - Unable to open key 'Software/App/Settings'\n"));
    EXPECT_EQ(Registry_AggressiveOpen(&key, 0, 1, "Software/App/New"), 0);
    EXPECT_TRUE(Logged(TakeLog(), "DEBUG - Unable to create key 'Software/App/New'\n"));

    Registry_WhitelistAdd(1, "user/Software/App/New");
    ASSERT_EQ(Registry_AggressiveOpen(&key, 0, 1, "Software/App/New"), 1);
    EXPECT_EQ(Registry_Close(&key), 1);
    ASSERT_EQ(Registry_AggressiveOpen(&key, 0, 1, "Software/App/New"), 1);
    EXPECT_EQ(Registry_Close(&key), 1);
    EXPECT_EQ(Registry_HelperDoesExist("default", "user", "Software/App/New"), 1);
    EXPECT_EQ(Registry_HelperDoesExist("default", "unknown", "Software/App/New"), 0);
}

TEST_F(Registry, DeletingAKeyNeedsTheReadWriteList) {
    Seed("Software/App/Child", "v", "nested");
    Seed("Child", "v", "top");
    Registry_WhitelistAdd(0, "user/Software/App");
    TakeLog();
    EXPECT_EQ(Registry_DeleteKey(0, 1, "Software/App/Child"), 0);
    EXPECT_EQ(Registry_HelperDeleteKey("default", "user", "Software/App/Child"), 0);
    EXPECT_TRUE(
        Logged(TakeLog(), "WARNING - Registry path not found in whitelist (1) (user/Software/App/Child/)\n"));
    EXPECT_EQ(Registry_DoesExist(0, 1, "Software/App/Child"), 1);

    Registry_WhitelistAdd(1, "user/Software/App");
    Registry_WhitelistAdd(0, "user/Child");
    EXPECT_EQ(Registry_HelperDeleteKey("default", "user", "Software/App/Child"), 1);
    EXPECT_EQ(Registry_DoesExist(0, 1, "Software/App/Child"), 0);
    EXPECT_EQ(Registry_HelperDeleteKey("default", "user", "Software/App/Child"), 0);
    // Only the nested key went: the top-level key of the same name stays.
    EXPECT_EQ(Value("default", "user", "Child", "v"), "top");
    EXPECT_EQ(Registry_DoesExist(0, 1, "Software/App"), 1);
    // The root is no key to delete; a path folded to nothing names none.
    Authenticate_SetEnabled(0);
    EXPECT_EQ(Registry_DeleteKey(0, 1, "/"), 0);
    EXPECT_EQ(Registry_DeleteKey(0, 1, "Child/.."), 0);
    EXPECT_EQ(Registry_DeleteKey(0, 1, "\\Child"), 1);
    EXPECT_EQ(Registry_DoesExist(0, 1, "Child"), 0);
    EXPECT_EQ(Registry_DoesExist(0, 1, "Software/App"), 1);
}

TEST_F(Registry, TypedValuesOfAnOpenKey) {
    Authenticate_SetEnabled(0);
    PlatformRegistryKey* key = nullptr;
    ASSERT_EQ(Registry_Create(&key, 0, 1, "Software/Types"), 1);
    const uint8_t blob[] = {9, 0, 8};
    EXPECT_EQ(Registry_SetChar(key, "Text", "plain"), 1);
    EXPECT_EQ(Registry_SetExpandChar(key, "Expand", "%PATH%"), 1);
    EXPECT_EQ(Registry_SetInt32(key, "Int", 0xFFFFFFFEu), 1);
    EXPECT_EQ(Registry_SetInt64(key, "Wide", 1ull << 40), 0);
    EXPECT_EQ(Registry_SetData(key, "Blob", blob, sizeof(blob)), 1);
    ASSERT_EQ(Registry_Close(&key), 1);

    ASSERT_EQ(Registry_OpenReadOnly(&key, 0, 1, "Software/Types"), 1);
    char text[32];
    EXPECT_EQ(Registry_GetChar(key, "Text", text, sizeof(text)), 1);
    EXPECT_STREQ(text, "plain");
    EXPECT_EQ(Registry_GetChar(key, "Expand", text, sizeof(text)), 1);
    EXPECT_STREQ(text, "%PATH%");
    TakeLog();
    EXPECT_EQ(Registry_GetExpandChar(key, "Expand", text, sizeof(text)), 0);
    EXPECT_EQ(Registry_GetMultiChar(key, "Text", text, sizeof(text)), 0);
    uint64_t wide = 99;
    EXPECT_EQ(Registry_GetInt64(key, "Int", &wide), 0);
    EXPECT_EQ(wide, 0u);
    EXPECT_EQ(TakeLog(),
              "DEBUG - Platform_RegistryGetType: Bad type for 'Expand' [0x00000001 != 0x00000002]\n"
              "DEBUG - Platform_RegistryGetType: Bad type for 'Text' [0x00000001 != 0x00000007]\n"
              "DEBUG - Platform_RegistryGetType: Bad type for 'Int' [0x00000004 != 0x0000000B]\n");
    uint32_t number = 0;
    EXPECT_EQ(Registry_GetInt32(key, "Int", &number), 1);
    EXPECT_EQ(number, 0xFFFFFFFEu);
    uint8_t bytes[8] = {};
    int32_t length = 0, size = 0;
    EXPECT_EQ(Registry_GetData(key, "Blob", bytes, sizeof(bytes), &length), 1);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(memcmp(bytes, blob, 3), 0);
    EXPECT_EQ(Registry_GetSize(key, "Blob", &size), 1);
    EXPECT_EQ(size, 3);
    char name[16];
    uint32_t type = 0;
    EXPECT_EQ(Registry_EnumValue(key, 0, name, sizeof(name), bytes, sizeof(bytes), &type, &length), 1);
    EXPECT_STREQ(name, "Text");
    EXPECT_EQ(type, 1u);
    EXPECT_EQ(length, 6);
    EXPECT_EQ(Registry_EnumKey(key, 0, name, sizeof(name)), 1);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(Registry_SetSecurity(key, "D:P"), 1);
    Registry_Close(&key);

    ASSERT_EQ(Registry_Open(&key, 0, 1, "Software/Types"), 1);
    EXPECT_EQ(Registry_DeleteValue(key, "Text"), 1);
    EXPECT_EQ(Registry_Close(&key), 1);
    EXPECT_EQ(Value("default", "user", "Software/Types", "Text"), "<default>");
}

TEST_F(Registry, ByNameReadsWithDefaults) {
    Authenticate_SetEnabled(0);
    ASSERT_EQ(Registry_HelperSetString("64", "default", "user", "Software/App", "Name", "value"), 1);
    ASSERT_EQ(Registry_HelperSetInt32("default", "DEFAULT", "USER", "Software/App", "Negative", (uint32_t)-5),
              1);
    ASSERT_EQ(Registry_HelperSetInt32("default", "custom", "user", "Software/App", "Count", 12), 1);
    EXPECT_EQ(Registry_HelperSetInt64("default", "default", "user", "Software/App", "Wide", 1ull << 40), 0);
    int64_t found = 0;
    EXPECT_EQ(Value("default", "user", "Software/App", "Name", "d", &found), "value");
    EXPECT_EQ(found, 1);
    // Any view name reads the same key.
    EXPECT_EQ(Value("32", "user", "Software/App", "Name"), "value");
    EXPECT_EQ(Value("bogus", "user", "Software/App", "Name"), "value");
    EXPECT_EQ(Value("default", "user", "Software/App", "Negative"), "-5");
    EXPECT_EQ(Value("default", "user", "Software/App", "Count"), "12");
    EXPECT_EQ(Value("default", "user", "Software/App", "Missing", "fallback", &found), "fallback");
    EXPECT_EQ(found, 0);
    EXPECT_EQ(Value("default", "user", "Software/Nope", "Name", "fallback"), "fallback");
    EXPECT_EQ(Value("default", "unknown", "Software/App", "Name", "fallback", &found), "fallback");
    EXPECT_EQ(found, 0);
    EXPECT_EQ(Value("default", "hive", "Software/App", "Name", "fallback"), "fallback");
    char small[4];
    EXPECT_EQ(Registry_HelperGetString("default", "user", "Software/App", "Missing", "longer", small, 4), 0);
    EXPECT_STREQ(small, "lon");
    EXPECT_EQ(Registry_HelperGetString("default", "user", "Software/App", "Name", "", small, 4), 1);
    EXPECT_STREQ(small, "val");

    uint32_t narrow = 0;
    EXPECT_EQ(Registry_HelperGetInt32("default", "user", "Software/App", "Count", 7, &narrow), 1);
    EXPECT_EQ(narrow, 12u);
    EXPECT_EQ(Registry_HelperGetInt32("default", "user", "Software/App", "Name", 7, &narrow), 0);
    EXPECT_EQ(narrow, 7u);
    EXPECT_EQ(Registry_HelperGetInt32("default", "unknown", "Software/App", "Count", 8, &narrow), 0);
    EXPECT_EQ(narrow, 8u);
    uint64_t wide = 0;
    EXPECT_EQ(Registry_HelperGetInt64("default", "user", "Software/App", "Negative", 1, &wide), 1);
    EXPECT_EQ(wide, 0xFFFFFFFBull);
    EXPECT_EQ(Registry_HelperGetInt64("default", "user", "Software/App", "Missing", 1ull << 50, &wide), 0);
    EXPECT_EQ(wide, 1ull << 50);
}

TEST_F(Registry, ByNameData) {
    Authenticate_SetEnabled(0);
    const uint8_t stored[] = {1, 2, 3, 4};
    const uint8_t fallback[] = {0xAA, 0xBB};
    ASSERT_EQ(Registry_HelperSetData("default", "default", "user", "Software/Data", "Blob", stored, 4), 1);
    ASSERT_EQ(Registry_HelperSetString("default", "default", "user", "Software/Data", "Text", "t"), 1);
    const struct {
        const char* Name;
        const uint8_t* Default;
        int32_t DefaultLength;
        int64_t Answer;
        std::string Bytes;
    } cases[] = {
        {"Blob", fallback, 2, 1, std::string("\x01\x02\x03\x04", 4)},
        {"Missing", fallback, 2, 0, "\xAA\xBB"},
        {"Missing", nullptr, 0, 0, ""},
        // A value of another type is no data: the default is handed out instead.
        {"Text", fallback, 2, 0, "\xAA\xBB"},
    };
    for (const auto& c : cases) {
        uint8_t* buffer = reinterpret_cast<uint8_t*>(1);
        int32_t length = -1;
        EXPECT_EQ(Registry_HelperGetData("default", "user", "Software/Data", c.Name, c.Default,
                                         c.DefaultLength, &buffer, &length),
                  c.Answer)
            << c.Name;
        ASSERT_EQ(length, (int32_t)c.Bytes.size()) << c.Name;
        if (c.Bytes.empty()) {
            EXPECT_EQ(buffer, nullptr);
        } else {
            ASSERT_NE(buffer, nullptr);
            EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), (size_t)length), c.Bytes);
            EXPECT_EQ(buffer[length], 0) << "one zero byte follows the data";
        }
        EXPECT_EQ(Registry_HelperReleaseData("default", "user", "Software/Data", c.Name, c.Default,
                                             c.DefaultLength, &buffer, &length),
                  1);
        EXPECT_EQ(buffer, nullptr);
        EXPECT_EQ(length, 0);
    }
}

TEST_F(Registry, ByNameWritesNeedAKnownClassAndTheReadWriteList) {
    EXPECT_EQ(Registry_HelperSetString("default", "default", "unknown", "Software/App", "N", "v"), 0);
    EXPECT_EQ(Registry_HelperSetString("default", "default", "hive", "Software/App", "N", "v"), 0);
    EXPECT_EQ(Registry_HelperCreateKey("default", "unknown", "Software/App"), 0);
    EXPECT_FALSE(StoreExists());
    Registry_WhitelistAdd(0, "user/Software");
    EXPECT_EQ(Registry_HelperSetString("default", "default", "user", "Software/App", "N", "v"), 0);
    EXPECT_EQ(Registry_HelperCreateKey("default", "user", "Software/App"), 0);
    EXPECT_FALSE(StoreExists());

    Registry_WhitelistAdd(1, "user/Software/App");
    EXPECT_EQ(Registry_HelperCreateKey("default", "user", "Software/App/Made"), 1);
    EXPECT_EQ(Registry_HelperCreateKey("default", "user", "Software/App/Made"), 1);
    EXPECT_EQ(Registry_HelperDoesExist("default", "user", "Software/App/Made"), 1);
    EXPECT_EQ(Registry_HelperSetString("default", "default", "user", "Software/App", "N", "v"), 1);
    EXPECT_EQ(Registry_HelperSetData("default", "default", "user", "Software/App", "D", "x", 1), 1);
    EXPECT_EQ(Registry_HelperDeleteValue("default", "user", "Software/App", "N"), 1);
    EXPECT_EQ(Registry_HelperDeleteValue("default", "user", "Software/App", "N"), 0);
    EXPECT_EQ(Registry_HelperDeleteValue("default", "user", "Software/Missing", "N"), 0);
    EXPECT_EQ(Value("default", "user", "Software/App", "N"), "<default>");
}

TEST_F(Registry, TheRegistryMacroKey) {
    Seed("Software/App", "Version", "6.2");
    Seed("/", "Version", "root");
    Authenticate_SetEnabled(0);
    const struct {
        const char* Argument;
        const char* Expected;
    } cases[] = {
        {"default,user,Software/App/Version", "6.2"},
        {"64,USER,Software\\App\\Version", "6.2"},
        {"default,user,Version", "root"},
        {"default,user,/Version", "root"},
        {"default,user,Software/App/Missing", ""},
        {"default,unknown,Software/App/Version", ""},
        {"default,user", ""},
        {"nothing", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        char argument[128], out[64];
        strcpy(argument, c.Argument);
        memset(out, 'x', sizeof(out));
        EXPECT_EQ(Registry_ExpandKey(nullptr, "Registry", argument, out, sizeof(out)), 1) << c.Argument;
        EXPECT_STREQ(out, c.Expected) << c.Argument;
    }
    char out[16] = "keep";
    EXPECT_EQ(Registry_ExpandKey(nullptr, "registry", nullptr, out, sizeof(out)), 1);
    EXPECT_STREQ(out, "");
    strcpy(out, "keep");
    char argument[] = "default,user,Version";
    EXPECT_EQ(Registry_ExpandKey(nullptr, "Registry2", argument, out, sizeof(out)), 0);
    EXPECT_STREQ(out, "keep");
    // Reading through the macro follows the whitelist too.
    Authenticate_SetEnabled(1);
    EXPECT_EQ(Registry_ExpandKey(nullptr, "Registry", argument, out, sizeof(out)), 1);
    EXPECT_STREQ(out, "");
}

} // namespace
