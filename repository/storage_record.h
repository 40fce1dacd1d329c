// The records one run leaves for the next: the record of copies in the installation's folder and the
// record beside the local manifest. Both are files of the same form, made, proven and appended to
// here; what their entries mean is their owners' (the file backend's copies, the repository's names).
#pragma once

#include <cstdint>

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
