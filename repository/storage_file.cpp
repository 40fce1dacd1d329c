// The file storage backend: slices of installed files read and written in place through a table
// of open files (writers keep theirs open across pieces until the file is complete), completion
// and erasure of files, all by descriptor below the storage's directory.
#include "repository/storage_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

#include "core/linux/platform_error.h"
#include "core/linux/platform_file.h"
#include "core/linux/platform_async_file.h"
#include "core/linux/platform.h"
#include "core/platform/async_file.h"
#include "core/platform/path.h"
#include "core/runtime/app_config_keys.h"
#include "core/runtime/class_family.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/hash_table.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/log_text.h"
#include "core/runtime/memory.h"
#include "core/runtime/meter_rw.h"
#include "core/runtime/pool.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/string_expand.h"
#include "core/runtime/time.h"
#include "repository/file_list.h"
#include "repository/linux/storage_file_os.h"
#include "repository/meta_file.h"
#include "repository/digest_table.h"
#include "repository/storage_file_internal.h"
#include "repository/storage_file_path.h"
#include "repository/storage_record.h"
#include "repository/storage_request.h"

namespace {

// "owner:" and 16 hexadecimal digits.
constexpr size_t kOwnerSize = 24;
constexpr char kOwnerMark[] = "owner:";
constexpr uint64_t kNoMark = UINT64_MAX;

constexpr uint32_t kAttributeReadOnly = 1;

// Bench switch (StorageFile_SetFlushEachFile).
std::atomic<bool> flushEach{false};
constexpr uint32_t kAttributeExecutable = 4;
constexpr uint32_t kAttributeLink = 8;

// One open file, shared by the transfers of every request that touches it.
struct OpenRecord {
    AsyncFile* File;
    int32_t Fd;        // ours; the AsyncFile transfers on a duplicate
    int32_t Directory; // the directory holding it
    char Name[STORAGE_FILE_PATH_SIZE];
    char Leaf[STORAGE_FILE_PATH_SIZE];        // the complete name within Directory
    char PartialLeaf[STORAGE_FILE_PATH_SIZE]; // with the partial extension
    uint32_t Partial; // the file carries the partial name
    uint32_t Copied;  // its partial copy was made from the installed file by this storage
    uint32_t Open;
    int32_t References; // changed under the table lock
    uint32_t Write;
    uint32_t Complete;
    CriticalSection* Lock;
};

// One transfer in flight: the record it holds a reference on and what to finish when it ends.
struct Transfer {
    StorageFile* Backend;
    StorageOperation* Operation;
    OpenRecord* Record;
    StorageRequest* Request;
    StorageRequestMember* Member;
    FileListMember* File;
    uint8_t* Pointer;
    uint32_t Length;
    uint32_t Padding;
    uint32_t Write;
};

// The identity a file is judged by: device, inode and the proof StorageFileOS_SameFile takes.
struct FileId {
    uint64_t Device, Inode, Proof;
};

} // namespace

// The other file systems a version's files may lie on (a folder of the installation mounted from
// elsewhere) that are flushed with the installation's own; a file on one more is flushed at its
// completion instead.
constexpr uint32_t kMountsKept = 8;

struct StorageFile {
    Class Header;
    ClassPrint Print;
    Storage* Front;
    StoragePrintFunc FrontPrint;
    char OutputPath[STORAGE_FILE_PATH_SIZE];
    char PartialExtension[32];
    char IgnorePath[STORAGE_FILE_PATH_SIZE];
    char LockDirectory[STORAGE_FILE_PATH_SIZE];
    uint32_t ExtraFileFlags;
    uint32_t SelfUpdate;
    uint32_t SkipTimestamp;
    uint32_t SkipAttributes;
    uint32_t PageSize;
    HashTable* OpenFiles;
    CriticalSection* OpenLock;
    HashTable* Completed;
    CriticalSection* CompletedLock;
    HashTable* Ignore;
    uint32_t IgnoreLoaded;
    Pool* Records;
    Pool* Transfers;
    // The record of copies made (see RecordCopy), appended to and replayed under RecordLock.
    CriticalSection* RecordLock;
    int32_t RecordFd;
    int32_t ReplayFd;  // the record being replayed, read from ReplayOffset on
    int32_t ReplayOut; // what stays on record, under the record's scratch name
    uint64_t ReplayOffset;
    // The pass of a replay: 0 the copies, 1 the names reserved (whose folders the copies may have held);
    // where the first ended: what is recorded after it is judged whole by the second.
    uint32_t ReplayPass;
    uint64_t ReplayEnd;
    // Where the names reserved lie in the record, found by the first pass, so that the second reads
    // them alone (all of the record again once there are more than it holds).
    uint64_t* Reserved;
    uint32_t ReservedCount, ReservedCapacity, ReservedNext, ReservedOverflow;
    uint32_t ReplayFailed;
    MetaFile* Installed; // the installed manifest, under RecordLock: what an earlier version put here
    uint32_t ReplayLost; // what stays on record could not all be written down
    int32_t ReplayError; // the first failure (errno) that kept the replay from its end, 0 for none
    // The copies the record names, name to identity (see CopyOf), under RecordLock: read from the
    // record on first use.
    HashTable* Copies;
    uint32_t CopiesLoaded;
    int32_t LoadError; // why the record could not be read, while it could not
    int32_t FolderLock; // holds the folder while this storage records copies (see HoldFolder)
    HashTable* Named; // the held names already named, under RecordLock: each is named once
    // The repository's mark in the record (see StorageFile_SetOwner), empty for none; and the
    // installation's own names below the folder (the local manifest's), under RecordLock.
    char Owner[kOwnerSize];
    char Kept[STORAGE_FILE_PATH_SIZE];
    char ReplayOwner[kOwnerSize];    // the mark of the entries the replay reads
    char ReplayMarked[kOwnerSize];   // the last mark written to what stays on record
    char RecordName[48];             // the record's name, chosen on first use (see OpenCopiesRecord)
    uint32_t RecordNumber;           // its number among the reserved names
    uint32_t RecordFound;            // RecordName held a record proven this storage's when last opened
    uint64_t ReplayOutStart;         // where the entries of what stays on record begin
    FileId ReplayId, ReplayOutId;      // the record replayed and what stays on record, as opened
    uint32_t ReplayOutNumber;          // the name of what stays on record, a free one of the record's
    char ReplayEndOwner[kOwnerSize]; // the mark in force where the first pass ended
    uint64_t ReplayOwnerAt;          // where the mark in force stands, kNoMark before any
    // Under RecordLock: the record marks the installation unfinished (see MarkUnfinished).
    uint32_t Unfinished;
    // Under RecordLock: this sync found the mark a stopped run left, and repairs what it changed.
    uint32_t Repairing;
    FileList* ReplayList; // under RecordLock: the file table a replay judges copies by, or none
    // Under RecordLock: the record (by inode) known to end with a whole entry at WholeEnd, as this
    // storage's own last append left it.
    uint64_t WholeInode;
    uint64_t WholeEnd;
    // Under CompletedLock: a folder (open) of each other file system a completed file of this
    // version lies on, by device, so that the flush before the manifest's save reaches them all.
    int32_t MountFolders[kMountsKept];
    uint64_t MountDevices[kMountsKept];
    uint32_t MountCount;
    uint64_t RootDevice; // the installation folder's own, once known (under CompletedLock)
    // This backend among every one the process made: a sweep knows the one it judged for by it, as
    // another made later may be given the same address.
    uint64_t Serial;
};

namespace {

void PreparePrint(StorageFile* b) {
    ClassPrint_Prepare(&b->Print, b, "StorageFile", StorageFile_PrintInternal);
}

// Fills the print block and looks its verbose level up once, before transfers on several threads
// read it.
void WarmPrint(StorageFile* b) {
    PreparePrint(b);
    ClassPrint_IsVerboseLevel(&b->Print, 0);
}

int64_t DeleteHandle(void** handle);

// ---- Names ---------------------------------------------------------------------------------------

struct Entry {
    char Name[STORAGE_FILE_PATH_SIZE];
    uint32_t Attributes;
    uint32_t HasAttributes;
    uint64_t Size;
    uint64_t Offset;
    int64_t Padding;
    double Modified;
    char Link[STORAGE_FILE_PATH_SIZE];
};

// The record's fields with its name held to the rule; 0 when the name is refused: one that leaves
// the folder, or one with a component the storage keeps for its own copies (a file there, or a
// folder there, would stand where a copy of another file is made), or one of the installation's
// own names.
int64_t ReadEntry(const StorageFile* b, FileList* list, FileListMember* member, Entry* entry) {
    memset(entry, 0, sizeof(*entry));
    char raw[STORAGE_FILE_PATH_SIZE];
    FileList_MemberGetName(list, member, raw, (int32_t)sizeof(raw));
    if (!StorageFilePath_Check(raw, entry->Name, (int32_t)sizeof(entry->Name))) return 0;
    if (StorageFilePath_IsReserved(entry->Name, b->PartialExtension) || StorageFilePath_IsKept(entry->Name, b->Kept))
        return 0;
    entry->HasAttributes = FileList_MemberGetAttributes(list, member, &entry->Attributes) ? 1 : 0;
    FileList_MemberGetSize(list, member, &entry->Size);
    FileList_MemberGetOffset(list, member, &entry->Offset);
    FileList_MemberGetPadding(list, member, &entry->Padding);
    FileList_MemberGetModifiedTime(list, member, &entry->Modified);
    FileList_MemberGetLink(list, member, entry->Link, (int32_t)sizeof(entry->Link));
    return 1;
}

bool IsLinkEntry(const Entry& entry) { return entry.HasAttributes && (entry.Attributes & kAttributeLink); }

FileList* ListOf(MetaFile* meta) {
    FileList* list = nullptr;
    if (meta) MetaFile_GetFileListHandle(meta, &list);
    return list;
}

constexpr auto Finish = StorageFileInternal_Finish;
constexpr auto FinishError = StorageFileInternal_FinishError;

// ---- Sets ----------------------------------------------------------------------------------------

bool CompletedHas(StorageFile* b, const char* name) {
    CriticalSectionGuard guard(b->CompletedLock);
    return HashTable_ContainsKey(b->Completed, name) != 0;
}

void CompletedSet(StorageFile* b, const char* name, bool on) {
    CriticalSectionGuard guard(b->CompletedLock);
    const bool has = HashTable_ContainsKey(b->Completed, name) != 0;
    if (on && !has) HashTable_Add(b->Completed, name, 1);
    if (!on && has) HashTable_Remove(b->Completed, name);
}

// ---- Open-file table -------------------------------------------------------------------------------

void FreeRecord(StorageFile* b, OpenRecord* r) {
    if (r->File) {
        AsyncFile_Close(r->File);
        AsyncFile_Release(&r->File);
    }
    StorageFileOS_Close(&r->Fd);
    StorageFileOS_Close(&r->Directory);
    CriticalSection_Delete(&r->Lock);
    CriticalSectionGuard guard(b->OpenLock);
    Pool_Free(b->Records, &r, sizeof(OpenRecord));
}

} // namespace

// Drops one reference of a record; the last one closes it unless it is a writer whose file is
// not yet complete: such a file stays open for the pieces still to come.
void StorageFile_CloseMember(StorageFile* b, OpenRecord* r, uint32_t complete) {
    bool last = false;
    {
        CriticalSectionGuard table(b->OpenLock);
        CriticalSectionGuard guard(r->Lock);
        if (complete && !r->Complete) r->Complete = 1;
        r->References--;
        if (r->References <= 0 && (!r->Write || r->Complete)) {
            last = true;
            if (r->Open) StorageFile_VerboseLog(b, 0, "Close (%s)", LogText(r->Name).Text);
            HashTable_Remove(b->OpenFiles, r->Name);
        }
    }
    if (last) FreeRecord(b, r);
}

namespace {

// How many names of its own a copy may try where its usual names are held.
constexpr uint32_t kAlternates = 64;
// The first number of a copy's name drawn at random (see MakeCopy).
constexpr uint32_t kRandomCopy = 1000000000u;

// The name of the copy beside `leaf`: "<leaf><suffix>", or "<leaf><suffix><n>" for a name of its
// own; an earlier version named that one "<leaf>.<n><suffix>" (legacy), which is another file's
// usual copy name. No listed name has a component of either form (StorageFilePath_IsReserved), and
// the suffix ends in neither a digit nor "~", so each copy name belongs to one file and one number.
// Room is left for the scratch name's "~". Refused (ENAMETOOLONG) rather than cut: a cut name could
// be another entry's, even the file's own.
int32_t PartialName(const StorageFile* b, const char* leaf, char* out, size_t size, uint32_t alternate = 0,
                    bool legacy = false) {
    char number[16] = "";
    if (alternate) snprintf(number, sizeof(number), legacy ? ".%u" : "%u", alternate);
    const size_t leafLength = strlen(leaf), numberLength = strlen(number), extensionLength = strlen(b->PartialExtension);
    if (leafLength + numberLength + extensionLength + 2 > size) {
        out[0] = 0;
        return ENAMETOOLONG;
    }
    const char* parts[3] = {leaf, legacy ? number : b->PartialExtension, legacy ? b->PartialExtension : number};
    size_t at = 0;
    for (const char* part : parts) {
        const size_t length = strlen(part);
        memcpy(out + at, part, length);
        at += length;
    }
    out[at] = 0;
    return 0;
}

// What the storage answers where a copy's name is held by an entry that is not its copy.
bool IsHeld(int32_t error) { return error == EPERM || error == EISDIR || error == EEXIST; }

// The folder of a completed file, when it lies on another file system than the installation's
// folder: kept open for the flush before the manifest's save (flushed at once where more are kept
// than kMountsKept). 0 or the errno value.
int32_t NoteMount(StorageFile* b, int32_t directory) {
    StorageFileOSStatus here{};
    int32_t error = StorageFileOS_StatusOf(directory, &here);
    CriticalSectionGuard guard(b->CompletedLock);
    if (!error && !b->RootDevice) {
        StorageFileOSStatus root{};
        int32_t top = -1;
        const char* leaf = nullptr;
        error = StorageFileOS_OpenParent(b->OutputPath, "x", 0, &top, &leaf);
        if (!error) error = StorageFileOS_StatusOf(top, &root);
        StorageFileOS_Close(&top);
        if (!error) b->RootDevice = root.Device;
    }
    if (error || here.Device == b->RootDevice) return error;
    for (uint32_t i = 0; i < b->MountCount; i++)
        if (b->MountDevices[i] == here.Device) return 0;
    if (b->MountCount == kMountsKept) return StorageFileOS_SyncFileSystemOf(directory);
    if ((error = StorageFileOS_Duplicate(directory, &b->MountFolders[b->MountCount])) != 0) return error;
    b->MountDevices[b->MountCount++] = here.Device;
    return 0;
}

// Whether the installed manifest lists the name; for a name ending in '/' (a folder), whether it
// lists anything below it: only then was the folder made for it.
uint32_t ListedInstalled(void* user, const char* name) {
    StorageFile* b = static_cast<StorageFile*>(user);
    const size_t length = strlen(name);
    if (length && name[length - 1] == '/') {
        FileList* list = nullptr;
        if (!b->Installed || !MetaFile_GetFileListHandle(b->Installed, &list) || !list) return 0;
        char listed[STORAGE_FILE_PATH_SIZE];
        FileListMember* member = nullptr;
        for (FileList_MemberGetFirst(list, &member); member; FileList_MemberGetNext(list, member, &member))
            if (FileList_MemberGetName(list, member, listed, (int32_t)sizeof(listed)) && strncmp(listed, name, length) == 0)
                return 1;
        return 0;
    }
    FileListIndex* index = nullptr;
    FileListMember* found = nullptr;
    uint64_t offset = 0;
    return b->Installed && MetaFile_GetFileListIndexHandle(b->Installed, &index) && index &&
                   FileList_IndexFindByName(index, name, &found, &offset)
               ? 1
               : 0;
}

// A folder at a copy's name goes only where an earlier version installed it: what the installed
// manifest lists in it is erased, and the folder once nothing else is left in it (EISDIR else).
int32_t ClearInstalledFolder(StorageFile* b, int32_t directory, const char* name, const char* leaf) {
    char prefix[STORAGE_FILE_PATH_SIZE * 2];
    const char* slash = strrchr(name, '/');
    String_Print(prefix, (int32_t)sizeof(prefix), "%.*s%s", slash ? (int)(slash + 1 - name) : 0, name, leaf);
    CriticalSectionGuard guard(b->RecordLock);
    if (!b->Installed) return EISDIR;
    const int32_t error = StorageFileOS_ClearListed(directory, leaf, prefix, b, ListedInstalled);
    if (!error) StorageFile_VerboseLog(b, 0, "Remove installed folder (%s%s)", b->OutputPath, LogText(prefix).Text);
    return error == EISDIR || error == EPERM || error == EXDEV ? EISDIR : error;
}

// Where this version needs a folder and the installed version has a file, that file gives way: the
// new version cannot list it (a name is not a file and a folder at once). Only a file the installed
// manifest lists goes; anything else in the way is left: ENOTDIR.
int32_t ClearInstalledFile(StorageFile* b, const char* name) {
    char prefix[STORAGE_FILE_PATH_SIZE];
    String_CopyLengthSafe(prefix, (int32_t)sizeof(prefix), name, (int32_t)strlen(name));
    for (char* slash = strchr(prefix, '/'); slash; slash = strchr(slash + 1, '/')) {
        *slash = 0;
        int32_t directory = -1;
        const char* leaf = nullptr;
        StorageFileOSStatus status{};
        int32_t error = StorageFileOS_OpenParent(b->OutputPath, prefix, 0, &directory, &leaf);
        if (!error) error = StorageFileOS_Status(directory, leaf, &status);
        if (!error && status.Kind == STORAGE_FILE_OS_FILE) {
            bool listed = false;
            {
                CriticalSectionGuard guard(b->RecordLock);
                listed = ListedInstalled(b, prefix) != 0;
            }
            if (!listed || status.OtherUser) {
                error = ENOTDIR;
            } else {
                Platform_EnsurePathMutableAt(directory, leaf);
                error = StorageFileOS_Remove(directory, leaf, 0);
                if (!error)
                    StorageFile_VerboseLog(b, 0, "Remove installed file in the way of a folder (%s%s)",
                                           b->OutputPath, LogText(prefix).Text);
            }
        }
        StorageFileOS_Close(&directory);
        if (error || status.Kind == STORAGE_FILE_OS_FILE) return error;
        *slash = '/';
    }
    return ENOTDIR;
}

// The copy takes the file's name. Where the installed version has a folder there, the folder goes
// first with what the installed manifest lists in it (EISDIR while anything else is left there).
int32_t RenameOver(StorageFile* b, OpenRecord* r) {
    int32_t error = StorageFileOS_Rename(r->Directory, r->PartialLeaf, r->Leaf);
    if (error == EISDIR) {
        if ((error = ClearInstalledFolder(b, r->Directory, r->Name, r->Leaf)) != 0)
            StorageFile_Print(b, "Folder in the way of file (%s) (%d)", LogText(r->Name).Text,
                              PLATFORM_ERROR_ERRNO_BASE + error);
        else
            error = StorageFileOS_Rename(r->Directory, r->PartialLeaf, r->Leaf);
    }
    return error;
}

// What a read finds where the installed version holds another shape (a file where a folder leads,
// a folder where a file is wanted) is not the file asked for.
bool NotThere(int32_t error, uint32_t write) {
    return error == ENOENT || (!write && (error == ENOTDIR || error == EISDIR));
}

// The full name of the entry `leaf` in the folder holding name, as the log shows it.
void ShowBeside(const StorageFile* b, const char* name, const char* leaf, char* out, int32_t size) {
    const char* slash = strrchr(name, '/');
    String_Print(out, size, "%s%.*s%s", b->OutputPath, slash ? (int)(slash + 1 - name) : 0, name, leaf);
}

// Whether the entry shown is named for the first time in this storage's life: each is named once.
bool NameOnce(StorageFile* b, const char* shown) {
    CriticalSectionGuard guard(b->RecordLock);
    if (HashTable_ContainsKey(b->Named, shown)) return false;
    HashTable_Add(b->Named, shown, 1);
    return true;
}

// Whether a checked name is one of the installation's own (see StorageFile_SetOwner).
bool KeptName(StorageFile* b, const char* name) {
    CriticalSectionGuard guard(b->RecordLock);
    return StorageFilePath_IsKept(name, b->Kept) != 0;
}

// Names, once, what holds one of a copy's names when it is not that copy.
void PrintHeld(StorageFile* b, const char* name, const char* leaf, int32_t error) {
    char shown[STORAGE_FILE_PATH_SIZE * 2];
    ShowBeside(b, name, leaf, shown, (int32_t)sizeof(shown));
    if (!NameOnce(b, shown)) return;
    if (error == EPERM)
        StorageFile_Print(b, "Name of a copy held by another user (%s) (%d)", LogText(shown).Text,
                          PLATFORM_ERROR_ERRNO_BASE + error);
    else if (error == EISDIR)
        StorageFile_Print(b, "Name of a copy held by a folder (%s) (%d)", LogText(shown).Text,
                          PLATFORM_ERROR_ERRNO_BASE + error);
    else
        StorageFile_Print(b, "Name of a copy held by an entry not the storage's own (%s) (%d)", LogText(shown).Text,
                          PLATFORM_ERROR_ERRNO_BASE + error);
}

// What stands at one of a new copy's names: 0 when nothing does; else why it is held. A folder an
// earlier version installed at the usual name goes with what it listed.
int32_t NameFree(StorageFile* b, int32_t directory, const char* name, const char* leaf, bool usual) {
    StorageFileOSStatus status{};
    int32_t error = StorageFileOS_Status(directory, leaf, &status);
    if (!error && status.Kind != STORAGE_FILE_OS_MISSING && status.OtherUser) return EPERM;
    if (!error && status.Kind == STORAGE_FILE_OS_DIRECTORY && usual &&
        (error = ClearInstalledFolder(b, directory, name, leaf)) == 0)
        error = StorageFileOS_Status(directory, leaf, &status);
    if (error) return error;
    if (status.Kind == STORAGE_FILE_OS_MISSING) return 0;
    if (status.Kind == STORAGE_FILE_OS_DIRECTORY) return EISDIR;
    // Nothing found at a copy's name is taken for one: the record says which copies are ours.
    return EEXIST;
}

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
// the effective user's and reached by no second name; every reader asks that (CopyOf). An earlier
// version wrote "<folders made> <name>" and "<folders made>:<n> <name>" without the file's identity:
// what those name is only ever removed once the sync ends, never taken up.

struct CopyId {
    uint64_t Device;
    uint64_t Inode;
    uint64_t Birth; // the proof of StorageFileOS_SameFile
    uint32_t Alternate;
};

// The room for one entry of the record of copies: its fields and a path. Entries of ours are
// never longer; readers pass over a longer one whole.
constexpr uint32_t kRecordEntrySize = STORAGE_FILE_PATH_SIZE + 96;

// The record's entry that marks the installation unfinished: a sync writes it, lasting, before it
// changes anything there, and a replay keeps it until the sync has completed. No entry of a copy
// reads so (each starts with a number).
constexpr char kUnfinished[] = "unfinished";

// The record's own file, found or made by descriptor (see below).
int32_t OpenCopiesRecord(StorageFile* b, uint32_t create, int32_t* fd);
const char* RecordLeaf(StorageFile* b);

void PrintRecordError(StorageFile* b, const char* leaf, int32_t error) {
    if (error == EPERM)
        StorageFile_Print(b, "Record of copies not the storage's own (%s%s) (%d)", b->OutputPath, leaf,
                          PLATFORM_ERROR_ERRNO_BASE + error);
    else if (error == EBUSY)
        StorageFile_Print(b, "Installation folder (%s) held by another repository (%d)", b->OutputPath,
                          PLATFORM_ERROR_ERRNO_BASE + error);
    else
        StorageFile_Print(b, "Failed to record copies (%s%s) (%d)", b->OutputPath, leaf,
                          PLATFORM_ERROR_ERRNO_BASE + error);
}

// Under RecordLock: the folder is this storage's alone while it records copies or replays the
// record, so that no other repository's record or replay judges this one's copies.
int32_t HoldFolder(StorageFile* b) {
    if (b->FolderLock >= 0) return 0;
    return StorageFileOS_HoldFolder(b->OutputPath, &b->FolderLock);
}

// Appends one record under RecordLock. A record whose last entry lost its tail (a write cut by a
// full disk) loses that entry first: it names no copy (none is made before its record is whole),
// and so is neither read as part of this one nor, given an end, as an entry of its own. A tail
// longer than any entry of ours only gets its end, as the reader passes over such an entry whole.
// A failed append takes back what it wrote where it can, and fails the copy before it is made.
int32_t AppendRecord(StorageFile* b, int32_t fd, const char* line, uint32_t length) {
    StorageRecordEnd known{b->WholeInode, b->WholeEnd};
    const int32_t error = StorageRecord_Append(fd, 0, line, length, kRecordEntrySize, &known);
    b->WholeInode = known.Inode;
    b->WholeEnd = known.End;
    return error;
}

// The mark this storage writes: its repository's, or the bare one of a storage no repository
// named, which stands for a repository not known, as entries before any mark do.
const char* MarkOf(const StorageFile* b) { return b->Owner[0] ? b->Owner : kOwnerMark; }

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
Owner OwnerOf(const StorageFile* b, const char* owner) {
    if (strcmp(owner, MarkOf(b)) == 0) return Owner::Mine;
    return strcmp(owner, kOwnerMark) == 0 ? Owner::Unknown : Owner::Other;
}

// The unfinished mark behind this repository's own mark, as one write: the mark is its alone.
uint32_t MarkedUnfinished(const StorageFile* b, char* line) {
    const size_t marked = strlen(MarkOf(b)) + 1;
    memcpy(line, MarkOf(b), marked);
    memcpy(line + marked, kUnfinished, sizeof(kUnfinished));
    return (uint32_t)(marked + sizeof(kUnfinished));
}

// Under RecordLock.
int32_t RecordCopyLocked(StorageFile* b, const char* name, uint32_t made, uint32_t alternate, uint64_t device,
                         uint64_t inode, uint64_t birth) {
    char line[kOwnerSize + kRecordEntrySize];
    // The mark and the entry in one write: no entry of this repository's stands after another's mark.
    const int32_t marked = (int32_t)strlen(MarkOf(b)) + 1;
    memcpy(line, MarkOf(b), (size_t)marked);
    const int32_t length = marked +
                           String_Print(line + marked, (int32_t)sizeof(line) - marked, "%u:%u:%llu:%llu:%llu %s", made,
                                        alternate, (unsigned long long)device, (unsigned long long)inode,
                                        (unsigned long long)birth, name) +
                           1;
    int32_t error = HoldFolder(b);
    // A replay under way reads to the end of the record, this one included.
    if (!error && b->ReplayFd < 0 && b->RecordFd < 0) error = OpenCopiesRecord(b, 1, &b->RecordFd);
    if (!error) error = AppendRecord(b, b->ReplayFd >= 0 ? b->ReplayFd : b->RecordFd, line, (uint32_t)length);
    if (error) PrintRecordError(b, RecordLeaf(b), error);
    return error;
}

int32_t RecordCopy(StorageFile* b, const char* name, uint32_t made, uint32_t alternate, uint64_t device,
                   uint64_t inode, uint64_t birth) {
    CriticalSectionGuard guard(b->RecordLock);
    return RecordCopyLocked(b, name, made, alternate, device, inode, birth);
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

bool ParseNumber(const char*& at, unsigned long long* value) {
    if (*at < '0' || *at > '9') return false;
    char* end = nullptr;
    errno = 0;
    *value = strtoull(at, &end, 10);
    if (errno) return false;
    at = end;
    return true;
}

// A record's fields; false for a record that is not one of ours, which names nothing of ours.
bool ParseRecord(const StorageFile* b, const char* record, RecordFields* f) {
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
        const bool drawn = !f->Legacy && numbers[1] >= kRandomCopy && numbers[1] <= UINT32_MAX;
        if ((numbers[1] > kAlternates && !drawn) || (f->Legacy && numbers[1] == 0)) return false;
        f->Alternate = (uint32_t)numbers[1];
    }
    if (count >= 4) {
        f->Device = numbers[2];
        f->Inode = numbers[3];
        // A proof only this process may hold is never one of the record's. A copy where nothing
        // proves a file is named at random, written down before the name is made: under that name
        // its device and inode are proof enough, for no one else can have put a file there.
        f->Birth = numbers[4] == STORAGE_FILE_OS_UNPROVEN ? 0 : numbers[4];
        if (f->Birth == 0 && f->Alternate >= kRandomCopy) f->Birth = STORAGE_FILE_OS_UNPROVEN;
    }
    return numbers[0] <= STORAGE_FILE_PATH_SIZE &&
           StorageFilePath_Check(at + 1, f->Name, STORAGE_FILE_PATH_SIZE) && strcmp(f->Name, at + 1) == 0 &&
           !StorageFilePath_IsReserved(f->Name, b->PartialExtension);
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
FileId IdOf(const StorageFileOSStatus& status) {
    const uint64_t proof = StorageFileOS_ProofOf(status);
    return FileId{status.Device, status.Inode, proof ? proof : STORAGE_FILE_OS_UNPROVEN};
}

// The reserved name of number n: the copies' suffix alone, then "<suffix><n>".
void RecordNameOf(const StorageFile* b, uint32_t n, char* out, int32_t size) {
    String_Print(out, size, n ? "%s%u" : "%s", b->PartialExtension, n);
}

// Whether every entry of the open file is one a record of ours holds: what an earlier version's
// record holds, and no file of anyone else's. A last entry cut while it was written counts only
// after a whole one (a file without a NUL is text, not a record); an empty file (a create cut
// before its first entry) holds nothing to lose.
bool AllEntriesOurs(const StorageFile* b, int32_t fd) {
    char buffer[kRecordEntrySize], owner[kOwnerSize];
    uint64_t offset = 0, size = 0, inode = 0;
    bool passing = false, whole = false, any = false;
    RecordFields f;
    while (ReadRecord(fd, &offset, &passing, buffer, (uint32_t)sizeof(buffer), &whole)) {
        if (!whole ||
            !(NoteOwner(buffer, owner) || strcmp(buffer, kUnfinished) == 0 || ParseRecord(b, buffer, &f)))
            return false;
        any = true;
    }
    return StorageFileOS_SizeOf(fd, &size, &inode) == 0 && (offset == size || any);
}

enum class Proven { Ours, Earlier, Moved, Empty, Not };

// Whether the open file (opened by OpenOwn: a private file of ours reached by one name) is a record
// of this storage's: its first entry names the file itself; or, at the usual name (primary), one an
// earlier version made. *start: where the entries begin.
Proven ProveRecord(const StorageFile* b, int32_t fd, bool primary, uint64_t* start) {
    const int32_t marked = StorageRecord_Prove(fd, start);
    if (marked > 0) return Proven::Ours;
    return marked == 0 && primary && AllEntriesOurs(b, fd) ? Proven::Earlier : Proven::Not;
}

bool MovedRecord(int32_t fd, uint64_t* start) { return StorageRecord_Moved(fd, start) != 0; }

// The name, held by an entry not proven the storage's record, named once.
void NameHeldRecord(StorageFile* b, const char* name) {
    char shown[STORAGE_FILE_PATH_SIZE * 2];
    String_Print(shown, (int32_t)sizeof(shown), "%s%s", b->OutputPath, name);
    if (HashTable_ContainsKey(b->Named, shown)) return;
    HashTable_Add(b->Named, shown, 1);
    StorageFile_Print(b, "Record of copies not the storage's own (%s) (%d)", LogText(shown).Text,
                      PLATFORM_ERROR_ERRNO_BASE + EPERM);
}

// Opens what stands at a record's name (for reading and writing) when it proves a record of ours:
// 0 with *fd; ENOENT for nothing there; EPERM for an entry that is not a record of ours; or why the
// name could not be opened. A record of ours that no longer proves itself (Proven::Moved) is opened
// for reading only: a second name of it may lie elsewhere, and nothing is ever written through it.
int32_t OpenProven(const StorageFile* b, int32_t directory, const char* name, bool primary, int32_t* fd,
                   Proven* proven, uint64_t* start) {
    *proven = Proven::Not;
    int32_t error = StorageFileOS_OpenOwn(directory, name, 0, 1, fd);
    // Whatever else stands there (a link, a folder, a fifo, another user's file, one of ours not
    // private) is held; a failure of this process or the disk is not.
    if (error == ELOOP || error == EACCES || error == EISDIR || error == ENXIO || error == ETXTBSY ||
        error == EWOULDBLOCK || error == EEXIST)
        error = EPERM;
    if (!error) {
        *proven = ProveRecord(b, *fd, primary, start);
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
int32_t MakeRecord(int32_t directory, const char* name, int32_t* fd, uint64_t* start, FileId* id) {
    uint64_t numbers[3] = {};
    const int32_t error = StorageRecord_Make(directory, name, fd, start, numbers);
    *id = FileId{numbers[0], numbers[1], numbers[2]};
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
uint32_t RandomRecordNumber(const StorageFile* b, const char* name) {
    const size_t length = strlen(b->PartialExtension);
    if (strncmp(name, b->PartialExtension, length) != 0 || strlen(name + length) != 10) return 0;
    unsigned long long n = 0;
    const char* at = name + length;
    if (!ParseNumber(at, &n) || *at || n < kRandomNumber || n > UINT32_MAX) return 0;
    return (uint32_t)n;
}

// Makes a new record at a free name: the first of the names tried in turn, from `from`, else one
// drawn at random. 0 with *fd, *number and the file's identity; or the errno value.
int32_t MakeRecordFree(const StorageFile* b, int32_t directory, uint32_t from, uint32_t skip, int32_t* fd,
                       uint64_t* start, FileId* id, uint32_t* number) {
    char name[sizeof(b->RecordName)];
    int32_t error = EEXIST;
    for (uint32_t n = from, tries = 0; error == EEXIST && tries < 8; n = n < kAlternates ? n + 1 : kRandomNumber) {
        if (n == skip) continue;
        if (n >= kRandomNumber) {
            tries++;
            if ((n = RandomNumber()) == 0) return EIO;
        }
        RecordNameOf(b, n, name, (int32_t)sizeof(name));
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

// Under RecordLock, with the folder held: takes what the found record holds into the record `into`
// and removes the found one's name (its other names, if any, stay). Its entries keep their marks;
// those before any mark are of a repository not known, as in any record. A record that no longer
// proves itself may hold this installation's state, which is then not known: every repository
// marked in it, and this one, finds the installation unfinished, and repairs it.
int32_t AdoptRecord(StorageFile* b, int32_t directory, int32_t into, const FoundRecord& found) {
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
        for (uint32_t m = 0; m < markCount; m++) mine = mine || strcmp(marks[m], MarkOf(b)) == 0;
        if (!mine) String_CopyLength(marks[markCount++], MarkOf(b), (int32_t)kOwnerSize);
    }
    for (uint32_t m = 0; unknown && !error && m < markCount; m++) {
        char line[kOwnerSize + sizeof(kUnfinished)];
        const size_t marked = strlen(marks[m]) + 1;
        memcpy(line, marks[m], marked);
        memcpy(line + marked, kUnfinished, sizeof(kUnfinished));
        error = AppendRecord(b, into, line, (uint32_t)(marked + sizeof(kUnfinished)));
    }
    // This repository's own state not known, it repairs.
    if (unknown && !error) b->Unfinished = 1;
    // What it held lasts in the record taken before its own name goes.
    if (!error) error = StorageFileOS_SyncFile(into);
    char name[sizeof(b->RecordName)];
    RecordNameOf(b, found.Number, name, (int32_t)sizeof(name));
    if (!error) error = StorageFileOS_RemoveName(directory, name, status.Device, status.Inode);
    // Another entry came at the name meanwhile: what was read is taken, that one is not ours.
    if (error == EEXIST) error = 0;
    if (!error && found.Moved) {
        char shown[STORAGE_FILE_PATH_SIZE * 2];
        String_Print(shown, (int32_t)sizeof(shown), "%s%s", b->OutputPath, name);
        if (unknown)
            StorageFile_Print(b, "Record of copies moved or copied, taken up (%s): the installation is repaired",
                              LogText(shown).Text);
        else
            StorageFile_Print(b, "Record of copies reached by a second name, taken up (%s)", LogText(shown).Text);
    }
    return error;
}

// One name of the walk judged: the record taken, a record found beside it, a free name, or a name
// held by anything else (named once and left: never read, written or removed).
struct Walk {
    StorageFile* Backend;
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
    StorageFile* b = w.Backend;
    char name[sizeof(b->RecordName)];
    RecordNameOf(b, n, name, (int32_t)sizeof(name));
    int32_t found = -1;
    Proven proven = Proven::Not;
    uint64_t start = 0;
    const int32_t opened = OpenProven(b, w.Directory, name, n == 0, &found, &proven, &start);
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
        NameHeldRecord(b, name);
        w.Held++;
    } else if (!w.Error) {
        w.Error = opened;
    }
}

int32_t WalkRandomName(void* user, const char* name) {
    Walk& w = *static_cast<Walk*>(user);
    if (const uint32_t n = RandomRecordNumber(w.Backend, name)) WalkName(w, n);
    return 1;
}

// Under RecordLock: opens this storage's record, by descriptor, for reading and writing. The name
// found before is proven again on what its open reaches; else every reserved name is walked (and,
// where another holds any of them, the names drawn at random found by listing the folder), the
// first proven record of ours taken (one at the usual name that an earlier version made when none
// is), and each name held by anything else named once and left: never read, written or removed.
// Every other record of ours found (one no longer proving itself included) is taken into it and
// its name removed. With create, where none is found, the first free name takes a new record; a
// name taken between the walk and the exclusive create passes to the next. ENOENT: no record, and
// none made.
int32_t OpenCopiesRecord(StorageFile* b, uint32_t create, int32_t* fd) {
    *fd = -1;
    int32_t directory = -1;
    const char* leaf = nullptr;
    int32_t error = StorageFileOS_OpenParent(b->OutputPath, b->PartialExtension, 0, &directory, &leaf);
    Proven proven = Proven::Not;
    uint64_t start = 0;
    if (!error && b->RecordFound &&
        OpenProven(b, directory, b->RecordName, b->RecordNumber == 0, fd, &proven, &start) == 0) {
        if (proven == Proven::Ours || proven == Proven::Earlier) {
            StorageFileOS_Close(&directory);
            return 0;
        }
        StorageFileOS_Close(fd);
    }
    b->RecordFound = 0;
    Walk w;
    w.Backend = b;
    w.Directory = directory;
    for (uint32_t n = 0; !error && n <= kAlternates; n++) WalkName(w, n);
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
    if (!error && w.FoundCount > 0) error = HoldFolder(b);
    if (!error && w.Chosen < 0 && w.FoundCount > 0) {
        FileId id{};
        error = MakeRecordFree(b, directory, w.Free == UINT32_MAX ? kRandomNumber : w.Free, UINT32_MAX, &w.Chosen,
                               &w.Start, &id, &w.Number);
    }
    for (uint32_t i = 0; i < w.FoundCount; i++) {
        if (!error) error = AdoptRecord(b, directory, w.Chosen, w.Found[i]);
        StorageFileOS_Close(&w.Found[i].Fd);
    }
    if (!error && w.Chosen >= 0) {
        *fd = w.Chosen;
        w.Chosen = -1;
        b->RecordNumber = w.Number;
    }
    StorageFileOS_Close(&w.Chosen);
    if (!error && *fd < 0) {
        FileId id{};
        error = create ? MakeRecordFree(b, directory, w.Free == UINT32_MAX ? kRandomNumber : w.Free, UINT32_MAX, fd,
                                        &start, &id, &b->RecordNumber)
                       : ENOENT;
        if (!create) b->RecordNumber = w.Free != UINT32_MAX ? w.Free : 0;
        if (error && error != ENOENT) b->RecordNumber = 0;
    }
    StorageFileOS_Close(&directory);
    RecordNameOf(b, b->RecordNumber, b->RecordName, (int32_t)sizeof(b->RecordName));
    b->RecordFound = *fd >= 0 ? 1 : 0;
    return error;
}

// Under RecordLock: the record's name (see OpenCopiesRecord), for the log and the replay's scratch name.
const char* RecordLeaf(StorageFile* b) {
    if (!b->RecordName[0]) {
        int32_t fd = -1;
        OpenCopiesRecord(b, 0, &fd);
        StorageFileOS_Close(&fd);
        if (!b->RecordName[0])
            String_CopyLength(b->RecordName, b->PartialExtension, (int32_t)sizeof(b->RecordName));
    }
    return b->RecordName;
}

// Under RecordLock: what a stopped replay left at its scratch name goes when it proves a record of
// ours as the record would (see OpenCopiesRecord); anything else there is named once and left (EPERM).
int32_t ClearScratch(StorageFile* b, int32_t directory, const char* scratch) {
    int32_t fd = -1;
    Proven proven = Proven::Not;
    uint64_t start = 0;
    int32_t error = OpenProven(b, directory, scratch, b->RecordNumber == 0, &fd, &proven, &start);
    if (error == ENOENT) return 0;
    if (error == EPERM) NameHeldRecord(b, scratch);
    StorageFileOSStatus status{};
    if (!error) error = StorageFileOS_StatusOf(fd, &status);
    StorageFileOS_Close(&fd);
    const FileId id = IdOf(status);
    return error ? error : StorageFileOS_RemoveCopy(directory, scratch, id.Device, id.Inode, id.Proof);
}

// Under RecordLock: the copy of name the record names, or none.
void SetCopy(StorageFile* b, const char* name, const CopyId* id) {
    uint64_t value = 0;
    if (HashTable_GetValue(b->Copies, name, &value)) {
        CopyId* old = reinterpret_cast<CopyId*>(value);
        HashTable_Remove(b->Copies, name);
        Memory_Free(old, sizeof(CopyId));
    }
    if (!id) return;
    CopyId* copy = static_cast<CopyId*>(Memory_Alloc(sizeof(CopyId)));
    *copy = *id;
    HashTable_Add(b->Copies, name, (uint64_t)(uintptr_t)copy);
}

void DropCopy(StorageFile* b, const char* name) {
    CriticalSectionGuard guard(b->RecordLock);
    SetCopy(b, name, nullptr);
}

// Under RecordLock: the record read once, the last record of a name winning. One that could not be
// read (a fault of the disk, not "none there") is no empty record: it is read again at the next
// call, and until then what it holds is unknown (LoadError).
void LoadCopies(StorageFile* b) {
    if (b->CopiesLoaded) return;
    int32_t fd = -1;
    const int32_t opened = b->PartialExtension[0] ? OpenCopiesRecord(b, 0, &fd) : ENOENT;
    b->LoadError = opened == ENOENT ? 0 : opened;
    if (b->LoadError) return;
    b->CopiesLoaded = 1;
    if (opened == 0) {
        char buffer[kRecordEntrySize];
        uint64_t offset = 0;
        bool passing = false, whole = false;
        RecordFields f;
        char owner[kOwnerSize] = "owner:";
        while (ReadRecord(fd, &offset, &passing, buffer, (uint32_t)sizeof(buffer), &whole)) {
            if (!whole || NoteOwner(buffer, owner)) continue;
            if (strcmp(buffer, kUnfinished) == 0) {
                if (OwnerOf(b, owner) == Owner::Mine) b->Unfinished = 1;
                continue;
            }
            if (!ParseRecord(b, buffer, &f) || f.Legacy || f.Inode == 0 || OwnerOf(b, owner) == Owner::Other) continue;
            const CopyId id{f.Device, f.Inode, f.Birth, f.Alternate};
            SetCopy(b, f.Name, &id);
        }
    }
    StorageFileOS_Close(&fd);
}

// The copy of name the record names: 1 with its identity, else 0.
bool RecordedCopy(StorageFile* b, const char* name, CopyId* id) {
    CriticalSectionGuard guard(b->RecordLock);
    LoadCopies(b);
    uint64_t value = 0;
    if (!HashTable_GetValue(b->Copies, name, &value)) return false;
    *id = *reinterpret_cast<const CopyId*>(value);
    return true;
}

// The one question every reader asks: is there a copy of name (whose last component, leaf, lies in
// directory) that this storage made? true with its name when the record names it and that very
// file stands under it, whatever mode it already has.
bool CopyOf(StorageFile* b, int32_t directory, const char* name, const char* leaf, char* copy, size_t size,
            CopyId* id) {
    copy[0] = 0;
    if (!b->PartialExtension[0] || !RecordedCopy(b, name, id)) return false;
    if (PartialName(b, leaf, copy, size, id->Alternate) != 0) return false;
    StorageFileOSStatus status{};
    return StorageFileOS_Status(directory, copy, &status) == 0 && status.OwnSingle &&
           StorageFileOS_SameFile(status, id->Device, id->Inode, id->Birth);
}

// Under RecordLock: whether the installed manifest lists attributes for the very file name (its
// index finds a name without regard to case), and which.
bool InstalledAttributes(StorageFile* b, const char* name, uint32_t* attributes) {
    FileListIndex* index = nullptr;
    FileListMember* found = nullptr;
    uint64_t offset = 0;
    char listed[STORAGE_FILE_PATH_SIZE];
    if (!b->Installed || !MetaFile_GetFileListIndexHandle(b->Installed, &index) || !index ||
        !FileList_IndexFindByName(index, name, &found, &offset))
        return false;
    FileList* list = ListOf(b->Installed);
    FileList_MemberGetName(list, found, listed, (int32_t)sizeof(listed));
    return strcmp(listed, name) == 0 && FileList_MemberGetAttributes(list, found, attributes);
}

// Whether the link at a file's name is ours to replace: one the record identifies (a stopped run
// made it for a version never completed), or a link entry of the installed version there.
bool LinkGivesWay(StorageFile* b, const char* name, const StorageFileOSStatus& status) {
    if (status.OtherUser) return false;
    CopyId id{};
    if (RecordedCopy(b, name, &id) && StorageFileOS_SameFile(status, id.Device, id.Inode, id.Birth)) return true;
    CriticalSectionGuard guard(b->RecordLock);
    uint32_t attributes = 0;
    return InstalledAttributes(b, name, &attributes) && (attributes & kAttributeLink);
}

// Makes the copy of the file a write opened (the installed file's bytes, when there is one, so
// that pieces the versions share are already in place), names it, and leaves it open in r->Fd.
// The first free name is taken: the usual one, else one of its own; what holds a name is named and
// left, never opened. The file is made without a name and recorded before it is named, so no kill
// leaves a copy the record does not identify. A copy that cannot fit fails before its first byte.
int32_t MakeCopy(StorageFile* b, OpenRecord* r, const char* name, uint32_t made, const StorageFileOSStatus& status) {
    const bool installed = status.Kind == STORAGE_FILE_OS_FILE;
    if (installed) {
        uint64_t free = 0;
        int32_t error = StorageFileOS_FreeSpace(r->Directory, &free);
        if (!error && free < status.Size) {
            char folder[STORAGE_FILE_PATH_SIZE * 2];
            String_Print(folder, (int32_t)sizeof(folder), "%s%s", b->OutputPath, name);
            Path_RemoveFilename(folder);
            StorageFile_Print(b, "Not enough space in folder (%s) for a copy of (%s): %llu bytes needed, %llu free",
                              LogText(folder).Text, LogText(name).Text, (unsigned long long)status.Size,
                              (unsigned long long)free);
            return ENOSPC;
        }
    }
    for (uint32_t n = 0; n <= kAlternates; n++) {
        char leaf[STORAGE_FILE_PATH_SIZE], scratch[STORAGE_FILE_PATH_SIZE + 8];
        int32_t error = PartialName(b, r->Leaf, leaf, sizeof(leaf), n);
        if (!error) {
            String_Print(scratch, (int32_t)sizeof(scratch), "%s~", leaf);
            for (const char* entry : {(const char*)scratch, (const char*)leaf}) {
                error = NameFree(b, r->Directory, name, entry, n == 0);
                if (IsHeld(error)) PrintHeld(b, name, entry, error);
                if (error) break;
            }
            if (IsHeld(error)) continue;
        }
        if (error) {
            // Too long for the folder: refused, never cut into another name.
            StorageFile_Print(b, n ? "No name of its own for a copy of (%s%s) (%d)" : "No name for a copy of (%s%s) (%d)",
                              b->OutputPath, LogText(name).Text, PLATFORM_ERROR_ERRNO_BASE + error);
            return error;
        }
        int32_t fd = -1;
        const char* named = nullptr;
        error = StorageFileOS_OpenUnnamed(r->Directory, &fd);
        if (error == EOPNOTSUPP) {
            // No unnamed files here: the scratch name is recorded as reserved before it is made
            // (by an exclusive create), so a kill's leavings there are found.
            named = scratch;
            error = RecordCopy(b, name, made, n, 0, 0, 0);
            if (!error) error = StorageFileOS_OpenOwn(r->Directory, scratch, 1, 1, &fd);
            if (error == EEXIST) continue;
        }
        if (!error && installed && (error = StorageFileOS_CopyInto(r->Directory, r->Leaf, fd)) != 0)
            StorageFile_Print(b, "Failed to copy file (%s) (%d)", LogText(name).Text, PLATFORM_ERROR_ERRNO_BASE + error);
        StorageFileOSStatus made_{};
        if (!error) error = StorageFileOS_StatusOf(fd, &made_);
        // Without a birth time the copy gets a token; where it cannot, nothing will prove it later
        // but its name: one drawn at random, which no one can have taken before it is made (its
        // record names it first), so that whatever run comes next knows it for the copy made.
        if (!error && !made_.Birth) StorageFileOS_Mark(fd, &made_);
        uint32_t alternate = n;
        for (int tries = 0; !error && !StorageFileOS_ProofOf(made_) && alternate <= kAlternates; tries++) {
            uint32_t drawn = 0;
            if (tries == 8 || !Platform_CryptFill(&drawn, (int32_t)sizeof(drawn))) {
                error = tries == 8 ? EEXIST : EIO;
                break;
            }
            drawn = kRandomCopy + drawn % 3000000000u;
            char random[STORAGE_FILE_PATH_SIZE];
            if ((error = PartialName(b, r->Leaf, random, sizeof(random), drawn)) != 0) break;
            error = NameFree(b, r->Directory, name, random, false);
            if (IsHeld(error)) error = 0;
            else if (!error) {
                alternate = drawn;
                memcpy(leaf, random, sizeof(leaf));
            }
        }
        if (!error) {
            // Recorded and named in one step for a replay, which would otherwise find the record
            // naming a copy not yet there, and forget it.
            CriticalSectionGuard guard(b->RecordLock);
            const uint64_t proof = StorageFileOS_ProofOf(made_);
            error = RecordCopyLocked(b, name, made, alternate, made_.Device, made_.Inode, proof);
            if (!error) error = StorageFileOS_NameCopy(r->Directory, fd, named, leaf);
            // Where nothing can prove it, the name drawn at random does (see ParseRecord).
            const CopyId id{made_.Device, made_.Inode, proof ? proof : STORAGE_FILE_OS_UNPROVEN, alternate};
            if (!error) SetCopy(b, name, &id);
        }
        if (error) {
            StorageFileOS_Close(&fd);
            if (named) StorageFileOS_RemoveOwn(r->Directory, scratch);
            // An entry that took the name first is passed over.
            if (error == EEXIST) continue;
            return error;
        }
        String_CopyLengthSafe(r->PartialLeaf, (int32_t)sizeof(r->PartialLeaf), leaf, (int32_t)strlen(leaf));
        r->Fd = fd;
        r->Copied = installed ? 1 : 0;
        if (n && n <= kAlternates) {
            char shown[STORAGE_FILE_PATH_SIZE * 2];
            ShowBeside(b, name, leaf, shown, (int32_t)sizeof(shown));
            StorageFile_VerboseLog(b, 0, "Copy under a name of its own (%s)", LogText(shown).Text);
        }
        return 0;
    }
    StorageFile_Print(b, "No free name for a copy of (%s%s)", b->OutputPath, LogText(name).Text);
    return EEXIST;
}

} // namespace

// Finds or makes the record of a checked name, takes a reference and opens the file when it is
// not open yet. 0 (and the reference given back) with the result pair when it cannot be opened.
int64_t StorageFile_Open(StorageFile* b, const char* name, uint32_t write, uint32_t selfUpdate, OpenRecord** out,
                         uint32_t* code, uint32_t* extended) {
    *out = nullptr;
    *code = 0;
    *extended = 0;
    OpenRecord* r = nullptr;
    CriticalSection_Lock(b->OpenLock);
    for (;;) {
        uint64_t value = 0;
        if (HashTable_GetValue(b->OpenFiles, name, &value)) {
            r = reinterpret_cast<OpenRecord*>(value);
            // A writer never shares a record opened for reading: wait until it is closed.
            if (write && !r->Write) {
                CriticalSection_Unlock(b->OpenLock);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                CriticalSection_Lock(b->OpenLock);
                continue;
            }
            break;
        }
        r = static_cast<OpenRecord*>(Pool_Alloc(b->Records, sizeof(OpenRecord)));
        memset(r, 0, sizeof(*r));
        r->Fd = -1;
        r->Directory = -1;
        r->Write = write;
        CriticalSection_Create(&r->Lock);
        String_CopyLengthSafe(r->Name, (int32_t)sizeof(r->Name), name, (int32_t)strlen(name));
        HashTable_Add(b->OpenFiles, r->Name, (uint64_t)(uintptr_t)r);
        break;
    }
    r->References++;
    CriticalSection_Lock(r->Lock);
    CriticalSection_Unlock(b->OpenLock);

    int32_t error = 0;
    if (!r->Open) {
        uint32_t options = (r->Write ? STORAGE_FILE_OPEN_READ | STORAGE_FILE_OPEN_WRITE
                                     : STORAGE_FILE_OPEN_READ | STORAGE_FILE_OPEN_SHARED) |
                           b->ExtraFileFlags;
        if (r->Write && selfUpdate) options |= STORAGE_FILE_OPEN_SELF_UPDATE;
        const char* leaf = nullptr;
        uint32_t made = 0;
        error = StorageFileOS_OpenParent(b->OutputPath, name, 0, &r->Directory, &leaf, &made);
        if (error == ENOTDIR && r->Write && (error = ClearInstalledFile(b, name)) == 0)
            error = StorageFileOS_OpenParent(b->OutputPath, name, 0, &r->Directory, &leaf, &made);
        // The folders a write makes are on record before they are made, so that a run killed
        // before its copy is recorded leaves none of them behind once a later run completes.
        if (error == ENOENT && r->Write && made > 0 && (error = RecordCopy(b, name, made, 0, 0, 0, 0)) == 0)
            error = StorageFileOS_OpenParent(b->OutputPath, name, 1, &r->Directory, &leaf, &made);
        StorageFileOSStatus status{};
        CopyId id{};
        bool ours = false;
        if (!error) String_CopyLengthSafe(r->Leaf, (int32_t)sizeof(r->Leaf), leaf, (int32_t)strlen(leaf));
        // A read opens the name without following a link (ELOOP), so only a write asks first.
        if (!error && r->Write) error = StorageFileOS_Status(r->Directory, r->Leaf, &status);
        if (!error) ours = CopyOf(b, r->Directory, name, r->Leaf, r->PartialLeaf, sizeof(r->PartialLeaf), &id);
        // A link of ours where this version lists a file gives way to the file, as a file does.
        if (!error && status.Kind == STORAGE_FILE_OS_LINK && r->Write && LinkGivesWay(b, name, status))
            status.Kind = STORAGE_FILE_OS_MISSING;
        if (!error && status.Kind == STORAGE_FILE_OS_LINK) error = ELOOP;
        if (!error) {
            // A file being written always carries a copy's name until it is complete, and the
            // installed version stays whole under its own name until then: a write starts from a
            // copy of it beside it (pieces the versions share are then already in place), and a
            // read goes to that copy while it exists, for it holds what has been written so far.
            r->Partial = ours || r->Write;
            const char* working = r->Partial && ours ? r->PartialLeaf : r->Leaf;
            if (r->Partial) options |= STORAGE_FILE_OPEN_PARTIAL;
            char shown[STORAGE_FILE_PATH_SIZE * 2];
            ShowBeside(b, name, working, shown, (int32_t)sizeof(shown));
            StorageFile_VerboseLog(b, 0, "Open (%s) (%d)", LogText(shown).Text, (int32_t)options);
            // The storage's copies are made new or taken only as the record identifies them; the
            // installed file is only ever read here.
            if (ours) error = StorageFileOS_OpenCopy(r->Directory, r->PartialLeaf, id.Device, id.Inode, id.Birth, r->Write, &r->Fd);
            else if (r->Write) error = MakeCopy(b, r, name, made, status);
            else error = StorageFileOS_OpenFile(r->Directory, r->Leaf, 0, &r->Fd);
            // Nor is a link that gives way to the file (any other is refused).
            if (error == ELOOP && !r->Write && StorageFileOS_Status(r->Directory, r->Leaf, &status) == 0 &&
                status.Kind == STORAGE_FILE_OS_LINK && LinkGivesWay(b, name, status))
                error = ENOENT;
            if (error == EPERM)
                StorageFile_Print(b, "Not the storage's own file (%s) (%d)", LogText(shown).Text,
                                  PLATFORM_ERROR_ERRNO_BASE + error);
            else if (error && !NotThere(error, r->Write) && !(r->Write && !ours))
                StorageFile_Print(b, "Failed to open file (%s) (%d)", LogText(shown).Text,
                                  PLATFORM_ERROR_ERRNO_BASE + error);
            if (r->Write && !ours && !error) ShowBeside(b, name, r->PartialLeaf, shown, (int32_t)sizeof(shown));
            int32_t copy = -1;
            if (!error) error = StorageFileOS_Duplicate(r->Fd, &copy);
            if (!error) {
                AsyncFile_Create(&r->File);
                AsyncFile_SetRetries(r->File, 1);
                MeterRW* meter = nullptr;
                MeterRW* parent = nullptr;
                if (b->Front && Storage_GetMeterRWHandle(b->Front, &parent) && parent &&
                    AsyncFile_GetMeterRWHandle(r->File, &meter) && meter)
                    MeterRW_SetParentHandle(meter, parent);
                const FileOpenFlags flags = r->Write ? FILE_READ | FILE_WRITE : FILE_READ;
                if (!AsyncFile_OpenDescriptor(r->File, copy, shown, flags)) error = EBADF;
                else if (b->ExtraFileFlags & STORAGE_FILE_NO_BUFFER) Platform_AsyncFileSetNoCache(copy);
            }
            if (!error) {
                r->Open = 1;
                if (r->Write) CompletedSet(b, name, false);
            }
        }
        if (NotThere(error, r->Write)) error = ENOENT;
        if (error && r->File) {
            AsyncFile_Close(r->File);
            AsyncFile_Release(&r->File);
        }
        if (error) {
            StorageFileOS_Close(&r->Fd);
            StorageFileOS_Close(&r->Directory);
        }
    }
    CriticalSection_Unlock(r->Lock);
    if (error) {
        StorageFileInternal_ErrorPair(error, code, extended);
        // Nothing is open: the record goes with its last reference whatever kind it is.
        {
            CriticalSectionGuard table(b->OpenLock);
            if (!r->Open) r->Complete = 1;
        }
        StorageFile_CloseMember(b, r, 0);
        return 0;
    }
    *out = r;
    return 1;
}

namespace {

// The manifest's attributes as this system keeps them: read-only and executable; hidden follows
// from the name here and is neither compared nor set.
uint32_t FileAttributesBack(int32_t directory, const char* leaf, uint32_t* attributes) {
    PlatformFileAttributes file = 0;
    if (!Platform_GetFileAttributesAt(directory, leaf, &file)) return 0;
    *attributes = (file & PLATFORM_FILE_ATTRIBUTE_READONLY ? kAttributeReadOnly : 0) |
                  (file & PLATFORM_FILE_ATTRIBUTE_EXECUTABLE ? kAttributeExecutable : 0);
    return 1;
}

// Whether a link's present target is the wanted one: the same text, or the same once both are
// made absolute against the link's directory.
bool SameTarget(const char* root, const char* name, const char* present, const char* wanted) {
    if (strcmp(present, wanted) == 0) return true;
    char directory[STORAGE_FILE_PATH_SIZE * 2];
    String_Print(directory, (int32_t)sizeof(directory), "%s%s", root, name);
    Path_RemoveFilename(directory);
    char a[STORAGE_FILE_PATH_SIZE * 3], b[STORAGE_FILE_PATH_SIZE * 3];
    String_Print(a, (int32_t)sizeof(a), "%s%s", present[0] == '/' ? "" : directory, present);
    String_Print(b, (int32_t)sizeof(b), "%s%s", wanted[0] == '/' ? "" : directory, wanted);
    Path_FixSlash(a, (int32_t)sizeof(a), 0);
    Path_FixSlash(b, (int32_t)sizeof(b), 0);
    return strcmp(a, b) == 0;
}

// Whether a completed file is given the manifest's attributes (checked and set). Where it lists
// none, the file's mode is left as it is, the user's own included, unless this program may have
// set it: the installed version lists attributes for it, or a run stopped before it completed,
// which may have given it those of a version never installed. It then gets attributes 0 (an entry
// holds 0 for none), the mode of a new file, as the same version would give it had that run never been.
bool WantedAttributes(StorageFile* b, const Entry& entry) {
    if (b->SkipAttributes) return false;
    if (entry.HasAttributes) return true;
    CriticalSectionGuard guard(b->RecordLock);
    uint32_t installed = 0;
    return b->Repairing || InstalledAttributes(b, entry.Name, &installed);
}

// Whether this storage holds the file open for writing, under its copy.
bool WriterOpen(StorageFile* b, const char* name) {
    CriticalSectionGuard guard(b->OpenLock);
    uint64_t value = 0;
    if (!HashTable_GetValue(b->OpenFiles, name, &value)) return false;
    OpenRecord* r = reinterpret_cast<OpenRecord*>(value);
    CriticalSectionGuard record(r->Lock);
    return r->Write && r->Open && r->Partial;
}

// Makes the link a manifest lists, as a copy is made: under a scratch name beside its place that
// is on record before the link is made there, then recorded by its identity before it takes its
// place; so no kill leaves a link of a version never completed that the record does not name. A
// name held by what is not ours is passed over for one of its own.
int32_t MakeLink(StorageFile* b, int32_t directory, const char* name, const char* leaf, uint32_t made,
                 const char* target) {
    if (!b->PartialExtension[0]) return StorageFileOS_CreateLink(directory, leaf, target);
    for (uint32_t n = 0; n <= kAlternates; n++) {
        char copy[STORAGE_FILE_PATH_SIZE], scratch[STORAGE_FILE_PATH_SIZE + 8];
        int32_t error = PartialName(b, leaf, copy, sizeof(copy), n);
        if (error) return error;
        String_Print(scratch, (int32_t)sizeof(scratch), "%s~", copy);
        error = NameFree(b, directory, name, scratch, false);
        if (IsHeld(error)) PrintHeld(b, name, scratch, error);
        if (IsHeld(error)) continue;
        if (!error) error = RecordCopy(b, name, made, n, 0, 0, 0);
        if (!error) error = StorageFileOS_CreateLink(directory, scratch, target);
        if (error == EEXIST) continue;
        StorageFileOSStatus status{};
        if (!error) error = StorageFileOS_Status(directory, scratch, &status);
        if (!error && (status.Kind != STORAGE_FILE_OS_LINK || status.OtherUser)) error = EEXIST;
        if (!error) {
            CriticalSectionGuard guard(b->RecordLock);
            error = RecordCopyLocked(b, name, made, n, status.Device, status.Inode, status.Birth);
            if (!error) error = StorageFileOS_Rename(directory, scratch, leaf);
        }
        if (error) StorageFileOS_RemoveOwn(directory, scratch, STORAGE_FILE_OS_OWN_LINK);
        return error;
    }
    StorageFile_Print(b, "No free name for a copy of (%s%s)", b->OutputPath, LogText(name).Text);
    return EEXIST;
}

int64_t CompleteLink(StorageFile* b, const Entry& entry, uint32_t* code, uint32_t* extended) {
    int32_t directory = -1;
    const char* leaf = nullptr;
    uint32_t made = 0;
    int32_t error = StorageFileOS_OpenParent(b->OutputPath, entry.Name, 0, &directory, &leaf, &made);
    // The folders it makes are on record before they are made, as a write's are.
    if (error == ENOENT && made > 0 && b->PartialExtension[0] &&
        (error = RecordCopy(b, entry.Name, made, 0, 0, 0, 0)) == 0)
        error = StorageFileOS_OpenParent(b->OutputPath, entry.Name, 1, &directory, &leaf, &made);
    else if (error == ENOENT && made > 0)
        error = StorageFileOS_OpenParent(b->OutputPath, entry.Name, 1, &directory, &leaf, &made);
    StorageFileOSStatus status{};
    if (!error) error = StorageFileOS_Status(directory, leaf, &status);
    bool done = false;
    if (!error && status.Kind == STORAGE_FILE_OS_LINK) {
        char present[STORAGE_FILE_PATH_SIZE];
        if (StorageFileOS_ReadLink(directory, leaf, present, (int32_t)sizeof(present)) == 0 &&
            SameTarget(b->OutputPath, entry.Name, present, entry.Link))
            done = true;
        else error = StorageFileOS_Remove(directory, leaf, 0);
    } else if (!error && status.Kind == STORAGE_FILE_OS_DIRECTORY) {
        // Only an empty directory gives way: what a directory holds may be the user's, and a link
        // entry is no reason to erase it.
        error = StorageFileOS_Remove(directory, leaf, 1);
        if (error) StorageFile_Print(b, "Directory in the way of link (%s) (%d)", LogText(entry.Name).Text, PLATFORM_ERROR_ERRNO_BASE + error);
    } else if (!error && status.Kind != STORAGE_FILE_OS_MISSING) {
        if (status.Kind == STORAGE_FILE_OS_FILE) Platform_EnsurePathMutableAt(directory, leaf);
        error = StorageFileOS_Remove(directory, leaf, 0);
    }
    if (!error && !done) error = MakeLink(b, directory, entry.Name, leaf, made, entry.Link);
    StorageFileOS_Close(&directory);
    if (error) {
        StorageFileInternal_ErrorPair(error, code, extended);
        return 0;
    }
    return 1;
}

} // namespace

// Completes one file: a link made to point where the manifest says, or a file given its final
// size, name, time and attributes. 1, or 0 with the result pair.
static int64_t StorageFile_FileCompleteInt(StorageFile* b, FileList* list, FileListMember* member,
                                           uint32_t selfUpdate, uint32_t* code, uint32_t* extended) {
    *code = 0;
    *extended = 0;
    Entry entry;
    if (!ReadEntry(b, list, member, &entry)) {
        *code = STORAGE_ERROR_INVALID_CONTENT;
        return 0;
    }
    if (CompletedHas(b, entry.Name)) return 1;
    if (IsLinkEntry(entry)) {
        if (!CompleteLink(b, entry, code, extended)) return 0;
        CompletedSet(b, entry.Name, true);
        StorageFile_VerboseLog(b, 0, "File Complete (%s)", LogText(entry.Name).Text);
        return 1;
    }
    const bool applyAttributes = WantedAttributes(b, entry);
    const double wantedTime = b->SkipTimestamp ? 0 : entry.Modified;

    // Which of the complete and partial files is there (a copy this storage holds open for writing is).
    if (!WriterOpen(b, entry.Name)) {
        int32_t directory = -1;
        const char* leaf = nullptr;
        int32_t error = StorageFileOS_OpenParent(b->OutputPath, entry.Name, 0, &directory, &leaf);
        StorageFileOSStatus complete{};
        uint32_t partial = 0;
        if (!error) error = StorageFileOS_Status(directory, leaf, &complete);
        if (!error) {
            char partialLeaf[STORAGE_FILE_PATH_SIZE];
            CopyId id{};
            partial = CopyOf(b, directory, entry.Name, leaf, partialLeaf, sizeof(partialLeaf), &id) ? 1 : 0;
        }
        StorageFileOS_Close(&directory);
        if (error == ENOENT || error == ENOTDIR) error = 0;
        // A link with a copy of ours beside it gave way when the copy was made; the copy takes its place.
        if (!error && complete.Kind == STORAGE_FILE_OS_LINK && (!partial || complete.OtherUser)) error = ELOOP;
        if (error) {
            StorageFileInternal_ErrorPair(error, code, extended);
            return 0;
        }
        if (complete.Kind == STORAGE_FILE_OS_MISSING && !partial && entry.Size != 0) {
            // Reporting success here would let a file that never arrived pass as installed.
            StorageFile_Print(b, "Skipping File Complete (%s)", LogText(entry.Name).Text);
            *code = STORAGE_NOT_FOUND;
            return 0;
        }
    }

    // Decide whether work is needed.
    OpenRecord* r = nullptr;
    bool work = false;
    if (!StorageFile_Open(b, entry.Name, 0, 0, &r, code, extended)) {
        // A file of size 0 that is missing is created by the work below.
        if (*code == STORAGE_ERROR_OS && *extended == (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + ENOENT) &&
            entry.Size == 0) {
            work = true;
            *code = 0;
            *extended = 0;
        } else {
            return 0;
        }
    }
    const bool wasWriter = r && r->Write;
    // Only the time or attributes of the installed file differ: they are set on it where it is,
    // without a copy.
    bool inPlace = false;
    if (r) {
        bool failed = false;
        CriticalSection_Lock(r->Lock);
        if (r->Partial || r->Write) {
            work = true;
        } else {
            StorageFileOSStatus status{};
            uint32_t attributes = 0;
            if (StorageFileOS_StatusOf(r->Fd, &status) != 0) {
                StorageFile_Print(b, "Failed to get file size (%s) (%d)", LogText(entry.Name).Text,
                                  Platform_GetLastError());
                failed = true;
                *code = STORAGE_ERROR_OS;
                *extended = (uint32_t)Platform_GetLastError();
            } else if (status.Size != entry.Size) {
                work = true;
            } else if (applyAttributes) {
                if (!FileAttributesBack(r->Directory, r->Leaf, &attributes)) failed = true;
                else if (attributes != (entry.Attributes & (kAttributeReadOnly | kAttributeExecutable))) work = true;
            }
            if (!failed && !work && wantedTime > 0 && status.ModifiedSeconds != (int64_t)wantedTime) work = true;
            inPlace = work && !failed && status.Size == entry.Size;
        }
        CriticalSection_Unlock(r->Lock);
        StorageFile_CloseMember(b, r, !work || failed);
        r = nullptr;
        if (failed) {
            if (*code == 0) *code = STORAGE_ERROR_OS;
            return 0;
        }
    }

    if (work) {
        const uint32_t self = selfUpdate && wasWriter ? 1 : 0;
        if (!StorageFile_Open(b, entry.Name, inPlace ? 0 : 1, self, &r, code, extended)) return 0;
        int32_t error = 0;
        CriticalSection_Lock(r->Lock);
        // A writer that came in between completes what it wrote.
        if (inPlace && (r->Write || r->Partial)) inPlace = false;
        if (!r->Write && !inPlace) {
            error = EAGAIN;
        } else if (!inPlace && (error = StorageFileOS_Truncate(r->Fd, entry.Size)) != 0) {
            StorageFile_Print(b, "Failed to truncate (%s) (%d)", LogText(entry.Name).Text,
                              PLATFORM_ERROR_ERRNO_BASE + error);
        } else {
            // The installed version is replaced at once, a read-only (immutable) one included.
            Platform_EnsurePathMutableAt(r->Directory, r->Leaf);
            // The new version keeps the permissions of the one it replaces; nobody else may write.
            if (r->Partial && (error = StorageFileOS_ModeFrom(r->Fd, r->Directory, r->Leaf)) != 0)
                StorageFile_Print(b, "Failed to set attributes (%s) (%d)", LogText(entry.Name).Text,
                                  PLATFORM_ERROR_ERRNO_BASE + error);
            else if (r->Partial && (error = RenameOver(b, r)) != 0)
                StorageFile_Print(b, "Failed to rename file (%s) (%d)", LogText(entry.Name).Text,
                                  PLATFORM_ERROR_ERRNO_BASE + error);
        }
        CopyId was{};
        const bool drawn = !error && r->Partial && RecordedCopy(b, entry.Name, &was) && was.Alternate >= kRandomCopy;
        if (!error) {
            // The copy is the installed file now; its record names nothing left under a copy's name.
            if (r->Partial) DropCopy(b, entry.Name);
            r->Partial = 0;
            if (wantedTime > 0 && (error = StorageFileOS_SetModifiedTime(r->Fd, wantedTime)) != 0) {
                StorageFile_Print(b, "Failed to set modified time (%s) (%d)", LogText(entry.Name).Text,
                                  PLATFORM_ERROR_ERRNO_BASE + error);
            } else if (applyAttributes) {
                error = StorageFileOS_SetExecutable(r->Fd, entry.Attributes & kAttributeExecutable);
                if (!error && (entry.Attributes & kAttributeReadOnly) &&
                    !Platform_SetFileAttributesAt(r->Directory, r->Leaf, PLATFORM_FILE_ATTRIBUTE_READONLY))
                    error = errno ? errno : EPERM;
                if (error)
                    StorageFile_Print(b, "Failed to set attributes (%s) (%d)", LogText(entry.Name).Text,
                                      PLATFORM_ERROR_ERRNO_BASE + error);
            }
        }
        // A copy proven by its name alone (where nothing proves a file) lost that proof with its
        // name: the file it became is recorded by the moment of its last change, once this storage
        // is done changing it, so that a replay removes it where no installed manifest lists it.
        StorageFileOSStatus now{};
        if (!error && drawn && (error = StorageFileOS_StatusOf(r->Fd, &now)) == 0) {
            uint32_t folders = 0;
            for (const char* p = entry.Name; *p; p++) folders += *p == '/';
            error = RecordCopy(b, entry.Name, folders, 0, now.Device, now.Inode, StorageFileOS_ChangedProof(now));
        }
        // Where each file is flushed on its own: its bytes, then its name in its folder.
        if (!error && flushEach.load() && (error = StorageFileOS_SyncFile(r->Fd)) == 0)
            error = StorageFileOS_SyncFile(r->Directory);
        if (!error && !flushEach.load()) error = NoteMount(b, r->Directory);
        CriticalSection_Unlock(r->Lock);
        StorageFile_CloseMember(b, r, 1);
        if (error) {
            *code = STORAGE_ERROR_OS;
            *extended = (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + error);
            return 0;
        }
    }
    CompletedSet(b, entry.Name, true);
    StorageFile_VerboseLog(b, 0, "File Complete (%s)", LogText(entry.Name).Text);
    return 1;
}

namespace {

void FreeTransfer(StorageFile* b, Transfer* t) {
    if (t->Pointer) StorageRequest_ReleasePointer(t->Request, &t->Pointer);
    CriticalSectionGuard guard(b->OpenLock);
    Pool_Free(b->Transfers, &t, sizeof(Transfer));
}

} // namespace

// The end of one slice's read or write: the file is closed, or completed when this was the last
// slice of a file that lies within one piece, and the step finishes.
static int64_t StorageFile_FileOperationComplete(AsyncFile*, void* user, uint64_t, void*, uint32_t transferred,
                                                 int32_t error) {
    Transfer* t = static_cast<Transfer*>(user);
    StorageFile* b = t->Backend;
    OpenRecord* r = t->Record;
    uint32_t code = 0, extended = 0;
    if (!t->Write) {
        const uint32_t got = transferred < t->Length ? transferred : t->Length;
        // The buffer holds the padded form: the padding is zeros whatever the read brought in.
        if (t->Padding) memset(t->Pointer + t->Length, 0, t->Padding);
        StorageRequest_AddContentLength(t->Request, got + t->Padding);
    }
    if (error != 0) {
        StorageFile_CloseMember(b, r, 0);
        code = STORAGE_ERROR_OS;
        extended = (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + error);
    } else if (transferred < t->Length) {
        StorageFile_CloseMember(b, r, 0);
        code = STORAGE_ERROR_UNDERFLOW;
    } else {
        MetaFile* meta = nullptr;
        StorageRequest_GetMetaFileHandle(t->Request, &meta);
        PieceList* pieces = nullptr;
        MetaFile_GetPieceListHandle(meta, &pieces);
        FileList* list = ListOf(meta);
        uint64_t offset = 0, size = 0;
        int64_t padding = 0;
        FileList_MemberGetOffset(list, t->File, &offset);
        FileList_MemberGetSize(list, t->File, &size);
        FileList_MemberGetPadding(list, t->File, &padding);
        const uint64_t span = size + (uint64_t)(padding > 0 ? padding : 0);
        int32_t first = 0, last = -1;
        PieceList_GetIndexRangeByOffset(pieces, offset, span ? span - 1 : 0, 0, &first, &last);
        if (first == last && StorageRequest_MemberIsFileLast(t->Request, t->Member)) {
            if (t->Write && r->Write) {
                // The completion cuts the file at its size.
                StorageFile_CloseMember(b, r, 0);
                StorageFile_FileCompleteInt(b, list, t->File, b->SelfUpdate, &code, &extended);
            } else {
                StorageFile_CloseMember(b, r, t->Write ? 0 : 1);
            }
        } else {
            StorageFile_CloseMember(b, r, 0);
        }
    }
    StorageOperation* operation = t->Operation;
    FreeTransfer(b, t);
    Storage_OperationComplete(operation, code, extended);
    StorageFile_Release(reinterpret_cast<void**>(&b));
    return 1;
}

namespace {

// Whether the file lies within one piece and this member is its last in the request: its
// completion then follows the member's transfer.
bool FileEndsHere(StorageRequest* request, StorageRequestMember* member, MetaFile* meta, FileListMember* file) {
    PieceList* pieces = nullptr;
    MetaFile_GetPieceListHandle(meta, &pieces);
    FileList* list = ListOf(meta);
    uint64_t offset = 0, size = 0;
    int64_t padding = 0;
    FileList_MemberGetOffset(list, file, &offset);
    FileList_MemberGetSize(list, file, &size);
    FileList_MemberGetPadding(list, file, &padding);
    const uint64_t span = size + (uint64_t)(padding > 0 ? padding : 0);
    int32_t first = 0, last = -1;
    PieceList_GetIndexRangeByOffset(pieces, offset, span ? span - 1 : 0, 0, &first, &last);
    return first == last && StorageRequest_MemberIsFileLast(request, member);
}

// Whether a slice to be written already stands in the installed file, which has the new
// version's size and is not being replaced: a piece shared with a changed neighbour then rewrites
// nothing, and the unchanged file is never copied for it.
bool SliceUnchanged(StorageFile* b, StorageRequest* request, const Entry& entry, uint64_t fileOffset,
                    uint32_t bufferOffset, uint32_t length) {
    {
        // Nothing the installed manifest does not list was installed: no file of it to keep.
        CriticalSectionGuard guard(b->RecordLock);
        if (b->Installed && !ListedInstalled(b, entry.Name)) return false;
    }
    {
        // A writer has its copy already; a reader of the installed file is no reason to copy it.
        CriticalSectionGuard guard(b->OpenLock);
        uint64_t value = 0;
        if (HashTable_GetValue(b->OpenFiles, entry.Name, &value) && reinterpret_cast<OpenRecord*>(value)->Write)
            return false;
    }
    int32_t directory = -1, fd = -1;
    const char* leaf = nullptr;
    if (StorageFileOS_OpenParent(b->OutputPath, entry.Name, 0, &directory, &leaf) != 0) return false;
    char partialLeaf[STORAGE_FILE_PATH_SIZE];
    StorageFileOSStatus status{};
    // What stands at a copy's name and is not ours is no copy of this file.
    CopyId id{};
    bool same = !CopyOf(b, directory, entry.Name, leaf, partialLeaf, sizeof(partialLeaf), &id) &&
                StorageFileOS_OpenFile(directory, leaf, 0, &fd) == 0 &&
                StorageFileOS_StatusOf(fd, &status) == 0 && status.Size == entry.Size &&
                fileOffset + length <= status.Size;
    StorageFileOS_Close(&directory);
    uint8_t* wanted = nullptr;
    if (same) same = StorageRequest_GetPointerAt(request, bufferOffset, &wanted) && wanted;
    if (same) {
        uint8_t* present = static_cast<uint8_t*>(Memory_Alloc(length));
        same = StorageFileOS_ReadAt(fd, fileOffset, present, length) == 0 && memcmp(present, wanted, length) == 0;
        Memory_Free(present, length);
    }
    if (wanted) StorageRequest_ReleasePointer(request, &wanted);
    StorageFileOS_Close(&fd);
    return same;
}

int64_t Transfer_Start(StorageFile* b, StorageOperation* operation, uint32_t write) {
    StorageRequest* request = nullptr;
    StorageRequestMember* member = nullptr;
    Storage_OperationGetRequest(operation, &request);
    Storage_OperationGetMember(operation, &member);
    if (!request || !member) return Finish(operation, STORAGE_ERROR_INVALID_CONTENT, 0);
    uint32_t length = 0, padding = 0, bufferOffset = 0, allocated = 0;
    uint64_t fileOffset = 0;
    StorageRequest_MemberGetLength(request, member, &length);
    if (length == 0) return Finish(operation, 0, 0);
    StorageRequest_MemberGetPadding(request, member, &padding);
    StorageRequest_MemberGetBufferOffset(request, member, &bufferOffset);
    StorageRequest_MemberGetFileOffset(request, member, &fileOffset);
    StorageRequest_AllocSize(request, &allocated);
    FileListMember* file = nullptr;
    StorageRequest_MemberGetFileListMemberHandle(request, member, &file);
    MetaFile* meta = nullptr;
    StorageRequest_GetMetaFileHandle(request, &meta);
    Entry entry;
    if (!file || !ReadEntry(b, ListOf(meta), file, &entry)) return Finish(operation, STORAGE_ERROR_INVALID_CONTENT, 0);
    if (IsLinkEntry(entry)) return Finish(operation, STORAGE_ERROR_INVALID_CONTENT, 0);

    const uint32_t widen = padding % b->PageSize;
    uint32_t amount = length;
    if (b->ExtraFileFlags & STORAGE_FILE_NO_BUFFER) amount += widen;
    // Reads fill the padded form: the member's bytes, then its padding.
    const uint64_t end = (uint64_t)bufferOffset + length + (write ? 0 : padding);
    if ((uint64_t)bufferOffset + amount > allocated || end > allocated)
        return Finish(operation, STORAGE_ERROR_SIZE_LIMIT, 0);

    uint32_t code = 0, extended = 0;
    if (write && SliceUnchanged(b, request, entry, fileOffset, bufferOffset, length)) {
        // Nothing to write, so no copy: a file that lies within this piece is completed as a
        // written one would be (its time and attributes).
        if (FileEndsHere(request, member, meta, file))
            StorageFile_FileCompleteInt(b, ListOf(meta), file, b->SelfUpdate, &code, &extended);
        return Finish(operation, code, extended);
    }
    OpenRecord* r = nullptr;
    if (!StorageFile_Open(b, entry.Name, write, write ? b->SelfUpdate : 0, &r, &code, &extended))
        return Finish(operation, code, extended);
    Transfer* t;
    {
        CriticalSectionGuard guard(b->OpenLock);
        t = static_cast<Transfer*>(Pool_Alloc(b->Transfers, sizeof(Transfer)));
    }
    memset(t, 0, sizeof(*t));
    t->Backend = b;
    t->Operation = operation;
    t->Record = r;
    t->Request = request;
    t->Member = member;
    t->File = file;
    t->Length = length;
    t->Padding = write ? 0 : padding;
    t->Write = write;
    if (!StorageRequest_GetPointerAt(request, bufferOffset, &t->Pointer) || !t->Pointer) {
        StorageFile_CloseMember(b, r, 0);
        FreeTransfer(b, t);
        return Finish(operation, STORAGE_ERROR_SIZE_LIMIT, 0);
    }
    StorageFile_AddRef(b);
    if (write) AsyncFile_Write(r->File, fileOffset, t->Pointer, length, t, StorageFile_FileOperationComplete);
    else AsyncFile_Read(r->File, fileOffset, t->Pointer, amount, t, StorageFile_FileOperationComplete);
    return 1;
}

StorageFile* Backend(void* instance) {
    StorageFile* b = static_cast<StorageFile*>(instance);
    CLASS_CHECK(b, STORAGE_FILE_CLASS_ID);
    return b;
}

int64_t EraseCollapsePrint(void* user, const char* directory) {
    StorageFile_VerboseLog(static_cast<StorageFile*>(user), 0, "Collapse directory (%s)", directory);
    return 1;
}

// The ignore set, read on first use; 0 or the platform error of an ignore file that exists and
// cannot be opened (tried again on the next use).
int32_t LoadIgnore(StorageFile* b) {
    if (b->IgnoreLoaded) return 0;
    if (!b->IgnorePath[0] || !Path_Exists(b->IgnorePath)) {
        b->IgnoreLoaded = 1;
        return 0;
    }
    File* file = nullptr;
    File_Create(&file);
    File_SetRetries(file, 1);
    uint64_t size = 0;
    int32_t error = 0;
    if (File_Open(file, b->IgnorePath, FILE_READ | FILE_QUIET) && File_Length(file, &size)) {
        b->IgnoreLoaded = 1;
        // An ignore file is a short list of names; a huge one is no list of ours.
        if (size > (16u << 20)) size = 16u << 20;
        uint8_t* bytes = static_cast<uint8_t*>(Memory_Alloc((size_t)size + 1));
        uint32_t total = 0;
        for (uint32_t got = 0; total < size && File_Read(file, bytes + total, (uint32_t)size - total, &got) && got;)
            total += got;
        if (!StorageFilePath_IgnoreParse(bytes, total, b->Ignore))
            StorageFile_Print(b, "Unable to parse ignore file (%s) (%d)", b->IgnorePath, 1);
        Memory_Free(bytes, (size_t)size + 1);
    } else {
        error = File_GetLastError(file);
        if (error == 0) error = PLATFORM_ERROR_ERRNO_BASE + EIO;
    }
    File_Release(&file);
    return error;
}

int64_t DeleteHandle(void** handle) {
    StorageFile* b = static_cast<StorageFile*>(*handle);
    CLASS_CHECK(b, STORAGE_FILE_CLASS_ID);
    // Transfers hold references of their own, so only idle records are left: close them all.
    for (;;) {
        OpenRecord* r = nullptr;
        {
            CriticalSectionGuard guard(b->OpenLock);
            HashTableMember* m = nullptr;
            if (!HashTable_MemberGetFirst(b->OpenFiles, &m) || !m) break;
            uint64_t value = 0;
            HashTable_MemberGetValue(b->OpenFiles, m, &value);
            r = reinterpret_cast<OpenRecord*>(value);
            HashTable_MemberRemove(b->OpenFiles, &m);
        }
        FreeRecord(b, r);
    }
    HashTable_Delete(&b->OpenFiles);
    HashTable_Delete(&b->Completed);
    for (;;) {
        HashTableMember* m = nullptr;
        if (!HashTable_MemberGetFirst(b->Copies, &m) || !m) break;
        uint64_t value = 0;
        HashTable_MemberGetValue(b->Copies, m, &value);
        HashTable_MemberRemove(b->Copies, &m);
        Memory_Free(reinterpret_cast<CopyId*>(value), sizeof(CopyId));
    }
    HashTable_Delete(&b->Copies);
    StorageFileOS_Close(&b->FolderLock);
    HashTable_Delete(&b->Named);
    HashTable_Delete(&b->Ignore);
    Pool_Delete(&b->Records);
    Pool_Delete(&b->Transfers);
    StorageFileOS_Close(&b->RecordFd);
    StorageFileOS_Close(&b->ReplayFd);
    StorageFileOS_Close(&b->ReplayOut);
    for (uint32_t i = 0; i < b->MountCount; i++) StorageFileOS_Close(&b->MountFolders[i]);
    if (b->Reserved) Memory_Free(b->Reserved, b->ReservedCapacity * 2 * sizeof(uint64_t));
    if (b->Installed) MetaFile_Release(&b->Installed);
    CriticalSection_Delete(&b->RecordLock);
    CriticalSection_Delete(&b->OpenLock);
    CriticalSection_Delete(&b->CompletedLock);
    return StorageFileInternal_Free<StorageFile>(handle);
}

// A storage shut down records no more copies, so the folder is let go now: the backend itself may
// live on a moment in a step's completion on another thread, and the next storage of the folder
// must not find it held then. A replay under way keeps it until it ends with the backend.
void Shutdown(StorageFile* b) {
    CriticalSectionGuard guard(b->RecordLock);
    if (b->ReplayFd < 0) StorageFileOS_Close(&b->FolderLock);
}

} // namespace

STORAGE_FILE_BACKEND(StorageFile, StorageFile, STORAGE_FILE_CLASS_ID, PreparePrint, Shutdown)

int64_t StorageFile_Create(void** instance) {
    ASSERT_POINTER(instance);
    *instance = nullptr;
    StorageFile* b = StorageFileInternal_New<StorageFile>(STORAGE_FILE_CLASS_ID, DeleteHandle);
    static std::atomic<uint64_t> made{0};
    b->Serial = made.fetch_add(1) + 1;
    HashTable_Create(&b->OpenFiles, STORAGE_FILE_PATH_SIZE, 64);
    HashTable_Create(&b->Completed, STORAGE_FILE_PATH_SIZE, 256);
    // Names from the manifest: hashed under the process's key, so that none can be chosen to
    // crowd one bucket.
    HashTable_SetValueCallback(b->OpenFiles, nullptr, HashTable_StringKeyedValue);
    HashTable_SetValueCallback(b->Completed, nullptr, HashTable_StringKeyedValue);
    HashTable_Create(&b->Copies, STORAGE_FILE_PATH_SIZE, 16);
    HashTable_SetValueCallback(b->Copies, nullptr, HashTable_StringKeyedValue);
    HashTable_Create(&b->Named, STORAGE_FILE_PATH_SIZE * 2, 16);
    HashTable_SetValueCallback(b->Named, nullptr, HashTable_StringKeyedValue);
    StorageFilePath_IgnoreCreate(&b->Ignore);
    CriticalSection_Create(&b->OpenLock);
    CriticalSection_Create(&b->CompletedLock);
    CriticalSection_Create(&b->RecordLock);
    b->RecordFd = b->ReplayFd = b->ReplayOut = b->FolderLock = -1;
    Pool_Create(&b->Records);
    Pool_SetMemorySize(b->Records, sizeof(OpenRecord));
    Pool_SetChunkSize(b->Records, 10);
    Pool_Create(&b->Transfers);
    Pool_SetMemorySize(b->Transfers, sizeof(Transfer));
    Pool_SetChunkSize(b->Transfers, 10);
    b->PageSize = StorageFileOS_PageSize();
    WarmPrint(b);
    *instance = b;
    return 1;
}

int64_t StorageFile_Configure(void* instance, Storage* storage, void* context, Dictionary* dictionary,
                              uint32_t* outFlags) {
    StorageFile* b = Backend(instance);
    if (outFlags) *outFlags = 0;
    if (storage) b->Front = storage;
    char text[STORAGE_FILE_PATH_SIZE];
    if (!StorageFileInternal_GetString(context, dictionary, "partialExtension",
                                       kAppConfigStoragePartialExtension, ".quarvpartial",
                                       b->PartialExtension, (int32_t)sizeof(b->PartialExtension))) {
        StorageFile_Print(b, "Configuration dictionary missing %s", "partialExtension");
        return 0;
    }
    // A suffix, never a way into another folder; and never none, which would write the installed
    // file in place, where a kill leaves it half old and half new.
    const size_t suffixLength = strlen(b->PartialExtension);
    const char last = suffixLength ? b->PartialExtension[suffixLength - 1] : 0;
    // Nor one that ends in a digit or "~": a copy's name of its own adds a number to the suffix and
    // a scratch name adds "~", and each must read back as one file's.
    if (!b->PartialExtension[0] || strchr(b->PartialExtension, '/') || (last >= '0' && last <= '9') || last == '~') {
        StorageFile_Print(b, "Configuration dictionary invalid %s", "partialExtension");
        b->PartialExtension[0] = 0;
        return 0;
    }
    text[0] = 0;
    Dictionary* config = context && static_cast<Class*>(context)->ClassId == DICTIONARY_CLASS_ID
                             ? static_cast<Dictionary*>(context)
                             : nullptr;
    if (!(config &&
          Dictionary_GetStringByPath(config, kAppConfigStorageLockDirectory, text, (int32_t)sizeof(text))))
        String_CopyLengthSafe(text, (int32_t)sizeof(text), "{moduleDirectory}_lock{pathSlash}", 33);
    String_Expand(text, (int32_t)sizeof(text), nullptr, nullptr);
    if (text[0]) Path_FixSlash(text, (int32_t)sizeof(text), 1);
    String_CopyLengthSafe(b->LockDirectory, (int32_t)sizeof(b->LockDirectory), text, (int32_t)strlen(text));
    uint32_t systemBuffer = 1;
    StorageFileInternal_GetBoolean(context, dictionary, "systemBuffer", kAppConfigStorageSystemBuffer, 1,
                                   &systemBuffer);
    b->ExtraFileFlags = systemBuffer ? 0u : (uint32_t)STORAGE_FILE_NO_BUFFER;
    StorageFileInternal_GetBoolean(context, dictionary, "skipTimestamp", kAppConfigStorageSkipTimestamp, 0,
                                   &b->SkipTimestamp);
    StorageFileInternal_GetBoolean(context, dictionary, "skipAttributes", kAppConfigStorageSkipAttributes, 0,
                                   &b->SkipAttributes);
    StorageFileInternal_GetBoolean(context, dictionary, "selfUpdate", kAppConfigStorageSelfUpdate, 0,
                                   &b->SelfUpdate);
    if (!dictionary || !Dictionary_GetStringByKey(dictionary, "path", text, (int32_t)sizeof(text)) ||
        !text[0]) {
        StorageFile_Print(b, "Configuration dictionary missing %s", "path");
        return 0;
    }
    if (!Path_Resolve(text, b->OutputPath, (int32_t)sizeof(b->OutputPath) - 1)) {
        StorageFile_Print(b, "Configuration dictionary missing %s", "path");
        return 0;
    }
    Path_FixSlash(b->OutputPath, (int32_t)sizeof(b->OutputPath), 1);
    b->RecordName[0] = 0;
    b->RecordFound = 0;
    b->IgnorePath[0] = 0;
    if (dictionary && Dictionary_GetStringByKey(dictionary, "ignore", text, (int32_t)sizeof(text)) && text[0])
        Path_Resolve(text, b->IgnorePath, (int32_t)sizeof(b->IgnorePath));
    if (b->Front) Storage_SetIdentifier(b->Front, b->OutputPath);
    if (outFlags && Path_IsDirectoryEmpty(b->OutputPath)) *outFlags |= 1;
    return 1;
}

int64_t StorageFile_Dump(void* instance, Storage*, Dictionary* dictionary) {
    StorageFile* b = Backend(instance);
    ASSERT_POINTER(dictionary);
    Dictionary_SetInt32ByKey(dictionary, "extraFileFlags", (int32_t)b->ExtraFileFlags);
    Dictionary_SetStringByKey(dictionary, "lockDirectory", b->LockDirectory);
    Dictionary_SetStringByKey(dictionary, "outputPath", b->OutputPath);
    Dictionary_SetStringByKey(dictionary, "partialExtension", b->PartialExtension);
    uint32_t count = 0;
    {
        CriticalSectionGuard guard(b->OpenLock);
        HashTable_GetCount(b->OpenFiles, &count);
    }
    Dictionary_SetInt32ByKey(dictionary, "openFiles", (int32_t)count);
    return 1;
}

namespace {

bool CopiedHere(StorageFile* b, const char* name) {
    CriticalSectionGuard guard(b->OpenLock);
    uint64_t value = 0;
    if (!HashTable_GetValue(b->OpenFiles, name, &value)) return false;
    const OpenRecord* r = reinterpret_cast<const OpenRecord*>(value);
    return r->Write && r->Copied;
}

} // namespace

namespace {

// A replay call's share of time: a stop is never kept waiting behind it.
std::atomic<double> replayBudget{0.1};

// Names what is left of a copy under `shown` and counts it: the record keeps naming it.
void PrintLeft(StorageFile* b, const char* shown, int32_t error) {
    b->ReplayFailed++;
    // What another user or another mount holds is left by design; anything else failed.
    if (!b->ReplayError && error != EPERM && error != EXDEV && error != EEXIST) b->ReplayError = error;
    if (error == EPERM)
        StorageFile_Print(b, "Name of a copy held by another user (%s) (%d)", LogText(shown).Text,
                          PLATFORM_ERROR_ERRNO_BASE + error);
    else if (error == EXDEV)
        StorageFile_Print(b, "Copy on another mount left (%s) (%d)", LogText(shown).Text,
                          PLATFORM_ERROR_ERRNO_BASE + error);
    else if (error == EEXIST)
        StorageFile_Print(b, "Not the storage's own file (%s) (%d)", LogText(shown).Text,
                          PLATFORM_ERROR_ERRNO_BASE + error);
    else
        StorageFile_Print(b, "Failed to remove stray copy (%s) (%d)", LogText(shown).Text,
                          PLATFORM_ERROR_ERRNO_BASE + error);
}

// Removes up to `made` emptied folders holding name, from the deepest up, on the folder's own
// mount only; a folder that was there before the copy, or holds anything, stays.
void CollapseMade(StorageFile* b, const char* name, uint32_t made) {
    char prefix[STORAGE_FILE_PATH_SIZE];
    String_CopyLengthSafe(prefix, (int32_t)sizeof(prefix), name, (int32_t)strlen(name));
    for (char* slash; made > 0 && (slash = strrchr(prefix, '/')) != nullptr; made--) {
        *slash = 0;
        int32_t directory = -1;
        const char* leaf = nullptr;
        if (StorageFileOS_OpenParent(b->OutputPath, prefix, 0, &directory, &leaf, nullptr, 1) != 0) return;
        const int32_t error = StorageFileOS_Remove(directory, leaf, 1);
        StorageFileOS_Close(&directory);
        // One a kill kept from being made leaves those above it to go.
        if (error == ENOENT) continue;
        if (error != 0) return;
        StorageFile_VerboseLog(b, 0, "Collapse directory (%s)", LogText(prefix).Text);
    }
}

// Under RecordLock: whether the record identifies the file as a copy this version made.
bool IdentityRecorded(StorageFile* b, const StorageFileOSStatus& status) {
    HashTableMember* m = nullptr;
    for (HashTable_MemberGetFirst(b->Copies, &m); m;) {
        uint64_t value = 0;
        HashTable_MemberGetValue(b->Copies, m, &value);
        const CopyId* id = reinterpret_cast<const CopyId*>(value);
        if (StorageFileOS_SameFile(status, id->Device, id->Inode, id->Birth)) return true;
        HashTableMember* next = nullptr;
        HashTable_MemberGetNext(b->Copies, m, &next);
        m = next;
    }
    return false;
}

bool Listed(FileListIndex* index, const char* name) {
    FileListMember* found = nullptr;
    uint64_t offset = 0;
    return index && FileList_IndexFindByName(index, name, &found, &offset);
}

// Under RecordLock: whether the table a replay judges by lists name as a file (not as a link).
bool ListedFile(StorageFile* b, FileListIndex* index, const char* name) {
    FileListMember* found = nullptr;
    uint64_t offset = 0;
    uint32_t attributes = 0;
    if (!index || !FileList_IndexFindByName(index, name, &found, &offset)) return false;
    return !b->ReplayList || !FileList_MemberGetAttributes(b->ReplayList, found, &attributes) ||
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
bool RemoveUnlisted(StorageFile* b, int32_t directory, const char* leaf, const RecordFields& f, FileListIndex* index,
                    uint32_t continued) {
    const bool listed =
        Listed(index, f.Name) || ((continued & STORAGE_FILE_STRAY_PENDING) && ListedInstalled(b, f.Name));
    if (listed && !b->Unfinished) return false;
    // A copy named at random is proven by that name alone: under the file's name nothing tells it
    // from a file given its inode since.
    if (f.Alternate >= kRandomCopy && f.Birth == STORAGE_FILE_OS_UNPROVEN) return false;
    StorageFileOSStatus status{};
    if (StorageFileOS_Status(directory, leaf, &status) != 0 || !StorageFileOS_SameFile(status, f.Device, f.Inode, f.Birth) ||
        !(status.OwnSingle || (status.Kind == STORAGE_FILE_OS_LINK && !status.OtherUser)))
        return false;
    if (listed) return true;
    char shown[STORAGE_FILE_PATH_SIZE * 2];
    ShowBeside(b, f.Name, leaf, shown, (int32_t)sizeof(shown));
    StorageFile_VerboseLog(b, 0, "Remove file of a failed version (%s)", LogText(shown).Text);
    const int32_t error = StorageFileOS_RemoveCopy(directory, leaf, f.Device, f.Inode, f.Birth);
    if (error && !IsHeld(error)) {
        PrintLeft(b, shown, error);
        return true;
    }
    return false;
}

// A copy made in a folder on another mount, looked at there without any removal across it: true
// when nothing of it is left to remove (neither its name nor its scratch name leads to it, and
// where it became its file, the manifest lists that file), so that the record lets it go instead
// of naming it again with every sync.
bool GoneAcross(StorageFile* b, const RecordFields& f, const char* copy, FileListIndex* index) {
    int32_t directory = -1;
    const char* leaf = nullptr;
    if (StorageFileOS_OpenParent(b->OutputPath, f.Name, 0, &directory, &leaf) != 0) return false;
    char held[STORAGE_FILE_PATH_SIZE + 8];
    String_Print(held, (int32_t)sizeof(held), "%s~", copy);
    bool gone = true;
    for (const char* name : {copy, (const char*)held, leaf}) {
        StorageFileOSStatus status{};
        if (StorageFileOS_Status(directory, name, &status) != 0) {
            gone = false;
            break;
        }
        if (StorageFileOS_SameFile(status, f.Device, f.Inode, f.Birth) && (name != leaf || !Listed(index, f.Name))) gone = false;
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

// One record judged, under RecordLock; true when it stays on record: while a copy it names is left
// (listed and kept to be continued, or not removable), and never once no copy of ours is there.
// With known, the entry is this repository's own (not an earlier version's, whose repository is
// not known).
bool ReplayRecord(StorageFile* b, const char* record, FileListIndex* index, uint32_t continued, bool known) {
    RecordFields f;
    if (!ParseRecord(b, record, &f)) return false;
    const char* slash = strrchr(f.Name, '/');
    char copy[STORAGE_FILE_PATH_SIZE + 8], shown[STORAGE_FILE_PATH_SIZE * 2];
    // A name too long to be made was never made.
    if (PartialName(b, slash ? slash + 1 : f.Name, copy, sizeof(copy) - 8, f.Alternate, f.Legacy) != 0) return false;
    ShowBeside(b, f.Name, copy, shown, (int32_t)sizeof(shown));
    int32_t directory = -1;
    const char* leaf = nullptr;
    int32_t error = StorageFileOS_OpenParent(b->OutputPath, f.Name, 0, &directory, &leaf, nullptr, 1);
    if (error == ENOENT || error == ENOTDIR) {
        // No copy there; the folders made for it before a kill go, those above a missing one too.
        CollapseMade(b, f.Name, (uint32_t)f.Made);
        return false;
    }
    if (error == EXDEV && !f.Legacy && f.Inode != 0 && GoneAcross(b, f, copy, index)) return false;
    if (error) {
        // Kept on record: once the mount is gone, or the failure over, a later sync removes it.
        PrintLeft(b, shown, error);
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
            PrintLeft(b, shown, error);
            keep = true;
        } else if (!same && StorageFileOS_Status(directory, held, &scratch) == 0 &&
                   StorageFileOS_SameFile(scratch, f.Device, f.Inode, f.Birth)) {
            // Recorded under the scratch name it was made at, and cut before it took its name.
            StorageFile_VerboseLog(b, 0, "Remove stray copy (%s~)", LogText(shown).Text);
            error = StorageFileOS_RemoveCopy(directory, held, f.Device, f.Inode, f.Birth);
            if (error && !IsHeld(error)) {
                PrintLeft(b, shown, error);
                keep = true;
            }
        } else if (!same) {
            // The copy became the file, or never got its name: what stands there is not it.
            if (status.Kind != STORAGE_FILE_OS_MISSING)
                StorageFile_Print(b, "Not the storage's own file (%s) (%d)", LogText(shown).Text,
                                  PLATFORM_ERROR_ERRNO_BASE + EEXIST);
            // Only this repository's own entries say a file is of a version it failed to install.
            keep = known && RemoveUnlisted(b, directory, leaf, f, index, continued);
        } else if (!status.OwnSingle && status.OtherUser) {
            // Ours, but another account's now: nothing to remove blindly.
            PrintLeft(b, shown, EPERM);
            keep = true;
        } else if (!status.OwnSingle && !SecondNameOurs(directory, copy, held, &status, f)) {
            // Reached by a second name the user gave (a snapshot made with hard links, a link of
            // theirs): nothing tells it from their file now, so it is theirs, left where it stands.
            // Its entry goes with this look: kept, it would hold the record alive with every run.
            StorageFile_Print(b, "Not the storage's own file (%s) (%d)", LogText(shown).Text,
                              PLATFORM_ERROR_ERRNO_BASE + EEXIST);
        } else if (continued && ListedFile(b, index, f.Name)) {
            // The copy of a listed file that a mask left unfinished holds the progress the next run
            // continues (a link listed there has no use for it).
            keep = true;
        } else {
            StorageFile_VerboseLog(b, 0, "Remove stray copy (%s)", LogText(shown).Text);
            error = StorageFileOS_RemoveCopy(directory, copy, f.Device, f.Inode, f.Birth);
            if (error && !IsHeld(error)) {
                PrintLeft(b, shown, error);
                keep = true;
            } else {
                uint64_t value = 0;
                if (HashTable_GetValue(b->Copies, f.Name, &value) &&
                    reinterpret_cast<const CopyId*>(value)->Inode == f.Inode)
                    SetCopy(b, f.Name, nullptr);
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
                IdentityRecorded(b, status))
                continue;
            // At the scratch name a link may stand too, made there by the storage alone.
            error = StorageFileOS_RemoveOwn(directory, entry, suffix[0] ? STORAGE_FILE_OS_OWN_LINK : 0);
            if (!error) StorageFile_VerboseLog(b, 0, "Remove stray copy (%s%s)", LogText(shown).Text, suffix);
            // What is not a private file of ours was never a copy of ours.
            if (error && !IsHeld(error)) {
                char left[STORAGE_FILE_PATH_SIZE * 2 + 2];
                String_Print(left, (int32_t)sizeof(left), "%s%s", shown, suffix);
                PrintLeft(b, left, error);
                keep = true;
            }
        }
    }
    StorageFileOS_Close(&directory);
    // Before the version being installed is saved, what was made for a name it lists is still of a
    // version never installed: a run that fails now must find it on record.
    if (!keep && (continued & STORAGE_FILE_STRAY_PENDING) && known && Listed(index, f.Name)) keep = true;
    if (!keep) CollapseMade(b, f.Name, (uint32_t)f.Made);
    return keep;
}

// One record judged by a replay, written to what stays on record when it stays.
void ReplayKeep(StorageFile* b, const char* record, FileListIndex* index, uint32_t continued) {
    // Another repository's entries are its own replay's to judge: they stay as they are.
    const Owner owner = OwnerOf(b, b->ReplayOwner);
    if (owner != Owner::Other && !ReplayRecord(b, record, index, continued, owner == Owner::Mine)) return;
    int32_t error = 0;
    if (strcmp(b->ReplayMarked, b->ReplayOwner) != 0) {
        error = StorageFileOS_Append(b->ReplayOut, b->ReplayOwner, (uint32_t)strlen(b->ReplayOwner) + 1);
        if (!error) memcpy(b->ReplayMarked, b->ReplayOwner, sizeof(b->ReplayMarked));
    }
    if (!error) error = StorageFileOS_Append(b->ReplayOut, record, (uint32_t)strlen(record) + 1);
    if (error) {
        PrintRecordError(b, RecordLeaf(b), error);
        b->ReplayLost++;
        if (!b->ReplayError) b->ReplayError = error;
    }
}

// Where the first pass found a name reserved; past the bound the second pass reads the record whole.
// Two offsets a name: its entry's and its mark's.
void NoteReserved(StorageFile* b, uint64_t offset, uint64_t mark) {
    constexpr uint32_t kReservedMax = 1u << 16;
    if (b->ReservedOverflow) return;
    if (b->ReservedCount == b->ReservedCapacity) {
        if (b->ReservedCapacity >= kReservedMax) {
            b->ReservedOverflow = 1;
            return;
        }
        const uint32_t capacity = b->ReservedCapacity ? b->ReservedCapacity * 2 : 64;
        uint64_t* grown = static_cast<uint64_t*>(Memory_Alloc(capacity * 2 * sizeof(uint64_t)));
        if (b->ReservedCount) memcpy(grown, b->Reserved, b->ReservedCount * 2 * sizeof(uint64_t));
        if (b->Reserved) Memory_Free(b->Reserved, b->ReservedCapacity * 2 * sizeof(uint64_t));
        b->Reserved = grown;
        b->ReservedCapacity = capacity;
    }
    b->Reserved[2 * b->ReservedCount] = offset;
    b->Reserved[2 * b->ReservedCount++ + 1] = mark;
}

// Ends a replay: what stays on record replaces the record, or none is left. A replay that could
// not write down all that stays leaves the record as it was: it still names every copy.
int64_t ReplayFinish(StorageFile* b) {
    StorageFileOS_Close(&b->ReplayFd);
    // The mark stays, lasting before the record it goes into replaces the one that holds it.
    if (b->Unfinished && !b->ReplayLost) {
        char line[kOwnerSize + sizeof(kUnfinished)];
        int32_t error = StorageFileOS_Append(b->ReplayOut, line, MarkedUnfinished(b, line));
        if (!error) error = StorageFileOS_SyncFile(b->ReplayOut);
        if (error) {
            PrintRecordError(b, RecordLeaf(b), error);
            b->ReplayLost++;
            if (!b->ReplayError) b->ReplayError = error;
        }
    }
    StorageFileOSStatus out{};
    int32_t error = StorageFileOS_StatusOf(b->ReplayOut, &out);
    // What stays lasts before the record it replaces goes.
    if (!error && !b->ReplayLost && !b->Unfinished && out.Size > b->ReplayOutStart)
        error = StorageFileOS_SyncFile(b->ReplayOut);
    StorageFileOS_Close(&b->ReplayOut);
    char written[sizeof(b->RecordName)];
    RecordNameOf(b, b->ReplayOutNumber, written, (int32_t)sizeof(written));
    int32_t directory = -1;
    const char* leaf = nullptr;
    const FileId& in = b->ReplayId;
    const FileId& kept = b->ReplayOutId;
    if (!error) error = StorageFileOS_OpenParent(b->OutputPath, written, 0, &directory, &leaf);
    // Each name goes only while it still leads to the file this replay opened or made there; a stop
    // between the two leaves two records of ours, which the next open takes into one.
    if (!error && (b->ReplayLost || out.Size <= b->ReplayOutStart)) {
        error = StorageFileOS_RemoveCopy(directory, written, kept.Device, kept.Inode, kept.Proof);
        if (!error && !b->ReplayLost)
            error = StorageFileOS_RemoveCopy(directory, RecordLeaf(b), in.Device, in.Inode, in.Proof);
        if (!error && !b->ReplayLost) b->RecordFound = 0;
    } else if (!error) {
        StorageFileOSStatus now{};
        error = StorageFileOS_Status(directory, RecordLeaf(b), &now);
        if (!error && now.Kind != STORAGE_FILE_OS_MISSING &&
            !StorageFileOS_SameFile(now, in.Device, in.Inode, in.Proof))
            error = EEXIST;
        if (!error) error = StorageFileOS_Rename(directory, written, RecordLeaf(b));
    }
    StorageFileOS_Close(&directory);
    if (error) {
        PrintRecordError(b, RecordLeaf(b), error);
        b->ReplayFailed++;
        if (!b->ReplayError) b->ReplayError = error;
    }
    return b->ReplayFailed == 0 && b->ReplayLost == 0 ? 1 : 0;
}

} // namespace

void StorageFile_SetInstalled(void* instance, MetaFile* installed) {
    StorageFile* b = Backend(instance);
    if (installed) MetaFile_AddRef(installed);
    CriticalSectionGuard guard(b->RecordLock);
    if (b->Installed) MetaFile_Release(&b->Installed);
    b->Installed = installed;
}

void StorageFile_SetOwner(void* instance, const char* owner, const char* kept) {
    StorageFile* b = Backend(instance);
    CriticalSectionGuard guard(b->RecordLock);
    b->Owner[0] = 0;
    if (owner && owner[0]) String_Print(b->Owner, (int32_t)sizeof(b->Owner), "%s%.16s", kOwnerMark, owner);
    b->Kept[0] = 0;
    if (kept && kept[0] && !StorageFilePath_Check(kept, b->Kept, (int32_t)sizeof(b->Kept))) b->Kept[0] = 0;
}

int64_t StorageFile_RemoveStrayCopies(void* instance, MetaFile* installed, uint32_t continued) {
    StorageFile* b = Backend(instance);
    if (!b->OutputPath[0] || !b->PartialExtension[0]) return 1;
    CriticalSectionGuard guard(b->RecordLock);
    if (b->ReplayFd < 0) {
        b->ReplayError = 0;
        int32_t probe = -1;
        int32_t error = OpenCopiesRecord(b, 0, &probe);
        StorageFileOS_Close(&probe);
        // No record: this storage made no copy that can be left.
        if (error == ENOENT || error == ENOTDIR) return 1;
        // Another repository's copies are judged by its own replay only.
        if (!error) error = HoldFolder(b);
        if (!error) {
            StorageFileOS_Close(&b->RecordFd);
            LoadCopies(b);
            error = OpenCopiesRecord(b, 0, &b->ReplayFd);
        }
        StorageFileOSStatus replayed{};
        if (!error) error = StorageFileOS_StatusOf(b->ReplayFd, &replayed);
        b->ReplayId = IdOf(replayed);
        char scratch[40];
        String_Print(scratch, (int32_t)sizeof(scratch), "%s~", RecordLeaf(b));
        if (!error) {
            int32_t directory = -1;
            const char* leaf = nullptr;
            error = StorageFileOS_OpenParent(b->OutputPath, scratch, 0, &directory, &leaf);
            // What an earlier version's stopped replay left at its scratch name goes when proven
            // ours; anything else there is named and left, and holds up nothing: what stays on
            // record is written to a new record at a free name of the record's own.
            if (!error) ClearScratch(b, directory, leaf);
            if (!error)
                error = MakeRecordFree(b, directory, 0, b->RecordNumber, &b->ReplayOut, &b->ReplayOutStart,
                                       &b->ReplayOutId, &b->ReplayOutNumber);
            StorageFileOS_Close(&directory);
        }
        if (error) {
            PrintRecordError(b, RecordLeaf(b), error);
            // A folder another repository holds is named and left by design.
            if (error != EBUSY) b->ReplayError = error;
            StorageFileOS_Close(&b->ReplayFd);
            StorageFileOS_Close(&b->ReplayOut);
            return 0;
        }
        b->ReplayOffset = 0;
        b->ReplayPass = 0;
        b->ReservedCount = b->ReservedNext = b->ReservedOverflow = 0;
        b->ReplayFailed = 0;
        b->ReplayLost = 0;
        String_CopyLength(b->ReplayOwner, kOwnerMark, (int32_t)sizeof(b->ReplayOwner));
        b->ReplayMarked[0] = 0;
    }
    FileListIndex* index = nullptr;
    if (installed) MetaFile_GetFileListIndexHandle(installed, &index);
    b->ReplayList = ListOf(installed);
    const double start = Time_GetCurrent();
    char buffer[kRecordEntrySize];
    for (; b->ReplayPass < 2; b->ReplayPass++) {
        // A pass that reads the record from its start finds entries before any mark.
        if (b->ReplayOffset == 0) {
            String_CopyLength(b->ReplayOwner, kOwnerMark, (int32_t)sizeof(b->ReplayOwner));
            b->ReplayOwnerAt = kNoMark;
        }
        if (b->ReplayPass == 1 && !b->ReservedOverflow) {
            while (b->ReservedNext < b->ReservedCount) {
                // Each name reserved is read under the mark that stood before it.
                const uint64_t* noted = b->Reserved + 2 * b->ReservedNext++;
                bool passing = false, whole = false;
                uint64_t offset = noted[1];
                if (offset == kNoMark ||
                    !ReadRecord(b->ReplayFd, &offset, &passing, buffer, (uint32_t)sizeof(buffer), &whole) || !whole ||
                    !NoteOwner(buffer, b->ReplayOwner))
                    String_CopyLength(b->ReplayOwner, kOwnerMark, (int32_t)sizeof(b->ReplayOwner));
                offset = noted[0];
                passing = whole = false;
                if (ReadRecord(b->ReplayFd, &offset, &passing, buffer, (uint32_t)sizeof(buffer), &whole) &&
                    whole)
                    ReplayKeep(b, buffer, index, continued);
                if (Time_GetCurrent() - start >= replayBudget.load()) return -1;
            }
            if (b->ReplayOffset < b->ReplayEnd) {
                b->ReplayOffset = b->ReplayEnd;
                memcpy(b->ReplayOwner, b->ReplayEndOwner, sizeof(b->ReplayOwner));
            }
        }
        bool passing = false, whole = false;
        for (uint64_t at = b->ReplayOffset;
             ReadRecord(b->ReplayFd, &b->ReplayOffset, &passing, buffer, (uint32_t)sizeof(buffer), &whole);
             at = b->ReplayOffset) {
            // One too long to be ours is passed over to its end.
            if (!whole) continue;
            if (NoteOwner(buffer, b->ReplayOwner)) {
                b->ReplayOwnerAt = at;
                continue;
            }
            // Names reserved (folders made, a scratch name) are judged once every copy is: a folder
            // made for one may hold a copy recorded after it, and is empty only once that is gone.
            // What was recorded while the first pass ran is judged by the second, whatever it is.
            RecordFields f;
            const bool reserved = ParseRecord(b, buffer, &f) && !f.Legacy && f.Inode == 0;
            if (reserved && b->ReplayPass == 0) NoteReserved(b, at, b->ReplayOwnerAt);
            if (reserved != (b->ReplayPass == 1) && !(b->ReplayPass == 1 && at >= b->ReplayEnd)) continue;
            ReplayKeep(b, buffer, index, continued);
            if (Time_GetCurrent() - start >= replayBudget.load()) return -1;
        }
        if (b->ReplayPass == 0) {
            b->ReplayEnd = b->ReplayOffset;
            memcpy(b->ReplayEndOwner, b->ReplayOwner, sizeof(b->ReplayEndOwner));
            b->ReplayOffset = 0;
        }
    }
    return ReplayFinish(b);
}

int32_t StorageFile_ReplayError(void* instance) {
    StorageFile* b = Backend(instance);
    CriticalSectionGuard guard(b->RecordLock);
    return b->ReplayError;
}

int32_t StorageFile_RecordDropped(void* instance, MetaFile* next) {
    StorageFile* b = Backend(instance);
    if (!b->OutputPath[0] || !b->PartialExtension[0]) return 0;
    FileList* list = ListOf(b->Installed);
    FileListIndex* index = nullptr;
    if (next) MetaFile_GetFileListIndexHandle(next, &index);
    // A next version that lists no file drops every one.
    if (!list) return 0;
    {
        CriticalSectionGuard guard(b->OpenLock);
        if (const int32_t error = LoadIgnore(b)) return error;
    }
    FileListMember* member = nullptr;
    for (FileList_MemberGetFirst(list, &member); member;) {
        FileListMember* following = nullptr;
        FileList_MemberGetNext(list, member, &following);
        Entry entry;
        char raw[STORAGE_FILE_PATH_SIZE];
        FileList_MemberGetName(list, member, raw, (int32_t)sizeof(raw));
        // The names next lists are checked, each in its normal form already.
        bool dropped = ReadEntry(b, list, member, &entry) && !Listed(index, entry.Name);
        if (dropped) {
            CriticalSectionGuard guard(b->OpenLock);
            dropped = !HashTable_ContainsKey(b->Ignore, raw) && !HashTable_ContainsKey(b->Ignore, entry.Name);
        }
        member = following;
        if (!dropped) continue;
        int32_t directory = -1, fd = -1;
        const char* leaf = nullptr;
        StorageFileOSStatus status{};
        int32_t error = StorageFileOS_OpenParent(b->OutputPath, entry.Name, 0, &directory, &leaf, nullptr, 1);
        if (!error) error = StorageFileOS_Status(directory, leaf, &status);
        // Only a file of ours reached by this one name is proven; anything else there is left as
        // the cleanup would leave it, and is nothing to record.
        if (!error && status.Kind == STORAGE_FILE_OS_FILE && status.OwnSingle && !StorageFileOS_ProofOf(status) &&
            StorageFileOS_OpenFile(directory, leaf, 0, &fd) == 0) {
            StorageFileOSStatus open{};
            if (StorageFileOS_StatusOf(fd, &open) == 0 && open.Device == status.Device && open.Inode == status.Inode &&
                StorageFileOS_Mark(fd, &open) == 0)
                status.Token = open.Token;
            StorageFileOS_Close(&fd);
        }
        StorageFileOS_Close(&directory);
        // What stands in the way of reaching it (gone, a link, another mount, another's folder)
        // is no file of ours either.
        if (error == ENOENT || error == ENOTDIR || error == EXDEV || error == ELOOP || error == EACCES || error == EPERM)
            continue;
        if (error) return error;
        const uint64_t proof = StorageFileOS_ProofOf(status);
        if (status.Kind != STORAGE_FILE_OS_FILE || !status.OwnSingle || !proof) continue;
        // Recorded as a copy that became its file: a replay removes it where the installed
        // manifest no longer lists it, with the folders it emptied, as the cleanup's erase does.
        uint32_t folders = 0;
        for (const char* p = entry.Name; *p; p++) folders += *p == '/';
        if ((error = RecordCopy(b, entry.Name, folders, 0, status.Device, status.Inode, proof)) != 0) return error;
    }
    return 0;
}

int32_t StorageFile_MarkUnfinished(void* instance) {
    StorageFile* b = Backend(instance);
    if (!b->OutputPath[0] || !b->PartialExtension[0]) return 0;
    CriticalSectionGuard guard(b->RecordLock);
    LoadCopies(b);
    if (b->LoadError) return b->LoadError;
    if (b->Unfinished) {
        b->Repairing = 1;
        return 0;
    }
    int32_t error = HoldFolder(b);
    if (!error && b->ReplayFd < 0 && b->RecordFd < 0)
        error = OpenCopiesRecord(b, 1, &b->RecordFd);
    char line[kOwnerSize + sizeof(kUnfinished)];
    if (!error)
        error = AppendRecord(b, b->ReplayFd >= 0 ? b->ReplayFd : b->RecordFd, line, MarkedUnfinished(b, line));
    // The entry, and the record's name when it was made now, last before the first change.
    if (!error) error = StorageFileOS_SyncFileSystem(b->OutputPath);
    if (error)
        PrintRecordError(b, RecordLeaf(b), error);
    else
        b->Unfinished = 1;
    return error;
}

int64_t StorageFile_IsUnfinished(void* instance) {
    StorageFile* b = Backend(instance);
    if (!b->OutputPath[0] || !b->PartialExtension[0]) return 0;
    CriticalSectionGuard guard(b->RecordLock);
    LoadCopies(b);
    return b->LoadError ? -1 : b->Unfinished ? 1 : 0;
}

void StorageFile_SetFinished(void* instance) {
    StorageFile* b = Backend(instance);
    CriticalSectionGuard guard(b->RecordLock);
    b->Unfinished = 0;
    b->Repairing = 0;
}

int32_t StorageFile_Flush(void* instance) {
    StorageFile* b = Backend(instance);
    if (!b->OutputPath[0] || flushEach.load()) return 0;
    if (const int32_t error = StorageFileOS_SyncFileSystem(b->OutputPath)) return error;
    // Then every other file system a file of this version lies on; each is let go once it lasted.
    CriticalSectionGuard guard(b->CompletedLock);
    while (b->MountCount > 0) {
        const uint32_t last = b->MountCount - 1;
        if (const int32_t error = StorageFileOS_SyncFileSystemOf(b->MountFolders[last])) return error;
        StorageFileOS_Close(&b->MountFolders[last]);
        b->MountCount = last;
    }
    return 0;
}

void StorageFile_SetFlushEachFile(uint32_t each) {
    flushEach.store(each != 0);
}

void StorageFile_SetReplayBudget(double seconds) {
    replayBudget.store(seconds);
}

namespace {

// The folder of the file checked last, held open for the next check: the files of a piece mostly
// share one, and each is then a single status call. Keyed by the name's text up to its last
// slash, which reaches the same folder whatever came before.
struct HeldFolder {
    char Name[STORAGE_FILE_PATH_SIZE];
    size_t Length = 0;
    int32_t Fd = -1;
};

int32_t OpenHeld(StorageFile* b, HeldFolder* held, const char* name, int32_t* directory, const char** leaf) {
    const char* slash = strrchr(name, '/');
    const size_t length = slash ? (size_t)(slash - name) + 1 : 0;
    if (held->Fd >= 0 && held->Length == length && memcmp(held->Name, name, length) == 0) {
        *directory = held->Fd;
        *leaf = name + length;
        return 0;
    }
    StorageFileOS_Close(&held->Fd);
    held->Length = 0;
    const int32_t error = StorageFileOS_OpenParent(b->OutputPath, name, 0, directory, leaf);
    if (error || length >= sizeof(held->Name)) return error;
    memcpy(held->Name, name, length);
    held->Length = length;
    held->Fd = *directory;
    return 0;
}

// Whether the entry's file, leaf in directory, is in place as listed: the one judgement of a listed
// file's state, made by an existence check and by the sweep ahead of a sync alike. 0 with present
// set, or the errno value of the status call; status is what was found.
int32_t JudgeListed(StorageFile* b, const Entry& entry, int32_t directory, const char* leaf,
                    StorageFileOSStatus* status, bool* present) {
    *present = false;
    // Kind, size and time decide here: the file's proof is not read.
    if (const int32_t error = StorageFileOS_StatusPlain(directory, leaf, status)) return error;
    // A file cut short or grown since it was installed does not hold the manifest's pieces. Nor
    // is a file whose time or attributes are not those listed present as listed: a file all of
    // whose pieces are found here is taken for complete without its completion, which would set
    // them, so such a file is written and completed anew.
    bool same = status->Kind == STORAGE_FILE_OS_FILE && status->Size == entry.Size;
    const double wantedTime = b->SkipTimestamp ? 0 : entry.Modified;
    if (same && wantedTime > 0 && status->ModifiedSeconds != (int64_t)wantedTime) same = false;
    uint32_t attributes = 0;
    if (same && WantedAttributes(b, entry) &&
        (!FileAttributesBack(directory, leaf, &attributes) ||
         attributes != (entry.Attributes & (kAttributeReadOnly | kAttributeExecutable))))
        same = false;
    *present = same;
    return 0;
}

// Whether the member's file is in place as the request's manifest lists it: 0 when it is, else
// the code (and extended code) its existence check answers with. Answers at once, on any thread.
// With held, its folder stays open in it for the next call.
uint32_t ExistsCode(StorageFile* b, StorageRequest* request, StorageRequestMember* member, uint32_t* extended,
                    HeldFolder* held = nullptr) {
    *extended = 0;
    FileListMember* file = nullptr;
    MetaFile* meta = nullptr;
    if (request && member) StorageRequest_MemberGetFileListMemberHandle(request, member, &file);
    if (request) StorageRequest_GetMetaFileHandle(request, &meta);
    Entry entry;
    if (!file || !ReadEntry(b, ListOf(meta), file, &entry)) return STORAGE_ERROR_INVALID_CONTENT;
    int32_t directory = -1;
    const char* leaf = nullptr;
    int32_t error = held ? OpenHeld(b, held, entry.Name, &directory, &leaf)
                         : StorageFileOS_OpenParent(b->OutputPath, entry.Name, 0, &directory, &leaf);
    StorageFileOSStatus status{};
    bool present = false;
    if (!error) error = JudgeListed(b, entry, directory, leaf, &status, &present);
    // A file with a copy of ours beside it is being replaced: what it holds may be the old or the
    // new version, piece by piece, so no piece of it counts as present without being read. Except a
    // copy this storage made from the installed file: beside the pieces written into it since, it
    // holds the installed bytes, so what the installed file holds is in it too.
    bool copied = false;
    if (!error) {
        char copy[STORAGE_FILE_PATH_SIZE];
        CopyId id{};
        copied = CopyOf(b, directory, entry.Name, leaf, copy, sizeof(copy), &id);
    }
    if (!held || directory != held->Fd) StorageFileOS_Close(&directory);
    if (copied && !CopiedHere(b, entry.Name)) return STORAGE_NOT_FOUND;
    if (error == ENOENT || error == ENOTDIR) return STORAGE_NOT_FOUND;
    if (error) {
        uint32_t code = 0;
        StorageFileInternal_ErrorPair(error, &code, extended);
        return code;
    }
    if (status.Kind == STORAGE_FILE_OS_LINK) return IsLinkEntry(entry) ? 0u : (uint32_t)STORAGE_ERROR_INVALID_CONTENT;
    return present ? 0u : (uint32_t)STORAGE_NOT_FOUND;
}

// ---- The sweep ahead of a sync ------------------------------------------------------------------

// The files one claim judges: one word of verdicts, written by the thread that claimed it alone.
constexpr uint32_t kSweepChunk = 64;

struct SweepTask {
    IOWorkerItem Item;
    StorageFileSweep* Sweep;
};

// The installation folder's identity, reached by its path as every check reaches it.
int32_t RootIdentity(const StorageFile* b, uint64_t* device, uint64_t* inode) {
    *device = *inode = 0;
    StorageFileOSStatus root{};
    int32_t top = -1;
    const char* leaf = nullptr;
    int32_t error = StorageFileOS_OpenParent(b->OutputPath, "x", 0, &top, &leaf);
    if (!error) error = StorageFileOS_StatusOf(top, &root);
    StorageFileOS_Close(&top);
    if (!error) {
        *device = root.Device;
        *inode = root.Inode;
    }
    return error;
}

} // namespace

// Filled on the thread that starts it; then each chunk's word is written by the one claim that
// took it, before its mark, and read only after the mark.
struct StorageFileSweep {
    std::atomic<int32_t> Refs{1};
    std::atomic<uint32_t> Next{0};    // the next chunk to claim
    std::atomic<int32_t> Busy{0};     // claims taken and not yet judged
    std::atomic<uint32_t> Stopped{0}; // no claim is taken any more
    StorageFile* Backend = nullptr;   // touched only by a claim, which the owner's stop waits for
    uint64_t Serial = 0;              // the backend's (see StorageFile::Serial)
    MetaFile* Installed = nullptr;
    FileList* List = nullptr;
    FileListIndex* Index = nullptr;
    uint32_t Count = 0;
    uint32_t Chunks = 0;
    uint64_t* Present = nullptr;          // a bit per file in stream order: present as listed
    std::atomic<uint8_t>* Judged = nullptr; // per chunk: its word is written
    // What the verdicts were judged by: they serve a storage still set so, and no other.
    char OutputPath[STORAGE_FILE_PATH_SIZE] = {};
    char PartialExtension[32] = {};
    char Kept[STORAGE_FILE_PATH_SIZE] = {};
    uint32_t SkipTimestamp = 0;
    uint32_t SkipAttributes = 0;
    uint64_t RootDevice = 0;
    uint64_t RootInode = 0;
    SweepTask Tasks[STORAGE_FILE_SWEEP_TASKS];
};

namespace {

void SweepLet(StorageFileSweep* s) {
    if (s->Refs.fetch_sub(1) != 1) return;
    if (s->Present) Memory_Free(s->Present, sizeof(uint64_t) * s->Chunks);
    if (s->Judged) Memory_Free(s->Judged, sizeof(std::atomic<uint8_t>) * s->Chunks);
    s->~StorageFileSweep();
    Memory_Free(s, sizeof(StorageFileSweep));
}

// Takes the next chunk and judges its files; false when none was left to take (or the sweep was
// stopped). A file that could not be judged (refused name, status failed) stays not present.
bool SweepClaim(StorageFileSweep* s) {
    s->Busy.fetch_add(1);
    const uint32_t chunk = s->Stopped.load() ? s->Chunks : s->Next.fetch_add(1);
    if (chunk >= s->Chunks) {
        s->Busy.fetch_sub(1);
        return false;
    }
    StorageFile* b = s->Backend;
    uint64_t word = 0;
    HeldFolder held;
    const uint32_t end = std::min(s->Count, (chunk + 1) * kSweepChunk);
    for (uint32_t at = chunk * kSweepChunk; at < end; at++) {
        FileListMember* file = nullptr;
        Entry entry;
        if (!FileList_IndexGetMemberAt(s->Index, at, &file) || !file || !ReadEntry(b, s->List, file, &entry)) continue;
        int32_t directory = -1;
        const char* leaf = nullptr;
        StorageFileOSStatus status{};
        bool present = false;
        if (OpenHeld(b, &held, entry.Name, &directory, &leaf) == 0 &&
            JudgeListed(b, entry, directory, leaf, &status, &present) == 0 && present)
            word |= 1ull << (at - chunk * kSweepChunk);
        if (directory != held.Fd) StorageFileOS_Close(&directory);
    }
    StorageFileOS_Close(&held.Fd);
    s->Present[chunk] = word;
    s->Judged[chunk].store(1, std::memory_order_release);
    s->Busy.fetch_sub(1);
    return true;
}

// One of the sweep's tasks on the I/O worker: a chunk a turn, then back to the queue's end, so that
// what else waits there (a manifest's load among them) is not held up behind the whole sweep.
void SweepTurn(void*, IOWorkerItem* item) {
    StorageFileSweep* s = reinterpret_cast<SweepTask*>(item)->Sweep;
    if (SweepClaim(s) && s->Next.load() < s->Chunks && !s->Stopped.load() && IOWorker_IsRunning()) {
        IOWorker_Post(nullptr, s, item);
        return;
    }
    SweepLet(s);
}

StorageFile* FileBackend(Storage* storage) {
    const StorageInterface* row = nullptr;
    void* instance = nullptr;
    if (!storage || !Storage_GetInterface(storage, &row) || row != &StorageFile_Interface ||
        !Storage_GetInterfaceHandle(storage, &instance) || !instance)
        return nullptr;
    return Backend(instance);
}

// Whether two records list a file the same way: the same name (as written), size, time, attributes
// and link.
bool SameListing(FileList* list, FileListMember* file, FileList* other, FileListMember* otherFile) {
    const char* name = FileList_MemberGetNamePtr(list, file);
    const char* otherName = FileList_MemberGetNamePtr(other, otherFile);
    uint64_t size = 0, otherSize = 0;
    double modified = 0, otherModified = 0;
    uint32_t attributes = 0, otherAttributes = 0, flags = 0, otherFlags = 0;
    FileList_MemberGetSize(list, file, &size);
    FileList_MemberGetSize(other, otherFile, &otherSize);
    FileList_MemberGetModifiedTime(list, file, &modified);
    FileList_MemberGetModifiedTime(other, otherFile, &otherModified);
    FileList_MemberGetFlags(list, file, &flags);
    FileList_MemberGetFlags(other, otherFile, &otherFlags);
    if (!name || !otherName || strcmp(name, otherName) != 0 || size != otherSize || modified != otherModified ||
        FileList_MemberGetAttributes(list, file, &attributes) !=
            FileList_MemberGetAttributes(other, otherFile, &otherAttributes) ||
        attributes != otherAttributes || ((flags ^ otherFlags) & FILELIST_FLAG_LINK))
        return false;
    if (!(flags & FILELIST_FLAG_LINK)) return true;
    char link[STORAGE_FILE_PATH_SIZE], otherLink[STORAGE_FILE_PATH_SIZE];
    FileList_MemberGetLink(list, file, link, (int32_t)sizeof(link));
    FileList_MemberGetLink(other, otherFile, otherLink, (int32_t)sizeof(otherLink));
    return strcmp(link, otherLink) == 0;
}

// Whether the sweep found the member's file in place as listed, and that answer is the one a check
// would give now without its status call: the request's manifest lists the file as the installed
// one the verdict judged, the storage is set as when it judged (see StorageFile_SweepFits), and no
// copy of ours is recorded beside it (one made since would make it not present). Anything else is
// asked of the file.
// next is where the installed file after the last one found stands: a piece's files mostly follow
// one another in both manifests, so the name is looked up only where that one is not the file.
// copies tells whether the record named any copy when the request's check began: where it named none
// no member's name is looked up in it.
bool SweptPresent(StorageFile* b, const StorageFileSweep* s, StorageRequest* request, StorageRequestMember* member,
                  uint32_t* next, bool copies) {
    if (s->Stopped.load() || s->Serial != b->Serial) return false;
    FileListMember* file = nullptr;
    MetaFile* meta = nullptr;
    StorageRequest_MemberGetFileListMemberHandle(request, member, &file);
    StorageRequest_GetMetaFileHandle(request, &meta);
    FileList* list = ListOf(meta);
    Entry entry;
    FileListMember* installed = nullptr;
    uint32_t at = *next;
    const char* name = file && list ? FileList_MemberGetNamePtr(list, file) : nullptr;
    if (!name || (copies && !ReadEntry(b, list, file, &entry))) return false;
    const char* listed = FileList_IndexGetMemberAt(s->Index, at, &installed) && installed
                             ? FileList_MemberGetNamePtr(s->List, installed)
                             : nullptr;
    if ((!listed || strcmp(listed, name) != 0) && !FileList_IndexFindByName(s->Index, name, &installed, nullptr, &at))
        return false;
    *next = at + 1;
    if (at >= s->Count || !installed || !s->Judged[at / kSweepChunk].load(std::memory_order_acquire) ||
        !(s->Present[at / kSweepChunk] >> (at % kSweepChunk) & 1) || !SameListing(list, file, s->List, installed))
        return false;
    CopyId id{};
    return !(copies && b->PartialExtension[0] && RecordedCopy(b, entry.Name, &id));
}

// Whether the record names any copy (or could not be read, which tells nothing).
bool AnyCopy(StorageFile* b) {
    CriticalSectionGuard guard(b->RecordLock);
    LoadCopies(b);
    uint32_t count = 0;
    return !b->Copies || !HashTable_GetCount(b->Copies, &count) || count != 0;
}

} // namespace

int64_t StorageFile_SweepStart(Storage* storage, MetaFile* installed, StorageFileSweep** sweep) {
    ASSERT_POINTER(sweep);
    *sweep = nullptr;
    StorageFile* b = FileBackend(storage);
    FileListIndex* index = nullptr;
    FileList* list = ListOf(installed);
    uint32_t count = 0;
    if (!b || !b->OutputPath[0] || !list || !MetaFile_GetFileListIndexHandle(installed, &index) || !index ||
        !FileList_IndexGetCount(index, &count) || count == 0)
        return 0;
    {
        // The verdicts are judged against this manifest, as a check then judges them, and never
        // for a repair, which reads every file back.
        CriticalSectionGuard guard(b->RecordLock);
        if (b->Installed != installed || b->Repairing) return 0;
    }
    void* block = Memory_AllocZero(sizeof(StorageFileSweep));
    if (!block) return 0;
    auto* s = new (block) StorageFileSweep();
    s->Backend = b;
    s->Serial = b->Serial;
    s->Installed = installed;
    s->List = list;
    s->Index = index;
    s->Count = count;
    s->Chunks = (count + kSweepChunk - 1) / kSweepChunk;
    s->Present = static_cast<uint64_t*>(Memory_AllocZero(sizeof(uint64_t) * s->Chunks));
    s->Judged = static_cast<std::atomic<uint8_t>*>(Memory_AllocZero(sizeof(std::atomic<uint8_t>) * s->Chunks));
    String_CopyLength(s->OutputPath, b->OutputPath, (int32_t)sizeof(s->OutputPath));
    String_CopyLength(s->PartialExtension, b->PartialExtension, (int32_t)sizeof(s->PartialExtension));
    String_CopyLength(s->Kept, b->Kept, (int32_t)sizeof(s->Kept));
    s->SkipTimestamp = b->SkipTimestamp;
    s->SkipAttributes = b->SkipAttributes;
    if (!s->Present || !s->Judged || RootIdentity(b, &s->RootDevice, &s->RootInode) != 0) {
        SweepLet(s);
        return 0;
    }
    // Without a worker the sweep is made where it is finished (StorageFile_SweepFinish).
    for (uint32_t t = 0; t < STORAGE_FILE_SWEEP_TASKS && t < s->Chunks && IOWorker_IsRunning(); t++) {
        s->Tasks[t].Item.Function = SweepTurn;
        s->Tasks[t].Sweep = s;
        s->Refs.fetch_add(1);
        IOWorker_Post(nullptr, s, &s->Tasks[t].Item);
    }
    *sweep = s;
    return 1;
}

void StorageFile_SweepFinish(StorageFileSweep* sweep) {
    if (!sweep) return;
    while (SweepClaim(sweep)) {
    }
    // A claim a task holds judges one chunk: a few status calls.
    while (sweep->Busy.load() != 0) std::this_thread::yield();
}

void StorageFile_SweepStop(StorageFileSweep* sweep) {
    if (!sweep) return;
    sweep->Stopped.store(1);
    while (sweep->Busy.load() != 0) std::this_thread::yield();
}

int64_t StorageFile_SweepFits(Storage* storage, StorageFileSweep* sweep) {
    StorageFile* b = FileBackend(storage);
    if (!sweep || !b || sweep->Stopped.load() || sweep->Serial != b->Serial) return 0;
    if (strcmp(sweep->OutputPath, b->OutputPath) != 0 || strcmp(sweep->PartialExtension, b->PartialExtension) != 0 ||
        sweep->SkipTimestamp != b->SkipTimestamp || sweep->SkipAttributes != b->SkipAttributes)
        return 0;
    {
        CriticalSectionGuard guard(b->RecordLock);
        if (strcmp(sweep->Kept, b->Kept) != 0 || b->Installed != sweep->Installed || b->Repairing) return 0;
    }
    uint64_t device = 0, inode = 0;
    return RootIdentity(b, &device, &inode) == 0 && device == sweep->RootDevice && inode == sweep->RootInode ? 1 : 0;
}

int64_t StorageFile_SweepAddRef(StorageFileSweep* sweep) {
    if (!sweep) return 0;
    sweep->Refs.fetch_add(1);
    return 1;
}

int64_t StorageFile_SweepRelease(StorageFileSweep** sweep) {
    ASSERT_POINTER(sweep);
    if (!*sweep) return 0;
    SweepLet(*sweep);
    *sweep = nullptr;
    return 1;
}

int64_t StorageFile_Exists(void* instance, StorageOperation* operation) {
    StorageRequest* request = nullptr;
    StorageRequestMember* member = nullptr;
    Storage_OperationGetRequest(operation, &request);
    Storage_OperationGetMember(operation, &member);
    uint32_t extended = 0;
    const uint32_t code = ExistsCode(Backend(instance), request, member, &extended);
    return Finish(operation, code, extended);
}

int64_t StorageFile_ExistsAtOnce(Storage* storage, StorageRequest* request, uint32_t* code, StorageFileSweep* sweep) {
    ASSERT_POINTER(code);
    *code = 0;
    const StorageInterface* row = nullptr;
    void* instance = nullptr;
    if (!storage || !request || !Storage_GetInterface(storage, &row) || row != &StorageFile_Interface ||
        !Storage_GetInterfaceHandle(storage, &instance) || !instance)
        return 0;
    StorageFile_AddRef(instance);
    // The same answer as the chain's check, member by member, the first that fails deciding; a file
    // the sweep found in place, as its check would find it now, is not asked again.
    StorageFile* b = Backend(instance);
    StorageRequestMember* member = nullptr;
    StorageRequest_MemberGetFirst(request, &member);
    uint32_t found = 0, extended = 0;
    HeldFolder held;
    uint32_t next = 0;
    const bool copies = sweep && AnyCopy(b);
    for (; member && found == 0;) {
        if (!sweep || !SweptPresent(b, sweep, request, member, &next, copies))
            found = ExistsCode(b, request, member, &extended, &held);
        StorageRequestMember* next = nullptr;
        StorageRequest_MemberGetNext(request, member, &next);
        member = next;
    }
    StorageFileOS_Close(&held.Fd);
    StorageFile_Release(&instance);
    *code = found;
    return 1;
}

int64_t StorageFile_Get(void* instance, StorageOperation* operation) {
    return Transfer_Start(Backend(instance), operation, 0);
}

int64_t StorageFile_Put(void* instance, StorageOperation* operation) {
    return Transfer_Start(Backend(instance), operation, 1);
}

int64_t StorageFile_Erase(void* instance, StorageOperation* operation) {
    Backend(instance);
    return Finish(operation, STORAGE_NOT_SUPPORTED, 0);
}

int64_t StorageFile_FileErase(void* instance, StorageOperation* operation) {
    StorageFile* b = Backend(instance);
    MetaFile* meta = nullptr;
    FileListMember* file = nullptr;
    Storage_OperationGetMetaFile(operation, &meta);
    Storage_OperationGetFileRecord(operation, &file);
    Entry entry;
    if (!file) return Finish(operation, STORAGE_ERROR_INVALID_CONTENT, 0);
    if (!ReadEntry(b, ListOf(meta), file, &entry)) {
        if (!entry.Name[0] || !KeptName(b, entry.Name)) return Finish(operation, STORAGE_ERROR_INVALID_CONTENT, 0);
        // A manifest installed before the installation's own names were kept from it may list one:
        // what stands there is the installation's, never the listed file.
        char shown[STORAGE_FILE_PATH_SIZE * 2];
        String_Print(shown, (int32_t)sizeof(shown), "%s%s", b->OutputPath, entry.Name);
        if (NameOnce(b, shown)) StorageFile_Print(b, "Name kept by the installation, left (%s)", LogText(shown).Text);
        return Finish(operation, 0, 0);
    }
    bool ignored = false;
    int32_t ignoreError = 0;
    {
        CriticalSectionGuard guard(b->OpenLock);
        ignoreError = LoadIgnore(b);
        char raw[STORAGE_FILE_PATH_SIZE];
        FileList_MemberGetName(ListOf(meta), file, raw, (int32_t)sizeof(raw));
        ignored = HashTable_ContainsKey(b->Ignore, raw) || HashTable_ContainsKey(b->Ignore, entry.Name);
    }
    if (ignoreError) return Finish(operation, STORAGE_ERROR_OS, (uint32_t)ignoreError);
    if (ignored) return Finish(operation, 0, 0);
    StorageFile_VerboseLog(b, 0, "Erase (%s)", LogText(entry.Name).Text);
    int32_t directory = -1;
    const char* leaf = nullptr;
    int32_t error = StorageFileOS_OpenParent(b->OutputPath, entry.Name, 0, &directory, &leaf);
    if (error == ENOENT || error == ENOTDIR) {
        if (b->Front) Storage_SetIOTime(b->Front, Time_GetCurrent());
        return Finish(operation, 0, 0);
    }
    if (error) return FinishError(operation, error);
    StorageFileOSStatus status{};
    error = StorageFileOS_Status(directory, leaf, &status);
    if (!error && status.Kind == STORAGE_FILE_OS_LINK && !IsLinkEntry(entry)) error = ELOOP;
    // A dropped file takes the storage's copy of it along, whatever name it took; what holds a
    // copy's name and is not that copy is left.
    if (!error) {
        char copy[STORAGE_FILE_PATH_SIZE];
        CopyId id{};
        if (CopyOf(b, directory, entry.Name, leaf, copy, sizeof(copy), &id) &&
            (error = StorageFileOS_RemoveCopy(directory, copy, id.Device, id.Inode, id.Birth)) == 0)
            DropCopy(b, entry.Name);
        if (IsHeld(error)) error = 0;
    }
    if (!error && status.Kind != STORAGE_FILE_OS_MISSING && status.OtherUser) {
        // Another user's entry at a name the version dropped was never installed here: it is left,
        // and no sync waits on it.
        char shown[STORAGE_FILE_PATH_SIZE * 2];
        String_Print(shown, (int32_t)sizeof(shown), "%s%s", b->OutputPath, entry.Name);
        if (NameOnce(b, shown))
            StorageFile_Print(b, "File of another user left (%s) (%d)", LogText(shown).Text, PLATFORM_ERROR_ERRNO_BASE + EPERM);
        StorageFileOS_Close(&directory);
        if (b->Front) Storage_SetIOTime(b->Front, Time_GetCurrent());
        return Finish(operation, 0, 0);
    }
    // A folder at a dropped file's name is the new version's, or nobody's file: not the one dropped.
    if (!error && status.Kind != STORAGE_FILE_OS_MISSING && status.Kind != STORAGE_FILE_OS_DIRECTORY) {
        // An installed read-only file is erased like any other.
        if (status.Kind == STORAGE_FILE_OS_FILE) Platform_EnsurePathMutableAt(directory, leaf);
        error = StorageFileOS_Remove(directory, leaf, 0);
        if (error == ENOENT) error = 0;
    }
    StorageFileOS_Close(&directory);
    if (error) return FinishError(operation, error);
    {
        CriticalSectionGuard guard(b->OpenLock);
        error = StorageFileInternal_Collapse(b->OutputPath, entry.Name, b, EraseCollapsePrint);
    }
    if (error) return FinishError(operation, error);
    if (b->Front) Storage_SetIOTime(b->Front, Time_GetCurrent());
    return Finish(operation, 0, 0);
}

int64_t StorageFile_FileComplete(void* instance, StorageOperation* operation) {
    StorageFile* b = Backend(instance);
    StorageRequest* request = nullptr;
    FileListMember* file = nullptr;
    MetaFile* meta = nullptr;
    Storage_OperationGetRequest(operation, &request);
    Storage_OperationGetFileRecord(operation, &file);
    if (request) StorageRequest_GetMetaFileHandle(request, &meta);
    if (!file || !meta) return Finish(operation, STORAGE_ERROR_INVALID_CONTENT, 0);
    uint32_t code = 0, extended = 0;
    StorageFile_FileCompleteInt(b, ListOf(meta), file, b->SelfUpdate, &code, &extended);
    return Finish(operation, code, extended);
}
