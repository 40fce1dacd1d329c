// The zip library's file stream over File, and the minizip file-function table built on it.
#include "core/platform/zip_file.h"

#include <atomic>
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
constexpr uint32_t kWindowSize = 64 * 1024;
constexpr int32_t kWindows = 2;
static_assert(kWindows >= 2, "a window read back from keeps another one to fill");
// Bytes a window keeps of what it held when it moves on: more than a directory entry's fixed part
// and a name of ordinary length.
constexpr uint32_t kKeep = 4096;

// Bytes and reads taken from archive files by readers, for the whole process.
std::atomic<uint64_t> GlobalBytesRead{0};
std::atomic<uint64_t> GlobalReads{0};

// An archive opened for reading is read through windows of its own: minizip reads each directory
// entry a field of a few bytes at a time and seeks before every entry, each a system call on the
// stream. While extracting it alternates between two places, the central directory and the entry's
// local header and data, so one window would be refilled twice per entry (a 1.8 MB archive of
// 16,384 entries cost 2.1 GB of reads): each place is followed by a window of its own. Archives
// opened for writing go to the stream unbuffered.
//
// The central directory is the one place read out of turn: the directory lists entries in any
// order, so extraction goes back and forth between it and entries behind and ahead. It is read
// whole once when the archive opens and kept apart from the windows, which then follow the
// entries alone.
struct Window {
    int64_t Start;   // the file offset of Bytes[0]
    uint64_t Length; // the bytes held; 0: empty
    uint64_t Used;   // when reads last came to it from another, for replacing the least recently used
    uint8_t* Bytes;
};

struct Opened {
    void* Stream;
    bool ReadOnly;
    int64_t Position;       // reading: where minizip reads next
    int64_t At;             // reading: the stream's own position, -1 when not known
    uint64_t Clock;         // reading: counts the changes of window, for Window::Used
    Window* Last;           // reading: the window that served the last read, null before the first
    Window Directory;       // reading: the central directory, empty when not kept
    ZipFileArchive* Archive; // the caller's description, null when none was asked for
    Window Windows[kWindows];
    uint8_t Storage[kWindows][kWindowSize];
};

Opened* Of(voidpf opened) {
    ASSERT_POINTER(opened);
    return static_cast<Opened*>(opened);
}

int64_t End(const Window& w) {
    return w.Start + (int64_t)w.Length;
}

// One read of the stream at `position`, into `buffer`: the bytes read, 0 at the end, negative on a
// failure.
int32_t ReadAt(Opened* o, int64_t position, void* buffer, uint32_t size) {
    if (o->At != position) {
        if (mz_stream_os_seek(o->Stream, position, MZ_SEEK_SET) != MZ_OK) {
            o->At = -1;
            return -1;
        }
        o->At = position;
    }
    const int32_t read = mz_stream_os_read(o->Stream, buffer, (int32_t)size);
    if (read < 0) {
        o->At = -1;
        return read;
    }
    o->At += read;
    GlobalReads.fetch_add(1, std::memory_order_relaxed);
    GlobalBytesRead.fetch_add((uint64_t)read, std::memory_order_relaxed);
    return read;
}

Window* Holding(Opened* o, int64_t position) {
    if (o->Directory.Length > 0 && position >= o->Directory.Start && position < End(o->Directory))
        return &o->Directory;
    for (Window& w : o->Windows)
        if (w.Length > 0 && position >= w.Start && position < End(w)) return &w;
    return nullptr;
}

// An empty window, else the least recently used one other than `keep`.
Window* Spare(Opened* o, const Window* keep) {
    Window* best = nullptr;
    for (Window& w : o->Windows) {
        if (&w == keep) continue;
        if (w.Length == 0) return &w;
        if (!best || w.Used < best->Used) best = &w;
    }
    return best;
}

// Fills a window with the bytes at `position`, which no window holds: 1, or 0 when the file does
// not reach it or the read failed. A reader that moves on past a window (the next directory entry,
// the next piece of an entry's data) has that window moved on, keeping its last bytes: minizip
// reads a directory entry twice (to move to it, then to answer its fields), and one that
// straddled the old end is then still held whole. One that steps back just before a window (the
// search for the end record, which walks back from the end of the file) gets the bytes up to that
// window's start. Anything else takes a spare window. So each place read in turn keeps a window
// of its own, and the file's bytes are read about once.
int32_t Fill(Opened* o, int64_t position) {
    Window* ahead = nullptr;  // a window `position` continues
    Window* behind = nullptr; // a window `position` lies just before
    for (Window& w : o->Windows) {
        if (w.Length == 0) continue;
        if (position >= End(w) && position - End(w) < (int64_t)(kWindowSize - kKeep) &&
            (!ahead || End(w) > End(*ahead)))
            ahead = &w;
        if (position < w.Start && w.Start - position <= (int64_t)kWindowSize &&
            (!behind || w.Start < behind->Start))
            behind = &w;
    }
    Window* target = ahead;
    uint32_t keep = 0;
    int64_t start = position;
    if (ahead) {
        keep = ahead->Length < kKeep ? (uint32_t)ahead->Length : kKeep;
        start = End(*ahead) - (int64_t)keep;
        memmove(ahead->Bytes, ahead->Bytes + ahead->Length - keep, keep);
    } else if (behind) {
        target = Spare(o, behind);
        start = behind->Start > (int64_t)kWindowSize ? behind->Start - (int64_t)kWindowSize : 0;
    } else {
        target = Spare(o, nullptr);
    }
    const uint32_t size = behind && !ahead ? (uint32_t)(behind->Start - start) : kWindowSize - keep;
    const int32_t read = ReadAt(o, start + (int64_t)keep, target->Bytes + keep, size);
    target->Start = start;
    target->Length = keep + (read > 0 ? (uint32_t)read : 0);
    return position >= target->Start && position < End(*target) ? 1 : 0;
}

// ---- The central directory -------------------------------------------------------------------

// The end record is searched for in the last 64 KiB less one of the file, nearest the end first,
// as the zip library searches; a lone ZIP_FILE_DIRECTORY_LIMIT bounds what is kept.
constexpr int64_t kSearchBack = 0xffff;
constexpr uint32_t kEndRecord = 0x06054b50, kEnd64Locator = 0x07064b50, kEnd64Record = 0x06064b50;

uint64_t Little(const uint8_t* at, int32_t bytes) {
    uint64_t value = 0;
    for (int32_t i = bytes - 1; i >= 0; i--) value = value << 8 | at[i];
    return value;
}

// The offset in the window of the last record signature whose `need` bytes it holds whole and
// that lies in the searched tail; -1 when none.
int64_t FindLast(const Window& w, int64_t fileSize, uint32_t signature, uint32_t need) {
    const int64_t lowest = fileSize > kSearchBack ? fileSize - kSearchBack : 0;
    for (int64_t i = (int64_t)w.Length - (int64_t)need; i >= 0 && w.Start + i >= lowest; i--)
        if (Little(w.Bytes + i, 4) == signature) return i;
    return -1;
}

// Exactly `size` bytes at `position` into `out`, straight from the stream.
bool ReadWhole(Opened* o, int64_t position, uint8_t* out, uint64_t size) {
    for (uint64_t done = 0; done < size;) {
        const uint64_t part = size - done < kChunk ? size - done : kChunk;
        const int32_t read = ReadAt(o, position + (int64_t)done, out + done, (uint32_t)part);
        if (read <= 0) return false;
        done += (uint64_t)read;
    }
    return true;
}

// Exactly `size` bytes at `position`: from the tail window when it holds them, else from the stream.
bool ReadNear(Opened* o, const Window& tail, int64_t position, uint8_t* out, uint64_t size) {
    if (position >= tail.Start && position + (int64_t)size <= End(tail)) {
        memcpy(out, tail.Bytes + (position - tail.Start), size);
        return true;
    }
    return ReadWhole(o, position, out, size);
}

// The zip64 end record is taken only where the format puts it: its locator immediately before the
// end record, and the record itself where the locator says (or, in an archive behind a prefix,
// ending just before the locator, with the locator's offset naming the end of its directory).
// A locator found anywhere else (inside the archive's comment, say) names nothing: otherwise one
// archive could show one directory to us and another to every other reader. 1 with the record's
// directory fields, 0 when there is no zip64 end record, -1 when the locator's record does not hold.
int32_t FindZip64(Opened* o, const Window& tail, int64_t endRecord, int64_t* at, uint64_t* size, uint64_t* offset) {
    uint8_t locator[20];
    if (endRecord < 20 || !ReadNear(o, tail, endRecord - 20, locator, sizeof(locator)) ||
        Little(locator, 4) != kEnd64Locator)
        return 0;
    const int64_t locatorAt = endRecord - 20;
    const uint64_t stated = Little(locator + 8, 8);
    uint8_t record[56];
    const auto fits = [&](int64_t position) {
        return position >= 0 && position <= locatorAt - (int64_t)sizeof(record) &&
               ReadNear(o, tail, position, record, sizeof(record)) && Little(record, 4) == kEnd64Record;
    };
    if (stated <= (uint64_t)locatorAt && fits((int64_t)stated) &&
        Little(record + 4, 8) == (uint64_t)(locatorAt - (int64_t)stated) - 12) {
        *at = (int64_t)stated;
    } else if (fits(locatorAt - 56) && Little(record + 4, 8) == 44 &&
               Little(record + 48, 8) + Little(record + 40, 8) == stated) {
        *at = locatorAt - 56;
    } else {
        return -1;
    }
    *size = Little(record + 40, 8);
    *offset = Little(record + 48, 8);
    return 1;
}

// Finds the end record (the zip64 one when its locator leads to it) in the file's tail, which
// stays in a window for the library's own search, and keeps the directory it names.
void Locate(Opened* o, ZipFileArchive* found) {
    if (mz_stream_os_seek(o->Stream, 0, MZ_SEEK_END) != MZ_OK) return;
    const int64_t size = mz_stream_os_tell(o->Stream);
    o->At = size;
    if (size < 22) return;
    Window* tail = &o->Windows[0];
    tail->Start = size > (int64_t)kWindowSize ? size - (int64_t)kWindowSize : 0;
    const int32_t read = ReadAt(o, tail->Start, tail->Bytes, (uint32_t)(size - tail->Start));
    tail->Length = read > 0 ? (uint64_t)read : 0;
    const int64_t end = FindLast(*tail, size, kEndRecord, 22);
    if (end < 0) return;
    int64_t central = tail->Start + end;
    uint64_t directorySize = Little(tail->Bytes + end + 12, 4), directoryOffset = Little(tail->Bytes + end + 16, 4);
    int64_t at = 0;
    uint64_t size64 = 0, offset64 = 0;
    const int32_t zip64 = FindZip64(o, *tail, central, &at, &size64, &offset64);
    if (zip64 < 0) return;
    if (zip64 > 0) {
        // The end record's own fields either defer to the zip64 record or agree with it.
        if ((directorySize != 0xffffffffu && directorySize != size64) ||
            (directoryOffset != 0xffffffffu && directoryOffset != offset64))
            return;
        central = at;
        directorySize = size64;
        directoryOffset = offset64;
    }
    if (directoryOffset > (uint64_t)central || directorySize > (uint64_t)central - directoryOffset) return;
    found->Located = 1;
    found->DirectoryStart = central - (int64_t)directorySize;
    found->DirectoryLength = directorySize;
    found->Shift = central - (int64_t)(directoryOffset + directorySize);
    if (directorySize == 0 || directorySize > ZIP_FILE_DIRECTORY_LIMIT) return;
    Window* kept = &o->Directory;
    kept->Bytes = static_cast<uint8_t*>(Memory_Alloc(directorySize));
    // What the tail already holds is not read again.
    const int64_t start = found->DirectoryStart;
    const uint64_t before = start < tail->Start ? (uint64_t)(tail->Start - start) : 0;
    const uint64_t head = before < directorySize ? before : directorySize;
    if (!ReadWhole(o, start, kept->Bytes, head) ||
        (head < directorySize && End(*tail) < start + (int64_t)directorySize)) {
        Memory_Free(kept->Bytes, directorySize);
        kept->Bytes = nullptr;
        return;
    }
    memcpy(kept->Bytes + head, tail->Bytes + (start + (int64_t)head - tail->Start), directorySize - head);
    kept->Start = start;
    kept->Length = directorySize;
    found->Directory = kept->Bytes;
}

void Forget(Opened* o) {
    if (o->Directory.Bytes) Memory_Free(o->Directory.Bytes, o->Directory.Length);
    if (o->Archive) memset(o->Archive, 0, sizeof(*o->Archive));
}

voidpf ZCALLBACK Open64(voidpf opaque, const void* filename, int mode) {
    void* stream = mz_stream_os_create(nullptr);
    if (mz_stream_os_open(stream, static_cast<const char*>(filename), mode) != MZ_OK) {
        mz_stream_os_delete(&stream);
        return nullptr;
    }
    Opened* o = static_cast<Opened*>(Memory_AllocZero(sizeof(Opened)));
    o->Stream = stream;
    o->ReadOnly = (mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) == ZLIB_FILEFUNC_MODE_READ;
    o->At = 0;
    for (int32_t i = 0; i < kWindows; i++) o->Windows[i].Bytes = o->Storage[i];
    if (!o->ReadOnly) return o;
    ZipFileArchive found = {};
    Locate(o, &found);
    if (ZipFileArchive* archive = static_cast<ZipFileArchive*>(opaque)) {
        *archive = found;
        archive->Opened = o;
        o->Archive = archive;
    }
    return o;
}

// minizip expects whole reads like fread: a short count means the end of the file or an error.
[[gnu::noinline]] uLong ReadSlowly(Opened* o, uint8_t* out, uLong size) {
    uLong done = 0;
    while (done < size) {
        const uLong part = size - done < kChunk ? size - done : kChunk;
        if (!o->ReadOnly) {
            const int32_t read = mz_stream_os_read(o->Stream, out + done, (int32_t)part);
            if (read <= 0) break;
            done += (uLong)read;
            continue;
        }
        if (Window* w = Holding(o, o->Position)) {
            const uint64_t held = (uint64_t)(End(*w) - o->Position);
            const uLong take = part < held ? part : (uLong)held;
            memcpy(out + done, w->Bytes + (o->Position - w->Start), take);
            if (w != o->Last) {
                w->Used = ++o->Clock;
                o->Last = w;
            }
            o->Position += (int64_t)take;
            done += take;
            continue;
        }
        if (part >= kWindowSize) {
            // A large read (an entry's data) goes straight into the caller's buffer.
            const int32_t read = ReadAt(o, o->Position, out + done, (uint32_t)part);
            if (read <= 0) break;
            o->Position += read;
            done += (uLong)read;
            continue;
        }
        if (!Fill(o, o->Position)) break;
    }
    return done;
}

// minizip reads most fields a byte or a few at a time: a read that the last window holds whole is
// served here at once, the rest by ReadSlowly.
uLong ZCALLBACK Read(voidpf, voidpf opened, void* buffer, uLong size) {
    Opened* o = Of(opened);
    uint8_t* out = static_cast<uint8_t*>(buffer);
    if (o->ReadOnly && o->Last) {
        const Window* w = o->Last;
        const int64_t offset = o->Position - w->Start;
        if (offset >= 0 && size <= w->Length && (uint64_t)offset <= w->Length - size) {
            if (size == 1)
                *out = w->Bytes[offset];
            else
                memcpy(out, w->Bytes + offset, size);
            o->Position += (int64_t)size;
            return size;
        }
    }
    return ReadSlowly(o, out, size);
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
    Forget(o);
    Memory_Free(o, sizeof(Opened));
    return result == MZ_OK ? 0 : -1;
}

int ZCALLBACK TestError(voidpf, voidpf opened) {
    return mz_stream_os_error(Of(opened)->Stream);
}

} // namespace

int64_t ZipFile_GetReadTotals(uint64_t* bytes, uint64_t* reads) {
    if (bytes) *bytes = GlobalBytesRead.load(std::memory_order_relaxed);
    if (reads) *reads = GlobalReads.load(std::memory_order_relaxed);
    return 1;
}

int64_t ZipFile_FillArchiveFunc64(zlib_filefunc64_def_s* functions, ZipFileArchive* archive) {
    ASSERT_POINTER(archive);
    memset(archive, 0, sizeof(*archive));
    ZipFile_FillFileFunc64(functions);
    functions->opaque = archive;
    return 1;
}

int64_t ZipFile_ReadArchive(ZipFileArchive* archive, int64_t offset, void* buffer, uint32_t size) {
    ASSERT_POINTER(archive);
    Opened* o = static_cast<Opened*>(archive->Opened);
    if (!o || offset < 0) return 0;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    for (uint32_t done = 0; done < size;) {
        const int64_t at = offset + done;
        if (const Window* w = Holding(o, at)) {
            const uint64_t held = (uint64_t)(End(*w) - at);
            const uint32_t take = size - done < held ? size - done : (uint32_t)held;
            memcpy(out + done, w->Bytes + (at - w->Start), take);
            done += take;
            continue;
        }
        const int32_t read = ReadAt(o, at, out + done, size - done);
        if (read <= 0) return 0;
        done += (uint32_t)read;
    }
    return 1;
}

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
