// Pipe: a named pipe in the platform's pipe directory seen as a Stream and as a script object;
// polling turns what has arrived into "Pipe" "Read" notifications with the bytes as Base64.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/platform/stream.h"
#include "core/runtime/class.h"

enum : uint32_t {
    PIPE_CLASS_ID = 0xD37C58A8,
    // Capacity of the name and of the full path, terminator included.
    PIPE_NAME_SIZE = 320,
    // Most bytes one polling step reads and announces.
    PIPE_PROCESS_CHUNK = 4096,
};

struct Pipe {
    Class Header;
    ClassPrint Print;
    // Peek, Write, Read, Flush, IsOpen and Close are filled; Handle is this object.
    Stream StreamRecord;
    void* PlatformHandle; // null when closed
    char Name[PIPE_NAME_SIZE];
    int32_t BufferSize;
    uint32_t Blocking;
    // Since the last open; zeroed by Close.
    uint64_t BytesRead;
    uint64_t BytesWritten;
    uint32_t OpenExisting;
    // Data flows towards this program; only inbound pipes are read by Pipe_Process.
    uint32_t Inbound;
};

// Life. Create generates the instance id and enters the pipe in the instance table; Delete
// takes it out, closes and frees it.
int64_t Pipe_Create(Pipe** handle);
int64_t Pipe_Delete(Pipe** handle);
int64_t Pipe_AddRef(Pipe* pipe);
// Releases and nulls the handle; the last release deletes. 0 for a null handle.
int64_t Pipe_Release(Pipe** handle);
// Copies at most 36 bytes of the instance id text.
int64_t Pipe_GetInstanceId(Pipe* pipe, char* buffer, int32_t size);
// 1 when the object is not null and is a Pipe; never aborts.
int64_t Pipe_ValidHandle(void* object);

// Settings.
int64_t Pipe_SetName(Pipe* pipe, const char* name);
int64_t Pipe_GetName(Pipe* pipe, char* buffer, int32_t size);
int64_t Pipe_GetNamePtr(Pipe* pipe, const char** name);
// A size below 1 answers 0 and keeps the previous one.
int64_t Pipe_SetBufferSize(Pipe* pipe, int32_t size);
int64_t Pipe_GetBufferSize(Pipe* pipe, int32_t* size);
int64_t Pipe_SetBlocking(Pipe* pipe, uint32_t flag);
int64_t Pipe_GetBlocking(Pipe* pipe, uint32_t* flag);
int64_t Pipe_SetOpenExisting(Pipe* pipe, uint32_t flag);
int64_t Pipe_GetOpenExisting(Pipe* pipe, uint32_t* flag);
int64_t Pipe_SetIsIn(Pipe* pipe, uint32_t flag);
int64_t Pipe_GetIsIn(Pipe* pipe, uint32_t* flag);

// Opens (or reopens, with the current settings) the pipe of this name in the pipe directory.
// An empty name, a name that climbs out of the directory with "..", or a path that does not
// fit PIPE_NAME_SIZE answers 0 and leaves the pipe closed.
int64_t Pipe_Open(Pipe* pipe);
int64_t Pipe_Start(Pipe* pipe);
// Closes the platform pipe when open and zeroes both byte counters; 1.
int64_t Pipe_Close(Pipe* pipe);
int64_t Pipe_IsOpen(Pipe* pipe);

// 0 when closed; otherwise the platform's answer: *available is 1 when bytes are waiting, and
// nothing is copied.
int64_t Pipe_Peek(Pipe* pipe, void* buffer, uint32_t size, uint32_t* available);
// One read or write of up to size bytes. 0 when closed or when the platform fails; "nothing
// now" on a non-blocking pipe answers 1 with a count of 0.
int64_t Pipe_Read(Pipe* pipe, void* buffer, uint32_t size, uint32_t* read);
int64_t Pipe_Write(Pipe* pipe, const void* buffer, uint32_t size, uint32_t* written);
int64_t Pipe_Flush(Pipe* pipe);
// The platform pipe handle (for a launched program's standard stream); 1 when there is one.
int64_t Pipe_GetStandardHandle(Pipe* pipe, void** handle);
int64_t Pipe_Accept(Pipe* server, Pipe** client);
int64_t Pipe_GetRemoteProcessId(Pipe* pipe, uint32_t* processId);
// One polling step: at most PIPE_PROCESS_CHUNK bytes become one "Pipe" "Read" notification
// whose "buffer" is their Base64 text. Never waits, also on a blocking pipe; 1.
int64_t Pipe_Process(Pipe* pipe);
int64_t Pipe_GetStreamHandle(Pipe* pipe, Stream** stream);

// Print family; without a print callback lines go to the log at level DEBUG.
int64_t Pipe_Print(Pipe* pipe, const char* format, ...);
int64_t Pipe_PrintTabbed(Pipe* pipe, int32_t indent, const char* format, ...);
int64_t Pipe_VPrint(Pipe* pipe, int32_t indent, const char* format, va_list args);
// Prints when the pipe's verbose level reaches `level`; 1 when printed.
int64_t Pipe_VerboseLog(Pipe* pipe, int32_t level, const char* format, ...);
int64_t Pipe_IsVerboseLevel(Pipe* pipe, int32_t level);
int64_t Pipe_SetPrintCallback(Pipe* pipe, void* user, ClassPrintCallback callback);
int64_t Pipe_GetPrintCallback(Pipe* pipe, void** user, ClassPrintCallback* callback);
int64_t Pipe_SetPrintIdentifier(Pipe* pipe, const char* text);
int64_t Pipe_SetVerbose(Pipe* pipe, uint32_t flag);
int64_t Pipe_GetVerbose(Pipe* pipe, uint32_t* flag);
