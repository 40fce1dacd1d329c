// Keys of the stored web credentials: protocols by access type, and host and port of a server text.
#include "core/platform/web_credential.h"

#include <cstring>

#include "core/runtime/string.h"

namespace {

constexpr const char* kHttp = "http";
constexpr const char* kHttps = "https";
constexpr const char* kHttpProxy = "http-proxy";
constexpr const char* kHttpsProxy = "https-proxy";

bool ParsePort(const char* text, size_t length, int32_t* port) {
    if (length == 0 || length > 5) return false;
    int32_t value = 0;
    for (size_t i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    if (value < 1 || value > 65535) return false;
    *port = value;
    return true;
}

bool CopyHost(const char* text, size_t length, char* host, int32_t hostSize) {
    if (length == 0 || length >= (size_t)hostSize) return false;
    memcpy(host, text, length);
    host[length] = 0;
    return true;
}

} // namespace

int64_t WebCredential_ParseServer(const char* server, char* host, int32_t hostSize, int32_t* port) {
    if (host && hostSize > 0) host[0] = 0;
    if (port) *port = 0;
    if (server == nullptr || host == nullptr || hostSize < 1 || port == nullptr) return 0;
    const size_t length = strlen(server);
    int32_t value = 80;
    bool ok = false;
    if (server[0] == '[') {
        const char* close = strchr(server, ']');
        if (close != nullptr) {
            const char* rest = close + 1;
            const bool portOk = rest[0] == 0 || (rest[0] == ':' && ParsePort(rest + 1, strlen(rest + 1), &value));
            ok = portOk && CopyHost(server + 1, (size_t)(close - server - 1), host, hostSize);
        }
    } else {
        const char* colon = strchr(server, ':');
        if (colon == nullptr || strchr(colon + 1, ':') != nullptr) {
            // No port, or a bare IPv6 address, which cannot carry one.
            ok = CopyHost(server, length, host, hostSize);
        } else {
            ok = ParsePort(colon + 1, strlen(colon + 1), &value) &&
                 CopyHost(server, (size_t)(colon - server), host, hostSize);
        }
    }
    if (!ok) {
        host[0] = 0;
        return 0;
    }
    *port = value;
    return 1;
}

const char* WebCredential_LookupProtocol(uint32_t type) {
    switch (type) {
    case WEBCREDENTIAL_HTTP_AND_HTTPS:
    case WEBCREDENTIAL_HTTP:
        return kHttp;
    case WEBCREDENTIAL_PROXY_AND_HTTPS_PROXY:
    case WEBCREDENTIAL_HTTP_PROXY:
        return kHttpProxy;
    case WEBCREDENTIAL_HTTPS:
        return kHttps;
    case WEBCREDENTIAL_HTTPS_PROXY:
        return kHttpsProxy;
    default:
        return nullptr;
    }
}

int32_t WebCredential_StoreProtocols(uint32_t type, const char* names[2]) {
    names[0] = names[1] = nullptr;
    if (type == WEBCREDENTIAL_HTTP_AND_HTTPS) {
        names[0] = kHttp;
        names[1] = kHttps;
        return 2;
    }
    if (type == WEBCREDENTIAL_PROXY_AND_HTTPS_PROXY) {
        names[0] = kHttpProxy;
        names[1] = kHttpsProxy;
        return 2;
    }
    names[0] = WebCredential_LookupProtocol(type);
    return names[0] ? 1 : 0;
}
