// The storage request object: its member list, its page-aligned buffer with counted pointers,
// its fields, the padding stages and the encoders it does not offer.
#include "repository/storage_request.h"

#include <atomic>
#include <cstring>

#include "core/linux/platform_system.h"
#include "core/runtime/bit_field.h"
#include "core/runtime/class_family.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"
#include "core/runtime/time.h"
#include "repository/padding.h"
#include "repository/storage_request_internal.h"
#include "repository/vcdiff_decoder.h"

using namespace storage_request_internal;

namespace {

constexpr uint32_t kMemberChunk = 5;
constexpr uint32_t kScratchMinimum = 1024;
constexpr uint32_t kDefaultPage = 4096;
constexpr uint32_t kNameSize = 4096;

void PreparePrint(StorageRequest* request) {
    ClassPrint_Prepare(&request->Print, request, "StorageRequest", nullptr);
}

int32_t& RefCount(StorageRequest* request) { return request->BufferRefCount; }

int32_t LoadRefCount(StorageRequest* request) {
    return std::atomic_ref<int32_t>(RefCount(request)).load();
}

uint32_t PageSize() {
    int32_t page = 0;
    if (!Platform_GetPageSize(&page) || page <= 0 || (page & (page - 1)) != 0) return kDefaultPage;
    return (uint32_t)page;
}

void BufferRelease(StorageRequest* request) {
    if (request->Allocation) Memory_Free(request->Allocation, request->AllocationSize);
    request->Allocation = nullptr;
    request->AllocationSize = 0;
    request->Buffer = nullptr;
    request->BufferSize = 0;
}

int64_t Delete(StorageRequest** handle) {
    StorageRequest* request = *handle;
    AssertNoPointer(request);
    MembersTruncate(request, nullptr);
    while (StorageRequestMember* spare = request->Spare) {
        request->Spare = spare->Next;
        Pool_Free(request->MemberPool, &spare, sizeof(StorageRequestMember));
    }
    if (request->Delta) StorageRequest_Release(&request->Delta);
    ManifestHold(request, nullptr);
    if (request->Bits) BitField_Release(&request->Bits);
    if (request->Decoder) VCDiffDecoder_Release(&request->Decoder);
    if (request->PadInPiece) PaddingIntersect_Release(&request->PadInPiece);
    if (request->PadBefore) PaddingIntersect_Release(&request->PadBefore);
    if (request->InflateReady) inflateEnd(&request->Inflate);
    if (request->MemberPool) Pool_Delete(&request->MemberPool);
    BufferRelease(request);
    if (request->Scratch) Memory_Free(request->Scratch, request->ScratchSize);
    Memory_Free(request, sizeof(StorageRequest));
    *handle = nullptr;
    return 1;
}

int64_t DeleteHandle(void** handle) { return Delete(reinterpret_cast<StorageRequest**>(handle)); }

bool SameFile(StorageRequestMember* a, StorageRequestMember* b) { return a && b && a->File == b->File; }

// The same slice of a file of the same name. Names are compared in place, as far as a name buffer
// of kNameSize would hold them.
bool SameSlice(FileList* listA, StorageRequestMember* a, FileList* listB, StorageRequestMember* b) {
    if (a->FileOffset != b->FileOffset || a->Length != b->Length) return false;
    const char* nameA = MemberName(listA, a);
    const char* nameB = MemberName(listB, b);
    if (!nameA || !nameB) return !nameA && !nameB;
    return strncmp(nameA, nameB, kNameSize - 1) == 0;
}
bool SameIndex(StorageRequestMember* a, StorageRequestMember* b) { return a && b && a->Index == b->Index; }

} // namespace

namespace storage_request_internal {

void AssertNoPointer(StorageRequest* request) {
    const int32_t StorageRequestBufferRefCount = LoadRefCount(request);
    (void)StorageRequestBufferRefCount;
    if (StorageRequestBufferRefCount != 0)
        Debug_AbortInt(__FILE__, __LINE__,
                       "Assertion failed (StorageRequest->BufferRefCount == 0)\n"
                       "Reference to buffer not released before being reset [%d]\n",
                       StorageRequestBufferRefCount);
}

bool ScratchReserve(StorageRequest* request, uint32_t size) {
    if (size < kScratchMinimum) size = kScratchMinimum;
    if (request->Scratch && request->ScratchSize >= size) return true;
    if (size > (uint32_t)INT32_MAX) return false;
    uint8_t* grown = static_cast<uint8_t*>(Memory_Alloc(size));
    if (!grown) return false;
    if (request->Scratch) Memory_Free(request->Scratch, request->ScratchSize);
    request->Scratch = grown;
    request->ScratchSize = size;
    return true;
}

StorageRequestMember* MemberAppend(StorageRequest* request, FileListMember* file, uint64_t offset,
                                   uint64_t fileOffset, uint32_t index, uint32_t length, uint32_t padding) {
    StorageRequestMember* member = request->Spare;
    if (member)
        request->Spare = member->Next;
    else
        member =
            static_cast<StorageRequestMember*>(Pool_Alloc(request->MemberPool, sizeof(StorageRequestMember)));
    if (!member) return nullptr;
    memset(member, 0, sizeof(*member));
    member->File = file;
    member->Offset = offset;
    member->FileOffset = fileOffset;
    member->Index = index;
    member->Length = length;
    member->Padding = padding;
    if (StorageRequestMember* tail = request->Tail) {
        member->BufferOffset = tail->BufferOffset + tail->Length + tail->Padding;
        member->UnpadBufferOffset = tail->UnpadBufferOffset + tail->Length;
        tail->Next = member;
        member->Previous = tail;
    } else {
        request->Head = member;
    }
    request->Tail = member;
    request->MemberCount++;
    return member;
}

void MembersTruncate(StorageRequest* request, StorageRequestMember* keep) {
    StorageRequestMember* member = keep ? keep->Next : request->Head;
    while (member) {
        StorageRequestMember* next = member->Next;
        member->Next = request->Spare;
        request->Spare = member;
        request->MemberCount--;
        member = next;
    }
    if (keep) {
        keep->Next = nullptr;
        request->Tail = keep;
    } else {
        request->Head = request->Tail = nullptr;
    }
}

} // namespace storage_request_internal

CLASS_PRINT_FAMILY(StorageRequest, StorageRequest, STORAGE_REQUEST_CLASS_ID, PreparePrint)

int64_t StorageRequest_Create(StorageRequest** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* request = static_cast<StorageRequest*>(Memory_AllocZero(sizeof(StorageRequest)));
    if (!request) return 0;
    request->Header.ClassId = STORAGE_REQUEST_CLASS_ID;
    request->Header.RefCount = 1;
    Class_GenerateInstanceIdReal(request);
    Class_SetDeleteCallback(request, &DeleteHandle);
    // The inflate state is made on first use (StorageRequest_GZipInflate): most requests never
    // carry a compressed piece, and each state is a few KB of fresh memory at every sync's start.
    const bool made = VCDiffDecoder_Create(&request->Decoder) &&
                      BitField_Create(&request->Bits) && Pool_Create(&request->MemberPool) &&
                      Pool_SetMemorySize(request->MemberPool, sizeof(StorageRequestMember)) &&
                      Pool_SetChunkSize(request->MemberPool, kMemberChunk);
    if (!made) {
        Delete(&request);
        return 0;
    }
    StorageRequest_Reset(request);
    *handle = request;
    return 1;
}

int64_t StorageRequest_AddRef(StorageRequest* request) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    Class_AddRef(request);
    return 1;
}

int64_t StorageRequest_Release(StorageRequest** handle) {
    ASSERT_POINTER(handle);
    CLASS_CHECK(*handle, STORAGE_REQUEST_CLASS_ID);
    Class_Release(handle);
    *handle = nullptr;
    return 1;
}

int64_t StorageRequest_GetInstanceId(StorageRequest* request, char* buffer, int32_t size) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, request->Header.InstanceId, (int32_t)sizeof(request->Header.InstanceId));
    return 1;
}

int64_t StorageRequest_Reset(StorageRequest* request) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    AssertNoPointer(request);
    MembersTruncate(request, nullptr);
    if (request->Delta) StorageRequest_Reset(request->Delta);
    request->Complete = 0;
    request->AllowVCDiff = 1;
    request->StartTime = Time_GetCurrent();
    request->Owner = nullptr;
    request->State = 0;
    request->Flags = STORAGE_REQUEST_FLAG_PAD;
    request->ContentLength = 0;
    request->Length = 0;
    request->IndexStart = -1;
    request->DeltaLoaded = false;
    if (request->Buffer) memset(request->Buffer, 0, request->BufferSize);
    return 1;
}

int64_t StorageRequest_Alloc(StorageRequest* request) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    const uint64_t wanted = (uint64_t)request->Length + STORAGE_REQUEST_SLACK;
    const uint32_t page = PageSize();
    const uint64_t total = wanted + 2ull * page;
    if (total > (uint64_t)INT32_MAX) return 0;
    if (request->Buffer && request->AllocationSize >= total) {
        request->BufferSize = (uint32_t)wanted;
        memset(request->Buffer, 0, request->BufferSize);
        return 1;
    }
    // Replacing the buffer would leave the pointers handed out dangling.
    if (LoadRefCount(request) != 0) return 0;
    auto* allocation = static_cast<uint8_t*>(Memory_AllocZero(total));
    if (!allocation) return 0;
    BufferRelease(request);
    request->Allocation = allocation;
    request->AllocationSize = (uint32_t)total;
    const uintptr_t address = reinterpret_cast<uintptr_t>(allocation);
    request->Buffer = allocation + ((page - (address & (page - 1))) & (page - 1));
    request->BufferSize = (uint32_t)wanted;
    return 1;
}

int64_t StorageRequest_Free(StorageRequest* request) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    if (LoadRefCount(request) != 0) return 0;
    BufferRelease(request);
    return 1;
}

int64_t StorageRequest_AllocSize(StorageRequest* request, uint32_t* size) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    ASSERT_POINTER(size);
    *size = request->Length + STORAGE_REQUEST_SLACK;
    return 1;
}

int64_t StorageRequest_GetLength(StorageRequest* request, uint32_t* length) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    ASSERT_POINTER(length);
    *length = request->Length;
    return 1;
}

int64_t StorageRequest_GetPointerAt(StorageRequest* request, uint32_t offset, uint8_t** pointer) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    ASSERT_POINTER(pointer);
    *pointer = nullptr;
    if (!request->Buffer || offset > request->BufferSize) return 0;
    std::atomic_ref<int32_t>(RefCount(request)).fetch_add(1);
    *pointer = request->Buffer + offset;
    return 1;
}

int64_t StorageRequest_GetPointer(StorageRequest* request, uint8_t** pointer) {
    return StorageRequest_GetPointerAt(request, 0, pointer);
}

int64_t StorageRequest_ReleasePointer(StorageRequest* request, uint8_t** pointer) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    ASSERT_POINTER(pointer);
    if (!*pointer) return 0;
    *pointer = nullptr;
    std::atomic_ref<int32_t>(RefCount(request)).fetch_sub(1);
    return 1;
}

#define MEMBER_CHECK(request, member)                                                          \
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);                                            \
    ASSERT_POINTER(member)

int64_t StorageRequest_MemberGetFirst(StorageRequest* request, StorageRequestMember** member) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    ASSERT_POINTER(member);
    *member = request->Head;
    return *member != nullptr;
}

int64_t StorageRequest_MemberGetNext(StorageRequest* request, StorageRequestMember* member,
                                     StorageRequestMember** next) {
    MEMBER_CHECK(request, member);
    ASSERT_POINTER(next);
    *next = member->Next;
    return *next != nullptr;
}

int64_t StorageRequest_MemberGetLast(StorageRequest* request, StorageRequestMember** member) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    ASSERT_POINTER(member);
    *member = request->Tail;
    return *member != nullptr;
}

int64_t StorageRequest_MemberGetCount(StorageRequest* request, uint32_t* count) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    ASSERT_POINTER(count);
    *count = request->MemberCount;
    return 1;
}

int64_t StorageRequest_MemberRemove(StorageRequest* request, StorageRequestMember** handle) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    ASSERT_POINTER(handle);
    StorageRequestMember* member = *handle;
    ASSERT_POINTER(member);
    if (member->Previous) member->Previous->Next = member->Next;
    else request->Head = member->Next;
    if (member->Next) member->Next->Previous = member->Previous;
    else request->Tail = member->Previous;
    request->MemberCount--;
    Pool_Free(request->MemberPool, handle, sizeof(StorageRequestMember));
    return 1;
}

#define MEMBER_FIELD_GETTER(Name, Type, field)                                                 \
    int64_t StorageRequest_Member##Name(StorageRequest* request, StorageRequestMember* member, Type* value) { \
        MEMBER_CHECK(request, member);                                                         \
        ASSERT_POINTER(value);                                                                 \
        *value = member->field;                                                                \
        return 1;                                                                              \
    }

MEMBER_FIELD_GETTER(GetIndex, uint32_t, Index)
MEMBER_FIELD_GETTER(GetFileListMemberHandle, FileListMember*, File)
MEMBER_FIELD_GETTER(GetOffset, uint64_t, Offset)
MEMBER_FIELD_GETTER(GetFileOffset, uint64_t, FileOffset)
MEMBER_FIELD_GETTER(GetLength, uint32_t, Length)
MEMBER_FIELD_GETTER(GetPadding, uint32_t, Padding)
MEMBER_FIELD_GETTER(GetBufferOffset, uint32_t, BufferOffset)
MEMBER_FIELD_GETTER(GetUnpadBufferOffset, uint32_t, UnpadBufferOffset)
MEMBER_FIELD_GETTER(GetSkip, uint32_t, Skip)

int64_t StorageRequest_MemberSetSkip(StorageRequest* request, StorageRequestMember* member, uint32_t skip) {
    MEMBER_CHECK(request, member);
    member->Skip = skip;
    return 1;
}

int64_t StorageRequest_MemberIsIndexFirst(StorageRequest* request, StorageRequestMember* member) {
    MEMBER_CHECK(request, member);
    return !SameIndex(member->Previous, member);
}

int64_t StorageRequest_MemberIsIndexLast(StorageRequest* request, StorageRequestMember* member) {
    MEMBER_CHECK(request, member);
    return !SameIndex(member->Next, member);
}

int64_t StorageRequest_MemberIsFileFirst(StorageRequest* request, StorageRequestMember* member) {
    MEMBER_CHECK(request, member);
    return !SameFile(member->Previous, member);
}

int64_t StorageRequest_MemberIsFileLast(StorageRequest* request, StorageRequestMember* member) {
    MEMBER_CHECK(request, member);
    return !SameFile(member->Next, member);
}

int64_t StorageRequest_MemberCompare(StorageRequest* requestA, StorageRequestMember* memberA,
                                     StorageRequest* requestB, StorageRequestMember* memberB) {
    MEMBER_CHECK(requestA, memberA);
    MEMBER_CHECK(requestB, memberB);
    return SameSlice(MemberList(requestA), memberA, MemberList(requestB), memberB);
}

int64_t StorageRequest_GetIndexRange(StorageRequest* request, int32_t* lowest, int32_t* highest) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    ASSERT_POINTER(lowest);
    ASSERT_POINTER(highest);
    *lowest = *highest = 0;
    if (!request->Head) return 0;
    uint32_t low = UINT32_MAX, high = 0;
    for (StorageRequestMember* m = request->Head; m; m = m->Next) {
        if (m->Index < low) low = m->Index;
        if (m->Index > high) high = m->Index;
    }
    *lowest = (int32_t)low;
    *highest = (int32_t)high;
    return 1;
}

int64_t StorageRequest_Compare(StorageRequest* a, StorageRequest* b) {
    CLASS_CHECK(a, STORAGE_REQUEST_CLASS_ID);
    CLASS_CHECK(b, STORAGE_REQUEST_CLASS_ID);
    if (a->MemberCount != b->MemberCount) return 0;
    FileList* listA = MemberList(a);
    FileList* listB = MemberList(b);
    for (StorageRequestMember *x = a->Head, *y = b->Head; x && y; x = x->Next, y = y->Next)
        if (!SameSlice(listA, x, listB, y)) return 0;
    return 1;
}

#define REQUEST_GETTER(Name, Type, field)                                                      \
    int64_t StorageRequest_Get##Name(StorageRequest* request, Type* value) {                   \
        CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);                                        \
        ASSERT_POINTER(value);                                                                 \
        *value = request->field;                                                               \
        return 1;                                                                              \
    }
#define REQUEST_SETTER(Name, Type, field)                                                      \
    int64_t StorageRequest_Set##Name(StorageRequest* request, Type value) {                    \
        CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);                                        \
        request->field = value;                                                                \
        return 1;                                                                              \
    }

REQUEST_GETTER(ContentLength, uint32_t, ContentLength)
REQUEST_SETTER(ContentLength, uint32_t, ContentLength)
REQUEST_GETTER(IndexStart, int32_t, IndexStart)
REQUEST_SETTER(IndexStart, int32_t, IndexStart)
REQUEST_GETTER(MetaFileHandle, MetaFile*, Manifest)
REQUEST_GETTER(StorageHandle, Storage*, Owner)
REQUEST_SETTER(StorageHandle, Storage*, Owner)
REQUEST_GETTER(DeltaRequestHandle, StorageRequest*, Delta)
REQUEST_GETTER(BitFieldHandle, BitField*, Bits)
REQUEST_GETTER(AllowVCDiff, uint32_t, AllowVCDiff)
REQUEST_SETTER(AllowVCDiff, uint32_t, AllowVCDiff)
REQUEST_GETTER(Complete, uint32_t, Complete)
REQUEST_SETTER(Complete, uint32_t, Complete)
REQUEST_GETTER(State, uint32_t, State)
REQUEST_SETTER(State, uint32_t, State)
REQUEST_GETTER(StartTime, double, StartTime)
REQUEST_GETTER(ErrorCount, uint32_t, ErrorCount)
REQUEST_SETTER(ErrorCount, uint32_t, ErrorCount)

int64_t StorageRequest_AddContentLength(StorageRequest* request, uint32_t length) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    request->ContentLength += length;
    return 1;
}

int64_t StorageRequest_HasFlag(StorageRequest* request, uint32_t flag) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    return (request->Flags & flag) != 0;
}

int64_t StorageRequest_SetFlags(StorageRequest* request, uint32_t flags) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    request->Flags = flags;
    return 1;
}

int64_t StorageRequest_IncrementErrorCount(StorageRequest* request) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    request->ErrorCount++;
    return 1;
}

int64_t StorageRequest_SetMetaFileHandle(StorageRequest* request, MetaFile* metaFile) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    ManifestHold(request, metaFile);
    return 1;
}

int64_t StorageRequest_SetDeltaRequestHandle(StorageRequest* request, StorageRequest* delta) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    if (delta == request) return 0;
    if (delta) StorageRequest_AddRef(delta);
    if (request->Delta) StorageRequest_Release(&request->Delta);
    request->Delta = delta;
    return 1;
}

int64_t StorageRequest_SetBitFieldHandle(StorageRequest* request, BitField* field) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    if (field) BitField_AddRef(field);
    if (request->Bits) BitField_Release(&request->Bits);
    request->Bits = field;
    return 1;
}

// Padding sits in the buffer only between the slices; moving data towards the padded layout
// runs from the last member so that no slice overwrites one not yet moved, and back from the
// first for the same reason.
int64_t StorageRequest_PadInflate(StorageRequest* request) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    if (request->Flags & STORAGE_REQUEST_FLAG_PAD) return 1;
    uint64_t total = 0;
    for (StorageRequestMember* m = request->Head; m; m = m->Next) total += (uint64_t)m->Length + m->Padding;
    if (request->Head && (!request->Buffer || total > request->BufferSize)) return 0;
    for (StorageRequestMember* m = request->Tail; m; m = m->Previous) {
        memmove(request->Buffer + m->BufferOffset, request->Buffer + m->UnpadBufferOffset, m->Length);
        memset(request->Buffer + m->BufferOffset + m->Length, 0, m->Padding);
    }
    request->ContentLength = (uint32_t)total;
    request->Flags |= STORAGE_REQUEST_FLAG_PAD;
    return 1;
}

int64_t StorageRequest_PadDeflate(StorageRequest* request) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    if (!(request->Flags & STORAGE_REQUEST_FLAG_PAD)) return 1;
    uint64_t padded = 0, data = 0;
    for (StorageRequestMember* m = request->Head; m; m = m->Next) {
        padded += (uint64_t)m->Length + m->Padding;
        data += m->Length;
    }
    if (request->Head && (!request->Buffer || padded > request->BufferSize)) return 0;
    for (StorageRequestMember* m = request->Head; m; m = m->Next)
        memmove(request->Buffer + m->UnpadBufferOffset, request->Buffer + m->BufferOffset, m->Length);
    if (request->Buffer) memset(request->Buffer + data, 0, (size_t)(padded - data));
    request->ContentLength = (uint32_t)data;
    request->Flags &= ~(uint32_t)STORAGE_REQUEST_FLAG_PAD;
    return 1;
}

int64_t StorageRequest_GZipDeflate(StorageRequest* request, const char** reason) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    if (reason) *reason = nullptr;
    if (request->Flags & STORAGE_REQUEST_FLAG_GZIP) return 1;
    if (reason) *reason = "GZip deflate not implemeted";
    return 0;
}

int64_t StorageRequest_AESEncrypt(StorageRequest* request, const char** reason) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    if (reason) *reason = nullptr;
    if (request->Flags & STORAGE_REQUEST_FLAG_AES256) return 1;
    if (reason) *reason = "AES encrypt not implemeted";
    return 0;
}
