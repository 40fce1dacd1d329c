// What a web server owner's callbacks do with a connection: read the parsed request and its body,
// set the status, length and header lines of the answer, and stream the answer's body.
#include <array>
#include <cstring>
#include <string_view>

#include "core/formats/url.h"
#include "core/net/async_socket.h"
#include "core/platform/duplex_stream.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/time.h"
#include "core/web/web_get_header.h"
#include "core/web/web_server.h"
#include "core/web/web_server_internal.h"

namespace {

struct CodeText {
    int32_t Code;
    const char* Text;
};

constexpr CodeText WebServer_ResponseCodeStringTable[] = {
    {0, ""},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {204, "No Content"},
    {206, "Partial Content"},
    {301, "Moved Permanently"},
    {302, "Moved Temporarily"},
    {304, "Not Modified"},
    {400, "Bad Request"},
    {401, "Authorization Required"},
    {403, "Forbidden"},
    {404, "Object Not Found"},
    {411, "Length Required"},
    {413, "Payload Too Large"},
    {414, "URI Too Long"},
    {416, "Requested Range Not Satisfiable"},
    {429, "Too Many Requests"},
    {431, "Request Header Fields Too Large"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {505, "HTTP Version Not Supported"},
    {509, "Bandwidth Limit Exceeded"},
};

WebServerConnection* Conn(WebServerConnection* connection) {
    return WebServer_CheckedConnection(connection);
}

const char* HeaderValue(WebServerConnection* c, const char* name) {
    const char* text = nullptr;
    if (!Dictionary_GetStringPtrByKey(c->RequestHeader, name, &text)) return nullptr;
    return text ? text : "";
}

// A decimal length of at most 18 digits, nothing else: 19 could pass the signed 64-bit range.
bool ParseLength(std::string_view text, int64_t* value) {
    if (text.empty() || text.size() > 18) return false;
    int64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    *value = v;
    return true;
}

// Byte classes of a request's header block, looked up once per byte.
enum : uint8_t { kToken = 1, kVisible = 2, kValue = 4 };

constexpr std::array<uint8_t, 256> MakeClasses() {
    std::array<uint8_t, 256> t{};
    constexpr std::string_view kTokenMarks = "!#$%&'*+-.^_`|~";
    for (int32_t c = 0; c < 256; c++) {
        uint8_t k = 0;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            kTokenMarks.find((char)c) != std::string_view::npos)
            k |= kToken;
        if (c > 32 && c < 127) k |= kVisible;
        // A value holds blanks, visible characters and bytes past ASCII; any other control byte
        // (the CR that ends the line among them) stops it.
        if (c == '\t' || (c >= 32 && c != 127)) k |= kValue;
        t[(size_t)c] = k;
    }
    return t;
}

constexpr std::array<uint8_t, 256> kClasses = MakeClasses();

bool Is(uint8_t c, uint8_t kind) {
    return (kClasses[c] & kind) != 0;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool EqualNoCase(std::string_view a, const char* b) {
    const size_t n = strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; i++) {
        char x = a[i];
        if (x >= 'A' && x <= 'Z') x = (char)(x + 32);
        if (x != b[i]) return false;
    }
    return true;
}

bool IsToken(std::string_view text) {
    if (text.empty()) return false;
    for (const char c : text)
        if (!Is((uint8_t)c, kToken)) return false;
    return true;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// The outcome of reading a line: done (next holds its length with its CR LF), more bytes needed,
// or refused.
enum class Line { Done, More, Refused };

Line Refuse(WebServerConnection* c, int32_t code, int32_t line, const char* why) {
    c->ResponseCode = code;
    if (line > 0)
        WebServer_ConnectionPrint(c, "Request header line %d refused: %s", line, why);
    else
        WebServer_ConnectionPrint(c, "Request header refused: %s", why);
    return Line::Refused;
}

void AddWord(Dictionary* words, const uint8_t* text, int32_t length) {
    DictionaryItem* item = nullptr;
    Dictionary_Add(words, nullptr, &item);
    if (!item) return;
    Dictionary_ItemSetType(words, item, DICTIONARY_TYPE_STRING);
    Dictionary_ItemSetBuffer(words, item, reinterpret_cast<const char*>(text), length);
}

void CopyText(char* out, size_t capacity, const uint8_t* text, size_t length) {
    if (length >= capacity) length = capacity - 1;
    memcpy(out, text, length);
    out[length] = 0;
}

// Keeps where the line under way's reading stopped (from the line's start) and in which step,
// for the next look once more bytes came.
Line More(WebServerConnection* c, int32_t at, uint32_t step) {
    c->LineAt = at;
    c->LineStep = step;
    return Line::More;
}

// "method SP target SP HTTP/d.d CR LF": the method a token, the target visible characters, the
// version HTTP/1.x. Blanks other than the two single spaces are refused: readers that split on
// any whitespace would see other words. Taken up where the last look stopped: the ends of the
// words passed are in LineMarks (method end, target start, target end, version start).
Line ReadRequestLine(WebServerConnection* c, const uint8_t* d, int32_t n, int32_t* next) {
    int32_t i = c->LineFrom = c->LineAt;
    int32_t* mark = c->LineMarks;
    switch (c->LineStep) {
    case 0:
        while (i < n && Is(d[i], kToken)) i++;
        if (i >= (int32_t)sizeof(c->Method)) return Refuse(c, 501, 1, "a method longer than any served");
        if (i == n) return More(c, i, 0);
        if (d[i] != ' ' || i == 0) return Refuse(c, 400, 1, "a method that is not a token");
        mark[0] = i;
        mark[1] = ++i;
        [[fallthrough]];
    case 1:
        while (i < n && Is(d[i], kVisible)) i++;
        if (i - mark[1] >= (int32_t)sizeof(c->URL)) return Refuse(c, 414, 1, "a target too long");
        if (i == n) return More(c, i, 1);
        if (d[i] != ' ' || i == mark[1]) return Refuse(c, 400, 1, "a target that is not visible characters");
        mark[2] = i;
        mark[3] = ++i;
        [[fallthrough]];
    default: break;
    }
    const int32_t methodEnd = mark[0], target = mark[1], targetEnd = mark[2], version = mark[3];
    while (i < n && i - version <= 8 && Is(d[i], kVisible)) i++;
    if (i - version > 8) return Refuse(c, 400, 1, "a version that is not HTTP/x.y");
    if (i == n) return More(c, i, 2);
    if (d[i] == ' ') return Refuse(c, 400, 1, "more than three words");
    if (d[i] == '\r' && i + 1 == n) return More(c, i, 2);
    if (d[i] != '\r' || d[i + 1] != '\n')
        return Refuse(c, 400, 1, d[i] == '\r' || d[i] == '\n' ? "a bare CR or LF" : "a control character");
    const std::string_view text(reinterpret_cast<const char*>(d + version), (size_t)(i - version));
    const bool numbered = text.size() == 8 && text.substr(0, 5) == "HTTP/" && text[5] >= '0' && text[5] <= '9' &&
                          text[6] == '.' && text[7] >= '0' && text[7] <= '9';
    if (!numbered) return Refuse(c, 400, 1, "a version that is not HTTP/x.y");
    if (text[5] != '1') return Refuse(c, 505, 1, "a version other than HTTP/1.x");
    CopyText(c->Method, sizeof(c->Method), d, (size_t)methodEnd);
    CopyText(c->URL, sizeof(c->URL), d + target, (size_t)(targetEnd - target));
    CopyText(c->Version, sizeof(c->Version), d + version + 5, 3);
    Dictionary* words = nullptr;
    Dictionary_AddList(c->RequestHeader, nullptr, &words, nullptr);
    if (words) {
        AddWord(words, d, methodEnd);
        AddWord(words, d + target, targetEnd - target);
        AddWord(words, d + version, 8);
    }
    *next = i + 2;
    return Line::Done;
}

// A Connection value: a list of tokens, any one of which may be close.
void ReadConnection(WebServerConnection* c, std::string_view value) {
    c->HeaderConnection = 1;
    while (!value.empty()) {
        const size_t comma = value.find(',');
        const std::string_view member = Trim(value.substr(0, comma));
        value.remove_prefix(comma == std::string_view::npos ? value.size() : comma + 1);
        // A member that is no token cannot be read for sure: the safe reading is the close.
        if (!member.empty() && (!IsToken(member) || EqualNoCase(member, "close"))) c->HeaderClose = 1;
    }
}

// A Transfer-Encoding value: chunked alone is read; a list of other codings is one this server
// does not implement.
Line ReadCoding(WebServerConnection* c, int32_t number, std::string_view value) {
    if (++c->HeaderCodings > 1) return Refuse(c, 400, number, "a second Transfer-Encoding");
    if (EqualNoCase(value, "chunked")) return Line::Done;
    bool tokens = !value.empty();
    for (std::string_view rest = value; tokens && !rest.empty();) {
        const size_t comma = rest.find(',');
        tokens = IsToken(Trim(rest.substr(0, comma)));
        rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
    }
    return Refuse(c, tokens ? 501 : 400, number, "a Transfer-Encoding other than chunked");
}

// A header line, or the empty line that ends the block (next is then 2). Lines end at CR LF and
// nowhere else; a bare CR or LF, a folded line, a name that is not a token (blanks before the
// colon among them) or a control byte in a value refuses the whole block, since other readers
// of the same bytes would read them differently.
Line ReadFieldLine(WebServerConnection* c, const uint8_t* d, int32_t n, int32_t* next) {
    const int32_t number = c->HeaderLines + 1;
    int32_t i = c->LineFrom = c->LineAt;
    // Taken up where the last look stopped: in the name (step 1) or the value (step 2), whose
    // start is LineMarks[1] after the colon at LineMarks[0].
    int32_t* mark = c->LineMarks;
    if (c->LineStep == 0) {
        if (n == 0) return Line::More;
        if (d[0] == '\r') {
            if (n < 2) return Line::More;
            if (d[1] != '\n') return Refuse(c, 400, number, "a bare CR or LF");
            *next = 2;
            return Line::Done;
        }
        if (d[0] == '\n') return Refuse(c, 400, number, "a bare CR or LF");
        if (IsBlank((char)d[0])) return Refuse(c, 400, number, "a folded continuation line");
        c->LineStep = 1;
    }
    if (c->LineStep == 1) {
        while (i < n && Is(d[i], kToken)) i++;
        if (i > DICTIONARY_MAX_KEY_LENGTH) return Refuse(c, 400, number, "a name too long");
        if (i == n) return More(c, i, 1);
        if (d[i] != ':') {
            if (IsBlank((char)d[i])) return Refuse(c, 400, number, "whitespace in the name or before the colon");
            if (d[i] == '\r' || d[i] == '\n') return Refuse(c, 400, number, "no colon");
            return Refuse(c, 400, number, "a character not allowed in a name");
        }
        mark[0] = i++;
        mark[1] = i;
    }
    const int32_t nameEnd = mark[0];
    const int32_t valueStart = mark[1];
    while (i < n && Is(d[i], kValue)) i++;
    if (i == n || (d[i] == '\r' && i + 1 == n)) return More(c, i, 2);
    if (d[i] != '\r' || d[i + 1] != '\n')
        return Refuse(c, 400, number,
                      d[i] == '\r' || d[i] == '\n' ? "a bare CR or LF" : "a control character in the value");
    *next = i + 2;
    const std::string_view name(reinterpret_cast<const char*>(d), (size_t)nameEnd);
    const std::string_view value =
        Trim(std::string_view(reinterpret_cast<const char*>(d + valueStart), (size_t)(i - valueStart)));
    switch (name.size()) {
    case 7:
        if (!c->Referer[0] && EqualNoCase(name, "referer"))
            CopyText(c->Referer, sizeof(c->Referer), reinterpret_cast<const uint8_t*>(value.data()), value.size());
        break;
    case 10:
        if (EqualNoCase(name, "connection"))
            ReadConnection(c, value);
        else if (!c->UserAgent[0] && EqualNoCase(name, "user-agent"))
            CopyText(c->UserAgent, sizeof(c->UserAgent), reinterpret_cast<const uint8_t*>(value.data()),
                     value.size());
        break;
    case 14:
        if (EqualNoCase(name, "content-length")) {
            int64_t length = 0;
            if (!ParseLength(value, &length)) return Refuse(c, 400, number, "a Content-Length that is not a length");
            // The same length stated twice is one length; two different ones are a guess.
            if (c->HeaderLength >= 0 && c->HeaderLength != length)
                return Refuse(c, 400, number, "a second, different Content-Length");
            c->HeaderLength = length;
        }
        break;
    case 17:
        if (EqualNoCase(name, "transfer-encoding") && ReadCoding(c, number, value) == Line::Refused)
            return Line::Refused;
        break;
    default: break;
    }
    WebGet_HeaderAddField(c->RequestHeader, name.data(), (int32_t)name.size(), value.data(), (int32_t)value.size());
    return Line::Done;
}

} // namespace

void WebServer_ConnectionResetReading(WebServerConnection* c) {
    c->HeaderRead = 0;
    c->LineAt = 0;
    c->LineFrom = 0;
    c->LineStep = 0;
    c->HeaderScanned = 0;
    c->HeaderLines = 0;
    c->HeaderSkipped = 0;
    c->HeaderLength = -1;
    c->HeaderCodings = 0;
    c->HeaderConnection = 0;
    c->HeaderClose = 0;
    c->Chunked = 0;
    c->ChunkStep = WEBSERVER_CHUNK_SIZE;
    c->ChunkLeft = 0;
    c->ChunkTotal = 0;
    c->TrailerBytes = 0;
    c->ChunkRefusal = 0;
}

int64_t WebServer_ConnectionReadHeaderBytes(WebServerConnection* c, const uint8_t* data, int32_t used,
                                            int32_t* end) {
    *end = 0;
    // The whole block, its empty line included, is at most this long: what lies past it is never
    // looked at, and a block not ended within it is refused.
    constexpr int32_t kLimit = kWebServerMaxHeader - 1;
    const bool cut = used > kLimit;
    const int32_t n = cut ? kLimit : used;
    int32_t at = c->HeaderRead;
    for (;;) {
        int32_t next = 0;
        const bool first = c->HeaderLines == 0;
        const Line line =
            first ? ReadRequestLine(c, data + at, n - at, &next) : ReadFieldLine(c, data + at, n - at, &next);
        if (line == Line::Refused) return -1;
        if (line == Line::More) {
            // Neither whole lines nor the part of this one already read are read again when the
            // rest comes.
            c->HeaderScanned += (uint64_t)(c->LineAt - c->LineFrom);
            c->HeaderRead = at;
            if (!cut) return 0;
            Refuse(c, first ? 414 : 431, 0, first ? "a request line too long" : "a header block too large");
            return -1;
        }
        c->HeaderScanned += (uint64_t)(next - c->LineFrom);
        c->LineAt = 0;
        c->LineStep = 0;
        at += next;
        c->HeaderLines++;
        if (!first && next == 2) break;
    }
    c->HeaderRead = at;
    if (c->HeaderCodings && c->HeaderLength >= 0) {
        Refuse(c, 400, 0, "both Content-Length and Transfer-Encoding");
        return -1;
    }
    *end = at;
    return 1;
}

int64_t WebServer_ConnectionTakeRequest(WebServerConnection* c) {
    WebServer* s = c->Server;
    URL_ParsePath(c->URL, c->FileName, (int32_t)sizeof(c->FileName));
    if (!c->FileName[0]) String_CopyLength(c->FileName, s->DefaultDocument, (int32_t)sizeof(c->FileName));
    const bool isPost = strcmp(c->Method, "POST") == 0;
    if (c->HeaderCodings) {
        // HTTP/1.0 has no transfer codings: where such a body ends is not known.
        if (strcmp(c->Version, "1.0") == 0) {
            Refuse(c, 400, 0, "a Transfer-Encoding in an HTTP/1.0 request");
            return 0;
        }
        // Only a POST's body is read: any other body of unknown length cannot be passed over.
        if (!isPost) {
            Refuse(c, 411, 0, "a chunked body on a request whose body is not read");
            return 0;
        }
        c->Chunked = 1;
    } else if (isPost && c->HeaderLength >= 0) {
        c->RequestLength = c->HeaderLength;
    }
    c->Persistent = s->PersistentConnections && c->HeaderConnection && !c->HeaderClose;
    // A body that is not read here (any but a POST's) would be taken for the next request: such a
    // connection ends after its answer.
    if (!isPost && c->HeaderLength > 0) c->Persistent = 0;

    if (WebServer_ConnectionIsVerboseLevel(c, 8)) {
        WebServer_ConnectionPrint(c, "Method [%s]", c->Method);
        WebServer_ConnectionPrint(c, "URL [%s] [%s]", c->URL, c->FileName);
        WebServer_ConnectionPrint(c, "User Agent [%s]", c->UserAgent);
        WebServer_ConnectionPrint(c, "Version [%s]", c->Version);
        WebServer_ConnectionPrint(c, "Persistent [%s]", c->Persistent ? "True" : "False");
        WebServer_ConnectionPrint(c, "---- Header In Begin ----");
        Dictionary_Dump(c->RequestHeader);
    }
    return 1;
}

int64_t WebServer_ConnectionParseRequestHeader(WebServerConnection* connection, const char* block) {
    WebServerConnection* c = Conn(connection);
    ASSERT_POINTER(block);
    WebServer_ConnectionReset(c);
    const size_t length = strlen(block);
    const uint8_t* data = reinterpret_cast<const uint8_t*>(block);
    size_t start = 0;
    if (length >= 2 && block[0] == '\r' && block[1] == '\n') start = 2;
    int32_t end = 0;
    const int32_t used = length - start > (size_t)kWebServerMaxHeader ? kWebServerMaxHeader : (int32_t)(length - start);
    if (WebServer_ConnectionReadHeaderBytes(c, data + start, used, &end) != 1) return 0;
    if ((size_t)end != length - start) return 0;
    return WebServer_ConnectionTakeRequest(c);
}

namespace {

// ---- Chunked request bodies --------------------------------------------------------------------

// A chunk's size line (the size in hexadecimal and its extensions) is at most this long.
constexpr int32_t kChunkLineMax = 1024;

bool RefuseBody(WebServerConnection* c, int32_t code, const char* why) {
    c->ChunkRefusal = code;
    WebServer_ConnectionPrint(c, "Request body refused: %s", why);
    return false;
}

// The length of the line at the front of data, ended by CR LF: 1 and the length without the CR
// LF; 0 while it is not whole; -1 for a bare CR or LF or another control byte; -2 when it is
// longer than max.
int32_t FrontLine(const uint8_t* data, int32_t used, int32_t max, int32_t* length) {
    const int32_t n = used < max ? used : max;
    for (int32_t i = 0; i < n; i++) {
        if (data[i] == '\r') {
            if (i + 1 >= used) return 0;
            if (data[i + 1] != '\n') return -1;
            *length = i;
            return 1;
        }
        if (!Is(data[i], kValue)) return -1;
    }
    return used >= max ? -2 : 0;
}

int32_t HexDigit(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One step of the framing at the front of the read buffer: false when it is refused; *taken is
// the framing bytes it read (0 while more are needed).
bool ChunkStep(WebServerConnection* c, const uint8_t* data, int32_t used, int32_t* taken) {
    WebServer* s = c->Server;
    *taken = 0;
    int32_t length = 0;
    switch (c->ChunkStep) {
    case WEBSERVER_CHUNK_DATA_END: {
        const int32_t found = FrontLine(data, used, 2, &length);
        if (found == 0) return true;
        if (found < 0 || length != 0) return RefuseBody(c, 400, "no CR LF after a chunk's data");
        c->ChunkStep = WEBSERVER_CHUNK_SIZE;
        *taken = 2;
        return true;
    }
    case WEBSERVER_CHUNK_SIZE: {
        const int32_t found = FrontLine(data, used, kChunkLineMax, &length);
        if (found == 0) return true;
        if (found < 0) return RefuseBody(c, 400, "a chunk size line that is not one line");
        int32_t i = 0;
        int64_t size = 0;
        bool over = false;
        for (int32_t digit; i < length && (digit = HexDigit(data[i])) >= 0; i++) {
            // Past the bound is past it, whatever digits follow.
            if (size > ((int64_t)1 << 40)) over = true;
            if (!over) size = size * 16 + digit;
        }
        // More digits than a 64-bit size has are read differently by other readers.
        if (i == 0 || i > 16) return RefuseBody(c, 400, "a chunk size that is not hexadecimal");
        int32_t j = i;
        while (j < length && IsBlank((char)data[j])) j++;
        if (j < length && data[j] != ';') return RefuseBody(c, 400, "a chunk size that is not hexadecimal");
        if (over || size > s->MaxRequestBody - c->ChunkTotal) {
            WebServer_ConnectionPrint(c, "Request body too large (chunked)");
            c->ChunkRefusal = 413;
            return false;
        }
        c->ChunkTotal += size;
        c->ChunkLeft = size;
        c->ChunkStep = size > 0 ? WEBSERVER_CHUNK_DATA : WEBSERVER_CHUNK_TRAILER;
        *taken = length + 2;
        return true;
    }
    case WEBSERVER_CHUNK_TRAILER: {
        const int32_t found = FrontLine(data, used, kWebServerMaxHeader, &length);
        if (found == 0) return true;
        if (found == -2 || c->TrailerBytes + length + 2 > kWebServerMaxHeader)
            return RefuseBody(c, 431, "a trailer too large");
        if (found < 0) return RefuseBody(c, 400, "a trailer line that is not one line");
        if (length > 0) {
            // Trailer fields are read past, never taken: they must still be fields.
            int32_t i = 0;
            while (i < length && Is(data[i], kToken)) i++;
            if (i == 0 || i == length || data[i] != ':') return RefuseBody(c, 400, "a trailer line that is no field");
        }
        c->TrailerBytes += length + 2;
        if (length == 0) c->ChunkStep = WEBSERVER_CHUNK_DONE;
        *taken = length + 2;
        return true;
    }
    default: return true;
    }
}

} // namespace

bool WebServer_ConnectionChunkFraming(WebServerConnection* c) {
    if (c->ChunkRefusal) return false;
    for (;;) {
        if (c->ChunkStep == WEBSERVER_CHUNK_DATA) {
            if (c->ChunkLeft > 0) return true;
            c->ChunkStep = WEBSERVER_CHUNK_DATA_END;
        }
        if (c->ChunkStep == WEBSERVER_CHUNK_DONE) return true;
        uint8_t* data = nullptr;
        int32_t used = 0;
        DuplexStream_ReadGetPointer(c->Stream, &data, &used);
        int32_t taken = 0;
        const bool ok = data && used > 0 ? ChunkStep(c, data, used, &taken) : true;
        if (data) DuplexStream_ReadReleasePointer(c->Stream, &data);
        if (!ok) return false;
        if (taken == 0) return true;
        uint32_t got = 0;
        DuplexStream_ReadGet(c->Stream, nullptr, (uint32_t)taken, &got);
    }
}

int64_t WebServer_ConnectionTakeBody(WebServerConnection* c, void* buffer, int64_t size, uint32_t* count) {
    *count = 0;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    if (!c->Chunked) {
        if (c->RequestLength >= 0 && size > c->RequestLength - c->BodyRead) size = c->RequestLength - c->BodyRead;
        if (size <= 0) return 1;
        const int64_t ok = DuplexStream_ReadGet(c->Stream, out, (uint32_t)size, count);
        c->BodyRead += *count;
        return ok;
    }
    while (*count < size && WebServer_ConnectionChunkFraming(c) && c->ChunkStep == WEBSERVER_CHUNK_DATA) {
        int32_t used = 0;
        DuplexStream_ReadGetBufferUsed(c->Stream, &used);
        int64_t want = size - *count;
        if (want > c->ChunkLeft) want = c->ChunkLeft;
        if (want > used) want = used;
        if (want <= 0) break;
        uint32_t got = 0;
        if (!DuplexStream_ReadGet(c->Stream, out ? out + *count : nullptr, (uint32_t)want, &got)) return 0;
        if (got == 0) break;
        *count += got;
        c->BodyRead += got;
        c->ChunkLeft -= got;
    }
    // The framing after the data read, so that a body whose end has come is seen to have ended.
    WebServer_ConnectionChunkFraming(c);
    return 1;
}

namespace {

void SetDate(WebServerConnection* c, const char* name, double time) {
    char text[64];
    Time_EncodedString(TIME_FIELD_RFC1123, text, (int32_t)sizeof(text), time);
    Dictionary_SetStringByKey(c->ResponseHeader, name, text);
}

// Puts the whole text into the write buffer or nothing of it.
int64_t PutAll(WebServerConnection* c, const char* data, int32_t length) {
    DuplexStream_WriteLock(c->Stream);
    int32_t left = 0;
    DuplexStream_WriteGetBufferLeft(c->Stream, &left);
    const int64_t ok = left >= length && DuplexStream_WritePut(c->Stream, data, (uint32_t)length);
    DuplexStream_WriteUnlock(c->Stream);
    return ok;
}

// Within a pass the pass itself sends the bytes, on the server's thread; otherwise a socket
// thread does.
void StartWriting(WebServerConnection* c) {
    if (c->Socket && !c->Busy) AsyncSocket_StartWriting(c->Socket);
}

// Within a pass the pass signals once at its end; otherwise the connection is signalled now.
void SignalOwner(WebServerConnection* c) {
    if (c->Busy)
        c->SignalDue = 1;
    else
        WebServer_ConnectionSignal(c);
}

} // namespace

// ---- Request side ----------------------------------------------------------------------------

int64_t WebServer_ConnectionGetRequestHeader(WebServer*, WebServerConnection* connection, const char* name,
                                             char* buffer, int32_t size) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    const char* value = HeaderValue(Conn(connection), name);
    if (!value) return 0;
    String_CopyLength(buffer, value, size);
    return 1;
}

int64_t WebServer_ConnectionHasContentRange(WebServer*, WebServerConnection* connection) {
    return HeaderValue(Conn(connection), "Range") != nullptr;
}

int64_t WebServer_ConnectionRequestRead(WebServer*, WebServerConnection* connection, void* buffer, int32_t size,
                                        int32_t* count) {
    ASSERT_POINTER(count);
    *count = 0;
    WebServerConnection* c = Conn(connection);
    c->LastTouch = c->Server->Now;
    if (size > 0) {
        ASSERT_POINTER(buffer);
        uint32_t got = 0;
        DuplexStream_ReadLock(c->Stream);
        const int64_t ok = WebServer_ConnectionTakeBody(c, buffer, size, &got);
        DuplexStream_ReadUnlock(c->Stream);
        if (!ok) {
            WebServer_ConnectionPrint(c, "Failed reading from stream");
            return 0;
        }
        *count = (int32_t)got;
    }
    SignalOwner(c);
    return 1;
}

#define WEBSERVER_CONNECTION_GET(Name, Type, Expr)                                                  \
    int64_t WebServer_Connection##Name(WebServer*, WebServerConnection* connection, Type* out) {     \
        ASSERT_POINTER(out);                                                                        \
        WebServerConnection* c = Conn(connection);                                                  \
        *out = Expr;                                                                                \
        return 1;                                                                                   \
    }

WEBSERVER_CONNECTION_GET(GetIP, uint32_t, c->RemoteAddress)
WEBSERVER_CONNECTION_GET(GetPort, uint32_t, c->RemotePort)
WEBSERVER_CONNECTION_GET(GetMethodPtr, const char*, c->Method)
WEBSERVER_CONNECTION_GET(GetURLPtr, const char*, c->URL)
WEBSERVER_CONNECTION_GET(GetFilenamePtr, const char*, c->FileName)
WEBSERVER_CONNECTION_GET(GetVersionPtr, const char*, c->Version)
WEBSERVER_CONNECTION_GET(GetConnectTime, double, c->ConnectTime)
WEBSERVER_CONNECTION_GET(GetLastTouch, double, c->LastTouch)
WEBSERVER_CONNECTION_GET(GetResponseCode, int32_t, c->ResponseCode)
WEBSERVER_CONNECTION_GET(GetDuplexStreamHandle, DuplexStream*, c->Stream)
WEBSERVER_CONNECTION_GET(GetAsyncSocketHandle, AsyncSocket*, c->Socket)
WEBSERVER_CONNECTION_GET(GetUserHandle, void*, c->UserHandle)

int64_t WebServer_ConnectionSetUserHandle(WebServer*, WebServerConnection* connection, void* handle) {
    Conn(connection)->UserHandle = handle;
    return 1;
}

// ---- Response side ---------------------------------------------------------------------------

int64_t WebServer_ConnectionSetResponse(WebServer*, WebServerConnection* connection, int32_t code, int64_t length) {
    WebServerConnection* c = Conn(connection);
    c->ResponseCode = code;
    c->ResponseLength = length;
    return 1;
}

int64_t WebServer_ConnectionSetResponseHeader(WebServer*, WebServerConnection* connection, const char* name,
                                              const char* format, ...) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(format);
    WebServerConnection* c = Conn(connection);
    va_list args;
    va_start(args, format);
    int64_t ok;
    // Most owners pass a ready value through "%s": it is stored as it is, without the formatter.
    if (format[0] == '%' && format[1] == 's' && format[2] == 0) {
        const char* value = va_arg(args, const char*);
        ok = Dictionary_SetStringByKey(c->ResponseHeader, name, value ? value : "");
    } else {
        ok = Dictionary_SetStringByKeyV(c->ResponseHeader, name, format, args);
    }
    va_end(args);
    return ok ? 1 : 0;
}

int64_t WebServer_ConnectionSetExpires(WebServer*, WebServerConnection* connection, double time) {
    SetDate(Conn(connection), "Expires", time);
    return 1;
}

int64_t WebServer_ConnectionSetDateEncoded(WebServer*, WebServerConnection* connection, double time) {
    SetDate(Conn(connection), "Last-Modified", time);
    return 1;
}

int64_t WebServer_ConnectionSetResponseCodeTranslator(WebServer*, WebServerConnection* connection,
                                                      WebServerCodeTranslatorFunc function) {
    Conn(connection)->CodeTranslator = function;
    return 1;
}

const char* WebServer_TranslateResponseCode(int32_t code) {
    for (const CodeText& row : WebServer_ResponseCodeStringTable)
        if (row.Code == code) return row.Text;
    return "";
}

int64_t WebServer_ConnectionResponseBegin(WebServer*, WebServerConnection* connection) {
    WebServerConnection* c = Conn(connection);
    if (c->ResponseBegun) return 1;
    c->ResponseBegun = 1;
    WebServer_ConnectionVerboseLog(c, 1, "Response code set [%s:%d:%lld]", c->FileName, c->ResponseCode,
                                   (long long)c->ResponseLength);
    int32_t code = c->ResponseCode;
    const char* text = c->CodeTranslator ? c->CodeTranslator(code) : nullptr;
    if (!text) text = WebServer_TranslateResponseCode(code);
    if (code == 0) {
        WebServer_ConnectionPrint(c, "Bad status message (%d)", code);
        code = 500;
        text = "Response code not set";
    }
    // Put together by hand: the formatter cost more than the rest of the status line's work.
    char line[512];
    char number[24];
    String_CopyLength(line, "HTTP/1.1 ", (int32_t)sizeof(line));
    String_PrintInt64(number, code);
    String_CatLength(line, number, (int32_t)sizeof(line));
    String_CatLength(line, " ", (int32_t)sizeof(line));
    String_CatLength(line, text, (int32_t)sizeof(line));
    DictionaryItem* item = nullptr;
    Dictionary_Insert(c->ResponseHeader, nullptr, nullptr, &item);
    Dictionary_ItemSetType(c->ResponseHeader, item, DICTIONARY_TYPE_STRING);
    Dictionary_ItemSetString(c->ResponseHeader, item, line);
    if (c->ResponseLength >= 0) {
        String_PrintInt64(number, c->ResponseLength);
        Dictionary_SetStringByKey(c->ResponseHeader, "Content-Length", number);
        Dictionary_SetStringByKey(c->ResponseHeader, "Accept-Ranges", "bytes");
    } else {
        c->Persistent = 0;
    }
    if (c->ResponseLength < 0 || !c->Persistent) Dictionary_SetStringByKey(c->ResponseHeader, "Connection", "close");
    if (WebServer_ConnectionIsVerboseLevel(c, 8)) {
        WebServer_ConnectionPrint(c, "---- Header Out Begin ----");
        Dictionary_Dump(c->ResponseHeader);
        WebServer_ConnectionPrint(c, "---- Header Out End ----");
    }
    char header[8192];
    if (!WebGet_HeaderFromDictionary(c->ResponseHeader, header, (int32_t)sizeof(header))) return 0;
    const int32_t length = (int32_t)strlen(header);
    if (!PutAll(c, header, length)) return 0;
    StartWriting(c);
    return 1;
}

static int64_t WebServer_ConnectionResponseWriteInt(WebServerConnection* c, const void* buffer, int32_t size,
                                                    int32_t* count) {
    *count = 0;
    if (!WebServer_ConnectionResponseBegin(c->Server, c)) return 0;
    c->LastTouch = c->Server->Now;
    if (size <= 0) return 1;
    ASSERT_POINTER(buffer);
    DuplexStream_WriteLock(c->Stream);
    int32_t left = 0;
    DuplexStream_WriteGetBufferLeft(c->Stream, &left);
    const int32_t n = size < left ? size : left;
    const int64_t ok = n <= 0 || DuplexStream_WritePut(c->Stream, buffer, (uint32_t)n);
    DuplexStream_WriteUnlock(c->Stream);
    if (!ok) {
        WebServer_ConnectionPrint(c, "Failed writing to stream");
        return 0;
    }
    *count = n > 0 ? n : 0;
    c->BodyWritten += *count;
    StartWriting(c);
    SignalOwner(c);
    return 1;
}

int64_t WebServer_ConnectionResponseWrite(WebServer*, WebServerConnection* connection, const void* buffer,
                                          int32_t size, int32_t* count) {
    ASSERT_POINTER(count);
    *count = 0;
    return WebServer_ConnectionResponseWriteInt(Conn(connection), buffer, size, count);
}

int64_t WebServer_ConnectionResponseEnd(WebServer*, WebServerConnection* connection) {
    return WebServer_ConnectionSetPhase(Conn(connection), WEBSERVER_PHASE_RESPONSE_FINISH);
}
