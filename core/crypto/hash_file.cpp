// Incremental file digest: one bounded read per step into the object's own buffer, with start and
// completion callbacks and a one-call form.
#include "core/crypto/hash_file.h"

#include <cstring>

#include "core/platform/file.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

int64_t DeleteHandle(void** handle) {
    return HashFile_Delete(reinterpret_cast<HashFile**>(handle));
}

void PreparePrint(HashFile* h) {
    ClassPrint_Prepare(&h->Print, h, "HashFile", HashFile_PrintInternal);
}

void RaiseComplete(HashFile* h, uint32_t success) {
    void* user = nullptr;
    HashFileCompleteFunc function = nullptr;
    if (CallbackBase_Get(&h->CompleteCallback, &user, &function) && function) function(h, user, success);
}

void RaiseStart(HashFile* h) {
    void* user = nullptr;
    HashFileStartFunc function = nullptr;
    if (CallbackBase_Get(&h->StartCallback, &user, &function) && function) function(h, user);
}

} // namespace

int64_t HashFile_Create(HashFile** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    HashFile* h = static_cast<HashFile*>(Memory_AllocZero(sizeof(HashFile)));
    h->Header.ClassId = HASHFILE_CLASS_ID;
    h->Header.RefCount = 1;
    h->Header.Delete = DeleteHandle;
    File_Create(&h->FileHandle);
    Hash_Create(&h->Digest);
    *handle = h;
    return 1;
}

int64_t HashFile_Delete(HashFile** handle) {
    ASSERT_POINTER(handle);
    HashFile* h = *handle;
    CLASS_CHECK(h, HASHFILE_CLASS_ID);
    Hash_Delete(&h->Digest);
    File_Delete(&h->FileHandle);
    CallbackBase_Reset(&h->StartCallback);
    CallbackBase_Reset(&h->CompleteCallback);
    h->Header.ClassId = 0;
    Memory_Free(h, sizeof(HashFile));
    *handle = nullptr;
    return 1;
}

int64_t HashFile_AddRef(HashFile* hashFile) {
    CLASS_CHECK(hashFile, HASHFILE_CLASS_ID);
    Class_AddRef(hashFile);
    return 1;
}

int64_t HashFile_Release(HashFile** handle) {
    ASSERT_POINTER(handle);
    if (*handle == nullptr) return 0;
    CLASS_CHECK(*handle, HASHFILE_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t HashFile_GetInstanceId(HashFile* hashFile, char* buffer, int32_t size) {
    CLASS_CHECK(hashFile, HASHFILE_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, hashFile->Header.InstanceId,
                          (int32_t)sizeof(hashFile->Header.InstanceId));
    return 1;
}

int64_t HashFile_SetInterface(HashFile* hashFile, const HashInterface* record) {
    CLASS_CHECK(hashFile, HASHFILE_CLASS_ID);
    return Hash_SetInterface(hashFile->Digest, record);
}

int64_t HashFile_SetPath(HashFile* hashFile, const char* path) {
    CLASS_CHECK(hashFile, HASHFILE_CLASS_ID);
    ASSERT_POINTER(path);
    String_CopyLength(hashFile->Path, path, HASHFILE_PATH_SIZE);
    return 1;
}

int64_t HashFile_GetPath(HashFile* hashFile, char* out, uint32_t capacity) {
    CLASS_CHECK(hashFile, HASHFILE_CLASS_ID);
    ASSERT_POINTER(out);
    if (capacity > 0)
        String_CopyLength(out, hashFile->Path, capacity > 0x7FFFFFFFu ? 0x7FFFFFFF : (int32_t)capacity);
    return 1;
}

int64_t HashFile_SetStartCallback(HashFile* hashFile, void* user, HashFileStartFunc function) {
    CLASS_CHECK(hashFile, HASHFILE_CLASS_ID);
    return CallbackBase_Set(&hashFile->StartCallback, 0, user, function);
}

int64_t HashFile_SetCompleteCallback(HashFile* hashFile, void* user, HashFileCompleteFunc function) {
    CLASS_CHECK(hashFile, HASHFILE_CLASS_ID);
    return CallbackBase_Set(&hashFile->CompleteCallback, 0, user, function);
}

int64_t HashFile_Start(HashFile* hashFile) {
    CLASS_CHECK(hashFile, HASHFILE_CLASS_ID);
    HashFile* h = hashFile;
    h->LastFileError = 0;
    if (File_IsOpen(h->FileHandle)) {
        HashFile_Print(h, "Already running.");
        return 1;
    }
    if (h->Path[0] == 0) {
        HashFile_Print(h, "Path is empty.");
        RaiseComplete(h, 0);
        return 1;
    }
    if (!File_Open(h->FileHandle, h->Path, FILE_READ | FILE_SHARED)) {
        h->LastFileError = (uint32_t)File_GetLastError(h->FileHandle);
        HashFile_Print(h, "Unable to open file (%s).", h->Path);
        RaiseComplete(h, 0);
        return 0;
    }
    h->FileSize = 0;
    File_GetFilesizeBytes(h->FileHandle, &h->FileSize);
    h->BytesLeft = h->FileSize;
    h->BytesRead = 0;
    RaiseStart(h);
    return 1;
}

int64_t HashFile_Process(HashFile* hashFile) {
    CLASS_CHECK(hashFile, HASHFILE_CLASS_ID);
    HashFile* h = hashFile;
    if (!File_IsOpen(h->FileHandle)) return 0;
    const uint32_t limit = HASHFILE_READ_SIZE;
    uint32_t want = h->BytesLeft < limit ? (uint32_t)h->BytesLeft : limit;
    uint32_t got = 0;
    if (want > 0 && !File_Read(h->FileHandle, h->ReadBuffer, want, &got)) {
        const int32_t error = File_GetLastError(h->FileHandle);
        if (error != 0) h->LastFileError = (uint32_t)error;
    }
    if (got > want) got = want;
    if (got > 0) {
        Hash_Process(h->Digest, h->ReadBuffer, got, nullptr);
        h->BytesLeft -= got;
        h->BytesRead += got;
    } else if (h->BytesLeft > 0) {
        // The file ended or failed before the size seen at the open: the run ends as a failure.
        File_Close(h->FileHandle);
        RaiseComplete(h, 0);
        return 0;
    }
    if (h->BytesLeft > 0) return 1;
    Hash_Generate(h->Digest);
    File_Close(h->FileHandle);
    RaiseComplete(h, 1);
    return 1;
}

int64_t HashFile_IsRunning(HashFile* hashFile) {
    CLASS_CHECK(hashFile, HASHFILE_CLASS_ID);
    return File_IsOpen(hashFile->FileHandle) ? 1 : 0;
}

int64_t HashFile_Reset(HashFile* hashFile) {
    CLASS_CHECK(hashFile, HASHFILE_CLASS_ID);
    if (File_IsOpen(hashFile->FileHandle)) File_Close(hashFile->FileHandle);
    Hash_Reset(hashFile->Digest);
    hashFile->Path[0] = 0;
    return 1;
}

int64_t HashFile_GetDigest(HashFile* hashFile, uint8_t* out, uint32_t capacity) {
    CLASS_CHECK(hashFile, HASHFILE_CLASS_ID);
    return Hash_GetDigest(hashFile->Digest, out, capacity);
}

int64_t HashFile_GetString(HashFile* hashFile, uint32_t spaced, char* out, uint32_t capacity) {
    CLASS_CHECK(hashFile, HASHFILE_CLASS_ID);
    return Hash_GetString(hashFile->Digest, spaced, out, capacity);
}

int64_t HashFile_GetFileSize(HashFile* hashFile, uint64_t* size) {
    CLASS_CHECK(hashFile, HASHFILE_CLASS_ID);
    ASSERT_POINTER(size);
    *size = hashFile->FileSize;
    return 1;
}

int64_t HashFile_GetBytesLeft(HashFile* hashFile, uint64_t* bytes) {
    CLASS_CHECK(hashFile, HASHFILE_CLASS_ID);
    ASSERT_POINTER(bytes);
    *bytes = hashFile->BytesLeft;
    return 1;
}

int64_t HashFile_GetBytesRead(HashFile* hashFile, uint64_t* bytes) {
    CLASS_CHECK(hashFile, HASHFILE_CLASS_ID);
    ASSERT_POINTER(bytes);
    *bytes = hashFile->BytesRead;
    return 1;
}

int64_t HashFile_GetLastFileError(HashFile* hashFile, uint32_t* error) {
    CLASS_CHECK(hashFile, HASHFILE_CLASS_ID);
    ASSERT_POINTER(error);
    *error = hashFile->LastFileError;
    return 1;
}

int64_t HashFile_QuickString(const HashInterface* record, const char* path, uint32_t spaced, char* out,
                             uint32_t capacity) {
    ASSERT_POINTER(out);
    if (capacity > 0) out[0] = 0;
    if (!record || !path || !path[0]) return 0;
    HashFile* h = nullptr;
    HashFile_Create(&h);
    int64_t result = 0;
    if (HashFile_SetInterface(h, record) == 1) {
        HashFile_SetPath(h, path);
        if (HashFile_Start(h) == 1) {
            while (HashFile_IsRunning(h))
                if (!HashFile_Process(h)) break;
        }
        // Only a run that read the whole file leaves the digest generated.
        if (Hash_IsGenerated(h->Digest)) result = HashFile_GetString(h, spaced, out, capacity);
    }
    HashFile_Delete(&h);
    return result;
}

int64_t HashFile_VPrint(HashFile* hashFile, int32_t tabs, const char* format, va_list args) {
    CLASS_CHECK(hashFile, HASHFILE_CLASS_ID);
    PreparePrint(hashFile);
    return ClassPrint_VPrint(&hashFile->Print, tabs, format, args);
}

int64_t HashFile_Print(HashFile* hashFile, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = HashFile_VPrint(hashFile, 0, format, args);
    va_end(args);
    return result;
}

int64_t HashFile_PrintTabbed(HashFile* hashFile, int32_t tabs, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = HashFile_VPrint(hashFile, tabs, format, args);
    va_end(args);
    return result;
}

int64_t HashFile_VerboseLog(HashFile* hashFile, int32_t level, const char* format, ...) {
    if (!HashFile_IsVerboseLevel(hashFile, level)) return 0;
    va_list args;
    va_start(args, format);
    const int64_t result = HashFile_VPrint(hashFile, 0, format, args);
    va_end(args);
    return result;
}

int64_t HashFile_IsVerboseLevel(HashFile* hashFile, int32_t level) {
    CLASS_CHECK(hashFile, HASHFILE_CLASS_ID);
    PreparePrint(hashFile);
    return ClassPrint_IsVerboseLevel(&hashFile->Print, level);
}

int64_t HashFile_SetPrintCallback(HashFile* hashFile, void* user, ClassPrintCallback function) {
    CLASS_CHECK(hashFile, HASHFILE_CLASS_ID);
    PreparePrint(hashFile);
    hashFile->Print.PrintUser = user;
    hashFile->Print.PrintCallback = function;
    return 1;
}

int64_t HashFile_GetPrintCallback(HashFile* hashFile, void** user, ClassPrintCallback* function) {
    CLASS_CHECK(hashFile, HASHFILE_CLASS_ID);
    ASSERT_POINTER(user);
    ASSERT_POINTER(function);
    PreparePrint(hashFile);
    *user = hashFile->Print.PrintUser;
    *function = hashFile->Print.PrintCallback;
    return 1;
}

int64_t HashFile_SetPrintIdentifier(HashFile* hashFile, const char* identifier) {
    CLASS_CHECK(hashFile, HASHFILE_CLASS_ID);
    hashFile->Print.Identifier = identifier;
    return 1;
}

int64_t HashFile_SetVerbose(HashFile* hashFile, uint32_t verbose) {
    CLASS_CHECK(hashFile, HASHFILE_CLASS_ID);
    hashFile->Print.Verbose = (int32_t)verbose;
    return 1;
}

int64_t HashFile_GetVerbose(HashFile* hashFile, uint32_t* verbose) {
    CLASS_CHECK(hashFile, HASHFILE_CLASS_ID);
    ASSERT_POINTER(verbose);
    *verbose = (uint32_t)hashFile->Print.Verbose;
    return 1;
}

int64_t HashFile_PrintInternal(void* user, const char* format, ...) {
    (void)user;
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}
