// The skin's interop library: the script classes the skin offers page script, each created for
// the window that asks, and the methods of "QVR.SkinApp".
#include "core/formats/interop_request.h"
#include "core/runtime/class.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "skin/script_http_request.h"
#include "skin/script_invoker.h"
#include "skin/skin_app.h"
#include "skin/skin_file.h"
#include "skin/skin_file_extract.h"
#include "skin/skin_window.h"
#include "skin/skin_window_interop.h"
#include "skin/text_file.h"
#include "workflow/workflow.h"

namespace {

constexpr auto H = ApiGen_MethodHash;

constexpr int32_t kTextSize = 8192;

// One call: after the first missing or mistyped argument no more are read; every answer still
// carries "returnValue" and reports the failure.
struct Call {
    Dictionary* Request;
    Dictionary* Response;
    const char* Method;
    bool Ok = true;

    const char* String(const char* name) {
        const char* value = nullptr;
        if (Ok && !(ApiGen_GetStringPtr(Request, "SkinApp", Method, name, &value) && value)) Ok = false;
        return Ok ? value : "";
    }
    uint32_t Boolean(const char* name) {
        uint32_t value = 0;
        if (Ok && !ApiGen_GetBoolean(Request, "SkinApp", Method, name, &value)) Ok = false;
        return Ok && value ? 1 : 0;
    }
    int64_t ReturnBoolean(int64_t result) {
        Dictionary_AddBoolean(Response, "returnValue", Ok && result ? 1 : 0, nullptr);
        return Ok ? 1 : 0;
    }
    int64_t ReturnString(const char* text) {
        Dictionary_AddString(Response, "returnValue", Ok && text ? text : "", nullptr);
        return Ok ? 1 : 0;
    }
};

int64_t DataStore(Call& c) {
    uint8_t* store = nullptr;
    uint32_t length = 0;
    char* encoded = nullptr;
    uint32_t size = 0;
    if (SkinApp_GetDataStore(nullptr, &store, &length) && store &&
        ApiGen_CreateBase64EncodedBuffer(store, length, &encoded, &size) && encoded) {
        Dictionary_AddString(c.Response, "returnValue", encoded, nullptr);
    } else {
        Dictionary_AddNull(c.Response, "returnValue", nullptr);
    }
    if (encoded) ApiGen_DeleteBase64EncodedBuffer(&encoded, &size);
    SkinApp_ReleaseDataStore(nullptr, &store, &length);
    return 1;
}

int64_t WindowRelease(void** context) {
    SkinWindow* window = static_cast<SkinWindow*>(*context);
    *context = nullptr;
    return window ? SkinWindow_Release(&window) : 0;
}

// Every workflow that announces its task handlers gets the skin's task types, and loses them again.
int64_t OnTaskHandlers(void*, const char*, const char* name, const char* instance, Dictionary*) {
    void* object = instance ? Class_ConvertFromInstanceId(instance) : nullptr;
    if (!object || static_cast<Class*>(object)->ClassId != WORKFLOW_CLASS_ID) return 1;
    Workflow* workflow = static_cast<Workflow*>(object);
    if (String_Compare(name, "RegisterTaskHandlers"))
        GlobalWorkflowVtbl.RegisterTaskHandler(workflow, &SkinFileExtract_Interface);
    else
        GlobalWorkflowVtbl.UnregisterTaskHandler(workflow, &SkinFileExtract_Interface);
    return 1;
}

} // namespace

int64_t SkinApp_Invoke(void*, Dictionary* request, Dictionary* response) {
    const char* method = nullptr;
    uint32_t hash = 0;
    if (!ApiGen_GetMethod(request, "SkinApp", &method, &hash)) return 0;
    if (!SkinApp_IsInit()) return 0;
    Call c{request, response, method};
    char text[kTextSize];
    text[0] = 0;
    uint32_t flag = 0;
    switch (hash) {
    case H("getDataStore"):
        return DataStore(c);
    case H("openWindow"): {
        const char* path = c.String("windowConfigPath");
        if (!c.Ok || !SkinApp_OpenWindow(path, text, sizeof(text))) text[0] = 0;
        return c.ReturnString(text);
    }
    case H("localizeString"): {
        const char* key = c.String("expand");
        if (c.Ok) SkinApp_LocalizeString(key, text, sizeof(text));
        return c.ReturnString(text);
    }
    case H("expandString"): {
        const char* source = c.String("expand");
        if (c.Ok && !SkinApp_ExpandString(source, text, sizeof(text))) text[0] = 0;
        return c.ReturnString(text);
    }
    case H("closeAllWindows"):
        SkinApp_CloseAllWindows();
        return c.ReturnBoolean(1);
    case H("isMainWindow"): {
        const char* instance = c.String("instance");
        return c.ReturnBoolean(c.Ok && SkinApp_IsMainWindow(instance));
    }
    case H("setRemoveLocalStorage"): {
        const uint32_t remove = c.Boolean("removeLocalStorage");
        if (c.Ok) SkinApp_SetRemoveLocalStorage(remove);
        return c.ReturnBoolean(1);
    }
    case H("getRemoveLocalStorage"):
        SkinApp_GetRemoveLocalStorage(&flag);
        return c.ReturnBoolean(flag);
    case H("getLanguage"):
        if (!SkinApp_GetLanguage(text, sizeof(text))) text[0] = 0;
        return c.ReturnString(text);
    case H("setLanguage"): {
        const char* language = c.String("language");
        if (c.Ok) SkinApp_SetLanguage(language);
        return c.ReturnBoolean(1);
    }
    case H("getCountry"):
        if (!SkinApp_GetCountry(text, sizeof(text))) text[0] = 0;
        return c.ReturnString(text);
    case H("setCountry"): {
        const char* country = c.String("country");
        if (c.Ok) SkinApp_SetCountry(country);
        return c.ReturnBoolean(1);
    }
    case H("contentExists"): {
        const char* path = c.String("path");
        return c.ReturnBoolean(c.Ok && SkinFile_ContentExists(path));
    }
    case H("isAttached"):
        return c.ReturnBoolean(SkinFile_IsAttached());
    default:
        return 0;
    }
}

// ---- Library entry points ------------------------------------------------------------------------

int64_t SkinInterop_Init() {
    NotificationCenter_AddObserver("Workflow", "RegisterTaskHandlers", nullptr, OnTaskHandlers);
    NotificationCenter_AddObserver("Workflow", "UnregisterTaskHandlers", nullptr, OnTaskHandlers);
    return 1;
}

int64_t SkinInterop_Remove() {
    NotificationCenter_RemoveObserver("Workflow", "RegisterTaskHandlers", nullptr, OnTaskHandlers);
    NotificationCenter_RemoveObserver("Workflow", "UnregisterTaskHandlers", nullptr, OnTaskHandlers);
    return 1;
}

int64_t SkinInterop_SetOverride(const char*, void*) {
    return 1;
}

int64_t SkinInterop_SetOption(const char*, const char*) {
    return 1;
}

int64_t SkinInterop_CreateInstance(const char* className, char* id, int32_t idSize, void* executeUser,
                                   InteropExecuteFunc, InteropInvokeFunc* invoke, InteropReleaseFunc* release,
                                   InteropProcessFunc* process, void** userContext) {
    ASSERT_POINTER(invoke);
    ASSERT_POINTER(release);
    ASSERT_POINTER(process);
    ASSERT_POINTER(userContext);
    *invoke = nullptr;
    *release = nullptr;
    *process = nullptr;
    *userContext = nullptr;
    if (!className || !id || idSize <= 0) return 0;
    if (String_Compare(className, "QVR.SkinApp")) {
        if (!SkinApp_GetInstanceId(id, idSize)) return 0;
        *invoke = SkinApp_Invoke;
        return 1;
    }
    if (String_Compare(className, "QVR.SkinWindow")) {
        SkinWindow* window = static_cast<SkinWindow*>(executeUser);
        if (!window || static_cast<Class*>(executeUser)->ClassId != SKINWINDOW_CLASS_ID) return 0;
        SkinWindow_AddRef(window);
        SkinWindow_GetInstanceId(window, id, idSize);
        *invoke = SkinWindow_Invoke;
        *release = WindowRelease;
        *userContext = window;
        return 1;
    }
    if (String_Compare(className, "QVR.TextFileReader")) {
        TextFileReader* reader = nullptr;
        if (!TextFileReader_Create(&reader)) return 0;
        TextFileReader_GetInstanceId(reader, id, idSize);
        *invoke = TextFileReader_Invoke;
        *release = TextFileReader_ReleaseContext;
        *process = TextFileReader_ProcessContext;
        *userContext = reader;
        return 1;
    }
    if (String_Compare(className, "QVR.TextFileWriter")) {
        TextFileWriter* writer = nullptr;
        if (!TextFileWriter_Create(&writer)) return 0;
        TextFileWriter_GetInstanceId(writer, id, idSize);
        *invoke = TextFileWriter_Invoke;
        *release = TextFileWriter_ReleaseContext;
        *userContext = writer;
        return 1;
    }
    if (String_Compare(className, "QVR.SkinFileExtract")) {
        SkinFileExtract* extract = nullptr;
        if (!SkinFileExtract_Create(&extract)) return 0;
        SkinFileExtract_GetInstanceId(extract, id, idSize);
        *invoke = SkinFileExtract_Invoke;
        *release = SkinFileExtract_ReleaseContext;
        *process = SkinFileExtract_ProcessContext;
        *userContext = extract;
        return 1;
    }
    if (String_Compare(className, "QVR.HttpRequest")) {
        HttpRequest* request = nullptr;
        if (!HttpRequest_Create(&request)) return 0;
        HttpRequest_GetInstanceId(request, id, idSize);
        *invoke = HttpRequest_Invoke;
        *release = HttpRequest_ReleaseContext;
        *process = HttpRequest_ProcessContext;
        *userContext = request;
        return 1;
    }
    return 0;
}
