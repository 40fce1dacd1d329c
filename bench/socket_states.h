// Counts of the IPv4 TCP sockets of one local port that are still closing, read from the kernel's
// table, for benches that show what a server leaves behind after a run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

struct SocketStates {
    int TimeWait = 0; // closed by us first, waiting out twice the segment lifetime
    int Closing = 0;  // FIN-WAIT, CLOSING, LAST-ACK or CLOSE-WAIT: a close still under way
};

inline SocketStates SocketStates_Count(uint32_t port) {
    SocketStates states;
    FILE* table = fopen("/proc/net/tcp", "r");
    if (!table) return states;
    char line[512];
    if (!fgets(line, sizeof(line), table)) line[0] = 0; // the column names
    while (fgets(line, sizeof(line), table)) {
        unsigned localPort = 0, state = 0;
        // "  sl  local_address rem_address   st": "N: AAAAAAAA:PPPP AAAAAAAA:PPPP SS"
        if (sscanf(line, " %*d: %*8x:%4x %*8x:%*4x %2x", &localPort, &state) != 2 || localPort != port) continue;
        if (state == 0x06)
            states.TimeWait++;
        else if (state == 0x04 || state == 0x05 || state == 0x08 || state == 0x09 || state == 0x0B)
            states.Closing++;
    }
    fclose(table);
    return states;
}
