// The synchronous file object over the platform's file primitives; it serves as a Stream.
// An existing file opened for writing with truncation is written into a new file that takes the
// old one's place only when closed without a failed write, so a failure never leaves half a file.
#include "core/platform/file.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "core/linux/platform.h"
#include "core/linux/platform_document.h"
#include "core/linux/platform_file.h"
#include "core/platform/path.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

struct File {
    Class Header;
    ClassPrint Print;
    Stream StreamRecord;
    struct stat Info; // taken at open; nothing refreshes it
    uint32_t Retries;
    uint32_t AutoCreateDirectories;
    char Path[FILE_PATH_SIZE];
    FileOpenFlags OpenFlags;
    int32_t Descriptor; // -1: not open (0 is a valid descriptor)
    // Whole-file replacement in progress (see the file comment), and whether it went wrong.
    void* Replacement;
    uint32_t ReplacementFailed;
    // Times set while a replacement is in progress belong to the new file: applied after it
    // has taken the old one's place.
    uint32_t PendingTimes; // 1 creation, 2 modification
    EncodedTime PendingCreation;
    EncodedTime PendingModified;
};

namespace {

constexpr int32_t kNotOpen = -1;
constexpr uint32_t kPendingCreation = 1;
constexpr uint32_t kPendingModified = 2;

void PreparePrint(File* file) {
    ClassPrint_Prepare(&file->Print, file, "File", nullptr);
}

int64_t Say(File* file, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int64_t result = File_VPrint(file, 0, format, args);
    va_end(args);
    return result;
}

template <typename... Args> void Verbose(File* file, const char* format, Args... args) {
    if (File_IsVerboseLevel(file, 0)) File_PrintTabbed(file, 0, format, args...);
}

int32_t Record(File* file, PlatformErrorCode code) {
    Stream_SetLastError(&file->StreamRecord, code);
    return code;
}

// The platform's error, or a stated one when the call left none (a short write, a refusal here).
PlatformErrorCode LastErrorOr(int32_t fallbackErrno) {
    PlatformErrorCode code = Platform_GetLastError();
    return code ? code : PLATFORM_ERROR_ERRNO_BASE + fallbackErrno;
}

bool Quiet(FileOpenFlags flags, PlatformErrorCode code) {
    return (flags & FILE_QUIET) && Platform_ErrorMissing(code);
}

int64_t DeleteObject(void** handle) {
    return File_Delete(reinterpret_cast<File**>(handle));
}

// Stream slots whose types differ from the public operations.
int64_t WriteSlot(void* handle, const void* buffer, uint32_t size, uint32_t* written) {
    File* file = static_cast<File*>(handle);
    if (size <= (uint32_t)INT32_MAX) return File_Write(file, buffer, (int32_t)size, written);
    // Larger than one call takes: two halves, each complete or the whole fails.
    uint32_t first = 0, second = 0;
    const uint32_t half = size / 2;
    int64_t ok =
        File_Write(file, buffer, (int32_t)half, &first) &&
        File_Write(file, static_cast<const uint8_t*>(buffer) + half, (int32_t)(size - half), &second);
    *written = ok ? size : 0;
    return ok;
}

int64_t SeekSlot(void* handle, int64_t offset, SeekOrigin origin) {
    return File_Seek(static_cast<File*>(handle), offset, origin);
}

// Applies times that were set while a replacement was in progress.
void ApplyPendingTimes(File* file) {
    const uint32_t pending = file->PendingTimes;
    file->PendingTimes = 0;
    if (pending & kPendingCreation) File_SetCreationTime(file, file->PendingCreation);
    if (pending & kPendingModified) File_SetModifiedTime(file, file->PendingModified);
}

// Empties the open file where it is. A device or pipe has nothing to cut.
bool EmptyInPlace(File* file) {
    if (!S_ISREG(file->Info.st_mode)) return true;
    return File_Seek(file, 0, SEEK_ORIGIN_BEGIN) && File_Truncate(file);
}

// Truncation at open of a file with content: a regular file with one name is replaced whole at
// close; other files (further hard links, directories the user may not write to) are emptied in
// place.
bool TruncateAtOpen(File* file, int32_t openWord) {
    if (S_ISREG(file->Info.st_mode) && file->Info.st_nlink <= 1) {
        void* replacement = nullptr;
        errno = 0;
        int32_t fd = Platform_ReplaceBegin(file->Path, openWord, &replacement);
        if (fd >= 0) {
            Platform_Close(file->Descriptor);
            file->Descriptor = fd;
            file->Replacement = replacement;
            file->ReplacementFailed = 0;
            return true;
        }
        if (errno != EACCES && errno != EPERM) return false;
    }
    return EmptyInPlace(file);
}

} // namespace

// ---- Life --------------------------------------------------------------------------------------

int64_t File_Create(File** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    File* file = static_cast<File*>(Memory_AllocZero(sizeof(File)));
    file->Header.ClassId = FILE_CLASS_ID;
    file->Header.RefCount = 1;
    file->Header.Delete = DeleteObject;
    file->Retries = FILE_DEFAULT_RETRIES;
    file->AutoCreateDirectories = 1;
    file->Descriptor = kNotOpen;
    Stream& s = file->StreamRecord;
    s.Handle = file;
    s.Write = WriteSlot;
    s.Read = StreamSlot<File_Read>::Call;
    s.Seek = SeekSlot;
    s.Flush = StreamSlot<File_Flush>::Call;
    s.Tell = StreamSlot<File_Tell>::Call;
    s.Length = StreamSlot<File_Length>::Call;
    s.IsOpen = StreamSlot<File_IsOpen>::Call;
    s.Close = StreamSlot<File_Close>::Call;
    *handle = file;
    return 1;
}

int64_t File_Delete(File** handle) {
    ASSERT_POINTER(handle);
    File* file = *handle;
    CLASS_CHECK(file, FILE_CLASS_ID);
    if (file->Descriptor != kNotOpen) {
        Log_Debug("File not properly closed on delete [%s]\n", file->Path);
        File_Close(file);
    }
    File_Reset(file);
    file->Header.ClassId = 0;
    Memory_Free(file, sizeof(File));
    *handle = nullptr;
    return 1;
}

int64_t File_AddRef(File* file) {
    CLASS_CHECK(file, FILE_CLASS_ID);
    Class_AddRef(file);
    return 1;
}

int64_t File_Release(File** handle) {
    ASSERT_POINTER(handle);
    if (!*handle) return 0;
    CLASS_CHECK(*handle, FILE_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t File_GetInstanceId(File* file, char* buffer, int32_t size) {
    CLASS_CHECK(file, FILE_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, file->Header.InstanceId, (int32_t)sizeof(file->Header.InstanceId));
    return 1;
}

// ---- Open and close ----------------------------------------------------------------------------

int64_t File_Open(File* file, const char* path, FileOpenFlags flags) {
    CLASS_CHECK(file, FILE_CLASS_ID);
    ASSERT_POINTER(path);
    if (flags & FILE_NOBUFFER)
        Debug_AbortInt(__FILE__, __LINE__,
                       "Assertion failed (ThisIsNot(Flags, FILE_NOBUFFER))\nUnbuffered I/O not supported in "
                       "synchronous files");
    if (file->Descriptor != kNotOpen)
        Debug_AbortInt(__FILE__, __LINE__,
                       "Assertion failed (File->AccessPtr == 0)\nPrevious file [%s] must be closed before "
                       "opening [%s]\n",
                       file->Path, path);
    Stream_ClearLastError(&file->StreamRecord);

    const int32_t base = (flags & FILE_ALTERNATE) ? PLATFORM_OPEN_MODE_ALTERNATE : PLATFORM_OPEN_MODE_DEFAULT;
    int32_t openWord;
    if ((flags & FILE_READ) && (flags & FILE_WRITE))
        openWord = base | PLATFORM_OPEN_READ_WRITE | ((flags & FILE_APPEND) ? 0 : PLATFORM_OPEN_CREATE);
    else if (flags & FILE_READ)
        openWord = base | PLATFORM_OPEN_READ_ONLY;
    else if (flags & FILE_WRITE)
        openWord = base | PLATFORM_OPEN_WRITE_ONLY | PLATFORM_OPEN_CREATE;
    else
        Debug_AbortInt(__FILE__, __LINE__, "Unknown mode [%d]\n", (int32_t)flags);
    // Handed to the platform, which has no sharing modes.
    int32_t sharing = 0x10;
    if ((flags & FILE_SHARED) && (flags & FILE_SHARED_EXTRA))
        sharing = 0x80;
    else if (flags & FILE_SHARED)
        sharing = 0x20;
    else if (flags & FILE_SHARED_EXTRA)
        sharing = 0x40;
    const int32_t permissions = PLATFORM_PERMISSION_READ | PLATFORM_PERMISSION_WRITE;

    file->OpenFlags = flags;
    file->Descriptor = kNotOpen;
    file->Replacement = nullptr;
    file->ReplacementFailed = 0;
    file->PendingTimes = 0;
    memset(&file->Info, 0, sizeof(file->Info));
    PlatformErrorCode failure = 0;
    // A path that does not fit would name another file: refused, never cut. One whose
    // components cancel out ("a/..") names nothing.
    bool resolved = Path_Resolve(path, file->Path, (int32_t)sizeof(file->Path)) != 0;
    if (!resolved) failure = PLATFORM_ERROR_ERRNO_BASE + ENAMETOOLONG;
    if (resolved) Path_Fix(file->Path, (int32_t)sizeof(file->Path), PATH_FIX_NO_TRAILING);
    if (resolved && !file->Path[0]) {
        resolved = false;
        failure = PLATFORM_ERROR_ERRNO_BASE + ENOENT;
    }
    if (!resolved) String_CopyLength(file->Path, path, (int32_t)sizeof(file->Path));

    bool opened = false;
    for (uint32_t attempt = 0; resolved && attempt < file->Retries; attempt++) {
        if (!Path_Stat(file->Path, 0, &file->Info)) {
            if (!(flags & FILE_WRITE)) {
                failure = LastErrorOr(ENOENT);
                break;
            }
            if (attempt == 0 && file->AutoCreateDirectories) {
                const char* name = nullptr;
                Path_ParseFilenamePtr(file->Path, &name);
                if (name && name > file->Path) {
                    char directory[FILE_PATH_SIZE];
                    String_CopyLength(directory, file->Path, (int32_t)(name - file->Path) + 1);
                    if (!Path_DirectoryExists(directory)) Path_CreateDirectory(file->Path, 1, nullptr);
                }
            }
            errno = 0;
            file->Descriptor = Platform_Open(file->Path, openWord, sharing, permissions);
            if (file->Descriptor < 0) {
                file->Descriptor = kNotOpen;
                failure = LastErrorOr(ENOENT);
                break;
            }
            Path_Stat(file->Path, 0, &file->Info);
            opened = true;
            break;
        }
        errno = 0;
        int32_t fd = Platform_Open(file->Path, openWord, sharing, permissions);
        PlatformErrorCode error = fd >= 0 ? 0 : LastErrorOr(EIO);
        // Opened through a link: the facts kept are those of the file it leads to.
        if (fd >= 0 && S_ISLNK(file->Info.st_mode)) Path_Stat(file->Path, 1, &file->Info);
        if (fd >= 0 && S_ISDIR(file->Info.st_mode)) {
            // A directory opens for reading here but is no file: refused like any other failure.
            Platform_Close(fd);
            fd = -1;
            error = PLATFORM_ERROR_ERRNO_BASE + EISDIR;
        }
        if (fd >= 0) {
            file->Descriptor = fd;
            opened = true;
            break;
        }
        failure = error;
        if (Platform_ErrorPermanent(error)) break;
        if (attempt + 1 < file->Retries) {
            Platform_SleepMS(1000);
            if (!Quiet(flags, error))
                Say(file, "Retrying open file (%s) (%d) [Err: %d]", file->Path, attempt, error);
        }
    }
    if (resolved && file->Retries < 1) failure = PLATFORM_ERROR_ERRNO_BASE + EINVAL;

    if (opened) {
        bool ready = true;
        // Read only: a file that says it is empty but is not (under /proc) is read whole now, so
        // that its size is what a reader finds.
        if (!(flags & FILE_WRITE) && S_ISREG(file->Info.st_mode) && file->Info.st_size == 0) {
            int64_t size = 0;
            const int32_t fd = Platform_DocumentSnapshot(file->Descriptor, &size);
            if (fd < 0) ready = false;
            else file->Descriptor = fd;
            file->Info.st_size = (off_t)size;
        }
        if ((flags & FILE_APPEND) && !File_Seek(file, 0, SEEK_ORIGIN_END)) ready = false;
        if (ready && (flags & FILE_TRUNCATE))
            ready = (flags & FILE_WRITE) && file->Info.st_size > 0 ? TruncateAtOpen(file, openWord)
                                                                   : EmptyInPlace(file);
        if (ready) return 1;
        failure = LastErrorOr(EIO);
        if (file->Replacement) Platform_ReplaceAbort(&file->Replacement);
        if (file->Descriptor != kNotOpen) Platform_Close(file->Descriptor);
        file->Descriptor = kNotOpen;
    }

    Record(file, failure);
    file->Descriptor = kNotOpen;
    if (!Quiet(flags, failure))
        Say(file, "Unable to open file [%s][%.8X](%d : %.8X)\n", file->Path, (uint32_t)openWord, failure,
            (uint32_t)failure);
    return 0;
}

int64_t File_Close(File* file) {
    CLASS_CHECK(file, FILE_CLASS_ID);
    if (file->Descriptor == kNotOpen) return 1;
    const int32_t fd = file->Descriptor;
    // The descriptor is given up whatever close answers: on this system it is released even then,
    // and closing the number again could close another file that was given it meanwhile.
    file->Descriptor = kNotOpen;
    if (file->Replacement) {
        bool failed = file->ReplacementFailed != 0;
        file->ReplacementFailed = 0;
        if (failed) {
            Platform_ReplaceAbort(&file->Replacement);
            file->PendingTimes = 0;
            int32_t code =
                file->StreamRecord.LastError ? file->StreamRecord.LastError : PLATFORM_ERROR_ERRNO_BASE + EIO;
            Say(file, "Unable to close [%s] [Err: %d]", file->Path,
                code > PLATFORM_ERROR_ERRNO_BASE ? code - PLATFORM_ERROR_ERRNO_BASE : code);
            return 0;
        }
        errno = 0;
        if (!Platform_ReplaceCommit(&file->Replacement)) {
            PlatformErrorCode code = Record(file, LastErrorOr(EIO));
            file->PendingTimes = 0;
            Say(file, "Unable to close [%s] [Err: %d]", file->Path, code - PLATFORM_ERROR_ERRNO_BASE);
            return 0;
        }
        ApplyPendingTimes(file);
        return 1;
    }
    errno = 0;
    if (!Platform_Close(fd)) {
        PlatformErrorCode code = Record(file, LastErrorOr(EIO));
        Say(file, "Unable to close [%s] [Err: %d]", file->Path, code - PLATFORM_ERROR_ERRNO_BASE);
        return 0;
    }
    return 1;
}

int64_t File_Reset(File* file) {
    CLASS_CHECK(file, FILE_CLASS_ID);
    Stream_ClearLastError(&file->StreamRecord);
    return File_Close(file);
}

int64_t File_IsOpen(File* file) {
    CLASS_CHECK(file, FILE_CLASS_ID);
    return file->Descriptor != kNotOpen;
}

// ---- Data --------------------------------------------------------------------------------------

int64_t File_Read(File* file, void* buffer, uint32_t length, uint32_t* read) {
    ASSERT_POINTER(read);
    *read = 0;
    CLASS_CHECK(file, FILE_CLASS_ID);
    if (file->Descriptor == kNotOpen) {
        Say(file, "No file handle is open - cannot %s [%s] (%d)", "read", file->Path, (int32_t)length);
        return 0;
    }
    if (length == 0) return 0;
    ASSERT_POINTER(buffer);
    errno = 0;
    uint32_t count = 0;
    if (!Platform_Read(file->Descriptor, buffer, length, &count)) {
        PlatformErrorCode code = Record(file, LastErrorOr(EIO));
        Say(file, "Failed to read [%s] %d [Err: %d]", file->Path, (int32_t)length, code);
        return 0;
    }
    *read = count;
    return count > 0;
}

int64_t File_Write(File* file, const void* buffer, int32_t length, uint32_t* written) {
    ASSERT_POINTER(written);
    *written = 0;
    CLASS_CHECK(file, FILE_CLASS_ID);
    if (file->Descriptor == kNotOpen) {
        Say(file, "No file handle is open - cannot %s [%s] (%d)", "write", file->Path, length);
        return 0;
    }
    if (length < 0) {
        PlatformErrorCode code = Record(file, PLATFORM_ERROR_ERRNO_BASE + EINVAL);
        Say(file, "Failed to write [%s] %d (%d)", file->Path, length, code);
        return 0;
    }
    if (length == 0) return 1;
    ASSERT_POINTER(buffer);
    errno = 0;
    int32_t count = 0;
    if (Platform_Write(file->Descriptor, buffer, length, &count)) {
        *written = (uint32_t)count;
        return 1;
    }
    file->ReplacementFailed = 1;
    PlatformErrorCode code = Platform_GetLastError();
    if (code) {
        Record(file, code);
        Say(file, "Failed to write [%s] %d (%d)", file->Path, length, code);
    }
    return 0;
}

int64_t File_Seek(File* file, int64_t offset, uint32_t origin) {
    CLASS_CHECK(file, FILE_CLASS_ID);
    if (file->Descriptor == kNotOpen) {
        Say(file, "No file handle is open - cannot %s", "seek");
        return 0;
    }
    errno = 0;
    if (!Platform_Seek(file->Descriptor, offset, origin, nullptr)) {
        PlatformErrorCode code = Record(file, LastErrorOr(EINVAL));
        Say(file, "Failed to seek [%s] (%d:%I64d) [Err: %d]", file->Path, (int32_t)origin, offset, code);
        return 0;
    }
    return 1;
}

int64_t File_Tell(File* file, uint64_t* position) {
    ASSERT_POINTER(position);
    *position = 0;
    CLASS_CHECK(file, FILE_CLASS_ID);
    if (file->Descriptor == kNotOpen) {
        Say(file, "No file handle is open - cannot tell");
        return 0;
    }
    return Platform_Seek(file->Descriptor, 0, SEEK_ORIGIN_CURRENT, position);
}

int64_t File_Length(File* file, uint64_t* length) {
    ASSERT_POINTER(length);
    *length = 0;
    CLASS_CHECK(file, FILE_CLASS_ID);
    uint64_t position = 0, end = 0;
    if (!File_Tell(file, &position)) return 0;
    if (!File_Seek(file, 0, SEEK_ORIGIN_END)) return 0;
    const bool told = File_Tell(file, &end);
    if (!File_Seek(file, (int64_t)position, SEEK_ORIGIN_BEGIN) || !told) return 0;
    *length = end;
    return 1;
}

int64_t File_Flush(File* file) {
    CLASS_CHECK(file, FILE_CLASS_ID);
    if (file->Descriptor == kNotOpen) {
        Say(file, "No file handle is open - cannot %s", "flush");
        return 0;
    }
    errno = 0;
    if (!Platform_Sync(file->Descriptor)) {
        file->ReplacementFailed = 1;
        PlatformErrorCode code = Record(file, LastErrorOr(EIO));
        Say(file, "Failed to flush [%s] [Err: %d]", file->Path, code);
        return 0;
    }
    return 1;
}

int64_t File_Truncate(File* file) {
    CLASS_CHECK(file, FILE_CLASS_ID);
    if (file->Descriptor == kNotOpen) return 0;
    uint64_t position = 0;
    if (!File_Tell(file, &position)) return 0;
    errno = 0;
    if (!Platform_Truncate(file->Descriptor, (int64_t)position)) {
        file->ReplacementFailed = 1;
        PlatformErrorCode code = Record(file, LastErrorOr(EIO));
        Say(file, "Unable to truncate file [%s] [%I64d] [LE: %d]", file->Path, (int64_t)position, code);
        return 0;
    }
    return 1;
}

int64_t File_TruncateAt(File* file, int64_t offset) {
    CLASS_CHECK(file, FILE_CLASS_ID);
    if (file->Descriptor == kNotOpen) return 0;
    if (!File_Seek(file, offset, SEEK_ORIGIN_BEGIN)) {
        Say(file, "Unable to seek to position for truncation [%s] [%I64d]", file->Path, offset);
        return 0;
    }
    return File_Truncate(file);
}

namespace {

int64_t LockRange(File* file, int64_t start, int64_t end, bool lock) {
    CLASS_CHECK(file, FILE_CLASS_ID);
    if (file->Descriptor == kNotOpen) return 0;
    int32_t result = -1;
    uint64_t position = 0;
    if (end >= start && Platform_Seek(file->Descriptor, 0, SEEK_ORIGIN_CURRENT, &position)) {
        const bool move = position != (uint64_t)start;
        if (!move || Platform_Seek(file->Descriptor, start, SEEK_ORIGIN_BEGIN, nullptr)) {
            result = Platform_Lock(file->Descriptor, lock ? PLATFORM_LOCK_EXCLUSIVE : PLATFORM_LOCK_UNLOCK,
                                   end - start);
            if (move) Platform_Seek(file->Descriptor, (int64_t)position, SEEK_ORIGIN_BEGIN, nullptr);
        }
    }
    if (result == 0) return 1;
    Verbose(file, "Failed to %s %d [%s](%I64d - %I64d)\n", lock ? "Lock" : "Unlock", result, file->Path,
            start, end);
    return 0;
}

} // namespace

int64_t File_Lock(File* file, int64_t start, int64_t end) {
    return LockRange(file, start, end, true);
}

int64_t File_Unlock(File* file, int64_t start, int64_t end) {
    return LockRange(file, start, end, false);
}

int64_t File_EnableSparseMode(File* file) {
    CLASS_CHECK(file, FILE_CLASS_ID);
    if (file->Descriptor == kNotOpen) return 0;
    errno = 0;
    if (Platform_SparseMode()) return 1;
    PlatformErrorCode code = Record(file, LastErrorOr(ENOTSUP));
    Verbose(file, "Failed to set file to sparse mode (%d:%.8X)\n", code, (uint32_t)code);
    return 0;
}

// ---- Times and facts -----------------------------------------------------------------------------

namespace {

// The times belong to the file that was opened: through a link, the file it leads to. (The
// platform's time calls act on a link itself, as tree operations need.)
void TimePath(File* file, char* out, int32_t size) {
    if (!Path_FollowLink(file->Path, out, size)) String_CopyLength(out, file->Path, size);
}

int64_t GetTime(File* file, EncodedTime* time, bool creation) {
    ASSERT_POINTER(time);
    *time = 0;
    CLASS_CHECK(file, FILE_CLASS_ID);
    struct tm record;
    memset(&record, 0, sizeof(record));
    char path[FILE_PATH_SIZE];
    TimePath(file, path, (int32_t)sizeof(path));
    errno = 0;
    bool ok = creation ? Platform_GetFileTime(path, nullptr, nullptr, &record, nullptr, nullptr)
                       : Platform_GetFileTime(path, nullptr, nullptr, nullptr, nullptr, &record);
    double value = 0;
    if (ok) ok = Time_ConvertTmToEncoded(&record, &value) != 0;
    if (!ok) {
        Record(file, LastErrorOr(EINVAL));
        return 0;
    }
    *time = value;
    return 1;
}

int64_t SetTime(File* file, EncodedTime time, bool creation) {
    CLASS_CHECK(file, FILE_CLASS_ID);
    if (file->Replacement) {
        // The file at the path now is the old one; the new one takes the time when it replaces it.
        file->PendingTimes |= creation ? kPendingCreation : kPendingModified;
        (creation ? file->PendingCreation : file->PendingModified) = time;
        return 1;
    }
    struct tm record;
    memset(&record, 0, sizeof(record));
    char path[FILE_PATH_SIZE];
    TimePath(file, path, (int32_t)sizeof(path));
    errno = 0;
    bool ok = Time_ConvertEncodedToTm(&record, time) != 0;
    if (ok)
        ok = creation ? Platform_SetFileTime(path, nullptr, nullptr, &record, nullptr, nullptr)
                      : Platform_SetFileTime(path, nullptr, nullptr, nullptr, nullptr, &record);
    if (!ok) {
        Record(file, LastErrorOr(EINVAL));
        return 0;
    }
    return 1;
}

} // namespace

int64_t File_GetCreationTime(File* file, EncodedTime* time) {
    return GetTime(file, time, true);
}

int64_t File_GetModifiedTime(File* file, EncodedTime* time) {
    return GetTime(file, time, false);
}

int64_t File_SetCreationTime(File* file, EncodedTime time) {
    return SetTime(file, time, true);
}

int64_t File_SetModifiedTime(File* file, EncodedTime time) {
    return SetTime(file, time, false);
}

int64_t File_GetFilesizeBytes(File* file, uint64_t* size) {
    ASSERT_POINTER(size);
    *size = 0;
    CLASS_CHECK(file, FILE_CLASS_ID);
    *size = (uint64_t)file->Info.st_size;
    return 1;
}

int32_t File_GetLastError(File* file) {
    CLASS_CHECK(file, FILE_CLASS_ID);
    return Stream_GetLastError(&file->StreamRecord);
}

int64_t File_GetStreamHandle(File* file, Stream** stream) {
    ASSERT_POINTER(stream);
    *stream = nullptr;
    CLASS_CHECK(file, FILE_CLASS_ID);
    *stream = &file->StreamRecord;
    return 1;
}

const char* File_GetPathPtr(File* file) {
    CLASS_CHECK(file, FILE_CLASS_ID);
    return file->Path;
}

int64_t File_GetPath(File* file, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    CLASS_CHECK(file, FILE_CLASS_ID);
    if (size < 1) return 0;
    String_CopyLength(buffer, file->Path, size);
    return 1;
}

int64_t File_SetRetries(File* file, uint32_t count) {
    CLASS_CHECK(file, FILE_CLASS_ID);
    file->Retries = count;
    return 1;
}

int64_t File_GetRetries(File* file, uint32_t* count) {
    ASSERT_POINTER(count);
    *count = 0;
    CLASS_CHECK(file, FILE_CLASS_ID);
    *count = file->Retries;
    return 1;
}

int64_t File_SetAutoCreateDirectories(File* file, uint32_t on) {
    CLASS_CHECK(file, FILE_CLASS_ID);
    file->AutoCreateDirectories = on ? 1 : 0;
    return 1;
}

int64_t File_GetAutoCreateDirectories(File* file, uint32_t* on) {
    ASSERT_POINTER(on);
    *on = 0;
    CLASS_CHECK(file, FILE_CLASS_ID);
    *on = file->AutoCreateDirectories;
    return 1;
}

// ---- Print block ---------------------------------------------------------------------------------

int64_t File_Print(File* file, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = File_VPrint(file, 0, format, args);
    va_end(args);
    return result;
}

int64_t File_PrintTabbed(File* file, int32_t indent, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = File_VPrint(file, indent, format, args);
    va_end(args);
    return result;
}

int64_t File_VPrint(File* file, int32_t indent, const char* format, va_list args) {
    CLASS_CHECK(file, FILE_CLASS_ID);
    ASSERT_POINTER(format);
    PreparePrint(file);
    return ClassPrint_VPrint(&file->Print, indent, format, args);
}

int64_t File_VerboseLog(File* file, int32_t, const char* format, ...) {
    if (!File_IsVerboseLevel(file, 0)) return 0;
    va_list args;
    va_start(args, format);
    const int64_t result = File_VPrint(file, 0, format, args);
    va_end(args);
    return result;
}

int64_t File_IsVerboseLevel(File* file, int32_t level) {
    CLASS_CHECK(file, FILE_CLASS_ID);
    PreparePrint(file);
    return ClassPrint_IsVerboseLevel(&file->Print, level);
}

int64_t File_SetPrintCallback(File* file, void* user, ClassPrintCallback callback) {
    CLASS_CHECK(file, FILE_CLASS_ID);
    file->Print.PrintUser = user;
    file->Print.PrintCallback = callback;
    return 1;
}

int64_t File_GetPrintCallback(File* file, void** user, ClassPrintCallback* callback) {
    ASSERT_POINTER(user);
    ASSERT_POINTER(callback);
    *user = nullptr;
    *callback = nullptr;
    CLASS_CHECK(file, FILE_CLASS_ID);
    PreparePrint(file);
    *user = file->Print.PrintUser;
    *callback = file->Print.PrintCallback;
    return 1;
}

int64_t File_SetPrintIdentifier(File* file, const char* text) {
    CLASS_CHECK(file, FILE_CLASS_ID);
    file->Print.Identifier = text;
    return 1;
}

int64_t File_SetVerbose(File* file, int32_t level) {
    CLASS_CHECK(file, FILE_CLASS_ID);
    file->Print.Verbose = level;
    return 1;
}

int64_t File_GetVerbose(File* file, int32_t* level) {
    ASSERT_POINTER(level);
    *level = 0;
    CLASS_CHECK(file, FILE_CLASS_ID);
    *level = file->Print.Verbose;
    return 1;
}
