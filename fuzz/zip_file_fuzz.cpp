// Opens arbitrary bytes as an archive through the zip file layer and reads every entry, so that the
// layer's file stream, its date and attribute conversions and minizip's parsing meet damaged input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include <minizip/unzip.h>

#include "core/linux/platform.h"
#include "core/platform/zip_file.h"
#include "core/runtime/string_print.h"

namespace {

// Entries and bytes read from one input at most: a small input may claim or inflate to a lot.
constexpr int32_t kMaxEntries = 4096;
constexpr uint64_t kMaxBytes = 64u << 20;

char GlobalArchivePath[320];

void RemoveArchive() {
    mz_os_unlink(GlobalArchivePath);
}

const char* ArchivePath() {
    if (!GlobalArchivePath[0]) {
        char directory[320];
        if (!Platform_GetSpecialPath(PLATFORM_PATH_TEMP, directory, (int32_t)sizeof(directory))) abort();
        String_Print(GlobalArchivePath, (int32_t)sizeof(GlobalArchivePath), "%szip_file_fuzz-%lu.zip",
                     directory, Platform_GetCurrentProcessId());
        atexit(RemoveArchive);
    }
    return GlobalArchivePath;
}

// The input goes to disk through the layer's own stream, which must take it whole.
void Store(const uint8_t* data, size_t size) {
    // Created afresh: writing over the last input would replace it whole, with a sync each time.
    if (mz_os_unlink(ArchivePath()) != MZ_OK || mz_os_file_exists(ArchivePath()) == MZ_OK) abort();
    void* stream = mz_stream_os_create(nullptr);
    if (mz_stream_os_open(stream, ArchivePath(), MZ_OPEN_MODE_READWRITE | MZ_OPEN_MODE_CREATE) != MZ_OK)
        abort();
    if (size > 0 && mz_stream_os_write(stream, data, (int32_t)size) != (int32_t)size) abort();
    if (mz_stream_os_tell(stream) != (int64_t)size) abort();
    if (mz_stream_os_close(stream) != MZ_OK) abort();
    mz_stream_os_delete(&stream);
}

void ReadEntry(unzFile archive, const char* name, const unz_file_info64& info) {
    struct tm fields;
    if (mz_zip_dosdate_to_tm(info.dosDate, &fields) == MZ_OK && (fields.tm_mon < 0 || fields.tm_mon > 11))
        abort();
    mz_zip_dosdate_to_time_t(info.dosDate);
    uint32_t posix = 0, win32 = 0;
    mz_zip_attrib_win32_to_posix((uint32_t)info.external_fa, &posix);
    mz_zip_attrib_posix_to_win32((uint32_t)(info.external_fa >> 16), &win32);
    const char* filename = nullptr;
    mz_path_get_filename(name, &filename);
    uint8_t* text = mz_os_utf8_string_create(name, MZ_ENCODING_CODEPAGE_1252);
    mz_os_utf8_string_delete(&text);

    if (unzOpenCurrentFile(archive) != UNZ_OK) return;
    static uint8_t buffer[16384];
    uint64_t total = 0;
    int read = 0;
    while (total < kMaxBytes && (read = unzReadCurrentFile(archive, buffer, sizeof(buffer))) > 0)
        total += (uint64_t)read;
    unzCloseCurrentFile(archive);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (size_t)INT32_MAX) return 0;
    Store(data, size);
    if (mz_os_get_file_size(ArchivePath()) != (int64_t)size) abort();

    zlib_filefunc64_def functions;
    ZipFile_FillFileFunc64(&functions);
    unzFile archive = unzOpen2_64(ArchivePath(), &functions);
    if (!archive) return 0;
    unz_global_info64 global;
    unzGetGlobalInfo64(archive, &global);
    char comment[256];
    unzGetGlobalComment(archive, comment, sizeof(comment));
    int result = unzGoToFirstFile(archive);
    for (int32_t count = 0; result == UNZ_OK && count < kMaxEntries; count++) {
        char name[1024], extra[256], entryComment[256];
        unz_file_info64 info;
        // minizip terminates a name only when the buffer has room to spare.
        name[sizeof(name) - 1] = 0;
        if (unzGetCurrentFileInfo64(archive, &info, name, sizeof(name) - 1, extra, sizeof(extra),
                                    entryComment, sizeof(entryComment)) != UNZ_OK)
            break;
        ReadEntry(archive, name, info);
        result = unzGoToNextFile(archive);
    }
    unzClose(archive);
    return 0;
}
