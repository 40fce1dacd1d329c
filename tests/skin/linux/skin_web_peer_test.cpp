// Who holds the client end of a loopback connection: found by the one connection when the
// server's port is known, by the wider search when it is not or is wrong, and nobody for a port
// no socket has.
#include "skin/linux/skin_web_peer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

uint16_t LocalPort(int fd) {
    sockaddr_in a{};
    socklen_t size = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    return ntohs(a.sin_port);
}

int Connect(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 ? fd : (close(fd), -1);
}

TEST(SkinWebPeer, ClientEndsAreFoundWithOrWithoutTheServersPort) {
    const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    ASSERT_EQ(listen(server, 8), 0);
    const uint16_t serverPort = LocalPort(server);
    const int own = Connect(serverPort);
    ASSERT_GE(own, 0);
    // A child's end: it keeps the socket open until the pipe closes.
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    const int theirs = Connect(serverPort);
    ASSERT_GE(theirs, 0);
    const uint16_t theirPort = LocalPort(theirs);
    const pid_t child = fork();
    if (child == 0) {
        close(gate[1]);
        char c;
        (void)!read(gate[0], &c, 1);
        _exit(0);
    }
    close(theirs);
    close(gate[0]);
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    const struct {
        uint16_t Port, ServerPort;
        int32_t Depth;
        uint32_t Pid; // 0: nobody
    } cases[] = {
        {LocalPort(own), serverPort, 0, (uint32_t)getpid()},
        {LocalPort(own), 0, 0, (uint32_t)getpid()},
        {LocalPort(own), (uint16_t)(serverPort + 1), 0, (uint32_t)getpid()},
        {theirPort, serverPort, 1, (uint32_t)child},
        // Again, now that the child is the first one asked; and not asked at depth 0.
        {theirPort, serverPort, 1, (uint32_t)child},
        {theirPort, 0, 1, (uint32_t)child},
        {theirPort, serverPort, 0, (uint32_t)child},
        {serverPort, serverPort, 0, (uint32_t)getpid()}, // the listening end is ours too
        {1, serverPort, 1, 0},
        {1, 0, 1, 0},
    };
    for (const auto& c : cases) {
        SkinWebPeer peer{7, 7};
        EXPECT_EQ(SkinWebPeer_FromConnection(loopback, c.Port, c.ServerPort, c.Depth, &peer), c.Pid ? 1 : 0)
            << c.Port << " " << c.ServerPort;
        EXPECT_EQ(peer.Pid, c.Pid) << c.Port << " " << c.ServerPort;
        EXPECT_EQ(peer.Start != 0, c.Pid != 0) << c.Port;
    }
    close(gate[1]);
    waitpid(child, nullptr, 0);
    close(own);
    close(server);
}

} // namespace
