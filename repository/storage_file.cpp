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
#include "core/runtime/thread.h"
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
    // The record of copies made (see StorageRecordCopies): what it holds, under RecordLock (which also
    // keeps Kept).
    CriticalSection* RecordLock;
    StorageRecordCopies Record;
    // The installation's own names below the folder (the local manifest's), under RecordLock.
    char Kept[STORAGE_FILE_PATH_SIZE];
    // Under CompletedLock: a folder (open) of each other file system a completed file of this
    // version lies on, by device, so that the flush before the manifest's save reaches them all.
    int32_t MountFolders[kMountsKept];
    uint64_t MountDevices[kMountsKept];
    uint32_t MountCount;
    uint64_t RootDevice; // the installation folder's own, once known (under CompletedLock)
    // This backend among every one the process made: a sweep knows the one it judged for by it, as
    // another made later may be given the same address.
    uint64_t Serial;
    // The unfinished mark's flush running on the I/O worker, under RecordLock (StorageFile_MarkStart).
    struct MarkJob* Mark;
};

// The unfinished mark's flush, run on the I/O worker. It holds a reference of the backend until
// Done is set, and touches nothing of its own after that: the backend frees it.
struct MarkJob {
    IOWorkerItem Item;
    StorageFile* Backend;
    uint32_t ThreadId;
    StorageRecordMarkFlush Flush;
    int32_t Error;
    std::atomic<uint32_t> Done;
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

// The record's lines go to this storage's log.
void RecordPrint(void* user, uint32_t verbose, const char* text) {
    StorageFile* b = static_cast<StorageFile*>(user);
    if (verbose) StorageFile_VerboseLog(b, 0, "%s", text);
    else StorageFile_Print(b, "%s", text);
}

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
// partial and kept are the storage's copies' suffix and kept names.
int64_t ReadEntryAs(const char* partial, const char* kept, FileList* list, FileListMember* member, Entry* entry) {
    memset(entry, 0, sizeof(*entry));
    char raw[STORAGE_FILE_PATH_SIZE];
    FileList_MemberGetName(list, member, raw, (int32_t)sizeof(raw));
    if (!StorageFilePath_Check(raw, entry->Name, (int32_t)sizeof(entry->Name))) return 0;
    if (StorageFilePath_IsReserved(entry->Name, partial) || StorageFilePath_IsKept(entry->Name, kept)) return 0;
    entry->HasAttributes = FileList_MemberGetAttributes(list, member, &entry->Attributes) ? 1 : 0;
    FileList_MemberGetSize(list, member, &entry->Size);
    FileList_MemberGetOffset(list, member, &entry->Offset);
    FileList_MemberGetPadding(list, member, &entry->Padding);
    FileList_MemberGetModifiedTime(list, member, &entry->Modified);
    FileList_MemberGetLink(list, member, entry->Link, (int32_t)sizeof(entry->Link));
    return 1;
}

int64_t ReadEntry(const StorageFile* b, FileList* list, FileListMember* member, Entry* entry) {
    return ReadEntryAs(b->PartialExtension, b->Kept, list, member, entry);
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

// A folder at a copy's name goes only where an earlier version installed it: what the installed
// manifest lists in it is erased, and the folder once nothing else is left in it (EISDIR else).
int32_t ClearInstalledFolder(StorageFile* b, int32_t directory, const char* name, const char* leaf) {
    char prefix[STORAGE_FILE_PATH_SIZE * 2];
    const char* slash = strrchr(name, '/');
    String_Print(prefix, (int32_t)sizeof(prefix), "%.*s%s", slash ? (int)(slash + 1 - name) : 0, name, leaf);
    CriticalSectionGuard guard(b->RecordLock);
    if (!b->Record.Installed) return EISDIR;
    const int32_t error = StorageFileOS_ClearListed(directory, leaf, prefix, &b->Record, StorageRecord_ListedInstalled);
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
                listed = StorageRecord_ListedInstalled(&b->Record, prefix) != 0;
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
    StorageRecord_ShowBeside(&b->Record, name, leaf, out, size);
}

// Whether the entry shown is named for the first time in this storage's life: each is named once.
bool NameOnce(StorageFile* b, const char* shown) {
    CriticalSectionGuard guard(b->RecordLock);
    if (HashTable_ContainsKey(b->Record.Named, shown)) return false;
    HashTable_Add(b->Record.Named, shown, 1);
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
// What the record holds and every rule of it are the record's (StorageRecordCopies); the transfers
// record each copy before any name leads to it and ask the record which copies are theirs.

int32_t RecordCopy(StorageFile* b, const char* name, uint32_t made, uint32_t alternate, uint64_t device,
                   uint64_t inode, uint64_t birth) {
    CriticalSectionGuard guard(b->RecordLock);
    return StorageRecord_AddCopy(&b->Record, name, made, alternate, device, inode, birth);
}

void DropCopy(StorageFile* b, const char* name) {
    CriticalSectionGuard guard(b->RecordLock);
    StorageRecord_SetCopy(&b->Record, name, nullptr);
}

// The copy of name the record names: 1 with its identity, else 0.
bool RecordedCopy(StorageFile* b, const char* name, StorageRecordCopy* id) {
    CriticalSectionGuard guard(b->RecordLock);
    return StorageRecord_FindCopy(&b->Record, name, id);
}

// The one question every reader asks: is there a copy of name (whose last component, leaf, lies in
// directory) that this storage made? true with its name when the record names it and that very
// file stands under it, whatever mode it already has.
bool CopyOf(StorageFile* b, int32_t directory, const char* name, const char* leaf, char* copy, size_t size,
            StorageRecordCopy* id) {
    copy[0] = 0;
    if (!b->PartialExtension[0] || !RecordedCopy(b, name, id)) return false;
    if (StorageRecord_CopyName(b->PartialExtension, leaf, copy, size, id->Alternate) != 0) return false;
    StorageFileOSStatus status{};
    return StorageFileOS_Status(directory, copy, &status) == 0 && status.OwnSingle &&
           StorageFileOS_SameFile(status, id->Device, id->Inode, id->Birth);
}

// Under RecordLock: whether the installed manifest lists attributes for the very file name (its
// index finds a name without regard to case), and which.
bool ListedAttributes(MetaFile* installed, const char* name, uint32_t* attributes) {
    FileListIndex* index = nullptr;
    FileListMember* found = nullptr;
    uint64_t offset = 0;
    if (!installed || !MetaFile_GetFileListIndexHandle(installed, &index) || !index ||
        !FileList_IndexFindByName(index, name, &found, &offset))
        return false;
    FileList* list = ListOf(installed);
    const char* listed = FileList_MemberGetNamePtr(list, found);
    return listed && strcmp(listed, name) == 0 && FileList_MemberGetAttributes(list, found, attributes);
}

bool InstalledAttributes(StorageFile* b, const char* name, uint32_t* attributes) {
    return ListedAttributes(b->Record.Installed, name, attributes);
}

// Whether the link at a file's name is ours to replace: one the record identifies (a stopped run
// made it for a version never completed), or a link entry of the installed version there.
bool LinkGivesWay(StorageFile* b, const char* name, const StorageFileOSStatus& status) {
    if (status.OtherUser) return false;
    StorageRecordCopy id{};
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
    for (uint32_t n = 0; n <= STORAGE_RECORD_ALTERNATES; n++) {
        char leaf[STORAGE_FILE_PATH_SIZE], scratch[STORAGE_FILE_PATH_SIZE + 8];
        int32_t error = StorageRecord_CopyName(b->PartialExtension, r->Leaf, leaf, sizeof(leaf), n);
        if (!error) {
            String_Print(scratch, (int32_t)sizeof(scratch), "%s~", leaf);
            for (const char* entry : {(const char*)scratch, (const char*)leaf}) {
                error = NameFree(b, r->Directory, name, entry, n == 0);
                if (StorageRecord_IsHeld(error)) PrintHeld(b, name, entry, error);
                if (error) break;
            }
            if (StorageRecord_IsHeld(error)) continue;
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
        for (int tries = 0; !error && !StorageFileOS_ProofOf(made_) && alternate <= STORAGE_RECORD_ALTERNATES; tries++) {
            uint32_t drawn = 0;
            if (tries == 8 || !Platform_CryptFill(&drawn, (int32_t)sizeof(drawn))) {
                error = tries == 8 ? EEXIST : EIO;
                break;
            }
            drawn = STORAGE_RECORD_RANDOM_COPY + drawn % 3000000000u;
            char random[STORAGE_FILE_PATH_SIZE];
            if ((error = StorageRecord_CopyName(b->PartialExtension, r->Leaf, random, sizeof(random), drawn)) != 0) break;
            error = NameFree(b, r->Directory, name, random, false);
            if (StorageRecord_IsHeld(error)) error = 0;
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
            error = StorageRecord_AddCopy(&b->Record, name, made, alternate, made_.Device, made_.Inode, proof);
            if (!error) error = StorageFileOS_NameCopy(r->Directory, fd, named, leaf);
            // Where nothing can prove it, the name drawn at random does (see ParseRecord).
            const StorageRecordCopy id{made_.Device, made_.Inode, proof ? proof : STORAGE_FILE_OS_UNPROVEN, alternate, 1,
                                       made};
            if (!error) StorageRecord_SetCopy(&b->Record, name, &id);
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
        if (n && n <= STORAGE_RECORD_ALTERNATES) {
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
        StorageRecordCopy id{};
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
// installedEntry: the entry is the installed manifest's own listing (the sweep, which never runs
// for a repair), which has just said whether it lists attributes: nothing is looked up or locked.
bool WantedAttributes(StorageFile* b, const Entry& entry, bool installedEntry = false) {
    if (b->SkipAttributes) return false;
    if (entry.HasAttributes) return true;
    if (installedEntry) return false;
    uint32_t listed = 0;
    CriticalSectionGuard guard(b->RecordLock);
    return b->Record.Repairing || InstalledAttributes(b, entry.Name, &listed);
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
    for (uint32_t n = 0; n <= STORAGE_RECORD_ALTERNATES; n++) {
        char copy[STORAGE_FILE_PATH_SIZE], scratch[STORAGE_FILE_PATH_SIZE + 8];
        int32_t error = StorageRecord_CopyName(b->PartialExtension, leaf, copy, sizeof(copy), n);
        if (error) return error;
        String_Print(scratch, (int32_t)sizeof(scratch), "%s~", copy);
        error = NameFree(b, directory, name, scratch, false);
        if (StorageRecord_IsHeld(error)) PrintHeld(b, name, scratch, error);
        if (StorageRecord_IsHeld(error)) continue;
        if (!error) error = RecordCopy(b, name, made, n, 0, 0, 0);
        if (!error) error = StorageFileOS_CreateLink(directory, scratch, target);
        if (error == EEXIST) continue;
        StorageFileOSStatus status{};
        if (!error) error = StorageFileOS_Status(directory, scratch, &status);
        if (!error && (status.Kind != STORAGE_FILE_OS_LINK || status.OtherUser)) error = EEXIST;
        if (!error) {
            CriticalSectionGuard guard(b->RecordLock);
            error = StorageRecord_AddCopy(&b->Record, name, made, n, status.Device, status.Inode, status.Birth);
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
            StorageRecordCopy id{};
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
        StorageRecordCopy was{};
        const bool drawn = !error && r->Partial && RecordedCopy(b, entry.Name, &was) && was.Alternate >= STORAGE_RECORD_RANDOM_COPY;
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
// nothing, and the unchanged file is never copied for it. *found: the file's status as judged.
bool SliceUnchanged(StorageFile* b, StorageRequest* request, const Entry& entry, uint64_t fileOffset,
                    uint32_t bufferOffset, uint32_t length, StorageFileOSStatus* found) {
    {
        // Nothing the installed manifest does not list was installed: no file of it to keep.
        CriticalSectionGuard guard(b->RecordLock);
        if (b->Record.Installed && !StorageRecord_ListedInstalled(&b->Record, entry.Name)) return false;
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
    StorageFileOSStatus& status = *found;
    status = StorageFileOSStatus{};
    // What stands at a copy's name and is not ours is no copy of this file.
    StorageRecordCopy id{};
    bool same = !CopyOf(b, directory, entry.Name, leaf, partialLeaf, sizeof(partialLeaf), &id) &&
                StorageFileOS_OpenFile(directory, leaf, 0, &fd) == 0 &&
                StorageFileOS_StatusPlainOf(fd, &status) == 0 && status.Size == entry.Size &&
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
    StorageFileOSStatus found{};
    if (write && SliceUnchanged(b, request, entry, fileOffset, bufferOffset, length, &found)) {
        // Nothing to write, so no copy: a file that lies within this piece is completed as a
        // written one would be (its time and attributes). One whose time is the listed one, and
        // whose attributes are not asked for, is complete as it stands: the status just taken, of
        // the installed file with no copy beside it, says all the completion would ask.
        if (FileEndsHere(request, member, meta, file)) {
            const double wantedTime = b->SkipTimestamp ? 0 : entry.Modified;
            if (found.Kind == STORAGE_FILE_OS_FILE && !WantedAttributes(b, entry) &&
                (wantedTime <= 0 || found.ModifiedSeconds == (int64_t)wantedTime)) {
                CompletedSet(b, entry.Name, true);
                StorageFile_VerboseLog(b, 0, "File Complete (%s)", LogText(entry.Name).Text);
            } else {
                StorageFile_FileCompleteInt(b, ListOf(meta), file, b->SelfUpdate, &code, &extended);
            }
        }
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
    // A step of a chain runs on the I/O worker holding nothing: the transfer is made here where
    // the file is idle, and its completion hands the chain's next step to this thread as well.
    if (write) AsyncFile_WriteHere(r->File, fileOffset, t->Pointer, length, t, StorageFile_FileOperationComplete);
    else AsyncFile_ReadHere(r->File, fileOffset, t->Pointer, amount, t, StorageFile_FileOperationComplete);
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
    // A mark's flush holds a reference until it is done: one left unasked is done.
    delete b->Mark;
    StorageRecord_CopiesFree(&b->Record);
    HashTable_Delete(&b->Ignore);
    Pool_Delete(&b->Records);
    Pool_Delete(&b->Transfers);
    for (uint32_t i = 0; i < b->MountCount; i++) StorageFileOS_Close(&b->MountFolders[i]);
    CriticalSection_Delete(&b->RecordLock);
    CriticalSection_Delete(&b->OpenLock);
    CriticalSection_Delete(&b->CompletedLock);
    return StorageFileInternal_Free<StorageFile>(handle);
}

// Whether a transfer held the file's record when the removal began (user: those names).
bool InUse(void* user, const char* name) {
    return HashTable_ContainsKey(static_cast<HashTable*>(user), name) != 0;
}

// The copies this storage made and still knows go with a sync that failed or stopped (see
// StorageRecord_RemoveMade). A writer's record kept open for the pieces to come is closed first, so
// that nothing is written through it into a copy gone; what a transfer still holds stays. The table
// is read before the record is held, never under it (a transfer holds its file's lock while it
// records a copy, and the table's lock is taken before a file's).
int32_t RemoveMade(StorageFile* b) {
    HashTable* busy = nullptr;
    HashTable_Create(&busy, STORAGE_FILE_PATH_SIZE, 16);
    HashTable_SetValueCallback(busy, nullptr, HashTable_StringKeyedValue);
    for (bool idle = true; idle;) {
        OpenRecord* found = nullptr;
        {
            CriticalSectionGuard guard(b->OpenLock);
            HashTableMember* m = nullptr;
            for (HashTable_MemberGetFirst(b->OpenFiles, &m); m;) {
                uint64_t value = 0;
                HashTable_MemberGetValue(b->OpenFiles, m, &value);
                OpenRecord* r = reinterpret_cast<OpenRecord*>(value);
                if (r->References <= 0) {
                    found = r;
                    HashTable_MemberRemove(b->OpenFiles, &m);
                    break;
                }
                if (!HashTable_ContainsKey(busy, r->Name)) HashTable_Add(busy, r->Name, 1);
                HashTableMember* next = nullptr;
                HashTable_MemberGetNext(b->OpenFiles, m, &next);
                m = next;
            }
        }
        idle = found != nullptr;
        if (found) FreeRecord(b, found);
    }
    int32_t error = 0;
    {
        CriticalSectionGuard guard(b->RecordLock);
        error = StorageRecord_RemoveMade(&b->Record, busy, InUse);
    }
    HashTable_Delete(&busy);
    return error;
}

// A storage shut down records no more copies (see StorageRecord_Shutdown). What it made is left as
// it is: a shutdown is no verdict on the sync (its owner removes a failed one's copies, see
// StorageFile_RemoveMadeCopies), and a storage let go as a killed process lets it go leaves them too.
void Shutdown(StorageFile* b) {
    CriticalSectionGuard guard(b->RecordLock);
    StorageRecord_Shutdown(&b->Record);
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
    StorageRecord_CopiesInit(&b->Record, b->OutputPath, b->PartialExtension, b, RecordPrint);
    StorageFilePath_IgnoreCreate(&b->Ignore);
    CriticalSection_Create(&b->OpenLock);
    CriticalSection_Create(&b->CompletedLock);
    CriticalSection_Create(&b->RecordLock);
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
    b->Record.RecordName[0] = 0;
    b->Record.RecordFound = 0;
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


void StorageFile_SetInstalled(void* instance, MetaFile* installed) {
    StorageFile* b = Backend(instance);
    if (installed) MetaFile_AddRef(installed);
    CriticalSectionGuard guard(b->RecordLock);
    if (b->Record.Installed) MetaFile_Release(&b->Record.Installed);
    b->Record.Installed = installed;
}

void StorageFile_SetOwner(void* instance, const char* owner, const char* kept) {
    StorageFile* b = Backend(instance);
    CriticalSectionGuard guard(b->RecordLock);
    StorageRecord_SetOwner(&b->Record, owner);
    b->Kept[0] = 0;
    if (kept && kept[0] && !StorageFilePath_Check(kept, b->Kept, (int32_t)sizeof(b->Kept))) b->Kept[0] = 0;
}

int64_t StorageFile_RemoveStrayCopies(void* instance, MetaFile* installed, uint32_t continued) {
    StorageFile* b = Backend(instance);
    CriticalSectionGuard guard(b->RecordLock);
    return StorageRecord_Replay(&b->Record, installed, continued);
}

int32_t StorageFile_ReplayError(void* instance) {
    StorageFile* b = Backend(instance);
    CriticalSectionGuard guard(b->RecordLock);
    return b->Record.ReplayError;
}

int32_t StorageFile_RecordDropped(void* instance, MetaFile* next) {
    StorageFile* b = Backend(instance);
    if (!b->OutputPath[0] || !b->PartialExtension[0]) return 0;
    FileList* list = ListOf(b->Record.Installed);
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
        bool dropped = ReadEntry(b, list, member, &entry) && !StorageRecord_Listed(index, entry.Name);
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

int32_t StorageFile_RemoveMadeCopies(void* instance) {
    return RemoveMade(Backend(instance));
}

int32_t StorageFile_MarkUnfinished(void* instance) {
    StorageFile* b = Backend(instance);
    CriticalSectionGuard guard(b->RecordLock);
    return StorageRecord_MarkUnfinished(&b->Record);
}

namespace {

void MarkFlushRun(void*, IOWorkerItem* item) {
    MarkJob* job = reinterpret_cast<MarkJob*>(item);
    job->Error = StorageRecord_MarkFlush(&job->Flush);
    void* backend = job->Backend;
    const uint32_t thread = job->ThreadId;
    job->Done.store(1, std::memory_order_release);
    if (thread) Thread_Signal(thread);
    StorageFile_Release(&backend);
}

} // namespace

int32_t StorageFile_MarkStart(void* instance, uint32_t threadId) {
    StorageFile* b = Backend(instance);
    CriticalSectionGuard guard(b->RecordLock);
    if (b->Mark) return EBUSY;
    StorageRecordMarkFlush flush;
    int32_t error = StorageRecord_MarkWrite(&b->Record, &flush);
    if (error || flush.Record < 0) return error;
    if (!IOWorker_IsRunning()) {
        StorageRecord_MarkSettle(&b->Record, error = StorageRecord_MarkFlush(&flush));
        return error;
    }
    MarkJob* job = new MarkJob{};
    job->Item.Function = MarkFlushRun;
    job->Backend = b;
    job->ThreadId = threadId;
    job->Flush = flush;
    StorageFile_AddRef(b);
    b->Mark = job;
    IOWorker_Post(nullptr, b, &job->Item);
    return 0;
}

int64_t StorageFile_MarkSettled(void* instance, int32_t* error) {
    StorageFile* b = Backend(instance);
    *error = 0;
    CriticalSectionGuard guard(b->RecordLock);
    MarkJob* job = b->Mark;
    if (!job) return 1;
    if (!job->Done.load(std::memory_order_acquire)) return 0;
    *error = job->Error;
    StorageRecord_MarkSettle(&b->Record, job->Error);
    b->Mark = nullptr;
    delete job;
    return 1;
}

int64_t StorageFile_IsUnfinished(void* instance) {
    StorageFile* b = Backend(instance);
    CriticalSectionGuard guard(b->RecordLock);
    return StorageRecord_IsUnfinished(&b->Record);
}

void StorageFile_SetFinished(void* instance) {
    StorageFile* b = Backend(instance);
    CriticalSectionGuard guard(b->RecordLock);
    StorageRecord_SetFinished(&b->Record);
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
    StorageRecord_SetReplayBudget(seconds);
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

// root is the installation folder's path.
int32_t OpenHeldAt(const char* root, HeldFolder* held, const char* name, int32_t* directory, const char** leaf) {
    const char* slash = strrchr(name, '/');
    const size_t length = slash ? (size_t)(slash - name) + 1 : 0;
    if (held->Fd >= 0 && held->Length == length && memcmp(held->Name, name, length) == 0) {
        *directory = held->Fd;
        *leaf = name + length;
        return 0;
    }
    StorageFileOS_Close(&held->Fd);
    held->Length = 0;
    const int32_t error = StorageFileOS_OpenParent(root, name, 0, directory, leaf);
    if (error || length >= sizeof(held->Name)) return error;
    memcpy(held->Name, name, length);
    held->Length = length;
    held->Fd = *directory;
    return 0;
}

int32_t OpenHeld(StorageFile* b, HeldFolder* held, const char* name, int32_t* directory, const char** leaf) {
    return OpenHeldAt(b->OutputPath, held, name, directory, leaf);
}

// Whether the entry's file, leaf in directory, is in place as listed: the one judgement of a listed
// file's state, made by an existence check and by the sweep ahead of a sync alike. 0 with present
// set, or the errno value of the status call; status is what was found.
// wantedTime is the listed time the file must have (0: any); attributes whether its attributes must
// be those listed.
int32_t JudgeAs(const Entry& entry, int32_t directory, const char* leaf, StorageFileOSStatus* status, bool* present,
                double wantedTime, bool attributes, int64_t user) {
    *present = false;
    // Kind, size and time decide here: the file's proof is not read.
    if (const int32_t error = StorageFileOS_StatusPlain(directory, leaf, status, user)) return error;
    // A file cut short or grown since it was installed does not hold the manifest's pieces. Nor
    // is a file whose time or attributes are not those listed present as listed: a file all of
    // whose pieces are found here is taken for complete without its completion, which would set
    // them, so such a file is written and completed anew.
    bool same = status->Kind == STORAGE_FILE_OS_FILE && status->Size == entry.Size;
    if (same && wantedTime > 0 && status->ModifiedSeconds != (int64_t)wantedTime) same = false;
    uint32_t found = 0;
    if (same && attributes &&
        (!FileAttributesBack(directory, leaf, &found) ||
         found != (entry.Attributes & (kAttributeReadOnly | kAttributeExecutable))))
        same = false;
    *present = same;
    return 0;
}

int32_t JudgeListed(StorageFile* b, const Entry& entry, int32_t directory, const char* leaf,
                    StorageFileOSStatus* status, bool* present) {
    return JudgeAs(entry, directory, leaf, status, present, b->SkipTimestamp ? 0 : entry.Modified,
                   WantedAttributes(b, entry), -1);
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
        StorageRecordCopy id{};
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
// took it, before its mark, and read only after the mark. A claim reads nothing of the storage but
// what was copied here at the start, so the storage may be set up again while claims run; the
// installed manifest is the owner's to keep until the sweep is stopped.
struct StorageFileSweep {
    std::atomic<int32_t> Refs{1};
    std::atomic<uint32_t> Next{0};    // the next chunk to claim
    std::atomic<int32_t> Busy{0};     // claims taken and not yet judged
    std::atomic<uint32_t> Stopped{0}; // no claim is taken any more
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
    uint64_t word = 0;
    HeldFolder held;
    // Asked once for the chunk: the process's user does not change under a sweep.
    const int64_t user = (int64_t)geteuid();
    const uint32_t end = std::min(s->Count, (chunk + 1) * kSweepChunk);
    for (uint32_t at = chunk * kSweepChunk; at < end; at++) {
        FileListMember* file = nullptr;
        Entry entry;
        if (!FileList_IndexGetMemberAt(s->Index, at, &file) || !file ||
            !ReadEntryAs(s->PartialExtension, s->Kept, s->List, file, &entry))
            continue;
        int32_t directory = -1;
        const char* leaf = nullptr;
        StorageFileOSStatus status{};
        bool present = false;
        // An installed entry's attributes count only where it lists them.
        if (OpenHeldAt(s->OutputPath, &held, entry.Name, &directory, &leaf) == 0 &&
            JudgeAs(entry, directory, leaf, &status, &present, s->SkipTimestamp ? 0 : entry.Modified,
                    !s->SkipAttributes && entry.HasAttributes, user) == 0 &&
            present)
            word |= 1ull << (at - chunk * kSweepChunk);
        if (directory != held.Fd) StorageFileOS_Close(&directory);
    }
    StorageFileOS_Close(&held.Fd);
    s->Present[chunk] = word;
    s->Judged[chunk].store(1, std::memory_order_release);
    s->Busy.fetch_sub(1);
    return true;
}

// One of the sweep's tasks on the I/O worker: chunks for a slice of time a turn, then back to the
// queue's end, so that what else waits there (a manifest's load among them) is not held up behind
// the whole sweep. A post a chunk would cost more than the chunk's status calls.
constexpr double kSweepSlice = 0.001;

void SweepTurn(void*, IOWorkerItem* item) {
    StorageFileSweep* s = reinterpret_cast<SweepTask*>(item)->Sweep;
    const double start = Time_GetCurrent();
    bool claimed = SweepClaim(s);
    while (claimed && Time_GetCurrent() - start < kSweepSlice) claimed = SweepClaim(s);
    if (claimed && s->Next.load() < s->Chunks && !s->Stopped.load() && IOWorker_IsRunning()) {
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

// Whether a chunk has its verdicts: what no task has taken yet, up to it, is judged on this thread
// and one a task holds (a few status calls) is waited for. A check that meets the sweep's front
// joins it rather than making the same calls beside it. false once the sweep is stopped.
bool AwaitChunk(StorageFileSweep* s, uint32_t chunk) {
    while (!s->Judged[chunk].load(std::memory_order_acquire)) {
        if (s->Stopped.load()) return false;
        if (s->Next.load() <= chunk) SweepClaim(s);
        else std::this_thread::yield();
    }
    return true;
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
bool SweptPresent(StorageFile* b, StorageFileSweep* s, StorageRequest* request, StorageRequestMember* member,
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
    const auto listedAt = [&](uint32_t place) {
        const char* listed = FileList_IndexGetMemberAt(s->Index, place, &installed) && installed
                                 ? FileList_MemberGetNamePtr(s->List, installed)
                                 : nullptr;
        return listed && strcmp(listed, name) == 0;
    };
    // The last one found is tried as well: a file whose data runs on into the next piece is that
    // piece's first.
    if (listedAt(at)) {
    } else if (at > 0 && listedAt(at - 1)) {
        at--;
    } else if (!FileList_IndexFindByName(s->Index, name, &installed, nullptr, &at)) {
        return false;
    }
    *next = at + 1;
    if (at >= s->Count || !installed || !AwaitChunk(s, at / kSweepChunk) ||
        !(s->Present[at / kSweepChunk] >> (at % kSweepChunk) & 1) || !SameListing(list, file, s->List, installed))
        return false;
    StorageRecordCopy id{};
    return !(copies && b->PartialExtension[0] && RecordedCopy(b, entry.Name, &id));
}

// Whether the record names any copy (or could not be read, which tells nothing).
bool AnyCopy(StorageFile* b) {
    CriticalSectionGuard guard(b->RecordLock);
    return StorageRecord_AnyCopy(&b->Record);
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
        if (b->Record.Installed != installed || b->Record.Repairing) return 0;
    }
    void* block = Memory_AllocZero(sizeof(StorageFileSweep));
    if (!block) return 0;
    auto* s = new (block) StorageFileSweep();
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
        if (strcmp(sweep->Kept, b->Kept) != 0 || b->Record.Installed != sweep->Installed || b->Record.Repairing) return 0;
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

int64_t StorageFile_ExistsAtOnce(Storage* storage, StorageRequest* request, uint32_t* code,
                                 StorageFileSweep* sweep, uint32_t* place) {
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
    uint32_t next = place ? *place : 0;
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
    if (place) *place = next;
    *code = found;
    return 1;
}

int64_t StorageFile_CompletedAtOnce(Storage* storage, StorageRequest* request, FileListMember* file) {
    MetaFile* meta = nullptr;
    StorageFile* b = FileBackend(storage);
    if (!b || !request || !file || !StorageRequest_GetMetaFileHandle(request, &meta) || !meta) return 0;
    Entry entry;
    return ReadEntry(b, ListOf(meta), file, &entry) && CompletedHas(b, entry.Name) ? 1 : 0;
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
        StorageRecordCopy id{};
        if (CopyOf(b, directory, entry.Name, leaf, copy, sizeof(copy), &id) &&
            (error = StorageFileOS_RemoveCopy(directory, copy, id.Device, id.Inode, id.Birth)) == 0)
            DropCopy(b, entry.Name);
        if (StorageRecord_IsHeld(error)) error = 0;
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
