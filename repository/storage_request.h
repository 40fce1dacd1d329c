// A run of pieces of one manifest on its way between storages: the file slices that make up each
// piece, one buffer for their bytes, the encoding those bytes are in, and the decode stages.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"

enum : uint32_t {
    STORAGE_REQUEST_CLASS_ID = 0x1ff7d3a3,
    // Encodings of the buffer's bytes (and of a stored piece, in its header).
    STORAGE_REQUEST_FLAG_PAD = 1,
    STORAGE_REQUEST_FLAG_GZIP = 2,
    STORAGE_REQUEST_FLAG_VCDIFF = 4,
    STORAGE_REQUEST_FLAG_AES256 = 8,
    // Room kept after the nominal length so that backends read straight into the buffer and
    // inflate may produce a little more than the pieces hold.
    STORAGE_REQUEST_SLACK = 8192,
};

// Answers of StorageRequest_AESDecrypt.
enum : int32_t {
    STORAGE_REQUEST_AES_OK = 0,
    STORAGE_REQUEST_AES_BAD_CONTAINER = 6,
    STORAGE_REQUEST_AES_BAD_DIGEST = 7,
    STORAGE_REQUEST_AES_BAD_PASSWORD = 8,
};

struct StorageRequest;
struct StorageRequestMember;
struct MetaFile;
struct Storage;
struct BitField;
struct FileListMember;

int64_t StorageRequest_Create(StorageRequest** handle);
int64_t StorageRequest_AddRef(StorageRequest* request);
// The last release deletes the request and drops its delta request.
int64_t StorageRequest_Release(StorageRequest** handle);
int64_t StorageRequest_GetInstanceId(StorageRequest* request, char* buffer, int32_t size);

// Empties the request for its next use (members, flags pad, lengths 0, first index -1) and the
// delta request with it; stops the process while a buffer pointer is out.
int64_t StorageRequest_Reset(StorageRequest* request);

// Adds the members of piece `index` of the request's manifest; an index already present is
// ignored (1). 0 and nothing added when the manifest's files and pieces do not agree on that
// piece, or the run would grow past what one buffer can hold.
int64_t StorageRequest_IndexAdd(StorageRequest* request, int32_t index);

// The buffer: length + STORAGE_REQUEST_SLACK bytes, page-aligned and zeroed.
int64_t StorageRequest_Alloc(StorageRequest* request);
int64_t StorageRequest_Free(StorageRequest* request);
int64_t StorageRequest_AllocSize(StorageRequest* request, uint32_t* size);
int64_t StorageRequest_GetLength(StorageRequest* request, uint32_t* length);

// Pointers into the buffer are counted until released; 0 when the offset lies outside it.
int64_t StorageRequest_GetPointerAt(StorageRequest* request, uint32_t offset, uint8_t** pointer);
int64_t StorageRequest_GetPointer(StorageRequest* request, uint8_t** pointer);
int64_t StorageRequest_ReleasePointer(StorageRequest* request, uint8_t** pointer);

// Members in stream order. The Get forms answer 0 at the end of the list.
int64_t StorageRequest_MemberGetFirst(StorageRequest* request, StorageRequestMember** member);
int64_t StorageRequest_MemberGetNext(StorageRequest* request, StorageRequestMember* member,
                                     StorageRequestMember** next);
int64_t StorageRequest_MemberGetLast(StorageRequest* request, StorageRequestMember** member);
int64_t StorageRequest_MemberGetCount(StorageRequest* request, uint32_t* count);
int64_t StorageRequest_MemberRemove(StorageRequest* request, StorageRequestMember** member);
int64_t StorageRequest_MemberGetIndex(StorageRequest* request, StorageRequestMember* member, uint32_t* index);
int64_t StorageRequest_MemberGetFileListMemberHandle(StorageRequest* request, StorageRequestMember* member,
                                                     FileListMember** record);
int64_t StorageRequest_MemberGetOffset(StorageRequest* request, StorageRequestMember* member, uint64_t* offset);
int64_t StorageRequest_MemberGetFileOffset(StorageRequest* request, StorageRequestMember* member,
                                           uint64_t* offset);
int64_t StorageRequest_MemberGetLength(StorageRequest* request, StorageRequestMember* member, uint32_t* length);
int64_t StorageRequest_MemberGetPadding(StorageRequest* request, StorageRequestMember* member,
                                        uint32_t* padding);
int64_t StorageRequest_MemberGetBufferOffset(StorageRequest* request, StorageRequestMember* member,
                                             uint32_t* offset);
int64_t StorageRequest_MemberGetUnpadBufferOffset(StorageRequest* request, StorageRequestMember* member,
                                                  uint32_t* offset);
int64_t StorageRequest_MemberGetSkip(StorageRequest* request, StorageRequestMember* member, uint32_t* skip);
int64_t StorageRequest_MemberSetSkip(StorageRequest* request, StorageRequestMember* member, uint32_t skip);
// 1 when the neighbour on that side is missing or belongs to another piece (file).
int64_t StorageRequest_MemberIsIndexFirst(StorageRequest* request, StorageRequestMember* member);
int64_t StorageRequest_MemberIsIndexLast(StorageRequest* request, StorageRequestMember* member);
int64_t StorageRequest_MemberIsFileFirst(StorageRequest* request, StorageRequestMember* member);
int64_t StorageRequest_MemberIsFileLast(StorageRequest* request, StorageRequestMember* member);
// 1 when both slices have the same file offset, length and file name (exactly).
int64_t StorageRequest_MemberCompare(StorageRequest* requestA, StorageRequestMember* memberA,
                                     StorageRequest* requestB, StorageRequestMember* memberB);

// Lowest and highest piece index over the members; 0 when there are none.
int64_t StorageRequest_GetIndexRange(StorageRequest* request, int32_t* lowest, int32_t* highest);
// 1 when both requests hold the same number of members and each pair compares equal.
int64_t StorageRequest_Compare(StorageRequest* a, StorageRequest* b);

int64_t StorageRequest_GetContentLength(StorageRequest* request, uint32_t* length);
int64_t StorageRequest_SetContentLength(StorageRequest* request, uint32_t length);
int64_t StorageRequest_AddContentLength(StorageRequest* request, uint32_t length);
int64_t StorageRequest_HasFlag(StorageRequest* request, uint32_t flag);
int64_t StorageRequest_SetFlags(StorageRequest* request, uint32_t flags);
int64_t StorageRequest_GetIndexStart(StorageRequest* request, int32_t* index);
int64_t StorageRequest_SetIndexStart(StorageRequest* request, int32_t index);
// The manifest is held by a reference of the request's own.
int64_t StorageRequest_GetMetaFileHandle(StorageRequest* request, MetaFile** metaFile);
int64_t StorageRequest_SetMetaFileHandle(StorageRequest* request, MetaFile* metaFile);
// The storage is borrowed: it owns the requests that it serves.
int64_t StorageRequest_GetStorageHandle(StorageRequest* request, Storage** storage);
int64_t StorageRequest_SetStorageHandle(StorageRequest* request, Storage* storage);
// The delta request and the bit field are held by references of the request's own.
int64_t StorageRequest_GetDeltaRequestHandle(StorageRequest* request, StorageRequest** delta);
int64_t StorageRequest_SetDeltaRequestHandle(StorageRequest* request, StorageRequest* delta);
int64_t StorageRequest_GetBitFieldHandle(StorageRequest* request, BitField** field);
int64_t StorageRequest_SetBitFieldHandle(StorageRequest* request, BitField* field);
int64_t StorageRequest_GetAllowVCDiff(StorageRequest* request, uint32_t* allow);
int64_t StorageRequest_SetAllowVCDiff(StorageRequest* request, uint32_t allow);
int64_t StorageRequest_GetComplete(StorageRequest* request, uint32_t* complete);
int64_t StorageRequest_SetComplete(StorageRequest* request, uint32_t complete);
int64_t StorageRequest_GetState(StorageRequest* request, uint32_t* state);
int64_t StorageRequest_SetState(StorageRequest* request, uint32_t state);
int64_t StorageRequest_GetStartTime(StorageRequest* request, double* time);
int64_t StorageRequest_GetErrorCount(StorageRequest* request, uint32_t* count);
int64_t StorageRequest_SetErrorCount(StorageRequest* request, uint32_t count);
int64_t StorageRequest_IncrementErrorCount(StorageRequest* request);

// Stages, each acting on the buffer's content in place.
// A stored piece's header: its flags replace the request's, a delta's source window goes to the
// decoder, and the content moves up over it. 1 when a whole header was there, else 0 and nothing
// changes (content too short for the header it announces is piece data).
int64_t StorageRequest_HeaderRemove(StorageRequest* request);
// The encrypted-piece container: an STORAGE_REQUEST_AES_* answer (0 also without the aes flag).
int32_t StorageRequest_AESDecrypt(StorageRequest* request, uint32_t bits, const void* password,
                                  uint32_t passwordLength);
// 0 when done (or not gzip-encoded), else zlib's result.
int32_t StorageRequest_GZipInflate(StorageRequest* request);
// Reads the delta's window header: its source window's first piece and piece count. 1 at once
// without the vcdiff flag; 0 when the header is bad.
int64_t StorageRequest_VCDiffLoad(StorageRequest* request, int32_t* sourceIndex, int32_t* sourceCount);
// Decodes the delta against the delta request's content. 1 at once without the vcdiff flag.
int64_t StorageRequest_VCDiffInflate(StorageRequest* request);
int64_t StorageRequest_PadInflate(StorageRequest* request);
int64_t StorageRequest_PadDeflate(StorageRequest* request);
// Encoders are not offered: data already in the encoding passes (1); otherwise 0 with the reason.
int64_t StorageRequest_GZipDeflate(StorageRequest* request, const char** reason);
int64_t StorageRequest_AESEncrypt(StorageRequest* request, const char** reason);

int64_t StorageRequest_VPrint(StorageRequest* request, int32_t indent, const char* format, va_list args);
int64_t StorageRequest_Print(StorageRequest* request, const char* format, ...);
int64_t StorageRequest_PrintTabbed(StorageRequest* request, int32_t indent, const char* format, ...);
int64_t StorageRequest_IsVerboseLevel(StorageRequest* request, int32_t level);
int64_t StorageRequest_VerboseLog(StorageRequest* request, int32_t level, const char* format, ...);
int64_t StorageRequest_SetPrintCallback(StorageRequest* request, void* user, ClassPrintCallback callback);
int64_t StorageRequest_GetPrintCallback(StorageRequest* request, void** user, ClassPrintCallback* callback);
int64_t StorageRequest_SetPrintIdentifier(StorageRequest* request, const char* text);
int64_t StorageRequest_SetVerbose(StorageRequest* request, uint32_t verbose);
int64_t StorageRequest_GetVerbose(StorageRequest* request, uint32_t* verbose);
