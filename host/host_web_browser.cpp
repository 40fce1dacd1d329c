// Back-end choice at start-up and the main-loop task table of the native back end.
#include "host/host_web_browser.h"

#include <atomic>
#include <cstddef>
#include <cstdio>

#include "core/certs/executable.h"
#include "core/platform/path.h"
#include "core/runtime/debug.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_expand.h"
#include "core/runtime/string_print.h"
#include "host/cef/cef_web_browser.h"
#include "host/webkit/webkit_web_browser.h"
#include "skin/web_browser.h"

namespace {

// ---- Main-loop tasks -------------------------------------------------------------------------------
// The caller's data area follows the header; a handle is the address of that area.
struct MainLoopTask {
    std::atomic<uint32_t> RefCount;
    std::atomic<uint32_t> Ran;
    WebBrowserTaskFunc Execute;
    WebBrowserTaskFunc Delete;
    uint32_t Size;
    uint32_t Reserved;
    alignas(16) unsigned char Data[1];
};

MainLoopTask* TaskOf(void* task) {
    ASSERT_POINTER(task);
    return reinterpret_cast<MainLoopTask*>(static_cast<unsigned char*>(task) - offsetof(MainLoopTask, Data));
}

int32_t TaskBytes(uint32_t size) { return (int32_t)(offsetof(MainLoopTask, Data) + (size ? size : 1)); }

int64_t TaskCreate(void** task, uint32_t size, WebBrowserTaskFunc execute, WebBrowserTaskFunc remove) {
    ASSERT_POINTER(task);
    *task = nullptr;
    if (size > 0x7fff0000u) return 0;
    auto* record = static_cast<MainLoopTask*>(Memory_AllocZero(TaskBytes(size)));
    record->RefCount.store(1);
    record->Ran.store(0);
    record->Execute = execute;
    record->Delete = remove;
    record->Size = size;
    *task = record->Data;
    return 1;
}

void* TaskAddRef(void* task) {
    TaskOf(task)->RefCount.fetch_add(1);
    return task;
}

int64_t TaskRelease(void* task) {
    MainLoopTask* record = TaskOf(task);
    if (record->RefCount.fetch_sub(1) != 1) return 1;
    // A task that never ran hands its data to its delete function instead.
    if (record->Ran.load() == 0 && record->Delete != nullptr) record->Delete(record->Data);
    Memory_Free(record, TaskBytes(record->Size));
    return 1;
}

void TaskRun(void* instance, void*) {
    auto* record = static_cast<MainLoopTask*>(instance);
    if (record->Ran.exchange(1) == 0 && record->Execute != nullptr) record->Execute(record->Data);
}

void TaskDrop(void* instance, void*) { TaskRelease(static_cast<MainLoopTask*>(instance)->Data); }

void TaskRunAndDrop(void* instance, void* payload) {
    TaskRun(instance, payload);
    TaskDrop(instance, payload);
}

// The queue keeps a reference until the event has run or been discarded.
int64_t TaskPost(void* task) {
    MainLoopTask* record = TaskOf(task);
    TaskAddRef(task);
    if (EventQueue_AddComplexEvent(nullptr, record, nullptr, 0, TaskRun, TaskDrop) == 1) return 1;
    TaskRelease(task);
    return 0;
}

int64_t TaskPostDelayed(void* task, int64_t delayMs) {
    MainLoopTask* record = TaskOf(task);
    TaskAddRef(task);
    const double seconds = delayMs > 0 ? (double)delayMs / 1000.0 : 0.0;
    if (EventQueue_AddDelay(nullptr, record, nullptr, 0, TaskRunAndDrop, seconds) == 1) return 1;
    TaskRelease(task);
    return 0;
}

constexpr WebBrowserTaskInterface kMainLoopTasks = {TaskCreate, TaskPost, TaskPostDelayed, TaskAddRef, TaskRelease};

// "major.minor.build.patch"; at least the major number must be there.
bool DecodeVersion(const char* text, int32_t numbers[4]) {
    numbers[0] = numbers[1] = numbers[2] = numbers[3] = 0;
    return sscanf(text, "%d.%d.%d.%d", &numbers[0], &numbers[1], &numbers[2], &numbers[3]) >= 1;
}

} // namespace

const WebBrowserTaskInterface* HostWebBrowserTask_GetInterface() { return &kMainLoopTasks; }

const WebBrowserInterface* HostWebBrowser_GetNativeInterface() { return WebKitWebBrowser_GetInterface(); }

int64_t Host_WebBrowserInit(int32_t cefEnabled, int32_t branch, int32_t nativeFallback,
                            const WebBrowserInterface* nativeTable) {
    const WebBrowserInterface* choice = nativeTable;
    // Tasks go to the engine that was chosen: the CEF task table would call into a library
    // that is not loaded when the native back end runs.
    const WebBrowserTaskInterface* tasks = &kMainLoopTasks;
    char library[320] = "";
    if (cefEnabled == 1) {
        char folder[320] = "{ModuleAppDirectory}Contents/Frameworks/Chromium Embedded Framework.framework";
        String_Expand(folder, (int32_t)sizeof(folder), nullptr, nullptr);
        char version[120] = "";
        int32_t numbers[4] = {0, 0, 0, 0};
        const bool known = Executable_GetProductVersion(folder, version, (int32_t)sizeof(version)) == 1 &&
                           DecodeVersion(version, numbers);
        if (known && (numbers[0] == 109 || numbers[0] == 0))
            branch = HOST_CEF_BRANCH;
        else if (known && numbers[0] == 75)
            branch = 3770;
        const WebBrowserInterface* cef = nullptr;
        if (branch == HOST_CEF_BRANCH || branch == 0) cef = CEF5414CEFWebBrowser_GetInterface();
        String_Print(library, (int32_t)sizeof(library), "%s/Chromium Embedded Framework", folder);
        if (cef != nullptr && Path_Exists(library) == 1 && Path_IsDirectory(library) != 1) {
            choice = cef;
            tasks = CEFWebBrowserTask_GetInterface();
        } else if (!nativeFallback) {
            Log_Error("Unrecognized CEF version (%d.%d.%d.%d / %d)\n", numbers[0], numbers[1], numbers[2],
                      numbers[3], branch);
            return 0;
        }
    }
    if (choice == nullptr) {
        Log_Error("Native webview failed to load\n");
        return 0;
    }
    if (WebBrowser_Init(choice, library) != 1) return 0;
    WebBrowserTask_SetInterface(tasks);
    return 1;
}
