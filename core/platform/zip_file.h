// The zip library's operating-system layer: its file stream, file and directory operations, path
// helpers and date and attribute conversions, written over File and Path so that archives see the
// same path resolution, retries and logging as every other file of the system.
#pragma once

#include <cstdint>
#include <ctime>

// minizip's file-function table (zlib_filefunc64_def of <minizip/ioapi.h>).
struct zlib_filefunc64_def_s;

// Result codes of the zip library.
enum : int32_t {
    MZ_OK = 0,
    MZ_STREAM_ERROR = -1,
    MZ_PARAM_ERROR = -102,
    MZ_FORMAT_ERROR = -103,
    MZ_INTERNAL_ERROR = -104,
    MZ_EXIST_ERROR = -107,
};

// Open-mode bits of a stream. The minizip file-function modes use the same numbers (its
// "existing" bit is this append bit: an archive that is added to must already exist).
enum : int32_t {
    MZ_OPEN_MODE_READ = 0x01,
    MZ_OPEN_MODE_WRITE = 0x02,
    MZ_OPEN_MODE_READWRITE = 0x03,
    MZ_OPEN_MODE_APPEND = 0x04,
    MZ_OPEN_MODE_CREATE = 0x08,
};

enum : int32_t {
    MZ_SEEK_SET = 0,
    MZ_SEEK_CUR = 1,
    MZ_SEEK_END = 2,
};

// Text encodings of mz_os_utf8_string_create.
enum : int32_t {
    MZ_ENCODING_CODEPAGE_1252 = 1252,
    MZ_ENCODING_UTF8 = 65001,
};

// The library's stream interface: a table of operations and, in every stream object, the table
// pointer followed by the stream it is layered on.
struct mz_stream_vtbl {
    int32_t (*open)(void* stream, const char* path, int32_t mode);
    int32_t (*is_open)(void* stream);
    int32_t (*read)(void* stream, void* buffer, int32_t size);
    int32_t (*write)(void* stream, const void* buffer, int32_t size);
    int64_t (*tell)(void* stream);
    int32_t (*seek)(void* stream, int64_t offset, int32_t origin);
    int32_t (*close)(void* stream);
    int32_t (*error)(void* stream);
    void* (*create)(void** stream);
    void (*destroy)(void** stream);
    int32_t (*get_prop_int64)(void* stream, int32_t property, int64_t* value);
    int32_t (*set_prop_int64)(void* stream, int32_t property, int64_t value);
};

struct mz_stream {
    mz_stream_vtbl* vtbl;
    mz_stream* base;
};

// The file stream; its property slots are empty.
extern mz_stream_vtbl mz_stream_os_vtbl;

void* mz_stream_os_create(void** stream);
// Closes a File still held, frees the stream and clears the pointer.
void mz_stream_os_delete(void** stream);
void* mz_stream_os_get_interface();
// Read only: an existing file. Otherwise the file is made writable and opened for appending
// (it must exist) or created (an existing one is replaced whole when closed); read and write
// without either is refused. A directory is refused at once.
int32_t mz_stream_os_open(void* stream, const char* path, int32_t mode);
int32_t mz_stream_os_is_open(void* stream);
// The bytes read: 0 at the end of the file; MZ_STREAM_ERROR when the read failed.
int32_t mz_stream_os_read(void* stream, void* buffer, int32_t size);
// The bytes written; MZ_STREAM_ERROR when not all were.
int32_t mz_stream_os_write(void* stream, const void* buffer, int32_t size);
int64_t mz_stream_os_tell(void* stream);
int32_t mz_stream_os_seek(void* stream, int64_t offset, int32_t origin);
// MZ_STREAM_ERROR when the file could not be closed, which for a replaced file means that the
// new content did not take the old one's place.
int32_t mz_stream_os_close(void* stream);
// The platform error code of the last failure.
int32_t mz_stream_os_error(void* stream);

// Fills the minizip file-function table with the file stream above, so that unzOpen2_64 and
// zipOpen2_64 read and write archives through the system's own files.
int64_t ZipFile_FillFileFunc64(zlib_filefunc64_def_s* functions);
// The bytes, and the reads of the file they took, that archives opened for reading through that
// table have taken from their files since the process started, on all threads.
int64_t ZipFile_GetReadTotals(uint64_t* bytes, uint64_t* reads);

// An archive opened for reading through a table filled by ZipFile_FillArchiveFunc64, as the open
// found it: its central directory is located by the end records where the format puts them (a
// zip64 end record only through the locator just before the end record, and only where that
// locator says, consistent with the end record) and, when not larger than
// ZIP_FILE_DIRECTORY_LIMIT, read whole once and kept, so that every walk of the directory
// and every jump within it is served from memory. All fields are cleared when the archive closes.
struct ZipFileArchive {
    void* Opened; // the open archive; null when none
    // 1 when the end record was found: the fields below are known.
    int32_t Located;
    int64_t DirectoryStart; // the file offset of the directory
    uint64_t DirectoryLength;
    // Bytes before the archive proper (a program it was appended to): each offset the directory
    // holds is this much short of the file offset it names.
    int64_t Shift;
    // The directory's bytes; null when it was not located or is too large to keep.
    const uint8_t* Directory;
};

enum : uint64_t { ZIP_FILE_DIRECTORY_LIMIT = 128ull << 20 };

// As ZipFile_FillFileFunc64, and the next archive the table opens for reading is described in
// `archive` until it is closed.
int64_t ZipFile_FillArchiveFunc64(zlib_filefunc64_def_s* functions, ZipFileArchive* archive);
// Exactly `size` bytes of the open archive at the file offset, from what it holds or else read
// for just those bytes; 1, or 0 when the file ends first or the read failed.
int64_t ZipFile_ReadArchive(ZipFileArchive* archive, int64_t offset, void* buffer, uint32_t size);

// ---- Files, directories and links --------------------------------------------------------------
// Encoding 65001: a copy of UTF-8 text; 1252: the Windows-1252 text converted to UTF-8; other
// encodings: null. Free with mz_os_utf8_string_delete.
uint8_t* mz_os_utf8_string_create(const char* text, int32_t encoding);
void mz_os_utf8_string_delete(uint8_t** text);
int32_t mz_os_rand(uint8_t* buffer, int32_t size);
int32_t mz_os_rename(const char* source, const char* target);
// A missing file counts as erased.
int32_t mz_os_unlink(const char* path);
int32_t mz_os_delete(const char* path);
int32_t mz_os_file_exists(const char* path);
int64_t mz_os_get_file_size(const char* path);
// Seconds since 1970-01-01 00:00:00 UTC; any out-pointer may be null.
int32_t mz_os_get_file_date(const char* path, time_t* modified, time_t* accessed, time_t* creation);
// The creation time is accepted and not applied: this platform cannot set it.
int32_t mz_os_set_file_date(const char* path, time_t modified, time_t accessed, time_t creation);
// POSIX mode bits: the file type and the permissions of the entry itself (a link is a link);
// an immutable file counts as not writable.
int32_t mz_os_get_file_attribs(const char* path, uint32_t* attributes);
// Applies the permission bits of POSIX mode bits; set-id and sticky bits are never applied.
int32_t mz_os_set_file_attribs(const char* path, uint32_t attributes);
// Missing parents are created too.
int32_t mz_os_make_dir(const char* path);
int32_t mz_dir_make(const char* path);

// A directory listing: "." and ".." included, in the file system's order.
struct mz_dir_entry {
    char d_name[1024];
};
struct mz_dir;
mz_dir* mz_os_open_dir(const char* path);
// Null at the end of the listing and after it.
mz_dir_entry* mz_os_read_dir(mz_dir* handle);
int32_t mz_os_close_dir(mz_dir* handle);

int32_t mz_os_is_dir(const char* path);
int32_t mz_os_is_symlink(const char* path);
int32_t mz_os_make_symlink(const char* path, const char* target);
int32_t mz_os_read_symlink(const char* path, char* target, int32_t size);
// Milliseconds of the monotonic clock.
uint64_t mz_os_ms_time();

// ---- Path texts ----------------------------------------------------------------------------------
int32_t mz_path_resolve(const char* path, char* target, int32_t size);
int32_t mz_path_remove_filename(char* path);
int32_t mz_path_remove_extension(char* path);
// The name points into the path; MZ_EXIST_ERROR when the path ends in a separator.
int32_t mz_path_get_filename(const char* path, const char** filename);

// ---- Attribute and date conversions --------------------------------------------------------------
// Windows attribute bits (0x01 read-only, 0x10 directory, 0x400 reparse point = link) and POSIX
// mode bits.
int32_t mz_zip_attrib_win32_to_posix(uint32_t win32Attributes, uint32_t* posixAttributes);
int32_t mz_zip_attrib_posix_to_win32(uint32_t posixAttributes, uint32_t* win32Attributes);

// A DOS date (date in the high 16 bits, time in the low 16) holds local calendar fields with
// even seconds, years 1980 to 2107.
// Local calendar fields of the given seconds since 1970 (UTC).
int32_t mz_zip_time_t_to_tm(time_t unixTime, struct tm* record);
// tm_year may be years since 1900 (80 to 207), a full year (1980 to 2107) or two digits for 2000
// to 2079 (0 to 79). 0 when the fields have no DOS form.
uint32_t mz_zip_tm_to_dosdate(const struct tm* record);
// Times before 1980 give the earliest DOS date; 0 when the time has no calendar form.
uint32_t mz_zip_time_t_to_dos_date(time_t unixTime);
// The calendar fields (tm_year since 1900); MZ_FORMAT_ERROR and a zeroed record when a field is
// out of range.
int32_t mz_zip_dosdate_to_tm(uint64_t dosDate, struct tm* record);
// The seconds since 1970 (UTC) of the local calendar fields; out-of-range fields carry over.
time_t mz_zip_dosdate_to_time_t(uint64_t dosDate);
