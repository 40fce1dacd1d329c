// Task type lists: the records that turn a definition's "type" name into the type that does a
// task's work. The application keeps one list with the built-in types; each workflow keeps its own.
#pragma once
#include <cstdint>

#include "workflow/task.h"

struct TaskTypeList;

enum : uint32_t {
    TASKTYPELIST_CLASS_ID = 0x22f704cd,
    // A stored name holds up to 39 characters and a terminator.
    TASKTYPE_NAME_SIZE = 40,
    // Number of records in GlobalDefaultTaskInterfaces.
    TASKTYPE_DEFAULT_COUNT = 76,
};

// Called with each record that leaves a list (user, record).
typedef int64_t (*TaskTypeListRemoveCallback)(void* user, const TaskInterface* record);

// The built-in types in table order. Until the library that does a type's work registers its record,
// the entry is a record whose binding fails with "Task type (%s) is not available yet".
extern const TaskInterface* GlobalDefaultTaskInterfaces[TASKTYPE_DEFAULT_COUNT];

// Puts a type library's record in place of the built-in entry of the same name (ASCII case ignored;
// the table keeps the pointer, so the record must outlive the process's use of it). Registration
// happens at start-up, before any list takes the built-in types: a list removes the records it
// was given. 0 when the name is not a built-in type.
int64_t TaskType_RegisterDefault(const TaskInterface* record);

// The record of a type whose own Create, AddRef and Release take its typed handle:
// `const TaskInterface Queue_Interface = TaskType_Record<Queue, Queue_Create, Queue_AddRef,
// Queue_Release>("Queue");`
template <typename T, int64_t (*Create)(T**, Task*), int64_t (*AddRef)(T*), int64_t (*Release)(T**)>
constexpr TaskInterface TaskType_Record(const char* name) {
    return {name, [](void** instance, Task* task) { return Create(reinterpret_cast<T**>(instance), task); },
            [](void* instance) { return AddRef(static_cast<T*>(instance)); },
            [](void** instance) { return Release(reinterpret_cast<T**>(instance)); }};
}

int64_t TaskTypeList_Create(TaskTypeList** list);
int64_t TaskTypeList_AddRef(TaskTypeList* list);
int64_t TaskTypeList_Release(TaskTypeList** list);
int64_t TaskTypeList_Delete(TaskTypeList** list);
int64_t TaskTypeList_GetInstanceId(TaskTypeList* list, char* buffer, int32_t capacity);

int64_t TaskTypeList_Add(TaskTypeList* list, const TaskInterface* record);
// Finds the first entry named so, ASCII case ignored; 0 when none.
int64_t TaskTypeList_Find(TaskTypeList* list, const char* name, const TaskInterface** record);
int64_t TaskTypeList_Remove(TaskTypeList* list, const TaskInterface* record);
int64_t TaskTypeList_RemoveByName(TaskTypeList* list, const char* name);
int64_t TaskTypeList_Reset(TaskTypeList* list);
int64_t TaskTypeList_SetRemoveCallback(TaskTypeList* list, void* user, TaskTypeListRemoveCallback function);
int64_t TaskTypeList_AddDefaultTasks(TaskTypeList* list);
int64_t TaskTypeList_RemoveDefaultTasks(TaskTypeList* list);
