// Who holds the client end of a loopback connection: found by the one connection when the
// server's port is known, by the wider search when it is not or is wrong, and nobody for a port
// no socket has.
#include "skin/linux/skin_web_peer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/bounded_wait.h"

namespace {

uint16_t LocalPort(int fd) {
    sockaddr_in a{};
    socklen_t size = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    return ntohs(a.sin_port);
}

// A connection from 127.0.0.1:from (0: any) to the loopback port. The kernel gives one client end
// to connections whose far ends differ, so a connection's end is its own only when it was bound
// before the connect (no connect takes a port that one bound); with shared, that bind lets another
// socket with shared take the same end.
int Connect(uint16_t port, uint16_t from = 0, bool shared = false) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    if (shared) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(from);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return close(fd), -1;
    a.sin_port = htons(port);
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
        // A server port the connection did not reach names nobody.
        {LocalPort(own), (uint16_t)(serverPort + 1), 0, 0},
        {theirPort, serverPort, 1, (uint32_t)child},
        // Again, now that the child is the first one asked; and not asked at depth 0.
        {theirPort, serverPort, 1, (uint32_t)child},
        {theirPort, 0, 1, (uint32_t)child},
        {theirPort, serverPort, 0, (uint32_t)child},
        {serverPort, serverPort, 0, 0}, // the listening end holds no connection
        {1, serverPort, 1, 0},
        {1, 0, 1, 0},
    };
    for (const auto& c : cases) {
        SkinWebPeer peer{7, 7, 7};
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

namespace {

struct Listener {
    int Fd = -1;
    uint16_t Port = 0;
    Listener() {
        Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(Fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 && listen(Fd, 64) == 0) Port = LocalPort(Fd);
    }
    ~Listener() { close(Fd); }
};

// A child (or, with grandchild, the child's child) that keeps what it inherited open until the
// gate closes; the middle process of a grandchild lets go of `handed` and ends when told so
// through its own gate.
struct Holder {
    pid_t Child = -1;
    pid_t Pid = -1; // the one holding
    int Gate = -1, MiddleGate = -1;
    explicit Holder(bool grandchild, int handed = -1) {
        int gate[2], middle[2], report[2];
        if (pipe(gate) != 0 || pipe(middle) != 0 || pipe(report) != 0) return;
        Child = fork();
        if (Child == 0) {
            close(gate[1]);
            close(middle[1]);
            close(report[0]);
            pid_t holder = getpid();
            if (grandchild && (holder = fork()) == 0) {
                close(middle[0]);
                close(report[1]);
                char c;
                (void)!read(gate[0], &c, 1);
                _exit(0);
            }
            if (grandchild) close(handed);
            (void)!write(report[1], &holder, sizeof(holder));
            char c;
            (void)!read(grandchild ? middle[0] : gate[0], &c, 1);
            _exit(0);
        }
        close(gate[0]);
        close(middle[0]);
        close(report[1]);
        Gate = gate[1];
        MiddleGate = middle[1];
        if (read(report[0], &Pid, sizeof(Pid)) != (ssize_t)sizeof(Pid)) Pid = -1;
        close(report[0]);
    }
    // Ends the middle process: the grandchild goes to another parent.
    void EndMiddle() {
        close(MiddleGate);
        MiddleGate = -1;
        waitpid(Child, nullptr, 0);
        Child = -1;
    }
    ~Holder() {
        close(Gate);
        if (MiddleGate >= 0) close(MiddleGate);
        if (Child > 0) waitpid(Child, nullptr, 0);
    }
};

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// Connections whose client ends a child holds at descriptor numbers that change from call to call
// (as the view's do) and out of the remembered ones: each is still found in the child, and one
// this process holds is found here.
TEST(SkinWebPeer, ChangingDescriptorsOfTheChildAreFollowed) {
    Listener server;
    ASSERT_NE(server.Port, 0);
    std::vector<int> ends;
    for (int i = 0; i < 12; i++) ends.push_back(Connect(server.Port));
    for (int fd : ends) ASSERT_GE(fd, 0);
    // One far from the others, where no remembered number leads.
    ASSERT_EQ(dup2(ends[11], 200), 200);
    close(ends[11]);
    ends[11] = 200;
    Holder child(false);
    ASSERT_GT(child.Pid, 0);
    const int own = Connect(server.Port);
    ASSERT_GE(own, 0);
    std::vector<uint16_t> ports;
    for (int fd : ends) ports.push_back(LocalPort(fd));
    for (int fd : ends) close(fd);
    // In turn through a cycle, backwards, one far out of it, this process's own, again the cycle.
    const int order[] = {0, 1, 2, 3, 0, 1, 2, 3, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 0, 5, 6, 7, 5, 6, 7};
    for (int k : order) {
        SkinWebPeer peer{};
        ASSERT_EQ(SkinWebPeer_FromConnection(kLoopback, ports[k], server.Port, 1, &peer), 1) << k;
        EXPECT_EQ(peer.Pid, (uint32_t)child.Pid) << k;
        EXPECT_EQ(peer.Parent, (uint32_t)getpid()) << k;
        if (k == 6) {
            SkinWebPeer mine{};
            ASSERT_EQ(SkinWebPeer_FromConnection(kLoopback, LocalPort(own), server.Port, 1, &mine), 1);
            EXPECT_EQ(mine.Pid, (uint32_t)getpid());
        }
    }
    close(own);
}

// A grandchild passes at depth 2 only, and no longer once its parent ended and it went to
// another: a verdict kept on it does not outlive its parent.
TEST(SkinWebPeer, GrandchildPassesOnlyWhileItDescends) {
    Listener server;
    ASSERT_NE(server.Port, 0);
    const int end = Connect(server.Port);
    ASSERT_GE(end, 0);
    const uint16_t port = LocalPort(end);
    Holder grandchild(true, end);
    ASSERT_GT(grandchild.Pid, 0);
    close(end);
    const struct {
        int32_t Depth;
        int64_t Within;
    } cases[] = {{1, 0}, {2, 1}, {1, 0}, {3, 1}, {0, 0}, {2, 1}};
    for (const auto& c : cases) {
        SkinWebPeer peer{};
        ASSERT_EQ(SkinWebPeer_FromConnection(kLoopback, port, server.Port, c.Depth, &peer), 1) << c.Depth;
        EXPECT_EQ(peer.Pid, (uint32_t)grandchild.Pid) << c.Depth;
        EXPECT_EQ(peer.Parent, (uint32_t)grandchild.Child) << c.Depth;
        EXPECT_EQ(SkinWebPeer_IsPeerWithin(&peer, c.Depth), c.Within) << c.Depth;
        EXPECT_EQ(SkinWebPeer_IsWithin(peer.Pid, c.Depth), c.Within) << c.Depth;
    }
    SkinWebPeer before{};
    ASSERT_EQ(SkinWebPeer_Identify(grandchild.Pid, &before), 1);
    grandchild.EndMiddle();
    // The new parent shows once the kernel has handed it over, which ends with the wait above.
    for (int32_t depth : {2, 8}) {
        SkinWebPeer peer{};
        ASSERT_EQ(SkinWebPeer_FromConnection(kLoopback, port, server.Port, depth, &peer), 1);
        EXPECT_EQ(peer.Pid, (uint32_t)grandchild.Pid);
        EXPECT_EQ(peer.Start, before.Start);
        EXPECT_NE(peer.Parent, before.Parent);
        EXPECT_EQ(SkinWebPeer_IsPeerWithin(&peer, depth), 0) << depth;
        EXPECT_EQ(SkinWebPeer_IsWithin(peer.Pid, depth), 0) << depth;
    }
}

// A connection is named by its holder alone: sockets of this process on the same client end,
// connected elsewhere, are never taken for it, at any depth, with the server's port right or wrong,
// nor once its own socket is closed; without the server's port a shared end names nobody.
TEST(SkinWebPeer, ConnectionIsNamedByItsHolderAlone) {
    Listener server, elsewhere;
    ASSERT_NE(server.Port, 0);
    ASSERT_NE(elsewhere.Port, 0);
    const int end = Connect(server.Port, 0, true);
    ASSERT_GE(end, 0);
    const uint16_t port = LocalPort(end);
    auto grandchild = std::make_unique<Holder>(true, end);
    ASSERT_GT(grandchild->Pid, 0);
    close(end);
    // Made after the fork: only this process holds it.
    const int decoy = Connect(elsewhere.Port, port, true);
    ASSERT_GE(decoy, 0);
    const uint32_t self = (uint32_t)getpid();
    const uint32_t holder = (uint32_t)grandchild->Pid, middle = (uint32_t)grandchild->Child;
    for (const bool open : {true, false}) {
        for (int32_t depth = 0; depth <= 3; depth++) {
            const struct {
                uint16_t ServerPort;
                uint32_t Pid, Parent; // 0: nobody
            } cases[] = {
                {server.Port, open ? holder : 0, open ? middle : 0},
                {elsewhere.Port, self, (uint32_t)getppid()}, // the decoy's own connection is ours
                {1, 0, 0},
                // Without it two sockets on that end cannot be told apart; once the connection's is
                // closed the decoy's is the only one with that end.
                {0, open ? 0 : self, open ? 0 : (uint32_t)getppid()},
            };
            for (const auto& c : cases) {
                SkinWebPeer peer{7, 7, 7};
                const std::string at = std::to_string(c.ServerPort) + " depth " + std::to_string(depth) +
                                       (open ? " open" : " closed");
                EXPECT_EQ(SkinWebPeer_FromConnection(kLoopback, port, c.ServerPort, depth, &peer), c.Pid ? 1 : 0) << at;
                EXPECT_EQ(peer.Pid, c.Pid) << at;
                EXPECT_EQ(peer.Parent, c.Parent) << at;
                EXPECT_EQ(SkinWebPeer_IsPeerWithin(&peer, depth), c.Pid == self || (c.Pid && depth >= 2) ? 1 : 0)
                    << at;
            }
        }
        // Its holders end: the connection's client end is closed, and the decoy stays. The
        // grandchild, handed to another parent, has closed its descriptors once it shows none.
        grandchild.reset();
        const std::string descriptors = "/proc/" + std::to_string(holder) + "/fd";
        EXPECT_TRUE(StepUntil(
            [&] {
                DIR* listing = opendir(descriptors.c_str());
                bool any = false;
                while (dirent* item = listing && !any ? readdir(listing) : nullptr) any = item->d_name[0] != '.';
                if (listing) closedir(listing);
                return !any;
            },
            [] { usleep(1000); }));
    }
    close(decoy);
}

// Identity survives a command name made to look like stat's own fields; a process that ended
// has none, and one with another start time is not the same.
TEST(SkinWebPeer, IdentityOfOddNamesAndEndedProcesses) {
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    const pid_t child = fork();
    if (child == 0) {
        close(gate[1]);
        prctl(PR_SET_NAME, "a) S 1 2 (b) 9", 0, 0, 0);
        char c;
        (void)!read(gate[0], &c, 1);
        _exit(0);
    }
    close(gate[0]);
    SkinWebPeer self{}, peer{};
    ASSERT_EQ(SkinWebPeer_Identify(getpid(), &self), 1);
    // The name is set by the child itself: asked until it shows, then the child identified.
    const bool named = StepUntil(
        [&] {
            char name[64] = "";
            FILE* f = fopen(("/proc/" + std::to_string(child) + "/comm").c_str(), "r");
            if (f) {
                (void)!fgets(name, sizeof(name), f);
                fclose(f);
            }
            return name[0] == 'a';
        },
        [] { usleep(1000); });
    EXPECT_TRUE(named) << "the child never took its odd name";
    ASSERT_EQ(SkinWebPeer_Identify(child, &peer), 1);
    EXPECT_EQ(peer.Pid, (uint32_t)child);
    EXPECT_EQ(peer.Parent, (uint32_t)getpid());
    EXPECT_GE(peer.Start, self.Start);
    EXPECT_EQ(SkinWebPeer_IsPeerWithin(&peer, 1), 1);
    SkinWebPeer other = peer;
    other.Start++;
    EXPECT_EQ(SkinWebPeer_Same(&peer, &peer), 1);
    EXPECT_EQ(SkinWebPeer_Same(&peer, &other), 0);
    close(gate[1]);
    waitpid(child, nullptr, 0);
    SkinWebPeer gone{};
    EXPECT_EQ(SkinWebPeer_Identify(child, &gone), 0);
    EXPECT_EQ(gone.Start, 0u);
    EXPECT_EQ(SkinWebPeer_IsPeerWithin(&gone, 8), 0);
}

} // namespace
