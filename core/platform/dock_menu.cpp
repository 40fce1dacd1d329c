// The dock menu's items from the page's list: validation and the walk over submenus.
#include "core/platform/dock_menu.h"

#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/string.h"

namespace {

// A list held by an item says so; a document's root is a list when its items have no keys.
bool IsList(Dictionary* list) {
    Dictionary* parent = nullptr;
    DictionaryItem* item = nullptr;
    uint32_t type = 0;
    if (Dictionary_GetParent(list, &parent, &item) == 1)
        return Dictionary_ItemGetType(parent, item, &type) == 1 && type == DICTIONARY_TYPE_LIST;
    const char* key = nullptr;
    return Dictionary_ItemGetFirst(list, &item) != 1 || item == nullptr ||
           Dictionary_ItemGetKeyPtr(list, item, &key) != 1 || key == nullptr || key[0] == 0;
}

int64_t BuildList(Dictionary* list, void* menu, const DockMenuBuilder* b, int32_t depth) {
    if (depth > DOCKMENU_MAX_DEPTH || !IsList(list)) return 0;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(list, &item); item; Dictionary_ItemGetNext(list, item, &item)) {
        Dictionary* element = nullptr;
        uint32_t type = 0;
        Dictionary_ItemGetType(list, item, &type);
        if (type != DICTIONARY_TYPE_DICTIONARY || Dictionary_ItemGetDictionaryHandle(list, item, &element) != 1)
            return 0;
        uint32_t idType = 0, textType = 0;
        // Documents give their numbers as 64-bit floats; both number types are ids.
        if (Dictionary_GetTypeByKey(element, "id", &idType) != 1 ||
            (idType != DICTIONARY_TYPE_INT64 && idType != DICTIONARY_TYPE_FLOAT64) ||
            Dictionary_GetTypeByKey(element, "text", &textType) != 1 || textType != DICTIONARY_TYPE_STRING)
            return 0;
        int32_t id = 0;
        char text[DOCKMENU_TEXT_SIZE];
        Dictionary_GetInt32ByKey(element, "id", &id);
        Dictionary_GetStringByKey(element, "text", text, sizeof text);
        Dictionary* sub = nullptr;
        if (Dictionary_ContainsKey(element, "subMenu") == 1) {
            if (Dictionary_GetListByKey(element, "subMenu", &sub) != 1) return 0;
            void* subMenu = b->NewSubMenu(b->User, text);
            if (BuildList(sub, subMenu, b, depth + 1) == 1) {
                b->AttachSubMenu(b->User, menu, id, text, subMenu);
            } else {
                b->DeleteSubMenu(b->User, subMenu);
                return 0;
            }
        } else if (text[0] == '-') {
            b->AddSeparator(b->User, menu, id);
        } else {
            uint32_t checked = 0;
            Dictionary_GetBooleanByKey(element, "checked", &checked);
            b->AddItem(b->User, menu, id, text, checked ? 1 : 0);
        }
    }
    return 1;
}

} // namespace

int64_t DockMenu_Build(Dictionary* items, void* menu, const DockMenuBuilder* builder) {
    ASSERT_POINTER(items);
    ASSERT_POINTER(builder);
    Dictionary* list = nullptr;
    Dictionary_SkipRootContainer(items, &list);
    return BuildList(list, menu, builder, 0);
}
