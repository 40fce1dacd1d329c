// The running engine context: the pump and its status report, the worker's end after a
// disconnect, restart and implode requests, the crash path and null out-pointers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/notification_center.h"
#include "tests/support/abort_hook.h"
#include "tests/support/dictionary_text.h"
#include "workflow/workflow_app.h"
#include "workflow/workflow_app_internal.h"

namespace {

struct Seen {
    std::string sender;
    std::string info;
};
std::vector<Seen> g_seen;

int64_t Record(void*, const char*, const char*, const char* instance, Dictionary* info) {
    Dictionary* copy = nullptr;
    Dictionary_Create(&copy);
    if (info) Dictionary_Merge(copy, info, DICTIONARY_MERGE_OVERWRITE);
    g_seen.push_back({instance ? instance : "", DictionaryAsJson(copy)});
    Dictionary_Release(&copy);
    return 1;
}

class WorkflowAppProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ASSERT_EQ(WorkflowApp_Init("workflow_app_process.log", DEBUG_FLAG_EXTERNAL_PRINT), 1);
        InstallTestAbortHook();
        g_seen.clear();
    }
    void TearDown() override {
        for (auto& w : watched) NotificationCenter_RemoveObserver(w.first.c_str(), w.second.c_str(), nullptr, Record);
        EXPECT_EQ(WorkflowApp_Remove(nullptr), 1);
    }
    std::vector<std::pair<std::string, std::string>> watched;
    void Watch(const char* type, const char* name) {
        watched.emplace_back(type, name);
        NotificationCenter_AddObserver(type, name, nullptr, Record);
    }
    void Passes(int count) {
        for (int i = 0; i < count; i++) WorkflowApp_Process();
    }
    // The next pass rebuilds the status, as if a second had gone by.
    void SecondLater() { GlobalWorkflowApp->NextStatusTime = 0; }
    std::string InstanceId() {
        char id[64];
        WorkflowApp_GetInstanceId(id, sizeof(id));
        return id;
    }
};

} // namespace

TEST_F(WorkflowAppProcessTest, StatusIsPublishedFirstThenOnlyOnChangeAtMostOncePerSecond) {
    Watch("WorkflowApp", "Status");
    Passes(3);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0].sender, InstanceId());
    for (const char* key : {"localReadBytes", "localWriteBytes", "localReadSpeed", "localMaxWriteSpeed",
                            "localReadBandwidth", "remoteWriteBytes", "remoteMaxReadSpeed", "remoteWriteBandwidth"})
        EXPECT_NE(g_seen[0].info.find(std::string("\"") + key + "\""), std::string::npos) << key << g_seen[0].info;

    // Nothing changed: a second later there is nothing to publish.
    SecondLater();
    Passes(2);
    EXPECT_EQ(g_seen.size(), 1u);

    // A change waits for the second to pass.
    ASSERT_EQ(WorkflowApp_SetLocalReadBandwidth(4096), 1);
    Passes(3);
    EXPECT_EQ(g_seen.size(), 1u);
    SecondLater();
    Passes(2);
    ASSERT_EQ(g_seen.size(), 2u);
    EXPECT_NE(g_seen[1].info.find("\"localReadBandwidth\":4096"), std::string::npos) << g_seen[1].info;
    EXPECT_NE(g_seen[1].info.find("\"localWriteBandwidth\":0"), std::string::npos) << g_seen[1].info;
}

TEST_F(WorkflowAppProcessTest, LimitsKeepTheOtherDirectionAndArriveByNotification) {
    ASSERT_EQ(WorkflowApp_SetRemoteWriteBandwidth(7000), 1);
    ASSERT_EQ(WorkflowApp_SetRemoteReadBandwidth(3000), 1);
    NotificationCenter_FireWithJSON("WorkflowApp", "LocalLimit", "x", "{\"writeBandwidth\": 9000}");
    NotificationCenter_FireWithJSON("WorkflowApp", "RemoteLimit", "x", "{\"readBandwidth\": 0}");
    int32_t read = -1, write = -1;
    WorkflowApp_GetRemoteReadBandwidth(&read);
    WorkflowApp_GetRemoteWriteBandwidth(&write);
    EXPECT_EQ(read, 0);
    EXPECT_EQ(write, 7000);
    WorkflowApp_GetLocalReadBandwidth(&read);
    WorkflowApp_GetLocalWriteBandwidth(&write);
    EXPECT_EQ(read, 0);
    EXPECT_EQ(write, 9000);
}

TEST_F(WorkflowAppProcessTest, DisconnectEndsTheWorkerOnThePumpsNextPass) {
    NotificationEndPoint* endpoint = nullptr;
    ASSERT_EQ(WorkflowApp_GetNotificationEndPointHandle(&endpoint), 1);
    EXPECT_EQ(WorkflowApp_IsDisconnected(), 0);
    EXPECT_EQ(WorkflowApp_IsActive(), 0);
    NotificationCenter_Fire("NotificationEndPoint", "Disconnected", reinterpret_cast<const char*>(endpoint), nullptr);
    // Seen, but only the pump decides that the worker may end.
    EXPECT_EQ(WorkflowApp_IsDisconnected(), 0);
    Passes(1);
    EXPECT_EQ(WorkflowApp_IsDisconnected(), 1);
}

TEST(WorkflowAppProcessLifeTest, WithoutAContextTheWorkerCountsAsDisconnectedAndIdle) {
    EXPECT_EQ(WorkflowApp_IsDisconnected(), 1);
    EXPECT_EQ(WorkflowApp_IsActive(), 0);
    EXPECT_EQ(WorkflowApp_IsBusy(), 0);
}

TEST_F(WorkflowAppProcessTest, AddAsksTheRunServiceOnALaterPass) {
    Watch("WorkflowRun", "Start");
    ASSERT_EQ(WorkflowApp_Add("https://example.test/flow.yaml"), 1);
    EXPECT_TRUE(g_seen.empty());
    Passes(2);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0].sender, "Global");
    EXPECT_EQ(g_seen[0].info, "\"url\":\"https://example.test/flow.yaml\"");
}

TEST_F(WorkflowAppProcessTest, RestartArgumentsAppendWithOneBlankAndFeedTheMacro) {
    char text[WORKFLOWAPP_ARGUMENTS_SIZE];
    ASSERT_EQ(WorkflowApp_AppendRestartArguments("--open=a"), 1);
    ASSERT_EQ(WorkflowApp_AppendRestartArguments("--elevated"), 1);
    WorkflowApp_GetRestartArguments(text, sizeof(text));
    EXPECT_STREQ(text, "--open=a --elevated");
    WorkflowApp_ExpandString("run {RestartArguments}", text, sizeof(text));
    EXPECT_STREQ(text, "run --open=a --elevated");
    WorkflowApp_SetRestartArguments("");
    WorkflowApp_AppendRestartArguments("x");
    WorkflowApp_GetRestartArguments(text, sizeof(text));
    EXPECT_STREQ(text, "x");
}

TEST_F(WorkflowAppProcessTest, ImplodeNamesTheRunningExecutable) {
    char path[WORKFLOWAPP_PATH_SIZE];
    WorkflowApp_GetImplodePath(path, sizeof(path));
    EXPECT_STREQ(path, "");
    ASSERT_EQ(WorkflowApp_Implode(), 1);
    WorkflowApp_GetImplodePath(path, sizeof(path));
    char restart[WORKFLOWAPP_PATH_SIZE];
    WorkflowApp_GetRestartPath(restart, sizeof(restart));
    EXPECT_STRNE(path, "");
    EXPECT_STREQ(path, restart);
}

// A program to restart or a folder to remove that names a location nobody named is not taken
// (a page's setRestartPath, an Implode's path): the earlier one stays.
TEST_F(WorkflowAppProcessTest, ARestartOrImplodeAtALocationWithoutItsFolderIsRefused) {
    char before[WORKFLOWAPP_PATH_SIZE], path[WORKFLOWAPP_PATH_SIZE];
    ASSERT_EQ(WorkflowApp_SetRestartPath("/opt/q/run"), 1);
    ASSERT_EQ(WorkflowApp_SetImplodePath("/opt/q/old"), 1);
    WorkflowApp_GetRestartPath(before, sizeof(before));
    EXPECT_STREQ(before, "/opt/q/run");
    for (const char* given : {"{workflowDirectory}/run", "{Env:QVR_NO_SUCH_VARIABLE}/run", "/x/{LocalStorage}"}) {
        EXPECT_EQ(WorkflowApp_SetRestartPath(given), 0) << given;
        WorkflowApp_GetRestartPath(path, sizeof(path));
        EXPECT_STREQ(path, "/opt/q/run") << given;
        EXPECT_EQ(WorkflowApp_SetImplodePath(given), 0) << given;
        WorkflowApp_GetImplodePath(path, sizeof(path));
        EXPECT_STREQ(path, "/opt/q/old") << given;
    }
    EXPECT_EQ(WorkflowApp_SetRestartPath("/opt/{notes}/run"), 1);
    // What the restart hands the program, word by word as it splits them (a page's
    // setRestartArguments): the earlier text stays.
    char arguments[WORKFLOWAPP_ARGUMENTS_SIZE];
    ASSERT_EQ(WorkflowApp_SetRestartArguments("--open=\"a b\" {notes}"), 1);
    for (const char* given : {"{workflowDirectory}/run.sh", "-x \"{Env:QVR_NO_SUCH_VARIABLE}\"", "a --b={LocalStorage}"}) {
        EXPECT_EQ(WorkflowApp_SetRestartArguments(given), 0) << given;
        WorkflowApp_GetRestartArguments(arguments, sizeof(arguments));
        EXPECT_STREQ(arguments, "--open=\"a b\" {notes}") << given;
    }
}

TEST_F(WorkflowAppProcessTest, CrashAndNullOutPointersStopTheProcess) {
    EXPECT_DEATH(WorkflowApp_Crash(), AbortRegex("Crashing"));
    uint32_t* nowhere = nullptr;
    EXPECT_DEATH(WorkflowApp_GetExitCode(nowhere), "Pointer is NULL");
    double* never = nullptr;
    EXPECT_DEATH(WorkflowApp_GetRunningTime(never), "Pointer is NULL");
}
