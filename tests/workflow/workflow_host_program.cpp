// A small engine host for the workflow run's tests, standing in for the real host. Run as
//   workflow_host_program run <url> <broker> [argument ...]
// it asks the run service for an elevated run of <url> (the extra arguments go to the worker),
// launching workers through <broker> in place of pkexec, and exits 0 when the run succeeded.
// "runin" does the same from a run task of a workflow with macros and progress entries of its own.
// Started with --wfworker it is that worker: it serves what the other process sends until the
// link is gone (the pump says it is disconnected), then writes "uid=<effective uid> runs=<completed runs> cmdline=<its command line>"
// to the file named by --hostmarker; with --hostcrash it dies as soon as it is sent a run, with
// --hostquit before it joins. With --wfworker and "refuse <url>" it asks for an elevated
// run itself and exits 0 when that is refused with "Launch_Error_RunElevated".
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "core/linux/privileged_task.h"
#include "core/runtime/command_line.h"
#include "core/runtime/debug.h"
#include "core/formats/json.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/time.h"
#include "core/web/web_get.h"
#include "tests/support/dictionary_text.h"
#include "tests/workflow/run_test_types.h"
#include "workflow/workflow_app.h"
#include "workflow/workflow_run.h"

namespace {

constexpr double kDeadlineSeconds = 60;

struct HostState {
    bool Complete = false;
    bool Successful = false;
    std::string Errors;
    int Runs = 0;
    std::string Sent; // what the worker was sent with its run
};
HostState g_state;

int64_t AllowEveryHost(const char*) {
    return 1;
}

// A worker told to crash leaves as soon as it is sent a run.
int64_t OnStartCrash(void*, const char*, const char*, const char*, Dictionary*) {
    fflush(stdout);
    _exit(3);
}

int64_t OnComplete(void*, const char*, const char*, const char*, Dictionary* info) {
    g_state.Complete = true;
    g_state.Runs++;
    uint32_t flag = 0;
    g_state.Successful = info && Dictionary_GetBooleanByKey(info, "successful", &flag) && flag;
    Dictionary* errors = nullptr;
    DictionaryItem* item = nullptr;
    if (info && Dictionary_GetListByKey(info, "errors", &errors) && errors)
        for (Dictionary_ItemGetFirst(errors, &item); item; Dictionary_ItemGetNext(errors, item, &item)) {
            const char* text = nullptr;
            Dictionary_ItemGetStringPtr(errors, item, &text);
            g_state.Errors += std::string(text ? text : "") + ",";
        }
    return 1;
}

// What a run brings from the other process besides its arguments.
int64_t OnWorkerStart(void*, const char*, const char*, const char*, Dictionary* info) {
    Dictionary* pick = nullptr;
    Dictionary_Create(&pick);
    for (const char* key : {"_macros", "_progress"}) {
        Dictionary* from = nullptr;
        Dictionary* to = nullptr;
        if (info && Dictionary_GetDictionaryByKey(info, key, &from) && from &&
            Dictionary_AddDictionary(pick, key, &to, nullptr) && to)
            Dictionary_Merge(to, from, DICTIONARY_MERGE_OVERWRITE);
    }
    Dictionary* remote = nullptr;
    int outcomes = 0;
    if (info && Dictionary_GetDictionaryByKey(info, "_remote", &remote) && remote)
        for (const char* key : {"success", "failure", "complete"}) outcomes += Dictionary_ContainsKey(remote, key) ? 1 : 0;
    g_state.Sent = "{" + DictionaryAsJson(pick) + "} outcomes=" + std::to_string(outcomes);
    Dictionary_Release(&pick);
    return 1;
}

int64_t OnParentEventDone(Workflow*, void*, Dictionary* info) {
    uint32_t flag = 0;
    g_state.Complete = true;
    g_state.Successful = info && Dictionary_GetBooleanByKey(info, "successful", &flag) && flag;
    return 1;
}

// The host's main loop, bounded in time.
template <typename Done> void PumpUntil(Done done) {
    const double deadline = Time_GetCurrent() + kDeadlineSeconds;
    while (!done() && Time_GetCurrent() < deadline) {
        WorkflowApp_Process();
        WorkflowApp_Wait(1);
    }
}

void StartRun(const char* url, int extraCount, char** extra) {
    Dictionary* info = nullptr;
    Dictionary_Create(&info);
    Dictionary_SetStringByKey(info, "url", url);
    Dictionary_SetBooleanByKey(info, "elevated", 1);
    Dictionary_SetBooleanByKey(info, "authenticate", 0); // the test's documents are not signed
    Dictionary* arguments = nullptr;
    Dictionary_AddList(info, "arguments", &arguments, nullptr);
    for (int i = 0; i < extraCount; i++) Dictionary_AddString(arguments, nullptr, extra[i], nullptr);
    NotificationCenter_AddInstanceObserver("WorkflowRun", "Complete", "host", nullptr, OnComplete);
    NotificationCenter_Fire("WorkflowRun", "Start", "host", info);
    Dictionary_Release(&info);
}

// A workflow whose task "fetch" runs the url elevated; its other definitions carry progress entries.
Workflow* StartRunInWorkflow(const char* url, int extraCount, char** extra) {
    std::string items;
    for (int i = 0; i < extraCount; i++) items += std::string(i ? "," : "") + "\"" + extra[i] + "\"";
    const std::string text = std::string(R"({"fetch": {"type": "WorkflowRun", "elevated": true, "authenticate": false,)") +
                             R"( "url": ")" + url + R"(", "macros": {"tm": "{pm}-task"}, "success": "step",)" +
                             R"( "complete": "step", "arguments": [)" + items + "]}," +
                             R"( "step": {"type": "Step", "progressId": "P", "progressTaskName": "N"},)" +
                             R"( "light": {"type": "Step", "progressId": "L", "progressWeight": 0},)" +
                             R"( "bar": {"type": "Progress", "progressId": "B"}})";
    Dictionary* document = nullptr;
    Dictionary_Create(&document);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, document);
    JSON_LoadBuffer(json, text.data(), (uint32_t)text.size());
    JSON_Release(&json);
    Dictionary* root = nullptr;
    Dictionary_SkipRoot(document, &root);
    Workflow* workflow = nullptr;
    Workflow_Create(&workflow);
    Workflow_RegisterTaskHandler(workflow, &WorkflowRun_Interface);
    Workflow_RegisterTaskHandler(workflow, &run_test_types::StepType);
    Workflow_AddMacro(workflow, "pm", "parent");
    Workflow_AddMacro(workflow, "workflowUrl", "not-sent");
    if (root) Workflow_LoadDictionary(workflow, root, 1);
    Dictionary_Release(&document);
    Workflow_RunTask(workflow, "fetch", nullptr, nullptr, OnParentEventDone);
    return workflow;
}

void WriteMarker(int argc, char** argv) {
    const char* path = nullptr;
    for (int i = 1; i < argc; i++)
        if (strncmp(argv[i], "--hostmarker=", 13) == 0) path = argv[i] + 13;
    if (!path) return;
    std::string cmdline;
    const int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    char buffer[4096];
    ssize_t n = fd >= 0 ? read(fd, buffer, sizeof(buffer)) : -1;
    for (ssize_t i = 0; i < n; i++) cmdline += buffer[i] ? buffer[i] : '|';
    if (fd >= 0) close(fd);
    FILE* file = fopen(path, "w");
    if (!file) return;
    fprintf(file, "uid=%u runs=%d cmdline=%s\nsent=%s\n", (unsigned)geteuid(), g_state.Runs, cmdline.c_str(),
            g_state.Sent.c_str());
    fclose(file);
}

} // namespace

int main(int argc, char** argv) {
    // A worker outlives the parent that reads its output: its last lines must not end it.
    signal(SIGPIPE, SIG_IGN);
    bool quit = false, asWorker = false;
    for (int i = 1; i < argc; i++) {
        quit |= strcmp(argv[i], "--hostquit") == 0;
        asWorker |= strcmp(argv[i], "--wfworker") == 0;
    }
    if (quit && asWorker) return 4; // a worker that ends before it joins
    Arguments_Init(argc, argv);
    const char* commandLine = nullptr;
    CommandLine_Get(&commandLine);
    const bool worker = CommandLine_IsFieldSet(commandLine, "wfworker") != 0;
    // The first words that are not switches say what to do.
    int first = 1;
    while (first < argc && strncmp(argv[first], "--", 2) == 0) first++;
    const char* mode = first < argc ? argv[first] : "";
    const bool parent = strcmp(mode, "run") == 0 || strcmp(mode, "runin") == 0;
    if (!worker && parent && argc > first + 2)
        privileged_task_internal::BrokerPath = argv[first + 2];

    WorkflowApp_Init("workflow_host.log", DEBUG_FLAG_CONSOLE);
    WebGet_AuthorizeOverride(AllowEveryHost);
    run_test_types::Install();

    int code = 2;
    if (worker && strcmp(mode, "refuse") == 0 && argc > first + 1) {
        StartRun(argv[first + 1], 0, nullptr);
        PumpUntil([] { return g_state.Complete; });
        code = g_state.Errors.find("Launch_Error_RunElevated") != std::string::npos ? 0 : 1;
    } else if (worker) {
        NotificationCenter_AddObserver("WorkflowRun", "Complete", nullptr, OnComplete);
        NotificationCenter_AddObserver("WorkflowRun", "Start", nullptr, OnWorkerStart);
        for (int i = 1; i < argc; i++)
            if (strcmp(argv[i], "--hostcrash") == 0)
                NotificationCenter_AddObserver("WorkflowRun", "Start", nullptr, OnStartCrash);
        PumpUntil([] { return WorkflowApp_IsDisconnected() != 0; });
        WriteMarker(argc, argv);
        code = WorkflowApp_IsDisconnected() ? 0 : 1;
    } else if (parent && argc > first + 2) {
        Workflow* workflow = nullptr;
        if (strcmp(mode, "run") == 0)
            StartRun(argv[first + 1], argc - first - 3, argv + first + 3);
        else
            workflow = StartRunInWorkflow(argv[first + 1], argc - first - 3, argv + first + 3);
        PumpUntil([] { return g_state.Complete; });
        if (workflow) Workflow_Release(&workflow);
        printf("host: complete=%d successful=%d errors=%s\n", g_state.Complete, g_state.Successful,
               g_state.Errors.c_str());
        code = g_state.Complete && g_state.Successful ? 0 : 1;
    }
    fflush(stdout);
    run_test_types::Uninstall();
    uint32_t exitCode = 0;
    WorkflowApp_Remove(&exitCode);
    return code;
}
