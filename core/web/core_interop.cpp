// The core script library's entry points, the instances its classes hand to the bridge, the
// argument reader every class shares, and the three small classes: notifications, the HTTP
// client's redirect rules and analytics.
#include "core/web/core_interop.h"

#include <cstring>

#include "core/formats/interop_request.h"
#include "core/linux/platform_process.h"
#include "core/platform/pipe.h"
#include "core/platform/process.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string_expand.h"
#include "core/web/analytics.h"
#include "core/web/core_interop_internal.h"
#include "core/web/web_get.h"
#include "core/web/web_get_redirect.h"

// ---- Arguments and answers ---------------------------------------------------------------------

const char* CoreInteropArgs::String(const char* name) {
    const char* value = nullptr;
    if (!ok_ || !ApiGen_GetStringPtr(request_, className_, method_, name, &value) || !value) {
        ok_ = false;
        return "";
    }
    return value;
}

const char* CoreInteropArgs::Path(const char* name) {
    const char* value = String(name);
    if (!ok_ || refused_) return value;
    CoreInteropText line;
    if (String_ExpandRefuseArgument(name, value, line.Text, CORE_INTEROP_TEXT_SIZE)) {
        Log_Error("%s.%s: %s\n", className_, method_, line.Text);
        refused_ = true;
    }
    return value;
}

const char* CoreInteropArgs::Arguments(const char* name) {
    const char* value = String(name);
    if (!ok_ || refused_) return value;
    int32_t count = 0;
    char** words = nullptr;
    if (!CommandLineToMutableArray(value, &count, &words)) {
        ok_ = false;
        return "";
    }
    CoreInteropText line;
    for (int32_t i = 0; i < count && !refused_; i++)
        if (String_ExpandRefuseArgument(name, words[i], line.Text, CORE_INTEROP_TEXT_SIZE)) {
            Log_Error("%s.%s: %s\n", className_, method_, line.Text);
            refused_ = true;
        }
    CommandLineFreeMutableArray(&count, &words);
    return value;
}

void CoreInteropArgs::CopyString(const char* name, char* buffer) {
    buffer[0] = 0;
    if (ok_ && !ApiGen_GetString(request_, className_, method_, name, buffer, CORE_INTEROP_TEXT_SIZE)) {
        buffer[0] = 0;
        ok_ = false;
    }
}

uint32_t CoreInteropArgs::Boolean(const char* name) {
    uint32_t value = 0;
    if (ok_ && !ApiGen_GetBoolean(request_, className_, method_, name, &value)) ok_ = false;
    return ok_ ? value : 0;
}

int32_t CoreInteropArgs::Int32(const char* name) {
    int32_t value = 0;
    if (ok_ && !ApiGen_GetInt32(request_, className_, method_, name, &value)) ok_ = false;
    return ok_ ? value : 0;
}

int64_t CoreInteropArgs::Int64(const char* name) {
    int64_t value = 0;
    if (ok_ && !ApiGen_GetInt64(request_, className_, method_, name, &value)) ok_ = false;
    return ok_ ? value : 0;
}

double CoreInteropArgs::Float64(const char* name) {
    double value = 0;
    if (ok_ && !ApiGen_GetFloat64(request_, className_, method_, name, &value)) ok_ = false;
    return ok_ ? value : 0;
}

Dictionary* CoreInteropArgs::Object(const char* name) {
    Dictionary* value = nullptr;
    if (ok_ && (!ApiGen_GetDictionary(request_, className_, method_, name, &value) || !value)) ok_ = false;
    return ok_ ? value : nullptr;
}

int64_t CoreInterop_ReturnBoolean(Dictionary* response, const CoreInteropArgs& args, int64_t value) {
    Dictionary_SetBooleanByKey(response, "returnValue", args.Ok() && value ? 1 : 0);
    return args.Ok() ? 1 : 0;
}

int64_t CoreInterop_ReturnInt32(Dictionary* response, const CoreInteropArgs& args, int64_t value) {
    Dictionary_SetInt32ByKey(response, "returnValue", args.Ok() ? (int32_t)value : 0);
    return args.Ok() ? 1 : 0;
}

int64_t CoreInterop_ReturnInt64(Dictionary* response, const CoreInteropArgs& args, int64_t value) {
    Dictionary_SetInt64ByKey(response, "returnValue", args.Ok() ? value : 0);
    return args.Ok() ? 1 : 0;
}

int64_t CoreInterop_ReturnFloat64(Dictionary* response, const CoreInteropArgs& args, double value) {
    Dictionary_SetFloat64ByKey(response, "returnValue", args.Ok() ? value : 0);
    return args.Ok() ? 1 : 0;
}

int64_t CoreInterop_ReturnString(Dictionary* response, const CoreInteropArgs& args, const char* text) {
    Dictionary_SetStringByKey(response, "returnValue", args.Ok() && text ? text : "");
    return args.Ok() ? 1 : 0;
}

int64_t CoreInterop_ReturnData(Dictionary* response, const CoreInteropArgs& args, const uint8_t* bytes,
                               uint32_t length) {
    if (!args.Ok()) return CoreInterop_ReturnString(response, args, "");
    char* text = nullptr;
    uint32_t size = 0;
    if (bytes && ApiGen_CreateBase64EncodedBuffer(bytes, length, &text, &size) && text)
        Dictionary_SetStringByKey(response, "returnValue", text);
    else
        Dictionary_AddNull(response, "returnValue", nullptr);
    ApiGen_DeleteBase64EncodedBuffer(&text, &size);
    return 1;
}

int64_t CoreInterop_DecodeData(const CoreInteropArgs& args, const char* name, const char* text,
                               uint8_t** bytes, uint32_t* length, uint32_t* size) {
    if (ApiGen_CreateBase64DecodedBuffer(text, bytes, length, size)) return 1;
    Log_Error("Parameter is not Base64 (%s.%s::%s)\n", args.ClassName(), args.Method(), name);
    return 0;
}

// ---- Instances ---------------------------------------------------------------------------------

namespace {

int64_t ReleaseProcess(void** userContext) {
    Process* process = static_cast<Process*>(*userContext);
    *userContext = nullptr;
    return Process_Release(&process);
}

int64_t ProcessProcess(void* userContext) {
    return Process_Process(static_cast<Process*>(userContext));
}

int64_t ReleasePipe(void** userContext) {
    Pipe* pipe = static_cast<Pipe*>(*userContext);
    *userContext = nullptr;
    return Pipe_Release(&pipe);
}

int64_t ProcessPipe(void* userContext) {
    return Pipe_Process(static_cast<Pipe*>(userContext));
}

// The bridge hands out one execute registration per script context, so every notification centre
// instance of a context holds the same one. Each instance gets its own holder, and the
// registration goes only with the last holder of it: releasing one instance must not free what
// another still uses. Main thread only, as the registrations are.
struct CoreInteropObserver {
    InteropExecuteCallback* Callback;
    CoreInteropObserver* Next;
};

CoreInteropObserver* GlobalCoreInteropObservers = nullptr;

int64_t ReleaseObserver(void** userContext) {
    CoreInteropObserver* holder = static_cast<CoreInteropObserver*>(*userContext);
    *userContext = nullptr;
    if (!holder) return 0;
    bool shared = false;
    for (CoreInteropObserver** link = &GlobalCoreInteropObservers; *link;) {
        if (*link == holder) {
            *link = holder->Next;
            continue;
        }
        if ((*link)->Callback == holder->Callback) shared = true;
        link = &(*link)->Next;
    }
    InteropExecuteCallback* callback = holder->Callback;
    Memory_Free(holder, sizeof(CoreInteropObserver));
    if (!shared && callback) Interop_RemoveExecuteCallback(&callback);
    return 1;
}

struct CoreInteropClass {
    const char* Name;
    InteropInvokeFunc Invoke;
};

const CoreInteropClass kClasses[] = {
    {"QVR.Process", Process_Invoke},     {"QVR.Pipe", Pipe_Invoke},
    {"QVR.NotificationCenter", NotificationCenter_Invoke},
    {"QVR.Registry", Registry_Invoke},   {"QVR.FileSystem", Path_Invoke},
    {"QVR.Platform", Platform_Invoke},   {"QVR.Analytics", Analytics_Invoke},
    {"QVR.WebGet", WebGet_Invoke},
};

} // namespace

int64_t CoreInterop_Init() {
    return 1;
}

int64_t CoreInterop_Remove() {
    return 1;
}

int64_t CoreInterop_SetOverride(const char*, void*) {
    return 1;
}

int64_t CoreInterop_SetOption(const char*, const char*) {
    return 1;
}

int64_t CoreInterop_CreateInstance(const char* className, char* id, int32_t idSize, void* executeUser,
                                   InteropExecuteFunc executeFunction, InteropInvokeFunc* invoke,
                                   InteropReleaseFunc* release, InteropProcessFunc* process,
                                   void** userContext) {
    ASSERT_POINTER(invoke);
    ASSERT_POINTER(release);
    ASSERT_POINTER(process);
    ASSERT_POINTER(userContext);
    *invoke = nullptr;
    *release = nullptr;
    *process = nullptr;
    *userContext = nullptr;
    if (!className) return 0;
    const CoreInteropClass* found = nullptr;
    for (const CoreInteropClass& c : kClasses) {
        if (strcmp(c.Name, className) == 0) found = &c;
    }
    if (!found) return 0;
    const bool hasId = id && idSize > 0;
    if (found->Invoke == Process_Invoke) {
        Process* made = nullptr;
        if (!Process_Create(&made) || !made) return 0;
        if (hasId) Process_GetInstanceId(made, id, idSize);
        *release = ReleaseProcess;
        *process = ProcessProcess;
        *userContext = made;
    } else if (found->Invoke == Pipe_Invoke) {
        Pipe* made = nullptr;
        if (!Pipe_Create(&made) || !made) return 0;
        if (hasId) Pipe_GetInstanceId(made, id, idSize);
        *release = ReleasePipe;
        *process = ProcessPipe;
        *userContext = made;
    } else if (found->Invoke == NotificationCenter_Invoke) {
        InteropExecuteCallback* callback = nullptr;
        if (!Interop_AddExecuteCallback(&callback, executeUser, executeFunction) || !callback) return 0;
        CoreInteropObserver* holder =
            static_cast<CoreInteropObserver*>(Memory_AllocZero(sizeof(CoreInteropObserver)));
        holder->Callback = callback;
        holder->Next = GlobalCoreInteropObservers;
        GlobalCoreInteropObservers = holder;
        *release = ReleaseObserver;
        *userContext = holder;
    }
    *invoke = found->Invoke;
    return 1;
}

// ---- QVR.NotificationCenter -------------------------------------------------------------------

int64_t NotificationCenter_Invoke(void*, Dictionary* request, Dictionary* response) {
    const char* method = nullptr;
    uint32_t hash = 0;
    if (!ApiGen_GetMethod(request, "NotificationCenter", &method, &hash)) return 0;
    CoreInteropArgs a(request, "NotificationCenter", method);
    int64_t result = 0;
    switch (hash) {
    case 0x2465756e: { // addObserver
        const char* type = a.String("type");
        const char* notification = a.String("notification");
        const char* callbackId = a.String("callbackId");
        if (a.Ok()) result = NotificationCenter_AddObserverInterop(type, notification, callbackId);
        break;
    }
    case 0x534c5815: { // releaseInteropReference
        const char* instanceId = a.String("instanceId");
        if (a.Ok()) result = NotificationCenter_ReleaseInteropReference(instanceId);
        break;
    }
    case 0x562fa096: { // removeObserver
        const char* type = a.String("type");
        const char* notification = a.String("notification");
        const char* callbackId = a.String("callbackId");
        if (a.Ok()) result = NotificationCenter_RemoveObserverInterop(type, notification, callbackId);
        break;
    }
    case 0x580d3f03: { // removeInstanceObserver
        const char* type = a.String("type");
        const char* notification = a.String("notification");
        const char* sender = a.String("sender");
        const char* callbackId = a.String("callbackId");
        if (a.Ok())
            result = NotificationCenter_RemoveInstanceObserverInterop(type, notification, sender, callbackId);
        break;
    }
    case 0x58de09cf: { // fire
        const char* type = a.String("type");
        const char* notification = a.String("notification");
        const char* sender = a.String("sender");
        const char* info = a.String("info");
        if (a.Ok()) result = NotificationCenter_FireInterop(type, notification, sender, info);
        break;
    }
    case 0x9936d42f: { // fireAfterDelay
        const char* type = a.String("type");
        const char* notification = a.String("notification");
        const char* sender = a.String("sender");
        const int32_t delay = a.Int32("delay");
        const char* info = a.String("info");
        if (a.Ok()) result = NotificationCenter_FireAfterDelayInterop(type, notification, sender, delay, info);
        break;
    }
    case 0x9bef5c22: { // addRefInteropReference
        const char* instanceId = a.String("instanceId");
        if (a.Ok()) result = NotificationCenter_AddRefInteropReference(instanceId);
        break;
    }
    case 0xa0a986bb: { // addInstanceObserver
        const char* type = a.String("type");
        const char* notification = a.String("notification");
        const char* sender = a.String("sender");
        const char* callbackId = a.String("callbackId");
        if (a.Ok())
            result = NotificationCenter_AddInstanceObserverInterop(type, notification, sender, callbackId);
        break;
    }
    default:
        return 0;
    }
    return CoreInterop_ReturnBoolean(response, a, result);
}

// ---- QVR.WebGet ----------------------------------------------------------------------------------

int64_t WebGet_Invoke(void*, Dictionary* request, Dictionary* response) {
    const char* method = nullptr;
    uint32_t hash = 0;
    if (!ApiGen_GetMethod(request, "WebGet", &method, &hash)) return 0;
    CoreInteropArgs a(request, "WebGet", method);
    int64_t result = 0;
    switch (hash) {
    case 0x077907eb: { // redirectAddMacro
        const char* key = a.String("key");
        const char* value = a.String("value");
        if (a.Ok()) result = WebGet_RedirectAddMacro(key, value);
        break;
    }
    case 0x173b777a: { // redirectAdd
        const char* name = a.String("name");
        const int32_t flags = a.Int32("flags");
        const uint32_t mutableRule = a.Boolean("mutable");
        const char* pattern = a.String("pattern");
        const char* replacement = a.String("replacement");
        const int32_t compileOptions = a.Int32("compileOptions");
        const int32_t subOptions = a.Int32("subOptions");
        if (a.Ok())
            result = WebGet_RedirectAdd(name, (uint32_t)flags, mutableRule, pattern, replacement, compileOptions,
                                        subOptions);
        break;
    }
    case 0x8df35bcb: // redirectClearAll
        result = WebGet_RedirectClearAll();
        break;
    case 0xb54ee323: { // redirectRemove
        const char* name = a.String("name");
        if (a.Ok()) result = WebGet_RedirectRemove(name);
        break;
    }
    case 0xc07b1b3d: { // authorize
        const char* url = a.String("url");
        if (a.Ok()) result = WebGet_Authorize(url);
        break;
    }
    case 0xc30c9e2b: { // redirect
        const int32_t flags = a.Int32("flags");
        const char* url = a.String("url");
        CoreInteropText out;
        if (a.Ok()) WebGet_RedirectInterop((uint32_t)flags, url, out.Text, CORE_INTEROP_TEXT_SIZE);
        return CoreInterop_ReturnString(response, a, out.Text);
    }
    case 0xce53a872: { // redirectRemoveMacro
        const char* key = a.String("key");
        if (a.Ok()) result = WebGet_RedirectRemoveMacro(key);
        break;
    }
    default:
        return 0;
    }
    return CoreInterop_ReturnBoolean(response, a, result);
}

// ---- QVR.Analytics -------------------------------------------------------------------------------

int64_t Analytics_Invoke(void*, Dictionary* request, Dictionary* response) {
    const char* method = nullptr;
    uint32_t hash = 0;
    if (!ApiGen_GetMethod(request, "Analytics", &method, &hash)) return 0;
    CoreInteropArgs a(request, "Analytics", method);
    int64_t result = 0;
    switch (hash) {
    case 0x3bb9492c: { // extend
        const char* info = a.String("info");
        if (a.Ok()) result = Analytics_ExtendInterop(info);
        break;
    }
    case 0xc232500a: { // setEnabled
        const uint32_t enabled = a.Boolean("enabled");
        if (a.Ok()) result = Analytics_SetEnabled(enabled);
        break;
    }
    case 0xc38ded2b: { // sendEvent
        const char* eventName = a.String("eventName");
        const char* info = a.String("info");
        if (a.Ok()) result = Analytics_SendEventInterop(eventName, info);
        break;
    }
    default:
        return 0;
    }
    return CoreInterop_ReturnBoolean(response, a, result);
}
