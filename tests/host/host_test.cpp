// The host's switch filters, the restart arguments and the hand-over text a second instance sends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/host.h"
#include "core/runtime/command_line.h"
#include "core/runtime/debug.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "skin/skin_app.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/dictionary_text.h"
#include "workflow/workflow_app.h"

namespace {

std::string RestartArguments(const char* commandLine) {
    char buffer[HOST_RESTART_ARGUMENTS_SIZE];
    EXPECT_EQ(Host_BuildRestartArguments(commandLine, buffer, sizeof(buffer)), 1);
    return buffer;
}

std::string HandOver(const std::string& commandLine, int64_t expected = 1) {
    char buffer[HOST_HANDOVER_MAX_LENGTH + 1];
    uint32_t length = 99;
    EXPECT_EQ(Host_BuildCommandLineParams(commandLine.c_str(), buffer, sizeof(buffer), &length), expected)
        << commandLine;
    EXPECT_EQ(length, std::string(buffer).size());
    return buffer;
}

TEST(Host, SwitchFilters) {
    for (const char* name : {"cef", "cefversion", "skinserver", "crashautosend", "crashid", "crashreport",
                             "crashsession", "devtools", "disablesecurity", "elevated", "ie", "sslkeylogfile", "skin"})
        EXPECT_EQ(Host_ShouldRemoveSwitch(name), 1) << name;
    for (const char* name : {"open", "verbose", "Skin", "wfworker", ""}) EXPECT_EQ(Host_ShouldRemoveSwitch(name), 0) << name;
    for (const char* name : {"debugfileid", "wfselfupdate", "wfendpoint", "wfworker"})
        EXPECT_EQ(Host_ShouldPassToChildRestart(name), 0) << name;
    for (const char* name : {"verbose", "elevated", "skin", "debug", "wfworkers"})
        EXPECT_EQ(Host_ShouldPassToChildRestart(name), 1) << name;
}

TEST(Host, RestartOfAWorkerKeepsOnlyWhatACopyMayInherit) {
    struct Case {
        const char* commandLine;
        const char* expected;
    } const cases[] = {
        {"/opt/host --wfworker --wfendpoint=http://127.0.0.1:9/x --debugfileid=worker --verbose=Workflow:3",
         "--verbose=Workflow:3"},
        {"/opt/host --wfselfupdate --skin=\"/a b/app.bundle\" --verbose", "--skin=\"/a b/app.bundle\" --verbose"},
        {"/opt/host", ""},
        // The program path is never an argument of its own copy.
        {"--verbose=1 --wfworker", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(RestartArguments(c.commandLine), c.expected) << c.commandLine;
    // A field that does not fit is left out whole, never cut into a different switch.
    char small[16];
    EXPECT_EQ(Host_BuildRestartArguments("/opt/host --custom=abcdefghij --verbose=1", small, sizeof(small)), 0);
    EXPECT_STREQ(small, "--verbose=1");
}

TEST(Host, ElevatedSwitchIsNeverDoubled) {
    struct Case {
        const char* arguments;
        const char* expected;
    } const cases[] = {
        {"", " --elevated"},
        {" --verbose=1", " --verbose=1 --elevated"},
        {" --elevated", " --elevated"},
        {" --verbose=1 --elevated --skin=x", " --verbose=1 --elevated --skin=x"},
        {" --elevatedness", " --elevatedness --elevated"},
    };
    for (const Case& c : cases) {
        char buffer[HOST_RESTART_ARGUMENTS_SIZE];
        snprintf(buffer, sizeof(buffer), "%s", c.arguments);
        EXPECT_EQ(Host_AddElevatedSwitch(buffer, sizeof(buffer)), 1);
        EXPECT_STREQ(buffer, c.expected);
    }
    char full[16] = " --verbose=1234";
    EXPECT_EQ(Host_AddElevatedSwitch(full, sizeof(full)), 0);
    EXPECT_STREQ(full, " --verbose=1234");
}

TEST(Host, HandOverCarriesWhatTheFiltersKeep) {
    EXPECT_EQ(HandOver("/opt/host --open=\"demo://x?a=1\" --verbose=Workflow:3 --skin=/s --devserver=http://d/ "
                       "--debuginterop --custom=\"a b\""),
              "{\"args\":[\"--open=\\\"demo://x?a=1\\\"\",\"--custom=\\\"a b\\\"\"]}");
    // A field the running instance could not read is left out; the others still go.
    EXPECT_EQ(HandOver("/opt/host --open=de\x80mo --name=\xc3\xa9t\xc3\xa9 --path=\xed\xa0\x80"),
              "{\"args\":[\"--name=\\u00E9t\\u00E9\"]}");
    EXPECT_EQ(HandOver("/opt/host --wfworker --crashreport", 0), "");
    EXPECT_EQ(HandOver("/opt/host", 0), "");
    // A text longer than the channel takes is not sent cut short: nothing is sent.
    EXPECT_EQ(HandOver("/opt/host --open=" + std::string(4080, 'a'), 0), "");
    EXPECT_EQ(HandOver("/opt/host --open=" + std::string(4000, 'a')).size(), 4000u + 20u);
}

TEST(Host, ReceivedTextsThatAreNotAHandOverAreRefused) {
    ASSERT_EQ(WorkflowApp_Init("host_test.log", DEBUG_FLAG_EXTERNAL_PRINT), 1);
    ASSERT_EQ(SkinApp_Init(), 1);
    for (const char* text : {"", "not json", "{\"args\": [", "\"--open\""})
        EXPECT_EQ(SkinApp_OnNewInstanceDataReceived(nullptr, text), 0) << text;
    EXPECT_EQ(SkinApp_OnNewInstanceDataReceived(nullptr, "{\"args\": [\"--open=x\"]}"), 1);
    SkinApp_Remove();
    uint32_t code = 0;
    WorkflowApp_Remove(&code);
}

std::vector<std::string> g_opened;

int64_t OnNewCommandLine(void*, const char*, const char*, const char*, Dictionary* info) {
    g_opened.push_back("{" + DictionaryAsJson(info) + "}");
    return 1;
}

TEST(Host, OpenedUrlsReachThePageAndOnlyTheFirstTheCommandLine) {
    char program[] = "/opt/host";
    char verbose[] = "--verbose=1";
    char* argv[] = {program, verbose, nullptr};
    Arguments_Init(2, argv);
    ASSERT_EQ(WorkflowApp_Init("host_test.log", DEBUG_FLAG_EXTERNAL_PRINT), 1);
    ASSERT_EQ(SkinApp_Init(), 1);
    NotificationCenter_AddObserver("SkinApp", "NewCommandLine", nullptr, OnNewCommandLine);
    EXPECT_EQ(Host_OpenURL("demo://first?a=1"), 1);
    EXPECT_EQ(Host_OpenURL("demo://second"), 1);
    StepUntil([] { return g_opened.size() >= 2; },
              [] {
                  EventQueue_Flush(nullptr);
                  NotificationCenter_Process();
                  Thread_Wait(1);
              });
    const char* commandLine = nullptr;
    CommandLine_Get(&commandLine);
    EXPECT_STREQ(commandLine, "/opt/host --verbose=1 --open=\"demo://first?a=1\"");
    ASSERT_EQ(g_opened.size(), 2u);
    EXPECT_EQ(g_opened[0], "{\"args\":[\"--open=\\\"demo://first?a=1\\\"\"]}");
    EXPECT_EQ(g_opened[1], "{\"args\":[\"--open=\\\"demo://second\\\"\"]}");
    NotificationCenter_RemoveObserver("SkinApp", "NewCommandLine", nullptr, OnNewCommandLine);
    SkinApp_Remove();
    uint32_t code = 0;
    WorkflowApp_Remove(&code);
    Arguments_Remove();
}

} // namespace
