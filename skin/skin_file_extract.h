// Copying one file out of the skin, in steps on the main loop: to a file on disk (which appears
// only once complete) or into memory for script to read back in slices; also the workflow task
// type "SkinFileExtract".
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"
#include "skin/linux/extract_output.h"
#include "tasks/task_base.h"

struct Dictionary;
struct SkinFile;

enum : uint32_t {
    SKINFILEEXTRACT_CLASS_ID = 0xfdb9e694,
    SKINFILEEXTRACTTASK_CLASS_ID = 0x390c2da7,
    SKINFILEEXTRACT_NAME_SIZE = 320,
    // Most bytes one step copies.
    SKINFILEEXTRACT_STEP_SIZE = 16384,
};

// Notifications of type "SkinFileExtract", sender the instance id, always queued: "Start" when
// the entry is opened, "Complete" {"successful"} at the end.
struct SkinFileExtract {
    Class Header;
    ClassPrint Print;
    SkinFile* Entry;
    ExtractOutput Output;
    char Filename[SKINFILEEXTRACT_NAME_SIZE];
    char OutputFilename[SKINFILEEXTRACT_NAME_SIZE];
    uint8_t* Buffer;
    int32_t BufferSize;
    int32_t Position;
    uint32_t Started;
    uint32_t Done;
    uint32_t Successful;
    // Whether the entry is open, its size, and the bytes taken from it since it was opened.
    uint32_t EntryOpen;
    uint64_t EntrySize;
    uint64_t Copied;
};

int64_t SkinFileExtract_Create(SkinFileExtract** handle);
int64_t SkinFileExtract_Delete(SkinFileExtract** handle);
int64_t SkinFileExtract_AddRef(SkinFileExtract* extract);
int64_t SkinFileExtract_Release(SkinFileExtract** handle);
int64_t SkinFileExtract_GetInstanceId(SkinFileExtract* extract, char* buffer, int32_t size);

// Names that do not fit are refused (0), never cut. An empty output name extracts into memory.
int64_t SkinFileExtract_SetFilename(SkinFileExtract* extract, const char* name);
int64_t SkinFileExtract_GetFilename(SkinFileExtract* extract, char* buffer, int32_t size);
int64_t SkinFileExtract_GetFilenamePtr(SkinFileExtract* extract, const char** name);
int64_t SkinFileExtract_SetOutputFilename(SkinFileExtract* extract, const char* name);
int64_t SkinFileExtract_GetOutputFilename(SkinFileExtract* extract, char* buffer, int32_t size);
int64_t SkinFileExtract_GetOutputFilenamePtr(SkinFileExtract* extract, const char** name);

int64_t SkinFileExtract_Start(SkinFileExtract* extract);
// One step while started (at most SKINFILEEXTRACT_STEP_SIZE bytes).
int64_t SkinFileExtract_Process(SkinFileExtract* extract);
// Frees the buffer, closes entry and output (a partial output is removed), clears both names, started.
int64_t SkinFileExtract_Reset(SkinFileExtract* extract);
int64_t SkinFileExtract_IsOk(SkinFileExtract* extract);
int64_t SkinFileExtract_IsDone(SkinFileExtract* extract);
int64_t SkinFileExtract_GetBufferSize(SkinFileExtract* extract, int32_t* size);
int64_t SkinFileExtract_GetBufferPtr(SkinFileExtract* extract, const uint8_t** buffer);
// The slice at offset, its length cut to the buffer's end; 0 when the offset is negative or
// not below the buffer size, or nothing is left of the length.
int64_t SkinFileExtract_GetBuffer(SkinFileExtract* extract, int64_t offset, int32_t length,
                                  const uint8_t** slice, int32_t* sliceLength);

int64_t SkinFileExtract_VPrint(SkinFileExtract* extract, int32_t indent, const char* format, va_list args);
int64_t SkinFileExtract_Print(SkinFileExtract* extract, const char* format, ...);
int64_t SkinFileExtract_PrintTabbed(SkinFileExtract* extract, int32_t indent, const char* format, ...);
int64_t SkinFileExtract_IsVerboseLevel(SkinFileExtract* extract, int32_t level);
int64_t SkinFileExtract_VerboseLog(SkinFileExtract* extract, int32_t level, const char* format, ...);
int64_t SkinFileExtract_SetPrintCallback(SkinFileExtract* extract, void* user, ClassPrintCallback callback);
int64_t SkinFileExtract_GetPrintCallback(SkinFileExtract* extract, void** user, ClassPrintCallback* callback);
int64_t SkinFileExtract_SetPrintIdentifier(SkinFileExtract* extract, const char* text);
int64_t SkinFileExtract_SetVerbose(SkinFileExtract* extract, uint32_t verbose);
int64_t SkinFileExtract_GetVerbose(SkinFileExtract* extract, uint32_t* verbose);

// The script class.
int64_t SkinFileExtract_Invoke(void* userContext, Dictionary* request, Dictionary* response);
int64_t SkinFileExtract_ReleaseContext(void** userContext);
int64_t SkinFileExtract_ProcessContext(void* userContext);

// ---- Workflow task type ("path", "outputPath") ---------------------------------------------------
struct SkinFileExtractTask {
    TaskBase Base;
    SkinFileExtract* Extract;
};

int64_t SkinFileExtractTask_Create(void** instance, Task* task);
int64_t SkinFileExtractTask_Delete(void** instance);
int64_t SkinFileExtractTask_AddRef(void* instance);
int64_t SkinFileExtractTask_Release(void** instance);
extern const TaskInterface SkinFileExtract_Interface;
