// Shared set-up of the WorkflowManager suites: the engine started as a host starts it, the
// manager created per test, workflows loaded and registered as a run of the engine registers
// them, main-loop passes, and the log lines and notifications with workflow ids named A, B, ...
#pragma once
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/runtime/debug.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/web/web_get.h"
#include "tests/support/web_get_env.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"
#include "tests/workflow/run_test_types.h"
#include "tests/support/dictionary_text.h"
#include "tests/support/log_capture.h"
#include "tests/workflow/workflow_fixture.h"
#include "workflow/workflow_app.h"
#include "workflow/workflow_manager_internal.h"

// nginx serving workflow documents from a folder of its own on 127.0.0.1.
struct ManagerDocuments {
    TempDir Dir;
    std::unique_ptr<TlsServer> Nginx;
    ManagerDocuments() {
        chmod(Dir.path().c_str(), 0755); // nginx's workers may run as another user
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
    std::string Put(const std::string& name, const std::string& text) {
        std::ofstream(Dir.file("www/" + name)) << text;
        chmod(Dir.file("www/" + name).c_str(), 0644);
        return "http://127.0.0.1:" + std::to_string(Nginx->Port()) + "/" + name;
    }
};

class ManagerEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ASSERT_EQ(WorkflowApp_Init("workflow_manager.log", DEBUG_FLAG_EXTERNAL_PRINT), 1);
        Debug_PrintOverride(CaptureLog);
        WebGet_AuthorizeOverride(AllowEveryHost);
        run_test_types::Install();
    }
    void TearDown() override {
        run_test_types::Uninstall();
        WebGet_AuthorizeOverride(nullptr);
        Debug_PrintOverride(nullptr);
        uint32_t code = 0;
        WorkflowApp_Remove(&code);
    }
};

class ManagerTest : public ::testing::Test {
  protected:
    std::vector<Workflow*> workflows;
    std::vector<std::string> letters; // instance id of A, B, ...
    std::vector<std::string> notes;   // "Type/Name:information" of watched notifications, ids named
    std::string status;               // the last "WorkflowManager"/"Status" information
    int passes = 0;
    std::map<std::string, int> completed; // "WorkflowEvent"/"Complete" by event name
    Dictionary* started = nullptr; // the information of the last "WorkflowRun"/"Start"

    static int64_t OnNote(void* user, const char* type, const char* name, const char*, Dictionary* info) {
        ManagerTest* test = static_cast<ManagerTest*>(user);
        const std::string text = info ? "{" + DictionaryAsJson(info) + "}" : "";
        if (std::string(type) == "WorkflowManager" && std::string(name) == "Status")
            test->status = test->Named(text);
        else if (std::string(type) == "WorkflowEvent") {
            const char* event = nullptr;
            Dictionary_GetStringPtrByKey(info, "name", &event);
            test->completed[event ? event : ""]++;
        } else if (std::string(type) == "WorkflowRun") {
            Dictionary_Release(&test->started);
            Dictionary_Create(&test->started);
            Dictionary_Merge(test->started, info, DICTIONARY_MERGE_OVERWRITE);
            test->notes.push_back(std::string("WorkflowRun/Start:") + text);
        }
        else
            test->notes.push_back(std::string(type) + "/" + name + ":" + test->Named(text));
        return 1;
    }
    const std::vector<std::pair<const char*, const char*>> kWatched = {
        {"WorkflowManager", "Status"},   {"WorkflowManager", "Activate"}, {"WorkflowManager", "Deactivate"},
        {"WorkflowManager", "TaskError"}, {"Workflow", "Status"},          {"WorkflowRun", "Start"},
        {"WorkflowEvent", "Complete"}};

    void SetUp() override {
        ASSERT_EQ(WorkflowManager_Init(), 1);
        for (const auto& w : kWatched) NotificationCenter_AddObserver(w.first, w.second, this, OnNote);
        TakeLog();
    }
    void TearDown() override {
        for (const auto& w : kWatched) NotificationCenter_RemoveObserver(w.first, w.second, this, OnNote);
        EXPECT_EQ(WorkflowManager_Remove(), 1);
        for (int i = 0; i < 20; i++) NotificationCenter_Process();
        for (Workflow*& workflow : workflows) {
            Workflow_CancelTasks(workflow);
            Workflow_Release(&workflow);
        }
        for (int i = 0; i < 20; i++) NotificationCenter_Process();
        Dictionary_Release(&started);
        Interop_Process();
    }

    // Ids replaced by their letters.
    std::string Named(std::string text) const {
        for (size_t i = 0; i < letters.size(); i++)
            for (size_t at; (at = text.find(letters[i])) != std::string::npos;)
                text.replace(at, letters[i].size(), std::string(1, (char)('A' + i)));
        return text;
    }

    // A workflow from a JSON document whose definitions default to the test's "Step" type,
    // registered as the engine's run registers it, then its "load" run.
    Workflow* Load(const char* document, Dictionary* arguments = nullptr) {
        Workflow* workflow = nullptr;
        EXPECT_EQ(Workflow_Create(&workflow), 1);
        workflows.push_back(workflow);
        letters.push_back(WorkflowManager_IdOf(workflow));
        Workflow_SetPrintCallback(workflow, nullptr, DictionaryTextQuiet);
        Workflow_RegisterTaskHandler(workflow, &StepTaskType);
        Dictionary* parsed = ParseJson(document);
        Dictionary* root = Root(parsed);
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(root, &item); item; Dictionary_ItemGetNext(root, item, &item)) {
            Dictionary* definition = nullptr;
            if (Dictionary_ItemGetDictionaryHandle(root, item, &definition) && definition &&
                !Dictionary_ContainsKey(definition, "type"))
                Dictionary_SetStringByKey(definition, "type", "Step");
        }
        Workflow_LoadDictionary(workflow, root, 1);
        Dictionary_Release(&parsed);
        Workflow_SetGlobal(workflow, 1);
        Dictionary* info = ParseJson(R"({"task": "t", "url": "test:", "arguments": {}})");
        Dictionary_SetStringByKey(Root(info), "workflow", WorkflowManager_IdOf(workflow));
        Dictionary* copy = nullptr;
        Dictionary_GetDictionaryByKey(Root(info), "arguments", &copy);
        if (arguments) Dictionary_Merge(copy, arguments, DICTIONARY_MERGE_OVERWRITE);
        NotificationCenter_Fire("WorkflowRun", "RunStart", "t", Root(info));
        Dictionary_Release(&info);
        EXPECT_EQ(Workflow_RunTask(workflow, "load", nullptr, nullptr, nullptr), 1);
        return workflow;
    }

    // One pass of the host's main loop.
    void Pass() {
        passes++;
        WorkflowApp_Process();
        WorkflowManager_Process();
    }
    // A workflow added by the URL of a served document, once the engine's run has registered it
    // and its "load" has completed.
    Workflow* Served(ManagerDocuments& documents, const char* name, const char* document, const char* id,
                     const char* extra = "") {
        const std::string info = std::string("{\"url\": \"") + documents.Put(name, document) +
                                 "\", \"authenticate\": false, \"id\": \"" + id + "\"" + extra + "}";
        // The add's callback is what records the id.
        EXPECT_EQ(WorkflowManager_AddJSON(info.c_str(), nullptr, [](void*, void*) -> int64_t { return 1; }), 1);
        Workflow* workflow = nullptr;
        const int loads = completed["load"];
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!(workflow && completed["load"] > loads) && std::chrono::steady_clock::now() < end) {
            Pass();
            Thread_Wait(1);
            DictionaryItem* item = nullptr;
            Dictionary* ids = GlobalWorkflowManager->WorkflowIds;
            for (Dictionary_ItemGetFirst(ids, &item); item && !workflow; Dictionary_ItemGetNext(ids, item, &item)) {
                const char* value = nullptr;
                const char* key = nullptr;
                if (Dictionary_ItemGetStringPtr(ids, item, &value) && value && std::string(value) == id &&
                    Dictionary_ItemGetKeyPtr(ids, item, &key))
                    workflow = WorkflowManager_FindWorkflow(key);
            }
        }
        if (workflow) letters.push_back(WorkflowManager_IdOf(workflow));
        return workflow;
    }
    void Passes(int count) {
        for (int i = 0; i < count; i++) Pass();
    }
    // Lets the manager's next pass run as if a second had gone by.
    void Tick() {
        GlobalWorkflowManager->LastPass -= 1.0;
    }
    // Passes until the condition holds; false once that many seconds went by without it. What
    // another thread does (a loader, a transfer) takes the time a busy machine gives it, which no
    // count of passes stands for.
    template <typename F> bool PassUntil(F condition, double seconds = 10) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!condition()) {
            if (std::chrono::steady_clock::now() >= end) return condition();
            Pass();
            Thread_Wait(1);
        }
        return true;
    }

    static std::string Json(Dictionary* dict) {
        return "{" + DictionaryAsJson(dict) + "}";
    }
    std::string Active() const {
        return Named(Json(GlobalWorkflowManager->Active));
    }
    std::string Available() const {
        return Named(Json(GlobalWorkflowManager->Available));
    }
    // Log lines of the manager since the last call, ids named, stamps cut.
    std::vector<std::string> ManagerLines() {
        std::vector<std::string> out;
        const std::string text = TakeLog();
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            const std::string line = text.substr(start, end - start);
            const size_t at = line.find("WorkflowManager - ");
            if (at != std::string::npos) out.push_back(Named(line.substr(at)));
            start = end + 1;
        }
        return out;
    }
    // Gives the workflow the id it was added with.
    static void Identify(Workflow* workflow, const char* id) {
        Dictionary_SetStringByKey(GlobalWorkflowManager->WorkflowIds, WorkflowManager_IdOf(workflow), id);
    }
    // Completes the held task `name` of the workflow.
    void Finish(Workflow* workflow, const char* name, const char* result = nullptr) {
        Task* task = nullptr;
        ASSERT_TRUE(PassUntil([&] { return Workflow_FindTaskByName(workflow, name, &task) == 1; })) << name;
        Dictionary* dict = result ? ParseJson(result) : nullptr;
        Task_Complete(task, dict ? Root(dict) : nullptr);
        if (dict) Dictionary_Release(&dict);
    }
};
