// The TLS client connection: its object, the record layer (framing, protection, sequence numbers,
// alerts) and the calls through which the caller pumps bytes between the socket and the object.
#include "core/net/tls1.h"

#include <cstring>

#include "core/crypto/aes_gcm.h"
#include "core/linux/platform.h"
#include "core/net/tls1_internal.h"
#include "core/runtime/class_family.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/web/web_get.h"

namespace {

// A record is built with its plaintext at this offset of the work buffer, so that any explicit
// IV or nonce and the header fit in front of it and the whole record leaves in one write.
constexpr uint32_t kPlainOffset = TLS1_RECORD_HEADER + 16;
constexpr uint32_t kGcmExplicit = 8;
constexpr uint32_t kGcmTag = 16;
constexpr uint32_t kMacMax = 64;
// Room for the state of any digest run on the stack to even out the MAC check's work.
constexpr uint32_t kDummyDigestState = 1024;

int64_t DeleteHandle(void** handle) {
    return TLS1_Delete(reinterpret_cast<TLS1**>(handle));
}

void PreparePrint(TLS1* tls) {
    ClassPrint_Prepare(&tls->Print, tls, "TLS1", TLS1_PrintInternal);
}

uint32_t LoadAtomic(volatile uint32_t* value) {
    return __atomic_load_n(value, __ATOMIC_SEQ_CST);
}

void StoreAtomic(volatile uint32_t* value, uint32_t wanted) {
    uint32_t seen = LoadAtomic(value);
    for (;;) {
        const uint32_t was = Platform_CAS(value, wanted, seen);
        if (was == seen) return;
        seen = was;
    }
}

void Increment64(uint8_t counter[8]) {
    for (int i = 7; i >= 0; i--)
        if (++counter[i] != 0) break;
}

void PutLength(uint8_t* at, uint32_t length) {
    at[0] = (uint8_t)(length >> 8);
    at[1] = (uint8_t)length;
}

bool IsGcm(const TLS1CipherInfo* info) {
    return info->CryptInterface == &AESGCM_INTERFACE;
}

// All ones when a < b, else zero; no branch on the values.
uint32_t MaskLess(uint32_t a, uint32_t b) {
    return 0u - (uint32_t)(((uint64_t)a - (uint64_t)b) >> 63);
}

uint32_t MaskEqual(uint32_t a, uint32_t b) {
    return 0u - (uint32_t)(((uint64_t)(a ^ b) - 1) >> 63);
}

// 1 when the two runs agree, taking the same time wherever they differ.
uint32_t SameBytes(const uint8_t* a, const uint8_t* b, uint32_t length) {
    uint8_t difference = 0;
    for (uint32_t i = 0; i < length; i++) difference |= (uint8_t)(a[i] ^ b[i]);
    return MaskEqual(difference, 0) & 1;
}

// Hashes length bytes into a throw-away state, so that a record whose padding was short (or bad)
// costs the MAC check about as much digest work as one with a long padding.
void DummyDigest(const HashInterface* record, const uint8_t* data, uint32_t length) {
    alignas(16) uint8_t state[kDummyDigestState];
    if (!record->SizeOf || !record->Stack || record->SizeOf() > sizeof(state)) return;
    record->Stack(state);
    if (length) record->Process(state, data, length);
    if (record->Unstack) record->Unstack(state);
}

const char* AlertName(uint8_t description) {
    switch (description) {
    case 0:
        return "Close Notify";
    case 10:
        return "Unexpected Message";
    case 20:
        return "Bad Record MAC";
    case 40:
        return "Handshake Failure";
    case 42:
        return "Bad Certificate";
    case 47:
        return "Illegal Parameter";
    case 50:
        return "Decode Error";
    case 51:
        return "Decrypt Error";
    case 70:
        return "Invalid Version";
    case 100:
        return "No Renegotiation";
    default:
        return "Unknown";
    }
}

// The body of an AES-GCM record at start: the next explicit nonce, the ciphertext of data
// (encrypted straight from the caller's bytes) and the tag.
bool SealGcm(TLS1* tls, uint8_t type, uint8_t minor, const uint8_t* data, uint32_t length, uint8_t* start) {
    Increment64(tls->WriteIV + 4);
    memcpy(start, tls->WriteIV + 4, kGcmExplicit);
    uint8_t aad[13];
    TLS1_PacketAdditionalData(tls->WriteSequence, type, 3, minor, length, aad);
    uint8_t* cipher = start + kGcmExplicit;
    return CryptSymmetric_SetAAD(tls->WriteCipher, aad, sizeof(aad)) == 1 &&
           CryptSymmetric_EncryptCBC(tls->WriteCipher, tls->WriteIV, 12, data, cipher, length) == 1 &&
           CryptSymmetric_GetAuthTag(tls->WriteCipher, cipher + length, kGcmTag) == 1;
}

// An AES-GCM record built in place at the end of the outgoing side, saving a copy of every
// record sent. The side's lock keeps its reader away until the record is whole. 1 when queued,
// 0 on failure, -1 when the side's buffer is held elsewhere and cannot grow (build it apart).
int32_t QueueGcmInPlace(TLS1* tls, uint8_t type, uint8_t minor, const uint8_t* data, uint32_t length) {
    MemoryStream* side = nullptr;
    DuplexStream_GetWriteMemoryStreamHandle(tls->Stream, &side);
    const int32_t total = (int32_t)(TLS1_RECORD_HEADER + kGcmExplicit + length + kGcmTag);
    MemoryStream_Lock(side);
    const int32_t used = MemoryStream_GetUsed(side);
    uint8_t* out = nullptr;
    if (MemoryStream_GetSize(side) - used >= total || MemoryStream_Size(side, used + total, 1, 0) == 1)
        MemoryStream_GetAvailablePointer(side, &out);
    int32_t result = -1;
    if (out) {
        out[0] = type;
        out[1] = 3;
        out[2] = minor;
        PutLength(out + 3, (uint32_t)total - TLS1_RECORD_HEADER);
        const bool sealed = SealGcm(tls, type, minor, data, length, out + TLS1_RECORD_HEADER);
        MemoryStream_ReleasePointer(side, &out);
        result = sealed && MemoryStream_Claim(side, total) == 1 ? 1 : 0;
        if (result == 1) Increment64(tls->WriteSequence);
    }
    MemoryStream_Unlock(side);
    return result;
}

// Encrypts the record whose plaintext is data (possibly already at the plaintext offset of the
// work buffer) and answers where its body starts and how long it is.
bool Protect(TLS1* tls, uint8_t type, uint8_t minor, const uint8_t* data, uint32_t length, uint8_t** body,
             uint32_t* bodyLength) {
    const TLS1CipherInfo* info = tls->CipherInfo;
    if (!info) return false;
    uint8_t* plain = tls->WorkBuffer + kPlainOffset;
    if (IsGcm(info)) {
        uint8_t* start = plain - kGcmExplicit;
        if (!SealGcm(tls, type, minor, data, length, start)) return false;
        *body = start;
        *bodyLength = kGcmExplicit + length + kGcmTag;
        return true;
    }
    if (data != plain && length) memcpy(plain, data, length);
    uint8_t header[TLS1_RECORD_HEADER] = {type, 3, minor, 0, 0};
    PutLength(header + 3, length);
    if (TLS1_PacketHMACDigest(tls, tls->WriteMAC, tls->MACClient, tls->WriteSequence, header, plain, length,
                              plain + length) != 1)
        return false;
    uint32_t n = length + info->HashInterface->DigestSize;
    const uint32_t blockSize = info->PaddingBlockSize;
    if (blockSize == 0) {
        if (CryptSymmetric_Encrypt(tls->WriteCipher, plain, plain, n) != 1) return false;
        *body = plain;
        *bodyLength = n;
        return true;
    }
    const uint32_t pad = blockSize - n % blockSize;
    memset(plain + n, (int)(pad - 1), pad);
    n += pad;
    if (tls->ActiveVersion < TLS1_VERSION_1_1) {
        // TLS 1.0: the IV is the last ciphertext block of the previous record.
        if (CryptSymmetric_EncryptCBC(tls->WriteCipher, tls->WriteIV, 16, plain, plain, n) != 1) return false;
        *body = plain;
        *bodyLength = n;
        return true;
    }
    uint8_t* start = plain - 16;
    Platform_CryptFill(tls->WriteIV, 16);
    memcpy(start, tls->WriteIV, 16);
    if (CryptSymmetric_EncryptCBC(tls->WriteCipher, tls->WriteIV, 16, plain, plain, n) != 1) return false;
    *body = start;
    *bodyLength = 16 + n;
    return true;
}

// Checks the MAC of the decrypted content (its MAC right behind it) against the one we compute;
// good is 1 only when the padding was right.
uint32_t CheckMac(TLS1* tls, const uint8_t* plain, uint32_t contentLength, uint32_t good, uint32_t evenOut) {
    const uint32_t macSize = tls->CipherInfo->HashInterface->DigestSize;
    PutLength(tls->RecordHeader + 3, contentLength);
    uint8_t computed[kMacMax];
    if (TLS1_PacketHMACDigest(tls, tls->ReadMAC, tls->MACServer, tls->ReadSequence, tls->RecordHeader,
                              plain, contentLength, computed) != 1)
        return 0;
    DummyDigest(tls->CipherInfo->HashInterface, plain, evenOut);
    return SameBytes(computed, plain + contentLength, macSize) & good;
}

// Removes the protection of one record body into out (room for the whole body). 0, or the alert
// to fail with.
uint32_t Unprotect(TLS1* tls, const uint8_t* body, uint32_t length, uint8_t* out, uint32_t* contentLength) {
    *contentLength = 0;
    if (!(tls->Flags & TLS1_FLAG_READ_PROTECTED)) {
        memcpy(out, body, length);
        *contentLength = length;
        return 0;
    }
    const TLS1CipherInfo* info = tls->CipherInfo;
    if (!info) return TLS1_ALERT_DECODE_ERROR;
    if (IsGcm(info)) {
        const uint32_t least = kGcmExplicit + kGcmTag;
        if (length < least) {
            TLS1_Print(tls, "Malformed AEAD encrypted data. Unexpected size (%d < %d)", (int32_t)length,
                       (int32_t)least);
            TLS1_Print(tls, "TLS1 decrypt failed");
            return TLS1_ALERT_DECODE_ERROR;
        }
        const uint32_t plainLength = length - least;
        memcpy(tls->ReadIV + 4, body, kGcmExplicit);
        uint8_t aad[13];
        TLS1_PacketAdditionalData(tls->ReadSequence, tls->RecordHeader[0], tls->RecordHeader[1],
                                  tls->RecordHeader[2], plainLength, aad);
        uint8_t tag[kGcmTag];
        if (CryptSymmetric_SetAAD(tls->ReadCipher, aad, sizeof(aad)) != 1 ||
            CryptSymmetric_DecryptCBC(tls->ReadCipher, tls->ReadIV, 12, body + kGcmExplicit, out, plainLength) !=
                1 ||
            CryptSymmetric_GetAuthTag(tls->ReadCipher, tag, kGcmTag) != 1) {
            TLS1_Print(tls, "TLS1 decrypt failed");
            return TLS1_ALERT_DECODE_ERROR;
        }
        if (!SameBytes(tag, body + length - kGcmTag, kGcmTag)) {
            TLS1_Print(tls, "TLS1 failed hmac digest");
            return TLS1_ALERT_BAD_RECORD_MAC;
        }
        *contentLength = plainLength;
        Increment64(tls->ReadSequence);
        return 0;
    }

    const uint32_t macSize = info->HashInterface->DigestSize;
    const uint32_t blockSize = info->PaddingBlockSize;
    uint32_t ok = 0;
    if (blockSize == 0) {
        if (CryptSymmetric_Decrypt(tls->ReadCipher, body, out, length) != 1) {
            TLS1_Print(tls, "TLS1 decrypt failed");
            return TLS1_ALERT_DECODE_ERROR;
        }
        if (length >= macSize) {
            *contentLength = length - macSize;
            ok = CheckMac(tls, out, *contentLength, 1, 0);
        }
    } else {
        const bool explicitIV = tls->ActiveVersion >= TLS1_VERSION_1_1;
        const uint32_t skip = explicitIV ? blockSize : 0;
        if (length % blockSize != 0 || length < skip + blockSize) {
            TLS1_Print(tls, "TLS1 decrypt failed");
            return TLS1_ALERT_DECODE_ERROR;
        }
        if (explicitIV) memcpy(tls->ReadIV, body, blockSize);
        const uint32_t n = length - skip;
        if (CryptSymmetric_DecryptCBC(tls->ReadCipher, tls->ReadIV, 16, body + skip, out, n) != 1) {
            TLS1_Print(tls, "TLS1 decrypt failed");
            return TLS1_ALERT_DECODE_ERROR;
        }
        if (n >= macSize + 1) {
            // Padding: the last byte p and the p bytes before it must all be p, with room for the
            // MAC in front. Every candidate byte is looked at whatever p is, and the verdict is a
            // mask, so the time taken tells nothing about where the padding went wrong.
            const uint8_t* plain = out;
            const uint32_t pad = plain[n - 1];
            uint32_t good = ~MaskLess(n, macSize + 1 + pad);
            const uint32_t scan = n - 1 < 255 ? n - 1 : 255;
            for (uint32_t i = 1; i <= scan; i++) {
                const uint32_t inPadding = ~MaskLess(pad, i);
                good &= ~inPadding | MaskEqual(plain[n - 1 - i], pad);
            }
            const uint32_t longest = n - macSize - 1;
            const uint32_t content = (longest - pad) & good;
            *contentLength = content;
            ok = CheckMac(tls, out, content, good & 1, longest - content);
        }
    }
    if (!ok) {
        TLS1_Print(tls, "TLS1 failed hmac digest");
        return TLS1_ALERT_BAD_RECORD_MAC;
    }
    Increment64(tls->ReadSequence);
    return 0;
}

// Walks the received-bytes buffer in place; what was consumed is dropped in one go.
struct ReceivedCursor {
    MemoryStream* Stream = nullptr;
    uint8_t* Base = nullptr;
    uint32_t Used = 0;
    uint32_t Offset = 0;

    void Pin() {
        Base = nullptr;
        Used = 0;
        Offset = 0;
        if (MemoryStream_GetPointer(Stream, &Base) == 1) Used = (uint32_t)MemoryStream_GetUsed(Stream);
    }
    void Flush() {
        if (Base) MemoryStream_ReleasePointer(Stream, &Base);
        if (Offset) MemoryStream_DiscardBegin(Stream, (int32_t)Offset);
        Base = nullptr;
        Used = 0;
        Offset = 0;
    }
};

// Application data under protection is decrypted straight into the read side of the duplex
// stream, past what it holds, and becomes readable only once it checked out. The side's lock keeps
// its reader away meanwhile. 0, or the alert to fail with.
uint32_t ReadApplicationData(TLS1* tls, const uint8_t* body, uint32_t length) {
    MemoryStream* side = nullptr;
    DuplexStream_GetReadMemoryStreamHandle(tls->Stream, &side);
    MemoryStream_Lock(side);
    const int32_t used = MemoryStream_GetUsed(side);
    uint8_t* out = nullptr;
    if (MemoryStream_GetSize(side) - used >= (int32_t)length ||
        MemoryStream_Size(side, used + (int32_t)length, 1, 0) == 1)
        MemoryStream_GetAvailablePointer(side, &out);
    uint32_t code;
    uint32_t contentLength = 0;
    if (out) {
        code = Unprotect(tls, body, length, out, &contentLength);
        MemoryStream_ReleasePointer(side, &out);
        if (code == 0 && MemoryStream_Claim(side, (int32_t)contentLength) != 1) code = TLS1_ALERT_DECODE_ERROR;
    } else {
        // Someone holds the side's buffer and it cannot grow: go through our own.
        code = Unprotect(tls, body, length, tls->ReadBuffer, &contentLength);
        if (code == 0 && contentLength && DuplexStream_ReadPut(tls->Stream, tls->ReadBuffer, contentLength) != 1)
            code = TLS1_ALERT_DECODE_ERROR;
    }
    MemoryStream_Unlock(side);
    return code;
}

uint32_t Dispatch(TLS1* tls, uint32_t length) {
    const uint8_t* content = tls->ReadBuffer;
    switch (tls->RecordHeader[0]) {
    case TLS1_CONTENT_CHANGE_CIPHER_SPEC: {
        // Only where the server's Finished is due, after our own flight (so the master secret
        // exists) and between whole handshake messages; anything else would switch to keys
        // that were never agreed.
        const TLS1HandshakeContext* context = tls->HandshakeContext;
        if (tls->ExpectedHandshakeType != TLS1_HS_FINISHED || !context || context->PendingLength != 0 ||
            length != 1 || content[0] != 1)
            return TLS1_ALERT_UNEXPECTED_MESSAGE;
        tls->Flags |= TLS1_FLAG_READ_PROTECTED;
        if (TLS1_SetKeyBlock(tls, 0) != 1) return TLS1_ALERT_HANDSHAKE_FAILURE;
        memset(tls->ReadSequence, 0, sizeof(tls->ReadSequence));
        return 0;
    }
    case TLS1_CONTENT_ALERT:
        if (length < 2) return TLS1_ALERT_DECODE_ERROR;
        if (content[0] == 1 && content[1] == 0) {
            if (!(tls->Flags & TLS1_FLAG_CLOSE_NOTIFY_SENT)) TLS1_AlertSend(tls);
            return 0;
        }
        TLS1_AlertDisplay(tls, content[0], content[1]);
        // The description is the error; a fatal close_notify still ends the connection.
        TLS1_Fail(tls, content[1]);
        return 0xFFFFFFFF;
    case TLS1_CONTENT_HANDSHAKE:
        if (!tls->HandshakeContext) return TLS1_ALERT_NO_RENEGOTIATION;
        if (TLS1_HandshakeRead(tls, content, length) != 1) {
            // Every failed handshake names an alert: a caller that waits for one must not wait
            // for its time-out instead.
            if (LoadAtomic(&tls->LastError) == 0) StoreAtomic(&tls->LastError, TLS1_ALERT_HANDSHAKE_FAILURE);
            TLS1_Fail(tls, 0);
            return 0xFFFFFFFF;
        }
        return 0;
    case TLS1_CONTENT_APPLICATION_DATA:
        // Protected data went to the reader already (ReadApplicationData); plaintext that nobody
        // vouched for never reaches the caller.
        return TLS1_ALERT_UNEXPECTED_MESSAGE;
    default:
        return TLS1_ALERT_UNEXPECTED_MESSAGE;
    }
}

} // namespace

// ---- Lifecycle -------------------------------------------------------------------------------

int64_t TLS1_Create(TLS1** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* tls = static_cast<TLS1*>(Memory_AllocZero(sizeof(TLS1)));
    tls->Header.ClassId = TLS1_CLASS_ID;
    tls->Header.RefCount = 1;
    tls->Header.Delete = DeleteHandle;
    TLS1_HandshakeContextCreate(tls);
    MemoryStream_Create(&tls->Received);
    MemoryStream_SetAutoGrow(tls->Received, 1);
    MemoryStream_SetMaxCapacity(tls->Received, TLS1_RECEIVE_BUFFER_MAX);
    DuplexStream_Create(&tls->Stream);
    HMAC_Create(&tls->ReadMAC);
    HMAC_Create(&tls->WriteMAC);
    CryptSymmetric_Create(&tls->WriteCipher);
    CryptSymmetric_Create(&tls->ReadCipher);
    tls->WorkBuffer = static_cast<uint8_t*>(Memory_AllocZero(TLS1_RECORD_BUFFER));
    tls->ReadBuffer = static_cast<uint8_t*>(Memory_AllocZero(TLS1_RECORD_BUFFER));
    tls->ActiveVersion = TLS1_Version_Max;
    tls->RecordVersion = TLS1_Version_Max < TLS1_VERSION_1_2 ? TLS1_Version_Max : (uint32_t)TLS1_VERSION_1_2;
    tls->BytesWanted = TLS1_RECORD_HEADER;
    tls->Flags = TLS1_FLAG_WANT_HEADER | TLS1_FLAG_CLIENT;
    CertStoreInterface* store = WebGet_CertStoreGetDefaultHandle();
    TLS1_SetCertStoreHandle(tls, store);
    if (store) CertStoreInterface_Release(&store);
    *handle = tls;
    return 1;
}

int64_t TLS1_Delete(TLS1** handle) {
    ASSERT_POINTER(handle);
    TLS1* tls = *handle;
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    if (tls->HandshakeContext) TLS1_HandshakeContextDelete(tls);
    StoreAtomic(&tls->Connected, 0);
    MemoryStream_Release(&tls->Received);
    DuplexStream_Release(&tls->Stream);
    HMAC_Release(&tls->ReadMAC);
    HMAC_Release(&tls->WriteMAC);
    CryptSymmetric_Release(&tls->WriteCipher);
    CryptSymmetric_Release(&tls->ReadCipher);
    if (tls->ECDHEHandle) ECDHE_Release(&tls->ECDHEHandle);
    if (tls->CertStore) CertStoreInterface_Release(&tls->CertStore);
    // Plaintext and keys do not outlive the connection in freed memory.
    memset(tls->WorkBuffer, 0, TLS1_RECORD_BUFFER);
    memset(tls->ReadBuffer, 0, TLS1_RECORD_BUFFER);
    Memory_Free(tls->WorkBuffer, TLS1_RECORD_BUFFER);
    Memory_Free(tls->ReadBuffer, TLS1_RECORD_BUFFER);
    memset(tls->MACClient, 0, sizeof(tls->MACClient));
    memset(tls->MACServer, 0, sizeof(tls->MACServer));
    tls->Header.ClassId = 0;
    Memory_Free(tls, sizeof(TLS1));
    *handle = nullptr;
    return 1;
}

CLASS_BASICS(TLS1, TLS1, TLS1_CLASS_ID)

int64_t TLS1_SetCertStoreHandle(TLS1* tls, CertStoreInterface* store) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    CertStoreInterface* added = store ? CertStoreInterface_AddRef(store) : nullptr;
    if (tls->CertStore) CertStoreInterface_Release(&tls->CertStore);
    tls->CertStore = added;
    return 1;
}

int64_t TLS1_Connect(TLS1* tls, const char* host, uint32_t* error) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    ASSERT_POINTER(error);
    *error = 0;
    // A server's HelloRequest on an established connection: the new hello travels under the
    // current keys and version, and records already queued or received belong to the running
    // session, so nothing buffered is dropped and the sequence numbers go on.
    const bool renegotiation = LoadAtomic(&tls->Connected) && LoadAtomic(&tls->HandshakeComplete);
    tls->Renegotiating = renegotiation ? 1 : 0;
    if (!renegotiation) {
        // A new connection owes nothing to the last one's Finished messages.
        tls->SecureRenegotiation = 0;
        memset(tls->ClientVerifyData, 0, sizeof(tls->ClientVerifyData));
        memset(tls->ServerVerifyData, 0, sizeof(tls->ServerVerifyData));
    }
    if (renegotiation) {
        tls->Flags = (tls->Flags & (TLS1_FLAG_WRITE_PROTECTED | TLS1_FLAG_READ_PROTECTED | TLS1_FLAG_WANT_HEADER)) |
                     TLS1_FLAG_CLIENT;
    } else {
        tls->Flags = TLS1_FLAG_WANT_HEADER | TLS1_FLAG_CLIENT;
        tls->BytesWanted = TLS1_RECORD_HEADER;
        MemoryStream_DiscardAll(tls->Received);
        DuplexStream_Reset(tls->Stream);
        memset(tls->ReadSequence, 0, sizeof(tls->ReadSequence));
        memset(tls->WriteSequence, 0, sizeof(tls->WriteSequence));
        tls->ExpectedHandshakeType = TLS1_HS_CLIENT_HELLO;
    }
    StoreAtomic(&tls->Connected, 1);
    StoreAtomic(&tls->LastError, 0);
    StoreAtomic(&tls->HandshakeComplete, 0);
    // Records keep the negotiated version's protection until the next ChangeCipherSpec.
    if (!renegotiation) tls->ActiveVersion = TLS1_Version_Max;
    TLS1_HandshakeReset(tls);
    if (TLS1_ClientHelloQueue(tls, host ? host : "", renegotiation ? 1 : 0) != 1) {
        *error = TLS1_ALERT_HANDSHAKE_FAILURE;
        return 0;
    }
    return 1;
}

int64_t TLS1_Close(TLS1* tls) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    MemoryStream_DiscardAll(tls->Received);
    DuplexStream_Reset(tls->Stream);
    StoreAtomic(&tls->HandshakeComplete, 0);
    StoreAtomic(&tls->Connected, 0);
    tls->RecordVersion = TLS1_Version_Max < TLS1_VERSION_1_2 ? TLS1_Version_Max : (uint32_t)TLS1_VERSION_1_2;
    return 1;
}

int64_t TLS1_IsConnected(TLS1* tls) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    return LoadAtomic(&tls->Connected) ? 1 : 0;
}

int64_t TLS1_IsHandshakeComplete(TLS1* tls) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    return LoadAtomic(&tls->HandshakeComplete) ? 1 : 0;
}

int64_t TLS1_GetLastError(TLS1* tls, uint32_t* code) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    ASSERT_POINTER(code);
    *code = LoadAtomic(&tls->LastError);
    return 1;
}

int64_t TLS1_ClearLastError(TLS1* tls) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    StoreAtomic(&tls->LastError, 0);
    tls->Flags &= ~TLS1_FLAG_FAILED;
    return 1;
}

int64_t TLS1_Fail(TLS1* tls, uint32_t code) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    if (code) StoreAtomic(&tls->LastError, code);
    tls->Flags |= TLS1_FLAG_FAILED;
    return 0;
}

// ---- Pumping ---------------------------------------------------------------------------------

int64_t TLS1_ReadPut(TLS1* tls, const void* bytes, uint32_t count) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    if (count == 0) return 1;
    ASSERT_POINTER(bytes);
    uint32_t written = 0;
    MemoryStream_Put(tls->Received, bytes, count, &written);
    if (written == count) return 1;
    // All or nothing: a part of a record would leave the stream out of step.
    MemoryStream_DiscardEnd(tls->Received, (int32_t)written);
    return 0;
}

int64_t TLS1_ReadPackets(TLS1* tls) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    if (LoadAtomic(&tls->LastError) != 0 || (tls->Flags & TLS1_FLAG_FAILED)) {
        MemoryStream_DiscardAll(tls->Received);
        return 0;
    }
    if ((tls->Flags & TLS1_FLAG_CLOSE_NOTIFY_SENT) && MemoryStream_GetUsed(tls->Received) > 0) {
        MemoryStream_DiscardAll(tls->Received);
        return TLS1_Fail(tls, TLS1_ALERT_UNEXPECTED_MESSAGE);
    }
    ReceivedCursor cursor;
    cursor.Stream = tls->Received;
    cursor.Pin();
    uint32_t code = 0;
    for (;;) {
        const uint32_t wanted = tls->BytesWanted;
        if (wanted == 0) break;
        if (wanted >= TLS1_RECORD_BUFFER) {
            TLS1_Print(tls, "SSL read overflow");
            code = TLS1_ALERT_HANDSHAKE_FAILURE;
            break;
        }
        if (cursor.Used - cursor.Offset < wanted) break;
        int32_t room = 0;
        DuplexStream_ReadGetBufferLeft(tls->Stream, &room);
        if (room < (int32_t)wanted) break;
        const uint8_t* bytes = cursor.Base + cursor.Offset;
        cursor.Offset += wanted;

        if (tls->Flags & TLS1_FLAG_WANT_HEADER) {
            if ((bytes[0] & 0x80) && bytes[2] == 1) {
                TLS1_Print(tls, "No SSL v23 handshaking allowed");
                code = TLS1_ALERT_HANDSHAKE_FAILURE;
                break;
            }
            const uint32_t length = (uint32_t)bytes[3] << 8 | bytes[4];
            if (length < 1 || length > TLS1_RECORD_BODY_MAX) {
                TLS1_Print(tls, "Invalid SSL message");
                code = TLS1_ALERT_HANDSHAKE_FAILURE;
                break;
            }
            memcpy(tls->RecordHeader, bytes, TLS1_RECORD_HEADER);
            tls->BytesWanted = length;
            tls->Flags &= ~TLS1_FLAG_WANT_HEADER;
            continue;
        }

        tls->Flags |= TLS1_FLAG_WANT_HEADER;
        tls->BytesWanted = TLS1_RECORD_HEADER;
        if (tls->RecordHeader[0] == TLS1_CONTENT_APPLICATION_DATA && (tls->Flags & TLS1_FLAG_READ_PROTECTED)) {
            code = ReadApplicationData(tls, bytes, wanted);
            if (code) break;
            continue;
        }
        uint32_t contentLength = 0;
        code = Unprotect(tls, bytes, wanted, tls->ReadBuffer, &contentLength);
        if (code) break;
        // Anything but application data may reset or reshape the connection: let go of the
        // received bytes first and look again afterwards.
        const bool data = tls->RecordHeader[0] == TLS1_CONTENT_APPLICATION_DATA;
        if (!data) cursor.Flush();
        code = Dispatch(tls, contentLength);
        if (code) break;
        if (!data) cursor.Pin();
    }
    cursor.Flush();
    if (code == 0) return 1;
    MemoryStream_DiscardAll(tls->Received);
    // 0xFFFFFFFF: the failure is recorded already.
    return code == 0xFFFFFFFF ? 0 : TLS1_Fail(tls, code);
}

int64_t TLS1_ReadGetBufferLeft(TLS1* tls, int32_t* count) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    ASSERT_POINTER(count);
    *count = 0;
    int32_t room = 0;
    DuplexStream_ReadGetBufferLeft(tls->Stream, &room);
    const int32_t free = MemoryStream_GetAvailableCapacity(tls->Received);
    *count = room < free ? room : free;
    return 1;
}

int64_t TLS1_ReadGetBufferUsed(TLS1* tls, int32_t* count) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    return DuplexStream_ReadGetBufferUsed(tls->Stream, count);
}

int64_t TLS1_ReadGet(TLS1* tls, void* buffer, uint32_t size, uint32_t* count) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    return DuplexStream_ReadGet(tls->Stream, buffer, size, count);
}

int64_t TLS1_ReadFillTarget(TLS1* tls, DuplexStream* target) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    return DuplexStream_ReadFill(target, tls->Stream);
}

int64_t TLS1_WritePut(TLS1* tls, const void* bytes, uint32_t count, uint32_t* queued) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    ASSERT_POINTER(queued);
    *queued = 0;
    if (count == 0) return 1;
    ASSERT_POINTER(bytes);
    const auto* data = static_cast<const uint8_t*>(bytes);
    while (*queued < count) {
        const uint32_t left = count - *queued;
        const uint32_t take = left < TLS1_RECORD_PLAINTEXT_MAX ? left : TLS1_RECORD_PLAINTEXT_MAX;
        if (TLS1_PacketQueue(tls, TLS1_CONTENT_APPLICATION_DATA, data + *queued, take) != 1) break;
        *queued += take;
    }
    return *queued > 0 ? 1 : 0;
}

int64_t TLS1_WriteFill(TLS1* tls, DuplexStream* source) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    int32_t waiting = 0;
    DuplexStream_WriteGetBufferUsed(source, &waiting);
    if (waiting <= 0) return 0;
    // Take plaintext only when its record can be queued, so that none is lost for want of room.
    int32_t room = 0;
    DuplexStream_WriteGetBufferLeft(tls->Stream, &room);
    if (room < (int32_t)TLS1_RECORD_BUFFER) return 0;
    const uint32_t take = (uint32_t)waiting < TLS1_RECORD_PLAINTEXT_MAX ? (uint32_t)waiting : TLS1_RECORD_PLAINTEXT_MAX;
    uint8_t* plain = tls->WorkBuffer + kPlainOffset;
    uint32_t got = 0;
    DuplexStream_WriteGet(source, plain, take, &got);
    if (got == 0) return 0;
    return TLS1_PacketQueue(tls, TLS1_CONTENT_APPLICATION_DATA, plain, got);
}

int64_t TLS1_WriteGetBufferUsed(TLS1* tls, int32_t* count) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    return DuplexStream_WriteGetBufferUsed(tls->Stream, count);
}

int64_t TLS1_WriteGetBufferLeft(TLS1* tls, int32_t* count) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    return DuplexStream_WriteGetBufferLeft(tls->Stream, count);
}

int64_t TLS1_WriteGet(TLS1* tls, void* buffer, uint32_t size, uint32_t* count) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    return DuplexStream_WriteGet(tls->Stream, buffer, size, count);
}

int64_t TLS1_SendCloseNotify(TLS1* tls) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    const bool begun = LoadAtomic(&tls->Connected) || tls->ExpectedHandshakeType != 0;
    if (!begun || (tls->Flags & TLS1_FLAG_CLOSE_NOTIFY_SENT)) return 0;
    return TLS1_AlertSend(tls);
}

// ---- Records ---------------------------------------------------------------------------------

void TLS1_PacketAdditionalData(const uint8_t sequence[8], uint8_t type, uint8_t major, uint8_t minor,
                               uint32_t length, uint8_t out[13]) {
    memcpy(out, sequence, 8);
    out[8] = type;
    out[9] = major;
    out[10] = minor;
    PutLength(out + 11, length);
}

int64_t TLS1_PacketHMACDigest(TLS1* tls, HMAC* mac, const uint8_t* key, const uint8_t sequence[8],
                              const uint8_t header[5], const uint8_t* content, uint32_t length, uint8_t* out) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    if (!tls->CipherInfo) return 0;
    const uint32_t size = tls->CipherInfo->HashInterface->DigestSize;
    HMAC_Reset(mac);
    if (HMAC_SetKey(mac, key, (int32_t)size) != 1) return 0;
    HMAC_Process(mac, sequence, 8);
    HMAC_Process(mac, header, TLS1_RECORD_HEADER);
    if (length) HMAC_Process(mac, content, length);
    if (HMAC_Generate(mac) != 1) return 0;
    return HMAC_GetDigest(mac, out, size);
}

int64_t TLS1_PacketQueue(TLS1* tls, uint8_t type, const uint8_t* data, uint32_t length) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    if (length > TLS1_RECORD_PLAINTEXT_MAX || (length && !data)) return 0;
    // The first ClientHello of a connection goes out as 3,1 whatever is offered inside it.
    const uint8_t minor =
        tls->ExpectedHandshakeType == TLS1_HS_CLIENT_HELLO ? 1 : (uint8_t)(tls->RecordVersion & 0x0F);
    int32_t room = 0;
    DuplexStream_WriteGetBufferLeft(tls->Stream, &room);
    if (room < (int32_t)TLS1_RECORD_BUFFER) return 0;
    if (type == TLS1_CONTENT_HANDSHAKE && length >= 1) {
        TLS1_HandshakeStateDisplay(tls, data[0], 1);
        if (data[0] != TLS1_HS_HELLO_REQUEST) TLS1_CollectForFinished(tls, data, length, data[0]);
    }
    const bool protect = (tls->Flags & TLS1_FLAG_WRITE_PROTECTED) != 0;
    if (protect && tls->CipherInfo && IsGcm(tls->CipherInfo)) {
        const int32_t queued = QueueGcmInPlace(tls, type, minor, data, length);
        if (queued >= 0) return queued;
    }
    uint8_t* body = tls->WorkBuffer + kPlainOffset;
    uint32_t bodyLength = length;
    if (!protect) {
        if (data != body && length) memcpy(body, data, length);
    } else if (!Protect(tls, type, minor, data, length, &body, &bodyLength)) {
        return 0;
    }
    uint8_t* header = body - TLS1_RECORD_HEADER;
    header[0] = type;
    header[1] = 3;
    header[2] = minor;
    PutLength(header + 3, bodyLength);
    if (protect) Increment64(tls->WriteSequence);
    DuplexStream_WriteTransactionStart(tls->Stream);
    const int64_t put = DuplexStream_WritePut(tls->Stream, header, TLS1_RECORD_HEADER + bodyLength);
    DuplexStream_WriteTransactionEnd(tls->Stream, put == 1 ? 0 : 1);
    return put == 1 ? 1 : 0;
}

int64_t TLS1_AlertQueue(TLS1* tls, uint8_t level, uint8_t description) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    const uint8_t alert[2] = {level, description};
    if (TLS1_PacketQueue(tls, TLS1_CONTENT_ALERT, alert, sizeof(alert)) != 1) return 0;
    TLS1_VerboseLog(tls, 0, "Alert: %s (%d)", AlertName(description), (int32_t)description);
    return 1;
}

int64_t TLS1_AlertSend(TLS1* tls) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    if (TLS1_AlertQueue(tls, 1, TLS1_ALERT_CLOSE_NOTIFY) != 1) return 0;
    tls->Flags |= TLS1_FLAG_CLOSE_NOTIFY_SENT;
    return 1;
}

int64_t TLS1_AlertDisplay(TLS1* tls, uint8_t, uint8_t description) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    TLS1_VerboseLog(tls, 0, "Alert: %s (%d)", AlertName(description), (int32_t)description);
    return 1;
}

// ---- Client-certificate requests as the last CertificateRequest recorded them ------------------

int64_t TLS1_GetRequestedCertificateTypes(TLS1* tls, char* text, int32_t capacity) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    ASSERT_POINTER(text);
    if (capacity <= 0) return 0;
    text[0] = 0;
    const uint32_t count = tls->RequestedCertificateTypeCount < 2 ? tls->RequestedCertificateTypeCount : 2;
    for (uint32_t i = 0; i < count; i++) {
        if (i) String_CatLength(text, ",", capacity);
        String_CatLength(text, tls->RequestedCertificateTypes[i] == 64 ? "ecdsa" : "rsa", capacity);
    }
    return 1;
}

int64_t TLS1_GetRequestedSignAlgorithms(TLS1* tls, uint16_t* algorithms, uint32_t* count) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    ASSERT_POINTER(algorithms);
    ASSERT_POINTER(count);
    uint32_t n = tls->RequestedSignAlgorithmCount;
    if (n > TLS1_REQUESTED_ALGORITHMS_MAX) n = TLS1_REQUESTED_ALGORITHMS_MAX;
    memcpy(algorithms, tls->RequestedSignAlgorithms, n * sizeof(uint16_t));
    *count = n;
    return 1;
}

int64_t TLS1_SetClientCertRequestCallback(TLS1* tls, TLS1ClientCertRequestFunc function, void* user) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    tls->ClientCertRequest = function;
    tls->ClientCertRequestUser = user;
    return 1;
}

// ---- Printing --------------------------------------------------------------------------------

int64_t TLS1_PrintInternal(void*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}

CLASS_PRINT_FAMILY(TLS1, TLS1, TLS1_CLASS_ID, PreparePrint)
