// The browser side of the script bridge: one resource handler per request to the pseudo-host
// "interop" (or under "/instances/" of the content URL), which performs the page's call through
// the script bridge and answers with a status and a body.
#include <atomic>
#include <cstring>
#include <new>
#include <vector>

#include "core/formats/interop.h"
#include "core/formats/url.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/class.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "host/cef/cef_script_bridge.h"
#include "skin/script_invoker.h"
#include "skin/skin_app.h"
#include "skin/skin_window.h"
#include "skin/web_browser.h"

namespace {

// A binding larger than a script call's bound is refused unread, as on every other route.
constexpr size_t kMaxInvokeBody = SCRIPTINVOKER_MAX_BODY;
constexpr const char kInstancesPrefix[] = "/instances/";

struct CEFInterop;

struct InteropHandler final : CEFResourceHandler {
    CEFInterop* Owner = nullptr;
    void AddRef() override;
    void Release() override;
    bool Open(CEFRequest* request, bool* handleNow, CEFCallback* callback) override;
    bool ProcessRequest(CEFRequest*, CEFCallback*) override { return false; }
    void GetResponseHeaders(CEFResponse* response, int64_t* length, std::string* redirectUrl) override;
    bool Skip(int64_t count, int64_t* skipped, CEFResourceReadCallback* callback) override;
    bool Read(void* buffer, int32_t size, int32_t* count, CEFResourceReadCallback* callback) override;
    bool ReadResponse(void*, int32_t, int32_t* count, CEFCallback*) override {
        *count = 0;
        return false;
    }
    void Cancel() override;
};

struct CEFInterop {
    Class Header;
    InteropHandler Handler;
    int32_t Kind = 0;
    char InstanceId[CEFINTEROP_ID_SIZE] = {};
    // Size + 1 bytes, terminated. A create request keeps the requested (then the new) instance id
    // in the first CEFINTEROP_ID_SIZE bytes and the type name after them.
    uint8_t* Data = nullptr;
    int32_t DataSize = 0;
    // How much of a created id the engine has read.
    int32_t IdRead = 0;
    MemoryStream* Response = nullptr;
    // Handed over between cancel on the I/O thread and the task on the user-interface thread.
    std::atomic<CEFCallback*> Pending{nullptr};
};

void InteropAddRef(CEFInterop* interop) { Class_AddRef(interop); }
void InteropRelease(CEFInterop* interop) {
    void* handle = interop;
    Class_ReleaseInt(&handle, __FILE__, __LINE__);
}
void InteropHandler::AddRef() { InteropAddRef(Owner); }
void InteropHandler::Release() { InteropRelease(Owner); }

void DropPending(CEFInterop* interop, bool cancel) {
    CEFCallback* callback = interop->Pending.exchange(nullptr);
    if (!callback) return;
    if (cancel) callback->Cancel();
    callback->Release();
}

int64_t DeleteInterop(void** handle) {
    CEFInterop* interop = static_cast<CEFInterop*>(*handle);
    DropPending(interop, false);
    if (interop->Data) Memory_Free(interop->Data, interop->DataSize + 1);
    MemoryStream_Release(&interop->Response);
    interop->Header.ClassId = 0;
    interop->~CEFInterop();
    Memory_Free(interop, sizeof(CEFInterop));
    *handle = nullptr;
    return 1;
}

CEFInterop* NewInterop(int32_t kind, int32_t dataSize) {
    void* memory = Memory_AllocZero(sizeof(CEFInterop));
    CEFInterop* interop = new (memory) CEFInterop();
    interop->Header.ClassId = CEFINTEROP_CLASS_ID;
    interop->Header.RefCount = 1;
    interop->Header.Delete = DeleteInterop;
    Class_GenerateInstanceIdReal(interop);
    interop->Handler.Owner = interop;
    interop->Kind = kind;
    if (dataSize > 0) {
        interop->DataSize = dataSize;
        interop->Data = static_cast<uint8_t*>(Memory_AllocZero(dataSize + 1));
    }
    return interop;
}

char* CreateId(CEFInterop* interop) { return reinterpret_cast<char*>(interop->Data); }
char* CreateTypeName(CEFInterop* interop) { return reinterpret_cast<char*>(interop->Data) + CEFINTEROP_ID_SIZE; }

// Copies text into a field of size bytes; false when it would not fit whole.
bool CopyWhole(char* field, int32_t size, const std::string& text) {
    if (text.size() >= (size_t)size || memchr(text.data(), 0, text.size())) return false;
    memcpy(field, text.c_str(), text.size() + 1);
    return true;
}

// The percent-decoded query parameter; "" when absent.
std::string QueryParam(const char* url, const char* name) {
    std::vector<char> buffer(strlen(url) + 1);
    if (!URL_ParseQueryParam(url, name, buffer.data(), (int32_t)buffer.size())) return "";
    URL_DecodeString(buffer.data(), buffer.data(), (int32_t)buffer.size());
    return buffer.data();
}

// The single bytes element of the body, whole; false for any other body.
bool ReadBody(CEFRequest* request, size_t limit, std::vector<uint8_t>* bytes) {
    CEFPostData* postData = request->GetPostData();
    if (!postData) return false;
    bool read = false;
    if (auto* elements = dynamic_cast<CEFPostDataElements*>(postData); elements && elements->GetElementCount() == 1) {
        CEFPostDataElement* element = elements->GetElement(0);
        if (element && element->GetType() == PDE_TYPE_BYTES) {
            const size_t count = element->GetBytesCount();
            if (count >= 1 && count <= limit) {
                bytes->resize(count);
                read = element->GetBytes(count, bytes->data()) == count;
            }
        }
        if (element) element->Release();
    }
    postData->Release();
    return read;
}

CEFInterop* CreateFromBody(CEFRequest* request) {
    std::vector<uint8_t> body;
    if (!ReadBody(request, CEFINTEROP_CREATE_SIZE, &body)) return nullptr;
    MemoryStream* stream = nullptr;
    MemoryStream_Create(&stream);
    MemoryStream_SetAutoGrow(stream, 1);
    uint32_t written = 0;
    MemoryStream_Write(stream, body.data(), (uint32_t)body.size(), &written);
    Stream* record = nullptr;
    MemoryStream_GetStreamHandle(stream, &record);
    char typeName[SKINAPP_TYPE_NAME_SIZE];
    char windowId[SKINAPP_ID_SIZE];
    char instanceId[SKINAPP_ID_SIZE];
    const int64_t parsed = SkinApp_ParseCreateInstance(record, typeName, windowId, instanceId);
    MemoryStream_Release(&stream);
    if (!parsed) return nullptr;
    // The parser cuts at its field sizes: a value that fills its field may have been longer, and
    // a cut id would name some other instance.
    if (strlen(windowId) >= SKINAPP_ID_SIZE - 1 || strlen(instanceId) >= SKINAPP_ID_SIZE - 1) return nullptr;
    CEFInterop* interop = NewInterop(CEFINTEROP_CREATE, CEFINTEROP_CREATE_SIZE);
    if (!CopyWhole(CreateTypeName(interop), CEFINTEROP_TYPE_NAME_SIZE, typeName)) {
        InteropRelease(interop);
        return nullptr;
    }
    CopyWhole(CreateId(interop), CEFINTEROP_ID_SIZE, instanceId);
    CopyWhole(interop->InstanceId, CEFINTEROP_ID_SIZE, windowId);
    return interop;
}

CEFInterop* Invoke(CEFRequest* request) {
    std::vector<uint8_t> body;
    if (!ReadBody(request, kMaxInvokeBody, &body)) return nullptr;
    CEFInterop* interop = NewInterop(CEFINTEROP_INVOKE, (int32_t)body.size());
    memcpy(interop->Data, body.data(), body.size());
    return interop;
}

CEFInterop* CreateFromQuery(const char* url) {
    CEFInterop* interop = NewInterop(CEFINTEROP_CREATE, CEFINTEROP_CREATE_SIZE);
    if (!CopyWhole(CreateTypeName(interop), CEFINTEROP_TYPE_NAME_SIZE, QueryParam(url, "b")) ||
        !CopyWhole(CreateId(interop), CEFINTEROP_ID_SIZE, QueryParam(url, "c"))) {
        InteropRelease(interop);
        return nullptr;
    }
    return interop;
}

// The bridge hands an instance's script messages over as one text for the window's page.
int64_t ExecuteInWindow(void* user, InteropExecuteCallback*, const char* text, void*) {
    return user && text ? SkinWindow_ExecuteScript(static_cast<SkinWindow*>(user), text, "", nullptr) : 0;
}

// The live skin window behind the id, or null: any other object must never be taken for one.
SkinWindow* WindowFromId(const char* id) {
    if (!id[0]) return nullptr;
    void* object = Class_ConvertFromInstanceId(id);
    if (!object || static_cast<Class*>(object)->ClassId != SKINWINDOW_CLASS_ID) return nullptr;
    return static_cast<SkinWindow*>(object);
}

// Runs on the user-interface thread; the task holds a reference to the handler.
void ContinueTask(void* data) {
    CEFInterop* interop = *static_cast<CEFInterop**>(data);
    int64_t done = 0;
    if (interop->Kind == CEFINTEROP_INVOKE) {
        MemoryStream_Create(&interop->Response);
        MemoryStream_SetAutoGrow(interop->Response, 1);
        MemoryStream_Size(interop->Response, 256, 0, 0);
        done = Interop_DispatchInvokeJSON(interop->InstanceId, reinterpret_cast<const char*>(interop->Data),
                                          interop->Response);
    } else if (SkinWindow* window = WindowFromId(interop->InstanceId)) {
        done = Interop_DispatchCreateInstance(CreateTypeName(interop), CreateId(interop), CEFINTEROP_ID_SIZE, window,
                                              window, ExecuteInWindow);
    }
    if (!done && interop->Kind == CEFINTEROP_CREATE) CreateId(interop)[0] = 0;
    // A cancel may have taken the callback already; then nobody waits for the answer.
    if (CEFCallback* callback = interop->Pending.exchange(nullptr)) {
        if (done)
            callback->Continue();
        else
            callback->Cancel();
        callback->Release();
    }
    InteropRelease(interop);
}

void RemoveTask(void* data) {
    CEFInterop* interop = *static_cast<CEFInterop**>(data);
    DropPending(interop, true);
    InteropRelease(interop);
}

bool InteropHandler::Open(CEFRequest*, bool* handleNow, CEFCallback* callback) {
    CEFInterop* interop = Owner;
    *handleNow = interop->Kind == CEFINTEROP_HAS || interop->Kind == CEFINTEROP_RELEASE;
    if (*handleNow) return true;
    if (!callback) return false;
    callback->AddRef();
    if (CEFCallback* old = interop->Pending.exchange(callback)) old->Release();
    void* task = nullptr;
    if (!WebBrowserTask_Create(&task, sizeof(CEFInterop*), ContinueTask, RemoveTask) || !task) {
        DropPending(interop, false);
        return false;
    }
    InteropAddRef(interop);
    *static_cast<CEFInterop**>(task) = interop;
    WebBrowserTask_Post(task);
    WebBrowserTask_Release(task);
    return true;
}

void InteropHandler::GetResponseHeaders(CEFResponse* response, int64_t* length, std::string*) {
    CEFInterop* interop = Owner;
    *length = 0;
    if (!response) return;
    int32_t status = 200;
    switch (interop->Kind) {
    case CEFINTEROP_CREATE:
        status = 201;
        response->SetMimeType("text/plain");
        *length = (int64_t)strlen(CreateId(interop));
        break;
    case CEFINTEROP_HAS:
        status = Interop_DispatchHasInstance(interop->InstanceId) ? 200 : 204;
        break;
    case CEFINTEROP_RELEASE:
        status = Interop_DispatchReleaseInstance(interop->InstanceId) ? 200 : 204;
        break;
    default: {
        response->SetMimeType("application/json");
        uint64_t bytes = 0;
        if (interop->Response) {
            MemoryStream_Length(interop->Response, &bytes);
            MemoryStream_Seek(interop->Response, 0, SEEK_ORIGIN_BEGIN);
        }
        *length = (int64_t)bytes;
    }
    }
    response->SetStatus(status);
    response->SetHeaderMap({{"Access-Control-Allow-Origin", "*"}});
}

bool InteropHandler::Skip(int64_t, int64_t* skipped, CEFResourceReadCallback*) {
    *skipped = CEF_ERR_REQUEST_RANGE_NOT_SATISFIABLE;
    return false;
}

bool InteropHandler::Read(void* buffer, int32_t size, int32_t* count, CEFResourceReadCallback*) {
    CEFInterop* interop = Owner;
    *count = 0;
    if (!buffer || size <= 0) return false;
    if (interop->Kind == CEFINTEROP_CREATE) {
        // A read smaller than the id takes the rest next time; nothing of it is lost.
        const char* id = CreateId(interop);
        const int32_t left = (int32_t)strlen(id) - interop->IdRead;
        const int32_t n = left < size ? left : size;
        if (n > 0) memcpy(buffer, id + interop->IdRead, (size_t)n);
        interop->IdRead += n > 0 ? n : 0;
        *count = n > 0 ? n : 0;
    } else if (interop->Kind == CEFINTEROP_INVOKE && interop->Response) {
        uint32_t read = 0;
        MemoryStream_Read(interop->Response, buffer, (uint32_t)size, &read);
        *count = (int32_t)read;
    }
    return *count > 0;
}

void InteropHandler::Cancel() { DropPending(Owner, false); }

} // namespace

CEFResourceHandler* CEFInterop_Start(const char* url, CEFRequest* request) {
    if (!url || !request) return nullptr;
    const std::string method = request->GetMethod();
    const char* path = nullptr;
    URL_ParsePathPtr(url, &path);
    // The instance named by the path: up to the query or fragment, percent-decoded.
    bool instances = false;
    std::string named;
    if (String_CompareLength(path, kInstancesPrefix, (int32_t)strlen(kInstancesPrefix))) {
        instances = true;
        const char* rest = path + strlen(kInstancesPrefix);
        named.assign(rest, strcspn(rest, "?#"));
        std::vector<char> decoded(named.size() + 1);
        URL_DecodeString(named.c_str(), decoded.data(), (int32_t)decoded.size());
        named = decoded.data();
    }

    CEFInterop* interop = nullptr;
    if (method == "POST")
        interop = instances && named.empty() ? CreateFromBody(request) : Invoke(request);
    else if (method == "GET")
        interop = CreateFromQuery(url);
    else if (method == "DELETE")
        interop = NewInterop(CEFINTEROP_RELEASE, 0);
    else if (method == "HEAD")
        interop = NewInterop(CEFINTEROP_HAS, 0);
    if (!interop) return nullptr;

    if (!interop->InstanceId[0] &&
        !CopyWhole(interop->InstanceId, CEFINTEROP_ID_SIZE, !named.empty() ? named : QueryParam(url, "a"))) {
        InteropRelease(interop);
        return nullptr;
    }
    return &interop->Handler;
}
