// The fuzz input as a file for the readers that take a path: written whole to a private file
// under the temporary directory, removed at exit.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <unistd.h>

inline const char* FuzzInputFile(const uint8_t* data, size_t size, const char* name) {
    static std::string path;
    if (path.empty()) {
        const char* tmp = getenv("TMPDIR");
        path = std::string(tmp && tmp[0] ? tmp : "/tmp") + "/" + name + "-" + std::to_string(getpid());
        atexit([] { unlink(path.c_str()); });
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) abort();
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) abort();
        done += (size_t)n;
    }
    close(fd);
    return path.c_str();
}
