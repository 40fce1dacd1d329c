// URL authorisation of the web client: the override slot and the authentication switch. The
// host whitelist arrives with the web client; until then a whitelist check plainly fails.
#include "core/web/web_get.h"

#include <atomic>
#include <cstring>

#include "core/certs/authenticate.h"
#include "core/runtime/log.h"

namespace {

std::atomic<WebGetAuthorizeFunc> AuthorizeOverride{nullptr};

} // namespace

int64_t WebGet_Authorize(const char* url) {
    if (!url || !strstr(url, "//")) return 0;
    WebGetAuthorizeFunc fn = AuthorizeOverride.load();
    if (fn && fn(url)) return 1;
    if (!Authenticate_Enabled()) return 1;
    if (!fn) Log_Error("WebGet whitelist not available yet (%s)\n", url);
    return 0;
}

int64_t WebGet_AuthorizeOverride(WebGetAuthorizeFunc fn) {
    AuthorizeOverride.store(fn);
    return 1;
}
