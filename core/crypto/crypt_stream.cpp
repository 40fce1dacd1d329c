// The cipher stream: writes are enciphered in a scratch buffer and passed to the base, reads are
// deciphered in the caller's buffer; positioning and the rest go straight to the base.
#include "core/crypto/crypt_stream.h"

#include <cstring>

#include "core/crypto/aes_gcm.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

// Large writes go through the scratch buffer in pieces, so it stays small.
constexpr uint32_t kPiece = 64 * 1024;

int64_t DeleteHandle(void** handle) {
    return CryptStream_Delete(reinterpret_cast<CryptStream**>(handle));
}

void PreparePrint(CryptStream* cs) {
    ClassPrint_Prepare(&cs->Print, cs, "CryptStream", CryptStream_PrintInternal);
    if (!cs->Print.Identifier) cs->Print.Identifier = "CryptStream";
}

Stream* Base(CryptStream* cs) {
    return cs->StreamRecord.BaseStreamHandle;
}

// Hands all of data to the base; the count is what it took.
int64_t WriteAll(Stream* base, const uint8_t* data, uint32_t size, uint32_t* written) {
    while (*written < size) {
        uint32_t n = 0;
        const int64_t ok = Stream_Write(base, data + *written, size - *written, &n);
        *written += n;
        if (!ok || n == 0) return 0;
    }
    return 1;
}

} // namespace

int64_t CryptStream_Create(CryptStream** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    CryptStream* cs = static_cast<CryptStream*>(Memory_AllocZero(sizeof(CryptStream)));
    cs->Header.ClassId = CRYPT_STREAM_CLASS_ID;
    cs->Header.RefCount = 1;
    cs->Header.Delete = DeleteHandle;
    Stream& s = cs->StreamRecord;
    s.Handle = cs;
    s.Write = StreamSlot<CryptStream_Write>::Call;
    s.Read = StreamSlot<CryptStream_Read>::Call;
    s.Seek = StreamSlot<CryptStream_Seek>::Call;
    s.Flush = StreamSlot<CryptStream_Flush>::Call;
    s.Tell = StreamSlot<CryptStream_Tell>::Call;
    s.Length = StreamSlot<CryptStream_Length>::Call;
    s.IsOpen = StreamSlot<CryptStream_IsOpen>::Call;
    s.Close = StreamSlot<CryptStream_Close>::Call;
    MemoryStream_Create(&cs->Scratch);
    MemoryStream_SetAutoGrow(cs->Scratch, 1);
    CryptSymmetric_Create(&cs->Cipher);
    *handle = cs;
    return 1;
}

int64_t CryptStream_Delete(CryptStream** handle) {
    ASSERT_POINTER(handle);
    CryptStream* cs = *handle;
    CLASS_CHECK(cs, CRYPT_STREAM_CLASS_ID);
    CryptSymmetric_Delete(&cs->Cipher);
    MemoryStream_Delete(&cs->Scratch);
    cs->Header.ClassId = 0;
    Memory_Free(cs, sizeof(CryptStream));
    *handle = nullptr;
    return 1;
}

int64_t CryptStream_AddRef(CryptStream* cs) {
    CLASS_CHECK(cs, CRYPT_STREAM_CLASS_ID);
    Class_AddRef(cs);
    return 1;
}

int64_t CryptStream_Release(CryptStream** handle) {
    ASSERT_POINTER(handle);
    if (!*handle) return 0;
    CLASS_CHECK(*handle, CRYPT_STREAM_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t CryptStream_GetInstanceId(CryptStream* cs, char* buffer, int32_t size) {
    CLASS_CHECK(cs, CRYPT_STREAM_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, cs->Header.InstanceId, (int32_t)sizeof(cs->Header.InstanceId));
    return 1;
}

int64_t CryptStream_Reset(CryptStream* cs, const CryptSymmetricInterface* record) {
    CLASS_CHECK(cs, CRYPT_STREAM_CLASS_ID);
    // The stream has no place for a tag, so an authenticated mode would run without its integrity.
    if (record == &AESGCM_INTERFACE) return 0;
    return CryptSymmetric_Reset(cs->Cipher, record);
}

int64_t CryptStream_SetEncryptKey(CryptStream* cs, const void* key, uint32_t length) {
    CLASS_CHECK(cs, CRYPT_STREAM_CLASS_ID);
    return CryptSymmetric_SetEncryptKey(cs->Cipher, key, length);
}

int64_t CryptStream_SetDecryptKey(CryptStream* cs, const void* key, uint32_t length) {
    CLASS_CHECK(cs, CRYPT_STREAM_CLASS_ID);
    return CryptSymmetric_SetDecryptKey(cs->Cipher, key, length);
}

int64_t CryptStream_GetStreamHandle(CryptStream* cs, Stream** stream) {
    ASSERT_POINTER(stream);
    *stream = nullptr;
    CLASS_CHECK(cs, CRYPT_STREAM_CLASS_ID);
    *stream = &cs->StreamRecord;
    return 1;
}

int64_t CryptStream_SetBaseStreamHandle(CryptStream* cs, Stream* base) {
    CLASS_CHECK(cs, CRYPT_STREAM_CLASS_ID);
    return Stream_SetBaseStreamHandle(&cs->StreamRecord, base);
}

int64_t CryptStream_Write(CryptStream* cs, const void* data, uint32_t size, uint32_t* written) {
    ASSERT_POINTER(written);
    *written = 0;
    CLASS_CHECK(cs, CRYPT_STREAM_CLASS_ID);
    Stream* base = Base(cs);
    if (!base || !Stream_CanWrite(base)) return 0;
    if (size == 0) return Stream_Write(base, data, 0, written);
    ASSERT_POINTER(data);
    const uint8_t* src = static_cast<const uint8_t*>(data);
    for (uint32_t done = 0; done < size;) {
        const uint32_t n = size - done < kPiece ? size - done : kPiece;
        uint32_t put = 0;
        MemoryStream_DiscardAll(cs->Scratch);
        if (!MemoryStream_Put(cs->Scratch, src + done, n, &put) || put != n) return 0;
        uint8_t* scratch = nullptr;
        MemoryStream_GetPointer(cs->Scratch, &scratch);
        int64_t ok = CryptSymmetric_Encrypt(cs->Cipher, scratch, scratch, n);
        uint32_t taken = 0;
        if (ok) ok = WriteAll(base, scratch, n, &taken);
        MemoryStream_ReleasePointer(cs->Scratch, &scratch);
        *written += taken;
        if (!ok) return 0;
        done += n;
    }
    return 1;
}

int64_t CryptStream_Read(CryptStream* cs, void* buffer, uint32_t size, uint32_t* read) {
    ASSERT_POINTER(read);
    *read = 0;
    CLASS_CHECK(cs, CRYPT_STREAM_CLASS_ID);
    Stream* base = Base(cs);
    if (!base || !Stream_CanRead(base)) return 0;
    const int64_t result = Stream_Read(base, buffer, size, read);
    // Bytes taken from the base go through the keystream even when the base also reports an
    // end or an error, so that the two ends stay in step.
    if (*read && !CryptSymmetric_Decrypt(cs->Cipher, buffer, buffer, *read)) {
        // Never hand out ciphertext as if it were plain.
        memset(buffer, 0, *read);
        *read = 0;
        return 0;
    }
    return result;
}

int64_t CryptStream_Seek(CryptStream* cs, int64_t offset, SeekOrigin origin) {
    CLASS_CHECK(cs, CRYPT_STREAM_CLASS_ID);
    Stream* base = Base(cs);
    if (!base || !Stream_CanSeek(base)) return 0;
    return Stream_Seek(base, offset, origin);
}

int64_t CryptStream_Tell(CryptStream* cs, uint64_t* position) {
    ASSERT_POINTER(position);
    *position = 0;
    CLASS_CHECK(cs, CRYPT_STREAM_CLASS_ID);
    Stream* base = Base(cs);
    if (!base || !Stream_CanTell(base)) return 0;
    return Stream_Tell(base, position);
}

int64_t CryptStream_Flush(CryptStream* cs) {
    CLASS_CHECK(cs, CRYPT_STREAM_CLASS_ID);
    Stream* base = Base(cs);
    if (!base || !Stream_CanWrite(base)) return 0;
    return Stream_Flush(base);
}

int64_t CryptStream_Length(CryptStream* cs, uint64_t* length) {
    ASSERT_POINTER(length);
    *length = 0;
    CLASS_CHECK(cs, CRYPT_STREAM_CLASS_ID);
    Stream* base = Base(cs);
    return base ? Stream_Length(base, length) : 0;
}

int64_t CryptStream_IsOpen(CryptStream* cs) {
    CLASS_CHECK(cs, CRYPT_STREAM_CLASS_ID);
    Stream* base = Base(cs);
    return base ? Stream_IsOpen(base) : 0;
}

int64_t CryptStream_Close(CryptStream* cs) {
    CLASS_CHECK(cs, CRYPT_STREAM_CLASS_ID);
    Stream* base = Base(cs);
    return base ? Stream_Close(base) : 0;
}

int64_t CryptStream_SetPrintCallback(CryptStream* cs, void* user, ClassPrintCallback callback) {
    CLASS_CHECK(cs, CRYPT_STREAM_CLASS_ID);
    cs->Print.PrintUser = user;
    cs->Print.PrintCallback = callback;
    return 1;
}

int64_t CryptStream_GetPrintCallback(CryptStream* cs, void** user, ClassPrintCallback* callback) {
    ASSERT_POINTER(user);
    ASSERT_POINTER(callback);
    *user = nullptr;
    *callback = nullptr;
    CLASS_CHECK(cs, CRYPT_STREAM_CLASS_ID);
    PreparePrint(cs);
    *user = cs->Print.PrintUser;
    *callback = cs->Print.PrintCallback;
    return 1;
}

int64_t CryptStream_SetPrintIdentifier(CryptStream* cs, const char* text) {
    CLASS_CHECK(cs, CRYPT_STREAM_CLASS_ID);
    cs->Print.Identifier = text;
    return 1;
}

int64_t CryptStream_SetVerbose(CryptStream* cs, uint32_t flag) {
    CLASS_CHECK(cs, CRYPT_STREAM_CLASS_ID);
    cs->Print.Verbose = (int32_t)flag;
    return 1;
}

int64_t CryptStream_GetVerbose(CryptStream* cs, uint32_t* flag) {
    ASSERT_POINTER(flag);
    *flag = 0;
    CLASS_CHECK(cs, CRYPT_STREAM_CLASS_ID);
    *flag = (uint32_t)cs->Print.Verbose;
    return 1;
}

int64_t CryptStream_IsVerboseLevel(CryptStream* cs, int32_t level) {
    CLASS_CHECK(cs, CRYPT_STREAM_CLASS_ID);
    PreparePrint(cs);
    return ClassPrint_IsVerboseLevel(&cs->Print, level);
}

int64_t CryptStream_VerboseLog(CryptStream* cs, int32_t level, const char* format, ...) {
    if (!CryptStream_IsVerboseLevel(cs, level)) return 0;
    va_list args;
    va_start(args, format);
    const int64_t result = CryptStream_VPrint(cs, 0, format, args);
    va_end(args);
    return result;
}

int64_t CryptStream_Print(CryptStream* cs, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = CryptStream_VPrint(cs, 0, format, args);
    va_end(args);
    return result;
}

int64_t CryptStream_PrintTabbed(CryptStream* cs, int32_t indent, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = CryptStream_VPrint(cs, indent, format, args);
    va_end(args);
    return result;
}

int64_t CryptStream_VPrint(CryptStream* cs, int32_t indent, const char* format, va_list args) {
    CLASS_CHECK(cs, CRYPT_STREAM_CLASS_ID);
    ASSERT_POINTER(format);
    PreparePrint(cs);
    return ClassPrint_VPrint(&cs->Print, indent, format, args);
}

int64_t CryptStream_PrintInternal(void* user, const char* format, ...) {
    (void)user;
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}
