// Readers shared by the executable modules and their fuzzer: ELF sections found through the
// section-header table, and the stored data (data store, skin store) read from bytes in memory.
#pragma once

#include <cstdint>

// Longest stretch of a file read into memory for a data store or skin store.
enum : uint32_t { EXECUTABLE_MAX_REGION = 128u << 20 };

// 1 when the descriptor's file starts with a complete ELF header (32 or 64 bits, either order).
int64_t ExecutableElf_IsValid(int fd);
int64_t ExecutableElf_IsValidPath(const char* path);
// 1 with the file range of the named section (name compared without case, same length), which
// lies wholly inside the file and holds at least one byte; 0 with both outs 0 otherwise.
int64_t ExecutableElf_FindSection(int fd, const char* name, uint64_t* offset, uint64_t* size);

// The data store in a region: 1 and a new buffer (length bytes and a zero) or 0 with both outs
// cleared. Give the buffer back with Executable_ReleaseDataStore.
int64_t Executable_ReadDataStore(const uint8_t* region, uint32_t regionLength, uint8_t** buffer,
                                 uint32_t* length);
// The deciphered skin store of the first "QVRSS1" in the range, when its tag matches; same
// contract (Executable_ReleaseSkinStore).
int64_t Executable_ReadSkinStore(const uint8_t* range, uint32_t rangeLength, uint8_t** buffer, uint32_t* length);
