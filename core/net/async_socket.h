// Non-blocking IPv4 sockets driven by the process-wide reactor: the owner answers through
// callbacks how much to read or write, takes received bytes and fills the send buffer.
#pragma once

#include <cstdint>

struct MeterRW;

enum : uint32_t { ASYNC_SOCKET_CLASS_ID = 0x810F9A4F };

struct AsyncSocket;

typedef void (*AsyncSocketAcceptFunc)(AsyncSocket* socket, void* user, AsyncSocket* accepted);
typedef int32_t (*AsyncSocketReadSizeFunc)(AsyncSocket* socket, void* user);
typedef void (*AsyncSocketReadFunc)(AsyncSocket* socket, void* user, const uint8_t* data, int32_t length);
typedef int32_t (*AsyncSocketWriteSizeFunc)(AsyncSocket* socket, void* user);
typedef int32_t (*AsyncSocketWriteFunc)(AsyncSocket* socket, void* user, uint8_t* buffer, int32_t capacity);
typedef void (*AsyncSocketCloseFunc)(AsyncSocket* socket, void* user);
typedef void (*AsyncSocketConnectFunc)(AsyncSocket* socket, void* user, uint32_t success);

// Starts the reactor all sockets share, unless it runs. Returns 1, 0 when it cannot start.
int64_t AsyncSocket_Init();
// Waits until every source has run its cancel handler, then stops the reactor. 0 (the reactor
// kept) when sources are still alive after a generous bound.
int64_t AsyncSocket_Remove();

// A socket without a descriptor: its meter, both buffers, no callbacks, one reference.
int64_t AsyncSocket_Create(AsyncSocket** handle);
int64_t AsyncSocket_Delete(AsyncSocket** handle);
int64_t AsyncSocket_AddRef(AsyncSocket* socket);
int64_t AsyncSocket_Release(AsyncSocket** handle);
int64_t AsyncSocket_GetInstanceId(AsyncSocket* socket, char* buffer, int32_t size);

// Protocol codes as for the blocking sockets: 1 TCP, 2 UDP, 3, 4 ICMP, 5, 6 multicast, 10 raw.
int64_t AsyncSocket_Open(AsyncSocket* socket, int32_t protocol);
// `address` is IPv4 in network order, `port` in host order. Result 1: the outcome comes through
// the Connect callback.
int64_t AsyncSocket_Connect(AsyncSocket* socket, const uint32_t* address, uint32_t port);
int64_t AsyncSocket_Bind(AsyncSocket* socket, const uint32_t* address, uint32_t port);
int64_t AsyncSocket_Listen(AsyncSocket* socket, int32_t backlog);
// Resumes accepting, unless the last accept found no descriptor left: then it resumes once one
// of the sockets' descriptors is closed, or when asked again a quarter second after. Returns 1,
// 0 for a socket that does not listen.
int64_t AsyncSocket_StartAccepting(AsyncSocket* socket);
// Holds accepting until AsyncSocket_StartAccepting: new connections wait in the listen queue.
// Callable from the Accept callback, which then sees no further connection in its round.
int64_t AsyncSocket_StopAccepting(AsyncSocket* socket);
// 1 while accepting is put off for want of a descriptor.
int64_t AsyncSocket_IsAcceptStarved(AsyncSocket* socket);
int64_t AsyncSocket_Shutdown(AsyncSocket* socket, int32_t how);
int64_t AsyncSocket_Close(AsyncSocket* socket);

int64_t AsyncSocket_StartReading(AsyncSocket* socket);
int64_t AsyncSocket_StartWriting(AsyncSocket* socket);
// A write pass on the calling thread when none is under way (else that pass runs once more):
// the write callbacks run here, so the caller holds no lock they take.
int64_t AsyncSocket_WriteNow(AsyncSocket* socket);

// With `on` set a connected socket receives, and a listening one accepts, on the reactor's own
// polling thread: no worker is woken per read or per connection. Only for an owner whose
// read-size, read, close and accept handlers are short and never block nor wait for a lock that
// is held while waiting for the socket or for another handler. Returns 1.
int64_t AsyncSocket_SetReadInline(AsyncSocket* socket, int32_t on);
// One receive on the calling thread when no read pass is under way, for an owner that expects
// bytes to be waiting already (a request right after its connection was accepted): the read-size
// and read handlers run here, so the caller holds no lock they take. 1 when bytes were received.
int64_t AsyncSocket_ReadNow(AsyncSocket* socket);

int64_t AsyncSocket_SetReuse(AsyncSocket* socket, int32_t on);
// SO_REUSEADDR alone, before the bind: a listener takes its port again while the connections an
// earlier listener closed linger in TIME_WAIT. Unlike AsyncSocket_SetReuse it lets no other socket
// share the port.
int64_t AsyncSocket_SetReuseAddress(AsyncSocket* socket, int32_t on);
int64_t AsyncSocket_SetLinger(AsyncSocket* socket, int32_t on, int32_t seconds);
int64_t AsyncSocket_SetKeepAlive(AsyncSocket* socket, int32_t on, int32_t seconds);
int64_t AsyncSocket_SetNagel(AsyncSocket* socket, int32_t on);

int64_t AsyncSocket_IsOpen(AsyncSocket* socket);
int64_t AsyncSocket_IsConnected(AsyncSocket* socket);
int64_t AsyncSocket_IsReading(AsyncSocket* socket);
int64_t AsyncSocket_IsWriting(AsyncSocket* socket);
int64_t AsyncSocket_GetIP(AsyncSocket* socket, uint32_t* address, uint32_t* port);
int64_t AsyncSocket_GetRemoteIP(AsyncSocket* socket, uint32_t* address, uint32_t* port);
int64_t AsyncSocket_GetLocalIP(AsyncSocket* socket, uint32_t* address, uint32_t* port);
uint32_t AsyncSocket_GetLastError(AsyncSocket* socket);
int64_t AsyncSocket_ClearLastError(AsyncSocket* socket);
const char* AsyncSocket_TranslateError(int32_t error);

// The meter stays the socket's (borrowed).
int64_t AsyncSocket_GetMeterRWHandle(AsyncSocket* socket, MeterRW** meter);
int64_t AsyncSocket_GetOverallUsage(AsyncSocket* socket, uint64_t* read, uint64_t* write);
int64_t AsyncSocket_GetMaxBandwidth(AsyncSocket* socket, double* read, double* write);
int64_t AsyncSocket_GetCurrentBandwidth(AsyncSocket* socket, double* read, double* write);
int64_t AsyncSocket_GetLimitBandwidth(AsyncSocket* socket, int32_t* read, int32_t* write);
int64_t AsyncSocket_SetLimitBandwidth(AsyncSocket* socket, int32_t read, int32_t write);

// Each takes the slot's lock, so it waits for a running call of that callback; a null function
// clears the slot. The user pointer is kept without a reference.
int64_t AsyncSocket_SetAcceptCallback(AsyncSocket* socket, void* user, AsyncSocketAcceptFunc function);
int64_t AsyncSocket_SetReadSizeCallback(AsyncSocket* socket, void* user, AsyncSocketReadSizeFunc function);
int64_t AsyncSocket_SetReadCallback(AsyncSocket* socket, void* user, AsyncSocketReadFunc function);
int64_t AsyncSocket_SetWriteSizeCallback(AsyncSocket* socket, void* user, AsyncSocketWriteSizeFunc function);
int64_t AsyncSocket_SetWriteCallback(AsyncSocket* socket, void* user, AsyncSocketWriteFunc function);
int64_t AsyncSocket_SetCloseCallback(AsyncSocket* socket, void* user, AsyncSocketCloseFunc function);
int64_t AsyncSocket_SetConnectCallback(AsyncSocket* socket, void* user, AsyncSocketConnectFunc function);
