// Manifest names against the file storage's name rule, and ignore files. A first byte 'I' reads
// the rest as an ignore file; anything else checks the rest as a name: an accepted name must stay
// below any directory it is put under, contain no "..", empty or "." component, pass the rule
// again unchanged, and a refused one must leave an empty output.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/platform/path.h"
#include "core/runtime/hash_table.h"
#include "repository/storage_file_path.h"

namespace {

void CheckName(const std::string& name) {
    char out[STORAGE_FILE_PATH_SIZE];
    memset(out, 'x', sizeof(out));
    const int64_t ok = StorageFilePath_Check(name.c_str(), out, (int32_t)sizeof(out));
    if (!ok) {
        if (out[0] != 0) abort();
        return;
    }
    const size_t length = strlen(out);
    if (length == 0 || length >= sizeof(out)) abort();
    if (out[0] == '/' || out[length - 1] == '/' || strchr(out, '\\')) abort();
    const std::string text = "/" + std::string(out) + "/";
    if (text.find("/../") != std::string::npos || text.find("/./") != std::string::npos ||
        text.find("//") != std::string::npos)
        abort();
    char again[STORAGE_FILE_PATH_SIZE];
    if (!StorageFilePath_Check(out, again, (int32_t)sizeof(again)) || strcmp(out, again) != 0) abort();
    // Folded lexically under a root, the name never climbs out of it.
    char joined[STORAGE_FILE_PATH_SIZE * 2];
    snprintf(joined, sizeof(joined), "/root/%s", out);
    Path_Fix(joined, (int32_t)sizeof(joined), 0);
    if (strncmp(joined, "/root/", 6) != 0) abort();
    // A name the storage may write is none of its copies' names, and each of its copies' names
    // is kept from every manifest.
    const char* suffix = ".quarvpartial";
    if (!StorageFilePath_IsReserved(out, suffix)) {
        for (const char* tail : {"", "~", "7", "64~"}) {
            const std::string copy = std::string(out) + suffix + tail;
            if (copy.size() < STORAGE_FILE_PATH_SIZE && !StorageFilePath_IsReserved(copy.c_str(), suffix)) abort();
        }
    }
}

void CheckIgnore(const uint8_t* data, size_t size) {
    HashTable* set = nullptr;
    StorageFilePath_IgnoreCreate(&set);
    StorageFilePath_IgnoreParse(data, (uint32_t)size, set);
    HashTableMember* member = nullptr;
    for (HashTable_MemberGetFirst(set, &member); member;) {
        const void* key = nullptr;
        HashTable_MemberGetKey(set, member, &key);
        if (strlen(static_cast<const char*>(key)) >= STORAGE_FILE_PATH_SIZE) abort();
        HashTableMember* next = nullptr;
        HashTable_MemberGetNext(set, member, &next);
        member = next;
    }
    HashTable_Delete(&set);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 4096) return 0;
    if (data[0] == 'I') {
        CheckIgnore(data + 1, size - 1);
        return 0;
    }
    std::string name(reinterpret_cast<const char*>(data + 1), size - 1);
    name = name.c_str(); // names are texts: they end at their first zero byte
    CheckName(name);
    return 0;
}
