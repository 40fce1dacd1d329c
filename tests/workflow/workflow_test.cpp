// Tests of the Workflow: loading documents, macros, the task list and its queries, creating tasks
// from definitions, running and queueing events pass by pass, cancelling, status and errors.
#include "tests/workflow/workflow_fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "core/certs/cert_store.h"
#include "workflow/task_type.h"

namespace {

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new TaskEnvironment);
const bool g_bounded = BoundEveryTest();

std::string Expand(Workflow* workflow, const char* text) {
    char buffer[256];
    snprintf(buffer, sizeof(buffer), "%s", text);
    Workflow_ExpandString(workflow, buffer, sizeof(buffer));
    return buffer;
}

// A file of its own under a fresh directory, removed at the end.
class TempFile {
  public:
    explicit TempFile(const char* name, const char* text) {
        char pattern[] = "/tmp/workflow_test_XXXXXX";
        directory = mkdtemp(pattern);
        path = directory + "/" + name;
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, text, strlen(text)), (ssize_t)strlen(text));
        close(fd);
    }
    ~TempFile() {
        unlink(path.c_str());
        rmdir(directory.c_str());
    }
    std::string directory, path;
};

std::string Definition(Workflow* workflow, const char* path) {
    Dictionary* definitions = nullptr;
    Workflow_GetDictionaryHandle(workflow, &definitions);
    Dictionary* child = nullptr;
    if (!Dictionary_GetDictionaryByPath(definitions, path, &child) || !child) return "none";
    return "{" + DictionaryAsJson(child) + "}";
}

TEST_F(WorkflowTest, FormatFollowsTheExtension) {
    const char* json = R"({"t": {"type": "Step", "n": 1}})";
    // As an editor may save it: the last line a comment, without a line break.
    const char* yaml = "t:\n  type: Step\n  n: 2 # two";
    const struct {
        const char *name, *text;
        int64_t result;
    } cases[] = {
        {"flow.JSON", json, 1}, {"flow.json", json, 1}, {"flow.geojson", json, 1},
        {"flow.yaml", yaml, 1}, {"flow", yaml, 1},      {"flow.txt", yaml, 1},
        {"flow.json", yaml, 0}, // YAML text behind a json name is read as JSON and fails
    };
    for (const auto& c : cases) {
        TempFile file(c.name, c.text);
        Workflow_Reset(workflow);
        const int64_t result = Workflow_LoadFile(workflow, file.path.c_str());
        EXPECT_EQ(result == 1, c.result == 1) << c.name;
        if (c.result != 1) {
            EXPECT_EQ(Definition(workflow, "t"), "none") << c.name;
            continue;
        }
        EXPECT_EQ(Definition(workflow, "t"), c.text == json ? R"({"type":"Step","n":1})" : R"({"type":"Step","n":2})")
            << c.name;
        EXPECT_EQ(Expand(workflow, "{workflowPath}"), file.path);
        EXPECT_EQ(Expand(workflow, "{workflowDirectory}"), file.directory + "/");
    }
}

TEST_F(WorkflowTest, BuffersAreJsonOnlyAndMerge) {
    const char* yaml = "t:\n  type: Step\n";
    EXPECT_NE(Workflow_LoadBuffer(workflow, yaml, (int32_t)strlen(yaml)), 1);
    EXPECT_EQ(Definition(workflow, "t"), "none");
    const char* first = R"({"a": {"type": "Step", "x": "1", "y": "1"}, "b": {"type": "Step"}})";
    const char* second = R"({"a": {"x": "2"}, "c": {"type": "Step"}})";
    EXPECT_EQ(Workflow_LoadBuffer(workflow, first, (int32_t)strlen(first)), 1);
    EXPECT_EQ(Workflow_LoadBuffer(workflow, second, (int32_t)strlen(second)), 1);
    EXPECT_EQ(Definition(workflow, "a"), R"({"type":"Step","x":"2","y":"1"})");
    EXPECT_NE(Definition(workflow, "b"), "none");
    EXPECT_NE(Definition(workflow, "c"), "none");
    // Buffers add no path macros.
    EXPECT_EQ(Expand(workflow, "{workflowPath}"), "{workflowPath}");
    // Without merging the earlier definitions go.
    Dictionary* only = ParseJson(R"({"z": {"type": "Step"}})");
    Workflow_LoadDictionary(workflow, Root(only), 0);
    Dictionary_Release(&only);
    EXPECT_EQ(Definition(workflow, "a"), "none");
    EXPECT_NE(Definition(workflow, "z"), "none");
}

// A list or a lone value names no task; such a document is refused and changes nothing.
TEST_F(WorkflowTest, DocumentsThatAreNotDictionariesAreRefused) {
    Define(R"({"keep": {}})");
    for (const char* text : {"[1, 2]", "\"text\"", "5", "[{\"type\": \"Step\"}]"}) {
        EXPECT_EQ(Workflow_LoadBuffer(workflow, text, (int32_t)strlen(text)), 0) << text;
        EXPECT_TRUE(Printed("Workflow document is not a dictionary")) << text;
        lines.clear();
    }
    EXPECT_NE(Definition(workflow, "keep"), "none");
    TempFile file("list.yaml", "- a\n- b\n");
    EXPECT_EQ(Workflow_LoadFile(workflow, file.path.c_str()), 0);
    EXPECT_EQ(Expand(workflow, "{workflowPath}"), "{workflowPath}");
}

TEST_F(WorkflowTest, Macros) {
    Workflow_AddMacro(workflow, "Host", "first");
    Workflow_AddMacro(workflow, "HOST", "second");
    Dictionary* macros = nullptr;
    Workflow_GetMacroDictionaryHandle(workflow, &macros);
    uint32_t count = 0;
    Dictionary_ItemGetCount(macros, &count);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(Expand(workflow, "{host}/{hOsT}"), "second/second");
    EXPECT_EQ(Expand(workflow, "{unknownName}"), "{unknownName}");

    // A value longer than the caller's capacity is cut to capacity minus one.
    Workflow_AddMacro(workflow, "long", "abcdefgh");
    char value[5];
    EXPECT_EQ(Workflow_ExpandKey(workflow, "long", nullptr, value, sizeof(value)), 1);
    EXPECT_STREQ(value, "abcd");

    EXPECT_EQ(Workflow_AddMacroJSON(workflow, R"({"a": "1", "n": 2, "b": "x"})"), 1);
    EXPECT_EQ(Expand(workflow, "{a}{b}{n}"), "1x{n}");
    EXPECT_NE(Workflow_AddMacroJSON(workflow, "{broken"), 1);

    char interop[32];
    EXPECT_EQ(Workflow_ExpandStringInterop(workflow, "<{a}>", interop, sizeof(interop)), 1);
    EXPECT_STREQ(interop, "<1>");
}

TEST_F(WorkflowTest, MacrosComeBeforeTheCallback) {
    auto lookup = [](void* user, const char* name, char*, char* value, int32_t capacity) -> int64_t {
        ++*static_cast<int*>(user);
        snprintf(value, (size_t)capacity, "cb:%s", name);
        return 1;
    };
    int calls = 0;
    Workflow_SetExpandStringCallback(workflow, &calls, lookup);
    Workflow_AddMacro(workflow, "own", "mine");
    EXPECT_EQ(Expand(workflow, "{own} {other}"), "mine cb:other");
    EXPECT_EQ(calls, 1);
    void* user = nullptr;
    ExpandKeyCallback function = nullptr;
    EXPECT_EQ(Workflow_GetExpandStringCallback(workflow, &user, &function), 1);
    EXPECT_EQ(user, &calls);
}

TEST_F(WorkflowTest, TaskTree) {
    Define(R"({"root": {}, "child": {}, "grand": {}, "other": {}})");
    Task *root = nullptr, *child = nullptr, *grand = nullptr, *other = nullptr, *found = nullptr;
    ASSERT_EQ(Workflow_CreateTask(workflow, "root", nullptr, nullptr, &root), 1);
    ASSERT_EQ(Workflow_CreateTask(workflow, "child", nullptr, root, &child), 1);
    ASSERT_EQ(Workflow_CreateTask(workflow, "grand", nullptr, child, &grand), 1);
    ASSERT_EQ(Workflow_CreateTask(workflow, "other", nullptr, nullptr, &other), 1);

    EXPECT_EQ(Workflow_GetParentTaskHandle(workflow, grand, &found), 1);
    EXPECT_EQ(found, child);
    EXPECT_EQ(Workflow_GetParentTaskHandle(workflow, root, &found), 0);
    EXPECT_EQ(Workflow_GetParentTaskHandleByName(workflow, grand, "ROOT", &found), 1);
    EXPECT_EQ(found, root);
    EXPECT_EQ(Workflow_GetParentTaskHandleByName(workflow, grand, "grand", &found), 0);
    EXPECT_EQ(Workflow_GetRootTaskHandle(workflow, grand, &found), 1);
    EXPECT_EQ(found, root);
    EXPECT_EQ(Workflow_GetRootTaskHandle(workflow, root, &found), 0);
    EXPECT_EQ(found, nullptr);
    uint32_t count = 9;
    EXPECT_EQ(Workflow_GetChildTaskCount(workflow, root, &count), 1);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(Workflow_FindTaskByName(workflow, "GRAND", &found), 1);
    EXPECT_EQ(found, grand);
    char id[40];
    Task_GetInstanceId(child, id, sizeof(id));
    for (char* p = id; *p; p++) *p = (char)toupper(*p);
    EXPECT_EQ(Workflow_FindTaskByInstanceId(workflow, id, &found), 1);
    EXPECT_EQ(found, child);
    EXPECT_EQ(Workflow_IsTaskRunning(workflow, "child"), 1);
    EXPECT_EQ(Workflow_IsTaskRunning(workflow, "nothing"), 0);

    // Taking out the child takes out its subtree and nothing else.
    Task_AddRef(grand);
    EXPECT_EQ(Workflow_ClearTasksByHandle(workflow, child), 1);
    EXPECT_EQ(Workflow_FindTaskByName(workflow, "child", &found), 0);
    EXPECT_EQ(Workflow_FindTaskByName(workflow, "grand", &found), 0);
    EXPECT_EQ(Workflow_GetParentTaskHandle(workflow, grand, &found), 0);
    EXPECT_EQ(Workflow_GetChildTaskCount(workflow, root, &count), 1);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Workflow_ClearTasksByHandle(workflow, grand), 0);
    Task_Release(&grand);
    EXPECT_EQ(Workflow_FindTaskByName(workflow, "other", &found), 1);
    Workflow_ClearTasks(workflow);
    EXPECT_EQ(Workflow_FindTaskByName(workflow, "root", &found), 0);
}

TEST_F(WorkflowTest, CreationFailuresArePrinted) {
    Dictionary* document = ParseJson(R"({
        "text": "not a definition",
        "untyped": {"x": 1},
        "numberType": {"type": 5},
        "unknown": {"type": "NoSuchType"},
        "good": {"type": "Step", "a": "defined", "b": "defined"}
    })");
    Workflow_LoadDictionary(workflow, Root(document), 1);
    Dictionary_Release(&document);
    const struct {
        const char *name, *printed;
    } cases[] = {
        {"missing", "Cannot find task missing"},
        {"text", "Cannot find task text"},
        {"untyped", "Task has no type property (untyped)"},
        {"numberType", "Task has no type property (numberType)"},
        {"unknown", "Cannot find task handler for task type (NoSuchType)"},
    };
    for (const auto& c : cases) {
        lines.clear();
        Task* task = reinterpret_cast<Task*>(&lines);
        EXPECT_EQ(Workflow_CreateTask(workflow, c.name, nullptr, nullptr, &task), 0) << c.name;
        EXPECT_EQ(task, nullptr);
        EXPECT_TRUE(Printed(c.printed)) << c.name;
    }
    // Names are expanded; arguments win over the definition; macros go to the task.
    Workflow_AddMacro(workflow, "which", "good");
    Dictionary* arguments = ParseJson(R"({"b": "given"})");
    Dictionary* macros = ParseJson(R"({"m": "task macro"})");
    Task* task = nullptr;
    ASSERT_EQ(Workflow_CreateTaskWithMacros(workflow, "{which}", Root(arguments), macros, nullptr, &task), 1);
    Dictionary_Release(&arguments);
    Dictionary_Release(&macros);
    char text[64];
    EXPECT_EQ(Task_GetStringArgument(task, "a", text, sizeof(text)), 1);
    EXPECT_STREQ(text, "defined");
    EXPECT_EQ(Task_GetStringArgument(task, "b", text, sizeof(text)), 1);
    EXPECT_STREQ(text, "given");
    snprintf(text, sizeof(text), "{m}");
    Task_ExpandString(task, text, sizeof(text));
    EXPECT_STREQ(text, "task macro");
    EXPECT_TRUE(Printed("Created - good - "));
    EXPECT_STREQ(Task_GetType(task), "Step");
    EXPECT_EQ(Workflow_CreateTaskWithMacrosInterop(workflow, "good", nullptr, "{bad", nullptr, &task), 0);
}

// A document is checked whole before it runs: types through templates, outcome names by text or
// by "action", entries; what a macro decides, a type-less definition nothing names, and the
// types of a document that loads an interop library wait until they run.
TEST_F(WorkflowTest, DocumentCheckNamesTheFirstProblem) {
    const struct {
        const char *document, *problem, *key;
    } cases[] = {
        {R"({"a": {"type": "Step", "success": "b"}, "b": {"template": "base"}, "base": {"type": "step"},
             "data": {"x": 1}, "m": {"type": "Step", "failure": "{later}", "complete": null}})",
         "", ""},
        {R"({"a": {"type": "Step", "complete": {"action": "gone", "x": 1}}})",
         R"(task "a" (Step): "complete" names no task "gone")", "Task_Error_MissingSubTask"},
        {R"({"a": {"type": "Step", "failure": "B"}, "b": {"type": "Step"}})",
         R"(task "a" (Step): "failure" names no task "B")", "Task_Error_MissingSubTask"},
        {R"({"a": {"type": "Step", "success": "b"}, "b": {"type": 5}})",
         R"(task "b" has no "type" (named by "success" of task "a"))", "Task_Error_MissingSubTask"},
        {R"({"start": {"message": "no type"}})", R"(task "start" has no "type")", "Task_Error_MissingSubTask"},
        {R"({"a": {"type": "Step"}, "never": {"template": "t"}, "t": {"type": "Dowload"}})",
         R"(task "never": unknown task type "Dowload")", "Task_Error_InvalidArg"},
        {R"({"a": {"type": "{kind}"}, "b": {"template": "{which}"}, "c": {"type": "InteropLoad"},
             "d": {"type": "FromTheLibrary"}})",
         "", ""},
    };
    for (const auto& c : cases) {
        Workflow* checked = nullptr;
        ASSERT_EQ(Workflow_Create(&checked), 1);
        Workflow_RegisterTaskHandler(checked, &StepTaskType);
        const TaskInterface interop = {"InteropLoad", StepTaskType.Create, StepTaskType.AddRef, StepTaskType.Release};
        Workflow_RegisterTaskHandler(checked, &interop);
        Dictionary* document = ParseJson(c.document);
        char problem[256];
        const char* key = nullptr;
        const int64_t sound = Workflow_CheckDocument(checked, Root(document), problem, sizeof(problem), &key);
        EXPECT_EQ(sound, c.problem[0] ? 0 : 1) << c.document;
        EXPECT_STREQ(problem, c.problem);
        EXPECT_STREQ(key ? key : "", c.key);
        Dictionary_Release(&document);
        Workflow_Release(&checked);
    }
}

// A type that cannot make its instance would leave a task nobody completes: no task is made.
TEST_F(WorkflowTest, TypeThatCannotStartMakesNoTask) {
    const TaskInterface broken = {"Broken", [](void** instance, Task*) -> int64_t {
                                      *instance = nullptr;
                                      return 0;
                                  },
                                  StepTaskType.AddRef, StepTaskType.Release};
    Workflow_RegisterTaskHandler(workflow, &broken);
    Define(R"({"t": {"type": "Broken"}})");
    Task* task = nullptr;
    EXPECT_EQ(Workflow_CreateTask(workflow, "t", nullptr, nullptr, &task), 0);
    EXPECT_EQ(task, nullptr);
    EXPECT_TRUE(Printed("Cannot create task handler for task type (Broken)"));
    EXPECT_EQ(Run("t"), R"({"successful":false,"name":"t","exists":true,"global":false})");
}

// Types the workflow lacks come from the application's list only while the flag is 1; the
// application's list is not there yet, so both ways end in the printed message.
TEST_F(WorkflowTest, TypesOfTheWorkflowShadowAndMissingTypesAreReported) {
    Define(R"({"t": {"type": "step"}})");
    Task* task = nullptr;
    EXPECT_EQ(Workflow_CreateTask(workflow, "t", nullptr, nullptr, &task), 1);
    Workflow_SetUseDefaultTaskTypes(workflow, 0);
    Workflow_UnregisterTaskHandler(workflow, &StepTaskType);
    EXPECT_EQ(Workflow_CreateTask(workflow, "t", nullptr, nullptr, &task), 0);
    EXPECT_TRUE(Printed("Cannot find task handler for task type (step)"));
    Workflow_SetUseDefaultTaskTypes(workflow, 1);
    lines.clear();
    EXPECT_EQ(Workflow_CreateTask(workflow, "t", nullptr, nullptr, &task), 0);
    EXPECT_TRUE(Printed("Cannot find task handler for task type (step)"));
}

// Removing a type takes out its tasks; one held elsewhere lets go of the type first.
TEST_F(WorkflowTest, RemovingATypeRemovesItsTasks) {
    const TaskInterface other = {"Other", StepTaskType.Create, StepTaskType.AddRef, StepTaskType.Release};
    Workflow_RegisterTaskHandler(workflow, &other);
    Define(R"({"a": {}, "b": {"type": "Other"}})");
    Task *a = nullptr, *b = nullptr, *found = nullptr;
    ASSERT_EQ(Workflow_CreateTask(workflow, "a", nullptr, nullptr, &a), 1);
    ASSERT_EQ(Workflow_CreateTask(workflow, "b", nullptr, a, &b), 1);
    Task_AddRef(a);
    EXPECT_EQ(Workflow_UnregisterTaskHandler(workflow, &StepTaskType), 1);
    EXPECT_EQ(Workflow_FindTaskByName(workflow, "a", &found), 0);
    const TaskInterface* record = nullptr;
    EXPECT_EQ(Task_GetInterface(a, &record), 0);
    Task_Release(&a);
    // The child stays, now without a parent.
    EXPECT_EQ(Workflow_FindTaskByName(workflow, "b", &found), 1);
    EXPECT_EQ(Workflow_GetParentTaskHandle(workflow, b, &found), 0);
    // Reset lets go of the remaining type and its task.
    Task_AddRef(b);
    Workflow_Reset(workflow);
    EXPECT_EQ(Task_GetInterface(b, &record), 0);
    Task_Release(&b);
}

// A running task whose type goes away ends cancelled, so its run still reports its end.
TEST_F(WorkflowTest, RunningTaskWhoseTypeGoesAwayEnds) {
    for (bool reset : {false, true}) {
        Workflow_RegisterTaskHandler(workflow, &StepTaskType);
        Define(R"({"t": {"hold": true}})");
        ends.clear();
        EXPECT_EQ(Workflow_RunTask(workflow, "t", nullptr, nullptr, nullptr), 1);
        Passes(3);
        ASSERT_NE(Find("t"), nullptr);
        if (reset)
            Workflow_Reset(workflow);
        else
            Workflow_UnregisterTaskHandler(workflow, &StepTaskType);
        Passes(6);
        ASSERT_EQ(ends.size(), 1u) << reset;
        EXPECT_NE(ends[0].find(R"("cancelled":true)"), std::string::npos) << ends[0];
        EXPECT_EQ(Workflow_IsActivated(workflow), 0);
    }
}

// One run, pass by pass: ready, start (the workflow activates), the task's start, its two empty
// sub-actions, the task's end, and the event's end (the workflow deactivates).
TEST_F(WorkflowTest, RunPassByPass) {
    Define(R"({"t": {}})");
    for (const char* name : {"Ready", "Start", "Complete"}) Watch("WorkflowEvent", name);
    for (const char* name : {"Activate", "Deactivate"}) Watch("Workflow", name);
    for (const char* name : {"Start", "Complete"}) Watch("Task", name);
    struct Calls {
        int count = 0;
        std::string info;
    } calls;
    auto callback = [](Workflow*, void* user, Dictionary* info) -> int64_t {
        static_cast<Calls*>(user)->count++;
        static_cast<Calls*>(user)->info = DictionaryAsJson(info);
        return 1;
    };
    EXPECT_EQ(Workflow_RunTask(workflow, "t", nullptr, &calls, callback), 1);
    EXPECT_EQ(Workflow_IsActivated(workflow), 1);
    Passes(8);
    EXPECT_EQ(seen, (std::vector<std::string>{"1:WorkflowEvent/Ready", "2:WorkflowEvent/Start", "2:Workflow/Activate",
                                              "3:Task/Start", "5:Task/Complete", "6:WorkflowEvent/Complete",
                                              "6:Workflow/Deactivate"}));
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0], R"({"successful":true,"cancelled":false,"name":"t","exists":true,"global":false})");
    EXPECT_EQ(calls.count, 1);
    EXPECT_EQ(calls.info, R"("successful":true,"cancelled":false)");
    EXPECT_EQ(Workflow_IsActivated(workflow), 0);
    EXPECT_TRUE(Printed("Event t ready"));
    EXPECT_TRUE(Printed("Event t completed in "));
    // The task and its subtree left the list with the event.
    Task* found = nullptr;
    EXPECT_EQ(Workflow_FindTaskByName(workflow, "t", &found), 0);
}

// The information each notification of an event carries, and the edges' sender.
TEST_F(WorkflowTest, EventNotificationsCarryTheirInformation) {
    std::vector<std::string> infos;
    auto capture = [](void* user, const char*, const char* name, const char*, Dictionary* info) -> int64_t {
        std::string text = info ? DictionaryAsJson(info) : "";
        // The workflow's id varies from run to run.
        const size_t at = text.find("\"workflow\":\"");
        if (at != std::string::npos) text = text.substr(0, at) + "\"workflow\":*" + text.substr(text.find('"', at + 12) + 1);
        static_cast<std::vector<std::string>*>(user)->push_back(std::string(name) + " " + text);
        return 1;
    };
    for (const char* name : {"Wait", "Ready", "Start"}) NotificationCenter_AddObserver("WorkflowEvent", name, &infos, capture);
    for (const char* name : {"Activate", "Deactivate"}) NotificationCenter_AddObserver("Workflow", name, &infos, capture);
    Workflow_SetRemoteInstanceId(workflow, "remote-1");
    Define(R"({"t": {}})");
    EXPECT_EQ(Workflow_QueueTask(workflow, "t", nullptr, nullptr, nullptr), 1);
    Passes(10);
    EXPECT_EQ(infos, (std::vector<std::string>{R"(Wait "name":"t","canRemote":false)", R"(Ready "name":"t","workflow":*)",
                                               R"(Start "name":"t","workflow":*)", R"(Activate "sender":"remote-1")",
                                               R"(Deactivate "sender":"remote-1")"}));
    for (const char* name : {"Wait", "Ready", "Start"}) NotificationCenter_RemoveObserver("WorkflowEvent", name, &infos, capture);
    for (const char* name : {"Activate", "Deactivate"}) NotificationCenter_RemoveObserver("Workflow", name, &infos, capture);
}

// Scripts hold the workflow through reference notifications; custom types are asked for by
// notification; "Workflow"/"Cancel" cancels.
TEST_F(WorkflowTest, NotificationsTheWorkflowObservesAndFires) {
    const char* id = reinterpret_cast<const char*>(workflow);
    Dictionary* add = ParseJson(R"({"addRef": true})");
    NotificationCenter_Fire("NotificationCenter", "Interop", id, Root(add));
    Dictionary_Release(&add);
    Workflow* extra = workflow;
    Workflow_AddRef(extra);
    Workflow_Release(&extra);
    NotificationCenter_Fire("NotificationCenter", "Interop", id, nullptr); // lets go of the script's
    EXPECT_EQ(Workflow_ValidHandle(workflow), 1);

    std::vector<std::string> asked;
    auto capture = [](void* user, const char*, const char* name, const char*, Dictionary* info) -> int64_t {
        static_cast<std::vector<std::string>*>(user)->push_back(std::string(name) + " " + DictionaryAsJson(info));
        return 1;
    };
    NotificationCenter_AddInstanceObserver("Workflow", "RegisterTaskHandlers", id, &asked, capture);
    NotificationCenter_AddInstanceObserver("Workflow", "UnregisterTaskHandlers", id, &asked, capture);
    Workflow_RegisterCustomTasks(workflow);
    Workflow_UnregisterCustomTasks(workflow);
    EXPECT_EQ(asked, (std::vector<std::string>{R"(RegisterTaskHandlers "canRemote":false)",
                                               R"(UnregisterTaskHandlers "canRemote":false)"}));
    NotificationCenter_RemoveInstanceObserver("Workflow", "RegisterTaskHandlers", id, &asked, capture);
    NotificationCenter_RemoveInstanceObserver("Workflow", "UnregisterTaskHandlers", id, &asked, capture);

    Define(R"({"t": {"hold": true}})");
    EXPECT_EQ(Workflow_RunTask(workflow, "t", nullptr, nullptr, nullptr), 1);
    Passes(3);
    NotificationCenter_Fire("Workflow", "Cancel", id, nullptr);
    Passes(4);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_NE(ends[0].find("\"cancelled\":true"), std::string::npos) << ends[0];
}

// The run holds the workflow to its end; tasks still held after that no longer reach it.
TEST_F(WorkflowTest, RunOutlivesTheCallersReference) {
    Workflow* own = nullptr;
    ASSERT_EQ(Workflow_Create(&own), 1);
    Workflow_SetPrintCallback(own, this, CaptureLine);
    Workflow_RegisterTaskHandler(own, &StepTaskType);
    const char* document = R"({"t": {"type": "Step", "verbose": true, "success": "u"}, "u": {"type": "Step"}})";
    ASSERT_EQ(Workflow_LoadBuffer(own, document, (int32_t)strlen(document)), 1);
    EXPECT_EQ(Workflow_RunTask(own, "t", nullptr, nullptr, nullptr), 1);
    Workflow_Release(&own);
    Passes(12);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_NE(ends[0].find(R"("successful":true)"), std::string::npos) << ends[0];
}

TEST_F(WorkflowTest, RunningWhatTheWorkflowLacks) {
    Define(R"({"untyped": {"type": 1}})");
    EXPECT_EQ(Run("absent"), R"({"successful":false,"name":"absent","exists":false,"global":false})");
    // Under a millisecond the duration reads "0s", else its whole milliseconds in four digits: how
    // many a run takes is the machine's (a loaded one takes several), the text's form is ours.
    std::string all;
    bool completed = false;
    const std::string prefix = "Event absent completed in ";
    for (const std::string& line : lines) {
        all += line;
        const size_t at = line.find(prefix);
        if (at == std::string::npos) continue;
        const std::string rest = line.substr(at + prefix.size());
        const bool digits =
            rest.size() >= 10 &&
            std::all_of(rest.begin(), rest.begin() + 4, [](unsigned char c) { return std::isdigit(c) != 0; });
        completed =
            completed || rest.rfind("0s (0)", 0) == 0 || (digits && rest.compare(4, 6, "ms (0)") == 0);
    }
    EXPECT_TRUE(completed) << all;
    Workflow_SetGlobal(workflow, 1);
    EXPECT_EQ(Run("untyped"), R"({"successful":false,"name":"untyped","exists":true,"global":true})");
    EXPECT_EQ(Workflow_IsActivated(workflow), 0);
}

TEST_F(WorkflowTest, MacrosOfARunReachTheTask) {
    Define(R"({"t": {"result": {"said": "{greeting}"}}})");
    Dictionary* macros = ParseJson(R"({"greeting": "hello"})");
    std::string info;
    auto callback = [](Workflow*, void* user, Dictionary* dict) -> int64_t {
        *static_cast<std::string*>(user) = DictionaryAsJson(dict);
        return 1;
    };
    EXPECT_EQ(Workflow_RunTaskWithMacros(workflow, "t", macros, nullptr, &info, callback), 1);
    Dictionary_Release(&macros);
    Passes(8);
    // The result dictionary is passed as stored; the macro is there for the task to expand.
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_NE(ends[0].find(R"("said":"{greeting}")"), std::string::npos) << ends[0];
    EXPECT_EQ(Workflow_RunTaskWithMacrosInterop(workflow, "t", "{broken", nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(Workflow_RunTaskWithMacrosInterop(workflow, "t", R"({"greeting": "hi"})", nullptr, nullptr, nullptr), 1);
    Passes(8);
    EXPECT_EQ(ends.size(), 2u);
}

// Delayed notifications are queued for the next pass, and the delays asked for are kept, so a
// test sees the waiting events poll without waiting a second each time.
std::vector<std::string>* g_delays = nullptr;
int64_t CollapseDelay(const char* type, const char* name, const char* instance, int32_t delayMs, Dictionary* info) {
    if (delayMs > 0 && g_delays) g_delays->push_back(std::string(name) + "@" + std::to_string(delayMs));
    NotificationCenter_FireAfterDelayOverride(nullptr);
    NotificationCenter_FireAfterDelay(type, name, instance, 0, info);
    NotificationCenter_FireAfterDelayOverride(CollapseDelay);
    return 1;
}

class QueueTest : public WorkflowTest {
  protected:
    std::vector<std::string> delays;
    void SetUp() override {
        WorkflowTest::SetUp();
        g_delays = &delays;
        NotificationCenter_FireAfterDelayOverride(CollapseDelay);
    }
    void TearDown() override {
        NotificationCenter_FireAfterDelayOverride(nullptr);
        g_delays = nullptr;
        WorkflowTest::TearDown();
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const std::string& end : ends) {
            const size_t at = end.find("\"name\":\"") + 8;
            names.push_back(end.substr(at, end.find('"', at) - at));
        }
        return names;
    }
};

TEST_F(QueueTest, QueuedEventsRunOneAfterTheOther) {
    Define(R"({"first": {"hold": true}, "second": {}, "beside": {}})");
    EXPECT_EQ(Workflow_QueueTask(workflow, "first", nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(Workflow_QueueTask(workflow, "second", nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(Workflow_IsTaskQueued(workflow, "second"), 1);
    EXPECT_EQ(Workflow_IsTaskQueued(workflow, "SECOND"), 0);
    EXPECT_TRUE(Printed("Event second waiting"));
    Passes(6);
    EXPECT_EQ(Workflow_IsTaskQueued(workflow, "first"), 0);
    EXPECT_EQ(Workflow_IsTaskQueued(workflow, "second"), 1);
    // A run goes at once, beside the queue.
    EXPECT_EQ(Workflow_RunTask(workflow, "beside", nullptr, nullptr, nullptr), 1);
    Passes(10);
    EXPECT_EQ(Names(), std::vector<std::string>{"beside"});
    EXPECT_FALSE(delays.empty());
    for (const std::string& delay : delays) EXPECT_EQ(delay, "Wait@1000");
    Task_Complete(Find("first"), nullptr);
    Passes(20);
    EXPECT_EQ(Names(), (std::vector<std::string>{"beside", "first", "second"}));
    EXPECT_EQ(Workflow_IsTaskQueued(workflow, "second"), 0);
}

TEST_F(QueueTest, QueuedUnloadCancelsRunningLeaves) {
    Define(R"({"start": {"hold": true, "success": "next"}, "next": {}, "unload": {}})");
    Watch("Task", "Cancel");
    EXPECT_EQ(Workflow_RunTask(workflow, "start", nullptr, nullptr, nullptr), 1);
    Passes(4);
    EXPECT_EQ(Workflow_QueueTask(workflow, "unload", nullptr, nullptr, nullptr), 1);
    Passes(20);
    EXPECT_EQ(Names(), (std::vector<std::string>{"start", "unload"}));
    ASSERT_FALSE(ends.empty());
    EXPECT_EQ(ends[0], R"({"successful":false,"cancelled":true,"errors":["Task_Error_Cancelled"],"name":"start",)"
                       R"("exists":true,"global":false})");
    // Cancelled at the first poll; the chain of the cancelled task never ran.
    EXPECT_EQ(started.size(), 2u);
}

// An empty name is a name like any other: its queued event takes its turn.
TEST_F(QueueTest, EmptyNameTakesItsTurn) {
    Define(R"({"": {}, "after": {}})");
    EXPECT_EQ(Workflow_QueueTask(workflow, "", nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(Workflow_QueueTask(workflow, "after", nullptr, nullptr, nullptr), 1);
    Passes(30);
    EXPECT_EQ(Names(), (std::vector<std::string>{"", "after"}));
}

// A name starting with "#" or "." waits in the queue as written and takes its turn.
TEST_F(QueueTest, NamesWaitAsWritten) {
    Define(R"({"#": {}, ".x": {}, "after": {}})");
    for (const char* name : {"#", ".x", "after"}) EXPECT_EQ(Workflow_QueueTask(workflow, name, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(Workflow_IsTaskQueued(workflow, "#"), 1);
    EXPECT_EQ(Workflow_IsTaskQueued(workflow, ""), 0);
    EXPECT_EQ(Workflow_IsTaskQueued(workflow, "x"), 0);
    Passes(30);
    EXPECT_EQ(Names(), (std::vector<std::string>{"#", ".x", "after"}));
    EXPECT_EQ(Workflow_IsTaskQueued(workflow, ".x"), 0);
}

// The key of the first item of a task's start information: the task's name.
int64_t KeepStartKey(void* user, const char*, const char*, const char*, Dictionary* info) {
    DictionaryItem* item = nullptr;
    const char* key = nullptr;
    if (Dictionary_ItemGetFirst(info, &item) && item && Dictionary_ItemGetKeyPtr(info, item, &key) && key)
        static_cast<std::vector<std::string>*>(user)->push_back(key);
    return 1;
}

// Every queued name runs its own definition: a lone mark is a name of its own, not the empty name.
TEST_F(QueueTest, EachNameRunsItsOwnDefinition) {
    Define(R"({"#": {"v": "hash"}, ".": {"v": "dot"}, "": {"v": "empty"}, "a": {"v": "a"}, "#p": {"v": "p"}})");
    for (const char* name : {"#", ".", "", "a", "#p", "p"})
        EXPECT_EQ(Workflow_QueueTask(workflow, name, nullptr, nullptr, nullptr), 1);
    Passes(40);
    EXPECT_EQ(started, (std::vector<std::string>{"#:{\"v\":\"hash\"}", ".:{\"v\":\"dot\"}", ":{\"v\":\"empty\"}",
                                                 "a:{\"v\":\"a\"}", "p:{\"v\":\"p\"}", "p:{\"v\":\"p\"}"}));
    EXPECT_EQ(Names(), (std::vector<std::string>{"#", ".", "", "a", "#p", "p"}));
}

// Two keys that would be one task name refuse the document whole, naming both; nothing of it is
// merged. A later document replaces an earlier one's definition of the same name on purpose.
TEST_F(WorkflowTest, KeysThatAreOneTaskNameRefuseTheDocument) {
    const struct {
        const char *before, *document, *problem;
    } cases[] = {
        {nullptr, R"({"#a": {}, "a": {}})", R"(task "a" is defined twice, as "#a" or ".a" and as "a")"},
        {nullptr, R"({"z": {}, "a": {}, ".a": {}})", R"(task "a" is defined twice, as "a" and as "#a" or ".a")"},
        {nullptr, R"({"#a": {}, ".a": {}})", R"(task "a" is defined twice, as "#a" or ".a" and as "#a" or ".a")"},
        {nullptr, R"({"a": {"v": 1}, "a": {"v": 2}})", R"(task "a" is defined twice, as "a" and as "a")"},
        {nullptr, R"({"##x": {}, "#x": {}})",
         R"(task names "#x" and "##x" or ".#x" clash: "#x" names both the private task "x" and the task "#x")"},
        {nullptr, R"({".x": {}, "b": {}, ".x2": {}, "..x": {}})",
         R"(task names ".x" and "#.x" or "..x" clash: ".x" names both the private task "x" and the task ".x")"},
        {R"({"##x": {}})", R"({"#x": {}})",
         R"(task names "#x" and "##x" or ".#x" clash: "#x" names both the private task "x" and the task "#x")"},
        {R"({"#x": {}})", R"({"##x": {}})",
         R"(task names "#x" and "##x" or ".#x" clash: "#x" names both the private task "x" and the task "#x")"},
        {nullptr, R"({"#": {}, ".": {}, "": {}, "a": {}, "#b": {}, "##c": {}, "A": {}})", ""},
        {R"({"a": {}, "#x": {}})", R"({"#a": {}, "#x": {}, "y": {}})", ""},
    };
    for (const auto& c : cases) {
        Workflow* loaded = nullptr;
        ASSERT_EQ(Workflow_Create(&loaded), 1);
        Workflow_SetPrintCallback(loaded, this, CaptureLine);
        Dictionary* earlier = c.before ? ParseJson(c.before) : nullptr;
        if (earlier) {
            ASSERT_EQ(Workflow_LoadDictionary(loaded, Root(earlier), 1), 1) << c.before;
        }
        lines.clear();
        Dictionary* document = ParseJson(c.document);
        const bool sound = !c.problem[0];
        EXPECT_EQ(Workflow_LoadDictionary(loaded, Root(document), 1), sound ? 1 : 0) << c.document;
        char problem[512];
        if (!c.before) {
            EXPECT_EQ(Workflow_CheckTaskNames(Root(document), nullptr, problem, sizeof(problem)), sound ? 1 : 0);
            EXPECT_STREQ(problem, c.problem);
        }
        if (!sound) {
            EXPECT_TRUE(Printed(std::string("Workflow document refused: ") + c.problem))
                << c.document << "\n" << (lines.empty() ? "" : lines.back());
            // Nothing of a refused document reaches the definitions.
            EXPECT_EQ(Workflow_CanCreateTask(loaded, "y"), 0);
            EXPECT_EQ(Workflow_CanCreateTask(loaded, "b"), 0);
            EXPECT_EQ(Workflow_CanCreateTask(loaded, "a"), 0) << c.document;
        }
        if (earlier) Dictionary_Release(&earlier);
        Dictionary_Release(&document);
        Workflow_Release(&loaded);
    }
}

// Templates and outcomes name definitions as a run names them: "#base" is the task read from
// "##base", not the private "base" nor the "base" a second mark would fold it into.
TEST_F(WorkflowTest, TemplatesAndOutcomesNameDefinitionsAsTasksDo) {
    Define(R"({"##base": {"v": "hash-base"}, "base": {"v": "base"}, "#p": {"v": "p"},
               "a": {"template": "#base", "success": "#x"}, "b": {"template": ["p", "load.x"]}, "##x": {"hold": true},
               "load.x": {"w": "dotted"}})");
    Workflow* checked = nullptr;
    ASSERT_EQ(Workflow_Create(&checked), 1);
    Workflow_RegisterTaskHandler(checked, &StepTaskType);
    Dictionary* definitions = nullptr;
    Workflow_GetDictionaryHandle(workflow, &definitions);
    char problem[256];
    const char* key = nullptr;
    EXPECT_EQ(Workflow_CheckDocument(checked, definitions, problem, sizeof(problem), &key), 1) << problem;
    Workflow_Release(&checked);
    Run("a");
    Run("b");
    ASSERT_EQ(started.size(), 3u);
    EXPECT_EQ(started[0], R"(a:{"v":"hash-base","template":"#base","success":"#x"})");
    EXPECT_EQ(started[2], R"(b:{"v":"p","w":"dotted","template":["p","load.x"]})");
    Task* x = Find("#x");
    ASSERT_NE(x, nullptr);
    uint32_t held = 0;
    EXPECT_EQ(Task_GetBooleanArgument(x, "hold", &held), 1);
    Task_Complete(x, nullptr);
    Passes(6);
}

// A name in brackets is a task's name, not the position a key lookup would take it for.
TEST_F(WorkflowTest, BracketNamesAreNamesNotPositions) {
    Define(R"({"x": {"v": "x", "hold": true}, "y": {"v": "y", "hold": true}, "[0]": {"v": "zero", "hold": true},
               "#[1]": {"v": "one", "hold": true}})");
    for (const char* name : {"[0]", "#[1]"}) EXPECT_EQ(Workflow_RunTask(workflow, name, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(Workflow_CanCreateTask(workflow, "[1]"), 1);
    EXPECT_EQ(Workflow_CanCreateTask(workflow, "[2]"), 0);
    Passes(6);
    const struct {
        const char *name, *value;
    } rows[] = {{"[0]", "zero"}, {"[1]", "one"}};
    for (const auto& row : rows) {
        Task* task = Find(row.name);
        ASSERT_NE(task, nullptr) << row.name;
        char value[16] = "";
        Task_GetStringArgument(task, "v", value, sizeof(value));
        EXPECT_STREQ(value, row.value) << row.name;
        Task_Complete(task, nullptr);
    }
    Passes(6);
}

// A task's name is its definition's key as stored ("##x" gives "#x"), found as written before
// ".p" finds the private "p" under the mark it was written with.
TEST_F(WorkflowTest, TaskNamesAreTheirKeysAsStored) {
    std::vector<std::string> keys;
    NotificationCenter_AddObserver("Task", "Start", &keys, KeepStartKey);
    Define(R"({"##x": {"hold": true, "v": 1}, "x": {"v": 2}, ".p": {"hold": true}, "##only": {}})");
    EXPECT_EQ(Workflow_CanCreateTask(workflow, "#only"), 1);
    EXPECT_EQ(Workflow_CanCreateTask(workflow, "only"), 0);
    EXPECT_EQ(Workflow_RunTask(workflow, "#x", nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(Workflow_RunTask(workflow, ".p", nullptr, nullptr, nullptr), 1);
    Passes(6);
    NotificationCenter_RemoveObserver("Task", "Start", &keys, KeepStartKey);
    EXPECT_EQ(keys, (std::vector<std::string>{"#x", "p"}));
    Task* x = Find("#x");
    Task* p = Find("p");
    ASSERT_NE(x, nullptr);
    ASSERT_NE(p, nullptr);
    double v = 0;
    EXPECT_EQ(Task_GetNumberArgument(x, "v", &v), 1);
    EXPECT_EQ(v, 1.0);
    for (Task* task : {x, p}) {
        uint32_t hidden = 0;
        Task_GetPrivate(task, &hidden);
        EXPECT_EQ(hidden, 1u);
        Task_Complete(task, nullptr);
    }
    Passes(6);
}

TEST_F(WorkflowTest, CancelTasks) {
    Define(R"({"load": {"hold": true}, "work": {"hold": true, "success": "leaf"}, "leaf": {"hold": true}})");
    EXPECT_EQ(Workflow_CancelTasks(workflow), 1); // nothing to cancel
    EXPECT_EQ(Workflow_RunTask(workflow, "load", nullptr, nullptr, nullptr), 1);
    Passes(3);
    EXPECT_EQ(Workflow_CancelTasks(workflow), 0);
    EXPECT_TRUE(Printed("Cannot cancel load/unload tasks"));
    Task_Complete(Find("load"), nullptr);
    Passes(6);

    EXPECT_EQ(Workflow_RunTask(workflow, "work", nullptr, nullptr, nullptr), 1);
    Passes(3);
    Task_Complete(Find("work"), nullptr); // its "success" starts "leaf", which holds
    Passes(4);
    ASSERT_NE(Find("leaf"), nullptr);
    EXPECT_EQ(Workflow_CancelTasks(workflow), 1);
    // Only the leaf was cancelled; its parent ends when the chain does.
    Passes(8);
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[1], R"({"successful":false,"cancelled":true,"errors":["Task_Error_Cancelled"],"name":"work",)"
                       R"("exists":true,"global":false})");
    EXPECT_EQ(Find("work"), nullptr);
}

TEST_F(WorkflowTest, CancelAndRetryNotifications) {
    Define(R"({"t": {"hold": true}})");
    Task* owner = Load(R"({"owner": {}})", "owner", {"Retry"});
    Workflow_SetTaskHandle(workflow, owner);
    EXPECT_EQ(Workflow_RunTask(workflow, "t", nullptr, nullptr, nullptr), 1);
    Passes(3);
    NotificationCenter_Fire("Workflow", "Retry", reinterpret_cast<const char*>(workflow), nullptr);
    EXPECT_TRUE(fired.empty()); // posted
    Passes(6);
    EXPECT_EQ(fired, std::vector<std::string>{"Retry:"});
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_NE(ends[0].find("\"cancelled\":true"), std::string::npos);
}

TEST_F(WorkflowTest, StatusAndErrors) {
    std::vector<std::string> errors;
    auto onError = [](void* user, const char*, const char*, const char*, Dictionary* info) -> int64_t {
        static_cast<std::vector<std::string>*>(user)->push_back(info ? DictionaryAsJson(info) : "");
        return 1;
    };
    NotificationCenter_AddInstanceObserver("Workflow", "Error", reinterpret_cast<const char*>(workflow), &errors, onError);
    Workflow_AddMacro(workflow, "who", "me");
    Workflow_AddError(workflow, "Test_Error_%s", "{who}");
    Workflow_AddError(workflow, "Test_Error_%s", "me");
    Workflow_AddError(workflow, "Other_Error");
    uint32_t count = 0;
    Workflow_GetErrorCount(workflow, &count);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(errors, (std::vector<std::string>{R"("errors":["Test_Error_me"],"message":"Test_Error_me")",
                                                R"("errors":["Test_Error_me"],"message":"Test_Error_me")",
                                                R"("errors":["Test_Error_me","Other_Error"],"message":"Other_Error")"}));
    EXPECT_TRUE(Printed("Error - Test_Error_me"));
    Workflow_SetStatus(workflow, "busy");
    Workflow_SetStatusNumber(workflow, "progress", 12.5);
    Dictionary* status = nullptr;
    Workflow_GetStatusDictionaryHandle(workflow, &status);
    EXPECT_EQ(DictionaryAsJson(status), R"("errors":["Test_Error_me","Other_Error"],"status":"busy","progress":12.5)");

    // Reset keeps the status; definitions, macros and the queue go.
    Define(R"({"t": {}})");
    Workflow_Reset(workflow);
    Workflow_GetErrorCount(workflow, &count);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(Workflow_CanCreateTask(workflow, "t"), 0);
    EXPECT_EQ(Expand(workflow, "{who}"), "{who}");

    Workflow_ClearErrors(workflow);
    Workflow_GetErrorCount(workflow, &count);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(errors.back(), "");
    NotificationCenter_RemoveInstanceObserver("Workflow", "Error", reinterpret_cast<const char*>(workflow), &errors,
                                              onError);
}

TEST_F(WorkflowTest, CompleteIsPostedAndStaysLocal) {
    std::vector<std::string> got;
    auto onComplete = [](void* user, const char*, const char*, const char*, Dictionary* info) -> int64_t {
        static_cast<std::vector<std::string>*>(user)->push_back(DictionaryAsJson(info));
        return 1;
    };
    NotificationCenter_AddInstanceObserver("Workflow", "Complete", reinterpret_cast<const char*>(workflow), &got,
                                           onComplete);
    Dictionary* info = ParseJson(R"({"x": 1})");
    EXPECT_EQ(Workflow_Complete(workflow, Root(info)), 1);
    Dictionary_Release(&info);
    EXPECT_TRUE(got.empty());
    Pass();
    EXPECT_EQ(got, std::vector<std::string>{R"("x":1,"canRemote":false)"});
    EXPECT_TRUE(Printed("Complete"));
    NotificationCenter_RemoveInstanceObserver("Workflow", "Complete", reinterpret_cast<const char*>(workflow), &got,
                                              onComplete);
}

TEST_F(WorkflowTest, IdentityAndTables) {
    char id[64];
    EXPECT_EQ(Workflow_GetInstanceId(workflow, id, sizeof(id)), 1);
    EXPECT_EQ(strlen(id), 32u);
    Workflow_SetRemoteInstanceId(workflow, std::string(60, 'r').c_str());
    Workflow_GetRemoteInstanceId(workflow, id, sizeof(id));
    EXPECT_EQ(std::string(id), std::string(39, 'r'));
    EXPECT_TRUE(Printed("Remote instance - rrr"));
    EXPECT_EQ(Workflow_ValidHandle(workflow), 1);
    EXPECT_EQ(Workflow_ValidHandle(nullptr), 0);
    CertStoreTable* table = nullptr;
    EXPECT_EQ(Workflow_GetCertStoreTableHandle(workflow, &table), 1);
    EXPECT_NE(table, nullptr);
    // An event holds its workflow from the moment it is given one, started or not.
    WorkflowEvent* event = nullptr;
    ASSERT_EQ(WorkflowEvent_Create(&event), 1);
    EXPECT_EQ(WorkflowEvent_Start(event, "t"), 0); // no workflow yet
    WorkflowEvent_SetWorkflowHandle(event, workflow);
    WorkflowEvent_Release(&event);
    EXPECT_EQ(Workflow_ValidHandle(workflow), 1);
    EXPECT_EQ(GlobalWorkflowVtbl.RunTask, Workflow_RunTask);
    EXPECT_EQ(GlobalWorkflowVtbl.QueueTaskWithMacros, Workflow_QueueTaskWithMacros);
}

// Outsized and broken input ends in the stated messages, never a crash.
TEST_F(WorkflowTest, OutsizedInput) {
    const std::string big(64 * 1024, 'x');
    const std::string document = R"({"t": {"arg": ")" + big + R"(", "template": ["nowhere", "t.arg"], "title": "{this.args.arg}",)"
                                 R"( "status": "{workflow.parent.x}"}})";
    Define(document.c_str());
    EXPECT_EQ(Run("t"), R"({"successful":true,"cancelled":false,"name":"t","exists":true,"global":false})");
    Task* task = nullptr;
    EXPECT_EQ(Workflow_CreateTask(workflow, big.c_str(), nullptr, nullptr, &task), 0);
    EXPECT_TRUE(Printed("Cannot find task xxxx"));
    char text[512];
    snprintf(text, sizeof(text), "{this.parent.parent.args.x}");
    EXPECT_EQ(Expand(workflow, text), text);
}

} // namespace
