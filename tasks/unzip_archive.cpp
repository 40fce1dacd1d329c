// Reading zip archives for the Unzip task: the entries that match a pattern are checked against
// the output directory first, then streamed through decryption and inflation into files made
// through descriptors (unzip_task_os.h), each renamed into place only once complete and verified.
#include "tasks/unzip_archive.h"

#include <minizip/unzip.h>
#include <zlib.h>

#include <algorithm>
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

// Where an entry lies in the file: extraction goes in the order of the local entries, whatever
// the directory's order, so that the file is read front to back once; and no two entries may
// share bytes.
struct Placed {
    uint64_t Record; // the directory offset the zip library knows the entry by
    int64_t Local;   // the file offset of its local header
    int64_t Data;    // of its data; -1 when the local header could not be read
    int64_t End;     // just past its data (without the local header: past its least extent)
    uint64_t Compressed;
    uint32_t NameLength; // in the directory
    uint32_t Index;      // its place in the directory
    uint32_t Match;      // 1 when it is extracted
};

struct Extraction {
    UnzipJob* Job;
    unzFile Zip;
    int32_t Root;
    char* Name;     // raw entry name, kRawNameSize bytes
    char* Relative; // its path below the root
    char* Buffer;   // kReadSize bytes
    ZipFileArchive Archive;
    Placed* Entries;
    uint32_t Count, Capacity;
    // Relative paths to what makes them (kPlanned*), files with the index of the entry written last.
    HashTable* Planned;
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

enum : uint64_t { kPlannedFile = 1, kPlannedDirectory = 2, kPlannedKind = 3 };

// Records what the entry at `relative` makes once the entries before it are out: a directory for
// each component before the last, and the last as a file or a directory. 0 when that cannot
// happen: a component that an earlier entry writes as a file (a link entry is written as a file
// too) is needed as a directory, or a file goes where an earlier entry made a directory. A file
// named twice is the later entry's: it keeps the index of the entry that writes it last.
int32_t Plan(HashTable* planned, char* relative, uint32_t directory, uint32_t index) {
    uint64_t kind = 0;
    for (char* slash = strchr(relative, '/'); slash; slash = strchr(slash + 1, '/')) {
        *slash = 0;
        const bool known = HashTable_GetValue(planned, relative, &kind) == 1;
        if (!known) HashTable_Add(planned, relative, kPlannedDirectory);
        *slash = '/';
        if (known && (kind & kPlannedKind) == kPlannedFile) return 0;
    }
    HashTableMember* member = nullptr;
    const bool known = HashTable_MemberFindByKey(planned, relative, &member) == 1;
    const uint64_t wanted = directory ? kPlannedDirectory : kPlannedFile | (uint64_t)index << 2;
    if (!known) return HashTable_Add(planned, relative, wanted) == 1;
    HashTable_MemberGetValue(planned, member, &kind);
    if ((kind & kPlannedKind) != (wanted & kPlannedKind)) return 0;
    HashTable_MemberSetValue(planned, member, wanted);
    return 1;
}

// Whether the entry at `relative` is the one its file is left holding.
bool WrittenLast(HashTable* planned, const char* relative, uint32_t index) {
    uint64_t kind = 0;
    return HashTable_GetValue(planned, relative, &kind) == 1 && kind >> 2 == index;
}

uint64_t Little(const uint8_t* at, int32_t bytes) {
    uint64_t value = 0;
    for (int32_t i = bytes - 1; i >= 0; i--) value = value << 8 | at[i];
    return value;
}

constexpr uint32_t kLocalSignature = 0x04034b50;

// The local header offset of the current entry, from its directory record as the zip library
// takes it: the record's own 32-bit field (the library in use does not look in a zip64 extra field
// for it). Whatever the offset, the data is checked at extraction to begin where the arrangement
// put it, so the ranges judged are the ranges read. -1 when unreadable.
int64_t LocalOffset(Extraction* x, uint64_t record) {
    uint8_t offset[4];
    if (record > (uint64_t)(INT64_MAX - x->Archive.Shift - 46) ||
        !ZipFile_ReadArchive(&x->Archive, (int64_t)record + x->Archive.Shift + 42, offset, sizeof(offset)))
        return -1;
    return (int64_t)Little(offset, 4);
}

// Notes where the current entry lies; 0 when that cannot be told.
int32_t Place(Extraction* x, const unz_file_info64& info, uint32_t index, uint32_t match) {
    const uint64_t record = unzGetOffset64(x->Zip);
    const int64_t local = LocalOffset(x, record);
    if (local < 0) return 0;
    if (x->Count == x->Capacity) {
        // Bounded by the memory functions' sizes: an archive of more entries is refused.
        const uint64_t grown = x->Capacity ? (uint64_t)x->Capacity * 2 : 1024;
        if (grown * sizeof(Placed) > (uint64_t)INT32_MAX) return 0;
        Placed* entries = static_cast<Placed*>(Memory_Alloc(grown * sizeof(Placed)));
        if (!entries) return 0;
        if (x->Entries) {
            memcpy(entries, x->Entries, x->Count * sizeof(Placed));
            Memory_Free(x->Entries, x->Capacity * sizeof(Placed));
        }
        x->Entries = entries;
        x->Capacity = (uint32_t)grown;
    }
    x->Entries[x->Count++] = {record, local + x->Archive.Shift, -1, 0, info.compressed_size,
                              (uint32_t)info.size_filename, index, match};
    return 1;
}

// `bytes` past `from`, or the largest offset when that is beyond it.
int64_t Past(int64_t from, uint64_t bytes) {
    return bytes > (uint64_t)(INT64_MAX - from) ? INT64_MAX : from + (int64_t)bytes;
}

// The name of the entry (cut as extraction cuts it) into `out`.
void NameOf(Extraction* x, const Placed& entry, char (&out)[UNZIP_ENTRY_NAME_LIMIT + 1]) {
    unz_file_info64 info = {};
    if (unzSetOffset64(x->Zip, entry.Record) != UNZ_OK ||
        unzGetCurrentFileInfo64(x->Zip, &info, out, sizeof(out), nullptr, 0, nullptr, 0) != UNZ_OK)
        info.size_filename = 0;
    out[std::min<uLong>(info.size_filename, UNZIP_ENTRY_NAME_LIMIT)] = 0;
}

// Reads each local header for where its data lies and orders the entries by it; 0, with a line
// naming the archive and the entries, when any two entries share bytes (one local entry named
// twice, one's data running into the next) or an entry runs into the central directory. Such an
// archive is made to expand far beyond its size; none of it is written.
int32_t Arrange(Extraction* x) {
    std::sort(x->Entries, x->Entries + x->Count, [](const Placed& a, const Placed& b) {
        return a.Local != b.Local ? a.Local < b.Local : a.Index < b.Index;
    });
    const int64_t directory = x->Archive.DirectoryStart;
    const int64_t directoryEnd = Past(directory, x->Archive.DirectoryLength);
    // Up to the first overlap the ranges are apart and in order: the entry before reaches furthest.
    for (uint32_t i = 0; i < x->Count; i++) {
        Placed& entry = x->Entries[i];
        uint8_t header[30];
        uint64_t before = 30 + (uint64_t)entry.NameLength;
        if (ZipFile_ReadArchive(&x->Archive, entry.Local, header, sizeof(header)) &&
            Little(header, 4) == kLocalSignature) {
            before = 30 + Little(header + 26, 2) + Little(header + 28, 2);
            entry.Data = Past(entry.Local, before);
        }
        entry.End = Past(Past(entry.Local, before), entry.Compressed);
        const Placed* other = i > 0 && entry.Local < x->Entries[i - 1].End ? &x->Entries[i - 1] : nullptr;
        if (other || (entry.Local < directoryEnd && entry.End > directory)) {
            char name[UNZIP_ENTRY_NAME_LIMIT + 1], otherName[UNZIP_ENTRY_NAME_LIMIT + 1];
            NameOf(x, entry, name);
            if (other) {
                NameOf(x, *other, otherName);
                Print(x, "Refusing archive %s: entry %s overlaps entry %s", LogText(x->Job->Path).Text,
                      LogText(name).Text, LogText(otherName).Text);
            } else {
                Print(x, "Refusing archive %s: entry %s overlaps its central directory", LogText(x->Job->Path).Text,
                      LogText(name).Text);
            }
            return 0;
        }
    }
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
    const uint32_t buckets = global.number_entry > 65536 ? 16384
                             : global.number_entry < 256 ? 64
                                                         : (uint32_t)global.number_entry / 4;
    if (!HashTable_Create(&x->Planned, UNZIP_ENTRY_NAME_LIMIT + 1, buckets)) return 0;
    HashTable* planned = x->Planned;
    // Entries are known by where the end record says the directory is, as the zip library knows
    // it; one found elsewhere is not read.
    if (!x->Archive.Located) {
        Print(x, "Refusing archive %s: its central directory cannot be located", LogText(x->Job->Path).Text);
        return 0;
    }
    int32_t ok = 1;
    int32_t status = unzGoToFirstFile(x->Zip);
    for (uint32_t index = 0; ok && status == UNZ_OK; status = unzGoToNextFile(x->Zip), index++) {
        unz_file_info64 info;
        uint32_t directory = 0;
        const int32_t entry = CurrentEntry(x, &info, &directory);
        if (entry < 0) {
            Print(x, "Refusing entry %s", LogText(x->Name).Text);
            ok = 0;
            break;
        }
        if (!Place(x, info, index, entry == 1 ? 1 : 0)) {
            Print(x, "Refusing archive %s: entry %s cannot be placed", LogText(x->Job->Path).Text,
                  LogText(x->Name).Text);
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
        if (x->Relative[0] && !Plan(planned, x->Relative, directory, index)) {
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
    return ok && status == UNZ_END_OF_LIST_OF_FILE && Arrange(x) ? 1 : 0;
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

// Writes the current entry to its file; 0 on any failure or a stop, with nothing left behind. An
// entry whose file a later entry of the directory writes again is read and checked, then dropped.
int32_t ExtractFile(Extraction* x, const unz_file_info64& info, const Placed& entry) {
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
        // The data where the local header said when the archive was arranged: the file is the same.
        ok = entry.Data >= 0 && unzGetCurrentFileZStreamPos64(x->Zip) == (ZPOS64_T)entry.Data &&
             CopyEntry(x, info, &file);
        if (unzCloseCurrentFile(x->Zip) != UNZ_OK) ok = 0;
    }
    if (ok && WrittenLast(x->Planned, x->Relative, entry.Index))
        ok = UnzipOs_Commit(&file, leaf);
    else
        UnzipOs_Abort(&file);
    UnzipOs_Close(parent);
    if (ok) PostProgress(job, (int64_t)info.uncompressed_size, (int64_t)info.uncompressed_size);
    return ok;
}

int32_t ExtractAll(Extraction* x) {
    for (uint32_t i = 0; i < x->Count; i++) {
        const Placed& placed = x->Entries[i];
        if (!placed.Match) continue;
        if (Stopped(x->Job)) return 0;
        unz_file_info64 info;
        uint32_t directory = 0;
        if (unzSetOffset64(x->Zip, placed.Record) != UNZ_OK || CurrentEntry(x, &info, &directory) != 1) return 0;
        PublishEntry(x);
        if (!x->Relative[0]) continue; // the output directory itself
        if (directory ? !UnzipOs_MakeDirectory(x->Root, x->Relative) : !ExtractFile(x, info, placed)) {
            // A folder refused for another account's hand in it is named with why.
            Print(x, "Failed to extract %s%s%s", LogText(x->Name).Text, UnzipOs_LastRefusal()[0] ? ": " : "",
                  UnzipOs_LastRefusal());
            return 0;
        }
    }
    return 1;
}

} // namespace

const char* Unzip_Extract(UnzipJob* job) {
    zlib_filefunc64_def functions;
    Extraction x = {job, nullptr, -1, nullptr, nullptr, nullptr, {}, nullptr, 0, 0, nullptr};
    ZipFile_FillArchiveFunc64(&functions, &x.Archive);
    job->TotalSize = 0;
    x.Zip = unzOpen2_64(job->Path, &functions);
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
    if (ok && x.Root < 0 && UnzipOs_LastRefusal()[0]) Print(&x, "%s", UnzipOs_LastRefusal());
    if (ok) ok = x.Root >= 0 && ExtractAll(&x);
    UnzipOs_Close(x.Root);
    unzClose(x.Zip);
    if (x.Name) Memory_Free(x.Name, kRawNameSize);
    if (x.Relative) Memory_Free(x.Relative, PATH_SIZE);
    if (x.Buffer) Memory_Free(x.Buffer, kReadSize);
    if (x.Entries) Memory_Free(x.Entries, x.Capacity * sizeof(Placed));
    if (x.Planned) HashTable_Delete(&x.Planned);
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
