// What a web server owner's callbacks do with a connection: read the parsed request and its body,
// set the status, length and header lines of the answer, and stream the answer's body.
#include <cstring>

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
bool ParseLength(const char* text, int64_t* value) {
    int64_t v = 0;
    int32_t digits = 0;
    for (; *text; text++) {
        if (*text < '0' || *text > '9' || ++digits > 18) return false;
        v = v * 10 + (*text - '0');
    }
    *value = v;
    return digits > 0;
}

// Whether two Content-Length lines of the block state different lengths: where the body ends
// would be a guess, and the rest of it would be read as the next request.
bool LengthsConflict(const char* block) {
    char name[64];
    char value[80];
    char first[80];
    first[0] = 0;
    bool seen = false;
    for (const char* line = block; line && *line;) {
        if (WebGet_HeaderGet(line, name, sizeof(name), value, sizeof(value)) &&
            String_CompareWithoutCase(name, "Content-Length")) {
            String_TrimWhitespace(value);
            if (seen && !String_Compare(value, first)) return true;
            String_CopyLength(first, value, (int32_t)sizeof(first));
            seen = true;
        }
        const char* next = nullptr;
        if (!WebGet_HeaderEnum(line, &next)) break;
        line = next;
    }
    return false;
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

    const char* length = HeaderValue(c, "Content-Length");
    int64_t value = 0;
    // Lengths that cannot be read or that disagree are the client's fault: it is told so (400).
    if ((length && !ParseLength(length, &value)) || LengthsConflict(block)) {
        c->ResponseCode = 400;
        return 0;
    }
    const bool isPost = strcmp(c->Method, "POST") == 0;
    if (isPost && length) c->RequestLength = value;
    if (const char* referer = HeaderValue(c, "Referer"))
        String_CopyLength(c->Referer, referer, (int32_t)sizeof(c->Referer));
    if (const char* agent = HeaderValue(c, "User-Agent"))
        String_CopyLength(c->UserAgent, agent, (int32_t)sizeof(c->UserAgent));
    const char* connectionValue = HeaderValue(c, "Connection");
    c->Persistent = s->PersistentConnections && connectionValue &&
                    !String_CompareBeginningWithoutCase(connectionValue, "close");
    // A body that is not read here (any but a POST's counted one) would be taken for the next
    // request: such a connection ends after its answer.
    if ((!isPost && value > 0) || HeaderValue(c, "Transfer-Encoding")) c->Persistent = 0;

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
