// The client handler and the popup client against a recording engine and a headless skin window:
// request routing, external URLs, request headers, error pages, fitting to content, the screen
// scale, off-screen painting, popups and shutdown.
#include "host/cef/cef_client_handler.h"

#include <gtest/gtest.h>

#include <cstring>

#include "core/formats/base64.h"
#include "core/formats/interop.h"
#include "core/formats/json.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/web/web_get_redirect.h"
#include "host/cef/cef_client_handler_paint.h"
#include "host/cef/cef_popup_client_handler.h"
#include "host/cef/cef_web_browser.h"
#include "skin/localisation.h"
#include "skin/skin_app.h"
#include "tests/host/cef_fakes_browser.h"
#include "tests/skin/test_browser.h"
#include "tests/support/abort_hook.h"
#include "tests/support/log_capture.h"
#include "workflow/workflow_app.h"

namespace {

using Strings = std::vector<std::string>;

class HandlerEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ASSERT_EQ(Thread_Init(), 1);
        ASSERT_EQ(EventQueue_Init(), 1);
        ASSERT_EQ(Interop_Init(), 1);
        ASSERT_EQ(NotificationCenter_Init(), 1);
        ASSERT_EQ(L10N_Init(), 1);
        ASSERT_EQ(WebBrowser_Init(TestBrowser_GetInterface(), ""), 1);
        WebBrowserTask_SetInterface(CEFWebBrowserTask_GetInterface());
        NativeSkinWindow_SetInterface(TestNative_GetInterface());
        SkinWindow_Init("test");
        InstallTestAbortHook();
    }
    void TearDown() override {
        SkinWindow_Remove();
        WebBrowser_Remove();
        L10N_Remove();
        NotificationCenter_Remove();
        Interop_Remove();
        EventQueue_Remove();
        Thread_Remove();
    }
};
::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new HandlerEnvironment);

int g_unembedded = 0;
int64_t CountUnembed(void*) { return ++g_unembedded, 1; }

struct Painted {
    std::vector<uint8_t> pixels;
    int32_t size = -1, width = -1, height = -1;
    int calls = 0;
};
int64_t RecordView(ClientHandler*, void* user, const void* pixels, int32_t size, int32_t width, int32_t height) {
    auto* painted = static_cast<Painted*>(user);
    painted->calls++;
    painted->size = size;
    painted->width = width;
    painted->height = height;
    const auto* bytes = static_cast<const uint8_t*>(pixels);
    painted->pixels.assign(bytes, bytes + (pixels && width > 0 && height > 0 ? width * height * 4 : 0));
    return 1;
}

class FakeClient : public FakeCounted<CEFClient> {};

class CefClientHandlerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(WorkflowApp_Init("cef_client_handler_test.log", DEBUG_FLAG_EXTERNAL_PRINT), 1);
        CEFBrowserEngine_Set(&engine);
        g_unembedded = 0;
        TestNative() = TestNativeState();
        ASSERT_EQ(SkinWindow_Create(&window), 1);
        Dictionary* config = nullptr;
        JSON* parser = nullptr;
        Dictionary_Create(&config);
        JSON_Create(&parser);
        JSON_SetDictionaryHandle(parser, config);
        ASSERT_EQ(JSON_LoadString(parser, "%s",
                                  "{\"title\":\"Main Window\",\"width\":400,\"height\":300,\"minWidth\":500,"
                                  "\"minHeight\":100,\"popupFrame\":\"Resizable\"}"),
                  1);
        JSON_Release(&parser);
        ASSERT_EQ(SkinWindow_LoadConfig(window, config), 1);
        Dictionary_Release(&config);
        ASSERT_EQ(CEF5414ClientHandler_Create(&handler), 1);
        CEF5414ClientHandler_SetSkinWindowHandle(handler, window);
        CEF5414ClientHandler_SetUnembedCallback(handler, CountUnembed, nullptr);
        client = CEF5414ClientHandler_GetClient(handler);
        CEF5414ClientHandler_SetBrowser(handler, browser);
        EXPECT_EQ(log.Take(), Strings{"icon main set"});
    }
    void TearDown() override {
        CEF5414ClientHandler_Shutdown(handler);
        engine.DropTasks();
        client->Release();
        CEF5414ClientHandler_Release(&handler);
        Interop_RemoveInstancesActiveInRequester(nullptr);
        for (int i = 0; i < 5; i++) EventQueue_Flush(nullptr);
        SkinWindow_Release(&window);
        CEFBrowserEngine_Set(nullptr);
        WorkflowApp_Remove(nullptr);
        EXPECT_TRUE(arena.Balanced());
    }
    int32_t WindowWidth() {
        int32_t width = 0;
        SkinWindow_GetWidth(window, &width);
        return width;
    }
    int32_t WindowHeight() {
        int32_t height = 0;
        SkinWindow_GetHeight(window, &height);
        return height;
    }

    FakeArena arena;
    FakeLog log;
    std::string mainName = "main", popupName = "popup";
    FakeBrowserHost* host = arena.Make<FakeBrowserHost>(&log, &mainName, nullptr);
    FakePageFrame* mainFrame = arena.Make<FakePageFrame>(&arena, &log, SkinApp_GetContentUrl(), true);
    FakeHostBrowser* browser = arena.Make<FakeHostBrowser>(&arena, host, mainFrame);
    FakeBrowserEngine engine{&arena, &log};
    SkinWindow* window = nullptr;
    ClientHandler* handler = nullptr;
    CEFClient* client = nullptr;
};

TEST_F(CefClientHandlerTest, RoutesRequestsByFrameAndOrigin) {
    const std::string content = SkinApp_GetContentUrl();
    auto* skinPage = arena.Make<FakePageFrame>(&arena, &log, content + "index.html", true);
    auto* foreignPage = arena.Make<FakePageFrame>(&arena, &log, "https://elsewhere.example/", true);
    auto* skinChild = arena.Make<FakePageFrame>(&arena, &log, "https://video.example/", false, skinPage);
    auto* foreignChild = arena.Make<FakePageFrame>(&arena, &log, "https://ads.example/", false, foreignPage);
    auto* orphan = arena.Make<FakePageFrame>(&arena, &log, "https://ads.example/", false);
    // The skin's host under another scheme or port is another origin: no native objects.
    auto* plainPage = arena.Make<FakePageFrame>(&arena, &log, "http://" + content.substr(8) + "index.html", true);
    auto* portPage = arena.Make<FakePageFrame>(&arena, &log, content.substr(0, content.size() - 1) + ":444/", true);
    struct Case {
        CEFPageFrame* frame;
        std::string url;
        uint32_t popup;
        int32_t route;
    } cases[] = {
        {nullptr, "https://a.example/", 0, CLIENTHANDLER_ROUTE_ENGINE},
        {nullptr, "https://a.example/", 1, CLIENTHANDLER_ROUTE_POPUP_LOADER},
        {skinPage, "file:///etc/passwd", 0, CLIENTHANDLER_ROUTE_ENGINE},
        {skinPage, "data:text/html,hi", 1, CLIENTHANDLER_ROUTE_ENGINE},
        {skinPage, content + "app.js", 0, CLIENTHANDLER_ROUTE_SKIN},
        {skinPage, content + "instances/abc", 0, CLIENTHANDLER_ROUTE_INTEROP},
        {foreignPage, content + "instances/abc", 0, CLIENTHANDLER_ROUTE_ENGINE},
        {skinPage, "HTTPS://INTEROP/x", 0, CLIENTHANDLER_ROUTE_INTEROP},
        {foreignChild, "https://interop/x", 0, CLIENTHANDLER_ROUTE_ENGINE},
        {plainPage, "https://interop/x", 0, CLIENTHANDLER_ROUTE_ENGINE},
        {portPage, "https://interop/x", 0, CLIENTHANDLER_ROUTE_ENGINE},
        {plainPage, content + "instances/abc", 0, CLIENTHANDLER_ROUTE_ENGINE},
        {skinChild, "https://video.example/embed", 0, CLIENTHANDLER_ROUTE_LOADER},
        {foreignChild, "https://ads.example/frame", 0, CLIENTHANDLER_ROUTE_ENGINE},
        {orphan, "https://ads.example/frame", 0, CLIENTHANDLER_ROUTE_ENGINE},
        {skinPage, "https://video.example/embed", 0, CLIENTHANDLER_ROUTE_ENGINE},
        {skinPage, "https://video.example/embed", 1, CLIENTHANDLER_ROUTE_POPUP_LOADER},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CEFClientHandler_ChooseRoute(static_cast<CEFPageFrame*>(c.frame), c.url.c_str(), c.popup), c.route)
            << c.url << " popup " << c.popup;
}

TEST(CefClientHandlerRules, ExternalUrlsMatchFromTheHostOn) {
    Dictionary* patterns = nullptr;
    Dictionary_Create(&patterns);
    JSON* parser = nullptr;
    JSON_Create(&parser);
    JSON_SetDictionaryHandle(parser, patterns);
    ASSERT_EQ(JSON_LoadString(parser, "%s", "[\"*.example.com/out/*\", 7, \"store.test:8080*\"]"), 1);
    JSON_Release(&parser);
    Dictionary* list = nullptr;
    ASSERT_EQ(Dictionary_GetListByIndex(patterns, 0, &list), 1);
    struct Case {
        const char* url;
        int64_t external;
    } cases[] = {
        {"https://shop.example.com/out/x", 1},   {"https://me:pw@SHOP.Example.com/OUT/x?q=1", 1},
        {"http://store.test:8080/a", 1},         {"http://store.test/a", 0},
        {"https://example.com/out/x", 0},        {"https://shop.example.com/in/x", 0},
        {"mailto:me@store.test:8080", 0},        {"", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(CEFClientHandler_IsExternalUrl(c.url, list), c.external) << c.url;
    EXPECT_EQ(CEFClientHandler_IsExternalUrl("https://shop.example.com/out/x", nullptr), 0);
    Dictionary_Release(&patterns);
}

TEST_F(CefClientHandlerTest, RequestsGetAcceptLanguageAndTheFirstOpensDeveloperTools) {
    ASSERT_EQ(L10N_SetLanguage("de-AT"), 1);
    CEF5414ClientHandler_SetEnableDeveloperTools(handler, 1);
    auto* fresh = arena.Make<FakeRequest>();
    fresh->url = "https://a.example/x";
    auto* named = arena.Make<FakeRequest>();
    named->url = "https://a.example/y";
    named->headers = {{"accept-language", "fr"}};
    auto* callback = arena.Make<FakeCallback>();
    EXPECT_EQ(client->on_before_resource_load(browser, mainFrame, fresh, callback), RV_CONTINUE);
    EXPECT_EQ(client->on_before_resource_load(browser, mainFrame, named, callback), RV_CONTINUE);
    EXPECT_EQ(fresh->headers, (CEFHeaderMap{{"Accept-Language", "de-AT, de"}}));
    EXPECT_EQ(fresh->asked, Strings{"set https://a.example/x GET"});
    EXPECT_EQ(named->headers, (CEFHeaderMap{{"accept-language", "fr"}}));
    EXPECT_TRUE(named->asked.empty());
    EXPECT_EQ(log.Take(), Strings{"show_dev_tools Main Window - DevTools"});
    EXPECT_TRUE(callback->answers.empty());
}

TEST_F(CefClientHandlerTest, BrowserRedirectRulesRewriteRequestsAndRedirects) {
    ASSERT_EQ(WebGet_RedirectAdd("cdn", 2, 1, "^https://a\\.example/", "https://mirror.example/", 0, 0), 1);
    ASSERT_EQ(WebGet_RedirectAdd("http", 0, 1, "^https://b\\.example/", "https://other.example/", 0, 0), 1);
    auto* request = arena.Make<FakeRequest>();
    request->url = "https://a.example/page";
    request->headers = {{"Accept-Language", "en"}};
    EXPECT_EQ(client->on_before_resource_load(browser, mainFrame, request, nullptr), RV_CONTINUE);
    EXPECT_EQ(request->asked, Strings{"set https://mirror.example/page GET"});
    std::string redirected = "https://a.example/next";
    client->on_resource_redirect(browser, mainFrame, request, nullptr, &redirected);
    EXPECT_EQ(redirected, "https://mirror.example/next");
    // Rules of the HTTP client's own kind leave the browser alone.
    std::string other = "https://b.example/next";
    client->on_resource_redirect(browser, mainFrame, request, nullptr, &other);
    EXPECT_EQ(other, "https://b.example/next");
    WebGet_RedirectClearAll();
}

TEST_F(CefClientHandlerTest, ACertificateErrorStopsTheLoad) {
    auto* callback = arena.Make<FakeCallback>();
    EXPECT_EQ(client->on_certificate_error(browser, -200, "https://bad.example/", callback), 1);
    EXPECT_EQ(callback->answers, Strings{"cancel"});
}

std::string DecodeDataUrl(const std::string& url) {
    const std::string prefix = "data:text/html;base64,";
    if (url.compare(0, prefix.size(), prefix) != 0) return "not a data URL: " + url;
    std::string page(url.size(), '\0');
    uint32_t decoded = 0;
    if (!Base64_Decode(url.c_str() + prefix.size(), (int32_t)(url.size() - prefix.size()),
                       reinterpret_cast<uint8_t*>(page.data()), (int32_t)page.size(), &decoded))
        return "not Base64";
    page.resize(decoded);
    return page;
}

std::string ErrorPage(const std::string& link, const std::string& error) {
    return "<html><head><title>Page failed to load</title></head><body bgcolor=\"white\"><h3>Page failed to "
           "load.</h3><p>URL: <a href=\"" +
           link + "\">" + link + "</a><br/>Error: " + error + "</p></body></html>";
}

TEST_F(CefClientHandlerTest, AFailedLoadShowsTheErrorPage) {
    auto* child = arena.Make<FakePageFrame>(&arena, &log, "https://a.example/", false, mainFrame);
    client->on_load_error(browser, mainFrame, ERR_ABORTED, u"ERR_ABORTED", u"https://a.example/");
    EXPECT_TRUE(log.Take().empty());
    client->on_load_error(browser, child, -105, u"ERR_NAME_NOT_RESOLVED", u"https://a.example/\"><script>x</script>");
    const Strings asked = log.Take();
    ASSERT_EQ(asked.size(), 1u);
    ASSERT_EQ(asked[0].compare(0, 5, "load "), 0);
    // The failed URL is text in the page, never markup.
    EXPECT_EQ(DecodeDataUrl(asked[0].substr(5)),
              ErrorPage("https://a.example/&quot;&gt;&lt;script&gt;x&lt;/script&gt;", "ERR_NAME_NOT_RESOLVED (-105)"));
    // A URL longer than the page buffer still gives the whole page.
    const std::string longUrl = "https://a.example/" + std::string(30000, 'a');
    std::string dataUrl;
    ASSERT_EQ(CEFClientHandler_ErrorPageUrl(longUrl.c_str(), "E", -2, &dataUrl), 1);
    EXPECT_EQ(DecodeDataUrl(dataUrl), ErrorPage(longUrl, "E (-2)"));
}

TEST_F(CefClientHandlerTest, ARenderProcessThatEndsReadiesTheWindowForAnEmergencyClose) {
    struct Case {
        int32_t status;
        const char* message;
        uint32_t canClose;
    } cases[] = {
        {0, "Render process exited with non-zero exit status", 1},
        {1, "Render process was killed", 1},
        {2, "Render process crashed unexpectedly or was killed by OOM killer", 0},
        {3, "Render process was killed by OOM killer", 0},
        {4, "", 1},
    };
    Debug_PrintOverride(CaptureLog);
    for (const Case& c : cases) {
        SkinWindow_SetCanClose(window, 0);
        TakeLog();
        client->on_render_process_terminated(browser, c.status);
        const std::string printed = TakeLog();
        EXPECT_EQ(printed.empty() ? "" : printed.substr(printed.find(" - ") + 3), c.message[0] ? std::string(c.message) + "\n" : "")
            << c.status;
        uint32_t canClose = 9;
        SkinWindow_GetCanClose(window, &canClose);
        EXPECT_EQ(canClose, c.canClose) << c.status;
    }
    Debug_PrintOverride(nullptr);
}

TEST(CefClientHandlerRules, FitToContentStaysWithinMinimumAndScreen) {
    struct Case {
        int32_t content[2], minimum[2], screen[2];
        float factor;
        int32_t expected[2];
    } cases[] = {
        {{800, 600}, {0, 0}, {1920, 1080}, 1.0f, {800, 600}},
        {{3000, 2000}, {0, 0}, {1920, 1080}, 1.0f, {1920, 1080}},
        {{100, 50}, {500, 400}, {1920, 1080}, 1.0f, {500, 400}},
        {{100, 50}, {5000, 4000}, {1920, 1080}, 1.0f, {1920, 1080}},
        {{801, 301}, {0, 0}, {1920, 1080}, 1.5f, {1202, 452}},
        {{-5, 2147483647}, {10, 10}, {1920, 1080}, 2.0f, {20, 1080}},
    };
    for (const Case& c : cases) {
        int32_t width = -1, height = -1;
        CEFClientHandler_FitToContent(c.content[0], c.content[1], c.minimum[0], c.minimum[1], c.screen[0],
                                      c.screen[1], c.factor, &width, &height);
        EXPECT_EQ(width, c.expected[0]) << c.content[0];
        EXPECT_EQ(height, c.expected[1]) << c.content[1];
    }
}

TEST_F(CefClientHandlerTest, TheWindowFitsTheContentOnceTheDocumentIsThere) {
    browser->hasDocument = false;
    client->on_loading_state_change(browser, 1, 0, 0);
    EXPECT_TRUE(log.Take().empty());
    client->on_loading_state_change(browser, 0, 0, 0);
    EXPECT_EQ(log.Take(), Strings{"post 0 5"});
    EXPECT_EQ(engine.RunTasks(), 1u);
    EXPECT_EQ(log.Take(), Strings{"post 0 5"});
    browser->hasDocument = true;
    CEFEngine* saved = CEFEngine_Get();
    FakeEngine messages(&arena);
    CEFEngine_Set(&messages);
    EXPECT_EQ(engine.RunTasks(), 1u);
    CEFEngine_Set(saved);
    EXPECT_EQ(log.Take(), Strings{"message 1 ContentSize 0"});

    const int32_t before = WindowWidth();
    FakeValueMessage strings({std::string("a"), std::string("b")});
    EXPECT_EQ(client->on_process_message_received(browser, mainFrame, 1, &strings), 1);
    EXPECT_EQ(WindowWidth(), before);
    engine.textScale = 1.25f;
    FakeValueMessage size({int32_t(700), int32_t(50)});
    EXPECT_EQ(client->on_process_message_received(browser, mainFrame, 1, &size), 1);
    EXPECT_EQ((Strings{std::to_string(WindowWidth()), std::to_string(WindowHeight())}), (Strings{"875", "125"}));
    // The size has come: finished loads ask no more.
    client->on_loading_state_change(browser, 0, 0, 0);
    EXPECT_TRUE(log.Take().empty());
}

TEST_F(CefClientHandlerTest, ScreenScaleOnlyWithinOneToFour) {
    struct Case {
        int32_t dpi;
        float current;
        int32_t answer;
        float scale;
    } cases[] = {
        {144, 1.0f, 1, 1.5f}, {432, 1.0f, 0, 1.0f}, {72, 1.0f, 0, 1.0f},
        {192, 2.0f, 0, 1.0f}, {-1, 1.0f, 0, 1.0f},  {384, 1.0f, 1, 4.0f},
    };
    for (const Case& c : cases) {
        CEF5414ClientHandler_SetDeviceScaleFactor(handler, 1.0f);
        engine.dpi = c.dpi;
        CEFScreenInfo info{c.current, 24, {1, 2, 3, 4}, {1, 2, 3, 4}};
        EXPECT_EQ(client->get_screen_info(browser, &info), c.answer) << c.dpi;
        float scale = 0;
        CEF5414ClientHandler_GetDeviceScaleFactor(handler, &scale);
        EXPECT_EQ(scale, c.scale) << c.dpi;
        if (c.answer) {
            EXPECT_EQ(info.DeviceScaleFactor, c.scale);
            EXPECT_EQ(FakeRectText(info.Rect) + " " + FakeRectText(info.AvailableRect), "0,0,640,480 0,0,640,480");
        }
    }
}

// A frame of width x height whose every byte is value.
std::vector<uint8_t> Frame(int32_t width, int32_t height, uint8_t value) {
    return std::vector<uint8_t>((size_t)width * height * 4, value);
}

// One letter a pixel, '.' for 0.
std::string Pixels(const std::vector<uint8_t>& pixels, int32_t width) {
    std::string out;
    for (size_t i = 0; i < pixels.size(); i += 4) {
        if (i && (i / 4) % (size_t)width == 0) out += '/';
        out += pixels[i] ? (char)pixels[i] : '.';
    }
    return out;
}

TEST_F(CefClientHandlerTest, PaintCopiesDirtyRectanglesInsideTheView) {
    Painted painted;
    CEF5414ClientHandler_SetViewChangeCallback(handler, RecordView, &painted);
    const CEFRect all{0, 0, 4, 3};
    client->on_paint(browser, PET_VIEW, 1, &all, Frame(4, 3, 0).data(), 4, 3);
    const CEFRect dirty[] = {{1, 1, 2, 1}, {3, 2, 50, 50}, {-2, -2, 3, 3}, {2147483647, 0, 2147483647, 1},
                             {0, -2147483647 - 1, 1, 2147483647}};
    client->on_paint(browser, PET_VIEW, std::size(dirty), dirty, Frame(4, 3, 'v').data(), 4, 3);
    EXPECT_EQ(Pixels(painted.pixels, 4), "v.../.vv./...v");
    EXPECT_EQ(painted.size, 48);
    // An empty frame copies nothing and is still reported.
    client->on_paint(browser, PET_VIEW, 0, nullptr, nullptr, 0, 0);
    EXPECT_EQ((Strings{std::to_string(painted.calls), std::to_string(painted.width), std::to_string(painted.height)}),
              (Strings{"3", "0", "0"}));
    // A frame without pixels is not one.
    client->on_paint(browser, PET_VIEW, 1, &all, nullptr, 4, 3);
    EXPECT_EQ(painted.calls, 3);
}

TEST_F(CefClientHandlerTest, PopupIsLaidOverTheViewAndClippedAtItsEdges) {
    Painted painted;
    CEF5414ClientHandler_SetViewChangeCallback(handler, RecordView, &painted);
    const CEFRect all{0, 0, 4, 3};
    struct Case {
        CEFRect popup;
        const char* view;
    } cases[] = {
        {{1, 1, 2, 1}, "..../.ab./...."},
        {{-1, -1, 3, 3}, "ef../hi../...."},
        {{3, 1, 3, 2}, "..../...a/...d"},
        {{2, 2, 2, 5}, "..../..../..ab"},
        {{9, 9, 2, 2}, "..../..../...."},
    };
    for (const Case& c : cases) {
        client->on_popup_size(browser, c.popup);
        client->on_paint(browser, PET_VIEW, 1, &all, Frame(4, 3, 0).data(), 4, 3);
        std::vector<uint8_t> popup = Frame(c.popup.width, c.popup.height, 0);
        for (size_t i = 0; i < popup.size(); i += 4) popup[i] = (uint8_t)('a' + i / 4);
        client->on_paint(browser, PET_POPUP, 1, &c.popup, popup.data(), c.popup.width, c.popup.height);
        EXPECT_EQ(Pixels(painted.pixels, 4), c.view) << FakeRectText(c.popup);
        client->on_popup_show(browser, 0);
    }
    const Strings asked = log.Take();
    EXPECT_EQ(std::count(asked.begin(), asked.end(), "invalidate 0"), 5);
}

TEST_F(CefClientHandlerTest, ClosingWithPopupsWaitsForTheLastOne) {
    std::string firstName = "first", secondName = "second";
    FakeBrowserHost* hosts[] = {arena.Make<FakeBrowserHost>(&log, &firstName, &mainName),
                                arena.Make<FakeBrowserHost>(&log, &secondName, &mainName)};
    FakeHostBrowser* popups[] = {arena.Make<FakeHostBrowser>(&arena, hosts[0], nullptr),
                                 arena.Make<FakeHostBrowser>(&arena, hosts[1], nullptr)};
    for (auto* popup : popups) EXPECT_EQ(CEF5414ClientHandler_PopupCreated(handler, popup), 1);
    EXPECT_EQ(log.Take(),
              (Strings{"center first on main", "icon first set", "center second on main", "icon second set"}));
    client->on_before_close(popups[0]);
    EXPECT_TRUE(log.Take().empty());
    client->on_before_close(browser);
    EXPECT_EQ(log.Take(), (Strings{"close_browser 1", "close_browser 1"}));
    EXPECT_EQ(CEF5414ClientHandler_PopupClosed(handler, popups[1]), 1);
    EXPECT_EQ(g_unembedded, 0);
    EXPECT_EQ(CEF5414ClientHandler_PopupClosed(handler, popups[0]), 1);
    EXPECT_EQ(g_unembedded, 1);
    EXPECT_EQ(CEF5414ClientHandler_GetPopupCount(handler), 0);
    EXPECT_EQ(CEF5414ClientHandler_ExecuteScript(handler, "a", "b"), 0);
    // Nothing is painted after shutdown.
    Painted painted;
    CEF5414ClientHandler_SetViewChangeCallback(handler, RecordView, &painted);
    const CEFRect all{0, 0, 1, 1};
    client->on_paint(browser, PET_VIEW, 1, &all, Frame(1, 1, 1).data(), 1, 1);
    EXPECT_EQ(painted.calls, 0);
}

TEST_F(CefClientHandlerTest, DeletingAHandlerThatHoldsItsBrowserAborts) {
    EXPECT_DEATH(
        {
            ClientHandler* other = nullptr;
            CEF5414ClientHandler_Create(&other);
            CEF5414ClientHandler_SetBrowser(other, browser);
            CEF5414ClientHandler_Release(&other);
        },
        AbortRegex("Assertion failed (ClientHandler->Browser == NULL)\nClientHandler is not shut down"));
}

TEST_F(CefClientHandlerTest, PopupWindowsArePlacedAndTitledFromTheSkinWindow) {
    CEF5414ClientHandler_SetDeviceScaleFactor(handler, 2.0f);
    struct Case {
        CEFPopupFeatures features;
        Strings asked;
    } cases[] = {
        {{0, 0, 0, 0, 300, 1, 200, 1, 0, 0, 0, 0},
         {"title popup Main Window", "center popup on main", "icon popup set", "adjust 10,20 600x400",
          "move popup 13,23", "size popup 600x400", "frame popup 3"}},
        {{5, 1, 6, 1, 300, 0, 0, 0, 0, 0, 0, 0},
         {"title popup Main Window", "center popup on main", "icon popup set", "adjust 10,20 640x480",
          "move popup 5,6", "size popup 640x480", "frame popup 3"}},
    };
    engine.adjust = 3;
    auto* popupHost = arena.Make<FakeBrowserHost>(&log, &popupName, &mainName);
    auto* popupFrame = arena.Make<FakePageFrame>(&arena, &log, "https://a.example/", true);
    auto* popupBrowser = arena.Make<FakeHostBrowser>(&arena, popupHost, popupFrame);
    for (const Case& c : cases) {
        CEFClient* proposed = arena.Give(arena.Make<FakeClient>());
        CEFClient* given = proposed;
        ASSERT_EQ(client->on_before_popup(browser, mainFrame, "https://a.example/", c.features, &given), 0);
        ASSERT_NE(given, proposed);
        given->on_after_created(popupBrowser);
        EXPECT_EQ(log.Take(), c.asked);
        given->on_title_change(popupBrowser, "Page title");
        EXPECT_EQ(log.Take(), Strings{"title popup Main Window"});
        given->on_before_close(popupBrowser);
        EXPECT_EQ(CEF5414ClientHandler_GetPopupCount(handler), 0);
        given->Release();
    }
}

TEST_F(CefClientHandlerTest, APopupOpensDeveloperToolsOnItsFirstRequestOnly) {
    CEF5414ClientHandler_SetEnableDeveloperTools(handler, 1);
    CEFClient* given = nullptr;
    ASSERT_EQ(client->on_before_popup(browser, mainFrame, "https://a.example/", CEFPopupFeatures{}, &given), 0);
    const std::string longUrl = "https://a.example/" + std::string(120, 'p');
    for (int i = 0; i < 2; i++) {
        auto* request = arena.Make<FakeRequest>();
        request->url = longUrl;
        request->headers = {{"Accept-Language", "en"}};
        EXPECT_EQ(given->on_before_resource_load(browser, mainFrame, request, nullptr), RV_CONTINUE);
    }
    EXPECT_EQ(log.Take(), Strings{"show_dev_tools " + longUrl.substr(0, 99) + "... - DevTools"});
    // The main page's own first request opens none after a popup's.
    auto* request = arena.Make<FakeRequest>();
    request->headers = {{"Accept-Language", "en"}};
    client->on_before_resource_load(browser, mainFrame, request, nullptr);
    EXPECT_TRUE(log.Take().empty());
    given->on_before_close(browser);
    given->Release();
}

} // namespace
