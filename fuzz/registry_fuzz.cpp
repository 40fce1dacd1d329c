// Feeds arbitrary bytes to the registry store as the application's preferences file, then reads
// every key and value in it through the store and through the registry facade, as a program
// reading its settings would, checking that every read stays within its buffer and agrees with
// the size the store reports.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/certs/build_info.h"
#include "core/formats/json.h"
#include "core/linux/platform.h"
#include "core/linux/platform_registry.h"
#include "core/platform/registry.h"
#include "core/runtime/dictionary.h"
#include "tests/support/scoped_env.h"

namespace {

// Every key open reads and parses the whole file again: the input and the keys visited are
// bounded so that one input stays fast.
constexpr size_t kMaxInput = 64 << 10;
constexpr int32_t kMaxKeys = 48;
constexpr int32_t kMaxValues = 64;
constexpr int32_t kMaxDepth = 26;
constexpr int32_t kMaxByNameReads = 8;

std::string GlobalHome;  // the private configuration directory
std::string GlobalStore; // its store directory
std::string GlobalFile;  // the preferences file the store reads

void Require(bool condition) {
    if (!condition) std::abort();
}

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

void RemoveHome() {
    nftw(
        GlobalHome.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); },
        16, FTW_DEPTH | FTW_PHYS);
}

// Only reads are authorised: nothing the fuzzer does may write the preferences.
uint32_t ReadOnly(uint32_t write, uint32_t, const char*) {
    return write == 0;
}

// The file takes the input whole; what a damaged input left beside it (the file set aside) goes.
void Store(const uint8_t* data, size_t size) {
    if (DIR* d = opendir(GlobalStore.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') unlink((GlobalStore + "/" + e->d_name).c_str());
        closedir(d);
    }
    const int fd = open(GlobalFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    Require(fd >= 0);
    for (size_t done = 0; done < size;) {
        const ssize_t n = write(fd, data + done, size - done);
        Require(n > 0);
        done += (size_t)n;
    }
    Require(close(fd) == 0);
}

// The top-level names of the input when it is one JSON object, as the store would read them.
std::vector<std::string> TopLevelNames(const uint8_t* data, size_t size) {
    std::vector<std::string> names;
    JSON* json = nullptr;
    Dictionary* doc = nullptr;
    JSON_Create(&json);
    Dictionary_Create(&doc);
    Dictionary_SetPrintCallback(doc, nullptr, Quiet);
    JSON_SetPrintCallback(json, nullptr, Quiet);
    Dictionary_SetPrivateKeys(doc, 0);
    JSON_SetPrivateKeys(json, 0);
    JSON_SetDictionaryHandle(json, doc);
    DictionaryItem* item = nullptr;
    Dictionary* top = nullptr;
    if (JSON_LoadBuffer(json, data, (uint32_t)size) && Dictionary_ItemGetFirst(doc, &item) && item &&
        Dictionary_ItemGetDictionaryHandle(doc, item, &top) && top) {
        for (Dictionary_ItemGetFirst(top, &item); item && names.size() < (size_t)kMaxKeys;
             Dictionary_ItemGetNext(top, item, &item)) {
            const char* key = nullptr;
            if (Dictionary_ItemGetKeyPtr(top, item, &key) && key) names.emplace_back(key);
        }
    }
    JSON_Release(&json);
    Dictionary_Release(&doc);
    return names;
}

// Reads one value every way the store offers and checks the answers against each other.
void ReadValue(PlatformRegistryKey* key, const char* name) {
    int32_t needed = -1;
    const int64_t sized = Platform_RegistryGetSize(key, name, &needed);
    Require(needed >= 0 && (sized != 0) == (needed != 0));
    // Guard bytes after each buffer: a read past its capacity shows there (and to the sanitizer,
    // as the buffer is an exact heap block).
    for (uint32_t type : {1u, 2u, 3u, 4u, 7u, 11u}) {
        for (int32_t capacity : {0, 1, 3, 4, 16, needed, needed + 1}) {
            if (capacity < 0) continue;
            std::vector<uint8_t> buffer((size_t)capacity);
            int32_t size = -1;
            const int64_t read = Platform_RegistryGetType(key, type, name, capacity ? buffer.data() : nullptr,
                                                          capacity, &size);
            Require(size >= 0 && size <= capacity && (read != 0) == (size != 0));
            if (!read) continue;
            Require(type == 1 || type == 3 || type == 4);
            if (type == 1) {
                // Texts are always terminated; one that fits comes back whole.
                Require(buffer[(size_t)size - 1] == 0);
                if (sized && capacity > needed) Require(size == needed + 1);
            } else if (type == 3) {
                if (sized && capacity >= needed) Require(size == needed);
            } else {
                Require(size == 4 && needed == 4);
            }
        }
    }
    // The facade's typed reads of an open key.
    char text[32];
    uint8_t bytes[32];
    uint32_t narrow = 0;
    uint64_t wide = 0;
    int32_t length = -1;
    Registry_GetChar(key, name, text, sizeof(text));
    Registry_GetExpandChar(key, name, text, sizeof(text));
    Registry_GetMultiChar(key, name, text, sizeof(text));
    Registry_GetInt32(key, name, &narrow);
    Require(Registry_GetInt64(key, name, &wide) == 0);
    if (Registry_GetData(key, name, bytes, sizeof(bytes), &length)) Require(length > 0 && length <= 32);
}

struct Budget {
    int32_t Keys = 0;
    int32_t ByName = 0;
};

// Opens the key, reads its values, then visits its subkeys.
void Visit(const std::string& path, int32_t depth, Budget* budget) {
    if (depth > kMaxDepth || budget->Keys >= kMaxKeys || path.size() > 2048) return;
    budget->Keys++;
    PlatformRegistryKey* key = nullptr;
    if (!Platform_RegistryOpen(&key, 0, 1, path.c_str())) {
        Require(key == nullptr);
        return;
    }
    Require(key != nullptr);
    std::vector<std::string> values;
    char name[256];
    std::vector<uint8_t> data(64);
    for (int32_t index = 0; index < kMaxValues; index++) {
        int32_t size = -1;
        uint32_t type = 99;
        if (!Platform_RegistryEnumValue(key, index, name, sizeof(name), data.data(), (int32_t)data.size(),
                                        &size, &type))
            continue;
        Require(size >= 0 && size <= (int32_t)data.size() &&
                (type == 0 || type == 1 || type == 3 || type == 4));
        Require(strnlen(name, sizeof(name)) < sizeof(name));
        // The end: empty outputs.
        if (!name[0] && type == 0) break;
        values.emplace_back(name);
    }
    std::vector<std::string> subkeys;
    for (int32_t index = 0; index < kMaxKeys; index++) {
        if (!Platform_RegistryEnumKey(key, index, name, sizeof(name))) break;
        Require(strnlen(name, sizeof(name)) < sizeof(name));
        if (!name[0]) break;
        subkeys.emplace_back(name);
    }
    for (const std::string& value : values) ReadValue(key, value.c_str());
    // A handle that only read writes nothing at its close.
    Require(Platform_RegistryClose(&key) == 1 && key == nullptr);

    for (const std::string& value : values) {
        if (budget->ByName >= kMaxByNameReads) break;
        budget->ByName++;
        char out[64];
        uint32_t narrow = 0;
        uint64_t wide = 0;
        uint8_t* buffer = nullptr;
        int32_t length = 0;
        Registry_HelperGetKeyValue("default", "user", path.c_str(), value.c_str(), "", out, sizeof(out));
        Require(strnlen(out, sizeof(out)) < sizeof(out));
        Registry_HelperGetInt32("default", "user", path.c_str(), value.c_str(), 0, &narrow);
        Registry_HelperGetInt64("default", "user", path.c_str(), value.c_str(), 0, &wide);
        Registry_HelperGetData("default", "user", path.c_str(), value.c_str(), "d", 1, &buffer, &length);
        Require(length >= 0 && (buffer != nullptr) == (length > 0));
        if (buffer) Require(buffer[length] == 0);
        Registry_HelperReleaseData("default", "user", path.c_str(), value.c_str(), "d", 1, &buffer, &length);
        Require(buffer == nullptr && length == 0);
        std::string argument = "default,user," + path + "/" + value;
        Registry_ExpandKey(nullptr, "Registry", argument.data(), out, sizeof(out));
        Require(strnlen(out, sizeof(out)) < sizeof(out));
    }
    for (const std::string& subkey : subkeys) Visit(path + "/" + subkey, depth + 1, budget);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char temp[320];
    Require(Platform_GetSpecialPath(PLATFORM_PATH_TEMP, temp, (int32_t)sizeof(temp)) != 0);
    std::string pattern = std::string(temp) + "registry_fuzz-XXXXXX";
    Require(mkdtemp(pattern.data()) != nullptr);
    GlobalHome = pattern;
    atexit(RemoveHome);
    SetBothEnv("XDG_CONFIG_HOME", GlobalHome.c_str());
    char program[4096];
    Require(Platform_GetSpecialPath(PLATFORM_PATH_MODULE_PATH, program, (int32_t)sizeof(program)) != 0);
    const char* slash = strrchr(program, '/');
    GlobalStore = GlobalHome + "/" + QVR_BUILD_COMPANY_NAME;
    GlobalFile = GlobalStore + "/" + (slash ? slash + 1 : program) + ".json";
    Require(mkdir(GlobalStore.c_str(), 0700) == 0);
    Registry_Init();
    Registry_AuthorizeOverride(ReadOnly);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput) return 0;
    Store(data, size);
    Budget budget;
    // The root key: its values are the top-level entries that are no keys.
    PlatformRegistryKey* root = nullptr;
    const std::vector<std::string> names = TopLevelNames(data, size);
    if (Platform_RegistryOpen(&root, 0, 1, "")) {
        for (size_t i = 0; i < names.size() && i < (size_t)kMaxValues; i++) ReadValue(root, names[i].c_str());
        Require(Platform_RegistryClose(&root) == 1);
    }
    for (const std::string& name : names) Visit(name, 1, &budget);
    return 0;
}
