// The padding table of a content manifest, its index and the clipped view of one span. Ranges come
// from a pool in chunks; lookups by offset are binary searches over the index.
#include "repository/padding.h"

#include <cstring>

#include "core/runtime/class_family.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"
#include "repository/manifest_value.h"

struct PaddingMember {
    uint64_t Offset;
    int64_t Size; // as the manifest gave it; the index refuses what no 32-bit count holds
    PaddingMember* Next;
    PaddingMember* Prev;
};

struct Padding {
    Class Header;
    PaddingMember* First;
    PaddingMember* Last;
    uint32_t Count;
    Pool* Records;
    char CurrentIndex[64];
    int32_t CurrentIndexLength;
    PaddingMember* Current;
};

namespace {

constexpr uint32_t kRecordsPerChunk = 100;
constexpr int64_t kMaxRangeSize = 0x7FFFFFFF;
constexpr uint64_t kMaxStream = 0x7FFFFFFFFFFFFFFFull;

struct Entry {
    PaddingMember* Member;
    uint64_t Offset;
    uint64_t MaxEnd; // the largest end (offset + size) of this range and every one before it
};

template <typename T> int64_t DeleteObject(void** handle);

void Append(Padding* padding) {
    PaddingMember* m = padding->Current;
    if (!m) return;
    padding->Current = nullptr;
    m->Prev = padding->Last;
    if (padding->Last)
        padding->Last->Next = m;
    else
        padding->First = m;
    padding->Last = m;
    padding->Count++;
}

} // namespace

struct PaddingIndex {
    Class Header;
    Entry* Entries;
    uint32_t Count;
    uint32_t Capacity;
};

struct PaddingIntersectMember {
    uint64_t Offset;
    uint32_t Size;
};

struct PaddingIntersect {
    Class Header;
    PaddingIntersectMember* Members;
    uint32_t Count;
    uint32_t Capacity;
    uint64_t TotalSize;
};

namespace {

template <> int64_t DeleteObject<Padding>(void** handle) {
    auto* padding = static_cast<Padding*>(*handle);
    Pool_Delete(&padding->Records);
    padding->Header.ClassId = 0;
    Memory_Free(padding, sizeof(Padding));
    *handle = nullptr;
    return 1;
}

template <> int64_t DeleteObject<PaddingIndex>(void** handle) {
    auto* index = static_cast<PaddingIndex*>(*handle);
    if (index->Entries) Memory_Free(index->Entries, sizeof(Entry) * index->Capacity);
    index->Header.ClassId = 0;
    Memory_Free(index, sizeof(PaddingIndex));
    *handle = nullptr;
    return 1;
}

template <> int64_t DeleteObject<PaddingIntersect>(void** handle) {
    auto* intersect = static_cast<PaddingIntersect*>(*handle);
    if (intersect->Members) Memory_Free(intersect->Members, sizeof(PaddingIntersectMember) * intersect->Capacity);
    intersect->Header.ClassId = 0;
    Memory_Free(intersect, sizeof(PaddingIntersect));
    *handle = nullptr;
    return 1;
}

template <typename T> T* NewObject(uint32_t classId) {
    auto* object = static_cast<T*>(Memory_AllocZero(sizeof(T)));
    object->Header.ClassId = classId;
    object->Header.RefCount = 1;
    object->Header.Delete = DeleteObject<T>;
    Class_GenerateInstanceIdReal(object);
    return object;
}

// The first range that starts at the offset or ends after it, or -1.
int64_t FindFirst(const PaddingIndex* index, uint64_t offset) {
    uint32_t low = 0, high = index->Count;
    while (low < high) {
        const uint32_t mid = low + (high - low) / 2;
        const Entry& e = index->Entries[mid];
        if (e.MaxEnd > offset || e.Offset >= offset)
            high = mid;
        else
            low = mid + 1;
    }
    return low < index->Count ? (int64_t)low : -1;
}

} // namespace

// ---- Table --------------------------------------------------------------------------------------

CLASS_BASICS(Padding, Padding, PADDING_CLASS_ID)

int64_t Padding_Create(Padding** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    Padding* padding = NewObject<Padding>(PADDING_CLASS_ID);
    Pool_Create(&padding->Records);
    Pool_SetMemorySize(padding->Records, sizeof(PaddingMember));
    Pool_SetChunkSize(padding->Records, kRecordsPerChunk);
    Pool_SetZeroOnAlloc(padding->Records, 1);
    *handle = padding;
    return 1;
}

int64_t Padding_Reset(Padding* padding) {
    CLASS_CHECK(padding, PADDING_CLASS_ID);
    Pool_Reset(padding->Records);
    padding->First = padding->Last = padding->Current = nullptr;
    padding->Count = 0;
    padding->CurrentIndexLength = 0;
    return 1;
}

int64_t Padding_MemberAddByValue(Padding* padding, const char* path, uint32_t type, const char* text, int32_t length,
                                 uint32_t* error) {
    CLASS_CHECK(padding, PADDING_CLASS_ID);
    ASSERT_POINTER(path);
    if (error) *error = 0;
    if (!text || length < 0) length = 0;
    const ManifestPath p = ManifestPath_Split(path);
    if (p.Count < 2) return 1;
    const std::string_view at = p.Part[1].substr(0, sizeof(padding->CurrentIndex) - 1);
    if (!padding->Current || at != std::string_view(padding->CurrentIndex, (size_t)padding->CurrentIndexLength)) {
        Append(padding);
        padding->Current = static_cast<PaddingMember*>(Pool_Alloc(padding->Records, sizeof(PaddingMember)));
        memcpy(padding->CurrentIndex, at.data(), at.size());
        padding->CurrentIndexLength = (int32_t)at.size();
    }
    if (p.Count != 3 || !ManifestValue_IsScalar(type)) return 1;
    if (ManifestText_Is(p.Part[2], "offset"))
        padding->Current->Offset = (uint64_t)ManifestText_ToInt64(text, length);
    else if (ManifestText_Is(p.Part[2], "size"))
        padding->Current->Size = ManifestText_ToInt64(text, length);
    return 1;
}

int64_t Padding_MemberFlush(Padding* padding) {
    CLASS_CHECK(padding, PADDING_CLASS_ID);
    Append(padding);
    padding->CurrentIndexLength = 0;
    return 1;
}

int64_t Padding_GetCount(Padding* padding, uint32_t* count) {
    CLASS_CHECK(padding, PADDING_CLASS_ID);
    ASSERT_POINTER(count);
    *count = padding->Count;
    return 1;
}

int64_t Padding_MemberGetFirst(Padding* padding, PaddingMember** member) {
    CLASS_CHECK(padding, PADDING_CLASS_ID);
    ASSERT_POINTER(member);
    *member = padding->First;
    return *member != nullptr;
}

int64_t Padding_MemberGetNext(Padding* padding, PaddingMember* member, PaddingMember** next) {
    CLASS_CHECK(padding, PADDING_CLASS_ID);
    ASSERT_POINTER(member);
    ASSERT_POINTER(next);
    *next = member->Next;
    return *next != nullptr;
}

int64_t Padding_MemberGetOffset(Padding* padding, PaddingMember* member, uint64_t* offset) {
    CLASS_CHECK(padding, PADDING_CLASS_ID);
    ASSERT_POINTER(member);
    ASSERT_POINTER(offset);
    *offset = member->Offset;
    return 1;
}

int64_t Padding_MemberGetSize(Padding* padding, PaddingMember* member, uint32_t* size) {
    CLASS_CHECK(padding, PADDING_CLASS_ID);
    ASSERT_POINTER(member);
    ASSERT_POINTER(size);
    *size = (uint32_t)member->Size;
    return 1;
}

// ---- Index --------------------------------------------------------------------------------------

int64_t Padding_IndexCreate(PaddingIndex** handle) {
    ASSERT_POINTER(handle);
    *handle = NewObject<PaddingIndex>(PADDING_INDEX_CLASS_ID);
    return 1;
}

int64_t Padding_IndexAddRef(PaddingIndex* index) {
    CLASS_CHECK(index, PADDING_INDEX_CLASS_ID);
    Class_AddRef(index);
    return 1;
}

int64_t Padding_IndexRelease(PaddingIndex** handle) {
    ASSERT_POINTER(handle);
    CLASS_CHECK(*handle, PADDING_INDEX_CLASS_ID);
    Class_Release(handle);
    *handle = nullptr;
    return 1;
}

int64_t Padding_IndexReset(PaddingIndex* index) {
    CLASS_CHECK(index, PADDING_INDEX_CLASS_ID);
    index->Count = 0;
    return 1;
}

int64_t Padding_IndexMake(PaddingIndex* index, Padding* padding) {
    CLASS_CHECK(index, PADDING_INDEX_CLASS_ID);
    CLASS_CHECK(padding, PADDING_CLASS_ID);
    index->Count = 0;
    const uint32_t count = padding->Count;
    if ((uint64_t)count * sizeof(Entry) > 0x7FFFFFFF) return 0;
    if (count > index->Capacity) {
        if (index->Entries) Memory_Free(index->Entries, sizeof(Entry) * index->Capacity);
        index->Entries = static_cast<Entry*>(Memory_Alloc(sizeof(Entry) * count));
        index->Capacity = count;
    }
    uint32_t n = 0;
    uint64_t maxEnd = 0;
    for (PaddingMember* m = padding->First; m; m = m->Next, n++) {
        // Each range starts where the ones ahead of it ended or later: padding bytes are distinct
        // bytes of the stream, and ranges that nest would make every span walk over all of them.
        if (m->Offset < maxEnd) break;
        if (m->Size < 0 || m->Size > kMaxRangeSize || m->Offset > kMaxStream - (uint64_t)m->Size) break;
        const uint64_t end = m->Offset + (uint64_t)m->Size;
        if (end > maxEnd) maxEnd = end;
        index->Entries[n] = Entry{m, m->Offset, maxEnd};
    }
    if (n != count) return 0;
    index->Count = count;
    return 1;
}

int64_t Padding_IndexFindByOffset(PaddingIndex* index, uint64_t offset, PaddingMember** member) {
    CLASS_CHECK(index, PADDING_INDEX_CLASS_ID);
    ASSERT_POINTER(member);
    const int64_t at = FindFirst(index, offset);
    *member = at < 0 ? nullptr : index->Entries[at].Member;
    return *member != nullptr;
}

// ---- Intersect ----------------------------------------------------------------------------------

CLASS_BASICS(PaddingIntersect, PaddingIntersect, PADDINGINTERSECT_CLASS_ID)

int64_t PaddingIntersect_Create(PaddingIntersect** handle) {
    ASSERT_POINTER(handle);
    *handle = NewObject<PaddingIntersect>(PADDINGINTERSECT_CLASS_ID);
    return 1;
}

int64_t PaddingIntersect_Reset(PaddingIntersect* intersect) {
    CLASS_CHECK(intersect, PADDINGINTERSECT_CLASS_ID);
    intersect->Count = 0;
    intersect->TotalSize = 0;
    return 1;
}

namespace {

void AddPiece(PaddingIntersect* intersect, uint64_t offset, uint32_t size) {
    if (intersect->Count == intersect->Capacity) {
        const uint32_t grown = intersect->Capacity ? intersect->Capacity * 2 : 16;
        ASSERT_MSG((uint64_t)grown * sizeof(PaddingIntersectMember) <= 0x7FFFFFFF, "Too many padding pieces (%u)",
                   grown);
        auto* members = static_cast<PaddingIntersectMember*>(Memory_Alloc(sizeof(PaddingIntersectMember) * grown));
        if (intersect->Count) memcpy(members, intersect->Members, sizeof(PaddingIntersectMember) * intersect->Count);
        if (intersect->Members) Memory_Free(intersect->Members, sizeof(PaddingIntersectMember) * intersect->Capacity);
        intersect->Members = members;
        intersect->Capacity = grown;
    }
    intersect->Members[intersect->Count++] = PaddingIntersectMember{offset, size};
    intersect->TotalSize += size;
}

} // namespace

int64_t PaddingIntersect_Build(PaddingIntersect* intersect, Padding* padding, PaddingIndex* index, uint64_t first,
                               uint64_t last) {
    CLASS_CHECK(intersect, PADDINGINTERSECT_CLASS_ID);
    CLASS_CHECK(padding, PADDING_CLASS_ID);
    CLASS_CHECK(index, PADDING_INDEX_CLASS_ID);
    if (first > last) return 1;
    const int64_t at = FindFirst(index, first);
    if (at < 0) return 1;
    // Only ranges the index accepted are walked: their sizes fit 31 bits and their ends 63.
    for (uint32_t i = (uint32_t)at; i < index->Count; i++) {
        const PaddingMember* m = index->Entries[i].Member;
        if (m->Offset > last) break;
        if (m->Size == 0) continue;
        const uint64_t low = m->Offset > first ? m->Offset : first;
        const uint64_t rangeLast = m->Offset + (uint64_t)m->Size - 1;
        const uint64_t high = rangeLast < last ? rangeLast : last;
        if (low <= high) AddPiece(intersect, low, (uint32_t)(high - low + 1));
    }
    return 1;
}

int64_t PaddingIntersect_GetCount(PaddingIntersect* intersect, uint32_t* count) {
    CLASS_CHECK(intersect, PADDINGINTERSECT_CLASS_ID);
    ASSERT_POINTER(count);
    *count = intersect->Count;
    return 1;
}

int64_t PaddingIntersect_GetTotalSize(PaddingIntersect* intersect, uint64_t* size) {
    CLASS_CHECK(intersect, PADDINGINTERSECT_CLASS_ID);
    ASSERT_POINTER(size);
    *size = intersect->TotalSize;
    return 1;
}

int64_t PaddingIntersect_MemberGetFirst(PaddingIntersect* intersect, PaddingIntersectMember** member) {
    CLASS_CHECK(intersect, PADDINGINTERSECT_CLASS_ID);
    ASSERT_POINTER(member);
    *member = intersect->Count ? &intersect->Members[0] : nullptr;
    return *member != nullptr;
}

int64_t PaddingIntersect_MemberGetNext(PaddingIntersect* intersect, PaddingIntersectMember* member,
                                       PaddingIntersectMember** next) {
    CLASS_CHECK(intersect, PADDINGINTERSECT_CLASS_ID);
    ASSERT_POINTER(member);
    ASSERT_POINTER(next);
    *next = nullptr;
    ASSERT_MSG(member >= intersect->Members && member < intersect->Members + intersect->Count,
               "Padding piece [0x%p] is not in this intersect", (void*)member);
    if (member + 1 < intersect->Members + intersect->Count) *next = member + 1;
    return *next != nullptr;
}

int64_t PaddingIntersect_MemberGetOffset(PaddingIntersect* intersect, PaddingIntersectMember* member,
                                         uint64_t* offset) {
    CLASS_CHECK(intersect, PADDINGINTERSECT_CLASS_ID);
    ASSERT_POINTER(member);
    ASSERT_POINTER(offset);
    *offset = member->Offset;
    return 1;
}

int64_t PaddingIntersect_MemberGetSize(PaddingIntersect* intersect, PaddingIntersectMember* member, uint32_t* size) {
    CLASS_CHECK(intersect, PADDINGINTERSECT_CLASS_ID);
    ASSERT_POINTER(member);
    ASSERT_POINTER(size);
    *size = member->Size;
    return 1;
}
