// The one-file-per-piece backend: a piece's path comes from the template, is held to the name rule
// (the manifest id in it is remote input) and is reached below the directory without links.
#include "repository/storage_file_split.h"

#include <cerrno>
#include <cstring>

#include "core/linux/platform_async_file.h"
#include "core/linux/platform_error.h"
#include "core/linux/platform_file.h"
#include "core/platform/async_file.h"
#include "core/platform/path.h"
#include "core/runtime/app_config_keys.h"
#include "core/runtime/class_family.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/meter_rw.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/time.h"
#include "repository/linux/storage_file_os.h"
#include "repository/meta_file.h"
#include "repository/digest_table.h"
#include "repository/storage_file.h"
#include "repository/storage_file_internal.h"
#include "repository/storage_file_path.h"
#include "repository/storage_request.h"

struct StorageFilePiece {
    Class Header;
    ClassPrint Print;
    Storage* Front;
    StoragePrintFunc FrontPrint;
    char OutputPath[STORAGE_FILE_PATH_SIZE];
    char PieceFormat[STORAGE_FILE_PATH_SIZE];
    uint32_t ExtraFileFlags;
    CriticalSection* Lock;
};

namespace {

// One piece transfer in flight.
struct PieceTransfer {
    StorageFilePiece* Backend;
    StorageOperation* Operation;
    StorageRequest* Request;
    AsyncFile* File;
    uint8_t* Pointer;
    uint32_t Amount;
    uint32_t Write;
};

void PreparePrint(StorageFilePiece* b) {
    ClassPrint_Prepare(&b->Print, b, "StorageFilePiece", StorageFilePiece_PrintInternal);
}

// Fills the print block and looks its verbose level up once, before transfers on several threads
// read it.
void WarmPrint(StorageFilePiece* b) {
    PreparePrint(b);
    ClassPrint_IsVerboseLevel(&b->Print, 0);
}

StorageFilePiece* Backend(void* instance) {
    StorageFilePiece* b = static_cast<StorageFilePiece*>(instance);
    CLASS_CHECK(b, STORAGE_FILE_PIECE_CLASS_ID);
    return b;
}

constexpr auto Finish = StorageFileInternal_Finish;
constexpr auto FinishError = StorageFileInternal_FinishError;

// The piece's name below the directory, expanded from the template and held to the name rule.
int64_t PieceName(StorageFilePiece* b, StorageOperation* operation, MetaFile* meta, int32_t index, char* name) {
    Storage* storage = nullptr;
    Storage_OperationGetStorage(operation, &storage);
    if (!storage) storage = b->Front;
    char format[STORAGE_FILE_PATH_SIZE];
    char expanded[STORAGE_FILE_PATH_SIZE];
    {
        CriticalSectionGuard guard(b->Lock);
        String_CopyLengthSafe(format, (int32_t)sizeof(format), b->PieceFormat, (int32_t)strlen(b->PieceFormat));
    }
    expanded[0] = 0;
    if (!storage || !Storage_Format(storage, format, meta, index, nullptr, expanded, (int32_t)sizeof(expanded)))
        return 0;
    // The whole path must fit its 320 bytes; the name rule also keeps it below the directory.
    const int32_t room = (int32_t)(STORAGE_FILE_PATH_SIZE - strlen(b->OutputPath));
    return room > 1 && StorageFilePath_Check(expanded, name, room);
}

int64_t CollapsePrint(void* user, const char* directory) {
    StorageFilePiece_VerboseLog(static_cast<StorageFilePiece*>(user), 0, "Collapse Directory (%s)", directory);
    return 1;
}

int64_t TransferComplete(AsyncFile*, void* user, uint64_t, void*, uint32_t transferred, int32_t error) {
    PieceTransfer* t = static_cast<PieceTransfer*>(user);
    StorageFilePiece* b = t->Backend;
    if (!t->Write) StorageRequest_AddContentLength(t->Request, transferred);
    uint32_t code = 0, extended = 0;
    if (error != 0) {
        code = STORAGE_ERROR_OS;
        extended = (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + error);
    } else if (t->Write && transferred < t->Amount) {
        code = STORAGE_ERROR_UNDERFLOW;
    } else if (t->Write) {
        // A longer piece left from before would follow the new one into every later read.
        if (!AsyncFile_TruncateAt(t->File, (int64_t)t->Amount)) {
            code = STORAGE_ERROR_OS;
            extended = (uint32_t)AsyncFile_GetLastError(t->File);
        }
    }
    AsyncFile_Close(t->File);
    AsyncFile_Release(&t->File);
    StorageRequest_ReleasePointer(t->Request, &t->Pointer);
    StorageOperation* operation = t->Operation;
    Memory_Free(t, sizeof(PieceTransfer));
    Storage_OperationComplete(operation, code, extended);
    StorageFilePiece_Release(reinterpret_cast<void**>(&b));
    return 1;
}

int64_t Transfer(StorageFilePiece* b, StorageOperation* operation, uint32_t write) {
    StorageRequest* request = nullptr;
    StorageRequestMember* member = nullptr;
    Storage_OperationGetRequest(operation, &request);
    Storage_OperationGetMember(operation, &member);
    if (!request || !member) return Finish(operation, STORAGE_ERROR_INVALID_CONTENT, 0);
    // The first member of a piece moves the whole piece.
    if (!StorageRequest_MemberIsIndexFirst(request, member)) return Finish(operation, 0, 0);
    MetaFile* meta = nullptr;
    PieceList* pieces = nullptr;
    StorageRequest_GetMetaFileHandle(request, &meta);
    if (meta) MetaFile_GetPieceListHandle(meta, &pieces);
    uint32_t index = 0, bufferOffset = 0, allocated = 0, pieceLength = 0;
    StorageRequest_MemberGetIndex(request, member, &index);
    // A piece stored without padding sits at its unpadded place in the buffer: the padded
    // place of any piece but the first would write (or read) another piece's bytes.
    Storage* storage = nullptr;
    uint32_t storageFlags = 0;
    Storage_OperationGetStorage(operation, &storage);
    if (storage) Storage_GetFlags(storage, &storageFlags);
    const bool padded = write ? StorageRequest_HasFlag(request, STORAGE_REQUEST_FLAG_PAD) != 0
                              : (storageFlags & STORAGE_FLAG_PAD) != 0;
    if (padded) StorageRequest_MemberGetBufferOffset(request, member, &bufferOffset);
    else StorageRequest_MemberGetUnpadBufferOffset(request, member, &bufferOffset);
    StorageRequest_AllocSize(request, &allocated);
    if (pieces) PieceList_GetPieceLength(pieces, &pieceLength);
    char name[STORAGE_FILE_PATH_SIZE];
    if (!meta || !PieceName(b, operation, meta, (int32_t)index, name))
        return Finish(operation, STORAGE_ERROR_INVALID_CONTENT, 0);

    uint64_t amount = 0;
    if (write) {
        for (StorageRequestMember* m = member; m;) {
            uint32_t length = 0, padding = 0, memberIndex = 0;
            StorageRequest_MemberGetIndex(request, m, &memberIndex);
            if (memberIndex != index) break;
            StorageRequest_MemberGetLength(request, m, &length);
            StorageRequest_MemberGetPadding(request, m, &padding);
            amount += length + (padded ? padding : 0);
            if (StorageRequest_MemberIsIndexLast(request, m)) break;
            StorageRequestMember* next = nullptr;
            StorageRequest_MemberGetNext(request, m, &next);
            m = next;
        }
    } else {
        amount = (uint64_t)pieceLength + STORAGE_REQUEST_SLACK;
    }
    if (bufferOffset > allocated) return Finish(operation, STORAGE_ERROR_SIZE_LIMIT, 0);
    if (amount > allocated - bufferOffset) {
        // A read stops at the buffer's end; a write never takes bytes from beyond it.
        if (write) return Finish(operation, STORAGE_ERROR_SIZE_LIMIT, 0);
        amount = allocated - bufferOffset;
    }

    int32_t directory = -1, fd = -1;
    const char* leaf = nullptr;
    int32_t error = StorageFileOS_OpenParent(b->OutputPath, name, write, &directory, &leaf);
    if (!error && write) {
        StorageFileOSStatus status{};
        StorageFileOS_Status(directory, leaf, &status);
        if (status.Kind == STORAGE_FILE_OS_FILE) {
            Platform_EnsurePathMutableAt(directory, leaf);
            StorageFileOS_EnsureWritable(directory, leaf);
        }
    }
    if (!error) error = StorageFileOS_OpenFile(directory, leaf, write, &fd);
    StorageFileOS_Close(&directory);
    if (error) return FinishError(operation, error);

    PieceTransfer* t = static_cast<PieceTransfer*>(Memory_AllocZero(sizeof(PieceTransfer)));
    t->Backend = b;
    t->Operation = operation;
    t->Request = request;
    t->Amount = (uint32_t)amount;
    t->Write = write;
    if (!StorageRequest_GetPointerAt(request, bufferOffset, &t->Pointer) || !t->Pointer) {
        StorageFileOS_Close(&fd);
        Memory_Free(t, sizeof(PieceTransfer));
        return Finish(operation, STORAGE_ERROR_SIZE_LIMIT, 0);
    }
    AsyncFile_Create(&t->File);
    AsyncFile_SetRetries(t->File, 1);
    MeterRW* meter = nullptr;
    MeterRW* parent = nullptr;
    if (b->Front && Storage_GetMeterRWHandle(b->Front, &parent) && parent &&
        AsyncFile_GetMeterRWHandle(t->File, &meter) && meter)
        MeterRW_SetParentHandle(meter, parent);
    char shown[STORAGE_FILE_PATH_SIZE * 2];
    String_Print(shown, (int32_t)sizeof(shown), "%s%s", b->OutputPath, name);
    const uint32_t options = (write ? STORAGE_FILE_OPEN_READ | STORAGE_FILE_OPEN_WRITE
                                    : STORAGE_FILE_OPEN_READ | STORAGE_FILE_OPEN_SHARED | STORAGE_FILE_OPEN_PARTIAL) |
                             b->ExtraFileFlags;
    StorageFilePiece_VerboseLog(b, 0, "Open (%s) (%d)", shown, (int32_t)options);
    if (b->ExtraFileFlags & STORAGE_FILE_NO_BUFFER) Platform_AsyncFileSetNoCache(fd);
    AsyncFile_OpenDescriptor(t->File, fd, shown, write ? FILE_READ | FILE_WRITE : FILE_READ);
    StorageFilePiece_AddRef(b);
    if (write) AsyncFile_Write(t->File, 0, t->Pointer, t->Amount, t, TransferComplete);
    else AsyncFile_Read(t->File, 0, t->Pointer, t->Amount, t, TransferComplete);
    return 1;
}

int64_t DeleteHandle(void** handle) {
    StorageFilePiece* b = static_cast<StorageFilePiece*>(*handle);
    CLASS_CHECK(b, STORAGE_FILE_PIECE_CLASS_ID);
    CriticalSection_Delete(&b->Lock);
    return StorageFileInternal_Free<StorageFilePiece>(handle);
}

// Nothing is held beyond a step.
void Shutdown(StorageFilePiece*) {}

} // namespace

STORAGE_FILE_BACKEND(StorageFilePiece, StorageFilePiece, STORAGE_FILE_PIECE_CLASS_ID, PreparePrint, Shutdown)

int64_t StorageFilePiece_Create(void** instance) {
    ASSERT_POINTER(instance);
    *instance = nullptr;
    StorageFilePiece* b =
        StorageFileInternal_New<StorageFilePiece>(STORAGE_FILE_PIECE_CLASS_ID, DeleteHandle);
    CriticalSection_Create(&b->Lock);
    WarmPrint(b);
    *instance = b;
    return 1;
}

int64_t StorageFilePiece_Configure(void* instance, Storage* storage, void* context, Dictionary* dictionary,
                                   uint32_t* outFlags) {
    StorageFilePiece* b = Backend(instance);
    if (outFlags) *outFlags = 0;
    if (storage) b->Front = storage;
    uint32_t systemBuffer = 1;
    StorageFileInternal_GetBoolean(context, dictionary, "systemBuffer", kAppConfigStorageSystemBuffer, 1,
                                   &systemBuffer);
    char format[STORAGE_FILE_PATH_SIZE];
    StorageFileInternal_GetString(context, dictionary, "pieceFormat", kAppConfigStoragePieceFormat,
                                  "{targetInfoHash}/{targetDigest}.quarvpiece", format,
                                  (int32_t)sizeof(format));
    char text[STORAGE_FILE_PATH_SIZE];
    char path[STORAGE_FILE_PATH_SIZE];
    if (!dictionary || !Dictionary_GetStringByKey(dictionary, "path", text, (int32_t)sizeof(text)) ||
        !text[0] || !Path_Resolve(text, path, (int32_t)sizeof(path) - 1)) {
        StorageFilePiece_Print(b, "Configuration dictionary missing %s", "path");
        return 0;
    }
    Path_FixSlash(path, (int32_t)sizeof(path), 1);
    {
        CriticalSectionGuard guard(b->Lock);
        b->ExtraFileFlags = systemBuffer ? 0u : (uint32_t)STORAGE_FILE_NO_BUFFER;
        String_CopyLengthSafe(b->PieceFormat, (int32_t)sizeof(b->PieceFormat), format, (int32_t)strlen(format));
        String_CopyLengthSafe(b->OutputPath, (int32_t)sizeof(b->OutputPath), path, (int32_t)strlen(path));
    }
    if (b->Front) Storage_SetIdentifier(b->Front, b->OutputPath);
    if (outFlags && Path_IsDirectoryEmpty(b->OutputPath)) *outFlags |= 1;
    return 1;
}

int64_t StorageFilePiece_Dump(void* instance, Storage*, Dictionary* dictionary) {
    StorageFilePiece* b = Backend(instance);
    ASSERT_POINTER(dictionary);
    CriticalSectionGuard guard(b->Lock);
    Dictionary_SetInt32ByKey(dictionary, "extraFileFlags", (int32_t)b->ExtraFileFlags);
    Dictionary_SetStringByKey(dictionary, "outputPath", b->OutputPath);
    Dictionary_SetStringByKey(dictionary, "pieceFormat", b->PieceFormat);
    return 1;
}

int64_t StorageFilePiece_Exists(void* instance, StorageOperation* operation) {
    StorageFilePiece* b = Backend(instance);
    StorageRequest* request = nullptr;
    StorageRequestMember* member = nullptr;
    MetaFile* meta = nullptr;
    Storage_OperationGetRequest(operation, &request);
    Storage_OperationGetMember(operation, &member);
    if (request) StorageRequest_GetMetaFileHandle(request, &meta);
    uint32_t index = 0;
    if (request && member) StorageRequest_MemberGetIndex(request, member, &index);
    char name[STORAGE_FILE_PATH_SIZE];
    if (!request || !member || !meta || !PieceName(b, operation, meta, (int32_t)index, name))
        return Finish(operation, STORAGE_ERROR_INVALID_CONTENT, 0);
    int32_t directory = -1;
    const char* leaf = nullptr;
    int32_t error = StorageFileOS_OpenParent(b->OutputPath, name, 0, &directory, &leaf);
    StorageFileOSStatus status{};
    if (!error) error = StorageFileOS_Status(directory, leaf, &status);
    StorageFileOS_Close(&directory);
    if (error == ENOENT || error == ENOTDIR) return Finish(operation, STORAGE_NOT_FOUND, 0);
    if (error) return FinishError(operation, error);
    if (status.Kind == STORAGE_FILE_OS_LINK) return Finish(operation, STORAGE_ERROR_INVALID_CONTENT, 0);
    return Finish(operation, status.Kind == STORAGE_FILE_OS_FILE ? 0u : (uint32_t)STORAGE_NOT_FOUND, 0);
}

int64_t StorageFilePiece_Get(void* instance, StorageOperation* operation) {
    return Transfer(Backend(instance), operation, 0);
}

int64_t StorageFilePiece_Put(void* instance, StorageOperation* operation) {
    return Transfer(Backend(instance), operation, 1);
}

int64_t StorageFilePiece_Erase(void* instance, StorageOperation* operation) {
    StorageFilePiece* b = Backend(instance);
    MetaFile* meta = nullptr;
    PieceList* pieces = nullptr;
    int32_t index = -1, total = 0;
    Storage_OperationGetMetaFile(operation, &meta);
    Storage_OperationGetPieceIndex(operation, &index);
    if (meta) MetaFile_GetPieceListHandle(meta, &pieces);
    if (pieces) PieceList_GetPieceTotal(pieces, &total);
    char name[STORAGE_FILE_PATH_SIZE];
    if (!meta || index < 0 || index >= total || !PieceName(b, operation, meta, index, name))
        return Finish(operation, STORAGE_ERROR_INVALID_CONTENT, 0);
    char digest[134];
    PieceList_GetDigestStringByIndex(pieces, index, digest, (int32_t)sizeof(digest));
    StorageFilePiece_VerboseLog(b, 0, "Erase (%s)", digest);
    int32_t directory = -1;
    const char* leaf = nullptr;
    int32_t error = StorageFileOS_OpenParent(b->OutputPath, name, 0, &directory, &leaf);
    if (error == ENOENT || error == ENOTDIR) return Finish(operation, 0, 0);
    StorageFileOSStatus status{};
    if (!error) error = StorageFileOS_Status(directory, leaf, &status);
    if (!error && status.Kind == STORAGE_FILE_OS_LINK) error = ELOOP;
    if (!error && status.Kind != STORAGE_FILE_OS_MISSING) {
        error = StorageFileOS_Remove(directory, leaf, 0);
        if (error == ENOENT) error = 0;
    }
    StorageFileOS_Close(&directory);
    if (error) return FinishError(operation, error);
    {
        CriticalSectionGuard guard(b->Lock);
        StorageFileInternal_Collapse(b->OutputPath, name, b, CollapsePrint);
    }
    if (b->Front) Storage_SetIOTime(b->Front, Time_GetCurrent());
    return Finish(operation, 0, 0);
}

int64_t StorageFilePiece_FileErase(void* instance, StorageOperation* operation) {
    Backend(instance);
    return Finish(operation, STORAGE_NOT_SUPPORTED, 0);
}

int64_t StorageFilePiece_FileComplete(void* instance, StorageOperation* operation) {
    Backend(instance);
    return Finish(operation, 0, 0);
}
