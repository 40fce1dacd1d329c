// The host's progress window over GTK.
#include "core/linux/gui/progress_window.h"

#include <gtk/gtk.h>

#include <cstdio>

#include "core/linux/gui/native_ui.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/time.h"

struct ProgressWindow {
    GtkWidget* Window;
    GtkWidget* Bar;
    uint64_t NextUpdate; // milliseconds of the monotonic clock
    // Until a figure arrives the bar pulses, so that work that reports no overall progress does
    // not look frozen.
    bool Determinate;
    uint64_t NextPulse;
};

namespace {

constexpr uint64_t kUpdateMs = 40;
constexpr uint64_t kPulseMs = 100;

void Pulse(ProgressWindow* p) {
    const uint64_t now = Time_GetCycleCount();
    if (p->Determinate || now < p->NextPulse) return;
    p->NextPulse = now + kPulseMs;
    gtk_progress_bar_pulse(GTK_PROGRESS_BAR(p->Bar));
}

int64_t ProcessObserver(void* user, const char*, const char*, const char*, Dictionary*) {
    Pulse(static_cast<ProgressWindow*>(user));
    return ProgressWindow_Process();
}

} // namespace

int64_t ProgressWindow_Create(ProgressWindow** handle, const char* title, const char* text) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    // Without a display there is nothing to show it on (and GTK would stop the process); what it
    // would say still reaches whoever started the process.
    if (!NativeUI_HasDisplay()) {
        fprintf(stderr, "%s: %s\n", title ? title : "", text ? text : "");
        fflush(stderr);
        return 0;
    }
    ProgressWindow* p = static_cast<ProgressWindow*>(Memory_AllocZero(sizeof(ProgressWindow)));
    p->Window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(p->Window), title ? title : "");
    gtk_window_set_default_size(GTK_WINDOW(p->Window), 400, 114);
    gtk_window_set_resizable(GTK_WINDOW(p->Window), FALSE);
    gtk_window_set_position(GTK_WINDOW(p->Window), GTK_WIN_POS_CENTER);
    GtkWidget* fixed = gtk_fixed_new();
    GtkWidget* label = gtk_label_new(text ? text : "");
    gtk_widget_set_size_request(label, 360, 20);
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_fixed_put(GTK_FIXED(fixed), label, 20, 30);
    p->Bar = gtk_progress_bar_new();
    gtk_progress_bar_set_pulse_step(GTK_PROGRESS_BAR(p->Bar), 0.05);
    gtk_widget_set_size_request(p->Bar, 360, 20);
    gtk_fixed_put(GTK_FIXED(fixed), p->Bar, 20, 60);
    gtk_container_add(GTK_CONTAINER(p->Window), fixed);
    g_object_ref(p->Window);
    gtk_widget_show_all(p->Window);
    gtk_window_present(GTK_WINDOW(p->Window));
    p->NextUpdate = Time_GetCycleCount();
    NotificationCenter_AddProcessObserver("Global", p, ProcessObserver);
    *handle = p;
    return 1;
}

int64_t ProgressWindow_SetProgress(ProgressWindow* p, double value) {
    ASSERT_POINTER(p);
    if (value < 1.0) {
        // The next slot advances from the last one, not from now, so a steady caller is not slowed.
        if (Time_GetCycleCount() < p->NextUpdate) return 1;
        p->NextUpdate += kUpdateMs;
    }
    p->Determinate = true;
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(p->Bar), value < 0 ? 0 : value > 1 ? 1 : value);
    return 1;
}

int64_t ProgressWindow_Process() {
    if (gtk_events_pending()) gtk_main_iteration_do(FALSE);
    return 1;
}

double ProgressWindow_GetShownProgress(ProgressWindow* p) {
    ASSERT_POINTER(p);
    return gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(p->Bar));
}

int64_t ProgressWindow_Delete(ProgressWindow** handle) {
    ASSERT_POINTER(handle);
    ProgressWindow* p = *handle;
    if (p == nullptr) return 1;
    NotificationCenter_RemoveProcessObserver("Global", p, ProcessObserver);
    gtk_widget_destroy(p->Window);
    g_object_unref(p->Window);
    Memory_Free(p, sizeof(ProgressWindow));
    *handle = nullptr;
    return 1;
}
