// The dock menu's walk over the page's list: items, separators, checks, submenus, and where it
// stops on elements of the wrong shape.
#include "core/platform/dock_menu.h"

#include <gtest/gtest.h>

#include <string>

#include "core/formats/json.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"

namespace {

// Each menu is a string; a submenu is written into its parent as "id:text{...}" when attached.
const DockMenuBuilder kRecorder = {
    nullptr,
    [](void*, void* menu, int32_t id, const char* text, uint32_t checked) {
        *static_cast<std::string*>(menu) += std::to_string(id) + ":" + text + (checked ? "[x] " : " ");
    },
    [](void*, void* menu, int32_t id) { *static_cast<std::string*>(menu) += std::to_string(id) + ":- "; },
    [](void*, const char*) -> void* { return new std::string; },
    [](void*, void* menu, int32_t id, const char* text, void* sub) {
        auto* s = static_cast<std::string*>(sub);
        *static_cast<std::string*>(menu) += std::to_string(id) + ":" + text + "{" + *s + "} ";
        delete s;
    },
    [](void*, void* sub) { delete static_cast<std::string*>(sub); },
};

std::string Build(const std::string& json, int64_t* result) {
    Dictionary* items = nullptr;
    JSON* parser = nullptr;
    Dictionary_Create(&items);
    JSON_Create(&parser);
    JSON_SetDictionaryHandle(parser, items);
    EXPECT_EQ(JSON_LoadBuffer(parser, json.data(), (uint32_t)json.size()), 1) << json;
    JSON_Release(&parser);
    std::string menu;
    *result = DockMenu_Build(items, &menu, &kRecorder);
    Dictionary_Release(&items);
    return menu;
}

std::string Nested(int depth) {
    std::string json = "[{\"id\":0,\"text\":\"leaf\"}]";
    for (int i = 1; i <= depth; i++) json = "[{\"id\":" + std::to_string(i) + ",\"text\":\"s\",\"subMenu\":" + json + "}]";
    return json;
}

} // namespace

TEST(DockMenu, ItemsAndWhereBuildingStops) {
    const struct {
        std::string json;
        int64_t result;
        std::string menu;
    } cases[] = {
        {R"([{"id":1,"text":"One","checked":true},{"id":2,"text":"-sep"},{"id":3,"text":"Sub","subMenu":[{"id":4,"text":"In"}]},{"id":5,"text":"Two"}])",
         1, "1:One[x] 2:- 3:Sub{4:In } 5:Two "},
        {R"([{"id":1,"text":"One"},{"id":2}])", 0, "1:One "},
        {R"([{"id":1,"text":"One"},{"id":"2","text":"x"}])", 0, "1:One "},
        {R"([{"id":1,"text":"One"},7])", 0, "1:One "},
        {R"([{"id":3,"text":"Sub","subMenu":[{"id":4,"text":"In"},{"text":"bad"}]},{"id":5,"text":"Two"}])", 0, ""},
        {R"([{"id":3,"text":"Sub","subMenu":{"id":4,"text":"In"}}])", 0, ""},
        {R"({"id":1,"text":"One"})", 0, ""},
        {R"({"a":{"id":1,"text":"One"}})", 0, ""},
        {"[]", 1, ""},
        {Nested(DOCKMENU_MAX_DEPTH), 1, ""},
        {Nested(DOCKMENU_MAX_DEPTH + 1), 0, ""},
    };
    for (const auto& c : cases) {
        int64_t result = -1;
        const std::string menu = Build(c.json, &result);
        EXPECT_EQ(result, c.result) << c.json.substr(0, 80);
        if (c.json.size() < 200) {
            EXPECT_EQ(menu, c.menu) << c.json;
        }
    }
}

TEST(DockMenu, LongTextsAreCut) {
    int64_t result = 0;
    const std::string menu = Build("[{\"id\":9,\"text\":\"" + std::string(1000, 'a') + "\"}]", &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(menu, "9:" + std::string(DOCKMENU_TEXT_SIZE - 1, 'a') + " ");
}
