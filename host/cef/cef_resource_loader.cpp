// Refetches foreign pages that the skin embeds (in its frames, or as a popup's own document) and
// hands them to the engine without the headers that would forbid that embedding. Only hosts on
// the HTTP client's whitelist are refetched.
#include "host/cef/cef_resource_loader.h"

#include <cstring>
#include <mutex>
#include <new>

#include "core/formats/url.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/web/web_get_redirect.h"
#include "host/cef/cef_auth_credentials.h"

namespace {

// A parameter is compared by its start only.
constexpr size_t kParameterCompare = 79;
constexpr int32_t kDataPiece = 2147483647;

struct ResourceLoader;

// The two engine-facing faces of one loader; their reference counts are the loader's.
struct LoaderClient final : CEFURLRequestClient {
    ResourceLoader* Owner = nullptr;
    void AddRef() override;
    void Release() override;
    void OnRequestComplete(CEFURLRequest* request) override;
    void OnUploadProgress(CEFURLRequest*, int64_t, int64_t) override {}
    void OnDownloadProgress(CEFURLRequest*, int64_t, int64_t) override {}
    void OnDownloadData(CEFURLRequest* request, const void* data, size_t length) override;
    bool GetAuthCredentials(bool isProxy, const char* host, int32_t port, const char* realm, const char* scheme,
                            CEFAuthCallback* callback) override;
};

struct LoaderHandler final : CEFResourceHandler {
    ResourceLoader* Owner = nullptr;
    void AddRef() override;
    void Release() override;
    bool Open(CEFRequest* request, bool* handleNow, CEFCallback* callback) override;
    bool ProcessRequest(CEFRequest* request, CEFCallback* callback) override;
    void GetResponseHeaders(CEFResponse* response, int64_t* length, std::string* redirectUrl) override;
    bool Skip(int64_t count, int64_t* skipped, CEFResourceReadCallback* callback) override;
    bool Read(void* buffer, int32_t size, int32_t* count, CEFResourceReadCallback* callback) override;
    bool ReadResponse(void* buffer, int32_t size, int32_t* count, CEFCallback* callback) override;
    void Cancel() override;
};

struct ResourceLoader {
    Class Base;
    LoaderClient Client;
    LoaderHandler Handler;
    // Client callbacks run on the thread that made the request, handler callbacks on the
    // engine's I/O thread: everything below is guarded.
    std::mutex Lock;
    CEFURLRequest* Request = nullptr;
    CEFCallback* ContinueCallback = nullptr;
    CEFResourceReadCallback* ReadCallback = nullptr;
    void* ReadBuffer = nullptr;
    int32_t ReadSize = 0;
    CEFCallback* ReadResponseCallback = nullptr;
    CEFResponse* Response = nullptr;
    MemoryStream* Body = nullptr;
    uint64_t Offset = 0;
    uint32_t Popup = 0;
    uint32_t Complete = 0;
};

template <typename T> void Drop(T*& object) {
    if (object) object->Release();
    object = nullptr;
}

template <typename T> T* Take(T*& object) {
    T* taken = object;
    object = nullptr;
    return taken;
}

uint64_t BodyLength(ResourceLoader* loader) {
    uint64_t length = 0;
    MemoryStream_Length(loader->Body, &length);
    return length;
}

// Copies up to size unread bytes into buffer and moves the read offset; the count copied.
int32_t CopyUnread(ResourceLoader* loader, void* buffer, int32_t size) {
    const uint64_t length = BodyLength(loader);
    if (size <= 0 || length <= loader->Offset) return 0;
    const uint64_t available = length - loader->Offset;
    const uint32_t wanted = available < (uint64_t)size ? (uint32_t)available : (uint32_t)size;
    uint32_t read = 0;
    MemoryStream_Seek(loader->Body, (int64_t)loader->Offset, SEEK_ORIGIN_BEGIN);
    MemoryStream_Read(loader->Body, buffer, wanted, &read);
    loader->Offset += read;
    return (int32_t)read;
}

void TakeResponse(ResourceLoader* loader, CEFURLRequest* request) {
    if (!loader->Response && request) loader->Response = request->GetResponse();
}

// Drops what the engine or the request may still hold us to; the caller releases the result
// outside the lock.
struct Dropped {
    CEFURLRequest* Request = nullptr;
    CEFCallback* Continue = nullptr;
    CEFResourceReadCallback* Read = nullptr;
    CEFCallback* ReadResponse = nullptr;
    CEFResponse* Response = nullptr;
    void Release() {
        Drop(Request);
        Drop(Continue);
        Drop(Read);
        Drop(ReadResponse);
        Drop(Response);
    }
};

Dropped TakeAll(ResourceLoader* loader) {
    Dropped all;
    all.Request = Take(loader->Request);
    all.Continue = Take(loader->ContinueCallback);
    all.Read = Take(loader->ReadCallback);
    all.ReadResponse = Take(loader->ReadResponseCallback);
    all.Response = Take(loader->Response);
    loader->ReadBuffer = nullptr;
    loader->ReadSize = 0;
    return all;
}

int64_t DeleteLoader(void** handle) {
    ResourceLoader* loader = static_cast<ResourceLoader*>(*handle);
    Dropped all;
    {
        std::lock_guard<std::mutex> guard(loader->Lock);
        all = TakeAll(loader);
    }
    all.Release();
    MemoryStream_Release(&loader->Body);
    loader->Base.ClassId = 0;
    loader->~ResourceLoader();
    Memory_Free(loader, sizeof(ResourceLoader));
    *handle = nullptr;
    return 1;
}

void LoaderAddRef(ResourceLoader* loader) { Class_AddRef(loader); }
void LoaderRelease(ResourceLoader* loader) {
    void* handle = loader;
    Class_ReleaseInt(&handle, __FILE__, __LINE__);
}

void LoaderClient::AddRef() { LoaderAddRef(Owner); }
void LoaderClient::Release() { LoaderRelease(Owner); }
void LoaderHandler::AddRef() { LoaderAddRef(Owner); }
void LoaderHandler::Release() { LoaderRelease(Owner); }

void LoaderClient::OnDownloadData(CEFURLRequest* request, const void* data, size_t length) {
    ResourceLoader* loader = Owner;
    CEFCallback* continueCallback = nullptr;
    CEFResourceReadCallback* readCallback = nullptr;
    CEFCallback* readResponseCallback = nullptr;
    int32_t copied = 0;
    {
        std::lock_guard<std::mutex> guard(loader->Lock);
        TakeResponse(loader, request);
        continueCallback = Take(loader->ContinueCallback);
        MemoryStream_Seek(loader->Body, 0, SEEK_ORIGIN_END);
        const uint8_t* at = static_cast<const uint8_t*>(data);
        for (size_t left = data ? length : 0; left > 0;) {
            const uint32_t piece = left < (size_t)kDataPiece ? (uint32_t)left : (uint32_t)kDataPiece;
            uint32_t written = 0;
            if (!MemoryStream_Write(loader->Body, at, piece, &written) || written == 0) break;
            at += written;
            left -= written;
        }
        if (BodyLength(loader) > loader->Offset) {
            if (loader->ReadCallback && loader->ReadResponseCallback)
                Debug_Abort("Assertion failed (ResourceLoader->ResourceReadResponseCallback == NULL)\n"
                            "Unexpected use of both deprecated and new read response callbacks");
            if (loader->ReadCallback) {
                copied = CopyUnread(loader, loader->ReadBuffer, loader->ReadSize);
                readCallback = Take(loader->ReadCallback);
                loader->ReadBuffer = nullptr;
                loader->ReadSize = 0;
            } else {
                readResponseCallback = Take(loader->ReadResponseCallback);
            }
        }
    }
    if (continueCallback) continueCallback->Continue();
    if (readCallback) readCallback->Continue(copied);
    if (readResponseCallback) readResponseCallback->Continue();
    Drop(continueCallback);
    Drop(readCallback);
    Drop(readResponseCallback);
}

void LoaderClient::OnRequestComplete(CEFURLRequest* request) {
    ResourceLoader* loader = Owner;
    CEFCallback* continueCallback = nullptr;
    CEFResourceReadCallback* readCallback = nullptr;
    CEFCallback* readResponseCallback = nullptr;
    CEFURLRequest* dropped = nullptr;
    {
        std::lock_guard<std::mutex> guard(loader->Lock);
        TakeResponse(loader, request);
        continueCallback = Take(loader->ContinueCallback);
        readCallback = Take(loader->ReadCallback);
        readResponseCallback = Take(loader->ReadResponseCallback);
        loader->ReadBuffer = nullptr;
        loader->ReadSize = 0;
        loader->Complete = 1;
        dropped = Take(loader->Request);
    }
    if (continueCallback) continueCallback->Continue();
    if (readCallback) readCallback->Continue(0);
    if (readResponseCallback) readResponseCallback->Continue();
    Drop(continueCallback);
    Drop(readCallback);
    Drop(readResponseCallback);
    Drop(dropped);
}

bool LoaderClient::GetAuthCredentials(bool isProxy, const char* host, int32_t port, const char* realm, const char*,
                                      CEFAuthCallback* callback) {
    return AuthCredentials_Get(isProxy ? 1 : 0, host, port, realm, callback) != 0;
}

bool LoaderHandler::Open(CEFRequest*, bool* handleNow, CEFCallback* callback) {
    ResourceLoader* loader = Owner;
    std::lock_guard<std::mutex> guard(loader->Lock);
    // A refetch that already ended, even without a byte, is answered at once: nothing else
    // would ever continue the callback.
    *handleNow = BodyLength(loader) > 0 || loader->Complete;
    if (!*handleNow && callback) {
        callback->AddRef();
        Drop(loader->ContinueCallback);
        loader->ContinueCallback = callback;
    }
    return true;
}

bool LoaderHandler::ProcessRequest(CEFRequest*, CEFCallback* callback) {
    ResourceLoader* loader = Owner;
    bool now = false;
    {
        std::lock_guard<std::mutex> guard(loader->Lock);
        now = BodyLength(loader) > 0 || loader->Complete;
        if (!now && callback) {
            callback->AddRef();
            Drop(loader->ContinueCallback);
            loader->ContinueCallback = callback;
        }
    }
    if (now && callback) callback->Continue();
    return true;
}

void LoaderHandler::GetResponseHeaders(CEFResponse* response, int64_t* length, std::string* redirectUrl) {
    ResourceLoader* loader = Owner;
    *length = -1;
    CEFResponse* fetched = nullptr;
    {
        std::lock_guard<std::mutex> guard(loader->Lock);
        fetched = Take(loader->Response);
    }
    if (!fetched || !response) {
        Drop(fetched);
        return;
    }
    const int32_t status = fetched->GetStatus();
    response->SetStatus(status);
    response->SetStatusText(fetched->GetStatusText().c_str());
    response->SetMimeType(fetched->GetMimeType().c_str());
    response->SetCharset(fetched->GetCharset().c_str());
    response->SetURL(fetched->GetURL().c_str());
    const CEFHeaderMap headers = fetched->GetHeaderMap();
    CEFHeaderMap kept;
    if (ResourceLoader_FilterHeaders(headers, loader->Popup, &kept))
        response->SetHeaderMap(kept);
    else
        response->SetHeaderMap(headers);
    if (redirectUrl && (status == 301 || status == 302 || status == 303 || status == 307 || status == 308))
        *redirectUrl = fetched->GetURL();
    Drop(fetched);
}

bool LoaderHandler::Skip(int64_t count, int64_t* skipped, CEFResourceReadCallback*) {
    *skipped = count;
    return true;
}

bool LoaderHandler::Read(void* buffer, int32_t size, int32_t* count, CEFResourceReadCallback* callback) {
    ResourceLoader* loader = Owner;
    std::lock_guard<std::mutex> guard(loader->Lock);
    *count = 0;
    if (BodyLength(loader) > loader->Offset) {
        *count = CopyUnread(loader, buffer, size);
        return true;
    }
    if (loader->Complete) return false;
    if (loader->ReadCallback)
        Debug_Abort("Assertion failed (ResourceLoader->ResourceReadCallback == NULL)\nCallback already assigned");
    if (callback) callback->AddRef();
    loader->ReadCallback = callback;
    loader->ReadBuffer = buffer;
    loader->ReadSize = size;
    return true;
}

bool LoaderHandler::ReadResponse(void* buffer, int32_t size, int32_t* count, CEFCallback* callback) {
    ResourceLoader* loader = Owner;
    std::lock_guard<std::mutex> guard(loader->Lock);
    *count = 0;
    if (BodyLength(loader) > loader->Offset) {
        *count = CopyUnread(loader, buffer, size);
        return true;
    }
    if (loader->Complete) return false;
    if (loader->ReadResponseCallback)
        Debug_Abort("Assertion failed (ResourceLoader->ResourceReadResponseCallback == NULL)\nCallback already assigned");
    if (callback) callback->AddRef();
    loader->ReadResponseCallback = callback;
    return true;
}

void LoaderHandler::Cancel() {
    ResourceLoader* loader = Owner;
    Dropped all;
    {
        std::lock_guard<std::mutex> guard(loader->Lock);
        all = TakeAll(loader);
    }
    all.Release();
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Whether one of the value's ";"-separated parameters begins with prefix (without case); a
// parameter runs to the next ";" or "=" and only its first bytes are compared.
bool HasParameter(const std::string& value, const char* prefix) {
    const size_t limit = value.size() < (size_t)RESOURCELOADER_HEADER_VALUE_SIZE - 1
                             ? value.size()
                             : (size_t)RESOURCELOADER_HEADER_VALUE_SIZE - 1;
    const size_t prefixLength = strlen(prefix);
    size_t at = 0;
    while (at < limit) {
        while (at < limit && (value[at] == ';' || IsBlank(value[at]))) at++;
        size_t end = at;
        while (end < limit && value[end] != ';' && value[end] != '=') end++;
        size_t length = end - at;
        if (length > kParameterCompare) length = kParameterCompare;
        if (length >= prefixLength && String_CompareLengthWithoutCase(value.c_str() + at, prefix, (int32_t)prefixLength))
            return true;
        while (end < limit && value[end] != ';') end++;
        at = end;
    }
    return false;
}

bool Removed(const std::pair<std::string, std::string>& header, uint32_t popup) {
    const char* name = header.first.c_str();
    if (popup)
        return String_CompareWithoutCase(name, "Cross-Origin-Opener-Policy") && HasParameter(header.second, "same-origin");
    if (String_CompareWithoutCase(name, "X-Frame-Options")) return true;
    return String_CompareWithoutCase(name, "Content-Security-Policy") && HasParameter(header.second, "frame-ancestors ");
}

} // namespace

int32_t ResourceLoader_FilterHeaders(const CEFHeaderMap& headers, uint32_t popup, CEFHeaderMap* out) {
    ASSERT_POINTER(out);
    out->clear();
    int32_t removed = 0;
    for (const auto& header : headers) {
        if (Removed(header, popup))
            removed++;
        else
            out->push_back(header);
    }
    return removed;
}

CEFResourceHandler* ResourceLoader_Start(const char* url, CEFBrowser*, CEFFrame* frame, CEFRequest* request,
                                         uint32_t popup) {
    if (!url || !frame || !request) return nullptr;
    if (!popup && request->GetResourceType() != RT_SUB_FRAME) return nullptr;
    // A longer host is never cut to fit: its start could match a pattern the whole name does not.
    char host[RESOURCELOADER_HOST_SIZE + 2];
    URL_ParseHostWithoutPort(url, host, sizeof(host));
    if (!host[0] || strlen(host) > (size_t)RESOURCELOADER_HOST_SIZE || !WebGet_IsWhitelisted(host)) return nullptr;
    CEFEngine* engine = CEFEngine_Get();
    if (!engine) return nullptr;

    CEFRequest* refetch = engine->CreateRequest();
    if (!refetch) return nullptr;
    const std::string requestUrl = request->GetURL();
    CEFPostData* postData = request->GetPostData();
    refetch->Set(requestUrl.c_str(), request->GetMethod().c_str(), postData, request->GetHeaderMap());
    Drop(postData);
    refetch->SetFirstPartyForCookies(requestUrl.c_str());
    const std::string referrer = request->GetReferrerURL();
    if (!referrer.empty()) refetch->SetReferrer(referrer.c_str(), request->GetReferrerPolicy());
    const std::string firstParty = request->GetFirstPartyForCookies();
    if (!firstParty.empty()) refetch->SetFirstPartyForCookies(firstParty.c_str());
    refetch->SetFlags(request->GetFlags() | UR_FLAG_ALLOW_STORED_CREDENTIALS | UR_FLAG_STOP_ON_REDIRECT);

    void* memory = Memory_AllocZero(sizeof(ResourceLoader));
    ResourceLoader* loader = new (memory) ResourceLoader();
    loader->Base.ClassId = RESOURCELOADER_CLASS_ID;
    loader->Base.RefCount = 1;
    loader->Base.Delete = DeleteLoader;
    Class_GenerateInstanceIdReal(loader);
    loader->Client.Owner = loader;
    loader->Handler.Owner = loader;
    loader->Popup = popup ? 1 : 0;
    MemoryStream_Create(&loader->Body);
    MemoryStream_SetAutoGrow(loader->Body, 1);

    CEFURLRequest* started = frame->CreateURLRequest(refetch, &loader->Client);
    Drop(refetch);
    if (!started) {
        LoaderRelease(loader);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> guard(loader->Lock);
        // The request may have completed already; then it is not ours to keep.
        if (!loader->Complete) loader->Request = started;
        else started->Release();
    }
    return &loader->Handler;
}
