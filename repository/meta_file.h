// The content manifest: one version of a content tree as a byte stream of files and padding cut
// into pieces with a digest each. It is read in one streaming JSON pass straight into its tables
// and indexed on the I/O worker; fetching, checking and writing are the document loader's.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"
#include "core/web/async_http.h"

struct CertStoreInterface;
struct Dictionary;
struct EventQueue;
struct FileList;
struct FileListIndex;
struct HashInterface;
struct JSON;
struct MeterRW;
struct MetaFile;
struct Padding;
struct PaddingIndex;
struct PieceList;

enum : uint32_t { METAFILE_CLASS_ID = 0xb3608146 };

enum : int32_t {
    METAFILE_ID_SIZE = 134,        // 133 characters and the terminator
    METAFILE_ALGORITHM_SIZE = 320, // 319 characters and the terminator
};

// ---- Life cycle ------------------------------------------------------------------------------
int64_t MetaFile_Create(MetaFile** handle);
int64_t MetaFile_AddRef(MetaFile* metaFile);
// The last release resets the manifest, frees its tables and lets its loader go.
int64_t MetaFile_Release(MetaFile** handle);
int64_t MetaFile_GetInstanceId(MetaFile* metaFile, char* buffer, int32_t size);
// Cancels what runs, empties the tables, clears id, write-align and padding, restores "SHA1"
// and resets the loader.
int64_t MetaFile_Reset(MetaFile* metaFile);

// ---- Loading and saving ------------------------------------------------------------------------
// Starts loading a file or http(s) URL; 0 while a load or save runs. Every load starts from empty
// tables, so a load retried after a failure gives the tables of a first one.
int64_t MetaFile_Load(MetaFile* metaFile, const char* url, uint32_t signatureRequired);
// Writes the received document (kept with MetaFile_SetKeepOriginal) to the path.
// With scratch, the new file is written under that name beside the path first (AsyncHTTP_Save).
int64_t MetaFile_Save(MetaFile* metaFile, const char* path, const char* scratch = nullptr);
// The same save held before its rename, then renamed on the calling thread or dropped
// (AsyncHTTP_SaveHeld, AsyncHTTP_IsSaveWritten, AsyncHTTP_SaveCommit, AsyncHTTP_SaveAbort).
int64_t MetaFile_SaveHeld(MetaFile* metaFile, const char* path, const char* scratch = nullptr);
int64_t MetaFile_IsSaveWritten(MetaFile* metaFile);
int64_t MetaFile_SaveCommit(MetaFile* metaFile);
int64_t MetaFile_SaveAbort(MetaFile* metaFile);
int64_t MetaFile_IsAlive(MetaFile* metaFile);
int64_t MetaFile_IsLoadComplete(MetaFile* metaFile);
// The running load's bytes are all in and being parsed (AsyncHTTP_IsBodyIn).
int64_t MetaFile_IsBodyIn(MetaFile* metaFile);
int64_t MetaFile_IsSaveComplete(MetaFile* metaFile);
int64_t MetaFile_IsOk(MetaFile* metaFile);
// Idle and either without error or failed only because the file does not exist.
int64_t MetaFile_IsOkLocal(MetaFile* metaFile);
int64_t MetaFile_GetLastError(MetaFile* metaFile, uint32_t* code, uint32_t* codeEx);
int64_t MetaFile_GetErrorCount(MetaFile* metaFile, int32_t* count);
int64_t MetaFile_GetResumeTime(MetaFile* metaFile, double* time);

// ---- Loader settings ---------------------------------------------------------------------------
int64_t MetaFile_SetLimitSize(MetaFile* metaFile, int32_t size);
int64_t MetaFile_GetLimitSize(MetaFile* metaFile, int32_t* size);
int64_t MetaFile_SetKeepOriginal(MetaFile* metaFile, uint32_t keep);
int64_t MetaFile_GetKeepOriginal(MetaFile* metaFile, uint32_t* keep);
int64_t MetaFile_SetHashAlgorithm(MetaFile* metaFile, const char* name);
int64_t MetaFile_GetHashAlgorithm(MetaFile* metaFile, char* buffer, int32_t size);
// Lower-case hexadecimal digest the received document must have; the hash follows its length.
int64_t MetaFile_SetDigest(MetaFile* metaFile, const char* hex);
int64_t MetaFile_GetDigest(MetaFile* metaFile, char* buffer, int32_t size);
int64_t MetaFile_SetEventQueueHandle(MetaFile* metaFile, EventQueue* queue);
int64_t MetaFile_GetEventQueueHandle(MetaFile* metaFile, EventQueue** queue);
int64_t MetaFile_SetErrorCallback(MetaFile* metaFile, void* user, AsyncHTTPErrorFunc callback);
int64_t MetaFile_SetCertStoreHandle(MetaFile* metaFile, CertStoreInterface* store);
// Handed to the loader before every load; on by default.
int64_t MetaFile_SetReportError(MetaFile* metaFile, uint32_t report);
int64_t MetaFile_GetReportError(MetaFile* metaFile, uint32_t* report);
// Holds every file name of a load to what a file installation can act on (off by default): no
// empty, absolute, "." or ".." component, no backslash, no file that is also another's folder,
// and no component ending in the partial suffix given (or that suffix and "~"), which names
// the installation's own copies (a folder of that name would take a copy's place), and none the
// installation keeps beside its local manifest, kept being that manifest's name below the
// installation's folder (StorageFilePath_IsKept; none when null or empty). A name that breaks it
// fails the build, named.
int64_t MetaFile_SetNameCheck(MetaFile* metaFile, uint32_t on, const char* partialExtension,
                              const char* kept = nullptr);
int64_t MetaFile_GetOverallUsage(MetaFile* metaFile, uint64_t* read, uint64_t* write);
int64_t MetaFile_GetMaxBandwidth(MetaFile* metaFile, double* read, double* write);
int64_t MetaFile_GetCurrentBandwidth(MetaFile* metaFile, double* read, double* write);
int64_t MetaFile_GetLimitBandwidth(MetaFile* metaFile, int32_t* read, int32_t* write);
int64_t MetaFile_SetLimitBandwidth(MetaFile* metaFile, int32_t read, int32_t write);
int64_t MetaFile_GetMeterRWHandle(MetaFile* metaFile, MeterRW** meter);

// ---- Content -----------------------------------------------------------------------------------
// Read only after a load completed. Handles are the manifest's own (no new reference).
// 0 and an empty buffer when the manifest has no id.
int64_t MetaFile_GetId(MetaFile* metaFile, char* buffer, int32_t size);
// The record named by "algorithm"; 0 when the name is unknown.
int64_t MetaFile_GetAlgorithm(MetaFile* metaFile, const HashInterface** record);
int64_t MetaFile_GetWriteAlign(MetaFile* metaFile, uint32_t* writeAlign);
int64_t MetaFile_GetFileListHandle(MetaFile* metaFile, FileList** list);
int64_t MetaFile_GetFileListIndexHandle(MetaFile* metaFile, FileListIndex** index);
int64_t MetaFile_GetPieceListHandle(MetaFile* metaFile, PieceList** list);
int64_t MetaFile_GetPaddingIndexHandle(MetaFile* metaFile, PaddingIndex** index);
// The padding table only when the manifest has a "pad" list; else none and 0.
int64_t MetaFile_GetPaddingHandle(MetaFile* metaFile, Padding** padding);
// The file bytes inside piece `index` (0 to count - 1, else the process stops): the piece less
// its padding (the files' own or the padding table's) and less what lies past the stream's end.
// The lengths of all pieces never add up to more than the files' total length, and to exactly
// that when the pieces hold every file byte.
int64_t MetFile_GetUnpaddedPieceLength(MetaFile* metaFile, int32_t index, uint32_t* length);
// The loader's fields, then "totalLength" and "totalPadding".
int64_t MetaFile_Dump(MetaFile* metaFile, Dictionary* dict);

// ---- The loader's callbacks (I/O worker) -------------------------------------------------------
// Hands each scanned value to the table its top-level key names; a refused digest stops the scan
// with error 11.
int64_t MetaFile_ValueCallback(JSON* json, void* user, const char* path, uint32_t type, const char* value,
                               int32_t length, uint64_t streamPosition, int32_t nodePosition, int32_t nodeSize,
                               uint32_t* error);
// Closes and indexes the tables after a scan; 0 with InvalidContent (976) when the manifest's
// stream and pieces do not agree.
int64_t MetaFile_WorkerBuild(AsyncHTTP* loader, void* user, uint32_t* code, uint32_t* codeEx);

// ---- Reporting ---------------------------------------------------------------------------------
int64_t MetaFile_VPrint(MetaFile* metaFile, int32_t indent, const char* format, va_list args);
int64_t MetaFile_Print(MetaFile* metaFile, const char* format, ...);
int64_t MetaFile_PrintTabbed(MetaFile* metaFile, int32_t indent, const char* format, ...);
int64_t MetaFile_IsVerboseLevel(MetaFile* metaFile, int32_t level);
int64_t MetaFile_VerboseLog(MetaFile* metaFile, int32_t level, const char* format, ...);
int64_t MetaFile_SetPrintCallback(MetaFile* metaFile, void* user, ClassPrintCallback callback);
int64_t MetaFile_GetPrintCallback(MetaFile* metaFile, void** user, ClassPrintCallback* callback);
int64_t MetaFile_SetPrintIdentifier(MetaFile* metaFile, const char* text);
int64_t MetaFile_SetVerbose(MetaFile* metaFile, uint32_t verbose);
int64_t MetaFile_GetVerbose(MetaFile* metaFile, uint32_t* verbose);
