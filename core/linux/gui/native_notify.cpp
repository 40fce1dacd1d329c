// User notifications over libnotify, kept by id so that an update replaces what the id shows.
#include "core/linux/gui/native_notify.h"

#include <libnotify/notify.h>

#include <cstring>
#include <string>

#include "core/certs/build_info.h"
#include "core/runtime/string.h"
#include "core/runtime/unicode.h"

namespace {

GHashTable* g_shown = nullptr; // id -> NotifyNotification

bool Started() {
    if (!notify_is_initted() && !notify_init(QVR_BUILD_PRODUCT_NAME)) return false;
    if (g_shown == nullptr) g_shown = g_hash_table_new_full(g_direct_hash, g_direct_equal, nullptr, g_object_unref);
    return true;
}

// The server closed it (expired, dismissed): the id shows nothing any more.
void Closed(NotifyNotification* notification, gpointer id) {
    if (g_shown && g_hash_table_lookup(g_shown, id) == notification) g_hash_table_remove(g_shown, id);
}

// Servers that read markup in the body would take "<" and "&" of the text as markup; the text is
// shown as it is.
std::string BodyText(const std::string& text) {
    GList* caps = notify_get_server_caps();
    const bool markup = g_list_find_custom(caps, "body-markup", (GCompareFunc)strcmp) != nullptr;
    g_list_free_full(caps, g_free);
    if (!markup) return text;
    gchar* escaped = g_markup_escape_text(text.c_str(), (gssize)text.size());
    std::string out = escaped;
    g_free(escaped);
    return out;
}

} // namespace

int64_t NativeNotify_Init() {
    Started();
    return 1;
}

int64_t NativeNotify_RemoveAll() {
    if (g_shown) g_hash_table_destroy(g_shown);
    g_shown = nullptr;
    if (notify_is_initted()) notify_uninit();
    return 1;
}

int64_t NativeNotify_Update(void*, int32_t id, void*, int32_t level, const char* title, const char* text) {
    if (!Started()) return 0;
    char decodedTitle[NATIVENOTIFY_TEXT_SIZE] = "";
    char decodedText[NATIVENOTIFY_TEXT_SIZE] = "";
    if (title) StringUtf8_DecodeString(title, decodedTitle, sizeof decodedTitle);
    if (text) StringUtf8_DecodeString(text, decodedText, sizeof decodedText);
    std::string summary = decodedTitle, body = decodedText;
    if (level == 1 || level == 2) {
        summary = level == 2 ? "Error" : "Warning";
        body = decodedTitle[0] ? std::string(decodedTitle) + "\n" + decodedText : decodedText;
    }
    body = BodyText(body);
    const gpointer key = GINT_TO_POINTER(id);
    NotifyNotification* notification = NOTIFY_NOTIFICATION(g_hash_table_lookup(g_shown, key));
    if (notification) {
        notify_notification_update(notification, summary.c_str(), body.c_str(), nullptr);
    } else {
        notification = notify_notification_new(summary.c_str(), body.c_str(), nullptr);
        g_signal_connect(notification, "closed", G_CALLBACK(Closed), key);
    }
    notify_notification_set_urgency(notification, level == 2 ? NOTIFY_URGENCY_CRITICAL : NOTIFY_URGENCY_NORMAL);
    const bool shown = notify_notification_show(notification, nullptr);
    if (shown && g_hash_table_lookup(g_shown, key) == nullptr) {
        g_hash_table_insert(g_shown, key, notification);
    } else if (!shown && g_hash_table_lookup(g_shown, key) != notification) {
        g_object_unref(notification);
    }
    return shown ? 1 : 0;
}

int64_t NativeNotify_Remove(void*, int32_t id) {
    if (g_shown == nullptr) return 0;
    const gpointer key = GINT_TO_POINTER(id);
    NotifyNotification* notification = NOTIFY_NOTIFICATION(g_hash_table_lookup(g_shown, key));
    if (notification == nullptr) return 0;
    notify_notification_close(notification, nullptr);
    g_hash_table_remove(g_shown, key);
    return 1;
}

int64_t NativeNotify_Add(void*, int32_t) { return 1; }
