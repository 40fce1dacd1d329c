// The file table of a content manifest, filled value by value from the manifest's JSON scan, and
// its index: which file holds a stream offset, which file has a name, the stream's totals.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

struct FileList;
struct FileListIndex;
struct FileListMember;
struct Padding;
struct PaddingIndex;

enum : uint32_t {
    FILELIST_CLASS_ID = 0xaf3fcfe4,
    FILELIST_INDEX_CLASS_ID = 0x6d2a91c3,
};

// Which fields of a file record are present.
enum : uint32_t {
    FILELIST_FLAG_NAME = 1,
    FILELIST_FLAG_LINK = 2,
    FILELIST_FLAG_MODIFIED_TIME = 4,
    FILELIST_FLAG_ATTRIBUTES = 8,
    FILELIST_FLAG_PADDING = 16,
    FILELIST_FLAG_SIZE = 32,
    FILELIST_FLAG_OFFSET = 64,
};

// ---- Life cycle ------------------------------------------------------------------------------
int64_t FileList_Create(FileList** handle);
int64_t FileList_AddRef(FileList* list);
int64_t FileList_Release(FileList** handle);
int64_t FileList_GetInstanceId(FileList* list, char* buffer, int32_t size);
// Empties the table; its pools keep their chunks.
int64_t FileList_Reset(FileList* list);

// ---- Filling ---------------------------------------------------------------------------------
// One value of the scan: path = JSON path ("files\<index>\<key>"), type = JSON value type, text of
// length bytes (not terminated). A new index closes the record under construction. Never
// refuses: *error stays 0 and the result is 1.
int64_t FileList_MemberAddByValue(FileList* list, const char* path, uint32_t type, const char* text,
                                  int32_t length, uint32_t* error);
// Appends the record under construction, if any.
int64_t FileList_MemberFlush(FileList* list);

// ---- Records ---------------------------------------------------------------------------------
int64_t FileList_GetCount(FileList* list, uint32_t* count);
// In manifest order; 0 and none at the end.
int64_t FileList_MemberGetFirst(FileList* list, FileListMember** member);
int64_t FileList_MemberGetNext(FileList* list, FileListMember* member, FileListMember** next);
int64_t FileList_MemberGetFlags(FileList* list, FileListMember* member, uint32_t* flags);
// Copy the text (cut to size - 1); 0 and an empty buffer when the field is absent.
int64_t FileList_MemberGetName(FileList* list, FileListMember* member, char* buffer, int32_t size);
int64_t FileList_MemberGetLink(FileList* list, FileListMember* member, char* buffer, int32_t size);
// The kept name (the list's; valid until the list is reset); null when absent.
const char* FileList_MemberGetNamePtr(FileList* list, FileListMember* member);
// 0 and a cleared value when the field is absent. Offset and padding are written by the index.
int64_t FileList_MemberGetSize(FileList* list, FileListMember* member, uint64_t* size);
int64_t FileList_MemberGetPadding(FileList* list, FileListMember* member, int64_t* padding);
int64_t FileList_MemberGetModifiedTime(FileList* list, FileListMember* member, double* seconds);
int64_t FileList_MemberGetAttributes(FileList* list, FileListMember* member, uint32_t* attributes);
int64_t FileList_MemberGetOffset(FileList* list, FileListMember* member, uint64_t* offset);

// ---- Index -----------------------------------------------------------------------------------
int64_t FileList_IndexCreate(FileListIndex** handle);
int64_t FileList_IndexAddRef(FileListIndex* index);
int64_t FileList_IndexRelease(FileListIndex** handle);
int64_t FileList_IndexReset(FileListIndex* index);
// Lays the files out in stream order, computing each one's offset and (with a padding table)
// padding, and writes both back to the records. 0, with the index reset, when a file has no
// name, when with a padding table a non-empty file has no pad range at or after its start, or
// when the stream would pass 2^63 bytes.
int64_t FileList_IndexMake(FileListIndex* index, FileList* list, Padding* padding, PaddingIndex* paddingIndex);
// The file whose span (data plus padding) holds the offset, or the first file that starts exactly
// at it; 0 and none when no file does.
// at, when given, is its place in stream order.
int64_t FileList_IndexFindByOffset(FileListIndex* index, uint64_t offset, FileListMember** member,
                                   uint64_t* fileOffset, uint32_t* at = nullptr);
// Asks the processor to fetch the records of the files from place at on that start no later than
// stream byte last (at most kFileListPrefetchMost of them), ahead of a walk through them: their
// loads then overlap instead of each waiting on the one before. Changes nothing.
constexpr uint32_t kFileListPrefetchMost = 32;
int64_t FileList_IndexPrefetch(FileListIndex* index, uint32_t at, uint64_t last);
// By name, without regard to case; with several files of one name, the first in stream order. at,
// when given, is its place in stream order (see FileList_IndexGetMemberAt).
int64_t FileList_IndexFindByName(FileListIndex* index, const char* name, FileListMember** member,
                                 uint64_t* fileOffset, uint32_t* at = nullptr);
// The same answer as FileList_IndexFindByName, the file at place hint tried first: a walk through
// another list in its order mostly finds its next file just after the last one found.
int64_t FileList_IndexFindByNameNear(FileListIndex* index, const char* name, uint32_t hint,
                                     FileListMember** member, uint32_t* at = nullptr);
// The file at a place in stream order, from 0 to the count less one; 0 and none past the end.
int64_t FileList_IndexGetMemberAt(FileListIndex* index, uint32_t at, FileListMember** member);
int64_t FileList_IndexGetCount(FileListIndex* index, uint32_t* count);
// Sum of the sizes; sum of the paddings.
int64_t FileList_IndexGetTotalLength(FileListIndex* index, uint64_t* length);
int64_t FileList_IndexGetTotalPadding(FileListIndex* index, uint64_t* padding);
// Where the data of the last file that has any ends in the stream (its offset plus its size); 0
// when no file has data.
int64_t FileList_IndexGetDataEnd(FileListIndex* index, uint64_t* end);
