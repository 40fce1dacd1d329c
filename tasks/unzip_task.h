// The Unzip task type: extracts the entries of a zip archive that match a pattern into a
// directory on a worker thread, and the entry-name rules it applies.
#pragma once
#include <cstdint>

#include "workflow/task.h"

enum : uint32_t {
    UNZIPTASK_CLASS_ID = 0xe7fda502,
};

enum : int32_t {
    // Entry names are cut to this many bytes before they are joined to the output directory.
    UNZIP_ENTRY_NAME_LIMIT = 255,
};

extern const TaskInterface Unzip_Interface;

// 1 when the entry name matches the pattern: "*" stands for any run of characters (separators
// too), "/" and "\" are the same, letters match without case.
int64_t Unzip_MatchPattern(const char* name, const char* pattern);
// The entry name as a path below the output directory: components joined by "/", without empty
// or "." components; `directory` is set when the name ends in a separator. 0 (and an empty out)
// for a name that is absolute or holds a ".." component; 1 and an empty out for one that names
// the output directory itself.
int64_t Unzip_EntryPath(const char* name, char* out, int32_t capacity, uint32_t* directory);
