// The application menu as real GTK menu items: labels, checks, separators and submenus, the
// chosen item's window and id, and the window's items removed again.
#include "core/linux/gui/native_menu.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <string>
#include <vector>

#include "core/formats/json.h"
#include "core/runtime/dictionary.h"
#include "tests/core/linux/gui/desktop_peers.h"

namespace {

DesktopPeers* g_peers = nullptr;
std::vector<std::string> g_chosen;

class Menu : public ::testing::Test {
  public:
    static void SetUpTestSuite() {
        g_peers = new DesktopPeers;
        g_ready = g_peers->StartDisplay() && gtk_init_check(nullptr, nullptr);
        NativeWindow_SetMenuActionHandler([](void* window, int32_t id) {
            g_chosen.push_back(std::string(static_cast<const char*>(window)) + " " + std::to_string(id));
        });
    }
    static void TearDownTestSuite() { delete g_peers; }
    void SetUp() override { ASSERT_TRUE(g_ready) << "no X display (Xvfb) for GTK"; }
    static inline bool g_ready = false;

    static int64_t Add(const char* window, const std::string& json, void** menu) {
        Dictionary* items = nullptr;
        JSON* parser = nullptr;
        Dictionary_Create(&items);
        JSON_Create(&parser);
        JSON_SetDictionaryHandle(parser, items);
        JSON_LoadBuffer(parser, json.data(), (uint32_t)json.size());
        JSON_Release(&parser);
        const int64_t result =
            NativeWindow_CreateMenuFromDictionary(const_cast<char*>(window), items, nullptr, nullptr, menu);
        Dictionary_Release(&items);
        return result;
    }
};

// "label" or "label[x]" for check items, "-" for separators, "label{...}" for submenus.
std::string Describe(GtkWidget* menu) {
    std::string out;
    GList* children = gtk_container_get_children(GTK_CONTAINER(menu));
    for (GList* at = children; at; at = at->next) {
        GtkWidget* item = GTK_WIDGET(at->data);
        if (GTK_IS_SEPARATOR_MENU_ITEM(item)) {
            out += "- ";
            continue;
        }
        out += gtk_menu_item_get_label(GTK_MENU_ITEM(item));
        if (GTK_IS_CHECK_MENU_ITEM(item) && gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(item))) out += "[x]";
        if (GtkWidget* sub = gtk_menu_item_get_submenu(GTK_MENU_ITEM(item))) out += "{" + Describe(sub) + "}";
        out += " ";
    }
    g_list_free(children);
    return out;
}

} // namespace

TEST_F(Menu, BuiltChosenCheckedAndCleared) {
    void* menu = nullptr;
    ASSERT_EQ(Add("w1",
                  R"([{"id":1,"text":"One","checked":true},{"id":2,"text":"-"},)"
                  R"({"id":3,"text":"More","subMenu":[{"id":4,"text":"Deep"}]}])",
                  &menu),
              1);
    ASSERT_EQ(menu, NativeWindow_GetDockMenu());
    EXPECT_EQ(Describe(GTK_WIDGET(menu)), "One[x] - More{Deep } ");
    // A second window's list stops at its first bad element; what came before stays.
    void* other = nullptr;
    EXPECT_EQ(Add("w2", R"([{"id":5,"text":"Five"},{"id":6}])", &other), 0);
    EXPECT_EQ(Describe(GTK_WIDGET(menu)), "One[x] - More{Deep } Five ");
    gtk_menu_item_activate(GTK_MENU_ITEM(NativeWindow_GetMenuItemById(menu, 4)));
    gtk_menu_item_activate(GTK_MENU_ITEM(NativeWindow_GetMenuItemById(menu, 5)));
    EXPECT_EQ(NativeWindow_SetMenuSelected(menu, 1, 0), 1);
    EXPECT_EQ(NativeWindow_SetMenuSelected(menu, 4, 1), 1);
    EXPECT_EQ(NativeWindow_SetMenuSelected(menu, 99, 1), 0);
    EXPECT_EQ(g_chosen, (std::vector<std::string>{"w1 4", "w2 5"})) << "checks set by the program are no choice";
    EXPECT_EQ(Describe(GTK_WIDGET(menu)), "One - More{Deep[x] } Five ");
    EXPECT_EQ(NativeWindow_GetMenuItemById(menu, 77), nullptr);
    NativeWindow_ClearDockItems(const_cast<char*>("w1"));
    EXPECT_EQ(Describe(GTK_WIDGET(menu)), "Five ");
    NativeWindow_DeleteMenu(&other);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(Describe(GTK_WIDGET(NativeWindow_GetDockMenu())), "Five ") << "the application menu stays";
}
