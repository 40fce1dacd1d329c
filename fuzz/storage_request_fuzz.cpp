// Maps the pieces of an arbitrary manifest onto storage requests and runs the stages over
// arbitrary piece bytes. The input is the manifest's JSON text, a NUL, one byte of flags and the
// piece bytes. Pieces are added whether or not the manifest's build accepted it.
#include <cstdint>
#include <cstring>

#include "core/formats/json.h"
#include "core/runtime/event_queue.h"
#include "repository/meta_file.h"
#include "repository/digest_table.h"
#include "repository/storage_request.h"

namespace {

constexpr uint32_t kRunLimit = 1u << 20; // bytes of pieces the fuzzer lets one request hold
constexpr int32_t kPieces = 4;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool queue = EventQueue_Init() == 1;
    if (!queue) return 0;
    const uint8_t* nul = static_cast<const uint8_t*>(memchr(data, 0, size));
    const size_t textSize = nul ? (size_t)(nul - data) : size;
    const uint8_t* piece = nul ? nul + 1 : data + size;
    size_t pieceSize = nul ? size - textSize - 1 : 0;
    const uint32_t flags = pieceSize ? piece[0] & 0x0f : 1;
    if (pieceSize) piece++, pieceSize--;

    MetaFile* meta = nullptr;
    if (!MetaFile_Create(&meta)) return 0;
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetValueCallback(json, meta, MetaFile_ValueCallback);
    JSON_LoadBuffer(json, data, (uint32_t)textSize);
    JSON_Release(&json);
    uint32_t code = 0, codeEx = 0;
    MetaFile_WorkerBuild(nullptr, meta, &code, &codeEx);

    PieceList* pieces = nullptr;
    MetaFile_GetPieceListHandle(meta, &pieces);
    uint32_t pieceLength = 0;
    int32_t total = 0;
    PieceList_GetPieceLength(pieces, &pieceLength);
    PieceList_GetPieceTotal(pieces, &total);

    StorageRequest* request = nullptr;
    StorageRequest_Create(&request);
    StorageRequest_SetMetaFileHandle(request, meta);
    if (pieceLength > 0 && pieceLength <= kRunLimit / kPieces) {
        // Last piece first: it gathers the empty files past the stream's end.
        for (int32_t i = total - 1; i >= 0 && i >= total - kPieces; --i) StorageRequest_IndexAdd(request, i);
        StorageRequest_IndexAdd(request, 0);
    }
    uint32_t length = 0, members = 0;
    StorageRequest_GetLength(request, &length);
    StorageRequest_MemberGetCount(request, &members);
    if (members && length <= kRunLimit && StorageRequest_Alloc(request)) {
        uint32_t room = 0;
        StorageRequest_AllocSize(request, &room);
        if (pieceSize > room) pieceSize = room;
        uint8_t* buffer = nullptr;
        StorageRequest_GetPointer(request, &buffer);
        if (pieceSize) memcpy(buffer, piece, pieceSize);
        StorageRequest_ReleasePointer(request, &buffer);
        StorageRequest_SetContentLength(request, (uint32_t)pieceSize);
        StorageRequest_SetFlags(request, flags);
        StorageRequest_HeaderRemove(request);
        StorageRequest_GZipInflate(request);
        StorageRequest_SetFlags(request, 0);
        StorageRequest_PadInflate(request);
        StorageRequest_PadDeflate(request);
        uint32_t content = 0;
        StorageRequest_GetContentLength(request, &content);
        if (content > room) __builtin_trap();
    }
    StorageRequest_Release(&request);
    MetaFile_Release(&meta);
    return 0;
}
