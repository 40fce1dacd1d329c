// The content manifest: owns its document loader (JSON scan without a document tree, each value
// handed to its table), the file, padding and piece tables, and the unpadded length of each piece.
#include "repository/meta_file.h"

#include <cstring>

#include "core/crypto/hash.h"
#include "core/formats/json.h"
#include "core/linux/platform_error.h"
#include "core/runtime/class_family.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/log_text.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"
#include "core/runtime/string.h"
#include "core/web/web_get.h"
#include "repository/file_list.h"
#include "repository/manifest_value.h"
#include "repository/name_index.h"
#include "repository/padding.h"
#include "repository/digest_table.h"
#include "repository/storage_file_path.h"

struct MetaFile {
    Class Header;
    ClassPrint Print;
    AsyncHTTP* Loader;
    FileList* Files;
    FileListIndex* FileIndex;
    PieceList* Pieces;
    Padding* Pad;
    PaddingIndex* PadIndex;
    PaddingIntersect* Intersect; // scratch of the build
    uint32_t* PieceLengthArray;
    int32_t PieceLengthArraySize;
    uint32_t HasPadding;
    char Id[METAFILE_ID_SIZE];
    char Algorithm[METAFILE_ALGORITHM_SIZE];
    uint32_t WriteAlign;
    uint32_t ReportError;
    uint32_t NameCheck;
    char PartialExtension[32];
    char KeptName[STORAGE_FILE_PATH_SIZE];
};

bool NamesAreUsable(MetaFile* metaFile, const NameIndex* distinct);

namespace {

int64_t PrintInternal(void*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}

void PreparePrint(MetaFile* metaFile) {
    ClassPrint_Prepare(&metaFile->Print, metaFile, "MetaFile", PrintInternal);
}

void FreePieceLengths(MetaFile* metaFile) {
    if (metaFile->PieceLengthArray)
        Memory_Free(metaFile->PieceLengthArray, sizeof(uint32_t) * (size_t)metaFile->PieceLengthArraySize);
    metaFile->PieceLengthArray = nullptr;
    metaFile->PieceLengthArraySize = 0;
}

// Everything a load fills, back to a new manifest's. Never while a scan or build runs.
void ClearContent(MetaFile* metaFile) {
    FreePieceLengths(metaFile);
    metaFile->WriteAlign = 0;
    metaFile->HasPadding = 0;
    metaFile->Id[0] = 0;
    String_CopyLength(metaFile->Algorithm, "SHA1", (int32_t)sizeof(metaFile->Algorithm));
    FileList_IndexReset(metaFile->FileIndex);
    Padding_IndexReset(metaFile->PadIndex);
    FileList_Reset(metaFile->Files);
    Padding_Reset(metaFile->Pad);
    PieceList_Reset(metaFile->Pieces);
    PaddingIntersect_Reset(metaFile->Intersect);
}

int64_t DeleteHandle(void** handle) {
    auto* metaFile = static_cast<MetaFile*>(*handle);
    MetaFile_Reset(metaFile);
    // No build can run any more: the reset waited for one in progress and disarmed the rest.
    void* parser = nullptr;
    if (AsyncHTTP_GetParserHandle(metaFile->Loader, &parser) && parser)
        JSON_SetValueCallback(static_cast<JSON*>(parser), nullptr, nullptr);
    AsyncHTTP_SetWorkerBuildCallback(metaFile->Loader, nullptr, nullptr);
    AsyncHTTP_SetEventQueueHandle(metaFile->Loader, nullptr);
    AsyncHTTP_Release(&metaFile->Loader);
    FileList_IndexRelease(&metaFile->FileIndex);
    Padding_IndexRelease(&metaFile->PadIndex);
    PaddingIntersect_Release(&metaFile->Intersect);
    FileList_Release(&metaFile->Files);
    Padding_Release(&metaFile->Pad);
    PieceList_Release(&metaFile->Pieces);
    metaFile->Header.ClassId = 0;
    Memory_Free(metaFile, sizeof(MetaFile));
    *handle = nullptr;
    return 1;
}

// The pieces must lie on the stream: none may start past its end, no file data may lie past the
// last piece, and without pad ranges the files and their padding must fill every piece.
bool PiecesMatchStream(MetaFile* metaFile) {
    uint32_t size = 0;
    int32_t total = 0;
    PieceList_GetPieceLength(metaFile->Pieces, &size);
    PieceList_GetPieceTotal(metaFile->Pieces, &total);
    if (size < 1) return false;
    uint64_t length = 0, padding = 0;
    FileList_IndexGetTotalLength(metaFile->FileIndex, &length);
    FileList_IndexGetTotalPadding(metaFile->FileIndex, &padding);
    const uint64_t streamEnd = length + padding; // below 2^63: the index refuses longer streams
    const uint64_t piecesEnd = (uint64_t)size * (uint64_t)total;
    if (total > 0 && piecesEnd - size >= streamEnd) return false;
    if (!metaFile->HasPadding && piecesEnd > streamEnd) return false;
    uint64_t dataEnd = 0;
    FileList_IndexGetDataEnd(metaFile->FileIndex, &dataEnd);
    return dataEnd <= piecesEnd;
}

// A file entry whose attributes carry this bit is a symbolic link.
constexpr uint32_t kAttributeLink = 8;

// Every name must stand for one file of its own: two entries that reach the same path (the same
// text once cut at its first NUL, or the same once normalised as the file storages do) would
// write one file from two slices of the stream, and an entry below a link entry would be written
// and then erased when the link is made (or written through it). Names the storages refuse are
// compared as they are: no storage acts on them.
// The names as the storages act on them, entry by entry, and which entries are links.
struct DistinctNames {
    const char** Keys;
    uint8_t* Links;
};

const char* DistinctKey(void* context, uint32_t number) {
    return static_cast<DistinctNames*>(context)->Keys[number];
}

// No two names of the manifest lead to one file, and none lies below a link entry; then, where it
// is asked for, the installation's rule for names (NamesAreUsable), on the same index of names.
bool NamesAreDistinct(MetaFile* metaFile) {
    uint32_t count = 0;
    FileList_GetCount(metaFile->Files, &count);
    if (count < 2) return NamesAreUsable(metaFile, nullptr);
    if (count > kNameIndexMaxNames) {
        MetaFile_Print(metaFile, "Too many files (%u)\n", count);
        return false;
    }
    DistinctNames names{static_cast<const char**>(Memory_Alloc((int32_t)(sizeof(const char*) * count))),
                        static_cast<uint8_t*>(Memory_AllocZero((int32_t)count))};
    // Only a name that normalises to another text needs a copy of its own.
    Pool* texts = nullptr;
    Pool_Create(&texts);
    Pool_SetChunkSize(texts, 1);
    Pool_SetStringMode(texts, 1);
    Pool_SetMemorySize(texts, 16384);
    uint32_t links = 0, n = 0;
    FileListMember* m = nullptr;
    for (FileList_MemberGetFirst(metaFile->Files, &m); m && n < count;
         FileList_MemberGetNext(metaFile->Files, m, &m), n++) {
        const char* raw = FileList_MemberGetNamePtr(metaFile->Files, m);
        names.Keys[n] = raw;
        if (!raw) continue;
        char normal[STORAGE_FILE_PATH_SIZE];
        if (StorageFilePath_Check(raw, normal, (int32_t)sizeof(normal)) && strcmp(normal, raw) != 0) {
            const size_t length = strlen(normal);
            char* kept = static_cast<char*>(Pool_Alloc(texts, (uint32_t)length + 1));
            memcpy(kept, normal, length + 1);
            names.Keys[n] = kept;
        }
        uint32_t attributes = 0;
        if (FileList_MemberGetAttributes(metaFile->Files, m, &attributes) && (attributes & kAttributeLink)) {
            names.Links[n] = 1;
            links++;
        }
    }
    for (; n < count; n++) names.Keys[n] = nullptr;
    NameIndex index;
    NameIndex_Init(&index, false, DistinctKey, &names);
    uint32_t twice = count;
    bool ok = NameIndex_Build(&index, count, &twice);
    if (ok && twice < count) {
        MetaFile_Print(metaFile, "File listed twice (%s)\n", names.Keys[twice]);
        ok = false;
    }
    // Every directory above each name must not be a link entry.
    for (uint32_t i = 0; i < count && ok && links; i++) {
        const char* raw = names.Keys[i];
        char normal[STORAGE_FILE_PATH_SIZE];
        if (!raw || !StorageFilePath_Check(raw, normal, (int32_t)sizeof(normal))) continue;
        for (char* slash = strchr(normal, '/'); slash && ok; slash = strchr(slash + 1, '/')) {
            *slash = 0;
            uint32_t holder = 0;
            if (NameIndex_Find(&index, normal, &holder) && names.Links[holder]) {
                MetaFile_Print(metaFile, "File listed below a link (%s)\n", normal);
                ok = false;
            }
            *slash = '/';
        }
    }
    if (ok) ok = NamesAreUsable(metaFile, &index);
    NameIndex_Free(&index);
    Pool_Delete(&texts);
    Memory_Free(names.Links, (int32_t)count);
    Memory_Free(names.Keys, (int32_t)(sizeof(const char*) * count));
    return ok;
}

// The file data inside each piece, so that the lengths of all pieces add up to the files' total
// length: whatever a copy counts per piece then matches the size of the content. The padding
// comes out whichever way the manifest gives it (each file's own "pad", or the ranges of the
// padding table), and so does the part of the last piece past the end of the stream.
void BuildPieceLengths(MetaFile* metaFile) {
    FreePieceLengths(metaFile);
    uint32_t size = 0;
    int32_t total = 0;
    PieceList_GetPieceLength(metaFile->Pieces, &size);
    PieceList_GetPieceTotal(metaFile->Pieces, &total);
    if (total <= 0 || size < 1) return;
    metaFile->PieceLengthArray = static_cast<uint32_t*>(Memory_AllocZero(sizeof(uint32_t) * (size_t)total));
    metaFile->PieceLengthArraySize = total;
    if (!metaFile->HasPadding) {
        // The data of each file is one run of the stream: share it out among the pieces it spans.
        FileListMember* m = nullptr;
        for (FileList_MemberGetFirst(metaFile->Files, &m); m; FileList_MemberGetNext(metaFile->Files, m, &m)) {
            uint64_t offset = 0, fileSize = 0;
            if (!FileList_MemberGetSize(metaFile->Files, m, &fileSize) || fileSize == 0) continue;
            FileList_MemberGetOffset(metaFile->Files, m, &offset);
            const uint64_t end = offset + fileSize;
            for (uint64_t at = offset; at < end;) {
                const uint64_t index = at / size;
                if (index >= (uint64_t)total) break;
                const uint64_t pieceEnd = (index + 1) * size;
                const uint64_t upTo = end < pieceEnd ? end : pieceEnd;
                metaFile->PieceLengthArray[index] += (uint32_t)(upTo - at);
                at = upTo;
            }
        }
        return;
    }
    // With a padding table the data of a file may be cut by ranges: each piece is its span up to
    // the end of the stream less the ranges inside that.
    uint64_t length = 0, padding = 0;
    FileList_IndexGetTotalLength(metaFile->FileIndex, &length);
    FileList_IndexGetTotalPadding(metaFile->FileIndex, &padding);
    const uint64_t streamEnd = length + padding;
    for (int32_t i = 0; i < total; i++) {
        const uint64_t first = PieceList_GetStartOffset(metaFile->Pieces, i);
        if (first >= streamEnd) continue;
        uint64_t last = PieceList_GetEndOffset(metaFile->Pieces, i);
        if (last >= streamEnd) last = streamEnd - 1;
        uint64_t inside = 0;
        PaddingIntersect_Reset(metaFile->Intersect);
        PaddingIntersect_Build(metaFile->Intersect, metaFile->Pad, metaFile->PadIndex, first, last);
        PaddingIntersect_GetTotalSize(metaFile->Intersect, &inside);
        const uint64_t span = last - first + 1;
        metaFile->PieceLengthArray[i] = inside >= span ? 0 : (uint32_t)(span - inside);
    }
    PaddingIntersect_Reset(metaFile->Intersect);
}

MetaFile* Checked(void* user) {
    auto* metaFile = static_cast<MetaFile*>(user);
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    return metaFile;
}

} // namespace

// ---- Life cycle ---------------------------------------------------------------------------------

CLASS_BASICS(MetaFile, MetaFile, METAFILE_CLASS_ID)
CLASS_PRINT_FAMILY(MetaFile, MetaFile, METAFILE_CLASS_ID, PreparePrint)

int64_t MetaFile_SetNameCheck(MetaFile* metaFile, uint32_t on, const char* partialExtension, const char* kept) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    metaFile->NameCheck = on ? 1 : 0;
    String_CopyLength(metaFile->PartialExtension, partialExtension ? partialExtension : "",
                      (int32_t)sizeof(metaFile->PartialExtension));
    String_CopyLength(metaFile->KeptName, kept ? kept : "", (int32_t)sizeof(metaFile->KeptName));
    return 1;
}

int64_t MetaFile_Create(MetaFile** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* metaFile = static_cast<MetaFile*>(Memory_AllocZero(sizeof(MetaFile)));
    metaFile->Header.ClassId = METAFILE_CLASS_ID;
    metaFile->Header.RefCount = 1;
    metaFile->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(metaFile);
    FileList_Create(&metaFile->Files);
    FileList_IndexCreate(&metaFile->FileIndex);
    PieceList_Create(&metaFile->Pieces);
    Padding_Create(&metaFile->Pad);
    Padding_IndexCreate(&metaFile->PadIndex);
    PaddingIntersect_Create(&metaFile->Intersect);
    String_CopyLength(metaFile->Algorithm, "SHA1", (int32_t)sizeof(metaFile->Algorithm));
    metaFile->ReportError = 1;
    AsyncHTTP_Create(&metaFile->Loader);
    AsyncHTTP_SetParser(metaFile->Loader, ASYNCHTTP_PARSER_JSON);
    void* parser = nullptr;
    AsyncHTTP_GetParserHandle(metaFile->Loader, &parser);
    ASSERT_POINTER(parser);
    // No document tree: every value goes straight to the tables.
    JSON_SetDictionaryHandle(static_cast<JSON*>(parser), nullptr);
    JSON_SetValueCallback(static_cast<JSON*>(parser), metaFile, MetaFile_ValueCallback);
    AsyncHTTP_SetWorkerBuildCallback(metaFile->Loader, metaFile, MetaFile_WorkerBuild);
    *handle = metaFile;
    return 1;
}

int64_t MetaFile_Reset(MetaFile* metaFile) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    // The loader first: its reset waits for a build in progress and disarms any still to come,
    // so that the tables below are no longer written by the I/O worker.
    AsyncHTTP_Reset(metaFile->Loader);
    ClearContent(metaFile);
    return 1;
}

// ---- Loading and saving -------------------------------------------------------------------------

int64_t MetaFile_Load(MetaFile* metaFile, const char* url, uint32_t signatureRequired) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    ASSERT_POINTER(url);
    if (AsyncHTTP_IsAlive(metaFile->Loader)) return 0;
    ClearContent(metaFile);
    AsyncHTTP_SetReportError(metaFile->Loader, metaFile->ReportError);
    return AsyncHTTP_Load(metaFile->Loader, url, signatureRequired);
}

int64_t MetaFile_Save(MetaFile* metaFile, const char* path, const char* scratch) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    return AsyncHTTP_Save(metaFile->Loader, path, scratch);
}

int64_t MetaFile_SaveHeld(MetaFile* metaFile, const char* path, const char* scratch) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    return AsyncHTTP_SaveHeld(metaFile->Loader, path, scratch);
}

int64_t MetaFile_IsSaveWritten(MetaFile* metaFile) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    return AsyncHTTP_IsSaveWritten(metaFile->Loader);
}

int64_t MetaFile_SaveCommit(MetaFile* metaFile) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    return AsyncHTTP_SaveCommit(metaFile->Loader);
}

int64_t MetaFile_SaveAbort(MetaFile* metaFile) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    return AsyncHTTP_SaveAbort(metaFile->Loader);
}

int64_t MetaFile_IsAlive(MetaFile* metaFile) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    return AsyncHTTP_IsAlive(metaFile->Loader);
}

int64_t MetaFile_IsLoadComplete(MetaFile* metaFile) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    return AsyncHTTP_IsLoadComplete(metaFile->Loader);
}

int64_t MetaFile_IsBodyIn(MetaFile* metaFile) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    return AsyncHTTP_IsBodyIn(metaFile->Loader);
}

int64_t MetaFile_IsSaveComplete(MetaFile* metaFile) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    return AsyncHTTP_IsSaveComplete(metaFile->Loader);
}

int64_t MetaFile_IsOk(MetaFile* metaFile) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    return AsyncHTTP_IsOk(metaFile->Loader);
}

int64_t MetaFile_IsOkLocal(MetaFile* metaFile) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    if (AsyncHTTP_IsAlive(metaFile->Loader)) return 0;
    uint32_t code = 0, codeEx = 0;
    AsyncHTTP_GetLastError(metaFile->Loader, &code, &codeEx);
    if (code == 0 && codeEx == 0) return 1;
    return code == WEBGET_ERROR_OS && Platform_ErrorMissing((PlatformErrorCode)codeEx);
}

int64_t MetaFile_GetLastError(MetaFile* metaFile, uint32_t* code, uint32_t* codeEx) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    return AsyncHTTP_GetLastError(metaFile->Loader, code, codeEx);
}

int64_t MetaFile_GetErrorCount(MetaFile* metaFile, int32_t* count) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    return AsyncHTTP_GetErrorCount(metaFile->Loader, count);
}

int64_t MetaFile_GetResumeTime(MetaFile* metaFile, double* time) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    return AsyncHTTP_GetResumeTime(metaFile->Loader, time);
}

// ---- Loader settings ----------------------------------------------------------------------------

#define METAFILE_PASS(Name, Params, Args)                                                      \
    int64_t MetaFile_##Name Params {                                                           \
        CLASS_CHECK(metaFile, METAFILE_CLASS_ID);                                              \
        return AsyncHTTP_##Name Args;                                                          \
    }

METAFILE_PASS(SetLimitSize, (MetaFile * metaFile, int32_t size), (metaFile->Loader, size))
METAFILE_PASS(GetLimitSize, (MetaFile * metaFile, int32_t* size), (metaFile->Loader, size))
METAFILE_PASS(SetKeepOriginal, (MetaFile * metaFile, uint32_t keep), (metaFile->Loader, keep))
METAFILE_PASS(GetKeepOriginal, (MetaFile * metaFile, uint32_t* keep), (metaFile->Loader, keep))
METAFILE_PASS(SetHashAlgorithm, (MetaFile * metaFile, const char* name), (metaFile->Loader, name))
METAFILE_PASS(GetHashAlgorithm, (MetaFile * metaFile, char* buffer, int32_t size), (metaFile->Loader, buffer, size))
METAFILE_PASS(SetDigest, (MetaFile * metaFile, const char* hex), (metaFile->Loader, hex))
METAFILE_PASS(GetDigest, (MetaFile * metaFile, char* buffer, int32_t size), (metaFile->Loader, buffer, size))
METAFILE_PASS(SetEventQueueHandle, (MetaFile * metaFile, EventQueue* queue), (metaFile->Loader, queue))
METAFILE_PASS(GetEventQueueHandle, (MetaFile * metaFile, EventQueue** queue), (metaFile->Loader, queue))
METAFILE_PASS(SetErrorCallback, (MetaFile * metaFile, void* user, AsyncHTTPErrorFunc callback),
              (metaFile->Loader, user, callback))
METAFILE_PASS(SetCertStoreHandle, (MetaFile * metaFile, CertStoreInterface* store), (metaFile->Loader, store))
METAFILE_PASS(GetOverallUsage, (MetaFile * metaFile, uint64_t* read, uint64_t* write), (metaFile->Loader, read, write))
METAFILE_PASS(GetMaxBandwidth, (MetaFile * metaFile, double* read, double* write), (metaFile->Loader, read, write))
METAFILE_PASS(GetCurrentBandwidth, (MetaFile * metaFile, double* read, double* write), (metaFile->Loader, read, write))
METAFILE_PASS(GetLimitBandwidth, (MetaFile * metaFile, int32_t* read, int32_t* write), (metaFile->Loader, read, write))
METAFILE_PASS(SetLimitBandwidth, (MetaFile * metaFile, int32_t read, int32_t write), (metaFile->Loader, read, write))
METAFILE_PASS(GetMeterRWHandle, (MetaFile * metaFile, MeterRW** meter), (metaFile->Loader, meter))

int64_t MetaFile_SetReportError(MetaFile* metaFile, uint32_t report) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    metaFile->ReportError = report ? 1 : 0;
    return 1;
}

int64_t MetaFile_GetReportError(MetaFile* metaFile, uint32_t* report) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    ASSERT_POINTER(report);
    *report = metaFile->ReportError;
    return 1;
}

// ---- Content ------------------------------------------------------------------------------------

int64_t MetaFile_GetId(MetaFile* metaFile, char* buffer, int32_t size) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    if (!metaFile->Id[0]) return 0;
    String_CopyLength(buffer, metaFile->Id, size);
    return 1;
}

int64_t MetaFile_GetAlgorithm(MetaFile* metaFile, const HashInterface** record) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    ASSERT_POINTER(record);
    *record = nullptr;
    return Hash_InterfaceFromName(metaFile->Algorithm, record) && *record;
}

int64_t MetaFile_GetWriteAlign(MetaFile* metaFile, uint32_t* writeAlign) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    ASSERT_POINTER(writeAlign);
    *writeAlign = metaFile->WriteAlign;
    return 1;
}

int64_t MetaFile_GetFileListHandle(MetaFile* metaFile, FileList** list) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    ASSERT_POINTER(list);
    *list = metaFile->Files;
    return 1;
}

int64_t MetaFile_GetFileListIndexHandle(MetaFile* metaFile, FileListIndex** index) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    ASSERT_POINTER(index);
    *index = metaFile->FileIndex;
    return 1;
}

int64_t MetaFile_GetPieceListHandle(MetaFile* metaFile, PieceList** list) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    ASSERT_POINTER(list);
    *list = metaFile->Pieces;
    return 1;
}

int64_t MetaFile_GetPaddingIndexHandle(MetaFile* metaFile, PaddingIndex** index) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    ASSERT_POINTER(index);
    *index = metaFile->PadIndex;
    return 1;
}

int64_t MetaFile_GetPaddingHandle(MetaFile* metaFile, Padding** padding) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    ASSERT_POINTER(padding);
    *padding = metaFile->HasPadding ? metaFile->Pad : nullptr;
    return *padding != nullptr;
}

int64_t MetFile_GetUnpaddedPieceLength(MetaFile* metaFile, int32_t index, uint32_t* length) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    ASSERT_POINTER(length);
    *length = 0;
    if (!(index >= 0 && index < metaFile->PieceLengthArraySize))
        Debug_AbortInt(__FILE__, __LINE__,
                       "Assertion failed (Index >= 0 && Index < MetaFile->PieceLengthArraySize)\n"
                       "Index out of range (%d)",
                       index);
    *length = metaFile->PieceLengthArray[index];
    return 1;
}

int64_t MetaFile_Dump(MetaFile* metaFile, Dictionary* dict) {
    CLASS_CHECK(metaFile, METAFILE_CLASS_ID);
    ASSERT_POINTER(dict);
    AsyncHTTP_Dump(metaFile->Loader, dict);
    uint64_t length = 0, padding = 0;
    // While a load runs, the I/O worker is building the index: its totals are read once it is done.
    if (!MetaFile_IsAlive(metaFile)) {
        FileList_IndexGetTotalLength(metaFile->FileIndex, &length);
        FileList_IndexGetTotalPadding(metaFile->FileIndex, &padding);
    }
    Dictionary_SetInt64ByKey(dict, "totalLength", (int64_t)length);
    Dictionary_SetInt64ByKey(dict, "totalPadding", (int64_t)padding);
    return 1;
}

// ---- The loader's callbacks ---------------------------------------------------------------------

int64_t MetaFile_ValueCallback(JSON*, void* user, const char* path, uint32_t type, const char* value, int32_t length,
                               uint64_t, int32_t, int32_t, uint32_t* error) {
    MetaFile* metaFile = Checked(user);
    ASSERT_POINTER(path);
    if (!value || length < 0) length = 0;
    // Only the first component picks the table (which splits the path itself): the scan ends at
    // the first separator, or past the longest key taken, rather than at the end of the path.
    size_t first = 0;
    while (first < 64 && path[first] && path[first] != '\\') first++;
    const bool separator = path[first] == '\\';
    const std::string_view key(path, first);
    if (key.empty() || key.size() > 63) return 1;
    if (ManifestText_Is(key, "files")) return FileList_MemberAddByValue(metaFile->Files, path, type, value, length, error);
    if (ManifestText_Is(key, "pad")) return Padding_MemberAddByValue(metaFile->Pad, path, type, value, length, error);
    if (ManifestText_Is(key, "pieces")) {
        uint32_t refused = 0;
        if (PieceList_MemberAddByValue(metaFile->Pieces, path, type, value, length, &refused)) return 1;
        if (error) *error = JSON_ERROR_BUILD;
        return 0;
    }
    // The remaining keys are plain texts of the top level.
    if (separator || !ManifestValue_IsScalar(type)) return 1;
    if (ManifestText_Is(key, "id"))
        String_CopyLengthSafe(metaFile->Id, (int32_t)sizeof(metaFile->Id), value, length);
    else if (ManifestText_Is(key, "writeAlign"))
        metaFile->WriteAlign = ManifestText_IsTrue(value, length) ? 1 : 0;
    else if (ManifestText_Is(key, "algorithm"))
        String_CopyLengthSafe(metaFile->Algorithm, (int32_t)sizeof(metaFile->Algorithm), value, length);
    return 1;
}

// The installation's rule for names, where it is asked for (MetaFile_SetNameCheck): a name a file
// storage would refuse, or that stands for its own copies, or a file that another name needs as
// a folder, would fail at every attempt to install it, so the whole manifest is refused at once.
// distinct, when given, indexes the names in their normal form (NamesAreDistinct): a name this rule
// lets through is in it already, so the folders are looked up there rather than in an index of
// their own.
bool NamesAreUsable(MetaFile* metaFile, const NameIndex* distinct) {
    if (!metaFile->NameCheck) return true;
    const char* suffix = metaFile->PartialExtension;
    uint32_t count = 0;
    FileList_GetCount(metaFile->Files, &count);
    if (count > kNameIndexMaxNames) return false; // refused with its count where names are told apart
    // The names as listed, for an index of them in the list's order.
    DistinctNames names{static_cast<const char**>(Memory_Alloc((int32_t)(sizeof(const char*) * (count ? count : 1)))),
                        nullptr};
    bool ok = true;
    uint32_t listed = 0;
    FileListMember* m = nullptr;
    for (FileList_MemberGetFirst(metaFile->Files, &m); m && ok && listed < count;
         FileList_MemberGetNext(metaFile->Files, m, &m)) {
        const char* name = FileList_MemberGetNamePtr(metaFile->Files, m);
        if (!name) name = "";
        const size_t length = strlen(name);
        const char* why = nullptr;
        if (length == 0 || length >= STORAGE_FILE_PATH_SIZE) why = "empty or too long";
        else if (name[0] == '/') why = "absolute";
        else if (strchr(name, '\\')) why = "backslash";
        if (!why) {
            for (const char* part = name; part && !why; part = strchr(part, '/') ? strchr(part, '/') + 1 : nullptr) {
                const size_t partLength = strcspn(part, "/");
                if (partLength == 0 || (partLength == 1 && part[0] == '.') ||
                    (partLength == 2 && part[0] == '.' && part[1] == '.'))
                    why = "empty, \".\" or \"..\" component";
            }
        }
        if (!why && StorageFilePath_IsReserved(name, suffix)) why = "reserved for the installation's copies";
        if (!why && StorageFilePath_IsKept(name, metaFile->KeptName)) why = "kept by the installation beside its metafile";
        if (why) {
            MetaFile_Print(metaFile, "File name refused, %s (%s)\n", why, LogText(name).Text);
            ok = false;
        } else {
            names.Keys[listed++] = name;
        }
    }
    NameIndex own;
    NameIndex_Init(&own, false, DistinctKey, &names);
    if (ok && !distinct) ok = NameIndex_Build(&own, listed, nullptr);
    const NameIndex* index = distinct ? distinct : &own;
    // No folder of one name is another name's file.
    for (FileList_MemberGetFirst(metaFile->Files, &m); m && ok; FileList_MemberGetNext(metaFile->Files, m, &m)) {
        const char* name = FileList_MemberGetNamePtr(metaFile->Files, m);
        char folder[STORAGE_FILE_PATH_SIZE];
        for (const char* slash = strchr(name, '/'); slash && ok; slash = strchr(slash + 1, '/')) {
            memcpy(folder, name, (size_t)(slash - name));
            folder[slash - name] = 0;
            uint32_t holder = 0;
            if (NameIndex_Find(index, folder, &holder)) {
                MetaFile_Print(metaFile, "File name refused, a file is also a folder (%s) (%s)\n",
                               LogText(folder).Text, LogText(name).Text);
                ok = false;
            }
        }
    }
    NameIndex_Free(&own);
    Memory_Free(names.Keys, (int32_t)(sizeof(const char*) * (count ? count : 1)));
    return ok;
}

int64_t MetaFile_WorkerBuild(AsyncHTTP*, void* user, uint32_t* code, uint32_t* codeEx) {
    MetaFile* metaFile = Checked(user);
    ASSERT_POINTER(code);
    ASSERT_POINTER(codeEx);
    FileList_MemberFlush(metaFile->Files);
    Padding_MemberFlush(metaFile->Pad);
    PieceList_MemberFlush(metaFile->Pieces);
    uint32_t ranges = 0;
    Padding_GetCount(metaFile->Pad, &ranges);
    metaFile->HasPadding = ranges > 0 ? 1 : 0;
    bool ok = !metaFile->HasPadding || Padding_IndexMake(metaFile->PadIndex, metaFile->Pad);
    if (!ok) MetaFile_Print(metaFile, "Padding ranges out of order or out of range\n");
    if (ok) {
        ok = FileList_IndexMake(metaFile->FileIndex, metaFile->Files, metaFile->HasPadding ? metaFile->Pad : nullptr,
                                metaFile->PadIndex);
        if (!ok) MetaFile_Print(metaFile, "File list cannot be laid out\n");
    }
    if (ok) ok = NamesAreDistinct(metaFile);
    if (ok) {
        ok = PiecesMatchStream(metaFile);
        if (!ok) MetaFile_Print(metaFile, "Pieces do not match the file stream\n");
    }
    if (!ok) {
        *code = WEBGET_ERROR_INVALID_CONTENT;
        *codeEx = 0;
        return 0;
    }
    BuildPieceLengths(metaFile);
    return 1;
}
