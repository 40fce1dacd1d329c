// The WebKitGTK back end in a real skin window on an X display, its pages served by a loopback
// peer that stands as the development server: the page object in every frame calling a probe
// class through the script bridge (and refused to a frame or page of another origin), digests, page callbacks, simulated presses, alerts
// answered by xdotool; and the texts it builds for pages and credential questions.
#include "host/webkit/webkit_web_browser.h"

#include <gtest/gtest.h>

#include <thread>

#include "core/formats/interop.h"
#include "core/formats/json.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/web/challenge.h"
#include "host/host_web_browser.h"
#include "core/certs/authenticate.h"
#include "core/runtime/command_line.h"
#include "host/webkit/webkit_page.h"
#include "skin/linux/gtk/gtk_skin_window.h"
#include "skin/native_skin_window.h"
#include "skin/skin_app.h"
#include "skin/skin_window.h"
#include "skin/skin_window_internal.h"
#include "skin/web_browser.h"
#include "tests/host/page_responder.h"
#include "tests/skin/gtk_display.h"
#include "tests/support/log_capture.h"

namespace {

constexpr const char kPage[] = R"HTML(<html><head><script>
function report(text) { var x = new XMLHttpRequest(); x.open('POST', '/report', false); x.send(text); }
function DispatchInteropCallback(first, second) {
  if (first === 'alert') { alert(second); report('after-alert'); return; }
  if (first === 'popup') { window.open(second); return; }
  if (first === 'secret') {
    var frame = document.createElement('iframe');
    frame.onload = function () { report('secret|' + second + '|' + frame.contentDocument.body.textContent); };
    frame.src = '/secret?' + second;
    document.body.appendChild(frame);
    return;
  }
  report('callback|' + first + '|' + second);
}
window.addEventListener('load', function () {
  var n = NativeInterop, r = [];
  var id = n.createInstance('Test.Probe');
  r.push('create=' + (typeof id === 'string' && id.length > 0));
  r.push('invoke=' + n.invoke(id, '{"method":"ping"}'));
  r.push('has=' + n.hasInstance(id));
  r.push('release=' + n.releaseInstance(id));
  r.push('dead=' + n.invoke('dead-id', '{}'));
  r.push('wrong=' + [n.invoke(5, '{}'), n.createInstance(7), n.hasInstance({}), n.hash('SHA1', 3)].map(String).join(','));
  r.push('hash=' + n.hash('SHA256', 'h\u00e9llo'));
  r.push('badHash=' + n.hash('NOPE', 'x'));
  r.push('frame=' + typeof document.getElementById('f').contentWindow.NativeInterop);
  r.push('unknown=' + n.createInstance('Test.Nothing') + ',' + n.createInstance('Test.Probe\u0000x'));
  report(r.join(';'));
  // The same server under another name is another origin: its page may not call.
  var other = document.createElement('iframe');
  other.src = 'http://localhost:' + location.port + '/other.html';
  document.body.appendChild(other);
});
document.addEventListener('mousedown', function (e) { report('mousedown|' + e.button + '|' + e.clientX + '|' + e.clientY); });
</script></head><body style="margin:0"><iframe id="f" src="/frame.html"></iframe></body></html>)HTML";

constexpr const char kOtherPage[] = R"HTML(<html><head><script>
var x = new XMLHttpRequest(); x.open('POST', '/report', false);
x.send('other=' + NativeInterop.createInstance('Test.Probe') + ',' + NativeInterop.hasInstance('x'));
</script></head><body>other</body></html>)HTML";

std::string g_pageUrl;
// The pages' folder and the peer that serves them, the development server of the whole run: the
// skin's origin, which alone reaches native objects.
TempDir* g_site = nullptr;
PageResponder* g_peer = nullptr;

// "Test.Probe" answers "pong" to the method "ping" and nothing else.
int64_t CreateProbe(const char* className, char*, int32_t, void*, InteropExecuteFunc, InteropInvokeFunc* invoke,
                    InteropReleaseFunc* release, InteropProcessFunc* process, void** user) {
    if (strcmp(className, "Test.Probe") != 0) return 0;
    *invoke = [](void*, Dictionary* request, Dictionary* response) -> int64_t {
        char method[16] = "";
        Dictionary_GetStringByKey(request, "method", method, sizeof(method));
        if (strcmp(method, "ping") != 0) return 0;
        return Dictionary_SetStringByKey(response, "returnValue", "pong");
    };
    *release = [](void** u) -> int64_t { return (*u = nullptr), 1; };
    *process = [](void*) -> int64_t { return 1; };
    *user = nullptr;
    return 1;
}

const SkinWindowAppInterface kApp = {
    nullptr,
    [](const char* id, Dictionary*, char* url, int32_t capacity) -> int64_t {
        snprintf(url, (size_t)capacity, "%s?window=%s", g_pageUrl.c_str(), id);
        return 1;
    },
    [](const char*) -> int64_t { return 1; },
    nullptr,
    [](const char*, void**, uint32_t*) -> int64_t { return 0; },
    [](void*, uint32_t) -> int64_t { return 1; },
};

class WebKitEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        const std::string why = TestDisplayStart();
        ASSERT_EQ(why, "") << "GUI tests need an X display: " << why;
        ASSERT_EQ(GtkSkinWindow_Init(), 1) << "GTK could not open the display " << getenv("DISPLAY");
        ASSERT_EQ(Thread_Init(), 1);
        ASSERT_EQ(EventQueue_Init(), 1);
        ASSERT_EQ(Interop_Init(), 1);
        ASSERT_NE(Interop_Add(
                      "probe", +[]() -> int64_t { return 1; }, +[]() -> int64_t { return 1; }, CreateProbe,
                      +[](const char*, void*) -> int64_t { return 1; },
                      +[](const char*, const char*) -> int64_t { return 1; }),
                  nullptr);
        ASSERT_EQ(WebBrowser_Init(HostWebBrowser_GetNativeInterface(), ""), 1);
        NativeSkinWindow_SetInterface(GtkSkinWindow_GetInterface());
        SkinWindow_SetAppInterface(&kApp);
        SkinWindow_Init("test");
        g_site = new TempDir();
        WriteText(g_site->file("page.html"), kPage);
        WriteText(g_site->file("frame.html"), "<html><body>frame</body></html>");
        WriteText(g_site->file("other.html"), kOtherPage);
        g_peer = new PageResponder(g_site->path());
        ASSERT_NE(g_peer->port(), 0) << "the loopback peer did not start";
        // A development server is taken only while authentication is off, as in development.
        Authenticate_SetEnabled(0);
        ASSERT_EQ(CommandLine_Append(("--devserver=" + g_peer->url("")).c_str()), 1);
        ASSERT_EQ(SkinApp_IsSkinOrigin(g_peer->url("").c_str()), 1);
    }
    void TearDown() override {
        delete g_peer;
        delete g_site;
        SkinWindow_Remove();
        WebBrowser_Remove();
        Interop_Remove();
        EventQueue_Remove();
        Thread_Remove();
    }
};
::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new WebKitEnvironment);

std::string Sha256(const std::string& text) {
    TempDir dir;
    WriteText(dir.file("in"), text);
    FILE* out = popen(("sha256sum " + dir.file("in")).c_str(), "r");
    char digest[65] = "";
    if (out && fscanf(out, "%64s", digest) != 1) digest[0] = 0;
    if (out) pclose(out);
    return digest;
}

class WebKitWebBrowserTest : public LogLinesTest {
  protected:
    SkinWindow* window = nullptr;

    void SetUp() override {
        LogLinesTest::SetUp();
        ASSERT_EQ(NotificationCenter_Init(), 1);
        g_peer->clear();
    }
    void TearDown() override {
        if (window) SkinWindow_Release(&window);
        GtkSkinWindow_Pump(50);
        NotificationCenter_Remove();
        LogLinesTest::TearDown();
    }
    void Step() {
        if (window) SkinWindow_Process(window);
        GtkSkinWindow_Pump(10);
        EventQueue_Flush(nullptr);
        NotificationCenter_Process();
    }
    void Open(const PageResponder& peer) {
        g_pageUrl = peer.url("/page.html");
        ASSERT_EQ(SkinWindow_Create(&window), 1);
        Dictionary* config = nullptr;
        Dictionary_Create(&config);
        Dictionary_SetInt64ByKey(config, "minWidth", 400);
        Dictionary_SetInt64ByKey(config, "minHeight", 300);
        ASSERT_EQ(SkinWindow_LoadConfig(window, config), 1);
        Dictionary_Release(&config);
        SkinWindow_SetOrigin(window, 0, 0);
        SkinWindow_Show(window);
    }
    bool Logged(const PageResponder& peer, const std::string& text, int milliseconds = 20000) {
        return WaitFor([&] { return peer.log().find(text) != std::string::npos; }, [&] { Step(); },
                       milliseconds);
    }
};

TEST_F(WebKitWebBrowserTest, PageObjectCallsTheBridgeAndTakesCallbacks) {
    const PageResponder& peer = *g_peer;
    Open(peer);
    ASSERT_TRUE(Logged(peer, "report create=")) << peer.log();
    const std::string expected =
        "report create=true;invoke={\"returnValue\":\"pong\"};has=true;release=true;"
        "dead=undefined;wrong=undefined,undefined,false,undefined;hash=" +
        Sha256("h\xc3\xa9llo") + ";badHash=undefined;frame=object;unknown=undefined,undefined\n";
    EXPECT_NE(peer.log().find(expected), std::string::npos) << peer.log();
    EXPECT_TRUE(Logged(peer, "report other=undefined,false\n")) << peer.log();
    // The calls never went to the page's server.
    EXPECT_EQ(peer.log().find("instances"), std::string::npos) << peer.log();

    // Both texts reach the page as they are, quotes, separators and all.
    const std::string second = "{\"text\": \"a \\\"quoted\\\" line\xe2\x80\xa8"
                               "end\"}";
    ASSERT_EQ(SkinWindow_ExecuteScript(window, "cb-1", second.c_str(), nullptr), 1);
    EXPECT_TRUE(Logged(peer, "report callback|cb-1|" + second + "\n")) << peer.log();
}

// A page of another origin that the host itself sent the view to is no skin page: every call and
// digest is refused, as they are to a frame of another origin.
TEST_F(WebKitWebBrowserTest, APageTheHostOpenedElsewhereGetsNoNativeObjects) {
    PageResponder outside(g_site->path());
    ASSERT_NE(outside.port(), 0);
    Open(outside);
    ASSERT_TRUE(Logged(outside, "report create=")) << outside.log();
    EXPECT_NE(outside.log().find("report create=false;invoke=undefined;has=false;release=false;"
                                 "dead=undefined;wrong=undefined,undefined,false,undefined;hash=undefined;"
                                 "badHash=undefined;frame=object;unknown=undefined,undefined\n"),
              std::string::npos)
        << outside.log();
}

TEST_F(WebKitWebBrowserTest, PressesNeedExactlyOneButton) {
    const PageResponder& peer = *g_peer;
    Open(peer);
    ASSERT_TRUE(Logged(peer, "report create="));
    EXPECT_EQ(WebBrowser_SimulateMouseDown(window->Browser, 30, 340, 3), 0);
    EXPECT_EQ(WebBrowser_SimulateMouseDown(window->Browser, 30, 340, 4), 1);
    EXPECT_EQ(WebBrowser_SimulateMouseUp(window->Browser, 30, 340, 4), 1);
    EXPECT_TRUE(Logged(peer, "report mousedown|2|30|340\n")) << peer.log();
    GtkSkinWindow_Pump(300);
    EXPECT_EQ(peer.log().find("report mousedown|0"), std::string::npos) << peer.log();
    EXPECT_EQ(peer.log().find("report mousedown|1"), std::string::npos) << peer.log();
}

// The alert is our own box titled "Host"; xdotool plays the user who closes it.
TEST_F(WebKitWebBrowserTest, AlertShowsTheHostBox) {
    const PageResponder& peer = *g_peer;
    Open(peer);
    ASSERT_TRUE(Logged(peer, "report create="));
    bool answered = false;
    std::thread user([&] {
        answered = Xdo(
            "search --sync --onlyvisible --name '^Host$' mousemove --window %1 10 10 sleep 0.3 key Return");
    });
    SkinWindow_ExecuteScript(window, "alert", "hello", nullptr);
    EXPECT_TRUE(Logged(peer, "report after-alert")) << peer.log();
    user.join();
    EXPECT_TRUE(answered);
}

// A pop-up gets a window of its own, which goes when the page's window goes.
TEST_F(WebKitWebBrowserTest, PopupsOpenInWindowsThatCloseWithTheBrowser) {
    const PageResponder& peer = *g_peer;
    Open(peer);
    ASSERT_TRUE(Logged(peer, "report create="));
    SkinWindow_ExecuteScript(window, "popup", peer.url("/frame.html").c_str(), nullptr);
    EXPECT_TRUE(
        WaitFor([&] { return WebKitWebBrowser_GetPopupCount(window->Browser) == 1; }, [&] { Step(); }));
    ASSERT_EQ(WebBrowser_Unembed(window->Browser), 1);
    EXPECT_EQ(WebKitWebBrowser_GetPopupCount(window->Browser), 0);
}

// Credentials come only from answers the challenge service holds; without one the request goes
// on without credentials and the server's refusal stands, no prompt, no wait.
TEST_F(WebKitWebBrowserTest, CredentialsOnlyFromTheChallengeService) {
    const PageResponder& peer = *g_peer;
    ASSERT_EQ(Challenge_Init(0), 1);
    Open(peer);
    ASSERT_TRUE(Logged(peer, "report create="));
    SkinWindow_ExecuteScript(window, "secret", "none", nullptr);
    EXPECT_TRUE(Logged(peer, "report secret|none|\n")) << peer.log();

    const std::string host = "127.0.0.1:" + std::to_string(peer.port());
    Dictionary* request = nullptr;
    Dictionary* answer = nullptr;
    for (Dictionary** d : {&request, &answer}) {
        Dictionary_Create(d);
        Dictionary_AddString(*d, "filter", "webgetserver", nullptr);
        Dictionary_AddInt32(*d, "type", 0, nullptr);
        Dictionary_AddString(*d, "host", host.c_str(), nullptr);
        Dictionary_AddString(*d, "realm", "realm", nullptr);
    }
    Dictionary_AddString(answer, "username", "user", nullptr);
    Dictionary_AddString(answer, "password", "p w", nullptr);
    Challenge_Request(request, "test");
    Step();
    NotificationCenter_FireAfterDelay("Challenge", "PromptResponse", "ui", 0, answer);
    Dictionary_Release(&request);
    Dictionary_Release(&answer);
    for (int i = 0; i < 5; i++) Step();
    SkinWindow_ExecuteScript(window, "secret", "stored", nullptr);
    EXPECT_TRUE(Logged(peer, "report secret|stored|secret-ok\n")) << peer.log();
    SkinWindow_Release(&window);
    Challenge_Remove();
}

TEST(WebKitPage, ServerTextKeepsThePortApart) {
    const struct {
        const char* Host;
        uint32_t Port;
        int32_t Capacity;
        int64_t Result;
        const char* Text;
    } cases[] = {
        {"::1", 8080, 320, 1, "[::1]:8080"}, {"fe80::1%eth0", 443, 320, 1, "[fe80::1%eth0]:443"},
        {"[::1]", 80, 320, 1, "[::1]:80"},   {"proxy.example", 3128, 320, 1, "proxy.example:3128"},
        {"proxy.example", 3128, 10, 0, ""}, // cut short it would name another server
    };
    for (const auto& c : cases) {
        char text[320] = "x";
        EXPECT_EQ(WebKitPage_ServerText(c.Host, c.Port, text, c.Capacity), c.Result) << c.Host;
        EXPECT_STREQ(text, c.Text);
    }
}

TEST(WebKitPage, CallbackScriptQuotesBothTexts) {
    const struct {
        const char* First;
        const char* Second;
        const char* Script;
    } cases[] = {
        {"id", "{\"a\":1}", R"(DispatchInteropCallback("id", "{\"a\":1}");)"},
        {"</script>\\", "tab\there\nline",
         R"(DispatchInteropCallback("</script>\\", "tab\u0009here\u000aline");)"},
        {"\xe2\x80\xa8", "\xc3\xa9", "DispatchInteropCallback(\"\\u2028\", \"\xc3\xa9\");"},
        {"bad\xff", "\xc3", R"(DispatchInteropCallback("bad\ufffd", "\ufffd");)"},
    };
    for (const auto& c : cases) EXPECT_EQ(WebKitPage_CallbackScript(c.First, c.Second), c.Script);
}

TEST(WebKitPage, SchemeAddressesButtonsAndFlags) {
    const struct {
        const char* Path;
        const char* Algorithm;
    } paths[] = {{"/SHA256", "SHA256"}, {"/md5", "md5"}, {"/", ""},
                 {"/SHA-1", ""},        {"/../x", ""},   {"/ABCDEFGHIJKLMNOP", ""}};
    for (const auto& p : paths) {
        char algorithm[16] = "x";
        EXPECT_EQ(WebKitPage_HashAlgorithm(p.Path, algorithm, sizeof(algorithm)), p.Algorithm[0] ? 1 : 0)
            << p.Path;
        EXPECT_STREQ(algorithm, p.Algorithm);
    }
    const std::string longId(40, 'i');
    const struct {
        std::string Uri;
        int32_t Call;
        const char* Id;
    } calls[] = {{"skininterop://create/", WEBKITPAGE_CALL_CREATE, ""},
                 {"skininterop://create/mine", WEBKITPAGE_CALL_CREATE, "mine"},
                 {"skininterop://invoke/a%2Fb%c3%A9", WEBKITPAGE_CALL_INVOKE, "a/b\xc3\xa9"},
                 {"skininterop://has/" + longId.substr(1), WEBKITPAGE_CALL_HAS, longId.c_str() + 1},
                 {"skininterop://release/x", WEBKITPAGE_CALL_RELEASE, "x"},
                 {"skininterop://has/" + longId, WEBKITPAGE_CALL_NONE, ""},
                 {"skininterop://has/", WEBKITPAGE_CALL_NONE, ""},
                 {"skininterop://invoke/a?b", WEBKITPAGE_CALL_NONE, ""},
                 {"skininterop://invoke/a/b", WEBKITPAGE_CALL_NONE, ""},
                 {"skininterop://invoke/a%00", WEBKITPAGE_CALL_NONE, ""},
                 {"skininterop://invoke/a%2", WEBKITPAGE_CALL_NONE, ""},
                 {"skininterop://invoke/%zz", WEBKITPAGE_CALL_NONE, ""},
                 {"skininterop://digest/a", WEBKITPAGE_CALL_NONE, ""},
                 {"skinhash://invoke/a", WEBKITPAGE_CALL_NONE, ""},
                 {"skininteropx://invoke/a", WEBKITPAGE_CALL_NONE, ""}};
    for (const auto& c : calls) {
        char id[40] = "junk";
        EXPECT_EQ(WebKitPage_InteropCall(c.Uri.c_str(), id, sizeof(id)), c.Call) << c.Uri;
        EXPECT_STREQ(id, c.Id) << c.Uri;
    }
    const uint32_t words[] = {0, 1, 2, 3, 4, 5, 8, 9};
    const int32_t buttons[] = {0, 1, 2, 0, 3, 0, 0, 0};
    for (size_t i = 0; i < 8; i++) EXPECT_EQ(WebKitPage_Button(words[i]), buttons[i]) << words[i];

    // "awk.enablePlugins" wins over "awk.plugins"; neither leaves the setting alone.
    const struct {
        const char* Json;
        int64_t Result;
        uint32_t Value;
    } flags[] = {{R"({"awk": {"plugins": false}})", 1, 0},
                 {R"({"awk": {"enablePlugins": true, "plugins": false}})", 1, 1},
                 {R"({"awk": {"plugins": "yes"}})", 0, 0},
                 {"{}", 0, 0}};
    for (const auto& f : flags) {
        Dictionary* config = nullptr;
        Dictionary* root = nullptr;
        JSON* parser = nullptr;
        Dictionary_Create(&config);
        JSON_Create(&parser);
        JSON_SetDictionaryHandle(parser, config);
        ASSERT_EQ(JSON_LoadString(parser, "%s", f.Json), 1) << f.Json;
        JSON_Release(&parser);
        ASSERT_EQ(Dictionary_SkipRoot(config, &root), 1);
        uint32_t value = 7;
        EXPECT_EQ(WebKitPage_ConfigFlag(root, "awk.enablePlugins", "awk.plugins", &value), f.Result)
            << f.Json;
        EXPECT_EQ(value, f.Value) << f.Json;
        Dictionary_Release(&config);
    }
}

} // namespace
