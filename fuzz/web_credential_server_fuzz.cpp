// Feeds arbitrary server texts to the web-credential key parser: a host that fits and is not
// empty, and a port from 1 to 65535, or a refusal with both cleared.
#include <cstdint>
#include <cstring>
#include <string>

#include "core/platform/web_credential.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    const std::string server(reinterpret_cast<const char*>(data), size);
    char host[WEBCREDENTIAL_HOST_SIZE];
    int32_t port = -1;
    const int64_t ok = WebCredential_ParseServer(server.c_str(), host, sizeof host, &port);
    const size_t length = strnlen(host, sizeof host);
    if (length == sizeof host) __builtin_trap();
    if (ok == 1 && (length == 0 || port < 1 || port > 65535)) __builtin_trap();
    if (ok != 1 && (length != 0 || port != 0)) __builtin_trap();
    return 0;
}
