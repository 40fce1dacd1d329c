// The engine context: start-up and removal around a test program playing the host, configuration
// defaults and loading, macro expansion and the engine's switches.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "core/certs/authenticate.h"
#include "core/formats/interop.h"
#include "core/formats/json.h"
#include "core/net/tls1.h"
#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/notification_center.h"
#include "core/web/web_get.h"
#include "core/web/web_get_cache.h"
#include "core/web/web_get_pool.h"
#include "core/web/web_get_redirect.h"
#include "tests/support/scoped_env.h"
#include "tests/support/abort_hook.h"
#include "tests/support/temp_dir.h"
#include "workflow/task_type.h"
#include "workflow/notification_endpoint.h"
#include "workflow/workflow_app.h"

namespace {

Dictionary* ParseJson(const char* text) {
    Dictionary* dict = nullptr;
    JSON* json = nullptr;
    Dictionary_Create(&dict);
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, dict);
    EXPECT_EQ(JSON_LoadBuffer(json, text, (uint32_t)strlen(text)), 1) << text;
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Release(&json);
    return dict;
}

int64_t LoadJson(const char* text) {
    Dictionary* dict = ParseJson(text);
    const int64_t result = WorkflowApp_LoadConfigFromDictionary(dict);
    Dictionary_Release(&dict);
    return result;
}

std::string Config(const char* path, const char* fallback = "<missing>") {
    char buffer[8192];
    EXPECT_EQ(WorkflowApp_GetConfig(path, fallback, buffer, sizeof(buffer)), 1);
    return buffer;
}

std::string Expand(const char* text) {
    char buffer[8192];
    WorkflowApp_ExpandString(text, buffer, sizeof(buffer));
    return buffer;
}

uint32_t TypeAt(const char* path) {
    Dictionary* config = nullptr;
    WorkflowApp_GetConfigHandle(&config);
    Dictionary* holder = nullptr;
    DictionaryItem* item = nullptr;
    if (!Dictionary_ItemFindByPath(config, path, &holder, &item)) return 99;
    uint32_t type = 0;
    Dictionary_ItemGetType(holder, item, &type);
    return type;
}

std::vector<std::string> g_options; // "key=value" as the interop libraries receive them

int64_t RecordOption(const char* name, const char* value) {
    g_options.push_back(std::string(name) + "=" + value);
    return 1;
}
int64_t LibraryInit() { return 1; }
int64_t LibraryRemove() { return 1; }
int64_t LibraryCreate(const char*, char*, int32_t, void*, InteropExecuteFunc, InteropInvokeFunc*, InteropReleaseFunc*,
                      InteropProcessFunc*, void**) {
    return 0;
}
int64_t LibraryOverride(const char*, void*) { return 1; }

// A stand-in peer endpoint that records what the context asks of it.
struct FakeEndPoint {
    Class Header;
};
FakeEndPoint g_endpoint;
std::vector<std::string> g_endpointCalls;

int64_t EndPointCreate(NotificationEndPoint** endpoint) {
    g_endpointCalls.push_back("Create");
    strcpy(g_endpoint.Header.InstanceId, "fake-endpoint");
    *endpoint = reinterpret_cast<NotificationEndPoint*>(&g_endpoint);
    return 1;
}
int64_t EndPointStart(NotificationEndPoint*) {
    g_endpointCalls.push_back("Start");
    return 1;
}
int64_t EndPointStop(NotificationEndPoint*) {
    g_endpointCalls.push_back("Stop");
    return 1;
}
int64_t EndPointRelease(NotificationEndPoint** endpoint) {
    g_endpointCalls.push_back("Release");
    *endpoint = nullptr;
    return 1;
}
int64_t EndPointAdd(NotificationEndPoint*, const char* url) {
    g_endpointCalls.push_back(std::string("Add ") + url);
    return 1;
}

std::vector<std::string> g_changes;
int64_t RecordChange(void*, const char*, const char*, const char*, Dictionary* info) {
    const char* key = "";
    const char* value = "";
    Dictionary_GetStringPtrByKey(info, "key", &key);
    Dictionary_GetStringPtrByKey(info, "value", &value);
    g_changes.push_back(std::string(key) + "=" + value);
    return 1;
}

// Each test starts the engine as a host would and removes it at the end.
class WorkflowAppTest : public ::testing::Test {
  protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ASSERT_EQ(WorkflowApp_Init("workflow_app.log", DEBUG_FLAG_EXTERNAL_PRINT), 1);
        InstallTestAbortHook();
        g_options.clear();
        g_changes.clear();
    }
    void TearDown() override {
        uint32_t code = 0;
        EXPECT_EQ(WorkflowApp_Remove(&code), 1);
        EXPECT_EQ(WorkflowApp_IsInitialized(), 0);
    }
    // Replaces the context with one created from this command line.
    void Recreate(const char* commandLine) {
        ASSERT_EQ(WorkflowApp_RemoveMinimal(), 1);
        ASSERT_EQ(WorkflowApp_InitMinimal(commandLine), 1);
    }
};

} // namespace

// ---- Start-up and removal -------------------------------------------------------------------------

TEST(WorkflowAppLifeTest, StartsAndStopsTheCoreAroundTheContextRepeatedly) {
    EXPECT_EQ(WorkflowApp_IsInitialized(), 0);
    char buffer[16] = "x";
    EXPECT_EQ(WorkflowApp_GetConfig("localStorage", "d", buffer, sizeof(buffer)), 0);
    uint32_t flag = 7;
    EXPECT_EQ(WorkflowApp_GetConfigBoolean("requiresElevated", 1, &flag), 0);
    EXPECT_EQ(flag, 1u);
    for (int round = 0; round < 2; round++) {
        ASSERT_EQ(WorkflowApp_Init("workflow_app.log", DEBUG_FLAG_EXTERNAL_PRINT), 1);
        EXPECT_EQ(WorkflowApp_IsInitialized(), 1);
        EXPECT_EQ(Debug_IsStarted(), 1);
        EXPECT_EQ(WebGet_IsStarted(), 1);
        // The default task types are in the context's list.
        TaskTypeList* list = nullptr;
        ASSERT_EQ(WorkflowApp_GetTaskTypeListHandle(&list), 1);
        const TaskInterface* record = nullptr;
        EXPECT_EQ(TaskTypeList_Find(list, GlobalDefaultTaskInterfaces[0]->Name, &record), 1);
        // The response cache and the pool are up: a configuration creates the workflow store.
        EXPECT_EQ(LoadJson("{}"), 1);
        WebGetCacheStore* store = nullptr;
        EXPECT_EQ(WebGetCache_GetStore("workflow", &store), 1);
        WebGetCacheStore_Release(&store);
        Debug_SetExitCode(40 + round);
        uint32_t code = 0;
        EXPECT_EQ(WorkflowApp_Remove(&code), 1);
        EXPECT_EQ(code, 40u + round);
        EXPECT_EQ(WorkflowApp_IsInitialized(), 0);
        EXPECT_EQ(Debug_IsStarted(), 0);
        EXPECT_EQ(WebGet_IsStarted(), 0);
        list = reinterpret_cast<TaskTypeList*>(1);
        EXPECT_EQ(WorkflowApp_GetTaskTypeListHandle(&list), 0);
        EXPECT_EQ(list, nullptr);
    }
}

// The engine's own start-up takes the core's log path: a log folder too long for the log's name
// is said once and no log is written into the current folder.
TEST(WorkflowAppLifeTest, ALogFolderTooLongWritesNoLogIntoTheCurrentFolder) {
    TempDir dir;
    std::string state = dir.path();
    for (int level = 0; level < 6; level++) state += "/" + std::string(180, 'a' + level);
    const char* kept = getenv("XDG_STATE_HOME");
    const std::string previousState = kept ? kept : "";
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof(previous)), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    SetBothEnv("XDG_STATE_HOME", state.c_str());
    testing::internal::CaptureStderr();
    const int64_t started = WorkflowApp_Init("workflow_app.log", DEBUG_FLAG_FILE);
    uint32_t code = 0;
    if (started) WorkflowApp_Remove(&code);
    const std::string said = testing::internal::GetCapturedStderr();
    if (kept) SetBothEnv("XDG_STATE_HOME", previousState.c_str());
    else SetBothEnv("XDG_STATE_HOME", nullptr);
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_EQ(started, 1);
    const std::string line = "ERROR - No log file is written: the log folder " + state +
                             "/Quarvelon Host/ is too long for the log file's name of at most 959 bytes\n";
    EXPECT_NE(said.find(line), std::string::npos) << said;
    EXPECT_EQ(said.find("ERROR - ", said.find(line) + 1), std::string::npos) << said;
    EXPECT_FALSE(FileExists(dir.file("workflow_app.log")));
    EXPECT_FALSE(FileExists(dir.path() + "/" + std::string(180, 'a')));
}

TEST(WorkflowAppLifeDeathTest, RemovalWithoutAContextStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    InstallTestAbortHook();
    EXPECT_DEATH(WorkflowApp_RemoveMinimal(), "Pointer is NULL");
    uint32_t* nowhere = nullptr;
    EXPECT_DEATH(WorkflowApp_GetConfigBoolean("x", 0, nowhere), "Pointer is NULL");
}

TEST_F(WorkflowAppTest, EndPointIsCreatedStartedJoinedAndRemovedInOrder) {
    WorkflowAppEndPointHooks hooks{EndPointCreate, EndPointStart, EndPointStop, EndPointRelease, EndPointAdd};
    // The table is fixed while a context exists.
    EXPECT_EQ(WorkflowApp_SetEndPointHooks(&hooks), 0);
    ASSERT_EQ(WorkflowApp_RemoveMinimal(), 1);
    ASSERT_EQ(WorkflowApp_SetEndPointHooks(&hooks), 1);
    g_endpointCalls.clear();
    ASSERT_EQ(WorkflowApp_InitMinimal("prog --wfendpoint=http://127.0.0.1:4000/token --wfworker"), 1);
    NotificationEndPoint* endpoint = nullptr;
    ASSERT_EQ(WorkflowApp_GetNotificationEndPointHandle(&endpoint), 1);
    // Once the endpoint runs, the parent named on the command line becomes its peer.
    NotificationCenter_Fire("NotificationEndPoint", "Running", "fake-endpoint", nullptr);
    ASSERT_EQ(WorkflowApp_RemoveMinimal(), 1);
    EXPECT_EQ(g_endpointCalls,
              (std::vector<std::string>{"Create", "Start", "Add http://127.0.0.1:4000/token", "Stop", "Release"}));

    // Without `wfendpoint` the endpoint exists but does not listen.
    g_endpointCalls.clear();
    ASSERT_EQ(WorkflowApp_InitMinimal("prog"), 1);
    NotificationCenter_Fire("NotificationEndPoint", "Running", "fake-endpoint", nullptr);
    ASSERT_EQ(WorkflowApp_RemoveMinimal(), 1);
    EXPECT_EQ(g_endpointCalls, (std::vector<std::string>{"Create", "Stop", "Release"}));
    // Without other operations the context makes the process's own endpoint.
    ASSERT_EQ(WorkflowApp_SetEndPointHooks(nullptr), 1);
    ASSERT_EQ(WorkflowApp_InitMinimal("prog"), 1);
    EXPECT_EQ(WorkflowApp_GetNotificationEndPointHandle(&endpoint), 1);
    EXPECT_EQ(NotificationEndPoint_IsRunning(endpoint), 0);
}

TEST_F(WorkflowAppTest, InteropRegistersTheLibrariesThatAreThere) {
    const int32_t before = Interop_GetLibraryCount();
    EXPECT_EQ(WorkflowApp_InitInterop(), 1);
    // The core's and the engine's script classes; the repository's are not there yet.
    EXPECT_EQ(Interop_GetLibraryCount(), before + 2);
    for (const char* name : {"QVR.Registry", "QVR.App"}) {
        char id[INTEROP_INSTANCE_ID_SIZE] = "";
        EXPECT_EQ(Interop_DispatchCreateInstance(name, id, sizeof(id), nullptr, nullptr, nullptr), 1) << name;
        EXPECT_EQ(Interop_DispatchReleaseInstance(id), 1) << name;
    }
}

// ---- Switches -------------------------------------------------------------------------------------

TEST_F(WorkflowAppTest, SwitchesSetTheFlagsWithoutCase) {
    struct Case {
        const char* commandLine;
        int64_t worker, selfUpdate;
        uint32_t interopVerbose;
    } cases[] = {
        {"prog", 0, 0, 0},
        {"prog --wfworker", 1, 0, 0},
        {"prog --WFSelfUpdate --x", 0, 1, 0},
        {"prog --DebugInterop --wfworker --wfselfupdate", 1, 1, 1},
        {"prog --wfworkers -wfworker", 0, 0, 0},
    };
    for (const Case& c : cases) {
        Interop_SetVerbose(0);
        Recreate(c.commandLine);
        uint32_t verbose = 0;
        Interop_GetVerbose(&verbose);
        EXPECT_EQ(WorkflowApp_IsWorker(), c.worker) << c.commandLine;
        EXPECT_EQ(WorkflowApp_IsSelfUpdate(), c.selfUpdate) << c.commandLine;
        EXPECT_EQ(verbose, c.interopVerbose) << c.commandLine;
    }
    const std::vector<std::string> filter(Workflow_SwitchFilterTable,
                                          Workflow_SwitchFilterTable + WORKFLOW_SWITCH_FILTER_COUNT);
    EXPECT_EQ(filter, (std::vector<std::string>{"debuginterop", "maxdays", "wfendpoint", "wfworker", "wfselfupdate"}));
}

// ---- Defaults -------------------------------------------------------------------------------------

TEST_F(WorkflowAppTest, DefaultsHoldTheListedValuesAndTypes) {
    const uint32_t S = DICTIONARY_TYPE_STRING, B = DICTIONARY_TYPE_BOOLEAN, I = DICTIONARY_TYPE_INT64;
    struct Case {
        const char* path;
        uint32_t type;
        const char* text;
    } cases[] = {
        {"localStorage", S, "{userAppData}Quarvelon{pathSlash}"},
        {"requiresElevated", B, "false"},
        {"alias.limitSize", I, "33554432"},
        {"catalog.limitSize", I, "33554432"},
        {"metafile.limitSize", I, "33554432"},
        {"storage.requests", I, "8"},
        {"storage.deltaFormat", S, "{sourceInfoHash}/{targetDigest}.quarvdelta"},
        {"storage.pieceFormat", S, "{targetInfoHash}/{targetDigest}.quarvpiece"},
        {"storage.partialExtension", S, ".quarvpartial"},
        {"storage.fileCompletes", I, "10"},
        {"storage.lockDirectory", S, "{moduleDirectory}_lock{pathSlash}"},
        {"storage.deltaCacheSize", I, "33554432"},
        {"storage.skipTimestamp", B, "false"},
        {"storage.skipAttributes", B, "false"},
        {"storage.selfUpdate", B, "false"},
        {"storage.systemBuffer", B, "true"},
        {"tls1.cipher", S,
         "ecdhe-ecdsa-aes256-gcm-sha384,ecdhe-rsa-aes256-gcm-sha384,ecdhe-ecdsa-aes128-gcm-sha256,"
         "ecdhe-rsa-aes128-gcm-sha256,rsa-aes256-gcm-sha384,rsa-aes128-gcm-sha256,ecdhe-ecdsa-aes256-sha384,"
         "ecdhe-rsa-aes256-sha384,ecdhe-ecdsa-aes256-sha,ecdhe-rsa-aes256-sha,ecdhe-ecdsa-aes128-sha256,"
         "ecdhe-rsa-aes128-sha256,ecdhe-ecdsa-aes128-sha,ecdhe-rsa-aes128-sha,rsa-aes256-sha256,rsa-aes256-sha,"
         "rsa-aes128-sha256,rsa-aes128-sha"},
        {"tls1.versionMin", S, "1.0"},
        {"tls1.versionMax", S, "1.2"},
        {"alias.webGetCacheMinAge", I, "60"},
        {"workflow.webGetCacheMinAge", I, "60"},
        {"webGetPool.maxHosts", I, "5"},
        {"webGetPool.maxHostConnections", I, "6"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TypeAt(c.path), c.type) << c.path;
        EXPECT_EQ(Config(c.path), c.text) << c.path;
    }
    // The weights are single-precision values widened to double, kept with every digit.
    struct Weight {
        const char* path;
        float value;
        const char* text;
    } weights[] = {{"repository.copyWeight", 0.8f, "0.800000011920929"},
                   {"repository.applyWeight", 0.12f, "0.11999999731779099"},
                   {"repository.cleanWeight", 0.08f, "0.07999999821186066"}};
    Dictionary* config = nullptr;
    WorkflowApp_GetConfigHandle(&config);
    for (const Weight& w : weights) {
        double value = 0;
        EXPECT_EQ(TypeAt(w.path), (uint32_t)DICTIONARY_TYPE_FLOAT64) << w.path;
        EXPECT_EQ(Config(w.path), w.text) << w.path;
        ASSERT_EQ(Dictionary_GetFloat64ByPath(config, w.path, &value), 1) << w.path;
        EXPECT_NEAR(value, (double)w.value, 1e-15) << w.path;
    }
}

TEST_F(WorkflowAppTest, ConfigReadersFallBackAndDecodeBooleans) {
    EXPECT_EQ(Config("no.such.key", "fallback"), "fallback");
    ASSERT_EQ(LoadJson(R"({"flags": {"a": "YES", "b": "off", "c": "maybe", "d": 1, "e": true, "f": ""},
                           "text": "caf&#233;"})"),
              1);
    struct Case {
        const char* path;
        uint32_t fallback, expected;
    } cases[] = {
        {"flags.a", 0, 1}, {"flags.b", 1, 0}, {"flags.c", 1, 1}, {"flags.c", 0, 0}, {"flags.d", 0, 1},
        {"flags.e", 0, 1}, {"flags.f", 1, 1}, {"flags.missing", 1, 1}, {"storage.systemBuffer", 0, 1},
    };
    for (const Case& c : cases) {
        uint32_t value = 9;
        EXPECT_EQ(WorkflowApp_GetConfigBoolean(c.path, c.fallback, &value), 1) << c.path;
        EXPECT_EQ(value, c.expected) << c.path << " default " << c.fallback;
    }
    // References the configuration stores are turned back into characters.
    EXPECT_EQ(Config("text"), "caf\xC3\xA9");
}

TEST_F(WorkflowAppTest, ChangesAfterCreationAreAnnouncedAndPassedToInteropLibraries) {
    ASSERT_NE(Interop_Add("test-library", LibraryInit, LibraryRemove, LibraryCreate, LibraryOverride, RecordOption),
              nullptr);
    g_options.clear();
    NotificationCenter_AddObserver("Config", "OptionChanged", nullptr, RecordChange);
    Dictionary* config = nullptr;
    WorkflowApp_GetConfigHandle(&config);
    // A load announces its changes, but does not pass them to the libraries.
    ASSERT_EQ(LoadJson(R"({"tls1": {"versionMax": "1.1"}})"), 1);
    EXPECT_EQ(g_options, std::vector<std::string>{});
    g_changes.clear();
    Dictionary_SetStringByPath(config, "tls1.versionMin", "1.1");
    EXPECT_EQ(g_changes, std::vector<std::string>{"tls1.versionMin=1.1"});
    EXPECT_EQ(g_options, std::vector<std::string>{"tls1.versionMin=1.1"});
    NotificationCenter_RemoveObserver("Config", "OptionChanged", nullptr, RecordChange);
}

TEST_F(WorkflowAppTest, CreationAnnouncesNoDefaults) {
    NotificationCenter_AddObserver("Config", "OptionChanged", nullptr, RecordChange);
    Recreate("prog");
    EXPECT_EQ(g_changes, std::vector<std::string>{});
    NotificationCenter_RemoveObserver("Config", "OptionChanged", nullptr, RecordChange);
}

// ---- Macros and expansion -------------------------------------------------------------------------

TEST_F(WorkflowAppTest, ExpanderAnswersVersionRestartArgumentsAndMacros) {
    ASSERT_EQ(LoadJson(R"({"macros": {"a.b.Product": "Thing", "Plain": "x&#8364;y", "AppVersion": "9",
                                      "RestartArguments": "no", "Number": 5, "List": ["q"]}})"),
              1);
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {"{appversion}", "6.2.42"},      // built in, before a configured macro of the same name
        {"{RestartArguments}", ""},      // the restart arguments, empty at first
        {"{Product}-{PLAIN}", "Thing-x\xE2\x82\xAC" "y"}, // the name after the last dot; references decoded
        {"{Number}", "5"},
        {"{List}|{b.Product}|{Unknown}", "{List}|{b.Product}|{Unknown}"},
    };
    for (const Case& c : cases) EXPECT_EQ(Expand(c.text), c.expected) << c.text;
    EXPECT_EQ(WorkflowApp_AddMacro("Product", "Other"), 1);
    EXPECT_EQ(Expand("{Product}"), "Other");
    char value[64] = "x";
    EXPECT_EQ(WorkflowApp_ExpandKey(nullptr, "missing", nullptr, value, sizeof(value)), 0);
    EXPECT_STREQ(value, "");
    // The buffer may be the source itself.
    char same[64] = "{AppVersion}!";
    EXPECT_EQ(WorkflowApp_ExpandString(same, same, sizeof(same)), 1);
    EXPECT_STREQ(same, "6.2.42!");
    // A dictionary tree is expanded in every string.
    Dictionary* dict = ParseJson(R"({"a": {"b": ["{Product}", "{AppVersion}"]}})");
    EXPECT_EQ(WorkflowApp_ExpandDictionary(dict), 1);
    Dictionary* root = nullptr;
    Dictionary_SkipRoot(dict, &root);
    char text[64];
    Dictionary_GetStringByPath(root, "a.b[1]", text, sizeof(text));
    EXPECT_STREQ(text, "6.2.42");
    Dictionary_GetStringByPath(root, "a.b[0]", text, sizeof(text));
    EXPECT_STREQ(text, "Other");
    Dictionary_Release(&dict);
}

// The skin's own macros are its author's templates: one may name another, and each is expanded
// where it is used. What the environment, the platform or a page gives is text, inserted once.
TEST_F(WorkflowAppTest, TheSkinsMacrosAreTemplatesAndOutsideValuesText) {
    ScopedEnv outside{{"QVR_OUTSIDE_TEXT", "{Upper:evil}/{AppVersion}"}};
    ASSERT_EQ(LoadJson(R"({"macros": {"base": "/srv/{name}", "name": "app", "file": "{base}/{leaf}",
                                      "leaf": "{Env:QVR_OUTSIDE_TEXT}", "loop": "{loop}"}})"),
              1);
    EXPECT_EQ(Expand("{file}"), "/srv/app/{Upper:evil}/{AppVersion}");
    EXPECT_EQ(Expand("{Upper:{base}}"), "/SRV/APP");
    EXPECT_EQ(Expand("{loop}x"), "{loop}x"); // a template naming itself ends, the text left
    // A page's macro is text, and replaces a template of the same name.
    EXPECT_EQ(WorkflowApp_AddMacro("name", "{base}"), 1);
    EXPECT_EQ(Expand("{file}"), "/srv/{base}/{Upper:evil}/{AppVersion}");
    EXPECT_EQ(Expand("{name}"), "{base}");
}

TEST_F(WorkflowAppTest, PathMacrosEndWithOneSlash) {
    struct Case {
        const char* config;
        const char* localStorage;
        const char* lockDirectory;
    } cases[] = {
        {R"({"localStorage": "", "storage": {"lockDirectory": "/run/lock"}})", "", "/run/lock/"},
        {R"({"localStorage": "C:\\data\\x", "storage": {"lockDirectory": "/l/"}})", "C:/data/x/", "/l/"},
        {R"({"localStorage": "{AppVersion}/s"})", "6.2.42/s/", "/l/"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(LoadJson(c.config), 1) << c.config;
        // The macros are kept private ("#"), under the names without the mark.
        EXPECT_EQ(Expand("{localStorage}"), c.localStorage) << c.config;
        EXPECT_EQ(Expand("{lockDirectory}"), c.lockDirectory) << c.config;
    }
}

TEST(WorkflowAppEntityTest, ReferencesRoundTripAndBadOnesStayText) {
    struct Case {
        const char* plain;
        const char* entitized;
    } cases[] = {
        {"abc", "abc"},
        {"caf\xC3\xA9", "caf&#233;"},
        {"\xE2\x82\xAC", "&#8364;"},
        {"\xF0\x9F\x98\x80!", "&#128512;!"},
    };
    char buffer[64];
    for (const Case& c : cases) {
        EXPECT_EQ(WorkflowApp_ConvertToEntitizedString(c.plain, buffer, sizeof(buffer)), 1);
        EXPECT_STREQ(buffer, c.entitized);
        EXPECT_EQ(WorkflowApp_ConvertFromEntitizedString(c.entitized, buffer, sizeof(buffer)), 1);
        EXPECT_STREQ(buffer, c.plain);
    }
    const char* untouched[] = {"&#;", "&#65", "&#x41;", "&#0;", "&#1114112;", "&#55296;", "&#123456789012;", "&"};
    for (const char* text : untouched) {
        EXPECT_EQ(WorkflowApp_ConvertFromEntitizedString(text, buffer, sizeof(buffer)), 1) << text;
        EXPECT_STREQ(buffer, text);
    }
    // A stray byte is written as its value; a result that does not fit is cut and reported.
    EXPECT_EQ(WorkflowApp_ConvertToEntitizedString("a\xFF", buffer, sizeof(buffer)), 1);
    EXPECT_STREQ(buffer, "a&#255;");
    char small[6];
    EXPECT_EQ(WorkflowApp_ConvertToEntitizedString("ab\xC3\xA9", small, sizeof(small)), 0);
    EXPECT_STREQ(small, "ab");
    EXPECT_EQ(WorkflowApp_ConvertFromEntitizedString("&#65;&#66;cdefgh", small, sizeof(small)), 0);
    EXPECT_STREQ(small, "ABcde");
}

// ---- Loading ----------------------------------------------------------------------------------------

TEST_F(WorkflowAppTest, LoadAppliesToClientCacheAndPool) {
    ASSERT_EQ(LoadJson(R"({"hostnameWhitelist": ["one.example:8080", "https://two.example/x, three.example"],
                           "webGet": {"userAgent": "Agent/1", "timeout": 42},
                           "webGetPool": {"maxHostConnections": 3},
                           "workflow": {"webGetCacheMinAge": 0}, "alias": {"webGetCacheMinAge": 7}})"),
              1);
    for (const char* host : {"one.example", "two.example", "three.example"}) EXPECT_EQ(WebGet_IsWhitelisted(host), 1) << host;
    char agent[64];
    WebGet_GetUserAgent(agent, sizeof(agent));
    EXPECT_STREQ(agent, "Agent/1");
    int32_t timeout = 0;
    WebGet_GetDefaultTimeout(&timeout);
    EXPECT_EQ(timeout, 42);
    uint32_t connections = 0;
    WebGetPool_GetMaxHostConnectionCount(&connections);
    EXPECT_EQ(connections, 3u);
    struct Store {
        const char* name;
        int64_t minAge;
    } stores[] = {{"workflow", 0}, {"alias", 7}};
    for (const Store& s : stores) {
        WebGetCacheStore* store = nullptr;
        ASSERT_EQ(WebGetCache_GetStore(s.name, &store), 1) << s.name;
        int64_t age = -1;
        WebGetCacheStore_GetMinAge(store, &age);
        EXPECT_EQ(age, s.minAge) << s.name;
        WebGetCacheStore_Release(&store);
    }
    // A negative age leaves the workflow store as it was; loading again holds the stores once.
    ASSERT_EQ(LoadJson(R"({"workflow": {"webGetCacheMinAge": -5}, "alias": {"webGetCacheMinAge": 9}})"), 1);
    WebGetCacheStore* store = nullptr;
    ASSERT_EQ(WebGetCache_GetStore("workflow", &store), 1);
    int64_t age = -1;
    WebGetCacheStore_GetMinAge(store, &age);
    EXPECT_EQ(age, 0);
    WebGetCacheStore_Release(&store);
}

TEST_F(WorkflowAppTest, AliasStoreNeedsAnAgeOfOneOrMore) {
    ASSERT_EQ(LoadJson(R"({"alias": {"webGetCacheMinAge": 0}})"), 1);
    WebGetCacheStore* store = nullptr;
    EXPECT_EQ(WebGetCache_GetStore("alias", &store), 0);
}

TEST_F(WorkflowAppTest, UnknownCipherNamesChangeNothing) {
    TLS1_CiphersEnable(0);
    ASSERT_EQ(LoadJson(R"({"tls1": {"cipher": "no-such-suite, rsa-aes128-sha,  other"}})"), 1);
    int enabled = 0;
    for (const TLS1CipherInfo& info : TLS1_CipherInfo) enabled += info.Enabled ? 1 : 0;
    EXPECT_EQ(enabled, 1);
    const uint16_t known = TLS1_CipherTranslate("rsa-aes128-sha");
    for (const TLS1CipherInfo& info : TLS1_CipherInfo)
        if (info.Code == known) {
            EXPECT_EQ(info.Enabled, 1u);
        }
    // Unknown names only: nothing is turned on or off.
    ASSERT_EQ(LoadJson(R"({"tls1": {"cipher": "bogus,also-bogus"}})"), 1);
    int after = 0;
    for (const TLS1CipherInfo& info : TLS1_CipherInfo) after += info.Enabled ? 1 : 0;
    EXPECT_EQ(after, 1);
}

TEST_F(WorkflowAppTest, TlsVersionsAreTranslatedAndUnknownOnesIgnored) {
    ASSERT_EQ(LoadJson(R"({"tls1": {"versionMin": "1.1", "versionMax": "1.2"}})"), 1);
    EXPECT_EQ(TLS1_Version_Min, 0x32);
    ASSERT_EQ(LoadJson(R"({"tls1": {"versionMin": "9.9"}})"), 1);
    EXPECT_EQ(TLS1_Version_Min, 0x32);
    ASSERT_EQ(LoadJson(R"({"tls1": {"versionMin": "1.0"}})"), 1);
    EXPECT_EQ(TLS1_Version_Min, 0x31);
}

TEST_F(WorkflowAppTest, RedirectRulesComeFromEachLoadsOwnSource) {
    auto redirect = [](const char* url) {
        char buffer[256];
        strcpy(buffer, url);
        WebGet_Redirect(0, buffer, sizeof(buffer));
        return std::string(buffer);
    };
    ASSERT_EQ(LoadJson(R"({"webGet": {"redirect": {"r1": {"pattern": "old", "replacement": "new", "mutable": true}}}})"), 1);
    EXPECT_EQ(redirect("http://h/old"), "http://h/new");
    ASSERT_EQ(WebGet_RedirectRemove("r1"), 1);
    // The merged configuration still holds the rule, but a load without rules adds none.
    ASSERT_EQ(LoadJson(R"({"other": 1})"), 1);
    EXPECT_EQ(Config("webGet.redirect.r1.pattern"), "old");
    EXPECT_EQ(redirect("http://h/old"), "http://h/old");
}

TEST_F(WorkflowAppTest, WrongTypesAreSkipped) {
    uint32_t connections = 0;
    WebGetPool_GetMaxHostConnectionCount(&connections);
    int32_t timeout = 0;
    WebGet_GetDefaultTimeout(&timeout);
    ASSERT_EQ(LoadJson(R"({"macros": ["a", "b"], "hostnameWhitelist": "solo.example",
                           "registryWhitelist": {"readOnly": 5, "readWrite": {"x": 1}},
                           "keyStores": {"k1": 5, "k2": {"a": "b"}}, "thumbprintStores": {"t1": "abc", "t2": []},
                           "certificateStores": {"app": "platform", "interop": {"a": "b"}},
                           "webGet": {"timeout": "long", "macros": "m", "redirect": []},
                           "webGetPool": {"maxHostConnections": -1, "maxHosts": "many"},
                           "alias": {"webGetCacheMinAge": "soon"}})"),
              1);
    // A single text counts as a list of one.
    EXPECT_EQ(WebGet_IsWhitelisted("solo.example"), 1);
    uint32_t nowConnections = 0;
    WebGetPool_GetMaxHostConnectionCount(&nowConnections);
    EXPECT_EQ(nowConnections, connections);
    int32_t nowTimeout = 0;
    WebGet_GetDefaultTimeout(&nowTimeout);
    EXPECT_EQ(nowTimeout, timeout);
    CertStoreTable* keys = Authenticate_GetKeyStoreTableHandle();
    CertStoreInterface* store = nullptr;
    EXPECT_EQ(CertStoreTable_GetInterfaceHandle(keys, "k1", &store), 0);
    EXPECT_EQ(CertStoreTable_GetInterfaceHandle(keys, "k2", &store), 0);
    CertStoreTable* certs = Authenticate_GetCertStoreTableHandle();
    EXPECT_EQ(CertStoreTable_GetInterfaceHandle(certs, "t1", &store), 0);
    WebGetCacheStore* cache = nullptr;
    EXPECT_EQ(WebGetCache_GetStore("alias", &cache), 0);
}

TEST_F(WorkflowAppTest, KeyStoresJoinListsAndAreNotRemovable) {
    // "a2V5" is "key"; the list's texts are joined without separator.
    ASSERT_EQ(LoadJson(R"({"keyStores": {"joined": ["a2", "V5"], "single": "a2V5"}})"), 1);
    CertStoreTable* keys = Authenticate_GetKeyStoreTableHandle();
    for (const char* name : {"joined", "single"}) {
        CertStoreInterface* store = nullptr;
        ASSERT_EQ(CertStoreTable_GetInterfaceHandle(keys, name, &store), 1) << name;
        const uint8_t* key = nullptr;
        uint32_t size = 0;
        ASSERT_EQ(CertStoreInterface_GetKey(store, &key, &size), 1) << name;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(key), size), "key") << name;
        CertStoreTable_ReleaseInterfaceHandle(keys, &store);
        EXPECT_EQ(CertStoreTable_Remove(keys, name), 0) << name;
    }
    EXPECT_EQ(WorkflowApp_KeyStoreAdd("removable", 1, "a2V5"), 1);
    EXPECT_EQ(WorkflowApp_KeyStoreAdd("bad", 1, "%%%"), 0);
    EXPECT_EQ(CertStoreTable_Remove(keys, "removable"), 1);
}

TEST_F(WorkflowAppTest, TheAppStoreListNeverHoldsItself) {
    CertStoreList* app = Authenticate_GetCertStoreAppListHandle();
    EXPECT_EQ(WorkflowApp_AddToCertStoreList(app, "app"), 0);
    EXPECT_EQ(WorkflowApp_AddToCertStoreList(app, "platform"), 1);
    ASSERT_EQ(LoadJson(R"({"certificateStores": {"app": ["app", "null"], "interop": ["app"], "webGet": ["app"],
                                                  "dataStore": ["nowhere"]}})"),
              1);
}

TEST_F(WorkflowAppTest, FileLoadTakesOnlyWholeObjectDocuments) {
    TempDir dir;
    struct Case {
        const char* name;
        const char* text; // null: no file
        int64_t result;
        const char* requests;
    } cases[] = {
        {"missing.json", nullptr, 0, "8"},
        {"cut.json", R"({"storage": {"requests": 99}, "tls1": {"versionMin": )", 0, "8"},
        {"list.json", R"([{"storage": {"requests": 98}}])", 0, "8"},
        {"text.json", R"("storage")", 0, "8"},
        {"good.json", R"({"storage": {"requests": 12}})", 1, "12"},
    };
    for (const Case& c : cases) {
        const std::string path = dir.file(c.name);
        if (c.text) {
            std::ofstream(path) << c.text;
            chmod(path.c_str(), 0600);
        }
        uint32_t count = 0;
        Dictionary* config = nullptr;
        WorkflowApp_GetConfigHandle(&config);
        Dictionary_ItemGetCount(config, &count);
        EXPECT_EQ(WorkflowApp_LoadConfigFromFile(path.c_str()), c.result) << c.name;
        EXPECT_EQ(Config("storage.requests"), c.requests) << c.name;
        uint32_t after = 0;
        Dictionary_ItemGetCount(config, &after);
        if (c.result == 0) {
            EXPECT_EQ(after, count) << c.name;
        }
    }
}
