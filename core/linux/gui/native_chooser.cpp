// File and directory choosers over GtkFileChooserDialog.
#include "core/linux/gui/native_chooser.h"

#include <gtk/gtk.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/linux/gui/native_ui.h"
#include "core/linux/platform.h"
#include "core/linux/platform_tree.h"
#include "core/runtime/debug.h"
#include "core/runtime/string.h"
#include "core/runtime/unicode.h"

namespace {

constexpr int32_t kTitleSize = 320;
constexpr int32_t kPathSize = 1024;
constexpr int32_t kWhySize = 4096 + 64; // a refusal names the whole path, which may be PATH_MAX long

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

// The folder a start path from the page names, with a trailing '/': a leading "~" is the home
// folder, "." and ".." are folded and repeated '/' joined. Only '/' separates: a backslash is
// part of a name, as it is to the file system. False when the path is not absolute or does not
// fit; the chooser then starts where the toolkit likes.
bool StartFolder(const char* start, char* out, size_t size) {
    if (size < 2) return false;
    size_t used = 0;
    const char* rest = start;
    if (start[0] == '~' && (start[1] == 0 || start[1] == '/')) {
        char home[kPathSize];
        if (Platform_GetSpecialPath(PLATFORM_PATH_USER_HOME, home, (int32_t)sizeof home) != 1 || home[0] != '/')
            return false;
        if (!StartFolder(home, out, size)) return false;
        used = strlen(out) - 1; // without its trailing '/'
        rest = start + 1;
    } else if (start[0] != '/') {
        return false;
    }
    out[used] = 0;
    for (const char* at = rest; *at;) {
        while (*at == '/') at++;
        const char* end = strchrnul(at, '/');
        const size_t length = (size_t)(end - at);
        if (length == 2 && at[0] == '.' && at[1] == '.') {
            while (used > 0 && out[used - 1] != '/') used--;
            if (used > 0) used--; // the '/' before the dropped name; never above the root
        } else if (length > 0 && !(length == 1 && at[0] == '.')) {
            if (used + 1 + length + 2 > size) return false;
            out[used++] = '/';
            memcpy(out + used, at, length);
            used += length;
        }
        at = end;
    }
    out[used++] = '/';
    out[used] = 0;
    return true;
}

// What a choice must name to be taken. The toolkit's location field takes any typed name, so
// the chooser itself holds the line: a load names an existing regular file (a link to one is the
// user's own choice), a folder an existing directory, a save a name inside an existing directory
// where no link and nothing but a regular file stands (a save through a link, even a dangling
// one, would write wherever the link points).
enum class Want { File, Folder, SaveName };

// The path is judged exactly as the toolkit gave it, whole: a name may hold any byte but '/' (a
// backslash too), and the page takes paths far longer than the path module's own buffers.
void Refusal(const char* path, Want want, char* why, int32_t size) {
    why[0] = 0;
    struct stat info;
    switch (want) {
    case Want::File:
        if (stat(path, &info) != 0)
            snprintf(why, (size_t)size,
                     errno == ENAMETOOLONG ? "\u201c%s\u201d is too long." : "\u201c%s\u201d does not exist.", path);
        else if (!S_ISREG(info.st_mode))
            snprintf(why, (size_t)size, "\u201c%s\u201d is not a file.", path);
        break;
    case Want::Folder:
        if (stat(path, &info) != 0)
            snprintf(why, (size_t)size,
                     errno == ENAMETOOLONG ? "\u201c%s\u201d is too long."
                                           : "The folder \u201c%s\u201d does not exist.",
                     path);
        else if (!S_ISDIR(info.st_mode))
            snprintf(why, (size_t)size, "\u201c%s\u201d is not a folder.", path);
        break;
    case Want::SaveName: {
        // The name is looked at inside the folder it was chosen in, through that folder's
        // descriptor, so the folder and the name are judged together.
        const char* slash = strrchr(path, '/');
        const char* name = slash ? slash + 1 : "";
        int folder = -1;
        if (slash) {
            gchar* folderPath = slash == path ? g_strdup("/") : g_strndup(path, (gsize)(slash - path));
            folder = open(folderPath, O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (folder < 0)
                snprintf(why, (size_t)size, "The folder \u201c%s\u201d does not exist.", folderPath);
            g_free(folderPath);
        } else {
            snprintf(why, (size_t)size, "The folder \u201c%s\u201d does not exist.", path);
        }
        if (folder < 0) break;
        if (name[0] == 0) {
            snprintf(why, (size_t)size, "\u201c%s\u201d is not a file.", path);
        } else if (fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISLNK(info.st_mode))
                snprintf(why, (size_t)size, "\u201c%s\u201d is a link.", path);
            else if (!S_ISREG(info.st_mode))
                snprintf(why, (size_t)size, "\u201c%s\u201d is not a file.", path);
        } else if (errno != ENOENT) {
            // A name that cannot be looked at (too long, no right to search the folder) is no
            // name that can be saved under.
            snprintf(why, (size_t)size, "\u201c%s\u201d cannot be saved: %s.", path, g_strerror(errno));
        }
        close(folder);
        break;
    }
    }
}

struct Guard {
    Want Kind;
    GtkWidget* Note; // the chooser's extra widget: hidden until a choice is refused
};

// Runs before the dialog's loop sees the answer: a refused choice stops the answer, so the chooser
// stays open and says why, as it does for its own refusals.
void OnResponse(GtkDialog* dialog, gint response, gpointer data) {
    if (response != GTK_RESPONSE_ACCEPT) return;
    const Guard* guard = static_cast<const Guard*>(data);
    gchar* chosen = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog));
    if (chosen == nullptr) return; // nothing chosen: Run answers as cancelled
    char why[kWhySize];
    Refusal(chosen, guard->Kind, why, (int32_t)sizeof why);
    g_free(chosen);
    if (why[0] == 0) return;
    gtk_label_set_text(GTK_LABEL(guard->Note), why);
    gtk_widget_show(guard->Note);
    g_signal_stop_emission_by_name(dialog, "response");
}

// Runs the chooser and answers the chosen path (to be freed with g_free), or null on cancel. The
// choice is checked again once the dialog is gone: an answer that did not come through the
// response (a dismissal racing a click) is still never a path the caller cannot use.
gchar* Run(GtkWidget* dialog, Want want) {
    Guard guard = {want, gtk_label_new("")};
    gtk_label_set_line_wrap(GTK_LABEL(guard.Note), TRUE);
    gtk_label_set_xalign(GTK_LABEL(guard.Note), 0);
    gtk_file_chooser_set_extra_widget(GTK_FILE_CHOOSER(dialog), guard.Note);
    const gulong handler = g_signal_connect(dialog, "response", G_CALLBACK(OnResponse), &guard);
    const gint response = NativeUI_RunDialog(dialog);
    gchar* chosen = response == GTK_RESPONSE_ACCEPT ? gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog)) : nullptr;
    g_signal_handler_disconnect(dialog, handler);
    gtk_widget_destroy(dialog);
    for (int i = 0; i < 100 && gtk_events_pending(); i++) gtk_main_iteration_do(FALSE);
    if (chosen) {
        char why[kWhySize];
        Refusal(chosen, want, why, (int32_t)sizeof why);
        if (why[0]) {
            g_free(chosen);
            chosen = nullptr;
        }
    }
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
    if (directory[0] && StartFolder(directory, start, sizeof start))
        gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dialog), start);
    else
        start[0] = 0;
    if (name[0]) {
        if (save) {
            gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(dialog), name);
        } else if (start[0]) {
            gchar* file = g_build_filename(start, name, nullptr);
            gtk_file_chooser_select_filename(GTK_FILE_CHOOSER(dialog), file);
            g_free(file);
        }
    }
    if (save) {
        gtk_file_chooser_set_create_folders(GTK_FILE_CHOOSER(dialog), TRUE);
        // Saving over a file loses it: the toolkit asks first.
        gtk_file_chooser_set_do_overwrite_confirmation(GTK_FILE_CHOOSER(dialog), TRUE);
    }
    gchar* chosen = Run(dialog, save ? Want::SaveName : Want::File);
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

// Makes the missing folders of a start folder (ending in '/'), one level at a time, by the path
// as given, and answers the topmost one made (with its trailing '/'), or "" when none was made.
void MakeStart(const char* path, char* root, size_t size) {
    root[0] = 0;
    char prefix[kPathSize];
    for (const char* at = strchr(path + 1, '/'); at; at = strchr(at + 1, '/')) {
        const size_t length = (size_t)(at - path);
        if (length + 2 > sizeof prefix) return;
        memcpy(prefix, path, length);
        prefix[length] = 0;
        if (Platform_TreeCreateDirectory(PLATFORM_TREE_CWD, prefix) == 1) {
            if (root[0] == 0 && length + 2 <= size) {
                memcpy(root, prefix, length);
                root[length] = '/';
                root[length + 1] = 0;
            }
        } else if (errno != EEXIST) {
            return;
        }
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
    char resolved[kPathSize] = "";
    char created[kPathSize] = "";
    if (start && start[0] && StartFolder(start, resolved, sizeof resolved)) {
        struct stat info;
        if (stat(resolved, &info) != 0 || !S_ISDIR(info.st_mode)) MakeStart(resolved, created, sizeof created);
    }
    GtkWidget* dialog = NewChooser(parent, title, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, "_Choose");
    if (resolved[0]) gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dialog), resolved);
    gchar* chosen = Run(dialog, Want::Folder);
    bool ok = false;
    // The answer is the toolkit's path as it is, with the trailing '/' added: its characters are
    // not the path module's to rewrite (a backslash is part of a name here).
    const size_t length = chosen ? strlen(chosen) : 0;
    if (chosen && length + 2 <= (size_t)pathSize) {
        memcpy(path, chosen, length + 1);
        if (length == 0 || path[length - 1] != '/') {
            path[length] = '/';
            path[length + 1] = 0;
        }
        ok = true;
    }
    g_free(chosen);
    if (created[0]) {
        const size_t startLength = strlen(resolved);
        const bool inside = ok && path[0] && strlen(path) >= startLength && strncasecmp(path, resolved, startLength) == 0;
        // Only an empty folder goes: whatever was put in it meanwhile stays with it.
        if (!inside) rmdir(created);
    }
    return ok ? 1 : 0;
}
