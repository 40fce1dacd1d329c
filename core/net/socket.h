// Blocking IPv4 sockets that are also Streams (time-outs, cancel, datagrams, multicast, a peek
// buffer, metering), the select sets their waits use, and the host-level network operations:
// name resolution, byte order, adapters and the macro keys of the machine's network identity.
#pragma once

#include <cstdint>

#include "core/linux/platform_network.h"
#include "core/platform/stream.h"
#include "core/runtime/class.h"
#include "core/runtime/meter_rw.h"

enum : uint32_t {
    SOCKET_CLASS_ID = 0x9B2AA53B,
    SOCKET_SELECT_CLASS_ID = 0xAF52C5FA,
    // The last error of a wait that ran out of time.
    SOCKET_ERROR_TIMEOUT = 1460,
    // The last error of Open with a code outside the protocol table.
    SOCKET_ERROR_PROTOCOL = 22,
    SOCKET_DEFAULT_TIMEOUT = 300000,
    SOCKET_DEFAULT_LISTEN_QUEUE = 128,
    // The peek buffer grows in steps of this many bytes.
    SOCKET_PEEK_STEP = 1024,
    // What SocketSelect_GetMaxSockets reports; the sets themselves hold any descriptor.
    SOCKET_SELECT_MAX = 1024,
};

// Protocol codes, all IPv4; others (7, 8, 9, ...) are refused by Open.
enum : uint32_t {
    SOCKET_PROTOCOL_TCP = 1,
    SOCKET_PROTOCOL_UDP = 2,
    SOCKET_PROTOCOL_DATAGRAM_3 = 3,
    SOCKET_PROTOCOL_ICMP = 4,
    SOCKET_PROTOCOL_DATAGRAM = 5,
    SOCKET_PROTOCOL_MULTICAST = 6,
    SOCKET_PROTOCOL_RAW = 10,
};

enum : int32_t {
    SOCKET_MACHINE_NAME_MAX = 119,
    SOCKET_MACHINE_NAME_SIZE = 256,
};

// The result of every name lookup; zeroed by each operation that fills it.
struct SocketMachine {
    char Name[SOCKET_MACHINE_NAME_SIZE];
    uint32_t Address; // four bytes in network order
    uint32_t Port;    // host order
};

struct Socket {
    Class Header;
    // Peek, Read, Write, Close and IsOpen are filled; its last error is the socket's.
    Stream StreamRecord;
    MeterRW* Meter;
    uint32_t Cancel; // written by another thread: accessed atomically only
    int32_t Handle;  // -1 when closed
    uint32_t Blocking;
    uint32_t Incoming;
    uint32_t ReadTimeout;
    uint32_t ConnectTimeout;
    uint32_t AcceptTimeout; // 0: no limit
    uint32_t ListenQueue;
    uint32_t Protocol; // 0 when not open
    uint32_t Address;  // network order
    uint32_t Port;     // host order
    uint8_t* PeekBuffer;
    int32_t PeekHeld;
    int32_t PeekCapacity;
};

// A set of descriptors, bit n in word n / 32; it grows to hold any descriptor.
struct SocketSelect {
    Class Header;
    uint32_t Armed;
    // Added sockets that already hold peeked bytes; while above 0 only such sockets are added.
    uint32_t Ready;
    uint32_t* Words;
    int32_t WordCount;
};

// ---- Life ------------------------------------------------------------------------------------
int64_t Socket_Create(Socket** handle);
int64_t Socket_Delete(Socket** handle);
int64_t Socket_AddRef(Socket* socket);
int64_t Socket_Release(Socket** handle);
int64_t Socket_GetInstanceId(Socket* socket, char* buffer, int32_t size);
// Logs the intranet address and the machine name; 1.
int64_t Socket_Init();
int64_t Socket_Remove();
int64_t Socket_SetDNSCallback();

int64_t Socket_Open(Socket* socket, uint32_t protocol);
int64_t Socket_Close(Socket* socket);
int64_t Socket_IsOpen(Socket* socket);
int64_t Socket_IsIncoming(Socket* socket);
int64_t Socket_GetProtocol(Socket* socket, uint32_t* protocol);
int64_t Socket_GetLowLevelHandle(Socket* socket, int32_t* descriptor);
int64_t Socket_GetStreamHandle(Socket* socket, Stream** stream);
int32_t Socket_GetLastError(Socket* socket);

// ---- Waiting and cancel ------------------------------------------------------------------------
int64_t Socket_SetTimeout(Socket* socket, uint32_t readMs, uint32_t connectMs, uint32_t acceptMs);
int64_t Socket_GetTimeout(Socket* socket, uint32_t* readMs, uint32_t* connectMs, uint32_t* acceptMs);
// Safe to call from another thread while a wait runs; the wait ends within a second (Accept: 10 ms).
int64_t Socket_Cancel(Socket* socket, uint32_t on);
int64_t Socket_SetBlocking(Socket* socket, uint32_t on);

// ---- Connections -------------------------------------------------------------------------------
// Addresses point to four bytes in network order; ports are in host order.
int64_t Socket_Connect(Socket* socket, const uint32_t* address, uint32_t port);
int64_t Socket_Bind(Socket* socket, const uint32_t* address, uint32_t port);
int64_t Socket_Listen(Socket* socket);
int64_t Socket_Accept(Socket* socket, Socket** accepted);
int64_t Socket_Shutdown(Socket* socket);
// 0 means the default of 128, which Get reports as 0.
int64_t Socket_SetListenQueue(Socket* socket, uint32_t count);
int64_t Socket_GetListenQueue(Socket* socket, uint32_t* count);

// ---- Stream transfers ----------------------------------------------------------------------------
int64_t Socket_Read(Socket* socket, void* buffer, uint32_t size, uint32_t* count);
int64_t Socket_Peek(Socket* socket, void* buffer, uint32_t size, uint32_t* count);
// One line of at most size - 1 bytes, without its line end and trailing control bytes; *count
// is the length of that text. Fails when the line does not fit, on time-out or cancel.
int64_t Socket_ReadLine(Socket* socket, char* buffer, uint32_t size, uint32_t* count);
int64_t Socket_Write(Socket* socket, const void* data, uint32_t length, uint32_t* count);
// The text's bytes as they are; no line end is added.
int64_t Socket_WriteLine(Socket* socket, const char* text, uint32_t* count);
int64_t Socket_ReadAvailable(Socket* socket, int32_t* available);
int64_t Socket_ReadWaiting(Socket* socket);

// ---- Datagrams ----------------------------------------------------------------------------------
int64_t Socket_WriteIP(Socket* socket, const uint32_t* address, uint32_t port, const void* data, uint32_t length,
                       uint32_t* count);
int64_t Socket_ReadIP(Socket* socket, uint32_t* address, uint32_t* port, void* buffer, uint32_t size,
                      uint32_t* count);
int64_t Socket_PeekIP(Socket* socket, uint32_t* address, uint32_t* port, void* buffer, uint32_t size,
                      uint32_t* count);
int64_t Socket_MulticastWrite(Socket* socket, const uint32_t* address, uint32_t port, const void* data,
                              uint32_t length, uint32_t* count);
int64_t Socket_MulticastRead(Socket* socket, uint32_t* address, uint32_t* port, void* buffer, uint32_t size,
                             uint32_t* count);
int64_t Socket_MulticastSetInterface(Socket* socket, const uint32_t* address);
int64_t Socket_MulticastSetMaxHops(Socket* socket, uint32_t hops);
int64_t Socket_MulticastSetLoopback(Socket* socket, uint32_t on);
int64_t Socket_MulticastAdd(Socket* socket, const uint32_t* interfaceAddress, const uint32_t* group);
int64_t Socket_MulticastRemove(Socket* socket, const uint32_t* interfaceAddress, const uint32_t* group);

// ---- Options ------------------------------------------------------------------------------------
int64_t Socket_SetReuse(Socket* socket, uint32_t on);
// on 1 turns Nagle's algorithm on (no TCP_NODELAY).
int64_t Socket_SetNagel(Socket* socket, uint32_t on);
int64_t Socket_SetOOB(Socket* socket, uint32_t on);
int64_t Socket_SetLinger(Socket* socket, uint32_t on, uint32_t seconds);
int64_t Socket_SetSendBufferSize(Socket* socket, int32_t bytes);
int64_t Socket_GetSendBufferSize(Socket* socket, int32_t* bytes);
int64_t Socket_SetReceiveBufferSize(Socket* socket, int32_t bytes);
int64_t Socket_GetReceiveBufferSize(Socket* socket, int32_t* bytes);

// ---- Addresses -----------------------------------------------------------------------------------
int64_t Socket_GetLocalIP(Socket* socket, uint32_t* address, uint32_t* port);
int64_t Socket_GetRemoteIP(Socket* socket, uint32_t* address, uint32_t* port);
// The address and port recorded by the last Connect, Bind, ReadIP, PeekIP or Accept.
int64_t Socket_GetIP(Socket* socket, uint32_t* address, uint32_t* port);
int64_t Socket_GetIPString(Socket* socket, char* text, int32_t size);
int64_t Socket_GetRemoteMachine(Socket* socket, SocketMachine* machine);
int64_t Socket_GetMachineByIP(SocketMachine* machine, const uint32_t* address);
// Address text resolves without a query; an empty or null name means this machine.
int64_t Socket_GetMachineByName(SocketMachine* machine, const char* name);
int64_t Socket_GetMachineByURL(SocketMachine* machine, const char* url);
int64_t Socket_GetLocalMachineName(char* buffer, int32_t size);
int64_t Socket_IsInNet(const char* address, const char* network, const char* mask);
int64_t Socket_GetPortName(uint32_t port, uint32_t protocol, char* name, int32_t size);

// ---- Byte order ---------------------------------------------------------------------------------
int64_t Socket_ConvertNetworkToHost16(uint16_t* out, uint16_t in);
int64_t Socket_ConvertNetworkToHost32(uint32_t* out, uint32_t in);
int64_t Socket_ConvertNetworkToHost64(uint64_t* out, uint64_t in);
int64_t Socket_ConvertHostToNetwork16(uint16_t* out, uint16_t in);
int64_t Socket_ConvertHostToNetwork32(uint32_t* out, uint32_t in);
int64_t Socket_ConvertHostToNetwork64(uint64_t* out, uint64_t in);
// An address in network order to a host number that compares like the address, and back.
int64_t Socket_IPToEval(const uint32_t* in, uint32_t* out);
int64_t Socket_EvalToIP(const uint32_t* in, uint32_t* out);

// ---- Adapters (IPv4 interfaces in system order) ----------------------------------------------------
int64_t Socket_AdapterGetByIndex(int32_t adapter, PlatformAdapterInfo* info);
int64_t Socket_AdapterGetName(int32_t adapter, char* buffer, int32_t size);
int64_t Socket_AdapterGetDescription(int32_t adapter, char* buffer, int32_t size);
int64_t Socket_AdapterGetIP(int32_t adapter, char* buffer, int32_t size);
int64_t Socket_AdapterGetGateway(int32_t adapter, int32_t gateway, char* buffer, int32_t size);
// length must be 6.
int64_t Socket_AdapterGetMACAddress(int32_t adapter, uint8_t* out, int32_t length);
// Answers the flag.
int64_t Socket_AdapterGetConnected(int32_t adapter, uint32_t* connected);
int64_t Socket_AdapterPrintIndex(int32_t adapter);
int64_t Socket_AdapterPrint();
// The address of the first adapter with a link address; without one, 0 and the last adapter's.
int64_t Socket_GetIntranetIP(uint32_t* address);
// length must be 6. The first adapter with a link address; without one, 0 and the last adapter's.
int64_t Socket_GetMACAddress(uint8_t* out, int32_t length);

// Key provider of the macro expander: "IntranetIP", "MACAddress" and "MachineName", compared
// without case; answers 1 with the value (empty when the machine has none), 0 for other names.
// The argument is not used.
int64_t Socket_ExpandKey(void* user, const char* name, char* argument, char* value, int32_t capacity);

// ---- Bandwidth -----------------------------------------------------------------------------------
int64_t Socket_GetOverallUsage(Socket* socket, uint64_t* read, uint64_t* write);
int64_t Socket_GetMaxBandwidth(Socket* socket, double* read, double* write);
int64_t Socket_GetCurrentBandwidth(Socket* socket, double* read, double* write);
int64_t Socket_GetLimitBandwidth(Socket* socket, int32_t* read, int32_t* write);
int64_t Socket_SetLimitBandwidth(Socket* socket, int32_t read, int32_t write);
int64_t Socket_GetMeterRWHandle(Socket* socket, MeterRW** meter);

// ---- Select sets ---------------------------------------------------------------------------------
int64_t SocketSelect_Create(SocketSelect** handle);
int64_t SocketSelect_Delete(SocketSelect** handle);
int64_t SocketSelect_AddRef(SocketSelect* set);
int64_t SocketSelect_Release(SocketSelect** handle);
int64_t SocketSelect_GetInstanceId(SocketSelect* set, char* buffer, int32_t size);
int32_t SocketSelect_GetMaxSockets();
int64_t SocketSelect_Clear(SocketSelect* set);
int64_t SocketSelect_Copy(SocketSelect* target, SocketSelect* source);
// A closed socket is not added (0). A socket holding peeked bytes counts as ready at once.
int64_t SocketSelect_Add(SocketSelect* set, Socket* socket);
int64_t SocketSelect_AddLowLevelHandle(SocketSelect* set, int32_t descriptor);
int64_t SocketSelect_Remove(SocketSelect* set, Socket* socket);
int64_t SocketSelect_IsSet(SocketSelect* set, Socket* socket);
// Any set may be null. Leaves in each set only its ready descriptors; *count counts them. A
// cancel flag found set ends the wait with count 0 (and 1). A read set with sockets that hold
// peeked bytes answers at once.
int64_t SocketSelect_Wait(SocketSelect* read, SocketSelect* write, SocketSelect* error, uint32_t* cancel,
                          uint32_t timeoutMs, int32_t* count);
