// Callback slots: user pointer and function pairs set and read atomically.
#pragma once

#include <cstdint>

// The module keeps no state; start and stop exist so that the core starts it in order.
int64_t Callback_Init();
int64_t Callback_Remove();
