// The skin's files: attaching the skin (a directory, or the zip store a program carries) once per
// process, and SkinFile, a read-only stream over one entry that can also hand out a deflated
// store entry as a ready-made gzip stream without inflating it.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/platform/stream.h"
#include "core/runtime/class.h"
#include "core/runtime/time.h"

enum : uint32_t { SKIN_FILE_CLASS_ID = 0xe5e0fcce };

enum : int32_t {
    // The skin root path, terminator included.
    SKIN_FILE_ROOT_SIZE = 320,
    // Bytes the gzip form adds to a deflated entry: a 10-byte header and an 8-byte trailer.
    SKIN_FILE_GZIP_OVERHEAD = 18,
};

struct SkinFile;

// ---- The attached skin (one per process; attach and remove run on the main thread) ------------
int64_t SkinFile_Init();
// Releases the store buffer and clears the root: detached. 1.
int64_t SkinFile_Remove();
int64_t SkinFile_IsAttached();
// A directory, or a file carrying a skin store (a symbolic link is followed first). 0 when
// already attached or the path is not a skin.
int64_t SkinFile_Attach(const char* path);
// Where the attached skin lies (a directory's path ends with '/'), for telling a user which file
// is meant; empty and 0 when none is attached.
int64_t SkinFile_GetRoot(char* buffer, int32_t capacity);
// Whether the name exists in the skin (store entries compared without case). A name that would
// leave a directory skin (absolute, or with a ".." segment) does not exist.
int64_t SkinFile_ContentExists(const char* name);

// ---- One entry ---------------------------------------------------------------------------------
int64_t SkinFile_Create(SkinFile** handle);
// Closes, frees and clears the handle.
int64_t SkinFile_Delete(SkinFile** handle);
int64_t SkinFile_AddRef(SkinFile* file);
int64_t SkinFile_Release(SkinFile** handle);
int64_t SkinFile_GetInstanceId(SkinFile* file, char* buffer, int32_t size);

// Opens a name relative to the skin root; opening an open handle stops the process. 0 when the
// name is missing or cannot be read; the handle stays usable for another open.
int64_t SkinFile_Open(SkinFile* file, const char* name);
// 1 also when nothing is open.
int64_t SkinFile_Close(SkinFile* file);
int64_t SkinFile_Reset(SkinFile* file);
int64_t SkinFile_IsOpen(SkinFile* file);
// 1 while more may follow, 0 once the entry is exhausted (the last call may still deliver bytes).
int64_t SkinFile_Read(SkinFile* file, void* buffer, uint32_t size, uint32_t* read);
// A directory skin seeks its file; a store entry only from its start (origin 0), by reading.
int64_t SkinFile_Seek(SkinFile* file, int64_t offset, SeekOrigin origin);

// The size a reader will get (compressed size + 18 for the gzip form).
int64_t SkinFile_GetFilesize(SkinFile* file, uint64_t* size);
// Store entries only; the gzip form's compressed size counts its header and trailer.
int64_t SkinFile_GetCompressedSize(SkinFile* file, uint64_t* size);
int64_t SkinFile_GetUncompressedSize(SkinFile* file, uint64_t* size);
int64_t SkinFile_GetModifiedDateEncoded(SkinFile* file, EncodedTime* time);
int64_t SkinFile_GetStreamHandle(SkinFile* file, Stream** stream);
// Asks for the gzip form of the next open; only a deflated store entry is ever opened raw.
int64_t SkinFile_SetReadRaw(SkinFile* file, uint32_t flag);
int64_t SkinFile_IsOpenedRaw(SkinFile* file);
// Lets the next opens of a directory skin's small files be served from the contents kept in
// memory (skin/skin_file_cache.h) while their folders have not changed: for files served again
// and again, such as a page's.
int64_t SkinFile_SetUseCache(SkinFile* file, uint32_t flag);
// For an entry served from memory: the bytes from the read position on, to send without a copy
// (the caller then seeks past what it took). 0 for any other entry.
int64_t SkinFile_PeekKept(SkinFile* file, const uint8_t** data, uint64_t* available);

// Print block; the class name printed is "SkinFile", the identifier the entry's name.
int64_t SkinFile_Print(SkinFile* file, const char* format, ...);
int64_t SkinFile_PrintTabbed(SkinFile* file, int32_t indent, const char* format, ...);
int64_t SkinFile_VPrint(SkinFile* file, int32_t indent, const char* format, va_list args);
int64_t SkinFile_VerboseLog(SkinFile* file, int32_t level, const char* format, ...);
int64_t SkinFile_IsVerboseLevel(SkinFile* file, int32_t level);
int64_t SkinFile_SetPrintCallback(SkinFile* file, void* user, ClassPrintCallback callback);
int64_t SkinFile_GetPrintCallback(SkinFile* file, void** user, ClassPrintCallback* callback);
int64_t SkinFile_SetPrintIdentifier(SkinFile* file, const char* text);
int64_t SkinFile_SetVerbose(SkinFile* file, uint32_t verbose);
int64_t SkinFile_GetVerbose(SkinFile* file, uint32_t* verbose);
