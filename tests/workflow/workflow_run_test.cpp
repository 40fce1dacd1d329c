// Workflow runs: documents fetched from nginx on 127.0.0.1 and run in the run's own workflow, the
// run service, the worker's command line and endpoint token, and an elevated run carried out by a
// worker that a stand-in broker starts in a user namespace.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/linux/platform_process.h"
#include "core/platform/process.h"
#include "core/runtime/event_queue.h"
#include "core/web/analytics.h"
#include "core/runtime/string_expand.h"
#include "core/runtime/thread.h"
#include "core/web/web_get.h"
#include "core/web/web_get_pool.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/web_get_env.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"
#include "tests/workflow/run_test_types.h"
#include "tests/workflow/task_fixture.h"
#include "workflow/task_request.h"
#include "workflow/workflow.h"
#include "workflow/workflow_app.h"
#include "workflow/workflow_run_internal.h"

namespace {

// nginx serving the documents of one folder.
struct Documents {
    TempDir Dir;
    std::unique_ptr<TlsServer> Nginx;
    Documents() {
        chmod(Dir.path().c_str(), 0755); // nginx's workers run as another user
        mkdir(Dir.file("www").c_str(), 0755);
        std::ofstream(Dir.file("nginx.tmpl"))
            << "worker_processes 1; pid " << Dir.file("nginx.pid") << "; error_log " << Dir.file("nginx.err")
            << ";\nevents { worker_connections 64; }\nhttp {\n  access_log off;\n"
            << "  client_body_temp_path " << Dir.path() << "; proxy_temp_path " << Dir.path()
            << "; fastcgi_temp_path " << Dir.path() << "; uwsgi_temp_path " << Dir.path()
            << "; scgi_temp_path " << Dir.path() << ";\n  types { application/json json; }\n"
            << "  server { listen 127.0.0.1:PORT; root " << Dir.file("www") << "; }\n}\n";
        Nginx = std::make_unique<TlsServer>(
            Dir.path(), std::vector<std::string>{"sh", "-c",
                                                 "sed s/PORT/{port}/ nginx.tmpl > nginx.conf && exec nginx -c " +
                                                     Dir.file("nginx.conf") + " -g 'daemon off;'"});
    }
    void Put(const std::string& name, const std::string& text) {
        std::ofstream(Dir.file("www/" + name)) << text;
        chmod(Dir.file("www/" + name).c_str(), 0644);
    }
    std::string Url(const std::string& name) const {
        return "http://127.0.0.1:" + std::to_string(Nginx->Port()) + "/" + name;
    }
};
Documents* g_docs = nullptr;

// The run's document as JSON with its GUIDs replaced by "<guid>".
std::string Masked(const std::string& text) {
    static const char kShape[] = "xxxxxxxx-xxxx-xxxx-xxxxxxxxxxxxxxxx";
    const size_t size = sizeof(kShape) - 1;
    std::string out;
    for (size_t i = 0; i < text.size();) {
        bool match = i + size <= text.size();
        for (size_t k = 0; match && k < size; k++)
            match = kShape[k] == '-' ? text[i + k] == '-' : isxdigit((unsigned char)text[i + k]) != 0;
        out += match ? "<guid>" : text.substr(i, 1);
        i += match ? size : 1;
    }
    return out;
}

std::string Replaced(std::string text, const std::string& what, const std::string& with) {
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += with.size())
        text.replace(at, what.size(), with);
    return text;
}

class WorkflowRunTest : public ::testing::Test {
  protected:
    std::vector<std::string> lines;
    std::vector<std::string> fired; // "Name:info"
    std::vector<Task*> tasks;
    std::vector<Dictionary*> documents;

    static void SetUpTestSuite() {
        if (!g_docs) g_docs = new Documents();
    }
    static void TearDownTestSuite() {
        delete g_docs;
        g_docs = nullptr;
    }
    static int64_t CaptureLine(void* user, const char* format, ...) {
        char text[4096];
        va_list args;
        va_start(args, format);
        String_VPrint(text, sizeof(text), format, args);
        va_end(args);
        std::lock_guard<std::mutex> hold(PrintedLinesLock()); // the run's link prints from its threads
        static_cast<WorkflowRunTest*>(user)->lines.push_back(text);
        return 1;
    }
    static int64_t CaptureFire(void* user, const char*, const char* name, const char* sender, Dictionary* info) {
        static_cast<WorkflowRunTest*>(user)->fired.push_back(std::string(name) + "@" + (sender ? sender : "") + ":" +
                                                             (info ? DictionaryAsJson(info) : ""));
        return 1;
    }
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ASSERT_TRUE(g_docs->Nginx->Running());
        ASSERT_EQ(WorkflowApp_Init("workflow_run.log", DEBUG_FLAG_EXTERNAL_PRINT), 1);
        WebGet_AuthorizeOverride(AllowEveryHost);
        TaskRequest_SetRetryDelayUnit(0.001);
        run_test_types::Install();
        for (const char* name : {"RunStart", "Run", "Complete", "Start"})
            NotificationCenter_AddObserver("WorkflowRun", name, this, CaptureFire);
    }
    void TearDown() override {
        if (HasFailure())
            for (const std::string& line : lines) printf("  | %s\n", line.c_str());
        for (Task* task : tasks) {
            Task_RequestDelete(task);
            if (!Task_IsCompleted(task)) Task_Complete(task, nullptr);
        }
        Passes(10);
        for (Task* task : tasks) Task_Release(&task);
        for (Dictionary* dict : documents) Dictionary_Release(&dict);
        Passes(10);
        for (const char* name : {"RunStart", "Run", "Complete", "Start"})
            NotificationCenter_RemoveObserver("WorkflowRun", name, this, CaptureFire);
        run_test_types::Uninstall();
        WebGet_AuthorizeOverride(nullptr);
        TaskRequest_SetRetryDelayUnit(15);
        uint32_t code = 0;
        EXPECT_EQ(WorkflowApp_Remove(&code), 1);
    }

    void Pass() {
        EventQueue_Flush(nullptr);
        WebGetPool_Process();
        NotificationCenter_Process();
        Thread_Wait(1);
    }
    void Passes(int count) {
        for (int i = 0; i < count; i++) Pass();
    }
    template <typename Done> bool PumpUntil(Done done, double seconds = 30) {
        return StepUntil(done, [this] { Pass(); }, seconds);
    }

    // A run task made from the definition's JSON, printing into `lines`.
    Task* NewRun(const std::string& definition) {
        Dictionary* dict = ParseJson(("{\"fetch\": " + definition + "}").c_str());
        documents.push_back(dict);
        Task* task = nullptr;
        Task_Create(&task);
        tasks.push_back(task);
        Task_SetPrintCallback(task, this, CaptureLine);
        EXPECT_EQ(Task_LoadFromDictionary(task, Root(dict), "fetch"), 1);
        // The documents served here are not signed.
        Dictionary_SetBooleanByKey(Task_GetDictionaryHandle(task), "authenticate", 0);
        EXPECT_EQ(Task_SetInterface(task, &WorkflowRun_Interface), 1);
        return task;
    }
    static WorkflowRun* RunOf(Task* task) {
        void* instance = nullptr;
        Task_GetInterfaceHandle(task, &instance);
        return static_cast<WorkflowRun*>(instance);
    }
    static std::string Status(Task* task) {
        Dictionary* status = nullptr;
        if (!RunOf(task) || !RunOf(task)->Workflow_) return "no workflow";
        Workflow_GetStatusDictionaryHandle(RunOf(task)->Workflow_, &status);
        uint32_t loading = 9, retry = 9;
        Dictionary_GetBooleanByKey(status, "isLoading", &loading);
        Dictionary_GetBooleanByKey(status, "canRetry", &retry);
        return "isLoading=" + std::to_string(loading) + " canRetry=" + std::to_string(retry);
    }
    bool Printed(const std::string& text) const {
        for (const std::string& line : lines)
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
    int Fired(const std::string& prefix) const {
        int n = 0;
        for (const std::string& f : fired) n += f.rfind(prefix, 0) == 0;
        return n;
    }
    std::string Errors(Task* task) const {
        std::string out;
        char text[1100];
        for (int32_t i = 0; Task_GetError(task, i, text, sizeof(text)); i++) out += (i ? "," : "") + std::string(text);
        return out;
    }
    // Starts the run and pumps until it completes.
    bool RunToEnd(Task* task) {
        Task_Start(task);
        return PumpUntil([&] { return Task_IsCompleted(task) != 0; });
    }
};

} // namespace

// ---- Document preparation ------------------------------------------------------------------------

// A child read from a file: URL knows its file and folder; one fetched over HTTP knows only its
// address, and its file and folder stay unnamed (a path holding them is refused, never relative).
TEST_F(WorkflowRunTest, OnlyAChildReadFromAFileKnowsItsFileAndFolder) {
    const char* document = R"({"load": {"type": "Step", "queueUnload": true}, "unload": {"type": "Step"}})";
    g_docs->Put("where.json", document);
    const std::string file = g_docs->Dir.file("www/where.json"), blank = g_docs->Dir.file("www/my dir%");
    ASSERT_EQ(mkdir(blank.c_str(), 0700), 0);
    std::ofstream(blank + "/where.json") << document;
    // Given by the caller, as a parent's macros would be: never the fetched document's.
    const std::string given = R"(, "macros": {"workflowPath": "/etc/passwd", "workflowDirectory": "/etc/"})";
    const struct {
        std::string url, path, directory, more = "";
    } cases[] = {
        {"file://" + file, file, g_docs->Dir.file("www") + "/"},
        {g_docs->Url("where.json"), "{workflowPath}", "{workflowDirectory}"},
        // Named as the file that was read, escapes decoded.
        {"file://" + g_docs->Dir.file("www/my%20dir%25/where.json"), blank + "/where.json", blank + "/", given},
        {g_docs->Url("where.json"), "{workflowPath}", "{workflowDirectory}", given},
    };
    for (const auto& c : cases) {
        Task* task = NewRun(R"({"url": ")" + c.url + "\"" + c.more + "}");
        ASSERT_TRUE(RunToEnd(task)) << c.url;
        EXPECT_EQ(Errors(task), "") << c.url;
        char value[1024] = {};
        Workflow_ExpandStringInterop(RunOf(task)->Workflow_, "{workflowPath}|{workflowDirectory}|{workflowUrl}", value,
                                     sizeof(value));
        EXPECT_EQ(std::string(value), c.path + "|" + c.directory + "|" + c.url);
        EXPECT_EQ(String_ExpandFindLocation(value, nullptr, 0), c.path[0] == '{' ? 1 : 0) << value;
    }
}

// The file a "file:" url names is the one the fetch reads: its path with the escapes decoded. Any
// other url, and a path that is not a full one, names no file.
TEST(WorkflowRunFileTest, AFileUrlNamesTheFileItReads) {
    const struct {
        const char* url;
        const char* path; // null: no file
    } cases[] = {
        {"file:///a/my%20dir/wf.yaml", "/a/my dir/wf.yaml"},
        {"FILE:///a/b.json", "/a/b.json"},
        {"file://localhost/a/%7Bnotes%7D.yaml", "/a/{notes}.yaml"},
        {"file:///a%2Fb/c", "/a/b/c"},
        {"file:./wf.yaml", nullptr},
        {"file://host/share/wf.yaml", "/host/share/wf.yaml"}, // as the fetch reads it
        {"http://127.0.0.1/a.yaml", nullptr},
        {"file:", nullptr},
    };
    for (const auto& c : cases) {
        char path[WORKFLOWRUN_FILE_PATH_SIZE] = "x";
        EXPECT_EQ(WorkflowRun_FilePathOfUrl(c.url, path, (int32_t)sizeof(path)), c.path ? 1 : 0) << c.url;
        EXPECT_STREQ(path, c.path ? c.path : "") << c.url;
    }
    char small[8] = "x";
    EXPECT_EQ(WorkflowRun_FilePathOfUrl("file:///a/long/name", small, (int32_t)sizeof(small)), 0);
    EXPECT_STREQ(small, "");
}

// A load task of another type moves aside under "load." and a GUID; the run's own macro "load"
// names it as its "complete", so it runs once the macros are set.
TEST_F(WorkflowRunTest, LoadTaskMovesBehindAMacroLoadAndRunsAfterIt) {
    g_docs->Put("file-load.json", R"({"load": {"type": "Step", "queueUnload": true}, "unload": {"type": "Step"}})");
    const std::string url = g_docs->Url("file-load.json");
    Task* task = NewRun(R"({"elevated": true, "url": ")" + url + R"("})");
    ASSERT_TRUE(RunToEnd(task));
    EXPECT_EQ(Errors(task), "");
    WorkflowRun* run = RunOf(task);
    EXPECT_EQ(Masked("{" + DictionaryAsJson(run->Document) + "}"),
              R"({"load.<guid>":{"type":"Step","queueUnload":true},"unload":{"type":"Step"},)"
              R"("load":{"type":"macro","keyValuePairs":{"workflowUrl":")" + url +
                  R"("},"complete":"load.<guid>"}})");
    EXPECT_TRUE(Printed("Completed from unload event"));
    EXPECT_FALSE(Printed("Launching as elevated"));
    EXPECT_EQ(Status(task), "isLoading=0 canRetry=0");
    // The moved task ran: its macros were set by then.
    char value[256] = {};
    Workflow_ExpandStringInterop(run->Workflow_, "{workflowUrl}", value, sizeof(value));
    EXPECT_EQ(std::string(value), url);
    // Who ran what: the run's identity and arguments, then, once it runs, the task's status too.
    char taskId[40], workflowId[40];
    Task_GetInstanceId(task, taskId, sizeof(taskId));
    Workflow_GetInstanceId(run->Workflow_, workflowId, sizeof(workflowId));
    const std::string identity = R"("task":")" + std::string(taskId) + R"(","workflow":")" + workflowId +
                                 R"(","url":")" + url + R"(","arguments":{"elevated":true,"url":")" + url +
                                 R"(","authenticate":false)";
    ASSERT_EQ(fired.size(), 2u);
    EXPECT_EQ(fired[0], "RunStart@" + std::string(taskId) + ":" + identity + "}");
    EXPECT_EQ(fired[1], "Run@" + std::string(taskId) + ":" + identity +
                            R"(,".cache":"workflow"},"errors":[],"successful":true)");
}

TEST_F(WorkflowRunTest, LoadEntriesBecomeOneMacroLoad) {
    struct Case {
        const char* document;
        const char* load; // the document's "load" afterwards, GUIDs masked
    } cases[] = {
        // No load: one is made, without "complete".
        {R"({"unload": {"type": "Step"}})", R"({"type":"macro","keyValuePairs":{"workflowUrl":"URL"}})"},
        // A macro load stays; its key and value move into its pairs.
        {R"({"load": {"type": "MACRO", "key": "k", "value": "v", "complete": "unload"}, "unload": {"type": "Step"}})",
         R"({"type":"MACRO","complete":"unload","keyValuePairs":{"k":"v","workflowUrl":"URL"}})"},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string name = "load-" + std::to_string(n++) + ".json";
        g_docs->Put(name, c.document);
        const std::string url = g_docs->Url(name);
        Task* task = NewRun(R"({"elevated": true, "url": ")" + url + R"("})");
        Task_Start(task);
        ASSERT_TRUE(PumpUntil([&] { return Status(task) == "isLoading=0 canRetry=0"; })) << name;
        Dictionary* load = nullptr;
        Dictionary_GetDictionaryByKey(RunOf(task)->Document, "load", &load);
        ASSERT_NE(load, nullptr);
        EXPECT_EQ(Replaced("{" + DictionaryAsJson(load) + "}", url, "URL"), c.load) << name;
    }
}

// Macros of the load: the parent workflow's, then "_macros" in front, the parent's again, the url.
// Progress links come from "_progress" and from the parent's definitions of the same name.
TEST_F(WorkflowRunTest, ParentMacrosAndProgressLinksComeInOrder) {
    g_docs->Put("macros.json", R"({"unload": {"type": "Step"}, "step": {"type": "Step"}})");
    Workflow* parent = nullptr;
    ASSERT_EQ(Workflow_Create(&parent), 1);
    Workflow_AddMacro(parent, "p", "parent");
    Workflow_AddMacro(parent, "both", "from-parent");
    Workflow_RegisterTaskHandler(parent, &WorkflowRun_Interface);
    Dictionary* defs = ParseJson((R"({"fetch": {"type": "WorkflowRun", "elevated": true, "authenticate": false, "url": ")" +
                                  g_docs->Url("macros.json") +
                                  R"(", "_macros": {"m": "given", "both": "from-args"}, "macros": {"x": "no"}, "_analytics": {"runKey": "v"},)"
                                  R"( "_progress": {"step": {"progressId": "given", "progressTaskName": "T", "junk": 1}}},)"
                                  R"( "step": {"type": "Step", "progressId": "from-parent"}})")
                                     .c_str());
    documents.push_back(defs);
    Workflow_LoadDictionary(parent, Root(defs), 1);
    Task* task = nullptr;
    ASSERT_EQ(Workflow_CreateTask(parent, "fetch", nullptr, nullptr, &task), 1);
    Task_Start(task);
    ASSERT_TRUE(PumpUntil([&] { return RunOf(task)->Workflow_ && Status(task) == "isLoading=0 canRetry=0"; }));
    Dictionary* pairs = nullptr;
    Dictionary_GetDictionaryByPath(RunOf(task)->Document, "load.keyValuePairs", &pairs);
    ASSERT_NE(pairs, nullptr);
    EXPECT_EQ("{" + DictionaryAsJson(pairs) + "}", R"({"m":"given","p":"parent","both":"from-parent","workflowUrl":")" +
                                           g_docs->Url("macros.json") + R"("})");
    Dictionary* step = nullptr;
    Dictionary_GetDictionaryByKey(RunOf(task)->Document, "step", &step);
    ASSERT_NE(step, nullptr);
    EXPECT_EQ("{" + DictionaryAsJson(step) + "}", R"({"type":"Step","progressId":"from-parent","progressTaskName":"T"})");
    Dictionary* analytics = nullptr;
    ASSERT_EQ(Analytics_GetGlobalDictionaryHandle(&analytics), 1);
    char value[16] = {};
    Dictionary_GetStringByKey(analytics, "runKey", value, sizeof(value));
    EXPECT_STREQ(value, "v");
    Passes(20);
    Workflow_Release(&parent);
}

// "start" names the document's begin: begin becomes "start" with "_name", the old "start" moves.
TEST_F(WorkflowRunTest, EntryArgumentsRenameTasks) {
    g_docs->Put("rename.json",
                R"({"begin": {"type": "Step"}, "start": {"type": "Step", "old": true}, "unload": {"type": "Step"}})");
    Task* task = NewRun(R"({"elevated": true, "start": "be{suffix}", "macros": {"suffix": "gin"}, "url": ")" +
                        g_docs->Url("rename.json") + R"("})");
    Dictionary_SetStringByKey(Task_GetMacroDictionaryHandle(task), "suffix", "gin");
    Task_Start(task);
    ASSERT_TRUE(PumpUntil([&] { return RunOf(task)->Workflow_ && Status(task) == "isLoading=0 canRetry=0"; }));
    Dictionary* doc = RunOf(task)->Document;
    const std::string text = Masked(DictionaryAsJson(doc));
    EXPECT_NE(text.find(R"("start.<guid>":{"type":"Step","old":true})"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("start":{"type":"Step","_name":"begin"})"), std::string::npos) << text;
    EXPECT_EQ(text.find(R"("begin":)"), std::string::npos) << text;
}

// "load" names the document's task to run behind the macro load, which keeps its macros; a failure
// there fails the run (a run inside a workflow never runs its "start").
TEST_F(WorkflowRunTest, ChosenLoadRunsBehindTheMacrosAndItsFailureFailsTheRun) {
    g_docs->Put("chosen-load.json", R"({"begin": {"type": "Step", "fail": true, "queueUnload": true},)"
                                    R"( "load": {"type": "Step", "old": true}, "unload": {"type": "Step"}})");
    const std::string url = g_docs->Url("chosen-load.json");
    Task* task = NewRun(R"({"elevated": true, "load": "begin", "url": ")" + url + R"("})");
    ASSERT_TRUE(RunToEnd(task));
    EXPECT_EQ(Errors(task), "Test_Error_Failed");
    const std::string text = Masked(DictionaryAsJson(RunOf(task)->Document));
    EXPECT_NE(text.find(R"("load":{"type":"macro","keyValuePairs":{"workflowUrl":")" + url +
                        R"("},"complete":"load.<guid>"})"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(R"({"type":"Step","fail":true,"queueUnload":true,"_name":"begin"})"), std::string::npos)
        << text;
    EXPECT_NE(text.find(R"({"type":"Step","old":true})"), std::string::npos) << text;
}

// ---- Fetch failures, retry, cancel ------------------------------------------------------------------

TEST_F(WorkflowRunTest, FailedFetchCanBeRetriedIntoTheSameWorkflow) {
    Task* task = NewRun(R"({"elevated": true, "url": ")" + g_docs->Url("later.json") + R"("})");
    Task_Start(task);
    ASSERT_TRUE(PumpUntil([&] { return Printed("Failed to load workflow json (Err: "); }));
    EXPECT_TRUE(Printed("Failed to load workflow json (Err: 404/"));
    EXPECT_EQ(Status(task), "isLoading=0 canRetry=1");
    EXPECT_FALSE(Task_IsCompleted(task));
    EXPECT_NE(Errors(task).find("WorkflowRun_Error_Request"), std::string::npos);
    uint32_t workflowErrors = 0;
    Workflow_GetErrorCount(RunOf(task)->Workflow_, &workflowErrors);
    EXPECT_GE(workflowErrors, 1u);
    ASSERT_EQ(Fired("Run@"), 1);
    EXPECT_NE(fired.back().find(R"("successful":false)"), std::string::npos) << fired.back();

    Workflow* first = RunOf(task)->Workflow_;
    g_docs->Put("later.json", R"({"load": {"type": "Step", "queueUnload": true}, "unload": {"type": "Step"}})");
    Task_ClearErrors(task);
    char id[40];
    Task_GetInstanceId(task, id, sizeof(id));
    NotificationCenter_Fire("Task", "Retry", id, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return Task_IsCompleted(task) != 0; }));
    EXPECT_EQ(RunOf(task)->Workflow_, first);
    EXPECT_EQ(Fired("RunStart@"), 1);
    EXPECT_EQ(Errors(task), "");
}

TEST_F(WorkflowRunTest, MissingUrlAndCancelPaths) {
    Task* noUrl = NewRun(R"({"elevated": true})");
    ASSERT_TRUE(RunToEnd(noUrl));
    EXPECT_TRUE(Printed("\"url\" argument not defined"));
    EXPECT_EQ(Errors(noUrl), "Task_Error_MissingArg");

    // Without its workflow (never started) a cancelled run ends at once.
    Task* idle = NewRun(R"({"elevated": true, "url": "http://127.0.0.1:9/x.json"})");
    ASSERT_EQ(Task_Cancel(idle), 1);
    ASSERT_TRUE(PumpUntil([&] { return Task_IsCompleted(idle) != 0; }));
    EXPECT_EQ(Errors(idle), "Task_Error_Cancelled");

    // With its workflow, cancelling ends it through the workflow's "unload" (which first cancels
    // the work still running).
    g_docs->Put("held.json", R"({"work": {"type": "Step", "hold": true}, "unload": {"type": "Step"}})");
    Task* held = NewRun(R"({"elevated": true, "url": ")" + g_docs->Url("held.json") + R"("})");
    Task_Start(held);
    ASSERT_TRUE(PumpUntil([&] { return Status(held) == "isLoading=0 canRetry=0"; }));
    Passes(20);
    ASSERT_EQ(Workflow_RunTask(RunOf(held)->Workflow_, "work", nullptr, nullptr, nullptr), 1);
    Passes(20);
    EXPECT_FALSE(Task_IsCompleted(held));
    lines.clear();
    ASSERT_EQ(Task_Cancel(held), 1);
    ASSERT_TRUE(PumpUntil([&] { return Task_IsCompleted(held) != 0; }));
    EXPECT_TRUE(Printed("Completed from unload event"));
    EXPECT_EQ(Errors(held), "Task_Error_Cancelled");
}

// ---- Service ----------------------------------------------------------------------------------------

TEST_F(WorkflowRunTest, ServiceStartsRunsAndReportsTheirEnd) {
    g_docs->Put("service.json", R"({"load": {"type": "Step", "queueUnload": true}, "unload": {"type": "Step"}})");
    uint32_t running = 9;
    // Not for this process: a start that may not run here, and a relayed one without its run.
    NotificationCenter_FireWithJSON("WorkflowRun", "Start", "asker", "{\"canLocal\": false, \"url\": \"x\"}");
    NotificationCenter_FireWithJSON("WorkflowRun", "Start", "asker", "{\"isRemote\": true, \"url\": \"x\"}");
    Passes(5);
    WorkflowRun_GetRunningCount(&running);
    EXPECT_EQ(running, 0u);
    EXPECT_EQ(Fired("RunStart@"), 0);

    const std::string start = R"({"isRemote": true, "_remote": {"elevated": true, "authenticate": false, "url": ")" +
                              g_docs->Url("service.json") + R"("}, "id": "7"})";
    NotificationCenter_FireWithJSON("WorkflowRun", "Start", "asker", start.c_str());
    WorkflowRun_GetRunningCount(&running);
    EXPECT_EQ(running, 1u);
    ASSERT_TRUE(PumpUntil([&] { return Fired("Complete@asker") == 1; }));
    WorkflowRun_GetRunningCount(&running);
    EXPECT_EQ(running, 0u);
    const std::string& end = fired.back();
    EXPECT_NE(end.find(R"("successful":true)"), std::string::npos) << end;
    EXPECT_EQ(end.find("canRemote"), std::string::npos) << end;
}

// ---- Key providers ----------------------------------------------------------------------------------

TEST_F(WorkflowRunTest, UrlForTheWorkerKeepsContentUrl) {
    Task* task = NewRun(R"({"url": "x"})");
    Dictionary_SetStringByKey(Task_GetMacroDictionaryHandle(task), "ContentUrl", "http://here/");
    Dictionary_SetStringByKey(Task_GetMacroDictionaryHandle(task), "Name", "doc");
    char text[STRING_EXPAND_WORK_SIZE] = "{contentUrl}flows/{Name}.json";
    String_Expand(text, sizeof(text), task, WorkflowRun_UrlExpandStringCallback);
    EXPECT_STREQ(text, "{contentUrl}flows/doc.json");

    char value[64] = "junk";
    EXPECT_EQ(WorkflowRun_ExpandStringCallback(task, RunOf(task), "nosuch.status", value, sizeof(value)), 1);
    EXPECT_STREQ(value, "");
    EXPECT_TRUE(Printed("Cannot find task nosuch for path evaluation"));
}

// ---- The worker's command line ----------------------------------------------------------------------

// Each item stays one argument; nothing is cut; the engine's own switches cannot be smuggled in.
TEST(WorkflowRunArgumentsTest, ItemsStayWholeArgumentsAndSwitchesAreRefused) {
    struct Case {
        std::vector<std::string> items;
        bool accepted;
    } cases[] = {
        {{"plain", "with blank", "tab\there", "back\\slash", ""}, true},
        {{"--mine=1", "-wfworkerish"}, true},
        {{"say \"hi\" --wfworker"}, false},
        {{"--wfworker"}, false},
        {{"--WFEndPoint=http://127.0.0.1:1/"}, false},
        {{"--maxdays=3"}, false},
        // Handed over unexpanded: a location would be a name in the worker's folder.
        {{"--debugdir={workflowDirectory}"}, false},
        {{"x", "{Env:HOME}/run.sh"}, false},
        {{"{notes}"}, true},
        // Long enough that the engine's switches would no longer fit: refused, never cut.
        {{std::string(4050, 'a')}, false},
    };
    for (const Case& c : cases) {
        Dictionary* list = nullptr;
        Dictionary_Create(&list);
        for (const std::string& item : c.items) Dictionary_AddString(list, nullptr, item.c_str(), nullptr);
        char text[WORKFLOWRUN_ARGUMENTS_SIZE];
        const char* why = nullptr;
        const int64_t ok =
            WorkflowRun_BuildWorkerArguments(list, "http://127.0.0.1:40/", text, sizeof(text), &why);
        Dictionary_Release(&list);
        ASSERT_EQ(ok, c.accepted ? 1 : 0) << c.items[0].substr(0, 40);
        if (!c.accepted) {
            EXPECT_STREQ(text, "");
            EXPECT_NE(why, nullptr);
            continue;
        }
        int32_t count = 0;
        char** split = nullptr;
        ASSERT_EQ(CommandLineToMutableArray(text, &count, &split), 1);
        std::vector<std::string> got(split, split + count);
        CommandLineFreeMutableArray(&count, &split);
        std::vector<std::string> want = c.items;
        for (const char* tail : {"--debugfileid=elevated", "--wfworker", "--wfendpoint=http://127.0.0.1:40/"})
            want.push_back(tail);
        EXPECT_EQ(got, want) << text;
    }
}

// ---- The worker's endpoint token --------------------------------------------------------------------

TEST(WorkflowRunTokenTest, TokenLinesAreExact) {
    struct Case {
        std::string bytes;
        const char* token; // null: refused
    } cases[] = {
        {"Ab3def9hijK", "Ab3def9hijK"},   {"Ab3def9hijK\n", "Ab3def9hijK"}, {"Ab3def9hij\n", nullptr},
        {"Ab3def9hijK\r\n", nullptr},     {"Ab3def9hijKL", nullptr},        {"Ab3def/hijK", nullptr},
        {std::string("Ab3d\0f9hijK", 11), nullptr}, {"", nullptr},
    };
    for (const Case& c : cases) {
        char token[32] = "junk";
        const int64_t ok = WorkflowRun_ParseEndPointToken(c.bytes.data(), (int32_t)c.bytes.size(), token, sizeof(token));
        EXPECT_EQ(ok, c.token ? 1 : 0) << c.bytes;
        EXPECT_STREQ(token, c.token ? c.token : "") << c.bytes;
    }
    char small[11];
    EXPECT_EQ(WorkflowRun_ParseEndPointToken("Ab3def9hijK", 11, small, sizeof(small)), 0);
}

TEST(WorkflowRunTokenTest, ReaderTakesOneLineAndNeverWaitsLong) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string bytes = "Ab3def9hijK\nnext line";
    ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), (ssize_t)bytes.size());
    char token[32];
    EXPECT_EQ(WorkflowRun_ReadEndPointToken(fds[0], 1000, token, sizeof(token)), 1);
    EXPECT_STREQ(token, "Ab3def9hijK");
    char rest[32] = {};
    EXPECT_EQ(read(fds[0], rest, sizeof(rest)), 9);
    EXPECT_STREQ(rest, "next line");

    // Nothing comes: the wait ends.
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(WorkflowRun_ReadEndPointToken(fds[0], 200, token, sizeof(token)), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
    // A writer that never ends its line is not waited for past the token's size.
    ASSERT_EQ(write(fds[1], "Ab3def9hijKLMNOP", 16), 16);
    EXPECT_EQ(WorkflowRun_ReadEndPointToken(fds[0], 1000, token, sizeof(token)), 0);
    EXPECT_EQ(read(fds[0], rest, sizeof(rest)), 4);
    close(fds[1]);
    EXPECT_EQ(WorkflowRun_ReadEndPointToken(fds[0], 1000, token, sizeof(token)), 0);
    close(fds[0]);

    char url[64];
    EXPECT_EQ(WorkflowRun_GetWorkerEndPointUrl("http://127.0.0.1:5/Ab3def9hijK", 1, url, sizeof(url)), 1);
    EXPECT_STREQ(url, "http://127.0.0.1:5/Ab3def9hijK");
    EXPECT_EQ(WorkflowRun_GetWorkerEndPointUrl("http://127.0.0.1:5/", 0, url, sizeof(url)), 1);
    EXPECT_STREQ(url, "http://127.0.0.1:5/");
}

// The token's way into a launched program: its standard input, never its command line.
TEST_F(WorkflowRunTest, InputTextReachesTheProgramsStandardInput) {
    TempDir dir;
    Process* process = nullptr;
    ASSERT_EQ(Process_Create(&process), 1);
    Process_SetApplicationName(process, "/bin/sh");
    Process_SetArguments(process, ("-c \"cat > " + dir.file("got") + "\"").c_str());
    // Root asking for elevation launches plainly; either way the text goes along.
    Process_SetElevationRights(process, PROCESS_RIGHTS_ELEVATED);
    ASSERT_EQ(Process_SetInputText(process, "Ab3def9hijK\n"), 1);
    EXPECT_EQ(Process_SetInputText(process, std::string(PROCESS_INPUT_TEXT_SIZE, 'x').c_str()), 0);
    ASSERT_EQ(Process_Launch(process), 1);
    std::string got;
    StepUntil([&] { return (got = ReadFile(dir.file("got"))).size() >= 12; },
              [&] {
                  Process_Process(process);
                  std::this_thread::sleep_for(std::chrono::milliseconds(10));
              });
    EXPECT_EQ(got, "Ab3def9hijK\n");
    Process_Release(&process);
}

// ---- Elevated runs through a worker -----------------------------------------------------------------

namespace {

// Runs a command line through sh as nobody, with output in a file; the exit status.
int RunAsNobody(const std::string& command, const std::string& output) {
    const std::string line = "setpriv --reuid=65534 --regid=65534 --clear-groups env ASAN_OPTIONS=detect_leaks=1 "
                             "HOME=/tmp " + command + " > '" + output + "' 2>&1";
    const int status = system(line.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool UserNamespacesWork() {
    return system("setpriv --reuid=65534 --regid=65534 --clear-groups unshare --user --map-root-user true "
                  ">/dev/null 2>&1") == 0;
}

// What unprivileged users need, in a 0755 folder owned by root: the host program, the stand-in
// broker (which, as pkexec does, keeps standard input and replaces itself with the program) and a
// folder of their own for the worker's report.
struct Stage {
    TempDir Dir;
    std::string Program, Broker, Out;
    Stage() {
        chmod(Dir.path().c_str(), 0755);
        Program = Dir.file("workflow_host_program");
        std::ifstream in(WORKFLOW_HOST_PROGRAM, std::ios::binary);
        std::ofstream(Program, std::ios::binary) << in.rdbuf();
        chmod(Program.c_str(), 0755);
        Broker = Dir.file("broker.sh");
        std::ofstream(Broker) << "#!/bin/sh\nexec /usr/bin/unshare --user --map-root-user \"$@\"\n";
        chmod(Broker.c_str(), 0755);
        Out = Dir.file("out");
        mkdir(Out.c_str(), 0700);
        (void)!chown(Out.c_str(), 65534, 65534);
    }
};

} // namespace

TEST_F(WorkflowRunTest, ElevatedRunIsCarriedOutByAWorker) {
    if (!UserNamespacesWork()) GTEST_SKIP() << "this machine refuses unprivileged user namespaces";
    g_docs->Put("elevated.json", R"({"load": {"type": "Step", "queueUnload": true}, "unload": {"type": "Step"}})");
    Stage stage;
    const std::string marker = stage.Out + "/worker report.txt";
    const std::string log = stage.Out + "/parent.txt";
    const int code = RunAsNobody("'" + stage.Program + "' run '" + g_docs->Url("elevated.json") + "' '" +
                                     stage.Broker + "' '--hostmarker=" + marker + "'",
                                 log);
    const std::string output = ReadFile(log);
    EXPECT_EQ(code, 0) << output;
    EXPECT_NE(output.find("Launching as elevated [" + stage.Program + "]"), std::string::npos) << output;
    EXPECT_NE(output.find("host: complete=1 successful=1"), std::string::npos) << output;
    // The worker writes its report once the link is gone.
    std::string report;
    StepUntil([&] { return !(report = ReadFile(marker)).empty(); },
              [] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); });
    EXPECT_EQ(report.rfind("uid=0 runs=1 ", 0), 0u) << report << output;
    // One argument with its blank; the endpoint without its token.
    EXPECT_NE(report.find("|--hostmarker=" + marker + "|"), std::string::npos) << "[" << report << "]";
    const size_t at = report.find("|--wfendpoint=http://127.0.0.1:");
    ASSERT_NE(at, std::string::npos) << report;
    const size_t end = report.find('|', at + 1);
    ASSERT_NE(end, std::string::npos) << report;
    EXPECT_EQ(report[end - 1], '/') << report;
}

// A run task of a workflow sends the workflow's macros (its task's expanded over them, without the
// run's own url macros) and the progress entries that count, and keeps its outcomes at home.
TEST_F(WorkflowRunTest, RunSentFromAWorkflowCarriesItsMacrosAndProgress) {
    if (!UserNamespacesWork()) GTEST_SKIP() << "this machine refuses unprivileged user namespaces";
    g_docs->Put("sent.json", R"({"load": {"type": "Step", "queueUnload": true}, "unload": {"type": "Step"}})");
    Stage stage;
    const std::string marker = stage.Out + "/sent.txt";
    const std::string log = stage.Out + "/runin.txt";
    const int code = RunAsNobody("'" + stage.Program + "' runin '" + g_docs->Url("sent.json") + "' '" + stage.Broker +
                                     "' '--hostmarker=" + marker + "'",
                                 log);
    EXPECT_EQ(code, 0) << ReadFile(log);
    std::string report;
    StepUntil([&] { return !(report = ReadFile(marker)).empty(); },
              [] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); });
    EXPECT_NE(report.find("\nsent={\"_macros\":{\"pm\":\"parent\",\"tm\":\"parent-task\"},"
                          "\"_progress\":{\"step\":{\"progressId\":\"P\",\"progressTaskName\":\"N\"}}} outcomes=0\n"),
              std::string::npos)
        << report;
}

// A worker that dies with the run does not leave the run waiting for ever.
TEST_F(WorkflowRunTest, LostWorkerEndsTheRun) {
    if (!UserNamespacesWork()) GTEST_SKIP() << "this machine refuses unprivileged user namespaces";
    g_docs->Put("lost.json", R"({"unload": {"type": "Step"}})");
    Stage stage;
    const std::string log = stage.Out + "/lost.txt";
    const int code = RunAsNobody("'" + stage.Program + "' run '" + g_docs->Url("lost.json") + "' '" + stage.Broker +
                                     "' --hostcrash",
                                 log);
    const std::string output = ReadFile(log);
    EXPECT_EQ(code, 1) << output;
    EXPECT_NE(output.find("Lost the elevated worker"), std::string::npos) << output;
    EXPECT_NE(output.find("host: complete=1 successful=0 errors=Task_Error_Cancelled,"), std::string::npos) << output;
}

TEST_F(WorkflowRunTest, WorkerThatNeverJoinsEndsTheRun) {
    if (!UserNamespacesWork()) GTEST_SKIP() << "this machine refuses unprivileged user namespaces";
    g_docs->Put("quit.json", R"({"unload": {"type": "Step"}})");
    Stage stage;
    const std::string log = stage.Out + "/quit.txt";
    const int code = RunAsNobody("'" + stage.Program + "' run '" + g_docs->Url("quit.json") + "' '" + stage.Broker +
                                     "' --hostquit",
                                 log);
    const std::string output = ReadFile(log);
    EXPECT_EQ(code, 1) << output;
    EXPECT_NE(output.find("The elevated worker ended before it joined"), std::string::npos) << output;
    EXPECT_NE(output.find("errors=Launch_Error_RunElevated,"), std::string::npos) << output;
}

// A worker without its token cannot join: it ends rather than wait for ever.
TEST_F(WorkflowRunTest, WorkerWithoutTokenEnds) {
    Stage stage;
    const std::string log = stage.Out + "/notoken.txt";
    const int code = RunAsNobody("'" + stage.Program + "' --wfworker --wfendpoint=http://127.0.0.1:9/ < /dev/null", log);
    const std::string output = ReadFile(log);
    EXPECT_EQ(code, 0) << output;
    EXPECT_NE(output.find("No endpoint token on standard input"), std::string::npos) << output;
}

TEST_F(WorkflowRunTest, WorkerNeverStartsAnotherWorker) {
    g_docs->Put("refused.json", R"({"unload": {"type": "Step"}})");
    Stage stage;
    const std::string log = stage.Out + "/refuse.txt";
    const int code = RunAsNobody("'" + stage.Program + "' --wfworker refuse '" + g_docs->Url("refused.json") + "'", log);
    EXPECT_EQ(code, 0) << ReadFile(log);
}
