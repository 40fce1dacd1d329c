// The records one run leaves for the next: their file form, their proof and their appends.
#include "repository/storage_record.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/linux/platform.h"
#include "core/linux/platform_error.h"
#include "core/runtime/hash_table.h"
#include "core/runtime/log_text.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/time.h"
#include "repository/file_list.h"
#include "repository/linux/storage_file_os.h"
#include "repository/meta_file.h"
#include "repository/storage_file.h"
#include "repository/storage_file_path.h"

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

int32_t StorageRecord_ReadEntries(int32_t fd, uint64_t start, uint32_t bound, void* user,
                                  void (*each)(void* user, const char* entry)) {
    char* text = static_cast<char*>(Memory_Alloc((size_t)bound + 1));
    uint32_t got = 0;
    const int32_t error = StorageFileOS_ReadSome(fd, start, text, bound, &got);
    if (error) got = 0;
    for (uint32_t at = 0; at < got;) {
        const char* end = static_cast<const char*>(memchr(text + at, 0, got - at));
        if (!end) break;
        each(user, text + at);
        at = (uint32_t)(end - text) + 1;
    }
    Memory_Free(text, (size_t)bound + 1);
    return error;
}

int32_t StorageRecord_TakeUp(int32_t directory, const char* name, uint32_t bound, int32_t* fd, uint64_t* start) {
    *fd = -1;
    *start = 0;
    int32_t old = -1;
    int32_t error = StorageFileOS_OpenMine(directory, name, &old);
    uint64_t from = 0, size = 0, inode = 0, made[3] = {};
    if (!error && !StorageRecord_Moved(old, &from)) error = EPERM;
    StorageFileOSStatus status{};
    if (!error) error = StorageFileOS_StatusOf(old, &status);
    if (!error) error = StorageFileOS_SizeOf(old, &size, &inode);
    char* body = static_cast<char*>(Memory_Alloc((size_t)bound + 1));
    uint32_t got = 0;
    if (!error && size > from)
        error = StorageFileOS_ReadSome(old, from, body, (uint32_t)(size - from < bound ? size - from : bound), &got);
    StorageFileOS_Close(&old);
    // Whole entries alone.
    while (got > 0 && body[got - 1] != 0) got--;
    if (!error) error = StorageFileOS_RemoveName(directory, name, status.Device, status.Inode);
    if (!error) error = StorageRecord_Make(directory, name, fd, start, made, body, got);
    Memory_Free(body, (size_t)bound + 1);
    return error == ENOENT || error == EISDIR || error == EEXIST ? EPERM : error;
}

// ---- The record of copies ---------------------------------------------------------------------------

namespace {

constexpr uint32_t kOwnerSize = STORAGE_RECORD_OWNER_SIZE;
constexpr char kOwnerMark[] = "owner:";
constexpr uint64_t kNoMark = UINT64_MAX;
// The manifest's attribute of a link entry.
constexpr uint32_t kAttributeLink = 8;

// One line of the owner's log.
void SayWith(StorageRecordCopies* c, uint32_t verbose, const char* format, va_list args) {
    char text[STORAGE_FILE_PATH_SIZE * 3 + 256];
    String_VPrint(text, (int32_t)sizeof(text), format, args);
    if (c->Print) c->Print(c->User, verbose, text);
}

void Say(StorageRecordCopies* c, const char* format, ...) {
    va_list args;
    va_start(args, format);
    SayWith(c, 0, format, args);
    va_end(args);
}

void SayVerbose(StorageRecordCopies* c, const char* format, ...) {
    va_list args;
    va_start(args, format);
    SayWith(c, 1, format, args);
    va_end(args);
}

FileList* ListOf(MetaFile* meta) {
    FileList* list = nullptr;
    if (meta) MetaFile_GetFileListHandle(meta, &list);
    return list;
}

} // namespace

void StorageRecord_CopiesInit(StorageRecordCopies* c, const char* folder, const char* suffix, void* user,
                              void (*print)(void* user, uint32_t verbose, const char* text)) {
    memset(c, 0, sizeof(*c));
    c->Folder = folder;
    c->Suffix = suffix;
    c->User = user;
    c->Print = print;
    c->RecordFd = c->ReplayFd = c->ReplayOut = c->FolderLock = -1;
    HashTable_Create(&c->Copies, STORAGE_FILE_PATH_SIZE, 16);
    HashTable_SetValueCallback(c->Copies, nullptr, HashTable_StringKeyedValue);
    HashTable_Create(&c->Named, STORAGE_FILE_PATH_SIZE * 2, 16);
    HashTable_SetValueCallback(c->Named, nullptr, HashTable_StringKeyedValue);
}

void StorageRecord_CopiesFree(StorageRecordCopies* c) {
    for (;;) {
        HashTableMember* m = nullptr;
        if (!HashTable_MemberGetFirst(c->Copies, &m) || !m) break;
        uint64_t value = 0;
        HashTable_MemberGetValue(c->Copies, m, &value);
        HashTable_MemberRemove(c->Copies, &m);
        Memory_Free(reinterpret_cast<StorageRecordCopy*>(value), sizeof(StorageRecordCopy));
    }
    HashTable_Delete(&c->Copies);
    StorageFileOS_Close(&c->FolderLock);
    HashTable_Delete(&c->Named);
    if (c->TakenOff) HashTable_Delete(&c->TakenOff);
    StorageFileOS_Close(&c->RecordFd);
    StorageFileOS_Close(&c->ReplayFd);
    StorageFileOS_Close(&c->ReplayOut);
    if (c->Reserved) Memory_Free(c->Reserved, c->ReservedCapacity * 2 * sizeof(uint64_t));
    c->Reserved = nullptr;
    if (c->Installed) MetaFile_Release(&c->Installed);
}

// A storage shut down records no more copies, so the folder is let go now: the backend itself may
// live on a moment in a step's completion on another thread, and the next storage of the folder
// must not find it held then. A replay under way keeps it until it ends with the backend.
void StorageRecord_Shutdown(StorageRecordCopies* c) {
    c->ShutDown = 1;
    if (c->ReplayFd < 0) StorageFileOS_Close(&c->FolderLock);
}

void StorageRecord_SetOwner(StorageRecordCopies* c, const char* owner) {
    c->Owner[0] = 0;
    if (owner && owner[0]) String_Print(c->Owner, (int32_t)sizeof(c->Owner), "%s%.16s", kOwnerMark, owner);
}

bool StorageRecord_IsHeld(int32_t error) { return error == EPERM || error == EISDIR || error == EEXIST; }

void StorageRecord_ShowBeside(const StorageRecordCopies* c, const char* name, const char* leaf, char* out,
                              int32_t size) {
    const char* slash = strrchr(name, '/');
    String_Print(out, size, "%s%.*s%s", c->Folder, slash ? (int)(slash + 1 - name) : 0, name, leaf);
}

bool StorageRecord_Listed(FileListIndex* index, const char* name) {
    FileListMember* found = nullptr;
    uint64_t offset = 0;
    return index && FileList_IndexFindByName(index, name, &found, &offset);
}

// The name of the copy beside `leaf`: "<leaf><suffix>", or "<leaf><suffix><n>" for a name of its
// own; an earlier version named that one "<leaf>.<n><suffix>" (legacy), which is another file's
// usual copy name. No listed name has a component of either form (StorageFilePath_IsReserved), and
// the suffix ends in neither a digit nor "~", so each copy name belongs to one file and one number.
// Room is left for the scratch name's "~". Refused (ENAMETOOLONG) rather than cut: a cut name could
// be another entry's, even the file's own.
int32_t StorageRecord_CopyName(const char* suffix, const char* leaf, char* out, size_t size, uint32_t alternate,
                               bool legacy) {
    char number[16] = "";
    if (alternate) snprintf(number, sizeof(number), legacy ? ".%u" : "%u", alternate);
    const size_t leafLength = strlen(leaf), numberLength = strlen(number), extensionLength = strlen(suffix);
    if (leafLength + numberLength + extensionLength + 2 > size) {
        out[0] = 0;
        return ENAMETOOLONG;
    }
    const char* parts[3] = {leaf, legacy ? number : suffix, legacy ? suffix : number};
    size_t at = 0;
    for (const char* part : parts) {
        const size_t length = strlen(part);
        memcpy(out + at, part, length);
        at += length;
    }
    out[at] = 0;
    return 0;
}

// Whether the installed manifest lists the name; for a name ending in '/' (a folder), whether it
// lists anything below it: only then was the folder made for it.
uint32_t StorageRecord_ListedInstalled(void* user, const char* name) {
    const StorageRecordCopies* c = static_cast<const StorageRecordCopies*>(user);
    const size_t length = strlen(name);
    if (length && name[length - 1] == '/') {
        FileList* list = nullptr;
        if (!c->Installed || !MetaFile_GetFileListHandle(c->Installed, &list) || !list) return 0;
        char listed[STORAGE_FILE_PATH_SIZE];
        FileListMember* member = nullptr;
        for (FileList_MemberGetFirst(list, &member); member; FileList_MemberGetNext(list, member, &member))
            if (FileList_MemberGetName(list, member, listed, (int32_t)sizeof(listed)) &&
                strncmp(listed, name, length) == 0)
                return 1;
        return 0;
    }
    FileListIndex* index = nullptr;
    FileListMember* found = nullptr;
    uint64_t offset = 0;
    return c->Installed && MetaFile_GetFileListIndexHandle(c->Installed, &index) && index &&
                   FileList_IndexFindByName(index, name, &found, &offset)
               ? 1
               : 0;
}

namespace {

// ---- Record of copies ------------------------------------------------------------------------------
// The storage judges no name in its folder by its look, mode or owner: what stands under a copy's
// name may be another repository's copy in progress, a file of the user's that another account
// renamed there, or lie on another mount. So every copy is recorded with what identifies the file
// made (its device and inode) before any name leads to it, in a file of the folder named by the
// copies' suffix alone (a name no manifest can give): "<folders made>:<n>:<device>:<inode>:<proof> <name>"
// and a NUL, <name> the file's (a name may hold any byte but NUL), <folders made> how many of the
// folders holding it were made for it, <n> 0 for the usual name and the number of a name of its own,
// <proof> its birth or token (StorageFileOS_SameFile), 0 for none. Each entry follows the mark of
// the repository that made it ("owner:<16 hex digits>" and a NUL, written with it), so that one
// repository never judges another's copies in a folder they use in turn; entries before any mark
// were written by an earlier version, for a repository not known.
// A copy is the storage's when the record names it so and the file under its name is that file,
// the effective user's and reached by no second name; every reader asks that (the backend's CopyOf). An earlier
// version wrote "<folders made> <name>" and "<folders made>:<n> <name>" without the file's identity:
// what those name is only ever removed once the sync ends, never taken up.

// The room for one entry of the record of copies: its fields and a path. Entries of ours are
// never longer; readers pass over a longer one whole.
constexpr uint32_t kRecordEntrySize = STORAGE_FILE_PATH_SIZE + 96;

// The record's entry that marks the installation unfinished: a sync writes it, lasting, before it
// changes anything there, and a replay keeps it until the sync has completed. No entry of a copy
// reads so (each starts with a number).
constexpr char kUnfinished[] = "unfinished";

// The record's own file, found or made by descriptor (see below).
int32_t OpenCopiesRecord(StorageRecordCopies* c, uint32_t create, int32_t* fd);
const char* RecordLeaf(StorageRecordCopies* c);

void PrintRecordError(StorageRecordCopies* c, const char* leaf, int32_t error) {
    if (error == EPERM)
        Say(c, "Record of copies not the storage's own (%s%s) (%d)", c->Folder, leaf,
            PLATFORM_ERROR_ERRNO_BASE + error);
    else if (error == EBUSY)
        Say(c, "Installation folder (%s) held by another repository (%d)", c->Folder,
            PLATFORM_ERROR_ERRNO_BASE + error);
    else
        Say(c, "Failed to record copies (%s%s) (%d)", c->Folder, leaf,
            PLATFORM_ERROR_ERRNO_BASE + error);
}

// The folder is this storage's alone while it records copies or replays the
// record, so that no other repository's record or replay judges this one's copies.
int32_t HoldFolder(StorageRecordCopies* c) {
    if (c->FolderLock >= 0) return 0;
    return StorageFileOS_HoldFolder(c->Folder, &c->FolderLock);
}

// Appends one record. A record whose last entry lost its tail (a write cut by a
// full disk) loses that entry first: it names no copy (none is made before its record is whole),
// and so is neither read as part of this one nor, given an end, as an entry of its own. A tail
// longer than any entry of ours only gets its end, as the reader passes over such an entry whole.
// A failed append takes back what it wrote where it can, and fails the copy before it is made.
int32_t AppendRecord(StorageRecordCopies* c, int32_t fd, const char* line, uint32_t length) {
    StorageRecordEnd known{c->WholeInode, c->WholeEnd};
    const int32_t error = StorageRecord_Append(fd, 0, line, length, kRecordEntrySize, &known);
    c->WholeInode = known.Inode;
    c->WholeEnd = known.End;
    return error;
}

// The mark this storage writes: its repository's, or the bare one of a storage no repository
// named, which stands for a repository not known, as entries before any mark do.
const char* MarkOf(const StorageRecordCopies* c) { return c->Owner[0] ? c->Owner : kOwnerMark; }

// Whether the entry is a repository's mark; the mark then holds it (one too long to be ours holds
// a mark no repository has).
bool NoteOwner(const char* entry, char* owner) {
    if (strncmp(entry, kOwnerMark, sizeof(kOwnerMark) - 1) != 0) return false;
    const size_t length = strlen(entry);
    if (length < kOwnerSize) memcpy(owner, entry, length + 1);
    else String_CopyLength(owner, "owner:?", (int32_t)kOwnerSize);
    return true;
}

// Whose entries follow a mark: this repository's (a storage no repository named takes those of
// a repository not known for its own, as an earlier version did), another's, or a repository's
// not known.
enum class Owner { Mine, Other, Unknown };
Owner OwnerOf(const StorageRecordCopies* c, const char* owner) {
    if (strcmp(owner, MarkOf(c)) == 0) return Owner::Mine;
    return strcmp(owner, kOwnerMark) == 0 ? Owner::Unknown : Owner::Other;
}

// The unfinished mark behind this repository's own mark, as one write: the mark is its alone.
uint32_t MarkedUnfinished(const StorageRecordCopies* c, char* line) {
    const size_t marked = strlen(MarkOf(c)) + 1;
    memcpy(line, MarkOf(c), marked);
    memcpy(line + marked, kUnfinished, sizeof(kUnfinished));
    return (uint32_t)(marked + sizeof(kUnfinished));
}

int32_t RecordCopyLocked(StorageRecordCopies* c, const char* name, uint32_t made, uint32_t alternate, uint64_t device,
                         uint64_t inode, uint64_t birth) {
    char line[kOwnerSize + kRecordEntrySize];
    // The mark and the entry in one write: no entry of this repository's stands after another's mark.
    const int32_t marked = (int32_t)strlen(MarkOf(c)) + 1;
    memcpy(line, MarkOf(c), (size_t)marked);
    const int32_t length = marked +
                           String_Print(line + marked, (int32_t)sizeof(line) - marked, "%u:%u:%llu:%llu:%llu %s", made,
                                        alternate, (unsigned long long)device, (unsigned long long)inode,
                                        (unsigned long long)birth, name) +
                           1;
    int32_t error = HoldFolder(c);
    // A replay under way reads to the end of the record, this one included.
    if (!error && c->ReplayFd < 0 && c->RecordFd < 0) error = OpenCopiesRecord(c, 1, &c->RecordFd);
    if (!error) error = AppendRecord(c, c->ReplayFd >= 0 ? c->ReplayFd : c->RecordFd, line, (uint32_t)length);
    if (error) PrintRecordError(c, RecordLeaf(c), error);
    return error;
}

// One record of copies read at *offset, which moves past it: 1 with the record's text in buffer
// and *whole set unless it is a part of one too long to be ours, 0 at the end. A last record
// without its end was cut while it was written and names no copy (none is made before its record
// is whole).
int32_t ReadRecord(int32_t fd, uint64_t* offset, bool* passing, char* buffer, uint32_t size, bool* whole) {
    uint32_t got = 0;
    if (StorageFileOS_ReadSome(fd, *offset, buffer, size - 1, &got) != 0 || got == 0) return 0;
    buffer[got] = 0;
    const size_t length = strlen(buffer);
    if (length == got && got < size - 1) return 0;
    *offset += length + (length < got ? 1 : 0);
    *whole = length < got && !*passing;
    *passing = length == got;
    return 1;
}

struct RecordFields {
    unsigned long Made;
    uint32_t Alternate;
    bool Legacy; // written by an earlier version, without the file's identity
    uint64_t Device;
    uint64_t Inode; // 0: a scratch name reserved where no unnamed file could be made
    uint64_t Birth; // 0: not known
    char Name[STORAGE_FILE_PATH_SIZE];
};

// A record's fields; false for a record that is not one of ours, which names nothing of ours.
bool ParseRecord(const StorageRecordCopies* c, const char* record, RecordFields* f) {
    memset(f, 0, sizeof(*f));
    const char* at = record;
    unsigned long long numbers[5] = {};
    int count = 0;
    for (; count < 5; count++) {
        if (!ParseNumber(at, &numbers[count])) return false;
        if (*at != ':') break;
        at++;
    }
    if (count == 5 || *at != ' ') return false;
    count++;
    if (count == 3) return false;
    f->Made = (unsigned long)numbers[0];
    f->Legacy = count < 4;
    if (count >= 2) {
        const bool drawn = !f->Legacy && numbers[1] >= STORAGE_RECORD_RANDOM_COPY && numbers[1] <= UINT32_MAX;
        if ((numbers[1] > STORAGE_RECORD_ALTERNATES && !drawn) || (f->Legacy && numbers[1] == 0)) return false;
        f->Alternate = (uint32_t)numbers[1];
    }
    if (count >= 4) {
        f->Device = numbers[2];
        f->Inode = numbers[3];
        // A proof only this process may hold is never one of the record's. A copy where nothing
        // proves a file is named at random, written down before the name is made: under that name
        // its device and inode are proof enough, for no one else can have put a file there.
        f->Birth = numbers[4] == STORAGE_FILE_OS_UNPROVEN ? 0 : numbers[4];
        if (f->Birth == 0 && f->Alternate >= STORAGE_RECORD_RANDOM_COPY) f->Birth = STORAGE_FILE_OS_UNPROVEN;
    }
    return numbers[0] <= STORAGE_FILE_PATH_SIZE &&
           StorageFilePath_Check(at + 1, f->Name, STORAGE_FILE_PATH_SIZE) && strcmp(f->Name, at + 1) == 0 &&
           !StorageFilePath_IsReserved(f->Name, c->Suffix);
}

// ---- The record's own file ---------------------------------------------------------------------------
// The record is the storage's by a proof written into it as it is made, never by its name, owner
// or mode: its first entry, "record:<device>:<inode>:<proof>" and a NUL, names the very file that
// holds it (<proof> its birth or token, as a copy's), written before any name leads to the file
// where unnamed files can be made, else at once after its exclusive create. Another account cannot
// write into a private file of ours; a copy of a record (a backup put back, the user's own cp) is
// another inode; a second name (a hard link) fails the one-name rule: none of those proves. A
// record an earlier version made carries no such entry: it is taken only at the usual name, only
// when every entry in it is one of ours (no other file reads so), and the first replay writes it
// anew with the entry.


// The identity of the open file; without a birth time or token, one only it can match without proof
// (the entry naming it is written by us alone).
StorageRecordId IdOf(const StorageFileOSStatus& status) {
    const uint64_t proof = StorageFileOS_ProofOf(status);
    return StorageRecordId{status.Device, status.Inode, proof ? proof : STORAGE_FILE_OS_UNPROVEN};
}

// The reserved name of number n: the copies' suffix alone, then "<suffix><n>".
void RecordNameOf(const StorageRecordCopies* c, uint32_t n, char* out, int32_t size) {
    String_Print(out, size, n ? "%s%u" : "%s", c->Suffix, n);
}

// Whether every entry of the open file is one a record of ours holds: what an earlier version's
// record holds, and no file of anyone else's. A last entry cut while it was written counts only
// after a whole one (a file without a NUL is text, not a record); an empty file (a create cut
// before its first entry) holds nothing to lose.
bool AllEntriesOurs(const StorageRecordCopies* c, int32_t fd) {
    char buffer[kRecordEntrySize], owner[kOwnerSize];
    uint64_t offset = 0, size = 0, inode = 0;
    bool passing = false, whole = false, any = false;
    RecordFields f;
    while (ReadRecord(fd, &offset, &passing, buffer, (uint32_t)sizeof(buffer), &whole)) {
        if (!whole ||
            !(NoteOwner(buffer, owner) || strcmp(buffer, kUnfinished) == 0 || ParseRecord(c, buffer, &f)))
            return false;
        any = true;
    }
    return StorageFileOS_SizeOf(fd, &size, &inode) == 0 && (offset == size || any);
}

enum class Proven { Ours, Earlier, Moved, Empty, Not };

// Whether the open file (opened by OpenOwn: a private file of ours reached by one name) is a record
// of this storage's: its first entry names the file itself; or, at the usual name (primary), one an
// earlier version made. *start: where the entries begin.
Proven ProveRecord(const StorageRecordCopies* c, int32_t fd, bool primary, uint64_t* start) {
    const int32_t marked = StorageRecord_Prove(fd, start);
    if (marked > 0) return Proven::Ours;
    return marked == 0 && primary && AllEntriesOurs(c, fd) ? Proven::Earlier : Proven::Not;
}

bool MovedRecord(int32_t fd, uint64_t* start) { return StorageRecord_Moved(fd, start) != 0; }

// The name, held by an entry not proven the storage's record, named once.
void NameHeldRecord(StorageRecordCopies* c, const char* name) {
    char shown[STORAGE_FILE_PATH_SIZE * 2];
    String_Print(shown, (int32_t)sizeof(shown), "%s%s", c->Folder, name);
    if (HashTable_ContainsKey(c->Named, shown)) return;
    HashTable_Add(c->Named, shown, 1);
    Say(c, "Record of copies not the storage's own (%s) (%d)", LogText(shown).Text,
        PLATFORM_ERROR_ERRNO_BASE + EPERM);
}

// Opens what stands at a record's name (for reading and writing) when it proves a record of ours:
// 0 with *fd; ENOENT for nothing there; EPERM for an entry that is not a record of ours; or why the
// name could not be opened. A record of ours that no longer proves itself (Proven::Moved) is opened
// for reading only: a second name of it may lie elsewhere, and nothing is ever written through it.
int32_t OpenProven(const StorageRecordCopies* c, int32_t directory, const char* name, bool primary, int32_t* fd,
                   Proven* proven, uint64_t* start) {
    *proven = Proven::Not;
    int32_t error = StorageFileOS_OpenOwn(directory, name, 0, 1, fd);
    // Whatever else stands there (a link, a folder, a fifo, another user's file, one of ours not
    // private) is held; a failure of this process or the disk is not.
    if (error == ELOOP || error == EACCES || error == EISDIR || error == ENXIO || error == ETXTBSY ||
        error == EWOULDBLOCK || error == EEXIST)
        error = EPERM;
    if (!error) {
        *proven = ProveRecord(c, *fd, primary, start);
        if (*proven != Proven::Not) return 0;
        // A private file of ours with nothing in it is a record whose making was cut before its
        // first entry (where the name is made first): it holds nothing, and its name goes.
        uint64_t size = 0, inode = 0;
        if (StorageFileOS_SizeOf(*fd, &size, &inode) == 0 && size == 0) {
            *proven = Proven::Empty;
            return 0;
        }
        StorageFileOS_Close(fd);
    } else if (error != EPERM) {
        return error;
    }
    error = StorageFileOS_OpenMine(directory, name, fd);
    if (error == ENOENT) return error;
    if (!error && MovedRecord(*fd, start)) {
        *proven = Proven::Moved;
        return 0;
    }
    StorageFileOS_Close(fd);
    return error && error != EPERM && error != EISDIR && error != EEXIST ? error : EPERM;
}

// Makes a record (or a replay's scratch) at name (see StorageRecord_Make).
int32_t MakeRecord(int32_t directory, const char* name, int32_t* fd, uint64_t* start, StorageRecordId* id) {
    uint64_t numbers[3] = {};
    const int32_t error = StorageRecord_Make(directory, name, fd, start, numbers);
    *id = StorageRecordId{numbers[0], numbers[1], numbers[2]};
    return error;
}

// Where another account holds every one of the names tried in turn, a record takes a number drawn at
// random past them: a name nobody can have taken before it is made, found again by listing the folder.
constexpr uint32_t kRandomNumber = 1000000000u;

uint32_t RandomNumber() {
    uint32_t n = 0;
    if (!Platform_CryptFill(&n, (int32_t)sizeof(n))) return 0;
    return kRandomNumber + n % 3000000000u;
}

// The number of a record's name "<suffix><n>" drawn at random, else 0.
uint32_t RandomRecordNumber(const StorageRecordCopies* c, const char* name) {
    const size_t length = strlen(c->Suffix);
    if (strncmp(name, c->Suffix, length) != 0 || strlen(name + length) != 10) return 0;
    unsigned long long n = 0;
    const char* at = name + length;
    if (!ParseNumber(at, &n) || *at || n < kRandomNumber || n > UINT32_MAX) return 0;
    return (uint32_t)n;
}

// Makes a new record at a free name: the first of the names tried in turn, from `from`, else one
// drawn at random. 0 with *fd, *number and the file's identity; or the errno value.
int32_t MakeRecordFree(const StorageRecordCopies* c, int32_t directory, uint32_t from, uint32_t skip, int32_t* fd,
                       uint64_t* start, StorageRecordId* id, uint32_t* number) {
    char name[sizeof(c->RecordName)];
    int32_t error = EEXIST;
    for (uint32_t n = from, tries = 0; error == EEXIST && tries < 8;
         n = n < STORAGE_RECORD_ALTERNATES ? n + 1 : kRandomNumber) {
        if (n == skip) continue;
        if (n >= kRandomNumber) {
            tries++;
            if ((n = RandomNumber()) == 0) return EIO;
        }
        RecordNameOf(c, n, name, (int32_t)sizeof(name));
        error = MakeRecord(directory, name, fd, start, id);
        *number = n;
    }
    return error;
}

// A record found beside the one taken: another proven one (a replay stopped between making what
// stays on record and removing what it replaced) or one of ours that no longer proves itself.
struct FoundRecord {
    int32_t Fd;
    uint32_t Number;
    uint64_t Start;
    bool Moved;
};
constexpr uint32_t kFoundMax = 8;

// With the folder held: takes what the found record holds into the record `into`
// and removes the found one's name (its other names, if any, stay). Its entries keep their marks;
// those before any mark are of a repository not known, as in any record. A record that no longer
// proves itself may hold this installation's state, which is then not known: every repository
// marked in it, and this one, finds the installation unfinished, and repairs it.
int32_t AdoptRecord(StorageRecordCopies* c, int32_t directory, int32_t into, const FoundRecord& found) {
    constexpr uint32_t kChunk = 64 * 1024;
    constexpr uint32_t kMarks = 16;
    StorageFileOSStatus status{};
    int32_t error = StorageFileOS_StatusOf(found.Fd, &status);
    // A second name of a record of ours (a snapshot made with hard links, a link of the user's, one
    // another account made where the system lets it) leaves its bytes ours: what it says is known, and
    // nothing is repaired for it. Only one that names another file (a copy) leaves the state unknown.
    uint64_t proven = 0;
    const bool unknown = found.Moved && StorageRecord_Prove(found.Fd, &proven) <= 0;
    if (!error) error = StorageFileOS_Append(into, kOwnerMark, (uint32_t)sizeof(kOwnerMark));
    char* chunk = static_cast<char*>(Memory_Alloc(kChunk));
    char marks[kMarks][kOwnerSize];
    uint32_t markCount = 0;
    char pending[kOwnerSize] = {};
    uint32_t pendingLength = 0;
    for (uint64_t at = found.Start; !error;) {
        uint32_t got = 0;
        if ((error = StorageFileOS_ReadSome(found.Fd, at, chunk, kChunk, &got)) != 0 || got == 0) break;
        if ((error = StorageFileOS_Append(into, chunk, got)) != 0) break;
        at += got;
        // The marks it holds, for the repair: each entry read across the chunks.
        for (uint32_t i = 0; unknown && i < got; i++) {
            if (chunk[i] != 0) {
                if (pendingLength + 1 < sizeof(pending)) pending[pendingLength] = chunk[i];
                pendingLength++;
                continue;
            }
            if (pendingLength < sizeof(pending)) {
                pending[pendingLength] = 0;
                char owner[kOwnerSize];
                bool known = NoteOwner(pending, owner);
                for (uint32_t m = 0; known && m < markCount; m++) known = strcmp(marks[m], owner) != 0;
                if (known && markCount < kMarks) memcpy(marks[markCount++], owner, kOwnerSize);
            }
            pendingLength = 0;
        }
    }
    Memory_Free(chunk, kChunk);
    if (unknown && !error && markCount < kMarks) {
        bool mine = false;
        for (uint32_t m = 0; m < markCount; m++) mine = mine || strcmp(marks[m], MarkOf(c)) == 0;
        if (!mine) String_CopyLength(marks[markCount++], MarkOf(c), (int32_t)kOwnerSize);
    }
    for (uint32_t m = 0; unknown && !error && m < markCount; m++) {
        char line[kOwnerSize + sizeof(kUnfinished)];
        const size_t marked = strlen(marks[m]) + 1;
        memcpy(line, marks[m], marked);
        memcpy(line + marked, kUnfinished, sizeof(kUnfinished));
        error = AppendRecord(c, into, line, (uint32_t)(marked + sizeof(kUnfinished)));
    }
    // This repository's own state not known, it repairs.
    if (unknown && !error) c->Unfinished = 1;
    // What it held lasts in the record taken before its own name goes.
    if (!error) error = StorageFileOS_SyncFile(into);
    char name[sizeof(c->RecordName)];
    RecordNameOf(c, found.Number, name, (int32_t)sizeof(name));
    if (!error) error = StorageFileOS_RemoveName(directory, name, status.Device, status.Inode);
    // Another entry came at the name meanwhile: what was read is taken, that one is not ours.
    if (error == EEXIST) error = 0;
    if (!error && found.Moved) {
        char shown[STORAGE_FILE_PATH_SIZE * 2];
        String_Print(shown, (int32_t)sizeof(shown), "%s%s", c->Folder, name);
        if (unknown)
            Say(c, "Record of copies moved or copied, taken up (%s): the installation is repaired",
                LogText(shown).Text);
        else
            Say(c, "Record of copies reached by a second name, taken up (%s)", LogText(shown).Text);
    }
    return error;
}

// One name of the walk judged: the record taken, a record found beside it, a free name, or a name
// held by anything else (named once and left: never read, written or removed).
struct Walk {
    StorageRecordCopies* Copies;
    int32_t Directory;
    int32_t Chosen = -1, Earlier = -1;
    uint32_t Number = 0, Free = UINT32_MAX;
    uint64_t Start = 0;
    FoundRecord Found[kFoundMax];
    uint32_t FoundCount = 0;
    uint32_t Held = 0; // names held by entries not ours
    int32_t Error = 0;
};

void WalkName(Walk& w, uint32_t n) {
    StorageRecordCopies* c = w.Copies;
    char name[sizeof(c->RecordName)];
    RecordNameOf(c, n, name, (int32_t)sizeof(name));
    int32_t found = -1;
    Proven proven = Proven::Not;
    uint64_t start = 0;
    const int32_t opened = OpenProven(c, w.Directory, name, n == 0, &found, &proven, &start);
    if (opened == 0 && proven == Proven::Empty) {
        StorageFileOSStatus status{};
        const int32_t error = StorageFileOS_StatusOf(found, &status);
        StorageFileOS_Close(&found);
        if (!error && StorageFileOS_RemoveName(w.Directory, name, status.Device, status.Inode) == 0 &&
            w.Free == UINT32_MAX)
            w.Free = n;
    } else if (opened == ENOENT) {
        if (w.Free == UINT32_MAX) w.Free = n;
    } else if (opened == 0 && proven == Proven::Earlier) {
        w.Earlier = found;
    } else if (opened == 0 && proven == Proven::Ours && w.Chosen < 0) {
        w.Chosen = found;
        w.Number = n;
        w.Start = start;
    } else if (opened == 0 && w.FoundCount < kFoundMax) {
        w.Found[w.FoundCount++] = FoundRecord{found, n, start, proven == Proven::Moved};
    } else if (opened == 0) {
        StorageFileOS_Close(&found);
    } else if (opened == EPERM) {
        NameHeldRecord(c, name);
        w.Held++;
    } else if (!w.Error) {
        w.Error = opened;
    }
}

int32_t WalkRandomName(void* user, const char* name) {
    Walk& w = *static_cast<Walk*>(user);
    if (const uint32_t n = RandomRecordNumber(w.Copies, name)) WalkName(w, n);
    return 1;
}

// Opens this storage's record, by descriptor, for reading and writing. The name
// found before is proven again on what its open reaches; else every reserved name is walked (and,
// where another holds any of them, the names drawn at random found by listing the folder), the
// first proven record of ours taken (one at the usual name that an earlier version made when none
// is), and each name held by anything else named once and left: never read, written or removed.
// Every other record of ours found (one no longer proving itself included) is taken into it and
// its name removed. With create, where none is found, the first free name takes a new record; a
// name taken between the walk and the exclusive create passes to the next. ENOENT: no record, and
// none made.
int32_t OpenCopiesRecord(StorageRecordCopies* c, uint32_t create, int32_t* fd) {
    *fd = -1;
    int32_t directory = -1;
    const char* leaf = nullptr;
    int32_t error = StorageFileOS_OpenParent(c->Folder, c->Suffix, 0, &directory, &leaf);
    Proven proven = Proven::Not;
    uint64_t start = 0;
    if (!error && c->RecordFound &&
        OpenProven(c, directory, c->RecordName, c->RecordNumber == 0, fd, &proven, &start) == 0) {
        if (proven == Proven::Ours || proven == Proven::Earlier) {
            StorageFileOS_Close(&directory);
            return 0;
        }
        StorageFileOS_Close(fd);
    }
    c->RecordFound = 0;
    Walk w;
    w.Copies = c;
    w.Directory = directory;
    for (uint32_t n = 0; !error && n <= STORAGE_RECORD_ALTERNATES; n++) WalkName(w, n);
    // A record at a name drawn at random was made while another held names of these: looked for then.
    if (!error && w.Held > 0) error = StorageFileOS_ForEachName(directory, &w, WalkRandomName);
    if (!error) error = w.Error;
    if (!error && w.Chosen < 0 && w.Earlier >= 0) {
        w.Chosen = w.Earlier;
        w.Earlier = -1;
        w.Number = 0;
    }
    // One an earlier version made beside a proven one (a replay stopped before what stays on record
    // took the usual name) is taken into it too.
    if (w.Earlier >= 0 && w.FoundCount < kFoundMax) w.Found[w.FoundCount++] = FoundRecord{w.Earlier, 0, 0, false};
    else StorageFileOS_Close(&w.Earlier);
    // What else is found is taken into one record, made where none is proven.
    if (!error && w.FoundCount > 0) error = HoldFolder(c);
    if (!error && w.Chosen < 0 && w.FoundCount > 0) {
        StorageRecordId id{};
        error = MakeRecordFree(c, directory, w.Free == UINT32_MAX ? kRandomNumber : w.Free, UINT32_MAX, &w.Chosen,
                               &w.Start, &id, &w.Number);
    }
    for (uint32_t i = 0; i < w.FoundCount; i++) {
        if (!error) error = AdoptRecord(c, directory, w.Chosen, w.Found[i]);
        StorageFileOS_Close(&w.Found[i].Fd);
    }
    if (!error && w.Chosen >= 0) {
        *fd = w.Chosen;
        w.Chosen = -1;
        c->RecordNumber = w.Number;
    }
    StorageFileOS_Close(&w.Chosen);
    if (!error && *fd < 0) {
        StorageRecordId id{};
        error = create ? MakeRecordFree(c, directory, w.Free == UINT32_MAX ? kRandomNumber : w.Free, UINT32_MAX, fd,
                                        &start, &id, &c->RecordNumber)
                       : ENOENT;
        if (!create) c->RecordNumber = w.Free != UINT32_MAX ? w.Free : 0;
        if (error && error != ENOENT) c->RecordNumber = 0;
    }
    StorageFileOS_Close(&directory);
    RecordNameOf(c, c->RecordNumber, c->RecordName, (int32_t)sizeof(c->RecordName));
    c->RecordFound = *fd >= 0 ? 1 : 0;
    return error;
}

// The record's name (see OpenCopiesRecord), for the log and the replay's scratch name.
const char* RecordLeaf(StorageRecordCopies* c) {
    if (!c->RecordName[0]) {
        int32_t fd = -1;
        OpenCopiesRecord(c, 0, &fd);
        StorageFileOS_Close(&fd);
        if (!c->RecordName[0])
            String_CopyLength(c->RecordName, c->Suffix, (int32_t)sizeof(c->RecordName));
    }
    return c->RecordName;
}

// What a stopped replay left at its scratch name goes when it proves a record of
// ours as the record would (see OpenCopiesRecord); anything else there is named once and left (EPERM).
int32_t ClearScratch(StorageRecordCopies* c, int32_t directory, const char* scratch) {
    int32_t fd = -1;
    Proven proven = Proven::Not;
    uint64_t start = 0;
    int32_t error = OpenProven(c, directory, scratch, c->RecordNumber == 0, &fd, &proven, &start);
    if (error == ENOENT) return 0;
    if (error == EPERM) NameHeldRecord(c, scratch);
    StorageFileOSStatus status{};
    if (!error) error = StorageFileOS_StatusOf(fd, &status);
    StorageFileOS_Close(&fd);
    const StorageRecordId id = IdOf(status);
    return error ? error : StorageFileOS_RemoveCopy(directory, scratch, id.Device, id.Inode, id.Proof);
}

} // namespace

void StorageRecord_SetCopy(StorageRecordCopies* c, const char* name, const StorageRecordCopy* id) {
    uint64_t value = 0;
    if (HashTable_GetValue(c->Copies, name, &value)) {
        StorageRecordCopy* old = reinterpret_cast<StorageRecordCopy*>(value);
        HashTable_Remove(c->Copies, name);
        Memory_Free(old, sizeof(StorageRecordCopy));
    }
    if (!id) return;
    StorageRecordCopy* copy = static_cast<StorageRecordCopy*>(Memory_Alloc(sizeof(StorageRecordCopy)));
    *copy = *id;
    HashTable_Add(c->Copies, name, (uint64_t)(uintptr_t)copy);
}

namespace {

// The record read once, the last record of a name winning. One that could not be
// read (a fault of the disk, not "none there") is no empty record: it is read again at the next
// call, and until then what it holds is unknown (LoadError).
void LoadCopies(StorageRecordCopies* c) {
    if (c->CopiesLoaded) return;
    int32_t fd = -1;
    const int32_t opened = c->Suffix[0] ? OpenCopiesRecord(c, 0, &fd) : ENOENT;
    c->LoadError = opened == ENOENT ? 0 : opened;
    if (c->LoadError) return;
    c->CopiesLoaded = 1;
    if (opened == 0) {
        char buffer[kRecordEntrySize];
        uint64_t offset = 0;
        bool passing = false, whole = false;
        RecordFields f;
        char owner[kOwnerSize] = "owner:";
        while (ReadRecord(fd, &offset, &passing, buffer, (uint32_t)sizeof(buffer), &whole)) {
            if (!whole || NoteOwner(buffer, owner)) continue;
            if (strcmp(buffer, kUnfinished) == 0) {
                if (OwnerOf(c, owner) == Owner::Mine) c->Unfinished = 1;
                continue;
            }
            if (!ParseRecord(c, buffer, &f) || f.Legacy || f.Inode == 0 || OwnerOf(c, owner) == Owner::Other) continue;
            const StorageRecordCopy id{f.Device, f.Inode, f.Birth, f.Alternate, 0, 0};
            StorageRecord_SetCopy(c, f.Name, &id);
        }
    }
    StorageFileOS_Close(&fd);
}

} // namespace

bool StorageRecord_FindCopy(StorageRecordCopies* c, const char* name, StorageRecordCopy* id) {
    LoadCopies(c);
    uint64_t value = 0;
    if (!HashTable_GetValue(c->Copies, name, &value)) return false;
    *id = *reinterpret_cast<const StorageRecordCopy*>(value);
    return true;
}

bool StorageRecord_AnyCopy(StorageRecordCopies* c) {
    LoadCopies(c);
    uint32_t count = 0;
    return !c->Copies || !HashTable_GetCount(c->Copies, &count) || count != 0;
}

int32_t StorageRecord_AddCopy(StorageRecordCopies* c, const char* name, uint32_t made, uint32_t alternate,
                              uint64_t device, uint64_t inode, uint64_t birth) {
    return RecordCopyLocked(c, name, made, alternate, device, inode, birth);
}

namespace {

// A replay call's share of time: a stop is never kept waiting behind it.
std::atomic<double> replayBudget{0.1};

// Names what is left of a copy under `shown` and counts it: the record keeps naming it.
void PrintLeft(StorageRecordCopies* c, const char* shown, int32_t error) {
    c->ReplayFailed++;
    // What another user or another mount holds is left by design; anything else failed.
    if (!c->ReplayError && error != EPERM && error != EXDEV && error != EEXIST) c->ReplayError = error;
    if (error == EPERM)
        Say(c, "Name of a copy held by another user (%s) (%d)", LogText(shown).Text,
            PLATFORM_ERROR_ERRNO_BASE + error);
    else if (error == EXDEV)
        Say(c, "Copy on another mount left (%s) (%d)", LogText(shown).Text,
            PLATFORM_ERROR_ERRNO_BASE + error);
    else if (error == EEXIST)
        Say(c, "Not the storage's own file (%s) (%d)", LogText(shown).Text,
            PLATFORM_ERROR_ERRNO_BASE + error);
    else
        Say(c, "Failed to remove stray copy (%s) (%d)", LogText(shown).Text,
            PLATFORM_ERROR_ERRNO_BASE + error);
}

// Removes up to `made` emptied folders holding name, from the deepest up, on the folder's own
// mount only; a folder that was there before the copy, or holds anything, stays.
void CollapseMade(StorageRecordCopies* c, const char* name, uint32_t made) {
    char prefix[STORAGE_FILE_PATH_SIZE];
    String_CopyLengthSafe(prefix, (int32_t)sizeof(prefix), name, (int32_t)strlen(name));
    for (char* slash; made > 0 && (slash = strrchr(prefix, '/')) != nullptr; made--) {
        *slash = 0;
        int32_t directory = -1;
        const char* leaf = nullptr;
        if (StorageFileOS_OpenParent(c->Folder, prefix, 0, &directory, &leaf, nullptr, 1) != 0) return;
        const int32_t error = StorageFileOS_Remove(directory, leaf, 1);
        StorageFileOS_Close(&directory);
        // One a kill kept from being made leaves those above it to go.
        if (error == ENOENT) continue;
        if (error != 0) return;
        SayVerbose(c, "Collapse directory (%s)", LogText(prefix).Text);
    }
}

// Whether the record identifies the file as a copy this version made.
bool IdentityRecorded(StorageRecordCopies* c, const StorageFileOSStatus& status) {
    HashTableMember* m = nullptr;
    for (HashTable_MemberGetFirst(c->Copies, &m); m;) {
        uint64_t value = 0;
        HashTable_MemberGetValue(c->Copies, m, &value);
        const StorageRecordCopy* id = reinterpret_cast<const StorageRecordCopy*>(value);
        if (StorageFileOS_SameFile(status, id->Device, id->Inode, id->Birth)) return true;
        HashTableMember* next = nullptr;
        HashTable_MemberGetNext(c->Copies, m, &next);
        m = next;
    }
    return false;
}

// Whether the table a replay judges by lists name as a file (not as a link).
bool ListedFile(StorageRecordCopies* c, FileListIndex* index, const char* name) {
    FileListMember* found = nullptr;
    uint64_t offset = 0;
    uint32_t attributes = 0;
    if (!index || !FileList_IndexFindByName(index, name, &found, &offset)) return false;
    return !c->ReplayList || !FileList_MemberGetAttributes(c->ReplayList, found, &attributes) ||
           !(attributes & kAttributeLink);
}

// A copy that became its file in a sync that failed afterwards: where the installed manifest does
// not list that file, it is a leftover of the failed version, and goes while it is still the very
// file made. true when it could not go, or stays on record: while the installation is unfinished
// a listed one is still a file of a version not completed, which a later version that does not
// list it removes (a folder made for it may stand where that version puts a file). Before the
// version being installed is saved (STORAGE_FILE_STRAY_PENDING), one the saved manifest lists stays
// too: a run that fails now must leave every file that manifest lists, and the manifest that drops
// it, once saved, has it go.
bool RemoveUnlisted(StorageRecordCopies* c, int32_t directory, const char* leaf, const RecordFields& f,
                    FileListIndex* index, uint32_t continued) {
    const bool listed = StorageRecord_Listed(index, f.Name) || ((continued & STORAGE_FILE_STRAY_PENDING) &&
                                                                StorageRecord_ListedInstalled(c, f.Name));
    if (listed && !c->Unfinished) return false;
    // A copy named at random is proven by that name alone: under the file's name nothing tells it
    // from a file given its inode since.
    if (f.Alternate >= STORAGE_RECORD_RANDOM_COPY && f.Birth == STORAGE_FILE_OS_UNPROVEN) return false;
    StorageFileOSStatus status{};
    if (StorageFileOS_Status(directory, leaf, &status) != 0 ||
        !StorageFileOS_SameFile(status, f.Device, f.Inode, f.Birth) ||
        !(status.OwnSingle || (status.Kind == STORAGE_FILE_OS_LINK && !status.OtherUser)))
        return false;
    if (listed) return true;
    char shown[STORAGE_FILE_PATH_SIZE * 2];
    StorageRecord_ShowBeside(c, f.Name, leaf, shown, (int32_t)sizeof(shown));
    SayVerbose(c, "Remove file of a failed version (%s)", LogText(shown).Text);
    const int32_t error = StorageFileOS_RemoveCopy(directory, leaf, f.Device, f.Inode, f.Birth);
    if (error && !StorageRecord_IsHeld(error)) {
        PrintLeft(c, shown, error);
        return true;
    }
    return false;
}

// A copy made in a folder on another mount, looked at there without any removal across it: true
// when nothing of it is left to remove (neither its name nor its scratch name leads to it, and
// where it became its file, the manifest lists that file), so that the record lets it go instead
// of naming it again with every sync.
bool GoneAcross(StorageRecordCopies* c, const RecordFields& f, const char* copy, FileListIndex* index) {
    int32_t directory = -1;
    const char* leaf = nullptr;
    if (StorageFileOS_OpenParent(c->Folder, f.Name, 0, &directory, &leaf) != 0) return false;
    char held[STORAGE_FILE_PATH_SIZE + 8];
    String_Print(held, (int32_t)sizeof(held), "%s~", copy);
    bool gone = true;
    for (const char* name : {copy, (const char*)held, leaf}) {
        StorageFileOSStatus status{};
        if (StorageFileOS_Status(directory, name, &status) != 0) {
            gone = false;
            break;
        }
        if (StorageFileOS_SameFile(status, f.Device, f.Inode, f.Birth) &&
            (name != leaf || !StorageRecord_Listed(index, f.Name)))
            gone = false;
    }
    StorageFileOS_Close(&directory);
    return gone;
}

// A copy reached by two names where the one beside it is its own scratch name: a copy made at that
// name and cut between its link to the copy's name and the scratch name's removal. The scratch name
// goes; true when the copy is then reached by its own name alone.
bool SecondNameOurs(int32_t directory, const char* copy, const char* held, StorageFileOSStatus* status,
                    const RecordFields& f) {
    StorageFileOSStatus scratch{};
    if (status->Kind != STORAGE_FILE_OS_FILE || StorageFileOS_Status(directory, held, &scratch) != 0 ||
        !StorageFileOS_SameFile(scratch, f.Device, f.Inode, f.Birth) || scratch.OtherUser ||
        StorageFileOS_RemoveName(directory, held, f.Device, f.Inode) != 0)
        return false;
    StorageFileOSStatus now{};
    if (StorageFileOS_Status(directory, copy, &now) != 0 || !StorageFileOS_SameFile(now, f.Device, f.Inode, f.Birth) ||
        !now.OwnSingle)
        return false;
    *status = now;
    return true;
}

// One record judged,; true when it stays on record: while a copy it names is left
// (listed and kept to be continued, or not removable), and never once no copy of ours is there.
// With known, the entry is this repository's own (not an earlier version's, whose repository is
// not known).
bool ReplayRecord(StorageRecordCopies* c, const char* record, FileListIndex* index, uint32_t continued, bool known) {
    RecordFields f;
    if (!ParseRecord(c, record, &f)) return false;
    const char* slash = strrchr(f.Name, '/');
    char copy[STORAGE_FILE_PATH_SIZE + 8], shown[STORAGE_FILE_PATH_SIZE * 2];
    // A name too long to be made was never made.
    if (StorageRecord_CopyName(c->Suffix, slash ? slash + 1 : f.Name, copy, sizeof(copy) - 8, f.Alternate,
                               f.Legacy) != 0)
        return false;
    StorageRecord_ShowBeside(c, f.Name, copy, shown, (int32_t)sizeof(shown));
    int32_t directory = -1;
    const char* leaf = nullptr;
    int32_t error = StorageFileOS_OpenParent(c->Folder, f.Name, 0, &directory, &leaf, nullptr, 1);
    if (error == ENOENT || error == ENOTDIR) {
        // No copy there; the folders made for it before a kill go, those above a missing one too.
        CollapseMade(c, f.Name, (uint32_t)f.Made);
        return false;
    }
    if (error == EXDEV && !f.Legacy && f.Inode != 0 && GoneAcross(c, f, copy, index)) return false;
    if (error) {
        // Kept on record: once the mount is gone, or the failure over, a later sync removes it.
        PrintLeft(c, shown, error);
        return true;
    }
    bool keep = false;
    if (!f.Legacy && f.Inode != 0) {
        StorageFileOSStatus status{};
        error = StorageFileOS_Status(directory, copy, &status);
        const bool same = !error && StorageFileOS_SameFile(status, f.Device, f.Inode, f.Birth);
        char held[STORAGE_FILE_PATH_SIZE + 8];
        String_Print(held, (int32_t)sizeof(held), "%s~", copy);
        StorageFileOSStatus scratch{};
        if (error) {
            PrintLeft(c, shown, error);
            keep = true;
        } else if (!same && StorageFileOS_Status(directory, held, &scratch) == 0 &&
                   StorageFileOS_SameFile(scratch, f.Device, f.Inode, f.Birth)) {
            // Recorded under the scratch name it was made at, and cut before it took its name.
            SayVerbose(c, "Remove stray copy (%s~)", LogText(shown).Text);
            error = StorageFileOS_RemoveCopy(directory, held, f.Device, f.Inode, f.Birth);
            if (error && !StorageRecord_IsHeld(error)) {
                PrintLeft(c, shown, error);
                keep = true;
            }
        } else if (!same) {
            // The copy became the file, or never got its name: what stands there is not it.
            if (status.Kind != STORAGE_FILE_OS_MISSING)
                Say(c, "Not the storage's own file (%s) (%d)", LogText(shown).Text,
                    PLATFORM_ERROR_ERRNO_BASE + EEXIST);
            // Only this repository's own entries say a file is of a version it failed to install.
            keep = known && RemoveUnlisted(c, directory, leaf, f, index, continued);
        } else if (!status.OwnSingle && status.OtherUser) {
            // The very file made, but another account's now (given to it, or its inode taken over):
            // not ours to remove, and nothing of ours to keep on record, which it would hold alive
            // with every run.
            Say(c, "Copy now another user's, left and taken off the record (%s) (%d)", LogText(shown).Text,
                PLATFORM_ERROR_ERRNO_BASE + EPERM);
        } else if (!status.OwnSingle && !SecondNameOurs(directory, copy, held, &status, f)) {
            // Reached by a second name the user gave (a snapshot made with hard links, a link of
            // theirs): nothing tells it from their file now, so it is theirs, left where it stands.
            // Its entry goes with this look: kept, it would hold the record alive with every run.
            Say(c, "Not the storage's own file (%s) (%d)", LogText(shown).Text,
                PLATFORM_ERROR_ERRNO_BASE + EEXIST);
        } else if (continued && ListedFile(c, index, f.Name)) {
            // The copy of a listed file that a mask left unfinished holds the progress the next run
            // continues (a link listed there has no use for it).
            keep = true;
        } else {
            SayVerbose(c, "Remove stray copy (%s)", LogText(shown).Text);
            error = StorageFileOS_RemoveCopy(directory, copy, f.Device, f.Inode, f.Birth);
            if (error && !StorageRecord_IsHeld(error)) {
                PrintLeft(c, shown, error);
                keep = true;
            } else {
                uint64_t value = 0;
                if (HashTable_GetValue(c->Copies, f.Name, &value) &&
                    reinterpret_cast<const StorageRecordCopy*>(value)->Inode == f.Inode)
                    StorageRecord_SetCopy(c, f.Name, nullptr);
            }
        }
    } else {
        // A copy an earlier version recorded without its identity, or a scratch name reserved: a
        // private file of ours there goes, unless the record identifies it as a copy made since.
        for (const char* suffix : {"", "~"}) {
            if (!f.Legacy && !suffix[0]) continue;
            char entry[STORAGE_FILE_PATH_SIZE + 8];
            String_Print(entry, (int32_t)sizeof(entry), "%s%s", copy, suffix);
            StorageFileOSStatus status{};
            if (StorageFileOS_Status(directory, entry, &status) != 0 || status.Kind == STORAGE_FILE_OS_MISSING ||
                IdentityRecorded(c, status))
                continue;
            // At the scratch name a link may stand too, made there by the storage alone.
            error = StorageFileOS_RemoveOwn(directory, entry, suffix[0] ? STORAGE_FILE_OS_OWN_LINK : 0);
            if (!error) SayVerbose(c, "Remove stray copy (%s%s)", LogText(shown).Text, suffix);
            // What is not a private file of ours was never a copy of ours.
            if (error && !StorageRecord_IsHeld(error)) {
                char left[STORAGE_FILE_PATH_SIZE * 2 + 2];
                String_Print(left, (int32_t)sizeof(left), "%s%s", shown, suffix);
                PrintLeft(c, left, error);
                keep = true;
            }
        }
    }
    StorageFileOS_Close(&directory);
    // Before the version being installed is saved, what was made for a name it lists is still of a
    // version never installed: a run that fails now must find it on record.
    if (!keep && (continued & STORAGE_FILE_STRAY_PENDING) && known && StorageRecord_Listed(index, f.Name)) keep = true;
    if (!keep) CollapseMade(c, f.Name, (uint32_t)f.Made);
    return keep;
}

// Whether the entry names a copy this storage made and removed (see StorageRecord_RemoveMade).
bool TakenOffHere(StorageRecordCopies* c, const char* record) {
    RecordFields f;
    uint64_t inode = 0;
    return c->TakenOff && ParseRecord(c, record, &f) && !f.Legacy && f.Inode != 0 &&
           HashTable_GetValue(c->TakenOff, f.Name, &inode) && inode == f.Inode;
}

// A replay that judged the whole record leaves every copy to it: what this storage made and still
// knows is from then on what the record keeps, no longer what a failure of this run removes.
void ForgetMade(StorageRecordCopies* c) {
    HashTableMember* m = nullptr;
    for (HashTable_MemberGetFirst(c->Copies, &m); m;) {
        uint64_t value = 0;
        HashTable_MemberGetValue(c->Copies, m, &value);
        reinterpret_cast<StorageRecordCopy*>(value)->Made = 0;
        HashTableMember* next = nullptr;
        HashTable_MemberGetNext(c->Copies, m, &next);
        m = next;
    }
}

// One record judged by a replay, written to what stays on record when it stays.
void ReplayKeep(StorageRecordCopies* c, const char* record, FileListIndex* index, uint32_t continued) {
    // Another repository's entries are its own replay's to judge: they stay as they are.
    const Owner owner = OwnerOf(c, c->ReplayOwner);
    if (c->TakingOff) {
        // Only what this storage removed goes: everything else stays as it is.
        if (owner == Owner::Mine && TakenOffHere(c, record)) return;
    } else if (owner != Owner::Other && !ReplayRecord(c, record, index, continued, owner == Owner::Mine)) {
        return;
    }
    int32_t error = 0;
    if (strcmp(c->ReplayMarked, c->ReplayOwner) != 0) {
        error = StorageFileOS_Append(c->ReplayOut, c->ReplayOwner, (uint32_t)strlen(c->ReplayOwner) + 1);
        if (!error) memcpy(c->ReplayMarked, c->ReplayOwner, sizeof(c->ReplayMarked));
    }
    if (!error) error = StorageFileOS_Append(c->ReplayOut, record, (uint32_t)strlen(record) + 1);
    if (error) {
        PrintRecordError(c, RecordLeaf(c), error);
        c->ReplayLost++;
        if (!c->ReplayError) c->ReplayError = error;
    }
}

// Where the first pass found a name reserved; past the bound the second pass reads the record whole.
// Two offsets a name: its entry's and its mark's.
void NoteReserved(StorageRecordCopies* c, uint64_t offset, uint64_t mark) {
    constexpr uint32_t kReservedMax = 1u << 16;
    if (c->ReservedOverflow) return;
    if (c->ReservedCount == c->ReservedCapacity) {
        if (c->ReservedCapacity >= kReservedMax) {
            c->ReservedOverflow = 1;
            return;
        }
        const uint32_t capacity = c->ReservedCapacity ? c->ReservedCapacity * 2 : 64;
        uint64_t* grown = static_cast<uint64_t*>(Memory_Alloc(capacity * 2 * sizeof(uint64_t)));
        if (c->ReservedCount) memcpy(grown, c->Reserved, c->ReservedCount * 2 * sizeof(uint64_t));
        if (c->Reserved) Memory_Free(c->Reserved, c->ReservedCapacity * 2 * sizeof(uint64_t));
        c->Reserved = grown;
        c->ReservedCapacity = capacity;
    }
    c->Reserved[2 * c->ReservedCount] = offset;
    c->Reserved[2 * c->ReservedCount++ + 1] = mark;
}

// Ends a replay: what stays on record replaces the record, or none is left. A replay that could
// not write down all that stays leaves the record as it was: it still names every copy.
int64_t ReplayFinish(StorageRecordCopies* c) {
    StorageFileOS_Close(&c->ReplayFd);
    // The mark stays, lasting before the record it goes into replaces the one that holds it.
    if (c->Unfinished && !c->ReplayLost && !c->TakingOff) {
        char line[kOwnerSize + sizeof(kUnfinished)];
        int32_t error = StorageFileOS_Append(c->ReplayOut, line, MarkedUnfinished(c, line));
        if (!error) error = StorageFileOS_SyncFile(c->ReplayOut);
        if (error) {
            PrintRecordError(c, RecordLeaf(c), error);
            c->ReplayLost++;
            if (!c->ReplayError) c->ReplayError = error;
        }
    }
    StorageFileOSStatus out{};
    int32_t error = StorageFileOS_StatusOf(c->ReplayOut, &out);
    // What stays lasts before the record it replaces goes.
    if (!error && !c->ReplayLost && (!c->Unfinished || c->TakingOff) && out.Size > c->ReplayOutStart)
        error = StorageFileOS_SyncFile(c->ReplayOut);
    StorageFileOS_Close(&c->ReplayOut);
    char written[sizeof(c->RecordName)];
    RecordNameOf(c, c->ReplayOutNumber, written, (int32_t)sizeof(written));
    int32_t directory = -1;
    const char* leaf = nullptr;
    const StorageRecordId& in = c->ReplayId;
    const StorageRecordId& kept = c->ReplayOutId;
    if (!error) error = StorageFileOS_OpenParent(c->Folder, written, 0, &directory, &leaf);
    // Each name goes only while it still leads to the file this replay opened or made there; a stop
    // between the two leaves two records of ours, which the next open takes into one.
    if (!error && (c->ReplayLost || out.Size <= c->ReplayOutStart)) {
        error = StorageFileOS_RemoveCopy(directory, written, kept.Device, kept.Inode, kept.Proof);
        if (!error && !c->ReplayLost)
            error = StorageFileOS_RemoveCopy(directory, RecordLeaf(c), in.Device, in.Inode, in.Proof);
        if (!error && !c->ReplayLost) c->RecordFound = 0;
    } else if (!error) {
        StorageFileOSStatus now{};
        error = StorageFileOS_Status(directory, RecordLeaf(c), &now);
        if (!error && now.Kind != STORAGE_FILE_OS_MISSING &&
            !StorageFileOS_SameFile(now, in.Device, in.Inode, in.Proof))
            error = EEXIST;
        if (!error) error = StorageFileOS_Rename(directory, written, RecordLeaf(c));
    }
    StorageFileOS_Close(&directory);
    if (error) {
        PrintRecordError(c, RecordLeaf(c), error);
        c->ReplayFailed++;
        if (!c->ReplayError) c->ReplayError = error;
    }
    if (!c->TakingOff) ForgetMade(c);
    return c->ReplayFailed == 0 && c->ReplayLost == 0 ? 1 : 0;
}

} // namespace

int64_t StorageRecord_Replay(StorageRecordCopies* c, MetaFile* installed, uint32_t continued) {
    if (!c->Folder[0] || !c->Suffix[0]) return 1;
    if (c->ReplayFd < 0) {
        c->ReplayError = 0;
        int32_t probe = -1;
        int32_t error = OpenCopiesRecord(c, 0, &probe);
        StorageFileOS_Close(&probe);
        // No record: this storage made no copy that can be left.
        if (error == ENOENT || error == ENOTDIR) return 1;
        // Another repository's copies are judged by its own replay only.
        if (!error) error = HoldFolder(c);
        if (!error) {
            StorageFileOS_Close(&c->RecordFd);
            LoadCopies(c);
            error = OpenCopiesRecord(c, 0, &c->ReplayFd);
        }
        StorageFileOSStatus replayed{};
        if (!error) error = StorageFileOS_StatusOf(c->ReplayFd, &replayed);
        c->ReplayId = IdOf(replayed);
        char scratch[40];
        String_Print(scratch, (int32_t)sizeof(scratch), "%s~", RecordLeaf(c));
        if (!error) {
            int32_t directory = -1;
            const char* leaf = nullptr;
            error = StorageFileOS_OpenParent(c->Folder, scratch, 0, &directory, &leaf);
            // What an earlier version's stopped replay left at its scratch name goes when proven
            // ours; anything else there is named and left, and holds up nothing: what stays on
            // record is written to a new record at a free name of the record's own.
            if (!error) ClearScratch(c, directory, leaf);
            if (!error)
                error = MakeRecordFree(c, directory, 0, c->RecordNumber, &c->ReplayOut, &c->ReplayOutStart,
                                       &c->ReplayOutId, &c->ReplayOutNumber);
            StorageFileOS_Close(&directory);
        }
        if (error) {
            PrintRecordError(c, RecordLeaf(c), error);
            // A folder another repository holds is named and left by design.
            if (error != EBUSY) c->ReplayError = error;
            StorageFileOS_Close(&c->ReplayFd);
            StorageFileOS_Close(&c->ReplayOut);
            return 0;
        }
        c->ReplayOffset = 0;
        c->ReplayPass = 0;
        c->ReservedCount = c->ReservedNext = c->ReservedOverflow = 0;
        c->ReplayFailed = 0;
        c->ReplayLost = 0;
        String_CopyLength(c->ReplayOwner, kOwnerMark, (int32_t)sizeof(c->ReplayOwner));
        c->ReplayMarked[0] = 0;
    }
    FileListIndex* index = nullptr;
    if (installed) MetaFile_GetFileListIndexHandle(installed, &index);
    c->ReplayList = ListOf(installed);
    const double start = Time_GetCurrent();
    char buffer[kRecordEntrySize];
    for (; c->ReplayPass < 2; c->ReplayPass++) {
        // A pass that reads the record from its start finds entries before any mark.
        if (c->ReplayOffset == 0) {
            String_CopyLength(c->ReplayOwner, kOwnerMark, (int32_t)sizeof(c->ReplayOwner));
            c->ReplayOwnerAt = kNoMark;
        }
        if (c->ReplayPass == 1 && !c->ReservedOverflow) {
            while (c->ReservedNext < c->ReservedCount) {
                // Each name reserved is read under the mark that stood before it.
                const uint64_t* noted = c->Reserved + 2 * c->ReservedNext++;
                bool passing = false, whole = false;
                uint64_t offset = noted[1];
                if (offset == kNoMark ||
                    !ReadRecord(c->ReplayFd, &offset, &passing, buffer, (uint32_t)sizeof(buffer), &whole) || !whole ||
                    !NoteOwner(buffer, c->ReplayOwner))
                    String_CopyLength(c->ReplayOwner, kOwnerMark, (int32_t)sizeof(c->ReplayOwner));
                offset = noted[0];
                passing = whole = false;
                if (ReadRecord(c->ReplayFd, &offset, &passing, buffer, (uint32_t)sizeof(buffer), &whole) &&
                    whole)
                    ReplayKeep(c, buffer, index, continued);
                if (Time_GetCurrent() - start >= (c->TakingOff ? 1e9 : replayBudget.load())) return -1;
            }
            if (c->ReplayOffset < c->ReplayEnd) {
                c->ReplayOffset = c->ReplayEnd;
                memcpy(c->ReplayOwner, c->ReplayEndOwner, sizeof(c->ReplayOwner));
            }
        }
        bool passing = false, whole = false;
        for (uint64_t at = c->ReplayOffset;
             ReadRecord(c->ReplayFd, &c->ReplayOffset, &passing, buffer, (uint32_t)sizeof(buffer), &whole);
             at = c->ReplayOffset) {
            // One too long to be ours is passed over to its end.
            if (!whole) continue;
            if (NoteOwner(buffer, c->ReplayOwner)) {
                c->ReplayOwnerAt = at;
                continue;
            }
            // Names reserved (folders made, a scratch name) are judged once every copy is: a folder
            // made for one may hold a copy recorded after it, and is empty only once that is gone.
            // What was recorded while the first pass ran is judged by the second, whatever it is.
            RecordFields f;
            const bool reserved = ParseRecord(c, buffer, &f) && !f.Legacy && f.Inode == 0;
            if (reserved && c->ReplayPass == 0) NoteReserved(c, at, c->ReplayOwnerAt);
            if (reserved != (c->ReplayPass == 1) && !(c->ReplayPass == 1 && at >= c->ReplayEnd)) continue;
            ReplayKeep(c, buffer, index, continued);
            if (Time_GetCurrent() - start >= (c->TakingOff ? 1e9 : replayBudget.load())) return -1;
        }
        if (c->ReplayPass == 0) {
            c->ReplayEnd = c->ReplayOffset;
            memcpy(c->ReplayEndOwner, c->ReplayOwner, sizeof(c->ReplayEndOwner));
            c->ReplayOffset = 0;
        }
    }
    return ReplayFinish(c);
}

void StorageRecord_SetReplayBudget(double seconds) {
    replayBudget.store(seconds);
}

int32_t StorageRecord_MarkWrite(StorageRecordCopies* c, StorageRecordMarkFlush* flush) {
    flush->Record = flush->Folder = -1;
    if (!c->Folder[0] || !c->Suffix[0]) return 0;
    LoadCopies(c);
    if (c->LoadError) return c->LoadError;
    if (c->Unfinished) {
        c->Repairing = 1;
        return 0;
    }
    int32_t error = HoldFolder(c);
    if (!error && c->ReplayFd < 0 && c->RecordFd < 0)
        error = OpenCopiesRecord(c, 1, &c->RecordFd);
    char line[kOwnerSize + sizeof(kUnfinished)];
    if (!error)
        error = AppendRecord(c, c->ReplayFd >= 0 ? c->ReplayFd : c->RecordFd, line, MarkedUnfinished(c, line));
    // The entry, and the record's name when it was made now, last before the first change: the
    // record and the folder that names it are flushed, not the whole file system, whose other
    // writes (a log among them) are none of the mark's. That flush is the caller's, through
    // descriptors of its own, so that it may run while nothing changes. A replay's scratch takes
    // the record's name only when the replay ends: the mark in it lasts with the file system's
    // flush, made here.
    if (!error && c->ReplayFd >= 0) {
        if (!(error = StorageFileOS_SyncFileSystem(c->Folder))) c->Unfinished = 1;
    } else if (!error && !(error = StorageFileOS_Duplicate(c->RecordFd, &flush->Record)) &&
               (error = StorageFileOS_Duplicate(c->FolderLock, &flush->Folder)) != 0) {
        StorageFileOS_Close(&flush->Record);
    }
    if (error) PrintRecordError(c, RecordLeaf(c), error);
    return error;
}

int32_t StorageRecord_MarkFlush(StorageRecordMarkFlush* flush) {
    if (flush->Record < 0) return 0;
    int32_t error = StorageFileOS_SyncFile(flush->Record);
    // A file system that flushes no folder on its own (EINVAL) makes the mark last with its own flush.
    if (!error && (error = StorageFileOS_SyncFile(flush->Folder)) == EINVAL)
        error = StorageFileOS_SyncFileSystemOf(flush->Folder);
    StorageFileOS_Close(&flush->Record);
    StorageFileOS_Close(&flush->Folder);
    return error;
}

void StorageRecord_MarkSettle(StorageRecordCopies* c, int32_t error) {
    if (error) PrintRecordError(c, RecordLeaf(c), error);
    else c->Unfinished = 1;
}

int32_t StorageRecord_MarkUnfinished(StorageRecordCopies* c) {
    StorageRecordMarkFlush flush;
    int32_t error = StorageRecord_MarkWrite(c, &flush);
    if (!error && flush.Record >= 0) StorageRecord_MarkSettle(c, error = StorageRecord_MarkFlush(&flush));
    return error;
}

int64_t StorageRecord_IsUnfinished(StorageRecordCopies* c) {
    if (!c->Folder[0] || !c->Suffix[0]) return 0;
    LoadCopies(c);
    return c->LoadError ? -1 : c->Unfinished ? 1 : 0;
}

void StorageRecord_SetFinished(StorageRecordCopies* c) {
    c->Unfinished = 0;
    c->Repairing = 0;
}

int32_t StorageRecord_RemoveMade(StorageRecordCopies* c, void* user, bool (*busy)(void* user, const char* name)) {
    if (!c->Folder[0] || !c->Suffix[0] || !c->CopiesLoaded || c->ReplayFd >= 0) return 0;
    int32_t failed = 0;
    uint32_t removed = 0;
    for (bool again = true; again;) {
        again = false;
        HashTableMember* m = nullptr;
        for (HashTable_MemberGetFirst(c->Copies, &m); m;) {
            uint64_t value = 0;
            const void* key = nullptr;
            char name[STORAGE_FILE_PATH_SIZE];
            HashTable_MemberGetValue(c->Copies, m, &value);
            HashTable_MemberGetKey(c->Copies, m, &key);
            String_CopyLength(name, static_cast<const char*>(key), (int32_t)sizeof(name));
            HashTableMember* next = nullptr;
            HashTable_MemberGetNext(c->Copies, m, &next);
            m = next;
            const StorageRecordCopy id = *reinterpret_cast<const StorageRecordCopy*>(value);
            if (!id.Made || (busy && busy(user, name))) continue;
            int32_t directory = -1;
            const char* leaf = nullptr;
            char copy[STORAGE_FILE_PATH_SIZE + 8], shown[STORAGE_FILE_PATH_SIZE * 2];
            char listed[STORAGE_FILE_PATH_SIZE * 2];
            const char* slash = strrchr(name, '/');
            int32_t error =
                StorageRecord_CopyName(c->Suffix, slash ? slash + 1 : name, copy, sizeof(copy), id.Alternate);
            StorageRecord_ShowBeside(c, name, error ? "" : copy, shown, (int32_t)sizeof(shown));
            if (!error) error = StorageFileOS_OpenParent(c->Folder, name, 0, &directory, &leaf, nullptr, 1);
            // Nothing the installed manifest lists goes (no copy's name can be listed: this holds it so).
            if (!error)
                String_Print(listed, (int32_t)sizeof(listed), "%.*s%s", slash ? (int)(slash + 1 - name) : 0,
                             name, copy);
            if (!error && StorageRecord_ListedInstalled(c, listed)) error = EEXIST;
            if (!error) error = StorageFileOS_RemoveCopy(directory, copy, id.Device, id.Inode, id.Birth);
            StorageFileOS_Close(&directory);
            // Gone with its folder is gone too; what no longer is the very copy made (another's now,
            // reached by a second name, put there since) is the next run's to judge, on record.
            if (error == ENOENT || error == ENOTDIR) error = 0;
            if (!error) {
                SayVerbose(c, "Remove copy of a failed run (%s)", LogText(shown).Text);
                if (!c->TakenOff) {
                    HashTable_Create(&c->TakenOff, STORAGE_FILE_PATH_SIZE, 16);
                    HashTable_SetValueCallback(c->TakenOff, nullptr, HashTable_StringKeyedValue);
                }
                if (HashTable_ContainsKey(c->TakenOff, name)) HashTable_Remove(c->TakenOff, name);
                HashTable_Add(c->TakenOff, name, id.Inode);
                StorageRecord_SetCopy(c, name, nullptr);
                removed++;
                // The table changed under the walk: it starts again (each copy goes once).
                again = true;
                break;
            }
            // Left on record as it is, and not tried again by this run.
            reinterpret_cast<StorageRecordCopy*>(value)->Made = 0;
            // A copy on another mount is left as the replay leaves it (nothing is removed across one).
            if (!StorageRecord_IsHeld(error) && error != EXDEV) {
                Say(c, "Failed to remove copy of a failed run (%s) (%d)", LogText(shown).Text,
                    PLATFORM_ERROR_ERRNO_BASE + error);
                if (!failed) failed = error;
            }
        }
    }
    if (removed) {
        // The record written anew without them: a stop waits on the record alone, never on the
        // replay's share of time.
        c->TakingOff = 1;
        int64_t done = -1;
        while (done < 0) done = StorageRecord_Replay(c, nullptr, 0);
        c->TakingOff = 0;
        HashTable_Delete(&c->TakenOff);
        // Named by the replay; without an error of its own, another repository held the folder.
        if (done == 0 && !failed) failed = c->ReplayError ? c->ReplayError : EBUSY;
    }
    if (c->ShutDown && c->ReplayFd < 0) StorageFileOS_Close(&c->FolderLock);
    return failed;
}
