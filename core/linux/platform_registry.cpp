// Registry keys and typed values kept in the application's preferences: one JSON file per
// application under $XDG_CONFIG_HOME, replaced atomically under an advisory lock.
#include "core/linux/platform_registry.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/certs/build_info.h"
#include "core/formats/base64.h"
#include "core/formats/json.h"
#include "core/linux/platform.h"
#include "core/linux/platform_number.h"
#include "core/linux/platform_private_directory.h"
#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string_print.h"
#include "core/runtime/unicode.h"

namespace {

// The JSON reader opens at most 31 containers: the top level, the keys and a data value's list
// must fit, with room to spare.
constexpr int32_t kMaxDepth = 24;
// Names are dictionary keys; a longer one would be cut and could meet another value's name.
constexpr int32_t kNameCapacity = DICTIONARY_MAX_KEY_LENGTH + 1;
constexpr int32_t kPathTextCapacity = 4096;
constexpr int32_t kFileCapacity = 4096;
// A preferences file is small; anything near this is not ours to load into memory.
constexpr int64_t kMaxFileBytes = 64 << 20;
// Transactions take milliseconds: a lock held longer than this belongs to a stuck process.
constexpr int32_t kLockWaitMs = 10000;

// Number type codes of the bad-number message: a 32-bit, a 64-bit integer and a double.
constexpr uint32_t kNumberInt32 = 3;
constexpr uint32_t kNumberInt64 = 4;
constexpr uint32_t kNumberFloat64 = 6;

// ReadTypeOf for entries that are no value a registry can read.
constexpr uint32_t kUnexpected = 0xFFFFFFFF;

struct KeyPath {
    int32_t Count;
    char Names[kMaxDepth][kNameCapacity];
};

} // namespace

struct PlatformRegistryKey {
    Class Header;
    Dictionary* Document;    // the preferences as read at open: one unnamed item holding the top level
    Dictionary* Current;     // the key inside Document; the top level itself for the root key
    Dictionary* SubkeyNames; // enumeration snapshots, null until index 0
    Dictionary* ValueNames;
    Dictionary* Changes; // value name -> new value, or a Null item for a deleted value
    int32_t IsRoot;
    int32_t Dirty;
    KeyPath Path; // from the top level; empty for the root key
};

namespace {

// ---- Texts ----------------------------------------------------------------------------------

// Strict UTF-8 (no overlong forms, surrogates or values above U+10FFFF): what the JSON reader
// accepts, so that nothing written makes the file unreadable.
bool ValidUtf8(const void* text, int32_t length) {
    return StringUtf8_ValidLength(static_cast<const char*>(text), length) == (length > 0 ? length : 0);
}

bool ValidName(std::string_view name) {
    return name.size() < (size_t)kNameCapacity && ValidUtf8(name.data(), (int32_t)name.size());
}

// "." and ".." are refused: the registry facade authorises paths with them folded away, so the
// store must not give them a meaning of their own.
bool ValidComponent(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && ValidName(name);
}

// Copies text cut to fit, never inside a UTF-8 character; always terminated. The bytes copied.
int32_t CopyCut(char* buffer, int32_t size, const char* text, int32_t length) {
    if (size < 1) return 0;
    int32_t n = length;
    if (n > size - 1) {
        n = size - 1;
        while (n > 0 && ((uint8_t)text[n] & 0xC0) == 0x80) n--;
    }
    if (n > 0) memcpy(buffer, text, (size_t)n);
    buffer[n] = 0;
    return n;
}

// Splits a key path. `whole` receives the path as one name (separators as '/') when it can be
// one; an empty path is the root (Count 0).
bool ParsePath(const char* path, KeyPath* out, char* whole) {
    out->Count = 0;
    whole[0] = 0;
    if (path[0] == '/' || path[0] == '\\') path++;
    const size_t length = strlen(path);
    if (length >= (size_t)kPathTextCapacity) return false;
    char text[kPathTextCapacity];
    memcpy(text, path, length + 1);
    for (char* p = text; *p; p++)
        if (*p == '\\') *p = '/';
    if (!text[0]) return true;
    std::string_view rest(text, length);
    while (true) {
        const size_t slash = rest.find('/');
        std::string_view name = rest.substr(0, slash);
        if (!ValidComponent(name) || out->Count == kMaxDepth) return false;
        memcpy(out->Names[out->Count], name.data(), name.size());
        out->Names[out->Count][name.size()] = 0;
        out->Count++;
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    if (out->Count > 1 && ValidName(std::string_view(text, length))) memcpy(whole, text, length + 1);
    return true;
}

// ---- Dictionaries ---------------------------------------------------------------------------

uint32_t TypeOf(Dictionary* dict, DictionaryItem* item) {
    uint32_t type = DICTIONARY_TYPE_UNKNOWN;
    Dictionary_ItemGetType(dict, item, &type);
    return type;
}

// Keys are matched exactly: the dictionary's own lookup gives "[n]" a meaning of its own.
DictionaryItem* FindEntry(Dictionary* dict, const char* name, DictionaryItem* from = nullptr) {
    DictionaryItem* item = nullptr;
    if (from)
        Dictionary_ItemGetNext(dict, from, &item);
    else
        Dictionary_ItemGetFirst(dict, &item);
    for (; item; Dictionary_ItemGetNext(dict, item, &item)) {
        const char* key = nullptr;
        if (Dictionary_ItemGetKeyPtr(dict, item, &key) && strcmp(key, name) == 0) return item;
    }
    return nullptr;
}

Dictionary* ChildKey(Dictionary* dict, const char* name) {
    for (DictionaryItem* item = FindEntry(dict, name); item; item = FindEntry(dict, name, item)) {
        if (TypeOf(dict, item) != DICTIONARY_TYPE_DICTIONARY) continue;
        Dictionary* child = nullptr;
        Dictionary_ItemGetDictionaryHandle(dict, item, &child);
        return child;
    }
    return nullptr;
}

Dictionary* WalkPath(Dictionary* dict, const KeyPath& path, int32_t count) {
    for (int32_t i = 0; dict && i < count; i++) dict = ChildKey(dict, path.Names[i]);
    return dict;
}

// Walks down, adding the missing keys; null when a value stands where a key must be.
Dictionary* EnsurePath(Dictionary* dict, const KeyPath& path, int32_t count) {
    for (int32_t i = 0; dict && i < count; i++) {
        Dictionary* child = ChildKey(dict, path.Names[i]);
        if (!child) {
            if (FindEntry(dict, path.Names[i])) return nullptr;
            Dictionary_AddDictionary(dict, path.Names[i], &child, nullptr);
        }
        dict = child;
    }
    return dict;
}

// Removes every entry of that name that is (or is not) a key; the count removed.
int32_t RemoveEntries(Dictionary* dict, const char* name, bool keys) {
    int32_t removed = 0;
    DictionaryItem* item = FindEntry(dict, name);
    while (item) {
        DictionaryItem* next = FindEntry(dict, name, item);
        if ((TypeOf(dict, item) == DICTIONARY_TYPE_DICTIONARY) == keys) {
            Dictionary_Remove(dict, &item);
            removed++;
        }
        item = next;
    }
    return removed;
}

// Copies an item's value (containers with their items) into a fresh item.
void CopyValue(Dictionary* target, DictionaryItem* to, Dictionary* source, DictionaryItem* from,
               int32_t depth) {
    const uint32_t type = TypeOf(source, from);
    Dictionary_ItemSetType(target, to, type);
    if (type == DICTIONARY_TYPE_LIST || type == DICTIONARY_TYPE_DICTIONARY) {
        Dictionary* in = nullptr;
        Dictionary* out = nullptr;
        Dictionary_ItemGetDictionaryHandle(source, from, &in);
        Dictionary_ItemGetDictionaryHandle(target, to, &out);
        if (!in || !out || depth >= JSON_MAX_DEPTH) return;
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(in, &item); item; Dictionary_ItemGetNext(in, item, &item)) {
            const char* key = nullptr;
            Dictionary_ItemGetKeyPtr(in, item, &key);
            DictionaryItem* copy = nullptr;
            Dictionary_Append(out, key, &copy);
            CopyValue(out, copy, in, item, depth + 1);
        }
        return;
    }
    if (type == DICTIONARY_TYPE_BOOLEAN) {
        uint32_t value = 0;
        Dictionary_ItemGetBoolean(source, from, &value);
        Dictionary_ItemSetBoolean(target, to, value);
        return;
    }
    if (type == DICTIONARY_TYPE_NULL || type == DICTIONARY_TYPE_UNKNOWN) return;
    const char* bytes = nullptr;
    int32_t length = 0;
    Dictionary_ItemGetBufferPtr(source, from, &bytes, &length);
    Dictionary_ItemSetBuffer(target, to, bytes, bytes ? length : 0);
}

// Puts a copy of the value in place of the values of that name, where the first of them stood.
// False, with nothing changed, when a key holds the name.
bool ReplaceValue(Dictionary* target, const char* name, Dictionary* source, DictionaryItem* value) {
    DictionaryItem* after = nullptr;
    bool found = false;
    for (DictionaryItem* item = FindEntry(target, name); item; item = FindEntry(target, name, item)) {
        if (TypeOf(target, item) == DICTIONARY_TYPE_DICTIONARY) return false;
        if (!found) Dictionary_ItemGetPrev(target, item, &after);
        found = true;
    }
    RemoveEntries(target, name, false);
    DictionaryItem* item = nullptr;
    if (found)
        Dictionary_Insert(target, after, name, &item);
    else
        Dictionary_Append(target, name, &item);
    CopyValue(target, item, source, value, 0);
    return true;
}

// Fills a fresh item with a value as the registry writes it: text as a string, a 32-bit number,
// data as a list holding its Base64 text (a form nothing else in the file takes).
bool BuildValue(Dictionary* dict, DictionaryItem* item, uint32_t type, const uint8_t* data, int32_t size) {
    switch (type) {
    case PLATFORM_REGISTRY_TYPE_STRING:
    case PLATFORM_REGISTRY_TYPE_EXPAND_STRING:
    case PLATFORM_REGISTRY_TYPE_MULTI_STRING: {
        const int32_t length = size > 0 && data[size - 1] == 0 ? size - 1 : size;
        Dictionary_ItemSetType(dict, item, DICTIONARY_TYPE_STRING);
        Dictionary_ItemSetBuffer(dict, item, reinterpret_cast<const char*>(data), length);
        return true;
    }
    case PLATFORM_REGISTRY_TYPE_INT32: {
        int32_t value = 0;
        memcpy(&value, data, sizeof(value));
        Dictionary_ItemSetType(dict, item, DICTIONARY_TYPE_INT64);
        Dictionary_ItemSetInt64(dict, item, value);
        return true;
    }
    case PLATFORM_REGISTRY_TYPE_BINARY: {
        uint32_t capacity = 0;
        if (!Base64_CalculateEncodeSize((uint32_t)size, &capacity) || capacity == 0 || capacity > INT32_MAX)
            return false;
        char* text = static_cast<char*>(Memory_Alloc(capacity));
        uint32_t written = 0;
        const bool encoded = Base64_Encode(data, size, text, (int32_t)capacity, &written) != 0;
        if (encoded) {
            Dictionary* list = nullptr;
            Dictionary_ItemSetType(dict, item, DICTIONARY_TYPE_LIST);
            Dictionary_ItemGetDictionaryHandle(dict, item, &list);
            DictionaryItem* element = nullptr;
            Dictionary_Append(list, nullptr, &element);
            Dictionary_ItemSetType(list, element, DICTIONARY_TYPE_STRING);
            Dictionary_ItemSetBuffer(list, element, text, (int32_t)written);
        }
        Memory_Free(text, capacity);
        return encoded;
    }
    default:
        return false;
    }
}

// The Base64 text of a data value: a list holding exactly one string.
bool DataText(Dictionary* dict, DictionaryItem* item, const char** text, int32_t* length) {
    Dictionary* list = nullptr;
    if (TypeOf(dict, item) != DICTIONARY_TYPE_LIST || !Dictionary_ItemGetDictionaryHandle(dict, item, &list))
        return false;
    uint32_t count = 0;
    Dictionary_ItemGetCount(list, &count);
    DictionaryItem* element = nullptr;
    Dictionary_ItemGetFirst(list, &element);
    if (count != 1 || !element || TypeOf(list, element) != DICTIONARY_TYPE_STRING) return false;
    Dictionary_ItemGetBufferPtr(list, element, text, length);
    if (!*text) *text = "";
    return true;
}

// Decodes a data value into a new buffer of `*capacity` bytes (freed by the caller).
bool DecodeData(Dictionary* dict, DictionaryItem* item, uint8_t** bytes, uint32_t* capacity,
                int32_t* length) {
    *bytes = nullptr;
    *capacity = 0;
    *length = 0;
    const char* text = nullptr;
    int32_t textLength = 0;
    if (!DataText(dict, item, &text, &textLength)) return false;
    // A NUL inside would end the text early.
    if ((int32_t)strnlen(text, (size_t)textLength) != textLength) return false;
    uint32_t size = 0;
    if (!Base64_CalculateDecodeSize((uint32_t)textLength, &size) || size == 0 || size > INT32_MAX)
        return false;
    uint8_t* buffer = static_cast<uint8_t*>(Memory_Alloc(size));
    uint32_t decoded = 0;
    if (!Base64_Decode(text, textLength, buffer, (int32_t)size, &decoded) || decoded >= size) {
        Memory_Free(buffer, size);
        return false;
    }
    *bytes = buffer;
    *capacity = size;
    *length = (int32_t)decoded;
    return true;
}

// A number's value as a 32-bit integer; false (with the number's type code) when it has none.
bool NumberValue(Dictionary* dict, DictionaryItem* item, int32_t* value, uint32_t* numberType) {
    *value = 0;
    const char* text = nullptr;
    int32_t length = 0;
    Dictionary_ItemGetBufferPtr(dict, item, &text, &length);
    char copy[64];
    if (!text || length < 1 || length >= (int32_t)sizeof(copy)) {
        *numberType = kNumberFloat64;
        return false;
    }
    memcpy(copy, text, (size_t)length);
    copy[length] = 0;
    int32_t i = copy[0] == '-' ? 1 : 0;
    bool integer = copy[i] != 0;
    for (int32_t k = i; copy[k]; k++)
        if (copy[k] < '0' || copy[k] > '9') integer = false;
    if (integer) {
        *numberType = kNumberInt64;
        errno = 0;
        char* end = nullptr;
        const long long parsed = strtoll(copy, &end, 10);
        if (errno != 0 || parsed < INT32_MIN || parsed > INT32_MAX) return false;
        *value = (int32_t)parsed;
        return true;
    }
    *numberType = kNumberFloat64;
    char* end = nullptr;
    const double parsed = Platform_StringToDouble(copy, &end);
    if (!end || *end || !std::isfinite(parsed) || parsed != std::floor(parsed) || parsed < INT32_MIN ||
        parsed > INT32_MAX)
        return false;
    *value = (int32_t)parsed;
    return true;
}

// The type a value reads back as: 1 text, 3 data, 4 number or boolean; 0 for a key, kUnexpected
// for anything else.
uint32_t ReadTypeOf(Dictionary* dict, DictionaryItem* item) {
    switch (TypeOf(dict, item)) {
    case DICTIONARY_TYPE_STRING:
        return PLATFORM_REGISTRY_TYPE_STRING;
    case DICTIONARY_TYPE_INT64:
    case DICTIONARY_TYPE_FLOAT64:
    case DICTIONARY_TYPE_BOOLEAN:
        return PLATFORM_REGISTRY_TYPE_INT32;
    case DICTIONARY_TYPE_DICTIONARY:
        return 0;
    case DICTIONARY_TYPE_LIST: {
        const char* text = nullptr;
        int32_t length = 0;
        return DataText(dict, item, &text, &length) ? PLATFORM_REGISTRY_TYPE_BINARY : kUnexpected;
    }
    default:
        return kUnexpected;
    }
}

void LogUnexpected(const char* function, Dictionary* dict, DictionaryItem* item, const char* name) {
    const uint32_t type = TypeOf(dict, item);
    Log_Debug("%s: Unexpected data type %d (%s) for value \"%s\"\n", function, (int32_t)type,
              Dictionary_TranslateType(type), name);
}

void LogBadNumber(const char* function, const char* name, uint32_t numberType) {
    Log_Debug("%s: Bad number type for requested value \"%s\" (type [0x%.8X != 0x%.8X])\n", function, name,
              numberType, kNumberInt32);
}

// Reads a value into the caller's buffer as its type reads back; false (logged) for values of no
// registry type.
bool ReadValue(const char* function, const char* name, Dictionary* dict, DictionaryItem* item, void* buffer,
               int32_t capacity, int32_t* size, uint32_t* type) {
    *size = 0;
    *type = 0;
    const uint32_t readType = ReadTypeOf(dict, item);
    if (readType == 0 || readType == kUnexpected) {
        if (readType == kUnexpected) LogUnexpected(function, dict, item, name);
        return false;
    }
    *type = readType;
    if (readType == PLATFORM_REGISTRY_TYPE_STRING) {
        const char* text = nullptr;
        int32_t length = 0;
        Dictionary_ItemGetBufferPtr(dict, item, &text, &length);
        // Always terminated: a caller reading the buffer as text never runs past its end.
        if (capacity >= 1)
            *size = CopyCut(static_cast<char*>(buffer), capacity, text ? text : "", length) + 1;
        return true;
    }
    if (readType == PLATFORM_REGISTRY_TYPE_BINARY) {
        uint8_t* bytes = nullptr;
        uint32_t allocated = 0;
        int32_t length = 0;
        if (!DecodeData(dict, item, &bytes, &allocated, &length)) {
            *type = 0;
            LogUnexpected(function, dict, item, name);
            return false;
        }
        const int32_t n = length < capacity ? length : (capacity > 0 ? capacity : 0);
        if (n > 0) memcpy(buffer, bytes, (size_t)n);
        *size = n;
        Memory_Free(bytes, allocated);
        return true;
    }
    int32_t value = 0;
    if (TypeOf(dict, item) == DICTIONARY_TYPE_BOOLEAN) {
        uint32_t flag = 0;
        Dictionary_ItemGetBoolean(dict, item, &flag);
        value = flag ? 1 : 0;
    } else {
        uint32_t numberType = 0;
        if (!NumberValue(dict, item, &value, &numberType)) {
            *type = 0;
            LogBadNumber(function, name, numberType);
            return false;
        }
    }
    if (capacity >= (int32_t)sizeof(value)) {
        memcpy(buffer, &value, sizeof(value));
        *size = (int32_t)sizeof(value);
    }
    return true;
}

// ---- The preferences file -------------------------------------------------------------------

enum class LoadStatus { Ok, Missing, Damaged, Failed };

// $XDG_CONFIG_HOME/<company>/<program>.json: one file per application, as the preferences of
// one program are its own.
bool StoreFile(char* file, int32_t size) {
    char config[kFileCapacity];
    const int32_t read = Platform_ReadEnvironmentVariable("XDG_CONFIG_HOME", config, sizeof(config));
    if (read > 0 && config[0] == '/') {
        if ((size_t)read + 2 > sizeof(config)) return false;
        config[read] = '/';
        config[read + 1] = 0;
    } else {
        char home[kFileCapacity];
        if (!Platform_GetUserHome(home, sizeof(home)) || strlen(home) + 9 > sizeof(config)) return false;
        String_Print(config, sizeof(config), "%s.config/", home);
    }
    char program[kFileCapacity];
    if (!Platform_GetSpecialPath(PLATFORM_PATH_MODULE_PATH, program, sizeof(program))) return false;
    const char* slash = strrchr(program, '/');
    const char* name = slash ? slash + 1 : program;
    if (!name[0] || strlen(config) + strlen(QVR_BUILD_COMPANY_NAME) + strlen(name) + 7 > (size_t)size)
        return false;
    String_Print(file, size, "%s%s/%s.json", config, QVR_BUILD_COMPANY_NAME, name);
    return true;
}

Dictionary* NewDocument() {
    Dictionary* doc = nullptr;
    Dictionary_Create(&doc);
    // Names starting with '.' or '#' are plain names here, never private markers.
    Dictionary_SetPrivateKeys(doc, 0);
    Dictionary_AddDictionary(doc, nullptr, nullptr, nullptr);
    return doc;
}

Dictionary* TopLevel(Dictionary* doc) {
    DictionaryItem* item = nullptr;
    Dictionary* top = nullptr;
    Dictionary_ItemGetFirst(doc, &item);
    if (item) Dictionary_ItemGetDictionaryHandle(doc, item, &top);
    return top;
}

// Parses JSON text into a new document; null unless it is one object.
Dictionary* ParseDocument(const char* bytes, uint32_t length) {
    Dictionary* doc = nullptr;
    Dictionary_Create(&doc);
    Dictionary_SetPrivateKeys(doc, 0);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetPrivateKeys(json, 0);
    JSON_SetDictionaryHandle(json, doc);
    const bool loaded = JSON_LoadBuffer(json, bytes, length) != 0;
    JSON_Release(&json);
    uint32_t count = 0;
    Dictionary_ItemGetCount(doc, &count);
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(doc, &item);
    const char* key = nullptr;
    if (!loaded || count != 1 || !item || TypeOf(doc, item) != DICTIONARY_TYPE_DICTIONARY ||
        Dictionary_ItemGetKeyPtr(doc, item, &key)) {
        Dictionary_Release(&doc);
        return nullptr;
    }
    return doc;
}

// The preferences as one operation reaches them: their directory, opened once, and the file's
// name in it. Every step after the open (read, lock, write, rename, setting aside) acts by name
// inside that directory, so that a directory renamed or replaced by a link meanwhile cannot send
// any of them elsewhere.
struct StoreLocation {
    char File[kFileCapacity]; // the whole path, for messages
    const char* Name;         // the file's own name inside Directory
    int Directory;
    StoreLocation() : Name(File), Directory(-1) { File[0] = 0; }
    ~StoreLocation() {
        if (Directory >= 0) close(Directory);
    }
    StoreLocation(const StoreLocation&) = delete;
    StoreLocation& operator=(const StoreLocation&) = delete;
};

bool LocateStore(StoreLocation* store) {
    if (!StoreFile(store->File, sizeof(store->File))) {
        Log_Error("Unable to locate the registry preferences\n");
        return false;
    }
    store->Name = strrchr(store->File, '/') + 1;
    return true;
}

// Opens the directory of the preferences, reached from the root without following a link or
// passing a folder that another user made or can change (they would choose what is read and
// where it is written); for a write a missing one is made (private, as the user's own data).
// Missing when it does not exist and is not to be made.
LoadStatus OpenStoreDirectory(StoreLocation* store, bool create) {
    char directory[kFileCapacity];
    const size_t length = (size_t)(store->Name - store->File);
    memcpy(directory, store->File, length);
    directory[length] = 0;
    int32_t fd = -1, error = 0;
    const char* reason = nullptr;
    // A folder the user made stays as it is; only a missing one is made.
    if (Platform_OpenPrivateDirectory(directory, 0, &fd, &error, &reason) ||
        (create && error == ENOENT && Platform_OpenPrivateDirectory(directory, 1, &fd, &error, &reason))) {
        store->Directory = fd;
        return LoadStatus::Ok;
    }
    if (error == ENOENT && !create) return LoadStatus::Missing;
    Log_Error("Unable to open the registry preferences directory %s: %s (%d)\n", directory, reason ? reason : "",
              error);
    Platform_SayFolderRefusal();
    return LoadStatus::Failed;
}

LoadStatus LoadFile(const StoreLocation& store, Dictionary** doc) {
    *doc = nullptr;
    // Never through a link standing at the name (its target is no preferences of ours), and never
    // waiting for the writer of a FIFO: only a regular file is read.
    const int fd = openat(store.Directory, store.Name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) {
            *doc = NewDocument();
            return LoadStatus::Missing;
        }
        if (errno == ELOOP)
            Log_Error("Registry preferences %s is a symbolic link: refused\n", store.File);
        else
            Log_Error("Unable to read registry preferences %s (%d)\n", store.File, (int32_t)errno);
        return LoadStatus::Failed;
    }
    struct stat info;
    const int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kMaxFileBytes || flags < 0 ||
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        Log_Error("Unable to read registry preferences %s (not a file of a usable size)\n", store.File);
        close(fd);
        return LoadStatus::Failed;
    }
    const int32_t size = (int32_t)info.st_size;
    char* bytes = static_cast<char*>(Memory_Alloc(size + 1));
    int32_t used = 0;
    bool failed = false;
    while (used < size) {
        const ssize_t n = read(fd, bytes + used, (size_t)(size - used));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) failed = true;
        if (n <= 0) break;
        used += (int32_t)n;
    }
    close(fd);
    if (failed) {
        Log_Error("Unable to read registry preferences %s (%d)\n", store.File, (int32_t)errno);
        Memory_Free(bytes, size + 1);
        return LoadStatus::Failed;
    }
    bytes[used] = 0;
    *doc = used > 0 ? ParseDocument(bytes, (uint32_t)used) : nullptr;
    Memory_Free(bytes, size + 1);
    return *doc ? LoadStatus::Ok : LoadStatus::Damaged;
}

// Moves a damaged file aside under a new name, so that starting afresh loses nothing.
bool SetAside(const StoreLocation& store) {
    char suffix[64];
    char aside[kFileCapacity + 64];
    for (int32_t attempt = 0; attempt < 100; attempt++) {
        String_Print(suffix, sizeof(suffix), ".damaged-%lld-%u-%d", (int64_t)time(nullptr),
                     Platform_GetCurrentProcessId(), attempt);
        String_Print(aside, sizeof(aside), "%s%s", store.Name, suffix);
        struct stat info;
        if (fstatat(store.Directory, aside, &info, AT_SYMLINK_NOFOLLOW) == 0) continue;
        if (renameat(store.Directory, store.Name, store.Directory, aside) != 0) break;
        Log_Error("Registry preferences %s could not be read: kept as %s%s, starting empty\n", store.File,
                  store.File, suffix);
        return true;
    }
    Log_Error("Registry preferences %s could not be read nor moved aside (%d): left untouched\n", store.File,
              (int32_t)errno);
    return false;
}

bool WriteAll(int fd, const char* bytes, uint32_t length) {
    uint32_t done = 0;
    while (done < length) {
        const ssize_t n = write(fd, bytes + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += (uint32_t)n;
    }
    return true;
}

// Replaces the file with the document: a new file is written and synced beside it and renamed
// over it, so that a reader or a crash sees the old or the new preferences, never a part.
bool SaveFile(const StoreLocation& store, Dictionary* doc) {
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetPrivateKeys(json, 0);
    JSON_SetMinify(json, 0);
    JSON_SetDictionaryHandle(json, doc);
    uint32_t estimate = 0;
    bool ok = JSON_SaveBufferEstimate(json, &estimate) && estimate > 0 && estimate < (uint32_t)kMaxFileBytes;
    char* text = ok ? static_cast<char*>(Memory_Alloc(estimate)) : nullptr;
    uint32_t length = 0;
    ok = ok && JSON_SaveBuffer(json, text, estimate, &length) && length == estimate;
    JSON_Release(&json);
    // What cannot be read back is never written: the old file stays.
    if (ok) {
        Dictionary* check = ParseDocument(text, length);
        ok = check != nullptr;
        Dictionary_Release(&check);
    }
    if (!ok) {
        Log_Error("Unable to write registry preferences %s (the document cannot be stored)\n", store.File);
        if (text) Memory_Free(text, estimate);
        return false;
    }
    uint32_t nonce = 0;
    Platform_CryptFill(&nonce, sizeof(nonce));
    char temporary[kFileCapacity + 64];
    String_Print(temporary, sizeof(temporary), "%s.tmp-%u-%08x", store.Name, Platform_GetCurrentProcessId(),
                 nonce);
    // A new entry of our own, never one that stood there already nor a link's target; private
    // whatever the umask, as the file it replaces may have been open to others.
    const int fd =
        openat(store.Directory, temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    ok = fd >= 0;
    ok = ok && fchmod(fd, 0600) == 0;
    ok = ok && WriteAll(fd, text, length);
    ok = ok && fsync(fd) == 0;
    if (fd >= 0 && close(fd) != 0) ok = false;
    // Both names in the directory opened at the start: nothing is resolved again, and a rename
    // replaces whatever entry stands at the name rather than following it.
    ok = ok && renameat(store.Directory, temporary, store.Directory, store.Name) == 0;
    const int32_t error = errno;
    if (!ok) {
        if (fd >= 0) unlinkat(store.Directory, temporary, 0);
        Log_Error("Unable to write registry preferences %s (%d)\n", store.File, error);
    } else {
        fsync(store.Directory);
    }
    Memory_Free(text, estimate);
    return ok;
}

// An advisory lock beside the file (the file itself is replaced by each write). flock locks
// belong to the open file, so threads of one process exclude each other as processes do.
int LockStore(const StoreLocation& store) {
    char name[kFileCapacity + 8];
    char lock[kFileCapacity + 8];
    String_Print(name, sizeof(name), "%s.lock", store.Name);
    String_Print(lock, sizeof(lock), "%s.lock", store.File);
    // As for the file: never through a link, never waiting on a FIFO.
    constexpr int kFlags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    int fd = openat(store.Directory, name, O_RDWR | O_CREAT | kFlags, 0600);
    // A lock file that exists on a read-only file system still serves.
    if (fd < 0 && errno != ELOOP) fd = openat(store.Directory, name, O_RDONLY | kFlags);
    if (fd < 0) {
        if (errno == ELOOP)
            Log_Error("Registry preferences lock %s is a symbolic link: refused\n", lock);
        else
            Log_Error("Unable to open the registry preferences lock %s (%d)\n", lock, (int32_t)errno);
        return -1;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        Log_Error("Unable to open the registry preferences lock %s (not a file)\n", lock);
        close(fd);
        return -1;
    }
    for (int32_t waited = 0;; waited += 5) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK || waited >= kLockWaitMs) break;
        struct timespec pause = {0, 5 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    Log_Error("Unable to lock registry preferences %s (%d)\n", lock, (int32_t)errno);
    close(fd);
    return -1;
}

void UnlockStore(int fd) {
    flock(fd, LOCK_UN);
    close(fd);
}

// Loads under the lock; a damaged file is moved aside and the preferences start empty.
bool LoadLocked(const StoreLocation& store, Dictionary** doc) {
    switch (LoadFile(store, doc)) {
    case LoadStatus::Ok:
    case LoadStatus::Missing:
        return true;
    case LoadStatus::Failed:
        return false;
    case LoadStatus::Damaged:
        break;
    }
    if (!SetAside(store)) return false;
    *doc = NewDocument();
    return true;
}

// Runs change(top level) on the preferences as they are now, under the lock, and writes them when
// it answers 1; 0 leaves them unchanged, -1 fails. True when nothing failed.
template <typename Fn> bool Transaction(Fn change) {
    StoreLocation store;
    if (!LocateStore(&store) || OpenStoreDirectory(&store, true) != LoadStatus::Ok) return false;
    const int lock = LockStore(store);
    if (lock < 0) return false;
    Dictionary* doc = nullptr;
    bool ok = LoadLocked(store, &doc);
    if (ok) {
        const int32_t result = change(TopLevel(doc));
        ok = result >= 0 && (result == 0 || SaveFile(store, doc));
    }
    Dictionary_Release(&doc);
    UnlockStore(lock);
    return ok;
}

// The preferences as they are now. Files are only ever replaced whole, so no lock is needed to
// read one, except to move a damaged one aside.
bool ReadPreferences(Dictionary** doc) {
    *doc = nullptr;
    StoreLocation store;
    if (!LocateStore(&store)) return false;
    switch (OpenStoreDirectory(&store, false)) {
    case LoadStatus::Ok:
        break;
    case LoadStatus::Missing:
        *doc = NewDocument();
        return true;
    default:
        return false;
    }
    const LoadStatus status = LoadFile(store, doc);
    if (status != LoadStatus::Damaged) return status != LoadStatus::Failed;
    const int lock = LockStore(store);
    if (lock < 0) return false;
    const bool ok = LoadLocked(store, doc);
    UnlockStore(lock);
    return ok;
}

// ---- Handles --------------------------------------------------------------------------------

int64_t DeleteHandle(void** handle) {
    return Platform_RegistryClose(reinterpret_cast<PlatformRegistryKey**>(handle));
}

PlatformRegistryKey* NewHandle(Dictionary* doc, Dictionary* current, const KeyPath& path, bool isRoot) {
    PlatformRegistryKey* key =
        static_cast<PlatformRegistryKey*>(Memory_AllocZero(sizeof(PlatformRegistryKey)));
    key->Header.ClassId = PLATFORM_REGISTRY_KEY_CLASS_ID;
    key->Header.RefCount = 1;
    key->Header.Delete = DeleteHandle;
    key->Document = doc;
    key->Current = current;
    key->IsRoot = isRoot ? 1 : 0;
    key->Path = path;
    return key;
}

void ReleaseNames(PlatformRegistryKey* key) {
    if (key->SubkeyNames) Dictionary_Release(&key->SubkeyNames);
    if (key->ValueNames) Dictionary_Release(&key->ValueNames);
}

void RebuildNames(PlatformRegistryKey* key) {
    ReleaseNames(key);
    Dictionary_Create(&key->SubkeyNames);
    Dictionary_Create(&key->ValueNames);
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(key->Current, &item); item;
         Dictionary_ItemGetNext(key->Current, item, &item)) {
        const char* name = nullptr;
        if (!Dictionary_ItemGetKeyPtr(key->Current, item, &name)) continue;
        const bool isKey = TypeOf(key->Current, item) == DICTIONARY_TYPE_DICTIONARY;
        Dictionary_AddString(isKey ? key->SubkeyNames : key->ValueNames, nullptr, name, nullptr);
    }
}

const char* NameAt(Dictionary* names, int32_t index) {
    DictionaryItem* item = nullptr;
    const char* text = nullptr;
    if (Dictionary_ItemFindByIndex(names, index, nullptr, &item) && item)
        Dictionary_ItemGetStringPtr(names, item, &text);
    return text ? text : "";
}

int32_t NameCount(Dictionary* names) {
    uint32_t count = 0;
    Dictionary_ItemGetCount(names, &count);
    return (int32_t)count;
}

// Records a change for the close: the latest change of a name replaces earlier ones.
DictionaryItem* RecordChange(PlatformRegistryKey* key, const char* name) {
    if (!key->Changes) {
        Dictionary_Create(&key->Changes);
        Dictionary_SetPrivateKeys(key->Changes, 0);
    }
    RemoveEntries(key->Changes, name, false);
    DictionaryItem* item = nullptr;
    Dictionary_Append(key->Changes, name, &item);
    return item;
}

int64_t OpenKey(PlatformRegistryKey** key, const char* path) {
    KeyPath parsed;
    char whole[kNameCapacity];
    if (!ParsePath(path, &parsed, whole)) {
        Log_Debug("Platform_RegistryOpen: Invalid key path \"%s\"\n", path);
        return 0;
    }
    Dictionary* doc = nullptr;
    if (!ReadPreferences(&doc)) return 0;
    Dictionary* top = TopLevel(doc);
    Dictionary* current = top;
    if (parsed.Count > 0) {
        Dictionary* named = whole[0] ? ChildKey(top, whole) : nullptr;
        if (named) {
            current = named;
            parsed.Count = 1;
            memcpy(parsed.Names[0], whole, sizeof(whole));
        } else {
            current = WalkPath(top, parsed, parsed.Count);
        }
    }
    if (!current) {
        Dictionary_Release(&doc);
        return 0;
    }
    *key = NewHandle(doc, current, parsed, parsed.Count == 0);
    return 1;
}

} // namespace

// ---- Keys -----------------------------------------------------------------------------------

int64_t Platform_RegistryOpen(PlatformRegistryKey** key, uint32_t, uint32_t, const char* path) {
    ASSERT_POINTER(key);
    *key = nullptr;
    ASSERT_POINTER(path);
    return OpenKey(key, path);
}

int64_t Platform_RegistryCreate(PlatformRegistryKey** key, uint32_t view, uint32_t registryClass,
                                const char* path) {
    ASSERT_POINTER(key);
    *key = nullptr;
    ASSERT_POINTER(path);
    if (OpenKey(key, path)) return 1;
    KeyPath parsed;
    char whole[kNameCapacity];
    if (!ParsePath(path, &parsed, whole) || parsed.Count == 0) return 0;
    const char* last = parsed.Names[parsed.Count - 1];

    if (parsed.Count == 1) {
        // A key found here was made by another handle meanwhile: it is kept, not emptied.
        const bool made = Transaction([&](Dictionary* top) -> int32_t {
            if (ChildKey(top, last)) return 0;
            RemoveEntries(top, last, false);
            Dictionary_AddDictionary(top, last, nullptr, nullptr);
            return 1;
        });
        if (!made || !OpenKey(key, last)) return 0;
        (*key)->Dirty = 1;
        return 1;
    }

    char parent[kPathTextCapacity] = "";
    for (int32_t i = 0; i + 1 < parsed.Count; i++)
        String_PrintCat(parent, sizeof(parent), i == 0 ? "%s" : "/%s", parsed.Names[i]);
    PlatformRegistryKey* made = nullptr;
    if (!Platform_RegistryCreate(&made, view, registryClass, parent)) return 0;
    if (!Platform_RegistryClose(&made)) return 0;
    PlatformRegistryKey* opened = nullptr;
    if (!OpenKey(&opened, parent)) return 0;
    Dictionary* child = ChildKey(opened->Current, last);
    if (!child) {
        // A value of that name is kept: the key cannot take its place.
        if (FindEntry(opened->Current, last)) {
            Log_Debug("Platform_RegistryCreate: A value holds the name of key \"%s\"\n", path);
            Platform_RegistryClose(&opened);
            return 0;
        }
        Dictionary_AddDictionary(opened->Current, last, &child, nullptr);
    }
    opened->Current = child;
    memcpy(opened->Path.Names[opened->Path.Count], last, strlen(last) + 1);
    opened->Path.Count++;
    opened->Dirty = 1;
    *key = opened;
    return 1;
}

int64_t Platform_RegistryClose(PlatformRegistryKey** handle) {
    ASSERT_POINTER(handle);
    PlatformRegistryKey* key = *handle;
    if (!key) return 0;
    CLASS_CHECK(key, PLATFORM_REGISTRY_KEY_CLASS_ID);
    bool ok = true;
    if (key->Dirty) {
        bool refused = false;
        ok = Transaction([&](Dictionary* top) -> int32_t {
            // The key is made again when it went away meanwhile: the changes were meant for it.
            Dictionary* target = EnsurePath(top, key->Path, key->Path.Count);
            if (!target) {
                Log_Error(
                    "Platform_RegistryClose: A value stands in the path of the key; changes not written\n");
                return -1;
            }
            DictionaryItem* change = nullptr;
            if (key->Changes) Dictionary_ItemGetFirst(key->Changes, &change);
            for (; change; Dictionary_ItemGetNext(key->Changes, change, &change)) {
                const char* name = nullptr;
                Dictionary_ItemGetKeyPtr(key->Changes, change, &name);
                if (TypeOf(key->Changes, change) == DICTIONARY_TYPE_NULL) {
                    RemoveEntries(target, name, false);
                } else if (!ReplaceValue(target, name, key->Changes, change)) {
                    Log_Error(
                        "Platform_RegistryClose: Key \"%s\" took the name of the value; value not written\n",
                        name);
                    refused = true;
                }
            }
            return 1;
        });
        ok = ok && !refused;
    }
    ReleaseNames(key);
    if (key->Changes) Dictionary_Release(&key->Changes);
    Dictionary_Release(&key->Document);
    key->Header.ClassId = 0;
    Memory_Free(key, sizeof(PlatformRegistryKey));
    *handle = nullptr;
    return ok ? 1 : 0;
}

int64_t Platform_RegistryEnumKeyAndValues(PlatformRegistryKey* key) {
    CLASS_CHECK(key, PLATFORM_REGISTRY_KEY_CLASS_ID);
    if (key->IsRoot) return 0;
    RebuildNames(key);
    return 1;
}

int64_t Platform_RegistryEnumKey(PlatformRegistryKey* key, int32_t index, char* buffer, int32_t size) {
    CLASS_CHECK(key, PLATFORM_REGISTRY_KEY_CLASS_ID);
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    const char* function = "Platform_RegistryEnumKey";
    if (key->IsRoot) {
        Log_Debug("%s: Enum property keys is not supported for plist\n", function);
        return 0;
    }
    if (index == 0) {
        RebuildNames(key);
    } else if (!key->SubkeyNames) {
        Log_Debug("%s: Enum value should be zero for the first call\n", function);
        return 0;
    }
    const int32_t count = NameCount(key->SubkeyNames);
    if (count == 0 && index == 0) return 1;
    if (index == count) return 0;
    if (index < 0 || index > count) {
        Log_Debug("%s: Enum value is out of the array bound\n", function);
        return 0;
    }
    const char* name = NameAt(key->SubkeyNames, index);
    CopyCut(buffer, size, name, (int32_t)strlen(name));
    return 1;
}

int64_t Platform_RegistryEnumValue(PlatformRegistryKey* key, int32_t index, char* nameBuffer,
                                   int32_t nameSize, void* dataBuffer, int32_t dataSize, int32_t* size,
                                   uint32_t* type) {
    CLASS_CHECK(key, PLATFORM_REGISTRY_KEY_CLASS_ID);
    ASSERT_POINTER(nameBuffer);
    ASSERT_POINTER(size);
    ASSERT_POINTER(type);
    if (nameSize > 0) nameBuffer[0] = 0;
    *size = 0;
    *type = 0;
    if (dataSize > 0) ASSERT_POINTER(dataBuffer);
    const char* function = "Platform_RegistryEnumValue";
    if (key->IsRoot) {
        Log_Debug("%s: Enum property values is not supported for plist\n", function);
        return 0;
    }
    if (index == 0) {
        RebuildNames(key);
    } else if (!key->ValueNames) {
        Log_Debug("%s: Enum value should be zero for the first call\n", function);
        return 0;
    }
    const int32_t count = NameCount(key->ValueNames);
    if (index < 0) {
        Log_Debug("%s: Enum value is out of the array bound\n", function);
        return 0;
    }
    if (index >= count) return 1;
    const char* name = NameAt(key->ValueNames, index);
    CopyCut(nameBuffer, nameSize, name, (int32_t)strlen(name));
    DictionaryItem* item = FindEntry(key->Current, name);
    if (!item) return 1;
    return ReadValue(function, name, key->Current, item, dataBuffer, dataSize, size, type) ? 1 : 0;
}

// ---- Values ---------------------------------------------------------------------------------

int64_t Platform_RegistryGetType(PlatformRegistryKey* key, uint32_t type, const char* name, void* buffer,
                                 int32_t capacity, int32_t* size) {
    ASSERT_POINTER(size);
    *size = 0;
    CLASS_CHECK(key, PLATFORM_REGISTRY_KEY_CLASS_ID);
    ASSERT_POINTER(name);
    if (capacity > 0) ASSERT_POINTER(buffer);
    DictionaryItem* item = FindEntry(key->Current, name);
    if (!item) return 0;
    const uint32_t readType = ReadTypeOf(key->Current, item);
    if (readType == 0) return 0;
    const char* function = "Platform_RegistryGetType";
    if (readType == kUnexpected) {
        LogUnexpected(function, key->Current, item, name);
        return 0;
    }
    // The type is checked before the read, so that a refused read leaves the buffer alone.
    if (readType != type) {
        Log_Debug("%s: Bad type for '%s' [0x%.8X != 0x%.8X]\n", function, name, readType, type);
        return 0;
    }
    uint32_t read = 0;
    if (!ReadValue(function, name, key->Current, item, buffer, capacity, size, &read)) return 0;
    return *size != 0;
}

int64_t Platform_RegistrySetType(PlatformRegistryKey* key, uint32_t type, const char* name, const void* data,
                                 int32_t size) {
    CLASS_CHECK(key, PLATFORM_REGISTRY_KEY_CLASS_ID);
    ASSERT_POINTER(name);
    if (size > 0) ASSERT_POINTER(data);
    if (size < 0 || !ValidName(name)) return 0;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    static const uint8_t kNothing[4] = {0, 0, 0, 0};
    if (!bytes) bytes = kNothing;
    switch (type) {
    case PLATFORM_REGISTRY_TYPE_STRING:
    case PLATFORM_REGISTRY_TYPE_EXPAND_STRING:
    case PLATFORM_REGISTRY_TYPE_MULTI_STRING: {
        const int32_t length = size > 0 && bytes[size - 1] == 0 ? size - 1 : size;
        if (!ValidUtf8(bytes, length)) {
            Log_Debug("Platform_RegistrySetType: Value \"%s\" is not UTF-8 text\n", name);
            return 0;
        }
        break;
    }
    case PLATFORM_REGISTRY_TYPE_BINARY:
        break;
    case PLATFORM_REGISTRY_TYPE_INT32:
        if (size != 4) return 0;
        break;
    default:
        return 0;
    }
    // Keys and values share one set of names here; a value never takes the place of a key.
    for (DictionaryItem* item = FindEntry(key->Current, name); item;
         item = FindEntry(key->Current, name, item)) {
        if (TypeOf(key->Current, item) == DICTIONARY_TYPE_DICTIONARY) {
            Log_Debug("Platform_RegistrySetType: A key holds the name \"%s\"\n", name);
            return 0;
        }
    }
    DictionaryItem* change = RecordChange(key, name);
    if (!BuildValue(key->Changes, change, type, bytes, size)) {
        Dictionary_Remove(key->Changes, &change);
        return 0;
    }
    ReplaceValue(key->Current, name, key->Changes, change);
    if (key->ValueNames) {
        bool listed = false;
        for (int32_t i = 0, n = NameCount(key->ValueNames); i < n && !listed; i++)
            listed = strcmp(NameAt(key->ValueNames, i), name) == 0;
        if (!listed) Dictionary_AddString(key->ValueNames, nullptr, name, nullptr);
    }
    key->Dirty = 1;
    return 1;
}

int64_t Platform_RegistryGetSize(PlatformRegistryKey* key, const char* name, int32_t* size) {
    ASSERT_POINTER(size);
    *size = 0;
    CLASS_CHECK(key, PLATFORM_REGISTRY_KEY_CLASS_ID);
    ASSERT_POINTER(name);
    DictionaryItem* item = FindEntry(key->Current, name);
    if (!item) return 0;
    const char* function = "Platform_RegistryGetSize";
    switch (ReadTypeOf(key->Current, item)) {
    case 0:
        return 0;
    case PLATFORM_REGISTRY_TYPE_STRING: {
        const char* text = nullptr;
        int32_t length = 0;
        Dictionary_ItemGetBufferPtr(key->Current, item, &text, &length);
        if (length >= INT32_MAX)
            Debug_AbortInt(__FILE__, __LINE__,
                           "Assertion failed (UsedLenght < INT32_MAX)\nValue is too long.\n");
        *size = length;
        break;
    }
    case PLATFORM_REGISTRY_TYPE_BINARY: {
        uint8_t* bytes = nullptr;
        uint32_t allocated = 0;
        int32_t length = 0;
        if (!DecodeData(key->Current, item, &bytes, &allocated, &length)) {
            LogUnexpected(function, key->Current, item, name);
            return 0;
        }
        Memory_Free(bytes, allocated);
        *size = length;
        break;
    }
    case PLATFORM_REGISTRY_TYPE_INT32: {
        // Every number that reads back reports its 4 bytes.
        int32_t value = 0;
        uint32_t numberType = 0;
        if (TypeOf(key->Current, item) != DICTIONARY_TYPE_BOOLEAN &&
            !NumberValue(key->Current, item, &value, &numberType)) {
            LogBadNumber(function, name, numberType);
            return 0;
        }
        *size = 4;
        break;
    }
    default:
        LogUnexpected(function, key->Current, item, name);
        return 0;
    }
    return *size != 0;
}

int64_t Platform_RegistryDeleteValue(PlatformRegistryKey* key, const char* name) {
    CLASS_CHECK(key, PLATFORM_REGISTRY_KEY_CLASS_ID);
    ASSERT_POINTER(name);
    if (key->IsRoot) {
        // Values of the root key go at once.
        int32_t removed = 0;
        const bool ok = Transaction([&](Dictionary* top) -> int32_t {
            removed = RemoveEntries(top, name, false);
            return removed > 0 ? 1 : 0;
        });
        RemoveEntries(key->Current, name, false);
        return ok && removed > 0;
    }
    if (RemoveEntries(key->Current, name, false) == 0) return 0;
    if (key->ValueNames) Dictionary_RemoveByString(key->ValueNames, name);
    DictionaryItem* change = RecordChange(key, name);
    Dictionary_ItemSetType(key->Changes, change, DICTIONARY_TYPE_NULL);
    key->Dirty = 1;
    return 1;
}

int64_t Platform_RegistryDeleteKey(PlatformRegistryKey* key, const char* path) {
    CLASS_CHECK(key, PLATFORM_REGISTRY_KEY_CLASS_ID);
    ASSERT_POINTER(path);
    KeyPath relative;
    char whole[kNameCapacity];
    if (!ParsePath(path, &relative, whole) || relative.Count == 0) return 0;
    const char* last = relative.Names[relative.Count - 1];
    // Only the named key goes, found below this key: never a top-level entry of the same name.
    auto remove = [&](Dictionary* base) -> int32_t {
        Dictionary* parent = WalkPath(base, relative, relative.Count - 1);
        return parent ? RemoveEntries(parent, last, true) : 0;
    };
    int32_t removed = 0;
    const bool ok = Transaction([&](Dictionary* top) -> int32_t {
        Dictionary* base = key->IsRoot ? top : WalkPath(top, key->Path, key->Path.Count);
        removed = base ? remove(base) : 0;
        return removed > 0 ? 1 : 0;
    });
    if (ok && removed > 0) remove(key->Current);
    return ok && removed > 0;
}

int64_t Platform_RegistrySetSecurity(PlatformRegistryKey* key, const char*) {
    CLASS_CHECK(key, PLATFORM_REGISTRY_KEY_CLASS_ID);
    return 1;
}
