// Readers shared by the executable modules and their fuzzer: the stored data (data store, skin
// store) read from bytes in memory.
#pragma once

#include <cstdint>

// Longest stretch of a file read into memory for a data store or skin store.
enum : uint32_t { EXECUTABLE_MAX_REGION = 128u << 20 };

// The data store in a region: 1 and a new buffer (length bytes and a zero) or 0 with both outs
// cleared. Give the buffer back with Executable_ReleaseDataStore.
int64_t Executable_ReadDataStore(const uint8_t* region, uint32_t regionLength, uint8_t** buffer,
                                 uint32_t* length);
// The deciphered skin store of the first "QVRSS1" in the range, when its tag matches; same
// contract (Executable_ReleaseSkinStore).
int64_t Executable_ReadSkinStore(const uint8_t* range, uint32_t rangeLength, uint8_t** buffer, uint32_t* length);
