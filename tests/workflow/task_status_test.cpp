// Tests of the Task object's status and error lists: the ignore rule, repeated errors, error maps,
// identifiers from lower-layer codes, the status window and the list copies.
#include "tests/workflow/task_fixture.h"

namespace {

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new TaskEnvironment);
const bool g_bounded = BoundEveryTest();

TEST_F(TaskTest, IgnoreErrorSuppressesWhatItNames) {
    const struct {
        const char* ignore;
        const char* error;
        bool kept;
    } cases[] = {
        {"true", "Task_Error_MissingArg", false},
        {"true", "Task_Error_InvalidArg", false},
        {"[\"Task_Error_MissingArg\"]", "Task_Error_MissingArg", false},
        {"[\"Task_Error_MissingArg\"]", "Task_Error_InvalidArg", true},
        {"false", "Task_Error_MissingArg", true},
        {"\"Task_Error_MissingArg\"", "Task_Error_MissingArg", true},
    };
    for (const auto& c : cases) {
        const std::string document = std::string("{\"t\": {\"ignoreError\": ") + c.ignore + "}}";
        Task* task = Load(document.c_str(), "t", {"Error"});
        Task_Start(task);
        lines.clear();
        fired.clear();
        EXPECT_EQ(Task_AddError(task, "%s", c.error), 1);
        EXPECT_EQ(Task_HasError(task, c.error), c.kept) << c.ignore << " " << c.error;
        EXPECT_EQ(fired.size(), c.kept ? 1u : 0u);
        const std::string line = std::string("Error - ") + c.error + (c.kept ? "\n" : " (Ignored)");
        EXPECT_TRUE(Printed(line)) << line;
    }
}

TEST_F(TaskTest, SameErrorTwiceIsListedOnceButAnnouncedTwice) {
    Task* task = Load("{\"t\": {}}", "t", {"Error"});
    Task_Start(task);
    Task_AddError(task, "Task_Error_%s", "InvalidArg");
    Task_AddError(task, "Task_Error_InvalidArg");
    EXPECT_EQ(Errors(task), "Task_Error_InvalidArg");
    ASSERT_EQ(fired.size(), 2u);
    EXPECT_NE(fired[1].find("\"message\":\"Task_Error_InvalidArg\""), std::string::npos) << fired[1];
    uint32_t count = 0;
    Task_GetErrorCount(task, &count);
    EXPECT_EQ(count, 1u);
}

TEST_F(TaskTest, ErrorMapPicksTheIdentifierOfTheCode) {
    const struct {
        const char* document;
        int32_t code;
        const char* fallback;
        const char* expected;
    } cases[] = {
        {"{\"t\": {\"errorMap\": {\"5\": \"Disk_Error_Full\"}}}", 5, "Task_Error_InvalidArg", "Disk_Error_Full"},
        {"{\"t\": {\"errorMap\": {\"5\": \"Disk_Error_Full\"}}}", 6, "Task_Error_InvalidArg", ""},
        {"{\"t\": {}}", 6, "Task_Error_InvalidArg", "Task_Error_InvalidArg"},
        {"{\"t\": {}}", 6, nullptr, ""},
    };
    for (const auto& c : cases) {
        Task* task = Load(c.document, "t");
        Task_Start(task);
        EXPECT_EQ(Task_AddErrorFromMap(task, c.code, c.fallback), 1);
        EXPECT_EQ(Errors(task), c.expected) << c.document << " " << c.code;
    }
}

TEST_F(TaskTest, CodesBecomeIdentifiers) {
    const struct {
        int32_t code, extended;
        const char* expected;
    } cases[] = {
        {964, -123456789, "Platform_Error_-123456789"}, // a code in no platform class
        {987, 10, "Json_Error_Authenticate"},
        {987, 4242, "Json_Error_4242"},
        {-77777, 0, "WebGet_Error_-77777"},
        {951, 0, "WebGet_Error_DNS"},
    };
    for (const auto& c : cases) {
        Task* task = Load("{\"t\": {}}", "t");
        Task_Start(task);
        Task_AddErrorFromCode(task, c.code, c.extended);
        EXPECT_EQ(Errors(task), c.expected);
    }
}

TEST_F(TaskTest, StatusValuesAreKeptOnlyWhileRunning) {
    Task* task = Load("{\"t\": {}}", "t", {"Status"});
    Task_SetStatus(task, "before");
    EXPECT_FALSE(Dictionary_ContainsKey(Task_GetStatusDictionaryHandle(task), "status"));
    Task_Start(task);
    Task_SetProgress(task, 42);
    Task_SetStatus(task, "running");
    double progress = 0;
    Dictionary_GetFloat64ByKey(Task_GetStatusDictionaryHandle(task), "progress", &progress);
    EXPECT_EQ(progress, 42);
    ASSERT_EQ(fired.size(), 3u);
    EXPECT_EQ(fired[0], "Status:{\"status\":\"before\"}");
}

// Errors of a task that never started still count: its cancel must not read as a success.
TEST_F(TaskTest, ErrorsBeforeStartAreKept) {
    Task* task = Load("{\"t\": {}}", "t", {"Complete"});
    Task_AddError(task, "Task_Error_MissingArg");
    EXPECT_EQ(Task_HasError(task, "Task_Error_MissingArg"), 1);
    Task* other = Load("{\"u\": {}}", "u", {"Complete"});
    EXPECT_EQ(Task_Cancel(other), 1);
    Pump();
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_NE(fired[0].find("\"successful\":false,\"cancelled\":true"), std::string::npos) << fired[0];
}

TEST_F(TaskTest, ClearAndCopyLists) {
    Task* task = Load("{\"t\": {}}", "t", {"Error"});
    Task_Start(task);
    Task_AddError(task, "A_Error_One");
    Task_AddError(task, "A_Error_Two");
    char text[64];
    EXPECT_EQ(Task_GetError(task, 1, text, sizeof(text)), 1);
    EXPECT_STREQ(text, "A_Error_Two");
    EXPECT_EQ(Task_GetError(task, 2, text, sizeof(text)), 0);

    Dictionary* target = ParseJson("{\"errors\": [\"Old_Error_X\"]}");
    documents.push_back(target);
    Dictionary* empty = ParseJson("{\"errors\": []}");
    documents.push_back(empty);
    Task_CopyErrors(task, Root(empty), Root(target));
    EXPECT_EQ(DictionaryAsJson(target), "{\"errors\":[\"Old_Error_X\"]}");
    Task_CopyErrors(task, nullptr, Root(target));
    EXPECT_EQ(DictionaryAsJson(target), "{\"errors\":[\"A_Error_One\",\"A_Error_Two\"]}");

    fired.clear();
    Task_ClearErrors(task);
    EXPECT_EQ(Task_HasError(task, nullptr), 0);
    EXPECT_EQ(fired, std::vector<std::string>{"Error:{\"errors\":[]}"});
}

TEST_F(TaskTest, WarningsAreListedAndAnnounced) {
    Task* task = Load("{\"t\": {\"ignoreError\": true}}", "t", {"Warning"});
    Task_Start(task);
    Task_AddWarning(task, "disk %d%% full", 90);
    EXPECT_EQ(Task_HasWarning(task, "disk 90% full"), 1);
    EXPECT_TRUE(Printed("Warning - disk 90% full"));
    EXPECT_EQ(fired, std::vector<std::string>{"Warning:{\"message\":\"disk 90% full\"}"});
}

TEST_F(TaskTest, TypeOfATaskWithoutInterfaceAborts) {
    InstallTestAbortHook();
    Task* task = Load("{\"t\": {}}", "t");
    EXPECT_DEATH(Task_GetType(task), "Assertion failed \\(Task->Interface != NULL\\)\nTask interface is not set");
}

} // namespace
