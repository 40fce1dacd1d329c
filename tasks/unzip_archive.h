// Extraction of a zip archive's matching entries into a directory, and the entry-name rules it
// applies; the Unzip task runs it on its worker thread.
#pragma once
#include <cstdint>

enum : int32_t {
    // An entry's path below the output directory is shorter than this (the system's longest path
    // text); each component is as long as the output directory's file system takes at most.
    // Names are never cut: an entry whose path is longer refuses the archive.
    UNZIP_PATH_MAX = 4096,
};

struct UnzipJob {
    const char* Path;
    const char* Pattern;
    const char* OutputDirectory;
    // Empty: none. Only entries marked encrypted are given it.
    const char* Password;
    void* User;
    // Before each matching entry: its name and the path it is written to.
    void (*OnEntry)(void* user, const char* name, const char* outputPath);
    // Bytes of the current entry written so far, of its size: now and then within a large entry
    // and once when the entry is complete (count == size); never for a count of 0.
    void (*OnProgress)(void* user, int64_t count, int64_t size);
    // Lines saying why an entry was refused or failed (may be null).
    int64_t (*Print)(void* user, const char* format, ...);
    // Set (by another thread) to stop; read atomically. May be null.
    const uint32_t* StopFlag;
    // Out: the sum of the matching entries' sizes, set before the first entry is written.
    int64_t TotalSize;
};

// Null on success; "Unzip_Error_Open" when the archive cannot be opened or holds no end record
// where the format puts it; "Unzip_Error_Extract" when listing or extracting fails, nothing
// matches, a matching entry would be written outside the output directory (an absolute name, a
// ".." component, a symbolic link in the way), its path is longer than the file system takes, two
// entries share bytes of the file or one runs into the central directory, a local header or data
// descriptor disagrees with its directory record (in these cases nothing is written at all), or
// the work was stopped. A file is never left half-written. The entries are every record the
// central directory holds, by its size, whatever count the end record gives; zip64 sizes and
// offsets are read wherever an entry has them. Entries are written in the order of their data in
// the file; of entries with one name, the last in the directory is the one left.
//
// Cost: the directory is read once, front to back; only the matching entries' local headers and
// data are read. Memory: besides fixed buffers of about 0.5 MiB (and the directory itself when
// the zip file layer keeps it, at most 128 MiB), each matching entry takes 68 bytes (its record,
// in pages of 4,096, and its place in the order of extraction) and its name, twice when its path
// below the output directory differs from it; an entry that does not match takes nothing.
const char* Unzip_Extract(UnzipJob* job);

// 1 when the entry name matches the pattern: "*" stands for any run of characters (separators
// too), "/" and "\" are the same, letters match without case.
int64_t Unzip_MatchPattern(const char* name, const char* pattern);
// The entry name as a path below the output directory: components joined by "/", without empty
// or "." components; `directory` is set when the name ends in a separator. 0 (and an empty out)
// for a name that is absolute or holds a ".." component; 1 and an empty out for one that names
// the output directory itself.
int64_t Unzip_EntryPath(const char* name, char* out, int32_t capacity, uint32_t* directory);
