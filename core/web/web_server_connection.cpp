// What a web server owner's callbacks do with a connection: read the parsed request and its body,
// set the status, length and header lines of the answer, and stream the answer's body.
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
    {416, "Requested Range Not Satisfiable"},
    {429, "Too Many Requests"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
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

// A decimal length of at most 18 digits, nothing else.
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

bool IsTokenChar(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return c != 0 && strchr("!#$%&'*+-.^_`|~", c) != nullptr;
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

// What a request's header block says about its body, from the one reading that also vets every
// line: where the body ends is decided by the same bytes the lines were split at, so no line a
// front end or another reader takes for framing can be passed over here.
struct Framing {
    int64_t Length = -1; // the Content-Length; -1 without one
    bool Chunked = false;
    int32_t Line = 0;    // the line (1 for the request line) that was refused
    const char* Why = nullptr;
};

bool Refuse(Framing* f, int32_t line, const char* why) {
    f->Line = line;
    f->Why = why;
    return false;
}

// Lines end at CR LF and nowhere else; the block ends with its empty line. A bare CR or LF, a
// folded line, a name that is not a token (blanks before the colon among them), a control byte
// in a value, a length that cannot be read, lengths that disagree, a length beside a transfer
// coding, or a coding other than chunked alone: the whole block is refused, since any of them is
// read differently by other readers of the same bytes.
bool ReadBlock(std::string_view text, Framing* f) {
    int32_t number = 0;
    int32_t codings = 0;
    for (;;) {
        const size_t end = text.find_first_of("\r\n");
        number++;
        if (end == std::string_view::npos) return Refuse(f, number, "no CR LF at its end");
        if (text[end] != '\r' || end + 1 >= text.size() || text[end + 1] != '\n')
            return Refuse(f, number, "a bare CR or LF");
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 2);
        if (line.empty()) {
            if (!text.empty()) return Refuse(f, number, "bytes after the empty line");
            break;
        }
        if (number == 1) continue; // the request line's words are checked by the caller
        if (IsBlank(line[0])) return Refuse(f, number, "a folded continuation line");
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) return Refuse(f, number, "no colon");
        const std::string_view name = line.substr(0, colon);
        if (name.empty()) return Refuse(f, number, "an empty name");
        if (name.size() > (size_t)DICTIONARY_MAX_KEY_LENGTH) return Refuse(f, number, "a name too long");
        for (const char c : name)
            if (!IsTokenChar((unsigned char)c))
                return Refuse(f, number, IsBlank(c) ? "whitespace in the name or before the colon"
                                                    : "a character not allowed in a name");
        std::string_view value = line.substr(colon + 1);
        for (const char c : value)
            if (((unsigned char)c < 32 && c != '\t') || c == 127) return Refuse(f, number, "a control character in the value");
        while (!value.empty() && IsBlank(value.front())) value.remove_prefix(1);
        while (!value.empty() && IsBlank(value.back())) value.remove_suffix(1);
        if (EqualNoCase(name, "content-length")) {
            int64_t length = 0;
            if (!ParseLength(value, &length)) return Refuse(f, number, "a Content-Length that is not a length");
            // The same length stated twice is one length; two different ones are a guess.
            if (f->Length >= 0 && f->Length != length) return Refuse(f, number, "a second, different Content-Length");
            f->Length = length;
        } else if (EqualNoCase(name, "transfer-encoding")) {
            if (++codings > 1) return Refuse(f, number, "a second Transfer-Encoding");
            if (!EqualNoCase(value, "chunked")) return Refuse(f, number, "a Transfer-Encoding other than chunked");
            f->Chunked = true;
        }
    }
    if (f->Chunked && f->Length >= 0) return Refuse(f, 0, "both Content-Length and Transfer-Encoding");
    return true;
}

void CopyWord(Dictionary* words, int32_t index, char* out, int32_t size) {
    DictionaryItem* item = nullptr;
    out[0] = 0;
    if (Dictionary_ItemFindByIndex(words, index, nullptr, &item)) Dictionary_ItemGetString(words, item, out, size);
}

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

int64_t WebServer_ConnectionParseRequestHeader(WebServerConnection* connection, const char* block) {
    WebServerConnection* c = Conn(connection);
    WebServer* s = c->Server;
    Dictionary_Reset(c->RequestHeader);
    Framing framing;
    // No request line at all is no request: the connection ends without an answer, as for a
    // request line that does not parse.
    if (block[0] == '\r' && block[1] == '\n') return 0;
    if (!ReadBlock(block, &framing)) {
        if (framing.Line > 0)
            WebServer_ConnectionPrint(c, "Request header line %d refused: %s", framing.Line, framing.Why);
        else
            WebServer_ConnectionPrint(c, "Request header refused: %s", framing.Why);
        // The client is told (400), and where its body ends is not guessed.
        c->ResponseCode = 400;
        return 0;
    }
    // The block has passed the reading above: its lines end at CR LF only and its names are
    // tokens, so the dictionary holds exactly the lines that reading saw.
    WebGet_HeaderToDictionary(block, c->RequestHeader, 1);
    Dictionary* words = nullptr;
    uint32_t count = 0;
    if (!Dictionary_GetListByIndex(c->RequestHeader, 0, &words) || !words) return 0;
    Dictionary_ItemGetCount(words, &count);
    if (count < 3) return 0;
    char version[80];
    CopyWord(words, 0, c->Method, (int32_t)sizeof(c->Method));
    CopyWord(words, 1, c->URL, (int32_t)sizeof(c->URL));
    CopyWord(words, 2, version, (int32_t)sizeof(version));
    const char* slash = strchr(version, '/');
    if (!c->Method[0] || !c->URL[0] || !slash) return 0;
    String_CopyLength(c->Version, slash + 1, (int32_t)sizeof(c->Version));
    URL_ParsePath(c->URL, c->FileName, (int32_t)sizeof(c->FileName));
    if (!c->FileName[0]) String_CopyLength(c->FileName, s->DefaultDocument, (int32_t)sizeof(c->FileName));

    const bool isPost = strcmp(c->Method, "POST") == 0;
    if (isPost && framing.Length >= 0) c->RequestLength = framing.Length;
    if (const char* referer = HeaderValue(c, "Referer"))
        String_CopyLength(c->Referer, referer, (int32_t)sizeof(c->Referer));
    if (const char* agent = HeaderValue(c, "User-Agent"))
        String_CopyLength(c->UserAgent, agent, (int32_t)sizeof(c->UserAgent));
    const char* connectionValue = HeaderValue(c, "Connection");
    c->Persistent = s->PersistentConnections && connectionValue &&
                    !String_CompareBeginningWithoutCase(connectionValue, "close");
    // A body that is not read here (any but a POST's counted one) would be taken for the next
    // request: such a connection ends after its answer.
    if ((!isPost && framing.Length > 0) || framing.Chunked) c->Persistent = 0;

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
    int64_t want = size;
    if (c->RequestLength >= 0 && want > c->RequestLength - c->BodyRead) want = c->RequestLength - c->BodyRead;
    if (want > 0) {
        ASSERT_POINTER(buffer);
        uint32_t got = 0;
        DuplexStream_ReadLock(c->Stream);
        const int64_t ok = DuplexStream_ReadGet(c->Stream, buffer, (uint32_t)want, &got);
        DuplexStream_ReadUnlock(c->Stream);
        if (!ok) {
            WebServer_ConnectionPrint(c, "Failed reading from stream");
            return 0;
        }
        c->BodyRead += got;
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
