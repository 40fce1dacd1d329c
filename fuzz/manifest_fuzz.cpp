// Runs the manifest's scan and build over arbitrary JSON, as its loader does after a fetch: every
// value through the manifest's value callback, then the table build; a built manifest is then
// asked every lookup a storage request makes (files by offset and name, pad ranges, pieces).
#include <cstdint>
#include <cstring>

#include "core/formats/json.h"
#include "core/runtime/debug.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/thread.h"
#include "repository/file_list.h"
#include "repository/meta_file.h"
#include "repository/padding.h"
#include "repository/digest_table.h"
#include "repository/storage_file_path.h"

namespace {

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

void Lookups(MetaFile* manifest) {
    FileList* files = nullptr;
    FileListIndex* index = nullptr;
    PieceList* pieces = nullptr;
    PaddingIndex* paddingIndex = nullptr;
    Padding* padding = nullptr;
    MetaFile_GetFileListHandle(manifest, &files);
    MetaFile_GetFileListIndexHandle(manifest, &index);
    MetaFile_GetPieceListHandle(manifest, &pieces);
    MetaFile_GetPaddingIndexHandle(manifest, &paddingIndex);
    MetaFile_GetPaddingHandle(manifest, &padding);
    uint64_t length = 0, pad = 0;
    FileList_IndexGetTotalLength(index, &length);
    FileList_IndexGetTotalPadding(index, &pad);
    const uint64_t end = length + pad;
    // Each file by its name and by its first and last byte: the answers must agree.
    FileListMember* m = nullptr;
    for (FileList_MemberGetFirst(files, &m); m; FileList_MemberGetNext(files, m, &m)) {
        uint64_t offset = 0, size = 0, at = 0;
        FileList_MemberGetOffset(files, m, &offset);
        FileList_MemberGetSize(files, m, &size);
        FileListMember* found = nullptr;
        if (!FileList_IndexFindByName(index, FileList_MemberGetNamePtr(files, m), &found, &at)) __builtin_trap();
        if (!FileList_IndexFindByOffset(index, offset, &found, &at) || at != offset) __builtin_trap();
        // Past its first byte nothing but this file can hold its data (at the first byte an empty
        // file starting there comes first).
        if (size > 1 && (!FileList_IndexFindByOffset(index, offset + size - 1, &found, &at) || found != m))
            __builtin_trap();
    }
    if (FileList_IndexFindByOffset(index, end, &m, nullptr)) {
        uint64_t size = 1;
        FileList_MemberGetSize(files, m, &size);
        if (size != 0) __builtin_trap(); // only an empty file may start at the end
    }
    int32_t total = 0;
    uint32_t pieceLength = 0;
    PieceList_GetPieceTotal(pieces, &total);
    PieceList_GetPieceLength(pieces, &pieceLength);
    PaddingIntersect* intersect = nullptr;
    PaddingIntersect_Create(&intersect);
    for (int32_t i = 0; i < total && i < 4096; i++) {
        uint32_t unpadded = 0;
        MetFile_GetUnpaddedPieceLength(manifest, i, &unpadded);
        if (unpadded > pieceLength) __builtin_trap();
        char hex[2 * 64 + 1];
        PieceList_GetDigestStringByIndex(pieces, i, hex, sizeof(hex));
        if (padding) {
            PaddingIntersect_Reset(intersect);
            PaddingIntersect_Build(intersect, padding, paddingIndex, PieceList_GetStartOffset(pieces, i),
                                   PieceList_GetEndOffset(pieces, i));
        }
        int32_t first = 0, last = 0;
        PieceList_GetIndexRangeByOffset(pieces, PieceList_GetStartOffset(pieces, i), pieceLength - 1, 1, &first, &last);
        if (first != i || last != i) __builtin_trap();
    }
    PaddingIntersect_Release(&intersect);
    // The pieces' file bytes never add up to more than the files hold: a copy's count of
    // complete bytes stays within its total.
    uint64_t sum = 0;
    for (int32_t i = 0; i < total; i++) {
        uint32_t unpadded = 0;
        MetFile_GetUnpaddedPieceLength(manifest, i, &unpadded);
        sum += unpadded;
    }
    if (sum > length) __builtin_trap();
}

// Every name that passed the rule is already in the storage's normal form, and no two of them
// are a file and its folder.
void Names(MetaFile* manifest) {
    FileList* files = nullptr;
    MetaFile_GetFileListHandle(manifest, &files);
    FileListMember* m = nullptr;
    for (FileList_MemberGetFirst(files, &m); m; FileList_MemberGetNext(files, m, &m)) {
        const char* name = FileList_MemberGetNamePtr(files, m);
        char normal[STORAGE_FILE_PATH_SIZE];
        if (!name || !StorageFilePath_Check(name, normal, (int32_t)sizeof(normal)) || strcmp(name, normal) != 0)
            __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Debug_Init(nullptr, nullptr, 0);
    Debug_PrintOverride([](const char*) -> int64_t { return 1; });
    Thread_Init();
    EventQueue_Init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    static MetaFile* manifest = [] {
        MetaFile* m = nullptr;
        MetaFile_Create(&m);
        MetaFile_SetPrintCallback(m, nullptr, Quiet);
        return m;
    }();
    static JSON* json = [] {
        JSON* j = nullptr;
        JSON_Create(&j);
        JSON_SetPrintCallback(j, nullptr, Quiet);
        JSON_SetValueCallback(j, manifest, MetaFile_ValueCallback);
        return j;
    }();
    MetaFile_Reset(manifest);
    // Half the inputs are held to the installation's name rule, as remote manifests are, with the
    // local manifest kept inside the installation's folder.
    const uint32_t named = (uint32_t)(size & 1);
    MetaFile_SetNameCheck(manifest, named, ".quarvpartial", "meta/manifest.json");
    if (JSON_LoadBuffer(json, data, (uint32_t)size)) {
        uint32_t code = 0, codeEx = 0;
        if (MetaFile_WorkerBuild(nullptr, manifest, &code, &codeEx)) {
            Lookups(manifest);
            if (named) Names(manifest);
        }
        else if (code != 976)
            __builtin_trap();
    }
    return 0;
}
