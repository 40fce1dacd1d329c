// The operating-system side of the file task types: opening a file that is about to be changed
// as the regular file named, never through a link.
#pragma once
#include <cstdint>

// The regular file at path ("~" expanded) opened for writing, without creating it, truncating it
// or following a final symbolic link; -1 with the platform's last error set otherwise.
int32_t FileTaskOs_OpenRegularForWrite(const char* path);
