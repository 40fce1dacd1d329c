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
// The header text from the request line's fields; used by the parser and its fuzz target.
int64_t WebServer_ConnectionParseRequestHeader(WebServerConnection* connection, const char* block);
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
