// The in-process route: the program's own requests for the content URL (workflow documents, page
// script's HTTP requests) answered from the skin on the main loop, without a socket.
#include <cstring>

#include "core/formats/mime.h"
#include "core/runtime/debug.h"
#include "core/runtime/hash_table.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/web/web_get.h"
#include "core/web/web_get_header.h"
#include "core/web/web_get_pool.h"
#include "core/web/web_get_request.h"
#include "skin/skin_app.h"
#include "skin/skin_app_internal.h"
#include "skin/skin_file.h"
#include "skin/skin_request_handler.h"
#include "skin/skin_web_server.h"

namespace {

constexpr int32_t kFillChunk = 16384;
constexpr int32_t kRequestsPerPass = 10;
// The entry's value while its answer waits for the body's file writes before it ends.
constexpr uint64_t kEnding = 1;

bool BeginsWithoutCase(const char* text, const char* prefix) {
    const size_t n = strlen(prefix);
    return strlen(text) >= n && String_CompareLengthWithoutCase(text, prefix, (int32_t)n);
}

uint64_t ValueOf(WebGetRequest* request) {
    uint64_t value = 0;
    HashTable* table = SkinApp_GetRequestTable();
    if (!table || !HashTable_GetValue(table, request, &value)) return 0;
    return value;
}

bool Present(WebGetRequest* request) {
    HashTable* table = SkinApp_GetRequestTable();
    return table && HashTable_ContainsKey(table, request);
}

void FreeValue(uint64_t value) {
    if (value > kEnding) {
        SkinFile* file = reinterpret_cast<SkinFile*>(value);
        SkinFile_Release(&file);
    }
}

// Ends the body and the request; the owner's callbacks may drop the request meanwhile.
void Finish(WebGetRequest* request) {
    WebGetRequest_BodyComplete(request, 0);
    WebGetRequest_Done(request);
}

// ---- The sink the request handler answers through ----------------------------------------------

int64_t SkinApp_GetRequestHeader(void* context, const char* name, char* buffer, int32_t capacity) {
    WebGetRequest* request = static_cast<WebGetRequest*>(context);
    if (capacity > 0) buffer[0] = 0;
    // A request that has its body decoded for it takes the plain form: a gzip body passed on
    // here would reach it still encoded.
    if (String_CompareWithoutCase(name, "Accept-Encoding")) {
        uint32_t decode = 0;
        WebGetRequest_GetAutoDecompressContent(request, &decode);
        if (decode) return 0;
    }
    char* block = nullptr;
    int32_t size = 0;
    WebGetRequest_GetHeader(request, &block, &size);
    if (block && WebGet_HeaderGetByName(block, name, buffer, capacity)) return 1;
    if (!String_CompareWithoutCase(name, "Range")) return 0;
    int64_t start = 0, end = 0;
    if (!WebGetRequest_GetByteRange(request, &start, &end)) return 0;
    char text[96];
    if (start > 0 && end == 0)
        String_Print(text, (int32_t)sizeof(text), "bytes=%lld-", (long long)start);
    else
        String_Print(text, (int32_t)sizeof(text), "bytes=%lld-%lld", (long long)start, (long long)end);
    if ((int32_t)strlen(text) >= capacity) return 0;
    String_CopyLength(buffer, text, capacity);
    return 1;
}

int64_t SkinApp_SetResponse(void* context, const char* path, int32_t code, int64_t, int64_t length) {
    WebGetRequest* request = static_cast<WebGetRequest*>(context);
    char* block = nullptr;
    int32_t capacity = 0;
    WebGetRequest_GetResponseHeader(request, &block, &capacity);
    const char* name = path[0] == '/' ? path + 1 : path;
    if (block && code >= 100 && code <= 399 && !BeginsWithoutCase(name, "datastore")) {
        const char* type = nullptr;
        const char* subtype = nullptr;
        MIME_Find(path, &type, &subtype);
        char text[256];
        String_Print(text, (int32_t)sizeof(text), "%s/%s", type ? type : "application",
                     subtype ? subtype : "octet-stream");
        WebGet_HeaderSet(block, capacity, "Content-Type", text, 1);
    }
    if (block) {
        char text[32];
        String_Print(text, (int32_t)sizeof(text), "%lld", (long long)length);
        WebGet_HeaderSet(block, capacity, "Content-Length", text, 1);
    }
    WebGetRequest_SetContentLength(request, length);
    WebGetRequest_SetHTTPCode(request, code);
    WebGetRequest_SetPhase(request, WEBGET_PHASE_BODY);
    // Raises the header-done callback; an owner that refuses the answer has it end here.
    const int64_t accepted = WebGetRequest_BodyStart(request, 0);
    uint32_t type = 0;
    WebGetRequest_GetType(request, &type);
    if (!accepted || code < 100 || code > 399 || type == WEBGET_REQUEST_TYPE_HEAD) Finish(request);
    return WebGetRequest_IsDone(request);
}

int64_t SkinApp_SetResponseHeader(void* context, const char* name, const char* value) {
    char* block = nullptr;
    int32_t capacity = 0;
    WebGetRequest_GetResponseHeader(static_cast<WebGetRequest*>(context), &block, &capacity);
    return block ? WebGet_HeaderSet(block, capacity, name, value, 1) : 0;
}

int64_t SkinApp_PutDataStore(void* context, uint8_t* buffer) {
    WebGetRequest* request = static_cast<WebGetRequest*>(context);
    int64_t length = 0;
    WebGetRequest_GetContentLength(request, &length);
    if (!WebGetRequest_IsDone(request)) {
        uint32_t used = 0;
        if (length > 0) WebGetRequest_BodyProcess(request, buffer, (uint32_t)length, &used);
        Finish(request);
    }
    Memory_Free(buffer, (uint32_t)length + 1);
    return 1;
}

const SkinHandler kRouteHandler = {SkinApp_GetRequestHeader, SkinApp_SetResponse, SkinApp_SetResponseHeader,
                                   SkinApp_PutDataStore};

// Sets up the answer of a new entry. false when the request needs no further pass.
bool Begin(WebGetRequest* request) {
    char* url = nullptr;
    WebGetRequest_GetURLPtr(request, &url);
    SkinFile* file = nullptr;
    const int64_t result = SkinHandler_GetResponse(url ? url : "", 1, request, &kRouteHandler, &file);
    if (!Present(request) || WebGetRequest_IsDone(request)) {
        if (file) SkinFile_Release(&file);
        return false;
    }
    if (result != 1 || !file) {
        // An answer without a body (304, an empty entry) is complete as it stands.
        if (file) SkinFile_Release(&file);
        Finish(request);
        return false;
    }
    HashTableMember* member = nullptr;
    HashTable_MemberFindByKey(SkinApp_GetRequestTable(), request, &member);
    HashTable_MemberSetValue(SkinApp_GetRequestTable(), member, reinterpret_cast<uint64_t>(file));
    return true;
}

// Moves the body on by one chunk. false when the request ended.
bool Fill(WebGetRequest* request, SkinFile* file) {
    int64_t received = 0, length = 0;
    uint32_t limit = 0;
    WebGetRequest_GetTransferLength(request, &received);
    WebGetRequest_GetContentLength(request, &length);
    WebGetRequest_GetLimitBodySize(request, &limit);
    int64_t chunk = kFillChunk;
    if (limit > 0) {
        if ((int64_t)limit - received < chunk) chunk = (int64_t)limit - received;
        if (chunk < 1) {
            WebGetRequest_SetLastError(request, WEBGET_ERROR_SIZE_LIMIT, 0);
            return false;
        }
    }
    if (length - received < chunk) chunk = length - received;
    if (chunk <= 0) return false;
    uint8_t buffer[kFillChunk];
    uint32_t got = 0;
    const int64_t more = SkinFile_Read(file, buffer, (uint32_t)chunk, &got);
    if (got > 0) {
        uint32_t used = 0;
        if (!WebGetRequest_BodyProcess(request, buffer, got, &used) || used < got) return false;
    }
    if (got < (uint32_t)chunk && (!more || got == 0)) {
        // The entry gave less than it declared: the body is cut, not complete.
        WebGetRequest_SetLastError(request, WEBGET_ERROR_UNDERFLOW, 0);
        return false;
    }
    return true;
}

void Drop(WebGetRequest* request) {
    SkinApp_WebGetRequestRemove(request);
}

void Step(WebGetRequest* request) {
    uint64_t value = ValueOf(request);
    if (value == 0) {
        if (!Begin(request)) Drop(request);
        return;
    }
    if (WebGetRequest_ShouldWait(request)) return;
    if (value == kEnding || WebGetRequest_IsDone(request)) {
        if (!WebGetRequest_IsDone(request)) Finish(request);
        Drop(request);
        return;
    }
    if (Fill(request, reinterpret_cast<SkinFile*>(value))) return;
    if (!Present(request)) return;
    // The file is no longer needed; the end waits for the body's writes to land.
    HashTableMember* member = nullptr;
    HashTable_MemberFindByKey(SkinApp_GetRequestTable(), request, &member);
    FreeValue(ValueOf(request));
    HashTable_MemberSetValue(SkinApp_GetRequestTable(), member, kEnding);
    if (WebGetRequest_ShouldWait(request)) return;
    Finish(request);
    Drop(request);
}

} // namespace

int64_t SkinApp_WebGetRequestQueue(WebGetRequest* request) {
    HashTable* table = SkinApp_GetRequestTable();
    if (!table || !request) return 0;
    char* url = nullptr;
    if (!WebGetRequest_GetURLPtr(request, &url) || !url || !SkinApp_IsContentUrl(url)) return 0;
    if (!HashTable_ContainsKey(table, request)) {
        WebGetRequest_AddRef(request);
        HashTable_Add(table, request, 0);
    }
    return 1;
}

int64_t SkinApp_WebGetRequestRemove(WebGetRequest* request) {
    HashTable* table = SkinApp_GetRequestTable();
    uint64_t value = 0;
    if (!table || !request || !HashTable_GetValue(table, request, &value)) return 0;
    HashTable_Remove(table, request);
    FreeValue(value);
    WebGetRequest_Release(&request);
    return 1;
}

int64_t SkinApp_WebGetRequestQueueCallback(WebGetRequest* request) {
    if (SkinApp_WebGetRequestQueue(request)) return 1;
    return WebGetPool_RequestAdd(request);
}

int64_t SkinApp_WebGetRequestRemoveCallback(WebGetRequest* request) {
    if (SkinApp_WebGetRequestRemove(request)) return 1;
    return WebGetPool_RequestRemove(request);
}

int64_t SkinApp_ProcessWebServer() {
    SkinWebServer* server = SkinApp_GetWebServerHandle();
    if (server) SkinWebServer_Process(server);
    HashTable* table = SkinApp_GetRequestTable();
    if (!table) return 1;
    // Taken first and held: an owner's callback may drop any of them while they are answered.
    WebGetRequest* taken[kRequestsPerPass];
    int32_t count = 0;
    HashTableMember* member = nullptr;
    HashTable_MemberGetFirst(table, &member);
    while (member && count < kRequestsPerPass) {
        const void* key = nullptr;
        HashTable_MemberGetKey(table, member, &key);
        WebGetRequest* request = nullptr;
        memcpy(&request, key, sizeof(request));
        taken[count++] = request;
        WebGetRequest_AddRef(request);
        HashTableMember* next = nullptr;
        HashTable_MemberGetNext(table, member, &next);
        member = next;
    }
    for (int32_t i = 0; i < count; i++) {
        if (Present(taken[i])) Step(taken[i]);
        WebGetRequest_Release(&taken[i]);
    }
    return count > 0 ? 1 : 0;
}
