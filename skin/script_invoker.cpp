// The script invoker: page script's calls on native objects, handed to the script bridge on
// behalf of the skin window that makes them, and string hashing for page script.
#include "skin/script_invoker.h"

#include "core/crypto/hash.h"
#include "core/formats/interop.h"
#include "core/runtime/class_family.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "skin/skin_window.h"

struct ScriptInvoker {
    Class Header;
    ClassPrint Print;
    char LastError[SCRIPTINVOKER_ERROR_SIZE];
    char WindowInstanceId[SCRIPTINVOKER_WINDOW_ID_SIZE];
};

namespace {

void PreparePrint(ScriptInvoker* invoker) {
    ClassPrint_Prepare(&invoker->Print, invoker, "ScriptInvoker", ClassPrint_DefaultCallback);
}

int64_t DeleteHandle(void** handle) {
    return ScriptInvoker_Delete(reinterpret_cast<ScriptInvoker**>(handle));
}

void SetError(ScriptInvoker* invoker, const char* text) {
    String_CopyLength(invoker->LastError, text, (int32_t)sizeof(invoker->LastError));
}

// The live skin window behind the id, or null.
SkinWindow* WindowFromId(const char* id) {
    if (!id || !*id) return nullptr;
    void* object = Class_ConvertFromInstanceId(id);
    if (!object || static_cast<Class*>(object)->ClassId != SKINWINDOW_CLASS_ID) return nullptr;
    return static_cast<SkinWindow*>(object);
}

// The bridge hands a window's script messages over as one JSON text; the page receives it through
// the window's browser.
int64_t ExecuteInWindow(void* user, InteropExecuteCallback*, const char* text, void*) {
    SkinWindow* window = static_cast<SkinWindow*>(user);
    return window && text ? SkinWindow_ExecuteScript(window, text, "", nullptr) : 0;
}

const HashInterface* Algorithm(ScriptInvoker* invoker, const char* name) {
    const HashInterface* record = nullptr;
    if (!name || !Hash_InterfaceFromName(name, &record) || !record) {
        SetError(invoker, "Unsupported hash algorithm");
        return nullptr;
    }
    return record;
}

int64_t Digest(const HashInterface* record, const void* data, int32_t length, char* output, int32_t capacity) {
    return Hash_QuickString(record, data, length, 0, output, capacity) ? 1 : 0;
}

} // namespace

int64_t ScriptInvoker_Create(ScriptInvoker** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    ScriptInvoker* invoker = static_cast<ScriptInvoker*>(Memory_AllocZero(sizeof(ScriptInvoker)));
    invoker->Header.ClassId = SCRIPTINVOKER_CLASS_ID;
    invoker->Header.RefCount = 1;
    invoker->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(invoker);
    *handle = invoker;
    return 1;
}

int64_t ScriptInvoker_Delete(ScriptInvoker** handle) {
    ASSERT_POINTER(handle);
    ScriptInvoker* invoker = *handle;
    CLASS_CHECK(invoker, SCRIPTINVOKER_CLASS_ID);
    invoker->Header.ClassId = 0;
    Memory_Free(invoker, sizeof(ScriptInvoker));
    *handle = nullptr;
    return 1;
}

CLASS_BASICS(ScriptInvoker, ScriptInvoker, SCRIPTINVOKER_CLASS_ID)
CLASS_PRINT_FAMILY(ScriptInvoker, ScriptInvoker, SCRIPTINVOKER_CLASS_ID, PreparePrint)

int64_t ScriptInvoker_SetWindowInstanceId(ScriptInvoker* invoker, const char* windowId) {
    CLASS_CHECK(invoker, SCRIPTINVOKER_CLASS_ID);
    String_CopyLength(invoker->WindowInstanceId, windowId ? windowId : "", (int32_t)sizeof(invoker->WindowInstanceId));
    return 1;
}

int64_t ScriptInvoker_CreateInstance(ScriptInvoker* invoker, const char* windowId, const char* className,
                                     char* instanceId, int32_t capacity) {
    CLASS_CHECK(invoker, SCRIPTINVOKER_CLASS_ID);
    SkinWindow* window = WindowFromId(windowId ? windowId : invoker->WindowInstanceId);
    if (!window) {
        ScriptInvoker_VerboseLog(invoker, LOG_LEVEL_DEBUG, "No window for instance of %s\n",
                                 className ? className : "");
        return 0;
    }
    if (!className || !instanceId || capacity <= 0) return 0;
    return Interop_DispatchCreateInstance(className, instanceId, capacity, window, window,
                                          ExecuteInWindow);
}

int64_t ScriptInvoker_Invoke(ScriptInvoker* invoker, const char* instanceId, const char* request,
                             MemoryStream* output) {
    CLASS_CHECK(invoker, SCRIPTINVOKER_CLASS_ID);
    if (!instanceId || !request || !output) return 0;
    return Interop_DispatchInvokeJSON(instanceId, request, output);
}

int64_t ScriptInvoker_ReleaseInstance(ScriptInvoker* invoker, const char* instanceId) {
    CLASS_CHECK(invoker, SCRIPTINVOKER_CLASS_ID);
    return instanceId ? Interop_DispatchReleaseInstance(instanceId) : 0;
}

int64_t ScriptInvoker_HasInstance(ScriptInvoker* invoker, const char* instanceId) {
    CLASS_CHECK(invoker, SCRIPTINVOKER_CLASS_ID);
    return instanceId ? Interop_DispatchHasInstance(instanceId) : 0;
}

int64_t ScriptInvoker_Hash(ScriptInvoker* invoker, const char* algorithm, const char* data, int32_t length,
                           char* output, int32_t capacity) {
    CLASS_CHECK(invoker, SCRIPTINVOKER_CLASS_ID);
    ASSERT_POINTER(output);
    if (capacity > 0) output[0] = 0;
    const HashInterface* record = Algorithm(invoker, algorithm);
    if (!record || length < 0 || (length > 0 && !data)) return 0;
    return Digest(record, data, length, output, capacity);
}

int64_t ScriptInvoker_HashUtf16(ScriptInvoker* invoker, const char* algorithm, const uint16_t* data,
                                int32_t length, char* output, int32_t capacity) {
    CLASS_CHECK(invoker, SCRIPTINVOKER_CLASS_ID);
    ASSERT_POINTER(output);
    if (capacity > 0) output[0] = 0;
    const HashInterface* record = Algorithm(invoker, algorithm);
    if (!record || length < 0 || (length > 0 && !data)) return 0;
    if (!record->Create || !record->Delete || !record->Process || !record->Generate || !record->GetString) {
        SetError(invoker, "Unsupported hash algorithm");
        return 0;
    }
    // The digest of a page's string is over its UTF-16 code units as little-endian bytes, lone
    // surrogate halves included: fed in pieces, so that neither the length nor the host's byte
    // order matters.
    void* instance = nullptr;
    if (!record->Create(&instance) || !instance) return 0;
    int64_t result = 1;
    uint8_t bytes[8192];
    for (int32_t at = 0; result == 1 && at < length;) {
        const int32_t count = length - at < (int32_t)sizeof(bytes) / 2 ? length - at : (int32_t)sizeof(bytes) / 2;
        for (int32_t i = 0; i < count; i++) {
            bytes[2 * i] = (uint8_t)(data[at + i] & 0xFF);
            bytes[2 * i + 1] = (uint8_t)(data[at + i] >> 8);
        }
        result = record->Process(instance, bytes, (uint32_t)count * 2);
        at += count;
    }
    if (result == 1) result = record->Generate(instance);
    if (result == 1) result = record->GetString(instance, 0, output, capacity) ? 1 : 0;
    record->Delete(&instance);
    return result == 1 ? 1 : 0;
}

const char* ScriptInvoker_GetErrorString(ScriptInvoker* invoker) {
    CLASS_CHECK(invoker, SCRIPTINVOKER_CLASS_ID);
    return invoker->LastError;
}
