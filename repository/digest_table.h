// The piece table of a content manifest: piece size, digest algorithm, hash-padding flag and one
// digest per piece in a single array; and the arithmetic between pieces and stream offsets.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

struct HashInterface;
struct PieceList;

enum : uint32_t { PIECELIST_CLASS_ID = 0xb97b09d0 };

enum : uint32_t {
    PIECELIST_DEFAULT_PIECE_LENGTH = 4194304,
    PIECELIST_MAX_DIGEST_SIZE = 64,
    PIECELIST_ALGORITHM_SIZE = 320,
    // Digests the array grows by.
    PIECELIST_DIGEST_BLOCK = 100,
};

// ---- Life cycle and filling --------------------------------------------------------------------
int64_t PieceList_Create(PieceList** handle);
int64_t PieceList_AddRef(PieceList* list);
int64_t PieceList_Release(PieceList** handle);
int64_t PieceList_GetInstanceId(PieceList* list, char* buffer, int32_t size);
// Back to the defaults (4194304-byte pieces, "SHA1", hash padding on, no digests).
int64_t PieceList_Reset(PieceList* list);
// One value of the scan: path "pieces\algorithm", "pieces\size", "pieces\hashPadding" or
// "pieces\digests\<index>". 0 with *error = 11 when a digest does not decode, decodes to nothing
// or to more than 64 bytes, or differs in length from the first. A "size" outside 1 to 2^31 - 1
// leaves the piece length 0, which no sound manifest has.
int64_t PieceList_MemberAddByValue(PieceList* list, const char* path, uint32_t type, const char* text,
                                   int32_t length, uint32_t* error);
int64_t PieceList_MemberFlush(PieceList* list);

// ---- Accessors -------------------------------------------------------------------------------
int64_t PieceList_GetPieceTotal(PieceList* list, int32_t* total);
int64_t PieceList_GetPieceLength(PieceList* list, uint32_t* length);
int64_t PieceList_GetHashPadding(PieceList* list, uint32_t* hashPadding);
int64_t PieceList_GetDigestSize(PieceList* list, uint32_t* size);
int64_t PieceList_GetAlgorithmName(PieceList* list, char* buffer, int32_t size);
// The record named by the algorithm; 0 when the name is unknown.
int64_t PieceList_GetAlgorithm(PieceList* list, const HashInterface** record);
// Copies at most size bytes of the digest. The index must lie in 0 to total - 1 (else the process
// stops).
int64_t PieceList_GetDigestByIndex(PieceList* list, int32_t index, uint8_t* buffer, int32_t size);
// Lower-case hexadecimal without spaces.
int64_t PieceList_GetDigestStringByIndex(PieceList* list, int32_t index, char* buffer, int32_t size);
// The first piece with this digest (digest-size bytes); index -1 and 0 when none.
int64_t PieceList_GetIndexByDigest(PieceList* list, const uint8_t* digest, int32_t* index);
// 1 when length equals the digest size and the bytes match.
int64_t PieceList_CompareByIndex(PieceList* list, int32_t index, const uint8_t* digest, int32_t length);

// ---- Offsets ---------------------------------------------------------------------------------
// size × index, and size × (index + 1) - 1 (inclusive).
uint64_t PieceList_GetStartOffset(PieceList* list, int32_t index);
uint64_t PieceList_GetEndOffset(PieceList* list, int32_t index);
uint64_t PieceList_GetOffsetByIndex(uint32_t size, int32_t index);
// offset / size; 0 when size is 0.
int32_t PieceList_GetIndexByOffset(uint64_t offset, uint32_t size);
// first = offset / size, last = (offset + length) / size (each 0 when the size is 0); with clamp
// 1 each is limited to 0 .. total - 1. Either output may be null. Pass length - 1 for the piece of
// the last byte.
int64_t PieceList_GetIndexRangeByOffset(PieceList* list, uint64_t offset, uint64_t length, uint32_t clamp,
                                        int32_t* first, int32_t* last);
