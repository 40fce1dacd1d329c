// Loading the engine configuration into the context and applying it to the HTTP client, the TLS
// client, the registry whitelist, the trust and key stores and the response cache.
#include <cstring>

#include "core/certs/authenticate.h"
#include "core/certs/cert_store_thumbprint.h"
#include "core/formats/json.h"
#include "core/net/tls1.h"
#include "core/platform/registry.h"
#include "core/runtime/app_config_keys.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/web/analytics.h"
#include "core/web/web_get.h"
#include "core/web/web_get_cache.h"
#include "core/web/web_get_pool.h"
#include "core/web/web_get_redirect.h"
#include "workflow/workflow_app.h"
#include "workflow/workflow_app_internal.h"

namespace {

// ---- Numeric character references ---------------------------------------------------------------

// Appends bytes while they fit (a terminator always has room); 0 once something was cut.
struct Writer {
    char* Buffer;
    int32_t Capacity;
    int32_t Length = 0;
    bool Cut = false;
    bool Put(const char* bytes, int32_t count) {
        if (Cut || Length + count > Capacity - 1) {
            Cut = true;
            return false;
        }
        memcpy(Buffer + Length, bytes, count);
        Length += count;
        Buffer[Length] = 0;
        return true;
    }
};

// Decodes one UTF-8 sequence; 0 when it is not well formed (the lead byte then stands alone).
int32_t DecodeUtf8(const uint8_t* text, uint32_t* code) {
    const uint8_t lead = text[0];
    int32_t count = 0;
    uint32_t value = 0;
    uint32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) count = 2, value = lead & 0x1F, minimum = 0x80;
    else if (lead >= 0xE0 && lead <= 0xEF) count = 3, value = lead & 0x0F, minimum = 0x800;
    else if (lead >= 0xF0 && lead <= 0xF4) count = 4, value = lead & 0x07, minimum = 0x10000;
    else return 0;
    for (int32_t i = 1; i < count; i++) {
        if ((text[i] & 0xC0) != 0x80) return 0;
        value = (value << 6) | (text[i] & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *code = value;
    return count;
}

int32_t EncodeUtf8(uint32_t code, char* out) {
    if (code < 0x80) {
        out[0] = static_cast<char>(code);
        return 1;
    }
    if (code < 0x800) {
        out[0] = static_cast<char>(0xC0 | (code >> 6));
        out[1] = static_cast<char>(0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (code >> 12));
        out[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (code & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (code >> 18));
    out[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (code & 0x3F));
    return 4;
}

// ---- Walking configuration values -----------------------------------------------------------------

typedef void (*TextFunc)(void* context, const char* key, const char* text);

// The text of a scalar item (Strings, numbers); null for containers, booleans and nulls.
const char* ItemText(Dictionary* holder, DictionaryItem* item, char* scratch, int32_t size) {
    uint32_t type = 0;
    Dictionary_ItemGetType(holder, item, &type);
    if (type != DICTIONARY_TYPE_STRING && type != DICTIONARY_TYPE_INT64 && type != DICTIONARY_TYPE_FLOAT64) return nullptr;
    const char* bytes = nullptr;
    int32_t length = 0;
    Dictionary_ItemGetBufferPtr(holder, item, &bytes, &length);
    String_CopyLengthSafe(scratch, size, bytes ? bytes : "", length);
    return scratch;
}

// Calls fn for the String at path, or for each String member of the List or Dictionary at path;
// members of other types are passed over.
void ForEachText(Dictionary* root, const char* path, void* context, TextFunc fn) {
    Dictionary* holder = nullptr;
    DictionaryItem* item = nullptr;
    if (!Dictionary_ItemFindByPath(root, path, &holder, &item)) return;
    uint32_t type = 0;
    Dictionary_ItemGetType(holder, item, &type);
    const char* text = nullptr;
    if (type == DICTIONARY_TYPE_STRING) {
        Dictionary_ItemGetStringPtr(holder, item, &text);
        fn(context, nullptr, text ? text : "");
        return;
    }
    if (type != DICTIONARY_TYPE_LIST && type != DICTIONARY_TYPE_DICTIONARY) return;
    Dictionary* child = nullptr;
    if (!Dictionary_ItemGetDictionaryHandle(holder, item, &child) || !child) return;
    DictionaryItem* member = nullptr;
    for (Dictionary_ItemGetFirst(child, &member); member; Dictionary_ItemGetNext(child, member, &member)) {
        uint32_t memberType = 0;
        Dictionary_ItemGetType(child, member, &memberType);
        if (memberType != DICTIONARY_TYPE_STRING) continue;
        text = nullptr;
        Dictionary_ItemGetStringPtr(child, member, &text);
        const char* key = nullptr;
        Dictionary_ItemGetKeyPtr(child, member, &key);
        fn(context, key, text ? text : "");
    }
}

// The container at path, or null when the item there is missing or of another type.
Dictionary* ContainerAt(Dictionary* root, const char* path, uint32_t wanted) {
    Dictionary* holder = nullptr;
    DictionaryItem* item = nullptr;
    if (!root || !Dictionary_ItemFindByPath(root, path, &holder, &item)) return nullptr;
    uint32_t type = 0;
    Dictionary_ItemGetType(holder, item, &type);
    if (type != wanted) return nullptr;
    Dictionary* child = nullptr;
    Dictionary_ItemGetDictionaryHandle(holder, item, &child);
    return child;
}

// An integer item at path (Int64 or Float64 item within 32 bits).
bool IntAt(Dictionary* root, const char* path, int32_t* value) {
    int64_t wide = 0;
    if (!Dictionary_GetInt64ByPath(root, path, &wide)) return false;
    if (wide < INT32_MIN || wide > INT32_MAX) return false;
    *value = static_cast<int32_t>(wide);
    return true;
}

void AddHostnameText(void*, const char*, const char* text) {
    char decoded[8192];
    WorkflowApp_ConvertFromEntitizedString(text, decoded, sizeof(decoded));
    WorkflowApp_AddHostname(decoded);
}

void AddRegistryReadOnly(void*, const char*, const char* text) {
    char decoded[1024];
    WorkflowApp_ConvertFromEntitizedString(text, decoded, sizeof(decoded));
    WorkflowApp_AddRegistry(0, decoded);
}

void AddRegistryReadWrite(void*, const char*, const char* text) {
    char decoded[1024];
    WorkflowApp_ConvertFromEntitizedString(text, decoded, sizeof(decoded));
    WorkflowApp_AddRegistry(1, decoded);
}

// Reads a path-like value, turns it into '/' separators with a trailing one (when not empty) and
// stores it as the macro.
void AddPathMacro(const char* path, const char* macro) {
    char value[WORKFLOWAPP_PATH_SIZE];
    WorkflowApp_GetConfig(path, "", value, sizeof(value));
    int32_t length = static_cast<int32_t>(strlen(value));
    for (int32_t i = 0; i < length; i++)
        if (value[i] == '\\') value[i] = '/';
    if (length > 0 && value[length - 1] != '/') {
        if (length >= (int32_t)WORKFLOWAPP_PATH_SIZE - 1) length = (int32_t)WORKFLOWAPP_PATH_SIZE - 2;
        value[length] = '/';
        value[length + 1] = 0;
    }
    WorkflowApp_AddMacro(macro, value);
}

void AddNamesToList(CertStoreList* list, Dictionary* names) {
    if (!names) return;
    DictionaryItem* member = nullptr;
    for (Dictionary_ItemGetFirst(names, &member); member; Dictionary_ItemGetNext(names, member, &member)) {
        const char* name = nullptr;
        uint32_t type = 0;
        Dictionary_ItemGetType(names, member, &type);
        if (type != DICTIONARY_TYPE_STRING || !Dictionary_ItemGetStringPtr(names, member, &name) || !name) continue;
        WorkflowApp_AddToCertStoreList(list, name);
    }
}

CertStoreInterface* ListStoreOf(Dictionary* names) {
    CertStoreList* list = nullptr;
    CertStoreList_Create(&list);
    AddNamesToList(list, names);
    CertStoreInterface* store = CertStoreList_GetInterfaceHandle(list);
    CertStoreList_Release(&list);
    return store;
}

} // namespace

// ---- Numeric character references ---------------------------------------------------------------

int64_t WorkflowApp_ConvertToEntitizedString(const char* source, char* buffer, int32_t capacity) {
    ASSERT_POINTER(source);
    ASSERT_POINTER(buffer);
    if (capacity < 1) return 0;
    buffer[0] = 0;
    Writer out{buffer, capacity};
    const uint8_t* text = reinterpret_cast<const uint8_t*>(source);
    while (*text && !out.Cut) {
        if (*text < 0x80) {
            out.Put(reinterpret_cast<const char*>(text), 1);
            text++;
            continue;
        }
        uint32_t code = *text;
        int32_t count = DecodeUtf8(text, &code);
        if (count == 0) count = 1; // a stray byte is written as its own value
        char reference[16];
        const int32_t length = String_Print(reference, sizeof(reference), "&#%d;", static_cast<int32_t>(code));
        out.Put(reference, length);
        text += count;
    }
    return out.Cut ? 0 : 1;
}

int64_t WorkflowApp_ConvertFromEntitizedString(const char* source, char* buffer, int32_t capacity) {
    ASSERT_POINTER(source);
    ASSERT_POINTER(buffer);
    if (capacity < 1) return 0;
    if (source == buffer) {
        // Decoding only shrinks the text, so it can be done in place through a copy.
        const int32_t length = static_cast<int32_t>(strlen(source));
        char* copy = static_cast<char*>(Memory_AllocZero(length + 1));
        memcpy(copy, source, length);
        const int64_t result = WorkflowApp_ConvertFromEntitizedString(copy, buffer, capacity);
        Memory_Free(copy, length + 1);
        return result;
    }
    buffer[0] = 0;
    Writer out{buffer, capacity};
    const char* text = source;
    while (*text && !out.Cut) {
        if (text[0] == '&' && text[1] == '#') {
            uint32_t code = 0;
            int32_t digits = 0;
            const char* cursor = text + 2;
            while (*cursor >= '0' && *cursor <= '9' && digits < 8) {
                code = code * 10 + static_cast<uint32_t>(*cursor - '0');
                cursor++;
                digits++;
            }
            if (digits > 0 && *cursor == ';' && code > 0 && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF)) {
                char encoded[4];
                out.Put(encoded, EncodeUtf8(code, encoded));
                text = cursor + 1;
                continue;
            }
        }
        out.Put(text, 1);
        text++;
    }
    return out.Cut ? 0 : 1;
}

// ---- Configuration steps ---------------------------------------------------------------------------

int64_t WorkflowApp_AddHostname(const char* text) {
    ASSERT_POINTER(text);
    char expanded[8192];
    WorkflowApp_ExpandString(text, expanded, sizeof(expanded));
    const char* member = expanded;
    while (*member) {
        while (*member == ' ' || *member == '\t') member++;
        const char* end = strchr(member, ',');
        if (!end) end = member + strlen(member);
        // The host alone: no scheme, no path, no port.
        const char* host = member;
        for (const char* p = member; p + 2 < end; p++)
            if (p[0] == ':' && p[1] == '/' && p[2] == '/') {
                host = p + 3;
                break;
            }
        const char* hostEnd = host;
        while (hostEnd < end && *hostEnd != '/' && *hostEnd != ':') hostEnd++;
        while (hostEnd > host && (hostEnd[-1] == ' ' || hostEnd[-1] == '\t')) hostEnd--;
        if (hostEnd > host) {
            char name[1024];
            String_CopyLengthSafe(name, sizeof(name), host, static_cast<int32_t>(hostEnd - host));
            WebGet_WhitelistAdd(name);
        }
        member = *end ? end + 1 : end;
    }
    return 1;
}

int64_t WorkflowApp_AddCipher(const char* text) {
    ASSERT_POINTER(text);
    char expanded[4096];
    WorkflowApp_ExpandString(text, expanded, sizeof(expanded));
    const char* member = expanded;
    while (*member) {
        while (*member == ' ' || *member == '\t') member++;
        const char* end = strchr(member, ',');
        if (!end) end = member + strlen(member);
        const char* nameEnd = end;
        while (nameEnd > member && (nameEnd[-1] == ' ' || nameEnd[-1] == '\t')) nameEnd--;
        if (nameEnd > member) {
            char name[128];
            String_CopyLengthSafe(name, sizeof(name), member, static_cast<int32_t>(nameEnd - member));
            // An unknown name is skipped; a suite is never turned off here.
            if (const uint16_t code = TLS1_CipherTranslate(name)) TLS1_CipherEnable(code, 1);
        }
        member = *end ? end + 1 : end;
    }
    return 1;
}

int64_t WorkflowApp_AddRegistry(int32_t readWrite, const char* text) {
    ASSERT_POINTER(text);
    char expanded[1024];
    WorkflowApp_ExpandString(text, expanded, sizeof(expanded));
    return Registry_WhitelistAdd(readWrite ? 1 : 0, expanded);
}

int64_t WorkflowApp_KeyStoreAdd(const char* name, uint32_t removable, const char* keyText) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(keyText);
    CertStoreTable* table = Authenticate_GetKeyStoreTableHandle();
    if (!table) return 0;
    CertStoreKey* store = nullptr;
    CertStoreKey_Create(&store);
    const int64_t decoded = CertStoreKey_Decode(store, keyText);
    CertStoreInterface* handle = CertStoreKey_GetInterfaceHandle(store);
    CertStoreTable_Add(table, name, removable, handle);
    CertStoreInterface_Release(&handle);
    CertStoreKey_Release(&store);
    return decoded;
}

int64_t WorkflowApp_CertStoreAdd(const char* name, uint32_t removable, Dictionary* thumbprints) {
    ASSERT_POINTER(name);
    ASSERT_POINTER(thumbprints);
    CertStoreTable* table = Authenticate_GetCertStoreTableHandle();
    if (!table) return 0;
    CertStoreThumbprint* store = nullptr;
    CertStoreThumbprint_Create(&store);
    const int64_t added = CertStoreThumbprint_TrustDictionary(store, thumbprints);
    CertStoreInterface* handle = CertStoreThumbprint_GetInterfaceHandle(store);
    CertStoreTable_Add(table, name, removable, handle);
    CertStoreInterface_Release(&handle);
    CertStoreThumbprint_Release(&store);
    return added;
}

int64_t WorkflowApp_AddToCertStoreList(CertStoreList* list, const char* name) {
    ASSERT_POINTER(list);
    ASSERT_POINTER(name);
    CertStoreInterface* store = Authenticate_CertStoreGet(name);
    if (!store) return 0;
    // A list never holds itself: it would ask itself for ever.
    CertStoreInterface* own = CertStoreList_GetInterfaceHandle(list);
    const bool self = own == store;
    CertStoreInterface_Release(&own);
    if (!self) CertStoreList_Add(list, store);
    CertStoreInterface_Release(&store);
    return self ? 0 : 1;
}

int64_t WorkflowApp_AppSetCertStores(Dictionary* names) {
    CertStoreList* app = Authenticate_GetCertStoreAppListHandle();
    if (!app) return 0;
    CertStoreList_Reset(app);
    AddNamesToList(app, names);
    return 1;
}

namespace {

// Replaces one of the context's own stores with a list store of the named stores (none: no store).
int64_t SetOwnCertStores(CertStoreInterface* WorkflowApp::*field, Dictionary* names) {
    WorkflowApp* app = GlobalWorkflowApp;
    ASSERT_POINTER(app);
    if (app->*field) CertStoreInterface_Release(&(app->*field));
    if (names) app->*field = ListStoreOf(names);
    return 1;
}

} // namespace

int64_t WorkflowApp_InteropSetCertStores(Dictionary* names) {
    return SetOwnCertStores(&WorkflowApp::InteropCertStore, names);
}

int64_t WorkflowApp_DataStoreSetCertStores(Dictionary* names) {
    return SetOwnCertStores(&WorkflowApp::DataStoreCertStore, names);
}

int64_t WorkflowApp_WebGetSetCertStores(Dictionary* names) {
    CertStoreInterface* store = nullptr;
    if (names) {
        store = ListStoreOf(names);
    } else {
        store = Authenticate_CertStoreGet("null");
    }
    const int64_t result = WebGet_CertStoreSetDefaultHandle(store);
    CertStoreInterface_Release(&store);
    return result;
}

// ---- Loading -----------------------------------------------------------------------------------------

int64_t WorkflowApp_LoadConfigFromDictionary(Dictionary* source) {
    WorkflowApp* app = GlobalWorkflowApp;
    ASSERT_POINTER(app);
    ASSERT_POINTER(source);
    Dictionary* config = app->Config;
    Dictionary* root = nullptr;
    Dictionary_SkipRoot(source, &root);
    if (!root) root = source;

    // Merging and expanding change many items; the interop libraries are not told of them.
    const char* configId = reinterpret_cast<const char*>(config);
    NotificationCenter_RemoveInstanceObserver("Config", "OptionChanged", configId, app,
                                              WorkflowApp_Notification_OnConfigOptionChanged);
    Dictionary_Merge(config, root, DICTIONARY_MERGE_OVERWRITE);
    WorkflowApp_ExpandDictionary(config);
    NotificationCenter_AddInstanceObserver("Config", "OptionChanged", configId, app,
                                           WorkflowApp_Notification_OnConfigOptionChanged);

    // The skin's macros are its author's templates, taken as written (the expanded copy in the
    // configuration has values of the environment and platform in it, which are text): their
    // tokens are expanded where they are used, so one may name another.
    if (Dictionary* macros = ContainerAt(root, kAppConfigMacros, DICTIONARY_TYPE_DICTIONARY)) {
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(macros, &item); item; Dictionary_ItemGetNext(macros, item, &item)) {
            const char* key = nullptr;
            if (!Dictionary_ItemGetKeyPtr(macros, item, &key) || !key || !key[0]) continue;
            char scratch[4096];
            const char* text = ItemText(macros, item, scratch, sizeof(scratch));
            if (!text) continue;
            const char* dot = strrchr(key, '.');
            char value[4096];
            WorkflowApp_ConvertFromEntitizedString(text, value, sizeof(value));
            WorkflowApp_AddTemplateMacro(dot ? dot + 1 : key, value);
        }
    }

    AddPathMacro(kAppConfigLocalStorage, "#localStorage");
    Analytics_LoadConfigFromDictionary(config);
    AddPathMacro(kAppConfigStorageLockDirectory, "#lockDirectory");

    ForEachText(config, kAppConfigHostnameWhitelist, nullptr, AddHostnameText);
    ForEachText(config, kAppConfigRegistryWhitelistReadOnly, nullptr, AddRegistryReadOnly);
    ForEachText(config, kAppConfigRegistryWhitelistReadWrite, nullptr, AddRegistryReadWrite);

    if (Dictionary* stores = ContainerAt(config, kAppConfigKeyStores, DICTIONARY_TYPE_DICTIONARY)) {
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(stores, &item); item; Dictionary_ItemGetNext(stores, item, &item)) {
            const char* key = nullptr;
            uint32_t type = 0;
            Dictionary_ItemGetType(stores, item, &type);
            if (!Dictionary_ItemGetKeyPtr(stores, item, &key) || !key) continue;
            if (type != DICTIONARY_TYPE_STRING && type != DICTIONARY_TYPE_LIST) continue;
            uint32_t length = 0;
            Dictionary_GetListStringLengthByKey(stores, key, &length);
            if (length > (1u << 24)) continue;
            char* text = static_cast<char*>(Memory_AllocZero(length + 1));
            Dictionary_GetListStringByKey(stores, key, text, static_cast<int32_t>(length + 1));
            WorkflowApp_KeyStoreAdd(key, 0, text);
            Memory_Free(text, length + 1);
        }
    }

    if (Dictionary* stores = ContainerAt(config, kAppConfigThumbprintStores, DICTIONARY_TYPE_DICTIONARY)) {
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(stores, &item); item; Dictionary_ItemGetNext(stores, item, &item)) {
            const char* key = nullptr;
            uint32_t type = 0;
            Dictionary_ItemGetType(stores, item, &type);
            Dictionary* thumbprints = nullptr;
            if (type != DICTIONARY_TYPE_DICTIONARY || !Dictionary_ItemGetKeyPtr(stores, item, &key) || !key) continue;
            if (Dictionary_ItemGetDictionaryHandle(stores, item, &thumbprints) && thumbprints)
                WorkflowApp_CertStoreAdd(key, 0, thumbprints);
        }
    }

    if (Dictionary* list = ContainerAt(config, kAppConfigCertificateStoresApp, DICTIONARY_TYPE_LIST))
        WorkflowApp_AppSetCertStores(list);
    if (Dictionary* list = ContainerAt(config, kAppConfigCertificateStoresInterop, DICTIONARY_TYPE_LIST))
        WorkflowApp_InteropSetCertStores(list);
    if (Dictionary* list = ContainerAt(config, kAppConfigCertificateStoresWebGet, DICTIONARY_TYPE_LIST))
        WorkflowApp_WebGetSetCertStores(list);
    if (Dictionary* list = ContainerAt(config, kAppConfigCertificateStoresDataStore, DICTIONARY_TYPE_LIST))
        WorkflowApp_DataStoreSetCertStores(list);

    const char* userAgent = nullptr;
    if (Dictionary_GetStringPtrByPath(config, kAppConfigWebGetUserAgent, &userAgent) && userAgent)
        WebGet_SetUserAgent(userAgent);
    if (Dictionary* macros = ContainerAt(config, kAppConfigWebGetMacros, DICTIONARY_TYPE_DICTIONARY))
        WebGet_RedirectAddMacrosFromDictionary(macros);
    int32_t number = 0;
    if (IntAt(config, kAppConfigWebGetTimeout, &number)) WebGet_SetDefaultTimeout(number);

    // Rules come from this load's source only: those of earlier loads are in place already.
    if (Dictionary* rules = ContainerAt(root, kAppConfigWebGetRedirect, DICTIONARY_TYPE_DICTIONARY))
        WebGet_RedirectAddFromDictionary(rules);

    // A count below 1 is no limit the pool could keep; it is left as it was.
    if (IntAt(config, kAppConfigWebGetPoolMaxHosts, &number) && number >= 1) WebGetPool_SetMaxHostCount(number);
    if (IntAt(config, kAppConfigWebGetPoolMaxHostConnections, &number) && number >= 1)
        WebGetPool_SetMaxHostConnectionCount(number);

    char text[4096];
    WorkflowApp_GetConfig(kAppConfigTls1Cipher, "", text, sizeof(text));
    if (text[0]) WorkflowApp_AddCipher(text);
    WorkflowApp_GetConfig(kAppConfigTls1VersionMin, "", text, sizeof(text));
    if (text[0])
        if (const uint8_t version = TLS1_VersionTranslate(text)) TLS_VersionSetMin(version);
    WorkflowApp_GetConfig(kAppConfigTls1VersionMax, "", text, sizeof(text));
    if (text[0])
        if (const uint8_t version = TLS1_VersionTranslate(text)) TLS_VersionSetMax(version);

    if (IntAt(config, kAppConfigAliasWebGetCacheMinAge, &number) && number >= 1) {
        WebGetCacheStore* store = nullptr;
        if (WebGetCache_AddStore("alias", &store) && store) {
            // A second load replaces the store held, never adds a second reference to it.
            if (app->AliasCacheStore) WebGetCacheStore_Release(&app->AliasCacheStore);
            app->AliasCacheStore = store;
            WebGetCacheStore_SetMinAge(store, number);
        }
    }
    WebGetCacheStore* store = nullptr;
    if (WebGetCache_AddStore("workflow", &store) && store) {
        if (app->WorkflowCacheStore) WebGetCacheStore_Release(&app->WorkflowCacheStore);
        app->WorkflowCacheStore = store;
        if (IntAt(config, kAppConfigWorkflowWebGetCacheMinAge, &number) && number >= 0)
            WebGetCacheStore_SetMinAge(store, number);
    }
    return 1;
}

int64_t WorkflowApp_LoadConfigFromFile(const char* path) {
    ASSERT_POINTER(path);
    char expanded[WORKFLOWAPP_PATH_SIZE];
    WorkflowApp_ExpandString(path, expanded, sizeof(expanded));
    Dictionary* document = nullptr;
    Dictionary_Create(&document);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, document);
    int64_t result = JSON_LoadFile(json, expanded);
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Release(&json);
    // Only a whole document whose top is an object is taken: a file that does not parse (or a
    // bare list or value) would otherwise leave the configuration half changed.
    Dictionary* root = nullptr;
    Dictionary_SkipRoot(document, &root);
    uint32_t count = 0;
    Dictionary_ItemGetCount(document, &count);
    if (result && (root == document) && count != 0) result = 0;
    if (result) WorkflowApp_LoadConfigFromDictionary(document);
    Dictionary_Release(&document);
    return result;
}
