// Reading zip archives for the Unzip task: the central directory is walked once, by its size, with
// each entry's zip64 fields read where it has them; the matching entries are checked against one
// another, the output directory and their local headers before anything is written, then streamed
// through decryption and inflation into files made through descriptors (unzip_task_os.h), each
// renamed into place only once complete and verified.
#include "tasks/unzip_archive.h"

#include <minizip/ioapi.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "core/platform/path.h"
#include "core/platform/zip_file.h"
#include "core/runtime/log_text.h"
#include "core/runtime/memory.h"
#include "core/runtime/string_print.h"
#include "tasks/linux/unzip_task_os.h"

namespace {

constexpr int32_t kReadSize = 256 * 1024;
// A raw entry name or extra field as a record may hold it (16-bit lengths), with a terminator.
constexpr int32_t kRawSize = 65536 + 1;
// Mid-entry progress of a large entry is reported at most this often (seconds).
constexpr double kProgressInterval = 0.25;
// Names are kept in blocks of this size; a name (below 64 KiB) and its path (below
// UNZIP_PATH_MAX) fit in one.
constexpr uint32_t kNameBlock = 256u << 10;
static_assert(kNameBlock >= 65535u + (uint32_t)UNZIP_PATH_MAX, "a name and its path fit in one block");
constexpr uint32_t kCentralSignature = 0x02014b50, kLocalSignature = 0x04034b50, kDescriptorSignature = 0x08074b50,
                   kDigitalSignature = 0x05054b50;
// A 32-bit field holding this defers to the entry's zip64 extra field.
constexpr uint64_t kEscape = 0xffffffffu;

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

uint64_t Little(const uint8_t* at, int32_t bytes) {
    uint64_t value = 0;
    for (int32_t i = bytes - 1; i >= 0; i--) value = value << 8 | at[i];
    return value;
}

// One matching entry as its directory record describes it: 64 bytes, and its name (with its path
// below the output directory when that is not the name itself) in the name blocks.
struct Entry {
    int64_t Local; // the file offset of its local header
    int64_t Data;  // of its data, once its local header was read; -1 before
    uint64_t Compressed;
    uint64_t Size;
    uint64_t Name; // name block << 32 | offset in it
    uint32_t Crc;
    uint32_t Index; // its place in the directory
    uint16_t Flag, Method, Time;
    uint16_t NameLength;
    uint16_t PathLength;
    uint8_t Directory;
    uint8_t Plain; // the path is the name (less a closing "/")
    uint8_t Last;  // the entry its file is left holding
    uint8_t Spare;
};
static_assert(sizeof(Entry) == 64, "an entry's cost is stated in unzip_archive.h");

// Entries in pages of 4,096 (256 KiB): taking one in never moves or copies the others, so that
// their memory is what they hold.
constexpr uint32_t kPageShift = 12;
struct EntryPages {
    Entry** Pages;
    uint32_t PageCount, PageCapacity;
    Entry& operator[](uint32_t i) const { return Pages[i >> kPageShift][i & ((1u << kPageShift) - 1)]; }
};

struct Extraction {
    UnzipJob* Job;
    zlib_filefunc64_def Functions;
    void* Opened;
    ZipFileArchive Archive;
    int32_t Root;
    int32_t NameMax;
    char* Name;     // a raw entry name, terminated
    char* Relative; // its path below the root, terminated
    uint8_t* Extra; // a raw extra field
    uint8_t* Buffer; // kReadSize bytes
    EntryPages Entries;
    uint32_t Count;
    uint32_t* Order; // Count indexes into Entries
    uint8_t** Blocks;
    uint32_t BlockCount, BlockCapacity, BlockUsed;
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

// Exactly `size` bytes at the file offset, through the archive's windows (a walk of the directory
// or of entries' data is read once, in large reads); 0 when the file ends first or a read fails.
int32_t ReadAt(Extraction* x, int64_t at, void* out, uint64_t size) {
    if (at < 0) return 0;
    if (size == 0) return 1;
    if (x->Functions.zseek64_file(x->Functions.opaque, x->Opened, (ZPOS64_T)at, ZLIB_FILEFUNC_SEEK_SET) != 0) return 0;
    return x->Functions.zread_file(x->Functions.opaque, x->Opened, out, (uLong)size) == size ? 1 : 0;
}

// `bytes` past `from`, or the largest offset when that is beyond it.
int64_t Past(int64_t from, uint64_t bytes) {
    return bytes > (uint64_t)(INT64_MAX - from) ? INT64_MAX : from + (int64_t)bytes;
}

// ---- Names -----------------------------------------------------------------------------------

const uint8_t* NameBytes(const Extraction* x, const Entry& e) {
    return x->Blocks[e.Name >> 32] + (uint32_t)e.Name;
}

const uint8_t* PathBytes(const Extraction* x, const Entry& e) {
    return NameBytes(x, e) + (e.Plain ? 0 : e.NameLength);
}

// The entry's name and path, terminated, into x->Name and x->Relative.
void Recall(Extraction* x, const Entry& e) {
    memcpy(x->Name, NameBytes(x, e), e.NameLength);
    x->Name[e.NameLength] = 0;
    memcpy(x->Relative, PathBytes(x, e), e.PathLength);
    x->Relative[e.PathLength] = 0;
}

// Keeps x->Name and, unless it is the name, x->Relative for the entry; 0 when memory runs out.
int32_t Keep(Extraction* x, Entry* e) {
    const uint32_t need = e->NameLength + (e->Plain ? 0u : e->PathLength);
    if (x->BlockCount == 0 || kNameBlock - x->BlockUsed < need) {
        if (x->BlockCount == x->BlockCapacity) {
            const uint32_t grown = x->BlockCapacity ? x->BlockCapacity * 2 : 64;
            if ((uint64_t)grown * sizeof(uint8_t*) > (uint64_t)INT32_MAX) return 0;
            uint8_t** blocks = static_cast<uint8_t**>(Memory_Alloc(grown * sizeof(uint8_t*)));
            if (!blocks) return 0;
            if (x->Blocks) {
                memcpy(blocks, x->Blocks, x->BlockCount * sizeof(uint8_t*));
                Memory_Free(x->Blocks, x->BlockCapacity * sizeof(uint8_t*));
            }
            x->Blocks = blocks;
            x->BlockCapacity = grown;
        }
        uint8_t* block = static_cast<uint8_t*>(Memory_Alloc(kNameBlock));
        if (!block) return 0;
        x->Blocks[x->BlockCount++] = block;
        x->BlockUsed = 0;
    }
    uint8_t* at = x->Blocks[x->BlockCount - 1] + x->BlockUsed;
    memcpy(at, x->Name, e->NameLength);
    if (!e->Plain) memcpy(at + e->NameLength, x->Relative, e->PathLength);
    e->Name = (uint64_t)(x->BlockCount - 1) << 32 | x->BlockUsed;
    x->BlockUsed += need;
    return 1;
}

// ---- The central directory -------------------------------------------------------------------

// Reads the values that the 32-bit fields escaped from the zip64 extra field, in the format's
// order (size, compressed size, local header offset). A local header's field holds both sizes.
// 0 when a value that is needed is missing.
int32_t ReadZip64(const uint8_t* extra, uint32_t length, bool local, uint64_t* size, uint64_t* compressed,
                  uint64_t* offset) {
    bool need[3] = {*size == kEscape, *compressed == kEscape, offset && *offset == kEscape};
    if (!need[0] && !need[1] && !need[2]) return 1;
    for (uint32_t at = 0; length - at >= 4;) {
        const uint32_t id = (uint32_t)Little(extra + at, 2), bytes = (uint32_t)Little(extra + at + 2, 2);
        if (bytes > length - at - 4) return 0;
        if (id == 1) {
            if (local && bytes >= 16) need[0] = need[1] = true;
            uint64_t* targets[3] = {size, compressed, offset};
            const uint8_t* field = extra + at + 4;
            uint32_t left = bytes;
            for (int32_t i = 0; i < 3; i++) {
                if (!need[i]) continue;
                if (left < 8) return 0;
                const uint64_t value = Little(field, 8);
                if (!local || *targets[i] == kEscape) *targets[i] = value;
                field += 8;
                left -= 8;
            }
            return 1;
        }
        at += 4 + bytes;
    }
    return 0;
}

// Why the path cannot be made below the root, or null when it can: each component is made by its
// own call relative to its parent, so only a component and the path as one text are bounded.
const char* PathRefusal(const Extraction* x, const char* relative) {
    if (strlen(relative) >= (size_t)UNZIP_PATH_MAX) return "its path is longer than the file system takes";
    for (const char* start = relative; *start;) {
        const char* end = strchr(start, '/');
        const size_t length = end ? (size_t)(end - start) : strlen(start);
        if (length > (size_t)x->NameMax) return "a component of its path is longer than the file system takes";
        start += length + (end ? 1 : 0);
    }
    return nullptr;
}

// Takes in the matching entry whose record was just read (name in x->Name, the record's fixed
// part in `record`, its extra field in x->Extra); 0, with a line naming it, when the archive is
// refused for it.
int32_t Admit(Extraction* x, const uint8_t* record, uint32_t extraLength, uint32_t index) {
    Entry e = {};
    uint64_t compressed = Little(record + 20, 4), size = Little(record + 24, 4), offset = Little(record + 42, 4);
    if (!ReadZip64(x->Extra, extraLength, false, &size, &compressed, &offset)) {
        Print(x, "Refusing entry %s: its zip64 field lacks a size or offset its record defers to",
              LogText(x->Name).Text);
        return 0;
    }
    uint32_t directory = 0;
    if (!Unzip_EntryPath(x->Name, x->Relative, kRawSize, &directory)) {
        Print(x, "Refusing entry %s", LogText(x->Name).Text);
        return 0;
    }
    if (const char* why = PathRefusal(x, x->Relative)) {
        Print(x, "Refusing entry %s: %s", LogText(x->Name).Text, why);
        return 0;
    }
    if (x->Root >= 0 && x->Relative[0] && UnzipOs_PathHasLink(x->Root, x->Relative, directory ? 0 : 1)) {
        Print(x, "Refusing entry %s: a symbolic link or another kind of file is in its way", LogText(x->Name).Text);
        return 0;
    }
    const int64_t shift = x->Archive.Shift;
    if (offset > (uint64_t)(INT64_MAX - shift) || size > (uint64_t)(INT64_MAX - x->Job->TotalSize)) {
        Print(x, "Refusing entry %s: its offset or size is out of range", LogText(x->Name).Text);
        return 0;
    }
    e.Local = (int64_t)offset + shift;
    e.Data = -1;
    e.Compressed = compressed;
    e.Size = size;
    e.Crc = (uint32_t)Little(record + 16, 4);
    e.Index = index;
    e.Flag = (uint16_t)Little(record + 8, 2);
    e.Method = (uint16_t)Little(record + 10, 2);
    e.Time = (uint16_t)Little(record + 12, 2);
    e.NameLength = (uint16_t)strlen(x->Name);
    e.PathLength = (uint16_t)strlen(x->Relative);
    e.Directory = (uint8_t)directory;
    e.Plain = memcmp(x->Name, x->Relative, e.PathLength) == 0 &&
              (e.NameLength == e.PathLength || (e.NameLength == e.PathLength + 1 && x->Name[e.PathLength] == '/'));
    if ((x->Count >> kPageShift) == x->Entries.PageCount) {
        EntryPages& pages = x->Entries;
        if (pages.PageCount == pages.PageCapacity) {
            const uint32_t grown = pages.PageCapacity ? pages.PageCapacity * 2 : 16;
            Entry** list = grown > (1u << 20) ? nullptr : static_cast<Entry**>(Memory_Alloc(grown * sizeof(Entry*)));
            if (!list) {
                Print(x, "Refusing archive %s: more than %u matching entries", LogText(x->Job->Path).Text, x->Count);
                return 0;
            }
            if (pages.Pages) {
                memcpy(list, pages.Pages, pages.PageCount * sizeof(Entry*));
                Memory_Free(pages.Pages, pages.PageCapacity * sizeof(Entry*));
            }
            pages.Pages = list;
            pages.PageCapacity = grown;
        }
        Entry* page = static_cast<Entry*>(Memory_Alloc(sizeof(Entry) << kPageShift));
        if (!page) {
            Print(x, "Refusing archive %s: its entries do not fit in memory", LogText(x->Job->Path).Text);
            return 0;
        }
        pages.Pages[pages.PageCount++] = page;
    }
    if (!Keep(x, &e)) {
        Print(x, "Refusing archive %s: its names do not fit in memory", LogText(x->Job->Path).Text);
        return 0;
    }
    x->Entries[x->Count++] = e;
    x->Job->TotalSize += (int64_t)size;
    return 1;
}

void Damaged(Extraction* x, uint32_t index) {
    Print(x, "Refusing archive %s: its central directory is damaged at record %u", LogText(x->Job->Path).Text, index);
}

// Walks every record of the central directory, however many the end record counts (a 16-bit
// count wraps), and takes in the matching entries. Only the records' fixed parts, names and extra
// fields are read, front to back once; nothing of an entry that does not match is kept.
int32_t Walk(Extraction* x) {
    const int64_t start = x->Archive.DirectoryStart;
    const uint64_t length = x->Archive.DirectoryLength;
    uint8_t record[46];
    uint64_t at = 0;
    for (uint32_t index = 0; at < length; index++) {
        const int64_t here = start + (int64_t)at;
        if ((index & 0xffff) == 0xffff && Stopped(x->Job)) return 0;
        if (index == UINT32_MAX || length - at < 6 || !ReadAt(x, here, record, 6)) return Damaged(x, index), 0;
        const uint32_t signature = (uint32_t)Little(record, 4);
        // A digital signature may close the directory.
        if (signature == kDigitalSignature && length - at == 6 + Little(record + 4, 2)) break;
        if (signature != kCentralSignature || length - at < 46 || !ReadAt(x, here + 6, record + 6, 40))
            return Damaged(x, index), 0;
        const uint32_t nameLength = (uint32_t)Little(record + 28, 2), extraLength = (uint32_t)Little(record + 30, 2);
        const uint64_t recordLength = 46 + (uint64_t)nameLength + extraLength + Little(record + 32, 2);
        if (recordLength > length - at || !ReadAt(x, here + 46, x->Name, nameLength)) return Damaged(x, index), 0;
        x->Name[nameLength] = 0;
        at += recordLength;
        // A name with a NUL inside would be read as a shorter, different name.
        if (strlen(x->Name) != nameLength) {
            Print(x, "Refusing entry %s", LogText(x->Name).Text);
            return 0;
        }
        if (!Unzip_MatchPattern(x->Name, x->Job->Pattern)) continue;
        if (!ReadAt(x, here + 46 + nameLength, x->Extra, extraLength)) return Damaged(x, index), 0;
        if (!Admit(x, record, extraLength, index)) return 0;
    }
    return 1;
}

// ---- Checks before anything is written ---------------------------------------------------------

// Paths in the order of their components: "/" sorts before every other byte, so that what lies
// below a path follows it at once.
int32_t ComparePaths(const uint8_t* a, uint32_t aLength, const uint8_t* b, uint32_t bLength) {
    const uint32_t common = std::min(aLength, bLength);
    for (uint32_t i = 0; i < common; i++) {
        if (a[i] == b[i]) continue;
        const uint32_t ca = a[i] == '/' ? 0 : a[i] + 1u, cb = b[i] == '/' ? 0 : b[i] + 1u;
        return ca < cb ? -1 : 1;
    }
    return aLength < bLength ? -1 : aLength > bLength ? 1 : 0;
}

void RefuseInTheWay(Extraction* x, const Entry& a, const Entry& b) {
    Recall(x, a.Index > b.Index ? a : b);
    Print(x, "Refusing entry %s: an earlier entry puts another kind of file in its way", LogText(x->Name).Text);
}

// Refuses entries that cannot all be made: a path that one entry makes a file and another a
// directory, or a file that a later path needs as a directory (a link entry is written as a file
// too). Of files made twice, the entry last in the directory is the one left (Last).
int32_t Plan(Extraction* x) {
    uint32_t count = 0;
    for (uint32_t i = 0; i < x->Count; i++)
        if (x->Entries[i].PathLength) x->Order[count++] = i;
    const EntryPages& entries = x->Entries;
    std::sort(x->Order, x->Order + count, [x, &entries](uint32_t a, uint32_t b) {
        const Entry &ea = entries[a], &eb = entries[b];
        const int32_t order = ComparePaths(PathBytes(x, ea), ea.PathLength, PathBytes(x, eb), eb.PathLength);
        return order != 0 ? order < 0 : ea.Index < eb.Index;
    });
    for (uint32_t i = 0; i < count;) {
        const Entry& first = entries[x->Order[i]];
        const uint8_t* path = PathBytes(x, first);
        uint32_t j = i + 1;
        for (; j < count; j++) {
            const Entry& e = entries[x->Order[j]];
            if (ComparePaths(path, first.PathLength, PathBytes(x, e), e.PathLength) != 0) break;
            if (e.Directory != first.Directory) return RefuseInTheWay(x, first, e), 0;
        }
        if (!first.Directory) {
            entries[x->Order[j - 1]].Last = 1;
            if (j < count) {
                const Entry& next = entries[x->Order[j]];
                if (next.PathLength > first.PathLength && memcmp(PathBytes(x, next), path, first.PathLength) == 0 &&
                    PathBytes(x, next)[first.PathLength] == '/')
                    return RefuseInTheWay(x, entries[x->Order[j - 1]], next), 0;
            }
        }
        i = j;
    }
    return 1;
}

// The data descriptor after an entry's data repeats its CRC and sizes, with or without its
// signature, the sizes in 4 bytes or (zip64) 8: one of these forms must agree with the record.
bool DescriptorAgrees(Extraction* x, const Entry& e, int64_t end) {
    uint8_t bytes[24];
    uint32_t have = 24;
    while (have >= 12 && !ZipFile_ReadArchive(&x->Archive, end, bytes, have)) have -= 4;
    if (have < 12) return false;
    for (uint32_t signature = 0; signature <= 4; signature += 4) {
        if (signature && Little(bytes, 4) != kDescriptorSignature) continue;
        const uint8_t* at = bytes + signature;
        if (Little(at, 4) != e.Crc) continue;
        for (int32_t width = 4; width <= 8; width += 4)
            if (signature + 4 + 2 * (uint32_t)width <= have && Little(at + 4, width) == e.Compressed &&
                Little(at + 4 + width, width) == e.Size)
                return true;
    }
    return false;
}

// Why the local header at e.Local does not bear out the entry's record, or null when it does;
// sets e.Data. The name and method must be the record's, and, unless they trail the data, the CRC
// and sizes too (zip64 ones read from its own extra field).
const char* ReadLocal(Extraction* x, Entry& e) {
    uint8_t header[30];
    if (!ZipFile_ReadArchive(&x->Archive, e.Local, header, sizeof(header)) || Little(header, 4) != kLocalSignature)
        return "no local header where its record says";
    const uint32_t nameLength = (uint32_t)Little(header + 26, 2), extraLength = (uint32_t)Little(header + 28, 2);
    const uint32_t flag = (uint32_t)Little(header + 6, 2);
    if (nameLength != e.NameLength || Little(header + 8, 2) != e.Method || (flag & 1) != (e.Flag & 1u))
        return "its local header disagrees with its record";
    if (!(flag & 8)) {
        uint64_t compressed = Little(header + 18, 4), size = Little(header + 22, 4);
        if ((compressed == kEscape || size == kEscape) &&
            (!ZipFile_ReadArchive(&x->Archive, Past(e.Local, 30 + (uint64_t)nameLength), x->Extra, extraLength) ||
             !ReadZip64(x->Extra, extraLength, true, &size, &compressed, nullptr)))
            return "its local zip64 field lacks the sizes its header defers to";
        if (Little(header + 14, 4) != e.Crc || compressed != e.Compressed || size != e.Size)
            return "its local header disagrees with its record";
    }
    e.Data = Past(e.Local, 30 + (uint64_t)nameLength + extraLength);
    if ((flag & 8) && !DescriptorAgrees(x, e, Past(e.Data, e.Compressed)))
        return "its data descriptor disagrees with its record";
    return nullptr;
}

// Orders the entries by where they lie, reads the local header of each file to extract, and
// refuses the archive, naming the entries, when any two share bytes (one local entry named twice,
// one's data running into the next) or one runs into the central directory: such an archive is
// made to expand far beyond its size. Only matching entries are looked at; none is written yet.
int32_t Arrange(Extraction* x) {
    for (uint32_t i = 0; i < x->Count; i++) x->Order[i] = i;
    const EntryPages& entries = x->Entries;
    std::sort(x->Order, x->Order + x->Count, [&entries](uint32_t a, uint32_t b) {
        const Entry &ea = entries[a], &eb = entries[b];
        return ea.Local != eb.Local ? ea.Local < eb.Local : ea.Index < eb.Index;
    });
    const int64_t directory = x->Archive.DirectoryStart;
    const int64_t directoryEnd = Past(directory, x->Archive.DirectoryLength);
    // Up to the first overlap the ranges are apart and in order: the entry before reaches furthest.
    // An overlap is named before a local header that disagrees with its record, which is often
    // how an overlap shows first.
    const Entry* before = nullptr;
    int64_t beforeEnd = 0;
    const Entry* disagrees = nullptr;
    const char* why = nullptr;
    for (uint32_t i = 0; i < x->Count; i++) {
        Entry& e = entries[x->Order[i]];
        if (e.Directory || !e.PathLength) continue;
        const char* local = ReadLocal(x, e);
        if (local && !disagrees) disagrees = &e, why = local;
        const int64_t end = Past(e.Data >= 0 ? e.Data : Past(e.Local, 30 + (uint64_t)e.NameLength), e.Compressed);
        const bool overlaps = before && e.Local < beforeEnd;
        if (overlaps || (e.Local < directoryEnd && end > directory)) {
            Recall(x, e);
            char name[sizeof(LogText::Text)];
            memcpy(name, LogText(x->Name).Text, sizeof(name));
            if (overlaps) {
                Recall(x, *before);
                Print(x, "Refusing archive %s: entry %s overlaps entry %s", LogText(x->Job->Path).Text, name,
                      LogText(x->Name).Text);
            } else {
                Print(x, "Refusing archive %s: entry %s overlaps its central directory", LogText(x->Job->Path).Text,
                      name);
            }
            return 0;
        }
        before = &e;
        beforeEnd = end;
    }
    if (disagrees) {
        Recall(x, *disagrees);
        Print(x, "Refusing archive %s: entry %s: %s", LogText(x->Job->Path).Text, LogText(x->Name).Text, why);
        return 0;
    }
    return 1;
}

// ---- Writing -----------------------------------------------------------------------------------

void PublishEntry(Extraction* x) {
    // The output directory and a path of up to UNZIP_PATH_MAX bytes, whole.
    char output[(int32_t)PATH_SIZE + (int32_t)UNZIP_PATH_MAX + 2];
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

// Reads exactly `size` raw bytes of the entry at `*at`, moving it on; 0 when the archive ends first.
int32_t ReadRaw(Extraction* x, int64_t* at, uint64_t* left, uint8_t* buffer, uint32_t size) {
    if (*left < size || !ReadAt(x, *at, buffer, size)) return 0;
    *at += size;
    *left -= size;
    return 1;
}

// Streams the entry's data through decryption and inflation into the file, checking its length and
// CRC against the directory. 0 on any mismatch, failure or stop.
int32_t CopyEntry(Extraction* x, const Entry& e, UnzipOsFile* file) {
    UnzipJob* job = x->Job;
    const bool encrypted = (e.Flag & 1) != 0;
    const int64_t size = (int64_t)e.Size;
    int64_t at = e.Data;
    uint64_t left = e.Compressed;
    ZipCrypto crypto;
    if (encrypted) {
        crypto.Init(job->Password);
        uint8_t header[12];
        if (!ReadRaw(x, &at, &left, header, sizeof(header))) return 0;
        for (uint8_t& b : header) b = crypto.Decrypt(b);
        // The last header byte repeats the CRC's high byte (the time's, when sizes trail the data):
        // most wrong passwords stop here.
        const uint8_t check = (e.Flag & 8) ? (uint8_t)(e.Time >> 8) : (uint8_t)(e.Crc >> 24);
        if (header[11] != check) return 0;
    }
    const bool deflated = e.Method == Z_DEFLATED;
    z_stream stream = {};
    if (deflated && inflateInit2(&stream, -MAX_WBITS) != Z_OK) return 0;
    uint8_t* in = x->Buffer;
    uint8_t* out = in + kReadSize / 2;
    const uInt half = (uInt)(kReadSize / 2);
    uLong crc = crc32(0L, Z_NULL, 0);
    int64_t count = 0;
    int32_t ok = 1, ended = deflated ? 0 : 1;
    double posted = Now();
    while (ok && left > 0) {
        const uint32_t got = left < half ? (uint32_t)left : half;
        if (!ReadRaw(x, &at, &left, in, got)) {
            ok = 0;
            break;
        }
        if (encrypted)
            for (uint32_t i = 0; i < got; i++) in[i] = crypto.Decrypt(in[i]);
        if (!deflated) {
            if (count + got > size || !UnzipOs_Write(file, in, (int32_t)got)) ok = 0;
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
    return ok && ended && count == size && crc == e.Crc;
}

// Writes the entry to its file; 0 on any failure or a stop, with nothing left behind. An entry
// whose file a later entry of the directory writes again is read and checked, then dropped.
int32_t ExtractFile(Extraction* x, const Entry& e) {
    UnzipJob* job = x->Job;
    // Traditional encryption needs the password; other methods (AES among them) are not read.
    if ((e.Method != 0 && e.Method != Z_DEFLATED) || ((e.Flag & 1) && !job->Password[0]) || e.Data < 0) return 0;
    const char* leaf = nullptr;
    const int32_t parent = UnzipOs_OpenParent(x->Root, x->Relative, &leaf);
    if (parent < 0) return 0;
    UnzipOsFile file;
    if (!UnzipOs_Begin(&file, parent)) {
        UnzipOs_Close(parent);
        return 0;
    }
    // The local header read again: its data still starts where it did when the archive was
    // arranged, so the bytes read are the bytes judged (the file did not change under us).
    uint8_t header[30];
    int32_t ok = ReadAt(x, e.Local, header, sizeof(header)) && Little(header, 4) == kLocalSignature &&
                 Past(e.Local, 30 + Little(header + 26, 2) + Little(header + 28, 2)) == e.Data &&
                 CopyEntry(x, e, &file);
    if (ok && e.Last)
        ok = UnzipOs_Commit(&file, leaf);
    else
        UnzipOs_Abort(&file);
    UnzipOs_Close(parent);
    if (ok) PostProgress(job, (int64_t)e.Size, (int64_t)e.Size);
    return ok;
}

// In the order of the entries' data in the file, so that it is read front to back once.
int32_t ExtractAll(Extraction* x) {
    for (uint32_t i = 0; i < x->Count; i++) {
        const Entry& e = x->Entries[x->Order[i]];
        if (Stopped(x->Job)) return 0;
        Recall(x, e);
        PublishEntry(x);
        if (!x->Relative[0]) continue; // the output directory itself
        if (e.Directory ? !UnzipOs_MakeDirectory(x->Root, x->Relative) : !ExtractFile(x, e)) {
            // A folder refused for another account's hand in it is named with why.
            Print(x, "Failed to extract %s%s%s", LogText(x->Name).Text, UnzipOs_LastRefusal()[0] ? ": " : "",
                  UnzipOs_LastRefusal());
            return 0;
        }
    }
    return 1;
}

void Release(Extraction* x) {
    UnzipOs_Close(x->Root);
    if (x->Opened) x->Functions.zclose_file(x->Functions.opaque, x->Opened);
    if (x->Name) Memory_Free(x->Name, kRawSize);
    if (x->Relative) Memory_Free(x->Relative, kRawSize);
    if (x->Extra) Memory_Free(x->Extra, kRawSize);
    if (x->Buffer) Memory_Free(x->Buffer, kReadSize);
    for (uint32_t i = 0; i < x->Entries.PageCount; i++) Memory_Free(x->Entries.Pages[i], sizeof(Entry) << kPageShift);
    if (x->Entries.Pages) Memory_Free(x->Entries.Pages, x->Entries.PageCapacity * sizeof(Entry*));
    if (x->Order) Memory_Free(x->Order, x->Count * sizeof(uint32_t));
    for (uint32_t i = 0; i < x->BlockCount; i++) Memory_Free(x->Blocks[i], kNameBlock);
    if (x->Blocks) Memory_Free(x->Blocks, x->BlockCapacity * sizeof(uint8_t*));
}

} // namespace

const char* Unzip_Extract(UnzipJob* job) {
    Extraction x = {};
    x.Job = job;
    x.Root = -1;
    job->TotalSize = 0;
    ZipFile_FillArchiveFunc64(&x.Functions, &x.Archive);
    x.Opened = x.Functions.zopen64_file(x.Functions.opaque, job->Path,
                                        ZLIB_FILEFUNC_MODE_READ | ZLIB_FILEFUNC_MODE_EXISTING);
    // Entries are known only by the directory the end records place where the format puts them.
    if (!x.Opened || !x.Archive.Located) {
        Release(&x);
        return "Unzip_Error_Open";
    }
    x.Name = static_cast<char*>(Memory_Alloc(kRawSize));
    x.Relative = static_cast<char*>(Memory_Alloc(kRawSize));
    x.Extra = static_cast<uint8_t*>(Memory_Alloc(kRawSize));
    x.Buffer = static_cast<uint8_t*>(Memory_Alloc(kReadSize));
    // The output directory is looked at before anything is made, so that a refused archive
    // leaves no trace; it is made (when missing) only once the archive passed.
    char resolved[PATH_SIZE];
    if (Path_Resolve(job->OutputDirectory, resolved, PATH_SIZE) && Path_IsDirectory(resolved))
        x.Root = UnzipOs_OpenRoot(job->OutputDirectory);
    x.NameMax = UnzipOs_NameMax(x.Root);
    int32_t ok = x.Name && x.Relative && x.Extra && x.Buffer && Walk(&x) && x.Count > 0;
    if (ok) {
        x.Order = static_cast<uint32_t*>(Memory_Alloc(x.Count * sizeof(uint32_t)));
        ok = x.Order && Plan(&x) && Arrange(&x);
    }
    if (ok && x.Root < 0) x.Root = UnzipOs_OpenRoot(job->OutputDirectory);
    if (ok && x.Root < 0 && UnzipOs_LastRefusal()[0]) Print(&x, "%s", UnzipOs_LastRefusal());
    if (ok) ok = x.Root >= 0 && ExtractAll(&x);
    Release(&x);
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
