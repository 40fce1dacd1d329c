// The application menu over GtkMenu; the items' shape is checked by the portable builder walk.
#include "core/linux/gui/native_menu.h"

#include <gtk/gtk.h>

#include "core/platform/dock_menu.h"
#include "core/runtime/debug.h"

namespace {

NativeMenuActionFunc g_handler = nullptr;
GtkWidget* g_dockMenu = nullptr;
bool g_settingCheck = false; // a check set by the program is no choice of the user

constexpr const char* kTarget = "qvr-menu-target";
constexpr const char* kId = "qvr-menu-id";

void Tag(GtkWidget* item, void* window, int32_t id) {
    g_object_set_data(G_OBJECT(item), kTarget, window);
    g_object_set_data(G_OBJECT(item), kId, GINT_TO_POINTER(id));
}

int32_t IdOf(GtkWidget* item) { return GPOINTER_TO_INT(g_object_get_data(G_OBJECT(item), kId)); }

void Chosen(GtkMenuItem* item, gpointer) {
    if (g_settingCheck) return;
    // Choosing does not check an item by itself: the page checks it when it wants to.
    if (GTK_IS_CHECK_MENU_ITEM(item)) {
        GtkCheckMenuItem* check = GTK_CHECK_MENU_ITEM(item);
        g_settingCheck = true;
        gtk_check_menu_item_set_active(check, !gtk_check_menu_item_get_active(check));
        g_settingCheck = false;
    }
    if (g_handler == nullptr) return;
    g_handler(g_object_get_data(G_OBJECT(item), kTarget), IdOf(GTK_WIDGET(item)));
}

void Append(void* menu, GtkWidget* item) {
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
    gtk_widget_show(item);
}

struct Building {
    void* Window;
};

const DockMenuBuilder kBuilder = {
    nullptr,
    [](void* user, void* menu, int32_t id, const char* text, uint32_t checked) {
        GtkWidget* item = gtk_check_menu_item_new_with_label(text);
        g_settingCheck = true;
        gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(item), checked ? TRUE : FALSE);
        g_settingCheck = false;
        Tag(item, static_cast<Building*>(user)->Window, id);
        g_signal_connect(item, "activate", G_CALLBACK(Chosen), nullptr);
        Append(menu, item);
    },
    [](void* user, void* menu, int32_t id) {
        GtkWidget* item = gtk_separator_menu_item_new();
        Tag(item, static_cast<Building*>(user)->Window, id);
        Append(menu, item);
    },
    [](void*, const char*) -> void* { return g_object_ref_sink(gtk_menu_new()); },
    [](void* user, void* menu, int32_t id, const char* text, void* sub) {
        GtkWidget* item = gtk_menu_item_new_with_label(text);
        Tag(item, static_cast<Building*>(user)->Window, id);
        gtk_menu_item_set_submenu(GTK_MENU_ITEM(item), GTK_WIDGET(sub));
        g_object_unref(sub);
        Append(menu, item);
    },
    [](void*, void* sub) {
        gtk_widget_destroy(GTK_WIDGET(sub));
        g_object_unref(sub);
    },
};

GtkWidget* FindById(GtkWidget* menu, int32_t id) {
    GList* children = gtk_container_get_children(GTK_CONTAINER(menu));
    GtkWidget* found = nullptr;
    for (GList* at = children; at && !found; at = at->next)
        if (IdOf(GTK_WIDGET(at->data)) == id && g_object_get_data(G_OBJECT(at->data), kTarget) != nullptr)
            found = GTK_WIDGET(at->data);
    for (GList* at = g_list_last(children); at && !found; at = at->prev) {
        GtkWidget* sub = GTK_IS_MENU_ITEM(at->data) ? gtk_menu_item_get_submenu(GTK_MENU_ITEM(at->data)) : nullptr;
        if (sub) found = FindById(sub, id);
    }
    g_list_free(children);
    return found;
}

} // namespace

int64_t NativeWindow_SetMenuActionHandler(NativeMenuActionFunc handler) {
    g_handler = handler;
    return 1;
}

void* NativeWindow_GetDockMenu() {
    if (g_dockMenu == nullptr) g_dockMenu = GTK_WIDGET(g_object_ref_sink(gtk_menu_new()));
    return g_dockMenu;
}

int64_t NativeWindow_CreateMenuFromDictionary(void* window, Dictionary* items, void* unused1, void* unused2,
                                              void** menu) {
    ASSERT_POINTER(menu);
    *menu = NativeWindow_GetDockMenu();
    return NativeWindow_CreateSubMenuFromDictionary(window, *menu, items, unused1, unused2);
}

int64_t NativeWindow_CreateSubMenuFromDictionary(void* window, void* menu, Dictionary* items, void*, void*) {
    ASSERT_POINTER(items);
    if (menu == nullptr || !GTK_IS_MENU_SHELL(menu)) return 0;
    // Items without a window are told apart from the program's own by a non-null target.
    Building building{window ? window : menu};
    DockMenuBuilder builder = kBuilder;
    builder.User = &building;
    return DockMenu_Build(items, menu, &builder);
}

int64_t NativeWindow_SetMenuSelected(void* menu, int32_t id, int32_t selected) {
    GtkWidget* item = static_cast<GtkWidget*>(NativeWindow_GetMenuItemById(menu, id));
    if (item == nullptr || !GTK_IS_CHECK_MENU_ITEM(item)) return 0;
    g_settingCheck = true;
    gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(item), selected == 1 ? TRUE : FALSE);
    g_settingCheck = false;
    return 1;
}

void* NativeWindow_GetMenuItemById(void* menu, int32_t id) {
    if (menu == nullptr || !GTK_IS_MENU_SHELL(menu)) return nullptr;
    return FindById(GTK_WIDGET(menu), id);
}

int64_t NativeWindow_ClearDockItems(void* window) {
    if (g_dockMenu == nullptr) return 1;
    GList* children = gtk_container_get_children(GTK_CONTAINER(g_dockMenu));
    for (GList* at = g_list_last(children); at; at = at->prev)
        if (g_object_get_data(G_OBJECT(at->data), kTarget) == window) gtk_widget_destroy(GTK_WIDGET(at->data));
    g_list_free(children);
    return 1;
}

int64_t NativeWindow_DeleteMenu(void** menu) {
    ASSERT_POINTER(menu);
    if (*menu && *menu != g_dockMenu && GTK_IS_WIDGET(*menu)) gtk_widget_destroy(GTK_WIDGET(*menu));
    *menu = nullptr;
    return 1;
}
