// Credentials in the Secret Service through libsecret, under schemas of our own. Every call runs
// on a private main context with a deadline and never unlocks or creates a collection, so a
// locked, absent or stalled store answers "no" at once instead of prompting or waiting.
#include "core/linux/gui/platform_keychain.h"

#include <libsecret/secret.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/platform/web_credential.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/string.h"

namespace {

// Long enough for a busy desktop, short enough that a hung store does not freeze the caller.
constexpr guint kDeadlineMs = 5000;

const SecretSchema* GenericSchema() {
    static const SecretSchema* schema =
        secret_schema_new("com.quarvelon.Host.Credential", SECRET_SCHEMA_NONE, "target", SECRET_SCHEMA_ATTRIBUTE_STRING,
                          "account", SECRET_SCHEMA_ATTRIBUTE_STRING, nullptr);
    return schema;
}

const SecretSchema* WebSchema() {
    static const SecretSchema* schema = secret_schema_new(
        "com.quarvelon.Host.WebCredential", SECRET_SCHEMA_NONE, "protocol", SECRET_SCHEMA_ATTRIBUTE_STRING, "server",
        SECRET_SCHEMA_ATTRIBUTE_STRING, "port", SECRET_SCHEMA_ATTRIBUTE_INTEGER, "realm",
        SECRET_SCHEMA_ATTRIBUTE_STRING, "account", SECRET_SCHEMA_ATTRIBUTE_STRING, nullptr);
    return schema;
}

gboolean CancelCall(gpointer cancellable) {
    g_cancellable_cancel(G_CANCELLABLE(cancellable));
    return G_SOURCE_REMOVE;
}

void TakeResult(GObject*, GAsyncResult* result, gpointer slot) {
    *static_cast<GAsyncResult**>(slot) = G_ASYNC_RESULT(g_object_ref(result));
}

// Runs one asynchronous call to its end on a context of its own, cancelled at the deadline; the
// finish function gets the result. The caller's main loop is not entered.
template <typename Start, typename Finish>
auto RunCall(Start start, Finish finish) {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    GCancellable* cancellable = g_cancellable_new();
    GSource* timer = g_timeout_source_new(kDeadlineMs);
    g_source_set_callback(timer, CancelCall, cancellable, nullptr);
    g_source_attach(timer, context);
    GAsyncResult* result = nullptr;
    start(cancellable, &result);
    while (result == nullptr) g_main_context_iteration(context, TRUE);
    auto value = finish(result);
    g_object_unref(result);
    g_source_destroy(timer);
    g_source_unref(timer);
    g_object_unref(cancellable);
    // Finish what the cancelled call left queued before the context goes.
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    return value;
}

SecretService* OpenService() {
    return RunCall(
        [](GCancellable* c, GAsyncResult** slot) {
            secret_service_open(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION, c, TakeResult, slot);
        },
        [](GAsyncResult* r) { return secret_service_open_finish(r, nullptr); });
}

// The default collection exists and is unlocked: storing there cannot prompt.
bool DefaultCollectionOpen(SecretService* service) {
    SecretCollection* collection = RunCall(
        [service](GCancellable* c, GAsyncResult** slot) {
            secret_collection_for_alias(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, c, TakeResult,
                                        slot);
        },
        [](GAsyncResult* r) { return secret_collection_for_alias_finish(r, nullptr); });
    if (collection == nullptr) return false;
    const bool open = !secret_collection_get_locked(collection);
    g_object_unref(collection);
    return open;
}

// Unlocked items matching the attributes, with their secrets; locked ones are left out.
GList* Search(SecretService* service, const SecretSchema* schema, GHashTable* attributes) {
    GList* items = RunCall(
        [&](GCancellable* c, GAsyncResult** slot) {
            secret_service_search(service, schema, attributes,
                                  (SecretSearchFlags)(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS), c, TakeResult,
                                  slot);
        },
        [service](GAsyncResult* r) { return secret_service_search_finish(service, r, nullptr); });
    GList* open = nullptr;
    for (GList* at = items; at; at = at->next) {
        SecretItem* item = SECRET_ITEM(at->data);
        SecretValue* value = secret_item_get_locked(item) ? nullptr : secret_item_get_secret(item);
        if (value) {
            open = g_list_prepend(open, item);
            secret_value_unref(value);
        } else {
            g_object_unref(item);
        }
    }
    g_list_free(items);
    return g_list_reverse(open);
}

void FreeItems(GList* items) { g_list_free_full(items, g_object_unref); }

bool Store(SecretService* service, const SecretSchema* schema, GHashTable* attributes, const char* label,
           const char* password) {
    SecretValue* value = secret_value_new(password, (gssize)strlen(password), "text/plain");
    const gboolean stored = RunCall(
        [&](GCancellable* c, GAsyncResult** slot) {
            secret_service_store(service, schema, attributes, SECRET_COLLECTION_DEFAULT, label, value, c, TakeResult,
                                 slot);
        },
        [service](GAsyncResult* r) { return secret_service_store_finish(service, r, nullptr); });
    secret_value_unref(value);
    return stored != FALSE;
}

bool Delete(SecretItem* item) {
    return RunCall([item](GCancellable* c,
                          GAsyncResult** slot) { secret_item_delete(item, c, TakeResult, slot); },
                   [item](GAsyncResult* r) { return secret_item_delete_finish(item, r, nullptr); }) != FALSE;
}

const char* Attribute(SecretItem* item, const char* name, char* buffer, int32_t size) {
    buffer[0] = 0;
    GHashTable* attributes = secret_item_get_attributes(item);
    const char* value = attributes ? static_cast<const char*>(g_hash_table_lookup(attributes, name)) : nullptr;
    if (value) String_CopyLength(buffer, value, size);
    if (attributes) g_hash_table_unref(attributes);
    return buffer;
}

// The item holding exactly this account and password.
bool Holds(SecretItem* item, const char* user, const char* password) {
    char account[1024];
    if (strcmp(Attribute(item, "account", account, sizeof account), user) != 0) return false;
    SecretValue* value = secret_item_get_secret(item);
    if (value == nullptr) return false;
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    const bool same = length == strlen(password) && memcmp(bytes, password, length) == 0;
    secret_value_unref(value);
    return same;
}

// Stores first and only then removes the earlier items of the key (all but one holding the new
// account and password), so that a failed store loses nothing.
bool Replace(SecretService* service, const SecretSchema* schema, GHashTable* key, const char* label,
             const char* user, const char* password) {
    if (!DefaultCollectionOpen(service)) return false;
    g_hash_table_insert(key, (gpointer) "account", (gpointer)user);
    const bool stored = Store(service, schema, key, label, password);
    g_hash_table_remove(key, "account");
    if (!stored) return false;
    GList* items = Search(service, schema, key);
    bool kept = false;
    for (GList* at = items; at; at = at->next) {
        SecretItem* item = SECRET_ITEM(at->data);
        if (!kept && Holds(item, user, password)) {
            kept = true;
            continue;
        }
        Delete(item);
    }
    FreeItems(items);
    return true;
}

void CopySecret(SecretItem* item, char* password, int32_t size) {
    password[0] = 0;
    SecretValue* value = secret_item_get_secret(item);
    if (value == nullptr) return;
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    if (length > (gsize)(size - 1)) length = (gsize)(size - 1);
    memcpy(password, bytes, length);
    password[length] = 0;
    secret_value_unref(value);
}

struct WebKey {
    char Host[WEBCREDENTIAL_HOST_SIZE];
    char Port[12];
    GHashTable* Attributes;
};

// The lookup attributes of one protocol; false for a server text that names no host.
bool MakeWebKey(WebKey& key, const char* protocol, const char* server, const char* realm) {
    key.Attributes = nullptr;
    int32_t port = 0;
    if (WebCredential_ParseServer(server, key.Host, sizeof key.Host, &port) != 1) return false;
    snprintf(key.Port, sizeof key.Port, "%d", port);
    key.Attributes = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(key.Attributes, (gpointer) "protocol", (gpointer)protocol);
    g_hash_table_insert(key.Attributes, (gpointer) "server", key.Host);
    g_hash_table_insert(key.Attributes, (gpointer) "port", key.Port);
    if (realm) g_hash_table_insert(key.Attributes, (gpointer) "realm", (gpointer)realm);
    return true;
}

void CheckType(uint32_t type, const char* operation) {
    if (type > WEBCREDENTIAL_HTTPS_PROXY) Debug_Abort("Assertion failed (FALSE)\n%s: Invalid Type parameter", operation);
}

bool SetWebOne(SecretService* service, const char* protocol, const char* server, const char* realm,
               const char* user, const char* password) {
    WebKey key;
    if (!MakeWebKey(key, protocol, server, realm)) return false;
    bool done = false;
    if (user && password) {
        if (!realm) g_hash_table_insert(key.Attributes, (gpointer) "realm", (gpointer) "");
        char label[WEBCREDENTIAL_HOST_SIZE + 64];
        snprintf(label, sizeof label, "%s://%s:%s", protocol, key.Host, key.Port);
        done = Replace(service, WebSchema(), key.Attributes, label, user, password);
    } else {
        GList* items = Search(service, WebSchema(), key.Attributes);
        done = items && Delete(SECRET_ITEM(items->data));
        FreeItems(items);
    }
    g_hash_table_unref(key.Attributes);
    return done;
}

// The first unlocked match of a web key, or null.
SecretItem* FindWeb(SecretService* service, uint32_t type, const char* server, const char* realm) {
    WebKey key;
    if (!MakeWebKey(key, WebCredential_LookupProtocol(type), server, realm)) return nullptr;
    GList* items = Search(service, WebSchema(), key.Attributes);
    g_hash_table_unref(key.Attributes);
    SecretItem* first = items ? SECRET_ITEM(g_object_ref(items->data)) : nullptr;
    FreeItems(items);
    return first;
}

} // namespace

int64_t Platform_SetCredential(const char* target, const char* user, const char* password) {
    if (target == nullptr || (user == nullptr) != (password == nullptr)) return 0;
    SecretService* service = OpenService();
    if (service == nullptr) return 0;
    GHashTable* key = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(key, (gpointer) "target", (gpointer)target);
    bool done = false;
    if (user) {
        done = Replace(service, GenericSchema(), key, target, user, password);
    } else {
        GList* items = Search(service, GenericSchema(), key);
        for (GList* at = items; at; at = at->next) done = Delete(SECRET_ITEM(at->data)) || done;
        FreeItems(items);
    }
    g_hash_table_unref(key);
    g_object_unref(service);
    return done ? 1 : 0;
}

int64_t Platform_GetCredential(const char* target, char* user, int32_t userSize, char* password,
                               int32_t passwordSize) {
    if (user == nullptr || password == nullptr || userSize < 1 || passwordSize < 1) return 0;
    user[0] = 0;
    password[0] = 0;
    if (target == nullptr) return 0;
    SecretService* service = OpenService();
    if (service == nullptr) return 0;
    GHashTable* key = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(key, (gpointer) "target", (gpointer)target);
    GList* items = Search(service, GenericSchema(), key);
    g_hash_table_unref(key);
    if (items) {
        Attribute(SECRET_ITEM(items->data), "account", user, userSize);
        CopySecret(SECRET_ITEM(items->data), password, passwordSize);
    }
    const bool found = items != nullptr;
    FreeItems(items);
    g_object_unref(service);
    return found ? 1 : 0;
}

int64_t Platform_SetWebCredential(uint32_t type, const char* server, const char* realm, const char* user,
                                  const char* password) {
    CheckType(type, "Platform_SetWebCredential");
    if (server == nullptr || (user == nullptr) != (password == nullptr)) return 0;
    SecretService* service = OpenService();
    if (service == nullptr) return 0;
    const char* protocols[2];
    const int32_t count = WebCredential_StoreProtocols(type, protocols);
    bool done = false;
    for (int32_t i = 0; i < count; i++) done = SetWebOne(service, protocols[i], server, realm, user, password) || done;
    g_object_unref(service);
    return done ? 1 : 0;
}

int64_t Platform_FindWebCredential(uint32_t type, const char* server, const char* realm, Dictionary** attributes) {
    CheckType(type, "Platform_FindWebCredential");
    ASSERT_POINTER(attributes);
    *attributes = nullptr;
    if (server == nullptr) return 0;
    SecretService* service = OpenService();
    if (service == nullptr) return 0;
    SecretItem* item = FindWeb(service, type, server, realm);
    g_object_unref(service);
    if (item == nullptr) return 0;
    Dictionary* out = nullptr;
    Dictionary_Create(&out);
    char text[1024];
    Dictionary_SetStringByKey(out, "acct", Attribute(item, "account", text, sizeof text));
    Dictionary_SetStringByKey(out, "srvr", Attribute(item, "server", text, sizeof text));
    Dictionary_SetInt32ByKey(out, "port", atoi(Attribute(item, "port", text, sizeof text)));
    Dictionary_SetStringByKey(out, "ptcl", Attribute(item, "protocol", text, sizeof text));
    Dictionary_SetStringByKey(out, "sdmn", Attribute(item, "realm", text, sizeof text));
    CopySecret(item, text, sizeof text);
    Dictionary_SetStringByKey(out, "v_Data", text);
    memset(text, 0, sizeof text);
    g_object_unref(item);
    *attributes = out;
    return 1;
}

int64_t Platform_GetWebCredential(uint32_t type, const char* server, const char* realm, char* user,
                                  int32_t userSize, char* password, int32_t passwordSize) {
    CheckType(type, "Platform_GetWebCredential");
    if (user == nullptr || password == nullptr || userSize < 1 || passwordSize < 1 || server == nullptr) return 0;
    SecretService* service = OpenService();
    if (service == nullptr) return 0;
    SecretItem* item = FindWeb(service, type, server, realm);
    g_object_unref(service);
    if (item == nullptr) return 0;
    Attribute(item, "account", user, userSize);
    CopySecret(item, password, passwordSize);
    g_object_unref(item);
    return 1;
}
