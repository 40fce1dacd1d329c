// Feeds arbitrary page documents to the dock-menu builder, which must refuse what is not a list
// of items and never recurse without bound; the builder here only counts and frees.
#include <cstdint>
#include <cstring>

#include "core/formats/json.h"
#include "core/platform/dock_menu.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"

namespace {

struct Menu {
    uint32_t Items = 0;
};

const DockMenuBuilder kBuilder = {
    nullptr,
    [](void*, void* menu, int32_t, const char* text, uint32_t) {
        if (strlen(text) >= DOCKMENU_TEXT_SIZE) __builtin_trap();
        static_cast<Menu*>(menu)->Items++;
    },
    [](void*, void* menu, int32_t) { static_cast<Menu*>(menu)->Items++; },
    [](void*, const char*) -> void* { return new Menu; },
    [](void*, void* menu, int32_t, const char*, void* sub) {
        static_cast<Menu*>(menu)->Items++;
        delete static_cast<Menu*>(sub);
    },
    [](void*, void* sub) { delete static_cast<Menu*>(sub); },
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Debug_Init(nullptr, nullptr, 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 16)) return 0;
    Dictionary* items = nullptr;
    JSON* parser = nullptr;
    Dictionary_Create(&items);
    JSON_Create(&parser);
    JSON_SetDictionaryHandle(parser, items);
    if (JSON_LoadBuffer(parser, data, (uint32_t)size) == 1) {
        Menu menu;
        DockMenu_Build(items, &menu, &kBuilder);
    }
    JSON_Release(&parser);
    Dictionary_Release(&items);
    return 0;
}
