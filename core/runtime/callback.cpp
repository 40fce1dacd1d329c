// Callback slots: user pointer and function pairs set and read atomically.
#include "core/runtime/callback.h"

int64_t Callback_Init() { return 1; }

int64_t Callback_Remove() { return 1; }
