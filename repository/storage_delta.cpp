// Delta sources: one pending-read record per source read, the local storage's Get through the
// offset cache, and the read bytes counted on success.
#include "repository/storage_delta.h"

#include <cstring>

#include "core/runtime/app_config_keys.h"
#include "core/runtime/class_family.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"
#include "repository/meta_file.h"
#include "repository/offset_cache.h"
#include "repository/digest_table.h"
#include "repository/storage.h"
#include "repository/storage_request.h"

struct StorageDelta {
    Class Header;
    ClassPrint Print;
    OffsetCache* Cache;
    Pool* Reads;
    Storage* Source;
    uint64_t ReadBytes;
};

namespace {

constexpr uint32_t kReadRecordSize = 48;

// A source read in flight: the delta and the request stay referenced until it completes.
struct PendingRead {
    StorageDelta* Delta;
    StorageRequest* Request;
    StorageRequest* DeltaRequest;
    void* User;
    StorageDeltaCompleteFunc Completion;
};
static_assert(sizeof(PendingRead) <= kReadRecordSize, "pending reads come from 48-byte blocks");

int64_t DeleteHandle(void** handle) {
    return StorageDelta_Delete(reinterpret_cast<StorageDelta**>(handle));
}

void PreparePrint(StorageDelta* d) {
    ClassPrint_Prepare(&d->Print, d, "StorageDelta", StorageDelta_PrintInternal);
}

void ReadComplete(Storage* storage, void* user, void* requestSlot, uint32_t code, uint32_t extendedCode) {
    (void)storage;
    (void)requestSlot;
    PendingRead* read = static_cast<PendingRead*>(user);
    PendingRead copy = *read;
    Pool_Free(copy.Delta->Reads, &read, kReadRecordSize);
    if (code == 0) {
        uint32_t length = 0;
        StorageRequest_GetContentLength(copy.DeltaRequest, &length);
        copy.Delta->ReadBytes += length;
    }
    copy.Completion(copy.Delta, copy.Request, copy.User, code, extendedCode);
    StorageRequest_Release(&copy.Request);
    StorageDelta_Release(&copy.Delta);
}

} // namespace

CLASS_BASICS(StorageDelta, StorageDelta, STORAGE_DELTA_CLASS_ID)
CLASS_PRINT_FAMILY(StorageDelta, StorageDelta, STORAGE_DELTA_CLASS_ID, PreparePrint)

int64_t StorageDelta_Create(StorageDelta** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    StorageDelta* d = static_cast<StorageDelta*>(Memory_AllocZero(sizeof(StorageDelta)));
    d->Header.ClassId = STORAGE_DELTA_CLASS_ID;
    d->Header.RefCount = 1;
    d->Header.Delete = DeleteHandle;
    Pool_Create(&d->Reads);
    Pool_SetMemorySize(d->Reads, kReadRecordSize);
    Pool_SetChunkSize(d->Reads, 10);
    OffsetCache_Create(&d->Cache);
    OffsetCache_SetPrintCallback(d->Cache, d, StorageDelta_PrintInternal);
    *handle = d;
    return 1;
}

int64_t StorageDelta_Delete(StorageDelta** handle) {
    ASSERT_POINTER(handle);
    StorageDelta* d = *handle;
    CLASS_CHECK(d, STORAGE_DELTA_CLASS_ID);
    Pool_Delete(&d->Reads);
    OffsetCache_Release(&d->Cache);
    if (d->Source) Storage_Release(&d->Source);
    d->Header.ClassId = 0;
    Memory_Free(d, sizeof(StorageDelta));
    *handle = nullptr;
    return 1;
}

int64_t StorageDelta_SetSourceHandle(StorageDelta* delta, Storage* storage) {
    CLASS_CHECK(delta, STORAGE_DELTA_CLASS_ID);
    if (storage) Storage_AddRef(storage);
    if (delta->Source) Storage_Release(&delta->Source);
    delta->Source = storage;
    return 1;
}

int64_t StorageDelta_Configure(StorageDelta* delta, Dictionary* engineConfig, Dictionary* storageConfig) {
    CLASS_CHECK(delta, STORAGE_DELTA_CLASS_ID);
    int32_t size = 0;
    const bool found = (storageConfig && Dictionary_GetInt32ByKey(storageConfig, "deltaCacheSize", &size)) ||
                       (engineConfig && Dictionary_GetInt32ByPath(engineConfig, kAppConfigStorageDeltaCacheSize, &size));
    if (!found) {
        StorageDelta_Print(delta, "Configuration dictionary missing %s", "deltaCacheSize");
        return 0;
    }
    OffsetCache_SetSize(delta->Cache, size);
    return 1;
}

int64_t StorageDelta_Reset(StorageDelta* delta) {
    CLASS_CHECK(delta, STORAGE_DELTA_CLASS_ID);
    delta->ReadBytes = 0;
    OffsetCache_Reset(delta->Cache);
    return 1;
}

int64_t StorageDelta_CacheClear(StorageDelta* delta) {
    CLASS_CHECK(delta, STORAGE_DELTA_CLASS_ID);
    OffsetCache_Reset(delta->Cache);
    return 1;
}

int64_t StorageDelta_Dump(StorageDelta* delta, Dictionary* dictionary) {
    CLASS_CHECK(delta, STORAGE_DELTA_CLASS_ID);
    ASSERT_POINTER(dictionary);
    Dictionary_SetInt64ByKey(dictionary, "readBytes", (int64_t)delta->ReadBytes);
    Dictionary* cache = nullptr;
    Dictionary_EnsureDictionary(dictionary, "cache", nullptr, &cache);
    if (cache) OffsetCache_Dump(delta->Cache, cache);
    return 1;
}

int64_t StorageDelta_Get(StorageDelta* delta, StorageRequest* request, void* user,
                         StorageDeltaCompleteFunc completion) {
    CLASS_CHECK(delta, STORAGE_DELTA_CLASS_ID);
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    ASSERT_POINTER(completion);
    StorageRequest* source = nullptr;
    MetaFile* manifest = nullptr;
    PieceList* pieces = nullptr;
    int32_t total = 0;
    if (!StorageRequest_GetDeltaRequestHandle(request, &source) || !source) {
        completion(delta, request, user, STORAGE_ERROR_VCDIFF, 0);
        return 1;
    }
    StorageRequest_Reset(source);
    if (StorageRequest_GetMetaFileHandle(source, &manifest) && manifest &&
        MetaFile_GetPieceListHandle(manifest, &pieces) && pieces)
        PieceList_GetPieceTotal(pieces, &total);

    int32_t index = 0, count = 0;
    if (!StorageRequest_VCDiffLoad(request, &index, &count)) {
        completion(delta, request, user, STORAGE_ERROR_VCDIFF, 0);
        return 1;
    }
    if (count == 0) {
        // The window copies nothing from the source, yet the decoder is handed an (empty) one.
        StorageRequest_Alloc(source);
        completion(delta, request, user, 0, 0);
        return 1;
    }
    if (!manifest || index < 0 || count < 0 || (int64_t)index + count > total) {
        completion(delta, request, user, STORAGE_ERROR_VCDIFF, 0);
        return 1;
    }
    if (!delta->Source) {
        completion(delta, request, user, STORAGE_NOT_SUPPORTED, 0);
        return 1;
    }
    for (int32_t i = index; i < index + count; ++i) {
        if (!StorageRequest_IndexAdd(source, i)) {
            completion(delta, request, user, STORAGE_ERROR_VCDIFF, 0);
            return 1;
        }
    }
    if (!StorageRequest_Alloc(source)) {
        completion(delta, request, user, STORAGE_ERROR_SIZE_LIMIT, 0);
        return 1;
    }
    PendingRead* read = static_cast<PendingRead*>(Pool_Alloc(delta->Reads, kReadRecordSize));
    StorageDelta_AddRef(delta);
    StorageRequest_AddRef(request);
    *read = PendingRead{delta, request, source, user, completion};
    Storage_Get(delta->Source, source, delta->Cache, read, ReadComplete);
    return 1;
}

int64_t StorageDelta_PrintInternal(void* user, const char* format, ...) {
    (void)user;
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}
