// The native user-interface module over GTK: start and end, message boxes and the abort box.
#include "core/linux/gui/native_ui.h"

#include <gtk/gtk.h>

#include <atomic>
#include <cstdio>

#include "core/linux/gui/native_notify.h"
#include "core/linux/gui/native_taskbar.h"
#include "core/linux/platform.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"

namespace {

NativeMessageBoxOverrideFunc g_override = nullptr;
// Set from a signal handler: lock-free by construction.
std::atomic<int> g_dismissing{0};
static_assert(std::atomic<int>::is_always_lock_free);
constexpr guint kDismissCheckMs = 50;
bool g_started = false;
uint32_t g_uiThread = 0; // the thread that started the module: the only one that may show a box

// GTK is started once, on first need, and only where a display answers.
bool Display() {
    static int state = -1;
    if (state < 0) state = gtk_init_check(nullptr, nullptr) && gdk_display_get_default() ? 1 : 0;
    return state == 1;
}

struct Button {
    const char* Label;
    gint Response;
};

// The answer when the box was closed instead of a button pressed, or could not be shown.
int64_t Dismissed(uint32_t buttons) {
    switch (buttons) {
    case NATIVEMESSAGEBOX_OK_CANCEL:
    case NATIVEMESSAGEBOX_YES_NO_CANCEL:
        return NATIVEMESSAGEBOX_RESULT_CANCEL;
    case NATIVEMESSAGEBOX_YES_NO:
        return NATIVEMESSAGEBOX_RESULT_NO;
    default:
        return NATIVEMESSAGEBOX_RESULT_OK;
    }
}

gboolean CheckDismiss(gpointer dialog) {
    if (!g_dismissing.load()) return G_SOURCE_CONTINUE;
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_DELETE_EVENT);
    return G_SOURCE_CONTINUE;
}

// Lets the closed box leave the screen before the caller goes on.
void Settle() {
    for (int i = 0; i < 100 && gtk_events_pending(); i++) gtk_main_iteration_do(FALSE);
}

} // namespace

int64_t NativeUI_Init() {
    Debug_AbortOverride(NativeUI_AbortOverride);
    g_uiThread = Platform_ThreadGetCurrentId();
    Display();
    NativeNotify_Init();
    g_started = true;
    return 1;
}

int64_t NativeUI_Remove() {
    if (!g_started) return 1;
    NativeNotify_RemoveAll();
    NativeTaskbar_Remove();
    g_override = nullptr;
    g_started = false;
    return 1;
}

int64_t NativeUI_HasDisplay() { return Display() ? 1 : 0; }

int32_t NativeUI_RunDialog(void* dialog) {
    ASSERT_POINTER(dialog);
    if (g_dismissing.load()) return GTK_RESPONSE_DELETE_EVENT;
    // The check runs inside the dialog's own loop, which is the only loop turning meanwhile.
    const guint check = g_timeout_add(kDismissCheckMs, CheckDismiss, dialog);
    const gint response = gtk_dialog_run(GTK_DIALOG(dialog));
    g_source_remove(check);
    return response;
}

void NativeUI_DismissDialogs() { g_dismissing.store(1); }

int64_t NativeUI_IsDismissing() { return g_dismissing.load() ? 1 : 0; }

int64_t NativeUI_MessageBoxOverride(NativeMessageBoxOverrideFunc function) {
    g_override = function;
    return 1;
}

void NativeUI_AbortOverride(const char*, int32_t, const char* message) {
    // A stop on another thread cannot show GTK's box: the toolkit belongs to the main thread.
    if ((Debug_Flags() & DEBUG_FLAG_CMDLINE) != 0 || !g_started || Platform_ThreadGetCurrentId() != g_uiThread ||
        !Display())
        return;
    NativeWindow_MessageBox(nullptr, message, "Internal error...", 0x2010);
}

int64_t NativeWindow_MessageBox(void* window, const char* text, const char* caption, uint32_t type) {
    if (g_override) return g_override(window, text, caption, type);
    return NativeWindow_MessageBoxDefault(window, text, caption, type);
}

int64_t NativeWindow_MessageBoxDefault(void*, const char* text, const char* caption, uint32_t type) {
    const uint32_t buttons = type & 0xF;
    if (!Display() || g_dismissing.load()) {
        // Nobody can answer: what it says still reaches whoever started the process.
        Log_Info("Message box without a display (%s): %s\n", caption ? caption : "", text ? text : "");
        fprintf(stderr, "%s: %s\n", caption ? caption : "", text ? text : "");
        fflush(stderr);
        return Dismissed(buttons);
    }
    // Shown as "Ok", "Cancel", "Yes" and "No"; the underscore marks the key that presses them.
    static const Button kOk[] = {{"_Ok", NATIVEMESSAGEBOX_RESULT_OK}};
    static const Button kOkCancel[] = {{"_Ok", NATIVEMESSAGEBOX_RESULT_OK}, {"_Cancel", NATIVEMESSAGEBOX_RESULT_CANCEL}};
    static const Button kYesNoCancel[] = {{"_Yes", NATIVEMESSAGEBOX_RESULT_YES},
                                          {"_No", NATIVEMESSAGEBOX_RESULT_NO},
                                          {"_Cancel", NATIVEMESSAGEBOX_RESULT_CANCEL}};
    static const Button kYesNo[] = {{"_Yes", NATIVEMESSAGEBOX_RESULT_YES}, {"_No", NATIVEMESSAGEBOX_RESULT_NO}};
    const Button* set = kOk;
    size_t count = 1;
    if (buttons == NATIVEMESSAGEBOX_OK_CANCEL) set = kOkCancel, count = 2;
    if (buttons == NATIVEMESSAGEBOX_YES_NO_CANCEL) set = kYesNoCancel, count = 3;
    if (buttons == NATIVEMESSAGEBOX_YES_NO) set = kYesNo, count = 2;
    const uint32_t style = type & 0xF0;
    const GtkMessageType kind = style == NATIVEMESSAGEBOX_CRITICAL  ? GTK_MESSAGE_ERROR
                                : style == NATIVEMESSAGEBOX_WARNING ? GTK_MESSAGE_WARNING
                                                                    : GTK_MESSAGE_INFO;
    GtkWidget* dialog =
        gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, kind, GTK_BUTTONS_NONE, "%s", caption ? caption : "");
    if (text && text[0]) gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", text);
    // The caption also names the window, so that window lists and tools can find the box.
    gtk_window_set_title(GTK_WINDOW(dialog), caption ? caption : "");
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    for (size_t i = 0; i < count; i++) gtk_dialog_add_button(GTK_DIALOG(dialog), set[i].Label, set[i].Response);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), set[0].Response);
    const gint response = NativeUI_RunDialog(dialog);
    gtk_widget_destroy(dialog);
    Settle();
    if (buttons == NATIVEMESSAGEBOX_OK || count == 1) return NATIVEMESSAGEBOX_RESULT_OK;
    for (size_t i = 0; i < count; i++)
        if (set[i].Response == response) return response;
    return Dismissed(buttons);
}
