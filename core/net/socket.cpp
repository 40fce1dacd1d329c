// The blocking IPv4 socket: life, connections, stream and datagram transfers with time-outs
// and cancel, the peek buffer, options and metering. Waits run in slices (socket_select.cpp).
#include "core/net/socket.h"

#include <cstring>

#include "core/linux/platform.h"
#include "core/linux/platform_socket.h"
#include "core/net/socket_internal.h"
#include "core/runtime/class_family.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/time.h"

namespace {

// Accept polls its non-blocking listener this often; the time-out counts tries of this length.
constexpr int32_t kAcceptStepMs = 10;
// A peek larger than this is cut: the buffer's size must stay a valid allocation size.
constexpr uint32_t kPeekMax = 64u << 20;

int64_t DeleteHandle(void** handle) {
    return Socket_Delete(reinterpret_cast<Socket**>(handle));
}

void SetError(Socket* socket, int32_t error) {
    socket->StreamRecord.LastError = error;
}

void ClearError(Socket* socket) {
    socket->StreamRecord.LastError = 0;
}

bool IsOpen(const Socket* socket) {
    return socket->Handle >= 0;
}

int32_t Cap(uint32_t size) {
    return size > (uint32_t)INT32_MAX ? INT32_MAX : (int32_t)size;
}

// Switches the descriptor to non-blocking for the span of a call and back.
void SetNonBlocking(Socket* socket, bool on) {
    int32_t ignored = 0;
    PlatformSocket_SetNonBlocking(socket->Handle, on ? 1 : 0, &ignored);
}

enum class WaitEnd { Ready, TimedOut, Cancelled, Failed };

// One descriptor, one kind: the socket's own waits. Records the wait's failure.
WaitEnd WaitFor(Socket* socket, const char* name, uint16_t kinds, uint32_t timeoutMs, uint16_t* got) {
    PlatformPollEntry entry{socket->Handle, kinds, 0};
    int32_t ready = 0, error = 0;
    bool cancelled = false;
    *got = 0;
    if (!SocketWait_Run(name, &entry, 1, &socket->Cancel, timeoutMs, &ready, &cancelled, &error)) {
        SetError(socket, error);
        return WaitEnd::Failed;
    }
    *got = entry.Got;
    if (ready > 0) return WaitEnd::Ready;
    return cancelled ? WaitEnd::Cancelled : WaitEnd::TimedOut;
}

// The readable wait of Read and ReadIP: a time-out records 1460; either end clears cancel.
bool WaitReadable(Socket* socket, const char* name, const char* cancelText, const char* timeoutText) {
    uint16_t got = 0;
    switch (WaitFor(socket, name, PLATFORM_POLL_READ, socket->ReadTimeout, &got)) {
    case WaitEnd::Ready:
        return (got & PLATFORM_POLL_READ) != 0;
    case WaitEnd::Failed:
        return false;
    case WaitEnd::Cancelled:
        Log_Debug(cancelText);
        break;
    case WaitEnd::TimedOut:
        SetError(socket, SOCKET_ERROR_TIMEOUT);
        Log_Debug(timeoutText, (int32_t)socket->ReadTimeout);
        break;
    }
    SocketWait_StoreFlag(&socket->Cancel, 0);
    return false;
}

// Takes up to size bytes from the front of the peek buffer.
uint32_t TakePeeked(Socket* socket, uint8_t* out, uint32_t size) {
    const uint32_t held = (uint32_t)socket->PeekHeld;
    const uint32_t taken = size < held ? size : held;
    if (taken == 0) return 0;
    memcpy(out, socket->PeekBuffer, taken);
    memmove(socket->PeekBuffer, socket->PeekBuffer + taken, held - taken);
    socket->PeekHeld = (int32_t)(held - taken);
    return taken;
}

void GrowPeek(Socket* socket, uint32_t size) {
    const int32_t wanted = (int32_t)((size + SOCKET_PEEK_STEP - 1) / SOCKET_PEEK_STEP * SOCKET_PEEK_STEP);
    if (wanted <= socket->PeekCapacity) return;
    auto* grown = static_cast<uint8_t*>(Memory_Alloc(wanted));
    if (socket->PeekBuffer) {
        memcpy(grown, socket->PeekBuffer, (size_t)socket->PeekHeld);
        Memory_Free(socket->PeekBuffer, socket->PeekCapacity);
    }
    socket->PeekBuffer = grown;
    socket->PeekCapacity = wanted;
}

int64_t SetIntOption(Socket* socket, PlatformSocketOption option, int32_t value) {
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    if (!IsOpen(socket)) return 0;
    ClearError(socket);
    int32_t error = 0;
    if (PlatformSocket_SetOption(socket->Handle, option, value, &error)) return 1;
    SetError(socket, error);
    return 0;
}

int64_t GetIntOption(Socket* socket, PlatformSocketOption option, int32_t* value) {
    ASSERT_POINTER(value);
    *value = 0;
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    if (!IsOpen(socket)) return 0;
    ClearError(socket);
    int32_t error = 0;
    if (PlatformSocket_GetOption(socket->Handle, option, value, &error)) return 1;
    SetError(socket, error);
    return 0;
}

// ReadIP and PeekIP: one datagram (or a look at it) with its sender.
int64_t ReceiveDatagram(Socket* socket, uint32_t* address, uint32_t* port, void* buffer, uint32_t size,
                        uint32_t* count, bool peek) {
    ASSERT_POINTER(count);
    *count = 0;
    if (address) *address = 0;
    if (port) *port = 0;
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    if (!IsOpen(socket)) return 0;
    ClearError(socket);
    int32_t wanted = Cap(size);
    // A peek takes nothing, so it does not spend the read allowance.
    if (!peek) {
        MeterRW_LimitRead(socket->Meter, &wanted);
        if (wanted <= 0) return 1;
    }
    if (socket->Blocking &&
        !WaitReadable(socket, "ReadIP", "Socket ReadIP cancelled\n", "Socket ReadIP timeout (%d)\n"))
        return 0;
    uint32_t from = 0, fromPort = 0, got = 0;
    int32_t error = 0;
    if (!PlatformSocket_ReceiveFrom(socket->Handle, buffer, (uint32_t)wanted, peek ? 1 : 0, &from, &fromPort, &got,
                                    &error)) {
        if (PlatformSocket_WouldBlock(error) || (!peek && PlatformSocket_Reset(error))) return 1;
        SetError(socket, error);
        return 0;
    }
    // An empty datagram is a datagram: it has a sender too.
    socket->Address = from;
    socket->Port = fromPort;
    if (address) *address = from;
    if (port) *port = fromPort;
    *count = got;
    if (!peek) MeterRW_ReportRead(socket->Meter, got);
    return 1;
}

} // namespace

int64_t Socket_Create(Socket** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* socket = static_cast<Socket*>(Memory_AllocZero(sizeof(Socket)));
    socket->Header.ClassId = SOCKET_CLASS_ID;
    socket->Header.RefCount = 1;
    socket->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(socket);
    socket->StreamRecord.Handle = socket;
    socket->StreamRecord.Peek = StreamSlot<Socket_Peek>::Call;
    socket->StreamRecord.Read = StreamSlot<Socket_Read>::Call;
    socket->StreamRecord.Write = StreamSlot<Socket_Write>::Call;
    socket->StreamRecord.Close = StreamSlot<Socket_Close>::Call;
    socket->StreamRecord.IsOpen = StreamSlot<Socket_IsOpen>::Call;
    MeterRW_Create(&socket->Meter);
    socket->Handle = -1;
    socket->Blocking = 1;
    socket->ReadTimeout = SOCKET_DEFAULT_TIMEOUT;
    socket->ConnectTimeout = SOCKET_DEFAULT_TIMEOUT;
    socket->ListenQueue = SOCKET_DEFAULT_LISTEN_QUEUE;
    *handle = socket;
    return 1;
}

int64_t Socket_Delete(Socket** handle) {
    ASSERT_POINTER(handle);
    Socket* socket = *handle;
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    Socket_Close(socket);
    if (socket->PeekBuffer) Memory_Free(socket->PeekBuffer, socket->PeekCapacity);
    MeterRW_Delete(&socket->Meter);
    socket->Header.ClassId = 0;
    Memory_Free(socket, sizeof(Socket));
    *handle = nullptr;
    return 1;
}

CLASS_BASICS(Socket, Socket, SOCKET_CLASS_ID)

int64_t Socket_Remove() {
    return 1;
}

int64_t Socket_SetDNSCallback() {
    return 1;
}

int64_t Socket_Open(Socket* socket, uint32_t protocol) {
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    if (IsOpen(socket)) {
        Log_Debug("Socket must be closed first!\n");
        return 0;
    }
    ClearError(socket);
    SocketWait_StoreFlag(&socket->Cancel, 0);
    socket->Blocking = 1;
    socket->Protocol = 0;
    int32_t type = 0, number = 0, error = 0, descriptor = -1;
    if (!PlatformSocket_ProtocolOf(protocol, &type, &number)) {
        Log_Debug("Unknown socket protocol '%d'\n", (int32_t)protocol);
        SetError(socket, SOCKET_ERROR_PROTOCOL);
        return 0;
    }
    if (!PlatformSocket_Create(type, number, &descriptor, &error)) {
        SetError(socket, error);
        return 0;
    }
    PlatformSocket_SetNoSigPipe(descriptor, &error);
    socket->Handle = descriptor;
    socket->Protocol = protocol;
    MeterRW_Reset(socket->Meter);
    return 1;
}

int64_t Socket_Close(Socket* socket) {
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    if (!IsOpen(socket)) return 1;
    ClearError(socket);
    int32_t error = 0;
    if (!PlatformSocket_Close(socket->Handle, &error)) {
        SetError(socket, error);
        return 0;
    }
    socket->PeekHeld = 0;
    socket->Incoming = 0;
    socket->Protocol = 0;
    socket->Handle = -1;
    return 1;
}

int64_t Socket_IsOpen(Socket* socket) {
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    return IsOpen(socket);
}

int64_t Socket_IsIncoming(Socket* socket) {
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    return IsOpen(socket) && socket->Incoming;
}

int64_t Socket_GetProtocol(Socket* socket, uint32_t* protocol) {
    ASSERT_POINTER(protocol);
    *protocol = 0;
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    if (!IsOpen(socket)) return 0;
    *protocol = socket->Protocol;
    return 1;
}

int64_t Socket_GetLowLevelHandle(Socket* socket, int32_t* descriptor) {
    ASSERT_POINTER(descriptor);
    *descriptor = -1;
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    if (!IsOpen(socket)) {
        Log_Debug("Socket must be opened first!\n");
        return 0;
    }
    *descriptor = socket->Handle;
    return 1;
}

int64_t Socket_GetStreamHandle(Socket* socket, Stream** stream) {
    ASSERT_POINTER(stream);
    *stream = nullptr;
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    *stream = &socket->StreamRecord;
    return 1;
}

int32_t Socket_GetLastError(Socket* socket) {
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    return socket->StreamRecord.LastError;
}

int64_t Socket_SetTimeout(Socket* socket, uint32_t readMs, uint32_t connectMs, uint32_t acceptMs) {
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    socket->ReadTimeout = readMs;
    socket->ConnectTimeout = connectMs;
    socket->AcceptTimeout = acceptMs;
    return 1;
}

int64_t Socket_GetTimeout(Socket* socket, uint32_t* readMs, uint32_t* connectMs, uint32_t* acceptMs) {
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    if (readMs) *readMs = socket->ReadTimeout;
    if (connectMs) *connectMs = socket->ConnectTimeout;
    if (acceptMs) *acceptMs = socket->AcceptTimeout;
    return 1;
}

int64_t Socket_Cancel(Socket* socket, uint32_t on) {
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    if (!IsOpen(socket)) return 0;
    SocketWait_StoreFlag(&socket->Cancel, on == 1 ? 1 : 0);
    return 1;
}

int64_t Socket_SetBlocking(Socket* socket, uint32_t on) {
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    if (!IsOpen(socket)) return 0;
    const uint32_t blocking = on == 1 ? 1 : 0;
    if (blocking == socket->Blocking) return 1;
    ClearError(socket);
    int32_t error = 0;
    if (!PlatformSocket_SetNonBlocking(socket->Handle, blocking ? 0 : 1, &error)) {
        SetError(socket, error);
        return 0;
    }
    socket->Blocking = blocking;
    return 1;
}

int64_t Socket_Connect(Socket* socket, const uint32_t* address, uint32_t port) {
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    ASSERT_POINTER(address);
    if (!IsOpen(socket)) return 0;
    ClearError(socket);
    MeterRW_Reset(socket->Meter);
    const bool blocking = socket->Blocking != 0;
    if (blocking) SetNonBlocking(socket, true);
    int32_t error = 0;
    if (!PlatformSocket_Connect(socket->Handle, *address, port, &error) && !PlatformSocket_InProgress(error)) {
        if (blocking) SetNonBlocking(socket, false);
        SetError(socket, error);
        return 0;
    }
    if (!blocking) {
        socket->Address = *address;
        socket->Port = port;
        return 1;
    }
    uint16_t got = 0;
    const WaitEnd end =
        WaitFor(socket, "Connect", PLATFORM_POLL_WRITE | PLATFORM_POLL_ERROR, socket->ConnectTimeout, &got);
    SetNonBlocking(socket, false);
    if (end == WaitEnd::Failed) return 0;
    if (end != WaitEnd::Ready) {
        if (end == WaitEnd::Cancelled) {
            Log_Error("Socket connect cancelled\n");
        } else {
            SetError(socket, SOCKET_ERROR_TIMEOUT);
            Log_Error("Socket connect timeout (%d)\n", (int32_t)socket->ConnectTimeout);
        }
        SocketWait_StoreFlag(&socket->Cancel, 0);
        return 0;
    }
    // A refused or unreachable peer shows as writable too: the pending error tells.
    int32_t pending = 0;
    if (!PlatformSocket_GetPendingError(socket->Handle, &pending, &error)) pending = error;
    if (pending != 0 || (got & PLATFORM_POLL_ERROR) || !(got & PLATFORM_POLL_WRITE)) {
        SetError(socket, pending);
        return 0;
    }
    socket->Address = *address;
    socket->Port = port;
    return 1;
}

int64_t Socket_Bind(Socket* socket, const uint32_t* address, uint32_t port) {
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    ASSERT_POINTER(address);
    if (!IsOpen(socket)) return 0;
    ClearError(socket);
    int32_t error = 0;
    if (!PlatformSocket_Bind(socket->Handle, *address, port, &error)) {
        SetError(socket, error);
        return 0;
    }
    socket->Address = *address;
    socket->Port = port;
    return 1;
}

int64_t Socket_Listen(Socket* socket) {
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    if (!IsOpen(socket)) return 0;
    ClearError(socket);
    int32_t error = 0;
    if (!PlatformSocket_Listen(socket->Handle, Cap(socket->ListenQueue), &error)) {
        SetError(socket, error);
        return 0;
    }
    return 1;
}

int64_t Socket_Accept(Socket* socket, Socket** accepted) {
    ASSERT_POINTER(accepted);
    *accepted = nullptr;
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    if (!IsOpen(socket)) return 0;
    ClearError(socket);
    const bool blocking = socket->Blocking != 0;
    if (blocking) SetNonBlocking(socket, true);
    int64_t remaining = socket->AcceptTimeout;
    int64_t result = 0;
    for (;;) {
        if (SocketWait_LoadFlag(&socket->Cancel)) {
            Log_Debug("Socket accept cancelled\n");
            break;
        }
        int32_t descriptor = -1, error = 0;
        uint32_t address = 0, port = 0;
        if (PlatformSocket_Accept(socket->Handle, &descriptor, &address, &port, &error)) {
            Socket* peer = nullptr;
            Socket_Create(&peer);
            peer->Incoming = 1;
            peer->Handle = descriptor;
            peer->Protocol = socket->Protocol;
            peer->Address = address;
            peer->Port = port;
            *accepted = peer;
            result = 1;
            break;
        }
        if (!PlatformSocket_WouldBlock(error)) {
            SetError(socket, error);
            break;
        }
        // The number of tries, not the time slept, measures the time-out.
        if (socket->AcceptTimeout != 0) {
            if (remaining < kAcceptStepMs) {
                SetError(socket, SOCKET_ERROR_TIMEOUT);
                break;
            }
            remaining -= kAcceptStepMs;
        }
        Platform_SleepMS(kAcceptStepMs);
    }
    if (blocking) SetNonBlocking(socket, false);
    return result;
}

int64_t Socket_Shutdown(Socket* socket) {
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    if (!IsOpen(socket)) return 0;
    ClearError(socket);
    int32_t error = 0;
    if (!PlatformSocket_Shutdown(socket->Handle, &error)) {
        SetError(socket, error);
        return 0;
    }
    return 1;
}

int64_t Socket_SetListenQueue(Socket* socket, uint32_t count) {
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    socket->ListenQueue = count == 0 ? SOCKET_DEFAULT_LISTEN_QUEUE : count;
    return 1;
}

int64_t Socket_GetListenQueue(Socket* socket, uint32_t* count) {
    ASSERT_POINTER(count);
    *count = 0;
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    *count = socket->ListenQueue == SOCKET_DEFAULT_LISTEN_QUEUE ? 0 : socket->ListenQueue;
    return 1;
}

int64_t Socket_Read(Socket* socket, void* buffer, uint32_t size, uint32_t* count) {
    ASSERT_POINTER(count);
    *count = 0;
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    if (!IsOpen(socket)) return 0;
    ASSERT_POINTER(buffer);
    ClearError(socket);
    int32_t wanted = Cap(size);
    MeterRW_LimitRead(socket->Meter, &wanted);
    if (wanted <= 0) return 1;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    const uint32_t taken = TakePeeked(socket, out, (uint32_t)wanted);
    uint32_t received = 0;
    if (taken < (uint32_t)wanted) {
        // With peeked bytes in hand the read only adds what has already arrived: it never
        // waits for more than the caller has.
        if (taken == 0 && socket->Blocking && 
            !WaitReadable(socket, "Read", "Socket Read cancelled\n", "Socket Read timeout (%d)\n"))
            return 0;
        int32_t error = 0;
        if (!PlatformSocket_Receive(socket->Handle, out + taken, (uint32_t)wanted - taken, 0, taken == 0 ? 1 : 0,
                                    &received, &error)) {
            received = 0;
            if (taken == 0) {
                if (PlatformSocket_WouldBlock(error)) return 1;
                SetError(socket, error);
                return 0;
            }
        } else if (received == 0 && taken == 0) {
            // The peer closed: a failure without an error, which stream copies take as the end.
            return 0;
        }
    }
    *count = taken + received;
    MeterRW_ReportRead(socket->Meter, *count);
    return 1;
}

int64_t Socket_Peek(Socket* socket, void* buffer, uint32_t size, uint32_t* count) {
    ASSERT_POINTER(count);
    *count = 0;
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    if (!IsOpen(socket)) return 0;
    ASSERT_POINTER(buffer);
    ClearError(socket);
    if (size > kPeekMax) size = kPeekMax;
    if ((uint32_t)socket->PeekHeld >= size) {
        memcpy(buffer, socket->PeekBuffer, size);
        *count = size;
        return 1;
    }
    GrowPeek(socket, size);
    int64_t result = 1;
    bool receive = true;
    // Bytes already held are an answer: only an empty buffer waits for the peer. A time-out
    // or cancel here only skips the receive; the caller sees what is held.
    if (socket->Blocking && socket->PeekHeld == 0) {
        uint16_t got = 0;
        const WaitEnd end = WaitFor(socket, "Read", PLATFORM_POLL_READ, socket->ReadTimeout, &got);
        if (end == WaitEnd::Failed) return 0;
        receive = end == WaitEnd::Ready;
    }
    if (receive) {
        uint32_t received = 0;
        int32_t error = 0;
        if (!PlatformSocket_Receive(socket->Handle, socket->PeekBuffer + socket->PeekHeld,
                                    (uint32_t)(socket->PeekCapacity - socket->PeekHeld), 0, 0, &received, &error)) {
            if (!PlatformSocket_WouldBlock(error)) {
                SetError(socket, error);
                result = 0;
            }
        } else if (received == 0) {
            result = 0; // the peer closed
        } else {
            socket->PeekHeld += (int32_t)received;
        }
    }
    const uint32_t n = (uint32_t)socket->PeekHeld < size ? (uint32_t)socket->PeekHeld : size;
    if (n) memcpy(buffer, socket->PeekBuffer, n);
    *count = n;
    return result;
}

int64_t Socket_ReadLine(Socket* socket, char* buffer, uint32_t size, uint32_t* count) {
    ASSERT_POINTER(count);
    *count = 0;
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    if (!IsOpen(socket) || socket->ReadTimeout == 0 || size < 2) return 0;
    const double start = Time_GetCurrent();
    uint32_t used = 0;
    for (;;) {
        buffer[used] = 0;
        const uint32_t room = size - 1 - used;
        if (room == 0) return 0; // the line does not fit
        uint32_t peeked = 0;
        if (!Socket_Peek(socket, buffer + used, room, &peeked)) return 0;
        const void* found = nullptr;
        const bool hasEnd = peeked > 0 && Memory_FindByte(buffer + used, (int32_t)peeked, '\n', &found);
        const uint32_t wanted = hasEnd ? (uint32_t)(static_cast<const char*>(found) - (buffer + used)) + 1 : peeked;
        uint32_t got = 0;
        if (wanted > 0 && !Socket_Read(socket, buffer + used, wanted, &got)) return 0;
        used += got;
        buffer[used] = 0;
        if (hasEnd && got == wanted) {
            while (used > 0 && (uint8_t)buffer[used - 1] < 32) buffer[--used] = 0;
            *count = used;
            return 1;
        }
        if (peeked == 0) {
            // A cancel ends the line as it ends a read, and a non-blocking socket waits here
            // rather than spinning on an empty receive.
            if (SocketWait_LoadFlag(&socket->Cancel)) {
                Log_Debug("Socket Read cancelled\n");
                SocketWait_StoreFlag(&socket->Cancel, 0);
                return 0;
            }
            if (!socket->Blocking) {
                uint16_t ignored = 0;
                WaitFor(socket, "Read", PLATFORM_POLL_READ, 15, &ignored);
            }
        }
        if ((Time_GetCurrent() - start) * 1000.0 >= (double)socket->ReadTimeout) {
            SetError(socket, SOCKET_ERROR_TIMEOUT);
            Log_Debug("Socket Read timeout (%d)\n", (int32_t)socket->ReadTimeout);
            return 0;
        }
    }
}

int64_t Socket_Write(Socket* socket, const void* data, uint32_t length, uint32_t* count) {
    ASSERT_POINTER(count);
    *count = 0;
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    if (!IsOpen(socket)) return 0;
    ASSERT_POINTER(data);
    ClearError(socket);
    int32_t wanted = Cap(length);
    MeterRW_LimitWrite(socket->Meter, &wanted);
    if (wanted <= 0) return 1;
    uint32_t sent = 0;
    int32_t error = 0;
    if (!PlatformSocket_Send(socket->Handle, data, (uint32_t)wanted, &sent, &error)) {
        if (PlatformSocket_WouldBlock(error) || PlatformSocket_NoBuffers(error)) return 1;
        SetError(socket, error);
        return 0;
    }
    *count = sent;
    MeterRW_ReportWrite(socket->Meter, sent);
    return 1;
}

int64_t Socket_WriteLine(Socket* socket, const char* text, uint32_t* count) {
    ASSERT_POINTER(text);
    return Socket_Write(socket, text, (uint32_t)strlen(text), count);
}

int64_t Socket_ReadAvailable(Socket* socket, int32_t* available) {
    ASSERT_POINTER(available);
    *available = 0;
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    if (!IsOpen(socket)) return 0;
    ClearError(socket);
    int32_t error = 0, pending = 0;
    if (!PlatformSocket_ReadAvailable(socket->Handle, &pending, &error)) {
        SetError(socket, error);
        return 0;
    }
    // Peeked bytes are read before the system's: they are available too.
    *available = pending > INT32_MAX - socket->PeekHeld ? INT32_MAX : pending + socket->PeekHeld;
    return 1;
}

int64_t Socket_ReadWaiting(Socket* socket) {
    int32_t available = 0;
    return Socket_ReadAvailable(socket, &available) && available > 0;
}

int64_t Socket_WriteIP(Socket* socket, const uint32_t* address, uint32_t port, const void* data, uint32_t length,
                       uint32_t* count) {
    ASSERT_POINTER(count);
    *count = 0;
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    ASSERT_POINTER(address);
    if (!IsOpen(socket)) return 0;
    ASSERT_POINTER(data);
    ClearError(socket);
    int32_t wanted = Cap(length);
    MeterRW_LimitWrite(socket->Meter, &wanted);
    if (wanted <= 0) return 1;
    uint32_t sent = 0;
    int32_t error = 0;
    if (!PlatformSocket_SendTo(socket->Handle, *address, port, data, (uint32_t)wanted, &sent, &error)) {
        if (PlatformSocket_WouldBlock(error)) return 1;
        SetError(socket, error);
        return 0;
    }
    *count = sent;
    MeterRW_ReportWrite(socket->Meter, sent);
    return 1;
}

int64_t Socket_ReadIP(Socket* socket, uint32_t* address, uint32_t* port, void* buffer, uint32_t size,
                      uint32_t* count) {
    return ReceiveDatagram(socket, address, port, buffer, size, count, false);
}

int64_t Socket_PeekIP(Socket* socket, uint32_t* address, uint32_t* port, void* buffer, uint32_t size,
                      uint32_t* count) {
    return ReceiveDatagram(socket, address, port, buffer, size, count, true);
}

int64_t Socket_MulticastWrite(Socket* socket, const uint32_t* address, uint32_t port, const void* data,
                              uint32_t length, uint32_t* count) {
    return Socket_WriteIP(socket, address, port, data, length, count);
}

int64_t Socket_MulticastRead(Socket* socket, uint32_t* address, uint32_t* port, void* buffer, uint32_t size,
                             uint32_t* count) {
    return Socket_ReadIP(socket, address, port, buffer, size, count);
}

int64_t Socket_MulticastSetInterface(Socket* socket, const uint32_t* address) {
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    ASSERT_POINTER(address);
    if (!IsOpen(socket)) return 0;
    ClearError(socket);
    int32_t error = 0;
    if (PlatformSocket_SetMulticastInterface(socket->Handle, *address, &error)) return 1;
    SetError(socket, error);
    return 0;
}

int64_t Socket_MulticastSetMaxHops(Socket* socket, uint32_t hops) {
    return SetIntOption(socket, PLATFORM_SOCKET_MULTICAST_TTL, Cap(hops));
}

int64_t Socket_MulticastSetLoopback(Socket* socket, uint32_t on) {
    return SetIntOption(socket, PLATFORM_SOCKET_MULTICAST_LOOP, on ? 1 : 0);
}

static int64_t Membership(Socket* socket, const uint32_t* interfaceAddress, const uint32_t* group, uint32_t join) {
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    ASSERT_POINTER(interfaceAddress);
    ASSERT_POINTER(group);
    if (!IsOpen(socket)) return 0;
    ClearError(socket);
    int32_t error = 0;
    if (PlatformSocket_SetMembership(socket->Handle, *interfaceAddress, *group, join, &error)) return 1;
    SetError(socket, error);
    return 0;
}

int64_t Socket_MulticastAdd(Socket* socket, const uint32_t* interfaceAddress, const uint32_t* group) {
    return Membership(socket, interfaceAddress, group, 1);
}

int64_t Socket_MulticastRemove(Socket* socket, const uint32_t* interfaceAddress, const uint32_t* group) {
    return Membership(socket, interfaceAddress, group, 0);
}

int64_t Socket_SetReuse(Socket* socket, uint32_t on) {
    return SetIntOption(socket, PLATFORM_SOCKET_REUSE_ADDRESS, (int32_t)on) &&
           SetIntOption(socket, PLATFORM_SOCKET_REUSE_PORT, (int32_t)on);
}

int64_t Socket_SetNagel(Socket* socket, uint32_t on) {
    return SetIntOption(socket, PLATFORM_SOCKET_NO_DELAY, on ? 0 : 1);
}

int64_t Socket_SetOOB(Socket* socket, uint32_t on) {
    return SetIntOption(socket, PLATFORM_SOCKET_OOB_INLINE, on ? 0 : 1);
}

int64_t Socket_SetLinger(Socket* socket, uint32_t on, uint32_t seconds) {
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    if (!IsOpen(socket)) return 0;
    ClearError(socket);
    int32_t error = 0;
    if (PlatformSocket_SetLinger(socket->Handle, on == 1 ? 1 : 0, (uint16_t)seconds, &error)) return 1;
    SetError(socket, error);
    return 0;
}

int64_t Socket_SetSendBufferSize(Socket* socket, int32_t bytes) {
    return SetIntOption(socket, PLATFORM_SOCKET_SEND_BUFFER, bytes);
}

int64_t Socket_GetSendBufferSize(Socket* socket, int32_t* bytes) {
    return GetIntOption(socket, PLATFORM_SOCKET_SEND_BUFFER, bytes);
}

int64_t Socket_SetReceiveBufferSize(Socket* socket, int32_t bytes) {
    return SetIntOption(socket, PLATFORM_SOCKET_RECEIVE_BUFFER, bytes);
}

int64_t Socket_GetReceiveBufferSize(Socket* socket, int32_t* bytes) {
    return GetIntOption(socket, PLATFORM_SOCKET_RECEIVE_BUFFER, bytes);
}

int64_t Socket_GetLocalIP(Socket* socket, uint32_t* address, uint32_t* port) {
    if (address) *address = 0;
    if (port) *port = 0;
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    if (!IsOpen(socket)) return 0;
    int32_t ignored = 0;
    return PlatformSocket_GetLocalAddress(socket->Handle, address, port, &ignored);
}

int64_t Socket_GetRemoteIP(Socket* socket, uint32_t* address, uint32_t* port) {
    if (address) *address = 0;
    if (port) *port = 0;
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    if (!IsOpen(socket)) return 0;
    ClearError(socket);
    int32_t error = 0;
    if (PlatformSocket_GetRemoteAddress(socket->Handle, address, port, &error)) return 1;
    SetError(socket, error);
    return 0;
}

int64_t Socket_GetIP(Socket* socket, uint32_t* address, uint32_t* port) {
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    if (address) *address = socket->Address;
    if (port) *port = socket->Port;
    return 1;
}

int64_t Socket_GetIPString(Socket* socket, char* text, int32_t size) {
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    ASSERT_POINTER(text);
    return String_ConvertFromIP(&socket->Address, (int32_t)socket->Port, text, size);
}

int64_t Socket_GetRemoteMachine(Socket* socket, SocketMachine* machine) {
    ASSERT_POINTER(machine);
    memset(machine, 0, sizeof(*machine));
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    if (!IsOpen(socket)) return 0;
    uint32_t address = 0, port = 0;
    int32_t ignored = 0;
    if (PlatformSocket_GetRemoteAddress(socket->Handle, &address, &port, &ignored)) {
        SocketMachine named;
        Socket_GetMachineByIP(&named, &address);
        memcpy(machine->Name, named.Name, sizeof(machine->Name));
        machine->Address = address;
        machine->Port = port;
    }
    return 1;
}

int64_t Socket_GetOverallUsage(Socket* socket, uint64_t* read, uint64_t* write) {
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    return MeterRW_GetOverallUsage(socket->Meter, read, write);
}

int64_t Socket_GetMaxBandwidth(Socket* socket, double* read, double* write) {
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    return MeterRW_GetMaxBandwidth(socket->Meter, read, write);
}

int64_t Socket_GetCurrentBandwidth(Socket* socket, double* read, double* write) {
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    return MeterRW_GetCurrentBandwidth(socket->Meter, read, write);
}

int64_t Socket_GetLimitBandwidth(Socket* socket, int32_t* read, int32_t* write) {
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    return MeterRW_GetLimitBandwidth(socket->Meter, read, write);
}

int64_t Socket_SetLimitBandwidth(Socket* socket, int32_t read, int32_t write) {
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    return MeterRW_SetLimitBandwidth(socket->Meter, read, write);
}

int64_t Socket_GetMeterRWHandle(Socket* socket, MeterRW** meter) {
    ASSERT_POINTER(meter);
    *meter = nullptr;
    CLASS_CHECK(socket, SOCKET_CLASS_ID);
    *meter = socket->Meter;
    return 1;
}
