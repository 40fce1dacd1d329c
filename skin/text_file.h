// Local text files for page script: TextFileReader hands a file to script chunk by chunk as
// notifications, one chunk per main-loop event; TextFileWriter writes a file
// synchronously, in place only once closed.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"
#include "skin/linux/extract_output.h"

struct Dictionary;
struct File;

enum : uint32_t {
    TEXTFILEREADER_CLASS_ID = 0xd5bb582b,
    TEXTFILEWRITER_CLASS_ID = 0x75c2fcf6,
    TEXTFILE_NAME_SIZE = 320,
    TEXTFILEREADER_DEFAULT_BUFFER_SIZE = 4096,
};

enum : uint32_t {
    TEXTFILEREADER_STATE_IDLE = 0,
    TEXTFILEREADER_STATE_READING = 1,
};

// Notifications of type "TextFileReader", sender the reader's instance id, always queued:
// "Start", then "Read" {"text"} per chunk, then "Complete" {"successful"}.
struct TextFileReader {
    Class Header;
    ClassPrint Print;
    File* Handle;
    char FileName[TEXTFILE_NAME_SIZE];
    uint32_t State;
    char* Buffer;
    int32_t BufferSize;
    uint64_t BytesRead;
    uint64_t FileSize;
    // Size of the allocation behind Buffer (BufferSize may change while it lives).
    int32_t BufferAllocated;
};

// The text goes to a private file beside the target, which takes the target's name only when
// closed after every write succeeded: a writer dropped half-way, or one whose write failed, leaves
// the old file as it was.
struct TextFileWriter {
    Class Header;
    ExtractOutput Output;
    uint32_t Failed; // a write of the open file failed
};

// ---- Reader ------------------------------------------------------------------------------------
int64_t TextFileReader_Create(TextFileReader** handle);
// Drops its queued passes, frees the buffer, closes and frees the file; clears the handle.
int64_t TextFileReader_Delete(TextFileReader** handle);
int64_t TextFileReader_AddRef(TextFileReader* reader);
int64_t TextFileReader_Release(TextFileReader** handle);
int64_t TextFileReader_GetInstanceId(TextFileReader* reader, char* buffer, int32_t size);

// A name that does not fit is refused (0), never cut.
int64_t TextFileReader_SetFileName(TextFileReader* reader, const char* name);
int64_t TextFileReader_GetFileName(TextFileReader* reader, char* buffer, int32_t size);
int64_t TextFileReader_GetFileNamePtr(TextFileReader* reader, const char** name);
// Sizes below 1 are refused; the new size serves the next start.
int64_t TextFileReader_SetBufferSize(TextFileReader* reader, int32_t size);
int64_t TextFileReader_GetBufferSize(TextFileReader* reader, int32_t* size);
int64_t TextFileReader_GetFileSize(TextFileReader* reader, uint64_t* size);
int64_t TextFileReader_GetBytesLeft(TextFileReader* reader, uint64_t* left);
// Opens the file and starts reading on the main loop; failures arrive as "Complete" false. 1.
int64_t TextFileReader_Start(TextFileReader* reader);
// One pass (main thread only).
int64_t TextFileReader_Process(TextFileReader* reader);

int64_t TextFileReader_VPrint(TextFileReader* reader, int32_t indent, const char* format, va_list args);
int64_t TextFileReader_Print(TextFileReader* reader, const char* format, ...);
int64_t TextFileReader_PrintTabbed(TextFileReader* reader, int32_t indent, const char* format, ...);
int64_t TextFileReader_IsVerboseLevel(TextFileReader* reader, int32_t level);
int64_t TextFileReader_VerboseLog(TextFileReader* reader, int32_t level, const char* format, ...);
int64_t TextFileReader_SetPrintCallback(TextFileReader* reader, void* user, ClassPrintCallback callback);
int64_t TextFileReader_GetPrintCallback(TextFileReader* reader, void** user, ClassPrintCallback* callback);
int64_t TextFileReader_SetPrintIdentifier(TextFileReader* reader, const char* text);
int64_t TextFileReader_SetVerbose(TextFileReader* reader, uint32_t verbose);
int64_t TextFileReader_GetVerbose(TextFileReader* reader, uint32_t* verbose);

// ---- Writer ------------------------------------------------------------------------------------
int64_t TextFileWriter_Create(TextFileWriter** handle);
int64_t TextFileWriter_Delete(TextFileWriter** handle);
int64_t TextFileWriter_AddRef(TextFileWriter* writer);
int64_t TextFileWriter_Release(TextFileWriter** handle);
int64_t TextFileWriter_GetInstanceId(TextFileWriter* writer, char* buffer, int32_t size);
// Starts a new text for the path (its folder must exist); a file already open is closed first.
int64_t TextFileWriter_Open(TextFileWriter* writer, const char* path);
// Writes the text's bytes without its terminator; 1 only when all were written.
int64_t TextFileWriter_Write(TextFileWriter* writer, const char* text, uint32_t* written);
// Puts the text in place of the file (0600), 1; after a failed write the old file stays and 0.
int64_t TextFileWriter_Close(TextFileWriter* writer);

// ---- Script classes ----------------------------------------------------------------------------
int64_t TextFileReader_Invoke(void* userContext, Dictionary* request, Dictionary* response);
int64_t TextFileReader_ReleaseContext(void** userContext);
int64_t TextFileReader_ProcessContext(void* userContext);
int64_t TextFileWriter_Invoke(void* userContext, Dictionary* request, Dictionary* response);
int64_t TextFileWriter_ReleaseContext(void** userContext);
