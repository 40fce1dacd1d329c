// The records one run leaves for the next: the record of copies in the installation's folder and the
// record beside the local manifest. Both are files of the same form, made, proven, appended to, read
// and taken up here; so is every rule of the record of copies (its entries, its own file, its replay),
// which the file backend keeps through StorageRecordCopies. The repository's record names its own
// files beside the manifest; what those are is the repository's.
#pragma once

#include <cstddef>
#include <cstdint>

struct FileList;
struct FileListIndex;
struct HashTable;
struct MetaFile;

// A record is the storage's own by its first entry, "record:<device>:<inode>:<proof>" and a NUL,
// naming the very file that holds it, never by its name, owner or mode: a copy of it is another
// inode, a second name fails the one-name rule of StorageFileOS_OpenOwn, and another account cannot
// write into it. Each entry after it is text ending in a NUL.
// Makes one at name, that entry written before the name leads to the file where the file system can,
// else at once after its exclusive create (what it made goes again when that write fails). 0 with
// *fd open for reading and writing, *start where entries begin and id the file's device, inode and
// proof (STORAGE_FILE_OS_UNPROVEN for none); EEXIST when anything holds the name, or the errno value.
// With body, those bytes follow the first entry before the name leads to the file (where unnamed
// files can be made: else at once after it).
int32_t StorageRecord_Make(int32_t directory, const char* name, int32_t* fd, uint64_t* start, uint64_t id[3],
                           const void* body = nullptr, uint32_t length = 0);
// Whether the open file's first entry names it: 1 with *start where entries begin; 0 when it has no
// such entry (an earlier version's record, or anyone's file); -1 when its entry names another file,
// or it could not be read.
int32_t StorageRecord_Prove(int32_t fd, uint64_t* start);
// Whether the open file (a private file of ours, any number of names) begins as a record of ours
// does, so that it may hold the installation's state although it proves nothing (copied, moved to
// another disk, put back from a backup, reached by a second name): 1 with *start where its entries
// begin, else 0.
int32_t StorageRecord_Moved(int32_t fd, uint64_t* start);

// Where a record is known to end with a whole entry, as its owner's last append left it (inode 0:
// not known), so that the next append needs no look at its tail.
struct StorageRecordEnd {
    uint64_t Inode;
    uint64_t End;
};
// Appends one entry (its NUL included) to the record open at fd, whose entries begin at start. An
// entry is whole only with its NUL: the tail a failed or cut write left goes first (it names
// nothing: no act follows an entry before it is whole), so that it is never read as the start of
// this one; a tail longer than `window` bytes, longer than any entry of the owner's, only gets its
// end, as readers pass over such an entry whole. A failed append takes back what it wrote where it
// can. 0 or the errno value; known (optional) is read and updated.
int32_t StorageRecord_Append(int32_t fd, uint64_t start, const void* entry, uint32_t length, uint32_t window,
                             StorageRecordEnd* known = nullptr);

// Whole entries of the record open at fd, from start, up to bound bytes (a record larger than any
// of the owner's is read to it): each(user, entry) for every entry ending in its NUL, in order; a last
// entry without its NUL was cut while it was written and is no entry. 0 or the errno value (nothing
// is read then).
int32_t StorageRecord_ReadEntries(int32_t fd, uint64_t start, uint32_t bound, void* user,
                                  void (*each)(void* user, const char* entry));
// Takes up a record of ours at name that no longer proves itself (copied with the installation,
// moved to another disk, reached by a second name): its whole entries, up to bound bytes, go into a
// new record made at its name (StorageRecord_Make) once the old name is removed (its other names
// stay). 0 with *fd open for reading and writing and *start where the entries begin; EPERM where
// what stands there is no such record; or the errno value.
int32_t StorageRecord_TakeUp(int32_t directory, const char* name, uint32_t bound, int32_t* fd, uint64_t* start);

// ---- The record of copies ---------------------------------------------------------------------------

enum : uint32_t {
    // How many names of its own a copy may try where its usual names are held.
    STORAGE_RECORD_ALTERNATES = 64,
    // The first number of a copy's name drawn at random (where nothing proves a file).
    STORAGE_RECORD_RANDOM_COPY = 1000000000u,
    // "owner:" and 16 hexadecimal digits, with room.
    STORAGE_RECORD_OWNER_SIZE = 24,
};

// What a copy is judged by: its device, inode and proof (as StorageFileOS_SameFile takes it), and the
// number of its name (0 the usual one).
struct StorageRecordCopy {
    uint64_t Device;
    uint64_t Inode;
    uint64_t Birth;
    uint32_t Alternate;
    uint32_t Made;    // this storage made it, and knows it so (in memory alone)
    uint32_t Folders; // how many of the folders holding it were made for it
};

// A file as opened: device, inode and the proof StorageFileOS_SameFile takes.
struct StorageRecordId {
    uint64_t Device, Inode, Proof;
};

// The record of copies of one installation folder as one storage keeps it: its file, the copies it
// names, the folder held while it is written, the replay's progress. Every function below runs under
// the owner's lock but for the ones said otherwise. Set by StorageRecord_CopiesInit; the owner reads
// Installed, Named, Repairing and ReplayError and sets Owner (StorageRecord_SetOwner) and Installed.
struct StorageRecordCopies {
    const char* Folder; // the installation folder's path, ending in '/' (the owner's, kept as it changes)
    const char* Suffix; // the copies' suffix (the owner's; empty: no copies made)
    void* User;
    // Prints a line of the owner's log; verbose for the lines only a verbose log shows.
    void (*Print)(void* user, uint32_t verbose, const char* text);
    int32_t RecordFd;
    int32_t ReplayFd;  // the record being replayed, read from ReplayOffset on
    int32_t ReplayOut; // what stays on record, under a free name of the record's
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
    MetaFile* Installed; // the installed manifest: what an earlier version put here (held)
    uint32_t ReplayLost; // what stays on record could not all be written down
    int32_t ReplayError; // the first failure (errno) that kept the replay from its end, 0 for none
    // The copies the record names, name to identity (StorageRecordCopy): read from the record on first use.
    HashTable* Copies;
    uint32_t CopiesLoaded;
    int32_t LoadError; // why the record could not be read, while it could not
    int32_t FolderLock; // holds the folder while this storage records copies
    HashTable* Named; // the held names already named: each is named once
    // The repository's mark in the record (see StorageRecord_SetOwner), empty for none.
    char Owner[STORAGE_RECORD_OWNER_SIZE];
    char ReplayOwner[STORAGE_RECORD_OWNER_SIZE];    // the mark of the entries the replay reads
    char ReplayMarked[STORAGE_RECORD_OWNER_SIZE];   // the last mark written to what stays on record
    char RecordName[48];      // the record's name, chosen on first use
    uint32_t RecordNumber;    // its number among the reserved names
    uint32_t RecordFound;     // RecordName held a record proven this storage's when last opened
    uint64_t ReplayOutStart;  // where the entries of what stays on record begin
    StorageRecordId ReplayId, ReplayOutId; // the record replayed and what stays on record, as opened
    uint32_t ReplayOutNumber; // the name of what stays on record, a free one of the record's
    char ReplayEndOwner[STORAGE_RECORD_OWNER_SIZE]; // the mark in force where the first pass ended
    uint64_t ReplayOwnerAt;   // where the mark in force stands, none before any
    uint32_t Unfinished;      // the record marks the installation unfinished
    uint32_t Repairing;       // this sync found the mark a stopped run left, and repairs what it changed
    FileList* ReplayList;     // the file table a replay judges copies by, or none
    // The record (by inode) known to end with a whole entry at WholeEnd, as this storage's own last
    // append left it.
    uint64_t WholeInode;
    uint64_t WholeEnd;
    uint32_t ShutDown; // the owner records no more copies: the folder is let go after each use
    // The copies this storage made and removed (name to inode), whose entries the record no longer
    // keeps (see StorageRecord_RemoveMade); TakingOff while a replay writes the record anew without them.
    HashTable* TakenOff;
    uint32_t TakingOff;
};

// Sets up (and lets go of) the record's state; folder and suffix are the owner's texts, read as they
// are when the record is used. Needs no lock.
void StorageRecord_CopiesInit(StorageRecordCopies* c, const char* folder, const char* suffix, void* user,
                              void (*print)(void* user, uint32_t verbose, const char* text));
void StorageRecord_CopiesFree(StorageRecordCopies* c);
// The owner shut down records no more copies: the folder is let go, unless a replay under way holds it.
void StorageRecord_Shutdown(StorageRecordCopies* c);
// The repository the copies are recorded for: its mark (up to 16 characters; none: a repository
// not known).
void StorageRecord_SetOwner(StorageRecordCopies* c, const char* owner);

// The name of the copy beside leaf: "<leaf><suffix>", or "<leaf><suffix><n>" for a name of its
// own (alternate n); an earlier version named that one "<leaf>.<n><suffix>" (legacy). 0, or
// ENAMETOOLONG (out empty) where it does not fit with room for the scratch name's "~". Needs no lock.
int32_t StorageRecord_CopyName(const char* suffix, const char* leaf, char* out, size_t size, uint32_t alternate = 0,
                               bool legacy = false);
// What the storage answers where a copy's name is held by an entry that is not its copy.
bool StorageRecord_IsHeld(int32_t error);
// The full name of the entry leaf in the folder holding name, as the log shows it. Needs no lock.
void StorageRecord_ShowBeside(const StorageRecordCopies* c, const char* name, const char* leaf, char* out,
                              int32_t size);
// Whether the index lists name. Needs no lock.
bool StorageRecord_Listed(FileListIndex* index, const char* name);
// Whether the installed manifest lists name; for a name ending in '/' (a folder), whether it lists
// anything below it: only then was the folder made for it. user: the StorageRecordCopies.
uint32_t StorageRecord_ListedInstalled(void* user, const char* name);

// Records a copy of name before any name leads to it: made folders made for it, alternate the number
// of its name, and the file's identity (inode 0: a name reserved before anything is made there). The
// record is found or made, and the folder held, on the first. 0 or the errno value (named).
int32_t StorageRecord_AddCopy(StorageRecordCopies* c, const char* name, uint32_t made, uint32_t alternate,
                              uint64_t device, uint64_t inode, uint64_t birth);
// The copy of name the record names (read once, the last entry of a name winning; a record that
// could not be read is read again at the next call): true with its identity.
bool StorageRecord_FindCopy(StorageRecordCopies* c, const char* name, StorageRecordCopy* id);
// Whether the record names any copy, or could not be read (which tells nothing).
bool StorageRecord_AnyCopy(StorageRecordCopies* c);
// The copy of name the record now names, or none (null).
void StorageRecord_SetCopy(StorageRecordCopies* c, const char* name, const StorageRecordCopy* id);
// The failure or stop of a sync: each copy this storage made and still knows for its own (made by
// it, not become its file since) goes by descriptor, only while its name leads to that very file, a
// private file of the effective user reached by that name alone; its entries are then taken off the
// record (written anew without them, a stop waiting on no more than that). What busy(user, name)
// says a transfer still holds, and what is no longer provably the copy made, stays on record for the
// next run. 0, or the errno value of the first copy that could not go or of the record's rewrite.
int32_t StorageRecord_RemoveMade(StorageRecordCopies* c, void* user, bool (*busy)(void* user, const char* name));
// Marks the installation unfinished in the record, lasting on disk: 0 or the errno value (named). One
// already marked is repaired (Repairing).
int32_t StorageRecord_MarkUnfinished(StorageRecordCopies* c);
// The same in two parts: the mark's entry is written (0 or the errno value, named), and *flush
// given what makes it last (descriptors of its own; none where it lasts already), which
// StorageRecord_MarkFlush does on any thread (0 or the errno value), and whose answer
// StorageRecord_MarkSettle takes back under the owner's lock.
struct StorageRecordMarkFlush {
    int32_t Record;
    int32_t Folder;
};
int32_t StorageRecord_MarkWrite(StorageRecordCopies* c, StorageRecordMarkFlush* flush);
int32_t StorageRecord_MarkFlush(StorageRecordMarkFlush* flush);
void StorageRecord_MarkSettle(StorageRecordCopies* c, int32_t error);
// 1 when the record marks the installation unfinished, 0, or -1 when it could not be read.
int64_t StorageRecord_IsUnfinished(StorageRecordCopies* c);
// The sync has completed: the next replay lets the mark go.
void StorageRecord_SetFinished(StorageRecordCopies* c);
// The replay of the record (StorageFile_RemoveStrayCopies): -1 when there is more to do, 1 once it
// ended with nothing left, 0 when anything stayed (ReplayError says why).
int64_t StorageRecord_Replay(StorageRecordCopies* c, MetaFile* installed, uint32_t continued);
// The seconds a replay call works before it answers -1 (default 0.1). Needs no lock.
void StorageRecord_SetReplayBudget(double seconds);
