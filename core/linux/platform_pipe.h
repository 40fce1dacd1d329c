// Named pipes for the Pipe stream: FIFO special files opened read-write, with non-blocking
// reads and writes unless blocking was asked for.
#pragma once

#include <cstdint>

enum : uint32_t {
    PLATFORM_PIPE_CLASS_ID = 0x309A40CD,
    // Capacity of the path text, terminator included.
    PLATFORM_PIPE_PATH_SIZE = 320,
};

// Open flags of Platform_PipeOpen.
enum : uint32_t {
    PLATFORM_PIPE_OPEN_EXISTING = 1, // connect to an existing FIFO instead of creating one
    PLATFORM_PIPE_BLOCKING = 2,      // keep the descriptor blocking
    PLATFORM_PIPE_INBOUND = 4,       // given by the Pipe stream; no effect here
};

// Creates (unless PLATFORM_PIPE_OPEN_EXISTING) and opens the FIFO at path. A leftover FIFO of
// ours is re-created; a FIFO of another user or one open to group or others, a path held by
// anything else than a FIFO, or one that does not fit in PLATFORM_PIPE_PATH_SIZE, answers 0 and
// is left alone.
int64_t Platform_PipeOpen(void** handle, const char* path, int32_t bufferSize, uint32_t flags);
int64_t Platform_PipeIsOpen(void* handle);

// A null handle stands for a closed pipe: these answer 0 with their counts zeroed.
// Peek sets *available to 1 when data is waiting (it copies nothing).
int64_t Platform_PipePeek(void* handle, void* ignoredBuffer, int32_t ignoredLength, int32_t* available);
// One read or write of up to length bytes; "nothing now" (EAGAIN) answers 1 with *done 0.
int64_t Platform_PipeRead(void* handle, void* buffer, int32_t length, int32_t* done);
int64_t Platform_PipeWrite(void* handle, const void* buffer, int32_t length, int32_t* done);
int64_t Platform_PipeFlush(void* handle);
// Closes the descriptor, removes the FIFO file when it is still the one this handle opened,
// frees the handle and nulls *handle.
int64_t Platform_PipeClose(void** handle);

// Not provided on this platform: they log "Not Implemented - <name>" and answer 0.
int64_t Platform_PipeAccept(void* server, void** client);
int64_t Platform_PipeGetRemoteProcessId(void* handle, uint32_t* processId);
