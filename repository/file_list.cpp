// The file table of a content manifest and its index. Records come from a pool in chunks of 50
// and their texts from a string pool, so that a manifest of many files allocates in chunks.
#include "repository/file_list.h"

#include <cstring>

#include "core/runtime/class_family.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"
#include "core/runtime/string.h"
#include "repository/manifest_value.h"
#include "repository/name_index.h"
#include "repository/padding.h"

struct FileListMember {
    uint32_t Flags;
    int32_t NameLength; // with the terminator
    char* Name;
    char* Link;
    int32_t LinkLength;
    uint32_t Attributes;
    double ModifiedTime;
    int64_t Padding;
    uint64_t Size;
    uint64_t Offset;
    FileListMember* Next;
    FileListMember* Prev;
};

struct FileList {
    Class Header;
    FileListMember* First;
    FileListMember* Last;
    uint32_t Count;
    Pool* Records;
    Pool* Strings;
    // The array index of the record under construction, as the path gave it (empty: none).
    char CurrentIndex[64];
    int32_t CurrentIndexLength;
    FileListMember* Current;
};

namespace {

constexpr uint32_t kRecordsPerChunk = 50;
constexpr uint32_t kStringChunkBytes = 4096;
// No path is this long; a text past it is not kept (a file without its name fails the index)
// rather than asked of the string pool, whose chunks stop below 2 GiB.
constexpr int32_t kMaxText = 1 << 20;
// Paddings and offsets are kept below these: a file's padding is a 32-bit count and the stream
// must stay addressable with signed 64-bit offsets.
constexpr int64_t kMaxPadding = 0x7FFFFFFF;
constexpr uint64_t kMaxStream = 0x7FFFFFFFFFFFFFFFull;

struct Entry {
    FileListMember* Member;
    uint64_t Offset;
    uint64_t Size;
    uint64_t Padding;
};

int64_t DeleteList(void** handle) {
    FileList* list = static_cast<FileList*>(*handle);
    Pool_Delete(&list->Records);
    Pool_Delete(&list->Strings);
    list->Header.ClassId = 0;
    Memory_Free(list, sizeof(FileList));
    *handle = nullptr;
    return 1;
}

char* KeepText(FileList* list, const char* text, int32_t length, int32_t* kept) {
    char* copy = static_cast<char*>(Pool_Alloc(list->Strings, (uint32_t)length + 1));
    if (length > 0) memcpy(copy, text, (size_t)length);
    copy[length] = 0;
    *kept = length + 1;
    return copy;
}

void Append(FileList* list) {
    FileListMember* m = list->Current;
    if (!m) return;
    list->Current = nullptr;
    m->Prev = list->Last;
    if (list->Last)
        list->Last->Next = m;
    else
        list->First = m;
    list->Last = m;
    list->Count++;
}

} // namespace

struct FileListIndex {
    Class Header;
    Entry* Entries;
    uint32_t Count;
    uint32_t Capacity;
    NameIndex Names; // name (the record's own text, case ignored) -> entry number
    uint64_t TotalLength;
    uint64_t TotalPadding;
    uint64_t DataEnd;
    bool NamesBuilt;
    // No two entries' names are equal without regard to case: a name names one entry at most.
    bool NamesDistinct;
};

namespace {

int64_t DeleteIndex(void** handle) {
    FileListIndex* index = static_cast<FileListIndex*>(*handle);
    if (index->Entries) Memory_Free(index->Entries, sizeof(Entry) * index->Capacity);
    NameIndex_Free(&index->Names);
    index->Header.ClassId = 0;
    Memory_Free(index, sizeof(FileListIndex));
    *handle = nullptr;
    return 1;
}

void ClearIndex(FileListIndex* index) {
    index->Count = 0;
    index->TotalLength = 0;
    index->TotalPadding = 0;
    index->DataEnd = 0;
    // Lookups by name see only the entries laid out: none until the next build.
    index->NamesBuilt = false;
    index->NamesDistinct = false;
}

const char* EntryName(void* context, uint32_t number) {
    return static_cast<FileListIndex*>(context)->Entries[number].Member->Name;
}

// The padding of a non-empty file that starts at `start`: the sizes of the ranges that touch its
// span, the span growing with each one. False when no range lies at or after the start, or when
// the sum passes a 32-bit count.
bool PaddingFromRanges(Padding* padding, PaddingIndex* paddingIndex, uint64_t start, uint64_t size,
                       int64_t* result) {
    *result = 0;
    PaddingMember* range = nullptr;
    if (!Padding_IndexFindByOffset(paddingIndex, start, &range)) return false;
    int64_t p = 0;
    const int64_t s = (int64_t)start;
    for (; range; Padding_MemberGetNext(padding, range, &range)) {
        uint64_t offset = 0;
        uint32_t rangeSize = 0;
        Padding_MemberGetOffset(padding, range, &offset);
        Padding_MemberGetSize(padding, range, &rangeSize);
        const int64_t e = s + (int64_t)size + p;
        const int64_t off = (int64_t)offset;
        const int64_t last = off + (int64_t)rangeSize - 1;
        const int64_t low = s > off ? s : off;
        const int64_t high = e < last ? e : last;
        if (low <= high) {
            p += rangeSize;
            if (p > kMaxPadding) return false;
        } else if (e < last) {
            break;
        }
    }
    *result = p;
    return true;
}

// First entry whose span holds the offset or that starts at it. Spans follow each other, so the
// condition, once true, stays true for every later entry.
int64_t FirstAtOrAfter(const FileListIndex* index, uint64_t offset) {
    uint32_t low = 0, high = index->Count;
    while (low < high) {
        const uint32_t mid = low + (high - low) / 2;
        const Entry& e = index->Entries[mid];
        if (e.Offset == offset || e.Offset + e.Size + e.Padding > offset)
            high = mid;
        else
            low = mid + 1;
    }
    return low < index->Count ? (int64_t)low : -1;
}

} // namespace

// ---- Life cycle ---------------------------------------------------------------------------------

CLASS_BASICS(FileList, FileList, FILELIST_CLASS_ID)

int64_t FileList_Create(FileList** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* list = static_cast<FileList*>(Memory_AllocZero(sizeof(FileList)));
    list->Header.ClassId = FILELIST_CLASS_ID;
    list->Header.RefCount = 1;
    list->Header.Delete = DeleteList;
    Class_GenerateInstanceIdReal(list);
    Pool_Create(&list->Records);
    Pool_SetMemorySize(list->Records, sizeof(FileListMember));
    Pool_SetChunkSize(list->Records, kRecordsPerChunk);
    Pool_SetZeroOnAlloc(list->Records, 1);
    Pool_Create(&list->Strings);
    Pool_SetChunkSize(list->Strings, 1);
    Pool_SetStringMode(list->Strings, 1);
    Pool_SetMemorySize(list->Strings, kStringChunkBytes);
    *handle = list;
    return 1;
}

int64_t FileList_Reset(FileList* list) {
    CLASS_CHECK(list, FILELIST_CLASS_ID);
    Pool_Reset(list->Records);
    Pool_Reset(list->Strings);
    list->First = list->Last = list->Current = nullptr;
    list->Count = 0;
    list->CurrentIndexLength = 0;
    return 1;
}

// ---- Filling ------------------------------------------------------------------------------------

int64_t FileList_MemberAddByValue(FileList* list, const char* path, uint32_t type, const char* text, int32_t length,
                                  uint32_t* error) {
    CLASS_CHECK(list, FILELIST_CLASS_ID);
    ASSERT_POINTER(path);
    if (error) *error = 0;
    if (!text || length < 0) length = 0;
    const ManifestPath p = ManifestPath_Split(path);
    if (p.Count < 2) return 1;
    const std::string_view at = p.Part[1].substr(0, sizeof(list->CurrentIndex) - 1);
    if (!list->Current || at != std::string_view(list->CurrentIndex, (size_t)list->CurrentIndexLength)) {
        Append(list);
        list->Current = static_cast<FileListMember*>(Pool_Alloc(list->Records, sizeof(FileListMember)));
        memcpy(list->CurrentIndex, at.data(), at.size());
        list->CurrentIndexLength = (int32_t)at.size();
    }
    // Only a field's own scalar is taken: deeper values and containers are not fields.
    if (p.Count != 3 || !ManifestValue_IsScalar(type)) return 1;
    FileListMember* m = list->Current;
    const std::string_view key = p.Part[2];
    if ((ManifestText_Is(key, "name") || ManifestText_Is(key, "link")) && length > kMaxText) return 1;
    if (ManifestText_Is(key, "name")) {
        m->Name = KeepText(list, text, length, &m->NameLength);
        m->Flags |= FILELIST_FLAG_NAME;
    } else if (ManifestText_Is(key, "link")) {
        m->Link = KeepText(list, text, length, &m->LinkLength);
        m->Flags |= FILELIST_FLAG_LINK;
    } else if (ManifestText_Is(key, "mtime")) {
        m->ModifiedTime = ManifestText_ToDouble(text, length);
        m->Flags |= FILELIST_FLAG_MODIFIED_TIME;
    } else if (ManifestText_Is(key, "attr")) {
        m->Attributes = (uint32_t)ManifestText_ToInt64(text, length);
        m->Flags |= FILELIST_FLAG_ATTRIBUTES;
    } else if (ManifestText_Is(key, "pad")) {
        // Kept whole, so that a value no 32-bit count holds is seen by the index rather than wrapped.
        m->Padding = ManifestText_ToInt64(text, length);
        m->Flags |= FILELIST_FLAG_PADDING;
    } else if (ManifestText_Is(key, "size")) {
        m->Size = (uint64_t)ManifestText_ToInt64(text, length);
        m->Flags |= FILELIST_FLAG_SIZE;
    }
    return 1;
}

int64_t FileList_MemberFlush(FileList* list) {
    CLASS_CHECK(list, FILELIST_CLASS_ID);
    Append(list);
    list->CurrentIndexLength = 0;
    return 1;
}

// ---- Records ------------------------------------------------------------------------------------

int64_t FileList_GetCount(FileList* list, uint32_t* count) {
    CLASS_CHECK(list, FILELIST_CLASS_ID);
    ASSERT_POINTER(count);
    *count = list->Count;
    return 1;
}

int64_t FileList_MemberGetFirst(FileList* list, FileListMember** member) {
    CLASS_CHECK(list, FILELIST_CLASS_ID);
    ASSERT_POINTER(member);
    *member = list->First;
    return *member != nullptr;
}

int64_t FileList_MemberGetNext(FileList* list, FileListMember* member, FileListMember** next) {
    CLASS_CHECK(list, FILELIST_CLASS_ID);
    ASSERT_POINTER(member);
    ASSERT_POINTER(next);
    *next = member->Next;
    return *next != nullptr;
}

int64_t FileList_MemberGetFlags(FileList* list, FileListMember* member, uint32_t* flags) {
    CLASS_CHECK(list, FILELIST_CLASS_ID);
    ASSERT_POINTER(member);
    ASSERT_POINTER(flags);
    *flags = member->Flags;
    return 1;
}

namespace {

int64_t CopyField(const char* text, uint32_t present, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    if (!present || !text) return 0;
    String_CopyLength(buffer, text, size);
    return 1;
}

} // namespace

int64_t FileList_MemberGetName(FileList* list, FileListMember* member, char* buffer, int32_t size) {
    CLASS_CHECK(list, FILELIST_CLASS_ID);
    ASSERT_POINTER(member);
    return CopyField(member->Name, member->Flags & FILELIST_FLAG_NAME, buffer, size);
}

int64_t FileList_MemberGetLink(FileList* list, FileListMember* member, char* buffer, int32_t size) {
    CLASS_CHECK(list, FILELIST_CLASS_ID);
    ASSERT_POINTER(member);
    return CopyField(member->Link, member->Flags & FILELIST_FLAG_LINK, buffer, size);
}

const char* FileList_MemberGetNamePtr(FileList* list, FileListMember* member) {
    CLASS_CHECK(list, FILELIST_CLASS_ID);
    ASSERT_POINTER(member);
    return (member->Flags & FILELIST_FLAG_NAME) ? member->Name : nullptr;
}

#define FILELIST_FIELD_GETTER(Name, Type, Field, Flag)                                         \
    int64_t FileList_MemberGet##Name(FileList* list, FileListMember* member, Type* value) {    \
        CLASS_CHECK(list, FILELIST_CLASS_ID);                                                  \
        ASSERT_POINTER(member);                                                                \
        ASSERT_POINTER(value);                                                                 \
        *value = 0;                                                                            \
        if (!(member->Flags & (Flag))) return 0;                                               \
        *value = member->Field;                                                                \
        return 1;                                                                              \
    }

FILELIST_FIELD_GETTER(Size, uint64_t, Size, FILELIST_FLAG_SIZE)
FILELIST_FIELD_GETTER(Padding, int64_t, Padding, FILELIST_FLAG_PADDING)
FILELIST_FIELD_GETTER(ModifiedTime, double, ModifiedTime, FILELIST_FLAG_MODIFIED_TIME)
FILELIST_FIELD_GETTER(Attributes, uint32_t, Attributes, FILELIST_FLAG_ATTRIBUTES)
FILELIST_FIELD_GETTER(Offset, uint64_t, Offset, FILELIST_FLAG_OFFSET)

// ---- Index --------------------------------------------------------------------------------------

int64_t FileList_IndexCreate(FileListIndex** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* index = static_cast<FileListIndex*>(Memory_AllocZero(sizeof(FileListIndex)));
    index->Header.ClassId = FILELIST_INDEX_CLASS_ID;
    index->Header.RefCount = 1;
    index->Header.Delete = DeleteIndex;
    NameIndex_Init(&index->Names, true, EntryName, index);
    Class_GenerateInstanceIdReal(index);
    *handle = index;
    return 1;
}

int64_t FileList_IndexAddRef(FileListIndex* index) {
    CLASS_CHECK(index, FILELIST_INDEX_CLASS_ID);
    Class_AddRef(index);
    return 1;
}

int64_t FileList_IndexRelease(FileListIndex** handle) {
    ASSERT_POINTER(handle);
    CLASS_CHECK(*handle, FILELIST_INDEX_CLASS_ID);
    Class_Release(handle);
    *handle = nullptr;
    return 1;
}

int64_t FileList_IndexReset(FileListIndex* index) {
    CLASS_CHECK(index, FILELIST_INDEX_CLASS_ID);
    ClearIndex(index);
    return 1;
}

int64_t FileList_IndexMake(FileListIndex* index, FileList* list, Padding* padding, PaddingIndex* paddingIndex) {
    CLASS_CHECK(index, FILELIST_INDEX_CLASS_ID);
    CLASS_CHECK(list, FILELIST_CLASS_ID);
    if (padding) CLASS_CHECK(paddingIndex, PADDING_INDEX_CLASS_ID);
    ClearIndex(index);
    const uint32_t count = list->Count;
    if ((uint64_t)count * sizeof(Entry) > 0x7FFFFFFF || count > kNameIndexMaxNames) return 0;
    if (count > index->Capacity) {
        if (index->Entries) Memory_Free(index->Entries, sizeof(Entry) * index->Capacity);
        index->Entries = static_cast<Entry*>(Memory_Alloc(sizeof(Entry) * count));
        index->Capacity = count;
    }
    uint64_t offset = 0;
    uint32_t n = 0;
    for (FileListMember* m = list->First; m; m = m->Next, n++) {
        if (!(m->Flags & FILELIST_FLAG_NAME) || !m->Name) break;
        const uint64_t size = (m->Flags & FILELIST_FLAG_SIZE) ? m->Size : 0;
        if (size > kMaxStream - offset) break;
        int64_t pad = 0;
        if (!padding) {
            pad = (m->Flags & FILELIST_FLAG_PADDING) ? m->Padding : 0;
            if (pad < 0 || pad > kMaxPadding) break;
        } else if (size > 0) {
            if (!PaddingFromRanges(padding, paddingIndex, offset, size, &pad)) break;
            m->Padding = pad;
            m->Flags |= FILELIST_FLAG_PADDING;
        } else {
            m->Padding = 0;
            m->Flags |= FILELIST_FLAG_PADDING;
        }
        if ((uint64_t)pad > kMaxStream - offset - size) break;
        m->Offset = offset;
        m->Flags |= FILELIST_FLAG_OFFSET;
        index->Entries[n] = Entry{m, offset, size, (uint64_t)pad};
        index->TotalLength += size;
        index->TotalPadding += (uint64_t)pad;
        if (size > 0) index->DataEnd = offset + size;
        offset += size + (uint64_t)pad;
        index->Count = n + 1;
    }
    if (n != count) {
        ClearIndex(index);
        return 0;
    }
    // Where names repeat, the entry kept is the first in stream order.
    uint32_t duplicate = count;
    if (!NameIndex_Build(&index->Names, count, &duplicate)) {
        ClearIndex(index);
        return 0;
    }
    index->NamesBuilt = true;
    index->NamesDistinct = duplicate == count;
    return 1;
}

int64_t FileList_IndexFindByOffset(FileListIndex* index, uint64_t offset, FileListMember** member,
                                   uint64_t* fileOffset, uint32_t* at) {
    CLASS_CHECK(index, FILELIST_INDEX_CLASS_ID);
    ASSERT_POINTER(member);
    *member = nullptr;
    if (fileOffset) *fileOffset = 0;
    if (at) *at = 0;
    const int64_t found = FirstAtOrAfter(index, offset);
    if (found < 0) return 0;
    const Entry& e = index->Entries[found];
    *member = e.Member;
    if (fileOffset) *fileOffset = e.Offset;
    if (at) *at = (uint32_t)found;
    return 1;
}

int64_t FileList_IndexPrefetch(FileListIndex* index, uint32_t at, uint64_t last) {
    CLASS_CHECK(index, FILELIST_INDEX_CLASS_ID);
    for (uint32_t n = 0; at < index->Count && n < kFileListPrefetchMost && index->Entries[at].Offset <= last;
         at++, n++) {
        // A record may straddle two cache lines.
        const char* record = reinterpret_cast<const char*>(index->Entries[at].Member);
        __builtin_prefetch(record);
        __builtin_prefetch(record + sizeof(FileListMember) - 1);
    }
    return 1;
}

int64_t FileList_IndexFindByName(FileListIndex* index, const char* name, FileListMember** member,
                                 uint64_t* fileOffset, uint32_t* at) {
    CLASS_CHECK(index, FILELIST_INDEX_CLASS_ID);
    ASSERT_POINTER(name);
    ASSERT_POINTER(member);
    *member = nullptr;
    if (fileOffset) *fileOffset = 0;
    if (at) *at = 0;
    uint32_t found = 0;
    if (!index->NamesBuilt || !NameIndex_Find(&index->Names, name, &found) || found >= index->Count) return 0;
    const Entry& e = index->Entries[found];
    *member = e.Member;
    if (fileOffset) *fileOffset = e.Offset;
    if (at) *at = found;
    return 1;
}

int64_t FileList_IndexFindByNameNear(FileListIndex* index, const char* name, uint32_t hint,
                                     FileListMember** member, uint32_t* at) {
    CLASS_CHECK(index, FILELIST_INDEX_CLASS_ID);
    ASSERT_POINTER(name);
    ASSERT_POINTER(member);
    *member = nullptr;
    if (at) *at = 0;
    // With distinct names the one entry that holds the very name is the one a lookup finds.
    if (index->NamesBuilt && index->NamesDistinct && hint < index->Count) {
        FileListMember* candidate = index->Entries[hint].Member;
        const char* held = (candidate->Flags & FILELIST_FLAG_NAME) ? candidate->Name : nullptr;
        if (held && strcmp(held, name) == 0) {
            *member = candidate;
            if (at) *at = hint;
            return 1;
        }
    }
    return FileList_IndexFindByName(index, name, member, nullptr, at);
}

int64_t FileList_IndexGetMemberAt(FileListIndex* index, uint32_t at, FileListMember** member) {
    CLASS_CHECK(index, FILELIST_INDEX_CLASS_ID);
    ASSERT_POINTER(member);
    *member = nullptr;
    if (at >= index->Count) return 0;
    *member = index->Entries[at].Member;
    return 1;
}

int64_t FileList_IndexGetCount(FileListIndex* index, uint32_t* count) {
    CLASS_CHECK(index, FILELIST_INDEX_CLASS_ID);
    ASSERT_POINTER(count);
    *count = index->Count;
    return 1;
}

int64_t FileList_IndexGetTotalLength(FileListIndex* index, uint64_t* length) {
    CLASS_CHECK(index, FILELIST_INDEX_CLASS_ID);
    ASSERT_POINTER(length);
    *length = index->TotalLength;
    return 1;
}

int64_t FileList_IndexGetTotalPadding(FileListIndex* index, uint64_t* padding) {
    CLASS_CHECK(index, FILELIST_INDEX_CLASS_ID);
    ASSERT_POINTER(padding);
    *padding = index->TotalPadding;
    return 1;
}

int64_t FileList_IndexGetDataEnd(FileListIndex* index, uint64_t* end) {
    CLASS_CHECK(index, FILELIST_INDEX_CLASS_ID);
    ASSERT_POINTER(end);
    *end = index->DataEnd;
    return 1;
}
