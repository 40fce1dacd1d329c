// End to end: a workflow added by URL through the script classes, its state told by a task type
// that script carries out, then its install: a list fetched and fanned out, macros set, and a child
// document run elevated by a worker that a stand-in broker starts in a user namespace.
// An elevated run only goes to a worker from an unprivileged process, so each case runs this
// program again as nobody; the worker the engine launches is this program once more.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/formats/interop.h"
#include "core/linux/privileged_task.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/command_line.h"
#include "core/runtime/debug.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/time.h"
#include "core/web/web_get.h"
#include "tests/support/web_get_env.h"
#include "tests/support/dictionary_text.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"
#include "workflow/task_request.h"
#include "workflow/workflow.h"
#include "workflow/workflow_app.h"
#include "workflow/workflow_interop.h"
#include "workflow/workflow_manager.h"
#include "workflow/workflow_manager_internal.h"

namespace {

constexpr double kDeadlineSeconds = 60;

std::vector<std::string> OwnArguments() {
    std::vector<std::string> out;
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    for (std::string item; std::getline(in, item, '\0');) out.push_back(item);
    return out;
}

// Started with --wfworker this program is the elevated worker: it serves the other process until
// the link is gone, before any test runs.
class WorkerEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        std::vector<std::string> args = OwnArguments();
        bool worker = false;
        for (const std::string& arg : args) worker |= arg == "--wfworker";
        if (!worker) return;
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        Arguments_Init((int32_t)args.size(), argv.data());
        WorkflowApp_Init("workflow_end_to_end_worker.log", DEBUG_FLAG_CONSOLE);
        WebGet_AuthorizeOverride(AllowEveryHost);
        // The manager's flow runs a sent document's "start" after its "load", then unloads it.
        WorkflowManager_Init();
        const double deadline = Time_GetCurrent() + kDeadlineSeconds;
        while (!WorkflowApp_IsDisconnected() && Time_GetCurrent() < deadline) {
            WorkflowApp_Process();
            WorkflowApp_Wait(1);
        }
        WorkflowManager_Remove();
        uint32_t code = 0;
        WorkflowApp_Remove(&code);
        fflush(stdout);
        _exit(0);
    }
};
const auto* const kWorker = ::testing::AddGlobalTestEnvironment(new WorkerEnvironment);

// ---- What page script does -----------------------------------------------------------------------

std::string Create(const char* className, const std::string& id = "") {
    char buffer[INTEROP_INSTANCE_ID_SIZE] = {0};
    strncpy(buffer, id.c_str(), sizeof(buffer) - 1);
    if (!Interop_DispatchCreateInstance(className, buffer, sizeof(buffer), nullptr, nullptr, nullptr))
        return "";
    return buffer;
}

// A request as script sends it (the bridge adds the method's CRC-32); the answer's JSON.
std::string Call(const std::string& id, const char* method, const std::string& arguments = "") {
    MemoryStream* out = nullptr;
    MemoryStream_Create(&out);
    MemoryStream_SetAutoGrow(out, 1);
    const std::string request =
        std::string("{\"method\":\"") + method + "\"" + (arguments.empty() ? "" : "," + arguments) + "}";
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

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) out += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    return out + "\"";
}

// ---- The run as nobody ---------------------------------------------------------------------------

struct Observed {
    std::vector<std::string> notes;   // "Type/Name:information" in order
    std::vector<std::string> started; // instance ids of tasks that started
    std::string lastStatus;           // the last "WorkflowManager"/"Status"
};
Observed* g_seen = nullptr;

int64_t OnNote(void*, const char* type, const char* name, const char* sender, Dictionary* info) {
    const std::string text = info ? "{" + DictionaryAsJson(info) + "}" : "";
    if (std::string(type) == "Task" && std::string(name) == "Start")
        g_seen->started.push_back(sender ? sender : "");
    if (std::string(type) == "WorkflowManager" && std::string(name) == "Status")
        g_seen->lastStatus = text;
    else
        g_seen->notes.push_back(std::string(type) + "/" + name + ":" + text);
    return 1;
}

const std::vector<std::pair<const char*, const char*>> kWatched = {{"Task", "Start"},
                                                                   {"Task", "Status"},
                                                                   {"Task", "Complete"},
                                                                   {"Task", "Error"},
                                                                   {"WorkflowManager", "Status"},
                                                                   {"WorkflowManager", "Activate"},
                                                                   {"WorkflowManager", "Deactivate"},
                                                                   {"WorkflowManager", "TaskError"},
                                                                   {"WorkflowManager", "TaskComplete"},
                                                                   {"Workflow", "Status"},
                                                                   {"WorkflowEvent", "Complete"}};

class Inner {
  public:
    Observed seen;
    std::string manager, handler;
    size_t handled = 0; // started tasks looked at by script

    Inner() {
        g_seen = &seen;
        for (const auto& w : kWatched) NotificationCenter_AddObserver(w.first, w.second, this, OnNote);
    }
    ~Inner() {
        for (const auto& w : kWatched) NotificationCenter_RemoveObserver(w.first, w.second, this, OnNote);
        g_seen = nullptr;
    }
    // Passes of the host's main loop until the condition holds, bounded in time. Script ends
    // every DemoState task that starts, as not installed.
    template <typename F> bool PumpUntil(F done) {
        const double deadline = Time_GetCurrent() + kDeadlineSeconds;
        while (!done() && Time_GetCurrent() < deadline) {
            WorkflowApp_Process();
            WorkflowManager_Process();
            for (; handled < seen.started.size(); handled++) {
                const std::string task = Create("QVR.Task", seen.started[handled]);
                if (task.empty()) continue;
                if (Call(task, "getType") == R"({"returnValue":"DemoState"})") {
                    EXPECT_EQ(Call(task, "addError", R"("message":"Application_NotInstalled")"),
                              R"({"returnValue":true})");
                    EXPECT_EQ(Call(task, "complete", R"("json":"{}")"), R"({"returnValue":true})");
                }
                Interop_DispatchReleaseInstance(task.c_str());
            }
            WorkflowApp_Wait(1);
        }
        return done();
    }
    int Count(const std::string& prefix) const {
        int n = 0;
        for (const std::string& note : seen.notes) n += note.rfind(prefix, 0) == 0;
        return n;
    }
    bool Noted(const std::string& prefix, const std::string& part) const {
        for (const std::string& note : seen.notes)
            if (note.rfind(prefix, 0) == 0 && note.find(part) != std::string::npos) return true;
        return false;
    }
};

std::string Env(const char* name) {
    const char* value = getenv(name);
    return value ? value : "";
}

std::string WorkflowMacro(Workflow* workflow, const char* name) {
    Dictionary* macros = nullptr;
    char value[256] = {};
    if (!Workflow_GetMacroDictionaryHandle(workflow, &macros) || !macros ||
        !Dictionary_GetStringByKey(macros, name, value, sizeof(value)))
        return "(none)";
    return value;
}

std::string GlobalMacro(const char* name) {
    Dictionary* macros = nullptr;
    char value[256] = {};
    if (!WorkflowApp_GetMacroDictionaryHandle(&macros) || !macros ||
        !Dictionary_GetStringByKey(macros, name, value, sizeof(value)))
        return "(none)";
    return value;
}

// What each case ends with.
struct Outcome {
    const char* mode;
    const char* event;     // the install's "WorkflowEvent"/"Complete" information
    const char* available; // what the manager offers afterwards
    const char* lastItem;  // macros of the workflow ("(none)": not set)
    const char* listStatus;
    const char* installed; // the workflow's "demoInstalled"
    const char* global;    // the application's "demoInstalled"
    const char* progress;  // the Progress task's overall figures, in order
    const char* runErrors; // runChild's errors on completion
    bool childRan;         // the child's macros came back from the worker
};
// A failure that the "failure" chain handles ends its task successfully, with the errors it had:
// so does the list that is not there, and so does an install whose worker never started.
const char kDone[] =
    R"({"successful":true,"cancelled":false,"errors":[],"name":"install","workflow":"W","exists":true,"global":true})";
const char kDoneWithoutWorker[] =
    R"({"successful":true,"cancelled":false,"errors":["Launch_Error_RunElevated"],"name":"install","workflow":"W",)"
    R"("exists":true,"global":true})";
const Outcome kOutcomes[] = {
    {"installed", kDone, R"({"W":[]})", "b", "(none)", "(none)", "1", "0,0.3,0.6,1", "-", true},
    {"nolist", kDone, R"({"W":[]})", "(none)", "missing", "(none)", "1", "0.6,1", "-", true},
    {"noworker", kDoneWithoutWorker, R"({"W":[]})", "b", "(none)", "0", "(none)", "0,0.3,0.6,1",
     R"(["Launch_Error_RunElevated"])", false},
};

} // namespace

// The scenario itself, run as nobody by the cases below (skipped when run on its own).
TEST(WorkflowEndToEndInner, Install) {
    const std::string mode = Env("E2E_CASE");
    if (mode.empty()) GTEST_SKIP() << "run by WorkflowEndToEndTest as another user";
    const Outcome* want = nullptr;
    for (const Outcome& o : kOutcomes)
        if (mode == o.mode) want = &o;
    ASSERT_NE(want, nullptr) << mode;
    privileged_task_internal::BrokerPath = getenv("E2E_BROKER");
    const std::string base = Env("E2E_BASE");
    ASSERT_EQ(WorkflowApp_Init("workflow_end_to_end.log", DEBUG_FLAG_CONSOLE), 1);
    WebGet_AuthorizeOverride(AllowEveryHost);
    TaskRequest_SetRetryDelayUnit(0.001);
    ASSERT_EQ(WorkflowApp_InitInterop(), 1);
    ASSERT_EQ(WorkflowManager_Init(), 1);
    {
        Inner inner;
        inner.handler = Create("QVR.ScriptTaskHandler");
        inner.manager = Create("QVR.WorkflowManager");
        ASSERT_FALSE(inner.manager.empty());
        EXPECT_EQ(Call(inner.handler, "register", R"("name":"DemoState")"), R"({"returnValue":true})");
        const std::string info = "{\"url\": " + Quoted(base + "demo.yaml") +
                                 ", \"id\": \"demo\", \"priority\": 10, \"authenticate\": false}";
        EXPECT_EQ(Call(inner.manager, "add", "\"json\":" + Quoted(info) + ",\"callbackId\":\"added\""),
                  R"({"returnValue":true})");

        // "state" is queued once the document has loaded; script says not installed.
        Workflow* workflow = nullptr;
        ASSERT_TRUE(inner.PumpUntil([&] {
            const char* key = nullptr;
            DictionaryItem* item = nullptr;
            Dictionary* ids = GlobalWorkflowManager->WorkflowIds;
            if (!workflow && Dictionary_ItemGetFirst(ids, &item) && item &&
                Dictionary_ItemGetKeyPtr(ids, item, &key))
                workflow = WorkflowManager_FindWorkflow(key);
            return workflow && inner.Noted("WorkflowEvent/Complete:", R"("name":"state")");
        })) << inner.seen.lastStatus;
        const std::string id = WorkflowManager_IdOf(workflow);
        // The report that follows names what the workflow offers now.
        inner.PumpUntil([&] {
            return inner.seen.lastStatus.find(R"("available":{")" + id + R"(":[")") != std::string::npos;
        });
        auto named = [&](std::string text) {
            for (size_t at; (at = text.find(id)) != std::string::npos;) text.replace(at, id.size(), "W");
            return text;
        };
        EXPECT_EQ(named(inner.seen.lastStatus), R"({"progress":-2,"active":{},"available":{"W":["install"]},)"
                                                R"("dependencies":{},"queued":{},"queuedDependencies":{},)"
                                                R"("workflowId":{"W":"demo"}})");
        EXPECT_TRUE(inner.Noted("WorkflowEvent/Complete:",
                                R"("errors":["Application_NotInstalled"],"name":"state")"));
        EXPECT_FALSE(inner.Noted("WorkflowManager/TaskError:", "Application_NotInstalled"));

        inner.seen.notes.clear();
        EXPECT_EQ(Call(inner.manager, "queueTask", "\"workflow\":" + Quoted(id) + ",\"name\":\"install\""),
                  R"({"returnValue":true})");
        ASSERT_TRUE(inner.PumpUntil([&] { return inner.Count("WorkflowManager/Deactivate:") > 0; }));
        inner.PumpUntil([&] { return inner.seen.lastStatus.find(R"("active":{})") != std::string::npos; });

        // The manager: one activation, the install's end, what it offers now.
        EXPECT_EQ(inner.Count("WorkflowManager/Activate:"), 1);
        std::string event;
        for (const std::string& note : inner.seen.notes)
            if (note.rfind("WorkflowEvent/Complete:", 0) == 0 &&
                note.find(R"("name":"install")") != std::string::npos)
                event = named(note.substr(23));
        EXPECT_EQ(event, want->event);
        EXPECT_NE(named(inner.seen.lastStatus).find(std::string(R"("available":)") + want->available),
                  std::string::npos)
            << named(inner.seen.lastStatus);
        // The Progress task's statuses: its texts and its overall figures.
        EXPECT_TRUE(inner.Noted("Task/Start:",
                                R"("name":"install","workflow":")" + id + R"(","status":"Installing"})"));
        // The second status text only follows an install whose own steps all succeeded.
        EXPECT_EQ(inner.Noted("Task/Status:", R"({"status":"Installed"})"), want->childRan);
        std::string progress;
        for (const std::string& note : inner.seen.notes) {
            const size_t at = note.find(R"({"overallProgress":)");
            if (note.rfind("Task/Status:", 0) == 0 && at != std::string::npos)
                progress +=
                    (progress.empty() ? "" : ",") + note.substr(at + 19, note.find(',', at) - at - 19);
        }
        EXPECT_EQ(progress, want->progress);
        // Macros of the workflow and of the application.
        EXPECT_EQ(WorkflowMacro(workflow, "lastItem"), want->lastItem);
        EXPECT_EQ(WorkflowMacro(workflow, "listStatus"), want->listStatus);
        EXPECT_EQ(WorkflowMacro(workflow, "demoInstalled"), want->installed);
        EXPECT_EQ(GlobalMacro("demoInstalled"), want->global);
        // The child ran in the worker, with the parent's macros; its statuses came back marked remote.
        EXPECT_EQ(inner.Noted("Task/Status:", R"({"childRan":"yes","parent":"demo","isRemote":true})"),
                  want->childRan);
        if (want->runErrors[0] != '-') {
            EXPECT_TRUE(
                inner.Noted("WorkflowManager/TaskComplete:", std::string(R"("errors":)") + want->runErrors));
        }
        if (::testing::Test::HasFailure())
            for (const std::string& note : inner.seen.notes) printf("  | %s\n", named(note).c_str());

        // The host's way out: unload everything, then stop.
        bool unloaded = false;
        EXPECT_EQ(WorkflowManager_Unload(&unloaded,
                                         [](void* user, void*) -> int64_t {
                                             *static_cast<bool*>(user) = true;
                                             return 1;
                                         }),
                  1);
        EXPECT_TRUE(inner.PumpUntil([&] { return unloaded; }));
    }
    EXPECT_EQ(WorkflowManager_Remove(), 1);
    for (int i = 0; i < 20; i++) WorkflowApp_Process();
    WebGet_AuthorizeOverride(nullptr);
    uint32_t code = 0;
    WorkflowApp_Remove(&code);
}

namespace {

std::string SelfPath() {
    char path[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    return n > 0 ? std::string(path, (size_t)n) : "";
}

bool UserNamespacesWork() {
    return system("setpriv --reuid=65534 --regid=65534 --clear-groups unshare --user --map-root-user true "
                  ">/dev/null 2>&1") == 0;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The documents on python's HTTP server, and the stand-in brokers.
struct Stage {
    TempDir Dir;
    std::unique_ptr<TlsServer> Server;
    std::string Program; // this program, where nobody may run it
    Stage() {
        chmod(Dir.path().c_str(), 0755);
        mkdir(Dir.file("www").c_str(), 0755);
        Program = Dir.file("workflow_end_to_end");
        // A second name costs nothing where the folder is on the same file system.
        if (link(SelfPath().c_str(), Program.c_str()) != 0) {
            std::ifstream in(SelfPath(), std::ios::binary);
            std::ofstream(Program, std::ios::binary) << in.rdbuf();
            chmod(Program.c_str(), 0755);
        }
        Server = std::make_unique<TlsServer>(
            Dir.path(), std::vector<std::string>{"/usr/bin/python3", "-m", "http.server", "{port}", "--bind",
                                                 "127.0.0.1", "--directory", Dir.file("www")});
        // As pkexec does, the broker keeps standard input and replaces itself with the program.
        Put("broker.sh", "#!/bin/sh\nexec /usr/bin/unshare --user --map-root-user \"$@\"\n", 0755);
        Put("refusing.sh", "#!/bin/sh\nexit 126\n", 0755);
        // The reader takes flow collections only as values, so the child's one task is a block entry.
        Put("www/child.yaml",
            "start: {type: Macro, keyValuePairs: {childRan: \"yes\", parent: \"{parentName}\"}}\n");
        Put("www/demo.yaml", Demo());
    }
    void Put(const std::string& name, const std::string& text, mode_t mode = 0644) {
        std::ofstream(Dir.file(name)) << text;
        chmod(Dir.file(name).c_str(), mode);
    }
    std::string Base() const { return "http://127.0.0.1:" + std::to_string(Server->Port()) + "/"; }
    std::string Demo() const {
        return "_net: {timeout: 10, allowGzip: true, authenticate: false}\n"
               "load: {type: Macro, keyValuePairs: {demoBase: \"" +
               Base() +
               "\", listName: items.json}}\n"
               "state: {type: DemoState}\n"
               "install: {type: Progress, status: [Installing, Installed], actions: [fetchList, runChild], "
               "success: markInstalled, failure: markFailed}\n"
               "fetchList: {type: Aggregate, template: _net, url: \"{demoBase}{listName}\", source: items, "
               "target: perItem.item, progressWeight: 0.6, headers: {X-Demo: \"{AppVersion}\"}, failure: "
               "noList}\n"
               "perItem: {type: Macro, key: lastItem, value: \"{this.args.item.name}\"}\n"
               "noList: {type: Macro, keyValuePairs: {listStatus: missing}}\n"
               "runChild: {type: WorkflowRun, template: _net, url: \"{demoBase}child.yaml\", elevated: true, "
               "macros: {parentName: demo}}\n"
               "markInstalled: {type: Macro, global: true, keyValuePairs: {demoInstalled: \"1\"}}\n"
               "markFailed: {type: Macro, keyValuePairs: {demoInstalled: \"0\"}}\n";
    }
    // This program's scenario as nobody; its exit status and output.
    int RunInner(const std::string& mode, const std::string& broker, std::string* output) {
        const std::string log = Dir.file("inner-" + mode + ".txt");
        const std::string line =
            "E2E_CASE=" + mode + " E2E_BASE='" + Base() + "' E2E_BROKER='" + broker +
            "' timeout -k 5 240 setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=/tmp '" +
            Program + "' --gtest_filter=WorkflowEndToEndInner.Install > '" + log + "' 2>&1";
        const int status = system(line.c_str());
        *output = ReadAll(log);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

} // namespace

TEST(WorkflowEndToEndTest, InstallAsNobody) {
    Stage stage;
    ASSERT_TRUE(stage.Server->Running());
    const bool namespaces = UserNamespacesWork();
    struct Case {
        const char* mode;
        bool list;          // items.json is served (else it answers 404)
        const char* broker; // the stand-in for pkexec
        bool needsWorker;
    } cases[] = {
        {"installed", true, "broker.sh", true},
        {"nolist", false, "broker.sh", true},
        {"noworker", true, "refusing.sh", false},
    };
    for (const Case& c : cases) {
        if (c.needsWorker && !namespaces) {
            printf("%s: skipped, this machine refuses unprivileged user namespaces\n", c.mode);
            continue;
        }
        unlink(stage.Dir.file("www/items.json").c_str());
        if (c.list) stage.Put("www/items.json", R"({"items": [{"name": "a"}, {"name": "b"}]})");
        std::string output;
        EXPECT_EQ(stage.RunInner(c.mode, stage.Dir.file(c.broker), &output), 0) << c.mode << "\n" << output;
        EXPECT_NE(output.find("[  PASSED  ] 1 test."), std::string::npos) << c.mode << "\n" << output;
    }
    if (!namespaces) GTEST_SKIP() << "the run through a worker needs unprivileged user namespaces";
}
