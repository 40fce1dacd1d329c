// Pipe: a named pipe of the platform layer behind the Stream slots, and its polling step that
// hands arrived bytes to observers as Base64 text in "Pipe" "Read" notifications.
#include "core/platform/pipe.h"

#include <cstring>
#include <string_view>

#include "core/formats/base64.h"
#include "core/linux/platform.h"
#include "core/linux/platform_pipe.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"

namespace {

int64_t DeleteHandle(void** handle) {
    return Pipe_Delete(reinterpret_cast<Pipe**>(handle));
}

int64_t Pipe_PeekCallback(void* handle, void* buffer, uint32_t size, uint32_t* available) {
    return Pipe_Peek(static_cast<Pipe*>(handle), buffer, size, available);
}

int64_t Pipe_WriteCallback(void* handle, const void* buffer, uint32_t size, uint32_t* written) {
    return Pipe_Write(static_cast<Pipe*>(handle), buffer, size, written);
}

int64_t Pipe_ReadCallback(void* handle, void* buffer, uint32_t size, uint32_t* read) {
    return Pipe_Read(static_cast<Pipe*>(handle), buffer, size, read);
}

void PreparePrint(Pipe* pipe) {
    ClassPrint_Prepare(&pipe->Print, pipe, "Pipe", nullptr);
}

// The platform moves at most a signed 32-bit count at once.
int32_t PlatformLength(uint32_t size) {
    return size > (uint32_t)INT32_MAX ? INT32_MAX : (int32_t)size;
}

// A ".." segment (between '/' or '\' separators) would put the pipe outside the pipe
// directory, where closing it removes whatever FIFO lives at that path.
bool ClimbsOut(const char* name) {
    std::string_view rest(name);
    while (!rest.empty()) {
        const size_t end = rest.find_first_of("/\\");
        if (rest.substr(0, end) == "..") return true;
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    return false;
}

// The FIFO's path: the pipe directory followed by the name, taken literally. Empty for an
// empty name. False when the directory is unknown or the path would not fit; a cut path would
// name another pipe.
bool BuildPath(const Pipe* pipe, char* path, int32_t capacity) {
    path[0] = 0;
    if (pipe->Name[0] == 0) return true;
    if (ClimbsOut(pipe->Name)) return false;
    if (!Platform_GetSpecialPath(PLATFORM_PATH_PIPE_PATH, path, capacity)) return false;
    const size_t directory = strlen(path);
    const size_t name = strlen(pipe->Name);
    if (directory + name + 1 > (size_t)capacity) {
        path[0] = 0;
        return false;
    }
    memcpy(path + directory, pipe->Name, name + 1);
    return true;
}

// Standard padded Base64 of the bytes in a buffer of its own, 10 bytes larger than the text
// needs; *size receives the allocation size for FreeBase64Text.
int64_t CreateBase64Text(const void* data, uint32_t length, char** text, uint32_t* size) {
    *text = nullptr;
    *size = 0;
    uint32_t needed = 0;
    if (!data || !Base64_CalculateEncodeSize(length, &needed) || needed > (uint32_t)INT32_MAX - 10) return 0;
    const uint32_t capacity = needed + 10;
    char* buffer = static_cast<char*>(Memory_Alloc(capacity));
    if (!buffer) return 0;
    uint32_t written = 0;
    const int64_t encoded = Base64_Encode(data, (int32_t)length, buffer, (int32_t)capacity, &written);
    buffer[written < capacity ? written : capacity - 1] = 0;
    *text = buffer;
    *size = capacity;
    return encoded;
}

void FreeBase64Text(char** text, uint32_t* size) {
    if (*text && *size) Memory_Free(*text, *size);
    *text = nullptr;
    *size = 0;
}

// The plain settings: stored as given, read back into an out-argument cleared first.
template <typename T> int64_t SetSetting(Pipe* pipe, T Pipe::*field, T value) {
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    pipe->*field = value;
    return 1;
}

template <typename T> int64_t GetSetting(Pipe* pipe, T Pipe::*field, T* value) {
    ASSERT_POINTER(value);
    *value = 0;
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    *value = pipe->*field;
    return 1;
}

} // namespace

int64_t Pipe_Create(Pipe** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    Pipe* pipe = static_cast<Pipe*>(Memory_AllocZero(sizeof(Pipe)));
    pipe->Header.ClassId = PIPE_CLASS_ID;
    pipe->Header.RefCount = 1;
    pipe->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(pipe);
    Class_TrackInstance(pipe, pipe->Header.InstanceId, nullptr);
    pipe->StreamRecord.Handle = pipe;
    pipe->StreamRecord.Peek = Pipe_PeekCallback;
    pipe->StreamRecord.Write = Pipe_WriteCallback;
    pipe->StreamRecord.Read = Pipe_ReadCallback;
    pipe->StreamRecord.Flush = StreamSlot<Pipe_Flush>::Call;
    pipe->StreamRecord.IsOpen = StreamSlot<Pipe_IsOpen>::Call;
    pipe->StreamRecord.Close = StreamSlot<Pipe_Close>::Call;
    pipe->Inbound = 1;
    *handle = pipe;
    return 1;
}

int64_t Pipe_Delete(Pipe** handle) {
    ASSERT_POINTER(handle);
    Pipe* pipe = *handle;
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    Class_UntrackInstance(pipe);
    Pipe_Close(pipe);
    pipe->Header.ClassId = 0;
    Memory_Free(pipe, sizeof(Pipe));
    *handle = nullptr;
    return 1;
}

int64_t Pipe_AddRef(Pipe* pipe) {
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    Class_AddRef(pipe);
    return 1;
}

int64_t Pipe_Release(Pipe** handle) {
    ASSERT_POINTER(handle);
    if (*handle == nullptr) return 0;
    CLASS_CHECK(*handle, PIPE_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t Pipe_GetInstanceId(Pipe* pipe, char* buffer, int32_t size) {
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, pipe->Header.InstanceId, (int32_t)sizeof(pipe->Header.InstanceId));
    return 1;
}

int64_t Pipe_ValidHandle(void* object) {
    return object != nullptr && static_cast<const Class*>(object)->ClassId == PIPE_CLASS_ID;
}

int64_t Pipe_SetName(Pipe* pipe, const char* name) {
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    ASSERT_POINTER(name);
    String_CopyLength(pipe->Name, name, (int32_t)sizeof(pipe->Name));
    return 1;
}

int64_t Pipe_GetName(Pipe* pipe, char* buffer, int32_t size) {
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    ASSERT_POINTER(buffer);
    if (size < 1) return 0;
    String_CopyLength(buffer, pipe->Name, size);
    return 1;
}

int64_t Pipe_GetNamePtr(Pipe* pipe, const char** name) {
    ASSERT_POINTER(name);
    *name = nullptr;
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    *name = pipe->Name;
    return 1;
}

int64_t Pipe_SetBufferSize(Pipe* pipe, int32_t size) {
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    if (size < 1) return 0;
    pipe->BufferSize = size;
    return 1;
}

int64_t Pipe_GetBufferSize(Pipe* pipe, int32_t* size) {
    return GetSetting(pipe, &Pipe::BufferSize, size);
}

int64_t Pipe_SetBlocking(Pipe* pipe, uint32_t flag) {
    return SetSetting(pipe, &Pipe::Blocking, flag);
}

int64_t Pipe_GetBlocking(Pipe* pipe, uint32_t* flag) {
    return GetSetting(pipe, &Pipe::Blocking, flag);
}

int64_t Pipe_SetOpenExisting(Pipe* pipe, uint32_t flag) {
    return SetSetting(pipe, &Pipe::OpenExisting, flag);
}

int64_t Pipe_GetOpenExisting(Pipe* pipe, uint32_t* flag) {
    return GetSetting(pipe, &Pipe::OpenExisting, flag);
}

int64_t Pipe_SetIsIn(Pipe* pipe, uint32_t flag) {
    return SetSetting(pipe, &Pipe::Inbound, flag);
}

int64_t Pipe_GetIsIn(Pipe* pipe, uint32_t* flag) {
    return GetSetting(pipe, &Pipe::Inbound, flag);
}

int64_t Pipe_Open(Pipe* pipe) {
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    Pipe_Close(pipe);
    uint32_t flags = 0;
    if (pipe->OpenExisting == 1) flags |= PLATFORM_PIPE_OPEN_EXISTING;
    if (pipe->Blocking == 1) flags |= PLATFORM_PIPE_BLOCKING;
    if (pipe->Inbound != 0) flags |= PLATFORM_PIPE_INBOUND;
    char path[PIPE_NAME_SIZE];
    if (!BuildPath(pipe, path, (int32_t)sizeof(path))) return 0;
    void* handle = nullptr;
    if (!Platform_PipeOpen(&handle, path, pipe->BufferSize, flags)) return 0;
    pipe->PlatformHandle = handle;
    return 1;
}

int64_t Pipe_Start(Pipe* pipe) {
    return Pipe_Open(pipe);
}

int64_t Pipe_Close(Pipe* pipe) {
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    if (pipe->PlatformHandle) Platform_PipeClose(&pipe->PlatformHandle);
    pipe->PlatformHandle = nullptr;
    pipe->BytesRead = 0;
    pipe->BytesWritten = 0;
    return 1;
}

int64_t Pipe_IsOpen(Pipe* pipe) {
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    return pipe->PlatformHandle != nullptr && Platform_PipeIsOpen(pipe->PlatformHandle);
}

int64_t Pipe_Peek(Pipe* pipe, void* buffer, uint32_t size, uint32_t* available) {
    ASSERT_POINTER(available);
    *available = 0;
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    if (!pipe->PlatformHandle) return 0;
    int32_t waiting = 0;
    const int64_t result = Platform_PipePeek(pipe->PlatformHandle, buffer, PlatformLength(size), &waiting);
    *available = waiting > 0 ? (uint32_t)waiting : 0;
    return result;
}

int64_t Pipe_Read(Pipe* pipe, void* buffer, uint32_t size, uint32_t* read) {
    ASSERT_POINTER(read);
    *read = 0;
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    if (!pipe->PlatformHandle) return 0;
    int32_t done = 0;
    if (!Platform_PipeRead(pipe->PlatformHandle, buffer, PlatformLength(size), &done)) return 0;
    *read = (uint32_t)done;
    pipe->BytesRead += (uint32_t)done;
    return 1;
}

int64_t Pipe_Write(Pipe* pipe, const void* buffer, uint32_t size, uint32_t* written) {
    ASSERT_POINTER(written);
    *written = 0;
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    if (!pipe->PlatformHandle) return 0;
    int32_t done = 0;
    if (!Platform_PipeWrite(pipe->PlatformHandle, buffer, PlatformLength(size), &done)) return 0;
    *written = (uint32_t)done;
    pipe->BytesWritten += (uint32_t)done;
    return 1;
}

int64_t Pipe_Flush(Pipe* pipe) {
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    if (!pipe->PlatformHandle) return 0;
    return Platform_PipeFlush(pipe->PlatformHandle);
}

int64_t Pipe_GetStandardHandle(Pipe* pipe, void** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    *handle = pipe->PlatformHandle;
    return *handle != nullptr;
}

int64_t Pipe_Accept(Pipe* server, Pipe** client) {
    ASSERT_POINTER(client);
    *client = nullptr;
    CLASS_CHECK(server, PIPE_CLASS_ID);
    if (!server->PlatformHandle) return 0;
    void* accepted = nullptr;
    if (!Platform_PipeAccept(server->PlatformHandle, &accepted) || !accepted) return 0;
    Pipe_VerboseLog(server, 0, "Server accepted another client %s", server->Name);
    Pipe* pipe = nullptr;
    Pipe_Create(&pipe);
    Pipe_SetName(pipe, server->Name);
    pipe->BufferSize = server->BufferSize;
    pipe->Blocking = server->Blocking;
    pipe->PlatformHandle = accepted;
    *client = pipe;
    return 1;
}

int64_t Pipe_GetRemoteProcessId(Pipe* pipe, uint32_t* processId) {
    ASSERT_POINTER(processId);
    *processId = 0;
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    if (!pipe->PlatformHandle) return 0;
    return Platform_PipeGetRemoteProcessId(pipe->PlatformHandle, processId);
}

int64_t Pipe_Process(Pipe* pipe) {
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    if (pipe->Inbound == 0 || !pipe->PlatformHandle) return 1;
    // A blocking read of a pipe with nothing waiting would never return: this side holds the
    // FIFO open for writing too, so no end of data comes even after the writer has gone.
    if (pipe->Blocking) {
        uint32_t waiting = 0;
        uint8_t ignored = 0;
        if (!Pipe_Peek(pipe, &ignored, 1, &waiting) || waiting == 0) return 1;
    }
    uint8_t buffer[PIPE_PROCESS_CHUNK];
    uint32_t count = 0;
    if (!Pipe_Read(pipe, buffer, sizeof(buffer), &count) || count == 0) return 1;

    char* text = nullptr;
    uint32_t textSize = 0;
    CreateBase64Text(buffer, count, &text, &textSize);
    Dictionary* info = nullptr;
    Dictionary_Create(&info);
    Dictionary_AddString(info, "buffer", text ? text : "", nullptr);
    NotificationCenter_Fire("Pipe", "Read", pipe->Header.InstanceId, info);
    Dictionary_Release(&info);
    FreeBase64Text(&text, &textSize);
    return 1;
}

int64_t Pipe_GetStreamHandle(Pipe* pipe, Stream** stream) {
    ASSERT_POINTER(stream);
    *stream = nullptr;
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    *stream = &pipe->StreamRecord;
    return 1;
}

int64_t Pipe_Print(Pipe* pipe, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = Pipe_VPrint(pipe, 0, format, args);
    va_end(args);
    return result;
}

int64_t Pipe_PrintTabbed(Pipe* pipe, int32_t indent, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = Pipe_VPrint(pipe, indent, format, args);
    va_end(args);
    return result;
}

int64_t Pipe_VPrint(Pipe* pipe, int32_t indent, const char* format, va_list args) {
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    ASSERT_POINTER(format);
    PreparePrint(pipe);
    return ClassPrint_VPrint(&pipe->Print, indent, format, args);
}

int64_t Pipe_VerboseLog(Pipe* pipe, int32_t level, const char* format, ...) {
    if (!Pipe_IsVerboseLevel(pipe, level)) return 0;
    va_list args;
    va_start(args, format);
    const int64_t result = Pipe_VPrint(pipe, 0, format, args);
    va_end(args);
    return result;
}

int64_t Pipe_IsVerboseLevel(Pipe* pipe, int32_t level) {
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    PreparePrint(pipe);
    return ClassPrint_IsVerboseLevel(&pipe->Print, level);
}

int64_t Pipe_SetPrintCallback(Pipe* pipe, void* user, ClassPrintCallback callback) {
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    pipe->Print.PrintUser = user;
    pipe->Print.PrintCallback = callback;
    return 1;
}

int64_t Pipe_GetPrintCallback(Pipe* pipe, void** user, ClassPrintCallback* callback) {
    ASSERT_POINTER(user);
    ASSERT_POINTER(callback);
    *user = nullptr;
    *callback = nullptr;
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    PreparePrint(pipe);
    *user = pipe->Print.PrintUser;
    *callback = pipe->Print.PrintCallback;
    return 1;
}

int64_t Pipe_SetPrintIdentifier(Pipe* pipe, const char* text) {
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    pipe->Print.Identifier = text;
    return 1;
}

int64_t Pipe_SetVerbose(Pipe* pipe, uint32_t flag) {
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    pipe->Print.Verbose = (int32_t)flag;
    return 1;
}

int64_t Pipe_GetVerbose(Pipe* pipe, uint32_t* flag) {
    ASSERT_POINTER(flag);
    *flag = 0;
    CLASS_CHECK(pipe, PIPE_CLASS_ID);
    *flag = (uint32_t)pipe->Print.Verbose;
    return 1;
}
