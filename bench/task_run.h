// Runs one task of a workflow document through the engine, as the task benchmarks time it: the
// task named "t" started, the main loop pumped until its run has ended.
#pragma once

#include <string>

#include "core/formats/json.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "workflow/workflow.h"
#include "workflow/workflow_app.h"

namespace task_run {

inline int64_t Discard(void*, const char*, ...) {
    return 1;
}

// Callback slots keep a flag in the user pointer's lowest bit: the record's address must be even.
struct RunEnd {
    int64_t Ended;
    uint32_t Successful;
};

inline int64_t OnEnd(Workflow*, void* user, Dictionary* info) {
    RunEnd* end = static_cast<RunEnd*>(user);
    end->Ended = 1;
    Dictionary_GetBooleanByKey(info, "successful", &end->Successful);
    return 1;
}

// One pass of the loop: the notification centre and the main queue, or (whole) the engine
// context's own pump, which also drives the web requests of tasks.
inline void Pass(bool whole) {
    if (whole) {
        WorkflowApp_Process();
        return;
    }
    NotificationCenter_Process();
    EventQueue_Flush(nullptr);
}

// Whether task "t" of the JSON document ran and ended successfully.
inline bool RunTask(const std::string& document, bool whole = false) {
    Workflow* workflow = nullptr;
    Workflow_Create(&workflow);
    Workflow_SetPrintCallback(workflow, nullptr, Discard);
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, dict);
    bool ok = JSON_LoadBuffer(json, document.data(), (uint32_t)document.size()) == 1;
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Release(&json);
    Dictionary* root = nullptr;
    Dictionary_SkipRoot(dict, &root);
    ok = ok && root && Workflow_LoadDictionary(workflow, root, 1) == 1;
    Dictionary_Release(&dict);
    RunEnd end{0, 0};
    ok = ok && Workflow_RunTask(workflow, "t", nullptr, &end, OnEnd) == 1;
    while (ok && !end.Ended) {
        Pass(whole);
        if (!end.Ended) Thread_Wait(1);
    }
    Workflow_Release(&workflow);
    for (int i = 0; i < 5; i++) Pass(whole);
    return ok && end.Successful;
}

} // namespace task_run
