// Progress: walks the chain of tasks its actions reach, gives each a weighted bound, and turns the
// progress each of them reports (or a timed climb) into one overall figure published as its status.
#include "workflow/progress.h"
#include "workflow/task_type.h"

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/time.h"
#include "workflow/queue.h"
#include "workflow/workflow.h"
#include "workflow/workflow_app.h"

struct Progress {
    Class Header;
    ClassPrint Print;
    uint32_t OwnVerbose;
    Task* Task_; // not referenced: the task owns the object through its type
    Queue* Queue_;
    Dictionary* Bounds;
    Dictionary* Incomplete;
    double MaxPercentage;
    double MaxChainDepth;
    uint32_t WaitPaused;
    double WaitInterval;
    double WaitLast;
    uint32_t ObservingAnyStart;
};

namespace {

constexpr int32_t kNameSize = 512;
constexpr int32_t kIdSize = 120;
constexpr int32_t kIdTextSize = 40;

int64_t DeleteHandle(void** handle) {
    return Progress_Delete(reinterpret_cast<Progress**>(handle));
}

void PreparePrint(Progress* progress) {
    ClassPrint_Prepare(&progress->Print, progress, "Progress", ClassPrint_DefaultCallback);
}

// Lines marked verbose appear only while the task's own level is exactly 1.
bool Verbose(Progress* progress) {
    uint32_t level = 0;
    Task_GetVerbose(progress->Task_, &level);
    return level == 1;
}

void Dump(Progress* progress, const char* title, Dictionary* dict) {
    Progress_Print(progress, "%s", title);
    Dictionary_Dump(dict);
}

Dictionary* NewDictionary(Progress* progress) {
    Dictionary* dict = nullptr;
    if (!Dictionary_Create(&dict)) return nullptr;
    Dictionary_SetAllowDuplicates(dict, 0);
    Dictionary_SetPrintCallback(dict, progress, Progress_Print);
    return dict;
}

const char* TaskId(Progress* progress) {
    return reinterpret_cast<const char*>(progress->Task_);
}

bool IsOwnTask(Progress* progress, const char* sender) {
    return sender && String_CompareWithoutCaseReturn(sender, TaskId(progress)) == 0;
}

// A task of the Progress task's workflow, or of a workflow that one of its tasks runs.
bool InWorkflow(Progress* progress, const char* sender) {
    Workflow* workflow = Task_GetWorkflowHandle(progress->Task_);
    if (!workflow || !sender) return false;
    Task* found = nullptr;
    if (Workflow_FindTaskByInstanceId(workflow, sender, &found) && found) return true;
    char id[kIdTextSize];
    Workflow_GetInstanceId(workflow, id, sizeof(id));
    return WorkflowApp_IsTaskInWorkflow(sender, id, 1) == 1;
}

Dictionary* Definition(Progress* progress, const char* name) {
    Workflow* workflow = Task_GetWorkflowHandle(progress->Task_);
    Dictionary* definitions = nullptr;
    Dictionary* definition = nullptr;
    if (!workflow || !Workflow_GetDictionaryHandle(workflow, &definitions) || !definitions) return nullptr;
    uint32_t type = 0;
    if (!Dictionary_GetTypeByKey(definitions, name, &type) || type != DICTIONARY_TYPE_DICTIONARY)
        return nullptr;
    Dictionary_GetDictionaryByKey(definitions, name, &definition);
    return definition;
}

double NumberOr(Dictionary* dict, const char* key, double fallback) {
    uint32_t type = 0;
    if (!Dictionary_GetTypeByKey(dict, key, &type)) return fallback;
    double value = fallback;
    if (!Dictionary_GetFloat64ByKey(dict, key, &value)) return fallback;
    return value;
}

uint32_t FlagOr(Dictionary* dict, const char* key, uint32_t fallback) {
    uint32_t value = 0;
    return Dictionary_GetBooleanByKey(dict, key, &value) ? value : fallback;
}

Dictionary* Bound(Progress* progress, const char* id) {
    Dictionary* bound = nullptr;
    if (!id || !id[0] || !Dictionary_GetDictionaryByKey(progress->Bounds, id, &bound)) return nullptr;
    return bound;
}

// The bounds in chain order, with their ids.
struct BoundRef {
    const char* Id;
    Dictionary* Dict;
};
std::vector<BoundRef> Bounds(Progress* progress) {
    std::vector<BoundRef> out;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(progress->Bounds, &item); item;
         Dictionary_ItemGetNext(progress->Bounds, item, &item)) {
        BoundRef ref{nullptr, nullptr};
        Dictionary_ItemGetKeyPtr(progress->Bounds, item, &ref.Id);
        Dictionary_ItemGetDictionaryHandle(progress->Bounds, item, &ref.Dict);
        if (ref.Id && ref.Dict) out.push_back(ref);
    }
    return out;
}

// The id of the bound that the task runs under; null when none.
const char* Progress_GetBoundsIdByTask(Progress* progress, const char* sender) {
    for (const BoundRef& ref : Bounds(progress)) {
        const char* task = nullptr;
        if (Dictionary_GetStringPtrByKey(ref.Dict, "progressTask", &task) && task &&
            String_CompareWithoutCaseReturn(task, sender) == 0)
            return ref.Id;
    }
    return nullptr;
}

int64_t Progress_Notification_OnAnyTaskProcess(void* user, const char* type, const char* name,
                                               const char* instance, Dictionary* info);

void StopTimed(Progress* progress, const char* sender) {
    NotificationCenter_RemoveProcessObserver(sender, progress, Progress_Notification_OnAnyTaskProcess);
}

void FireStatus(Progress* progress, const char* sender, Dictionary* dict) {
    Workflow* workflow = Task_GetWorkflowHandle(progress->Task_);
    // Tasks of the workflow itself run here; only those of a workflow it runs elsewhere are remote.
    Task* local = nullptr;
    if (workflow && Workflow_HasRemoteTask(workflow, sender) && !Workflow_HasTask(workflow, sender) &&
        !(Workflow_FindTaskByInstanceId(workflow, sender, &local) && local))
        Dictionary_SetBooleanByKey(dict, "isRemote", 1);
    NotificationCenter_Fire("Task", "Status", sender, dict);
}

void Progress_SetBoundsProgress(Progress* progress, const char* id, double p) {
    Dictionary* bound = Bound(progress, id);
    if (!bound) return;
    char sender[kIdSize];
    if (!Dictionary_GetStringByKey(bound, "progressTask", sender, kIdSize) || !sender[0])
        String_CopyLength(sender, TaskId(progress), kIdSize);
    uint32_t type = 0;
    double stored = 0;
    if (Dictionary_GetTypeByKey(bound, "percent", &type) &&
        Dictionary_GetFloat64ByKey(bound, "percent", &stored) && stored == p)
        return;
    Dictionary* dict = nullptr;
    if (FlagOr(bound, "progressAggregate", 0)) {
        Progress_Print(progress, "Aggregate progress - %.2f", p);
        if (!Dictionary_Create(&dict)) return;
        Dictionary_SetFloat64ByKey(dict, "#aggregateProgress", p);
        FireStatus(progress, sender, dict);
        Dictionary_Release(&dict);
        return;
    }
    Dictionary_SetFloat64ByKey(bound, "percent", p);

    // Tasks skipped before this one (no progress ever taken) hand their weight to the rest.
    std::vector<BoundRef> bounds = Bounds(progress);
    const size_t count = bounds.size();
    double unused = 0;
    size_t before = 0;
    size_t current = count;
    for (size_t i = 0; i < count; i++) {
        if (bounds[i].Dict == bound) {
            current = i;
            break;
        }
        if (!Dictionary_ContainsKey(bounds[i].Dict, "percent")) {
            const double weight = NumberOr(bounds[i].Dict, "progressWeight", 0);
            unused += weight;
            Dictionary_SetFloat64ByKey(bounds[i].Dict, "progressWeight", 0);
            if (Verbose(progress))
                Progress_Print(progress, "%s - Unused progress weight %.02f from %s", id, weight,
                               bounds[i].Id);
        }
        before++;
    }
    if (current == count) return;
    if (unused != 0) {
        if (Verbose(progress)) Dump(progress, "Bounds:", progress->Bounds);
        const double share = unused / (double)(count - before);
        for (size_t i = current; i < count; i++) {
            const double weight = NumberOr(bounds[i].Dict, "progressWeight", 0);
            Dictionary_SetFloat64ByKey(bounds[i].Dict, "progressWeight", weight + share);
            if (Verbose(progress))
                Progress_Print(progress, "%s (%d/%d)- Redistributing weight (%.02f + %.02f -> %.02f)",
                               bounds[i].Id, (int)before, (int)count, weight, share, weight + share);
        }
    }

    // A task that ends after a later one on the chain already reported (the "complete" chain runs
    // before its task reports its own end) would pull the figure back to its own range.
    for (size_t i = current + 1; i < count; i++)
        if (Dictionary_ContainsKey(bounds[i].Dict, "percent")) return;

    double lo = 0, total = 0;
    for (size_t i = 0; i < count; i++) {
        const double weight = NumberOr(bounds[i].Dict, "progressWeight", 0);
        if (i < current) lo += weight;
        total += weight;
    }
    const double hi = lo + NumberOr(bound, "progressWeight", 0);
    if (Verbose(progress)) {
        Dictionary_Dump(progress->Bounds);
        Progress_Print(progress, "%s - Range (%.2f - %.2f / %.02f)", id, lo, hi, total);
    }
    if (!(hi - lo > 0)) return;
    double fraction = 0;
    if (p > 0 && p <= 1)
        fraction = (lo + (hi - lo) * p) / total;
    else if (p <= 0)
        fraction = lo;
    const double scale = progress->MaxPercentage / 100.0;
    const double overall = scale * fraction;
    Progress_Print(progress, "Overall progress - %.2f", overall);
    if (!Dictionary_Create(&dict)) return;
    Dictionary_SetFloat64ByKey(dict, "overallProgress", overall);
    Dictionary* copy = nullptr;
    if (Dictionary_AddDictionary(dict, "#progressBounds", &copy, nullptr) && copy) {
        Dictionary_Merge(copy, progress->Bounds, DICTIONARY_MERGE_OVERWRITE);
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(copy, &item); item; Dictionary_ItemGetNext(copy, item, &item)) {
            Dictionary* entry = nullptr;
            double percent = 0;
            if (Dictionary_ItemGetDictionaryHandle(copy, item, &entry) && entry &&
                Dictionary_ContainsKey(entry, "percent") &&
                Dictionary_GetFloat64ByKey(entry, "percent", &percent))
                Dictionary_SetFloat64ByKey(entry, "percent", percent * scale);
        }
    }
    FireStatus(progress, sender, dict);
    Dictionary_Release(&dict);
}

// ---- Chain walk --------------------------------------------------------------------------------
// Depth first from the Progress task's own definition through "actions", the named parameters and
// "complete". A name met again while it is still being walked closes a cycle, which could only
// end at the depth limit: it fails as that limit does, at once. A name walked before is not walked
// again: only whether its subtree, hung deeper, would pass the limit is checked. That keeps a
// document with shared or cyclic references linear in its size.

struct WalkFrame {
    std::string Name;
    Dictionary* Definition;
    double Depth;
    int Stage; // 0 "actions", 1 parameters, 2 "complete", 3 done
    DictionaryItem* Cursor;
    size_t Parameter;
    double Height;
};

struct WalkMark {
    bool OnPath;
    double Height;
};

struct Walk {
    Progress* P;
    Dictionary* Chain;
    std::unordered_set<std::string> InChain;
    std::unordered_map<std::string, WalkMark> Marks;
    std::vector<std::string> Parameters;
    std::vector<WalkFrame> Stack;
};

bool TooDeep(Walk& walk) {
    Progress_Print(walk.P, "Task chain depth exceeds maximum (%.0f)", walk.P->MaxChainDepth);
    Task_AddError(walk.P->Task_, "Task_Error_InvalidArg");
    return false;
}

// Enters one name at `depth`; false fails the walk. A name that needs walking is pushed.
bool Enter(Walk& walk, const char* raw, double depth, bool root) {
    Progress* progress = walk.P;
    if (depth > progress->MaxChainDepth) return TooDeep(walk);
    char name[kNameSize];
    String_CopyLength(name, raw, kNameSize);
    Task_ExpandString(progress->Task_, name, kNameSize);
    Dictionary* definition = Definition(progress, name);
    if (!definition) {
        Progress_Print(progress, "Cannot find task %s", name);
        Task_AddError(progress->Task_, "Task_Error_MissingArg");
        return false;
    }
    char id[kIdTextSize];
    String_Guid(id, sizeof(id), 0);
    Dictionary_SetStringByKey(definition, "#progressId", id);
    Dictionary_SetStringByKey(definition, "#progressTaskName", name);
    if (!root && (!Dictionary_ContainsKey(definition, "progressWeight") ||
                  NumberOr(definition, "progressWeight", 0) > 0)) {
        if (walk.InChain.insert(name).second) Dictionary_AddString(walk.Chain, nullptr, name, nullptr);
    }
    auto mark = walk.Marks.find(name);
    double height = 0;
    if (mark != walk.Marks.end()) {
        if (mark->second.OnPath || depth + mark->second.Height > progress->MaxChainDepth)
            return TooDeep(walk);
        height = mark->second.Height;
    } else if (FlagOr(definition, "taskChainEnd", 0)) {
        walk.Marks[name] = WalkMark{false, 0};
    } else {
        walk.Marks[name] = WalkMark{true, 0};
        walk.Stack.push_back(WalkFrame{name, definition, depth, 0, nullptr, 0, 0});
        return true;
    }
    if (!walk.Stack.empty() && walk.Stack.back().Height < height + 1) walk.Stack.back().Height = height + 1;
    return true;
}

// The next name the frame leads to; false when it leads nowhere more.
bool NextChild(Walk& walk, WalkFrame& frame, std::string* child) {
    Dictionary* definition = frame.Definition;
    if (frame.Stage == 0) {
        Dictionary* list = nullptr;
        uint32_t type = 0;
        if (Dictionary_GetTypeByKey(definition, "actions", &type) && type == DICTIONARY_TYPE_LIST &&
            Dictionary_GetListByKey(definition, "actions", &list) && list) {
            DictionaryItem* item = frame.Cursor;
            if (!item)
                Dictionary_ItemGetFirst(list, &item);
            else
                Dictionary_ItemGetNext(list, item, &item);
            for (; item; Dictionary_ItemGetNext(list, item, &item)) {
                char text[kNameSize];
                if (Dictionary_ItemCompareType(list, item, DICTIONARY_TYPE_STRING) &&
                    Dictionary_ItemGetString(list, item, text, kNameSize)) {
                    frame.Cursor = item;
                    *child = text;
                    return true;
                }
            }
        }
        frame.Stage = 1;
    }
    if (frame.Stage == 1) {
        while (frame.Parameter < walk.Parameters.size()) {
            const char* key = walk.Parameters[frame.Parameter++].c_str();
            uint32_t type = 0;
            char text[kNameSize];
            if (Dictionary_GetTypeByKey(definition, key, &type) && type == DICTIONARY_TYPE_STRING &&
                Dictionary_GetStringByKey(definition, key, text, kNameSize)) {
                *child = text;
                return true;
            }
        }
        frame.Stage = 2;
    }
    if (frame.Stage == 2) {
        frame.Stage = 3;
        uint32_t type = 0;
        char text[kNameSize];
        if (Dictionary_GetTypeByKey(definition, "complete", &type) && type == DICTIONARY_TYPE_STRING &&
            Dictionary_GetStringByKey(definition, "complete", text, kNameSize)) {
            *child = text;
            return true;
        }
    }
    return false;
}

bool Progress_BuildTaskChain(Progress* progress, Dictionary* chain) {
    Walk walk;
    walk.P = progress;
    walk.Chain = chain;
    Dictionary* parameters = nullptr;
    if (Dictionary_GetListByKey(Task_GetDictionaryHandle(progress->Task_), "taskChainParameter",
                                &parameters) &&
        parameters) {
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(parameters, &item); item;
             Dictionary_ItemGetNext(parameters, item, &item)) {
            const char* key = nullptr;
            if (Dictionary_ItemCompareType(parameters, item, DICTIONARY_TYPE_STRING) &&
                Dictionary_ItemGetStringPtr(parameters, item, &key) && key &&
                String_CompareWithoutCaseReturn(key, "actions") != 0)
                walk.Parameters.push_back(key);
        }
    }
    const char* own = nullptr;
    Task_GetNamePtr(progress->Task_, &own);
    if (!Enter(walk, own ? own : "", 0, true)) return false;
    std::string child;
    while (!walk.Stack.empty()) {
        WalkFrame& frame = walk.Stack.back();
        if (NextChild(walk, frame, &child)) {
            if (!Enter(walk, child.c_str(), frame.Depth + 1, false)) return false;
            continue;
        }
        const WalkFrame done = frame;
        walk.Stack.pop_back();
        walk.Marks[done.Name] = WalkMark{false, done.Height};
        if (!walk.Stack.empty() && walk.Stack.back().Height < done.Height + 1)
            walk.Stack.back().Height = done.Height + 1;
    }
    return true;
}

// ---- Notifications -----------------------------------------------------------------------------

int64_t Progress_Notification_OnTaskStart(void* user, const char*, const char*, const char*, Dictionary*) {
    Progress* progress = static_cast<Progress*>(user);
    CLASS_CHECK(progress, PROGRESS_CLASS_ID);
    Task* task = progress->Task_;
    Dictionary_Reset(progress->Incomplete);
    Dictionary* chain = NewDictionary(progress);
    if (!chain || !Progress_BuildTaskChain(progress, chain)) {
        if (chain) Dictionary_Release(&chain);
        Task_Complete(task, nullptr);
        return 1;
    }
    if (Verbose(progress)) Dump(progress, "Task name chain:", chain);
    Dictionary* all = NewDictionary(progress);
    Dictionary* unweighted = NewDictionary(progress);
    double remaining = 1.0;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(chain, &item); item; Dictionary_ItemGetNext(chain, item, &item)) {
        const char* name = nullptr;
        if (!Dictionary_ItemGetStringPtr(chain, item, &name) || !name) continue;
        Dictionary* definition = Definition(progress, name);
        char id[kIdSize];
        if (!definition || !Dictionary_GetStringByKey(definition, "#progressId", id, kIdSize) || !id[0]) {
            Task_AddError(task, "Unknown task in chain: %s", name);
            continue;
        }
        const double weight = NumberOr(definition, "progressWeight", -1.0);
        const bool timed = Dictionary_ContainsKey(definition, "progressWaitTime") != 0;
        Dictionary* bound = nullptr;
        if (!Dictionary_EnsureDictionary(progress->Bounds, id, nullptr, &bound) || !bound) continue;
        Dictionary_SetFloat64ByKey(bound, "progressWeight", weight);
        Dictionary_SetFloat64ByKey(bound, "progressWaitTime",
                                   timed ? NumberOr(definition, "progressWaitTime", 0) : 0);
        Dictionary_SetFloat64ByKey(bound, "progressWaitInterval",
                                   timed ? NumberOr(definition, "progressWaitInterval", 0) : 0);
        Dictionary_SetFloat64ByKey(bound, "progressWaitLimit",
                                   timed ? NumberOr(definition, "progressWaitLimit", 1.0) : 1.0);
        Dictionary_SetBooleanByKey(bound, "progressWaitPaused",
                                   timed ? FlagOr(definition, "progressWaitPaused", 0) : 0);
        Dictionary_SetBooleanByKey(bound, "progressAggregate", FlagOr(definition, "progressAggregate", 0));
        char taskName[kNameSize];
        if (Dictionary_GetStringByKey(definition, "#progressTaskName", taskName, kNameSize))
            Dictionary_SetStringByKey(bound, "progressTaskName", taskName);
        if (weight >= 0.0 && weight <= 1.0)
            remaining -= weight;
        else
            Dictionary_AddString(unweighted, nullptr, name, nullptr);
        Dictionary_AddString(all, nullptr, name, nullptr);
        Dictionary_SetStringByKey(progress->Incomplete, name, id);
    }
    if (Verbose(progress)) {
        Dump(progress, "All tasks:", all);
        Dump(progress, "Unweighted tasks:", unweighted);
        Dump(progress, "Incomplete tasks:", progress->Incomplete);
        Dump(progress, "Bounds:", progress->Bounds);
    }
    uint32_t count = 0;
    Dictionary_ItemGetCount(unweighted, &count);
    if (count > 0) {
        const double share = remaining > 0 ? remaining / count : 0;
        for (Dictionary_ItemGetFirst(unweighted, &item); item;
             Dictionary_ItemGetNext(unweighted, item, &item)) {
            const char* name = nullptr;
            Dictionary* definition = nullptr;
            char id[kIdSize];
            if (!Dictionary_ItemGetStringPtr(unweighted, item, &name) || !name ||
                !(definition = Definition(progress, name)) ||
                !Dictionary_GetStringByKey(definition, "#progressId", id, kIdSize))
                continue;
            if (Dictionary* bound = Bound(progress, id))
                Dictionary_SetFloat64ByKey(bound, "progressWeight", share);
        }
        if (Verbose(progress)) Dump(progress, "Bounds:", progress->Bounds);
    }
    Dictionary_Release(&all);
    Dictionary_Release(&unweighted);
    Dictionary_Release(&chain);
    Queue_LoadActions(progress->Queue_);
    Queue_Start(progress->Queue_);
    return 1;
}

int64_t Progress_Notification_OnAnyTaskStart(void* user, const char*, const char*, const char* sender,
                                             Dictionary* info) {
    Progress* progress = static_cast<Progress*>(user);
    CLASS_CHECK(progress, PROGRESS_CLASS_ID);
    if (!info || !sender || IsOwnTask(progress, sender)) return 1;
    DictionaryItem* first = nullptr;
    Dictionary* definition = nullptr;
    char id[kIdSize] = {0};
    if (!Dictionary_ItemGetFirst(info, &first) || !first ||
        !Dictionary_ItemCompareType(info, first, DICTIONARY_TYPE_DICTIONARY) ||
        !Dictionary_ItemGetDictionaryHandle(info, first, &definition) || !definition ||
        !Dictionary_GetStringByKey(definition, "#progressId", id, kIdSize) || !id[0])
        return 1;
    Dictionary* bound = Bound(progress, id);
    if (!bound || !InWorkflow(progress, sender)) return 1;
    Dictionary_SetStringByKey(bound, "progressTask", sender);
    if (NumberOr(bound, "progressWeight", 0) > 0 && NumberOr(bound, "progressWaitTime", 0) > 0) {
        progress->WaitLast = Time_GetCurrent();
        const double interval = NumberOr(bound, "progressWaitInterval", 0);
        progress->WaitInterval = interval > 0 ? interval : 1.0;
        progress->WaitPaused = FlagOr(bound, "progressWaitPaused", 0);
        NotificationCenter_AddProcessObserver(sender, progress, Progress_Notification_OnAnyTaskProcess);
    }
    return 1;
}

int64_t Progress_Notification_OnAnyTaskProcess(void* user, const char*, const char*, const char* sender,
                                               Dictionary*) {
    Progress* progress = static_cast<Progress*>(user);
    CLASS_CHECK(progress, PROGRESS_CLASS_ID);
    if (progress->WaitPaused || !sender) return 1;
    const double now = Time_GetCurrent();
    if (now - progress->WaitLast < progress->WaitInterval) return 1;
    progress->WaitLast = now;
    const char* id = Progress_GetBoundsIdByTask(progress, sender);
    Dictionary* bound = Bound(progress, id);
    if (!bound) return 1;
    const double percent = NumberOr(bound, "percent", 0);
    const double limit = NumberOr(bound, "progressWaitLimit", 1.0);
    if (percent >= limit) {
        StopTimed(progress, sender);
        return 1;
    }
    const double time = NumberOr(bound, "progressWaitTime", 0);
    double next = percent + limit / (time / progress->WaitInterval);
    if (next > 1.0) next = 1.0;
    std::string key = id;
    Progress_SetBoundsProgress(progress, key.c_str(), next);
    return 1;
}

int64_t Progress_Notification_OnAnyTaskStatus(void* user, const char*, const char*, const char* sender,
                                              Dictionary* info) {
    Progress* progress = static_cast<Progress*>(user);
    CLASS_CHECK(progress, PROGRESS_CLASS_ID);
    uint32_t type = 0;
    double reported = 0;
    if (!info || !sender || Dictionary_ContainsKey(info, "overallProgress") ||
        !Dictionary_GetTypeByKey(info, "progress", &type) ||
        (type != DICTIONARY_TYPE_INT64 && type != DICTIONARY_TYPE_FLOAT64) ||
        !Dictionary_GetFloat64ByKey(info, "progress", &reported))
        return 1;
    const char* id = Progress_GetBoundsIdByTask(progress, sender);
    Dictionary* bound = Bound(progress, id);
    if (!bound || NumberOr(bound, "progressWaitTime", 0) != 0 || !InWorkflow(progress, sender)) return 1;
    std::string key = id;
    Progress_SetBoundsProgress(progress, key.c_str(), reported);
    return 1;
}

int64_t Progress_Notification_OnAnyTaskComplete(void* user, const char*, const char*, const char* sender,
                                                Dictionary* info) {
    Progress* progress = static_cast<Progress*>(user);
    CLASS_CHECK(progress, PROGRESS_CLASS_ID);
    if (!sender) return 1;
    uint32_t success = 0;
    if (info) Dictionary_GetBooleanByKey(info, "successful", &success);
    if (IsOwnTask(progress, sender)) {
        DictionaryItem* last = nullptr;
        Dictionary* bound = nullptr;
        const char* id = nullptr;
        if (success && Dictionary_ItemGetLast(progress->Bounds, &last) && last &&
            Dictionary_ItemGetDictionaryHandle(progress->Bounds, last, &bound) && bound &&
            !Dictionary_ContainsKey(bound, "percent") &&
            Dictionary_ItemGetKeyPtr(progress->Bounds, last, &id) && id) {
            std::string key = id;
            if (Verbose(progress))
                Progress_Print(progress, "%s - Marking last bound as complete", key.c_str());
            Progress_SetBoundsProgress(progress, key.c_str(), 1.0);
        }
        return 1;
    }
    const char* found = Progress_GetBoundsIdByTask(progress, sender);
    Dictionary* bound = Bound(progress, found);
    if (!bound || !InWorkflow(progress, sender)) return 1;
    std::string id = found;
    if (NumberOr(bound, "progressWaitTime", 0) > 0) StopTimed(progress, sender);
    DictionaryItem* item = nullptr;
    if (Dictionary_ItemFindByBuffer(progress->Incomplete, id.c_str(), (int32_t)id.size(), nullptr, &item) &&
        item)
        Dictionary_Remove(progress->Incomplete, &item);
    if (success) Progress_SetBoundsProgress(progress, id.c_str(), 1.0);
    char name[kNameSize];
    if ((bound = Bound(progress, id.c_str())) &&
        Dictionary_GetStringByKey(bound, "progressTaskName", name, kNameSize)) {
        if (Dictionary* definition = Definition(progress, name)) {
            Dictionary_RemoveByKey(definition, "#progressId");
            Dictionary_RemoveByKey(definition, "#progressTaskName");
        }
    }
    return 1;
}

int64_t Progress_Notification_OnTogglePause(void* user, const char*, const char*, const char*, Dictionary*) {
    Progress* progress = static_cast<Progress*>(user);
    CLASS_CHECK(progress, PROGRESS_CLASS_ID);
    progress->WaitPaused = !progress->WaitPaused;
    return 1;
}

void Observe(Progress* progress, bool on) {
    const char* own = TaskId(progress);
    if (on) {
        NotificationCenter_AddObserver("Task", "Start", progress, Progress_Notification_OnAnyTaskStart);
        NotificationCenter_AddObserver("Task", "Status", progress, Progress_Notification_OnAnyTaskStatus);
        NotificationCenter_AddObserver("Task", "Complete", progress, Progress_Notification_OnAnyTaskComplete);
        NotificationCenter_AddInstanceObserver("Task", "Start", own, progress,
                                               Progress_Notification_OnTaskStart);
        NotificationCenter_AddInstanceObserver("Progress", "TogglePause", progress->Header.InstanceId,
                                               progress, Progress_Notification_OnTogglePause);
        progress->ObservingAnyStart = 1;
        return;
    }
    if (progress->ObservingAnyStart)
        NotificationCenter_RemoveObserver("Task", "Start", progress, Progress_Notification_OnAnyTaskStart);
    progress->ObservingAnyStart = 0;
    NotificationCenter_RemoveObserver("Task", "Status", progress, Progress_Notification_OnAnyTaskStatus);
    NotificationCenter_RemoveObserver("Task", "Complete", progress, Progress_Notification_OnAnyTaskComplete);
    NotificationCenter_RemoveInstanceObserver("Task", "Start", own, progress,
                                              Progress_Notification_OnTaskStart);
    NotificationCenter_RemoveInstanceObserver("Progress", "TogglePause", progress->Header.InstanceId,
                                              progress, Progress_Notification_OnTogglePause);
}

} // namespace

// ---- Object ------------------------------------------------------------------------------------

int64_t Progress_Create(Progress** handle, Task* task) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    CLASS_CHECK(task, TASK_CLASS_ID);
    Progress* progress = static_cast<Progress*>(Memory_AllocZero(sizeof(Progress)));
    progress->Header.ClassId = PROGRESS_CLASS_ID;
    progress->Header.RefCount = 1;
    progress->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(progress);
    Class_TrackInstance(progress, progress->Header.InstanceId, nullptr);
    progress->Task_ = task;
    progress->Print.PrintUser = task;
    progress->Print.PrintCallback = Task_PrintCallback;
    PreparePrint(progress);
    // The chain's bounds follow one action at a time, whatever the workflow asks.
    Dictionary_SetInt32ByKey(Task_GetDictionaryHandle(task), "concurrentTasks", 1);
    progress->Bounds = NewDictionary(progress);
    if (!Task_GetNumberArgument(task, "maxPercentage", &progress->MaxPercentage))
        progress->MaxPercentage = 100;
    if (!Task_GetNumberArgument(task, "maxChainDepth", &progress->MaxChainDepth))
        progress->MaxChainDepth = 1000;
    progress->Incomplete = NewDictionary(progress);
    Observe(progress, true);
    Queue_CreateManual(&progress->Queue_, task);
    *handle = progress;
    return 1;
}

int64_t Progress_CreateManual(Progress** handle, Task* task) {
    if (!Progress_Create(handle, task)) return 0;
    NotificationCenter_RemoveObserver("Task", "Start", *handle, Progress_Notification_OnAnyTaskStart);
    (*handle)->ObservingAnyStart = 0;
    return 1;
}

int64_t Progress_AddRef(Progress* progress) {
    CLASS_CHECK(progress, PROGRESS_CLASS_ID);
    Class_AddRef(progress);
    return 1;
}

int64_t Progress_Release(Progress** handle) {
    ASSERT_POINTER(handle);
    if (*handle == nullptr) return 0;
    CLASS_CHECK(*handle, PROGRESS_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t Progress_Delete(Progress** handle) {
    ASSERT_POINTER(handle);
    Progress* progress = *handle;
    CLASS_CHECK(progress, PROGRESS_CLASS_ID);
    Class_UntrackInstance(progress);
    if (progress->Queue_) Queue_Release(&progress->Queue_);
    Observe(progress, false);
    for (const BoundRef& ref : Bounds(progress)) {
        const char* sender = nullptr;
        if (Dictionary_GetStringPtrByKey(ref.Dict, "progressTask", &sender) && sender)
            StopTimed(progress, sender);
    }
    Dictionary_Release(&progress->Bounds);
    Dictionary_Release(&progress->Incomplete);
    progress->Header.ClassId = 0;
    Memory_Free(progress, sizeof(Progress));
    *handle = nullptr;
    return 1;
}

int64_t Progress_GetQueueHandle(Progress* progress, Queue** queue) {
    ASSERT_POINTER(queue);
    *queue = nullptr;
    CLASS_CHECK(progress, PROGRESS_CLASS_ID);
    *queue = progress->Queue_;
    return *queue != nullptr;
}

// ---- Printing ----------------------------------------------------------------------------------

int64_t Progress_VPrint(Progress* progress, int32_t indent, const char* format, va_list args) {
    CLASS_CHECK(progress, PROGRESS_CLASS_ID);
    ASSERT_POINTER(format);
    PreparePrint(progress);
    return ClassPrint_VPrint(&progress->Print, indent, format, args);
}

int64_t Progress_Print(void* user, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = Progress_VPrint(static_cast<Progress*>(user), 0, format, args);
    va_end(args);
    return result;
}

int64_t Progress_PrintTabbed(Progress* progress, int32_t indent, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = Progress_VPrint(progress, indent, format, args);
    va_end(args);
    return result;
}

int64_t Progress_IsVerboseLevel(Progress* progress, int32_t level) {
    CLASS_CHECK(progress, PROGRESS_CLASS_ID);
    PreparePrint(progress);
    if (level >= 0 && progress->OwnVerbose != 0 && progress->OwnVerbose >= (uint32_t)level) return 1;
    return ClassPrint_IsVerboseLevel(&progress->Print, level);
}

int64_t Progress_VerboseLog(Progress* progress, int32_t level, const char* format, ...) {
    if (!Progress_IsVerboseLevel(progress, level)) return 0;
    va_list args;
    va_start(args, format);
    const int64_t result = Progress_VPrint(progress, 0, format, args);
    va_end(args);
    return result;
}

int64_t Progress_GetPrintCallback(Progress* progress, void** user, ClassPrintCallback* function) {
    ASSERT_POINTER(user);
    ASSERT_POINTER(function);
    *user = nullptr;
    *function = nullptr;
    CLASS_CHECK(progress, PROGRESS_CLASS_ID);
    PreparePrint(progress);
    *user = progress->Print.PrintUser;
    *function = progress->Print.PrintCallback;
    return 1;
}

int64_t Progress_SetPrintIdentifier(Progress* progress, const char* identifier) {
    CLASS_CHECK(progress, PROGRESS_CLASS_ID);
    PreparePrint(progress);
    progress->Print.Identifier = identifier;
    return 1;
}

int64_t Progress_SetVerbose(Progress* progress, uint32_t level) {
    CLASS_CHECK(progress, PROGRESS_CLASS_ID);
    progress->OwnVerbose = level;
    progress->Print.Verbose = level != 0;
    return 1;
}

int64_t Progress_GetVerbose(Progress* progress, uint32_t* level) {
    ASSERT_POINTER(level);
    *level = 0;
    CLASS_CHECK(progress, PROGRESS_CLASS_ID);
    *level = progress->OwnVerbose;
    return 1;
}

// ---- Type record -------------------------------------------------------------------------------

const TaskInterface Progress_Interface =
    TaskType_Record<Progress, Progress_Create, Progress_AddRef, Progress_Release>("Progress");
