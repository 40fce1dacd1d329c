// The registry store: keys and typed values kept in the application's own preferences, one JSON
// file per application under the user's configuration directory, shared safely between processes.
#pragma once

#include <cstdint>

enum : uint32_t { PLATFORM_REGISTRY_KEY_CLASS_ID = 0x77F3FC3D };

// Value type codes.
enum : uint32_t {
    PLATFORM_REGISTRY_TYPE_STRING = 1,
    PLATFORM_REGISTRY_TYPE_EXPAND_STRING = 2,
    PLATFORM_REGISTRY_TYPE_BINARY = 3,
    PLATFORM_REGISTRY_TYPE_INT32 = 4,
    PLATFORM_REGISTRY_TYPE_MULTI_STRING = 7,
    PLATFORM_REGISTRY_TYPE_INT64 = 11,
};

// Registry classes; the store keeps every class in the same preferences.
enum : uint32_t {
    PLATFORM_REGISTRYCLASS_UNKNOWN = 0,
    PLATFORM_REGISTRYCLASS_USER = 1,
    PLATFORM_REGISTRYCLASS_PERFORMANCE = 2,
    PLATFORM_REGISTRYCLASS_MACHINE = 3,
    PLATFORM_REGISTRYCLASS_ROOT = 4,
    PLATFORM_REGISTRYCLASS_CONFIG = 5,
    PLATFORM_REGISTRYCLASS_DESKTOPUSER = 6,
};

// Registry views; ignored by the store.
enum : uint32_t {
    PLATFORM_REGISTRYVIEW_DEFAULT = 0,
    PLATFORM_REGISTRYVIEW_32BIT = 1,
    PLATFORM_REGISTRYVIEW_64BIT = 2,
};

struct PlatformRegistryKey;

// Key paths: one leading '/' or '\' is ignored, both separate components, an empty path is the
// root key (the top level of the preferences). Components are non-empty, never "." or "..", at
// most 119 bytes of UTF-8, at most 24 deep. A top-level name that itself holds '/' is found by
// its whole name before the path is split.
//
// A handle reads the preferences when it is opened and keeps its changes until it is closed;
// the close then applies them to the preferences as they are at that moment, so that handles
// of other threads and processes lose nothing of each other's. Creating a top-level key and
// deleting keys (and values of the root key) change the preferences at once.
//
// The preferences file is the user's alone (0600, in a directory made 0700). Anything but a
// regular file at its path or at its lock's, a symbolic link included, is refused: logged,
// nothing read or written, the entry and whatever it points to left as they are.
int64_t Platform_RegistryOpen(PlatformRegistryKey** key, uint32_t view, uint32_t registryClass,
                              const char* path);
// Opens, creating the missing keys along the path.
int64_t Platform_RegistryCreate(PlatformRegistryKey** key, uint32_t view, uint32_t registryClass,
                                const char* path);
// Writes the handle's changes, frees it and nulls the caller's handle; 0 when they could not be
// written (logged).
int64_t Platform_RegistryClose(PlatformRegistryKey** key);

// Enumeration starts at index 0, which takes a snapshot of the names. EnumKey: the index-th
// subkey; 1 with an empty name when there are none, 0 at the end. EnumValue: the index-th value
// read as GetType reads it; 1 with empty outputs at the end. The root key cannot be enumerated.
int64_t Platform_RegistryEnumKey(PlatformRegistryKey* key, int32_t index, char* buffer, int32_t size);
int64_t Platform_RegistryEnumValue(PlatformRegistryKey* key, int32_t index, char* nameBuffer,
                                   int32_t nameSize, void* dataBuffer, int32_t dataSize, int32_t* size,
                                   uint32_t* type);
int64_t Platform_RegistryEnumKeyAndValues(PlatformRegistryKey* key);

// Reads a value that must read back as `type`: texts (types 1, 2 and 7 when written) read back
// as type 1, always terminated and cut to fit (size counts the terminator), data as type 3 cut
// to the buffer, 32-bit numbers and booleans as type 4. 1 when size is not zero.
int64_t Platform_RegistryGetType(PlatformRegistryKey* key, uint32_t type, const char* name, void* buffer,
                                 int32_t capacity, int32_t* size);
// Types 1, 2, 7 (text: valid UTF-8, one final zero byte dropped), 3 (data) and 4 (exactly 4
// bytes). A value never replaces a subkey of the same name.
int64_t Platform_RegistrySetType(PlatformRegistryKey* key, uint32_t type, const char* name, const void* data,
                                 int32_t size);
// Bytes a read needs: text without terminator, data, 4 for numbers and booleans.
int64_t Platform_RegistryGetSize(PlatformRegistryKey* key, const char* name, int32_t* size);
// Deletes the subkey at `path` below the key, with everything under it; nothing else.
int64_t Platform_RegistryDeleteKey(PlatformRegistryKey* key, const char* path);
int64_t Platform_RegistryDeleteValue(PlatformRegistryKey* key, const char* name);
// Preferences carry no access rules: no effect.
int64_t Platform_RegistrySetSecurity(PlatformRegistryKey* key, const char* descriptor);
