// The URL redirect task types: URLRedirect adds rules that rewrite every URL beginning with a
// prefix, URLRedirectMacro sets redirect macros; both act on the web client's global tables.
#pragma once
#include <cstdint>

#include "workflow/task.h"

enum : uint32_t {
    URLREDIRECTTASK_CLASS_ID = 0xcc22f604,
    URLREDIRECTMACROTASK_CLASS_ID = 0x1bbfbe38,
};

enum : int32_t {
    // Longest escaped prefix a rule is made from.
    URLREDIRECT_PREFIX_LIMIT = 8191,
};

extern const TaskInterface URLRedirect_Interface;
extern const TaskInterface URLRedirectMacro_Interface;

// The rule pattern of a prefix: "^(" + the prefix with its pattern characters escaped + ".*)".
// 0 (and an empty out) when it does not fit.
int64_t URLRedirect_BuildPattern(const char* prefix, char* out, int32_t capacity);
