#include "core/crypto/crypt_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/crypto/aes_gcm.h"
#include "core/crypto/rc4.h"
#include "core/platform/memory_stream.h"

namespace {

using Bytes = std::vector<uint8_t>;

const std::string kKey = "per-run key";

struct Pipe {
    CryptStream* C = nullptr;
    Stream* S = nullptr;
    explicit Pipe(Stream* base, bool encrypting = true) {
        EXPECT_EQ(CryptStream_Create(&C), 1);
        EXPECT_EQ(CryptStream_Reset(C, &RC4_INTERFACE), 1);
        EXPECT_EQ(encrypting ? CryptStream_SetEncryptKey(C, kKey.data(), (uint32_t)kKey.size())
                             : CryptStream_SetDecryptKey(C, kKey.data(), (uint32_t)kKey.size()),
                  1);
        CryptStream_SetBaseStreamHandle(C, base);
        CryptStream_GetStreamHandle(C, &S);
    }
    ~Pipe() { CryptStream_Delete(&C); }
};

struct Memory {
    MemoryStream* M = nullptr;
    Stream* S = nullptr;
    Memory() {
        MemoryStream_Create(&M);
        MemoryStream_SetAutoGrow(M, 1);
        MemoryStream_GetStreamHandle(M, &S);
    }
    ~Memory() { MemoryStream_Delete(&M); }
};

Bytes Rc4(const Bytes& data) {
    RC4* rc4 = nullptr;
    RC4_Create(&rc4);
    RC4_SetKey(rc4, kKey.data(), (uint32_t)kKey.size());
    Bytes out(data.size());
    RC4_Encrypt(rc4, data.data(), out.data(), (uint32_t)data.size());
    RC4_Delete(&rc4);
    return out;
}

TEST(CryptStreamTest, RoundTripThroughTwoStreams) {
    Memory wire;
    Pipe writer(wire.S), reader(wire.S, false);
    const Bytes text = {'a', 'b', 'c'};
    uint32_t n = 0;
    EXPECT_EQ(Stream_Write(writer.S, text.data(), 3, &n), 1);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(Stream_Seek(wire.S, 0, SEEK_ORIGIN_BEGIN), 1);
    Bytes back(3);
    EXPECT_EQ(Stream_Read(reader.S, back.data(), 3, &n), 1);
    EXPECT_EQ(back, text);
}

// The caller's data stays as it was, the base holds the keystream XOR, and pieces of any size
// continue one keystream.
TEST(CryptStreamTest, WritesEncipherIntoTheBase) {
    Memory wire;
    Pipe writer(wire.S);
    Bytes text(100000);
    for (size_t i = 0; i < text.size(); i++) text[i] = (uint8_t)(i * 31);
    const Bytes copy = text;
    uint32_t n = 0;
    EXPECT_EQ(CryptStream_Write(writer.C, text.data(), 1, &n), 1);
    EXPECT_EQ(CryptStream_Write(writer.C, text.data() + 1, 99999, &n), 1);
    EXPECT_EQ(n, 99999u);
    EXPECT_EQ(text, copy);
    uint8_t* p = nullptr;
    MemoryStream_GetPointer(wire.M, &p);
    EXPECT_EQ(Bytes(p, p + text.size()), Rc4(text));
    MemoryStream_ReleasePointer(wire.M, &p);
}

// A base that takes three bytes per call still receives every enciphered byte of one write:
// enciphered bytes cannot be handed back for the caller to write again.
TEST(CryptStreamTest, ShortBaseWritesGetAllBytes) {
    Memory wire;
    Stream shortBase = *wire.S;
    shortBase.Write = [](void* handle, const void* buffer, uint32_t size, uint32_t* written) {
        return MemoryStream_Write(static_cast<MemoryStream*>(handle), buffer, size < 3 ? size : 3, written);
    };
    Pipe writer(&shortBase);
    const Bytes text = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    uint32_t n = 0;
    EXPECT_EQ(CryptStream_Write(writer.C, text.data(), 10, &n), 1);
    EXPECT_EQ(n, 10u);
    uint8_t* p = nullptr;
    MemoryStream_GetPointer(wire.M, &p);
    EXPECT_EQ(Bytes(p, p + 10), Rc4(text));
    MemoryStream_ReleasePointer(wire.M, &p);
}

TEST(CryptStreamTest, ReadOnlyBaseTakesNoWrite) {
    Memory wire;
    Stream readOnly = *wire.S;
    readOnly.Write = nullptr;
    Pipe writer(&readOnly);
    uint32_t n = 7;
    EXPECT_EQ(CryptStream_Write(writer.C, "abc", 3, &n), 0);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(CryptStream_Flush(writer.C), 0);
    EXPECT_EQ(MemoryStream_GetUsed(wire.M), 0);
}

// Seeking moves the base only: bytes read again meet the next keystream bytes.
TEST(CryptStreamTest, SeekDoesNotRewindTheKeystream) {
    Memory wire;
    const Bytes plain = {1, 2, 3, 4};
    const Bytes sealed = Rc4(Bytes{1, 2, 3, 4, 0, 0, 0, 0});
    uint32_t n = 0;
    MemoryStream_Write(wire.M, sealed.data(), 4, &n);
    MemoryStream_Seek(wire.M, 0, SEEK_ORIGIN_BEGIN);
    Pipe reader(wire.S, false);
    Bytes got(4);
    EXPECT_EQ(CryptStream_Read(reader.C, got.data(), 4, &n), 1);
    EXPECT_EQ(got, plain);
    EXPECT_EQ(CryptStream_Seek(reader.C, 0, SEEK_ORIGIN_BEGIN), 1);
    uint64_t where = 9;
    EXPECT_EQ(CryptStream_Tell(reader.C, &where), 1);
    EXPECT_EQ(where, 0u);
    EXPECT_EQ(CryptStream_Read(reader.C, got.data(), 4, &n), 1);
    // sealed[k] ^ keystream[4 + k] = sealed[k] ^ sealed[4 + k]
    for (int k = 0; k < 4; k++) EXPECT_EQ(got[k], (uint8_t)(sealed[k] ^ sealed[4 + k])) << k;
    uint64_t length = 0;
    EXPECT_EQ(CryptStream_Length(reader.C, &length), 1);
    EXPECT_EQ(length, 4u);
}

// The stream has nowhere to carry a tag: binding an authenticated mode is refused and leaves the
// stream on its cipher.
TEST(CryptStreamTest, AuthenticatedModeIsRefused) {
    Memory wire;
    Pipe writer(wire.S);
    EXPECT_EQ(CryptStream_Reset(writer.C, &AESGCM_INTERFACE), 0);
    uint32_t n = 0;
    const Bytes text = {1, 2, 3};
    EXPECT_EQ(CryptStream_Write(writer.C, text.data(), 3, &n), 1);
    uint8_t* p = nullptr;
    MemoryStream_GetPointer(wire.M, &p);
    EXPECT_EQ(Bytes(p, p + 3), Rc4(text));
    MemoryStream_ReleasePointer(wire.M, &p);
}

// A read whose decryption fails hands back nothing: the ciphertext in the caller's buffer is
// cleared, not passed off as plain text.
TEST(CryptStreamTest, FailedDecryptionClearsTheBuffer) {
    Memory wire;
    const Bytes sealed = {0x11, 0x22, 0x33, 0x44};
    uint32_t n = 0;
    MemoryStream_Write(wire.M, sealed.data(), 4, &n);
    MemoryStream_Seek(wire.M, 0, SEEK_ORIGIN_BEGIN);
    CryptStream* c = nullptr;
    CryptStream_Create(&c);
    CryptStream_Reset(c, &RC4_INTERFACE); // no key: RC4 refuses to run
    CryptStream_SetBaseStreamHandle(c, wire.S);
    Bytes got(4, 0xEE);
    n = 9;
    EXPECT_EQ(CryptStream_Read(c, got.data(), 4, &n), 0);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(got, Bytes(4, 0));
    CryptStream_Delete(&c);
}

} // namespace
