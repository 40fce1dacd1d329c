// Opening a document file for a whole read, and replacing one whole: a new file written beside
// it and renamed over it, so that a reader, a crash or a failed write sees the old text or the
// new one, never a part.
#pragma once

#include <cstdint>

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
// names keep the old one.
int32_t Platform_DocumentReplaceBegin(const char* path, void** replacement);
// Syncs the new file and renames it over the old name; on any failure the new file is removed
// and the old one stays as it was. 1 or 0 with errno set; the replacement is cleared either way.
int64_t Platform_DocumentReplaceCommit(void** replacement);
// Removes the new file; the old one stays as it was.
int64_t Platform_DocumentReplaceAbort(void** replacement);
