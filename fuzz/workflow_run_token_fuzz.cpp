// Fuzz target of the endpoint token line a worker reads from its standard input: the parser
// accepts exactly a token and an optional line end, and the reader takes no byte past the line.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "workflow/notification_endpoint.h"
#include "workflow/workflow_run.h"

namespace {

void Check(bool condition) {
    if (!condition) abort();
}

bool Expected(const uint8_t* data, size_t size) {
    const size_t n = (size_t)kNotificationEndPointTokenLength;
    if (size != n && !(size == n + 1 && data[n] == '\n')) return false;
    for (size_t i = 0; i < n; i++)
        if (!isalnum(data[i])) return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char token[32];
    const int64_t ok = WorkflowRun_ParseEndPointToken(reinterpret_cast<const char*>(data), (int32_t)size, token,
                                                      (int32_t)sizeof(token));
    Check(ok == (Expected(data, size) ? 1 : 0));
    Check(ok ? memcmp(token, data, (size_t)kNotificationEndPointTokenLength) == 0 &&
                   strlen(token) == (size_t)kNotificationEndPointTokenLength
             : token[0] == 0);

    // The reader: at most the token and its line end leave the pipe.
    if (size > 4096) return 0;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return 0;
    if (size && write(fds[1], data, size) != (ssize_t)size) abort();
    close(fds[1]);
    const int64_t read = WorkflowRun_ReadEndPointToken(fds[0], 100, token, (int32_t)sizeof(token));
    size_t taken = 0;
    while (taken < size && taken < (size_t)kNotificationEndPointTokenLength + 1 && data[taken++] != '\n') {
    }
    Check(read == (Expected(data, taken) ? 1 : 0));
    uint8_t rest[4096];
    ssize_t left = 0, n;
    while ((n = ::read(fds[0], rest + left, sizeof(rest) - (size_t)left)) > 0) left += n;
    close(fds[0]);
    Check((size_t)left == size - taken);
    return 0;
}
