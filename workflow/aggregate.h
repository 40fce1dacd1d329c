// Aggregate: the task type that turns a JSON document (fetched or inline) into one run of a task
// per entry, each with that entry merged into its arguments, and runs them through a queue.
#pragma once
#include <cstdint>

#include "workflow/task.h"

struct Aggregate;
struct Dictionary;

enum : uint32_t {
    AGGREGATE_CLASS_ID = 0x52fa7af1,
};

int64_t Aggregate_Create(Aggregate** aggregate, Task* task);
int64_t Aggregate_AddRef(Aggregate* aggregate);
int64_t Aggregate_Release(Aggregate** aggregate);
int64_t Aggregate_Delete(Aggregate** aggregate);

// Replaces the queue's actions with one per entry of the source and starts the queue.
int64_t Aggregate_LoadDictionary(Aggregate* aggregate, Dictionary* source);
// One action per dictionary of the list, each proposed under `name`.
int64_t Aggregate_AddActionsFromList(Aggregate* aggregate, const char* name, Dictionary* list);
int64_t Aggregate_AddAction(Aggregate* aggregate, const char* name, Dictionary* data);
// The fetched document's end (user: the aggregate).
int64_t Aggregate_OnRequestComplete(Task* task, void* user, Dictionary* document, int32_t code, int32_t extendedCode);

extern const TaskInterface Aggregate_Interface;
