// The "Launch" task type: starts a program, optionally waits for it, and judges it by its exit
// code or by what it prints. The installer-package type drives a Launch instance of its own.
#pragma once
#include <cstdint>

#include "workflow/task.h"

struct MemoryStream;

enum : uint32_t { LAUNCHTASK_CLASS_ID = 0xb1e6b76d };

int64_t Launch_Create(void** instance, Task* task);
int64_t Launch_AddRef(void* instance);
int64_t Launch_Release(void** instance);
int64_t Launch_Delete(void** instance);
// The macros `Path` and `Arguments` (without case): the program and its arguments while a
// process exists.
int64_t Launch_ExpandStringCallback(Task* task, void* user, const char* path, char* value, int32_t capacity);
// The captured output; 1 when capture is on.
int64_t Launch_GetMemoryStreamHandle(void* instance, MemoryStream** stream);

// For a type that runs its program through a Launch instance on its own task: an instance that
// does not observe the task's start, started with Launch_Start; its "Launch" notifications
// ("Output", "Complete") are sent with the instance id.
int64_t Launch_CreateFollower(void** instance, Task* task);
int64_t Launch_Start(void* instance);
int64_t Launch_GetInstanceId(void* instance, char* buffer, int32_t capacity);
