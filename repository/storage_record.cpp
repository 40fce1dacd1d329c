// The records one run leaves for the next: their file form, their proof and their appends.
#include "repository/storage_record.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/runtime/string_print.h"
#include "repository/linux/storage_file_os.h"

namespace {

constexpr char kRecordMark[] = "record:";
// "record:" and three numbers of at most 20 digits, two colons and a NUL.
constexpr uint32_t kRecordHeaderSize = 96;
// The largest window of a tail an append looks at.
constexpr uint32_t kWindowMax = 4096;

bool ParseNumber(const char*& at, unsigned long long* value) {
    if (*at < '0' || *at > '9') return false;
    char* end = nullptr;
    errno = 0;
    *value = strtoull(at, &end, 10);
    if (errno) return false;
    at = end;
    return true;
}

} // namespace

int32_t StorageRecord_Moved(int32_t fd, uint64_t* start) {
    *start = 0;
    char head[kRecordHeaderSize];
    uint32_t got = 0;
    if (StorageFileOS_ReadSome(fd, 0, head, sizeof(head), &got) != 0 || got < sizeof(kRecordMark) ||
        strncmp(head, kRecordMark, sizeof(kRecordMark) - 1) != 0)
        return 0;
    const char* end = static_cast<const char*>(memchr(head, 0, got));
    if (!end) return 0;
    *start = (uint64_t)(end - head) + 1;
    return 1;
}

int32_t StorageRecord_Make(int32_t directory, const char* name, int32_t* fd, uint64_t* start,
                                      uint64_t id[3], const void* body, uint32_t size) {
    *fd = -1;
    bool named = false;
    int32_t error = StorageFileOS_OpenUnnamed(directory, fd);
    if (error == EOPNOTSUPP) {
        named = true;
        error = StorageFileOS_OpenOwn(directory, name, 1, 1, fd);
        if (error == EPERM) error = EEXIST;
    }
    StorageFileOSStatus status{};
    if (!error) error = StorageFileOS_StatusOf(*fd, &status);
    // Without a birth time the file gets a token; where it cannot, the entry names it without proof.
    if (!error && !status.Birth) StorageFileOS_Mark(*fd, &status);
    char header[kRecordHeaderSize];
    const int32_t length = String_Print(header, (int32_t)sizeof(header), "%s%llu:%llu:%llu", kRecordMark,
                                        (unsigned long long)status.Device, (unsigned long long)status.Inode,
                                        (unsigned long long)StorageFileOS_ProofOf(status)) +
                           1;
    if (!error) error = StorageFileOS_Append(*fd, header, (uint32_t)length);
    if (!error && body && size) error = StorageFileOS_Append(*fd, body, size);
    if (!error && !named) error = StorageFileOS_NameCopy(directory, *fd, nullptr, name);
    const uint64_t proof = StorageFileOS_ProofOf(status);
    // Without a birth time or token, one only it can match without proof (the entry naming it is
    // written by us alone).
    id[0] = status.Device;
    id[1] = status.Inode;
    id[2] = proof ? proof : STORAGE_FILE_OS_UNPROVEN;
    if (error) {
        StorageFileOS_Close(fd);
        // What this call made under the name, and that alone, goes.
        if (named && error != EEXIST)
            StorageFileOS_RemoveCopy(directory, name, id[0], id[1], id[2]);
        return error;
    }
    *start = (uint64_t)length;
    return 0;
}

int32_t StorageRecord_Prove(int32_t fd, uint64_t* start) {
    *start = 0;
    char head[kRecordHeaderSize];
    uint32_t got = 0;
    StorageFileOSStatus status{};
    if (StorageFileOS_ReadSome(fd, 0, head, sizeof(head) - 1, &got) != 0 ||
        StorageFileOS_StatusOf(fd, &status) != 0)
        return -1;
    head[got] = 0;
    if (strncmp(head, kRecordMark, sizeof(kRecordMark) - 1) != 0) return 0;
    const size_t length = strlen(head);
    unsigned long long numbers[3] = {};
    const char* at = head + sizeof(kRecordMark) - 1;
    for (int i = 0; i < 3; i++)
        if (!ParseNumber(at, &numbers[i]) || *at++ != (i < 2 ? ':' : 0)) return -1;
    if (length >= got || !StorageFileOS_SameFile(status, numbers[0], numbers[1],
                                                 numbers[2] ? numbers[2] : STORAGE_FILE_OS_UNPROVEN))
        return -1;
    *start = length + 1;
    return 1;
}

int32_t StorageRecord_Append(int32_t fd, uint64_t start, const void* entry, uint32_t length, uint32_t window,
                             StorageRecordEnd* known) {
    uint64_t size = 0, inode = 0;
    int32_t error = StorageFileOS_SizeOf(fd, &size, &inode);
    if (error) return error;
    char tail[kWindowMax];
    if (window > sizeof(tail)) window = sizeof(tail);
    uint32_t got = 0;
    const uint64_t from = size > start + window ? size - window : start;
    // A record that still ends where its owner's last whole entry ended needs no look at its tail.
    const bool whole = known && inode == known->Inode && size == known->End;
    if (size > from && !whole && (error = StorageFileOS_ReadSome(fd, from, tail, (uint32_t)(size - from), &got)) != 0)
        return error;
    if (got > 0 && tail[got - 1] != 0) {
        const char* end = static_cast<const char*>(memrchr(tail, 0, got));
        if (end || from == start) {
            size = end ? from + (uint64_t)(end - tail) + 1 : start;
            if ((error = StorageFileOS_Truncate(fd, size)) != 0) return error;
        } else {
            if ((error = StorageFileOS_Append(fd, "", 1)) != 0) return error;
            size++;
        }
    }
    error = StorageFileOS_Append(fd, entry, length);
    if (known) {
        known->Inode = error ? 0 : inode;
        known->End = size + length;
    }
    if (error) StorageFileOS_Truncate(fd, size);
    return error;
}
