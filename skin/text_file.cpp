// Local text files for page script: the chunked reader, the synchronous writer and their script
// classes.
#include "skin/text_file.h"

#include <cstring>

#include "core/formats/interop_request.h"
#include "core/platform/file.h"
#include "core/runtime/class_family.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/thread.h"
#include "skin/script_object.h"

namespace {

constexpr const char* kReaderType = "TextFileReader";

void PrepareReaderPrint(TextFileReader* reader) {
    ClassPrint_Prepare(&reader->Print, reader, "TextFileReader", nullptr);
}

int64_t DeleteReaderHandle(void** handle) {
    return TextFileReader_Delete(reinterpret_cast<TextFileReader**>(handle));
}

int64_t DeleteWriterHandle(void** handle) {
    return TextFileWriter_Delete(reinterpret_cast<TextFileWriter**>(handle));
}

void FreeBuffer(TextFileReader* reader) {
    if (reader->Buffer) Memory_Free(reader->Buffer, reader->BufferAllocated);
    reader->Buffer = nullptr;
    reader->BufferAllocated = 0;
}

void FireComplete(TextFileReader* reader, bool successful) {
    Dictionary* info = nullptr;
    if (!Dictionary_Create(&info)) return;
    Dictionary_AddBoolean(info, "successful", successful ? 1 : 0, nullptr);
    NotificationCenter_FireAfterDelay(kReaderType, "Complete", reader->Header.InstanceId, 0, info);
    Dictionary_Release(&info);
}

void ProcessEvent(void* instance, void*) {
    TextFileReader_Process(static_cast<TextFileReader*>(instance));
}

} // namespace

CLASS_BASICS(TextFileReader, TextFileReader, TEXTFILEREADER_CLASS_ID)
CLASS_PRINT_FAMILY(TextFileReader, TextFileReader, TEXTFILEREADER_CLASS_ID, PrepareReaderPrint)
CLASS_BASICS(TextFileWriter, TextFileWriter, TEXTFILEWRITER_CLASS_ID)

// ---- Reader ------------------------------------------------------------------------------------

int64_t TextFileReader_Create(TextFileReader** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    TextFileReader* reader = ScriptObject_New<TextFileReader>(TEXTFILEREADER_CLASS_ID, DeleteReaderHandle);
    PrepareReaderPrint(reader);
    ScriptObject_CreateFile(&reader->Handle);
    reader->BufferSize = TEXTFILEREADER_DEFAULT_BUFFER_SIZE;
    *handle = reader;
    return 1;
}

int64_t TextFileReader_Delete(TextFileReader** handle) {
    ASSERT_POINTER(handle);
    TextFileReader* reader = *handle;
    CLASS_CHECK(reader, TEXTFILEREADER_CLASS_ID);
    EventQueue_RemoveInstance(nullptr, reader);
    FreeBuffer(reader);
    if (reader->Handle) {
        File_Close(reader->Handle);
        File_Release(&reader->Handle);
    }
    return ScriptObject_Free(handle);
}

int64_t TextFileReader_SetFileName(TextFileReader* reader, const char* name) {
    CLASS_CHECK(reader, TEXTFILEREADER_CLASS_ID);
    return ScriptObject_SetFileName(reader->FileName, sizeof(reader->FileName), name);
}

int64_t TextFileReader_GetFileName(TextFileReader* reader, char* buffer, int32_t size) {
    CLASS_CHECK(reader, TEXTFILEREADER_CLASS_ID);
    return ScriptObject_GetName(reader->FileName, buffer, size);
}

int64_t TextFileReader_GetFileNamePtr(TextFileReader* reader, const char** name) {
    CLASS_CHECK(reader, TEXTFILEREADER_CLASS_ID);
    return ScriptObject_GetNamePtr(reader->FileName, name);
}

int64_t TextFileReader_SetBufferSize(TextFileReader* reader, int32_t size) {
    CLASS_CHECK(reader, TEXTFILEREADER_CLASS_ID);
    if (size < 1) return 0;
    reader->BufferSize = size;
    return 1;
}

int64_t TextFileReader_GetBufferSize(TextFileReader* reader, int32_t* size) {
    CLASS_CHECK(reader, TEXTFILEREADER_CLASS_ID);
    ASSERT_POINTER(size);
    *size = reader->BufferSize;
    return 1;
}

int64_t TextFileReader_GetFileSize(TextFileReader* reader, uint64_t* size) {
    CLASS_CHECK(reader, TEXTFILEREADER_CLASS_ID);
    ASSERT_POINTER(size);
    *size = reader->FileSize;
    return 1;
}

int64_t TextFileReader_GetBytesLeft(TextFileReader* reader, uint64_t* left) {
    CLASS_CHECK(reader, TEXTFILEREADER_CLASS_ID);
    ASSERT_POINTER(left);
    // A file that grew while it was read has nothing "left" below zero.
    *left = reader->FileSize > reader->BytesRead ? reader->FileSize - reader->BytesRead : 0;
    return 1;
}

int64_t TextFileReader_Start(TextFileReader* reader) {
    CLASS_CHECK(reader, TEXTFILEREADER_CLASS_ID);
    if (File_IsOpen(reader->Handle)) {
        TextFileReader_Print(reader, "Trying to start an already open file (%s).", reader->FileName);
        return 1;
    }
    if (!reader->FileName[0]) {
        TextFileReader_Print(reader, "Filename is empty.");
        FireComplete(reader, false);
        return 1;
    }
    if (!File_Open(reader->Handle, reader->FileName, FILE_READ)) {
        FireComplete(reader, false);
        return 1;
    }
    FreeBuffer(reader);
    reader->Buffer = static_cast<char*>(Memory_Alloc(reader->BufferSize));
    reader->BufferAllocated = reader->BufferSize;
    reader->Buffer[0] = 0;
    reader->BytesRead = 0;
    reader->FileSize = 0;
    File_GetFilesizeBytes(reader->Handle, &reader->FileSize);
    NotificationCenter_FireAfterDelay(kReaderType, "Start", reader->Header.InstanceId, 0, nullptr);
    reader->State = TEXTFILEREADER_STATE_READING;
    EventQueue_Add(nullptr, reader, nullptr, 0, ProcessEvent);
    return 1;
}

int64_t TextFileReader_Process(TextFileReader* reader) {
    CLASS_CHECK(reader, TEXTFILEREADER_CLASS_ID);
    ASSERT_MSG(Thread_GetMainId() == Thread_GetCurrentId(), "Function not on main thread");
    if (reader->State == TEXTFILEREADER_STATE_IDLE) return 1;
    if (reader->State != TEXTFILEREADER_STATE_READING) {
        TextFileReader_Print(reader, "Unknown state (%d)", (int32_t)reader->State);
        return 1;
    }
    uint32_t got = 0;
    const uint32_t room = (uint32_t)(reader->BufferAllocated - 1);
    if (room > 0 && File_Read(reader->Handle, reader->Buffer, room, &got) && got > 0) {
        reader->Buffer[got] = 0;
        Dictionary* info = nullptr;
        if (Dictionary_Create(&info)) {
            Dictionary_AddString(info, "text", reader->Buffer, nullptr);
            NotificationCenter_FireAfterDelay(kReaderType, "Read", reader->Header.InstanceId, 0, info);
            Dictionary_Release(&info);
        }
        reader->BytesRead += got;
        EventQueue_Add(nullptr, reader, nullptr, 0, ProcessEvent);
        return 1;
    }
    // A one-byte buffer holds only the terminator: nothing can ever be read into it, so the
    // pass ends as a failure rather than looping or reporting an empty file as read.
    const int32_t error = room > 0 ? File_GetLastError(reader->Handle) : 22;
    if (error > 0) TextFileReader_Print(reader, "Failed to read from text file (%s) (%d).", reader->FileName, error);
    File_Close(reader->Handle);
    reader->State = TEXTFILEREADER_STATE_IDLE;
    FireComplete(reader, error == 0);
    return 1;
}

// ---- Writer ------------------------------------------------------------------------------------

int64_t TextFileWriter_Create(TextFileWriter** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    TextFileWriter* writer = ScriptObject_New<TextFileWriter>(TEXTFILEWRITER_CLASS_ID, DeleteWriterHandle);
    ExtractOutput_Clear(&writer->Output);
    *handle = writer;
    return 1;
}

int64_t TextFileWriter_Delete(TextFileWriter** handle) {
    ASSERT_POINTER(handle);
    TextFileWriter* writer = *handle;
    CLASS_CHECK(writer, TEXTFILEWRITER_CLASS_ID);
    ExtractOutput_Abort(&writer->Output);
    return ScriptObject_Free(handle);
}

int64_t TextFileWriter_Open(TextFileWriter* writer, const char* path) {
    CLASS_CHECK(writer, TEXTFILEWRITER_CLASS_ID);
    ASSERT_POINTER(path);
    // An open file is finished first, as a close would.
    if (ExtractOutput_IsOpen(&writer->Output)) TextFileWriter_Close(writer);
    writer->Failed = 0;
    if (!path[0] || ScriptObject_RefusesLocation(path)) return 0;
    return ExtractOutput_Open(&writer->Output, path) ? 1 : 0;
}

int64_t TextFileWriter_Write(TextFileWriter* writer, const char* text, uint32_t* written) {
    CLASS_CHECK(writer, TEXTFILEWRITER_CLASS_ID);
    ASSERT_POINTER(text);
    ASSERT_POINTER(written);
    *written = 0;
    if (!ExtractOutput_IsOpen(&writer->Output)) return 0;
    const size_t length = strlen(text);
    if (length == 0) return 1;
    if (length > 0x7fffffff || !ExtractOutput_Write(&writer->Output, text, (uint32_t)length)) {
        writer->Failed = 1;
        return 0;
    }
    *written = (uint32_t)length;
    return 1;
}

int64_t TextFileWriter_Close(TextFileWriter* writer) {
    CLASS_CHECK(writer, TEXTFILEWRITER_CLASS_ID);
    if (!ExtractOutput_IsOpen(&writer->Output)) return 0;
    if (writer->Failed) {
        ExtractOutput_Abort(&writer->Output);
        return 0;
    }
    return ExtractOutput_Commit(&writer->Output) ? 1 : 0;
}

// ---- Script classes ----------------------------------------------------------------------------

namespace {

constexpr auto H = ApiGen_MethodHash;

void AddBoolean(Dictionary* response, int64_t value) {
    Dictionary_AddBoolean(response, "returnValue", value ? 1 : 0, nullptr);
}

} // namespace

int64_t TextFileReader_Invoke(void* userContext, Dictionary* request, Dictionary* response) {
    TextFileReader* reader = static_cast<TextFileReader*>(userContext);
    const char* method = nullptr;
    uint32_t hash = 0;
    if (!reader || !ApiGen_GetMethod(request, kReaderType, &method, &hash)) return 0;
    switch (hash) {
    case H("setFileName"): {
        const char* name = nullptr;
        const bool ok = ApiGen_GetStringPtr(request, kReaderType, method, "fileName", &name) && name;
        AddBoolean(response, ok && TextFileReader_SetFileName(reader, name));
        return ok ? 1 : 0;
    }
    case H("getFileName"):
        Dictionary_AddString(response, "returnValue", reader->FileName, nullptr);
        return 1;
    case H("setBufferSize"): {
        int32_t size = 0;
        const bool ok = ApiGen_GetInt32(request, kReaderType, method, "bufferSize", &size) != 0;
        AddBoolean(response, ok && TextFileReader_SetBufferSize(reader, size));
        return ok ? 1 : 0;
    }
    case H("getBufferSize"):
        Dictionary_AddInt32(response, "returnValue", reader->BufferSize, nullptr);
        return 1;
    case H("start"):
        AddBoolean(response, TextFileReader_Start(reader));
        return 1;
    case H("getFileSize"):
        Dictionary_AddInt64(response, "returnValue", (int64_t)reader->FileSize, nullptr);
        return 1;
    case H("getBytesLeft"): {
        uint64_t left = 0;
        TextFileReader_GetBytesLeft(reader, &left);
        Dictionary_AddInt64(response, "returnValue", (int64_t)left, nullptr);
        return 1;
    }
    default:
        return 0;
    }
}

SCRIPT_OBJECT_CONTEXT(TextFileReader, TextFileReader)

int64_t TextFileWriter_Invoke(void* userContext, Dictionary* request, Dictionary* response) {
    TextFileWriter* writer = static_cast<TextFileWriter*>(userContext);
    const char* method = nullptr;
    uint32_t hash = 0;
    if (!writer || !ApiGen_GetMethod(request, "TextFileWriter", &method, &hash)) return 0;
    switch (hash) {
    case H("open"): {
        const char* path = nullptr;
        const bool ok = ApiGen_GetStringPtr(request, "TextFileWriter", method, "path", &path) && path;
        AddBoolean(response, ok && TextFileWriter_Open(writer, path));
        return ok ? 1 : 0;
    }
    case H("write"): {
        const char* text = nullptr;
        const bool ok = ApiGen_GetStringPtr(request, "TextFileWriter", method, "value", &text) && text;
        uint32_t written = 0;
        if (ok) TextFileWriter_Write(writer, text, &written);
        Dictionary_AddInt32(response, "returnValue", (int32_t)written, nullptr);
        return ok ? 1 : 0;
    }
    case H("close"):
        AddBoolean(response, TextFileWriter_Close(writer));
        return 1;
    default:
        return 0;
    }
}

SCRIPT_OBJECT_RELEASE_CONTEXT(TextFileWriter, TextFileWriter)
