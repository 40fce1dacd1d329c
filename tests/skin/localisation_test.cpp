// Tests of localisation: the order locale names are tried in, each locale loaded once, overrides
// of language and country, decoding of escapes and entities, and locale files that are refused.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "core/platform/stream_view.h"
#include "core/runtime/dictionary.h"
#include "skin/localisation.h"
#include "tests/support/log_capture.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

namespace {

const auto* const g_log = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

// Locale files by path, and every path the loader was asked for.
struct Files {
    std::map<std::string, std::string> text;
    std::vector<std::string> asked;
};

int64_t LoadFromMap(void* user, const char* path, Dictionary* target) {
    Files* files = static_cast<Files*>(user);
    files->asked.push_back(path);
    const auto found = files->text.find(path);
    if (found == files->text.end()) return 1;
    StreamView* view = nullptr;
    StreamView_Create(&view);
    StreamView_SetPointer(view, found->second.data(), (uint32_t)found->second.size(), (uint32_t)found->second.size());
    Stream* stream = nullptr;
    StreamView_GetStreamHandle(view, &stream);
    L10N_LoadLocaleStream(stream, target);
    StreamView_Delete(&view);
    return 1;
}

class L10NTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The system's language and country, as the platform reads them from the environment.
        SetBothEnv("LC_ALL", "de_AT.UTF-8");
        L10N_Init();
        L10N_SetLoadCallback(&files, LoadFromMap);
    }
    void TearDown() override {
        L10N_Remove();
        SetBothEnv("LC_ALL", nullptr);
    }

    std::pair<int64_t, std::string> Localize(const std::string& key, int32_t capacity = 256) {
        std::string text(std::max(capacity, (int32_t)key.size() + 1), '\0');
        text.replace(0, key.size(), key);
        const int64_t found = L10N_LocalizeString(text.data(), capacity);
        return {found, text.c_str()};
    }

    Files files;
};

TEST_F(L10NTest, TriesLanguageCountryThenEnglishAndLoadsEachLocaleOnce) {
    files.text["locale/en.json"] = R"({"only_en": "English text"})";
    files.text["locale/at.json"] = R"({"Host_Title": "aus at"})";
    char code[16];
    EXPECT_EQ(L10N_GetLanguage(code, sizeof(code)), 1);
    EXPECT_STREQ(code, "de");
    EXPECT_EQ(L10N_GetCountry(code, sizeof(code)), 1);
    EXPECT_STREQ(code, "AT");

    TakeLog();
    EXPECT_EQ(Localize("Missing_Key"), std::make_pair(int64_t(0), std::string("Missing_Key")));
    EXPECT_NE(TakeLog().find("Failed to localize (Missing_Key)"), std::string::npos);
    const std::vector<std::string> order = {"locale/de-at.json", "locale/de.json", "locale/at.json",
                                            "locale/en-us.json", "locale/en.json", "locale/us.json"};
    EXPECT_EQ(files.asked, order);
    EXPECT_EQ(Localize("Host_Title"), std::make_pair(int64_t(1), std::string("aus at")));
    EXPECT_EQ(Localize("only_en"), std::make_pair(int64_t(1), std::string("English text")));
    EXPECT_EQ(Localize("Missing_Key").first, 0);
    EXPECT_EQ(files.asked, order) << "no locale is read twice, found or not";

    // Overrides change only the names tried.
    L10N_SetLanguage("pt-BR");
    Localize("Missing_Key");
    ASSERT_GT(files.asked.size(), order.size());
    EXPECT_EQ(files.asked[order.size()], "locale/pt-br.json");
    // language override, country override after setting {text} with SetLanguage or SetCountry
    const std::tuple<const char*, bool, const char*, const char*> overrides[] = {
        {"fr", true, "fr", "AT"},  // the country override is cleared: the system's is back
        {"CH", false, "fr", "CH"},
        {"xx-YY", false, "xx", "YY"},
        {"german-AUSTRIA", true, "ger", "AUS"},
    };
    for (const auto& [text, language, wantLanguage, wantCountry] : overrides) {
        language ? L10N_SetLanguage(text) : L10N_SetCountry(text);
        L10N_GetLanguage(code, sizeof(code));
        EXPECT_STREQ(code, wantLanguage) << text;
        L10N_GetCountry(code, sizeof(code));
        EXPECT_STREQ(code, wantCountry) << text;
    }
    EXPECT_EQ(Localize("only_en").first, 1) << "found for every language";
    // A language set from script never names a file outside "locale/".
    L10N_SetLanguage("../");
    const size_t before = files.asked.size();
    Localize("Missing_Key");
    for (size_t i = before; i < files.asked.size(); i++)
        EXPECT_EQ(files.asked[i].find(".."), std::string::npos) << files.asked[i];
}

TEST_F(L10NTest, DecodesEscapesAndEntities) {
    files.text["locale/de-at.json"] = R"({"Greeting": "Gr&uuml;&szlig;e &amp; &#8364;5 &#x41;\u00e9",)"
                                      R"( "Twice": "one", "Twice": "two", "Long": "abcdefghij"})";
    EXPECT_EQ(Localize("Greeting"), std::make_pair(int64_t(1), std::string("Grüße & €5 Aé")));
    EXPECT_EQ(Localize("Twice").second, "two") << "later members replace earlier ones";
    EXPECT_EQ(Localize("Long", 6).second, "abcde") << "cut to the capacity";
}

TEST_F(L10NTest, FilesThatAreNotObjectsOfTextsChangeNothing) {
    TempDir dir;
    // text, loads
    const std::pair<std::string, bool> cases[] = {
        {R"({"A": "new", "B": "b"})", true},
        {R"({"A": "new", "B": 5})", false},
        {R"({"A": "new", "B": {"C": "c"}})", false},
        {R"({"A": "new", "B": ["c"]})", false},
        {R"(["A", "new"])", false},
        {R"("A")", false},
        {R"({"A": "new")", false},
        {"not json at all", false},
        {"", false},
    };
    for (const auto& [text, loads] : cases) {
        Dictionary* target = nullptr;
        Dictionary_Create(&target);
        Dictionary_SetStringByKey(target, "A", "old");
        const std::string path = dir.file("locale.json");
        ASSERT_TRUE(WriteText(path, text));
        EXPECT_EQ(L10N_FileLoadCallback(nullptr, path.c_str(), target), loads ? 1 : 0) << text;
        char value[16];
        Dictionary_GetStringByKey(target, "A", value, sizeof(value));
        EXPECT_STREQ(value, loads ? "new" : "old") << text;
        uint32_t count = 0;
        Dictionary_ItemGetCount(target, &count);
        EXPECT_EQ(count, loads ? 2u : 1u) << text;
        Dictionary_Release(&target);
    }
    Dictionary* target = nullptr;
    Dictionary_Create(&target);
    EXPECT_EQ(L10N_FileLoadCallback(nullptr, dir.file("missing.json").c_str(), target), 0);
    Dictionary_Release(&target);
}

TEST_F(L10NTest, MessageBoxShowsLocalisedCaptionAndText) {
    // Without a display the platform's box answers at once and logs what it would have shown.
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    files.text["locale/de.json"] = R"({"Crash_Title": "Absturz", "Crash_Text": "Es tut uns leid"})";
    TakeLog();
    EXPECT_EQ(L10N_MessageBoxOverride(nullptr, "Crash_Text", "Crash_Title", 16), 1);
    EXPECT_NE(TakeLog().find("Message box without a display (Absturz): Es tut uns leid"), std::string::npos);
    L10N_MessageBoxOverride(nullptr, "Plain words", nullptr, 0);
    EXPECT_NE(TakeLog().find("Message box without a display (): Plain words"), std::string::npos);
}

TEST(L10N, WithoutInitNothingIsFound) {
    char text[16] = "Key";
    EXPECT_EQ(L10N_LocalizeString(text, sizeof(text)), 0);
    EXPECT_STREQ(text, "Key");
}

} // namespace
