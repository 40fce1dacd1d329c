// Reading zip archives for the Unzip task: the entries that match a pattern are checked against
// the output directory first, then streamed through decryption and inflation into files made
// through descriptors (unzip_task_os.h), each renamed into place only once complete and verified.
#include "tasks/unzip_archive.h"

#include <minizip/unzip.h>
#include <zlib.h>

#include <cctype>
#include <chrono>
#include <cstring>

#include "core/platform/path.h"
#include "core/platform/zip_file.h"
#include "core/runtime/hash_table.h"
#include "core/runtime/log_text.h"
#include "core/runtime/memory.h"
#include "core/runtime/string_print.h"
#include "tasks/linux/unzip_task_os.h"

namespace {

constexpr int32_t kReadSize = 256 * 1024;
// A raw entry name as the central directory may hold it (16-bit length).
constexpr int32_t kRawNameSize = 65536;
// Mid-entry progress of a large entry is reported at most this often (seconds).
constexpr double kProgressInterval = 0.25;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// Folds A-Z only: the user's locale may fold letters otherwise (a dotless capital I).
char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

struct Extraction {
    UnzipJob* Job;
    unzFile Zip;
    int32_t Root;
    char* Name;     // raw entry name, kRawNameSize bytes
    char* Relative; // its path below the root
    char* Buffer;   // kReadSize bytes
};

bool Stopped(const UnzipJob* job) {
    return job->StopFlag && __atomic_load_n(job->StopFlag, __ATOMIC_SEQ_CST) != 0;
}

void PostProgress(UnzipJob* job, int64_t count, int64_t size) {
    if (count > 0 && job->OnProgress) job->OnProgress(job->User, count, size);
}

template <typename... Args> void Print(Extraction* x, const char* format, Args... args) {
    if (x->Job->Print) x->Job->Print(x->Job->User, format, args...);
}

// The current entry when it is one to extract: its name read, matched, and turned into a path.
// 1 matching (with `relative` set, possibly empty), 0 not matching, -1 unreadable or hostile.
int32_t CurrentEntry(Extraction* x, unz_file_info64* info, uint32_t* directory) {
    if (unzGetCurrentFileInfo64(x->Zip, info, x->Name, kRawNameSize, nullptr, 0, nullptr, 0) != UNZ_OK) return -1;
    const uLong stored = info->size_filename < (uLong)kRawNameSize ? info->size_filename : (uLong)kRawNameSize - 1;
    x->Name[stored] = 0;
    // A name with a NUL inside would be read as a shorter, different name.
    if (strlen(x->Name) != stored) return -1;
    if (stored > (uLong)UNZIP_ENTRY_NAME_LIMIT) x->Name[UNZIP_ENTRY_NAME_LIMIT] = 0;
    if (!Unzip_MatchPattern(x->Name, x->Job->Pattern)) return 0;
    if (!Unzip_EntryPath(x->Name, x->Relative, PATH_SIZE, directory)) return -1;
    return 1;
}

enum : uint64_t { kPlannedFile = 1, kPlannedDirectory = 2 };

// Records what the entry at `relative` makes once the entries before it are out: a directory for
// each component before the last, and the last as a file or a directory. 0 when that cannot
// happen: a component that an earlier entry writes as a file (a link entry is written as a file
// too) is needed as a directory, or a file goes where an earlier entry made a directory.
int32_t Plan(HashTable* planned, char* relative, uint32_t directory) {
    uint64_t kind = 0;
    for (char* slash = strchr(relative, '/'); slash; slash = strchr(slash + 1, '/')) {
        *slash = 0;
        const bool known = HashTable_GetValue(planned, relative, &kind) == 1;
        if (!known) HashTable_Add(planned, relative, kPlannedDirectory);
        *slash = '/';
        if (known && kind == kPlannedFile) return 0;
    }
    const bool known = HashTable_GetValue(planned, relative, &kind) == 1;
    const uint64_t wanted = directory ? kPlannedDirectory : kPlannedFile;
    if (known) return kind == wanted;
    HashTable_Add(planned, relative, wanted);
    return 1;
}

// Walks the matching entries: sums their sizes and refuses the archive, before anything is
// written, when any of them would be written outside the output directory or could not be
// written where earlier entries of the same archive (or what is on disk) put something else.
// 0 on failure; `matches` counts the entries.
int32_t Survey(Extraction* x, int64_t* matches) {
    *matches = 0;
    unz_global_info64 global = {};
    if (unzGetGlobalInfo64(x->Zip, &global) != UNZ_OK) return 0;
    // Entry paths are at most the cut name's length.
    HashTable* planned = nullptr;
    const uint32_t buckets = global.number_entry > 65536 ? 16384
                             : global.number_entry < 256 ? 64
                                                         : (uint32_t)global.number_entry / 4;
    if (!HashTable_Create(&planned, UNZIP_ENTRY_NAME_LIMIT + 1, buckets)) return 0;
    int32_t ok = 1;
    int32_t status = unzGoToFirstFile(x->Zip);
    for (; ok && status == UNZ_OK; status = unzGoToNextFile(x->Zip)) {
        unz_file_info64 info;
        uint32_t directory = 0;
        const int32_t entry = CurrentEntry(x, &info, &directory);
        if (entry < 0) {
            Print(x, "Refusing entry %s", LogText(x->Name).Text);
            ok = 0;
            break;
        }
        if (entry == 0) continue;
        if (x->Root >= 0 && x->Relative[0] && UnzipOs_PathHasLink(x->Root, x->Relative, directory ? 0 : 1)) {
            Print(x, "Refusing entry %s: a symbolic link or another kind of file is in its way",
                  LogText(x->Name).Text);
            ok = 0;
            break;
        }
        if (x->Relative[0] && !Plan(planned, x->Relative, directory)) {
            Print(x, "Refusing entry %s: an earlier entry puts another kind of file in its way",
                  LogText(x->Name).Text);
            ok = 0;
            break;
        }
        (*matches)++;
        if (info.uncompressed_size > (ZPOS64_T)INT64_MAX - (ZPOS64_T)x->Job->TotalSize) {
            ok = 0;
            break;
        }
        x->Job->TotalSize += (int64_t)info.uncompressed_size;
    }
    HashTable_Delete(&planned);
    return ok && status == UNZ_END_OF_LIST_OF_FILE ? 1 : 0;
}

void PublishEntry(Extraction* x) {
    char output[PATH_SIZE * 2];
    String_Print(output, sizeof(output), "%s/%s", x->Job->OutputDirectory, x->Relative);
    if (x->Job->OnEntry) x->Job->OnEntry(x->Job->User, x->Name, output);
}

// Traditional zip encryption (the three-key stream cipher over CRC-32 of the zip format).
struct ZipCrypto {
    uint32_t Key[3] = {};
    const z_crc_t* Table = nullptr;

    void Update(uint8_t c) {
        Key[0] = Table[(Key[0] ^ c) & 0xff] ^ (Key[0] >> 8);
        Key[1] = (Key[1] + (Key[0] & 0xff)) * 134775813u + 1;
        Key[2] = Table[(Key[2] ^ (Key[1] >> 24)) & 0xff] ^ (Key[2] >> 8);
    }
    uint8_t Decrypt(uint8_t c) {
        const uint32_t temp = (Key[2] | 2) & 0xffff;
        const uint8_t plain = (uint8_t)(c ^ (uint8_t)((temp * (temp ^ 1)) >> 8));
        Update(plain);
        return plain;
    }
    void Init(const char* password) {
        Table = get_crc_table();
        Key[0] = 0x12345678u;
        Key[1] = 0x23456789u;
        Key[2] = 0x34567890u;
        for (const char* p = password; *p; p++) Update((uint8_t)*p);
    }
};

// Reads exactly `size` raw bytes of the current entry; 0 when the archive ends first.
int32_t ReadRaw(Extraction* x, uint8_t* buffer, int32_t size) {
    int32_t done = 0;
    while (done < size) {
        const int32_t got = unzReadCurrentFile(x->Zip, buffer + done, size - done);
        if (got <= 0) return 0;
        done += got;
    }
    return 1;
}

// Streams the current entry (opened raw) through decryption and inflation into the file, checking
// its length and CRC against the directory. 0 on any mismatch, failure or stop.
int32_t CopyEntry(Extraction* x, const unz_file_info64& info, UnzipOsFile* file) {
    UnzipJob* job = x->Job;
    const bool encrypted = (info.flag & 1) != 0;
    const int64_t size = (int64_t)info.uncompressed_size;
    ZipCrypto crypto;
    if (encrypted) {
        crypto.Init(job->Password);
        uint8_t header[12];
        if (!ReadRaw(x, header, sizeof(header))) return 0;
        for (uint8_t& b : header) b = crypto.Decrypt(b);
        // The last header byte repeats the CRC's high byte (the time's, when sizes trail the data):
        // most wrong passwords stop here.
        const uint8_t check = (info.flag & 8) ? (uint8_t)(info.dosDate >> 8) : (uint8_t)(info.crc >> 24);
        if (header[11] != check) return 0;
    }
    const bool deflated = info.compression_method == Z_DEFLATED;
    z_stream stream = {};
    if (deflated && inflateInit2(&stream, -MAX_WBITS) != Z_OK) return 0;
    uint8_t* in = reinterpret_cast<uint8_t*>(x->Buffer);
    uint8_t* out = in + kReadSize / 2;
    const uInt half = (uInt)(kReadSize / 2);
    uLong crc = crc32(0L, Z_NULL, 0);
    int64_t count = 0;
    int32_t ok = 1, ended = deflated ? 0 : 1;
    double posted = Now();
    while (ok) {
        const int32_t got = unzReadCurrentFile(x->Zip, in, (unsigned)half);
        if (got < 0) ok = 0;
        if (got <= 0) break;
        if (encrypted)
            for (int32_t i = 0; i < got; i++) in[i] = crypto.Decrypt(in[i]);
        if (!deflated) {
            if (count + got > size || !UnzipOs_Write(file, in, got)) ok = 0;
            crc = crc32(crc, in, (uInt)got);
            count += got;
        } else {
            stream.next_in = in;
            stream.avail_in = (uInt)got;
            while (ok && stream.avail_in > 0 && !ended) {
                stream.next_out = out;
                stream.avail_out = half;
                const int status = inflate(&stream, Z_NO_FLUSH);
                if (status != Z_OK && status != Z_STREAM_END) ok = 0;
                const int32_t produced = (int32_t)(half - stream.avail_out);
                // More output than the directory promised: the directory lies.
                if (ok && (count + produced > size || !UnzipOs_Write(file, out, produced))) ok = 0;
                crc = crc32(crc, out, (uInt)produced);
                count += produced;
                if (status == Z_STREAM_END) ended = 1;
                if (ok && status == Z_OK && produced == 0 && stream.avail_in > 0) ok = 0;
            }
        }
        if (Stopped(job)) ok = 0;
        const double now = Now();
        if (ok && count < size && now - posted >= kProgressInterval) {
            PostProgress(job, count, size);
            posted = now;
        }
    }
    if (deflated) inflateEnd(&stream);
    return ok && ended && count == size && crc == info.crc;
}

// Writes the current entry to its file; 0 on any failure or a stop, with nothing left behind.
int32_t ExtractFile(Extraction* x, const unz_file_info64& info) {
    UnzipJob* job = x->Job;
    const uLong method = info.compression_method;
    // Traditional encryption needs the password; other methods (AES among them) are not read.
    if ((method != 0 && method != Z_DEFLATED) || ((info.flag & 1) && !job->Password[0])) return 0;
    const char* leaf = nullptr;
    const int32_t parent = UnzipOs_OpenParent(x->Root, x->Relative, &leaf);
    if (parent < 0) return 0;
    UnzipOsFile file;
    if (!UnzipOs_Begin(&file, parent)) {
        UnzipOs_Close(parent);
        return 0;
    }
    int32_t ok = 0;
    int method2 = 0, level = 0;
    if (unzOpenCurrentFile2(x->Zip, &method2, &level, 1) == UNZ_OK) {
        ok = CopyEntry(x, info, &file);
        if (unzCloseCurrentFile(x->Zip) != UNZ_OK) ok = 0;
    }
    if (ok)
        ok = UnzipOs_Commit(&file, leaf);
    else
        UnzipOs_Abort(&file);
    UnzipOs_Close(parent);
    if (ok) PostProgress(job, (int64_t)info.uncompressed_size, (int64_t)info.uncompressed_size);
    return ok;
}

int32_t ExtractAll(Extraction* x) {
    int32_t status = unzGoToFirstFile(x->Zip);
    for (; status == UNZ_OK; status = unzGoToNextFile(x->Zip)) {
        if (Stopped(x->Job)) return 0;
        unz_file_info64 info;
        uint32_t directory = 0;
        const int32_t entry = CurrentEntry(x, &info, &directory);
        if (entry < 0) return 0;
        if (entry == 0) continue;
        PublishEntry(x);
        if (!x->Relative[0]) continue; // the output directory itself
        if (directory ? !UnzipOs_MakeDirectory(x->Root, x->Relative) : !ExtractFile(x, info)) {
            Print(x, "Failed to extract %s", LogText(x->Name).Text);
            return 0;
        }
    }
    return status == UNZ_END_OF_LIST_OF_FILE ? 1 : 0;
}

} // namespace

const char* Unzip_Extract(UnzipJob* job) {
    zlib_filefunc64_def functions;
    ZipFile_FillFileFunc64(&functions);
    job->TotalSize = 0;
    Extraction x = {job, unzOpen2_64(job->Path, &functions), -1, nullptr, nullptr, nullptr};
    if (!x.Zip) return "Unzip_Error_Open";
    x.Name = static_cast<char*>(Memory_Alloc(kRawNameSize));
    x.Relative = static_cast<char*>(Memory_Alloc(PATH_SIZE));
    x.Buffer = static_cast<char*>(Memory_Alloc(kReadSize));
    int64_t matches = 0;
    // The output directory is looked at before anything is made, so that a refused archive
    // leaves no trace; it is made (when missing) only once the archive passed.
    char resolved[PATH_SIZE];
    if (Path_Resolve(job->OutputDirectory, resolved, PATH_SIZE) && Path_IsDirectory(resolved))
        x.Root = UnzipOs_OpenRoot(job->OutputDirectory);
    int32_t ok = x.Name && x.Relative && x.Buffer && Survey(&x, &matches) && matches > 0;
    if (ok && x.Root < 0) x.Root = UnzipOs_OpenRoot(job->OutputDirectory);
    if (ok) ok = x.Root >= 0 && ExtractAll(&x);
    UnzipOs_Close(x.Root);
    unzClose(x.Zip);
    if (x.Name) Memory_Free(x.Name, kRawNameSize);
    if (x.Relative) Memory_Free(x.Relative, PATH_SIZE);
    if (x.Buffer) Memory_Free(x.Buffer, kReadSize);
    return ok ? nullptr : "Unzip_Error_Extract";
}

int64_t Unzip_MatchPattern(const char* name, const char* pattern) {
    // Greedy match with one backtrack point: the last "*" seen takes one more character each
    // time the rest fails, which keeps the walk linear in practice and never recursive.
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*name) {
        const char p = *pattern;
        if (p == '*') {
            star = ++pattern;
            resume = name;
            continue;
        }
        const bool same = (IsSeparator(p) && IsSeparator(*name)) ||
                          (p && AsciiLower(p) == AsciiLower(*name));
        if (same) {
            pattern++;
            name++;
        } else if (star) {
            pattern = star;
            name = ++resume;
        } else {
            return 0;
        }
    }
    while (*pattern == '*') pattern++;
    return *pattern == 0 ? 1 : 0;
}

int64_t Unzip_EntryPath(const char* name, char* out, int32_t capacity, uint32_t* directory) {
    out[0] = 0;
    *directory = 0;
    if (!name || capacity < 1) return 0;
    if (IsSeparator(name[0])) return 0;
    int32_t length = 0;
    const char* cursor = name;
    while (*cursor) {
        const char* start = cursor;
        while (*cursor && !IsSeparator(*cursor)) cursor++;
        const int32_t size = (int32_t)(cursor - start);
        if (*cursor) cursor++;
        if (size == 0 || (size == 1 && start[0] == '.')) continue;
        if (size == 2 && start[0] == '.' && start[1] == '.') {
            out[0] = 0;
            return 0;
        }
        if (length + size + 2 > capacity) {
            out[0] = 0;
            return 0;
        }
        if (length) out[length++] = '/';
        memcpy(out + length, start, (size_t)size);
        length += size;
    }
    out[length] = 0;
    const size_t total = strlen(name);
    *directory = total > 0 && IsSeparator(name[total - 1]) ? 1 : 0;
    return 1;
}
