// Decode stages of a storage request: the stored piece's header, the encrypted-piece container,
// gzip and VCDIFF. Each reads only the content the buffer holds and writes within the buffer.
#include <zlib.h>

#include <cstring>

#include "core/crypto/aes.h"
#include "core/crypto/hash.h"
#include "core/crypto/hmac.h"
#include "core/runtime/memory.h"
#include "repository/storage_request.h"
#include "repository/storage_request_internal.h"
#include "repository/vcdiff_decoder.h"

using namespace storage_request_internal;

namespace {

constexpr uint8_t kPieceSignature[4] = {0x6e, 0x2b, 0x3b, 0x61};
constexpr uint32_t kHeaderSize = 6;
constexpr uint32_t kHeaderDeltaSize = 11;
constexpr uint32_t kContainerFieldLimit = 320;
constexpr uint32_t kHashNameSize = 256;

uint32_t ReadBig(const uint8_t* p, uint32_t bytes) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < bytes; ++i) value = (value << 8) | p[i];
    return value;
}

// Reads fields front to back; any read past the end leaves it failed for good.
struct Reader {
    const uint8_t* Data;
    uint32_t Length;
    uint32_t Position = 0;
    bool Failed = false;

    const uint8_t* Take(uint32_t count) {
        if (Failed || count > Length - Position) {
            Failed = true;
            return nullptr;
        }
        const uint8_t* at = Data + Position;
        Position += count;
        return at;
    }
    uint32_t Number(uint32_t bytes) {
        const uint8_t* at = Take(bytes);
        return at ? ReadBig(at, bytes) : 0;
    }
};

bool SameBytes(const uint8_t* a, const uint8_t* b, uint32_t length) {
    uint8_t difference = 0;
    for (uint32_t i = 0; i < length; ++i) difference |= a[i] ^ b[i];
    return difference == 0;
}

// A hash record named by a counted, unterminated name; false when unknown.
bool HashByName(const uint8_t* name, uint32_t length, const HashInterface** record) {
    char text[kHashNameSize];
    if (length == 0 || length >= sizeof(text)) return false;
    memcpy(text, name, length);
    text[length] = 0;
    if (memchr(text, 0, length)) return false;
    *record = nullptr;
    return Hash_InterfaceFromName(text, record) && *record && (*record)->DigestSize <= 64;
}

struct Container {
    uint32_t Iterations;
    const uint8_t* Salt;
    uint32_t SaltLength;
    const uint8_t* IV;
    uint32_t IVLength;
    const uint8_t* Check;
    uint32_t CheckLength;
    const HashInterface* CheckHash;
    const uint8_t* CheckDigest;
    uint32_t TrailingPad;
    const uint8_t* Payload;
    uint32_t PayloadLength;
    uint32_t SignedLength; // container start to payload end
    const HashInterface* ContainerHash;
    const uint8_t* ContainerDigest;
};

// The container's fields in order; false for anything malformed.
bool ParseContainer(const uint8_t* data, uint32_t length, Container* c) {
    Reader r{data, length};
    c->Iterations = r.Number(2);
    c->SaltLength = r.Number(2);
    c->Salt = r.Take(c->SaltLength);
    c->IVLength = r.Number(2);
    // CBC needs a whole block of IV; only its first block is used.
    if (r.Failed || c->IVLength > kContainerFieldLimit || c->IVLength < AES_BLOCKSIZE) return false;
    c->IV = r.Take(c->IVLength);
    c->CheckLength = r.Number(2);
    if (r.Failed || c->CheckLength > kContainerFieldLimit || c->CheckLength % AES_BLOCKSIZE != 0) return false;
    c->Check = r.Take(c->CheckLength);
    uint32_t nameLength = r.Number(1);
    const uint8_t* name = r.Take(nameLength);
    if (r.Failed || !HashByName(name, nameLength, &c->CheckHash)) return false;
    c->CheckDigest = r.Take(c->CheckHash->DigestSize);
    c->TrailingPad = r.Number(1);
    c->PayloadLength = r.Number(4);
    if (r.Failed || c->PayloadLength % AES_BLOCKSIZE != 0 || c->PayloadLength < c->TrailingPad) return false;
    c->Payload = r.Take(c->PayloadLength);
    c->SignedLength = r.Position;
    nameLength = r.Number(1);
    name = r.Take(nameLength);
    if (r.Failed || !HashByName(name, nameLength, &c->ContainerHash)) return false;
    c->ContainerDigest = r.Take(c->ContainerHash->DigestSize);
    return !r.Failed;
}

bool DigestMatches(const HashInterface* record, const uint8_t* data, uint32_t length, const uint8_t* expected) {
    uint8_t digest[64];
    if (length > (uint32_t)INT32_MAX) return false;
    if (Hash_QuickDigest(record, data, (int32_t)length, digest, sizeof(digest)) != 1) return false;
    return SameBytes(digest, expected, record->DigestSize);
}

} // namespace

int64_t StorageRequest_HeaderRemove(StorageRequest* request) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    const uint32_t content = request->ContentLength;
    uint8_t* buffer = request->Buffer;
    if (!buffer || content > request->BufferSize || content < kHeaderSize) return 0;
    if (memcmp(buffer, kPieceSignature, sizeof(kPieceSignature)) != 0) return 0;
    const uint32_t flags = ReadBig(buffer + 4, 2);
    const uint32_t size = (flags & STORAGE_REQUEST_FLAG_VCDIFF) ? kHeaderDeltaSize : kHeaderSize;
    // A header cut short is no header: the bytes stay piece data and meet the digest check.
    if (content < size) return 0;
    request->Flags = flags;
    if (flags & STORAGE_REQUEST_FLAG_VCDIFF) {
        VCDiffDecoder_SetSourceWindowPieceIndex(request->Decoder, (int32_t)ReadBig(buffer + 6, 4));
        VCDiffDecoder_SetSourceWindowPieceCount(request->Decoder, buffer[10]);
    }
    memmove(buffer, buffer + size, content - size);
    memset(buffer + content - size, 0, size);
    request->ContentLength = content - size;
    return 1;
}

int32_t StorageRequest_AESDecrypt(StorageRequest* request, uint32_t bits, const void* password,
                                  uint32_t passwordLength) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    if (bits % AES_BLOCKSIZE != 0)
        Debug_AbortInt(__FILE__, __LINE__, "%s",
                       "Assertion failed (Bits % AES_BLOCKSIZE == 0)\nBits must be a multiple of AES_BLOCKSIZE");
    if (!(request->Flags & STORAGE_REQUEST_FLAG_AES256)) return STORAGE_REQUEST_AES_OK;
    const uint32_t content = request->ContentLength;
    if (!request->Buffer || content > request->BufferSize) return STORAGE_REQUEST_AES_BAD_CONTAINER;
    Container c{};
    if (!ParseContainer(request->Buffer, content, &c)) return STORAGE_REQUEST_AES_BAD_CONTAINER;

    uint8_t key[32];
    const uint16_t keyLength = (uint16_t)(bits / 8);
    if (keyLength > sizeof(key)) return STORAGE_REQUEST_AES_BAD_CONTAINER;
    static const char kEmpty[1] = {0};
    if (HMACSHA1_DeriveKey(password ? password : kEmpty, password ? passwordLength : 0, c.Salt ? c.Salt : request->Buffer,
                           c.SaltLength, c.Iterations, key, keyLength) != 0)
        return STORAGE_REQUEST_AES_BAD_CONTAINER;

    int32_t answer = STORAGE_REQUEST_AES_OK;
    AES* aes = nullptr;
    uint8_t iv[AES_BLOCKSIZE];
    uint8_t check[kContainerFieldLimit];
    if (!DigestMatches(c.ContainerHash, request->Buffer, c.SignedLength, c.ContainerDigest)) {
        answer = STORAGE_REQUEST_AES_BAD_DIGEST;
    } else if (!AES_Create(&aes) || !AES_SetDecryptKey(aes, key, keyLength)) {
        answer = STORAGE_REQUEST_AES_BAD_CONTAINER;
    } else {
        memcpy(iv, c.IV, sizeof(iv));
        if (c.CheckLength && !AES_DecryptCBC(aes, iv, sizeof(iv), c.Check, check, c.CheckLength))
            answer = STORAGE_REQUEST_AES_BAD_CONTAINER;
        else if (!DigestMatches(c.CheckHash, check, c.CheckLength, c.CheckDigest))
            answer = STORAGE_REQUEST_AES_BAD_PASSWORD;
        else if (!ScratchReserve(request, c.PayloadLength))
            answer = STORAGE_REQUEST_AES_BAD_CONTAINER;
        else {
            // The payload lies inside the buffer it is decrypted into; it is read from a copy.
            memcpy(request->Scratch, c.Payload, c.PayloadLength);
            memcpy(iv, c.IV, sizeof(iv));
            if (c.PayloadLength &&
                !AES_DecryptCBC(aes, iv, sizeof(iv), request->Scratch, request->Buffer, c.PayloadLength)) {
                answer = STORAGE_REQUEST_AES_BAD_CONTAINER;
            } else {
                const uint32_t plain = c.PayloadLength - c.TrailingPad;
                memset(request->Buffer + plain, 0, content - plain);
                request->ContentLength = plain;
                request->Flags &= ~(uint32_t)STORAGE_REQUEST_FLAG_AES256;
            }
        }
    }
    if (aes) AES_Delete(&aes);
    memset(key, 0, sizeof(key));
    memset(check, 0, sizeof(check));
    return answer;
}

int32_t StorageRequest_GZipInflate(StorageRequest* request) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    if (!(request->Flags & STORAGE_REQUEST_FLAG_GZIP)) return Z_OK;
    const uint32_t content = request->ContentLength;
    if (!request->Buffer || content > request->BufferSize) return Z_STREAM_ERROR;
    // Window bits 15 + 32: the zlib or gzip wrapper is recognised by its first bytes.
    if (!request->InflateReady) {
        const int made = inflateInit2(&request->Inflate, 15 + 32);
        if (made != Z_OK) return made == Z_MEM_ERROR ? Z_MEM_ERROR : Z_STREAM_ERROR;
        request->InflateReady = true;
    }
    if (!ScratchReserve(request, content)) return Z_MEM_ERROR;
    if (inflateReset(&request->Inflate) != Z_OK) return Z_STREAM_ERROR;
    memcpy(request->Scratch, request->Buffer, content);
    z_stream& z = request->Inflate;
    z.next_in = request->Scratch;
    z.avail_in = content;
    z.next_out = request->Buffer;
    z.avail_out = request->BufferSize;
    const int result = inflate(&z, Z_FINISH);
    if (result != Z_STREAM_END) {
        // The content goes back as it came, so that nothing is lost to a broken stream.
        memcpy(request->Buffer, request->Scratch, content);
        memset(request->Buffer + content, 0, request->BufferSize - content);
        return result == Z_OK ? Z_BUF_ERROR : result;
    }
    const uint32_t produced = request->BufferSize - z.avail_out;
    request->ContentLength = produced;
    request->Flags &= ~(uint32_t)STORAGE_REQUEST_FLAG_GZIP;
    return Z_OK;
}

int64_t StorageRequest_VCDiffLoad(StorageRequest* request, int32_t* sourceIndex, int32_t* sourceCount) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    ASSERT_POINTER(sourceIndex);
    ASSERT_POINTER(sourceCount);
    *sourceIndex = *sourceCount = 0;
    if (!(request->Flags & STORAGE_REQUEST_FLAG_VCDIFF)) return 1;
    const uint32_t content = request->ContentLength;
    if (!request->Buffer || content > request->BufferSize || !ScratchReserve(request, content)) return 0;
    // The delta is kept aside: the decoder writes the target into the buffer.
    memcpy(request->Scratch, request->Buffer, content);
    VCDiffDecoder_SetDeltaBuffer(request->Decoder, request->Scratch, content);
    request->DeltaLoaded = false;
    if (!VCDiffDecoder_Init(request->Decoder)) return 0;
    VCDiffDecoder_GetSourceWindowPieceIndex(request->Decoder, sourceIndex);
    VCDiffDecoder_GetSourceWindowPieceCount(request->Decoder, sourceCount);
    request->DeltaLoaded = true;
    request->DeltaLength = content;
    StorageRequest_VerboseLog(request, 1, "VCDiff DestIndex(%d) SourceIndex(%d) Count(%d)", request->IndexStart,
                              *sourceIndex, *sourceCount);
    return 1;
}

int64_t StorageRequest_VCDiffInflate(StorageRequest* request) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    if (!(request->Flags & STORAGE_REQUEST_FLAG_VCDIFF)) return 1;
    StorageRequest* delta = request->Delta;
    if (!request->DeltaLoaded || !request->Buffer || !delta || !delta->Buffer ||
        delta->ContentLength > delta->BufferSize)
        return 0;
    VCDiffDecoder_SetSourceBuffer(request->Decoder, delta->Buffer, delta->ContentLength);
    // Room for the nominal run only: a delta that would produce more is broken.
    const uint32_t capacity = request->Length < request->BufferSize ? request->Length : request->BufferSize;
    uint32_t position = 0;
    if (!VCDiffDecoder_Decode(request->Decoder, request->Buffer, capacity, &position)) {
        // The delta goes back in place of the part target written.
        const uint32_t length = request->DeltaLength < request->BufferSize ? request->DeltaLength : request->BufferSize;
        memcpy(request->Buffer, request->Scratch, length);
        memset(request->Buffer + length, 0, request->BufferSize - length);
        request->ContentLength = length;
        return 0;
    }
    request->ContentLength = position;
    request->DeltaLoaded = false;
    request->Flags &= ~(uint32_t)STORAGE_REQUEST_FLAG_VCDIFF;
    return 1;
}
