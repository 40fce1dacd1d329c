// Two kinds of outside input to the script HTTP request. First byte even: a script call (JSON
// text) to "QVR.HttpRequest", every method but those that reach the network. First byte odd: a
// response header as a server might send it, read back through the class and ended as a
// download, which must leave either the new file (a 2xx answer) or the old one, never a partial.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/formats/json.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/web/web_get.h"
#include "core/web/web_get_request.h"
#include "skin/script_http_request.h"
#include "workflow/workflow_app.h"

namespace {

void RequireAt(bool condition, int line) {
    if (condition) return;
    fprintf(stderr, "requirement at line %d failed\n", line);
    std::abort();
}
#define Require(condition) RequireAt((condition), __LINE__)

constexpr uint32_t H(const char* text, size_t length) {
    uint32_t crc = 0xffffffffu;
    for (size_t i = 0; i < length; i++) {
        crc ^= (uint8_t)text[i];
        for (int bit = 0; bit < 8; bit++) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string Folder;

// Nothing here may reach a host.
int64_t DenyEveryHost(const char*) {
    return 0;
}

bool Setup() {
    char pattern[] = "/tmp/http-request-fuzz-XXXXXX";
    Require(mkdtemp(pattern) != nullptr);
    Folder = pattern;
    Require(WorkflowApp_Init("skin_http_request_call_fuzz.log", 0) == 1);
    WebGet_AuthorizeOverride(DenyEveryHost);
    return true;
}

void Pump() {
    for (int i = 0; i < 2; i++) {
        EventQueue_Flush(nullptr);
        NotificationCenter_Process();
    }
}

void Call(HttpRequest* request, const uint8_t* data, size_t size) {
    Dictionary* document = nullptr;
    Dictionary_Create(&document);
    JSON* parser = nullptr;
    JSON_Create(&parser);
    JSON_SetDictionaryHandle(parser, document);
    const int64_t loaded = JSON_LoadBuffer(parser, data, (uint32_t)size);
    JSON_SetDictionaryHandle(parser, nullptr);
    JSON_Release(&parser);
    Dictionary* root = nullptr;
    const char* method = nullptr;
    if (loaded == 1 && Dictionary_SkipRoot(document, &root) && root && !Dictionary_ContainsKey(root, "methodHash") &&
        Dictionary_GetStringPtrByKey(root, "method", &method) && method) {
        // The hash is the bridge's to add, from the method's name.
        const std::string name = method;
        const uint32_t hash = H(name.data(), name.size());
        if (hash != H("start", 5) && hash != H("waitForRequest", 14)) {
            Dictionary_AddInt32(root, "methodHash", (int32_t)hash, nullptr);
            Dictionary* response = nullptr;
            Dictionary_Create(&response);
            // A known method answers with a value, whatever its arguments.
            if (HttpRequest_Invoke(request, root, response)) Require(Dictionary_ContainsKey(response, "returnValue"));
            Dictionary_Release(&response);
            // Clean up would erase whatever file the input named.
            request->Cleanup = 0;
        }
    }
    Dictionary_Release(&document);
}

std::string Read(const std::string& path) {
    std::string text;
    if (FILE* file = fopen(path.c_str(), "rb")) {
        char buffer[256];
        size_t n;
        while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0) text.append(buffer, n);
        fclose(file);
    }
    return text;
}

void Write(const std::string& path, const std::string& text) {
    FILE* file = fopen(path.c_str(), "wb");
    Require(file != nullptr);
    Require(fwrite(text.data(), 1, text.size(), file) == text.size());
    fclose(file);
}

void Answer(HttpRequest* request, const uint8_t* data, size_t size) {
    const std::string target = Folder + "/target";
    Write(target, "old");
    Require(HttpRequest_SetFileName(request, target.c_str()) == 1);
    Write(target + ".partial", "new");
    WebGetRequest* web = request->Request;
    WebGetRequest_Reset(web);
    WebGetRequest_HeaderDecode(web, 1, data, (uint32_t)size);
    HttpRequest_HeaderDoneCallback(web, request);

    char value[512];
    const char* slice = nullptr;
    int32_t length = 0, blockSize = 0;
    HttpRequest_GetResponseHeaderSize(request, &blockSize);
    if (HttpRequest_GetResponseHeader(request, blockSize / 2, blockSize, &slice, &length))
        Require(length >= 0 && length <= blockSize);
    for (const char* name : {"Last-Modified", "Content-Range", "Content-Length", ""}) {
        HttpRequest_GetResponseHeaderValue(request, name, value, sizeof(value));
        HttpRequest_HasResponseHeader(request, name);
    }
    HttpRequest_GetHttpStatus(request, value, sizeof(value));
    int64_t contentLength = 0;
    HttpRequest_GetContentLength(request, &contentLength);

    int32_t code = 0, error = 0, extended = 0;
    HttpRequest_GetHttpCode(request, &code);
    WebGetRequest_GetLastError(web, &error, &extended);
    request->State = HTTPREQUEST_STATE_RUNNING;
    HttpRequest_RequestDone(web, request);
    Require(request->State == HTTPREQUEST_STATE_IDLE);
    struct stat info = {};
    if (code == 304 && error == 0) return;
    Require(stat((target + ".partial").c_str(), &info) != 0);
    if (error == 0 && code >= 200 && code <= 299)
        Require(Read(target) == "new");
    else
        Require(Read(target) == "old");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = Setup();
    (void)ready;
    if (size < 1 || size > 1 << 16) return 0;
    HttpRequest* request = nullptr;
    Require(HttpRequest_Create(&request) == 1);
    if (data[0] & 1)
        Answer(request, data + 1, size - 1);
    else
        Call(request, data + 1, size - 1);
    Pump();
    HttpRequest_Release(&request);
    Pump();
    return 0;
}
