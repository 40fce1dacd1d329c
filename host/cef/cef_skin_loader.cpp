// Serves the skin's own files to a CEF browser inside the browser process, without the loopback
// web server: the skin request handler decides status, headers and range, and the loader streams
// the body from the opened skin entry or from the data store.
#include "host/cef/cef_skin_loader.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "core/formats/mime.h"
#include "core/runtime/class.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "skin/skin_app.h"
#include "skin/skin_file.h"
#include "skin/skin_request_handler.h"

namespace {

struct LoaderHandler final : CEFResourceHandler {
    CEFSkinLoader* Owner = nullptr;
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
    void Cancel() override {}
};

} // namespace

struct CEFSkinLoader {
    Class Header;
    LoaderHandler Handler;
    CEFRequest* Request = nullptr;
    CEFResponse* Response = nullptr;
    int64_t ResponseLength = 0;
    SkinFile* File = nullptr;
    uint8_t* DataStore = nullptr;
    uint32_t DataStoreLength = 0;
    uint32_t Offset = 0;
    uint32_t NoBody = 0;
    // Bytes of the body given to the engine (read or skipped): never more than the declared length.
    int64_t Delivered = 0;
};

namespace {

const SkinHandler kSink = {CEFSkinLoader_GetRequestHeader, CEFSkinLoader_SetResponse,
                           CEFSkinLoader_SetResponseHeader, CEFSkinLoader_PutDataStore};

CEFSkinLoader* Loader(void* context) {
    CLASS_CHECK(context, CEFSKINLOADER_CLASS_ID);
    return static_cast<CEFSkinLoader*>(context);
}

void LoaderRelease(CEFSkinLoader* loader) {
    void* handle = loader;
    Class_ReleaseInt(&handle, __FILE__, __LINE__);
}
void LoaderHandler::AddRef() { Class_AddRef(Owner); }
void LoaderHandler::Release() { LoaderRelease(Owner); }

int64_t DeleteLoader(void** handle) {
    CEFSkinLoader* loader = static_cast<CEFSkinLoader*>(*handle);
    if (loader->DataStore) SkinApp_ReleaseDataStore(nullptr, &loader->DataStore, &loader->DataStoreLength);
    if (loader->File) SkinFile_Delete(&loader->File);
    if (loader->Request) loader->Request->Release();
    loader->Header.ClassId = 0;
    loader->~CEFSkinLoader();
    Memory_Free(loader, sizeof(CEFSkinLoader));
    *handle = nullptr;
    return 1;
}

// Sets one header, replacing every earlier one of that name.
void SetHeader(CEFResponse* response, const char* name, const char* value) {
    CEFHeaderMap headers = response->GetHeaderMap();
    CEFHeaderMap kept;
    for (auto& header : headers)
        if (!String_CompareWithoutCase(header.first.c_str(), name)) kept.push_back(std::move(header));
    kept.emplace_back(name, value);
    response->SetHeaderMap(kept);
}

const char* ServerName() {
    static const std::string name = [] {
        char text[64];
        snprintf(text, sizeof(text), "%s (%s)", "Radi-Dod", "0.84");
        return std::string(text);
    }();
    return name.c_str();
}

int64_t Remaining(CEFSkinLoader* loader) {
    return loader->ResponseLength > loader->Delivered ? loader->ResponseLength - loader->Delivered : 0;
}

bool LoaderHandler::Open(CEFRequest* request, bool* handleNow, CEFCallback*) {
    CEFSkinLoader* loader = Owner;
    if (request) request->AddRef();
    if (loader->Request) loader->Request->Release();
    loader->Request = request;
    *handleNow = true;
    return true;
}

void LoaderHandler::GetResponseHeaders(CEFResponse* response, int64_t* length, std::string*) {
    CEFSkinLoader* loader = Owner;
    *length = 0;
    if (!response) return;
    const char* origin = SkinApp_GetContentUrl();
    SetHeader(response, "Access-Control-Allow-Origin", origin ? origin : "");
    const std::string url = loader->Request ? loader->Request->GetURL() : std::string();
    loader->Response = response;
    loader->NoBody = SkinHandler_GetResponse(url.c_str(), 0, loader, &kSink, &loader->File) ? 0 : 1;
    loader->Response = nullptr;
    *length = loader->ResponseLength;
    if (loader->Request) loader->Request->Release();
    loader->Request = nullptr;
}

bool LoaderHandler::Read(void* buffer, int32_t size, int32_t* count, CEFResourceReadCallback*) {
    CEFSkinLoader* loader = Owner;
    *count = 0;
    if (loader->NoBody || !buffer || size <= 0) return false;
    // A ranged answer ends where its range ends, though the entry goes on.
    const int64_t wanted = Remaining(loader) < size ? Remaining(loader) : size;
    if (wanted <= 0) return false;
    if (loader->File) {
        uint32_t read = 0;
        SkinFile_Read(loader->File, buffer, (uint32_t)wanted, &read);
        *count = (int32_t)read;
    } else if (loader->DataStore) {
        const int64_t left = (int64_t)loader->DataStoreLength - loader->Offset;
        const int64_t n = wanted < left ? wanted : left;
        if (n > 0) {
            memcpy(buffer, loader->DataStore + loader->Offset, (size_t)n);
            loader->Offset += (uint32_t)n;
            *count = (int32_t)n;
        }
    }
    loader->Delivered += *count;
    return *count > 0;
}

bool LoaderHandler::Skip(int64_t count, int64_t* skipped, CEFResourceReadCallback*) {
    CEFSkinLoader* loader = Owner;
    *skipped = CEF_ERR_REQUEST_RANGE_NOT_SATISFIABLE;
    if (loader->NoBody || count <= 0 || count > Remaining(loader)) return false;
    if (loader->File) {
        if (!SkinFile_Seek(loader->File, count, SEEK_ORIGIN_CURRENT)) return false;
    } else if (loader->DataStore && (int64_t)loader->DataStoreLength - loader->Offset >= count) {
        loader->Offset += (uint32_t)count;
    } else {
        return false;
    }
    loader->Delivered += count;
    *skipped = count;
    return true;
}

} // namespace

CEFResourceHandler* CEFSkinLoader_Start(const char* url, CEFRequest* request) {
    if (!url || !request) return nullptr;
    const std::string method = request->GetMethod();
    if (method != "GET" && method != "POST" && method != "HEAD") return nullptr;
    void* memory = Memory_AllocZero(sizeof(CEFSkinLoader));
    CEFSkinLoader* loader = new (memory) CEFSkinLoader();
    loader->Header.ClassId = CEFSKINLOADER_CLASS_ID;
    loader->Header.RefCount = 1;
    loader->Header.Delete = DeleteLoader;
    Class_GenerateInstanceIdReal(loader);
    loader->Handler.Owner = loader;
    return &loader->Handler;
}

CEFSkinLoader* CEFSkinLoader_FromHandler(CEFResourceHandler* handler) {
    auto* own = dynamic_cast<LoaderHandler*>(handler);
    return own ? own->Owner : nullptr;
}

int64_t CEFSkinLoader_GetRequestHeader(void* context, const char* name, char* buffer, int32_t capacity) {
    CEFSkinLoader* loader = Loader(context);
    ASSERT_POINTER(name);
    ASSERT_POINTER(buffer);
    if (capacity > 0) buffer[0] = 0;
    if (!loader->Request) return 0;
    for (const auto& header : loader->Request->GetHeaderMap()) {
        if (!String_CompareWithoutCase(header.first.c_str(), name)) continue;
        String_CopyLengthSafe(buffer, capacity, header.second.c_str(), (int32_t)header.second.size() + 1);
        return 1;
    }
    return 0;
}

int64_t CEFSkinLoader_SetResponse(void* context, const char* path, int32_t status, int64_t, int64_t length) {
    CEFSkinLoader* loader = Loader(context);
    loader->ResponseLength = length > 0 ? length : 0;
    if (CEFResponse* response = loader->Response) {
        response->SetStatus(status);
        SetHeader(response, "Server", ServerName());
        if (status >= 100 && status <= 399 && response->GetMimeType().empty()) {
            const char* type = nullptr;
            const char* subtype = nullptr;
            MIME_Find(path ? path : "", &type, &subtype);
            char mime[160];
            snprintf(mime, sizeof(mime), "%s/%s", type ? type : "application", subtype ? subtype : "octet-stream");
            response->SetMimeType(mime);
        }
    }
    return status >= 200 && status <= 299 ? 1 : 0;
}

int64_t CEFSkinLoader_SetResponseHeader(void* context, const char* name, const char* value) {
    CEFSkinLoader* loader = Loader(context);
    ASSERT_POINTER(name);
    if (!loader->Response) return 0;
    if (String_CompareLengthWithoutCase(name, "Content-Type", 12))
        loader->Response->SetMimeType(value ? value : "");
    else
        SetHeader(loader->Response, name, value ? value : "");
    return 1;
}

int64_t CEFSkinLoader_PutDataStore(void* context, uint8_t* buffer) {
    CEFSkinLoader* loader = Loader(context);
    if (loader->DataStore) SkinApp_ReleaseDataStore(nullptr, &loader->DataStore, &loader->DataStoreLength);
    // The handler declares the store's length just before it hands the buffer over.
    loader->DataStore = buffer;
    loader->DataStoreLength = buffer ? (uint32_t)loader->ResponseLength : 0;
    loader->Offset = 0;
    return 1;
}
