// Opening a document file for a whole read, and replacing one whole: a new file written beside
// it and renamed over it, so that a reader, a crash or a failed write sees the old text or the
// new one, never a part.
#pragma once

#include <cstdint>

// Why a file of this mode (st_mode) is no document to read or replace: 0 for a regular file,
// EISDIR for a directory, ENOTSUP for a device, FIFO or socket, whose reads wait on another
// process or never end and which a replacement would turn into a plain file.
int32_t Platform_DocumentRefusal(uint32_t mode);
// The same judgement of what the path names (a link is followed), for a caller about to read it
// (replacing 0) or to replace it (1, where nothing at the path passes too): 1 when it passes, 0
// with errno set (the refusal above, or why the path cannot be looked at).
int32_t Platform_DocumentCheckName(const char* path, int32_t replacing);

// The largest file that says it holds nothing and is read whole all the same.
enum : int64_t { PLATFORM_DOCUMENT_SNAPSHOT_MAX = 16 * 1024 * 1024 };
// A regular file whose size the system reports as 0 may hold bytes all the same (the kernel's
// files under /proc and /sys): read to its end, at most the bound above, into a private memory
// file whose size is its length and which holds still while it is read. The answer is that
// descriptor (fd is closed then), fd itself for any other file or a truly empty one, or -1 with
// errno set (EFBIG past the bound; fd stays open and the caller's). *size is the length of what
// the answer reads (the system's figure for any other file).
int32_t Platform_DocumentSnapshot(int32_t fd, int64_t* size);

// A descriptor for reading the regular file at the path (a link is followed), or -1 with errno
// set. Opening never waits: a FIFO or device at the path is refused (ENOTSUP, EISDIR for a
// directory) rather than read.
int32_t Platform_DocumentOpenRead(const char* path);

// Starts replacing the file at the path: the answer is the descriptor of a new, empty, private
// file made exclusively beside it (in the same directory, so the rename is atomic), or -1 with
// errno set and nothing touched. A link at the path stays a link: the file it leads to is the one
// replaced; in a directory others can write, only a link of our own in a sticky directory is
// followed (any other is refused with ELOOP: it may have been planted there). A missing directory is made first. Only a regular file, or no file, can be replaced.
// A file with further hard links keeps them: the rename gives this name the new text, the other
// names keep the old one. With scratch, the new file takes that name (a name, no folder) in the
// target's folder instead of a random one, created exclusively (EEXIST when taken).
int32_t Platform_DocumentReplaceBegin(const char* path, void** replacement, const char* scratch = nullptr);
// Syncs the new file and renames it over the old name; on any failure the new file is removed
// and the old one stays as it was. 1 or 0 with errno set; the replacement is cleared either way.
int64_t Platform_DocumentReplaceCommit(void** replacement);
// Removes the new file; the old one stays as it was.
int64_t Platform_DocumentReplaceAbort(void** replacement);
