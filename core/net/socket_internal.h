// What the socket's own waits share with the select sets: the sliced wait over a list of
// descriptors, which notices a cancel flag between slices of at most one second.
#pragma once

#include <cstdint>

#include "core/linux/platform_socket.h"

// Waits until an entry is ready, the time-out passes or *cancel reads 1 (cancel may be null).
// 1 with *ready the number of ready entries (0 for time-out and cancel, *cancelled telling
// which); 0 when the wait itself failed, logged under the wait's name with *error set.
int64_t SocketWait_Run(const char* name, PlatformPollEntry* entries, int32_t count, uint32_t* cancel,
                       uint32_t timeoutMs, int32_t* ready, bool* cancelled, int32_t* error);
// Reads a flag that another thread may write.
uint32_t SocketWait_LoadFlag(uint32_t* flag);
void SocketWait_StoreFlag(uint32_t* flag, uint32_t value);
