// The file and directory task types: copying, moving, deleting, truncating, testing, hashing and
// authenticating files; creating, copying, moving, deleting, testing and listing directories;
// checking free disk space.
#pragma once
#include <cstdint>

// Puts the family's records in the engine's table of built-in types. Returns 1.
int64_t FileTasks_Register();
