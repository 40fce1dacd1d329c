// The zip library's file, directory, link and path operations over Path and the platform layer,
// and its conversions between Windows attribute bits and POSIX mode bits.
#include <cstdlib>
#include <cstring>

#include "core/linux/platform.h"
#include "core/linux/platform_file.h"
#include "core/platform/path.h"
#include "core/platform/zip_file.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/time.h"
#include "core/runtime/unicode.h"

namespace {

// POSIX mode bits, spelled out: the conversions hold for archives made on any system.
constexpr uint32_t kPosixTypeMask = 0170000;
constexpr uint32_t kPosixLink = 0120000;
constexpr uint32_t kPosixDirectory = 0040000;
constexpr uint32_t kPosixRegular = 0100000;
constexpr uint32_t kPosixPermissions = 0777;
constexpr uint32_t kPosixRead = 0444;
constexpr uint32_t kPosixWrite = 0222;
constexpr uint32_t kPosixExecute = 0111;

constexpr uint32_t kWin32ReadOnly = 0x01;
constexpr uint32_t kWin32Directory = 0x10;
constexpr uint32_t kWin32Normal = 0x80;
constexpr uint32_t kWin32ReparsePoint = 0x400;

int32_t Result(int64_t ok, int32_t failure) {
    return ok ? MZ_OK : failure;
}

} // namespace

// ---- Texts and random bytes ------------------------------------------------------------------------

uint8_t* mz_os_utf8_string_create(const char* text, int32_t encoding) {
    if (!text) return nullptr;
    char* copy = nullptr;
    if (encoding == MZ_ENCODING_UTF8) {
        // Already UTF-8: read as Windows-1252 it would be encoded a second time. The copy comes
        // from the process heap like the converted text, so that one delete frees either.
        const size_t size = strlen(text) + 1;
        copy = static_cast<char*>(malloc(size));
        if (copy) memcpy(copy, text, size);
    } else if (encoding == MZ_ENCODING_CODEPAGE_1252) {
        StringAnsi_CreateUtf8(text, &copy);
    }
    return reinterpret_cast<uint8_t*>(copy);
}

void mz_os_utf8_string_delete(uint8_t** text) {
    if (!text) return;
    char* copy = reinterpret_cast<char*>(*text);
    StringAnsi_DeleteUtf8(&copy);
    *text = nullptr;
}

int32_t mz_os_rand(uint8_t* buffer, int32_t size) {
    if (!buffer || size < 0) return 0;
    return Platform_CryptFill(buffer, size) ? size : 0;
}

// ---- Files ---------------------------------------------------------------------------------------------

int32_t mz_os_rename(const char* source, const char* target) {
    PlatformErrorCode error = 0;
    return Result(Path_MoveFile(source, target, 1, 1, &error, nullptr, nullptr), MZ_INTERNAL_ERROR);
}

int32_t mz_os_unlink(const char* path) {
    return Result(Path_EraseFile(path, 1, nullptr), MZ_INTERNAL_ERROR);
}

int32_t mz_os_delete(const char* path) {
    return mz_os_unlink(path);
}

int32_t mz_os_file_exists(const char* path) {
    return Result(Path_Exists(path), MZ_EXIST_ERROR);
}

int64_t mz_os_get_file_size(const char* path) {
    uint64_t size = 0;
    if (!Path_GetFileSize(path, &size) || size > (uint64_t)INT64_MAX) return 0;
    return (int64_t)size;
}

// The attributes the library asks for here are POSIX mode bits, which this platform keeps for
// every entry: they are taken as they are, where the Windows-style attribute set would lose the
// execute bits and report a link as a regular file.
int32_t mz_os_get_file_attribs(const char* path, uint32_t* attributes) {
    if (!path || !attributes) return MZ_PARAM_ERROR;
    *attributes = 0;
    uint32_t mode = 0, platform = 0;
    PlatformErrorCode error = 0;
    if (!Path_GetMode(path, &mode, &error) || !Path_GetAttributes(path, &platform, &error))
        return MZ_INTERNAL_ERROR;
    mode &= kPosixTypeMask | kPosixPermissions;
    // An immutable file cannot be written whatever its mode says.
    if (platform & PLATFORM_FILE_ATTRIBUTE_READONLY) mode &= ~kPosixWrite;
    *attributes = mode;
    return MZ_OK;
}

// The Windows-style read-only attribute is this platform's immutable flag: set from an archive,
// it would leave a file that nobody can change or remove, and a user without the capability to
// set it could not extract the file at all. The permission bits are applied instead; set-id and
// sticky bits from an archive are never applied.
int32_t mz_os_set_file_attribs(const char* path, uint32_t attributes) {
    if (!path) return MZ_PARAM_ERROR;
    PlatformErrorCode error = 0;
    return Result(Path_SetMode(path, attributes & kPosixPermissions, &error), MZ_INTERNAL_ERROR);
}

// ---- Directories -------------------------------------------------------------------------------------

int32_t mz_os_make_dir(const char* path) {
    if (!path) return MZ_PARAM_ERROR;
    return Result(Path_CreateDirectory(path, 0, nullptr), MZ_INTERNAL_ERROR);
}

int32_t mz_dir_make(const char* path) {
    if (!path) return MZ_PARAM_ERROR;
    return mz_os_make_dir(path);
}

struct mz_dir {
    void* Search;
    PlatformFindData Found;
    mz_dir_entry Entry;
    uint32_t Started; // the entry found at open has been handed out
    uint32_t End;
};

mz_dir* mz_os_open_dir(const char* path) {
    if (!path) return nullptr;
    // A path that does not fit would list another directory: refused, never cut.
    if (strlen(path) >= (size_t)PATH_SIZE) return nullptr;
    char pattern[PATH_SIZE];
    String_CopyLength(pattern, path, PATH_SIZE);
    if (!Path_FixSlash(pattern, PATH_SIZE, 1)) return nullptr;
    const size_t length = strlen(pattern);
    if (length + 2 > (size_t)PATH_SIZE) return nullptr;
    pattern[length] = '*';
    pattern[length + 1] = 0;
    mz_dir* handle = static_cast<mz_dir*>(Memory_AllocZero(sizeof(mz_dir)));
    if (!Platform_FindFirstFile(pattern, &handle->Found, &handle->Search)) {
        Memory_Free(handle, sizeof(mz_dir));
        return nullptr;
    }
    return handle;
}

mz_dir_entry* mz_os_read_dir(mz_dir* handle) {
    if (!handle || handle->End) return nullptr;
    if (handle->Started && !Platform_FindNextFile(handle->Search, &handle->Found)) {
        handle->End = 1;
        return nullptr;
    }
    handle->Started = 1;
    String_CopyLength(handle->Entry.d_name, handle->Found.Name, (int32_t)sizeof(handle->Entry.d_name));
    return &handle->Entry;
}

int32_t mz_os_close_dir(mz_dir* handle) {
    if (!handle) return MZ_PARAM_ERROR;
    Platform_FindClose(&handle->Search);
    Memory_Free(handle, sizeof(mz_dir));
    return MZ_OK;
}

int32_t mz_os_is_dir(const char* path) {
    return Result(Path_IsDirectory(path), MZ_EXIST_ERROR);
}

// ---- Links ---------------------------------------------------------------------------------------------

int32_t mz_os_is_symlink(const char* path) {
    return Result(Path_IsSymLink(path), MZ_EXIST_ERROR);
}

int32_t mz_os_make_symlink(const char* path, const char* target) {
    if (!path || !target) return MZ_PARAM_ERROR;
    return Result(Path_CreateSymLink(path, target, Path_IsDirectory(target) ? 1 : 0), MZ_INTERNAL_ERROR);
}

int32_t mz_os_read_symlink(const char* path, char* target, int32_t size) {
    if (!path || !target || size < 1) return MZ_PARAM_ERROR;
    return Result(Path_ReadLink(path, target, size), MZ_INTERNAL_ERROR);
}

uint64_t mz_os_ms_time() {
    return (uint64_t)(Time_GetCurrent() * 1000.0);
}

// ---- Path texts --------------------------------------------------------------------------------------

int32_t mz_path_resolve(const char* path, char* target, int32_t size) {
    if (!path || !target || size < 1) return MZ_PARAM_ERROR;
    return Result(Path_Resolve(path, target, size), MZ_INTERNAL_ERROR);
}

int32_t mz_path_remove_filename(char* path) {
    if (!path) return MZ_PARAM_ERROR;
    return Result(Path_RemoveFilename(path), MZ_INTERNAL_ERROR);
}

int32_t mz_path_remove_extension(char* path) {
    if (!path) return MZ_PARAM_ERROR;
    return Result(Path_RemoveExtension(path), MZ_INTERNAL_ERROR);
}

int32_t mz_path_get_filename(const char* path, const char** filename) {
    if (!path || !filename) return MZ_PARAM_ERROR;
    return Result(Path_ParseFilenamePtr(path, filename), MZ_EXIST_ERROR);
}

// ---- Attribute conversions -------------------------------------------------------------------------

int32_t mz_zip_attrib_posix_to_win32(uint32_t posixAttributes, uint32_t* win32Attributes) {
    if (!win32Attributes) return MZ_PARAM_ERROR;
    *win32Attributes = 0;
    // Readable but neither writable nor executable by anyone.
    if ((posixAttributes & (kPosixWrite | kPosixExecute)) == 0 && (posixAttributes & kPosixRead) != 0)
        *win32Attributes |= kWin32ReadOnly;
    const uint32_t type = posixAttributes & kPosixTypeMask;
    if (type == kPosixLink)
        *win32Attributes |= kWin32ReparsePoint;
    else if (type == kPosixDirectory)
        *win32Attributes |= kWin32Directory;
    else
        *win32Attributes |= kWin32Normal;
    return MZ_OK;
}

int32_t mz_zip_attrib_win32_to_posix(uint32_t win32Attributes, uint32_t* posixAttributes) {
    if (!posixAttributes) return MZ_PARAM_ERROR;
    *posixAttributes = kPosixRead;
    if ((win32Attributes & kWin32ReadOnly) == 0) *posixAttributes |= kPosixWrite;
    if (win32Attributes & kWin32ReparsePoint)
        *posixAttributes |= kPosixLink;
    else if (win32Attributes & kWin32Directory)
        *posixAttributes |= kPosixDirectory | kPosixExecute;
    else
        *posixAttributes |= kPosixRegular;
    return MZ_OK;
}
