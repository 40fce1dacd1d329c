// The storage request's record, shared by the files that implement its parts (object and members,
// piece mapping, decode stages).
#pragma once

#include <zlib.h>

#include <cstdint>

#include "core/runtime/class.h"
#include "repository/storage_request.h"

struct FileList;
struct PaddingIntersect;
struct Pool;
struct VCDiffDecoder;

struct StorageRequestMember {
    FileListMember* File;
    uint64_t Offset;     // position of the slice in the stream
    uint64_t FileOffset; // position of the slice inside the file's data
    uint32_t Index;
    uint32_t UnpadBufferOffset;
    uint32_t BufferOffset;
    uint32_t Length;
    uint32_t Padding;
    uint32_t Skip;
    StorageRequestMember* Next;
    StorageRequestMember* Previous;
};

struct StorageRequest {
    Class Header;
    ClassPrint Print;
    StorageRequestMember* Head;
    StorageRequestMember* Tail;
    uint32_t MemberCount;
    Pool* MemberPool;
    // Members dropped from the list, linked by Next, taken again before the pool is asked: a
    // request maps piece after piece, and each mapping would otherwise go to the pool per slice.
    StorageRequestMember* Spare;
    MetaFile* Manifest;
    Storage* Owner;
    StorageRequest* Delta;
    BitField* Bits;
    VCDiffDecoder* Decoder;
    // Scratch of the piece mapping over a padding table (the padding inside the piece, and before
    // it in its first file): made on first use and kept, so that mapping a piece allocates nothing.
    PaddingIntersect* PadInPiece;
    PaddingIntersect* PadBefore;
    z_stream Inflate;
    bool InflateReady;
    // The delta now in the scratch buffer has been read by the decoder.
    bool DeltaLoaded;
    uint32_t DeltaLength; // bytes of the loaded delta in the scratch buffer
    uint32_t Flags;
    uint32_t ContentLength;
    uint32_t Length;
    // Allocation holds AllocationSize bytes; Buffer is its first page boundary and has
    // BufferSize usable bytes (length + slack when it was made).
    uint8_t* Allocation;
    uint32_t AllocationSize;
    uint8_t* Buffer;
    uint32_t BufferSize;
    uint8_t* Scratch;
    uint32_t ScratchSize;
    int32_t BufferRefCount; // atomic: pointers are released on other threads
    int32_t IndexStart;
    double StartTime;
    uint32_t ErrorCount;
    uint32_t State;
    uint32_t Complete;
    uint32_t AllowVCDiff;
};

namespace storage_request_internal {

// Makes the scratch buffer hold at least `size` bytes; false when it cannot.
bool ScratchReserve(StorageRequest* request, uint32_t size);
// Appends one member after the tail, continuing the buffer offsets; null when out of memory.
StorageRequestMember* MemberAppend(StorageRequest* request, FileListMember* file, uint64_t offset,
                                   uint64_t fileOffset, uint32_t index, uint32_t length, uint32_t padding);
// Drops every member after `keep` (all when keep is null) to the spare members.
void MembersTruncate(StorageRequest* request, StorageRequestMember* keep);
void AssertNoPointer(StorageRequest* request);
// The manifest side: holding a reference.
void ManifestHold(StorageRequest* request, MetaFile* metaFile);
// The list the members' files belong to (null without a manifest), and a member's file name in
// it (null when it has none).
FileList* MemberList(StorageRequest* request);
const char* MemberName(FileList* list, StorageRequestMember* member);

} // namespace storage_request_internal
