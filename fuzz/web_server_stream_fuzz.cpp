// Feeds whole kept-alive exchanges to a web server connection: each request's header is read,
// its body taken as the server frames it, and the next request parsed from what follows. A plain
// reading of every accepted header block and its body, independent of the server's, must agree
// with the framing the server used on a connection it kept: no length or coding line another
// reader would honour may be passed over, and a chunked body must end where another reader ends
// it and give the same bytes, or the body would be read as a request of its own.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/web_server_fuzz_setup.h"

using web_server_fuzz::Check;
using web_server_fuzz::g_server;

namespace {

std::string g_body; // what the owner was given of the request's body

int64_t ReadBody(WebServer* s, void*, WebServerConnection* c, int64_t) {
    char buffer[4096];
    int32_t count = 0;
    WebServer_ConnectionRequestRead(s, c, buffer, (int32_t)sizeof(buffer), &count);
    g_body.append(buffer, (size_t)count);
    return 1;
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? (char)(c + 32) : c;
}

bool NamedNoCase(std::string_view name, std::string_view want) {
    if (name.size() != want.size()) return false;
    for (size_t i = 0; i < name.size(); i++)
        if (Lower(name[i]) != want[i]) return false;
    return true;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// What a lenient reader makes of a block: one CR LF before it is passed over, every CR or LF ends
// a line, blanks around a name are dropped, and the length is the digits a value starts with.
struct Reference {
    bool Coding = false;
    bool Chunked = false;  // one coding line, saying chunked
    bool Lengths = false;   // some Content-Length line
    bool Disagree = false;  // lines that state different lengths, or one that is not a length
    uint64_t Length = 0;
};

Reference ReadReference(std::string_view block) {
    Reference r;
    bool first = true;
    if (block.substr(0, 2) == "\r\n") block.remove_prefix(2);
    int32_t codings = 0;
    while (!block.empty()) {
        const size_t end = block.find_first_of("\r\n");
        const std::string_view line = block.substr(0, end);
        block.remove_prefix(end == std::string_view::npos ? block.size() : end + 1);
        if (first) {
            first = false;
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view name = Trim(line.substr(0, colon));
        const std::string_view value = Trim(line.substr(colon + 1));
        if (NamedNoCase(name, "transfer-encoding")) {
            r.Coding = true;
            r.Chunked = ++codings == 1 && NamedNoCase(value, "chunked");
            if (codings > 1) r.Chunked = false;
        }
        if (!NamedNoCase(name, "content-length")) continue;
        uint64_t length = 0;
        size_t digits = 0;
        while (digits < value.size() && digits < 19 && value[digits] >= '0' && value[digits] <= '9')
            length = length * 10 + (uint64_t)(value[digits++] - '0');
        if (digits == 0 || digits != value.size() || (r.Lengths && length != r.Length)) r.Disagree = true;
        r.Lengths = true;
        r.Length = length;
    }
    return r;
}

// A lenient reading of a chunked body at the front of text: sizes are the hex digits a line starts
// with, lines end at LF, the data's line end and the trailer's lines are passed over. The bytes
// it takes (0 when it does not end within the text) and the data.
size_t ReadChunks(std::string_view text, std::string* data) {
    size_t at = 0;
    auto line = [&](std::string_view* out) {
        const size_t lf = text.find('\n', at);
        if (lf == std::string_view::npos) return false;
        *out = text.substr(at, lf - at);
        at = lf + 1;
        return true;
    };
    for (;;) {
        std::string_view size;
        if (!line(&size)) return 0;
        uint64_t n = 0;
        size_t digits = 0;
        for (; digits < size.size() && digits < 16 && isxdigit((unsigned char)size[digits]); digits++) {
            const int c = tolower((unsigned char)size[digits]);
            n = n * 16 + (uint64_t)(isdigit(c) ? c - '0' : c - 'a' + 10);
        }
        if (n == 0) break;
        if (n > text.size() - at) return 0;
        data->append(text.substr(at, n));
        at += n;
        std::string_view end;
        if (!line(&end)) return 0;
    }
    for (std::string_view trailer; line(&trailer);)
        if (trailer.empty() || trailer == "\r") return at;
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    web_server_fuzz::StartServer();
    WebServer_SetConnectionRequestBodyCallback(g_server, nullptr, ReadBody);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1 << 16)) return 0;
    DuplexStream* stream = nullptr;
    WebServerConnection* c = web_server_fuzz::NewConnection(data, size, &stream);
    size_t offset = 0; // of the next request within the input
    for (int32_t round = 0; round < 64; round++) {
        int32_t before = 0, afterHeader = 0, afterBody = 0;
        DuplexStream_ReadGetBufferUsed(stream, &before);
        Check((size_t)before == size - offset);
        if (!WebServer_ConnectionReadRequestHeader(c)) break;
        if (c->Phase == WEBSERVER_PHASE_REQUEST_HEADER) break; // waiting for the rest of a header
        DuplexStream_ReadGetBufferUsed(stream, &afterHeader);
        const std::string_view block(reinterpret_cast<const char*>(data) + offset, (size_t)(before - afterHeader));
        if (c->Phase == WEBSERVER_PHASE_RESPONSE_FINISH) {
            // Refused: the connection ends after its answer, nothing after the header is read.
            Check(!c->Persistent && c->ResponseLength == 0);
            const int32_t code = c->ResponseCode;
            Check(code == 400 || code == 411 || code == 413 || code == 414 || code == 431 || code == 501 ||
                  code == 505);
            break;
        }
        g_body.clear();
        for (int32_t step = 0; c->Phase == WEBSERVER_PHASE_REQUEST_BODY && step < 64; step++) {
            int32_t used = 0;
            DuplexStream_ReadGetBufferUsed(stream, &used);
            if (used == 0) break;
            WebServer_ConnectionReadRequestBody(c);
        }
        if (c->Phase == WEBSERVER_PHASE_REQUEST_BODY) break; // the body goes on past the input
        DuplexStream_ReadGetBufferUsed(stream, &afterBody);
        const int64_t bodyTaken = afterHeader - afterBody;
        if (c->Phase == WEBSERVER_PHASE_RESPONSE_FINISH && c->ResponseCode != 405) {
            // A chunked body refused: answered, and the connection ends.
            Check(c->Chunked && !c->Persistent);
            break;
        }
        Check((size_t)c->BodyRead == g_body.size());
        if (!c->Chunked) Check(bodyTaken == c->BodyRead && (c->RequestLength < 0 || c->BodyRead == c->RequestLength));
        if (!c->Persistent) break;
        // A kept connection: its next bytes are read as a request, so the framing it used must
        // be the one any reader of the block would use.
        const Reference r = ReadReference(block);
        Check(!r.Disagree && r.Coding == (c->Chunked != 0));
        if (c->Chunked) {
            Check(r.Chunked && !r.Lengths);
            std::string decoded;
            const std::string_view rest(reinterpret_cast<const char*>(data) + offset + block.size(),
                                        size - offset - block.size());
            Check(ReadChunks(rest, &decoded) == (size_t)bodyTaken && decoded == g_body);
        } else {
            Check((uint64_t)bodyTaken == (r.Lengths ? r.Length : 0));
        }
        WebServer_ConnectionReset(c);
        c->Phase = WEBSERVER_PHASE_REQUEST_HEADER;
        offset += (size_t)(before - afterBody);
    }
    WebServer_ConnectionFreeDetached(&c);
    return 0;
}
