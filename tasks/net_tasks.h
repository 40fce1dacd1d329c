// The task types that reach beyond the workflow: Unzip, the URL redirect types, the interop
// library types, CertStoreLoad and Analytics.
#pragma once
#include <cstdint>

// Puts the family's records in the engine's table of built-in types. Returns 1.
int64_t NetTasks_Register();
