// The Unzip task type: extracts the entries of a zip archive that match a pattern into a
// directory on a worker thread, publishing the entry being extracted and the overall progress.
#pragma once
#include <cstdint>

#include "workflow/task.h"

enum : uint32_t {
    UNZIPTASK_CLASS_ID = 0xe7fda502,
};

extern const TaskInterface Unzip_Interface;
