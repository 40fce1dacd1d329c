// The registry facade: keys and typed values by view, class and key path, guarded by read-only
// and read-write whitelists of key-path prefixes, with by-name helpers and the "Registry" macro key.
#pragma once

#include <cstdint>

#include "core/linux/platform_registry.h"

enum : uint32_t { GLOBAL_REGISTRY_CLASS_ID = 0x0D9C00A3 };

// Answers Registry_Authorize in place of the whitelists: (write, class, path) -> 1 or 0.
typedef uint32_t (*RegistryAuthorizeFunc)(uint32_t write, uint32_t registryClass, const char* path);

// ---- Set-up and policy ------------------------------------------------------------------------
int64_t Registry_Init();
int64_t Registry_Remove();
// Adds a prefix "<class>/<key path>" to the read-write (non-zero) or read-only list, normalised
// with a trailing '/'. 0 for a prefix longer than a path may be (it would be cut short, and so
// allow more than it names).
int64_t Registry_WhitelistAdd(int32_t readWrite, const char* path);
// 1 when the access is allowed: always while authentication is off, else by the installed
// override, else when "<class name>/<path>/" begins (without case) with an entry of the
// read-write list or, for reading, of either list.
int64_t Registry_Authorize(uint32_t write, uint32_t registryClass, const char* path);
int64_t Registry_AuthorizeOverride(RegistryAuthorizeFunc fn);

// "unknown", "user", "performance", "machine", "root", "config", "desktopuser"; an id of 7 or
// more stops the process. FromString: compared without case, 0 when not recognised.
const char* Registry_ConvertClass(uint32_t id);
uint32_t Registry_ConvertClassFromString(const char* name);
// "default", "32", "64"; an id of 3 or more stops the process.
const char* Registry_ConvertView(uint32_t id);
uint32_t Registry_ConvertViewFromString(const char* name);

// ---- Keys ---------------------------------------------------------------------------------------
int64_t Registry_OpenReadOnly(PlatformRegistryKey** key, uint32_t view, uint32_t registryClass,
                              const char* path);
int64_t Registry_Open(PlatformRegistryKey** key, uint32_t view, uint32_t registryClass, const char* path);
int64_t Registry_Create(PlatformRegistryKey** key, uint32_t view, uint32_t registryClass, const char* path);
int64_t Registry_AggressiveOpen(PlatformRegistryKey** key, uint32_t view, uint32_t registryClass,
                                const char* path);
// A key that may not be read counts as missing.
int64_t Registry_DoesExist(uint32_t view, uint32_t registryClass, const char* path);
// Deletes the key and everything under it; needs write authorisation of the key.
int64_t Registry_DeleteKey(uint32_t view, uint32_t registryClass, const char* path);
// 0 when the changes of the key could not be written.
int64_t Registry_Close(PlatformRegistryKey** key);
int64_t Registry_EnumKey(PlatformRegistryKey* key, int32_t index, char* buffer, int32_t size);
int64_t Registry_EnumValue(PlatformRegistryKey* key, int32_t index, char* nameBuffer, int32_t nameSize,
                           void* dataBuffer, int32_t dataSize, uint32_t* type, int32_t* length);
int64_t Registry_GetSize(PlatformRegistryKey* key, const char* name, int32_t* size);
int64_t Registry_SetSecurity(PlatformRegistryKey* key, const char* security);
int64_t Registry_DeleteValue(PlatformRegistryKey* key, const char* name);

// ---- Values of an open key ----------------------------------------------------------------------
// The 64-bit type is not kept by this store: SetInt64 answers 0, GetInt64 logs and answers 0.
int64_t Registry_SetChar(PlatformRegistryKey* key, const char* name, const char* text);
int64_t Registry_SetExpandChar(PlatformRegistryKey* key, const char* name, const char* text);
int64_t Registry_SetInt32(PlatformRegistryKey* key, const char* name, uint32_t value);
int64_t Registry_SetInt64(PlatformRegistryKey* key, const char* name, uint64_t value);
int64_t Registry_SetData(PlatformRegistryKey* key, const char* name, const void* data, uint32_t length);
int64_t Registry_GetChar(PlatformRegistryKey* key, const char* name, char* buffer, int32_t size);
int64_t Registry_GetExpandChar(PlatformRegistryKey* key, const char* name, char* buffer, int32_t size);
int64_t Registry_GetMultiChar(PlatformRegistryKey* key, const char* name, char* buffer, int32_t size);
int64_t Registry_GetInt32(PlatformRegistryKey* key, const char* name, uint32_t* value);
int64_t Registry_GetInt64(PlatformRegistryKey* key, const char* name, uint64_t* value);
int64_t Registry_GetData(PlatformRegistryKey* key, const char* name, void* buffer, int32_t size,
                         int32_t* length);

// ---- By name: view and class as texts, each call opens and closes its key --------------------------
// An unrecognised view name means "default"; an unrecognised class name, or "unknown", fails.
int64_t Registry_HelperGetKeyValue(const char* view, const char* registryClass, const char* path,
                                   const char* name, const char* defaultValue, char* out, int32_t size);
int64_t Registry_HelperGetString(const char* view, const char* registryClass, const char* path,
                                 const char* name, const char* defaultValue, char* out, int32_t size);
int64_t Registry_HelperGetInt32(const char* view, const char* registryClass, const char* path,
                                const char* name, uint32_t defaultValue, uint32_t* out);
int64_t Registry_HelperGetInt64(const char* view, const char* registryClass, const char* path,
                                const char* name, uint64_t defaultValue, uint64_t* out);
// A new buffer of length + 1 zeroed bytes holding the value, or a copy of the default data (answer
// 0) when there is one; release it with Registry_HelperReleaseData.
int64_t Registry_HelperGetData(const char* view, const char* registryClass, const char* path,
                               const char* name, const void* defaultData, int32_t defaultLength,
                               uint8_t** buffer, int32_t* length);
int64_t Registry_HelperReleaseData(const char* view, const char* registryClass, const char* path,
                                   const char* name, const void* defaultData, int32_t defaultLength,
                                   uint8_t** buffer, int32_t* length);
int64_t Registry_HelperSetString(const char* view, const char* security, const char* registryClass,
                                 const char* path, const char* name, const char* text);
int64_t Registry_HelperSetInt32(const char* view, const char* security, const char* registryClass,
                                const char* path, const char* name, uint32_t value);
int64_t Registry_HelperSetInt64(const char* view, const char* security, const char* registryClass,
                                const char* path, const char* name, uint64_t value);
int64_t Registry_HelperSetData(const char* view, const char* security, const char* registryClass,
                               const char* path, const char* name, const void* data, uint32_t length);
int64_t Registry_HelperCreateKey(const char* view, const char* registryClass, const char* path);
int64_t Registry_HelperDeleteKey(const char* view, const char* registryClass, const char* path);
int64_t Registry_HelperDeleteValue(const char* view, const char* registryClass, const char* path,
                                   const char* name);
int64_t Registry_HelperDoesExist(const char* view, const char* registryClass, const char* path);

// Macro key "Registry" with the argument "view,class,key path/value name".
int64_t Registry_ExpandKey(void* user, const char* name, char* argument, char* value, int32_t capacity);
