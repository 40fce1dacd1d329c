// Blocking sockets on 127.0.0.1: transfers, time-outs, cancel, resets, lines, datagrams and the
// protocol table; every peer is a thread of this test on a free port.
#include "core/net/socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/string.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/log_capture.h"

namespace {

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A socket that closes itself.
struct Owned {
    Socket* s = nullptr;
    Owned() { Socket_Create(&s); }
    explicit Owned(Socket* taken) : s(taken) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() {
        if (s) Socket_Release(&s);
    }
    Socket* operator->() const { return s; }
    operator Socket*() const { return s; }
};

// A TCP listener on a free port of 127.0.0.1.
struct Listener {
    Owned socket;
    uint32_t port = 0;
    Listener() {
        EXPECT_EQ(Socket_Open(socket, SOCKET_PROTOCOL_TCP), 1);
        EXPECT_EQ(Socket_Bind(socket, &kLoopback, 0), 1);
        EXPECT_EQ(Socket_Listen(socket), 1);
        uint32_t address = 0;
        EXPECT_EQ(Socket_GetLocalIP(socket, &address, &port), 1);
        EXPECT_EQ(address, kLoopback);
    }
    Socket* Accept() {
        Socket* peer = nullptr;
        EXPECT_EQ(Socket_Accept(socket, &peer), 1);
        return peer;
    }
};

void Connect(Socket* client, uint32_t port) {
    ASSERT_EQ(Socket_Open(client, SOCKET_PROTOCOL_TCP), 1);
    ASSERT_EQ(Socket_Connect(client, &kLoopback, port), 1);
}

bool WriteAll(Socket* socket, const uint8_t* data, size_t length) {
    while (length > 0) {
        uint32_t sent = 0;
        if (!Socket_Write(socket, data, (uint32_t)std::min<size_t>(length, 1u << 20), &sent)) return false;
        data += sent;
        length -= sent;
    }
    return true;
}

uint8_t PatternAt(uint64_t i) {
    return (uint8_t)(i * 131 + (i >> 13));
}

// The peer thread echoes what it reads from one connection in odd-sized pieces back on a
// second one, until the first closes. Every socket has one thread (the writer, the peer, the
// reader), and small buffers make each wait for the next.
TEST(Socket, EchoesHundredMegabytesIntactUnderBackPressure) {
    Deadline deadline("100 MB echo", 240);
    constexpr uint64_t kTotal = 100ull << 20;
    Listener listener;
    std::thread echo([&] {
        Owned in(listener.Accept()), out(listener.Accept());
        Socket_SetReceiveBufferSize(in, 32768);
        Socket_SetSendBufferSize(out, 32768);
        std::vector<uint8_t> buffer(77777);
        uint32_t got = 0;
        while (Socket_Read(in, buffer.data(), (uint32_t)buffer.size(), &got) && got > 0)
            if (!WriteAll(out, buffer.data(), got)) break;
    });
    Owned sender, receiver;
    Connect(sender, listener.port);
    Connect(receiver, listener.port);
    Socket_SetSendBufferSize(sender, 32768);
    Socket_SetReceiveBufferSize(receiver, 32768);
    std::thread writer([&] {
        std::vector<uint8_t> chunk(1 << 20);
        for (uint64_t at = 0; at < kTotal; at += chunk.size()) {
            for (size_t k = 0; k < chunk.size(); k++) chunk[k] = PatternAt(at + k);
            if (!WriteAll(sender, chunk.data(), chunk.size())) break;
        }
        Socket_Shutdown(sender);
    });
    std::vector<uint8_t> buffer(65536);
    uint64_t received = 0, wrong = 0;
    uint32_t got = 0;
    while (received < kTotal && Socket_Read(receiver, buffer.data(), (uint32_t)buffer.size(), &got) && got > 0) {
        for (uint32_t k = 0; k < got; k++) wrong += buffer[k] != PatternAt(received + k);
        received += got;
    }
    writer.join();
    echo.join();
    EXPECT_EQ(received, kTotal);
    EXPECT_EQ(wrong, 0u);
    uint64_t read = 0, written = 0;
    Socket_GetOverallUsage(sender, &read, &written);
    EXPECT_EQ(written, kTotal);
    Socket_GetOverallUsage(receiver, &read, &written);
    EXPECT_EQ(read, kTotal);
}

TEST(Socket, ConnectToClosedPortFailsWithRefusal) {
    uint32_t port = 0;
    {
        Listener gone;
        port = gone.port;
    }
    Owned client;
    ASSERT_EQ(Socket_Open(client, SOCKET_PROTOCOL_TCP), 1);
    EXPECT_EQ(Socket_Connect(client, &kLoopback, port), 0);
    EXPECT_EQ(Socket_GetLastError(client), ECONNREFUSED);
}

// A listener whose backlog is full drops new handshakes, so a connect waits out its time-out
// (or its cancel) without reaching any other host.
TEST(Socket, ConnectTimesOutOrIsCancelledOnAFullBacklog) {
    LogCapture log;
    Listener listener;
    Socket_Close(listener.socket);
    ASSERT_EQ(Socket_Open(listener.socket, SOCKET_PROTOCOL_TCP), 1);
    ASSERT_EQ(Socket_Bind(listener.socket, &kLoopback, 0), 1);
    Socket_SetListenQueue(listener.socket, 1);
    ASSERT_EQ(Socket_Listen(listener.socket), 1);
    uint32_t address = 0, port = 0;
    Socket_GetLocalIP(listener.socket, &address, &port);
    std::vector<Owned> waiting(4);
    for (Owned& w : waiting) {
        Socket_Open(w, SOCKET_PROTOCOL_TCP);
        Socket_SetTimeout(w, 1000, 100, 0);
        Socket_Connect(w, &kLoopback, port);
    }
    Owned client;
    ASSERT_EQ(Socket_Open(client, SOCKET_PROTOCOL_TCP), 1);
    Socket_SetTimeout(client, 1000, 150, 0);
    if (Socket_Connect(client, &kLoopback, port)) GTEST_SKIP() << "this kernel accepts past the backlog";
    EXPECT_EQ(Socket_GetLastError(client), (int32_t)SOCKET_ERROR_TIMEOUT);
    EXPECT_NE(log.Text().find("Socket connect timeout (150)\n"), std::string::npos) << log.Text();

    Owned cancelled;
    ASSERT_EQ(Socket_Open(cancelled, SOCKET_PROTOCOL_TCP), 1);
    Socket_SetTimeout(cancelled, 1000, 30000, 0);
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        Socket_Cancel(cancelled, 1);
    });
    const auto start = Clock::now();
    EXPECT_EQ(Socket_Connect(cancelled, &kLoopback, port), 0);
    canceller.join();
    EXPECT_LT(MsSince(start), 2500);
    EXPECT_NE(log.Text().find("Socket connect cancelled\n"), std::string::npos);
    EXPECT_EQ(cancelled->Cancel, 0u);
}

TEST(Socket, AcceptTimesOutWith1460) {
    Listener listener;
    Socket_SetTimeout(listener.socket, 1000, 1000, 25);
    Socket* peer = nullptr;
    const auto start = Clock::now();
    EXPECT_EQ(Socket_Accept(listener.socket, &peer), 0);
    EXPECT_GE(MsSince(start), 20);
    EXPECT_EQ(peer, nullptr);
    EXPECT_EQ(Socket_GetLastError(listener.socket), (int32_t)SOCKET_ERROR_TIMEOUT);
}

TEST(Socket, AcceptedSocketKnowsItsPeer) {
    Listener listener;
    Owned client;
    Connect(client, listener.port);
    Owned peer(listener.Accept());
    uint32_t local = 0, localPort = 0, address = 0, port = 0;
    Socket_GetLocalIP(client, &local, &localPort);
    Socket_GetIP(peer, &address, &port);
    EXPECT_EQ(address, kLoopback);
    EXPECT_EQ(port, localPort);
    EXPECT_EQ(Socket_IsIncoming(peer), 1);
    EXPECT_EQ(Socket_IsIncoming(client), 0);
    char text[32];
    Socket_GetIPString(client, text, sizeof(text));
    EXPECT_EQ(std::string(text), "127.0.0.1:" + std::to_string(listener.port));
    SocketMachine machine;
    EXPECT_EQ(Socket_GetRemoteMachine(peer, &machine), 1);
    EXPECT_EQ(machine.Address, kLoopback);
    EXPECT_EQ(machine.Port, localPort);
}

// A peer that resets (linger 0) while we write or wait to read: the call fails with the
// system's error and the process lives on (no SIGPIPE).
TEST(Socket, PeerResetMidTransfer) {
    for (const bool writing : {true, false}) {
        Listener listener;
        Owned client;
        Connect(client, listener.port);
        Owned peer(listener.Accept());
        std::vector<uint8_t> data(1 << 16, 7);
        uint32_t count = 0;
        ASSERT_EQ(Socket_Write(client, data.data(), 1000, &count), 1);
        ASSERT_EQ(Socket_Read(peer, data.data(), 10, &count), 1);
        ASSERT_EQ(Socket_SetLinger(peer, 1, 0), 1);
        Socket_Close(peer);
        int64_t ok = 1;
        for (int i = 0; i < 1000 && ok; i++) {
            ok = writing ? Socket_Write(client, data.data(), (uint32_t)data.size(), &count)
                         : Socket_Read(client, data.data(), (uint32_t)data.size(), &count);
        }
        EXPECT_EQ(ok, 0) << writing;
        const int32_t error = Socket_GetLastError(client);
        EXPECT_TRUE(error == ECONNRESET || error == EPIPE) << writing << " " << error;
    }
}

TEST(Socket, SilentPeerTimesOutTheRead) {
    LogCapture log;
    Listener listener;
    Owned client;
    Connect(client, listener.port);
    Owned peer(listener.Accept());
    Socket_SetTimeout(client, 100, 1000, 0);
    char buffer[64];
    uint32_t count = 0;
    EXPECT_EQ(Socket_Read(client, buffer, sizeof(buffer), &count), 0);
    EXPECT_EQ(Socket_GetLastError(client), (int32_t)SOCKET_ERROR_TIMEOUT);
    EXPECT_NE(log.Text().find("Socket Read timeout (100)\n"), std::string::npos);
    EXPECT_EQ(Socket_ReadLine(client, buffer, sizeof(buffer), &count), 0);
    EXPECT_EQ(Socket_GetLastError(client), (int32_t)SOCKET_ERROR_TIMEOUT);
    // A read time-out of 0 refuses a line at once.
    Socket_SetTimeout(client, 0, 1000, 0);
    const auto start = Clock::now();
    EXPECT_EQ(Socket_ReadLine(client, buffer, sizeof(buffer), &count), 0);
    EXPECT_LT(MsSince(start), 50);
}

TEST(Socket, ReadLineSplitsTrimsAndStopsAtItsLimit) {
    Listener listener;
    Owned client;
    Connect(client, listener.port);
    Owned peer(listener.Accept());
    const char text[] = "hello\r\n\nworld\t \n";
    uint32_t count = 0;
    ASSERT_EQ(Socket_WriteLine(peer, text, &count), 1);
    ASSERT_EQ(count, strlen(text));
    const struct {
        const char* Line;
    } lines[] = {{"hello"}, {""}, {"world\t "}};
    for (const auto& l : lines) {
        char buffer[64];
        ASSERT_EQ(Socket_ReadLine(client, buffer, sizeof(buffer), &count), 1);
        EXPECT_STREQ(buffer, l.Line);
        EXPECT_EQ(count, strlen(l.Line));
    }
    // A peer that sends without end: the reader gives up at its limit with bounded memory.
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        std::vector<uint8_t> x(4096, 'x');
        uint32_t sent = 0;
        while (!stop && Socket_Write(peer, x.data(), (uint32_t)x.size(), &sent)) {
        }
    });
    char line[4096];
    EXPECT_EQ(Socket_ReadLine(client, line, sizeof(line), &count), 0);
    EXPECT_EQ(strlen(line), sizeof(line) - 1);
    EXPECT_LE(client->PeekCapacity, 4096);
    // Closing with bytes unread resets the connection, which ends the flood's blocked write.
    stop = true;
    Socket_Close(client);
    flood.join();
}

// Bytes already peeked are read without waiting for more.
TEST(Socket, ReadAfterPeekDoesNotWait) {
    Listener listener;
    Owned client;
    Connect(client, listener.port);
    Owned peer(listener.Accept());
    uint32_t count = 0;
    Socket_Write(peer, "abc", 3, &count);
    Socket_SetTimeout(client, 3000, 1000, 0);
    char buffer[16] = {};
    ASSERT_EQ(Socket_Peek(client, buffer, 3, &count), 1);
    ASSERT_EQ(count, 3u);
    int32_t available = 0;
    EXPECT_EQ(Socket_ReadAvailable(client, &available), 1);
    EXPECT_EQ(available, 3);
    const auto start = Clock::now();
    EXPECT_EQ(Socket_Read(client, buffer, sizeof(buffer), &count), 1);
    EXPECT_EQ(std::string(buffer, count), "abc");
    EXPECT_LT(MsSince(start), 1000);
}

// Another thread's cancel ends a long wait within about a second and is then cleared (Accept
// leaves it set).
TEST(Socket, CancelFromAnotherThreadEndsTheWait) {
    LogCapture log;
    enum Kind { kRead, kReadLine, kAccept, kReadIP };
    const struct {
        Kind Operation;
        const char* Message;
        uint32_t CancelAfter;
    } cases[] = {{kRead, "Socket Read cancelled\n", 0},
                 {kReadLine, "Socket Read cancelled\n", 0},
                 {kAccept, "Socket accept cancelled\n", 1},
                 {kReadIP, "Socket ReadIP cancelled\n", 0}};
    for (const auto& c : cases) {
        Deadline deadline("cancelled wait", 20);
        log.Clear();
        Listener listener;
        Owned client, udp;
        Socket* accepted = nullptr;
        Socket* waiting = listener.socket;
        if (c.Operation == kRead || c.Operation == kReadLine) {
            Connect(client, listener.port);
            accepted = listener.Accept();
            waiting = client;
        } else if (c.Operation == kReadIP) {
            ASSERT_EQ(Socket_Open(udp, SOCKET_PROTOCOL_UDP), 1);
            ASSERT_EQ(Socket_Bind(udp, &kLoopback, 0), 1);
            waiting = udp;
        }
        Socket_SetTimeout(waiting, 30000, 30000, 0);
        std::thread canceller([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            Socket_Cancel(waiting, 1);
        });
        const auto start = Clock::now();
        char buffer[64];
        uint32_t count = 0, address = 0, port = 0;
        Socket* acceptedNow = nullptr;
        int64_t result = 1;
        switch (c.Operation) {
        case kRead: result = Socket_Read(waiting, buffer, sizeof(buffer), &count); break;
        case kReadLine: result = Socket_ReadLine(waiting, buffer, sizeof(buffer), &count); break;
        case kAccept: result = Socket_Accept(waiting, &acceptedNow); break;
        case kReadIP: result = Socket_ReadIP(waiting, &address, &port, buffer, sizeof(buffer), &count); break;
        }
        canceller.join();
        EXPECT_EQ(result, 0) << c.Message;
        EXPECT_LT(MsSince(start), 2500) << c.Message;
        EXPECT_NE(log.Text().find(c.Message), std::string::npos) << c.Message;
        EXPECT_EQ(waiting->Cancel, c.CancelAfter) << c.Message;
        if (accepted) Socket_Release(&accepted);
    }
}

TEST(Socket, OpenRefusesCodesOutsideTheTable) {
    LogCapture log;
    Owned s;
    for (uint32_t code : {0u, 7u, 8u, 9u, 11u}) {
        log.Clear();
        EXPECT_EQ(Socket_Open(s, code), 0);
        EXPECT_EQ(Socket_GetLastError(s), (int32_t)SOCKET_ERROR_PROTOCOL);
        EXPECT_NE(log.Text().find("Unknown socket protocol '" + std::to_string(code) + "'\n"), std::string::npos)
            << log.Text();
        uint32_t protocol = 9;
        EXPECT_EQ(Socket_GetProtocol(s, &protocol), 0);
        EXPECT_EQ(protocol, 0u);
    }
    ASSERT_EQ(Socket_Open(s, SOCKET_PROTOCOL_UDP), 1);
    log.Clear();
    EXPECT_EQ(Socket_Open(s, SOCKET_PROTOCOL_TCP), 0);
    EXPECT_NE(log.Text().find("Socket must be closed first!\n"), std::string::npos);
    uint32_t protocol = 0;
    EXPECT_EQ(Socket_GetProtocol(s, &protocol), 1);
    EXPECT_EQ(protocol, (uint32_t)SOCKET_PROTOCOL_UDP);
    EXPECT_EQ(Socket_Close(s), 1);
    int32_t descriptor = 0;
    log.Clear();
    EXPECT_EQ(Socket_GetLowLevelHandle(s, &descriptor), 0);
    EXPECT_NE(log.Text().find("Socket must be opened first!\n"), std::string::npos);
}

TEST(Socket, ListenQueueZeroMeansTheDefault) {
    Owned s;
    const struct {
        uint32_t Set, Reported;
    } cases[] = {{0, 0}, {5, 5}, {128, 0}, {1000, 1000}};
    for (const auto& c : cases) {
        uint32_t n = 99;
        Socket_SetListenQueue(s, c.Set);
        Socket_GetListenQueue(s, &n);
        EXPECT_EQ(n, c.Reported) << c.Set;
    }
}

TEST(Socket, DatagramsCarryTheirSender) {
    Owned a, b;
    ASSERT_EQ(Socket_Open(a, SOCKET_PROTOCOL_UDP), 1);
    ASSERT_EQ(Socket_Open(b, SOCKET_PROTOCOL_UDP), 1);
    ASSERT_EQ(Socket_Bind(a, &kLoopback, 0), 1);
    ASSERT_EQ(Socket_Bind(b, &kLoopback, 0), 1);
    uint32_t aPort = 0, bPort = 0, ignored = 0;
    Socket_GetLocalIP(a, &ignored, &aPort);
    Socket_GetLocalIP(b, &ignored, &bPort);
    uint32_t count = 0;
    ASSERT_EQ(Socket_WriteIP(a, &kLoopback, bPort, "datagram", 8, &count), 1);
    EXPECT_EQ(count, 8u);
    char buffer[32];
    uint32_t from = 0, fromPort = 0;
    Socket_SetTimeout(b, 2000, 0, 0);
    ASSERT_EQ(Socket_PeekIP(b, &from, &fromPort, buffer, sizeof(buffer), &count), 1);
    EXPECT_EQ(std::string(buffer, count), "datagram");
    ASSERT_EQ(Socket_ReadIP(b, &from, &fromPort, buffer, sizeof(buffer), &count), 1);
    EXPECT_EQ(std::string(buffer, count), "datagram");
    EXPECT_EQ(from, kLoopback);
    EXPECT_EQ(fromPort, aPort);
    // Nothing more: a non-blocking read answers 1 with nothing, a blocking one times out.
    Socket_SetBlocking(b, 0);
    EXPECT_EQ(Socket_ReadIP(b, &from, &fromPort, buffer, sizeof(buffer), &count), 1);
    EXPECT_EQ(count, 0u);
    Socket_SetBlocking(b, 1);
    Socket_SetTimeout(b, 30, 0, 0);
    EXPECT_EQ(Socket_ReadIP(b, &from, &fromPort, buffer, sizeof(buffer), &count), 0);
    EXPECT_EQ(Socket_GetLastError(b), (int32_t)SOCKET_ERROR_TIMEOUT);
}

TEST(Socket, MulticastOnLoopback) {
    uint32_t group = 0;
    String_ConvertToIP("239.255.77.77", &group, nullptr);
    const uint32_t any = 0;
    Owned receiver, sender;
    ASSERT_EQ(Socket_Open(receiver, SOCKET_PROTOCOL_MULTICAST), 1);
    Socket_SetReuse(receiver, 1);
    ASSERT_EQ(Socket_Bind(receiver, &any, 0), 1);
    uint32_t port = 0, ignored = 0;
    Socket_GetLocalIP(receiver, &ignored, &port);
    if (!Socket_MulticastAdd(receiver, &kLoopback, &group)) GTEST_SKIP() << "no multicast on loopback here";
    ASSERT_EQ(Socket_Open(sender, SOCKET_PROTOCOL_MULTICAST), 1);
    if (!Socket_MulticastSetInterface(sender, &kLoopback)) GTEST_SKIP() << "loopback takes no multicast here";
    EXPECT_EQ(Socket_MulticastSetLoopback(sender, 1), 1);
    EXPECT_EQ(Socket_MulticastSetMaxHops(sender, 1), 1);
    uint32_t count = 0;
    if (!Socket_MulticastWrite(sender, &group, port, "group", 5, &count)) GTEST_SKIP() << "multicast not routable";
    Socket_SetTimeout(receiver, 500, 0, 0);
    char buffer[16];
    uint32_t from = 0, fromPort = 0;
    if (!Socket_MulticastRead(receiver, &from, &fromPort, buffer, sizeof(buffer), &count))
        GTEST_SKIP() << "multicast not delivered on loopback here";
    EXPECT_EQ(std::string(buffer, count), "group");
    EXPECT_EQ(Socket_MulticastRemove(receiver, &kLoopback, &group), 1);
}

TEST(Socket, SocketIsAStream) {
    Listener listener;
    Owned client;
    Connect(client, listener.port);
    Owned peer(listener.Accept());
    Stream* out = nullptr;
    Stream* in = nullptr;
    Socket_GetStreamHandle(client, &out);
    Socket_GetStreamHandle(peer, &in);
    uint32_t count = 0;
    EXPECT_EQ(Stream_Write(out, "xyz", 3, &count), 1);
    char buffer[3];
    EXPECT_EQ(Stream_Read(in, buffer, 3, &count), 1);
    EXPECT_EQ(std::string(buffer, count), "xyz");
    EXPECT_EQ(Stream_IsOpen(in), 1);
    EXPECT_EQ(Stream_Close(out), 1);
    // The peer's close is the end of the stream: 0 without an error.
    EXPECT_EQ(Stream_Read(in, buffer, 3, &count), 0);
    EXPECT_EQ(Stream_GetLastError(in), 0);
    EXPECT_EQ(Stream_IsOpen(out), 0);
}

TEST(Socket, OptionsReadBack) {
    Owned s;
    int32_t size = 0;
    EXPECT_EQ(Socket_SetSendBufferSize(s, 65536), 0); // closed
    ASSERT_EQ(Socket_Open(s, SOCKET_PROTOCOL_TCP), 1);
    EXPECT_EQ(Socket_SetSendBufferSize(s, 65536), 1);
    EXPECT_EQ(Socket_GetSendBufferSize(s, &size), 1);
    EXPECT_GE(size, 65536); // Linux doubles what it is given
    EXPECT_EQ(Socket_SetReceiveBufferSize(s, 32768), 1);
    EXPECT_EQ(Socket_GetReceiveBufferSize(s, &size), 1);
    EXPECT_GE(size, 32768);
    for (uint32_t on : {0u, 1u}) {
        EXPECT_EQ(Socket_SetReuse(s, on), 1);
        EXPECT_EQ(Socket_SetNagel(s, on), 1);
        EXPECT_EQ(Socket_SetOOB(s, on), 1);
        EXPECT_EQ(Socket_SetLinger(s, on, 70000), 1);
    }
}

} // namespace
