// The Workflow object's layout and the helpers its files share.
#pragma once
#include "core/runtime/callback.h"
#include "core/runtime/class.h"
#include "workflow/workflow.h"

// One live task. Nodes are appended in creation order, so a parent always lies before its
// children and every descendant of a task lies after it.
struct WorkflowTaskNode {
    Workflow* Owner;
    Task* Task_; // the list holds the task's creation reference
    WorkflowTaskNode* Parent;
    WorkflowTaskNode* Next;
    WorkflowTaskNode* Previous;
    uint32_t Children; // nodes whose parent is this one
    uint32_t Marked;   // scratch of a removal walk
};

struct Workflow {
    Class Header;
    const WorkflowVtbl* Vtbl;
    ClassPrint Print;
    uint32_t OwnVerbose;
    uint32_t DumpTasks;
    char RemoteInstanceId[WORKFLOW_REMOTE_ID_SIZE];
    uint32_t UseDefaultTaskTypes;
    uint32_t Cancelled;
    Dictionary* Definitions;
    uint32_t RunningEvents;
    uint32_t ReadyEvents;
    TaskTypeList* TaskTypes;
    WorkflowTaskNode* Head;
    WorkflowTaskNode* Tail;
    uint32_t TaskCount;
    CertStoreTable* CertStores;
    Dictionary* Queue;
    Dictionary* Status;
    Dictionary* Macros;
    Dictionary* Analytics;
    Task* OwningTask;
    uint32_t Global;
    CallbackBase ExpandStringCallback;
};

// The node of a task of this workflow's list, or null.
WorkflowTaskNode* Workflow_FindNode(Workflow* workflow, Task* task);
// Unlinks the node, releases its task and frees it; its children move up to its parent.
void Workflow_RemoveNode(Workflow* workflow, WorkflowTaskNode* node, bool unbindType);
