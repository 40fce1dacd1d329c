// Feeds arbitrary request paths and Range, If-Modified-Since and Accept-Encoding values to the
// skin request handler over a small directory skin and the same skin as a store, and checks that
// every request is answered once, that no name outside the skin is served, and that a body
// delivers exactly the length the answer declared.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "core/formats/url.h"
#include "skin/skin_file.h"
#include "skin/skin_file_internal.h"
#include "skin/skin_request_handler.h"

namespace {

struct Request {
    const char* header[3] = {nullptr, nullptr, nullptr}; // Range, If-Modified-Since, Accept-Encoding
    int responses = 0;
    int32_t code = 0;
    int64_t length = -1;
};

const char* const kNames[3] = {"Range", "If-Modified-Since", "Accept-Encoding"};

int64_t GetHeader(void* context, const char* name, char* buffer, int32_t capacity) {
    const auto* r = static_cast<Request*>(context);
    for (int i = 0; i < 3; i++) {
        if (strcmp(name, kNames[i]) != 0 || !r->header[i]) continue;
        const size_t length = strlen(r->header[i]);
        if ((int64_t)length >= capacity) return 0;
        memcpy(buffer, r->header[i], length + 1);
        return 1;
    }
    return 0;
}
int64_t SetResponse(void* context, const char*, int32_t code, int64_t, int64_t length) {
    auto* r = static_cast<Request*>(context);
    r->responses++;
    r->code = code;
    r->length = length;
    return 0;
}
int64_t SetHeader(void*, const char*, const char*) {
    return 1;
}

const SkinHandler kSink = {GetHeader, SetResponse, SetHeader, nullptr};

std::string g_root;
std::string g_store;

void Write(const std::string& path, const std::string& text) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) abort();
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

void MakeSkin() {
    char pattern[] = "/tmp/qvr-fuzz-skin-XXXXXX";
    if (!mkdtemp(pattern)) abort();
    g_root = pattern;
    const std::string skin = g_root + "/skin";
    mkdir(skin.c_str(), 0700);
    mkdir((skin + "/sub").c_str(), 0700);
    std::string text;
    for (int i = 0; i < 300; i++) text += "line " + std::to_string(i % 11) + "\n";
    Write(skin + "/index.html", text);
    Write(skin + "/sub/a.js", "var a = 1;\n");
    Write(skin + "/empty.txt", "");
    Write(g_root + "/outside.txt", "outside");
    const std::string command = "cd '" + skin + "' && zip -q -X -r ../skin.zip . 2>/dev/null";
    if (system(command.c_str()) == 0) {
        FILE* f = fopen((g_root + "/skin.zip").c_str(), "rb");
        if (f) {
            char buffer[4096];
            size_t n;
            while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0) g_store.append(buffer, n);
            fclose(f);
        }
    }
}

void Attach(bool store) {
    SkinFile_Remove();
    if (store && !g_store.empty())
        SkinFile_AttachImage(reinterpret_cast<const uint8_t*>(g_store.data()), (uint32_t)g_store.size(),
                             (g_root + "/skin.zip").c_str());
    else SkinFile_Attach((g_root + "/skin").c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (g_root.empty()) MakeSkin();
    if (size < 1) return 0;
    const uint8_t flags = data[0];
    // The rest: the URL and up to three header values, one a line; a header line is absent when
    // the flags say so.
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string part[4];
    for (int i = 0, at = 0; i < 4; i++) {
        const size_t end = text.find('\n', (size_t)at);
        part[i] = text.substr((size_t)at, end == std::string::npos ? std::string::npos : end - (size_t)at);
        if (end == std::string::npos) break;
        at = (int)end + 1;
    }
    Request request;
    for (int i = 0; i < 3; i++)
        if (flags & (2 << i)) request.header[i] = part[i + 1].c_str();

    Attach(flags & 0x10);
    SkinFile* file = nullptr;
    const int64_t result = SkinHandler_GetResponse(part[0].c_str(), flags & 1, &request, &kSink, &file);
    if (request.responses != 1 || request.length < 0) abort();
    if (result == 1) {
        if (!file || request.length < 1 || (request.code != 200 && request.code != 206)) abort();
        static char buffer[16384];
        int64_t delivered = 0;
        for (int calls = 0; calls < 100000 && delivered < request.length; calls++) {
            uint32_t got = 0;
            const int64_t more = SkinFile_Read(file, buffer, sizeof(buffer), &got);
            delivered += got;
            if (!more) break;
        }
        if (delivered < request.length) abort();
        const char* path = nullptr;
        URL_ParsePathPtr(part[0].c_str(), &path);
        if (std::string(path, strcspn(path, "?#")).find("outside") != std::string::npos) abort();
    }
    if (file) SkinFile_Delete(&file);
    return 0;
}
