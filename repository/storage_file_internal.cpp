// Helpers shared by the file storage backends.
#include "repository/storage_file_internal.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "core/linux/platform_error.h"
#include "core/runtime/class.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "repository/linux/storage_file_os.h"
#include "repository/storage_file_path.h"

namespace {

Dictionary* EngineDictionary(void* engine) {
    if (engine == nullptr) return nullptr;
    return static_cast<Class*>(engine)->ClassId == DICTIONARY_CLASS_ID ? static_cast<Dictionary*>(engine)
                                                                      : nullptr;
}

} // namespace

void StorageFileInternal_ErrorPair(int32_t error, uint32_t* code, uint32_t* extended) {
    if (error == ELOOP) {
        *code = STORAGE_ERROR_INVALID_CONTENT;
        *extended = 0;
        return;
    }
    *code = STORAGE_ERROR_OS;
    *extended = (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + error);
}

int64_t StorageFileInternal_Finish(StorageOperation* operation, uint32_t code, uint32_t extended) {
    Storage_OperationComplete(operation, code, extended);
    return 1;
}

int64_t StorageFileInternal_FinishError(StorageOperation* operation, int32_t error) {
    uint32_t code = 0, extended = 0;
    StorageFileInternal_ErrorPair(error, &code, &extended);
    return StorageFileInternal_Finish(operation, code, extended);
}

int64_t StorageFileInternal_GetString(void* engine, Dictionary* dictionary, const char* key, const char* path,
                                      const char* fallback, char* buffer, int32_t size) {
    buffer[0] = 0;
    if (dictionary && Dictionary_GetStringByKey(dictionary, key, buffer, size)) return 1;
    Dictionary* config = EngineDictionary(engine);
    if (config && (Dictionary_GetStringByKey(config, path, buffer, size) ||
                   Dictionary_GetStringByPath(config, path, buffer, size)))
        return 1;
    if (fallback == nullptr) return 0;
    String_CopyLengthSafe(buffer, size, fallback, (int32_t)strlen(fallback));
    return 1;
}

int64_t StorageFileInternal_GetBoolean(void* engine, Dictionary* dictionary, const char* key, const char* path,
                                       uint32_t fallback, uint32_t* value) {
    *value = fallback;
    if (dictionary && Dictionary_GetBooleanByKey(dictionary, key, value)) return 1;
    Dictionary* config = EngineDictionary(engine);
    if (config && (Dictionary_GetBooleanByKey(config, path, value) || Dictionary_GetBooleanByPath(config, path, value)))
        return 1;
    *value = fallback;
    return 1;
}

int32_t StorageFileInternal_Collapse(const char* root, const char* name, void* user,
                                     int64_t (*print)(void* user, const char* directory)) {
    char prefix[STORAGE_FILE_PATH_SIZE];
    String_CopyLengthSafe(prefix, (int32_t)sizeof(prefix), name, (int32_t)strlen(name));
    for (char* slash; (slash = strrchr(prefix, '/')) != nullptr;) {
        *slash = 0;
        int32_t directory = -1;
        const char* leaf = nullptr;
        if (StorageFileOS_OpenParent(root, prefix, 0, &directory, &leaf) != 0) return 0;
        const int32_t error = StorageFileOS_Remove(directory, leaf, 1);
        StorageFileOS_Close(&directory);
        // A folder that holds something, or is not ours to remove, ends the collapse; a disk that
        // failed the removal fails it, so that it is tried again.
        if (error == EIO || error == ENOSPC || error == EDQUOT) return error;
        if (error != 0) return 0;
        print(user, prefix);
    }
    return 0;
}

int64_t StorageFileInternal_PrintFallback(void*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}
