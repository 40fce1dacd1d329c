// The authentication service: the switch (one flag and one override, each a single word read
// whole from any thread), the named trust stores and the code-signature check of a file.
#include "core/certs/authenticate.h"

#include <atomic>

#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

struct AuthenticateService {
    Class Header;
    // Fixed for the service's whole life, so lookups need no lock.
    CertStoreInterface* App;
    CertStoreInterface* Null;
};

std::atomic<uint32_t> g_enabled{1};
std::atomic<AuthenticateEnabledFunc> g_override{nullptr};
std::atomic<AuthenticateService*> g_service{nullptr};

// A store of its own that trusts nothing; the handle holds its only reference.
CertStoreInterface* NewEmptyStore() {
    CertStoreNull* store = nullptr;
    CertStoreNull_Create(&store);
    CertStoreInterface* handle = CertStoreNull_GetInterfaceHandle(store);
    CertStoreNull_Release(&store);
    return handle;
}

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

int64_t Authenticate_Init() {
    if (g_service.load()) return 0;
    g_enabled.store(1);
    AuthenticateService* service =
        static_cast<AuthenticateService*>(Memory_AllocZero(sizeof(AuthenticateService)));
    service->Header.ClassId = AUTHENTICATE_CLASS_ID;
    service->Header.RefCount = 1;
    service->App = NewEmptyStore();
    service->Null = NewEmptyStore();
    g_service.store(service);
    return 1;
}

int64_t Authenticate_Remove() {
    AuthenticateService* service = g_service.exchange(nullptr);
    if (!service) return 1;
    CertStoreInterface_Release(&service->App);
    CertStoreInterface_Release(&service->Null);
    service->Header.ClassId = 0;
    Memory_Free(service, sizeof(AuthenticateService));
    return 1;
}

CertStoreInterface* Authenticate_CertStoreGet(const char* name) {
    ASSERT_POINTER(name);
    if (AuthenticateService* service = g_service.load()) {
        if (String_CompareWithoutCase(name, "app")) return CertStoreInterface_AddRef(service->App);
        if (String_CompareWithoutCase(name, "null")) return CertStoreInterface_AddRef(service->Null);
    }
    Log_Error("Unable to find certificate store (%s)\n", name);
    return NewEmptyStore();
}

int64_t Authenticate_CertStoreRelease(CertStoreInterface** handle) {
    ASSERT_POINTER(handle);
    CertStoreInterface_Release(handle);
    return 1;
}

int64_t Authenticate_Validate(CertStoreInterface* store, const char* path) {
    ASSERT_POINTER(path);
    if (!Authenticate_Enabled()) {
        Log_Debug("Skipping library authentication (%s)\n", path);
        return 1;
    }
    if (store) CLASS_CHECK(store, CERTSTOREINTERFACE_CLASS_ID);
    // Nothing here can read a code signature yet: refusing is the only answer that never lets an
    // unchecked file through while checking is on.
    Log_Error("Unable to verify the code signature of (%s): not supported on this platform\n", path);
    Log_Debug("Library validation failed (%s)\n", path);
    return 0;
}
