// Runs data through a cipher stream bound to RC4 in pieces of random sizes, over a base that
// takes random parts of each write, and checks the wire against one-shot encryption and the read
// side against the data; also checks AES-GCM in whole-block pieces against one call, on the
// portable and the processor's path.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/crypto/aes_gcm.h"
#include "core/crypto/crypt_stream.h"
#include "core/crypto/rc4.h"
#include "core/platform/memory_stream.h"

namespace {

struct Input {
    const uint8_t* Data;
    size_t Size;
    uint8_t Byte() {
        if (!Size) return 0;
        Size--;
        return *Data++;
    }
};

// A base that takes at most Limit bytes per write, so that writers must go on with the rest.
struct ShortBase {
    Stream Record;
    MemoryStream* Memory;
    uint32_t Limit;
};

int64_t ShortWrite(void* handle, const void* buffer, uint32_t size, uint32_t* written) {
    ShortBase* base = static_cast<ShortBase*>(handle);
    return MemoryStream_Write(base->Memory, buffer, size < base->Limit ? size : base->Limit, written);
}

int64_t ShortRead(void* handle, void* buffer, uint32_t size, uint32_t* read) {
    ShortBase* base = static_cast<ShortBase*>(handle);
    return MemoryStream_Read(base->Memory, buffer, size < base->Limit ? size : base->Limit, read);
}

std::vector<uint8_t> OneShotRc4(const uint8_t* key, uint32_t keyLength, const std::vector<uint8_t>& data) {
    RC4* rc4 = nullptr;
    RC4_Create(&rc4);
    RC4_SetKey(rc4, key, keyLength);
    std::vector<uint8_t> out(data.size());
    if (!data.empty()) RC4_Encrypt(rc4, data.data(), out.data(), (uint32_t)data.size());
    RC4_Delete(&rc4);
    return out;
}

void CheckStream(Input& in) {
    uint8_t key[32];
    const uint32_t keyLength = 1 + in.Byte() % 32;
    for (uint32_t k = 0; k < keyLength; k++) key[k] = in.Byte();
    ShortBase base{};
    MemoryStream_Create(&base.Memory);
    MemoryStream_SetAutoGrow(base.Memory, 1);
    base.Record.Handle = &base;
    base.Record.Write = ShortWrite;
    base.Record.Read = ShortRead;
    base.Limit = 1 + in.Byte() * 7;
    uint8_t splits[8];
    for (uint8_t& s : splits) s = in.Byte();
    std::vector<uint8_t> data(in.Data, in.Data + in.Size);

    CryptStream* writer = nullptr;
    CryptStream_Create(&writer);
    CryptStream_Reset(writer, &RC4_INTERFACE);
    CryptStream_SetEncryptKey(writer, key, keyLength);
    CryptStream_SetBaseStreamHandle(writer, &base.Record);
    size_t at = 0;
    for (int k = 0; at < data.size(); k++) {
        size_t n = 1 + (size_t)splits[k % 8] * (k % 3 + 1);
        if (n > data.size() - at) n = data.size() - at;
        uint32_t written = 0;
        if (CryptStream_Write(writer, data.data() + at, (uint32_t)n, &written) != 1 || written != n) abort();
        at += n;
    }
    CryptStream_Delete(&writer);
    if (MemoryStream_GetUsed(base.Memory) != (int32_t)data.size()) abort();
    const std::vector<uint8_t> expected = OneShotRc4(key, keyLength, data);
    if (!data.empty()) {
        uint8_t* wire = nullptr;
        MemoryStream_GetPointer(base.Memory, &wire);
        if (memcmp(wire, expected.data(), data.size()) != 0) abort();
        MemoryStream_ReleasePointer(base.Memory, &wire);
    }

    MemoryStream_Seek(base.Memory, 0, SEEK_ORIGIN_BEGIN);
    CryptStream* reader = nullptr;
    CryptStream_Create(&reader);
    CryptStream_Reset(reader, &RC4_INTERFACE);
    CryptStream_SetDecryptKey(reader, key, keyLength);
    CryptStream_SetBaseStreamHandle(reader, &base.Record);
    std::vector<uint8_t> back;
    for (int k = 0; back.size() < data.size(); k++) {
        uint8_t piece[2048];
        const uint32_t n = 1 + (uint32_t)splits[(k + 3) % 8] * (k % 5 + 1) % sizeof(piece);
        uint32_t read = 0;
        CryptStream_Read(reader, piece, n, &read);
        if (read == 0 || read > n) abort();
        back.insert(back.end(), piece, piece + read);
    }
    if (back != data) abort();
    CryptStream_Delete(&reader);
    MemoryStream_Delete(&base.Memory);
}

// AES-GCM in whole-block pieces equals one call, on both paths.
void CheckGcm(const uint8_t* data, size_t size) {
    if (size < 48) return;
    const uint32_t keyLength = 16 + 8 * (data[0] % 3);
    const uint32_t nonceLength = 1 + data[1] % 32;
    const uint8_t* key = data + 2;
    const uint8_t* nonce = data + 2 + 32 - nonceLength;
    const uint8_t* text = data + 34;
    const uint32_t length = (uint32_t)(size - 34);
    std::vector<uint8_t> results[3];
    for (int run = 0; run < 3; run++) {
        aes_internal::ForcePortable(run == 2);
        AESGCM* gcm = nullptr;
        AESGCM_Create(&gcm);
        AESGCM_SetKey(gcm, key, keyLength);
        AESGCM_SetAAD(gcm, text, length % 40);
        std::vector<uint8_t> out(length);
        std::vector<uint8_t> n(nonce, nonce + nonceLength);
        AESGCM_Start(gcm, n.data(), nonceLength);
        uint32_t at = 0;
        for (int k = 0; at < length; k++) {
            uint32_t piece = run == 0 ? length : 16 * (1 + text[k % length] % 12);
            if (piece > length - at) piece = length - at;
            AESGCM_Encrypt(gcm, text + at, out.data() + at, piece);
            at += piece;
        }
        uint8_t tag[16];
        AESGCM_GetAuthTag(gcm, tag, 16);
        out.insert(out.end(), tag, tag + 16);
        results[run] = out;
        AESGCM_Delete(&gcm);
    }
    aes_internal::ForcePortable(false);
    if (results[0] != results[1] || results[0] != results[2]) abort();
    // The sealed text opens under its tag, and a tag changed in one bit (chosen by the input) or
    // cut below 12 bytes does not verify.
    const uint8_t* tag = results[0].data() + length;
    for (int round = 0; round < 3; round++) {
        AESGCM* gcm = nullptr;
        AESGCM_Create(&gcm);
        AESGCM_SetKey(gcm, key, keyLength);
        AESGCM_SetAAD(gcm, text, length % 40);
        std::vector<uint8_t> n(nonce, nonce + nonceLength), plain(length);
        AESGCM_DecryptCBC(gcm, n.data(), nonceLength, results[0].data(), plain.data(), length);
        uint8_t theirs[16];
        memcpy(theirs, tag, 16);
        if (round == 1) theirs[data[1] % 16] ^= (uint8_t)(1 << (data[0] % 8));
        const uint32_t tagLength = round == 2 ? 11 : 16;
        if (AESGCM_VerifyAuthTag(gcm, theirs, tagLength) != (round == 0 ? 1 : 0)) abort();
        if (memcmp(plain.data(), text, length) != 0) abort();
        AESGCM_Delete(&gcm);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 16)) return 0;
    Input in{data, size};
    CheckStream(in);
    CheckGcm(data, size);
    return 0;
}
