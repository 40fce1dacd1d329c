// The skin application in one process: loading the skin's configuration (and refusing what does
// not parse), its windows and states from start to end, the content URL, the shutdown request,
// local storage, and the script class "QVR.SkinApp" reached through the bridge by method name.
#include "skin/skin_app.h"

#include <gtest/gtest.h>

#include "core/runtime/string_expand.h"
#include <zlib.h>

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "core/certs/authenticate.h"
#include "core/formats/interop.h"
#include "core/formats/json.h"
#include "core/linux/platform.h"
#include "core/linux/platform_private_directory.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/log.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/web/web_get_request.h"
#include "skin/localisation.h"
#include "skin/native_skin_window.h"
#include "skin/script_invoker.h"
#include "skin/skin_file.h"
#include "skin/skin_window.h"
#include "skin/web_browser.h"
#include "tests/support/scoped_env.h"
#include "tests/skin/test_browser.h"
#include "tests/support/abort_hook.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/dictionary_text.h"
#include "tests/support/platform_sandbox.h"
#include "tests/support/log_capture.h"
#include "workflow/workflow_app.h"

std::vector<std::string> g_boxes;

// The program's message box: what the application would show.
int64_t NativeWindow_MessageBoxDefault(void*, const char* text, const char* caption, uint32_t type) {
    g_boxes.push_back(std::string(text ? text : "") + "|" + (caption ? caption : "") + "|" + std::to_string(type));
    return 1;
}

namespace {

// prefix, then `count` characters of `alphabet`, then suffix, and nothing else.
bool Shaped(const std::string& text, const std::string& prefix, size_t count, const std::string& alphabet,
            const std::string& suffix) {
    if (text.size() != prefix.size() + count + suffix.size()) return false;
    if (text.compare(0, prefix.size(), prefix) != 0 || text.compare(text.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    return text.substr(prefix.size(), count).find_first_not_of(alphabet) == std::string::npos;
}


class AppEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        ASSERT_EQ(WorkflowApp_Init("skin_app.log", DEBUG_FLAG_EXTERNAL_PRINT), 1);
        Debug_PrintOverride(CaptureLog);
        ASSERT_EQ(WorkflowApp_InitInterop(), 1);
        ASSERT_TRUE(Interop_Add("skin", SkinInterop_Init, SkinInterop_Remove, SkinInterop_CreateInstance,
                                SkinInterop_SetOverride, SkinInterop_SetOption));
        GlobalWebBrowserInterface = nullptr;
        ASSERT_EQ(WebBrowser_Init(TestBrowser_GetInterface(), "lib"), 1);
        NativeSkinWindow_SetInterface(TestNative_GetInterface());
        SkinFile_Init();
        L10N_Init();
    }
    void TearDown() override {
        L10N_Remove();
        SkinFile_Remove();
        WebBrowser_Remove();
        Debug_PrintOverride(nullptr);
        uint32_t code = 0;
        WorkflowApp_Remove(&code);
    }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new AppEnvironment);

class SkinAppTest : public ::testing::Test {
  protected:
    TempDir skin;
    Dictionary* config = nullptr;
    std::vector<std::string> loaded; // what the configuration-loaded callback was given

    static int64_t OnLoaded(void* user, Dictionary* parsed) {
        static_cast<SkinAppTest*>(user)->loaded.push_back("{" + DictionaryAsJson(parsed) + "}");
        return 1;
    }
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        InstallTestAbortHook();
        ASSERT_EQ(SkinApp_Init(), 1);
        SkinApp_SetConfigLoadedCallback(this, OnLoaded);
        Dictionary_Create(&config);
        Dictionary_SetCaseSensitive(config, 0);
        g_boxes.clear();
        TakeLog();
    }
    void TearDown() override {
        SkinApp_Remove();
        // Events of the windows (frame notifications) still hold them.
        for (int i = 0; i < 3; i++) Pass();
        SkinFile_Remove();
        Dictionary_Release(&config);
        Interop_Process();
    }
    void Write(const std::string& name, const std::string& text) { ASSERT_TRUE(WriteText(skin.file(name), text)); }
    void Attach() { ASSERT_EQ(SkinFile_Attach(skin.path().c_str()), 1); }
    void Pass() {
        EventQueue_Flush(nullptr);
        NotificationCenter_Process();
    }
    std::string Open(const char* path) {
        char id[64];
        return SkinApp_OpenWindow(path, id, sizeof(id)) ? id : "(failed)";
    }
    static int64_t Count(void* user, SkinWindow*) {
        ++*static_cast<int*>(user);
        return 1;
    }
    int Windows() {
        int count = 0;
        SkinApp_EnumerateWindows(&count, Count);
        return count;
    }
    std::string WindowConfig(const std::string& id, const char* path) {
        SkinWindow* window = nullptr;
        if (!SkinApp_GetWindowById(id.c_str(), &window)) return "(none)";
        char value[256];
        SkinWindow_GetConfig(window, path, "-", value, sizeof(value));
        SkinWindow_Release(&window);
        return value;
    }
};

TEST_F(SkinAppTest, ConfigurationComesFromAppJsonOrAppYaml) {
    const struct {
        const char* name;
        const char* json; // null: no such file
        const char* yaml;
        int64_t result;
        const char* line;
        const char* given; // what the callback got, null: not called
    } cases[] = {
        {"both", R"({"cef":{"enabled":true,"version":3}})", "cef:\n  version: 9\n", 1,
         "Opening deprecated app config app.json. Consider migrating to app.yaml.\n",
         R"({"cef":{"enabled":true,"version":3}})"},
        {"yaml", nullptr, "startupWindowConfig: first.yaml\n", 1, nullptr, R"({"startupWindowConfig":"first.yaml"})"},
        {"neither", nullptr, nullptr, 0, "Unable to open app config (app.json or app.yaml)\n", nullptr},
        {"bad yaml", nullptr, "a: [1, 2\n", 0, "Unable to parse app config (app.yaml)\n", nullptr},
        {"bad json", "{\"a\": ", "a: 1\n", 0, "Unable to parse app config (app.json)\n", nullptr},
        {"not a map", "[1, 2]", nullptr, 0, "Unable to parse app config (app.json)\n", nullptr},
        {"wrong types", nullptr, "cef:\n  enabled: \"yes\"\n  version: \"three\"\nrequiresDataStore: 7\n", 1, nullptr,
         R"({"cef":{"enabled":"yes","version":"three"},"requiresDataStore":7})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(skin.file("app.json").c_str());
        unlink(skin.file("app.yaml").c_str());
        if (c.json) Write("app.json", c.json);
        if (c.yaml) Write("app.yaml", c.yaml);
        Attach();
        loaded.clear();
        Dictionary_Release(&config);
        Dictionary_Create(&config);
        TakeLog();
        EXPECT_EQ(SkinApp_LoadConfig(config), c.result);
        if (c.line) {
            EXPECT_NE(TakeLog().find(c.line), std::string::npos);
        }
        EXPECT_EQ(loaded, c.given ? std::vector<std::string>{c.given} : std::vector<std::string>{});
        // The defaults are written before the skin's file is read.
        char name[64] = "";
        Dictionary_GetStringByKey(config, "name", name, sizeof(name));
        EXPECT_STREQ(name, "Quarvelon Host");
        SkinFile_Remove();
    }
}

TEST_F(SkinAppTest, CefValuesAreReadFromTheMergedConfiguration) {
    Write("app.yaml", "a: 1\n");
    Attach();
    Dictionary_SetBooleanByPath(config, "cef.enabled", 1);
    Dictionary_SetInt32ByPath(config, "cef.version", 109);
    Dictionary_SetStringByPath(config, "cef.nativeFallback", "true");
    ASSERT_EQ(SkinApp_LoadConfig(config), 1);
    uint32_t enabled = 0, fallback = 1;
    int32_t version = 0;
    SkinApp_GetCEFEnabled(&enabled);
    SkinApp_GetCEFVersion(&version);
    SkinApp_GetCEFNativeFallback(&fallback);
    EXPECT_EQ(enabled, 1u);
    EXPECT_EQ(version, 109);
    EXPECT_EQ(fallback, 0u); // a text is not a boolean
}

TEST_F(SkinAppTest, ARequiredDataStoreThatIsMissingStopsStartUp) {
    Write("app.yaml", "a: 1\n");
    Attach();
    Dictionary_SetBooleanByKey(config, "requiresDataStore", 1);
    EXPECT_EQ(SkinApp_LoadConfig(config), 0);
    EXPECT_NE(TakeLog().find("Required embedded datastore is missing\n"), std::string::npos);
    EXPECT_EQ(g_boxes, std::vector<std::string>{"Host_DataStoreMissing|Host|16"});
}

TEST_F(SkinAppTest, WindowsOpenFromTheirConfiguration) {
    Write("main.json", R"({"url":"http://x/main.html","title":"Main"})");
    Write("second.yaml", "url: http://x/second.html\n");
    Write("other.txt", "url: ignored\n");
    Write("broken.json", "{");
    Attach();
    const std::string main = Open("main.json");
    const std::string second = Open("second.yaml");
    const std::string other = Open("other.txt");
    EXPECT_EQ(WindowConfig(main, "url"), "http://x/main.html");
    EXPECT_EQ(WindowConfig(second, "url"), "http://x/second.html");
    EXPECT_EQ(WindowConfig(other, "url"), ""); // neither JSON nor YAML: an empty configuration
    EXPECT_EQ(Open("missing.json"), "(failed)");
    EXPECT_NE(TakeLog().find("Unable to open window config (missing.json)\n"), std::string::npos);
    EXPECT_EQ(Open("broken.json"), "(failed)");
    EXPECT_NE(TakeLog().find("Unable to parse window config (broken.json)\n"), std::string::npos);
    EXPECT_EQ(Windows(), 3);

    EXPECT_EQ(SkinApp_IsMainWindow(main.c_str()), 1);
    EXPECT_EQ(SkinApp_IsMainWindow(second.c_str()), 0);
    SkinWindow* first = nullptr;
    ASSERT_EQ(SkinApp_GetWindowById(nullptr, &first), 1);
    char id[64];
    SkinWindow_GetInstanceId(first, id, sizeof(id));
    EXPECT_EQ(id, main);
    SkinWindow_Release(&first);
}

TEST_F(SkinAppTest, WithOneWindowAllowedASecondIsRefused) {
    Write("main.json", "{}");
    Attach();
    SkinApp_SetAllowMultipleWindows(0);
    EXPECT_NE(Open("main.json"), "(failed)");
    EXPECT_EQ(Open("main.json"), "(failed)");
    char id[64];
    EXPECT_EQ(SkinApp_OpenWindowWithUrl("http://x/", id, sizeof(id)), 0);
    EXPECT_EQ(Windows(), 1);
}

// Running, the application ends when its last window has gone, one window per tick.
TEST_F(SkinAppTest, StatesRunToTheEndAsWindowsClose) {
    Write("main.json", "{}");
    Attach();
    EXPECT_NE(Open("main.json"), "(failed)");
    char id[64];
    ASSERT_EQ(SkinApp_OpenWindowWithUrl("http://x/", id, sizeof(id)), 1);
    EXPECT_EQ(SkinApp_Start(0), 1);
    EXPECT_EQ(SkinApp_Process(), 1); // both windows navigate
    EXPECT_EQ(SkinApp_CloseAllWindows(), 1);
    EXPECT_EQ(Windows(), 2); // closing waits for the event queue
    Pass();
    // Counted in passes: each tick closes one window on this thread, and the ticks are the point.
    std::vector<int> counts;
    for (int i = 0; i < 10 && SkinApp_IsRunning(); i++) {
        EXPECT_EQ(SkinApp_Process(), SkinApp_IsRunning());
        counts.push_back(Windows());
    }
    EXPECT_EQ(counts, (std::vector<int>{2, 1, 0}));
    EXPECT_EQ(SkinApp_IsRunning(), 0);
    EXPECT_EQ(SkinApp_Process(), 0);
    EXPECT_EQ(SkinApp_Start(0), 0);
}

TEST_F(SkinAppTest, StartingTheServerOutsideItsWaitingStateStops) {
    EXPECT_DEATH(SkinApp_Start(1), AbortRegex("Assertion failed (StartServer == FALSE || GlobalSkinApp->State == "
                                              "SKINAPP_STATE_WAITFORSTART)\nTried to start app class while not in "
                                              "waiting state"));
}

TEST_F(SkinAppTest, ContentUrlIsARandomHostThatNeverChanges) {
    const std::string url = SkinApp_GetContentUrl();
    EXPECT_TRUE(Shaped(url, "https://", 32, "abcdefghijklmnopqrstuvwxyz234567", ".skin/")) << url;
    EXPECT_EQ(SkinApp_GetContentUrl(), url);
    SkinApp_Remove();
    SkinApp_Init();
    EXPECT_EQ(SkinApp_GetContentUrl(), url);
    EXPECT_EQ(SkinApp_IsContentUrl((url + "index.html?a=1").c_str()), 1);
    EXPECT_EQ(SkinApp_IsContentUrl("https://other.skin/"), 0);
}

// The origin rule of every route to native objects: the content server's origin exactly, and
// nothing that only shares its host.
TEST_F(SkinAppTest, OnlyTheSkinsOwnOriginIsTheSkins) {
    const std::string url = SkinApp_GetContentUrl();
    const std::string origin = url.substr(0, url.size() - 1);
    const std::string host = origin.substr(8);
    const struct {
        std::string Origin;
        int64_t Skin;
    } cases[] = {
        {origin, 1},
        {"HTTPS://" + host, 1},
        {origin + ":443", 1},
        {"http://" + host, 0},
        {"wss://" + host, 0},
        {origin + ":444", 0},
        {url, 0}, // a URL, not an origin
        {origin + "?x", 0},
        {"https://u@" + host, 0},
        {"https://x" + host, 0},
        {"null", 0},
        {"", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(SkinApp_IsSkinOrigin(c.Origin.c_str()), c.Skin) << c.Origin;
    EXPECT_EQ(SkinApp_IsSkinOrigin(nullptr), 0);
}

TEST_F(SkinAppTest, WindowUrlCarriesTheWindowAndTheServer) {
    Dictionary* window = nullptr;
    Dictionary_Create(&window);
    Dictionary_SetStringByKey(window, "url", "https://host/{Lower:PAGE}.html");
    char url[512];
    const uint32_t security = Authenticate_Enabled();
    Authenticate_SetEnabled(1);
    ASSERT_EQ(SkinApp_GetWindowUrl("abc", window, url, sizeof(url)), 1);
    EXPECT_STREQ(url, "https://host/page.html?window=abc");
    Authenticate_SetEnabled(0);
    ASSERT_EQ(SkinApp_GetWindowUrl("abc", window, url, sizeof(url)), 1);
    EXPECT_EQ(std::string(url).rfind("https://host/page.html?window=abc&skinserver=", 0), 0u) << url;
    Authenticate_SetEnabled(security);
    Dictionary_Release(&window);
}

TEST_F(SkinAppTest, LocalStorageIsMadeAndRemovedOnlyWhenAsked) {
    const std::string path = skin.file("storage/deep/");
    WorkflowApp_AddMacro("LocalStorage", path.c_str());
    ASSERT_EQ(SkinApp_CreateLocalStorage(), 1);
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    WriteText(path + "item", "x");
    EXPECT_EQ(SkinApp_RemoveLocalStorage(), 1);
    EXPECT_EQ(stat(path.c_str(), &info), 0);
    SkinApp_SetRemoveLocalStorage(1);
    EXPECT_EQ(SkinApp_RemoveLocalStorage(), 1);
    EXPECT_NE(stat(path.c_str(), &info), 0);
}

// A file system mounted inside the local storage (in a child's own mount namespace) is not the
// storage's: its removal stops there and fails, and what the mount holds stays.
TEST_F(SkinAppTest, RemovingLocalStorageStopsAtAFileSystemMountedInside) {
    if (!CanIsolate()) GTEST_SKIP() << "no mount namespace of a child's own here (needs root)";
    const std::string path = skin.file("storage/"), mnt = path + "mnt";
    WorkflowApp_AddMacro("LocalStorage", path.c_str());
    ASSERT_EQ(SkinApp_CreateLocalStorage(), 1);
    ASSERT_EQ(mkdir(mnt.c_str(), 0700), 0);
    SkinApp_SetRemoveLocalStorage(1);
    const std::optional<std::string> text =
        RunIsolated([&] { return EmptyTmpfs(mnt) && WriteText(mnt + "/kept", "k"); },
                    [&] {
                        const int64_t removed = SkinApp_RemoveLocalStorage();
                        return std::to_string(removed) + "|" + ReadFile(mnt + "/kept");
                    });
    SkinApp_SetRemoveLocalStorage(0);
    EXPECT_EQ(text.value_or("the child failed"), "0|k");
}

// A local storage that is not a full path, or lies where another user could change its names, is
// refused with one ERROR line: nothing is made or erased there, and what names it from here on gets
// a place that cannot be a folder, so a workflow's write there fails instead of landing elsewhere.
TEST_F(SkinAppTest, LocalStorageWhereOthersCouldChangeItIsRefused) {
    const std::string open = skin.file("open"), theirs = skin.file("theirs");
    ASSERT_EQ(mkdir(open.c_str(), 0700), 0);
    ASSERT_EQ(chmod(open.c_str(), 0777), 0);
    ASSERT_EQ(mkdir((open + "/storage").c_str(), 0700), 0);
    ASSERT_TRUE(WriteText(open + "/storage/kept", "x"));
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(mkdir(theirs.c_str(), 0755), 0);
        ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
    }
    // The location has no value from then on: a text that names it keeps its token, which no file
    // operation takes and every surface refuses naming the folder (never a stand-in path).
    const struct {
        std::string Location;
        std::string Said;
    } cases[] = {
        {"relative/storage/", "relative/storage/ is refused (not an absolute path, 22)"},
        {"{NoSuchFolder}Quarvelon/", "{NoSuchFolder}Quarvelon/ is refused (not an absolute path, 22)"},
        {open + "/storage/", open + "/storage/ is refused (a folder other users can change, 13)"},
        {root ? theirs + "/storage/" : "", theirs + "/storage/ is refused (a folder of another user, 13)"},
    };
    SkinApp_SetRemoveLocalStorage(1);
    for (const auto& c : cases) {
        if (c.Location.empty()) continue;
        SCOPED_TRACE(c.Location);
        WorkflowApp_AddMacro("LocalStorage", c.Location.c_str());
        TakeLog();
        EXPECT_EQ(SkinApp_CreateLocalStorage(), 0);
        const std::string log = TakeLog();
        EXPECT_NE(log.find("ERROR - The local storage " + c.Said +
                           ": nothing is kept there, and what needs it fails\n"),
                  std::string::npos);
        // The folder that failed is named with why (once: the runs below find it said already).
        if (c.Location == open + "/storage/") {
            EXPECT_NE(log.find("ERROR - The folder " + open + " is refused: every user may write into it"),
                      std::string::npos)
                << log;
        }
        char expanded[1024] = "";
        WorkflowApp_ExpandString("{LocalStorage}example/files", expanded, sizeof(expanded));
        EXPECT_EQ(std::string(expanded), "{LocalStorage}example/files");
        char line[8192] = "";
        EXPECT_EQ(String_ExpandRefuseArgument("path", expanded, line, sizeof(line)), 1);
        EXPECT_EQ(std::string(line), "\"path\" argument names the refused folder " +
                                         c.Location + " (" +
                                         c.Said.substr(c.Said.find('(') + 1, c.Said.rfind(',') - c.Said.find('(') - 1) +
                                         "): {LocalStorage}example/files");
        EXPECT_EQ(SkinApp_RemoveLocalStorage(), 0);
    }
    EXPECT_TRUE(FileExists(open + "/storage/kept"));
    struct stat info;
    EXPECT_NE(stat("relative", &info), 0);
    EXPECT_NE(stat((theirs + "/storage").c_str(), &info), 0);
    SkinApp_SetRemoveLocalStorage(0);
}

// A log file inside the local storage is carried out before the storage is erased: into the
// user's private temporary folder (never the shared one, where another user could make the name
// first), where it goes on with its earlier lines. Where that folder cannot be had the log stops
// writing to a file with one line saying why, and never lands under a bare name in the current folder.
TEST_F(SkinAppTest, RemovingLocalStorageCarriesTheLogOutOrStopsIt) {
    TempDir place;
    const std::string current = place.file("current"), temp = place.file("temp"), runtime = place.file("run"),
                      planted = place.file("planted");
    const std::string shared = place.file("shared");
    for (const std::string& folder : {current, temp, runtime, planted, shared})
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
    const std::string longTemp = temp + "/" + std::string(3000, 't');
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof(previous)), nullptr);
    char name[1024] = "";
    Log_GetFilename(name, sizeof(name));
    const std::string logBefore = name;
    const uint32_t flagsBefore = Debug_Flags();
    auto restoreEnvironment = [](const char* variable, const char* value) {
        if (value) SetBothEnv(variable, value);
        else SetBothEnv(variable, nullptr);
    };
    const char* keptRuntime = getenv("XDG_RUNTIME_DIR");
    const char* keptTemp = getenv("TMPDIR");
    const std::string runtimeBefore = keptRuntime ? keptRuntime : "", tempBefore = keptTemp ? keptTemp : "";
    // The program's private folder's own name, as the platform makes it.
    SetBothEnv("XDG_RUNTIME_DIR", runtime.c_str());
    char own[1024] = "";
    ASSERT_EQ(Platform_GetSpecialPath(PLATFORM_PATH_PIPE_PATH, own, sizeof(own)), 1);
    const std::string app = std::string(own).substr(runtime.size() + 1, strlen(own) - runtime.size() - 2);
    // Another user's (or anyone's) file where the private folder would be.
    ASSERT_TRUE(WriteText(planted + "/" + app, "not a folder"));
    const struct {
        const char* Name;
        const char* Runtime;
        std::string Temp;
        std::string Kept; // where the log goes on, or "" when it stops
        mode_t Storage = 0; // the storage's mode when the log is carried, 0 to leave it
    } cases[] = {
        {"the private folder", runtime.c_str(), temp, std::string(own) + "app.log"},
        {"a planted name", planted.c_str(), temp, ""},
        {"a temporary folder too long", nullptr, longTemp, ""},
        {"a storage others can change", runtime.c_str(), temp, "", 0777},
    };
    ASSERT_EQ(chdir(current.c_str()), 0);
    Log_SetErrorsToStandardError(1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        restoreEnvironment("XDG_RUNTIME_DIR", c.Runtime);
        SetBothEnv("TMPDIR", c.Temp.c_str());
        const std::string storage = skin.file("storage/");
        WorkflowApp_AddMacro("LocalStorage", storage.c_str());
        ASSERT_EQ(SkinApp_CreateLocalStorage(), 1);
        SkinApp_SetRemoveLocalStorage(1);
        Debug_PrintOverride(nullptr);
        Debug_SetFlags(DEBUG_FLAG_FILE);
        const std::string log = storage + "app.log";
        Log_SetFilename(log.c_str());
        Log_PrintInt(LOG_LEVEL_INFO, __FILE__, __LINE__, 0, "before the erase\n");
        ASSERT_TRUE(FileExists(log));
        ASSERT_TRUE(!c.Storage || chmod(storage.c_str(), c.Storage) == 0);
        // A refusal an earlier caller left unsaid on this thread is not the carry's to name.
        int32_t fd = -1, error = 0;
        const char* reason = nullptr;
        EXPECT_EQ(Platform_OpenPrivateDirectory(shared.c_str(), 0, &fd, &error, &reason), 0);
        testing::internal::CaptureStderr();
        EXPECT_EQ(SkinApp_RemoveLocalStorage(), 1);
        Log_PrintInt(LOG_LEVEL_INFO, __FILE__, __LINE__, 0, "after the erase\n");
        const std::string said = testing::internal::GetCapturedStderr();
        const uint32_t flags = Debug_Flags();
        Log_GetFilename(name, sizeof(name));
        Debug_SetFlags(flagsBefore);
        Log_SetFilename(logBefore.c_str());
        Debug_PrintOverride(CaptureLog);
        EXPECT_FALSE(FileExists(storage));
        EXPECT_EQ(std::string(name), c.Kept);
        if (!c.Kept.empty()) {
            EXPECT_EQ(said, "");
            const std::string text = ReadFile(c.Kept);
            EXPECT_NE(text.find("INFO - before the erase\n"), std::string::npos) << text;
            EXPECT_NE(text.find("INFO - after the erase\n"), std::string::npos) << text;
            struct stat info = {};
            EXPECT_EQ(lstat(c.Kept.c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 0777, 0600u);
            EXPECT_EQ(flags & DEBUG_FLAG_FILE, (uint32_t)DEBUG_FLAG_FILE);
        } else {
            // The walk's refusal is followed by the folder that failed; no other is named.
            const std::string stopped = "; no log file is written from here on\n",
                              failed = c.Storage
                                           ? "a folder other users can change" + stopped +
                                                 "ERROR - The folder " +
                                                 storage.substr(0, storage.size() - 1) +
                                                 " is refused: every user may write into it (mode 0777); it "
                                                 "passes when closed to others' writes (chmod o-w)\n"
                                           : "the private temporary folder cannot be had" + stopped;
            EXPECT_NE(said.find("ERROR - The log file " + log +
                                " is not kept: it lies in the local storage that is erased, and " + failed),
                      std::string::npos)
                << said;
            size_t named = 0;
            for (size_t at = said.find("The folder "); at != std::string::npos;
                 at = said.find("The folder ", at + 1))
                named++;
            EXPECT_EQ(named, c.Storage ? 1u : 0u) << said;
            EXPECT_EQ(flags & (DEBUG_FLAG_FILE | DEBUG_FLAG_ERROR_FILE), 0u);
            EXPECT_EQ(ReadFile(planted + "/" + app), "not a folder");
        }
        // Never into the shared temporary folder, nor the current one.
        EXPECT_FALSE(FileExists(temp + "/app.log"));
        EXPECT_FALSE(FileExists(current + "/app.log"));
        if (!c.Kept.empty()) unlink(c.Kept.c_str());
    }
    Log_SetErrorsToStandardError(0);
    ASSERT_EQ(chdir(previous), 0);
    restoreEnvironment("XDG_RUNTIME_DIR", keptRuntime ? runtimeBefore.c_str() : nullptr);
    restoreEnvironment("TMPDIR", keptTemp ? tempBefore.c_str() : nullptr);
    TakeLog();
}

TEST_F(SkinAppTest, LocaleFilesComeFromTheSkin) {
    ASSERT_EQ(mkdir(skin.file("locale").c_str(), 0700), 0);
    Write("locale/xx.json", R"({"Greeting":"Hallo &amp; willkommen"})");
    Write("locale/yy.json", "{not json");
    Attach();
    SkinApp_SetLanguage("xx");
    char text[128];
    EXPECT_EQ(SkinApp_LocalizeString("Greeting", text, sizeof(text)), 1);
    EXPECT_STREQ(text, "Hallo & willkommen");
    SkinApp_SetLanguage("yy");
    EXPECT_EQ(SkinApp_LocalizeString("Other", text, sizeof(text)), 0);
    EXPECT_STREQ(text, "Other");
}

TEST_F(SkinAppTest, StartingTheServerWaitsUntilItListens) {
    uint32_t on = 0;
    EXPECT_EQ(SkinApp_WebServerIsOn(&on), 1);
    EXPECT_EQ(on, 0u);
    ASSERT_EQ(SkinApp_StartWebServer(1), 1);
    EXPECT_EQ(SkinApp_WebServerIsOn(&on), 1);
    EXPECT_EQ(on, 1u);
    EXPECT_TRUE(g_boxes.empty());
    // Now in its waiting state: the server's own start is allowed.
    EXPECT_EQ(SkinApp_Start(1), 1);
}

// What a later instance sends reaches observers after a delay; text that is not a JSON object
// is dropped.
TEST_F(SkinAppTest, ALaterInstancesDataBecomesANotification) {
    std::vector<std::string> seen;
    auto observe = [](void* user, const char*, const char*, const char*, Dictionary* info) -> int64_t {
        static_cast<std::vector<std::string>*>(user)->push_back("{" + DictionaryAsJson(info) + "}");
        return 1;
    };
    NotificationCenter_AddObserver("SkinApp", "NewCommandLine", &seen, observe);
    EXPECT_EQ(SkinApp_OnNewInstanceDataReceived(nullptr, "{\"args\":[\"--a\""), 0);
    EXPECT_EQ(SkinApp_OnNewInstanceDataReceived(nullptr, "[1]"), 0);
    EXPECT_EQ(SkinApp_OnNewInstanceDataReceived(nullptr, R"({"args":["--open=\"u\""]})"), 1);
    EXPECT_TRUE(seen.empty());
    for (int i = 0; i < 5; i++) Pass();
    EXPECT_EQ(seen, std::vector<std::string>{R"({"args":["--open=\"u\""]})"});
    NotificationCenter_RemoveObserver("SkinApp", "NewCommandLine", &seen, observe);
}

// Requests for the content URL are kept (with a reference) once the application has started;
// others go elsewhere. Removal gives the reference back, and ending the application releases
// what is still queued.
TEST_F(SkinAppTest, InProcessRequestsForTheContentUrlAreKept) {
    WebGetRequest* mine = nullptr;
    WebGetRequest* other = nullptr;
    WebGetRequest_Create(&mine);
    WebGetRequest_Create(&other);
    WebGetRequest_SetURL(mine, (std::string(SkinApp_GetContentUrl()) + "page.html").c_str());
    WebGetRequest_SetURL(other, "https://example.invalid/page.html");
    EXPECT_EQ(SkinApp_WebGetRequestQueue(mine), 0); // not started: no table yet
    SkinApp_Start(0);
    EXPECT_EQ(SkinApp_WebGetRequestQueue(mine), 1);
    EXPECT_EQ(SkinApp_WebGetRequestQueue(mine), 1);
    EXPECT_EQ(SkinApp_WebGetRequestQueue(other), 0);
    EXPECT_EQ(SkinApp_WebGetRequestRemove(other), 0);
    EXPECT_EQ(SkinApp_WebGetRequestRemove(mine), 1);
    EXPECT_EQ(SkinApp_WebGetRequestRemove(mine), 0);
    EXPECT_EQ(SkinApp_WebGetRequestQueue(mine), 1);
    SkinApp_Remove();
    SkinApp_Init();
    // Only this test's references are left: the last release frees each request (ASan checks).
    WebGetRequest_Release(&mine);
    WebGetRequest_Release(&other);
}

TEST_F(SkinAppTest, CreateRequestsNeedTypeAndWindow) {
    const struct {
        const char* body;
        const char* parsed; // "type|window|instance", null: refused
    } cases[] = {
        {R"({"typename":"QVR.SkinApp","window":"w1","instanceId":"i1"})", "QVR.SkinApp|w1|i1"},
        {R"({"window":"w1","typename":"QVR.X"})", "QVR.X|w1|"},
        {R"({"typename":"QVR.X"})", nullptr},
        {R"({"typename":"QVR.X","window":3})", nullptr},
        {R"(["typename","window"])", nullptr},
        {"{\"typename\":", nullptr},
    };
    for (const auto& c : cases) {
        MemoryStream* memory = nullptr;
        MemoryStream_Create(&memory);
        MemoryStream_SetAutoGrow(memory, 1);
        uint32_t written = 0;
        MemoryStream_Write(memory, c.body, (uint32_t)strlen(c.body), &written);
        Stream* stream = nullptr;
        MemoryStream_GetStreamHandle(memory, &stream);
        char type[SKINAPP_TYPE_NAME_SIZE], window[SKINAPP_ID_SIZE], instance[SKINAPP_ID_SIZE];
        const int64_t result = SkinApp_ParseCreateInstance(stream, type, window, instance);
        EXPECT_EQ(result, c.parsed ? 1 : 0) << c.body;
        if (c.parsed) {
            EXPECT_EQ(std::string(type) + "|" + window + "|" + instance, c.parsed);
        }
        MemoryStream_Release(&memory);
    }
}

TEST_F(SkinAppTest, OnlyTheDevServerSwitchIsKeptFromOtherInstances) {
    EXPECT_EQ(Skin_ShouldRemoveSwitch("devserver"), 1);
    EXPECT_EQ(Skin_ShouldRemoveSwitch("DevServer"), 1);
    EXPECT_EQ(Skin_ShouldRemoveSwitch("skin"), 0);
}

// ---- The script class ------------------------------------------------------------------------

std::string Call(const std::string& id, const std::string& request) {
    MemoryStream* out = nullptr;
    MemoryStream_Create(&out);
    MemoryStream_SetAutoGrow(out, 1);
    Interop_DispatchInvokeJSON(id.c_str(), request.c_str(), out);
    uint8_t* bytes = nullptr;
    MemoryStream_GetPointer(out, &bytes);
    uint64_t length = 0;
    MemoryStream_Length(out, &length);
    std::string text(reinterpret_cast<char*>(bytes), (size_t)length);
    MemoryStream_ReleasePointer(out, &bytes);
    MemoryStream_Release(&out);
    return text;
}

std::string CreateApp() {
    char id[INTEROP_INSTANCE_ID_SIZE] = "";
    return Interop_DispatchCreateInstance("QVR.SkinApp", id, sizeof(id), nullptr, nullptr, nullptr) ? id : "";
}

TEST_F(SkinAppTest, ScriptClassAnswersEveryMethodByName) {
    Write("main.json", "{}");
    Write("present.txt", "x");
    Attach();
    const std::string app = CreateApp();
    char own[64];
    SkinApp_GetInstanceId(own, sizeof(own));
    ASSERT_EQ(app, own);
    const std::string window = Open("main.json");
    const struct {
        uint32_t hash;
        std::string request;
        std::string answer;
    } calls[] = {
        {0x453a06f7, R"({"method":"getDataStore"})", R"({"returnValue":null})"},
        {0x6753b48f, R"({"method":"localizeString","expand":"No_Such_Key"})", R"({"returnValue":"No_Such_Key"})"},
        {0xa0dcb2fd, R"({"method":"expandString","expand":"{Upper:ab}"})", R"({"returnValue":"AB"})"},
        {0xa0156c93, R"({"method":"isMainWindow","instance":")" + window + "\"}", R"({"returnValue":true})"},
        {0xa0156c93, R"({"method":"isMainWindow","instance":"x"})", R"({"returnValue":false})"},
        {0xb0e06f25, R"({"method":"setRemoveLocalStorage","removeLocalStorage":true})", R"({"returnValue":true})"},
        {0xe9fd7972, R"({"method":"getRemoveLocalStorage"})", R"({"returnValue":true})"},
        {0xde491479, R"({"method":"setLanguage","language":"de"})", R"({"returnValue":true})"},
        {0xc066a330, R"({"method":"getLanguage"})", R"({"returnValue":"de"})"},
        {0xc1b822e8, R"({"method":"setCountry","country":"AT"})", R"({"returnValue":true})"},
        {0xeffd037a, R"({"method":"getCountry"})", R"({"returnValue":"AT"})"},
        {0xd4c8dbc8, R"({"method":"contentExists","path":"present.txt"})", R"({"returnValue":true})"},
        {0xd4c8dbc8, R"({"method":"contentExists","path":"../present.txt"})", R"({"returnValue":false})"},
        {0xf3a5676b, R"({"method":"isAttached"})", R"({"returnValue":true})"},
        {0x4dcd3071, R"({"method":"openWindow","windowConfigPath":"missing.json"})", R"({"returnValue":""})"},
        {0x84319ccf, R"({"method":"closeAllWindows"})", R"({"returnValue":true})"},
    };
    for (const auto& c : calls) {
        const std::string method = c.request.substr(11, c.request.find('"', 11) - 11);
        EXPECT_EQ(crc32(0, reinterpret_cast<const Bytef*>(method.data()), (uInt)method.size()), c.hash) << method;
        EXPECT_EQ(Call(app, c.request), c.answer) << c.request;
    }
    // A window opened by script answers its new id.
    const std::string opened = Call(app, R"({"method":"openWindow","windowConfigPath":"main.json"})");
    EXPECT_TRUE(Shaped(opened, R"({"returnValue":")", 32, "0123456789abcdef", R"("})")) << opened;
    EXPECT_EQ(Windows(), 2);
    // Closing goes through the event queue, never inside the call.
    Pass();
}

// A missing or mistyped argument still answers "returnValue" and reports the failure.
TEST_F(SkinAppTest, ScriptCallsWithBadArgumentsFail) {
    const struct {
        const char* method;
        const char* arguments;
        const char* answer;
    } calls[] = {
        {"expandString", "{}", R"("returnValue":"")"},
        {"isMainWindow", R"({"instance":3})", R"("returnValue":false)"},
        {"setRemoveLocalStorage", R"({"removeLocalStorage":"yes"})", R"("returnValue":false)"},
        {"openWindow", "{}", R"("returnValue":"")"},
        {"contentExists", R"({"path":null})", R"("returnValue":false)"},
    };
    for (const auto& c : calls) {
        JSON* json = nullptr;
        Dictionary* document = nullptr;
        Dictionary_Create(&document);
        JSON_Create(&json);
        JSON_SetDictionaryHandle(json, document);
        JSON_LoadString(json, "%s", c.arguments);
        JSON_SetDictionaryHandle(json, nullptr);
        JSON_Release(&json);
        Dictionary* request = nullptr;
        Dictionary_SkipRoot(document, &request);
        if (!request || request == document) request = document;
        Dictionary_SetStringByKey(request, "method", c.method);
        Dictionary_SetInt32ByKey(request, "#methodHash",
                                 (int32_t)crc32(0, reinterpret_cast<const Bytef*>(c.method), (uInt)strlen(c.method)));
        Dictionary* response = nullptr;
        Dictionary_Create(&response);
        EXPECT_EQ(SkinApp_Invoke(nullptr, request, response), 0) << c.method;
        EXPECT_EQ(DictionaryAsJson(response), c.answer) << c.method;
        Dictionary_Release(&response);
        Dictionary_Release(&document);
    }
    uint32_t remove = 1;
    SkinApp_GetRemoveLocalStorage(&remove);
    EXPECT_EQ(remove, 0u);
}

// The engine answers the first shutdown request by making it forced once nothing is busy; from
// then on it leaves requests alone, and one that is not forced changes nothing here.
TEST_F(SkinAppTest, ShutdownActsOnlyWhenForced) {
    Write("main.json", "{}");
    Attach();
    EXPECT_NE(Open("main.json"), "(failed)");
    SkinApp_Start(0);
    SkinApp_Process();
    WorkflowApp_SetRestartArguments("");
    // A restart of a program at a location nobody named is no restart (not one of this program).
    NotificationCenter_FireWithJSON("WorkflowApp", "Shutdown", "x",
                                    R"({"force":true,"removeLocalStorage":true,"selfUpdate":true,"restart":true,)"
                                    R"("restartPath":"{workflowDirectory}/run"})");
    Pass();
    uint32_t remove = 0;
    SkinApp_GetRemoveLocalStorage(&remove);
    EXPECT_EQ(remove, 1u);
    uint32_t restart = 1;
    WorkflowApp_GetRestart(&restart);
    EXPECT_EQ(restart, 0u);
    char arguments[256];
    WorkflowApp_GetRestartArguments(arguments, sizeof(arguments));
    EXPECT_STREQ(arguments, "--debugfileid=selfupdate --wfselfupdate");
    StepUntil([] { return !SkinApp_IsRunning(); },
              [] {
                  SkinApp_Process();
                  Thread_Wait(1);
              });
    EXPECT_EQ(SkinApp_IsRunning(), 0);

    SkinApp_Remove();
    SkinApp_Init();
    EXPECT_NE(Open("main.json"), "(failed)");
    SkinApp_Start(0);
    SkinApp_Process();
    WorkflowApp_SetRestartArguments("");
    NotificationCenter_FireWithJSON("WorkflowApp", "Shutdown", "x", R"({"removeLocalStorage":true,"selfUpdate":true})");
    Pass();
    SkinApp_GetRemoveLocalStorage(&remove);
    EXPECT_EQ(remove, 0u);
    WorkflowApp_GetRestartArguments(arguments, sizeof(arguments));
    EXPECT_STREQ(arguments, "");
    for (int i = 0; i < 5; i++) SkinApp_Process();
    EXPECT_EQ(Windows(), 1);

    // Nor is a restart that would hand the program a location nobody named: the program is not
    // restarted with a name in whatever the current folder is.
    WorkflowApp_SetRestart(0);
    NotificationCenter_FireWithJSON("WorkflowApp", "Shutdown", "x",
                                    R"({"force":true,"restart":true,"restartPath":"/bin/sh",)"
                                    R"("restartArguments":"-e {workflowDirectory}/run.sh"})");
    Pass();
    WorkflowApp_GetRestart(&restart);
    EXPECT_EQ(restart, 0u);
    WorkflowApp_GetRestartArguments(arguments, sizeof(arguments));
    EXPECT_STREQ(arguments, "");
}

} // namespace
