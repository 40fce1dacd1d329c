// The skin's files: the attached skin (a directory walked by descriptor, or a zip store held in
// memory with an index of its entry names folded to lower case), and SkinFile, one open entry as
// a read-only stream, plain or, for a deflated store entry, as a gzip stream built around the
// entry's deflate data as stored.
#include "skin/skin_file.h"

#include <minizip/unzip.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <cerrno>
#include <cstring>

#include "core/certs/executable.h"
#include "core/linux/platform_file.h"
#include "core/platform/zip_file.h"
#include "core/runtime/class_family.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "skin/linux/skin_file_disk.h"
#include "skin/skin_file_cache.h"
#include "skin/skin_file_internal.h"

namespace {

constexpr int32_t kNameCapacity = 1024;
// A zip entry name is at most 65535 bytes.
constexpr int32_t kEntryNameCapacity = 65536;
// Seeks in a store entry read and drop this many bytes at a time.
constexpr uint32_t kSeekStep = 8192;
// One read from the zip reader is kept below the int range its answer lives in.
constexpr uint32_t kReadLimit = 1u << 30;
constexpr int32_t kVerboseLevel = 0;

// One store entry in the name index: its name folded to lower case (in the names block) and the
// position of its central directory record. Order keeps the first of names equal but for case.
struct StoreEntry {
    uint32_t NameOffset;
    uint32_t NameLength;
    uint64_t CentralOffset;
    uint32_t Order;
};

// The store image, counted: the module holds one reference while attached and every open store
// entry another, so that detaching while an entry is still open never frees what it reads.
struct StoreImage {
    uint8_t* Buffer;
    uint32_t Length;
    std::atomic<uint32_t> References;
};

StoreImage* RetainImage(StoreImage* image) {
    if (image) image->References.fetch_add(1, std::memory_order_relaxed);
    return image;
}

void ReleaseImage(StoreImage** handle) {
    StoreImage* image = *handle;
    *handle = nullptr;
    if (!image || image->References.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    Executable_ReleaseSkinStore(nullptr, &image->Buffer, &image->Length);
    image->~StoreImage();
    Memory_Free(image, sizeof(StoreImage));
}

struct SkinFileModule {
    uint32_t IsDirectory;
    StoreImage* Store;
    char Root[SKIN_FILE_ROOT_SIZE];
    // The directory skin's descriptor: every name is walked from it.
    int32_t RootDescriptor = -1;
    StoreEntry* Entries;
    uint32_t EntryCount;
    uint32_t EntryCapacity;
    char* Names;
    uint32_t NamesLength;
};

SkinFileModule GlobalSkinFile;

// The store image that each zip reader reads from, and a reader's own position in it.
struct MemoryImage {
    const uint8_t* Data;
    uint64_t Length;
};
struct MemoryCursor {
    const uint8_t* Data;
    uint64_t Length;
    uint64_t Position;
};

voidpf MemoryOpen(voidpf, const void* image, int mode) {
    if (!image || (mode & ZLIB_FILEFUNC_MODE_WRITE)) return nullptr;
    const MemoryImage* source = static_cast<const MemoryImage*>(image);
    MemoryCursor* cursor = static_cast<MemoryCursor*>(Memory_AllocZero(sizeof(MemoryCursor)));
    cursor->Data = source->Data;
    cursor->Length = source->Length;
    return cursor;
}

uLong MemoryRead(voidpf, voidpf stream, void* buffer, uLong size) {
    MemoryCursor* cursor = static_cast<MemoryCursor*>(stream);
    if (cursor->Position >= cursor->Length) return 0;
    const uint64_t left = cursor->Length - cursor->Position;
    const uLong count = (uLong)std::min<uint64_t>(left, size);
    memcpy(buffer, cursor->Data + cursor->Position, count);
    cursor->Position += count;
    return count;
}

uLong MemoryWrite(voidpf, voidpf, const void*, uLong) {
    return 0;
}

ZPOS64_T MemoryTell(voidpf, voidpf stream) {
    return static_cast<MemoryCursor*>(stream)->Position;
}

// A position outside the image is refused, so that a lying offset fails at the seek.
long MemorySeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    MemoryCursor* cursor = static_cast<MemoryCursor*>(stream);
    uint64_t base = 0;
    if (origin == ZLIB_FILEFUNC_SEEK_CUR) base = cursor->Position;
    else if (origin == ZLIB_FILEFUNC_SEEK_END) base = cursor->Length;
    else if (origin != ZLIB_FILEFUNC_SEEK_SET) return -1;
    if (offset > cursor->Length || base > cursor->Length - offset) return -1;
    cursor->Position = base + offset;
    return 0;
}

int MemoryClose(voidpf, voidpf stream) {
    Memory_Free(stream, sizeof(MemoryCursor));
    return 0;
}

int MemoryError(voidpf, voidpf) {
    return 0;
}

// A zip reader of its own over the store image; null when the image is not a zip archive.
unzFile OpenStore(const uint8_t* data, uint32_t length) {
    if (!data || !length) return nullptr;
    MemoryImage image {data, length};
    zlib_filefunc64_def functions {};
    functions.zopen64_file = MemoryOpen;
    functions.zread_file = MemoryRead;
    functions.zwrite_file = MemoryWrite;
    functions.ztell64_file = MemoryTell;
    functions.zseek64_file = MemorySeek;
    functions.zclose_file = MemoryClose;
    functions.zerror_file = MemoryError;
    return unzOpen2_64(&image, &functions);
}

char Fold(char c) {
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

struct NameView {
    const char* Text;
    uint32_t Length;
};

NameView EntryName(const StoreEntry& entry) {
    return {GlobalSkinFile.Names + entry.NameOffset, entry.NameLength};
}

// Byte order of folded names.
int32_t CompareNames(NameView a, NameView b) {
    const int32_t common = memcmp(a.Text, b.Text, std::min(a.Length, b.Length));
    if (common) return common;
    return a.Length < b.Length ? -1 : a.Length > b.Length ? 1 : 0;
}

void FreeIndex() {
    if (GlobalSkinFile.Entries) Memory_Free(GlobalSkinFile.Entries, GlobalSkinFile.EntryCapacity * sizeof(StoreEntry));
    if (GlobalSkinFile.Names) Memory_Free(GlobalSkinFile.Names, GlobalSkinFile.NamesLength + 1);
    GlobalSkinFile.Entries = nullptr;
    GlobalSkinFile.EntryCount = 0;
    GlobalSkinFile.EntryCapacity = 0;
    GlobalSkinFile.Names = nullptr;
    GlobalSkinFile.NamesLength = 0;
}

// Walks the central directory once: a first pass counts entries and name bytes, the second fills
// the index. A record that cannot be read ends the walk; the entries before it stay findable.
void BuildIndex(unzFile zip) {
    char* name = static_cast<char*>(Memory_Alloc(kEntryNameCapacity + 1));
    uint32_t count = 0;
    uint64_t bytes = 0;
    unz_file_info64 info;
    for (int32_t error = unzGoToFirstFile(zip); error == UNZ_OK; error = unzGoToNextFile(zip)) {
        if (unzGetCurrentFileInfo64(zip, &info, name, kEntryNameCapacity, nullptr, 0, nullptr, 0) != UNZ_OK) break;
        count++;
        bytes += strnlen(name, kEntryNameCapacity);
    }
    // The walk is bounded by the image, so these fit the allocator's sizes.
    if (count && bytes < (1u << 30) && count < (1u << 26)) {
        GlobalSkinFile.Entries = static_cast<StoreEntry*>(Memory_AllocZero(count * sizeof(StoreEntry)));
        GlobalSkinFile.Names = static_cast<char*>(Memory_Alloc(bytes + 1));
        uint32_t filled = 0, at = 0;
        for (int32_t error = unzGoToFirstFile(zip); error == UNZ_OK && filled < count;
             error = unzGoToNextFile(zip)) {
            if (unzGetCurrentFileInfo64(zip, &info, name, kEntryNameCapacity, nullptr, 0, nullptr, 0) != UNZ_OK)
                break;
            const uint32_t length = (uint32_t)strnlen(name, kEntryNameCapacity);
            if (at + (uint64_t)length > bytes) break;
            for (uint32_t i = 0; i < length; i++) GlobalSkinFile.Names[at + i] = Fold(name[i]);
            GlobalSkinFile.Entries[filled] = {at, length, unzGetOffset64(zip), filled};
            at += length;
            filled++;
        }
        GlobalSkinFile.Names[at] = 0;
        GlobalSkinFile.NamesLength = (uint32_t)bytes;
        GlobalSkinFile.EntryCapacity = count;
        GlobalSkinFile.EntryCount = filled;
        std::sort(GlobalSkinFile.Entries, GlobalSkinFile.Entries + filled,
                  [](const StoreEntry& a, const StoreEntry& b) {
                      const int32_t order = CompareNames(EntryName(a), EntryName(b));
                      return order ? order < 0 : a.Order < b.Order;
                  });
    }
    Memory_Free(name, kEntryNameCapacity + 1);
}

// The central directory position of the first entry named `name` without regard to case.
bool FindEntry(const char* name, uint64_t* offset) {
    const size_t length = strlen(name);
    if (!GlobalSkinFile.Entries || length >= (size_t)kEntryNameCapacity) return false;
    char folded[kEntryNameCapacity];
    for (size_t i = 0; i < length; i++) folded[i] = Fold(name[i]);
    const NameView wanted {folded, (uint32_t)length};
    const StoreEntry* begin = GlobalSkinFile.Entries;
    const StoreEntry* end = begin + GlobalSkinFile.EntryCount;
    const StoreEntry* found = std::lower_bound(begin, end, wanted, [](const StoreEntry& entry, NameView key) {
        return CompareNames(EntryName(entry), key) < 0;
    });
    if (found == end || CompareNames(EntryName(*found), wanted) != 0) return false;
    *offset = found->CentralOffset;
    return true;
}

// Verbose lines of the module itself, under the class name's verbose setting.
void ModuleVerbose(const char* format, const char* text) {
    int32_t level = 0;
    if (!Log_GetVerboseLevel("SkinFile", &level) || level < kVerboseLevel) return;
    Log_Debug(format, text);
}

} // namespace

struct SkinFile {
    Class Header;
    ClassPrint Print;
    Stream StreamRecord;
    // The open content: a descriptor (directory skin) or a zip reader (store), or the kept content
    // of a directory skin's file with the read position in it.
    int32_t Descriptor;
    SkinFileCacheEntry* Cached;
    uint64_t CachedPosition;
    uint32_t UseCache;
    unzFile Zip;
    StoreImage* Image;
    double Modified;
    uint64_t Size;
    // Gzip header or trailer bytes that did not fit the caller's buffer.
    uint8_t Pending[10];
    uint32_t PendingCount;
    uint32_t PendingGiven;
    unz_file_info64 Info;
    uint32_t HasInfo;
    uint32_t RawRequested;
    uint32_t OpenedRaw;
    // 0: gzip header not yet given, 1: data, 2: trailer given.
    uint32_t RawPhase;
    char Name[kNameCapacity];
};

namespace {

void PreparePrint(SkinFile* file) {
    ClassPrint_Prepare(&file->Print, file, "SkinFile", nullptr);
}

int64_t DeleteHandle(void** handle) {
    return SkinFile_Delete(reinterpret_cast<SkinFile**>(handle));
}

bool IsOpen(const SkinFile* file) {
    return file->Descriptor >= 0 || file->Zip != nullptr || file->Cached != nullptr;
}

void PutLittle32(uint8_t* at, uint32_t value) {
    for (int32_t i = 0; i < 4; i++) at[i] = (uint8_t)(value >> (8 * i));
}

// Hands out what fits of the pending bytes.
uint32_t GivePending(SkinFile* file, uint8_t* out, uint32_t size) {
    const uint32_t count = std::min(size, file->PendingCount - file->PendingGiven);
    memcpy(out, file->Pending + file->PendingGiven, count);
    file->PendingGiven += count;
    return count;
}

void SetPending(SkinFile* file, const uint8_t* bytes, uint32_t count) {
    memcpy(file->Pending, bytes, count);
    file->PendingCount = count;
    file->PendingGiven = 0;
}

// Serves the open from the kept content.
void UseCached(SkinFile* file, SkinFileCacheEntry* entry) {
    file->Cached = entry;
    file->CachedPosition = 0;
    file->Size = SkinFileCache_Size(entry);
    file->Modified = SkinFileCache_Modified(entry);
}

int64_t OpenFromDisk(SkinFile* file, const char* name) {
    SkinFile_VerboseLog(file, kVerboseLevel, "Opening from disk");
    const int32_t root = GlobalSkinFile.RootDescriptor;
    if (file->UseCache) {
        if (SkinFileCacheEntry* kept = SkinFileCache_Find(root, name)) {
            UseCached(file, kept);
            return 1;
        }
    }
    int32_t outcome = SKIN_DISK_MISSING;
    if (SkinDisk_Open(root, name, &file->Descriptor, &file->Size, &file->Modified, &outcome)) {
        uint64_t ticket = 0;
        // The watches begin after the open: a name replaced between the two would leave the old
        // file's content kept under it with nothing left to report the change. So the name must
        // still lead to the open file once they are in place.
        if (file->UseCache && file->Size <= SKIN_FILE_CACHE_ENTRY_LIMIT &&
            SkinFileCache_Watch(root, name, file->Descriptor, &ticket) &&
            SkinDisk_IsOpenFile(root, name, file->Descriptor)) {
            if (SkinFileCacheEntry* kept =
                    SkinFileCache_Keep(root, name, file->Descriptor, file->Size, file->Modified, ticket)) {
                Platform_Close(file->Descriptor);
                file->Descriptor = -1;
                UseCached(file, kept);
            }
        }
        return 1;
    }
    if (outcome == SKIN_DISK_MISSING) SkinFile_VerboseLog(file, kVerboseLevel, "Cannot find %s", name);
    else SkinFile_VerboseLog(file, kVerboseLevel, "Cannot open %s", name);
    return 0;
}

int64_t OpenFromStore(SkinFile* file, const char* name) {
    SkinFile_VerboseLog(file, kVerboseLevel, "Opening from zip");
    file->OpenedRaw = file->RawRequested;
    file->Image = RetainImage(GlobalSkinFile.Store);
    file->Zip = file->Image ? OpenStore(file->Image->Buffer, file->Image->Length) : nullptr;
    if (!file->Zip) {
        SkinFile_Print(file, "Unable to open zip for read (%d)", UNZ_BADZIPFILE);
        return 0;
    }
    uint64_t offset = 0;
    int32_t error = FindEntry(name, &offset) ? unzSetOffset64(file->Zip, offset) : UNZ_END_OF_LIST_OF_FILE;
    if (error != UNZ_OK) {
        SkinFile_VerboseLog(file, kVerboseLevel, "Cannot locate (%s %d)", name, error);
        return 0;
    }
    char* entryName = static_cast<char*>(Memory_Alloc(kEntryNameCapacity + 1));
    error = unzGetCurrentFileInfo64(file->Zip, &file->Info, entryName, kEntryNameCapacity, nullptr, 0, nullptr, 0);
    const size_t nameLength = error == UNZ_OK ? strnlen(entryName, kEntryNameCapacity) : 0;
    const bool directory = nameLength && (entryName[nameLength - 1] == '/' || entryName[nameLength - 1] == '\\');
    Memory_Free(entryName, kEntryNameCapacity + 1);
    if (error != UNZ_OK) {
        SkinFile_VerboseLog(file, kVerboseLevel, "Cannot get entry info (%d)", error);
        return 0;
    }
    file->HasInfo = 1;
    if (directory) {
        SkinFile_VerboseLog(file, kVerboseLevel, "Cannot open entry (%d)", UNZ_PARAMERROR);
        return 0;
    }
    file->Modified = (double)mz_zip_dosdate_to_time_t(file->Info.dosDate);
    if (file->Info.compression_method != Z_DEFLATED) file->OpenedRaw = 0;
    if (file->OpenedRaw) {
        file->Size = file->Info.compressed_size + SKIN_FILE_GZIP_OVERHEAD;
        file->RawPhase = 0;
    } else {
        file->Size = file->Info.uncompressed_size;
        file->RawPhase = 1;
    }
    // An enciphered entry has no password here; its bytes would be served as if they were data.
    error = (file->Info.flag & 1) ? UNZ_BADZIPFILE
                                  : unzOpenCurrentFile2(file->Zip, nullptr, nullptr, file->OpenedRaw ? 1 : 0);
    if (error != UNZ_OK) {
        SkinFile_Print(file, "Failed to read entry in zip (%d)", error);
        return 0;
    }
    return 1;
}

int64_t ReadStore(SkinFile* file, uint8_t* out, uint32_t size, uint32_t* read) {
    uint32_t done = 0;
    if (file->RawPhase == 0) {
        file->RawPhase = 1;
        uint8_t header[10] = {0x1f, 0x8b, 0x08, 0x00};
        PutLittle32(header + 4, (uint32_t)(int64_t)file->Modified);
        if (size < sizeof(header)) {
            SetPending(file, header, sizeof(header));
            *read = GivePending(file, out, size);
            return 1;
        }
        memcpy(out, header, sizeof(header));
        done = sizeof(header);
        if (size == done) {
            *read = done;
            return 1;
        }
    }
    if (file->RawPhase == 1) {
        const int32_t got = unzReadCurrentFile(file->Zip, out + done, std::min(size - done, kReadLimit));
        if (got > 0) {
            *read = done + (uint32_t)got;
            return 1;
        }
        if (got < 0) {
            // A damaged entry ends here; a gzip trailer would make its data look whole.
            SkinFile_Print(file, "Failed to read entry in zip (%d)", got);
            Stream_SetLastError(&file->StreamRecord, EIO);
            *read = done;
            return 0;
        }
        if (file->OpenedRaw) {
            uint8_t trailer[8];
            PutLittle32(trailer, (uint32_t)file->Info.crc);
            PutLittle32(trailer + 4, (uint32_t)file->Info.uncompressed_size);
            if (size - done >= sizeof(trailer)) {
                memcpy(out + done, trailer, sizeof(trailer));
                done += sizeof(trailer);
            } else {
                SetPending(file, trailer, sizeof(trailer));
            }
            file->RawPhase = 2;
            *read = done;
            return 1;
        }
    }
    *read = done;
    return 0;
}

} // namespace

namespace {

// Keeps the store image (a buffer of length + 1 bytes, released as the deciphered store is) once
// it opens as a zip archive; frees it otherwise.
bool TakeStore(uint8_t* buffer, uint32_t length) {
    unzFile zip = OpenStore(buffer, length);
    if (!zip) {
        Executable_ReleaseSkinStore(nullptr, &buffer, &length);
        return false;
    }
    StoreImage* image = static_cast<StoreImage*>(Memory_Alloc(sizeof(StoreImage)));
    new (image) StoreImage {buffer, length, {1}};
    GlobalSkinFile.Store = image;
    BuildIndex(zip);
    unzClose(zip);
    return true;
}

} // namespace

// ---- The attached skin --------------------------------------------------------------------------

int64_t SkinFile_Init() {
    return 1;
}

int64_t SkinFile_Remove() {
    SkinFileCache_Clear();
    ReleaseImage(&GlobalSkinFile.Store);
    FreeIndex();
    if (GlobalSkinFile.RootDescriptor >= 0) Platform_Close(GlobalSkinFile.RootDescriptor);
    GlobalSkinFile.RootDescriptor = -1;
    GlobalSkinFile.IsDirectory = 0;
    GlobalSkinFile.Root[0] = 0;
    return 1;
}

int64_t SkinFile_IsAttached() {
    return GlobalSkinFile.Root[0] ? 1 : 0;
}

int64_t SkinFile_Attach(const char* path) {
    ASSERT_POINTER(path);
    if (SkinFile_IsAttached()) return 0;
    char resolved[SKIN_FILE_ROOT_SIZE];
    uint32_t isDirectory = 0;
    // One byte is kept for a directory's trailing separator.
    if (!SkinDisk_Resolve(path, resolved, SKIN_FILE_ROOT_SIZE - 1, &isDirectory)) return 0;
    if (isDirectory) {
        if (!SkinDisk_OpenRoot(resolved, &GlobalSkinFile.RootDescriptor)) return 0;
        const size_t length = strlen(resolved);
        if (!length || resolved[length - 1] != '/') {
            resolved[length] = '/';
            resolved[length + 1] = 0;
        }
    } else {
        uint8_t* buffer = nullptr;
        uint32_t length = 0;
        if (!Executable_GetSkinStore(resolved, &buffer, &length)) return 0;
        if (!TakeStore(buffer, length)) return 0;
    }
    GlobalSkinFile.IsDirectory = isDirectory;
    String_CopyLength(GlobalSkinFile.Root, resolved, SKIN_FILE_ROOT_SIZE);
    return 1;
}

int64_t SkinFile_GetRoot(char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity <= 0) return 0;
    String_CopyLength(buffer, GlobalSkinFile.Root, capacity);
    return buffer[0] ? 1 : 0;
}

int64_t SkinFile_ContentExists(const char* name) {
    ASSERT_POINTER(name);
    if (!SkinFile_IsAttached()) return 0;
    if (GlobalSkinFile.IsDirectory) {
        ModuleVerbose("Searching on disk (%s)", name);
        return SkinDisk_Exists(GlobalSkinFile.RootDescriptor, name);
    }
    ModuleVerbose("Searching in zip (%s)", name);
    if (!GlobalSkinFile.Store) {
        Log_Debug("Unable to open zip for read (%d)", UNZ_BADZIPFILE);
        return 0;
    }
    uint64_t offset = 0;
    return FindEntry(name, &offset) ? 1 : 0;
}

// ---- One entry ----------------------------------------------------------------------------------

int64_t SkinFile_Create(SkinFile** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    SkinFile* file = static_cast<SkinFile*>(Memory_AllocZero(sizeof(SkinFile)));
    file->Header.ClassId = SKIN_FILE_CLASS_ID;
    file->Header.RefCount = 1;
    file->Header.Delete = DeleteHandle;
    file->Descriptor = -1;
    file->StreamRecord.Handle = file;
    file->StreamRecord.Read = StreamSlot<SkinFile_Read>::Call;
    file->StreamRecord.Length = StreamSlot<SkinFile_GetFilesize>::Call;
    file->StreamRecord.IsOpen = StreamSlot<SkinFile_IsOpen>::Call;
    file->StreamRecord.Close = StreamSlot<SkinFile_Close>::Call;
    *handle = file;
    return 1;
}

int64_t SkinFile_Delete(SkinFile** handle) {
    ASSERT_POINTER(handle);
    SkinFile* file = *handle;
    CLASS_CHECK(file, SKIN_FILE_CLASS_ID);
    SkinFile_Close(file);
    file->Header.ClassId = 0;
    Memory_Free(file, sizeof(SkinFile));
    *handle = nullptr;
    return 1;
}

CLASS_BASICS(SkinFile, SkinFile, SKIN_FILE_CLASS_ID)
CLASS_PRINT_FAMILY(SkinFile, SkinFile, SKIN_FILE_CLASS_ID, PreparePrint)

int64_t SkinFile_Open(SkinFile* file, const char* name) {
    CLASS_CHECK(file, SKIN_FILE_CLASS_ID);
    ASSERT_POINTER(name);
    if (IsOpen(file)) Debug_AbortInt(__FILE__, __LINE__, "Assertion failed (SkinFile->ContentHandle == NULL)\nAlready open");
    // Printed as the entry's name, or for a directory skin as the file's path.
    file->Name[0] = 0;
    if (GlobalSkinFile.IsDirectory) String_CopyLength(file->Name, GlobalSkinFile.Root, kNameCapacity);
    String_CatLength(file->Name, name, kNameCapacity);
    file->Print.Identifier = file->Name;
    file->Size = 0;
    file->Modified = 0;
    file->PendingCount = file->PendingGiven = 0;
    file->HasInfo = 0;
    file->OpenedRaw = 0;
    file->RawPhase = 1;
    Stream_ClearLastError(&file->StreamRecord);
    if (!SkinFile_IsAttached()) return 0;
    const int64_t opened = GlobalSkinFile.IsDirectory ? OpenFromDisk(file, name) : OpenFromStore(file, name);
    if (!opened) {
        SkinFile_Close(file);
        file->HasInfo = 0;
    }
    return opened;
}

int64_t SkinFile_Close(SkinFile* file) {
    CLASS_CHECK(file, SKIN_FILE_CLASS_ID);
    if (file->Descriptor >= 0) Platform_Close(file->Descriptor);
    file->Descriptor = -1;
    if (file->Cached) SkinFileCache_Release(&file->Cached);
    file->CachedPosition = 0;
    if (file->Zip) {
        unzCloseCurrentFile(file->Zip);
        unzClose(file->Zip);
    }
    file->Zip = nullptr;
    ReleaseImage(&file->Image);
    file->PendingCount = file->PendingGiven = 0;
    return 1;
}

int64_t SkinFile_Reset(SkinFile* file) {
    return SkinFile_Close(file);
}

int64_t SkinFile_IsOpen(SkinFile* file) {
    CLASS_CHECK(file, SKIN_FILE_CLASS_ID);
    return IsOpen(file) ? 1 : 0;
}

int64_t SkinFile_Read(SkinFile* file, void* buffer, uint32_t size, uint32_t* read) {
    CLASS_CHECK(file, SKIN_FILE_CLASS_ID);
    ASSERT_POINTER(read);
    *read = 0;
    if (!IsOpen(file) || !size) return 0;
    ASSERT_POINTER(buffer);
    uint8_t* out = static_cast<uint8_t*>(buffer);
    int64_t result = 1;
    if (file->PendingGiven < file->PendingCount) {
        *read = GivePending(file, out, size);
    } else if (file->Cached) {
        const uint64_t total = SkinFileCache_Size(file->Cached);
        const uint64_t left = file->CachedPosition < total ? total - file->CachedPosition : 0;
        *read = (uint32_t)std::min<uint64_t>(left, size);
        memcpy(out, SkinFileCache_Data(file->Cached) + file->CachedPosition, *read);
        file->CachedPosition += *read;
        result = *read > 0 ? 1 : 0;
    } else if (file->Descriptor >= 0) {
        if (Platform_Read(file->Descriptor, out, size, read) != 1) {
            Stream_SetLastError(&file->StreamRecord, EIO);
            result = 0;
        } else {
            result = *read > 0 ? 1 : 0;
        }
    } else {
        result = ReadStore(file, out, size, read);
    }
    SkinFile_VerboseLog(file, kVerboseLevel, "Read %s(%d)", result ? "" : "complete ", (int32_t)*read);
    return result;
}

int64_t SkinFile_Seek(SkinFile* file, int64_t offset, SeekOrigin origin) {
    CLASS_CHECK(file, SKIN_FILE_CLASS_ID);
    if (!IsOpen(file)) return 0;
    if (file->Cached) {
        // As a file's descriptor seeks: anywhere from its start on, its end included.
        const int64_t base = origin == SEEK_ORIGIN_BEGIN     ? 0
                             : origin == SEEK_ORIGIN_CURRENT ? (int64_t)file->CachedPosition
                                                             : (int64_t)SkinFileCache_Size(file->Cached);
        if ((origin != SEEK_ORIGIN_BEGIN && origin != SEEK_ORIGIN_CURRENT && origin != SEEK_ORIGIN_END) ||
            (offset < 0 && base + offset < 0) || (offset > 0 && base > INT64_MAX - offset))
            return 0;
        file->CachedPosition = (uint64_t)(base + offset);
        return 1;
    }
    if (file->Descriptor >= 0) return Platform_Seek(file->Descriptor, offset, origin, nullptr);
    if (origin != SEEK_ORIGIN_BEGIN || offset < 0) {
        SkinFile_Print(file, "Cannot seek from origin (%lld:%d)", (long long)offset, (int32_t)origin);
        return 0;
    }
    uint8_t scratch[kSeekStep];
    for (uint64_t left = (uint64_t)offset; left > 0;) {
        uint32_t got = 0;
        const int64_t more = SkinFile_Read(file, scratch, (uint32_t)std::min<uint64_t>(left, kSeekStep), &got);
        left -= got;
        if (!more) break;
    }
    return Stream_GetLastError(&file->StreamRecord) ? 0 : 1;
}

int64_t SkinFile_GetFilesize(SkinFile* file, uint64_t* size) {
    CLASS_CHECK(file, SKIN_FILE_CLASS_ID);
    ASSERT_POINTER(size);
    *size = 0;
    if (!IsOpen(file)) return 0;
    *size = file->Size;
    return 1;
}

int64_t SkinFile_GetCompressedSize(SkinFile* file, uint64_t* size) {
    CLASS_CHECK(file, SKIN_FILE_CLASS_ID);
    ASSERT_POINTER(size);
    *size = 0;
    if (GlobalSkinFile.IsDirectory || !file->HasInfo) return 0;
    *size = file->Info.compressed_size + (file->OpenedRaw ? SKIN_FILE_GZIP_OVERHEAD : 0);
    return 1;
}

int64_t SkinFile_GetUncompressedSize(SkinFile* file, uint64_t* size) {
    CLASS_CHECK(file, SKIN_FILE_CLASS_ID);
    ASSERT_POINTER(size);
    *size = 0;
    if (GlobalSkinFile.IsDirectory || !file->HasInfo) return 0;
    *size = file->Info.uncompressed_size;
    return 1;
}

int64_t SkinFile_GetModifiedDateEncoded(SkinFile* file, EncodedTime* time) {
    CLASS_CHECK(file, SKIN_FILE_CLASS_ID);
    ASSERT_POINTER(time);
    *time = 0;
    if (!IsOpen(file)) return 0;
    *time = file->Modified;
    return 1;
}

int64_t SkinFile_GetStreamHandle(SkinFile* file, Stream** stream) {
    CLASS_CHECK(file, SKIN_FILE_CLASS_ID);
    ASSERT_POINTER(stream);
    *stream = &file->StreamRecord;
    return 1;
}

int64_t SkinFile_SetReadRaw(SkinFile* file, uint32_t flag) {
    CLASS_CHECK(file, SKIN_FILE_CLASS_ID);
    file->RawRequested = flag ? 1 : 0;
    return 1;
}

int64_t SkinFile_PeekKept(SkinFile* file, const uint8_t** data, uint64_t* available) {
    CLASS_CHECK(file, SKIN_FILE_CLASS_ID);
    ASSERT_POINTER(data);
    ASSERT_POINTER(available);
    *data = nullptr;
    *available = 0;
    if (!file->Cached) return 0;
    const uint64_t total = SkinFileCache_Size(file->Cached);
    const uint64_t at = std::min(file->CachedPosition, total);
    *data = SkinFileCache_Data(file->Cached) + at;
    *available = total - at;
    return 1;
}

int64_t SkinFile_SetUseCache(SkinFile* file, uint32_t flag) {
    CLASS_CHECK(file, SKIN_FILE_CLASS_ID);
    file->UseCache = flag ? 1 : 0;
    return 1;
}

int64_t SkinFile_IsOpenedRaw(SkinFile* file) {
    CLASS_CHECK(file, SKIN_FILE_CLASS_ID);
    return IsOpen(file) && file->OpenedRaw ? 1 : 0;
}

int64_t SkinFile_AttachImage(const uint8_t* image, uint32_t length, const char* root) {
    ASSERT_POINTER(root);
    if (SkinFile_IsAttached() || !root[0] || (!image && length) || length > 0x7ffffff0u) return 0;
    uint8_t* buffer = static_cast<uint8_t*>(Memory_Alloc((int32_t)length + 1));
    if (length) memcpy(buffer, image, length);
    buffer[length] = 0;
    if (!TakeStore(buffer, length)) return 0;
    GlobalSkinFile.IsDirectory = 0;
    String_CopyLength(GlobalSkinFile.Root, root, SKIN_FILE_ROOT_SIZE);
    return 1;
}
