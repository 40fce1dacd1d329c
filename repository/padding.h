// The padding table of a content manifest (ranges of zero bytes in the stream, in order of
// offset), its index for lookups by offset, and PaddingIntersect, the ranges clipped to one span.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

struct Padding;
struct PaddingMember;
struct PaddingIndex;
struct PaddingIntersect;
struct PaddingIntersectMember;

enum : uint32_t {
    PADDING_CLASS_ID = 0xfa449482,
    PADDING_INDEX_CLASS_ID = 0x3b8e5a17,
    PADDINGINTERSECT_CLASS_ID = 0xebd73fb4,
};

// ---- Table -----------------------------------------------------------------------------------
int64_t Padding_Create(Padding** handle);
int64_t Padding_AddRef(Padding* padding);
int64_t Padding_Release(Padding** handle);
int64_t Padding_GetInstanceId(Padding* padding, char* buffer, int32_t size);
int64_t Padding_Reset(Padding* padding);
// One value of the scan: path "pad\<index>\offset" or "pad\<index>\size". Never refuses.
int64_t Padding_MemberAddByValue(Padding* padding, const char* path, uint32_t type, const char* text,
                                 int32_t length, uint32_t* error);
int64_t Padding_MemberFlush(Padding* padding);
int64_t Padding_GetCount(Padding* padding, uint32_t* count);
int64_t Padding_MemberGetFirst(Padding* padding, PaddingMember** member);
int64_t Padding_MemberGetNext(Padding* padding, PaddingMember* member, PaddingMember** next);
int64_t Padding_MemberGetOffset(Padding* padding, PaddingMember* member, uint64_t* offset);
int64_t Padding_MemberGetSize(Padding* padding, PaddingMember* member, uint32_t* size);

// ---- Index -----------------------------------------------------------------------------------
int64_t Padding_IndexCreate(PaddingIndex** handle);
int64_t Padding_IndexAddRef(PaddingIndex* index);
int64_t Padding_IndexRelease(PaddingIndex** handle);
int64_t Padding_IndexReset(PaddingIndex* index);
// 0, with the index reset, when a range starts before the one ahead of it ends (ranges out of
// order or overlapping), when its size is no 32-bit count, or when it would end past 2^63.
int64_t Padding_IndexMake(PaddingIndex* index, Padding* padding);
// The first range, in order, that starts exactly at the offset or ends after it; 0 when none.
int64_t Padding_IndexFindByOffset(PaddingIndex* index, uint64_t offset, PaddingMember** member);

// ---- Intersect -------------------------------------------------------------------------------
int64_t PaddingIntersect_Create(PaddingIntersect** handle);
int64_t PaddingIntersect_AddRef(PaddingIntersect* intersect);
int64_t PaddingIntersect_Release(PaddingIntersect** handle);
int64_t PaddingIntersect_GetInstanceId(PaddingIntersect* intersect, char* buffer, int32_t size);
int64_t PaddingIntersect_Reset(PaddingIntersect* intersect);
// Adds the parts of the ranges that meet the inclusive span first..last; always 1.
int64_t PaddingIntersect_Build(PaddingIntersect* intersect, Padding* padding, PaddingIndex* index, uint64_t first,
                               uint64_t last);
int64_t PaddingIntersect_GetCount(PaddingIntersect* intersect, uint32_t* count);
int64_t PaddingIntersect_GetTotalSize(PaddingIntersect* intersect, uint64_t* size);
int64_t PaddingIntersect_MemberGetFirst(PaddingIntersect* intersect, PaddingIntersectMember** member);
int64_t PaddingIntersect_MemberGetNext(PaddingIntersect* intersect, PaddingIntersectMember* member,
                                       PaddingIntersectMember** next);
int64_t PaddingIntersect_MemberGetOffset(PaddingIntersect* intersect, PaddingIntersectMember* member,
                                         uint64_t* offset);
int64_t PaddingIntersect_MemberGetSize(PaddingIntersect* intersect, PaddingIntersectMember* member,
                                       uint32_t* size);
