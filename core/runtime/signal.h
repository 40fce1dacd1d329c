// Signals: event flags with automatic or manual reset that threads raise, clear and wait on
// with time-outs measured on the monotonic clock.
#pragma once

#include <cstdint>

struct Signal;

// A new signal is cleared and resets manually.
int64_t Signal_Create(Signal** handle);
int64_t Signal_Delete(Signal** handle);

// Value 1 (any non-zero value) raises the signal, 0 clears it. Raising wakes one waiter of an
// auto-reset signal and every waiter of a manual-reset one; raising a raised signal and clearing
// a cleared one change nothing. Returns 1.
int64_t Signal_SetInt(Signal* signal, uint32_t value, const char* file, int32_t line);
int64_t Signal_Get(Signal* signal, uint32_t* state);

// Waits until the signal is raised (an auto-reset signal is consumed by the wait that sees it)
// or the time-out passes: negative waits without limit, 0 only tests, 1 to 15 ms wait 15 ms.
// *signalled tells whether the signal came; the result whether the wait itself worked.
int64_t Signal_WaitInt(Signal* signal, uint32_t* signalled, int32_t timeoutMs, const char* file,
                       int32_t line);

int64_t Signal_SetAutoReset(Signal* signal, uint32_t autoReset);
int64_t Signal_GetAutoReset(Signal* signal, uint32_t* autoReset);

#define Signal_Set(signal, value) Signal_SetInt((signal), (value), __FILE__, __LINE__)
#define Signal_Wait(signal, signalled, timeoutMs)                                                            \
    Signal_WaitInt((signal), (signalled), (timeoutMs), __FILE__, __LINE__)
