// CryptStream: a Stream layered over a base stream that encrypts what is written to it and
// decrypts what is read from it through a CryptSymmetric bound by the owner (in practice RC4).
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/crypto/crypt_symmetric.h"
#include "core/platform/memory_stream.h"
#include "core/platform/stream.h"
#include "core/runtime/class.h"

enum : uint32_t { CRYPT_STREAM_CLASS_ID = 0x6473F75B };

struct CryptStream {
    Class Header;
    ClassPrint Print;
    // Write, Read, Seek, Flush, Tell, Length, IsOpen and Close are filled; Handle is this object
    // and BaseStreamHandle the base.
    Stream StreamRecord;
    MemoryStream* Scratch; // outgoing data is enciphered here, never in the caller's buffer
    CryptSymmetric* Cipher;
};

int64_t CryptStream_Create(CryptStream** handle);
// Deletes the cipher and the scratch stream, frees the object and nulls the handle; the base is
// left open.
int64_t CryptStream_Delete(CryptStream** handle);
int64_t CryptStream_AddRef(CryptStream* cs);
int64_t CryptStream_Release(CryptStream** handle);
int64_t CryptStream_GetInstanceId(CryptStream* cs, char* buffer, int32_t size);

// Binds the cipher (a fresh instance: keys must be set again). An authenticated mode is refused
// and the binding stays as it was: the stream carries no tag.
int64_t CryptStream_Reset(CryptStream* cs, const CryptSymmetricInterface* record);
int64_t CryptStream_SetEncryptKey(CryptStream* cs, const void* key, uint32_t length);
int64_t CryptStream_SetDecryptKey(CryptStream* cs, const void* key, uint32_t length);
int64_t CryptStream_GetStreamHandle(CryptStream* cs, Stream** stream);
// The base may be replaced between messages; the cipher state carries over.
int64_t CryptStream_SetBaseStreamHandle(CryptStream* cs, Stream* base);

// Stream operations. Every byte passes the cipher's keystream once, in order, so the two ends stay
// in step only while each written byte is read once; seeking moves the base, not the keystream.
// A write hands the base every enciphered byte (repeating while it takes part of them), since
// bytes already enciphered cannot be enciphered again; the count is what the base took.
int64_t CryptStream_Write(CryptStream* cs, const void* data, uint32_t size, uint32_t* written);
int64_t CryptStream_Read(CryptStream* cs, void* buffer, uint32_t size, uint32_t* read);
int64_t CryptStream_Seek(CryptStream* cs, int64_t offset, SeekOrigin origin);
int64_t CryptStream_Tell(CryptStream* cs, uint64_t* position);
int64_t CryptStream_Flush(CryptStream* cs);
int64_t CryptStream_Length(CryptStream* cs, uint64_t* length);
int64_t CryptStream_IsOpen(CryptStream* cs);
int64_t CryptStream_Close(CryptStream* cs);

// Print block; identifier "CryptStream", by default one DEBUG log line per line.
int64_t CryptStream_SetPrintCallback(CryptStream* cs, void* user, ClassPrintCallback callback);
int64_t CryptStream_GetPrintCallback(CryptStream* cs, void** user, ClassPrintCallback* callback);
int64_t CryptStream_SetPrintIdentifier(CryptStream* cs, const char* text);
int64_t CryptStream_SetVerbose(CryptStream* cs, uint32_t flag);
int64_t CryptStream_GetVerbose(CryptStream* cs, uint32_t* flag);
int64_t CryptStream_IsVerboseLevel(CryptStream* cs, int32_t level);
int64_t CryptStream_VerboseLog(CryptStream* cs, int32_t level, const char* format, ...);
int64_t CryptStream_Print(CryptStream* cs, const char* format, ...);
int64_t CryptStream_PrintTabbed(CryptStream* cs, int32_t indent, const char* format, ...);
int64_t CryptStream_VPrint(CryptStream* cs, int32_t indent, const char* format, va_list args);
int64_t CryptStream_PrintInternal(void* user, const char* format, ...);
