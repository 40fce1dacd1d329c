// File and directory choosers over GtkFileChooserDialog.
#include "core/linux/gui/native_chooser.h"

#include <gtk/gtk.h>

#include <cstring>
#include <strings.h>

#include "core/linux/gui/native_ui.h"
#include "core/platform/path.h"
#include "core/runtime/debug.h"
#include "core/runtime/string.h"
#include "core/runtime/unicode.h"

namespace {

constexpr int32_t kTitleSize = 320;
constexpr int32_t kPathSize = 1024;

GtkWindow* ParentWindow(void* parent) {
    if (parent == nullptr || !GTK_IS_WIDGET(parent)) return nullptr;
    GtkWidget* top = gtk_widget_get_toplevel(GTK_WIDGET(parent));
    return GTK_IS_WINDOW(top) ? GTK_WINDOW(top) : nullptr;
}

GtkWidget* NewChooser(void* parent, const char* title, GtkFileChooserAction action, const char* accept) {
    char decoded[kTitleSize] = "";
    if (title && title[0]) StringUtf8_DecodeHtml(title, decoded, sizeof decoded);
    GtkWidget* dialog = gtk_file_chooser_dialog_new(decoded[0] ? decoded : nullptr, ParentWindow(parent), action,
                                                    "_Cancel", GTK_RESPONSE_CANCEL, accept, GTK_RESPONSE_ACCEPT,
                                                    nullptr);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    gtk_file_chooser_set_local_only(GTK_FILE_CHOOSER(dialog), TRUE);
    gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(dialog), FALSE);
    return dialog;
}

// Runs the chooser and answers the chosen path (to be freed with g_free), or null on cancel.
gchar* Run(GtkWidget* dialog) {
    const gint response = NativeUI_RunDialog(dialog);
    gchar* chosen = response == GTK_RESPONSE_ACCEPT ? gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog)) : nullptr;
    gtk_widget_destroy(dialog);
    for (int i = 0; i < 100 && gtk_events_pending(); i++) gtk_main_iteration_do(FALSE);
    return chosen;
}

int64_t ChooseFile(void* parent, const char* title, char* directory, int32_t directorySize, char* name,
                   int32_t nameSize, bool save) {
    ASSERT_POINTER(directory);
    ASSERT_POINTER(name);
    if (!NativeUI_HasDisplay() || directorySize < 1 || nameSize < 1) return 0;
    GtkWidget* dialog = NewChooser(parent, title, save ? GTK_FILE_CHOOSER_ACTION_SAVE : GTK_FILE_CHOOSER_ACTION_OPEN,
                                   save ? "_Save" : "_Open");
    char start[kPathSize] = "";
    if (directory[0] && Path_Resolve(directory, start, sizeof start) == 1)
        gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dialog), start);
    if (name[0]) {
        if (save) {
            gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(dialog), name);
        } else if (start[0]) {
            gchar* file = g_build_filename(start, name, nullptr);
            gtk_file_chooser_select_filename(GTK_FILE_CHOOSER(dialog), file);
            g_free(file);
        }
    }
    if (save) gtk_file_chooser_set_create_folders(GTK_FILE_CHOOSER(dialog), TRUE);
    gchar* chosen = Run(dialog);
    if (chosen == nullptr) return 0;
    const char* slash = strrchr(chosen, '/');
    const size_t folderLength = slash ? (size_t)(slash - chosen + 1) : 0;
    const char* file = chosen + folderLength;
    const bool fits = folderLength < (size_t)directorySize && strlen(file) < (size_t)nameSize && file[0];
    if (fits) {
        memcpy(directory, chosen, folderLength);
        directory[folderLength] = 0;
        String_CopyLength(name, file, nameSize);
    }
    g_free(chosen);
    return fits ? 1 : 0;
}

// The first missing directory on the way to the path (with its trailing '/'), or empty.
void TopmostMissing(const char* path, char* root, int32_t size) {
    root[0] = 0;
    char prefix[kPathSize];
    for (const char* at = strchr(path + 1, '/'); at; at = strchr(at + 1, '/')) {
        const size_t length = (size_t)(at - path);
        if (length < 3 || length + 2 > sizeof prefix) continue;
        memcpy(prefix, path, length);
        prefix[length] = 0;
        if (Path_Exists(prefix) == 1) continue;
        prefix[length] = '/';
        prefix[length + 1] = 0;
        String_CopyLength(root, prefix, size);
        return;
    }
}

} // namespace

int64_t NativeChooser_GetLoadFilename(void* parent, const char* title, char* directory, int32_t directorySize,
                                      char* name, int32_t nameSize) {
    return ChooseFile(parent, title, directory, directorySize, name, nameSize, false);
}

int64_t NativeChooser_GetSaveFilename(void* parent, const char* title, char* directory, int32_t directorySize,
                                      char* name, int32_t nameSize) {
    return ChooseFile(parent, title, directory, directorySize, name, nameSize, true);
}

int64_t NativeChooser_GetNewDirectory(void* parent, const char* title, char* path, int32_t pathSize,
                                      const char* start) {
    ASSERT_POINTER(path);
    if (pathSize > 0) path[0] = 0;
    if (!NativeUI_HasDisplay() || pathSize < 1) return 0;
    char resolved[320] = "";
    char created[320] = "";
    if (start && start[0] && Path_Resolve(start, resolved, sizeof resolved) == 1) {
        Path_FixSlash(resolved, sizeof resolved, 1);
        if (Path_IsDirectory(resolved) != 1) {
            TopmostMissing(resolved, created, sizeof created);
            if (Path_CreateDirectory(resolved, 0, nullptr) != 1) created[0] = 0;
        }
    }
    GtkWidget* dialog = NewChooser(parent, title, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, "_Choose");
    if (resolved[0]) gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dialog), resolved);
    gchar* chosen = Run(dialog);
    bool ok = false;
    if (chosen && strlen(chosen) + 2 <= (size_t)pathSize) {
        String_CopyLength(path, chosen, pathSize);
        Path_FixSlash(path, pathSize, 1);
        ok = true;
    }
    g_free(chosen);
    if (created[0]) {
        const size_t startLength = strlen(resolved);
        const bool inside = ok && path[0] && strlen(path) >= startLength && strncasecmp(path, resolved, startLength) == 0;
        if (!inside && Path_IsDirectoryEmpty(created) == 1) Path_EraseDirectory(created, 1, nullptr);
    }
    return ok ? 1 : 0;
}
