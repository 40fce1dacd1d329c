// The web server's and its connections' records, shared by the listener and the request and
// response operations.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/runtime/callback.h"
#include "core/runtime/class.h"
#include "core/web/web_server.h"

struct CriticalSection;
struct Dictionary;
struct Thread;

// Where the reading of a chunked request body stands: before a size line, in a chunk's data,
// before the CR LF after it, in the trailer, past the trailer's empty line.
enum : uint32_t {
    WEBSERVER_CHUNK_SIZE = 0,
    WEBSERVER_CHUNK_DATA = 1,
    WEBSERVER_CHUNK_DATA_END = 2,
    WEBSERVER_CHUNK_TRAILER = 3,
    WEBSERVER_CHUNK_DONE = 4,
};

struct WebServerConnection {
    Class Header;
    ClassPrint Print;
    WebServer* Server;
    AsyncSocket* Socket;
    DuplexStream* Stream;
    Dictionary* RequestHeader;
    Dictionary* ResponseHeader;
    char Method[80];
    char Version[80];
    int32_t ResponseCode;
    uint32_t RemoteAddress;
    uint32_t RemotePort;
    char URL[8192];
    char Referer[8192];
    char UserAgent[512];
    char FileName[320];
    // The Content-Type text of the file name it was found for.
    char ContentTypeFor[320];
    char ContentType[256];
    int64_t RequestLength;
    int64_t ResponseLength;
    int64_t BodyRead;
    int64_t BodyWritten;
    // The request header's reading, taken up where it stopped when the header comes in parts:
    // the bytes of the read buffer already read as whole lines and their count, whether the one
    // empty line a request line may follow was passed over, and what the lines said of the body
    // and the connection.
    int32_t HeaderRead;
    // Where the reading of the line under way stopped, from the line's start, with the step it
    // was in (method, target or version; name or value) and the ends of the words passed: the
    // rest of a line that comes in pieces is read from there, so a header block costs one pass
    // over its bytes however it arrives.
    int32_t LineAt;
    uint32_t LineStep;
    int32_t LineMarks[4];
    // Where the last look at the line began, and the bytes the looks at this header's lines went
    // over, in all (the same as the block's length when no byte is looked at twice); for tests.
    int32_t LineFrom;
    uint64_t HeaderScanned;
    int32_t HeaderLines;
    uint32_t HeaderSkipped;
    int64_t HeaderLength; // -1 without a Content-Length
    uint32_t HeaderCodings;
    uint32_t HeaderConnection; // a Connection header was seen
    uint32_t HeaderClose;      // one of its members is close, or is no token
    // A chunked request body: where its reading stands, the data bytes left of the chunk under
    // way, the sizes announced so far, the trailer's bytes, and the code it was refused with.
    uint32_t Chunked;
    uint32_t ChunkStep;
    int64_t ChunkLeft;
    int64_t ChunkTotal;
    int32_t TrailerBytes;
    int32_t ChunkRefusal;
    uint32_t Phase;
    uint32_t ResponseBegun;
    std::atomic<uint32_t> SocketClosed;
    // Set by the owner to have the connection closed on its next pass.
    std::atomic<uint32_t> CloseWanted;
    uint32_t Closed;
    void* UserHandle;
    uint32_t Persistent;
    uint32_t Busy;
    // Whether the socket's handlers are this connection's; set before the connection is handed
    // to the server, then changed by the server's passes only.
    uint32_t HandlersOn;
    // Set by whatever wants this connection looked at (its socket's handlers, the owner): a
    // threaded server's pass skips connections without it, between full passes.
    std::atomic<uint32_t> Pending;
    // Set during a pass when the owner read body bytes or queued answer bytes: the pass asks the
    // body callback again afterwards instead of waking the server once per call.
    uint32_t SignalDue;
    double LastTouch;
    double ConnectTime;
    // When the request header under way began: at the accept for the first request, at its first
    // byte for a later one on a kept connection (0 until then).
    double HeaderStart;
    // When this connection entered Linger: each lingering socket gets its own grace time.
    double LingerStart;
    WebServerCodeTranslatorFunc CodeTranslator;
    WebServerConnection* Previous;
    WebServerConnection* Next;
};

struct WebServer {
    Class Header;
    ClassPrint Print;
    std::atomic<uint32_t> Running;
    std::atomic<uint32_t> ThreadId; // written by the server thread as it starts, read by socket threads
    Thread* ServerThread;
    uint32_t UseThread;
    uint32_t PersistentConnections;
    char DefaultDocument[320];
    double StartTime;
    double StopTime;
    double Now;
    double LingerStart;
    WebServerConnection* Head;
    WebServerConnection* Tail;
    uint32_t Count;
    // Connections accepted since the last pass, linked through Next: an accept (on the reactor's
    // polling thread) never waits for the lock a pass holds; the next pass takes them over.
    std::atomic<WebServerConnection*> Incoming;
    CriticalSection* Lock;
    // Passes under way on the owner's thread (under the lock). A handler that runs a loop of its
    // own (a modal box) may come back into the server: such a pass is put off, since the pass
    // under it walks the connections and must not see them freed.
    uint32_t PassDepth;
    uint32_t PassDeferred;
    // A threaded server's pass looks only at the connections that asked for it, and at every
    // connection (time-outs, lingering, freeing) once this much time has passed since the last
    // full pass, or when one is owed.
    double LastFullPass;
    std::atomic<uint32_t> FullPassDue;
    // A threaded server's wake-ups: each one counts, and only a thread that may be asleep is
    // signalled (the counter is looked at again after Sleeping is set, before it sleeps).
    std::atomic<uint32_t> Wakes;
    std::atomic<uint32_t> Sleeping;
    // Set by the thread that runs the server, read by the owner from any thread.
    std::atomic<uint32_t> ActiveListenAddress;
    std::atomic<uint32_t> ActiveListenPort;
    uint32_t ListenAddress;
    int32_t PortIndex;
    Dictionary* PortList;
    uint32_t ListenAttempts;
    uint32_t ListenAttemptWait;
    double LastAttemptTime;
    AsyncSocket* ListenSocket;
    char HostName[80];
    int32_t Timeout;
    // How long a request header may take to arrive whole, whatever the idle time-out says.
    double HeaderTimeout;
    // Connections accepted and not yet freed, and the most there may be: at the bound the
    // listener stops accepting (new clients wait in its queue) until one is freed.
    std::atomic<uint32_t> Live;
    uint32_t MaxConnections;
    uint32_t Freed; // a pass freed a connection; under the lock
    // The longest request body announced that is taken; a longer one is answered 413 unread.
    int64_t MaxRequestBody;
    // The Date header's text and the wall-clock second it was made for; written by passes only.
    double DateFor;
    char DateText[64];
    CallbackBase OpenCallback;
    CallbackBase RequestHeaderCallback;
    CallbackBase RequestBodyCallback;
    CallbackBase ResponseHeaderCallback;
    CallbackBase ResponseBodyCallback;
    CallbackBase CloseCallback;
    CallbackBase ListenChangedCallback;
};

WebServerConnection* WebServer_CheckedConnection(WebServerConnection* connection);
int64_t WebServer_ConnectionSignal(WebServerConnection* connection);
int64_t WebServer_ConnectionSetPhase(WebServerConnection* connection, uint32_t phase);
int64_t WebServer_ConnectionReset(WebServerConnection* connection);
// Reads a whole header block given as text (request line first, empty line last) as the server
// reads one from its peer; 0 when it is refused (the answer's code is in the response code) or
// is not one whole block. For driving the request's owners without a peer.
int64_t WebServer_ConnectionParseRequestHeader(WebServerConnection* connection, const char* block);
// Reads the request header in the read buffer's bytes, going on from where the last look at them
// stopped: 1 and the end of the block (just past its empty line) when it is whole, 0 while more
// is needed, -1 when it is refused (the answer's code is in the response code).
int64_t WebServer_ConnectionReadHeaderBytes(WebServerConnection* connection, const uint8_t* data, int32_t used,
                                            int32_t* end);
// What a whole, read header asks of the server: the file name, the body's framing, persistence.
// 0 when the request is refused (the answer's code is in the response code).
int64_t WebServer_ConnectionTakeRequest(WebServerConnection* connection);
// Clears the request header's reading and the body's decoding for the next request.
void WebServer_ConnectionResetReading(WebServerConnection* connection);
// Takes the chunked coding's framing (size lines, the CR LF after a chunk's data, the trailer)
// off the front of the read buffer until data bytes, the body's end or the buffer's end is
// there; under the read lock. False when the body is refused (its code is in ChunkRefusal).
bool WebServer_ConnectionChunkFraming(WebServerConnection* connection);
// Takes up to size bytes of the body (decoded when chunked) out of the read buffer into buffer,
// or drops them when it is null; under the read lock. 0 on a stream failure.
int64_t WebServer_ConnectionTakeBody(WebServerConnection* connection, void* buffer, int64_t size, uint32_t* count);
// A connection with no socket and outside the server's list, and its release: for driving the
// request parser without a peer.
int64_t WebServer_ConnectionCreateDetached(WebServer* server, WebServerConnection** connection);
int64_t WebServer_ConnectionFreeDetached(WebServerConnection** connection);
// The RequestHeader step: waits for a whole header block in the read buffer, then parses it.
// 0 when the connection must close (too large, malformed).
int64_t WebServer_ConnectionReadRequestHeader(WebServerConnection* connection);
// The RequestBody step: hands what the read buffer holds of the body to the owner (or drops it
// and answers 405 when nobody reads bodies), then goes on to the response once it is all read.
int64_t WebServer_ConnectionReadRequestBody(WebServerConnection* connection);
// Has the connection closed at once (not waiting for its unsent bytes) on its next pass: for an
// owner whose peer stopped reading. Callable outside the server's lock, from the server's thread.
int64_t WebServer_ConnectionRequestClose(WebServer* server, WebServerConnection* connection);
