// CertStoreThumbprint: configured certificate thumbprints answering chain checks, and the run-time
// cache of certificates a TLS client verified, each tied to the store it was verified against.
#include "core/certs/cert_store_thumbprint.h"

#include <cstring>
#include <new>

#include "core/certs/authenticate.h"
#include "core/certs/cert_store_internal.h"
#include "core/certs/cert_store_x5c.h"
#include "core/certs/x509.h"
#include "core/crypto/sha1.h"
#include "core/crypto/sha256.h"
#include "core/crypto/sha512.h"
#include "core/formats/base64.h"
#include "core/runtime/class_family.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"
#include "core/runtime/time.h"

const HashInterface* const CERTSTORETHUMBPRINT_KNOWNHASHINTERFACES[5] = {
    &SHA1_INTERFACE, &SHA224_INTERFACE, &SHA256_INTERFACE, &SHA384_INTERFACE, &SHA512_INTERFACE};

namespace {

struct Configured {
    Configured* Next;
    Configured* Previous;
    const HashInterface* Hash;
    uint8_t Bytes[CERTSTORETHUMBPRINT_MAX_DIGEST];
};

struct Cached {
    Cached* Next;
    Cached* Previous;
    uint8_t Bytes[CERTSTORETHUMBPRINT_MAX_DIGEST];
    int32_t Length;
    double Expiry;
    // The store the certificate was verified against (referenced), or null.
    CertStoreInterface* Under;
    // Cached while checking was off: such an entry proves nothing once checking is on.
    uint32_t WhileOff;
};

struct Supported {
    Supported* Next;
    Supported* Previous;
    const HashInterface* Hash;
};

template <typename Node> struct List {
    Node* Head = nullptr;
    Node* Tail = nullptr;
    uint32_t Count = 0;
    Pool* Nodes = nullptr;

    void Create(uint32_t chunk) {
        Pool_Create(&Nodes);
        Pool_SetMemorySize(Nodes, sizeof(Node));
        Pool_SetChunkSize(Nodes, chunk);
    }
    Node* Append() {
        auto* node = static_cast<Node*>(Pool_Alloc(Nodes, sizeof(Node)));
        memset(node, 0, sizeof(Node));
        node->Previous = Tail;
        if (Tail)
            Tail->Next = node;
        else
            Head = node;
        Tail = node;
        Count++;
        return node;
    }
    void Remove(Node* node) {
        (node->Previous ? node->Previous->Next : Head) = node->Next;
        (node->Next ? node->Next->Previous : Tail) = node->Previous;
        Count--;
        Pool_Free(Nodes, &node, sizeof(Node));
    }
    void Reset() {
        Head = Tail = nullptr;
        Count = 0;
        Pool_Reset(Nodes);
    }
};

constexpr uint32_t kConfiguredChunk = 10;
constexpr uint32_t kCachedChunk = 10;
constexpr uint32_t kSupportedChunk = 5;

double (*g_clock)() = nullptr;

double Now() {
    return g_clock ? g_clock() : Time_GetCurrent();
}

// Store references of dropped cache entries, given back only after the lock is left: the last
// reference on a store runs its delete, which must not run under this store's lock.
struct Dropped {
    CertStoreInterface* Stores[CERTSTORETHUMBPRINT_CACHE_SIZE + 1] = {};
    uint32_t Count = 0;
    ~Dropped() {
        for (uint32_t i = 0; i < Count; i++) CertStoreInterface_Release(&Stores[i]);
    }
};

} // namespace

struct CertStoreThumbprint : CertStoreBase {
    ClassPrint Print;
    List<Configured> ConfiguredList;
    List<Cached> Cache;
    List<Supported> Hashes;
    // Guards the cache; the configured and hash lists are filled before the store is shared.
    CriticalSection* Lock;
};

namespace {

void PreparePrint(CertStoreThumbprint* store) {
    ClassPrint_Prepare(&store->Print, store, "CertStoreThumbprint", CertStoreThumbprint_PrintInternal);
}

void DropCached(CertStoreThumbprint* store, Cached* entry, Dropped* dropped) {
    if (entry->Under && dropped->Count < sizeof(dropped->Stores) / sizeof(dropped->Stores[0]))
        dropped->Stores[dropped->Count++] = entry->Under;
    else if (entry->Under)
        CertStoreInterface_Release(&entry->Under);
    store->Cache.Remove(entry);
}

// With checking on, whatever was cached while it was off goes.
void DropCachedWhileOff(CertStoreThumbprint* store, Dropped* dropped) {
    if (!Authenticate_Enabled()) return;
    for (Cached* entry = store->Cache.Head; entry;) {
        Cached* next = entry->Next;
        if (entry->WhileOff) DropCached(store, entry, dropped);
        entry = next;
    }
}

void CompactLocked(CertStoreThumbprint* store, uint32_t maximum, Dropped* dropped) {
    const double now = Now();
    for (Cached* entry = store->Cache.Head; entry;) {
        Cached* next = entry->Next;
        if (entry->Expiry <= now) DropCached(store, entry, dropped);
        entry = next;
    }
    while (store->Cache.Count > maximum) DropCached(store, store->Cache.Head, dropped);
}

Cached* FindCached(CertStoreThumbprint* store, const uint8_t* bytes, int32_t length, CertStoreInterface* under) {
    for (Cached* entry = store->Cache.Head; entry; entry = entry->Next)
        if (entry->Length == length && entry->Under == under && memcmp(entry->Bytes, bytes, (size_t)length) == 0)
            return entry;
    return nullptr;
}

// The certificate's thumbprint under its own signature hash; 0 when it has none.
int32_t OwnThumbprint(X509* cert, uint8_t* digest) {
    const HashInterface* record = nullptr;
    if (!X509_GetHashInterface(cert, &record) || record->DigestSize > CERTSTORETHUMBPRINT_MAX_DIGEST) return 0;
    if (!X509_Thumbprint(cert, record, digest, (int32_t)record->DigestSize)) return 0;
    return (int32_t)record->DigestSize;
}

bool IsSupportedHash(CertStoreThumbprint* store, const HashInterface* record) {
    for (Supported* node = store->Hashes.Head; node; node = node->Next)
        if (node->Hash == record) return true;
    return false;
}

// A configured entry with these bytes; with a record, only entries of that record.
bool IsConfigured(CertStoreThumbprint* store, const HashInterface* record, const uint8_t* bytes, int32_t length) {
    for (Configured* entry = store->ConfiguredList.Head; entry; entry = entry->Next) {
        if (record ? entry->Hash != record : (int32_t)entry->Hash->DigestSize != length) continue;
        if (memcmp(entry->Bytes, bytes, (size_t)length) == 0) return true;
    }
    return false;
}

bool IsConfiguredUnder(CertStoreThumbprint* store, X509* cert, const HashInterface* record) {
    uint8_t digest[CERTSTORETHUMBPRINT_MAX_DIGEST];
    if (!X509_Thumbprint(cert, record, digest, (int32_t)record->DigestSize)) return false;
    return IsConfigured(store, record, digest, (int32_t)record->DigestSize);
}

int64_t DeleteHandle(void** handle) {
    auto* store = static_cast<CertStoreThumbprint*>(*handle);
    CLASS_CHECK(store, CERTSTORETHUMBPRINT_CLASS_ID);
    CertStore_DropInterface(store);
    CertStoreThumbprint_Reset(store);
    Pool_Delete(&store->ConfiguredList.Nodes);
    Pool_Delete(&store->Cache.Nodes);
    Pool_Delete(&store->Hashes.Nodes);
    CriticalSection_Delete(&store->Lock);
    store->Header.ClassId = 0;
    Memory_Free(store, sizeof(CertStoreThumbprint));
    *handle = nullptr;
    return 1;
}

} // namespace

int64_t CertStoreThumbprint_InterfaceX509IsTrusted(CertStoreInterface*, void* user, X509* cert, uint32_t* stop) {
    auto* store = static_cast<CertStoreThumbprint*>(user);
    *stop = 0;
    for (Supported* node = store->Hashes.Head; node; node = node->Next)
        if (IsConfiguredUnder(store, cert, node->Hash)) return 1;
    return 0;
}

int64_t CertStoreThumbprint_InterfaceX509IsTrustedJWS(CertStoreInterface* handle, void*, Dictionary* header,
                                                     CryptAsymmetric** key, uint32_t* stop) {
    *stop = 0;
    return CertStore_X509IsTrustedX5C(handle, header, key);
}

int64_t CertStoreThumbprint_Create(CertStoreThumbprint** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* store = static_cast<CertStoreThumbprint*>(Memory_AllocZero(sizeof(CertStoreThumbprint)));
    new (&store->ConfiguredList) List<Configured>();
    new (&store->Cache) List<Cached>();
    new (&store->Hashes) List<Supported>();
    store->Header.ClassId = CERTSTORETHUMBPRINT_CLASS_ID;
    store->Header.RefCount = 1;
    store->Header.Delete = DeleteHandle;
    store->ConfiguredList.Create(kConfiguredChunk);
    store->Cache.Create(kCachedChunk);
    store->Hashes.Create(kSupportedChunk);
    CriticalSection_Create(&store->Lock);
    CertStore_InitInterface(store);
    CertStoreInterface_SetX509IsTrustedCallback(store->Interface, store, CertStoreThumbprint_InterfaceX509IsTrusted);
    CertStoreInterface_SetX509IsTrustedJWSCallback(store->Interface, store, CertStoreThumbprint_InterfaceX509IsTrustedJWS);
    *handle = store;
    return 1;
}

CLASS_BASICS(CertStoreThumbprint, CertStoreThumbprint, CERTSTORETHUMBPRINT_CLASS_ID)

CertStoreInterface* CertStoreThumbprint_GetInterfaceHandle(CertStoreThumbprint* store) {
    CLASS_CHECK(store, CERTSTORETHUMBPRINT_CLASS_ID);
    return CertStoreInterface_AddRef(store->Interface);
}

int64_t CertStoreThumbprint_TrustDictionary(CertStoreThumbprint* store, Dictionary* dict) {
    CLASS_CHECK(store, CERTSTORETHUMBPRINT_CLASS_ID);
    int64_t added = 0;
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(dict, &item);
    for (; item; Dictionary_ItemGetNext(dict, item, &item)) {
        const char* text = nullptr;
        int32_t length = 0;
        if (!Dictionary_ItemGetBufferPtr(dict, item, &text, &length) || !text) text = "";
        uint32_t capacity = 0;
        Base64_CalculateDecodeSize((uint32_t)strlen(text), &capacity);
        if (capacity < CERTSTORETHUMBPRINT_MAX_DIGEST + 2) capacity = CERTSTORETHUMBPRINT_MAX_DIGEST + 2;
        auto* bytes = static_cast<uint8_t*>(Memory_AllocZero(capacity));
        uint32_t decoded = 0;
        const HashInterface* record = nullptr;
        if (Base64_Decode(text, (int32_t)strlen(text), bytes, (int32_t)capacity, &decoded) != 1) {
            CertStoreThumbprint_Print(store, "Unable to decode certificate base64 thumbprint (%s)\n", text);
        } else if (decoded > CERTSTORETHUMBPRINT_MAX_DIGEST || !Hash_InterfaceFromDigestSize(decoded, &record) ||
                   !record) {
            CertStoreThumbprint_Print(store, "Unable to detect hash for base64 thumbprint (%s)\n", text);
        } else {
            if (!IsSupportedHash(store, record)) store->Hashes.Append()->Hash = record;
            Configured* entry = store->ConfiguredList.Append();
            entry->Hash = record;
            memcpy(entry->Bytes, bytes, decoded);
            added = 1;
        }
        Memory_Free(bytes, capacity);
    }
    return added;
}

int64_t CertStoreThumbprint_IsTrustedUnder(CertStoreThumbprint* store, X509* cert, CertStoreInterface* under,
                                           uint32_t otherHashes) {
    CLASS_CHECK(store, CERTSTORETHUMBPRINT_CLASS_ID);
    CLASS_CHECK(cert, X509_CLASS_ID);
    if (under) CLASS_CHECK(under, CERTSTOREINTERFACE_CLASS_ID);
    uint8_t digest[CERTSTORETHUMBPRINT_MAX_DIGEST];
    const int32_t length = OwnThumbprint(cert, digest);
    if (length == 0) return 0;
    const HashInterface* own = nullptr;
    X509_GetHashInterface(cert, &own);
    {
        Dropped dropped;
        CriticalSectionGuard guard(store->Lock);
        DropCachedWhileOff(store, &dropped);
        if (Cached* entry = FindCached(store, digest, length, under)) {
            if (entry->Expiry > Now()) return 1;
            DropCached(store, entry, &dropped);
            return 0;
        }
    }
    if (IsConfigured(store, nullptr, digest, length)) return 1;
    if (otherHashes == 0) return 0;
    for (const HashInterface* record : CERTSTORETHUMBPRINT_KNOWNHASHINTERFACES) {
        if (record == own || !IsSupportedHash(store, record)) continue;
        if (IsConfiguredUnder(store, cert, record)) return 1;
    }
    return 0;
}

int64_t CertStoreThumbprint_IsTrusted(CertStoreThumbprint* store, X509* cert, uint32_t otherHashes) {
    return CertStoreThumbprint_IsTrustedUnder(store, cert, nullptr, otherHashes);
}

int64_t CertStoreThumbprint_TrustUnder(CertStoreThumbprint* store, X509* cert, CertStoreInterface* under) {
    CLASS_CHECK(store, CERTSTORETHUMBPRINT_CLASS_ID);
    CLASS_CHECK(cert, X509_CLASS_ID);
    if (under) CLASS_CHECK(under, CERTSTOREINTERFACE_CLASS_ID);
    uint8_t digest[CERTSTORETHUMBPRINT_MAX_DIGEST];
    const int32_t length = OwnThumbprint(cert, digest);
    if (length == 0) return 1;
    const uint32_t whileOff = Authenticate_Enabled() ? 0 : 1;
    Dropped dropped;
    CriticalSectionGuard guard(store->Lock);
    DropCachedWhileOff(store, &dropped);
    Cached* entry = FindCached(store, digest, length, under);
    if (entry && entry->WhileOff != whileOff) {
        DropCached(store, entry, &dropped);
        entry = nullptr;
    }
    if (!entry) {
        CompactLocked(store, CERTSTORETHUMBPRINT_CACHE_SIZE - 1, &dropped);
        entry = store->Cache.Append();
        memcpy(entry->Bytes, digest, (size_t)length);
        entry->Length = length;
        entry->Under = under ? CertStoreInterface_AddRef(under) : nullptr;
        entry->WhileOff = whileOff;
        entry->Expiry = Now() + CERTSTORETHUMBPRINT_CACHE_SECONDS;
    } else {
        entry->Expiry = Now() + CERTSTORETHUMBPRINT_CACHE_SECONDS;
        CompactLocked(store, CERTSTORETHUMBPRINT_CACHE_SIZE, &dropped);
    }
    return 1;
}

int64_t CertStoreThumbprint_Trust(CertStoreThumbprint* store, X509* cert) {
    return CertStoreThumbprint_TrustUnder(store, cert, nullptr);
}

int64_t CertStoreThumbprint_GetTrusted(CertStoreThumbprint* store, const uint8_t* bytes, int32_t length) {
    CLASS_CHECK(store, CERTSTORETHUMBPRINT_CLASS_ID);
    if (!bytes || length <= 0) return 0;
    CriticalSectionGuard guard(store->Lock);
    for (Cached* entry = store->Cache.Head; entry; entry = entry->Next)
        if (entry->Length == length && memcmp(entry->Bytes, bytes, (size_t)length) == 0) return 1;
    return 0;
}

int64_t CertStoreThumbprint_IsSupported(CertStoreThumbprint* store, const HashInterface* record) {
    CLASS_CHECK(store, CERTSTORETHUMBPRINT_CLASS_ID);
    return IsSupportedHash(store, record);
}

int64_t CertStoreThumbprint_Compact(CertStoreThumbprint* store, uint32_t maximum) {
    CLASS_CHECK(store, CERTSTORETHUMBPRINT_CLASS_ID);
    Dropped dropped;
    CriticalSectionGuard guard(store->Lock);
    CompactLocked(store, maximum, &dropped);
    return 1;
}

int64_t CertStoreThumbprint_Reset(CertStoreThumbprint* store) {
    CLASS_CHECK(store, CERTSTORETHUMBPRINT_CLASS_ID);
    Dropped dropped;
    CriticalSectionGuard guard(store->Lock);
    for (Cached* entry = store->Cache.Head; entry; entry = entry->Next)
        if (entry->Under) dropped.Stores[dropped.Count++] = entry->Under;
    store->Cache.Reset();
    store->ConfiguredList.Reset();
    store->Hashes.Reset();
    return 1;
}

int64_t CertStoreThumbprint_PrintInternal(void*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}

void CertStoreThumbprint_SetClock(double (*clock)()) {
    g_clock = clock;
}

CLASS_PRINT_FAMILY(CertStoreThumbprint, CertStoreThumbprint, CERTSTORETHUMBPRINT_CLASS_ID, PreparePrint)
