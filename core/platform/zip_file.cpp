// The zip library's file stream over File, and the minizip file-function table built on it.
#include "core/platform/zip_file.h"

#include <cerrno>
#include <cstring>

#include <minizip/ioapi.h>

#include "core/linux/platform_error.h"
#include "core/platform/file.h"
#include "core/platform/path.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"

namespace {

struct OsStream {
    mz_stream Stream; // first: the library reaches the table through the object's address
    File* Handle;     // null when closed
    int32_t Error;    // the File's platform error code of the last failure
};

// FileOpenFlags of the three ways a stream opens.
constexpr FileOpenFlags kOpenRead = FILE_READ | FILE_SHARED;
constexpr FileOpenFlags kOpenAppend = FILE_READ | FILE_WRITE | FILE_APPEND | FILE_SHARED;
constexpr FileOpenFlags kOpenCreate = FILE_READ | FILE_WRITE | FILE_TRUNCATE | FILE_SHARED;

OsStream* Cast(void* stream) {
    ASSERT_POINTER(stream);
    return static_cast<OsStream*>(stream);
}

bool HasOpenFile(const OsStream* os) {
    return os->Handle && File_IsOpen(os->Handle);
}

// The File's error of the failure just seen, or a stated one when it recorded none.
void StoreError(OsStream* os, int32_t fallbackErrno) {
    const int32_t code = os->Handle ? File_GetLastError(os->Handle) : 0;
    os->Error = code ? code : PLATFORM_ERROR_ERRNO_BASE + fallbackErrno;
}

void ClearFileError(OsStream* os) {
    Stream* stream = nullptr;
    if (File_GetStreamHandle(os->Handle, &stream)) Stream_ClearLastError(stream);
}

} // namespace

mz_stream_vtbl mz_stream_os_vtbl = {
    mz_stream_os_open,
    mz_stream_os_is_open,
    mz_stream_os_read,
    mz_stream_os_write,
    mz_stream_os_tell,
    mz_stream_os_seek,
    mz_stream_os_close,
    mz_stream_os_error,
    mz_stream_os_create,
    mz_stream_os_delete,
    nullptr,
    nullptr,
};

void* mz_stream_os_create(void** stream) {
    OsStream* os = static_cast<OsStream*>(Memory_AllocZero(sizeof(OsStream)));
    os->Stream.vtbl = &mz_stream_os_vtbl;
    if (stream) *stream = os;
    return os;
}

void mz_stream_os_delete(void** stream) {
    if (!stream || !*stream) return;
    OsStream* os = static_cast<OsStream*>(*stream);
    // A stream dropped while open would otherwise keep its descriptor for the life of the process.
    if (os->Handle) File_Delete(&os->Handle);
    Memory_Free(os, sizeof(OsStream));
    *stream = nullptr;
}

void* mz_stream_os_get_interface() {
    return &mz_stream_os_vtbl;
}

int32_t mz_stream_os_open(void* stream, const char* path, int32_t mode) {
    OsStream* os = Cast(stream);
    if (!path) return MZ_STREAM_ERROR;
    if (os->Handle) File_Delete(&os->Handle);
    // The mode is judged before anything is done to the file: a refused mode leaves it untouched.
    FileOpenFlags flags;
    const bool readOnly = (mode & MZ_OPEN_MODE_READWRITE) == MZ_OPEN_MODE_READ;
    if (readOnly)
        flags = kOpenRead;
    else if (mode & MZ_OPEN_MODE_APPEND)
        flags = kOpenAppend;
    else if (mode & MZ_OPEN_MODE_CREATE)
        flags = kOpenCreate;
    else
        return MZ_STREAM_ERROR;
    // A directory is no archive: refused before anything is done to it (made writable, or opened
    // in the File's retry loop).
    if (Path_DirectoryExists(path)) {
        os->Error = PLATFORM_ERROR_ERRNO_BASE + EISDIR;
        return MZ_STREAM_ERROR;
    }
    if (!readOnly) Path_EnsureWritable(path);
    File_Create(&os->Handle);
    // Only a new archive gets missing directories: an append to a missing one leaves nothing behind.
    if (flags == kOpenAppend) File_SetAutoCreateDirectories(os->Handle, 0);
    if (File_Open(os->Handle, path, flags)) return MZ_OK;
    StoreError(os, ENOENT);
    File_Delete(&os->Handle);
    return MZ_STREAM_ERROR;
}

int32_t mz_stream_os_is_open(void* stream) {
    return HasOpenFile(Cast(stream)) ? MZ_OK : MZ_STREAM_ERROR;
}

int32_t mz_stream_os_read(void* stream, void* buffer, int32_t size) {
    OsStream* os = Cast(stream);
    if (!HasOpenFile(os) || size < 0) return MZ_STREAM_ERROR;
    if (size == 0) return 0;
    // File_Read answers 0 both at the end and on failure; only a failure records an error.
    ClearFileError(os);
    uint32_t read = 0;
    if (File_Read(os->Handle, buffer, (uint32_t)size, &read)) return (int32_t)read;
    if (File_GetLastError(os->Handle) == 0) return 0;
    StoreError(os, EIO);
    return MZ_STREAM_ERROR;
}

int32_t mz_stream_os_write(void* stream, const void* buffer, int32_t size) {
    OsStream* os = Cast(stream);
    if (!HasOpenFile(os) || size < 0) return MZ_STREAM_ERROR;
    if (size == 0) return 0;
    ClearFileError(os);
    uint32_t written = 0;
    if (File_Write(os->Handle, buffer, size, &written) && written == (uint32_t)size) return size;
    StoreError(os, EIO);
    return MZ_STREAM_ERROR;
}

int64_t mz_stream_os_tell(void* stream) {
    OsStream* os = Cast(stream);
    if (!os->Handle) return MZ_STREAM_ERROR;
    uint64_t position = 0;
    ClearFileError(os);
    if (File_Tell(os->Handle, &position) && position <= (uint64_t)INT64_MAX) return (int64_t)position;
    StoreError(os, EBADF);
    return MZ_STREAM_ERROR;
}

int32_t mz_stream_os_seek(void* stream, int64_t offset, int32_t origin) {
    OsStream* os = Cast(stream);
    if (!HasOpenFile(os) || origin < MZ_SEEK_SET || origin > MZ_SEEK_END) return MZ_STREAM_ERROR;
    ClearFileError(os);
    if (File_Seek(os->Handle, offset, (uint32_t)origin)) return MZ_OK;
    StoreError(os, EINVAL);
    return MZ_STREAM_ERROR;
}

int32_t mz_stream_os_close(void* stream) {
    OsStream* os = Cast(stream);
    if (!os->Handle) return MZ_OK;
    ClearFileError(os);
    const bool closed = File_Close(os->Handle) != 0;
    if (!closed) StoreError(os, EIO);
    File_Delete(&os->Handle);
    return closed ? MZ_OK : MZ_STREAM_ERROR;
}

int32_t mz_stream_os_error(void* stream) {
    return Cast(stream)->Error;
}

// ---- minizip file functions ------------------------------------------------------------------------

namespace {

// Calls of more than this many bytes go to the stream in parts.
constexpr uLong kChunk = 1u << 30;
constexpr uint32_t kBufferSize = 64 * 1024;

// An archive opened for reading is read through a buffer of its own: minizip reads each directory
// entry a field of a few bytes at a time and seeks before every entry, each a system call on the
// stream (a walk of 65,536 entries took seconds in system calls alone). Archives opened for
// writing go to the stream unbuffered.
struct Opened {
    void* Stream;
    bool ReadOnly;
    int64_t Position; // reading: where minizip reads next
    int64_t At;       // reading: the stream's own position, -1 when not known
    int64_t Start;    // reading: the file offset of Bytes[0]
    uint32_t Length;  // reading: the bytes held
    uint8_t Bytes[kBufferSize];
};

Opened* Of(voidpf opened) {
    ASSERT_POINTER(opened);
    return static_cast<Opened*>(opened);
}

// One read of the stream at the reader's position, into `buffer`: the bytes read, 0 at the end,
// negative on a failure.
int32_t ReadAt(Opened* o, void* buffer, uint32_t size) {
    if (o->At != o->Position) {
        if (mz_stream_os_seek(o->Stream, o->Position, MZ_SEEK_SET) != MZ_OK) {
            o->At = -1;
            return -1;
        }
        o->At = o->Position;
    }
    const int32_t read = mz_stream_os_read(o->Stream, buffer, (int32_t)size);
    if (read < 0) {
        o->At = -1;
        return read;
    }
    o->At += read;
    return read;
}

voidpf ZCALLBACK Open64(voidpf, const void* filename, int mode) {
    void* stream = mz_stream_os_create(nullptr);
    if (mz_stream_os_open(stream, static_cast<const char*>(filename), mode) != MZ_OK) {
        mz_stream_os_delete(&stream);
        return nullptr;
    }
    Opened* o = static_cast<Opened*>(Memory_AllocZero(sizeof(Opened)));
    o->Stream = stream;
    o->ReadOnly = (mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) == ZLIB_FILEFUNC_MODE_READ;
    o->At = 0;
    return o;
}

// minizip expects whole reads like fread: a short count means the end of the file or an error.
uLong ZCALLBACK Read(voidpf, voidpf opened, void* buffer, uLong size) {
    Opened* o = Of(opened);
    uint8_t* out = static_cast<uint8_t*>(buffer);
    uLong done = 0;
    while (done < size) {
        const uLong part = size - done < kChunk ? size - done : kChunk;
        if (!o->ReadOnly) {
            const int32_t read = mz_stream_os_read(o->Stream, out + done, (int32_t)part);
            if (read <= 0) break;
            done += (uLong)read;
            continue;
        }
        if (o->Position >= o->Start && o->Position < o->Start + (int64_t)o->Length) {
            const uint64_t held = (uint64_t)(o->Start + (int64_t)o->Length - o->Position);
            const uLong take = part < held ? part : (uLong)held;
            memcpy(out + done, o->Bytes + (o->Position - o->Start), take);
            o->Position += (int64_t)take;
            done += take;
            continue;
        }
        int32_t read = 0;
        if (part >= kBufferSize) {
            // A large read (an entry's data) goes straight into the caller's buffer.
            read = ReadAt(o, out + done, (uint32_t)part);
            if (read <= 0) break;
            o->Position += read;
            done += (uLong)read;
            continue;
        }
        const int64_t start = o->Position;
        read = ReadAt(o, o->Bytes, kBufferSize);
        if (read <= 0) {
            o->Length = 0;
            break;
        }
        o->Start = start;
        o->Length = (uint32_t)read;
    }
    return done;
}

uLong ZCALLBACK Write(voidpf, voidpf opened, const void* buffer, uLong size) {
    Opened* o = Of(opened);
    if (o->ReadOnly) return 0;
    uLong done = 0;
    while (done < size) {
        const uLong part = size - done < kChunk ? size - done : kChunk;
        const int32_t written =
            mz_stream_os_write(o->Stream, static_cast<const uint8_t*>(buffer) + done, (int32_t)part);
        if (written <= 0) break;
        done += (uLong)written;
    }
    return done;
}

ZPOS64_T ZCALLBACK Tell64(voidpf, voidpf opened) {
    Opened* o = Of(opened);
    if (o->ReadOnly) return (ZPOS64_T)o->Position;
    const int64_t position = mz_stream_os_tell(o->Stream);
    return position < 0 ? (ZPOS64_T)-1 : (ZPOS64_T)position;
}

long ZCALLBACK Seek64(voidpf, voidpf opened, ZPOS64_T offset, int origin) {
    Opened* o = Of(opened);
    // minizip passes offsets from the start or the end as unsigned values; one above the largest
    // signed offset names no position in any file.
    if (offset > (ZPOS64_T)INT64_MAX) return -1;
    if (!o->ReadOnly) return mz_stream_os_seek(o->Stream, (int64_t)offset, origin) == MZ_OK ? 0 : -1;
    // Reading: a move from the start or from here is only noted; one from the end asks the stream.
    if (origin == MZ_SEEK_SET || origin == MZ_SEEK_CUR) {
        const int64_t base = origin == MZ_SEEK_SET ? 0 : o->Position;
        if ((int64_t)offset > INT64_MAX - base) return -1;
        o->Position = base + (int64_t)offset;
        return 0;
    }
    if (mz_stream_os_seek(o->Stream, (int64_t)offset, origin) != MZ_OK) {
        o->At = -1;
        return -1;
    }
    const int64_t position = mz_stream_os_tell(o->Stream);
    if (position < 0) {
        o->At = -1;
        return -1;
    }
    o->Position = o->At = position;
    return 0;
}

int ZCALLBACK Close(voidpf, voidpf opened) {
    Opened* o = Of(opened);
    const int32_t result = mz_stream_os_close(o->Stream);
    mz_stream_os_delete(&o->Stream);
    Memory_Free(o, sizeof(Opened));
    return result == MZ_OK ? 0 : -1;
}

int ZCALLBACK TestError(voidpf, voidpf opened) {
    return mz_stream_os_error(Of(opened)->Stream);
}

} // namespace

int64_t ZipFile_FillFileFunc64(zlib_filefunc64_def_s* functions) {
    ASSERT_POINTER(functions);
    functions->zopen64_file = Open64;
    functions->zread_file = Read;
    functions->zwrite_file = Write;
    functions->ztell64_file = Tell64;
    functions->zseek64_file = Seek64;
    functions->zclose_file = Close;
    functions->zerror_file = TestError;
    functions->opaque = nullptr;
    return 1;
}
