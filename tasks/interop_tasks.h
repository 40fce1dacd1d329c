// The interop library task types: InteropLoad checks a library's code signature on a thread of
// its own, loads it, hands it options from the task's arguments and lets it register its task
// types; InteropUnload undoes that.
#pragma once
#include <cstdint>

#include "workflow/task.h"

enum : uint32_t {
    INTEROPLOADTASK_CLASS_ID = 0x7ed64f45,
    INTEROPUNLOADTASK_CLASS_ID = 0xac5976c9,
};

extern const TaskInterface InteropLoad_Interface;
extern const TaskInterface InteropUnload_Interface;
