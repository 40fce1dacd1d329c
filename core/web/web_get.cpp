// URL authorisation of the web client: the override slot and the authentication switch. The
// host whitelist arrives with the web client; until then a whitelist check plainly fails.
#include "core/web/web_get.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "core/certs/authenticate.h"
#include "core/runtime/log.h"

namespace {

std::atomic<WebGetAuthorizeFunc> AuthorizeOverride{nullptr};

// The default store and the lock that keeps a reader from taking a reference to a store that a
// concurrent Set is releasing.
std::mutex DefaultStoreLock;
CertStoreInterface* DefaultStore = nullptr;

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

int64_t WebGet_CertStoreSetDefaultHandle(CertStoreInterface* store) {
    CertStoreInterface* added = store ? CertStoreInterface_AddRef(store) : nullptr;
    CertStoreInterface* old = nullptr;
    {
        std::lock_guard<std::mutex> guard(DefaultStoreLock);
        old = DefaultStore;
        DefaultStore = added;
    }
    if (old) CertStoreInterface_Release(&old);
    return 1;
}

CertStoreInterface* WebGet_CertStoreGetDefaultHandle() {
    {
        std::lock_guard<std::mutex> guard(DefaultStoreLock);
        if (DefaultStore) return CertStoreInterface_AddRef(DefaultStore);
    }
    return Authenticate_CertStoreGet("app");
}
