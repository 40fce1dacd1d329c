// The registry facade over the preferences store: whitelist authorisation of key paths, typed
// value access, by-name helpers with defaults and the "Registry" macro key.
#include "core/platform/registry.h"

#include <cstring>

#include "core/certs/authenticate.h"
#include "core/platform/path.h"
#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"

namespace {

struct RegistryState {
    Class Header;
    // Entries are the values of unnamed items, so that no entry is ever cut to a key's length
    // (a shorter prefix would allow more than it names).
    Dictionary* ReadOnly;
    Dictionary* ReadWrite;
};

RegistryState* GlobalRegistry = nullptr;
RegistryAuthorizeFunc GlobalRegistryAuthorizeOverride = nullptr;

constexpr const char* GlobalRegistryLookup[] = {"unknown", "user",   "performance", "machine",
                                                "root",    "config", "desktopuser"};
constexpr const char* GlobalRegistryViewLookup[] = {"default", "32", "64"};
constexpr uint32_t kClassCount = sizeof(GlobalRegistryLookup) / sizeof(GlobalRegistryLookup[0]);
constexpr uint32_t kViewCount = sizeof(GlobalRegistryViewLookup) / sizeof(GlobalRegistryViewLookup[0]);

// Room to build a whitelist candidate before it is checked against the path size.
constexpr int32_t kWorkSize = 4096;

Dictionary* NewList() {
    Dictionary* list = nullptr;
    Dictionary_Create(&list);
    Dictionary_SetCaseSensitive(list, 0);
    Dictionary_SetAllowDuplicates(list, 0);
    Dictionary_SetPrivateKeys(list, 0);
    return list;
}

bool ListHas(Dictionary* list, const char* entry) {
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(list, &item); item; Dictionary_ItemGetNext(list, item, &item)) {
        const char* text = nullptr;
        if (Dictionary_ItemGetStringPtr(list, item, &text) && String_CompareWithoutCase(text, entry))
            return true;
    }
    return false;
}

bool ListMatches(Dictionary* list, const char* candidate) {
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(list, &item); item; Dictionary_ItemGetNext(list, item, &item)) {
        const char* text = nullptr;
        if (Dictionary_ItemGetStringPtr(list, item, &text) &&
            String_CompareBeginningWithoutCase(candidate, text))
            return true;
    }
    return false;
}

// Normalises with a trailing separator; false when the result is no path of at most PATH_SIZE bytes.
bool NormaliseTrailing(char* text, int32_t size) {
    Path_FixSlash(text, size, 1);
    const size_t length = strlen(text);
    return length > 0 && length < (size_t)PATH_SIZE && text[length - 1] == '/';
}

// The ids of a view and a class given by name; false for a class not recognised or "unknown".
bool IdsFromNames(const char* view, const char* registryClass, uint32_t* viewId, uint32_t* classId) {
    ASSERT_POINTER(view);
    ASSERT_POINTER(registryClass);
    *viewId = Registry_ConvertViewFromString(view);
    *classId = Registry_ConvertClassFromString(registryClass);
    return *classId != PLATFORM_REGISTRYCLASS_UNKNOWN;
}

// Opens an existing key read-only by the names of its view and class; false when the class is not
// recognised, the key does not exist or the whitelist refuses it.
bool OpenExistingReadOnly(const char* view, const char* registryClass, const char* path,
                          PlatformRegistryKey** key) {
    uint32_t viewId = 0, classId = 0;
    return IdsFromNames(view, registryClass, &viewId, &classId) && Registry_DoesExist(viewId, classId, path) &&
           Registry_OpenReadOnly(key, viewId, classId, path);
}

// Creates the key, applies the security setting unless it is "default", runs the set and closes.
template <typename Fn>
int64_t HelperSet(const char* view, const char* security, const char* registryClass, const char* path,
                  Fn set) {
    ASSERT_POINTER(security);
    ASSERT_POINTER(path);
    uint32_t viewId = 0, classId = 0;
    if (!IdsFromNames(view, registryClass, &viewId, &classId)) return 0;
    PlatformRegistryKey* key = nullptr;
    if (!Registry_Create(&key, viewId, classId, path)) return 0;
    if (!String_CompareWithoutCase(security, "default")) {
        const int64_t applied = Registry_SetSecurity(key, security);
        if (!applied) {
            Registry_Close(&key);
            return applied;
        }
    }
    const int64_t result = set(key);
    // A value that could not be written is no success.
    const int64_t closed = Registry_Close(&key);
    return result && closed ? result : 0;
}

// The index of a name in a lookup table, compared without case; fallback when it is not there.
template <size_t N> uint32_t IndexOfName(const char* const (&table)[N], const char* name, uint32_t fallback) {
    ASSERT_POINTER(name);
    for (uint32_t i = 0; i < N; i++)
        if (String_CompareWithoutCase(name, table[i])) return i;
    return fallback;
}

typedef int64_t (*PlatformKeyFunc)(PlatformRegistryKey** key, uint32_t view, uint32_t registryClass,
                                   const char* path);

// Clears *key; then, once the whitelist allows the access, opens or creates the key through the
// platform.
int64_t OpenAllowed(PlatformRegistryKey** key, uint32_t write, uint32_t view, uint32_t registryClass,
                    const char* path, PlatformKeyFunc open) {
    ASSERT_POINTER(key);
    *key = nullptr;
    ASSERT_POINTER(path);
    if (!Registry_Authorize(write, registryClass, path)) return 0;
    return open(key, view, registryClass, path);
}

} // namespace

// ---- Set-up and policy ------------------------------------------------------------------------

int64_t Registry_Init() {
    if (GlobalRegistry) return 1;
    RegistryState* state = static_cast<RegistryState*>(Memory_AllocZero(sizeof(RegistryState)));
    state->Header.ClassId = GLOBAL_REGISTRY_CLASS_ID;
    state->Header.RefCount = 1;
    state->ReadOnly = NewList();
    state->ReadWrite = NewList();
    GlobalRegistry = state;
    return 1;
}

int64_t Registry_Remove() {
    RegistryState* state = GlobalRegistry;
    if (!state) return 1;
    CLASS_CHECK(state, GLOBAL_REGISTRY_CLASS_ID);
    GlobalRegistry = nullptr;
    Dictionary_Release(&state->ReadOnly);
    Dictionary_Release(&state->ReadWrite);
    state->Header.ClassId = 0;
    Memory_Free(state, sizeof(RegistryState));
    return 1;
}

int64_t Registry_WhitelistAdd(int32_t readWrite, const char* path) {
    ASSERT_POINTER(path);
    ASSERT_MSG(GlobalRegistry != nullptr, "The registry is not started\n");
    CLASS_CHECK(GlobalRegistry, GLOBAL_REGISTRY_CLASS_ID);
    char entry[kWorkSize];
    // A cut or empty entry would allow paths it does not name.
    if (strlen(path) >= (size_t)PATH_SIZE || !path[0]) {
        Log_Warning("Registry path refused for the whitelist (%s)\n", path);
        return 0;
    }
    String_CopyLength(entry, path, sizeof(entry));
    if (!NormaliseTrailing(entry, sizeof(entry)) || strcmp(entry, "/") == 0) {
        Log_Warning("Registry path refused for the whitelist (%s)\n", path);
        return 0;
    }
    Dictionary* list = readWrite ? GlobalRegistry->ReadWrite : GlobalRegistry->ReadOnly;
    if (!ListHas(list, entry)) {
        Dictionary_AddString(list, nullptr, entry, nullptr);
        Log_Debug("Added %s registry path to whitelist (%s)\n", readWrite ? "read write" : "read only",
                  entry);
    }
    return 1;
}

int64_t Registry_Authorize(uint32_t write, uint32_t registryClass, const char* path) {
    ASSERT_POINTER(path);
    if (Authenticate_Enabled() == 0) {
        Log_Debug("Skipping registry authentication (%d) (%d) (%s)\n", write, registryClass, path);
        return 1;
    }
    if (GlobalRegistryAuthorizeOverride) return GlobalRegistryAuthorizeOverride(write, registryClass, path);
    if (!GlobalRegistry) return 0;
    const char* className = Registry_ConvertClass(registryClass);
    char candidate[kWorkSize];
    // A candidate too long for a path is refused whole: cut short it could match an entry that
    // does not cover the real path.
    bool fits = strlen(className) + 1 + strlen(path) + 2 < sizeof(candidate);
    if (fits) {
        String_Print(candidate, sizeof(candidate), "%s/%s", className, path);
        fits = NormaliseTrailing(candidate, sizeof(candidate));
    } else {
        String_Print(candidate, sizeof(candidate), "%s/", className);
    }
    if (fits && ListMatches(GlobalRegistry->ReadWrite, candidate)) return 1;
    if (fits && write != 1 && ListMatches(GlobalRegistry->ReadOnly, candidate)) return 1;
    Log_Warning("Registry path not found in whitelist (%d) (%s)\n", write, fits ? candidate : path);
    return 0;
}

int64_t Registry_AuthorizeOverride(RegistryAuthorizeFunc fn) {
    GlobalRegistryAuthorizeOverride = fn;
    return 1;
}

const char* Registry_ConvertClass(uint32_t id) {
    if (id >= kClassCount)
        Debug_AbortInt(__FILE__, __LINE__,
                       "Assertion failed (Value >= 0 && Value <= PLATFORM_REGISTRYCLASS_DESKTOPUSER)\n"
                       "Registry class out side of range");
    return GlobalRegistryLookup[id];
}

uint32_t Registry_ConvertClassFromString(const char* name) {
    return IndexOfName(GlobalRegistryLookup, name, PLATFORM_REGISTRYCLASS_UNKNOWN);
}

const char* Registry_ConvertView(uint32_t id) {
    if (id >= kViewCount)
        Debug_AbortInt(__FILE__, __LINE__,
                       "Assertion failed (Value >= 0 && Value <= PLATFORM_REGISTRYVIEW_64BIT)\n"
                       "Registry view out side of range");
    return GlobalRegistryViewLookup[id];
}

uint32_t Registry_ConvertViewFromString(const char* name) {
    return IndexOfName(GlobalRegistryViewLookup, name, PLATFORM_REGISTRYVIEW_DEFAULT);
}

// ---- Keys ---------------------------------------------------------------------------------------

int64_t Registry_OpenReadOnly(PlatformRegistryKey** key, uint32_t view, uint32_t registryClass,
                              const char* path) {
    return OpenAllowed(key, 0, view, registryClass, path, Platform_RegistryOpen);
}

int64_t Registry_Open(PlatformRegistryKey** key, uint32_t view, uint32_t registryClass, const char* path) {
    return OpenAllowed(key, 1, view, registryClass, path, Platform_RegistryOpen);
}

int64_t Registry_Create(PlatformRegistryKey** key, uint32_t view, uint32_t registryClass, const char* path) {
    return OpenAllowed(key, 1, view, registryClass, path, Platform_RegistryCreate);
}

int64_t Registry_AggressiveOpen(PlatformRegistryKey** key, uint32_t view, uint32_t registryClass,
                                const char* path) {
    ASSERT_POINTER(key);
    *key = nullptr;
    ASSERT_POINTER(path);
    if (Registry_DoesExist(view, registryClass, path)) {
        const int64_t opened = Registry_Open(key, view, registryClass, path);
        if (!opened) Log_Debug("Unable to open key '%s'\n", path);
        return opened;
    }
    const int64_t created = Registry_Create(key, view, registryClass, path);
    if (!created) Log_Debug("Unable to create key '%s'\n", path);
    return created;
}

int64_t Registry_DoesExist(uint32_t view, uint32_t registryClass, const char* path) {
    PlatformRegistryKey* key = nullptr;
    if (!Registry_OpenReadOnly(&key, view, registryClass, path)) return 0;
    Registry_Close(&key);
    return 1;
}

int64_t Registry_DeleteKey(uint32_t view, uint32_t registryClass, const char* path) {
    ASSERT_POINTER(path);
    // Deleting changes the registry: it needs the same right as writing.
    if (!Registry_Authorize(1, registryClass, path)) return 0;
    if (strlen(path) >= (size_t)PATH_SIZE) return 0;
    char parent[PATH_SIZE];
    String_CopyLength(parent, path, sizeof(parent));
    Path_FixSlash(parent, sizeof(parent), 0);
    const char* child = parent;
    if (char* slash = strrchr(parent, '/')) {
        *slash = 0;
        child = slash + 1;
    }
    // The root itself is no key to delete.
    if (!child[0]) return 0;
    PlatformRegistryKey* key = nullptr;
    if (!Platform_RegistryOpen(&key, view, registryClass, child == parent ? "" : parent)) return 0;
    const int64_t deleted = Platform_RegistryDeleteKey(key, child);
    Platform_RegistryClose(&key);
    return deleted;
}

int64_t Registry_Close(PlatformRegistryKey** key) {
    return Platform_RegistryClose(key);
}

int64_t Registry_EnumKey(PlatformRegistryKey* key, int32_t index, char* buffer, int32_t size) {
    return Platform_RegistryEnumKey(key, index, buffer, size);
}

int64_t Registry_EnumValue(PlatformRegistryKey* key, int32_t index, char* nameBuffer, int32_t nameSize,
                           void* dataBuffer, int32_t dataSize, uint32_t* type, int32_t* length) {
    return Platform_RegistryEnumValue(key, index, nameBuffer, nameSize, dataBuffer, dataSize, length, type);
}

int64_t Registry_GetSize(PlatformRegistryKey* key, const char* name, int32_t* size) {
    return Platform_RegistryGetSize(key, name, size);
}

int64_t Registry_SetSecurity(PlatformRegistryKey* key, const char* security) {
    return Platform_RegistrySetSecurity(key, security);
}

int64_t Registry_DeleteValue(PlatformRegistryKey* key, const char* name) {
    return Platform_RegistryDeleteValue(key, name);
}

// ---- Values of an open key ----------------------------------------------------------------------

int64_t Registry_SetChar(PlatformRegistryKey* key, const char* name, const char* text) {
    ASSERT_POINTER(text);
    return Platform_RegistrySetType(key, PLATFORM_REGISTRY_TYPE_STRING, name, text,
                                    (int32_t)strnlen(text, INT32_MAX));
}

int64_t Registry_SetExpandChar(PlatformRegistryKey* key, const char* name, const char* text) {
    ASSERT_POINTER(text);
    return Platform_RegistrySetType(key, PLATFORM_REGISTRY_TYPE_EXPAND_STRING, name, text,
                                    (int32_t)strnlen(text, INT32_MAX));
}

int64_t Registry_SetInt32(PlatformRegistryKey* key, const char* name, uint32_t value) {
    return Platform_RegistrySetType(key, PLATFORM_REGISTRY_TYPE_INT32, name, &value, (int32_t)sizeof(value));
}

int64_t Registry_SetInt64(PlatformRegistryKey* key, const char* name, uint64_t value) {
    return Platform_RegistrySetType(key, PLATFORM_REGISTRY_TYPE_INT64, name, &value, (int32_t)sizeof(value));
}

int64_t Registry_SetData(PlatformRegistryKey* key, const char* name, const void* data, uint32_t length) {
    if (length > (uint32_t)INT32_MAX) return 0;
    return Platform_RegistrySetType(key, PLATFORM_REGISTRY_TYPE_BINARY, name, data, (int32_t)length);
}

int64_t Registry_GetChar(PlatformRegistryKey* key, const char* name, char* buffer, int32_t size) {
    int32_t length = 0;
    return Platform_RegistryGetType(key, PLATFORM_REGISTRY_TYPE_STRING, name, buffer, size, &length);
}

int64_t Registry_GetExpandChar(PlatformRegistryKey* key, const char* name, char* buffer, int32_t size) {
    int32_t length = 0;
    return Platform_RegistryGetType(key, PLATFORM_REGISTRY_TYPE_EXPAND_STRING, name, buffer, size, &length);
}

int64_t Registry_GetMultiChar(PlatformRegistryKey* key, const char* name, char* buffer, int32_t size) {
    int32_t length = 0;
    return Platform_RegistryGetType(key, PLATFORM_REGISTRY_TYPE_MULTI_STRING, name, buffer, size, &length);
}

int64_t Registry_GetInt32(PlatformRegistryKey* key, const char* name, uint32_t* value) {
    ASSERT_POINTER(value);
    *value = 0;
    int32_t length = 0;
    return Platform_RegistryGetType(key, PLATFORM_REGISTRY_TYPE_INT32, name, value, (int32_t)sizeof(*value),
                                    &length);
}

int64_t Registry_GetInt64(PlatformRegistryKey* key, const char* name, uint64_t* value) {
    ASSERT_POINTER(value);
    *value = 0;
    int32_t length = 0;
    return Platform_RegistryGetType(key, PLATFORM_REGISTRY_TYPE_INT64, name, value, (int32_t)sizeof(*value),
                                    &length);
}

int64_t Registry_GetData(PlatformRegistryKey* key, const char* name, void* buffer, int32_t size,
                         int32_t* length) {
    ASSERT_POINTER(length);
    *length = 0;
    return Platform_RegistryGetType(key, PLATFORM_REGISTRY_TYPE_BINARY, name, buffer, size, length);
}

// ---- By name --------------------------------------------------------------------------------------

int64_t Registry_HelperGetKeyValue(const char* view, const char* registryClass, const char* path,
                                   const char* name, const char* defaultValue, char* out, int32_t size) {
    ASSERT_POINTER(path);
    ASSERT_POINTER(name);
    ASSERT_POINTER(defaultValue);
    ASSERT_POINTER(out);
    if (size > 0) out[0] = 0;
    bool found = false;
    PlatformRegistryKey* key = nullptr;
    if (OpenExistingReadOnly(view, registryClass, path, &key)) {
        uint64_t wide = 0;
        uint32_t narrow = 0;
        found = Registry_GetChar(key, name, out, size) || Registry_GetMultiChar(key, name, out, size) ||
                Registry_GetExpandChar(key, name, out, size);
        if (!found && Registry_GetInt64(key, name, &wide)) {
            String_Print(out, size, "%lld", (int64_t)wide);
            found = true;
        }
        if (!found && Registry_GetInt32(key, name, &narrow)) {
            String_Print(out, size, "%d", (int32_t)narrow);
            found = true;
        }
        Registry_Close(&key);
    }
    if (!found) String_CopyLength(out, defaultValue, size);
    return found ? 1 : 0;
}

int64_t Registry_HelperGetString(const char* view, const char* registryClass, const char* path,
                                 const char* name, const char* defaultValue, char* out, int32_t size) {
    return Registry_HelperGetKeyValue(view, registryClass, path, name, defaultValue, out, size);
}

int64_t Registry_HelperGetInt32(const char* view, const char* registryClass, const char* path,
                                const char* name, uint32_t defaultValue, uint32_t* out) {
    ASSERT_POINTER(path);
    ASSERT_POINTER(name);
    ASSERT_POINTER(out);
    *out = defaultValue;
    PlatformRegistryKey* key = nullptr;
    if (!OpenExistingReadOnly(view, registryClass, path, &key)) return 0;
    uint32_t value = 0;
    const bool read = Registry_GetInt32(key, name, &value) != 0;
    Registry_Close(&key);
    if (read) *out = value;
    return read ? 1 : 0;
}

int64_t Registry_HelperGetInt64(const char* view, const char* registryClass, const char* path,
                                const char* name, uint64_t defaultValue, uint64_t* out) {
    ASSERT_POINTER(path);
    ASSERT_POINTER(name);
    ASSERT_POINTER(out);
    *out = defaultValue;
    PlatformRegistryKey* key = nullptr;
    if (!OpenExistingReadOnly(view, registryClass, path, &key)) return 0;
    uint64_t wide = 0;
    uint32_t narrow = 0;
    bool read = Registry_GetInt64(key, name, &wide) != 0;
    if (!read && Registry_GetInt32(key, name, &narrow)) {
        wide = narrow;
        read = true;
    }
    Registry_Close(&key);
    if (read) *out = wide;
    return read ? 1 : 0;
}

int64_t Registry_HelperGetData(const char* view, const char* registryClass, const char* path,
                               const char* name, const void* defaultData, int32_t defaultLength,
                               uint8_t** buffer, int32_t* length) {
    ASSERT_POINTER(path);
    ASSERT_POINTER(name);
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(length);
    *buffer = nullptr;
    *length = 0;
    PlatformRegistryKey* key = nullptr;
    if (OpenExistingReadOnly(view, registryClass, path, &key)) {
        int32_t size = 0;
        if (Registry_GetSize(key, name, &size) && size > 0 && size < INT32_MAX) {
            uint8_t* bytes = static_cast<uint8_t*>(Memory_AllocZero(size + 1));
            int32_t read = 0;
            // Only a whole value is handed out, so that the release frees what was allocated.
            if (Registry_GetData(key, name, bytes, size, &read) && read == size) {
                *buffer = bytes;
                *length = size;
            } else {
                Memory_Free(bytes, size + 1);
            }
        }
        Registry_Close(&key);
        if (*buffer) return 1;
    }
    if (defaultLength >= 1 && defaultLength < INT32_MAX) {
        ASSERT_POINTER(defaultData);
        uint8_t* bytes = static_cast<uint8_t*>(Memory_AllocZero(defaultLength + 1));
        memcpy(bytes, defaultData, (size_t)defaultLength);
        *buffer = bytes;
        *length = defaultLength;
    }
    return 0;
}

int64_t Registry_HelperReleaseData(const char*, const char*, const char*, const char*, const void*, int32_t,
                                   uint8_t** buffer, int32_t* length) {
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(length);
    if (*buffer) Memory_Free(*buffer, *length + 1);
    *buffer = nullptr;
    *length = 0;
    return 1;
}

int64_t Registry_HelperSetString(const char* view, const char* security, const char* registryClass,
                                 const char* path, const char* name, const char* text) {
    return HelperSet(view, security, registryClass, path,
                     [&](PlatformRegistryKey* key) { return Registry_SetChar(key, name, text); });
}

int64_t Registry_HelperSetInt32(const char* view, const char* security, const char* registryClass,
                                const char* path, const char* name, uint32_t value) {
    return HelperSet(view, security, registryClass, path,
                     [&](PlatformRegistryKey* key) { return Registry_SetInt32(key, name, value); });
}

int64_t Registry_HelperSetInt64(const char* view, const char* security, const char* registryClass,
                                const char* path, const char* name, uint64_t value) {
    return HelperSet(view, security, registryClass, path,
                     [&](PlatformRegistryKey* key) { return Registry_SetInt64(key, name, value); });
}

int64_t Registry_HelperSetData(const char* view, const char* security, const char* registryClass,
                               const char* path, const char* name, const void* data, uint32_t length) {
    return HelperSet(view, security, registryClass, path,
                     [&](PlatformRegistryKey* key) { return Registry_SetData(key, name, data, length); });
}

int64_t Registry_HelperCreateKey(const char* view, const char* registryClass, const char* path) {
    ASSERT_POINTER(path);
    uint32_t viewId = 0, classId = 0;
    if (!IdsFromNames(view, registryClass, &viewId, &classId)) return 0;
    if (Registry_DoesExist(viewId, classId, path)) return 1;
    PlatformRegistryKey* key = nullptr;
    if (!Registry_AggressiveOpen(&key, viewId, classId, path)) return 0;
    return Registry_Close(&key);
}

int64_t Registry_HelperDeleteKey(const char* view, const char* registryClass, const char* path) {
    ASSERT_POINTER(path);
    uint32_t viewId = 0, classId = 0;
    if (!IdsFromNames(view, registryClass, &viewId, &classId) || !Registry_DoesExist(viewId, classId, path))
        return 0;
    return Registry_DeleteKey(viewId, classId, path);
}

int64_t Registry_HelperDeleteValue(const char* view, const char* registryClass, const char* path,
                                   const char* name) {
    ASSERT_POINTER(path);
    ASSERT_POINTER(name);
    uint32_t viewId = 0, classId = 0;
    PlatformRegistryKey* key = nullptr;
    if (!IdsFromNames(view, registryClass, &viewId, &classId) || !Registry_DoesExist(viewId, classId, path) ||
        !Registry_Open(&key, viewId, classId, path))
        return 0;
    const int64_t deleted = Registry_DeleteValue(key, name);
    const int64_t closed = Registry_Close(&key);
    return deleted && closed ? 1 : 0;
}

int64_t Registry_HelperDoesExist(const char* view, const char* registryClass, const char* path) {
    ASSERT_POINTER(path);
    uint32_t viewId = 0, classId = 0;
    if (!IdsFromNames(view, registryClass, &viewId, &classId)) return 0;
    return Registry_DoesExist(viewId, classId, path);
}

// ---- Macro key ----------------------------------------------------------------------------------

int64_t Registry_ExpandKey(void*, const char* name, char* argument, char* value, int32_t capacity) {
    if (!name || !String_CompareWithoutCase(name, "Registry")) return 0;
    ASSERT_POINTER(value);
    if (capacity > 0) value[0] = 0;
    if (!argument) return 1;
    // "view,class,key path/value name"; the key path is "/" when the rest names only a value.
    const char* firstComma = strchr(argument, ',');
    const char* secondComma = firstComma ? strchr(firstComma + 1, ',') : nullptr;
    if (!secondComma) return 1;
    char view[64], registryClass[64];
    String_CopyLength(view, argument,
                      (int32_t)(firstComma - argument + 1 < 64 ? firstComma - argument + 1 : 64));
    String_CopyLength(registryClass, firstComma + 1,
                      (int32_t)(secondComma - firstComma < 64 ? secondComma - firstComma : 64));
    const char* rest = secondComma + 1;
    const char* separator = strrchr(rest, '/');
    if (!separator) separator = strrchr(rest, '\\');
    char path[kWorkSize], valueName[kWorkSize];
    if (separator) {
        if ((size_t)(separator - rest) >= sizeof(path) || strlen(separator + 1) >= sizeof(valueName))
            return 1;
        String_CopyLength(path, rest, (int32_t)(separator - rest + 1));
        String_CopyLength(valueName, separator + 1, sizeof(valueName));
    } else {
        if (strlen(rest) >= sizeof(valueName)) return 1;
        String_Copy(path, "/");
        String_CopyLength(valueName, rest, sizeof(valueName));
    }
    Registry_HelperGetKeyValue(view, registryClass, path, valueName, "", value, capacity);
    return 1;
}
