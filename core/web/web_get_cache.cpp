// The in-memory response cache: the registry of named stores, the stores' item lists under their
// locks (reservation, lookup, expiry, dump) and the items that hold one response each.
#include "core/web/web_get_cache.h"

#include "core/runtime/class_family.h"

#include <atomic>
#include <cstddef>
#include <cstring>

#include "core/crypto/hash.h"
#include "core/formats/crc.h"
#include "core/platform/file.h"
#include "core/platform/memory_stream.h"
#include "core/platform/path.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/time.h"

struct WebGetCacheItem {
    Class Header;
    ClassPrint Print;
    // CRC-32 of the URL, to skip most items cheaply; the URL itself decides, since two URLs can
    // share a key and must never share an answer.
    uint32_t UrlKey;
    char* Url;
    int32_t UrlSize;
    int64_t MaxAge;
    uint32_t Directive;
    double CommitTime;
    double LastModified;
    MemoryStream* Body;
    // Read under the store lock by other requests while the filler writes them without it.
    uint32_t Committed;
    uint32_t Valid;
    // Tells items apart in dump file names.
    uint32_t Serial;
    WebGetCacheItem* Next;
    WebGetCacheItem* Prev;
};

struct WebGetCacheStore {
    Class Header;
    ClassPrint Print;
    char Name[WEBGET_CACHE_STORE_NAME_SIZE];
    int64_t MinAge;
    uint32_t Directive;
    double NextExpiry;
    CriticalSection* Lock;
    WebGetCacheItem* Head;
    WebGetCacheItem* Tail;
    uint32_t Count;
    WebGetCacheStore* Next;
    WebGetCacheStore* Prev;
};

struct WebGetCache {
    uint32_t ClassId;
    WebGetCacheStore* Head;
    WebGetCacheStore* Tail;
    uint32_t Count;
};

static WebGetCache* GlobalWebGetCache = NULL;

namespace {

std::atomic<WebGetCacheClockFunc> g_clock{nullptr};
std::atomic<WebGetCacheProbeFunc> g_orphanProbe{nullptr};
std::atomic<void*> g_orphanProbeUser{nullptr};
std::atomic<uint32_t> g_serial{0};

double Now() {
    const WebGetCacheClockFunc fn = g_clock.load();
    return fn ? fn() : Time_GetCurrent();
}

uint32_t Flag(uint32_t& field) {
    return std::atomic_ref<uint32_t>(field).load();
}

void SetFlag(uint32_t& field, uint32_t value) {
    std::atomic_ref<uint32_t>(field).store(value);
}

// The CRC-32 digest read as a big-endian number.
uint32_t UrlKeyOf(const char* url) {
    uint8_t digest[4] = {};
    Hash_QuickDigest(&CRC_INTERFACE, url, (int32_t)strlen(url), digest, (int32_t)sizeof(digest));
    return (uint32_t)digest[0] << 24 | (uint32_t)digest[1] << 16 | (uint32_t)digest[2] << 8 | digest[3];
}

bool HoldsUrl(WebGetCacheItem* item, uint32_t key, const char* url) {
    return item->UrlKey == key && item->Url && strcmp(item->Url, url) == 0;
}

int64_t DeleteItemHandle(void** handle) {
    return WebGetCacheItem_Delete(reinterpret_cast<WebGetCacheItem**>(handle));
}

int64_t DeleteStoreHandle(void** handle) {
    return WebGetCacheStore_Delete(reinterpret_cast<WebGetCacheStore**>(handle));
}

void PrepareItemPrint(WebGetCacheItem* item) {
    ClassPrint_Prepare(&item->Print, item, "WebGetCacheItem", nullptr);
}

void PrepareStorePrint(WebGetCacheStore* store) {
    ClassPrint_Prepare(&store->Print, store, "WebGetCacheStore", nullptr);
}

void Unlink(WebGetCacheStore* store, WebGetCacheItem* item) {
    if (item->Prev)
        item->Prev->Next = item->Next;
    else
        store->Head = item->Next;
    if (item->Next)
        item->Next->Prev = item->Prev;
    else
        store->Tail = item->Prev;
    item->Next = item->Prev = nullptr;
    store->Count--;
}

// The first valid item of the URL; with committedOnly, only a committed one. Under the lock.
WebGetCacheItem* FindValid(WebGetCacheStore* store, const char* url, bool committedOnly) {
    const uint32_t key = UrlKeyOf(url);
    for (WebGetCacheItem* item = store->Head; item; item = item->Next) {
        if (!HoldsUrl(item, key, url) || !Flag(item->Valid)) continue;
        if (committedOnly && !Flag(item->Committed)) continue;
        return item;
    }
    return nullptr;
}

// Creates and appends an item for the URL; the store keeps one reference, the caller gets
// another. Under the lock.
WebGetCacheItem* Append(WebGetCacheStore* store, const char* url) {
    WebGetCacheItem* item = nullptr;
    WebGetCacheItem_Create(&item);
    // The item prints to the store's sink; it copies the sink, not the store, since it may
    // outlive the store while a request still holds it.
    PrepareStorePrint(store);
    PrepareItemPrint(item);
    item->Print.PrintUser = store->Print.PrintUser;
    item->Print.PrintCallback = store->Print.PrintCallback;
    item->Directive = store->Directive;
    WebGetCacheItem_SetUrl(item, url);
    item->Prev = store->Tail;
    if (store->Tail)
        store->Tail->Next = item;
    else
        store->Head = item;
    store->Tail = item;
    store->Count++;
    WebGetCacheItem_AddRef(item);
    return item;
}

} // namespace

int64_t WebGetCache_SetClockOverride(WebGetCacheClockFunc fn) {
    g_clock.store(fn);
    return 1;
}

int64_t WebGetCache_SetOrphanCheckProbe(WebGetCacheProbeFunc fn, void* user) {
    g_orphanProbeUser.store(user);
    g_orphanProbe.store(fn);
    return 1;
}

// ---- Registry ---------------------------------------------------------------------------------

int64_t WebGetCache_Init() {
    ASSERT_MSG(GlobalWebGetCache == NULL, "WebGetCache already initialized");
    GlobalWebGetCache = static_cast<WebGetCache*>(Memory_AllocZero(sizeof(WebGetCache)));
    GlobalWebGetCache->ClassId = WEBGET_CACHE_CLASS_ID;
    return 1;
}

int64_t WebGetCache_Remove() {
    WebGetCache* cache = GlobalWebGetCache;
    if (!cache) return 1;
    GlobalWebGetCache = nullptr;
    while (WebGetCacheStore* store = cache->Head) {
        cache->Head = store->Next;
        store->Next = store->Prev = nullptr;
        WebGetCacheStore_Release(&store);
    }
    cache->ClassId = 0;
    Memory_Free(cache, sizeof(WebGetCache));
    return 1;
}

int64_t WebGetCache_GetStore(const char* name, WebGetCacheStore** store) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(store);
    *store = nullptr;
    if (!GlobalWebGetCache) return 0;
    for (WebGetCacheStore* s = GlobalWebGetCache->Head; s; s = s->Next) {
        if (String_CompareWithoutCase(s->Name, name)) {
            WebGetCacheStore_AddRef(s);
            *store = s;
            return 1;
        }
    }
    return 0;
}

int64_t WebGetCache_AddStore(const char* name, WebGetCacheStore** store) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(store);
    *store = nullptr;
    if (WebGetCache_GetStore(name, store)) return 1;
    WebGetCache* cache = GlobalWebGetCache;
    if (!cache) return 0;
    WebGetCacheStore* created = nullptr;
    WebGetCacheStore_Create(&created);
    WebGetCacheStore_SetName(created, name);
    created->Prev = cache->Tail;
    if (cache->Tail)
        cache->Tail->Next = created;
    else
        cache->Head = created;
    cache->Tail = created;
    cache->Count++;
    WebGetCacheStore_AddRef(created);
    *store = created;
    return 1;
}

int64_t WebGetCache_Expire(int32_t force) {
    if (!GlobalWebGetCache) return 0;
    for (WebGetCacheStore* s = GlobalWebGetCache->Head; s; s = s->Next) WebGetCacheStore_Expire(s, force);
    return 1;
}

// ---- Store ------------------------------------------------------------------------------------

CLASS_BASICS(WebGetCacheStore, WebGetCacheStore, WEBGET_CACHE_STORE_CLASS_ID)
CLASS_PRINT_FAMILY(WebGetCacheStore, WebGetCacheStore, WEBGET_CACHE_STORE_CLASS_ID, PrepareStorePrint)

int64_t WebGetCacheStore_Create(WebGetCacheStore** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    WebGetCacheStore* store = static_cast<WebGetCacheStore*>(Memory_AllocZero(sizeof(WebGetCacheStore)));
    store->Header.ClassId = WEBGET_CACHE_STORE_CLASS_ID;
    store->Header.RefCount = 1;
    store->Header.Delete = DeleteStoreHandle;
    Class_GenerateInstanceIdReal(store);
    CriticalSection_Create(&store->Lock);
    *handle = store;
    return 1;
}

int64_t WebGetCacheStore_Delete(WebGetCacheStore** handle) {
    ASSERT_POINTER(handle);
    WebGetCacheStore* store = *handle;
    CLASS_CHECK(store, WEBGET_CACHE_STORE_CLASS_ID);
    CriticalSection_Lock(store->Lock);
    while (WebGetCacheItem* item = store->Head) {
        Unlink(store, item);
        WebGetCacheItem_Release(&item);
    }
    CriticalSection_Unlock(store->Lock);
    CriticalSection_Delete(&store->Lock);
    store->Header.ClassId = 0;
    Memory_Free(store, sizeof(WebGetCacheStore));
    *handle = nullptr;
    return 1;
}

int64_t WebGetCacheStore_SetName(WebGetCacheStore* store, const char* name) {
    CLASS_CHECK(store, WEBGET_CACHE_STORE_CLASS_ID);
    ASSERT_POINTER(name);
    String_CopyLength(store->Name, name, WEBGET_CACHE_STORE_NAME_SIZE);
    return 1;
}

int64_t WebGetCacheStore_GetName(WebGetCacheStore* store, char* buffer, int32_t capacity) {
    CLASS_CHECK(store, WEBGET_CACHE_STORE_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLength(buffer, store->Name, capacity);
    return 1;
}

int64_t WebGetCacheStore_SetMinAge(WebGetCacheStore* store, int64_t seconds) {
    CLASS_CHECK(store, WEBGET_CACHE_STORE_CLASS_ID);
    store->MinAge = seconds;
    return 1;
}

int64_t WebGetCacheStore_GetMinAge(WebGetCacheStore* store, int64_t* seconds) {
    ASSERT_POINTER(seconds);
    *seconds = 0;
    CLASS_CHECK(store, WEBGET_CACHE_STORE_CLASS_ID);
    *seconds = store->MinAge;
    return 1;
}

int64_t WebGetCacheStore_SetDirective(WebGetCacheStore* store, uint32_t directive) {
    CLASS_CHECK(store, WEBGET_CACHE_STORE_CLASS_ID);
    store->Directive = directive;
    return 1;
}

int64_t WebGetCacheStore_GetDirective(WebGetCacheStore* store, uint32_t* directive) {
    ASSERT_POINTER(directive);
    *directive = 0;
    CLASS_CHECK(store, WEBGET_CACHE_STORE_CLASS_ID);
    *directive = store->Directive;
    return 1;
}

int64_t WebGetCacheStore_AddItem(WebGetCacheStore* store, const char* url, WebGetCacheItem** item) {
    ASSERT_POINTER(item);
    *item = nullptr;
    CLASS_CHECK(store, WEBGET_CACHE_STORE_CLASS_ID);
    ASSERT_POINTER(url);
    CriticalSectionGuard guard(store->Lock);
    *item = Append(store, url);
    return 1;
}

int64_t WebGetCacheStore_FindItem(WebGetCacheStore* store, const char* url, WebGetCacheItem** item) {
    ASSERT_POINTER(item);
    *item = nullptr;
    CLASS_CHECK(store, WEBGET_CACHE_STORE_CLASS_ID);
    ASSERT_POINTER(url);
    CriticalSectionGuard guard(store->Lock);
    WebGetCacheItem* found = FindValid(store, url, true);
    if (!found) return 0;
    WebGetCacheItem_AddRef(found);
    *item = found;
    return 1;
}

int64_t WebGetCacheStore_WaitOne(WebGetCacheStore* store, const char* url, WebGetCacheItem** item) {
    ASSERT_POINTER(item);
    *item = nullptr;
    CLASS_CHECK(store, WEBGET_CACHE_STORE_CLASS_ID);
    ASSERT_POINTER(url);
    CriticalSectionGuard guard(store->Lock);
    WebGetCacheItem* found = FindValid(store, url, false);
    // A filler that let go of its item without committing or invalidating it: nobody will finish
    // it, and waiting for it would never end. References are only handed out under this lock, so
    // none can appear meanwhile. The filler commits without the lock and lets go after: the
    // references are read first, so that a commit made before the last one went is seen (read
    // the other way round, an item committed in between was thrown away and fetched again).
    const bool unreferenced = found && Class_HasOneRef(found);
    const WebGetCacheProbeFunc probe = found ? g_orphanProbe.load() : nullptr;
    if (probe) probe(g_orphanProbeUser.load());
    if (unreferenced && !Flag(found->Committed)) {
        WebGetCacheItem_Invalidate(found);
        found = nullptr;
    }
    if (!found) {
        *item = Append(store, url);
        return 0;
    }
    if (!Flag(found->Committed)) return 1;
    WebGetCacheItem_AddRef(found);
    *item = found;
    return 0;
}

int64_t WebGetCacheStore_GetItemCount(WebGetCacheStore* store, const char* url, uint32_t* count) {
    ASSERT_POINTER(count);
    *count = 0;
    CLASS_CHECK(store, WEBGET_CACHE_STORE_CLASS_ID);
    ASSERT_POINTER(url);
    const uint32_t key = UrlKeyOf(url);
    CriticalSectionGuard guard(store->Lock);
    for (WebGetCacheItem* i = store->Head; i; i = i->Next)
        if (HoldsUrl(i, key, url) && Flag(i->Valid) && Flag(i->Committed)) (*count)++;
    return 1;
}

int64_t WebGetCacheStore_Lock(WebGetCacheStore* store) {
    CLASS_CHECK(store, WEBGET_CACHE_STORE_CLASS_ID);
    return CriticalSection_Lock(store->Lock);
}

int64_t WebGetCacheStore_Unlock(WebGetCacheStore* store) {
    CLASS_CHECK(store, WEBGET_CACHE_STORE_CLASS_ID);
    return CriticalSection_Unlock(store->Lock);
}

int64_t WebGetCacheStore_Expire(WebGetCacheStore* store, int32_t force) {
    CLASS_CHECK(store, WEBGET_CACHE_STORE_CLASS_ID);
    const double now = Now();
    // The throttle is read and moved under the lock too, since stores are swept from any thread.
    CriticalSectionGuard guard(store->Lock);
    if (store->Count == 0 || (!force && now < store->NextExpiry)) return 1;
    store->NextExpiry = now + (double)WEBGET_CACHE_EXPIRE_INTERVAL;
    for (WebGetCacheItem* item = store->Head; item;) {
        WebGetCacheItem* next = item->Next;
        bool expired = !Flag(item->Valid);
        if (!expired && Flag(item->Committed)) {
            const int64_t age = store->MinAge > item->MaxAge ? store->MinAge : item->MaxAge;
            // In doubles, so that the greatest max-age neither wraps nor ends.
            expired = item->CommitTime + (double)age < now;
        }
        if (expired) {
            Unlink(store, item);
            WebGetCacheItem_Print(item, "Expired");
            WebGetCacheItem_Release(&item);
        }
        item = next;
    }
    return 1;
}

int64_t WebGetCacheStore_Save(WebGetCacheStore* store, const char* path) {
    CLASS_CHECK(store, WEBGET_CACHE_STORE_CLASS_ID);
    ASSERT_POINTER(path);
    CriticalSectionGuard guard(store->Lock);
    for (WebGetCacheItem* item = store->Head; item; item = item->Next) WebGetCacheItem_Save(item, path);
    return 1;
}

// ---- Item -------------------------------------------------------------------------------------

CLASS_BASICS(WebGetCacheItem, WebGetCacheItem, WEBGET_CACHE_ITEM_CLASS_ID)
CLASS_PRINT_FAMILY(WebGetCacheItem, WebGetCacheItem, WEBGET_CACHE_ITEM_CLASS_ID, PrepareItemPrint)

int64_t WebGetCacheItem_Create(WebGetCacheItem** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    WebGetCacheItem* item = static_cast<WebGetCacheItem*>(Memory_AllocZero(sizeof(WebGetCacheItem)));
    item->Header.ClassId = WEBGET_CACHE_ITEM_CLASS_ID;
    item->Header.RefCount = 1;
    item->Header.Delete = DeleteItemHandle;
    Class_GenerateInstanceIdReal(item);
    item->Valid = 1;
    item->Serial = ++g_serial;
    *handle = item;
    return 1;
}

int64_t WebGetCacheItem_Delete(WebGetCacheItem** handle) {
    ASSERT_POINTER(handle);
    WebGetCacheItem* item = *handle;
    CLASS_CHECK(item, WEBGET_CACHE_ITEM_CLASS_ID);
    if (item->Body) MemoryStream_Delete(&item->Body);
    if (item->Url) Memory_Free(item->Url, item->UrlSize);
    item->Header.ClassId = 0;
    Memory_Free(item, sizeof(WebGetCacheItem));
    *handle = nullptr;
    return 1;
}

int64_t WebGetCacheItem_SetUrl(WebGetCacheItem* item, const char* url) {
    CLASS_CHECK(item, WEBGET_CACHE_ITEM_CLASS_ID);
    ASSERT_POINTER(url);
    const size_t length = strlen(url);
    ASSERT_MSG(length < (size_t)INT32_MAX, "URL of %u bytes", (uint32_t)length);
    if (item->Url) Memory_Free(item->Url, item->UrlSize);
    item->UrlSize = (int32_t)length + 1;
    item->Url = static_cast<char*>(Memory_Alloc(item->UrlSize));
    memcpy(item->Url, url, length + 1);
    item->UrlKey = UrlKeyOf(url);
    WebGetCacheItem_Print(item, "Url - %s", url);
    return 1;
}

int64_t WebGetCacheItem_Write(WebGetCacheItem* item, const void* data, uint32_t length, uint32_t* written) {
    ASSERT_POINTER(written);
    *written = 0;
    CLASS_CHECK(item, WEBGET_CACHE_ITEM_CLASS_ID);
    if (!item->Body) {
        MemoryStream_Create(&item->Body);
        MemoryStream_SetAutoGrow(item->Body, 1);
    }
    return MemoryStream_Write(item->Body, data, length, written);
}

int64_t WebGetCacheItem_DiscardAll(WebGetCacheItem* item) {
    CLASS_CHECK(item, WEBGET_CACHE_ITEM_CLASS_ID);
    if (!item->Body) {
        MemoryStream_Create(&item->Body);
        MemoryStream_SetAutoGrow(item->Body, 1);
    }
    return MemoryStream_DiscardAll(item->Body);
}

int64_t WebGetCacheItem_Commit(WebGetCacheItem* item) {
    CLASS_CHECK(item, WEBGET_CACHE_ITEM_CLASS_ID);
    item->CommitTime = Now();
    // Published after the time and the body, which readers take once they see the flag.
    SetFlag(item->Committed, 1);
    WebGetCacheItem_Print(item, "Committed");
    return 1;
}

int64_t WebGetCacheItem_Invalidate(WebGetCacheItem* item) {
    CLASS_CHECK(item, WEBGET_CACHE_ITEM_CLASS_ID);
    SetFlag(item->Valid, 0);
    WebGetCacheItem_Print(item, "Invalid");
    return 1;
}

int64_t WebGetCacheItem_IsCommitted(WebGetCacheItem* item) {
    CLASS_CHECK(item, WEBGET_CACHE_ITEM_CLASS_ID);
    return Flag(item->Committed);
}

int64_t WebGetCacheItem_IsValid(WebGetCacheItem* item) {
    CLASS_CHECK(item, WEBGET_CACHE_ITEM_CLASS_ID);
    return Flag(item->Valid);
}

int64_t WebGetCacheItem_IsWriting(WebGetCacheItem* item) {
    CLASS_CHECK(item, WEBGET_CACHE_ITEM_CLASS_ID);
    return !Flag(item->Committed) && Flag(item->Valid) ? 1 : 0;
}

int64_t WebGetCacheItem_ShouldStore(WebGetCacheItem* item) {
    CLASS_CHECK(item, WEBGET_CACHE_ITEM_CLASS_ID);
    return item->Directive != WEBGET_CACHE_DIRECTIVE_NO_STORE ? 1 : 0;
}

int64_t WebGetCacheItem_ShouldValidate(WebGetCacheItem* item) {
    CLASS_CHECK(item, WEBGET_CACHE_ITEM_CLASS_ID);
    return item->Directive == WEBGET_CACHE_DIRECTIVE_VALIDATE ? 1 : 0;
}

int64_t WebGetCacheItem_SetMaxAge(WebGetCacheItem* item, int64_t seconds) {
    CLASS_CHECK(item, WEBGET_CACHE_ITEM_CLASS_ID);
    item->MaxAge = seconds;
    return 1;
}

int64_t WebGetCacheItem_GetMaxAge(WebGetCacheItem* item, int64_t* seconds) {
    ASSERT_POINTER(seconds);
    *seconds = 0;
    CLASS_CHECK(item, WEBGET_CACHE_ITEM_CLASS_ID);
    *seconds = item->MaxAge;
    return 1;
}

int64_t WebGetCacheItem_SetLastModifiedTime(WebGetCacheItem* item, double time) {
    CLASS_CHECK(item, WEBGET_CACHE_ITEM_CLASS_ID);
    item->LastModified = time;
    return 1;
}

int64_t WebGetCacheItem_GetLastModifiedTime(WebGetCacheItem* item, double* time) {
    ASSERT_POINTER(time);
    *time = 0;
    CLASS_CHECK(item, WEBGET_CACHE_ITEM_CLASS_ID);
    *time = item->LastModified;
    return 1;
}

int64_t WebGetCacheItem_SetDirective(WebGetCacheItem* item, uint32_t directive) {
    CLASS_CHECK(item, WEBGET_CACHE_ITEM_CLASS_ID);
    item->Directive = directive;
    return 1;
}

int64_t WebGetCacheItem_GetDirective(WebGetCacheItem* item, uint32_t* directive) {
    ASSERT_POINTER(directive);
    *directive = 0;
    CLASS_CHECK(item, WEBGET_CACHE_ITEM_CLASS_ID);
    *directive = item->Directive;
    return 1;
}

int64_t WebGetCacheItem_GetMemoryStreamHandle(WebGetCacheItem* item, MemoryStream** stream) {
    ASSERT_POINTER(stream);
    *stream = nullptr;
    CLASS_CHECK(item, WEBGET_CACHE_ITEM_CLASS_ID);
    *stream = item->Body;
    return item->Body ? 1 : 0;
}

int64_t WebGetCacheItem_Save(WebGetCacheItem* item, const char* path) {
    CLASS_CHECK(item, WEBGET_CACHE_ITEM_CLASS_ID);
    ASSERT_POINTER(path);
    char target[PATH_SIZE];
    const size_t length = strlen(path);
    if (length > 0 && (path[length - 1] == '/' || path[length - 1] == '\\')) {
        if (String_CopyLength(target, path, PATH_SIZE) >= PATH_SIZE) return 0;
        Path_Fix(target, PATH_SIZE, PATH_FIX_TRAILING);
        char name[64];
        const bool valid = Flag(item->Valid), committed = Flag(item->Committed);
        String_Print(name, (int32_t)sizeof(name), "%08x-%08x%s%s.bin", item->UrlKey, item->Serial,
                     valid ? "" : "-i", committed ? "x" : "");
        // A cut name would write over another file.
        if (strlen(target) + strlen(name) + 1 > (size_t)PATH_SIZE) return 0;
        String_Cat(target, name);
    } else {
        if (String_CopyLength(target, path, PATH_SIZE) >= PATH_SIZE) return 0;
    }
    File* file = nullptr;
    File_Create(&file);
    int64_t ok = File_Open(file, target, FILE_WRITE | FILE_TRUNCATE);
    if (ok && item->Body) {
        uint8_t* bytes = nullptr;
        MemoryStream_GetPointer(item->Body, &bytes);
        const int32_t used = MemoryStream_GetUsed(item->Body);
        uint32_t written = 0;
        if (used > 0) ok = File_Write(file, bytes, used, &written);
        MemoryStream_ReleasePointer(item->Body, &bytes);
    }
    if (!File_Close(file)) ok = 0;
    File_Delete(&file);
    return ok;
}
