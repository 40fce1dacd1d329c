// Walks arbitrary bytes as the DNS answer to a WPAD query: every URL handed to the fetch must be
// a terminated text of bounded length, and the walk must end.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/net/proxy_resolver.h"

namespace {

int64_t CheckURL(void* user, const char* url, const char* label) {
    if (strcmp(label, "DNS") != 0) abort();
    if (strnlen(url, PROXY_RESOLVER_URL_SIZE) >= (size_t)PROXY_RESOLVER_URL_SIZE) abort();
    (*static_cast<int*>(user))++;
    // A URL naming "ok" ends the walk, as a fetched script would.
    return strstr(url, "ok") != nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    int fetches = 0;
    const int64_t result = ProxyResolver_WalkWPadAnswer(data, (int32_t)size, "wpad.corp.lan", CheckURL, &fetches);
    if (result && fetches == 0) abort();
    return 0;
}
