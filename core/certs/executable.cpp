// Version values of program files. The running program answers from the values the build
// compiled in, a PE image from its version resource, an ELF program from the JSON object of its
// ".version.json" section.
#include "core/certs/executable.h"

#include <cstring>

#include "core/certs/build_info.h"
#include "core/certs/elf_file.h"
#include "core/certs/macho_file.h"
#include "core/certs/pe_file.h"
#include "core/runtime/dictionary.h"
#include "core/linux/platform.h"
#include "core/platform/path.h"
#include "core/runtime/debug.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"

namespace {

struct InfoValue {
    const char* key;
    const char* value;
};

constexpr InfoValue kBuiltIn[] = {
    {"FileVersion", QVR_BUILD_FILE_VERSION},   {"ProductVersion", QVR_BUILD_PRODUCT_VERSION},
    {"ProductName", QVR_BUILD_PRODUCT_NAME},   {"CompanyName", QVR_BUILD_COMPANY_NAME},
    {"LegalCopyright", QVR_BUILD_COPYRIGHT},
};

// True when the path names the running program or the directory that stands for its bundle.
bool IsRunningProgram(const char* path) {
    if (!path || !path[0]) return true;
    char own[1024];
    if (Platform_GetSpecialPath(PLATFORM_PATH_MODULE_PATH, own, sizeof(own)) && String_Compare(own, path))
        return true;
    if (Platform_GetSpecialPath(PLATFORM_PATH_MODULE_APP_PATH, own, sizeof(own)) && String_Compare(own, path))
        return true;
    return false;
}

// The current module application path and the information of the running program.
struct CurrentModule {
    char path[321];
    Dictionary* cache;
};
CurrentModule g_current {};

} // namespace

int64_t Executable_GetInfoDictionary(const char* path, Dictionary* dict) {
    ASSERT_POINTER(dict);
    // There are no bundles here: the running program answers what the build compiled in.
    if (IsRunningProgram(path)) {
        for (const InfoValue& row : kBuiltIn) Dictionary_SetStringByKey(dict, row.key, row.value);
        return 1;
    }
    if (AppBundle_IsValid(path)) return AppBundle_GetInfoDictionary(path, dict);
    // Directories and Mach-O files carry no information of their own.
    if (Path_IsDirectory(path) || MachOFile_IsValid(path)) return 0;
    if (PEFile_IsValid(path)) return PEFile_GetInfoDictionary(path, dict) ? 1 : 0;
    return ELFFile_GetInfoDictionary(path, dict) ? 1 : 0;
}

int64_t Executable_GetStringByKey(Dictionary* dict, const char* key, char* text, int32_t capacity) {
    ASSERT_POINTER(key);
    ASSERT_POINTER(text);
    if (capacity > 0) text[0] = 0;
    const char* value = nullptr;
    if (!dict || Dictionary_GetStringPtrByKey(dict, key, &value) != 1 || !value) return 0;
    String_CopyLength(text, value, capacity);
    return 1;
}

int64_t Executable_Init() {
    char path[1024];
    if (!Platform_GetSpecialPath(PLATFORM_PATH_MODULE_APP_PATH, path, sizeof(path))) path[0] = 0;
    Path_FixSlash(path, sizeof(path), 0);
    return Executable_SetCurrentModuleAppPath(path);
}

int64_t Executable_SetCurrentModuleAppPath(const char* path) {
    ASSERT_POINTER(path);
    String_CopyLength(g_current.path, path, sizeof(g_current.path));
    if (!g_current.cache) Dictionary_Create(&g_current.cache);
    Dictionary_Reset(g_current.cache);
    Executable_GetInfoDictionary(g_current.path, g_current.cache);
    return 1;
}

int64_t Executable_GetCurrentModuleAppPath(char* text, int32_t capacity) {
    ASSERT_POINTER(text);
    String_CopyLength(text, g_current.path, capacity);
    return 1;
}

int64_t Executable_Remove() {
    if (g_current.cache) Dictionary_Release(&g_current.cache);
    g_current.cache = nullptr;
    return 1;
}

int64_t Executable_GetInfoValue(const char* path, const char* key, char* text, int32_t capacity) {
    ASSERT_POINTER(key);
    ASSERT_POINTER(text);
    if (capacity > 0) text[0] = 0;
    if (g_current.cache && (!path || !path[0] || String_Compare(path, g_current.path)))
        return Executable_GetStringByKey(g_current.cache, key, text, capacity);
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    const int64_t found = Executable_GetInfoDictionary(path, dict) && Executable_GetStringByKey(dict, key, text, capacity);
    Dictionary_Release(&dict);
    return found ? 1 : 0;
}

int64_t Executable_GetFileVersion(const char* path, char* text, int32_t capacity) {
    return Executable_GetInfoValue(path, "FileVersion", text, capacity);
}

int64_t Executable_GetProductVersion(const char* path, char* text, int32_t capacity) {
    return Executable_GetInfoValue(path, "ProductVersion", text, capacity);
}

int64_t Executable_GetProductName(const char* path, char* text, int32_t capacity) {
    return Executable_GetInfoValue(path, "ProductName", text, capacity);
}

int64_t Executable_GetLegalCopyright(const char* path, char* text, int32_t capacity) {
    return Executable_GetInfoValue(path, "LegalCopyright", text, capacity);
}

int64_t Executable_GetCompanyName(const char* path, char* text, int32_t capacity) {
    return Executable_GetInfoValue(path, "CompanyName", text, capacity);
}

int64_t Executable_GetCommandLine(const char* path, char* text, int32_t capacity) {
    return Executable_GetInfoValue(path, "CommandLine", text, capacity);
}

int64_t Executable_Shutdown() { return Executable_Remove(); }

int64_t Executable_ExpandKey(void* user, const char* name, char* argument, char* value, int32_t capacity) {
    (void)user;
    ASSERT_POINTER(name);
    ASSERT_POINTER(value);
    static const char* const kValues[] = {"FileVersion", "ProductVersion", "CompanyName", "ProductName"};
    for (const char* key : kValues)
        if (String_CompareWithoutCase(name, key)) {
            Executable_GetInfoValue(argument, key, value, capacity);
            return 1;
        }
    if (String_CompareBeginningWithoutCase(name, "Copyright")) {
        Executable_GetInfoValue(argument, "LegalCopyright", value, capacity);
        return 1;
    }
    if (String_CompareWithoutCase(name, "DataStore") || String_CompareWithoutCase(name, "FileDataStore")) {
        uint8_t* store = nullptr;
        uint32_t length = 0;
        if (capacity > 0 && Executable_GetDataStore(argument, &store, &length)) {
            const uint32_t kept = length < (uint32_t)capacity - 1 ? length : (uint32_t)capacity - 1;
            memcpy(value, store, kept);
            value[kept] = 0;
            Executable_ReleaseDataStore(nullptr, &store, &length);
        }
        return 1;
    }
    return 0;
}
