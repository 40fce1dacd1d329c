// The authentication switch: one flag and one override, each a single word read whole from any
// thread.
#include "core/certs/authenticate.h"

#include <atomic>

namespace {
std::atomic<uint32_t> g_enabled{1};
std::atomic<AuthenticateEnabledFunc> g_override{nullptr};
} // namespace

uint32_t Authenticate_Enabled() {
    AuthenticateEnabledFunc fn = g_override.load();
    return fn ? fn() : g_enabled.load();
}

int64_t Authenticate_SetEnabled(uint32_t flag) {
    g_enabled.store(flag);
    return 1;
}

int64_t Authenticate_EnabledOverride(AuthenticateEnabledFunc fn) {
    g_override.store(fn);
    return 1;
}
