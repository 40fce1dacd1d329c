// The Task object's layout and the helpers its files share.
#pragma once
#include "core/runtime/callback.h"
#include "core/runtime/class.h"
#include "workflow/task.h"

struct TaskRequest;
struct WorkflowTaskNode;

struct Task {
    Class Header;
    const TaskVtbl* Vtbl;
    ClassPrint Print;
    uint32_t OwnVerbose;
    const TaskInterface* Interface; // points at InterfaceCopy while a type is bound
    // The bound record and its name, copied: a record handed out by a type list goes away with
    // its entry, while a task may outlive the list (held by a pending event or a script).
    TaskInterface InterfaceCopy;
    char InterfaceName[TASK_NAME_SIZE];
    void* Instance;
    char Name[TASK_NAME_SIZE];
    char DefaultCertStore[TASK_STORE_NAME_SIZE];
    uint32_t Completing;
    uint32_t Private;
    double StartTime;
    double EndTime;
    uint32_t DelayedCancel;
    uint32_t DelayedCancelFired;
    uint32_t ObservingStatus;
    Dictionary* Arguments;
    Dictionary* Status;
    Dictionary* Macros;
    Workflow* Workflow_;
    WorkflowTaskNode* Node; // the task's node in its workflow's list, null when in none
    CertStoreList* CertStores;
    TaskRequest* Request; // the task's one web request, owned; null when none
    CallbackBase ExpandStringCallback;
    CallbackBase AuthenticateCallback;
    // The last line the task printed: what an error it adds next is about ("\"url\" argument
    // not defined"), carried as the error's "detail".
    char LastLine[TASK_DETAIL_SIZE];
};

// Status observation between start and the end of completion.
void Task_ObserveStatus(Task* task, bool on);
// Reads a text argument into a scratch of `capacity` bytes and expands it; false when missing or
// too long.
bool Task_ReadExpanded(Task* task, const char* key, char* buffer, int32_t capacity);
// Expands a text already in `buffer` with the task's key provider.
int64_t Task_ExpandInPlace(Task* task, char* buffer, int32_t capacity);
// The item of the definition named `name` in `document`, or null.
DictionaryItem* Task_FindDefinition(Dictionary* document, const char* name);
