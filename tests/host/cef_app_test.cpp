// The CEF back end's start-up against a recording engine, the switches it hands the engine and
// its child processes, and the render side's frame announcements and page messages.
#include "host/cef/cef_app.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "core/certs/authenticate.h"
#include "core/net/proxy_resolver.h"
#include "core/runtime/app_config_keys.h"
#include "core/runtime/command_line.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/notification_center.h"
#include "tests/support/scoped_env.h"
#include "tests/host/cef_fakes.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/log_capture.h"
#include "workflow/workflow_app.h"

namespace {

uint32_t g_authenticate = 0;
uint32_t AuthenticateAnswer() { return g_authenticate; }

using Strings = std::vector<std::string>;

class CefAppTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The environment is set before the proxy discovery thread starts and changed only once it
        // has ended: a setenv beside another thread's getenv can pull the table from under it.
        Proxies(nullptr, nullptr, nullptr);
        ASSERT_EQ(WorkflowApp_Init("cef_app_test.log", DEBUG_FLAG_EXTERNAL_PRINT), 1);
        int32_t pending = 1;
        StepUntil(
            [&] {
                char list[256] = "";
                ProxyResolver_GetProxyForURL("http://a.test/", list, sizeof(list), &pending);
                return pending == 0;
            },
            [] { std::this_thread::sleep_for(std::chrono::milliseconds(10)); });
        ASSERT_EQ(pending, 0) << "the proxy discovery did not end within 30 s";
        Debug_PrintOverride(CaptureLog);
        g_authenticate = 0;
        Authenticate_EnabledOverride(AuthenticateAnswer);
        CommandLine("prog");
        app = CEF5414CEFApp_GetApp();
    }
    void TearDown() override {
        CEFApp_AppRelease(&app);
        CEFEngine_Set(nullptr);
        Authenticate_EnabledOverride(nullptr);
        CommandLine_Remove();
        Debug_PrintOverride(nullptr);
        WorkflowApp_Remove(nullptr);
        SetBothEnv("http_proxy", nullptr);
        SetBothEnv("https_proxy", nullptr);
        SetBothEnv("no_proxy", nullptr);
        EXPECT_TRUE(arena.Balanced());
    }
    static void CommandLine(const char* text) {
        int32_t count = 0;
        char** vector = nullptr;
        if (Arguments_Get(&count, &vector) && vector) CommandLine_Remove();
        CommandLine_Init(text);
    }
    // The platform's proxies come from the environment; a proxy of another scheme stands for none.
    static void Proxies(const char* http, const char* https, const char* bypass) {
        SetBothEnv("http_proxy", http ? http : "socks5://none:1");
        SetBothEnv("https_proxy", https ? https : "socks5://none:1");
        SetBothEnv("no_proxy", bypass ? bypass : "");
    }
    static void Config(const char* path, const char* value) {
        Dictionary* config = nullptr;
        WorkflowApp_GetConfigHandle(&config);
        Dictionary_SetStringByPath(config, path, value);
    }
    Strings Process(const char* processType, FakeCommandLine& line) {
        EXPECT_EQ(CEFApp_OnBeforeCommandLineProcessing(app, processType, &line), 1);
        return line.asked;
    }

    FakeArena arena;
    CEFApp* app = nullptr;
};

TEST_F(CefAppTest, InitWithoutTheEngineLibrary) {
    TakeLog();
    EXPECT_EQ(CEF5414CEFWebBrowser_Init("/no/such/library"), 0);
    const std::string log = TakeLog();
    EXPECT_NE(log.find("Failed to load CEF library\n"), std::string::npos);
    EXPECT_EQ(CEF5414CEFWebBrowser_Remove(), 1);
}

TEST_F(CefAppTest, InitSteps) {
    const struct {
        const char* commandLine;
        bool loads, initializes;
        int32_t exitCode;
        const char* hash;
        int64_t result;
        Strings asked;
        const char* line;
    } cases[] = {
        {"prog", true, true, -1, nullptr, 1, {"load /lib", "execute", "initialize"},
         "CEF 109.1.18+gf1c41e4+chromium-109.0.5414.120\n"},
        {"prog", true, true, -1, "0000", 1, {"load /lib", "execute", "initialize"},
         "CEF library is incompatible with required one\n"},
        {"prog", false, true, -1, nullptr, 0, {"load /lib"}, "Failed to load CEF library\n"},
        {"prog", true, false, -1, nullptr, 0, {"load /lib", "execute", "initialize"}, "Failed to initialize CEF\n"},
        {"prog --type=renderer", true, true, 3, nullptr, 0, {"execute"}, "Exit Code - 3 (CEF)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        CommandLine(c.commandLine);
        FakeEngine engine(&arena);
        engine.loads = c.loads;
        engine.initializes = c.initializes;
        engine.exitCode = c.exitCode;
        if (c.hash) engine.hash = c.hash;
        CEFEngine_Set(&engine);
        TakeLog();
        EXPECT_EQ(CEF5414CEFWebBrowser_Init("/lib"), c.result);
        EXPECT_EQ(engine.asked, c.asked);
        const std::string log = TakeLog();
        EXPECT_NE(log.find(c.line), std::string::npos) << log;
        EXPECT_TRUE(CEFApp_AppHasOneRef(app));
        CEFEngine_Set(nullptr);
    }
}

TEST_F(CefAppTest, SettingsAndMacros) {
    Config("cef.offscreenRender", "true");
    Config("cef.persistSessionCookies", "true");
    Config("cef.cachePath", "/tmp/{host}");
    Config("cef.userAgent", "UA/{hostMajorVersion}");
    Config(kAppConfigAllowMultipleInstances, "true");
    FakeEngine engine(&arena);
    engine.version[3] = 120;
    CEFEngine_Set(&engine);
    TakeLog();
    ASSERT_EQ(CEF5414CEFWebBrowser_Init("/lib"), 1);
    const std::string log = TakeLog();
    EXPECT_EQ(engine.settings.NoSandbox, 0u);
    EXPECT_EQ(engine.settings.WindowlessRenderingEnabled, 1u);
    EXPECT_EQ(engine.settings.PersistSessionCookies, 1u);
    EXPECT_EQ(engine.settings.LogSeverity, 99);
    EXPECT_STREQ(engine.settings.CachePath, "/tmp/CEF");
    EXPECT_STREQ(engine.settings.UserAgent, "UA/109");
    EXPECT_NE(log.find("Manually setting cache path is incompatible with multiple instances\n"),
              std::string::npos);
    char text[128];
    WorkflowApp_ExpandString("{host} {hostVersion} {hostMajorVersion} {hostEngineVersion}", text, sizeof(text));
    EXPECT_STREQ(text, "CEF 109.1.18 109 109.1.18.120");

    engine.asked.clear();
    EXPECT_EQ(CEF5414CEFWebBrowser_Remove(), 1);
    CommandLine("prog --type=gpu-process");
    EXPECT_EQ(CEF5414CEFWebBrowser_Remove(), 1);
    EXPECT_EQ(engine.asked, (Strings{"clear schemes", "shutdown", "clear schemes"}));
}

TEST_F(CefAppTest, BrowserSwitchesAndProxies) {
    const char* kBypass = "--proxy-bypass-list=localhost;127.0.0.1";
    const struct {
        const char* commandLine;
        const char* http;
        const char* https;
        Strings asked; // after "--use-mock-keychain" and "--disable-gpu-shader-disk-cache"
    } cases[] = {
        {"prog --proxy=http://h1:1,h2:2", "http://p:8080", "q:8443",
         {"--proxy-server=http=h1:1;h2:2;http=p:8080;https=q:8443", kBypass}},
        {"prog --proxy=http://h1:1,h2:2", nullptr, nullptr, {"--proxy-server=http=h1:1;h2:2", kBypass}},
        {"prog --proxy=https://h1:1;h3", "http://p:8080", nullptr, {"--proxy-server=http=p:8080", kBypass}},
        {"prog --proxy=h3", nullptr, nullptr, {}},
        {"prog", nullptr, "q:8443", {"--proxy-server=https=q:8443", kBypass}},
        {"prog", nullptr, nullptr, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.commandLine);
        CommandLine(c.commandLine);
        Proxies(c.http, c.https, nullptr);
        FakeCommandLine line;
        Strings expected = {"--use-mock-keychain", "--disable-gpu-shader-disk-cache"};
        expected.insert(expected.end(), c.asked.begin(), c.asked.end());
        EXPECT_EQ(Process("", line), expected);
    }
    // The platform's own bypass list goes first, ended by a ";".
    CommandLine("prog --proxy=h1:1");
    Proxies(nullptr, nullptr, "example.org");
    FakeCommandLine line;
    const Strings asked = Process("", line);
    ASSERT_EQ(asked.size(), 4u);
    EXPECT_EQ(asked[3].rfind("--proxy-bypass-list=", 0), 0u);
    EXPECT_NE(asked[3].find("example.org"), std::string::npos);
    EXPECT_EQ(asked[3].substr(asked[3].size() - 20), ";localhost;127.0.0.1");
}

TEST_F(CefAppTest, SwitchesThatStopTheProxyList) {
    Proxies("http://p:8080", nullptr, nullptr);
    FakeCommandLine given;
    given.switches = {{"proxy-bypass-list", "x"}};
    EXPECT_EQ(Process("", given), (Strings{"--use-mock-keychain", "--disable-gpu-shader-disk-cache"}));

    Config("cef.offscreenRender", "true");
    Config("cef.cachePath", "/c");
    FakeCommandLine offscreen;
    EXPECT_EQ(Process("", offscreen), (Strings{"--use-mock-keychain", "--disable-gpu", "--disable-gpu-compositing",
                                               "--proxy-server=http=p:8080", "--proxy-bypass-list=localhost;127.0.0.1"}));

    CommandLine("prog --type=renderer");
    FakeCommandLine child;
    EXPECT_EQ(Process("renderer", child), Strings{});
}

TEST_F(CefAppTest, AuthenticationDropsRemoteDebugging) {
    CommandLine("prog --type=renderer");
    for (const uint32_t enabled : {0u, 1u}) {
        g_authenticate = enabled;
        FakeCommandLine line;
        line.switches = {{"remote-debugging-port", "9222"}, {"lang", "en"}, {"Remote-Debugging-Port", "1"}, {"flag", ""}};
        EXPECT_EQ(Process("renderer", line), enabled ? (Strings{"reset", "--lang=en", "--flag"}) : Strings{});
    }
}

TEST_F(CefAppTest, ChildProcessArguments) {
    const char* kOwn = " --debug=2 --debugdir=/d --debugfile=f.log --verbose=Net --skin=s --commit";
    const struct {
        const char* sandbox;
        Strings passed;
    } cases[] = {
        {"", {"--debug=2", "--verbose=Net", "--commit"}},
        {" --no-sandbox", {"--debug=2", "--debugdir=/d", "--debugfile=f.log", "--verbose=Net", "--commit"}},
    };
    for (const auto& c : cases) {
        CommandLine((std::string("prog") + kOwn + c.sandbox).c_str());
        CEFApp_AppRelease(&app);
        app = CEF5414CEFApp_GetApp();
        const char* types[] = {"gpu-process", "", "renderer"};
        const char* ids[] = {"--debugfileid=cef.a.gpu-process", "--debugfileid=cef.b", "--debugfileid=cef.c.renderer"};
        for (int i = 0; i < 3; i++) {
            FakeCommandLine child;
            if (types[i][0]) child.switches = {{"type", types[i]}};
            EXPECT_EQ(CEFApp_OnBeforeChildProcessLaunch(app, &child), 1);
            Strings expected = {ids[i], "--cefversion=5414"};
            expected.insert(expected.end(), c.passed.begin(), c.passed.end());
            EXPECT_EQ(child.asked, expected);
        }
        EXPECT_EQ(CEFApp_GetChildCount(app), 3u);
    }
}

TEST_F(CefAppTest, SubFramesAnnounceThemselves) {
    auto* main = arena.Make<FakeFrame>(&arena, 1, "https://skin/");
    auto* sub = arena.Make<FakeFrame>(&arena, 7, "https://x/a\"b\\c");
    FakeBrowser browser(&arena, main);
    EXPECT_EQ(CEFApp_OnContextCreated(app, &browser, main, nullptr), 1);
    EXPECT_TRUE(main->scripts.empty());
    EXPECT_EQ(CEFApp_OnContextCreated(app, &browser, sub, nullptr), 1);
    EXPECT_EQ(main->scripts,
              Strings{"window.postMessage({type:'frame', id: 7, location:\"https://x/a\\\"b\\\\c\"}, \"*\");"});
    EXPECT_TRUE(sub->scripts.empty());
}

TEST_F(CefAppTest, ScriptTaskMessages) {
    FakeEngine engine(&arena);
    CEFEngine_Set(&engine);
    auto* context = arena.Make<FakeV8Context>(&arena);
    auto* frame = arena.Make<FakeFrame>(&arena, 3, "https://skin/");
    frame->context = context;
    auto* run = arena.Make<FakeProcessMessage>(&arena, "CEFScriptTask_Run", std::vector<FakeProcessMessage::Argument>{
                                                                                std::string("one"), std::string("two")});
    // No callback on the page: nothing goes back.
    EXPECT_EQ(CEFApp_OnRenderProcessMessageReceived(app, nullptr, frame, 1, run), 0);

    auto* answer = arena.Make<FakeV8Value>(&arena, FakeV8Value::String);
    auto* function = arena.Make<FakeV8Value>(&arena, FakeV8Value::Function);
    context->global->keys["DispatchInteropCallback"] = function;
    function->body = [&](const Strings& args) {
        answer->text = "r:" + args[0] + args[1];
        return answer;
    };
    EXPECT_EQ(CEFApp_OnRenderProcessMessageReceived(app, nullptr, frame, 1, run), 1);
    EXPECT_EQ(function->calls, (std::vector<Strings>{{"one", "two"}}));
    ASSERT_EQ(frame->sent.size(), 1u);
    EXPECT_EQ(frame->sent[0].first, CEF_PROCESS_BROWSER);
    EXPECT_EQ(frame->sent[0].second->name, "CEFScriptTask_Run");
    EXPECT_EQ(frame->sent[0].second->args,
              (std::vector<FakeProcessMessage::Argument>{std::string("one"), std::string("r:onetwo")}));
    EXPECT_EQ(context->depth, 0);

    // A non-string answer, a third argument, another name or no frame: not handled.
    auto* number = arena.Make<FakeV8Value>(&arena, FakeV8Value::Int);
    function->body = [&](const Strings&) { return number; };
    EXPECT_EQ(CEFApp_OnRenderProcessMessageReceived(app, nullptr, frame, 1, run), 0);
    run->args.push_back(std::string("three"));
    EXPECT_EQ(CEFApp_OnRenderProcessMessageReceived(app, nullptr, frame, 1, run), 0);
    FakeProcessMessage other(&arena, "Other");
    EXPECT_EQ(CEFApp_OnRenderProcessMessageReceived(app, nullptr, frame, 1, &other), 0);
    EXPECT_EQ(CEFApp_OnRenderProcessMessageReceived(app, nullptr, nullptr, 1, run), 0);
    EXPECT_EQ(frame->sent.size(), 1u);
    frame->DropSent();
}

TEST_F(CefAppTest, ContentSize) {
    FakeEngine engine(&arena);
    CEFEngine_Set(&engine);
    auto* context = arena.Make<FakeV8Context>(&arena);
    auto* frame = arena.Make<FakeFrame>(&arena, 3, "https://skin/");
    frame->context = context;
    auto* width = arena.Make<FakeV8Value>(&arena, FakeV8Value::Int);
    auto* height = arena.Make<FakeV8Value>(&arena, FakeV8Value::Int);
    width->number = 800;
    height->number = 600;
    auto* pair = arena.Make<FakeV8Value>(&arena, FakeV8Value::Array);
    pair->items = {width, height};
    context->evalResult = pair;
    FakeProcessMessage request(&arena, "ContentSize");
    EXPECT_EQ(CEFApp_OnRenderProcessMessageReceived(app, nullptr, frame, 0, &request), 1);
    ASSERT_EQ(frame->sent.size(), 1u);
    EXPECT_EQ(frame->sent[0].second->name, "ContentSize");
    EXPECT_EQ(frame->sent[0].second->args, (std::vector<FakeProcessMessage::Argument>{800, 600}));
    EXPECT_EQ(context->evaluated,
              Strings{"[document.documentElement.scrollWidth,document.documentElement.scrollHeight]"});

    // Not two integers: unmeasured, nothing sent, still handled.
    height->kind = FakeV8Value::String;
    uint32_t w = 0, h = 0;
    EXPECT_EQ(CEFApp_GetContentSize(frame, &w, &h), 0);
    EXPECT_EQ(w, 0xFFFFFFFFu);
    EXPECT_EQ(h, 0xFFFFFFFFu);
    pair->items = {width};
    EXPECT_EQ(CEFApp_OnRenderProcessMessageReceived(app, nullptr, frame, 0, &request), 1);
    EXPECT_EQ(frame->sent.size(), 1u);
    EXPECT_EQ(context->depth, 0);
    frame->DropSent();
}

TEST_F(CefAppTest, WindowInfo) {
    int parent = 0;
    const struct {
        int32_t mode;
        uint32_t windowless;
        void* parent;
    } cases[] = {{0, 0, nullptr}, {1, 1, &parent}, {2, 0, &parent}};
    for (const auto& c : cases) {
        CEFWindowInfo info{};
        EXPECT_EQ(CEF5414CEFApp_WindowInfoInit(&info, &parent, 640, 480, c.mode, "main"), 1);
        EXPECT_EQ(info.WindowName, "main");
        EXPECT_EQ(info.Width, 640);
        EXPECT_EQ(info.Height, 480);
        EXPECT_EQ(info.WindowlessRenderingEnabled, c.windowless);
        EXPECT_EQ(info.Hidden, c.windowless);
        EXPECT_EQ(info.ParentView, c.parent);
        CEF5414CEFApp_WindowInfoFree(&info);
        EXPECT_EQ(info.WindowName, "");
    }
}

} // namespace
