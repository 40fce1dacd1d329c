// The system's proxy settings on Linux: the environment (http_proxy, https_proxy, no_proxy) when
// it names a proxy, else the desktop's GSettings (when their folders are the user's own); the DHCP
// WPAD option from NetworkManager.
#include <gio/gio.h>

#include <cstdio>
#include <cstring>
#include <strings.h>
#include <time.h>

#include "core/linux/platform.h"
#include "core/linux/platform_network.h"
#include "core/linux/platform_private_directory.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"

namespace {

constexpr char kSchema[] = "org.gnome.system.proxy";
constexpr int32_t kHostMax = 320;
// Longest proxy variable read (no_proxy lists many hosts).
constexpr int32_t kValueMax = 8192;
// Every D-Bus exchange of one DHCP question shares this budget, so that a hung peer cannot
// hold the auto-configuration thread.
constexpr int32_t kDhcpBudgetMs = 800;
constexpr int32_t kDhcpMaxConnections = 64;

void ClearText(char* buffer, int32_t size) {
    if (buffer && size > 0) buffer[0] = 0;
}

// A proxy variable's value, or null when it is unset or empty; a value longer than the buffer is
// not used in part (a cut no_proxy would drop exceptions), and says so.
const char* Env(const char* name, char* buffer, int32_t size) {
    if (Platform_GetEnvironmentVariable(name, buffer, size)) return buffer[0] ? buffer : nullptr;
    if (buffer[0]) Log_Error("Proxy variable %s is longer than %d bytes: not used\n", name, size - 1);
    buffer[0] = 0;
    return nullptr;
}

// "[scheme://][user[:password]@]host[:port][/...]" into host and port (0 when none). Only
// http and https proxies can carry our requests: other schemes give false.
bool ParseProxyValue(const char* value, char* host, int32_t hostSize, int32_t* port) {
    host[0] = 0;
    *port = 0;
    const char* start = value;
    if (const char* scheme = strstr(value, "://")) {
        const size_t length = (size_t)(scheme - value);
        if (!((length == 4 && strncasecmp(value, "http", 4) == 0) ||
              (length == 5 && strncasecmp(value, "https", 5) == 0)))
            return false;
        start = scheme + 3;
    }
    const char* end = start + strcspn(start, "/?#");
    for (const char* at = start; at < end; at++)
        if (*at == '@') start = at + 1;
    const char* colon = nullptr;
    if (*start == '[') {
        const char* close = static_cast<const char*>(memchr(start, ']', (size_t)(end - start)));
        if (!close) return false;
        if (close + 1 < end && close[1] == ':') colon = close + 1;
    } else {
        colon = static_cast<const char*>(memchr(start, ':', (size_t)(end - start)));
    }
    const char* hostEnd = colon ? colon : end;
    if (hostEnd == start || hostEnd - start >= hostSize) return false;
    memcpy(host, start, (size_t)(hostEnd - start));
    host[hostEnd - start] = 0;
    if (colon) {
        int64_t number = 0;
        for (const char* digit = colon + 1; digit < end; digit++) {
            if (*digit < '0' || *digit > '9') return false;
            number = number * 10 + (*digit - '0');
            if (number > 65535) return false;
        }
        *port = (int32_t)number;
    }
    return true;
}

void AddProxy(Dictionary* settings, const char* prefix, const char* host, int32_t port) {
    char key[32];
    String_Print(key, sizeof(key), "%sEnable", prefix);
    Dictionary_SetInt64ByKey(settings, key, 1);
    String_Print(key, sizeof(key), "%sProxy", prefix);
    Dictionary_SetStringByKey(settings, key, host);
    if (port > 0) {
        String_Print(key, sizeof(key), "%sPort", prefix);
        Dictionary_SetInt64ByKey(settings, key, port);
    }
}

// An IPv4 network "a.b.c.d/n" on an octet boundary as a host pattern ("10.*"); false otherwise.
bool NetworkPattern(const char* item, char* pattern, int32_t size) {
    unsigned a = 0, b = 0, c = 0, d = 0, bits = 0;
    char tail = 0;
    if (sscanf(item, "%u.%u.%u.%u/%u%c", &a, &b, &c, &d, &bits, &tail) != 5) return false;
    if (a > 255 || b > 255 || c > 255 || d > 255) return false;
    switch (bits) {
        case 8: String_Print(pattern, size, "%u.*", a); return true;
        case 16: String_Print(pattern, size, "%u.%u.*", a, b); return true;
        case 24: String_Print(pattern, size, "%u.%u.%u.*", a, b, c); return true;
        case 32: String_Print(pattern, size, "%u.%u.%u.%u", a, b, c, d); return true;
        default: return false;
    }
}

void AddException(Dictionary* list, const char* item) {
    if (item[0] && strlen(item) <= (size_t)kHostMax) Dictionary_AddString(list, nullptr, item, nullptr);
}

// One no_proxy entry as curl reads it: a name matches itself and every name under it, a leading
// dot changes nothing, "*" matches every host.
void AddNoProxyEntry(Dictionary* list, const char* entry) {
    char pattern[kHostMax + 8];
    if (strchr(entry, '/')) {
        if (NetworkPattern(entry, pattern, sizeof(pattern))) AddException(list, pattern);
        return;
    }
    while (*entry == '.') entry++;
    if (!entry[0]) return;
    AddException(list, entry);
    if (strcmp(entry, "*") == 0 || strchr(entry, ':')) return;
    String_Print(pattern, sizeof(pattern), "*.%s", entry);
    AddException(list, pattern);
}

// One ignore-hosts entry of the desktop: patterns as they are, ".name" for names under it,
// networks on octet boundaries.
void AddIgnoreHost(Dictionary* list, const char* entry) {
    char pattern[kHostMax + 8];
    if (strchr(entry, '/')) {
        if (NetworkPattern(entry, pattern, sizeof(pattern))) AddException(list, pattern);
        return;
    }
    if (entry[0] == '.') {
        String_Print(pattern, sizeof(pattern), "*%s", entry);
        AddException(list, pattern);
        return;
    }
    AddException(list, entry);
}

bool FromEnvironment(Dictionary* settings) {
    char allValue[kValueMax], httpValue[kValueMax], httpsValue[kValueMax], noProxyValue[kValueMax];
    const char* all = Env("all_proxy", allValue, sizeof(allValue));
    if (!all) all = Env("ALL_PROXY", allValue, sizeof(allValue));
    // curl reads only the lower-case http_proxy: the upper-case name can be set by a web server's
    // request header in CGI programs.
    const char* http = Env("http_proxy", httpValue, sizeof(httpValue));
    const char* https = Env("https_proxy", httpsValue, sizeof(httpsValue));
    if (!https) https = Env("HTTPS_PROXY", httpsValue, sizeof(httpsValue));
    if (!http) http = all;
    if (!https) https = all;
    if (!http && !https) return false;
    char host[kHostMax + 1];
    int32_t port = 0;
    if (http && ParseProxyValue(http, host, sizeof(host), &port)) AddProxy(settings, "HTTP", host, port);
    if (https && ParseProxyValue(https, host, sizeof(host), &port)) AddProxy(settings, "HTTPS", host, port);
    Dictionary* list = nullptr;
    Dictionary_AddList(settings, "ExceptionsList", &list, nullptr);
    const char* noProxy = Env("no_proxy", noProxyValue, sizeof(noProxyValue));
    if (!noProxy) noProxy = Env("NO_PROXY", noProxyValue, sizeof(noProxyValue));
    if (noProxy && list) {
        char entry[kHostMax + 1];
        for (const char* at = noProxy; *at;) {
            const size_t length = strcspn(at, ",");
            const char* start = at;
            const char* end = at + length;
            while (start < end && (*start == ' ' || *start == '\t')) start++;
            while (end > start && (end[-1] == ' ' || end[-1] == '\t')) end--;
            if (end > start && end - start <= kHostMax) {
                memcpy(entry, start, (size_t)(end - start));
                entry[end - start] = 0;
                AddNoProxyEntry(list, entry);
            }
            at += length;
            if (*at == ',') at++;
        }
    }
    return true;
}

void DesktopProxy(Dictionary* settings, GSettings* root, const char* child, const char* prefix) {
    GSettings* protocol = g_settings_get_child(root, child);
    if (!protocol) return;
    gchar* host = g_settings_get_string(protocol, "host");
    const gint port = g_settings_get_int(protocol, "port");
    if (host && host[0] && strlen(host) <= (size_t)kHostMax) {
        // A host given with a scheme keeps only the host and port.
        char bare[kHostMax + 1];
        int32_t parsedPort = 0;
        if (ParseProxyValue(host, bare, sizeof(bare), &parsedPort))
            AddProxy(settings, prefix, bare, port > 0 && port <= 65535 ? port : parsedPort);
    }
    g_free(host);
    g_object_unref(protocol);
}

bool FromDesktop(Dictionary* settings) {
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    if (!source) return false;
    GSettingsSchema* schema = g_settings_schema_source_lookup(source, kSchema, TRUE);
    if (!schema) return false;
    GSettings* root = g_settings_new_full(schema, nullptr, nullptr);
    g_settings_schema_unref(schema);
    if (!root) return false;
    gchar* mode = g_settings_get_string(root, "mode");
    if (mode && strcmp(mode, "manual") == 0) {
        DesktopProxy(settings, root, "http", "HTTP");
        DesktopProxy(settings, root, "https", "HTTPS");
    } else if (mode && strcmp(mode, "auto") == 0) {
        gchar* url = g_settings_get_string(root, "autoconfig-url");
        if (url && url[0]) {
            Dictionary_SetInt64ByKey(settings, "ProxyAutoConfigEnable", 1);
            Dictionary_SetStringByKey(settings, "ProxyAutoConfigURLString", url);
        } else {
            Dictionary_SetInt64ByKey(settings, "ProxyAutoDiscoveryEnable", 1);
        }
        g_free(url);
    }
    // The desktop's exceptions belong to the proxies it names: with the mode "none" there are
    // neither.
    if (mode && (strcmp(mode, "manual") == 0 || strcmp(mode, "auto") == 0)) {
        Dictionary* list = nullptr;
        Dictionary_AddList(settings, "ExceptionsList", &list, nullptr);
        gchar** hosts = g_settings_get_strv(root, "ignore-hosts");
        for (gchar** host = hosts; list && host && *host; host++) AddIgnoreHost(list, *host);
        g_strfreev(hosts);
    }
    g_free(mode);
    g_object_unref(root);
    return true;
}

// ---- NetworkManager over the system bus ------------------------------------------------------

double NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec * 1000.0 + (double)now.tv_nsec / 1e6;
}

// One property of a NetworkManager object, or null; waits at most until the deadline.
GVariant* GetProperty(GDBusConnection* bus, const char* path, const char* interface, const char* name,
                      double deadline) {
    const int32_t left = (int32_t)(deadline - NowMs());
    if (left <= 0 || !g_variant_is_object_path(path)) return nullptr;
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.NetworkManager", path,
                                                  "org.freedesktop.DBus.Properties", "Get",
                                                  g_variant_new("(ss)", interface, name), G_VARIANT_TYPE("(v)"),
                                                  G_DBUS_CALL_FLAGS_NO_AUTO_START, left, nullptr, &error);
    if (!reply) {
        g_clear_error(&error);
        return nullptr;
    }
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    g_variant_unref(reply);
    return value;
}

struct PendingConnect {
    GDBusConnection* Bus;
    bool Done;
};

void Connected(GObject*, GAsyncResult* result, gpointer user) {
    PendingConnect* pending = static_cast<PendingConnect*>(user);
    pending->Bus = g_dbus_connection_new_for_address_finish(result, nullptr);
    pending->Done = true;
}

// A private connection to the bus, given up at the deadline: a peer that accepts and then says
// nothing must not hold the caller. (The shared connection would also outlive a bus that goes.)
GDBusConnection* Connect(const char* address, double deadline) {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    GCancellable* cancel = g_cancellable_new();
    PendingConnect pending{nullptr, false};
    g_dbus_connection_new_for_address(address,
                                      (GDBusConnectionFlags)(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                                      nullptr, cancel, Connected, &pending);
    while (!pending.Done) {
        if (NowMs() > deadline) g_cancellable_cancel(cancel);
        if (!g_main_context_iteration(context, FALSE)) g_usleep(2000);
    }
    g_object_unref(cancel);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    return pending.Bus;
}

bool WpadOfConnection(GDBusConnection* bus, const char* active, double deadline, char* url, int32_t size) {
    GVariant* config = GetProperty(bus, active, "org.freedesktop.NetworkManager.Connection.Active", "Dhcp4Config",
                                   deadline);
    if (!config) return false;
    bool found = false;
    if (g_variant_is_of_type(config, G_VARIANT_TYPE_OBJECT_PATH)) {
        const char* path = g_variant_get_string(config, nullptr);
        GVariant* options = strcmp(path, "/") != 0
                                ? GetProperty(bus, path, "org.freedesktop.NetworkManager.DHCP4Config", "Options",
                                              deadline)
                                : nullptr;
        if (options && g_variant_is_of_type(options, G_VARIANT_TYPE("a{sv}"))) {
            GVariant* wpad = g_variant_lookup_value(options, "wpad", G_VARIANT_TYPE_STRING);
            if (wpad) {
                const char* text = g_variant_get_string(wpad, nullptr);
                if (text[0]) {
                    String_CopyLength(url, text, size);
                    found = true;
                }
                g_variant_unref(wpad);
            }
        }
        if (options) g_variant_unref(options);
    }
    g_variant_unref(config);
    return found;
}

} // namespace

int64_t Platform_ProxyGetCFDictionaryBoolValue(Dictionary* dictionary, const char* key) {
    if (!dictionary || !key) return 0;
    uint32_t type = 0;
    int64_t value = 0;
    if (!Dictionary_GetTypeByKey(dictionary, key, &type)) return 0;
    if (type != DICTIONARY_TYPE_INT64 && type != DICTIONARY_TYPE_BOOLEAN) return 0;
    if (type == DICTIONARY_TYPE_BOOLEAN) {
        uint32_t flag = 0;
        return Dictionary_GetBooleanByKey(dictionary, key, &flag) && flag == 1;
    }
    return Dictionary_GetInt64ByKey(dictionary, key, &value) && value == 1;
}

int64_t Platform_ProxyCopySettings(Dictionary** settings) {
    ASSERT_POINTER(settings);
    *settings = nullptr;
    Dictionary* made = nullptr;
    if (!Dictionary_Create(&made)) return 0;
    // The desktop's settings only from folders no other user can change: else another user's
    // database could name the proxy that carries (and answers) our requests.
    if (!FromEnvironment(made) && !(Platform_CheckDesktopSettings() && FromDesktop(made))) {
        Dictionary_Release(&made);
        return 0;
    }
    *settings = made;
    return 1;
}

int64_t Platform_ProxyGetWpadURL(char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    ClearText(buffer, size);
    Dictionary* settings = nullptr;
    if (!Platform_ProxyCopySettings(&settings)) return 0;
    const char* url = nullptr;
    int64_t result = 0;
    if (Platform_ProxyGetCFDictionaryBoolValue(settings, "ProxyAutoConfigEnable") &&
        Dictionary_GetStringPtrByKey(settings, "ProxyAutoConfigURLString", &url) && url && url[0]) {
        String_CopyLength(buffer, url, size);
        Log_Debug("Internet proxy is currently auto configured [%s]\n", buffer);
        result = 1;
    }
    Dictionary_Release(&settings);
    return result;
}

int64_t Platform_ProxyGetAutoDetect(uint32_t* flag) {
    ASSERT_POINTER(flag);
    *flag = 0;
    Dictionary* settings = nullptr;
    if (Platform_ProxyCopySettings(&settings)) {
        *flag = Platform_ProxyGetCFDictionaryBoolValue(settings, "ProxyAutoDiscoveryEnable") ? 1 : 0;
        Dictionary_Release(&settings);
    }
    return 1;
}

int64_t Platform_ProxyGetByProtocol(const char* protocol, char* text, int32_t size) {
    ASSERT_POINTER(text);
    ClearText(text, size);
    if (!protocol) return 0;
    const char* prefix = String_CompareWithoutCase(protocol, "http")    ? "HTTP"
                         : String_CompareWithoutCase(protocol, "https") ? "HTTPS"
                                                                        : nullptr;
    if (!prefix) return 0;
    Dictionary* settings = nullptr;
    if (!Platform_ProxyCopySettings(&settings)) return 0;
    char key[32];
    String_Print(key, sizeof(key), "%sEnable", prefix);
    const char* host = nullptr;
    int64_t result = 0;
    if (Platform_ProxyGetCFDictionaryBoolValue(settings, key)) {
        String_Print(key, sizeof(key), "%sProxy", prefix);
        if (Dictionary_GetStringPtrByKey(settings, key, &host) && host && host[0]) {
            const char* scheme = strstr(host, "://");
            String_CopyLength(text, scheme ? scheme + 3 : host, size);
            String_Print(key, sizeof(key), "%sPort", prefix);
            int64_t port = 0;
            const int32_t used = (int32_t)strlen(text);
            if (Dictionary_GetInt64ByKey(settings, key, &port) && port > 0 && used < size)
                String_Print(text + used, size - used, ":%d", (int32_t)port);
            result = 1;
        }
    }
    Dictionary_Release(&settings);
    return result;
}

int64_t Platform_ProxyGetBypass(char* list, int32_t size) {
    ASSERT_POINTER(list);
    ClearText(list, size);
    Dictionary* settings = nullptr;
    if (!Platform_ProxyCopySettings(&settings)) return 0;
    Dictionary* exceptions = nullptr;
    int64_t result = 0;
    if (Dictionary_GetListByKey(settings, "ExceptionsList", &exceptions) && exceptions) {
        result = 1;
        DictionaryItem* item = nullptr;
        int32_t used = 0;
        for (Dictionary_ItemGetFirst(exceptions, &item); item; Dictionary_ItemGetNext(exceptions, item, &item)) {
            const char* entry = nullptr;
            if (!Dictionary_ItemGetStringPtr(exceptions, item, &entry) || !entry || !entry[0]) continue;
            const int32_t length = (int32_t)strlen(entry);
            // Whole entries only: a cut pattern would match hosts it was never meant for.
            if (used + length + 1 >= size) break;
            memcpy(list + used, entry, (size_t)length);
            used += length;
            list[used++] = ';';
            list[used] = 0;
        }
        while (used > 0 && list[used - 1] == ';') list[--used] = 0;
        int32_t lead = 0;
        while (list[lead] == ';') lead++;
        if (lead) memmove(list, list + lead, (size_t)(used - lead + 1));
    }
    Dictionary_Release(&settings);
    return result;
}

int64_t Platform_ProxyGetWpadURLFromDHCP(const PlatformAdapterInfo*, char* url, int32_t size) {
    ASSERT_POINTER(url);
    ClearText(url, size);
    const double deadline = NowMs() + kDhcpBudgetMs;
    GError* error = nullptr;
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (!address) {
        g_clear_error(&error);
        return 0;
    }
    GDBusConnection* bus = Connect(address, deadline);
    g_free(address);
    if (!bus) return 0;
    bool found = false;
    GVariant* connections =
        GetProperty(bus, "/org/freedesktop/NetworkManager", "org.freedesktop.NetworkManager", "ActiveConnections",
                    deadline);
    if (connections && g_variant_is_of_type(connections, G_VARIANT_TYPE("ao"))) {
        const gsize count = g_variant_n_children(connections);
        for (gsize i = 0; i < count && i < (gsize)kDhcpMaxConnections && !found; i++) {
            GVariant* path = g_variant_get_child_value(connections, i);
            found = WpadOfConnection(bus, g_variant_get_string(path, nullptr), deadline, url, size);
            g_variant_unref(path);
        }
    }
    if (connections) g_variant_unref(connections);
    g_dbus_connection_close_sync(bus, nullptr, nullptr);
    g_object_unref(bus);
    return found ? 1 : 0;
}
