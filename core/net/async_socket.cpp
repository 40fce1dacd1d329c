// Non-blocking IPv4 sockets on the shared reactor. Each socket that connects, listens or was
// accepted owns a dispatcher: a read source (accept or receive) and, while connecting, a write
// source. The dispatcher keeps the descriptor open until its last source has been cancelled and
// the last write pass using it has finished, so no pass ever touches a reused descriptor number.
#include "core/net/async_socket.h"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <mutex>
#include <new>

#include "core/linux/platform.h"
#include "core/linux/platform_error.h"
#include "core/linux/platform_reactor.h"
#include "core/runtime/callback.h"
#include "core/runtime/class.h"
#include "core/runtime/class_family.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/meter_rw.h"

// Linux names the idle time before keep-alive probes TCP_KEEPIDLE.
#ifndef TCP_KEEPALIVE
#define TCP_KEEPALIVE TCP_KEEPIDLE
#endif

namespace {

enum : uint32_t { ASYNC_SOCKET_DISPATCHER_CLASS_ID = 0xF6AA9018 };

constexpr int32_t kBufferCapacity = 32768;
// Reads take up to this much per wake-up: a bulk download costs a quarter of the passes.
constexpr int32_t kReadCapacity = 131072;
// Both buffers are allocated when first used, this small, and grow by this factor up to their
// bounds: most connections carry a request and an answer of a few hundred bytes each, and a
// server would otherwise allocate 160 KB per connection.
constexpr int32_t kReadFirst = 16384;
constexpr int32_t kWriteFirst = 4096;
constexpr int32_t kGrowth = 4;
// Connections accepted per report of a listening socket.
constexpr int32_t kAcceptsPerEvent = 16;
// Remove waits for cancel handlers; they only wait for running callbacks, so this is ample.
constexpr int32_t kRemoveWaitMs = 30000;
// A listener that ran out of descriptors asks again when one of ours is closed, or, for those
// freed elsewhere in the process (files, pipes), once its owner starts it again this long after.
constexpr int64_t kStarvedRetryMs = 250;

struct Buffer {
    int32_t Start;
    int32_t End;
    int32_t Capacity;
    uint64_t Generation; // the dispatcher the unsent bytes were produced for
    uint8_t* Data;
};

struct WritePassWork {
    PlatformWork Work;
    AsyncSocket* Socket;
};

} // namespace

struct AsyncSocketDispatcher;

namespace {

struct DispatcherWork {
    PlatformWork Work;
    AsyncSocketDispatcher* Dispatcher;
};

} // namespace

struct AsyncSocket {
    Class Header;
    MeterRW* Meter;
    std::atomic<int32_t> Handle;
    uint32_t Address; // network order
    uint32_t Port;    // host order
    std::atomic<uint32_t> LastError;
    std::atomic<uint32_t> Connected;
    std::atomic<uint32_t> Open;
    std::atomic<uint32_t> Listening;
    // Each set by one pass of its kind for as long as it uses the socket's buffer of that kind,
    // and cleared only by that pass, so a pass of an earlier connection and one of the next
    // never share a buffer.
    std::atomic<uint32_t> Reading;
    std::atomic<uint32_t> Writing;
    // Set by every request to write and cleared by the pass before it looks for bytes: a request
    // that finds a pass under way, which may already have looked, makes that pass run again.
    std::atomic<uint32_t> WriteWanted;
    // Reads run on the reactor's polling thread (AsyncSocket_SetReadInline); under the lock.
    uint32_t ReadInline;
    // A listener's accepting held by its owner (AsyncSocket_StopAccepting), and put off because
    // the process or the system had no descriptor left: a listener whose queue stays readable
    // must not be asked again at once, or it turns in place and serves nobody.
    std::atomic<uint32_t> AcceptHeld;
    std::atomic<uint32_t> Starved;
    std::atomic<int64_t> StarvedAt; // steady milliseconds
    CallbackSync AcceptSlot;
    CallbackSync ReadSizeSlot;
    CallbackSync ReadSlot;
    CallbackSync WriteSizeSlot;
    CallbackSync WriteSlot;
    CallbackSync CloseSlot;
    CallbackSync ConnectSlot;
    CriticalSection* Lock; // the dispatcher pointer, suspend, resume and cancel, descriptor calls
    AsyncSocketDispatcher* Dispatcher;
    uint64_t Generations;
    Buffer ReadBuffer;
    Buffer WriteBuffer;
    WritePassWork WritePass;
};

struct AsyncSocketDispatcher {
    Class Header;
    AsyncSocket* Socket; // counted
    int32_t Descriptor;
    uint64_t Generation;
    std::atomic<uint32_t> Cancelled;
    // Sources alive plus write passes using the descriptor; the last one closes it.
    std::atomic<uint32_t> Holders;
    std::atomic<uint32_t> ReadActive;
    PlatformSource* ReadSource;
    uint32_t WriteActive; // under the socket's lock
    PlatformSource* WriteSource;
    // Under the socket's lock: the write source watches for room after a send met a full socket
    // buffer (not for the connect), and a watch wanted while an old source's cancel was pending.
    uint32_t RoomWatch;
    uint32_t RoomWanted;
    // The close a worker makes for the last holder on the polling thread.
    DispatcherWork Closing;
};

// The reactor all sockets share and the count of sources whose cancel handler has not yet run.
static std::atomic<PlatformReactor*> GlobalAsyncSocketDispatchQueue{nullptr};
static std::atomic<uint32_t> GlobalAsyncSocketPendingDispatchers{0};

namespace {

std::mutex g_initLock;

// Descriptors of ours closed so far, and the listeners waiting for one: each close lets them ask
// again (one accept each, which takes the freed descriptor or finds none and waits again).
std::atomic<uint64_t> g_descriptorsClosed{0};
std::atomic<uint32_t> g_starvedCount{0};
std::mutex g_starvedLock;
AsyncSocket* g_starved[64];
uint32_t g_starvedUsed = 0;

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct ProtocolEntry {
    int32_t Code;
    int32_t Type;
    int32_t Protocol;
};

constexpr ProtocolEntry kProtocols[] = {
    {1, SOCK_STREAM, IPPROTO_TCP}, {2, SOCK_DGRAM, IPPROTO_UDP}, {3, SOCK_DGRAM, 3},
    {4, SOCK_DGRAM, IPPROTO_ICMP}, {5, SOCK_DGRAM, 0},           {6, SOCK_DGRAM, 0},
    {10, SOCK_RAW, 0},
};

AsyncSocket* Checked(AsyncSocket* socket) {
    CLASS_CHECK(socket, ASYNC_SOCKET_CLASS_ID);
    return socket;
}

int64_t DeleteHandle(void** handle) {
    return AsyncSocket_Delete(reinterpret_cast<AsyncSocket**>(handle));
}

// Runs `call(function, user)` under the slot's lock when the slot is set (tested before and
// after taking the lock); false when it was empty.
template <typename F, typename Call> bool WithCallback(CallbackSync* slot, Call call) {
    if (CallbackBase_IsEmpty(&slot->Pointers)) return false;
    CriticalSection* lock = __atomic_load_n(&slot->Lock, __ATOMIC_ACQUIRE);
    if (!lock) return false;
    CriticalSectionGuard guard(lock);
    void* user = nullptr;
    F function = nullptr;
    if (!CallbackBase_Get(&slot->Pointers, &user, &function) || !function) return false;
    call(function, user);
    return true;
}

int32_t Clamp(int32_t value, int32_t high) {
    return value < 0 ? 0 : (value > high ? high : value);
}

bool ErrorCounts(int32_t error) {
    return error != 0 && error != EBADF && error != EAGAIN && error != EWOULDBLOCK && error != EINPROGRESS;
}

// A failed call on an open socket closes it (Close callback on this thread), then keeps the
// first error.
void RecordError(AsyncSocket* socket, int32_t error) {
    if (!ErrorCounts(error) || !socket->Open.load()) return;
    AsyncSocket_Close(socket);
    uint32_t none = 0;
    socket->LastError.compare_exchange_strong(none, (uint32_t)error);
}

void SetBlocking(int32_t fd, bool blocking) {
    int on = blocking ? 0 : 1;
    ioctl(fd, FIONBIO, &on);
}

sockaddr_in MakeAddress(uint32_t address, uint32_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    a.sin_port = htons((uint16_t)port);
    return a;
}

void CloseAndFree(AsyncSocketDispatcher* dispatcher);
void DescriptorClosed();

void CloseWork(PlatformWork* work) {
    CloseAndFree(reinterpret_cast<DispatcherWork*>(work)->Dispatcher);
}

// Whether a close of the shut descriptor returns at once. A close that lingers (SO_LINGER) waits
// while the end of the stream is on its way to the peer, which does not answer for sure: only a
// connection whose end was taken, or that is gone, closes without waiting.
bool CloseReturnsAtOnce(int32_t fd) {
    tcp_info info{};
    socklen_t length = sizeof(info);
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return false;
    return info.tcpi_state == TCP_TIME_WAIT || info.tcpi_state == TCP_FIN_WAIT2 || info.tcpi_state == TCP_CLOSE ||
           info.tcpi_state == TCP_LISTEN;
}

// The last holder closes the descriptor and gives back the socket. On the reactor's polling
// thread (a cancel handler run there) a close that may wait is left to a worker.
void Unhold(AsyncSocketDispatcher* dispatcher) {
    if (dispatcher->Holders.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    // Linux lingers in close (SO_LINGER) whether the descriptor blocks or not: no switch back to
    // blocking mode first.
    shutdown(dispatcher->Descriptor, SHUT_RDWR);
    PlatformReactor* reactor = GlobalAsyncSocketDispatchQueue.load();
    if (reactor && Platform_ReactorOnPollingThread(reactor) && !CloseReturnsAtOnce(dispatcher->Descriptor)) {
        dispatcher->Closing = {{nullptr, CloseWork}, dispatcher};
        Platform_ReactorPost(reactor, &dispatcher->Closing.Work);
        return;
    }
    CloseAndFree(dispatcher);
}

void CloseAndFree(AsyncSocketDispatcher* dispatcher) {
    close(dispatcher->Descriptor);
    DescriptorClosed();
    AsyncSocket* socket = dispatcher->Socket;
    dispatcher->Header.ClassId = 0;
    dispatcher->~AsyncSocketDispatcher();
    Memory_Free(dispatcher, sizeof(AsyncSocketDispatcher));
    AsyncSocket_Release(&socket);
}

// Under the socket's lock. `only`, when given, limits the switch to that dispatcher, so that a
// handler of a closed connection never suspends the source of the next one.
void SetReadActive(AsyncSocket* socket, uint32_t want, AsyncSocketDispatcher* only) {
    CriticalSectionGuard guard(socket->Lock);
    AsyncSocketDispatcher* dispatcher = socket->Dispatcher;
    if (!dispatcher || (only && dispatcher != only)) return;
    uint32_t expected = want ? 0 : 1;
    if (!dispatcher->ReadActive.compare_exchange_strong(expected, want)) return;
    if (want)
        Platform_SourceResume(dispatcher->ReadSource);
    else if (!dispatcher->Cancelled.load())
        Platform_SourceSuspend(dispatcher->ReadSource);
}

// What one accept came to: a connection taken (or one that went away before it was taken: the
// next may be there), nothing waiting, or no descriptor to take one with.
enum class Accepted { Taken, None, Starved };

Accepted AcceptOne(AsyncSocket* socket, AsyncSocketDispatcher* dispatcher);
void CreateDispatcher(AsyncSocket* socket, bool connecting);
void Starve(AsyncSocket* socket, AsyncSocketDispatcher* dispatcher, uint64_t closedBefore);

// Gives an empty buffer room for `need` bytes: its first storage is `first` bytes, and a larger one
// grows by kGrowth up to `bound`. Nothing is copied, as nothing is held.
void Enlarge(Buffer& buffer, int32_t need, int32_t first, int32_t bound) {
    if (buffer.Data && buffer.Capacity >= need) return;
    int32_t capacity = buffer.Data ? buffer.Capacity : first;
    while (capacity < need && capacity < bound) capacity = std::min(capacity * kGrowth, bound);
    if (capacity == buffer.Capacity) return;
    if (buffer.Data) Memory_Free(buffer.Data, buffer.Capacity);
    buffer.Data = static_cast<uint8_t*>(Memory_Alloc(capacity));
    buffer.Capacity = capacity;
    buffer.Start = buffer.End = 0;
}

// Makes room for the next receive. A buffer starts small (most peers send a request of a few
// hundred bytes) and grows, up to its bound, once a receive has filled it.
void ReadRoom(Buffer& buffer) {
    const bool filled = buffer.Data && buffer.End >= buffer.Capacity;
    Enlarge(buffer, filled ? buffer.Capacity + 1 : 1, kReadFirst, kReadCapacity);
}

// One receive for the owner, by whichever thread took the socket's read pass (the reactor's, or
// the owner's through AsyncSocket_ReadNow). The received count; `spurious` says the socket had
// nothing after all.
int32_t ReadOnce(AsyncSocket* socket, AsyncSocketDispatcher* dispatcher, bool* spurious) {
    *spurious = false;
    uint32_t idle = 0;
    // Another read pass holds the buffer (an earlier connection's, or the owner's own read); the
    // source reports again once it is done.
    if (!socket->Reading.compare_exchange_strong(idle, 1)) {
        *spurious = true;
        return 0;
    }
    int32_t wanted = 0;
    WithCallback<AsyncSocketReadSizeFunc>(&socket->ReadSizeSlot, [&](AsyncSocketReadSizeFunc f, void* user) {
        wanted = f(socket, user);
    });
    Buffer& buffer = socket->ReadBuffer;
    if (wanted > 0) ReadRoom(buffer);
    wanted = Clamp(wanted, buffer.Capacity);
    if (wanted > 0) MeterRW_LimitRead(socket->Meter, &wanted);
    int32_t error = 0, received = 0;
    bool ended = false;
    if (wanted > 0) {
        const ssize_t n = recv(dispatcher->Descriptor, buffer.Data, (size_t)wanted, MSG_DONTWAIT);
        if (n == 0)
            ended = true;
        else if (n < 0)
            error = errno;
        else
            received = (int32_t)n;
    }
    // A wake-up without data is not the owner asking for a pause: keep watching.
    *spurious = error == EAGAIN || error == EWOULDBLOCK;
    MeterRW_ReportRead(socket->Meter, (uint32_t)received);
    if (ended)
        AsyncSocket_Close(socket);
    else if (error)
        RecordError(socket, error);
    // Only a receive that filled the whole buffer grows it for the next.
    buffer.Start = 0;
    buffer.End = received;
    if (received > 0) {
        WithCallback<AsyncSocketReadFunc>(&socket->ReadSlot, [&](AsyncSocketReadFunc f, void* user) {
            f(socket, user, buffer.Data, received);
        });
    }
    socket->Reading.store(0);
    return received;
}

void ReadEvent(void* context) {
    AsyncSocketDispatcher* dispatcher = static_cast<AsyncSocketDispatcher*>(context);
    AsyncSocket* socket = dispatcher->Socket;
    if (dispatcher->Descriptor != socket->Handle.load() || dispatcher->Cancelled.load()) return;
    if (socket->Listening.load()) {
        // Connections come in bursts: each report takes what is waiting, up to a bound, instead
        // of one connection per round through the reactor.
        for (int32_t i = 0; i < kAcceptsPerEvent && !dispatcher->Cancelled.load() && !socket->AcceptHeld.load();
             i++) {
            const uint64_t closedBefore = g_descriptorsClosed.load();
            const Accepted result = AcceptOne(socket, dispatcher);
            if (result == Accepted::None) break;
            if (result == Accepted::Starved) {
                Starve(socket, dispatcher, closedBefore);
                break;
            }
        }
        return;
    }
    int32_t received = 0;
    bool spurious = false;
    if (socket->Connected.load()) received = ReadOnce(socket, dispatcher, &spurious);
    if (received == 0 && !spurious) SetReadActive(socket, 0, dispatcher);
}

Accepted AcceptOne(AsyncSocket* socket, AsyncSocketDispatcher* dispatcher) {
    socket->LastError.store(0);
    sockaddr_in peer{};
    socklen_t length = sizeof(peer);
    const int fd = accept4(dispatcher->Descriptor, reinterpret_cast<sockaddr*>(&peer), &length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        // The connection stays queued: the listener stays readable however often it is asked.
        if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
            socket->LastError.store((uint32_t)error);
            return Accepted::Starved;
        }
        // A peer that reset before it was taken, or a signal: others may be waiting behind it.
        if (error == ECONNABORTED || error == EINTR || error == EPROTO) return Accepted::Taken;
        return Accepted::None;
    }
    AsyncSocket* accepted = nullptr;
    AsyncSocket_Create(&accepted);
    accepted->Handle.store(fd);
    accepted->Address = peer.sin_addr.s_addr;
    accepted->Port = ntohs(peer.sin_port);
    MeterRW_Reset(accepted->Meter);
    accepted->Open.store(1);
    accepted->Connected.store(1);
    {
        CriticalSectionGuard guard(accepted->Lock);
        CreateDispatcher(accepted, false);
    }
    WithCallback<AsyncSocketAcceptFunc>(&socket->AcceptSlot, [&](AsyncSocketAcceptFunc f, void* user) {
        f(socket, user, accepted);
    });
    // Nobody but this handler and the dispatcher holds it: no owner could ever close it, and
    // its descriptor would stay open for good.
    if (__atomic_load_n(&accepted->Header.RefCount, __ATOMIC_ACQUIRE) <= 2) AsyncSocket_Close(accepted);
    AsyncSocket_Release(&accepted);
    return Accepted::Taken;
}

// Resumes a listener put off for want of descriptors, unless its owner holds it.
void Relieve(AsyncSocket* socket) {
    uint32_t starved = 1;
    if (!socket->Starved.compare_exchange_strong(starved, 0)) return;
    if (!socket->AcceptHeld.load() && socket->Listening.load()) SetReadActive(socket, 1, nullptr);
}

// Puts the listener's accepting off until one of our descriptors is closed (or its owner asks
// again after kStarvedRetryMs): its queue stays readable, so asking at once would only turn in
// place. On the reactor's polling thread, from the listener's own handler.
void Starve(AsyncSocket* socket, AsyncSocketDispatcher* dispatcher, uint64_t closedBefore) {
    socket->StarvedAt.store(SteadyMs());
    if (socket->Starved.exchange(1) == 0)
        Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, "Accepting put off: no descriptor left [%u]\n",
                     socket->LastError.load());
    SetReadActive(socket, 0, dispatcher);
    bool listed = false;
    {
        std::lock_guard<std::mutex> guard(g_starvedLock);
        for (uint32_t i = 0; i < g_starvedUsed && !listed; i++) listed = g_starved[i] == socket;
        if (!listed && g_starvedUsed < sizeof(g_starved) / sizeof(g_starved[0])) {
            AsyncSocket_AddRef(socket);
            g_starved[g_starvedUsed++] = socket;
            g_starvedCount.store(g_starvedUsed);
            listed = true;
        }
    }
    // A descriptor freed between the failed accept and the listing woke nobody: ask again now.
    // A listener that found no room in the list is asked again by its owner's retry only.
    if (g_descriptorsClosed.load() != closedBefore) Relieve(socket);
}

// Counts a closed descriptor of ours and lets the listeners that wait for one ask again.
void DescriptorClosed() {
    g_descriptorsClosed.fetch_add(1);
    if (g_starvedCount.load() == 0) return;
    AsyncSocket* waiting[sizeof(g_starved) / sizeof(g_starved[0])];
    uint32_t count = 0;
    {
        std::lock_guard<std::mutex> guard(g_starvedLock);
        count = g_starvedUsed;
        for (uint32_t i = 0; i < count; i++) waiting[i] = g_starved[i];
        g_starvedUsed = 0;
        g_starvedCount.store(0);
    }
    for (uint32_t i = 0; i < count; i++) {
        Relieve(waiting[i]);
        AsyncSocket_Release(&waiting[i]);
    }
}

void WriteEvent(void* context) {
    AsyncSocketDispatcher* dispatcher = static_cast<AsyncSocketDispatcher*>(context);
    AsyncSocket* socket = dispatcher->Socket;
    if (dispatcher->Descriptor == socket->Handle.load() && !dispatcher->Cancelled.load() &&
        !socket->Connected.load()) {
        // The connect's own error is the one worth keeping, not the peer query's ENOTCONN.
        int pending = 0;
        socklen_t length = sizeof(pending);
        if (getsockopt(dispatcher->Descriptor, SOL_SOCKET, SO_ERROR, &pending, &length) == 0 && pending != 0)
            RecordError(socket, pending);
        uint32_t address = 0, port = 0;
        const uint32_t success = AsyncSocket_GetRemoteIP(socket, &address, &port) ? 1 : 0;
        socket->Connected.store(success);
        WithCallback<AsyncSocketConnectFunc>(&socket->ConnectSlot, [&](AsyncSocketConnectFunc f, void* user) {
            f(socket, user, success);
        });
    }
    bool room = false;
    {
        CriticalSectionGuard guard(socket->Lock);
        if (dispatcher->WriteActive) {
            dispatcher->WriteActive = 0;
            Platform_SourceCancel(dispatcher->WriteSource);
        }
        room = dispatcher->RoomWatch != 0 && !dispatcher->Cancelled.load();
        dispatcher->RoomWatch = 0;
    }
    // The socket has room again: the bytes a send left behind go now.
    if (room) AsyncSocket_StartWriting(socket);
}

void ReadCancel(void* context) {
    AsyncSocketDispatcher* dispatcher = static_cast<AsyncSocketDispatcher*>(context);
    {
        CriticalSectionGuard guard(dispatcher->Socket->Lock);
        Platform_SourceRelease(&dispatcher->ReadSource);
    }
    Unhold(dispatcher);
    GlobalAsyncSocketPendingDispatchers.fetch_sub(1);
}

void WriteCancel(void* context) {
    AsyncSocketDispatcher* dispatcher = static_cast<AsyncSocketDispatcher*>(context);
    bool again = false;
    {
        CriticalSectionGuard guard(dispatcher->Socket->Lock);
        Platform_SourceRelease(&dispatcher->WriteSource);
        dispatcher->WriteActive = 0;
        again = dispatcher->RoomWanted != 0 && !dispatcher->Cancelled.load();
        dispatcher->RoomWanted = 0;
    }
    // A send met a full buffer while this source was going: try again, which watches anew.
    if (again) AsyncSocket_StartWriting(dispatcher->Socket);
    Unhold(dispatcher);
    GlobalAsyncSocketPendingDispatchers.fetch_sub(1);
}

// Under the socket's lock, with no dispatcher yet and a descriptor held.
void CreateDispatcher(AsyncSocket* socket, bool connecting) {
    PlatformReactor* reactor = GlobalAsyncSocketDispatchQueue.load();
    void* block = Memory_AllocZero(sizeof(AsyncSocketDispatcher));
    AsyncSocketDispatcher* dispatcher = new (block) AsyncSocketDispatcher();
    dispatcher->Header.ClassId = ASYNC_SOCKET_DISPATCHER_CLASS_ID;
    dispatcher->Header.RefCount = 1;
    dispatcher->Socket = socket;
    AsyncSocket_AddRef(socket);
    dispatcher->Descriptor = socket->Handle.load();
    dispatcher->Generation = ++socket->Generations;
    dispatcher->Holders.store(connecting ? 2 : 1);
    if (!reactor || !Platform_SourceCreate(&dispatcher->ReadSource, reactor, dispatcher->Descriptor,
                                           PLATFORM_SOURCE_READ, dispatcher, ReadEvent, ReadCancel))
        Debug_Abort("Unable to create read source");
    if (connecting && !Platform_SourceCreate(&dispatcher->WriteSource, reactor, dispatcher->Descriptor,
                                             PLATFORM_SOURCE_WRITE, dispatcher, WriteEvent, WriteCancel))
        Debug_Abort("Unable to create write source");
    // The cancel handler then runs there too: it only frees, and a close that may wait is left
    // to a worker.
    if (socket->ReadInline) {
        Platform_SourceSetInline(dispatcher->ReadSource, 1);
        Platform_SourceSetCancelInline(dispatcher->ReadSource, 1);
    }
    socket->Dispatcher = dispatcher;
    GlobalAsyncSocketPendingDispatchers.fetch_add(connecting ? 2 : 1);
    if (connecting) {
        dispatcher->WriteActive = 1;
        Platform_SourceResume(dispatcher->WriteSource);
    }
}

// Sends what the socket holds, then what the owner has waiting. Bytes left over from an earlier
// pass go first; once they are all out the owner is asked again within the same pass.
// True when bytes are left because the socket buffer is full.
bool WriteOnce(AsyncSocket* socket, AsyncSocketDispatcher* dispatcher) {
    Buffer& buffer = socket->WriteBuffer;
    // Bytes left from an earlier connection were meant for another peer.
    if (buffer.Generation != dispatcher->Generation) {
        buffer.Start = buffer.End = 0;
        buffer.Generation = dispatcher->Generation;
    }
    for (int32_t round = 0; round < 2; round++) {
        int32_t count = 0;
        const bool leftover = buffer.End > buffer.Start;
        if (leftover) {
            count = buffer.End - buffer.Start;
        } else {
            WithCallback<AsyncSocketWriteSizeFunc>(&socket->WriteSizeSlot,
                                                   [&](AsyncSocketWriteSizeFunc f, void* user) { count = f(socket, user); });
            count = Clamp(count, kBufferCapacity);
            // Nothing is left in the buffer here.
            if (count > 0) Enlarge(buffer, count, kWriteFirst, kBufferCapacity);
            if (count > 0) {
                const int32_t offered = count;
                count = 0;
                WithCallback<AsyncSocketWriteFunc>(&socket->WriteSlot, [&](AsyncSocketWriteFunc f, void* user) {
                    count = f(socket, user, buffer.Data, offered);
                });
                // A callback claiming more than it was offered must not send bytes past the buffer.
                count = Clamp(count, offered);
            }
            buffer.Start = 0;
            buffer.End = count;
        }
        if (count <= 0) return false;
        MeterRW_LimitWrite(socket->Meter, &count);
        int32_t sent = 0, error = 0;
        if (count >= 1) {
            const ssize_t n =
                send(dispatcher->Descriptor, buffer.Data + buffer.Start, (size_t)count, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n >= 0) {
                buffer.Start += (int32_t)n;
                sent = (int32_t)n;
            } else {
                error = errno;
            }
        }
        MeterRW_ReportWrite(socket->Meter, (uint32_t)sent);
        if (error) RecordError(socket, error);
        if (error == EAGAIN || error == EWOULDBLOCK || (!error && buffer.Start < buffer.End && sent > 0))
            return true;
        // Only a pass that emptied the leftovers goes on to the owner's bytes.
        if (!leftover || error || buffer.Start < buffer.End) return false;
    }
    return false;
}

// Under no lock: a write source that runs a pass once the socket has room again.
void WatchForRoom(AsyncSocket* socket, AsyncSocketDispatcher* dispatcher) {
    PlatformReactor* reactor = GlobalAsyncSocketDispatchQueue.load();
    CriticalSectionGuard guard(socket->Lock);
    if (!reactor || socket->Dispatcher != dispatcher || dispatcher->Cancelled.load() || dispatcher->WriteActive)
        return;
    if (dispatcher->WriteSource) {
        // The source of the connect is still on its way out: its cancel handler tries again.
        dispatcher->RoomWanted = 1;
        return;
    }
    if (!Platform_SourceCreate(&dispatcher->WriteSource, reactor, dispatcher->Descriptor, PLATFORM_SOURCE_WRITE,
                               dispatcher, WriteEvent, WriteCancel))
        return;
    dispatcher->Holders.fetch_add(1);
    GlobalAsyncSocketPendingDispatchers.fetch_add(1);
    dispatcher->RoomWatch = 1;
    dispatcher->WriteActive = 1;
    Platform_SourceResume(dispatcher->WriteSource);
}

// One write pass; the caller set Writing and holds a reference, which the pass gives back.
void RunWritePass(AsyncSocket* socket) {
    AsyncSocketDispatcher* dispatcher;
    {
        CriticalSectionGuard guard(socket->Lock);
        dispatcher = socket->Dispatcher;
        if (dispatcher) dispatcher->Holders.fetch_add(1);
    }
    socket->WriteWanted.store(0);
    bool blocked = false;
    if (dispatcher && socket->Connected.load() && !dispatcher->Cancelled.load())
        blocked = WriteOnce(socket, dispatcher);
    socket->Writing.store(0);
    if (blocked) WatchForRoom(socket, dispatcher);
    if (dispatcher) Unhold(dispatcher);
    // Asked again after this pass began: the pass may have looked too early, so another one runs.
    if (socket->WriteWanted.load()) AsyncSocket_StartWriting(socket);
    AsyncSocket_Release(&socket);
}

void WritePass(PlatformWork* work) {
    RunWritePass(reinterpret_cast<WritePassWork*>(work)->Socket);
}

// Runs a system call on the socket's descriptor under its lock, so that Close cannot give the
// descriptor away meanwhile. Answers 0 without a descriptor; on failure the error is recorded
// (outside the lock: recording may call the Close callback) when `record` is set. Only a bind
// or a listen is made in blocking mode (`toggleBlocking`): options and a shutdown act alike in
// either mode, and the two switches would cost two more calls each.
template <typename Call> int64_t OnDescriptor(AsyncSocket* socket, bool toggleBlocking, bool record, Call call) {
    int32_t error = 0;
    {
        CriticalSectionGuard guard(socket->Lock);
        const int32_t fd = socket->Handle.load();
        if (fd < 0) return 0;
        if (toggleBlocking) SetBlocking(fd, true);
        if (call(fd) != 0) error = errno ? errno : EIO;
        if (toggleBlocking) SetBlocking(fd, false);
    }
    if (error == 0) return 1;
    if (record) RecordError(socket, error);
    return 0;
}

int SetOption(int32_t fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof(value));
}

} // namespace

CLASS_BASICS(AsyncSocket, AsyncSocket, ASYNC_SOCKET_CLASS_ID)

int64_t AsyncSocket_Init() {
    std::lock_guard<std::mutex> guard(g_initLock);
    if (GlobalAsyncSocketDispatchQueue.load()) return 1;
    PlatformReactor* reactor = nullptr;
    if (!Platform_ReactorCreate(&reactor, "com.quarvelon.asyncsocket", 0)) return 0;
    GlobalAsyncSocketDispatchQueue.store(reactor);
    return 1;
}

int64_t AsyncSocket_Remove() {
    std::lock_guard<std::mutex> guard(g_initLock);
    PlatformReactor* reactor = GlobalAsyncSocketDispatchQueue.load();
    if (!reactor) return 1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRemoveWaitMs);
    while (GlobalAsyncSocketPendingDispatchers.load() != 0) {
        // Stopping the reactor now would free sources still in its hands: keep it running.
        if (std::chrono::steady_clock::now() > deadline) return 0;
        Platform_SleepMS(1);
    }
    GlobalAsyncSocketDispatchQueue.store(nullptr);
    Platform_ReactorDelete(&reactor);
    return 1;
}

int64_t AsyncSocket_Create(AsyncSocket** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    void* block = Memory_AllocZero(sizeof(AsyncSocket));
    AsyncSocket* socket = new (block) AsyncSocket();
    socket->Header.ClassId = ASYNC_SOCKET_CLASS_ID;
    socket->Header.RefCount = 1;
    socket->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(socket);
    MeterRW_Create(&socket->Meter);
    socket->Handle.store(-1);
    CriticalSection_Create(&socket->Lock);
    socket->WritePass = {{nullptr, WritePass}, socket};
    *handle = socket;
    return 1;
}

int64_t AsyncSocket_Delete(AsyncSocket** handle) {
    ASSERT_POINTER(handle);
    AsyncSocket* socket = Checked(*handle);
    // A socket with a dispatcher is held by it, so a descriptor still here was never given one
    // (opened or bound only): nothing else will close it.
    const int32_t fd = socket->Handle.load();
    if (fd >= 0) {
        close(fd);
        DescriptorClosed();
    }
    for (CallbackSync* slot : {&socket->AcceptSlot, &socket->ReadSizeSlot, &socket->ReadSlot, &socket->WriteSizeSlot,
                               &socket->WriteSlot, &socket->CloseSlot, &socket->ConnectSlot})
        CallbackSync_ResetReal(slot, 0);
    CriticalSection_Delete(&socket->Lock);
    for (Buffer* buffer : {&socket->ReadBuffer, &socket->WriteBuffer})
        if (buffer->Data) Memory_Free(buffer->Data, buffer->Capacity);
    MeterRW_Release(&socket->Meter);
    socket->Header.ClassId = 0;
    socket->~AsyncSocket();
    Memory_Free(socket, sizeof(AsyncSocket));
    *handle = nullptr;
    return 1;
}

int64_t AsyncSocket_Open(AsyncSocket* socket, int32_t protocol) {
    Checked(socket);
    socket->LastError.store(0);
    const int32_t held = socket->Handle.load();
    ASSERT_MSG(held == -1, "Attempted to open an in-use socket (%d, %d)", held, protocol);
    const ProtocolEntry* entry = nullptr;
    for (const ProtocolEntry& e : kProtocols)
        if (e.Code == protocol) entry = &e;
    if (!entry) {
        Log_PrintInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, "Unknown socket protocol '%d'\n", protocol);
        socket->Handle.store(-1);
        socket->LastError.store(EINVAL);
        return 0;
    }
    const int fd = ::socket(AF_INET, entry->Type | SOCK_CLOEXEC, entry->Protocol);
    if (fd < 0) return 0;
    // Writing to a closed peer must not raise SIGPIPE: every send passes MSG_NOSIGNAL.
    MeterRW_Reset(socket->Meter);
    socket->Listening.store(0);
    socket->AcceptHeld.store(0);
    socket->Starved.store(0);
    socket->Handle.store(fd);
    socket->Open.store(1);
    SetBlocking(fd, false);
    return 1;
}

int64_t AsyncSocket_Connect(AsyncSocket* socket, const uint32_t* address, uint32_t port) {
    Checked(socket);
    ASSERT_POINTER(address);
    int32_t error = 0;
    {
        CriticalSectionGuard guard(socket->Lock);
        const int32_t fd = socket->Handle.load();
        if (fd < 0 || socket->Dispatcher) return 0;
        socket->LastError.store(0);
        MeterRW_Reset(socket->Meter);
        socket->Address = *address;
        socket->Port = port;
        const sockaddr_in peer = MakeAddress(*address, port);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) != 0) error = errno;
        if (!ErrorCounts(error)) CreateDispatcher(socket, true);
    }
    if (ErrorCounts(error)) {
        RecordError(socket, error);
        return 0;
    }
    return 1;
}

int64_t AsyncSocket_Bind(AsyncSocket* socket, const uint32_t* address, uint32_t port) {
    Checked(socket);
    ASSERT_POINTER(address);
    const sockaddr_in local = MakeAddress(*address, port);
    if (!OnDescriptor(socket, true, true, [&](int32_t fd) {
            return bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local));
        }))
        return 0;
    socket->Address = *address;
    socket->Port = port;
    return 1;
}

int64_t AsyncSocket_Listen(AsyncSocket* socket, int32_t backlog) {
    Checked(socket);
    {
        CriticalSectionGuard guard(socket->Lock);
        if (socket->Dispatcher) return 0;
    }
    socket->Listening.store(1);
    return OnDescriptor(socket, true, true, [&](int32_t fd) {
        const int result = listen(fd, backlog);
        if (result == 0) CreateDispatcher(socket, false);
        return result;
    });
}

int64_t AsyncSocket_StartAccepting(AsyncSocket* socket) {
    Checked(socket);
    if (!socket->Listening.load()) return 0;
    socket->AcceptHeld.store(0);
    // Out of descriptors: asked again when one of ours is closed, or after the retry time for
    // those freed elsewhere; an owner asking on every pass must not make it turn in place.
    if (socket->Starved.load()) {
        if (SteadyMs() - socket->StarvedAt.load() < kStarvedRetryMs) return 1;
        socket->Starved.store(0);
    }
    SetReadActive(socket, 1, nullptr);
    return 1;
}

int64_t AsyncSocket_StopAccepting(AsyncSocket* socket) {
    Checked(socket);
    if (!socket->Listening.load()) return 0;
    socket->AcceptHeld.store(1);
    SetReadActive(socket, 0, nullptr);
    return 1;
}

int64_t AsyncSocket_IsAcceptStarved(AsyncSocket* socket) {
    return Checked(socket)->Starved.load() ? 1 : 0;
}

int64_t AsyncSocket_Shutdown(AsyncSocket* socket, int32_t how) {
    Checked(socket);
    return OnDescriptor(socket, false, true, [&](int32_t fd) { return shutdown(fd, how); });
}

int64_t AsyncSocket_Close(AsyncSocket* socket) {
    Checked(socket);
    // One closer wins, so the Close callback runs once even when two threads close at once.
    uint32_t open = 1;
    if (!socket->Open.compare_exchange_strong(open, 0)) return 1;
    bool closed = false;
    {
        CriticalSectionGuard guard(socket->Lock);
        const int32_t fd = socket->Handle.exchange(-1);
        socket->Connected.store(0);
        if (AsyncSocketDispatcher* dispatcher = socket->Dispatcher) {
            dispatcher->Cancelled.store(1);
            if (dispatcher->WriteActive) {
                dispatcher->WriteActive = 0;
                Platform_SourceCancel(dispatcher->WriteSource);
            }
            // The reactor delivers the cancellation of a suspended source too; the descriptor is
            // closed by the dispatcher's last holder.
            Platform_SourceCancel(dispatcher->ReadSource);
            socket->Dispatcher = nullptr;
        } else if (fd >= 0) {
            close(fd);
            closed = true;
        }
    }
    // Outside the lock: the listeners it wakes take their own.
    if (closed) DescriptorClosed();
    WithCallback<AsyncSocketCloseFunc>(&socket->CloseSlot, [&](AsyncSocketCloseFunc f, void* user) { f(socket, user); });
    return 1;
}

int64_t AsyncSocket_StartReading(AsyncSocket* socket) {
    Checked(socket);
    if (AsyncSocket_IsConnected(socket)) SetReadActive(socket, 1, nullptr);
    return 1;
}

// Takes the right to run a write pass; false when one is under way (it will run again).
static bool ClaimWritePass(AsyncSocket* socket) {
    socket->WriteWanted.store(1);
    uint32_t idle = 0;
    // Looked at before the exchange: an owner calling again while a pass is queued must not
    // keep taking the flag's cache line from the worker running that pass.
    if (socket->Writing.load() != 0 || !socket->Writing.compare_exchange_strong(idle, 1)) return false;
    AsyncSocket_AddRef(socket);
    return true;
}

int64_t AsyncSocket_StartWriting(AsyncSocket* socket) {
    Checked(socket);
    PlatformReactor* reactor = GlobalAsyncSocketDispatchQueue.load();
    if (!reactor || !AsyncSocket_IsConnected(socket)) return 1;
    if (ClaimWritePass(socket)) Platform_ReactorPost(reactor, &socket->WritePass.Work);
    return 1;
}

int64_t AsyncSocket_WriteNow(AsyncSocket* socket) {
    Checked(socket);
    if (!GlobalAsyncSocketDispatchQueue.load() || !AsyncSocket_IsConnected(socket)) return 1;
    if (ClaimWritePass(socket)) RunWritePass(socket);
    return 1;
}

int64_t AsyncSocket_SetReadInline(AsyncSocket* socket, int32_t on) {
    Checked(socket);
    CriticalSectionGuard guard(socket->Lock);
    socket->ReadInline = on ? 1 : 0;
    if (socket->Dispatcher) {
        Platform_SourceSetInline(socket->Dispatcher->ReadSource, socket->ReadInline);
        Platform_SourceSetCancelInline(socket->Dispatcher->ReadSource, socket->ReadInline);
    }
    return 1;
}

int64_t AsyncSocket_ReadNow(AsyncSocket* socket) {
    Checked(socket);
    AsyncSocketDispatcher* dispatcher;
    {
        CriticalSectionGuard guard(socket->Lock);
        dispatcher = socket->Dispatcher;
        if (!dispatcher || dispatcher->Cancelled.load() || socket->Listening.load() || !socket->Connected.load())
            return 0;
        // The descriptor stays this dispatcher's until the receive is done.
        dispatcher->Holders.fetch_add(1);
    }
    bool spurious = false;
    const int32_t received = ReadOnce(socket, dispatcher, &spurious);
    Unhold(dispatcher);
    return received > 0 ? 1 : 0;
}

int64_t AsyncSocket_SetReuse(AsyncSocket* socket, int32_t on) {
    Checked(socket);
    const int value = on == 1 ? 1 : 0;
    return OnDescriptor(socket, false, true, [&](int32_t fd) {
        const int result = SetOption(fd, SOL_SOCKET, SO_REUSEADDR, value);
        return result != 0 ? result : SetOption(fd, SOL_SOCKET, SO_REUSEPORT, value);
    });
}

int64_t AsyncSocket_SetReuseAddress(AsyncSocket* socket, int32_t on) {
    Checked(socket);
    const int value = on == 1 ? 1 : 0;
    return OnDescriptor(socket, false, true, [&](int32_t fd) { return SetOption(fd, SOL_SOCKET, SO_REUSEADDR, value); });
}

int64_t AsyncSocket_SetLinger(AsyncSocket* socket, int32_t on, int32_t seconds) {
    Checked(socket);
    linger value{};
    value.l_onoff = on == 1 ? 1 : 0;
    value.l_linger = (uint16_t)seconds;
    return OnDescriptor(socket, false, false,
                        [&](int32_t fd) { return setsockopt(fd, SOL_SOCKET, SO_LINGER, &value, sizeof(value)); });
}

int64_t AsyncSocket_SetKeepAlive(AsyncSocket* socket, int32_t on, int32_t seconds) {
    Checked(socket);
    return OnDescriptor(socket, false, true, [&](int32_t fd) {
        const int result = SetOption(fd, SOL_SOCKET, SO_KEEPALIVE, on);
        return result != 0 ? result : SetOption(fd, IPPROTO_TCP, TCP_KEEPALIVE, seconds);
    });
}

int64_t AsyncSocket_SetNagel(AsyncSocket* socket, int32_t on) {
    Checked(socket);
    return OnDescriptor(socket, false, true, [&](int32_t fd) { return SetOption(fd, IPPROTO_TCP, TCP_NODELAY, !on); });
}

int64_t AsyncSocket_IsOpen(AsyncSocket* socket) {
    Checked(socket);
    return socket->Open.load() && socket->Handle.load() >= 0;
}

int64_t AsyncSocket_IsConnected(AsyncSocket* socket) {
    Checked(socket);
    return socket->Connected.load() && AsyncSocket_IsOpen(socket);
}

int64_t AsyncSocket_IsReading(AsyncSocket* socket) {
    Checked(socket);
    CriticalSectionGuard guard(socket->Lock);
    return socket->Dispatcher && socket->Reading.load();
}

int64_t AsyncSocket_IsWriting(AsyncSocket* socket) {
    Checked(socket);
    CriticalSectionGuard guard(socket->Lock);
    return socket->Dispatcher && socket->Writing.load();
}

int64_t AsyncSocket_GetIP(AsyncSocket* socket, uint32_t* address, uint32_t* port) {
    Checked(socket);
    ASSERT_POINTER(address);
    ASSERT_POINTER(port);
    *address = 0;
    *port = 0;
    if (socket->Handle.load() < 0) return 0;
    *address = socket->Address;
    *port = socket->Port;
    return 1;
}

int64_t AsyncSocket_GetRemoteIP(AsyncSocket* socket, uint32_t* address, uint32_t* port) {
    Checked(socket);
    ASSERT_POINTER(address);
    ASSERT_POINTER(port);
    *address = 0;
    *port = 0;
    sockaddr_in peer{};
    if (!OnDescriptor(socket, false, true, [&](int32_t fd) {
            socklen_t length = sizeof(peer);
            return getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length);
        }))
        return 0;
    *address = peer.sin_addr.s_addr;
    *port = ntohs(peer.sin_port);
    return 1;
}

int64_t AsyncSocket_GetLocalIP(AsyncSocket* socket, uint32_t* address, uint32_t* port) {
    Checked(socket);
    ASSERT_POINTER(address);
    ASSERT_POINTER(port);
    *address = 0;
    *port = 0;
    if (!AsyncSocket_IsOpen(socket)) return 0;
    sockaddr_in local{};
    if (!OnDescriptor(socket, false, true, [&](int32_t fd) {
            socklen_t length = sizeof(local);
            return getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
        }))
        return 0;
    *address = local.sin_addr.s_addr;
    *port = ntohs(local.sin_port);
    return 1;
}

uint32_t AsyncSocket_GetLastError(AsyncSocket* socket) {
    Checked(socket);
    return socket->LastError.load();
}

int64_t AsyncSocket_ClearLastError(AsyncSocket* socket) {
    Checked(socket);
    socket->LastError.store(0);
    return 1;
}

const char* AsyncSocket_TranslateError(int32_t error) {
    return Platform_TranslateSocketError(error);
}

int64_t AsyncSocket_GetMeterRWHandle(AsyncSocket* socket, MeterRW** meter) {
    Checked(socket);
    ASSERT_POINTER(meter);
    *meter = socket->Meter;
    return 1;
}

int64_t AsyncSocket_GetOverallUsage(AsyncSocket* socket, uint64_t* read, uint64_t* write) {
    return MeterRW_GetOverallUsage(Checked(socket)->Meter, read, write);
}

int64_t AsyncSocket_GetMaxBandwidth(AsyncSocket* socket, double* read, double* write) {
    return MeterRW_GetMaxBandwidth(Checked(socket)->Meter, read, write);
}

int64_t AsyncSocket_GetCurrentBandwidth(AsyncSocket* socket, double* read, double* write) {
    return MeterRW_GetCurrentBandwidth(Checked(socket)->Meter, read, write);
}

int64_t AsyncSocket_GetLimitBandwidth(AsyncSocket* socket, int32_t* read, int32_t* write) {
    return MeterRW_GetLimitBandwidth(Checked(socket)->Meter, read, write);
}

int64_t AsyncSocket_SetLimitBandwidth(AsyncSocket* socket, int32_t read, int32_t write) {
    return MeterRW_SetLimitBandwidth(Checked(socket)->Meter, read, write);
}

#define ASYNC_SOCKET_SETTER(Name, Slot, Type)                                                  \
    int64_t AsyncSocket_Set##Name##Callback(AsyncSocket* socket, void* user, Type function) {  \
        Checked(socket);                                                                       \
        return CallbackSync_SetReal(&socket->Slot, user, Callback_FunctionWord(function));     \
    }

ASYNC_SOCKET_SETTER(Accept, AcceptSlot, AsyncSocketAcceptFunc)
ASYNC_SOCKET_SETTER(ReadSize, ReadSizeSlot, AsyncSocketReadSizeFunc)
ASYNC_SOCKET_SETTER(Read, ReadSlot, AsyncSocketReadFunc)
ASYNC_SOCKET_SETTER(WriteSize, WriteSizeSlot, AsyncSocketWriteSizeFunc)
ASYNC_SOCKET_SETTER(Write, WriteSlot, AsyncSocketWriteFunc)
ASYNC_SOCKET_SETTER(Close, CloseSlot, AsyncSocketCloseFunc)
ASYNC_SOCKET_SETTER(Connect, ConnectSlot, AsyncSocketConnectFunc)
