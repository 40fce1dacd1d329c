// Application bundles (Info.plist values mapped to the information keys) and disk images (the
// trailer that names their data store range).
#include <cstring>

#include "core/certs/executable.h"
#include "core/formats/plist.h"
#include "core/platform/file.h"
#include "core/platform/path.h"
#include "core/platform/stream.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"

namespace {

bool EndsWithoutCase(const char* text, const char* suffix) {
    const size_t length = strlen(text), tail = strlen(suffix);
    return length >= tail && String_CompareWithoutCase(text + length - tail, suffix);
}

// The information key and the Info.plist keys it is read from, the first present winning.
struct BundleKey {
    const char* key;
    const char* first;
    const char* second;
};
constexpr BundleKey kBundleKeys[] = {
    {"FileVersion", "CFBundleVersion", nullptr},
    {"ProductVersion", "CFBundleShortVersionString", "CFBundleVersion"},
    {"ProductName", "CFBundleName", "CFBundleExecutable"},
    {"LegalCopyright", "NSHumanReadableCopyright", "CFBundleGetInfoString"},
    {"CompanyName", "CFBundleCompanyName", nullptr},
    {"CommandLine", "CommandLine", nullptr},
};

uint64_t Be64(const uint8_t* p) {
    uint64_t value = 0;
    for (int i = 0; i < 8; i++) value = value << 8 | p[i];
    return value;
}

// The 512-byte trailer of a disk image; false when the stream is shorter or has none.
bool ReadTrailer(Stream* stream, uint8_t trailer[512]) {
    uint64_t length = 0;
    if (Stream_Length(stream, &length) != 1 || length < 512) return false;
    if (Stream_Seek(stream, (int64_t)(length - 512), SEEK_ORIGIN_BEGIN) != 1) return false;
    uint32_t read = 0;
    return Stream_Read(stream, trailer, 512, &read) == 1 && read == 512 && memcmp(trailer, "koly", 4) == 0;
}

} // namespace

int64_t AppBundle_GetInfoPlistPath(const char* bundle, char* text, int32_t capacity) {
    ASSERT_POINTER(bundle);
    ASSERT_POINTER(text);
    const char* middle = EndsWithoutCase(bundle, ".framework") ? "Resources" : "Contents";
    const int32_t length = String_Print(text, capacity, "%s%c%s%c%s", bundle, '/', middle, '/', "Info.plist");
    return length >= 0 && length < capacity - 1 ? 1 : 0;
}

int64_t AppBundle_IsValid(const char* path) {
    if (!path || !path[0]) return 0;
    const char* dot = strrchr(path, '.');
    if (!dot || (!String_CompareWithoutCase(dot, ".app") && !String_CompareWithoutCase(dot, ".framework"))) return 0;
    char plist[1024];
    return AppBundle_GetInfoPlistPath(path, plist, sizeof(plist)) && Path_Exists(plist) ? 1 : 0;
}

int64_t MachOFile_GetAppBundlePath(const char* file, char* text, int32_t capacity) {
    ASSERT_POINTER(file);
    ASSERT_POINTER(text);
    if (capacity > 0) text[0] = 0;
    char folder[1024];
    String_CopyLength(folder, file, sizeof(folder));
    if (char* slash = strrchr(folder, '/')) *slash = 0;
    Path_FixSlash(folder, sizeof(folder), 0);
    static const char kInside[] = ".app/Contents/MacOS";
    for (char* at = folder; *at; at++) {
        if (!String_CompareBeginningWithoutCase(at, kInside)) continue;
        at[4] = 0;  // just after ".app"
        if ((int32_t)strlen(folder) >= capacity) return 0;
        String_CopyLength(text, folder, capacity);
        return 1;
    }
    return 0;
}

int64_t AppBundle_GetInfoDictionary(const char* path, Dictionary* dict) {
    ASSERT_POINTER(path);
    ASSERT_POINTER(dict);
    char bundle[1024];
    String_CopyLength(bundle, path, sizeof(bundle));
    char enclosing[1024];
    if (!AppBundle_IsValid(path) && MachOFile_GetAppBundlePath(path, enclosing, sizeof(enclosing)) &&
        !String_Compare(enclosing, path))
        String_CopyLength(bundle, enclosing, sizeof(bundle));
    char plistPath[1024];
    if (!AppBundle_GetInfoPlistPath(bundle, plistPath, sizeof(plistPath))) return 0;
    Dictionary* loaded = nullptr;
    Dictionary_Create(&loaded);
    Plist* plist = nullptr;
    Plist_Create(&plist);
    Plist_SetDictionaryHandle(plist, loaded);
    DictionaryItem* top = nullptr;
    Dictionary* root = nullptr;
    const bool read = Plist_Load(plist, plistPath) == 1 && Dictionary_ItemGetFirst(loaded, &top) == 1 && top &&
                      Dictionary_ItemGetDictionaryHandle(loaded, top, &root) == 1 && root;
    if (read) {
        for (const BundleKey& row : kBundleKeys) {
            const char* value = nullptr;
            if (Dictionary_GetStringPtrByKey(root, row.first, &value) != 1 && row.second)
                Dictionary_GetStringPtrByKey(root, row.second, &value);
            if (value) Dictionary_SetStringByKey(dict, row.key, value);
        }
        Dictionary_Merge(dict, root, DICTIONARY_MERGE_OVERWRITE);
    }
    Plist_Release(&plist);
    Dictionary_Release(&loaded);
    return read ? 1 : 0;
}

int64_t AppBundle_GetInfoValue(const char* path, const char* key, char* text, int32_t capacity) {
    ASSERT_POINTER(key);
    ASSERT_POINTER(text);
    if (capacity > 0) text[0] = 0;
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    int64_t found = 0;
    if (AppBundle_GetInfoDictionary(path, dict)) {
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(dict, &item); item && !found; Dictionary_ItemGetNext(dict, item, &item)) {
            const char* name = nullptr;
            const char* value = nullptr;
            if (Dictionary_ItemGetKeyPtr(dict, item, &name) == 1 && name && String_CompareWithoutCase(name, key) &&
                Dictionary_ItemGetStringPtr(dict, item, &value) == 1 && value) {
                String_CopyLength(text, value, capacity);
                found = 1;
            }
        }
    }
    Dictionary_Release(&dict);
    return found;
}

int64_t AppBundle_GetMachOPath(const char* bundle, char* text, int32_t capacity) {
    ASSERT_POINTER(bundle);
    ASSERT_POINTER(text);
    if (capacity > 0) text[0] = 0;
    char name[121];
    if (!AppBundle_GetInfoValue(bundle, "ProductName", name, sizeof(name)) || !name[0]) return 0;
    const int32_t length = String_Print(text, capacity, "%s%c%s%c%s%c%s", bundle, '/', "Contents", '/', "MacOS", '/', name);
    return length >= 0 && length < capacity - 1 ? 1 : 0;
}

int64_t DMGFile_IsValidStream(Stream* stream) {
    ASSERT_POINTER(stream);
    uint8_t trailer[512];
    return ReadTrailer(stream, trailer) ? 1 : 0;
}

int64_t DMGFile_GetDataStoreOffset(Stream* stream, uint64_t* offset, uint64_t* size) {
    ASSERT_POINTER(stream);
    ASSERT_POINTER(offset);
    ASSERT_POINTER(size);
    *offset = 0;
    *size = 0;
    uint8_t trailer[512];
    if (!ReadTrailer(stream, trailer)) return 0;
    *offset = Be64(trailer + 296);
    *size = Be64(trailer + 304) & 0xffffffffu;
    return 1;
}

int64_t DMGFile_IsValid(const char* path) {
    ASSERT_POINTER(path);
    if (Path_IsDirectory(path)) return 0;
    File* file = nullptr;
    File_Create(&file);
    int64_t valid = 0;
    Stream* stream = nullptr;
    if (File_Open(file, path, FILE_READ | FILE_QUIET) == 1 && File_GetStreamHandle(file, &stream) == 1 && stream)
        valid = DMGFile_IsValidStream(stream);
    File_Release(&file);
    return valid;
}
