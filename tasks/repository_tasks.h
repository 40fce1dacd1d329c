// The repository task types: RepositoryCheck, RepositorySync and RepositoryErase drive one
// repository each on a worker thread; RepositoryFileCheck compares an installation's files with a
// local manifest, without any network.
#pragma once
#include <cstdint>

#include "workflow/task.h"

enum : uint32_t {
    REPOSITORYTASK_CLASS_ID = 0x30e55a6a,
    REPOSITORYFILECHECK_CLASS_ID = 0x2a350324,
};

extern const TaskInterface RepositoryCheck_Interface;
extern const TaskInterface RepositorySync_Interface;
extern const TaskInterface RepositoryErase_Interface;
extern const TaskInterface RepositoryFileCheck_Interface;

// Puts the types in the engine's table of built-in types. Returns 1.
int64_t RepositoryTasks_Register();

int64_t RepositoryTask_Create(void** instance, Task* task);
int64_t RepositoryTask_AddRef(void* instance);
int64_t RepositoryTask_Release(void** instance);
int64_t RepositoryFileCheck_Create(void** instance, Task* task);
int64_t RepositoryFileCheck_AddRef(void* instance);
int64_t RepositoryFileCheck_Release(void** instance);
