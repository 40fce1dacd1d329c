// The application menu that windows add their items to (what a dock menu is elsewhere): built
// from the page's item list as a GtkMenu, with checks, separators and submenus. Choosing an item
// reaches the handler with the window that added it and the item's id. Main thread only.
#pragma once

#include <cstdint>

struct Dictionary;

typedef void (*NativeMenuActionFunc)(void* window, int32_t id);

// The handler of chosen items (null: none).
int64_t NativeWindow_SetMenuActionHandler(NativeMenuActionFunc handler);
// The application menu (a GtkMenu), for the window code to show; made on first need.
void* NativeWindow_GetDockMenu();

// Fills the application menu with the items for the window and hands it out in *menu. 0 when an
// element is not a dictionary with "id" and "text" (the items before it stay).
int64_t NativeWindow_CreateMenuFromDictionary(void* window, Dictionary* items, void* unused1, void* unused2,
                                              void** menu);
int64_t NativeWindow_CreateSubMenuFromDictionary(void* window, void* menu, Dictionary* items, void* unused1,
                                                 void* unused2);
// Checks (1) or unchecks the item with the id; 0 when the menu has no such item.
int64_t NativeWindow_SetMenuSelected(void* menu, int32_t id, int32_t selected);
// The item (a GtkMenuItem) with the id: in the menu, else in its submenus from the last item to
// the first, depth first; null when none.
void* NativeWindow_GetMenuItemById(void* menu, int32_t id);
// Removes the window's items from the application menu.
int64_t NativeWindow_ClearDockItems(void* window);
// Lets go of a menu handed out and clears the handle; the application menu itself stays.
int64_t NativeWindow_DeleteMenu(void** menu);
