// Progress: the task type that runs its actions through a queue and turns the progress of every
// task on the chain they reach into one weighted overall figure, published as those tasks' status.
#pragma once
#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"
#include "workflow/task.h"

struct Progress;
struct Queue;

enum : uint32_t {
    PROGRESS_CLASS_ID = 0x18dab567,
};

int64_t Progress_Create(Progress** progress, Task* task);
// As Progress_Create, but tasks that start link no bound to themselves and run no timed progress.
int64_t Progress_CreateManual(Progress** progress, Task* task);
int64_t Progress_AddRef(Progress* progress);
int64_t Progress_Release(Progress** progress);
int64_t Progress_Delete(Progress** progress);
int64_t Progress_GetQueueHandle(Progress* progress, Queue** queue);

// Printing: through the task's log.
int64_t Progress_Print(void* progress, const char* format, ...);
int64_t Progress_PrintTabbed(Progress* progress, int32_t indent, const char* format, ...);
int64_t Progress_VPrint(Progress* progress, int32_t indent, const char* format, va_list args);
int64_t Progress_VerboseLog(Progress* progress, int32_t level, const char* format, ...);
int64_t Progress_IsVerboseLevel(Progress* progress, int32_t level);
int64_t Progress_GetPrintCallback(Progress* progress, void** user, ClassPrintCallback* function);
int64_t Progress_SetPrintIdentifier(Progress* progress, const char* identifier);
int64_t Progress_SetVerbose(Progress* progress, uint32_t level);
int64_t Progress_GetVerbose(Progress* progress, uint32_t* level);

extern const TaskInterface Progress_Interface;
