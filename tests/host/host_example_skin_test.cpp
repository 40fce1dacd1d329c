// The example skin as its page sees it: the calls the page makes through the script bridge answer
// the localised title in each language the skin carries, and the facts it shows.
#include <gtest/gtest.h>

#include <string>

#include "core/formats/interop.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "skin/localisation.h"
#include "skin/script_invoker.h"
#include "skin/skin_app.h"
#include "skin/skin_file.h"
#include "workflow/workflow_app.h"

namespace {

int64_t MergeConfig(void*, Dictionary* config) { return WorkflowApp_LoadConfigFromDictionary(config); }

class ExampleSkin : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(WorkflowApp_Init("host_example_skin.log", DEBUG_FLAG_EXTERNAL_PRINT), 1);
        SkinFile_Init();
        L10N_Init();
        ASSERT_EQ(SkinFile_Attach(HOST_SOURCE_DIR "/examples/demo"), 1);
        SkinApp_Init();
        SkinApp_SetConfigLoadedCallback(nullptr, MergeConfig);
        Dictionary* config = nullptr;
        WorkflowApp_GetConfigHandle(&config);
        ASSERT_EQ(SkinApp_LoadConfig(config), 1);
        WorkflowApp_InitInterop();
        Interop_Add("example", SkinInterop_Init, SkinInterop_Remove, SkinInterop_CreateInstance,
                    SkinInterop_SetOverride, SkinInterop_SetOption);
    }
    void TearDown() override {
        SkinApp_Remove();
        SkinFile_Remove();
        L10N_Remove();
        uint32_t code = 0;
        WorkflowApp_Remove(&code);
    }

    static std::string Create(const char* className) {
        char id[INTEROP_INSTANCE_ID_SIZE] = "";
        Interop_DispatchCreateInstance(className, id, sizeof(id), nullptr, nullptr, nullptr);
        return id;
    }

    // The reply's "returnValue" text, for a binding as the page builds it (method and its CRC-32).
    static std::string Call(const std::string& id, const std::string& method, const std::string& arguments) {
        const std::string request = "{\"method\":\"" + method + "\",\"methodHash\":" +
                                    std::to_string((int32_t)Crc(method)) + "," + arguments + "}";
        MemoryStream* out = nullptr;
        MemoryStream_Create(&out);
        MemoryStream_SetAutoGrow(out, 1);
        Interop_DispatchInvokeJSON(id.c_str(), request.c_str(), out);
        uint8_t* bytes = nullptr;
        uint64_t length = 0;
        MemoryStream_GetPointer(out, &bytes);
        MemoryStream_Length(out, &length);
        std::string reply(reinterpret_cast<char*>(bytes), (size_t)length);
        MemoryStream_ReleasePointer(out, &bytes);
        MemoryStream_Release(&out);
        return reply;
    }

    static uint32_t Crc(const std::string& text) {
        uint32_t crc = 0xffffffffu;
        for (unsigned char c : text) {
            crc ^= c;
            for (int bit = 0; bit < 8; bit++) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
        }
        return ~crc;
    }
};

TEST_F(ExampleSkin, PageGetsItsTitleInEachLanguageAndItsFacts) {
    const std::string skinApp = Create("QVR.SkinApp");
    const std::string app = Create("QVR.WorkflowApp");
    ASSERT_FALSE(skinApp.empty());
    ASSERT_FALSE(app.empty());
    struct Case {
        const char* language;
        const char* title;
    } const cases[] = {{"de", "Quarvelon-Host bei der Arbeit"}, {"en", "Quarvelon host at work"}};
    for (const Case& c : cases) {
        Call(skinApp, "setLanguage", std::string("\"language\":\"") + c.language + "\"");
        EXPECT_EQ(Call(skinApp, "localizeString", "\"expand\":\"Demo_Title\""),
                  std::string("{\"returnValue\":\"") + c.title + "\"}")
            << c.language;
    }
    const std::string platform = Call(app, "expandString", "\"expand\":\"{SystemName}\"");
    EXPECT_EQ(platform.find("{SystemName}"), std::string::npos) << platform;
    EXPECT_NE(platform.find("Linux"), std::string::npos) << platform;
}

} // namespace

namespace {

// Every text the host itself shows through the skin's locale (message boxes, the update window)
// exists in each language the example carries, so that no user meets a raw key.
TEST_F(ExampleSkin, HostTextsAreTranslatedInEachLanguage) {
    const std::string skinApp = Create("QVR.SkinApp");
    const char* const keys[] = {"Host",           "Host_SelfUpdating",     "Host_SingleInstance",
                                "Host_WebServerTimeout", "Host_ElevationFail", "Host_DataStoreExpired",
                                "Host_DataStoreMissing", "Crash_Title",        "Crash_Message"};
    for (const char* language : {"en", "de"}) {
        Call(skinApp, "setLanguage", std::string("\"language\":\"") + language + "\"");
        for (const char* key : keys) {
            const std::string reply = Call(skinApp, "localizeString", std::string("\"expand\":\"") + key + "\"");
            EXPECT_EQ(reply.find(std::string("\"") + key + "\""), std::string::npos) << language << " " << reply;
            EXPECT_GT(reply.size(), std::string("{\"returnValue\":\"\"}").size() + 4) << language << " " << key;
        }
    }
}

} // namespace
