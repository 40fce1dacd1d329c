// Macro: the task type that adds macros to its workflow, or to the whole engine, from its
// arguments or from a fetched JSON document.
#pragma once
#include <cstdint>

#include "workflow/task.h"

struct Dictionary;
struct Macro;

enum : uint32_t {
    MACRO_CLASS_ID = 0xb2e7ee71,
};

int64_t Macro_Create(Macro** macro, Task* task);
int64_t Macro_AddRef(Macro* macro);
int64_t Macro_Release(Macro** macro);
int64_t Macro_Delete(Macro** macro);

// Adds every item of the dictionary with a key and a text, expanded, and publishes them as status.
int64_t Macro_AddDictionary(Macro* macro, Dictionary* dict);
int64_t Macro_AddRaw(Macro* macro, const char* name, const char* value);
// The fetched document's end (user: the macro).
int64_t Macro_OnRequestComplete(Task* task, void* user, Dictionary* document, int32_t code, int32_t extendedCode);

extern const TaskInterface Macro_Interface;
