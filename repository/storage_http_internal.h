// What the HTTP storage backends make of a name from a manifest, shared with the fuzz target.
#pragma once

#include <cstdint>

// The URL of a name below the base URL: 0 with out set, 976 (InvalidContent) for a name that
// would leave the base (empty, absolute, with a scheme, or with a ".." segment), 963 when no URL
// results. Characters that would end the path or change its meaning are sent escaped.
uint32_t StorageHTTP_NameToURL(const char* base, const char* name, char* out, int32_t size);
