// Feeds arbitrary bytes through a socket pair to the socket's line reader (with peeks of varying
// sizes in between) and checks every line against the bytes sent: the text before the line
// feed, trailing control bytes dropped, never more than the buffer holds.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "core/net/socket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 65536) return 0;
    const uint32_t capacity = 2 + data[0] % 200;
    const uint32_t peekEvery = data[1] & 3;
    const uint8_t* input = data + 2;
    const size_t length = size - 2;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
    for (size_t done = 0; done < length;) {
        const ssize_t n = write(fds[1], input + done, length - done);
        if (n <= 0) abort();
        done += (size_t)n;
    }
    close(fds[1]); // the reader sees the end after the bytes
    Socket* socket = nullptr;
    Socket_Create(&socket);
    socket->Handle = fds[0];
    socket->Protocol = SOCKET_PROTOCOL_TCP;
    Socket_SetTimeout(socket, 2000, 2000, 0);
    std::vector<char> line(capacity + 8, 0x5A);
    size_t offset = 0;
    for (uint32_t round = 0;; round++) {
        if (peekEvery && round % peekEvery == 0) {
            char scratch[512];
            uint32_t peeked = 0;
            Socket_Peek(socket, scratch, 1 + (round * 37) % sizeof(scratch), &peeked);
            if (peeked > length - offset || memcmp(scratch, input + offset, peeked) != 0) abort();
        }
        uint32_t count = 0;
        if (!Socket_ReadLine(socket, line.data(), capacity, &count)) break;
        for (size_t i = capacity; i < line.size(); i++)
            if (line[i] != 0x5A) abort();
        const uint8_t* end = static_cast<const uint8_t*>(memchr(input + offset, '\n', length - offset));
        if (!end) abort();
        size_t text = (size_t)(end - (input + offset));
        if (text + 1 > capacity - 1) abort();
        while (text > 0 && input[offset + text - 1] < 32) text--;
        if (count != text || memcmp(line.data(), input + offset, text) != 0 || line[text] != 0) abort();
        offset = (size_t)(end - input) + 1;
    }
    Socket_Release(&socket);
    return 0;
}
