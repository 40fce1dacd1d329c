// Select sets: readiness over descriptors past 1,023, peeked sockets that count as ready, the
// cancel flag between slices, and the set operations.
#include "core/net/socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/net/socket_internal.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

struct Sets {
    SocketSelect* read = nullptr;
    SocketSelect* write = nullptr;
    Sets() {
        SocketSelect_Create(&read);
        SocketSelect_Create(&write);
    }
    ~Sets() {
        SocketSelect_Release(&read);
        SocketSelect_Release(&write);
    }
};

// A descriptor past what select could watch, kept at `high`.
struct HighPair {
    int fds[2] = {-1, -1};
    int high = -1;
    explicit HighPair(int at) {
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
        if (dup2(fds[0], at) == at) high = at;
        close(fds[0]);
    }
    ~HighPair() {
        if (high >= 0) close(high);
        close(fds[1]);
    }
};

TEST(SocketSelect, WaitsOnDescriptorsPastTheSelectLimit) {
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur < 2100) {
        limit.rlim_cur = limit.rlim_max < 2100 ? limit.rlim_max : 2100;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur < 2100) GTEST_SKIP() << "cannot hold 2,100 descriptors here";
    HighPair ready(2000), idle(1500);
    ASSERT_EQ(ready.high, 2000);
    ASSERT_EQ(idle.high, 1500);
    ASSERT_EQ(write(ready.fds[1], "x", 1), 1);
    Sets s;
    SocketSelect_AddLowLevelHandle(s.read, 2000);
    SocketSelect_AddLowLevelHandle(s.read, 1500);
    SocketSelect_AddLowLevelHandle(s.write, 1500);
    SocketSelect* kept = nullptr;
    SocketSelect_Create(&kept);
    SocketSelect_Copy(kept, s.read);
    int32_t count = 0;
    ASSERT_EQ(SocketSelect_Wait(s.read, s.write, nullptr, nullptr, 1000, &count), 1);
    // 2000 is readable, 1500 only writable.
    EXPECT_EQ(count, 2);
    SocketSelect_Clear(s.write);
    SocketSelect_Wait(s.read, s.write, nullptr, nullptr, 1000, &count);
    EXPECT_EQ(count, 1); // the read set kept only 2000
    // The copy still holds both; without the byte nothing is ready.
    char byte;
    ASSERT_EQ(read(2000, &byte, 1), 1);
    const auto start = Clock::now();
    SocketSelect_Wait(kept, nullptr, nullptr, nullptr, 40, &count);
    EXPECT_EQ(count, 0);
    EXPECT_GE(MsSince(start), 30);
    SocketSelect_Release(&kept);
}

TEST(SocketSelect, NothingArmedOrCancelledAnswersAtOnce) {
    Sets s;
    int32_t count = 7;
    const auto start = Clock::now();
    EXPECT_EQ(SocketSelect_Wait(s.read, s.write, nullptr, nullptr, 5000, &count), 1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(SocketSelect_Wait(nullptr, nullptr, nullptr, nullptr, 5000, &count), 1);
    HighPair pair(1200);
    SocketSelect_AddLowLevelHandle(s.read, 1200);
    uint32_t cancel = 1;
    EXPECT_EQ(SocketSelect_Wait(s.read, nullptr, nullptr, &cancel, 5000, &count), 1);
    EXPECT_EQ(count, 0);
    EXPECT_LT(MsSince(start), 1000);
}

// A cancel set during the first one-second slice of a long wait ends it after that slice.
TEST(SocketSelect, CancelIsSeenBetweenSlices) {
    HighPair pair(1300);
    Sets s;
    SocketSelect_AddLowLevelHandle(s.read, 1300);
    uint32_t cancel = 0;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        SocketWait_StoreFlag(&cancel, 1);
    });
    const auto start = Clock::now();
    int32_t count = 9;
    EXPECT_EQ(SocketSelect_Wait(s.read, nullptr, nullptr, &cancel, 2500, &count), 1);
    canceller.join();
    EXPECT_EQ(count, 0);
    EXPECT_GE(MsSince(start), 900);
    EXPECT_LT(MsSince(start), 2000);
}

// Sockets with peeked bytes are ready at once; while one is in the set, others are not added.
TEST(SocketSelect, PeekedSocketsAreReady) {
    Socket *a = nullptr, *b = nullptr, *sender = nullptr;
    Socket_Create(&a);
    Socket_Create(&b);
    Socket_Create(&sender);
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    uint32_t port = 0, ignored = 0, count = 0;
    for (Socket* s : {a, b, sender}) {
        ASSERT_EQ(Socket_Open(s, SOCKET_PROTOCOL_UDP), 1);
        ASSERT_EQ(Socket_Bind(s, &loopback, 0), 1);
    }
    Socket_GetLocalIP(a, &ignored, &port);
    // A datagram for a to take into its peek buffer.
    Socket_WriteIP(sender, &loopback, port, "p", 1, &count);
    Sets s;
    EXPECT_EQ(SocketSelect_Add(s.read, b), 1);
    EXPECT_EQ(SocketSelect_IsSet(s.read, b), 1);
    char byte;
    ASSERT_EQ(Socket_Peek(a, &byte, 1, &count), 1);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(SocketSelect_Add(s.read, a), 1);
    EXPECT_EQ(SocketSelect_IsSet(s.read, a), 1);
    EXPECT_EQ(SocketSelect_IsSet(s.read, b), 0); // cleared by the first peeked socket
    EXPECT_EQ(SocketSelect_Add(s.read, b), 1);
    EXPECT_EQ(SocketSelect_IsSet(s.read, b), 0);
    int32_t ready = 0;
    const auto start = Clock::now();
    EXPECT_EQ(SocketSelect_Wait(s.read, nullptr, nullptr, nullptr, 5000, &ready), 1);
    EXPECT_EQ(ready, 1);
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_EQ(SocketSelect_Remove(s.read, a), 1);
    EXPECT_EQ(SocketSelect_IsSet(s.read, a), 0);
    Socket_Close(b);
    EXPECT_EQ(SocketSelect_Add(s.read, b), 0); // closed
    for (Socket* sock : {a, b, sender}) Socket_Release(&sock);
}

} // namespace
