// Memory for read-only file views: private pages that the caller fills with a file's content and
// then seals, so that the view never depends on the file staying as long as it was.
#pragma once

#include <cstdint>

// Reserves size bytes of private, writable, zeroed pages; false (address null) when size is 0 or
// the memory cannot be had.
int64_t Platform_FileViewReserve(uint64_t size, void** address);
// Gives back the pages past the first `used` bytes of a reservation of `reserved` bytes and makes
// the rest read-only. `used` must be between 1 and reserved.
int64_t Platform_FileViewSeal(void* address, uint64_t reserved, uint64_t used);
// Releases the pages of a view of size bytes (as reserved, or as sealed) and clears the address;
// true when nothing was set.
int64_t Platform_FileViewRelease(void** address, uint64_t size);
