// The skin request handler: decides status, headers and byte range for one skin file request and
// leaves the opened entry (or the data store) for the carrier to stream.
#include "skin/skin_request_handler.h"

#include <cstring>
#include <string_view>

#include "core/formats/url.h"
#include "core/runtime/debug.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/time.h"
#include "core/web/web_get_header.h"
#include "skin/skin_app.h"
#include "skin/skin_file.h"

namespace {

bool EqualsWithoutCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = (char)(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = (char)(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool BeginsWithoutCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsWithoutCase(text.substr(0, prefix.size()), prefix);
}

// A name with a ".." segment, raw or percent-encoded, could reach past the skin's root (a carrier
// may have decoded it, a store may hold such a name); no skin file is named so.
bool ClimbsOut(const char* name) {
    char decoded[SKIN_HANDLER_PATH_SIZE];
    URL_DecodeString(name, decoded, (int32_t)sizeof(decoded));
    std::string_view rest(decoded);
    while (true) {
        const size_t cut = rest.find_first_of("/\\");
        const std::string_view segment = rest.substr(0, cut);
        if (segment == "..") return true;
        if (cut == std::string_view::npos) return false;
        rest.remove_prefix(cut + 1);
    }
}

// The name with its empty and "." segments dropped, so that the configuration check sees the
// name the skin will open ("./app.yaml" and "app.yaml/" open the configuration too).
void Normalise(const char* name, char* out) {
    std::string_view rest(name);
    size_t used = 0;
    while (true) {
        const size_t cut = rest.find_first_of("/\\");
        const std::string_view segment = rest.substr(0, cut);
        if (!segment.empty() && segment != ".") {
            if (used) out[used++] = '/';
            memcpy(out + used, segment.data(), segment.size());
            used += segment.size();
        }
        if (cut == std::string_view::npos) break;
        rest.remove_prefix(cut + 1);
    }
    out[used] = 0;
}

void SetDateHeader(void* context, const SkinHandler* sink, const char* name, EncodedTime time) {
    char text[64];
    Time_EncodedString(TIME_FIELD_RFC1123, text, (int32_t)sizeof(text), time);
    sink->SetResponseHeader(context, name, text);
}

// A request header into the buffer, always terminated whatever the carrier wrote.
bool ReadHeader(void* context, const SkinHandler* sink, const char* name, char* buffer, int32_t capacity) {
    buffer[0] = 0;
    const bool present = sink->GetRequestHeader(context, name, buffer, capacity) != 0;
    buffer[capacity - 1] = 0;
    return present;
}

int64_t Answer(void* context, const SkinHandler* sink, const char* path, int32_t code, int64_t offset = 0) {
    return sink->SetResponse(context, path, code, offset, 0);
}

int64_t ServeDataStore(void* context, const SkinHandler* sink, const char* path) {
    if (!sink->PutDataStore) return Answer(context, sink, path, 404);
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    if (!SkinApp_GetDataStore(nullptr, &buffer, &length) || !buffer) return Answer(context, sink, path, 404);
    sink->SetResponseHeader(context, "Content-Type", "application/json; charset=utf-8");
    sink->SetResponse(context, path, 200, 0, length);
    sink->PutDataStore(context, buffer);
    return 1;
}

} // namespace

int64_t SkinHandler_GetResponse(const char* url, int32_t allowGzip, void* context, const SkinHandler* sink,
                                SkinFile** skinFile) {
    ASSERT_POINTER(url);
    ASSERT_POINTER(sink);
    ASSERT_POINTER(skinFile);
    *skinFile = nullptr;

    // The path without query and fragment. One too long to take whole is refused rather than cut,
    // so that a shortened name never serves another file.
    char path[SKIN_HANDLER_PATH_SIZE] = {0};
    const char* at = nullptr;
    URL_ParsePathPtr(url, &at);
    const size_t pathLength = strcspn(at, "?#");
    if (pathLength >= sizeof(path)) return Answer(context, sink, "", 404);
    memcpy(path, at, pathLength);
    path[pathLength] = 0;
    if (pathLength <= 1) return Answer(context, sink, path, 404);

    // The name is taken as it stands: never macro-expanded, and never allowed to climb.
    char name[SKIN_HANDLER_PATH_SIZE];
    Normalise(path + 1, name);
    if (!name[0]) return Answer(context, sink, path, 404);
    if (EqualsWithoutCase(name, "app.json") || EqualsWithoutCase(name, "app.yaml"))
        return Answer(context, sink, path, 403);
    if (BeginsWithoutCase(name, "datastore")) return ServeDataStore(context, sink, path);
    if (ClimbsOut(name)) return Answer(context, sink, path, 404);

    SkinFile_Create(skinFile);
    SkinFile* file = *skinFile;
    if (!file) return Answer(context, sink, path, 404);
    // A page's files are asked for again and again: they come from memory while unchanged.
    SkinFile_SetUseCache(file, 1);

    char header[SKIN_HANDLER_HEADER_SIZE];
    bool ranged = false;
    int64_t first = 0, last = -1;
    if (ReadHeader(context, sink, "Range", header, (int32_t)sizeof(header))) {
        if (!WebGet_HeaderValueDecodeRange(header, &first, &last)) return Answer(context, sink, path, 416);
        ranged = true;
    } else if (allowGzip == 1) {
        if (ReadHeader(context, sink, "Accept-Encoding", header, (int32_t)sizeof(header)) &&
            String_ContainsStringWithoutCase(header, "gzip"))
            SkinFile_SetReadRaw(file, 1);
    }

    if (!SkinFile_Open(file, name)) return Answer(context, sink, path, 404);

    uint64_t size = 0;
    SkinFile_GetFilesize(file, &size);
    if (size == 0) return sink->SetResponse(context, path, 200, 0, 0);

    EncodedTime modified = 0;
    SkinFile_GetModifiedDateEncoded(file, &modified);
    if (modified > 0 && ReadHeader(context, sink, "If-Modified-Since", header, (int32_t)sizeof(header))) {
        EncodedTime since = 0;
        if (Time_ParseStringEncoded(header, &since) && since >= modified) return Answer(context, sink, path, 304);
    }

    const int64_t total = (int64_t)size;
    int64_t start = 0, length = total;
    if (ranged) {
        int64_t end = last;
        if (first < 0) {
            start = total + first;
            if (start < 0) start = 0;
            end = total - 1;
        } else {
            start = first;
        }
        // A range starting past the entry cannot be served; one ending past it is served up to
        // the end, so that the declared length is always what the entry delivers.
        if (start >= total) return Answer(context, sink, path, 416, start);
        if (end < 0 || end >= total) end = total - 1;
        length = end - start + 1;
        if (start > 0 && !SkinFile_Seek(file, start, SEEK_ORIGIN_BEGIN)) return Answer(context, sink, path, 416, start);
        char range[96];
        String_Print(range, (int32_t)sizeof(range), "bytes %lld-%lld/%lld", (long long)start, (long long)end,
                     (long long)total);
        sink->SetResponseHeader(context, "Content-Range", range);
    } else if (SkinFile_IsOpenedRaw(file)) {
        sink->SetResponseHeader(context, "Content-Encoding", "gzip");
        // The gzip form's size already counts its header and trailer.
        uint64_t compressed = 0;
        SkinFile_GetCompressedSize(file, &compressed);
        length = (int64_t)compressed;
    }

    if (modified > 0) SetDateHeader(context, sink, "Last-Modified", modified);
    sink->SetResponseHeader(context, "Pragma", "no-cache");
    sink->SetResponseHeader(context, "Cache-Control", "no-cache");
    SetDateHeader(context, sink, "Expires", Time_GetCurrentEncoded());
    sink->SetResponse(context, path, ranged ? 206 : 200, start, length);
    return 1;
}
