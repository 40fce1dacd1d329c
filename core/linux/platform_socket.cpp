// Linux IPv4 socket calls: thin wrappers over the BSD socket interface that report errno, poll
// in place of select (no 1,024-descriptor ceiling), and the thread-safe resolver calls.
#include "core/linux/platform_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

int64_t Fail(int32_t* error) {
    *error = errno;
    return 0;
}

int64_t Done(int result, int32_t* error) {
    *error = 0;
    return result == 0 ? 1 : Fail(error);
}

struct sockaddr_in MakeAddress(uint32_t address, uint32_t port) {
    struct sockaddr_in out;
    memset(&out, 0, sizeof(out));
    out.sin_family = AF_INET;
    out.sin_port = htons((uint16_t)port);
    out.sin_addr.s_addr = address;
    return out;
}

void ReadAddress(const struct sockaddr_in& in, uint32_t* address, uint32_t* port) {
    if (address) *address = in.sin_family == AF_INET ? in.sin_addr.s_addr : 0;
    if (port) *port = in.sin_family == AF_INET ? ntohs(in.sin_port) : 0;
}

struct OptionName {
    int Level;
    int Name;
};

constexpr OptionName kOptions[] = {
    {SOL_SOCKET, SO_REUSEADDR},  {SOL_SOCKET, SO_REUSEPORT}, {IPPROTO_TCP, TCP_NODELAY},
    {SOL_SOCKET, SO_OOBINLINE},  {SOL_SOCKET, SO_SNDBUF},    {SOL_SOCKET, SO_RCVBUF},
    {IPPROTO_IP, IP_MULTICAST_TTL}, {IPPROTO_IP, IP_MULTICAST_LOOP},
};

// Codes 1 to 6 and 10 of the socket layer's protocol table, all IPv4.
struct ProtocolRow {
    uint32_t Code;
    int Type;
    int Protocol;
};
constexpr ProtocolRow kProtocols[] = {
    {1, SOCK_STREAM, IPPROTO_TCP}, {2, SOCK_DGRAM, IPPROTO_UDP}, {3, SOCK_DGRAM, 3}, {4, SOCK_DGRAM, IPPROTO_ICMP},
    {5, SOCK_DGRAM, 0},            {6, SOCK_DGRAM, 0},           {10, SOCK_RAW, 0},
};

void ClearText(char* text, int32_t size) {
    if (text && size > 0) text[0] = 0;
}

} // namespace

int64_t PlatformSocket_ProtocolOf(uint32_t code, int32_t* type, int32_t* protocol) {
    ASSERT_POINTER(type);
    ASSERT_POINTER(protocol);
    *type = *protocol = 0;
    for (const ProtocolRow& row : kProtocols) {
        if (row.Code != code) continue;
        *type = row.Type;
        *protocol = row.Protocol;
        return 1;
    }
    return 0;
}

int64_t PlatformSocket_Create(int32_t type, int32_t protocol, int32_t* descriptor, int32_t* error) {
    ASSERT_POINTER(descriptor);
    ASSERT_POINTER(error);
    *error = 0;
    *descriptor = socket(AF_INET, type | SOCK_CLOEXEC, protocol);
    return *descriptor >= 0 ? 1 : Fail(error);
}

int64_t PlatformSocket_Close(int32_t descriptor, int32_t* error) {
    // Linux releases the descriptor even when close reports EINTR: never close twice.
    if (close(descriptor) == 0 || errno == EINTR) {
        *error = 0;
        return 1;
    }
    return Fail(error);
}

int64_t PlatformSocket_SetNonBlocking(int32_t descriptor, uint32_t on, int32_t* error) {
    int value = on ? 1 : 0;
    return Done(ioctl(descriptor, FIONBIO, &value), error);
}

int64_t PlatformSocket_SetNoSigPipe(int32_t, int32_t* error) {
    // There is no SO_NOSIGPIPE on this platform: every send passes MSG_NOSIGNAL instead, so the
    // option is answered as done.
    *error = 0;
    return 1;
}

int64_t PlatformSocket_Connect(int32_t descriptor, uint32_t address, uint32_t port, int32_t* error) {
    const struct sockaddr_in to = MakeAddress(address, port);
    return Done(connect(descriptor, reinterpret_cast<const struct sockaddr*>(&to), sizeof(to)), error);
}

int64_t PlatformSocket_GetPendingError(int32_t descriptor, int32_t* pending, int32_t* error) {
    int value = 0;
    socklen_t length = sizeof(value);
    *pending = 0;
    if (getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &value, &length) != 0) return Fail(error);
    *pending = value;
    *error = 0;
    return 1;
}

int64_t PlatformSocket_Bind(int32_t descriptor, uint32_t address, uint32_t port, int32_t* error) {
    const struct sockaddr_in at = MakeAddress(address, port);
    return Done(bind(descriptor, reinterpret_cast<const struct sockaddr*>(&at), sizeof(at)), error);
}

int64_t PlatformSocket_Listen(int32_t descriptor, int32_t queue, int32_t* error) {
    return Done(listen(descriptor, queue), error);
}

int64_t PlatformSocket_Accept(int32_t descriptor, int32_t* accepted, uint32_t* address, uint32_t* port,
                              int32_t* error) {
    struct sockaddr_in from;
    memset(&from, 0, sizeof(from));
    socklen_t length = sizeof(from);
    *accepted = accept4(descriptor, reinterpret_cast<struct sockaddr*>(&from), &length, SOCK_CLOEXEC);
    if (*accepted < 0) return Fail(error);
    ReadAddress(from, address, port);
    *error = 0;
    return 1;
}

int64_t PlatformSocket_Shutdown(int32_t descriptor, int32_t* error) {
    return Done(shutdown(descriptor, SHUT_RDWR), error);
}

int64_t PlatformSocket_Send(int32_t descriptor, const void* data, uint32_t length, uint32_t* count,
                            int32_t* error) {
    *count = 0;
    *error = 0;
    ssize_t sent;
    do sent = send(descriptor, data, length, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    if (sent < 0) return Fail(error);
    *count = (uint32_t)sent;
    return 1;
}

int64_t PlatformSocket_Receive(int32_t descriptor, void* buffer, uint32_t size, uint32_t peek, uint32_t wait,
                               uint32_t* count, int32_t* error) {
    *count = 0;
    *error = 0;
    const int flags = (peek ? MSG_PEEK : 0) | (wait ? 0 : MSG_DONTWAIT);
    ssize_t got;
    do got = recv(descriptor, buffer, size, flags);
    while (got < 0 && errno == EINTR);
    if (got < 0) return Fail(error);
    *count = (uint32_t)got;
    return 1;
}

int64_t PlatformSocket_SendTo(int32_t descriptor, uint32_t address, uint32_t port, const void* data,
                              uint32_t length, uint32_t* count, int32_t* error) {
    *count = 0;
    *error = 0;
    const struct sockaddr_in to = MakeAddress(address, port);
    ssize_t sent;
    do sent = sendto(descriptor, data, length, MSG_NOSIGNAL, reinterpret_cast<const struct sockaddr*>(&to),
                     sizeof(to));
    while (sent < 0 && errno == EINTR);
    if (sent < 0) return Fail(error);
    *count = (uint32_t)sent;
    return 1;
}

int64_t PlatformSocket_ReceiveFrom(int32_t descriptor, void* buffer, uint32_t size, uint32_t peek,
                                   uint32_t* address, uint32_t* port, uint32_t* count, int32_t* error) {
    *count = 0;
    *error = 0;
    struct sockaddr_in from;
    memset(&from, 0, sizeof(from));
    socklen_t length = sizeof(from);
    ssize_t got;
    do got = recvfrom(descriptor, buffer, size, peek ? MSG_PEEK : 0, reinterpret_cast<struct sockaddr*>(&from),
                      &length);
    while (got < 0 && errno == EINTR);
    if (got < 0) return Fail(error);
    ReadAddress(from, address, port);
    *count = (uint32_t)got;
    return 1;
}

int64_t PlatformSocket_ReadAvailable(int32_t descriptor, int32_t* available, int32_t* error) {
    int value = 0;
    *available = 0;
    if (ioctl(descriptor, FIONREAD, &value) != 0) return Fail(error);
    *available = value;
    *error = 0;
    return 1;
}

int64_t PlatformSocket_SetOption(int32_t descriptor, PlatformSocketOption option, int32_t value, int32_t* error) {
    ASSERT_MSG((uint32_t)option < sizeof(kOptions) / sizeof(kOptions[0]), "Unknown socket option %d\n", option);
    const OptionName& o = kOptions[option];
    // The multicast options take a byte on some systems; Linux accepts an int for both.
    int v = value;
    return Done(setsockopt(descriptor, o.Level, o.Name, &v, sizeof(v)), error);
}

int64_t PlatformSocket_GetOption(int32_t descriptor, PlatformSocketOption option, int32_t* value, int32_t* error) {
    ASSERT_MSG((uint32_t)option < sizeof(kOptions) / sizeof(kOptions[0]), "Unknown socket option %d\n", option);
    const OptionName& o = kOptions[option];
    int v = 0;
    socklen_t length = sizeof(v);
    *value = 0;
    if (getsockopt(descriptor, o.Level, o.Name, &v, &length) != 0) return Fail(error);
    *value = v;
    *error = 0;
    return 1;
}

int64_t PlatformSocket_SetLinger(int32_t descriptor, uint32_t on, uint16_t seconds, int32_t* error) {
    struct linger value;
    value.l_onoff = on ? 1 : 0;
    value.l_linger = seconds;
    return Done(setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &value, sizeof(value)), error);
}

int64_t PlatformSocket_SetMulticastInterface(int32_t descriptor, uint32_t address, int32_t* error) {
    struct in_addr value;
    value.s_addr = address;
    return Done(setsockopt(descriptor, IPPROTO_IP, IP_MULTICAST_IF, &value, sizeof(value)), error);
}

int64_t PlatformSocket_SetMembership(int32_t descriptor, uint32_t interfaceAddress, uint32_t group, uint32_t join,
                                     int32_t* error) {
    struct ip_mreq request;
    request.imr_multiaddr.s_addr = group;
    request.imr_interface.s_addr = interfaceAddress;
    return Done(setsockopt(descriptor, IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &request,
                           sizeof(request)),
                error);
}

int64_t PlatformSocket_GetLocalAddress(int32_t descriptor, uint32_t* address, uint32_t* port, int32_t* error) {
    struct sockaddr_in at;
    memset(&at, 0, sizeof(at));
    socklen_t length = sizeof(at);
    if (getsockname(descriptor, reinterpret_cast<struct sockaddr*>(&at), &length) != 0) return Fail(error);
    ReadAddress(at, address, port);
    *error = 0;
    return 1;
}

int64_t PlatformSocket_GetRemoteAddress(int32_t descriptor, uint32_t* address, uint32_t* port, int32_t* error) {
    struct sockaddr_in at;
    memset(&at, 0, sizeof(at));
    socklen_t length = sizeof(at);
    if (getpeername(descriptor, reinterpret_cast<struct sockaddr*>(&at), &length) != 0) return Fail(error);
    ReadAddress(at, address, port);
    *error = 0;
    return 1;
}

int64_t PlatformSocket_Poll(PlatformPollEntry* entries, int32_t count, int32_t timeoutMs, int32_t* ready,
                            int32_t* error) {
    ASSERT_POINTER(ready);
    *ready = 0;
    *error = 0;
    constexpr int32_t kLocal = 64;
    struct pollfd local[kLocal];
    struct pollfd* fds = local;
    if (count > kLocal) fds = static_cast<struct pollfd*>(Memory_Alloc(sizeof(struct pollfd) * (size_t)count));
    for (int32_t i = 0; i < count; i++) {
        fds[i].fd = entries[i].Descriptor;
        fds[i].events = (short)(((entries[i].Want & PLATFORM_POLL_READ) ? POLLIN : 0) |
                                ((entries[i].Want & PLATFORM_POLL_WRITE) ? POLLOUT : 0) |
                                ((entries[i].Want & PLATFORM_POLL_ERROR) ? POLLPRI : 0));
        fds[i].revents = 0;
        entries[i].Got = 0;
    }
    const int result = poll(fds, (nfds_t)count, timeoutMs);
    int64_t answer = 1;
    if (result < 0) {
        if (errno != EINTR) answer = Fail(error);
    } else {
        for (int32_t i = 0; i < count; i++) {
            const short got = fds[i].revents;
            // As select reports them: an end of stream or a failure is readable and writable (the
            // call that follows reports it); a failure also counts as an exceptional condition,
            // which is how a refused connect shows.
            uint16_t bits = 0;
            if ((entries[i].Want & PLATFORM_POLL_READ) && (got & (POLLIN | POLLHUP | POLLERR | POLLNVAL)))
                bits |= PLATFORM_POLL_READ;
            if ((entries[i].Want & PLATFORM_POLL_WRITE) && (got & (POLLOUT | POLLHUP | POLLERR | POLLNVAL)))
                bits |= PLATFORM_POLL_WRITE;
            if ((entries[i].Want & PLATFORM_POLL_ERROR) && (got & (POLLPRI | POLLERR | POLLNVAL)))
                bits |= PLATFORM_POLL_ERROR;
            entries[i].Got = bits;
            if (bits) (*ready)++;
        }
    }
    if (fds != local) Memory_Free(fds, sizeof(struct pollfd) * (size_t)count);
    return answer;
}

int32_t PlatformSocket_GetDescriptorLimit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > INT32_MAX)
        return INT32_MAX;
    return (int32_t)limit.rlim_cur;
}

int64_t PlatformSocket_WouldBlock(int32_t error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

int64_t PlatformSocket_InProgress(int32_t error) {
    return error == EINPROGRESS;
}

int64_t PlatformSocket_NoBuffers(int32_t error) {
    return error == ENOBUFS;
}

int64_t PlatformSocket_Reset(int32_t error) {
    return error == ECONNRESET;
}

int64_t PlatformSocket_LookupName(const char* name, uint32_t numericOnly, char* text, int32_t size,
                                  int32_t* error) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(error);
    ClearText(text, size);
    *error = 0;
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    if (numericOnly) {
        hints.ai_flags = AI_NUMERICHOST;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
    }
    struct addrinfo* list = nullptr;
    const int result = getaddrinfo(name, nullptr, &hints, &list);
    if (result != 0) {
        *error = result;
        return 0;
    }
    int64_t found = numericOnly ? 1 : 0;
    if (!numericOnly) {
        for (const struct addrinfo* item = list; item; item = item->ai_next) {
            if (item->ai_family != AF_INET) continue;
            char host[48];
            if (getnameinfo(item->ai_addr, item->ai_addrlen, host, sizeof(host), nullptr, 0, NI_NUMERICHOST) == 0) {
                if (text) String_CopyLength(text, host, size);
                found = 1;
            }
            break;
        }
    }
    freeaddrinfo(list);
    return found;
}

int64_t PlatformSocket_NoSuchName(int32_t error) {
    return error == EAI_NONAME;
}

int64_t PlatformSocket_LookupAddress(uint32_t address, char* name, int32_t size) {
    ASSERT_POINTER(name);
    ClearText(name, size);
    const struct sockaddr_in at = MakeAddress(address, 0);
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<const struct sockaddr*>(&at), sizeof(at), host, sizeof(host), nullptr, 0,
                    NI_NAMEREQD) != 0)
        return 0;
    String_CopyLength(name, host, size);
    return 1;
}

int64_t PlatformSocket_LookupService(uint32_t port, const char* protocol, char* name, int32_t size) {
    ASSERT_POINTER(protocol);
    ASSERT_POINTER(name);
    ClearText(name, size);
    struct servent entry;
    struct servent* found = nullptr;
    char scratch[1024];
    if (getservbyport_r((int)htons((uint16_t)port), protocol, &entry, scratch, sizeof(scratch), &found) != 0 ||
        !found || !found->s_name)
        return 0;
    String_CopyLength(name, found->s_name, size);
    return 1;
}
