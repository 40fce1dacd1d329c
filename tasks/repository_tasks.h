// The repository task types: RepositoryFileCheck compares an installation's files with a local
// manifest, without any network.
#pragma once
#include <cstdint>

#include "workflow/task.h"

enum : uint32_t {
    REPOSITORYFILECHECK_CLASS_ID = 0x2a350324,
};

extern const TaskInterface RepositoryFileCheck_Interface;

// Puts the types in the engine's table of built-in types. Returns 1.
int64_t RepositoryTasks_Register();

int64_t RepositoryFileCheck_Create(void** instance, Task* task);
