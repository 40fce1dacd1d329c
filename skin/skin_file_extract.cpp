// Copying one skin file out, step by step on the main loop, for script ("QVR.SkinFileExtract")
// and for workflows (the task type "SkinFileExtract").
#include "skin/skin_file_extract.h"

#include <cstring>

#include "core/formats/interop_request.h"
#include "core/platform/path.h"
#include "core/runtime/class_family.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "skin/script_object.h"
#include "skin/skin_file.h"
#include "workflow/task.h"

namespace {

constexpr const char* kType = "SkinFileExtract";
constexpr int32_t kArgumentSize = 512;

void PreparePrint(SkinFileExtract* extract) {
    ClassPrint_Prepare(&extract->Print, extract, "SkinFileExtract", nullptr);
}

int64_t DeleteHandle(void** handle) {
    return SkinFileExtract_Delete(reinterpret_cast<SkinFileExtract**>(handle));
}

void FreeBuffer(SkinFileExtract* extract) {
    if (extract->Buffer) Memory_Free(extract->Buffer, extract->BufferSize);
    extract->Buffer = nullptr;
    extract->BufferSize = 0;
}

void CloseEntry(SkinFileExtract* extract) {
    if (extract->EntryOpen) SkinFile_Close(extract->Entry);
    extract->EntryOpen = 0;
}

void ProcessEvent(void* instance, void*) {
    SkinFileExtract_Process(static_cast<SkinFileExtract*>(instance));
}

void Finish(SkinFileExtract* extract) {
    extract->Started = 0;
    extract->Done = 1;
    // The output takes its name only when every byte arrived; otherwise the old file stays.
    if (ExtractOutput_IsOpen(&extract->Output)) {
        if (extract->Successful && !ExtractOutput_Commit(&extract->Output)) extract->Successful = 0;
        ExtractOutput_Abort(&extract->Output);
    }
    CloseEntry(extract);
    Dictionary* info = nullptr;
    if (!Dictionary_Create(&info)) return;
    Dictionary_AddBoolean(info, "successful", extract->Successful ? 1 : 0, nullptr);
    NotificationCenter_FireAfterDelay(kType, "Complete", extract->Header.InstanceId, 0, info);
    Dictionary_Release(&info);
}

// Opens the entry and sizes the buffer; false when the step is over.
bool OpenEntry(SkinFileExtract* extract) {
    NotificationCenter_FireAfterDelay(kType, "Start", extract->Header.InstanceId, 0, nullptr);
    if (!SkinFile_Open(extract->Entry, extract->Filename)) {
        SkinFileExtract_VerboseLog(extract, 0, "Unable to extract skin file (%s)\n", extract->Filename);
        Finish(extract);
        return false;
    }
    extract->EntryOpen = 1;
    extract->EntrySize = 0;
    extract->Copied = 0;
    SkinFile_GetFilesize(extract->Entry, &extract->EntrySize);
    SkinFileExtract_VerboseLog(extract, 0, "Extracting skin file (%s)\n", extract->Filename);
    // The whole entry is held in one buffer, whose size is 32-bit.
    if (extract->EntrySize > 0x7fffffffu) {
        Finish(extract);
        return false;
    }
    FreeBuffer(extract);
    extract->Position = 0;
    if (extract->EntrySize > 0) {
        // Zeroed, so that slices read before the copy ends hand out nothing of the heap's past.
        extract->Buffer = static_cast<uint8_t*>(Memory_AllocZero(extract->EntrySize));
        extract->BufferSize = (int32_t)extract->EntrySize;
    }
    return true;
}

} // namespace

CLASS_BASICS(SkinFileExtract, SkinFileExtract, SKINFILEEXTRACT_CLASS_ID)
CLASS_PRINT_FAMILY(SkinFileExtract, SkinFileExtract, SKINFILEEXTRACT_CLASS_ID, PreparePrint)

int64_t SkinFileExtract_Create(SkinFileExtract** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    SkinFileExtract* extract = ScriptObject_New<SkinFileExtract>(SKINFILEEXTRACT_CLASS_ID, DeleteHandle);
    PreparePrint(extract);
    extract->Print.Verbose = 1;
    SkinFile_Create(&extract->Entry);
    ExtractOutput_Clear(&extract->Output);
    *handle = extract;
    return 1;
}

int64_t SkinFileExtract_Delete(SkinFileExtract** handle) {
    ASSERT_POINTER(handle);
    SkinFileExtract* extract = *handle;
    CLASS_CHECK(extract, SKINFILEEXTRACT_CLASS_ID);
    EventQueue_RemoveInstance(nullptr, extract);
    CloseEntry(extract);
    SkinFile_Release(&extract->Entry);
    ExtractOutput_Abort(&extract->Output);
    FreeBuffer(extract);
    return ScriptObject_Free(handle);
}

int64_t SkinFileExtract_SetFilename(SkinFileExtract* extract, const char* name) {
    CLASS_CHECK(extract, SKINFILEEXTRACT_CLASS_ID);
    return ScriptObject_SetName(extract->Filename, sizeof(extract->Filename), name);
}

int64_t SkinFileExtract_GetFilename(SkinFileExtract* extract, char* buffer, int32_t size) {
    CLASS_CHECK(extract, SKINFILEEXTRACT_CLASS_ID);
    return ScriptObject_GetName(extract->Filename, buffer, size);
}

int64_t SkinFileExtract_GetFilenamePtr(SkinFileExtract* extract, const char** name) {
    CLASS_CHECK(extract, SKINFILEEXTRACT_CLASS_ID);
    return ScriptObject_GetNamePtr(extract->Filename, name);
}

int64_t SkinFileExtract_SetOutputFilename(SkinFileExtract* extract, const char* name) {
    CLASS_CHECK(extract, SKINFILEEXTRACT_CLASS_ID);
    return ScriptObject_SetFileName(extract->OutputFilename, sizeof(extract->OutputFilename), name);
}

int64_t SkinFileExtract_GetOutputFilename(SkinFileExtract* extract, char* buffer, int32_t size) {
    CLASS_CHECK(extract, SKINFILEEXTRACT_CLASS_ID);
    return ScriptObject_GetName(extract->OutputFilename, buffer, size);
}

int64_t SkinFileExtract_GetOutputFilenamePtr(SkinFileExtract* extract, const char** name) {
    CLASS_CHECK(extract, SKINFILEEXTRACT_CLASS_ID);
    return ScriptObject_GetNamePtr(extract->OutputFilename, name);
}

int64_t SkinFileExtract_Start(SkinFileExtract* extract) {
    CLASS_CHECK(extract, SKINFILEEXTRACT_CLASS_ID);
    extract->Started = 1;
    extract->Done = 0;
    extract->Successful = 0;
    EventQueue_Add(nullptr, extract, nullptr, 0, ProcessEvent);
    return 1;
}

int64_t SkinFileExtract_Reset(SkinFileExtract* extract) {
    CLASS_CHECK(extract, SKINFILEEXTRACT_CLASS_ID);
    EventQueue_RemoveInstance(nullptr, extract);
    FreeBuffer(extract);
    extract->Position = 0;
    extract->Started = 1;
    extract->Done = 0;
    extract->Successful = 0;
    CloseEntry(extract);
    ExtractOutput_Abort(&extract->Output);
    extract->Filename[0] = 0;
    extract->OutputFilename[0] = 0;
    return 1;
}

int64_t SkinFileExtract_Process(SkinFileExtract* extract) {
    CLASS_CHECK(extract, SKINFILEEXTRACT_CLASS_ID);
    if (!extract->Started) return 1;
    if (!extract->EntryOpen && !OpenEntry(extract)) return 1;
    const bool toFile = extract->OutputFilename[0] != 0;
    if (toFile && !ExtractOutput_IsOpen(&extract->Output) &&
        !ExtractOutput_Open(&extract->Output, extract->OutputFilename)) {
        Finish(extract);
        return 1;
    }
    const int32_t size = (int32_t)extract->EntrySize;
    const int32_t step = (int32_t)SKINFILEEXTRACT_STEP_SIZE;
    const int32_t want = size - extract->Position < step ? size - extract->Position : step;
    uint32_t got = 0;
    bool ended = false;
    if (want > 0) {
        ended = SkinFile_Read(extract->Entry, extract->Buffer + extract->Position, (uint32_t)want, &got) == 0;
        if (got > (uint32_t)want) got = 0;
    } else {
        ended = true;
    }
    extract->Copied += got;
    if (got > 0) {
        if (toFile) {
            if (!ExtractOutput_Write(&extract->Output, extract->Buffer, got)) {
                extract->Successful = 0;
                Finish(extract);
                return 1;
            }
        } else {
            extract->Position += (int32_t)got;
        }
    }
    // Success means every byte the entry declared arrived: an entry that ends early, or a
    // read that fails part way, is a failure, not a shorter file.
    if (extract->Copied >= extract->EntrySize || ended) {
        extract->Successful = extract->Copied == extract->EntrySize ? 1 : 0;
        Finish(extract);
        return 1;
    }
    if (!extract->Done) EventQueue_Add(nullptr, extract, nullptr, 0, ProcessEvent);
    return 1;
}

int64_t SkinFileExtract_IsOk(SkinFileExtract* extract) {
    CLASS_CHECK(extract, SKINFILEEXTRACT_CLASS_ID);
    return extract->Successful ? 1 : 0;
}

int64_t SkinFileExtract_IsDone(SkinFileExtract* extract) {
    CLASS_CHECK(extract, SKINFILEEXTRACT_CLASS_ID);
    return extract->Done ? 1 : 0;
}

int64_t SkinFileExtract_GetBufferSize(SkinFileExtract* extract, int32_t* size) {
    CLASS_CHECK(extract, SKINFILEEXTRACT_CLASS_ID);
    ASSERT_POINTER(size);
    *size = extract->BufferSize;
    return 1;
}

int64_t SkinFileExtract_GetBufferPtr(SkinFileExtract* extract, const uint8_t** buffer) {
    CLASS_CHECK(extract, SKINFILEEXTRACT_CLASS_ID);
    ASSERT_POINTER(buffer);
    *buffer = extract->Buffer;
    return 1;
}

int64_t SkinFileExtract_GetBuffer(SkinFileExtract* extract, int64_t offset, int32_t length,
                                  const uint8_t** slice, int32_t* sliceLength) {
    CLASS_CHECK(extract, SKINFILEEXTRACT_CLASS_ID);
    ASSERT_POINTER(slice);
    ASSERT_POINTER(sliceLength);
    *slice = nullptr;
    *sliceLength = 0;
    if (!extract->Buffer || offset < 0 || offset >= extract->BufferSize) return 0;
    const int64_t left = extract->BufferSize - offset;
    const int64_t cut = length < left ? length : left;
    if (cut < 1) return 0;
    *slice = extract->Buffer + offset;
    *sliceLength = (int32_t)cut;
    return 1;
}

// ---- Script class --------------------------------------------------------------------------------

namespace {

constexpr auto H = ApiGen_MethodHash;

int64_t SetText(SkinFileExtract* extract, Dictionary* request, Dictionary* response, const char* method,
                const char* parameter, int64_t (*set)(SkinFileExtract*, const char*)) {
    const char* text = nullptr;
    const bool ok = ApiGen_GetStringPtr(request, kType, method, parameter, &text) && text;
    Dictionary_AddBoolean(response, "returnValue", ok && set(extract, text) ? 1 : 0, nullptr);
    return ok ? 1 : 0;
}

int64_t Slice(SkinFileExtract* extract, Dictionary* request, Dictionary* response, const char* method) {
    int64_t offset = 0;
    int32_t length = 0;
    const bool ok = ApiGen_GetInt64(request, kType, method, "offset", &offset) &&
                    ApiGen_GetInt32(request, kType, method, "length", &length);
    const uint8_t* slice = nullptr;
    int32_t sliceLength = 0;
    char* encoded = nullptr;
    uint32_t encodedSize = 0;
    if (ok && SkinFileExtract_GetBuffer(extract, offset, length, &slice, &sliceLength) &&
        ApiGen_CreateBase64EncodedBuffer(slice, (uint32_t)sliceLength, &encoded, &encodedSize) && encoded) {
        Dictionary_AddString(response, "returnValue", encoded, nullptr);
    } else {
        Dictionary_AddNull(response, "returnValue", nullptr);
    }
    if (encoded) ApiGen_DeleteBase64EncodedBuffer(&encoded, &encodedSize);
    return ok ? 1 : 0;
}

} // namespace

int64_t SkinFileExtract_Invoke(void* userContext, Dictionary* request, Dictionary* response) {
    SkinFileExtract* extract = static_cast<SkinFileExtract*>(userContext);
    const char* method = nullptr;
    uint32_t hash = 0;
    if (!extract || !ApiGen_GetMethod(request, kType, &method, &hash)) return 0;
    switch (hash) {
    case H("setFilename"):
        return SetText(extract, request, response, method, "filename", SkinFileExtract_SetFilename);
    case H("getFilename"):
        Dictionary_AddString(response, "returnValue", extract->Filename, nullptr);
        return 1;
    case H("setOutputFilename"):
        return SetText(extract, request, response, method, "outputFilename", SkinFileExtract_SetOutputFilename);
    case H("getOutputFilename"):
        Dictionary_AddString(response, "returnValue", extract->OutputFilename, nullptr);
        return 1;
    case H("start"):
        Dictionary_AddBoolean(response, "returnValue", SkinFileExtract_Start(extract) ? 1 : 0, nullptr);
        return 1;
    case H("getBuffer"):
        return Slice(extract, request, response, method);
    case H("getBufferSize"):
        Dictionary_AddInt32(response, "returnValue", extract->BufferSize, nullptr);
        return 1;
    default:
        return 0;
    }
}

SCRIPT_OBJECT_CONTEXT(SkinFileExtract, SkinFileExtract)

// ---- Workflow task type ----------------------------------------------------------------------------

namespace {

int64_t ExtractTask_OnProcess(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskBase* base = TaskBase_Check(user, SKINFILEEXTRACTTASK_CLASS_ID);
    SkinFileExtractTask* self = reinterpret_cast<SkinFileExtractTask*>(base);
    SkinFileExtract_Process(self->Extract);
    if (!SkinFileExtract_IsDone(self->Extract)) return 1;
    TaskBase_RemoveProcessObserver(base, ExtractTask_OnProcess);
    if (!SkinFileExtract_IsOk(self->Extract)) Task_AddError(base->Owner, "%s", "Platform_Error_AccessInvalid");
    return TaskBase_Complete(base, nullptr);
}

int64_t ExtractTask_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskBase* base = TaskBase_Check(user, SKINFILEEXTRACTTASK_CLASS_ID);
    SkinFileExtractTask* self = reinterpret_cast<SkinFileExtractTask*>(base);
    if (!TaskBase_RequireArgument(base, "path") || !TaskBase_RequireArgument(base, "outputPath")) return 0;
    char path[kArgumentSize];
    char outputPath[kArgumentSize];
    TaskBase_GetStringArgument(base, "path", path, sizeof(path));
    TaskBase_GetStringArgument(base, "outputPath", outputPath, sizeof(outputPath));
    if (TaskBase_RefuseLocation(base, "outputPath", outputPath)) return 1;
    char output[kArgumentSize];
    if (!Path_Resolve(outputPath, output, (int32_t)sizeof(output))) output[0] = 0;
    const char* name = nullptr;
    Path_ParseFilenamePtr(path, &name);
    if (output[0] && name && name[0] && Path_DirectoryExists(output)) {
        const size_t length = strlen(output);
        if (length + 1 + strlen(name) < sizeof(output)) {
            if (output[length - 1] != '/') String_CopyLength(output + length, "/", 2);
            String_CopyLength(output + strlen(output), name, (int32_t)(sizeof(output) - strlen(output)));
        } else {
            output[0] = 0;
        }
    }
    SkinFileExtract_Reset(self->Extract);
    // A name that does not fit is refused, and the extraction then fails rather than writing
    // somewhere else; an empty output (one that did not resolve) would mean memory, so it fails too.
    const bool named = SkinFileExtract_SetFilename(self->Extract, path) && output[0] &&
                       SkinFileExtract_SetOutputFilename(self->Extract, output);
    if (!named) self->Extract->Filename[0] = 0;
    SkinFileExtract_Start(self->Extract);
    Task_SetStatusString(base->Owner, "path", path);
    Task_SetStatusString(base->Owner, "outputPath", output);
    TaskBase_AddProcessObserver(base, ExtractTask_OnProcess);
    return 1;
}

int64_t ExtractTask_Init(TaskBase* base) {
    SkinFileExtractTask* self = reinterpret_cast<SkinFileExtractTask*>(base);
    return SkinFileExtract_Create(&self->Extract);
}

void ExtractTask_Free(TaskBase* base) {
    SkinFileExtractTask* self = reinterpret_cast<SkinFileExtractTask*>(base);
    if (self->Extract) SkinFileExtract_Release(&self->Extract);
}

const TaskBaseType kTaskType = {.ClassId = SKINFILEEXTRACTTASK_CLASS_ID,
                                .Size = sizeof(SkinFileExtractTask),
                                .OnStart = ExtractTask_OnStart,
                                .Init = ExtractTask_Init,
                                .Free = ExtractTask_Free};

} // namespace

int64_t SkinFileExtractTask_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kTaskType);
}

int64_t SkinFileExtractTask_Delete(void** instance) {
    return TaskBase_Delete(instance);
}

int64_t SkinFileExtractTask_AddRef(void* instance) {
    return TaskBase_AddRef(instance);
}

int64_t SkinFileExtractTask_Release(void** instance) {
    return TaskBase_Release(instance);
}

const TaskInterface SkinFileExtract_Interface = {"SkinFileExtract", SkinFileExtractTask_Create,
                                                 SkinFileExtractTask_AddRef, SkinFileExtractTask_Release};
