// The Analytics task type: adds values to the global analytics dictionary or to the workflow's.
#pragma once
#include <cstdint>

#include "workflow/task.h"

enum : uint32_t {
    ANALYTICSTASK_CLASS_ID = 0xbad658e7,
};

extern const TaskInterface Analytics_Interface;
