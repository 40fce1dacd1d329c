// Builds the application menu a window adds its items to (the dock menu) from the page's list of
// items, through a builder the platform's menu code supplies. Portable: no toolkit here.
#pragma once

#include <cstdint>

struct Dictionary;

// Texts are cut to this many bytes, terminator included.
constexpr int32_t DOCKMENU_TEXT_SIZE = 320;
// Submenus nested deeper than this end the building, so that a page cannot exhaust the stack.
constexpr int32_t DOCKMENU_MAX_DEPTH = 8;

struct DockMenuBuilder {
    void* User;
    // Appends a plain item (checked or not) or a separator to the menu.
    void (*AddItem)(void* user, void* menu, int32_t id, const char* text, uint32_t checked);
    void (*AddSeparator)(void* user, void* menu, int32_t id);
    // A new, empty menu with that title; the builder fills it and then either attaches it to an
    // item of the parent menu or deletes it.
    void* (*NewSubMenu)(void* user, const char* text);
    void (*AttachSubMenu)(void* user, void* menu, int32_t id, const char* text, void* subMenu);
    void (*DeleteSubMenu)(void* user, void* subMenu);
};

// Each element of the list is a dictionary with "id" (integer) and "text" (string; one beginning
// with '-' is a separator), optionally "checked" (boolean) and "subMenu" (a list of the same
// form). The first element that is not such a dictionary, or a document that is not a list, ends
// the building with 0; the items made before it stay. A submenu is attached only when it was
// built whole.
int64_t DockMenu_Build(Dictionary* items, void* menu, const DockMenuBuilder* builder);
