// Positioned transfers and cache control on a file descriptor, for the asynchronous files whose
// worker threads move the data: neither transfer touches the descriptor's file position.
#pragma once

#include <cstdint>

// One positioned read of up to length bytes at an absolute offset (interrupted calls are
// repeated). Answers 0 or the errno value of the failure; transferred is 0 at or past the end
// of the file. An offset beyond the largest file position is EINVAL.
int32_t Platform_AsyncFileReadAt(int32_t fd, uint64_t offset, void* buffer, uint32_t length,
                                 uint32_t* transferred);
// One positioned write of up to length bytes; a short count is not an error. Answers 0 or the
// errno value; a write that makes no progress is EIO, so that callers looping on it always end.
int32_t Platform_AsyncFileWriteAt(int32_t fd, uint64_t offset, const void* buffer, uint32_t length,
                                  uint32_t* transferred);
// This system has no per-descriptor switch for its file cache: the cached pages of the file are
// dropped and the kernel is told not to keep what is transferred; the transfers then drop their
// own ranges (Platform_AsyncFileDropCache). Pages still waiting to be written stay until written.
int64_t Platform_AsyncFileSetNoCache(int32_t fd);
int64_t Platform_AsyncFileDropCache(int32_t fd, uint64_t offset, uint64_t length);
// The size of the file open on the descriptor (which stays valid when its path is removed) and
// whether it is a directory; both cleared first.
int64_t Platform_AsyncFileGetStatus(int32_t fd, uint64_t* size, uint32_t* isDirectory);
// Answers 0 when the descriptor holds a regular file, else the errno value that refuses it:
// EISDIR for a directory, ENOTSUP for a FIFO, socket or device (none of which has positions to
// transfer at, and a FIFO or a terminal can hold a reader without end).
int32_t Platform_AsyncFileCheckRegular(int32_t fd);
