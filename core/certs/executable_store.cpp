// Stored data carried inside program files: the data store (text or checked binary form, maybe
// compressed) and the enciphered skin store.
#include <zlib.h>

#include <cstring>

#include "core/certs/executable.h"
#include "core/certs/elf_file.h"
#include "core/certs/executable_internal.h"
#include "core/certs/image_reader_internal.h"
#include "core/certs/pe_file.h"
#include "core/crypto/aes_gcm.h"
#include "core/crypto/hmac.h"
#include "core/formats/crc.h"
#include "core/linux/platform.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

constexpr char kTextMagic[] = "ZERIZODIDUZI";
constexpr char kBinaryMagic[] = "QVRDS";
constexpr char kSkinMagic[] = "QVRSS1";
constexpr uint32_t kTextLimit = 4096;
// A derivation count read from the file is bounded, so a crafted file cannot hold us for hours.
constexpr uint32_t kMaxIterations = 1000000;
// Largest inflated data store accepted.
constexpr uint32_t kMaxInflated = 256u << 20;


// Reads [offset, offset + size) of the file into a new buffer of size + 1 bytes; null when too
// large or outside the file.
uint8_t* ReadRange(Stream* stream, uint64_t offset, uint64_t size) {
    if (!size || size > EXECUTABLE_MAX_REGION) return nullptr;
    ImageReader reader;
    if (!reader.Start(stream)) return nullptr;
    uint8_t* bytes = static_cast<uint8_t*>(Memory_Alloc((int32_t)size + 1));
    if (!reader.Read(offset, bytes, size)) {
        Memory_Free(bytes, (int32_t)size + 1);
        return nullptr;
    }
    return bytes;
}

const uint8_t* Find(const uint8_t* bytes, uint32_t length, const char* magic) {
    return static_cast<const uint8_t*>(memmem(bytes, length, magic, strlen(magic)));
}

// A new buffer with a copy of the bytes and one zero after them.
uint8_t* Copy(const uint8_t* bytes, uint32_t length) {
    uint8_t* copy = static_cast<uint8_t*>(Memory_Alloc((int32_t)length + 1));
    if (length) memcpy(copy, bytes, length);
    copy[length] = 0;
    return copy;
}

bool Inflate(const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t outLength) {
    z_stream stream {};
    stream.next_in = const_cast<Bytef*>(in);
    stream.avail_in = inLength;
    stream.next_out = out;
    stream.avail_out = outLength;
    int answer = inflateInit2(&stream, 47);
    if (answer != Z_OK) {
        Log_Debug("Data store uncompress error (%d)", answer);
        return false;
    }
    answer = inflate(&stream, Z_SYNC_FLUSH);
    const uLong produced = stream.total_out;
    const int end = inflateEnd(&stream);
    if (answer != Z_OK && answer != Z_STREAM_END) {
        Log_Debug("Data store uncompress error (%d)", answer);
        return false;
    }
    if (end != Z_OK) {
        Log_Debug("Data store uncompress error (%d)", end);
        return false;
    }
    // A stream that ends early would leave the tail of the buffer as whatever memory held.
    if (produced != outLength) {
        Log_Debug("Data store uncompress error (%d)", Z_BUF_ERROR);
        return false;
    }
    return true;
}

// Reads big-endian u32 fields and byte strings off the front of a range, each checked first.
struct Cursor {
    const uint8_t* at;
    uint32_t left;
    bool U32(uint32_t* value) {
        if (left < 4) return false;
        *value = ImageU32(at, true);
        at += 4;
        left -= 4;
        return true;
    }
    bool Bytes(uint32_t length, const uint8_t** bytes) {
        if (left < length) return false;
        *bytes = at;
        at += length;
        left -= length;
        return true;
    }
};

} // namespace

int64_t Executable_ReadDataStore(const uint8_t* region, uint32_t regionLength, uint8_t** buffer,
                                 uint32_t* length) {
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(length);
    *buffer = nullptr;
    *length = 0;
    if (!region || !regionLength) return 0;
    if (const uint8_t* text = Find(region, regionLength, kTextMagic)) {
        const uint8_t* start = text + strlen(kTextMagic);
        uint32_t left = (uint32_t)(region + regionLength - start);
        if (left > kTextLimit) left = kTextLimit;
        const void* zero = memchr(start, 0, left);
        const uint32_t size = zero ? (uint32_t)(static_cast<const uint8_t*>(zero) - start) : left;
        *buffer = Copy(start, size);
        *length = size;
        return 1;
    }
    const uint8_t* magic = Find(region, regionLength, kBinaryMagic);
    if (!magic) return 0;
    const uint32_t available = (uint32_t)(region + regionLength - magic);
    if (available < 12) return 0;
    const uint8_t version = magic[5];
    const uint32_t capacity = (uint32_t)magic[6] << 8 | magic[7];
    const uint32_t stored = ImageU32(magic + 8, true);
    const uint64_t area = (uint64_t)capacity * 1024;
    if (stored > area) {
        Log_Debug("Data store size greater than allowed (%d > %d)", (int)stored, (int)capacity);
        return 0;
    }
    const bool plain = version == '0' || version == '1' || version == '2';
    const uint32_t crcAt = plain ? 12 : 16;
    if (available < crcAt + 4) return 0;
    const uint32_t uncompressed = plain ? 0 : ImageU32(magic + 12, true);
    const uint32_t dataAt = crcAt + 4;
    if (available - dataAt < stored || available - dataAt < area) return 0;
    const uint8_t zeros[4] = {};
    uint32_t crc = CRC_Update(0, magic, crcAt);
    crc = CRC_Update(crc, zeros, 4);
    crc = CRC_Update(crc, magic + dataAt, (uint32_t)area);
    const uint32_t storedCrc = ImageU32(magic + crcAt, true);
    if (crc != storedCrc) {
        Log_Debug("Data store crc hash invalid (0x%08x != 0x%08x)", storedCrc, crc);
        return 0;
    }
    if (plain || !uncompressed) {
        *buffer = Copy(magic + dataAt, stored);
        *length = stored;
        return 1;
    }
    if (uncompressed > kMaxInflated) {
        Log_Debug("Data store uncompress error (%d)", Z_MEM_ERROR);
        return 0;
    }
    uint8_t* out = static_cast<uint8_t*>(Memory_Alloc((int32_t)uncompressed + 1));
    if (!Inflate(magic + dataAt, stored, out, uncompressed)) {
        Memory_Free(out, (int32_t)uncompressed + 1);
        return 0;
    }
    out[uncompressed] = 0;
    *buffer = out;
    *length = uncompressed;
    return 1;
}

int64_t Executable_ReadSkinStore(const uint8_t* range, uint32_t rangeLength, uint8_t** buffer, uint32_t* length) {
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(length);
    *buffer = nullptr;
    *length = 0;
    if (!range || rangeLength < 6) return 0;
    const uint8_t* magic = Find(range, rangeLength, kSkinMagic);
    if (!magic) return 0;
    Cursor cursor {magic + 6, (uint32_t)(range + rangeLength - magic) - 6};
    uint32_t iterations = 0, saltLength = 0, nonceLength = 0, payload = 0;
    const uint8_t *salt = nullptr, *nonce = nullptr, *input = nullptr, *cipher = nullptr, *tag = nullptr;
    if (!cursor.U32(&iterations) || !iterations || iterations > kMaxIterations) return 0;
    if (!cursor.U32(&saltLength) || !cursor.Bytes(saltLength, &salt)) return 0;
    if (!cursor.U32(&nonceLength) || !nonceLength || nonceLength > 12 || !cursor.Bytes(nonceLength, &nonce))
        return 0;
    if (!cursor.U32(&payload)) return 0;
    const uint32_t inputLength = iterations / 32;
    if (!cursor.Bytes(inputLength, &input) || !cursor.Bytes(payload, &cipher) || !cursor.Bytes(16, &tag)) return 0;

    uint8_t* password = Copy(input, inputLength);
    if (iterations >= 96)
        for (uint32_t i = 0; i + 1 < inputLength; i += 2) {
            const uint8_t first = password[i];
            password[i] = password[i + 1];
            password[i + 1] = first;
        }
    uint8_t key[32];
    const bool derived = HMACSHA1_DeriveKey(password, inputLength, salt, saltLength, iterations, key, sizeof(key)) == 0;
    Memory_CryptFill(password, (int32_t)inputLength);
    Memory_Free(password, (int32_t)inputLength + 1);
    if (!derived) return 0;

    uint8_t* plain = static_cast<uint8_t*>(Memory_AllocZero((int32_t)payload + 1));
    AESGCM* gcm = nullptr;
    AESGCM_Create(&gcm);
    uint8_t nonceCopy[12];
    memcpy(nonceCopy, nonce, nonceLength);
    const bool good = AESGCM_SetDecryptKey(gcm, key, sizeof(key)) == 1 &&
                      AESGCM_DecryptCBC(gcm, nonceCopy, nonceLength, cipher, plain, payload) == 1 &&
                      AESGCM_VerifyAuthTag(gcm, tag, 16) == 1;
    AESGCM_Release(&gcm);
    Memory_CryptFill(key, sizeof(key));
    if (!good) {
        Memory_Free(plain, (int32_t)payload + 1);
        return 0;
    }
    *buffer = plain;
    *length = payload;
    return 1;
}

namespace {

// The data store region of an open file: a PE image's certificate table, else the disk-image
// trailer's range, else the ELF section.
bool FindDataStoreRegion(Stream* stream, uint64_t* offset, uint64_t* size) {
    *offset = 0;
    *size = 0;
    if (PEFile_IsValidStream(stream)) {
        uint32_t at = 0, length = 0;
        if (!PEFile_GetDataStoreOffset(stream, &at, &length)) return false;
        *offset = at;
        *size = length;
        return true;
    }
    {
        ImageReader reader;
        if (!reader.Start(stream)) return false;
        const uint64_t fileSize = reader.Length;
        uint8_t trailer[512];
        if (fileSize >= 512 && fileSize != UINT64_MAX && reader.Read(fileSize - 512, trailer, sizeof(trailer)) &&
            memcmp(trailer, "koly", 4) == 0) {
            const uint64_t at = ImageU64(trailer + 296, true);
            const uint64_t length = ImageU64(trailer + 304, true);
            // The size field is used as 32 bits; a wider one, or a range past the end, is no region.
            if (!length || length > 0xffffffffu || at > fileSize || length > fileSize - at) return false;
            *offset = at;
            *size = length;
            return true;
        }
    }
    return ELFFile_GetDataStoreOffset(stream, offset, size) == 1;
}

// The path stored data is read from: the given one, else the running program.
bool ChoosePath(const char* path, char* chosen, int32_t capacity) {
    if (path && path[0]) {
        const size_t size = strlen(path);
        if (size >= (size_t)capacity) return false;
        memcpy(chosen, path, size + 1);
        return true;
    }
    return Platform_GetSpecialPath(PLATFORM_PATH_MODULE_PATH, chosen, capacity) == 1;
}

} // namespace

int64_t Executable_GetDataStore(const char* path, uint8_t** buffer, uint32_t* length) {
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(length);
    *buffer = nullptr;
    *length = 0;
    // Without a path the running program is read; programs here never run from a disk image.
    char chosen[1024];
    if (!ChoosePath(path, chosen, sizeof(chosen))) return 0;
    File* file = nullptr;
    Stream* stream = nullptr;
    if (!ImageOpenFile(chosen, &file, &stream)) return 0;
    uint64_t offset = 0, size = 0;
    int64_t result = 0;
    if (FindDataStoreRegion(stream, &offset, &size)) {
        if (uint8_t* region = ReadRange(stream, offset, size)) {
            result = Executable_ReadDataStore(region, (uint32_t)size, buffer, length);
            Memory_Free(region, (int32_t)size + 1);
        }
    }
    ImageCloseFile(&file);
    return result;
}

int64_t Executable_GetSkinStore(const char* path, uint8_t** buffer, uint32_t* length) {
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(length);
    *buffer = nullptr;
    *length = 0;
    char chosen[1024];
    if (!ChoosePath(path, chosen, sizeof(chosen))) return 0;
    File* file = nullptr;
    Stream* stream = nullptr;
    if (!ImageOpenFile(chosen, &file, &stream)) return 0;
    // A PE image keeps its skin store after the image's last section; an ELF program in a
    // section of its own; any other file is searched from its start.
    uint64_t offset = 0, size = 0, fileSize = 0;
    if (!File_Length(file, &fileSize)) fileSize = 0;
    if (PEFile_IsValidStream(stream)) {
        if (PEFile_GetImageSize(stream, &offset) && offset <= fileSize) size = fileSize - offset;
        if (size < 6) size = 0;
    } else if (ELFFile_IsValidStream(stream)) {
        ELFFile_GetSkinStoreOffset(stream, &offset, &size);
    } else {
        size = fileSize;
    }
    int64_t result = 0;
    if (uint8_t* range = ReadRange(stream, offset, size)) {
        result = Executable_ReadSkinStore(range, (uint32_t)size, buffer, length);
        Memory_Free(range, (int32_t)size + 1);
    }
    ImageCloseFile(&file);
    return result;
}

int64_t Executable_ReleaseDataStore(void* user, uint8_t** buffer, uint32_t* length) {
    (void)user;
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(length);
    if (*buffer) Memory_Free(*buffer, (int32_t)*length + 1);
    *buffer = nullptr;
    *length = 0;
    return 1;
}

int64_t Executable_ReleaseSkinStore(void* user, uint8_t** buffer, uint32_t* length) {
    (void)user;
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(length);
    if (*buffer) {
        Memory_CryptFill(*buffer, (int32_t)*length + 1);
        Memory_Free(*buffer, (int32_t)*length + 1);
    }
    *buffer = nullptr;
    *length = 0;
    return 1;
}
