// Reads arbitrary bytes as stored data of a program file: the first byte picks the reader (data
// store region, skin store range, or a whole file whose ELF sections locate both stores).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/certs/executable.h"
#include "core/certs/executable_internal.h"

namespace {

void CheckAnswer(int64_t result, uint8_t* buffer, uint32_t length) {
    if (!result && (buffer || length)) abort();
    if (result && (!buffer || buffer[length] != 0)) abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 20)) return 0;
    const uint8_t mode = data[0] % 3;
    const uint8_t* body = data + 1;
    const uint32_t length = (uint32_t)size - 1;
    uint8_t* buffer = nullptr;
    uint32_t out = 0;
    if (mode == 0) {
        CheckAnswer(Executable_ReadDataStore(body, length, &buffer, &out), buffer, out);
        Executable_ReleaseDataStore(nullptr, &buffer, &out);
    } else if (mode == 1) {
        CheckAnswer(Executable_ReadSkinStore(body, length, &buffer, &out), buffer, out);
        Executable_ReleaseSkinStore(nullptr, &buffer, &out);
    } else {
        const int fd = memfd_create("program", MFD_CLOEXEC);
        if (fd < 0) return 0;
        if (write(fd, body, length) == (ssize_t)length) {
            char path[64];
            snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
            CheckAnswer(Executable_GetDataStore(path, &buffer, &out), buffer, out);
            Executable_ReleaseDataStore(nullptr, &buffer, &out);
            CheckAnswer(Executable_GetSkinStore(path, &buffer, &out), buffer, out);
            Executable_ReleaseSkinStore(nullptr, &buffer, &out);
        }
        close(fd);
    }
    return 0;
}
