// Name rule of the file storage backends and the ignore file reader.
#include "repository/storage_file_path.h"

#include <cstring>
#include <strings.h>
#include <initializer_list>

#include "core/formats/json.h"
#include "core/runtime/debug.h"
#include "core/runtime/hash_table.h"

namespace {

int64_t IgnoreValue(JSON*, void* user, const char* path, uint32_t type, const char* value, int32_t length,
                    uint64_t, int32_t, int32_t, uint32_t*) {
    // Items of the root container have a path of one component.
    if (type != JSON_VALUE_STRING || value == nullptr || strchr(path, '\\') != nullptr) return 1;
    if (length <= 0 || length >= STORAGE_FILE_PATH_SIZE) return 1;
    char name[STORAGE_FILE_PATH_SIZE];
    memcpy(name, value, (size_t)length);
    name[length] = 0;
    HashTable* set = static_cast<HashTable*>(user);
    if (!HashTable_ContainsKey(set, name)) HashTable_Add(set, name, 1);
    return 1;
}

} // namespace

int64_t StorageFilePath_Check(const char* name, char* out, int32_t size) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(out);
    if (size <= 0) return 0;
    out[0] = 0;
    if (name[0] == '/' || name[0] == '\\') return 0;
    int32_t used = 0;
    const char* p = name;
    while (*p) {
        const char* end = p;
        while (*end && *end != '/' && *end != '\\') end++;
        const int32_t length = (int32_t)(end - p);
        if (length == 2 && p[0] == '.' && p[1] == '.') {
            out[0] = 0;
            return 0;
        }
        if (length > 0 && !(length == 1 && p[0] == '.')) {
            const int32_t need = used + (used ? 1 : 0) + length;
            if (need >= size) {
                out[0] = 0;
                return 0;
            }
            if (used) out[used++] = '/';
            memcpy(out + used, p, (size_t)length);
            used += length;
        }
        p = *end ? end + 1 : end;
    }
    out[used] = 0;
    return used > 0;
}

int64_t StorageFilePath_IsReserved(const char* name, const char* suffix) {
    ASSERT_POINTER(name);
    const size_t suffixLength = suffix ? strlen(suffix) : 0;
    if (!suffixLength) return 0;
    // Every component counts: a folder "a<suffix>" would hold the place where the copy of "a" is made,
    // and "a<suffix><n>" that of the copy "a" takes where its usual name is held.
    for (const char* part = name;;) {
        const size_t length = strcspn(part, "/");
        const size_t end = length && part[length - 1] == '~' ? length - 1 : length;
        size_t digits = end;
        while (digits > 0 && part[digits - 1] >= '0' && part[digits - 1] <= '9') digits--;
        for (const size_t at : {end, digits})
            if (at >= suffixLength && memcmp(part + at - suffixLength, suffix, suffixLength) == 0) return 1;
        if (!part[length]) return 0;
        part += length + 1;
    }
}

int64_t StorageFilePath_IsKept(const char* name, const char* kept) {
    ASSERT_POINTER(name);
    if (!kept || !kept[0]) return 0;
    const size_t keptLength = strlen(kept), nameLength = strlen(name);
    const char* slash = strrchr(kept, '/');
    const size_t folder = slash ? (size_t)(slash + 1 - kept) : 0; // the folder's part, its '/' included
    const char* leaf = kept + folder;
    const size_t leafLength = keptLength - folder;
    // A folder on the way to the manifest.
    if (nameLength < keptLength && kept[nameLength] == '/' && strncasecmp(name, kept, nameLength) == 0) return 1;
    // The name itself or any folder it lies in.
    for (size_t length = 0; length <= nameLength; length++) {
        if (name[length] != '/' && name[length] != 0) continue;
        if (length == keptLength && strncasecmp(name, kept, length) == 0) return 1;
        if (length == keptLength + 9 && strncasecmp(name, kept, keptLength) == 0 &&
            strncasecmp(name + keptLength, ".replaced", 9) == 0)
            return 1;
        // ".<leaf>." and more, in the manifest's folder.
        if (length > folder + leafLength + 2 && strncasecmp(name, kept, folder) == 0 &&
            !memchr(name + folder, '/', length - folder) && name[folder] == '.' &&
            strncasecmp(name + folder + 1, leaf, leafLength) == 0 && name[folder + 1 + leafLength] == '.')
            return 1;
    }
    return 0;
}

int64_t StorageFilePath_IgnoreCreate(HashTable** set) {
    ASSERT_POINTER(set);
    HashTable_Create(set, STORAGE_FILE_PATH_SIZE, 64);
    HashTable_SetValueCallback(*set, nullptr, HashTable_StringKeyedValueWithoutCase);
    HashTable_SetCompareCallback(*set, nullptr, HashTable_StringCompareWithoutCase);
    return 1;
}

int64_t StorageFilePath_IgnoreParse(const void* bytes, uint32_t length, HashTable* set) {
    ASSERT_POINTER(set);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetValueCallback(json, set, IgnoreValue);
    const int64_t ok = length > 0 && bytes != nullptr && JSON_LoadBuffer(json, bytes, length) == 1;
    JSON_Release(&json);
    return ok ? 1 : 0;
}
