// Services of the engine context: interop libraries loaded after their signature check, JWS
// checks against named stores, the host's request hooks, crash events and log expiry.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/certs/authenticate.h"
#include "core/formats/interop.h"
#include "core/formats/json.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/time.h"
#include "core/web/analytics.h"
#include "core/web/web_get_request.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/dictionary_text.h"
#include "tests/support/temp_dir.h"
#include "workflow/workflow_app.h"
#include "workflow/workflow_app_internal.h"

namespace {

// RFC 7515 appendix A.1: an HS256 token and its key (standard Base64).
const char kToken[] =
    "eyJ0eXAiOiJKV1QiLA0KICJhbGciOiJIUzI1NiJ9."
    "eyJpc3MiOiJqb2UiLA0KICJleHAiOjEzMDA4MTkzODAsDQogImh0dHA6Ly9leGFtcGxlLmNvbS9pc19yb290Ijp0cnVlfQ."
    "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
const char kKey[] = "AyM1SysPpbyDfgZld3umj1qzKObwVMkoqQ+EstJQLr/T+1qS0gZH75aKtMN3Yj0iPS4hcgUuTwjAzZr1Z9CAow==";

std::vector<std::string> g_seen;
std::string g_log;

int64_t Record(void*, const char*, const char* name, const char* instance, Dictionary* info) {
    g_seen.push_back(std::string(name) + "|" + instance + "|" + (info ? DictionaryAsJson(info) : ""));
    return 1;
}
void KeepLog(const char* text) {
    g_log += text;
}

std::vector<std::string> g_requests;
uint32_t TakeAdd(WebGetRequest*) {
    g_requests.push_back("add");
    return 1;
}
uint32_t TakeRemove(WebGetRequest*) {
    g_requests.push_back("remove");
    return 1;
}
uint32_t OtherAdd(WebGetRequest*) {
    g_requests.push_back("other");
    return 1;
}
uint32_t DeclineAdd(WebGetRequest*) {
    g_requests.push_back("decline add");
    return 0;
}
uint32_t DeclineRemove(WebGetRequest*) {
    g_requests.push_back("decline remove");
    return 0;
}

class WorkflowAppServicesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(WorkflowApp_Init("workflow_app_services.log", DEBUG_FLAG_EXTERNAL_PRINT), 1);
        Debug_PrintCallback(KeepLog);
        g_seen.clear();
        g_log.clear();
        g_requests.clear();
    }
    void TearDown() override {
        Debug_PrintCallback(nullptr);
        NotificationCenter_RemoveObserver("Interop", "Load", nullptr, Record);
        NotificationCenter_RemoveObserver("Interop", "Unload", nullptr, Record);
        EXPECT_EQ(WorkflowApp_Remove(nullptr), 1);
    }
    std::string Id() {
        char id[64];
        WorkflowApp_GetInstanceId(id, sizeof(id));
        return id;
    }
};

std::vector<std::string> Listing(const std::string& directory) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(directory.c_str())) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') names.push_back(entry->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST_F(WorkflowAppServicesTest, ChecksFinishedInOnePassAreFreedInSuccessivePasses) {
    NotificationCenter_AddObserver("Interop", "Load", nullptr, Record);
    NotificationCenter_AddObserver("Interop", "Unload", nullptr, Record);
    // With checking off every check is done at its first poll.
    WorkflowApp_SetSecurityEnabled(0);
    ASSERT_EQ(WorkflowApp_LoadInterop("one", "/nonexistent/one.so"), 1);
    ASSERT_EQ(WorkflowApp_LoadInterop("two", "/nonexistent/two.so"), 1);
    WorkflowAppInteropList* pending = &GlobalWorkflowApp->InteropAuthentications;
    std::vector<uint32_t> counts;
    for (int pass = 0; pass < 3; pass++) {
        WorkflowApp_Process();
        counts.push_back(pending->Count);
    }
    EXPECT_EQ(counts, (std::vector<uint32_t>{2, 1, 0}));
    const std::string id = Id();
    ASSERT_EQ(g_seen.size(), 2u);
    EXPECT_EQ(g_seen[0], "Load|" + id + R"(|"successful":false,"name":"one","path":"/nonexistent/one.so")");
    EXPECT_EQ(g_seen[1], "Load|" + id + R"(|"successful":false,"name":"two","path":"/nonexistent/two.so")");
    EXPECT_NE(g_log.find("Loading interop library (/nonexistent/one.so) (v)"), std::string::npos) << g_log;

    // With checking on, a file the interop store does not trust is never loaded.
    g_seen.clear();
    WorkflowApp_SetSecurityEnabled(1);
    ASSERT_EQ(WorkflowApp_LoadInterop("three", "/proc/self/exe"), 1);
    StepUntil([] { return !g_seen.empty(); },
              [] {
                  WorkflowApp_Process();
                  WorkflowApp_Wait(10);
              });
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0], "Load|" + id + R"(|"successful":false,"name":"three","path":"/proc/self/exe")");

    g_seen.clear();
    ASSERT_EQ(WorkflowApp_UnloadInterop("one", "/nonexistent/one.so"), 1);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0], "Unload|" + id + R"(|"successful":false,"name":"one","path":"/nonexistent/one.so")");
}

TEST_F(WorkflowAppServicesTest, ACheckedLibraryIsLoadedAndUnloadedByItsPath) {
    NotificationCenter_AddObserver("Interop", "Load", nullptr, Record);
    NotificationCenter_AddObserver("Interop", "Unload", nullptr, Record);
    const std::string path = std::string(INTEROP_PLUGIN_DIR) + "/interop_plugin_full.so";
    const int32_t before = Interop_GetLibraryCount();
    WorkflowApp_SetSecurityEnabled(0);
    ASSERT_EQ(WorkflowApp_LoadInterop("plugin", path.c_str()), 1);
    // Nothing is loaded before the pump has the check's result.
    EXPECT_EQ(Interop_GetLibraryCount(), before);
    WorkflowApp_Process();
    EXPECT_EQ(Interop_GetLibraryCount(), before + 1);
    ASSERT_EQ(WorkflowApp_UnloadInterop("plugin", path.c_str()), 1);
    const std::string id = Id();
    EXPECT_EQ(g_seen, (std::vector<std::string>{
                          "Load|" + id + R"(|"successful":true,"name":"plugin","path":")" + path + "\"",
                          "Unload|" + id + R"(|"successful":true,"name":"plugin","path":")" + path + "\"",
                      }));
    StepUntil([&] { return Interop_GetLibraryCount() <= before; },
              [] {
                  WorkflowApp_Process();
                  WorkflowApp_Wait(10);
              });
    EXPECT_EQ(Interop_GetLibraryCount(), before);
}

TEST_F(WorkflowAppServicesTest, JwsChecksUseTheNamedStoresAndDistrustMissingOnes) {
    ASSERT_EQ(WorkflowApp_KeyStoreAdd("rfc", 1, kKey), 1);
    struct Case {
        const char* names;
        int64_t expected;
        bool missingLogged;
    } cases[] = {
        {"rfc", 1, false},
        {"RFC", 1, false},
        {"missing", 0, true},
        {"missing, rfc", 1, true},
        {"", 0, true}, // "app" is no key store
    };
    for (const Case& c : cases) {
        g_log.clear();
        EXPECT_EQ(WorkflowApp_JwsVerifyKeyStore(kToken, c.names), c.expected) << c.names;
        EXPECT_EQ(g_log.find("Unable to find certificate store (") != std::string::npos, c.missingLogged)
            << c.names << g_log;
    }
    g_log.clear();
    EXPECT_EQ(WorkflowApp_JwsVerifyKeyStore(kToken, "missing"), 0);
    EXPECT_NE(g_log.find("Unable to find certificate store (missing)\n"), std::string::npos) << g_log;
    EXPECT_EQ(WorkflowApp_JwsVerifyKey(kToken, kKey), 1);
    EXPECT_EQ(WorkflowApp_JwsVerifyKey(kToken, "%%%"), 0);
    // The cert-store table holds no such key: the same token fails there.
    EXPECT_EQ(WorkflowApp_JwsVerifyCertStore(kToken, "rfc"), 0);

    EXPECT_EQ(WorkflowApp_KeyStoreRemove("rfc"), 1);
    EXPECT_EQ(WorkflowApp_KeyStoreRemove("rfc"), 0);
    EXPECT_EQ(WorkflowApp_JwsVerifyKeyStore(kToken, "rfc"), 0);
    // Stores the service binds itself are fixed.
    EXPECT_EQ(WorkflowApp_CertStoreRemove("platform"), 0);
}

TEST_F(WorkflowAppServicesTest, RequestHooksComeAsAPairBeforeThePool) {
    WebGetRequest* request = nullptr;
    ASSERT_EQ(WebGetRequest_Create(&request), 1);
    WebGetRequest_SetURL(request, "http://127.0.0.1:9/x");
    ASSERT_EQ(WorkflowApp_SetWebRequestHandler(TakeAdd, TakeRemove), 1);
    // One function alone changes nothing.
    EXPECT_EQ(WorkflowApp_SetWebRequestHandler(OtherAdd, nullptr), 0);
    EXPECT_EQ(WorkflowApp_SetWebRequestHandler(nullptr, TakeRemove), 0);
    EXPECT_EQ(WorkflowApp_WebGetRequestAdd(request), 1);
    EXPECT_EQ(WorkflowApp_WebGetRequestRemove(request), 1);
    // Declined requests go to the pool and come back from it.
    ASSERT_EQ(WorkflowApp_SetWebRequestHandler(DeclineAdd, DeclineRemove), 1);
    EXPECT_EQ(WorkflowApp_WebGetRequestAdd(request), 1);
    EXPECT_EQ(WorkflowApp_WebGetRequestRemove(request), 1);
    EXPECT_EQ(g_requests, (std::vector<std::string>{"add", "remove", "decline add", "decline remove"}));
    // Cleared, the pool alone answers.
    ASSERT_EQ(WorkflowApp_SetWebRequestHandler(nullptr, nullptr), 1);
    EXPECT_EQ(WorkflowApp_WebGetRequestAdd(request), 1);
    EXPECT_EQ(WorkflowApp_WebGetRequestRemove(request), 1);
    EXPECT_EQ(g_requests.size(), 4u);
    WebGetRequest_Release(&request);
}

TEST_F(WorkflowAppServicesTest, CrashEventsAreSentOnlyWhenBothReportsAreOn) {
    auto events = []() {
        Dictionary* list = nullptr;
        Dictionary_Create(&list);
        Analytics_Dump(list);
        const std::string text = DictionaryAsJson(list);
        Dictionary_Release(&list);
        return text;
    };
    WorkflowApp_AddMacro("Channel", "beta");
    EXPECT_EQ(WorkflowApp_SendCrashEventInterop("minidump", R"({"dump": "first-dump"})"), 1);
    EXPECT_EQ(events(), "");
    Dictionary* config = nullptr;
    Dictionary_Create(&config);
    Dictionary_SetBooleanByPath(config, "analytics.enabled", 1);
    Dictionary_SetStringByPath(config, "analytics.key", "k");
    Dictionary_SetStringByPath(config, "analytics.endPoint", "http://127.0.0.1:9/");
    Dictionary_SetInt32ByPath(config, "analytics.sendInterval", 100000);
    WorkflowApp_LoadConfigFromDictionary(config);
    Dictionary_Release(&config);
    Analytics_SetCrashDumpEnabled(1);
    EXPECT_EQ(WorkflowApp_SendCrashEventInterop("minidump", "{not json"), 0);
    EXPECT_EQ(WorkflowApp_SendCrashEventInterop("minidump", R"({"dump": "second-dump"})"), 1);
    const std::string sent = events();
    EXPECT_NE(sent.find(R"("event":"CrashDump")"), std::string::npos) << sent;
    EXPECT_NE(sent.find(R"("format":"minidump")"), std::string::npos) << sent;
    EXPECT_NE(sent.find(R"("appVersion":"6.2.42")"), std::string::npos) << sent;
    EXPECT_NE(sent.find(R"("Channel":"beta")"), std::string::npos) << sent;
    EXPECT_NE(sent.find(R"("dump":"second-dump")"), std::string::npos) << sent;
    EXPECT_EQ(sent.find("first-dump"), std::string::npos) << sent;
}

TEST_F(WorkflowAppServicesTest, OldDayLogsGoButNeverTheOneInUseNorWhatALinkNames) {
    TempDir dir, outside;
    const std::string log = dir.file("host.log");
    ASSERT_EQ(WorkflowApp_SetDebugLogging(log.c_str(), DEBUG_FLAG_FILE | DEBUG_FLAG_PER_DAY), 1);
    Log_Error("opens today's log\n");
    const std::vector<std::string> own = Listing(dir.path());
    ASSERT_EQ(own.size(), 1u);
    for (const char* name : {"host.01.02.2020.log", "host.other.log", "other.log", "host.01.02.2020.txt"})
        std::ofstream(dir.file(name)) << "x";
    mkdir(dir.file("host.folder.log").c_str(), 0700);
    std::ofstream(outside.file("target.log")) << "kept";
    ASSERT_EQ(symlink(outside.file("target.log").c_str(), dir.file("host.link.log").c_str()), 0);
    const std::vector<std::string> all = Listing(dir.path());
    const double now = Time_GetCurrentEncoded();

    // A day count this large keeps everything: counted in 32 bits it would wrap round and
    // delete every file.
    struct Days {
        const char* text;
        int64_t result;
    } counts[] = {{"30000", 1}, {"2147483647", 1}, {"99999999999999", 1}, {"-1", 0}, {"x", 0}, {"", 0}};
    for (const Days& c : counts) EXPECT_EQ(WorkflowApp_ExpireLogsAt(c.text, now + 5), c.result) << c.text;
    EXPECT_EQ(Listing(dir.path()), all);
    // Files made a moment ago are less than a day and a second old.
    EXPECT_EQ(WorkflowApp_ExpireLogsAt("1", now + 86399), 1);
    EXPECT_EQ(Listing(dir.path()), all);
    // Without day logs nothing goes.
    WorkflowApp_SetDebugLogging(log.c_str(), DEBUG_FLAG_FILE);
    EXPECT_EQ(WorkflowApp_ExpireLogsAt("0", now + 5), 0);
    EXPECT_EQ(Listing(dir.path()), all);
    WorkflowApp_SetDebugLogging(log.c_str(), DEBUG_FLAG_FILE | DEBUG_FLAG_PER_DAY);
    Log_Error("reopens today's log\n");

    EXPECT_EQ(WorkflowApp_ExpireLogsAt("0", now + 5), 1);
    std::vector<std::string> left = {own[0], "host.01.02.2020.txt", "host.folder.log", "host.link.log", "other.log"};
    std::sort(left.begin(), left.end());
    EXPECT_EQ(Listing(dir.path()), left);
    EXPECT_EQ(ReadFile(outside.file("target.log")), "kept");
    EXPECT_NE(g_log.find("Removing expired log - " + dir.file("host.other.log") + "\n"), std::string::npos) << g_log;
    // The process has no `maxdays`: the host's call at exit deletes nothing.
    EXPECT_EQ(WorkflowApp_ExpireLogs(), 0);
    WorkflowApp_SetDebugLogging("workflow_app_services.log", DEBUG_FLAG_EXTERNAL_PRINT);
}
