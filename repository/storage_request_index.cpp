// How a storage request maps one piece of its manifest onto slices of files and padding. A
// manifest whose files and pieces disagree is refused piece by piece: the request is left as it
// was and the caller reports the manifest as invalid content.
#include <cstring>

#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "repository/file_list.h"
#include "repository/meta_file.h"
#include "repository/padding.h"
#include "repository/digest_table.h"
#include "repository/storage_request.h"
#include "repository/storage_request_internal.h"

using namespace storage_request_internal;

namespace {

// Largest run one request holds: its buffer, slack and alignment must fit one allocation.
constexpr uint64_t kRunLimit = (uint64_t)INT32_MAX - STORAGE_REQUEST_SLACK - 2 * 65536;

struct Tables {
    FileList* Files = nullptr;
    FileListIndex* FileIndex = nullptr;
    PieceList* Pieces = nullptr;
    Padding* Pad = nullptr;
    PaddingIndex* PadIndex = nullptr;
    uint32_t PieceSize = 0;
    int32_t PieceTotal = 0;
};

bool LoadTables(StorageRequest* request, Tables* t) {
    MetaFile* m = request->Manifest;
    if (!m) return false;
    if (!MetaFile_GetFileListHandle(m, &t->Files) || !MetaFile_GetFileListIndexHandle(m, &t->FileIndex) ||
        !MetaFile_GetPieceListHandle(m, &t->Pieces) || !t->Files || !t->FileIndex || !t->Pieces)
        return false;
    if (!MetaFile_GetPaddingHandle(m, &t->Pad)) t->Pad = nullptr;
    if (t->Pad && (!MetaFile_GetPaddingIndexHandle(m, &t->PadIndex) || !t->PadIndex)) return false;
    PieceList_GetPieceLength(t->Pieces, &t->PieceSize);
    PieceList_GetPieceTotal(t->Pieces, &t->PieceTotal);
    return t->PieceSize > 0;
}

struct FileFacts {
    uint64_t Start = 0;
    uint64_t Size = 0;
    int64_t Padding = 0;
};

FileFacts Facts(const Tables& t, FileListMember* file) {
    FileFacts f;
    FileList_MemberGetOffset(t.Files, file, &f.Start);
    FileList_MemberGetSize(t.Files, file, &f.Size);
    FileList_MemberGetPadding(t.Files, file, &f.Padding);
    return f;
}

// The piece holding a stream byte, limited to the pieces there are.
uint64_t PieceOf(const Tables& t, uint64_t offset) {
    const uint64_t index = offset / t.PieceSize;
    return index < (uint64_t)t.PieceTotal ? index : (uint64_t)t.PieceTotal - 1;
}

bool Append(StorageRequest* request, FileListMember* file, uint64_t offset, uint64_t fileOffset, uint32_t index,
            uint64_t length, uint64_t padding) {
    if (length > UINT32_MAX || padding > (uint64_t)INT32_MAX) return false;
    return MemberAppend(request, file, offset, fileOffset, index, (uint32_t)length, (uint32_t)padding) != nullptr;
}

// Files carry their own padding: a piece is the run of file data and padding from its start.
bool AddPerFilePadding(StorageRequest* request, const Tables& t, uint32_t index) {
    const uint64_t start = (uint64_t)index * t.PieceSize;
    FileListMember* file = nullptr;
    uint64_t firstOffset = 0;
    uint32_t at = 0;
    if (!FileList_IndexFindByOffset(t.FileIndex, start, &file, &firstOffset, &at) || !file) return false;
    FileList_IndexPrefetch(t.FileIndex, at, start + t.PieceSize - 1);
    uint64_t remaining = t.PieceSize;
    uint64_t position = start;
    bool first = true;
    while (file && remaining > 0) {
        const FileFacts f = Facts(t, file);
        if (f.Padding < 0 || f.Padding > INT32_MAX) return false;
        const uint64_t fileOffset = first ? position - f.Start : 0;
        // A piece that starts inside a file's padding splits that padding between two pieces.
        if (fileOffset > f.Size) return false;
        const uint64_t spanLength = f.Size + (uint64_t)f.Padding;
        const uint64_t lastByte = f.Start + (spanLength ? spanLength - 1 : 0);
        const bool carriesPadding = PieceOf(t, lastByte) == index;
        const uint64_t available = f.Size - fileOffset;
        const uint64_t length = available < remaining ? available : remaining;
        const uint64_t padding = carriesPadding ? (uint64_t)f.Padding : 0;
        if (padding > remaining - length) return false;
        // Padding that runs on into the next piece while this one still wants bytes would put
        // the next file's data where the padding lies.
        if (!carriesPadding && f.Padding > 0 && remaining - length > 0) return false;
        if (!Append(request, file, position, fileOffset, index, length, padding)) return false;
        remaining -= length + padding;
        position += length + padding;
        first = false;
        FileListMember* next = nullptr;
        FileList_MemberGetNext(t.Files, file, &next);
        file = next;
    }
    return remaining == 0;
}

struct PadPiece {
    uint64_t Offset;
    uint64_t Size;
};

// The manifest lists its padding ranges: each file's slices are cut around them.
bool AddPadList(StorageRequest* request, const Tables& t, uint32_t index) {
    const uint64_t pieceStart = (uint64_t)index * t.PieceSize;
    const uint64_t pieceEnd = pieceStart + t.PieceSize - 1;
    const bool lastPiece = (int64_t)index == (int64_t)t.PieceTotal - 1;

    if ((!request->PadInPiece && !PaddingIntersect_Create(&request->PadInPiece)) || !request->PadInPiece ||
        (!request->PadBefore && !PaddingIntersect_Create(&request->PadBefore)) || !request->PadBefore)
        return false;
    PaddingIntersect* inPiece = request->PadInPiece;
    PaddingIntersect* before = request->PadBefore;
    PaddingIntersect_Reset(inPiece);
    PaddingIntersect_Build(inPiece, t.Pad, t.PadIndex, pieceStart, pieceEnd);

    bool sound = true;
    FileListMember* file = nullptr;
    uint64_t unused = 0;
    uint32_t at = 0;
    if (!FileList_IndexFindByOffset(t.FileIndex, pieceStart, &file, &unused, &at) || !file)
        sound = false;
    else
        FileList_IndexPrefetch(t.FileIndex, at, pieceEnd);
    bool first = true;
    for (; sound && file; first = false) {
        const FileFacts f = Facts(t, file);
        if (f.Padding < 0 || f.Padding > INT32_MAX) {
            sound = false;
            break;
        }
        if (f.Start > pieceEnd && !lastPiece) break;
        if (f.Size == 0) {
            const uint64_t home = PieceOf(t, f.Start);
            if (home == index &&
                !Append(request, file, f.Start, 0, index, 0, (uint64_t)f.Padding))
                sound = false;
        } else {
            const uint64_t spanEndStream = f.Start + f.Size + (uint64_t)f.Padding - 1;
            const uint64_t spanStart = f.Start > pieceStart ? f.Start : pieceStart;
            const uint64_t spanEnd = spanEndStream < pieceEnd ? spanEndStream : pieceEnd;
            if (spanStart <= spanEnd) {
                uint64_t fileOffset = 0;
                if (first && pieceStart > f.Start) {
                    // Data before the piece: its distance from the file start less the padding
                    // that lies between.
                    uint64_t padBefore = 0;
                    PaddingIntersect_Reset(before);
                    PaddingIntersect_Build(before, t.Pad, t.PadIndex, f.Start, pieceStart - 1);
                    PaddingIntersect_GetTotalSize(before, &padBefore);
                    if (padBefore > pieceStart - f.Start) sound = false;
                    fileOffset = pieceStart - f.Start - padBefore;
                }
                uint64_t position = spanStart;
                PaddingIntersectMember* pad = nullptr;
                PaddingIntersect_MemberGetFirst(inPiece, &pad);
                for (; sound && pad && position <= spanEnd;) {
                    uint64_t padOffset = 0;
                    uint32_t padSize = 0;
                    PaddingIntersect_MemberGetOffset(inPiece, pad, &padOffset);
                    PaddingIntersect_MemberGetSize(inPiece, pad, &padSize);
                    PaddingIntersectMember* next = nullptr;
                    PaddingIntersect_MemberGetNext(inPiece, pad, &next);
                    pad = next;
                    if (padSize == 0 || padOffset > spanEnd) break;
                    const uint64_t padLast = padOffset + padSize - 1;
                    if (padLast < position) continue;
                    const uint64_t from = padOffset > position ? padOffset : position;
                    const uint64_t to = padLast < spanEnd ? padLast : spanEnd;
                    const uint64_t length = from - position;
                    if (fileOffset + length > f.Size) sound = false;
                    else if (!Append(request, file, position, fileOffset, index, length, to - from + 1)) sound = false;
                    fileOffset += length;
                    position = to + 1;
                }
                if (sound && position <= spanEnd) {
                    const uint64_t length = spanEnd - position + 1;
                    if (fileOffset + length > f.Size) sound = false;
                    else if (!Append(request, file, position, fileOffset, index, length, 0)) sound = false;
                }
            }
        }
        FileListMember* next = nullptr;
        FileList_MemberGetNext(t.Files, file, &next);
        file = next;
    }
    return sound;
}

} // namespace

namespace storage_request_internal {

void ManifestHold(StorageRequest* request, MetaFile* metaFile) {
    if (metaFile) MetaFile_AddRef(metaFile);
    if (request->Manifest) MetaFile_Release(&request->Manifest);
    request->Manifest = metaFile;
}

FileList* MemberList(StorageRequest* request) {
    FileList* list = nullptr;
    if (!request->Manifest || !MetaFile_GetFileListHandle(request->Manifest, &list)) return nullptr;
    return list;
}

const char* MemberName(FileList* list, StorageRequestMember* member) {
    return member->File && list ? FileList_MemberGetNamePtr(list, member->File) : nullptr;
}

} // namespace storage_request_internal

int64_t StorageRequest_IndexAdd(StorageRequest* request, int32_t index) {
    CLASS_CHECK(request, STORAGE_REQUEST_CLASS_ID);
    AssertNoPointer(request);
    for (StorageRequestMember* m = request->Head; m; m = m->Next)
        if ((int64_t)m->Index == (int64_t)index) return 1;
    Tables t;
    if (!LoadTables(request, &t) || index < 0 || index >= t.PieceTotal) {
        StorageRequest_Print(request, "Invalid index (%d)", index);
        return 0;
    }
    if ((uint64_t)request->Length + t.PieceSize > kRunLimit) return 0;
    StorageRequestMember* keep = request->Tail;
    const uint32_t count = request->MemberCount;
    const bool added = t.Pad ? AddPadList(request, t, (uint32_t)index) : AddPerFilePadding(request, t, (uint32_t)index);
    if (!added || request->MemberCount == count) {
        MembersTruncate(request, keep);
        StorageRequest_Print(request, "Failed to build piece (%d)", index);
        return 0;
    }
    request->Length += t.PieceSize;
    if (request->IndexStart < 0 || index < request->IndexStart) request->IndexStart = index;
    return 1;
}
