// MachOFile: reads thin and universal Mach-O headers and the embedded code signature, and checks
// the code pages against the signed code directories. Every offset and size read from the file is
// checked against the file (or slice) before anything is read or allocated from it.
#include "core/certs/macho_file.h"

#include <cstring>

#include "core/certs/image_reader_internal.h"
#include "core/certs/pkcs7.h"
#include "core/crypto/hash.h"
#include "core/crypto/sha1.h"
#include "core/crypto/sha256.h"
#include "core/platform/file.h"
#include "core/platform/path.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"

namespace {

enum : uint32_t {
    kBlobTypeCodeDirectory = 0,
    kBlobTypeAlternateCodeDirectory = 0x1000,
    kBlobTypeSignature = 0x10000,
    kCodeDirectoryMinimum = 44,
    // Real files use pages of 4 or 16 KiB; anything past this is refused rather than allocated.
    kMaxPagePower = 24,
    kMaxCmsSize = 0x80000000u,
};

uint32_t Be32(const uint8_t* p) {
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}
uint32_t Le32(const uint8_t* p) {
    return ((uint32_t)p[3] << 24) | ((uint32_t)p[2] << 16) | ((uint32_t)p[1] << 8) | p[0];
}

// One architecture's bytes: [Offset, End) of the file.
struct Slice {
    uint64_t Offset;
    uint64_t End;
};

// The slices of the file: one for a thin file, every architecture of a universal one (each
// inside the file). 0 for anything else.
uint32_t ReadSlices(Stream* stream, Slice* slices, bool* universal) {
    *universal = false;
    uint64_t length = 0;
    if (!Stream_Length(stream, &length)) return 0;
    uint8_t head[8];
    if (!ImageReadAt(stream, 0, head, 4)) return 0;
    const uint32_t magic = Le32(head);
    if (magic == MACHO_MAGIC_32 || magic == MACHO_MAGIC_64) {
        slices[0] = {0, length};
        return 1;
    }
    if (magic != MACHO_MAGIC_FAT && magic != MACHO_MAGIC_FAT_SWAPPED) return 0;
    if (!ImageReadAt(stream, 0, head, 8)) return 0;
    const uint32_t count = Be32(head + 4);
    if (count < 1 || count > MACHO_MAX_ARCHITECTURES) return 0;
    for (uint32_t i = 0; i < count; i++) {
        uint8_t record[20];
        if (!ImageReadAt(stream, 8 + (uint64_t)i * 20, record, sizeof(record))) return 0;
        const uint64_t offset = Be32(record + 8);
        const uint64_t size = Be32(record + 12);
        if (offset + size > length) return 0;
        slices[i] = {offset, offset + size};
    }
    *universal = true;
    return count;
}

// The thin header at the slice's start: 32, 64 or -1; the header's size and command count.
int64_t ReadThinHeader(Stream* stream, const Slice& slice, MachOHeader32* header32, MachOHeader64* header64,
                       uint32_t* headerSize, uint32_t* commandCount) {
    uint8_t bytes[32];
    if (slice.End - slice.Offset < 4 || !ImageReadAt(stream, slice.Offset, bytes, 4)) return -1;
    const uint32_t magic = Le32(bytes);
    const uint32_t size = magic == MACHO_MAGIC_32 ? 28 : magic == MACHO_MAGIC_64 ? 32 : 0;
    if (size == 0 || slice.End - slice.Offset < size || !ImageReadAt(stream, slice.Offset, bytes, size)) return -1;
    uint32_t fields[8] = {};
    for (uint32_t i = 0; i < size / 4; i++) fields[i] = Le32(bytes + i * 4);
    if (size == 28 && header32) memcpy(header32, fields, sizeof(*header32));
    if (size == 32 && header64) memcpy(header64, fields, sizeof(*header64));
    *headerSize = size;
    *commandCount = fields[4];
    return size == 28 ? 32 : 64;
}

// The code-signature command of the slice: its data offset (from the slice start) and size, the
// range checked to lie inside the slice.
bool FindSignatureCommand(Stream* stream, const Slice& slice, uint32_t* dataOffset, uint32_t* dataSize) {
    uint32_t headerSize = 0, count = 0;
    if (ReadThinHeader(stream, slice, nullptr, nullptr, &headerSize, &count) < 0) return false;
    uint64_t position = slice.Offset + headerSize;
    // Every command moves on by at least 8 bytes and must stay inside the slice, so a forged
    // count or size ends at the slice's end instead of looping.
    for (uint32_t i = 0; i < count; i++) {
        uint8_t command[16];
        if (position + 8 > slice.End || !ImageReadAt(stream, position, command, 8)) return false;
        const uint32_t kind = Le32(command);
        const uint32_t size = Le32(command + 4);
        if (size < 8 || position + size > slice.End) return false;
        if (kind == MACHO_COMMAND_CODE_SIGNATURE) {
            if (size < 16 || !ImageReadAt(stream, position, command, 16)) return false;
            *dataOffset = Le32(command + 8);
            *dataSize = Le32(command + 12);
            return slice.Offset + *dataOffset + *dataSize <= slice.End;
        }
        position += size;
    }
    return false;
}

// The super blob of a slice's signature: its start in the file, length and entry count, all
// checked to lie inside the signature's data.
struct SuperBlob {
    uint64_t Start;
    uint32_t Length;
    uint32_t Count;
};

bool ReadSuperBlob(Stream* stream, const Slice& slice, SuperBlob* blob) {
    uint32_t dataOffset = 0, dataSize = 0;
    if (!FindSignatureCommand(stream, slice, &dataOffset, &dataSize)) return false;
    uint8_t head[12];
    blob->Start = slice.Offset + dataOffset;
    if (dataSize < 12 || !ImageReadAt(stream, blob->Start, head, 12)) return false;
    blob->Length = Be32(head + 4);
    blob->Count = Be32(head + 8);
    return Be32(head) == MACHO_BLOB_SUPER && blob->Count >= 1 && blob->Length <= dataSize &&
           12 + (uint64_t)blob->Count * 8 <= blob->Length;
}

// Entry i's type and the header of the blob it points at, the blob inside the super blob.
bool ReadEntry(Stream* stream, const SuperBlob& super, uint32_t index, uint32_t* type, uint64_t* start,
               uint32_t* magic, uint32_t* length) {
    uint8_t entry[8];
    if (!ImageReadAt(stream, super.Start + 12 + (uint64_t)index * 8, entry, 8)) return false;
    *type = Be32(entry);
    const uint32_t offset = Be32(entry + 4);
    uint8_t head[8];
    if ((uint64_t)offset + 8 > super.Length || !ImageReadAt(stream, super.Start + offset, head, 8)) return false;
    *start = super.Start + offset;
    *magic = Be32(head);
    *length = Be32(head + 4);
    return *length >= 8 && (uint64_t)offset + *length <= super.Length;
}

// Where the slice's CMS bytes are and how many.
bool FindCms(Stream* stream, const Slice& slice, uint64_t* offset, uint32_t* size) {
    SuperBlob super;
    if (!ReadSuperBlob(stream, slice, &super)) return false;
    for (uint32_t i = 0; i < super.Count; i++) {
        uint8_t entry[8];
        if (!ImageReadAt(stream, super.Start + 12 + (uint64_t)i * 8, entry, 8)) return false;
        if (Be32(entry) != kBlobTypeSignature) continue;
        uint32_t type = 0, magic = 0, length = 0;
        uint64_t start = 0;
        if (!ReadEntry(stream, super, i, &type, &start, &magic, &length)) return false;
        if (magic != MACHO_BLOB_SIGNATURE || length - 8 >= kMaxCmsSize) return false;
        *offset = start + 8;
        *size = length - 8;
        return true;
    }
    return false;
}

// The code pages of the slice against one code directory's slot hashes.
bool VerifyCodePages(Stream* stream, const Slice& slice, const uint8_t* directory, uint32_t length) {
    if (length < kCodeDirectoryMinimum) return false;
    const uint64_t hashOffset = Be32(directory + 16);
    const uint32_t slots = Be32(directory + 28);
    const uint64_t codeLimit = Be32(directory + 32);
    const uint32_t hashSize = directory[36];
    const uint32_t hashType = directory[37];
    const uint32_t pagePower = directory[39];
    const HashInterface* record = hashType == 1 ? &SHA1_INTERFACE : hashType == 2 ? &SHA256_INTERFACE : nullptr;
    if (!record) return false;
    // A slot of no bytes would match any page, and one longer than the digest has nothing to
    // compare its tail with.
    if (hashSize == 0 || hashSize > record->DigestSize) return false;
    if (slots == 0 || hashOffset + hashSize > length) return false;
    if (pagePower > kMaxPagePower || codeLimit > slice.End - slice.Offset) return false;
    const uint64_t pageSize = 1ull << pagePower;
    const uint32_t bufferSize = (uint32_t)(pageSize < codeLimit ? pageSize : codeLimit);
    uint8_t* page = bufferSize ? static_cast<uint8_t*>(Memory_Alloc(bufferSize)) : nullptr;
    bool ok = true;
    for (uint32_t k = 0; k < slots; k++) {
        const uint64_t start = (uint64_t)k * pageSize;
        if (start >= codeLimit) break;
        const uint64_t slot = hashOffset + (uint64_t)k * hashSize;
        if (slot + hashSize > length) {
            ok = false;
            break;
        }
        const uint32_t size = (uint32_t)(codeLimit - start < pageSize ? codeLimit - start : pageSize);
        // The code limit lies inside the slice, so a short read is a failing file, never a page
        // to pad.
        uint8_t digest[64];
        if (!ImageReadAt(stream, slice.Offset + start, page, size) ||
            !Hash_QuickDigest(record, page, (int32_t)size, digest, sizeof(digest))) {
            ok = false;
            break;
        }
        if (memcmp(digest, directory + slot, hashSize) != 0) {
            Log_Warning("MachO verification failed, code page hash does not match %d\n", (int32_t)k);
            ok = false;
            break;
        }
    }
    if (page) Memory_Free(page, bufferSize);
    return ok;
}

// The signed digest: every code directory walked until one verifies its pages.
bool DigestCodeDirectories(Stream* stream, const Slice& slice, Hash* hash) {
    SuperBlob super;
    if (!ReadSuperBlob(stream, slice, &super)) return false;
    for (uint32_t i = 0; i < super.Count; i++) {
        uint8_t entry[8];
        if (!ImageReadAt(stream, super.Start + 12 + (uint64_t)i * 8, entry, 8)) return false;
        const uint32_t kind = Be32(entry);
        if (kind != kBlobTypeCodeDirectory && kind != kBlobTypeAlternateCodeDirectory) continue;
        uint32_t type = 0, magic = 0, length = 0;
        uint64_t start = 0;
        if (!ReadEntry(stream, super, i, &type, &start, &magic, &length)) return false;
        if (magic != MACHO_BLOB_CODE_DIRECTORY) continue;
        uint8_t* directory = static_cast<uint8_t*>(Memory_Alloc(length));
        bool verified = false;
        uint32_t processed = 0;
        if (!ImageReadAt(stream, start, directory, length)) {
            Memory_Free(directory, length);
            return false;
        }
        if (!Hash_Process(hash, directory, length, &processed)) {
            Log_Warning("MachO verification failed, code directory hash failure\n");
        } else {
            verified = VerifyCodePages(stream, slice, directory, length);
        }
        Memory_Free(directory, length);
        if (verified) return true;
    }
    return false;
}

bool VerifySlice(CertStoreInterface* store, Stream* stream, const Slice& slice) {
    uint64_t cmsOffset = 0;
    uint32_t cmsSize = 0;
    if (!FindCms(stream, slice, &cmsOffset, &cmsSize) || cmsSize == 0) return false;
    uint8_t* cms = static_cast<uint8_t*>(Memory_Alloc(cmsSize));
    PKCS7* pkcs7 = nullptr;
    Hash* hash = nullptr;
    const HashInterface* record = nullptr;
    bool ok = ImageReadAt(stream, cmsOffset, cms, cmsSize) && PKCS7_Create(&pkcs7) &&
              PKCS7_BuildFromBuffer(pkcs7, cms, cmsSize) && PKCS7_GetSignerInfoHashInterface(pkcs7, &record) &&
              record && Hash_Create(&hash) && Hash_SetInterface(hash, record) &&
              DigestCodeDirectories(stream, slice, hash) && Hash_Generate(hash);
    if (ok) {
        uint8_t digest[64] = {};
        const uint32_t size = Hash_GetDigestSize(hash);
        ok = size <= sizeof(digest) && Hash_GetDigest(hash, digest, sizeof(digest)) &&
             PKCS7_VerifyDigest(pkcs7, store, digest, size);
    }
    if (hash) Hash_Release(&hash);
    if (pkcs7) PKCS7_Release(&pkcs7);
    Memory_Free(cms, cmsSize);
    return ok;
}

// The file opened for reading, or null.
File* OpenForReading(const char* path) {
    if (Path_IsDirectory(path)) return nullptr;
    File* file = nullptr;
    File_Create(&file);
    if (!File_Open(file, path, FILE_READ | FILE_QUIET)) {
        File_Release(&file);
        return nullptr;
    }
    return file;
}

template <typename F> int64_t WithFile(const char* path, F&& action) {
    ASSERT_POINTER(path);
    File* file = OpenForReading(path);
    if (!file) return 0;
    Stream* stream = nullptr;
    File_GetStreamHandle(file, &stream);
    const int64_t result = action(stream);
    File_Close(file);
    File_Release(&file);
    return result;
}

} // namespace

int64_t MachOFile_IsValid(const char* path) {
    return WithFile(path, [](Stream* stream) { return MachOFile_IsValidStream(stream); });
}

int64_t MachOFile_IsValidStream(Stream* stream) {
    ASSERT_POINTER(stream);
    return MachOFile_GetHeaders(stream, nullptr, nullptr, nullptr) != -1;
}

int64_t MachOFile_GetHeaders(Stream* stream, uint64_t* sliceOffset, MachOHeader32* header32,
                             MachOHeader64* header64) {
    ASSERT_POINTER(stream);
    if (sliceOffset) *sliceOffset = 0;
    if (header32) memset(header32, 0, sizeof(*header32));
    if (header64) memset(header64, 0, sizeof(*header64));
    Slice slices[MACHO_MAX_ARCHITECTURES];
    bool universal = false;
    if (!ReadSlices(stream, slices, &universal)) return -1;
    uint32_t headerSize = 0, count = 0;
    const int64_t bits = ReadThinHeader(stream, slices[0], header32, header64, &headerSize, &count);
    if (bits > 0 && universal && sliceOffset) *sliceOffset = slices[0].Offset;
    return bits;
}

int64_t MachOFile_GetCodeSignatureCommandOffset(Stream* stream, uint64_t* sliceOffset, uint64_t* signatureOffset,
                                                uint32_t* signatureSize) {
    ASSERT_POINTER(stream);
    if (sliceOffset) *sliceOffset = 0;
    if (signatureOffset) *signatureOffset = 0;
    if (signatureSize) *signatureSize = 0;
    Slice slices[MACHO_MAX_ARCHITECTURES];
    bool universal = false;
    uint32_t dataOffset = 0, dataSize = 0;
    if (!ReadSlices(stream, slices, &universal) || !FindSignatureCommand(stream, slices[0], &dataOffset, &dataSize))
        return 0;
    if (sliceOffset) *sliceOffset = slices[0].Offset;
    if (signatureOffset) *signatureOffset = slices[0].Offset + dataOffset;
    if (signatureSize) *signatureSize = dataSize;
    return 1;
}

int64_t MachOFile_GetCertificate(Stream* stream, uint8_t* buffer, uint32_t* size) {
    ASSERT_POINTER(stream);
    ASSERT_POINTER(size);
    const uint32_t capacity = *size;
    *size = 0;
    Slice slices[MACHO_MAX_ARCHITECTURES];
    bool universal = false;
    uint64_t offset = 0;
    uint32_t cmsSize = 0;
    if (!ReadSlices(stream, slices, &universal) || !FindCms(stream, slices[0], &offset, &cmsSize)) return 0;
    *size = cmsSize;
    if (!buffer) return 1;
    return cmsSize <= capacity && ImageReadAt(stream, offset, buffer, cmsSize);
}

int64_t MachOFile_HasCertificate(const char* path) {
    return WithFile(path, [](Stream* stream) { return MachOFile_HasCertificateData(stream); });
}

int64_t MachOFile_HasCertificateData(Stream* stream) {
    uint32_t size = 0;
    return MachOFile_GetCertificate(stream, nullptr, &size) && size != 0;
}

int64_t MachOFile_Verify(CertStoreInterface* store, const char* path) {
    return WithFile(path, [store](Stream* stream) { return MachOFile_VerifyData(store, stream); });
}

int64_t MachOFile_VerifyData(CertStoreInterface* store, Stream* stream) {
    ASSERT_POINTER(stream);
    Slice slices[MACHO_MAX_ARCHITECTURES];
    bool universal = false;
    const uint32_t count = ReadSlices(stream, slices, &universal);
    if (count == 0) return 0;
    // Each architecture carries its own signature, and any of them may be the one that runs.
    for (uint32_t i = 0; i < count; i++)
        if (!VerifySlice(store, stream, slices[i])) return 0;
    return 1;
}
