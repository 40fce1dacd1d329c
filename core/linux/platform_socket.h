// IPv4 socket calls of the platform layer: descriptors, transfers, options, readiness waits
// and name lookups. Each call answers 1 or 0 and, on 0, the errno of the failure in *error.
#pragma once

#include <cstdint>

// Readiness kinds of a wait entry (bits of Want and Got).
enum : uint16_t {
    PLATFORM_POLL_READ = 1,
    PLATFORM_POLL_WRITE = 2,
    PLATFORM_POLL_ERROR = 4,
};

// Options of a 4-byte integer value.
enum PlatformSocketOption : int32_t {
    PLATFORM_SOCKET_REUSE_ADDRESS,
    PLATFORM_SOCKET_REUSE_PORT,
    PLATFORM_SOCKET_NO_DELAY,
    PLATFORM_SOCKET_OOB_INLINE,
    PLATFORM_SOCKET_SEND_BUFFER,
    PLATFORM_SOCKET_RECEIVE_BUFFER,
    PLATFORM_SOCKET_MULTICAST_TTL,
    PLATFORM_SOCKET_MULTICAST_LOOP,
};

struct PlatformPollEntry {
    int32_t Descriptor;
    uint16_t Want;
    uint16_t Got;
};

// Addresses are four bytes in network order; ports are in host order.
int64_t PlatformSocket_Create(int32_t type, int32_t protocol, int32_t* descriptor, int32_t* error);
// The socket type and protocol of a protocol code (1 to 6 and 10); 0 for any other code.
int64_t PlatformSocket_ProtocolOf(uint32_t code, int32_t* type, int32_t* protocol);
int64_t PlatformSocket_Close(int32_t descriptor, int32_t* error);
int64_t PlatformSocket_SetNonBlocking(int32_t descriptor, uint32_t on, int32_t* error);
int64_t PlatformSocket_SetNoSigPipe(int32_t descriptor, int32_t* error);
// A connect still under way answers 0 with an error for which PlatformSocket_InProgress is 1.
int64_t PlatformSocket_Connect(int32_t descriptor, uint32_t address, uint32_t port, int32_t* error);
// The pending error of a connect that finished (SO_ERROR): 0 when it succeeded.
int64_t PlatformSocket_GetPendingError(int32_t descriptor, int32_t* pending, int32_t* error);
int64_t PlatformSocket_Bind(int32_t descriptor, uint32_t address, uint32_t port, int32_t* error);
int64_t PlatformSocket_Listen(int32_t descriptor, int32_t queue, int32_t* error);
// The new descriptor is blocking and closed on exec.
int64_t PlatformSocket_Accept(int32_t descriptor, int32_t* accepted, uint32_t* address, uint32_t* port,
                              int32_t* error);
int64_t PlatformSocket_Shutdown(int32_t descriptor, int32_t* error);

// One transfer each. *count is the number of bytes moved (0 when the peer closed, for a read).
// A send never raises SIGPIPE.
int64_t PlatformSocket_Send(int32_t descriptor, const void* data, uint32_t length, uint32_t* count,
                            int32_t* error);
int64_t PlatformSocket_Receive(int32_t descriptor, void* buffer, uint32_t size, uint32_t peek, uint32_t wait,
                               uint32_t* count, int32_t* error);
int64_t PlatformSocket_SendTo(int32_t descriptor, uint32_t address, uint32_t port, const void* data,
                              uint32_t length, uint32_t* count, int32_t* error);
int64_t PlatformSocket_ReceiveFrom(int32_t descriptor, void* buffer, uint32_t size, uint32_t peek,
                                   uint32_t* address, uint32_t* port, uint32_t* count, int32_t* error);
int64_t PlatformSocket_ReadAvailable(int32_t descriptor, int32_t* available, int32_t* error);

int64_t PlatformSocket_SetOption(int32_t descriptor, PlatformSocketOption option, int32_t value, int32_t* error);
int64_t PlatformSocket_GetOption(int32_t descriptor, PlatformSocketOption option, int32_t* value, int32_t* error);
int64_t PlatformSocket_SetLinger(int32_t descriptor, uint32_t on, uint16_t seconds, int32_t* error);
int64_t PlatformSocket_SetMulticastInterface(int32_t descriptor, uint32_t address, int32_t* error);
// join 1 adds the membership of the group on the interface, 0 drops it.
int64_t PlatformSocket_SetMembership(int32_t descriptor, uint32_t interfaceAddress, uint32_t group, uint32_t join,
                                     int32_t* error);
int64_t PlatformSocket_GetLocalAddress(int32_t descriptor, uint32_t* address, uint32_t* port, int32_t* error);
int64_t PlatformSocket_GetRemoteAddress(int32_t descriptor, uint32_t* address, uint32_t* port, int32_t* error);

// One wait of at most timeoutMs over the entries (no descriptor limit); *ready counts the entries
// with any Got bit. An interrupted wait answers 1 with nothing ready.
int64_t PlatformSocket_Poll(PlatformPollEntry* entries, int32_t count, int32_t timeoutMs, int32_t* ready,
                            int32_t* error);
// How many descriptors this process may hold.
int32_t PlatformSocket_GetDescriptorLimit();

// The error classes the socket layer tells apart.
int64_t PlatformSocket_WouldBlock(int32_t error);
int64_t PlatformSocket_InProgress(int32_t error);
int64_t PlatformSocket_NoBuffers(int32_t error);
int64_t PlatformSocket_Reset(int32_t error);

// Name lookup: numericOnly 1 accepts only address text. On success text holds the first IPv4
// answer as dotted text (when not numericOnly). *error is the resolver's code; for a name the
// resolver does not know PlatformSocket_NoSuchName(*error) is 1.
int64_t PlatformSocket_LookupName(const char* name, uint32_t numericOnly, char* text, int32_t size,
                                  int32_t* error);
int64_t PlatformSocket_NoSuchName(int32_t error);
// Reverse lookup of an address into a host name.
int64_t PlatformSocket_LookupAddress(uint32_t address, char* name, int32_t size);
// The service of a port (host order) in the services database for a protocol name.
int64_t PlatformSocket_LookupService(uint32_t port, const char* protocol, char* name, int32_t size);
