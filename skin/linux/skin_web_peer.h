// Who is on the other end of a loopback connection to the skin web server: the owning process of
// the client's socket, a stable identity for it, and whether it descends from this process.
#pragma once

#include <cstdint>

// A process as the block maps remember it: its id and its start time (clock ticks since boot),
// so that a later process that reuses the id is not taken for the first; and its parent when it
// was identified.
struct SkinWebPeer {
    uint32_t Pid;
    uint32_t Parent;
    uint64_t Start;
};

// A process holding the client socket of the connection from address:port (address in network
// order, port in host order) to the server's loopback port serverPort, looked for first among this
// process and its descendants down to depth: that one connection is looked up, at a cost that does
// not grow with the machine's other sockets. 0 when no process holds it (it was closed, or the
// server port is not the one it reached), and whenever the holder could not be proven: the named
// process held that very socket after it was found, and its start time did not change.
int64_t SkinWebPeer_FromConnection(uint32_t address, uint32_t port, uint32_t serverPort, int32_t depth,
                                   SkinWebPeer* peer);
// The same without the server's port (serverPort 0): the client end alone tells the connection
// only while a single socket has it, so several sockets with that end give 0.
int64_t SkinWebPeer_FromClientPort(uint32_t address, uint32_t port, int32_t depth, SkinWebPeer* peer);
// Fills the start time and parent of pid; 0 when the process is gone.
int64_t SkinWebPeer_Identify(uint32_t pid, SkinWebPeer* peer);
int64_t SkinWebPeer_Same(const SkinWebPeer* a, const SkinWebPeer* b);
// 1 when pid is this process, or this process is met within `depth` parent steps from it.
int64_t SkinWebPeer_IsWithin(uint32_t pid, int32_t depth);
// The same for a peer just identified: its parent as read then is the first step. A verdict on a
// deeper ancestry is kept for a second for the same process (id, start time and parent).
int64_t SkinWebPeer_IsPeerWithin(const SkinWebPeer* peer, int32_t depth);
