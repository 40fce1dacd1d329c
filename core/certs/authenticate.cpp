// The authentication service: the switch (one flag and one override, each a single word read
// whole from any thread), the named trust and key stores, and the signature and certificate checks.
#include "core/certs/authenticate.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "core/certs/cert_store_platform.h"
#include "core/certs/elf_file.h"
#include "core/certs/macho_file.h"
#include "core/certs/pe_file.h"
#include "core/certs/pkg_file.h"
#include "core/certs/x509.h"
#include "core/certs/x509_chain.h"
#include "core/platform/path.h"
#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"

namespace {

struct AuthenticateService {
    Class Header;
    CertStoreTable* CertStores;
    CertStoreList* AppList;
    CertStoreTable* KeyStores;
};

std::atomic<uint32_t> g_enabled{1};
std::atomic<AuthenticateEnabledFunc> g_override{nullptr};
std::atomic<AuthenticateService*> g_service{nullptr};

// A store of its own that trusts nothing; the handle holds its only reference.
CertStoreInterface* NewNullStore() {
    CertStoreNull* store = nullptr;
    CertStoreNull_Create(&store);
    CertStoreInterface* handle = CertStoreNull_GetInterfaceHandle(store);
    CertStoreNull_Release(&store);
    return handle;
}

// Adds the store to the table as fixed and drops the caller's reference.
void AddFixed(CertStoreTable* table, const char* name, CertStoreInterface* store) {
    CertStoreTable_Add(table, name, 0, store);
    CertStoreInterface_Release(&store);
}

CertStoreInterface* Lookup(CertStoreTable* (*table)(), const char* name) {
    ASSERT_POINTER(name);
    CertStoreInterface* store = nullptr;
    if (CertStoreTable* stores = table()) CertStoreTable_GetInterfaceHandle(stores, name, &store);
    return store;
}

// The largest certificate file read whole.
constexpr int64_t kMaxCertificateFile = 2147483647;

bool ReadCertificateFile(const char* path, uint8_t** bytes, uint32_t* length) {
    *bytes = nullptr;
    *length = 0;
    // Without waiting: a FIFO named here would hold the caller in open(); it is refused below.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    int64_t size = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? info.st_size : 0;
    if (size < 1 || size > kMaxCertificateFile) {
        Log_Error("Invalid size for file [%s] (%I64d)\n", path, size);
        close(fd);
        return false;
    }
    // Kept below what one allocation can hold; certificates come nowhere near it.
    if (size > X509_MAX_DER_SIZE) {
        Log_Error("Invalid size for file [%s] (%I64d)\n", path, size);
        close(fd);
        return false;
    }
    uint8_t* buffer = static_cast<uint8_t*>(Memory_Alloc((int32_t)size));
    int64_t total = 0;
    while (total <= size) {
        uint8_t extra;
        // One byte past the size tells a file that grew since fstat from one read whole.
        void* into = total < size ? buffer + total : &extra;
        const size_t want = total < size ? (size_t)(size - total) : 1;
        const ssize_t got = read(fd, into, want);
        if (got <= 0) break;
        total += got;
    }
    close(fd);
    if (total != size) {
        Memory_Free(buffer, (int32_t)size);
        return false;
    }
    *bytes = buffer;
    *length = (uint32_t)size;
    return true;
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
    CertStoreTable_Create(&service->KeyStores);
    CertStoreTable_Create(&service->CertStores);
    CertStoreList_Create(&service->AppList);
    AddFixed(service->CertStores, "app", CertStoreList_GetInterfaceHandle(service->AppList));
    CertStorePlatform* platform = nullptr;
    CertStorePlatform_Create(&platform);
    CertStoreInterface* platformHandle = CertStorePlatform_GetInterfaceHandle(platform);
    CertStorePlatform_Release(&platform);
    CertStoreTable_Add(service->CertStores, "platform", 0, platformHandle);
    CertStoreList_Add(service->AppList, platformHandle);
    CertStoreInterface_Release(&platformHandle);
    AddFixed(service->CertStores, "null", NewNullStore());
    g_service.store(service);
    return 1;
}

int64_t Authenticate_Remove() {
    AuthenticateService* service = g_service.exchange(nullptr);
    if (!service) return 1;
    CertStoreTable_Delete(&service->CertStores);
    CertStoreTable_Delete(&service->KeyStores);
    CertStoreList_Release(&service->AppList);
    service->Header.ClassId = 0;
    Memory_Free(service, sizeof(AuthenticateService));
    return 1;
}

CertStoreTable* Authenticate_GetCertStoreTableHandle() {
    AuthenticateService* service = g_service.load();
    return service ? service->CertStores : nullptr;
}

CertStoreTable* Authenticate_GetKeyStoreTableHandle() {
    AuthenticateService* service = g_service.load();
    return service ? service->KeyStores : nullptr;
}

CertStoreList* Authenticate_GetCertStoreAppListHandle() {
    AuthenticateService* service = g_service.load();
    return service ? service->AppList : nullptr;
}

CertStoreInterface* Authenticate_CertStoreGet(const char* name) {
    if (CertStoreInterface* store = Lookup(Authenticate_GetCertStoreTableHandle, name)) return store;
    Log_Error("Unable to find certificate store (%s)\n", name);
    return NewNullStore();
}

CertStoreInterface* Authenticate_KeyStoreGet(const char* name) {
    if (CertStoreInterface* store = Lookup(Authenticate_GetKeyStoreTableHandle, name)) return store;
    Log_Debug("Unable to find key store (%s)\n", name);
    return NewNullStore();
}

int64_t Authenticate_CertStoreRelease(CertStoreInterface** handle) {
    ASSERT_POINTER(handle);
    CertStoreInterface_Release(handle);
    return 1;
}

int64_t Authenticate_KeyStoreRelease(CertStoreInterface** handle) {
    ASSERT_POINTER(handle);
    CertStoreInterface_Release(handle);
    return 1;
}

int64_t Executable_IsValid(const char* path) {
    ASSERT_POINTER(path);
    if (!Path_Exists(path) || Path_IsDirectory(path)) return 0;
    if (PEFile_IsValid(path) || MachOFile_IsValid(path) || PKGFile_IsValid(path) || ELFFile_IsValid(path)) return 1;
    return 0;
}

int64_t Executable_HasCertificate(const char* path) {
    ASSERT_POINTER(path);
    if (!Path_Exists(path) || Path_IsDirectory(path)) return 0;
    if (PEFile_IsValid(path)) return PEFile_HasCertificate(path) ? 1 : 0;
    return MachOFile_HasCertificate(path) ? 1 : 0;
}

int64_t Executable_Authenticate(CertStoreInterface* store, const char* path) {
    ASSERT_POINTER(path);
    if (store) CLASS_CHECK(store, CERTSTOREINTERFACE_CLASS_ID);
    if (!Path_Exists(path) || Path_IsDirectory(path)) return 0;
    if (PEFile_IsValid(path)) return PEFile_Verify(store, path);
    if (MachOFile_IsValid(path)) return MachOFile_Verify(store, path);
    if (PKGFile_IsValid(path)) return PKGFile_Verify(store, path);
    // ELF programs carry no code signature this platform checks, so a well-formed one passes as
    // it is.
    if (ELFFile_IsValid(path)) return 1;
    return 0;
}

int64_t Authenticate_Validate(CertStoreInterface* store, const char* path) {
    ASSERT_POINTER(path);
    if (!Authenticate_Enabled()) {
        Log_Debug("Skipping library authentication (%s)\n", path);
        return 1;
    }
    const int64_t result = Executable_Authenticate(store, path);
    if (!result) Log_Debug("Library validation failed (%s)\n", path);
    return result;
}

int64_t Authenticate_ValidateX509MemoryInt(CertStoreInterface* store, const uint8_t* bytes, uint32_t length) {
    if (!bytes || !length) return 0;
    X509* cert = nullptr;
    X509_Create(&cert);
    int64_t result = 0;
    if (X509_BuildFromBuffer(cert, bytes, length)) {
        X509Chain* chain = nullptr;
        X509Chain_Create(&chain);
        X509Chain_Add(chain, cert);
        result = X509Chain_VerifyX509(chain, cert, store) == 1 ? 1 : 0;
        X509Chain_Release(&chain);
    }
    X509_Release(&cert);
    return result;
}

int64_t Authenticate_ValidateX509Memory(CertStoreInterface* store, const uint8_t* bytes, uint32_t length) {
    if (!Authenticate_Enabled()) {
        Log_Debug("Skipping certificate in-memory authentication\n");
        return 1;
    }
    const int64_t result = Authenticate_ValidateX509MemoryInt(store, bytes, length);
    if (!result) Log_Debug("Certificate memory validation (0x%p) failed\n", (const void*)bytes);
    return result;
}

int64_t Authenticate_ValidateX509(CertStoreInterface* store, const char* path) {
    ASSERT_POINTER(path);
    if (!Authenticate_Enabled()) {
        Log_Debug("Skipping certificate authentication (%s)\n", path);
        return 1;
    }
    uint8_t* bytes = nullptr;
    uint32_t length = 0;
    int64_t result = 0;
    if (ReadCertificateFile(path, &bytes, &length)) {
        result = Authenticate_ValidateX509MemoryInt(store, bytes, length);
        Memory_Free(bytes, (int32_t)length);
    }
    if (!result) Log_Debug("Ceritificate file validation (%s) failed\n", path);
    return result;
}

int64_t Authenticate_ValidateX509Interop(const char* storeName, const char* path) {
    ASSERT_POINTER(storeName);
    CertStoreList* list = nullptr;
    CertStoreList_Create(&list);
    CertStoreInterface* named = Authenticate_CertStoreGet(storeName);
    CertStoreList_Add(list, named);
    CertStoreInterface_Release(&named);
    CertStoreInterface* handle = CertStoreList_GetInterfaceHandle(list);
    const int64_t result = Authenticate_ValidateX509(handle, path);
    CertStoreInterface_Release(&handle);
    CertStoreList_Release(&list);
    return result;
}
