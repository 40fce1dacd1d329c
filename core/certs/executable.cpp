// Version values of program files. The running program answers from the values the build
// compiled in; other files have no readable information yet and answer "missing".
#include "core/certs/executable.h"

#include <cstring>

#include "core/certs/build_info.h"
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

} // namespace

int64_t Executable_GetInfoValue(const char* path, const char* key, char* text, int32_t capacity) {
    ASSERT_POINTER(key);
    ASSERT_POINTER(text);
    if (capacity > 0) text[0] = 0;
    if (!IsRunningProgram(path)) return 0;
    for (const InfoValue& row : kBuiltIn) {
        if (!String_Compare(row.key, key)) continue;
        String_CopyLength(text, row.value, capacity);
        return 1;
    }
    return 0;
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

// The built-in values need no cache, so there is nothing to release.
int64_t Executable_Shutdown() { return 1; }

int64_t AppBundle_IsValid(const char* path) {
    if (!path || !path[0]) return 0;
    auto endsWith = [path](const char* suffix) {
        const size_t length = strlen(path);
        const size_t tail = strlen(suffix);
        return length > tail && String_CompareWithoutCase(path + length - tail, suffix);
    };
    if (!endsWith(".app") && !endsWith(".framework")) return 0;
    char plist[1024];
    const int32_t length = String_Print(plist, sizeof(plist), "%s/Contents/Info.plist", path);
    if (length < 0 || length >= (int32_t)sizeof(plist) - 1) return 0;
    return Path_Exists(plist) ? 1 : 0;
}

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
