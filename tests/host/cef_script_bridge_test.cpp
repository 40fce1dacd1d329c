// The script bridge on both sides: the page's native functions against a recording render engine
// whose scripts run in Node.js with a recording XMLHttpRequest, and the browser side's handlers
// against real script instances of the skin.
#include "host/cef/cef_script_bridge.h"

#include <gtest/gtest.h>

#include <deque>

#include "core/formats/interop.h"
#include "core/platform/memory_stream.h"
#include "skin/native_skin_window.h"
#include "skin/script_invoker.h"
#include "skin/skin_app.h"
#include "skin/skin_window.h"
#include "tests/host/cef_fakes_bridge.h"
#include "tests/skin/test_browser.h"
#include "tests/support/log_capture.h"
#include "tests/support/oracle_process.h"
#include "tests/support/temp_dir.h"
#include "workflow/workflow_app.h"

namespace {

// Tasks for the user-interface thread wait here until the test runs them.
struct QueuedTask {
    WebBrowserTaskFunc execute, remove;
    int refs = 1;
    bool ran = false;
    void* data[4] = {};
};
std::deque<QueuedTask*> g_tasks;
QueuedTask* TaskOf(void* data) {
    return reinterpret_cast<QueuedTask*>(static_cast<char*>(data) - offsetof(QueuedTask, data));
}
void TaskRelease(QueuedTask* task) {
    if (--task->refs > 0) return;
    if (!task->ran && task->remove) task->remove(task->data);
    delete task;
}
const WebBrowserTaskInterface kTasks = {
    [](void** task, uint32_t size, WebBrowserTaskFunc execute, WebBrowserTaskFunc remove) -> int64_t {
        if (size > sizeof(QueuedTask::data)) return 0;
        *task = (new QueuedTask{execute, remove})->data;
        return 1;
    },
    [](void* task) -> int64_t { return TaskOf(task)->refs++, g_tasks.push_back(TaskOf(task)), 1; },
    [](void*, int64_t) -> int64_t { return 0; },
    [](void* task) -> void* { return TaskOf(task)->refs++, task; },
    [](void* task) -> int64_t { return TaskRelease(TaskOf(task)), 1; },
};
void RunTasks() {
    while (!g_tasks.empty()) {
        QueuedTask* task = g_tasks.front();
        g_tasks.pop_front();
        task->ran = true;
        task->execute(task->data);
        TaskRelease(task);
    }
}

class BridgeEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        ASSERT_EQ(WorkflowApp_Init("cef_script_bridge.log", DEBUG_FLAG_EXTERNAL_PRINT), 1);
        Debug_PrintOverride(CaptureLog);
        ASSERT_EQ(WorkflowApp_InitInterop(), 1);
        ASSERT_TRUE(Interop_Add("skin", SkinInterop_Init, SkinInterop_Remove, SkinInterop_CreateInstance,
                                SkinInterop_SetOverride, SkinInterop_SetOption));
        ASSERT_EQ(WebBrowser_Init(TestBrowser_GetInterface(), "lib"), 1);
        NativeSkinWindow_SetInterface(TestNative_GetInterface());
        ASSERT_EQ(SkinApp_Init(), 1);
        ASSERT_EQ(WebBrowserTask_SetInterface(&kTasks), 1);
    }
    void TearDown() override {
        SkinApp_Remove();
        WebBrowser_Remove();
        Debug_PrintOverride(nullptr);
        uint32_t code = 0;
        WorkflowApp_Remove(&code);
    }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new BridgeEnvironment);

// Runs a built script in Node.js: the lines its XMLHttpRequest saw ("open", "send"), then
// "result <json>" or "throw <message>", and "pwned" when the script changed the global marker.
std::string RunInNode(const std::string& script, int32_t status, const std::string& text) {
    TempDir dir;
    const std::string prelude = dir.file("prelude.js");
    const char* source = R"(const input = require('fs').readFileSync(0, 'utf8');
const cut = input.indexOf('\n');
const answer = JSON.parse(input.slice(0, cut));
globalThis.XMLHttpRequest = class {
  open(m, u, a) { console.log('open ' + m + ' ' + JSON.stringify(u) + ' ' + a); }
  send(b) { console.log('send ' + JSON.stringify(b)); this.status = answer[0]; this.responseText = answer[1]; }
};
try { console.log('result ' + JSON.stringify((0, eval)(input.slice(cut + 1)))); }
catch (e) { console.log('throw ' + e.constructor.name); }
if (globalThis.pwned) console.log('pwned');
)";
    EXPECT_TRUE(WriteText(prelude, source));
    std::string answer = "[" + std::to_string(status) + ",\"" + text + "\"]\n";
    auto out = RunOracle("/usr/bin/node " + prelude, answer + script, 30);
    EXPECT_TRUE(out.has_value());
    return out.value_or("(node failed)");
}

class ScriptInvokerBridgeTest : public ::testing::Test {
  protected:
    FakeArena arena;
    FakeRenderEngine engine{&arena};
    CEF5414CEFScriptInvoker* invoker = nullptr;
    CEFV8Handler* handler = nullptr;
    int32_t status = 200;
    std::string text;
    std::vector<std::string> node;

    void SetUp() override {
        ASSERT_EQ(CEF5414CEFScriptInvoker_Create(&invoker), 1);
        handler = CEF5414CEFScriptInvoker_GetV8Handler(invoker);
        engine.entered = arena.Make<FakeV8Context>(&arena);
        CEFRenderEngine_Set(&engine);
        // Every script runs in Node; the engine hands back what the page's request answered.
        engine.evaluate = [this](const std::string& code, FakeV8Value** result, std::string* exception) {
            const std::string out = RunInNode(code, status, text);
            node.push_back(out);
            if (out.rfind("result ", 0) != 0 && out.find("\nresult ") == std::string::npos) {
                *exception = "thrown";
                return false;
            }
            *result = engine.Answer(status, text);
            return true;
        };
    }
    void TearDown() override {
        handler->Release();
        CEF5414CEFScriptInvoker_Release(&invoker);
        CEFRenderEngine_Set(nullptr);
        EXPECT_TRUE(arena.Balanced());
    }
    // "result", or "! exception", of one native call with string arguments (a null one is a number).
    std::string Call(const char* name, std::vector<const char*> args) {
        std::vector<CEFV8Value*> values;
        for (const char* arg : args) {
            auto* value = arena.Make<FakeV8Value>(&arena, arg ? FakeV8Value::String : FakeV8Value::Int);
            value->text = arg ? arg : "";
            values.push_back(value);
        }
        CEFV8Value* result = nullptr;
        std::string exception;
        const bool known = handler->Execute(name, nullptr, (int32_t)values.size(), values.data(), &result, &exception);
        std::string outcome = known ? engine.Describe(result) : "unknown";
        if (!exception.empty()) outcome += " ! " + exception;
        if (result) result->Release();
        return outcome;
    }
};

TEST_F(ScriptInvokerBridgeTest, RefusedArgumentsThrowTheirTexts) {
    const struct {
        const char* name;
        std::vector<const char*> args;
        const char* expected;
    } cases[] = {
        {"invoke", {"i"}, "none ! Invoke - Invalid argument count"},
        {"invoke", {nullptr, "{}"}, "none ! Invoke - Invalid argument type (instanceId)"},
        {"invoke", {"i", nullptr}, "none ! Invoke - Invalid argument type (method)"},
        {"createInstance", {"w"}, "none ! CreateInstance - Invalid argument count"},
        {"createInstance", {nullptr, "T"}, "none ! CreateInstance - Invalid argument type (window instance id)"},
        {"createInstance", {"w", nullptr}, "none ! CreateInstance - Invalid argument type (type name)"},
        {"releaseInstance", {}, "none ! ReleaseInstance - Invalid argument count"},
        {"releaseInstance", {nullptr}, "none ! ReleaseInstance - Invalid argument type (instance id)"},
        {"hasInstance", {}, "none ! HasInstance - Invalid argument count"},
        {"hasInstance", {nullptr}, "none ! HasInstance - Invalid argument type (instance id)"},
        {"hash", {"md5"}, "none ! Hash - Invalid argument count"},
        {"hash", {nullptr, "x"}, "none ! Hash - Invalid argument type (algorithm)"},
        {"hash", {"md5", nullptr}, "none ! Hash - Invalid argument type (value)"},
        {"hash", {"sha3", "abc"}, "none ! Unsupported hash algorithm"},
        // Over the string's UTF-16 units, little-endian (hashlib over s.encode('utf-16-le')).
        {"hash", {"SHA256", "abc"}, "\"13e228567e8249fce53337f25d7970de3bd68ab2653424c7b8f9fd05e33caedf\""},
        {"hash", {"md5", "h\xC3\xA9llo w\xC3\xB6rld \xE2\x9C\x93 \xF0\x9F\x98\x80 \xE4\xB8\xAD"},
         "\"97dff9b1ed66f0b2fb1a694a338f3bf8\""},
        // Nothing is asked for an empty id, an apostrophe in any value, or another name.
        {"invoke", {"", "{}"}, "none"},
        {"hasInstance", {"it's"}, "none"},
        {"createInstance", {"w", "T", "c'"}, "none"},
        {"dispatch", {"x"}, "unknown"},
    };
    for (const auto& c : cases) EXPECT_EQ(Call(c.name, c.args), c.expected) << c.name;
    EXPECT_TRUE(engine.evaluated.empty());
}

TEST_F(ScriptInvokerBridgeTest, CallsBecomeRequestsAndAnswers) {
    const std::string id(32, 'e');
    const struct {
        const char* name;
        std::vector<const char*> args;
        int32_t status;
        const char* text;
        const char* node;
        const char* result;
    } cases[] = {
        {"createInstance", {"w1", "QVR.TextFileReader"}, 201, "n1",
         "open GET \"https://interop/?a=w1&b=QVR.TextFileReader&c=\" false\nsend null\nresult [201,\"n1\"]\n", "\"n1\""},
        {"createInstance", {"w1", "QVR.SkinApp", "r9"}, 0, "",
         "open GET \"https://interop/?a=w1&b=QVR.SkinApp&c=r9\" false\nsend null\nresult [0,\"\"]\n", "false"},
        {"hasInstance", {id.c_str()}, 204, "",
         "open HEAD \"https://interop/?a=eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee&b=&c=\" false\nsend null\nresult [204,\"\"]\n",
         "false"},
        {"releaseInstance", {"r1"}, 200, "",
         "open DELETE \"https://interop/?a=r1&b=&c=\" false\nsend null\nresult [200,\"\"]\n", "true"},
        // The binding reaches the browser as JSON text, in the same normalised form as always.
        {"invoke", {"i1", "{ \"method\" : \"x\", \"n\": [1, 2.50] }"}, 200, "{}",
         "open POST \"https://interop/?a=i1\" false\nsend \"{\\\"method\\\":\\\"x\\\",\\\"n\\\":[1,2.5]}\"\n"
         "result [200,\"{}\"]\n",
         "\"{}\""},
        // Every byte outside the unreserved set is percent-encoded, so that a URL parser keeps it.
        {"createInstance", {"w\\", "a\nb\xE2\x80\xA8", "%&# +?=~"}, 201, "z",
         "open GET \"https://interop/?a=w%5C&b=a%0Ab%E2%80%A8&c=%25%26%23%20%2B%3F%3D~\" false\nsend null\n"
         "result [201,\"z\"]\n",
         "\"z\""},
    };
    for (const auto& c : cases) {
        status = c.status;
        text = c.text;
        node.clear();
        EXPECT_EQ(Call(c.name, c.args), c.result) << c.name;
        ASSERT_EQ(node.size(), 1u) << c.name;
        EXPECT_EQ(node[0], c.node) << c.name;
    }
}

TEST_F(ScriptInvokerBridgeTest, ABindingNeverRunsAsCode) {
    const std::string refused = "open POST \"https://interop/?a=i1\" false\nthrow SyntaxError\n";
    const struct {
        const char* binding;
        std::string node;
    } cases[] = {
        {"1);globalThis.pwned=1;(", refused},
        {"globalThis.pwned=1", refused},
        {"'); globalThis.pwned=1; ('", refused},
        // Valid JSON that looks like code is only ever sent, as text.
        {"{\"a\":\"\\\\'+(globalThis.pwned=1)+'\"}",
         "open POST \"https://interop/?a=i1\" false\nsend \"{\\\"a\\\":\\\"\\\\\\\\'+(globalThis.pwned=1)+'\\\"}\"\n"
         "result [200,\"\"]\n"},
    };
    for (const auto& c : cases) {
        node.clear();
        Call("invoke", {"i1", c.binding});
        ASSERT_EQ(node.size(), 1u);
        EXPECT_EQ(node[0], c.node) << c.binding;
    }
}

TEST_F(ScriptInvokerBridgeTest, LongValuesArriveWholeOrFailClearly) {
    const std::string window(36, 'w'), type = "QVR." + std::string(250, 'T'), requested(39, 'r');
    status = 201;
    text = "x";
    EXPECT_EQ(Call("createInstance", {window.c_str(), type.c_str(), requested.c_str()}), "\"x\"");
    ASSERT_EQ(node.size(), 1u);
    EXPECT_EQ(node[0], "open GET \"https://interop/?a=" + window + "&b=" + type + "&c=" + requested +
                           "\" false\nsend null\nresult [201,\"x\"]\n");
    const std::string tooLong = type + std::string(26, 'T');
    EXPECT_EQ(Call("createInstance", {window.c_str(), tooLong.c_str()}),
              "none ! CreateInstance - Argument too long (type name)");
    EXPECT_EQ(Call("invoke", {std::string(40, 'i').c_str(), "{}"}), "none ! Invoke - Argument too long (instanceId)");
    EXPECT_EQ(node.size(), 1u);
}

TEST_F(ScriptInvokerBridgeTest, NothingHappensOutsideAContext) {
    engine.entered = nullptr;
    EXPECT_EQ(Call("hasInstance", {"i1"}), "none");
    EXPECT_TRUE(engine.evaluated.empty());
}

// ---- Browser side -------------------------------------------------------------------------------

class InteropTest : public ::testing::Test {
  protected:
    FakeArena arena;
    SkinWindow* window = nullptr;
    std::string windowId;

    void SetUp() override {
        ASSERT_EQ(SkinWindow_Create(&window), 1);
        char id[INTEROP_INSTANCE_ID_SIZE];
        SkinWindow_GetInstanceId(window, id, sizeof(id));
        windowId = id;
    }
    void TearDown() override {
        Interop_RemoveInstancesActiveInRequester(window);
        SkinWindow_Release(&window);
        Interop_Process();
        EXPECT_TRUE(arena.Balanced());
    }
    FakeBodyRequest* Request(const char* method, const std::string& url, const char* body = nullptr) {
        auto* request = arena.Make<FakeBodyRequest>(&arena);
        request->method = method;
        request->url = url;
        if (body) request->SetBody(body);
        return request;
    }
    struct Answer {
        std::string callback;  // what the deferred request's callback was told
        int32_t status = -1;
        std::string mime, body;
        CEFHeaderMap headers;
    };
    // Runs a request as the engine does: open, tasks, headers, reads of `piece` bytes.
    Answer Run(FakeBodyRequest* request, int32_t piece = 4096) {
        Answer answer;
        CEFResourceHandler* handler = CEFInterop_Start(request->url.c_str(), request);
        if (!handler) {
            answer.callback = "no handler";
            return answer;
        }
        auto* callback = arena.Make<FakeCallback>();
        bool now = false;
        EXPECT_TRUE(handler->Open(request, &now, callback));
        RunTasks();
        answer.callback = now ? "now" : callback->answers.empty() ? "none" : callback->answers[0];
        if (answer.callback == "now" || answer.callback == "continue") {
            auto* response = arena.Make<FakeResponse>();
            int64_t length = -1;
            std::string redirect;
            handler->GetResponseHeaders(response, &length, &redirect);
            answer.status = response->status;
            answer.mime = response->mimeType;
            answer.headers = response->headers;
            std::vector<char> buffer((size_t)piece);
            int32_t count = 0;
            for (int guard = 0; guard < 100 && handler->Read(buffer.data(), piece, &count, nullptr); guard++)
                answer.body.append(buffer.data(), (size_t)count);
            EXPECT_EQ((int64_t)answer.body.size(), length);
        }
        handler->Release();
        return answer;
    }
};

TEST_F(InteropTest, CallsReachTheScriptInstancesWithTheirStatus) {
    // A window asks for itself by a GET, then by a POSTed body naming an existing instance.
    Answer created = Run(Request("GET", "https://interop/?a=" + windowId + "&b=QVR.SkinWindow&c="), 7);
    EXPECT_EQ(created.callback, "continue");
    EXPECT_EQ(created.status, 201);
    EXPECT_EQ(created.mime, "text/plain");
    EXPECT_EQ(created.body, windowId);
    EXPECT_EQ(created.headers, (CEFHeaderMap{{"Access-Control-Allow-Origin", "*"}}));
    const std::string body = "{\"typename\":\"QVR.SkinWindow\",\"window\":\"" + windowId + "\",\"instanceId\":\"" +
                             windowId + "\"}";
    EXPECT_EQ(Run(Request("POST", "https://skin.invalid/instances/?q", body.c_str())).body, windowId);

    Answer app = Run(Request("GET", "https://interop/?a=" + windowId + "&b=QVR.SkinApp"));
    ASSERT_EQ(app.status, 201);
    Answer invoked = Run(Request("POST", "https://interop/?a=" + app.body,
                                 R"({"method":"expandString","expand":"a{Lower:XY}b"})"));
    EXPECT_EQ(invoked.status, 200);
    EXPECT_EQ(invoked.mime, "application/json");
    EXPECT_EQ(invoked.body, R"({"returnValue":"axyb"})");

    const struct {
        const char* method;
        std::string url;
        int32_t status;
    } steps[] = {
        {"HEAD", "https://interop/?a=" + app.body, 200},
        {"DELETE", "https://skin.invalid/instances/" + app.body + "?a=other", 200},
        {"HEAD", "https://interop/?a=" + app.body, 204},
        {"DELETE", "https://interop/?a=" + app.body, 204},
    };
    for (const auto& step : steps) {
        Interop_Process();
        Answer answer = Run(Request(step.method, step.url));
        EXPECT_EQ(answer.callback, "now");
        EXPECT_EQ(answer.status, step.status) << step.method << " " << step.url;
        EXPECT_EQ(answer.body, "");
    }
}

TEST_F(InteropTest, QueryValuesSurviveTheURLParser) {
    // Line breaks, tabs, spaces, separators and bytes beyond ASCII in the type name and the
    // requested id: the browser side must see the same values the page gave.
    const std::string type = "QVR.\nA b+c?d=e&f#g%41\t\xC3\xA9\r", requested = "r\r\n +=?/\x7F";
    std::string script;
    CEFScriptInvoker_BuildScript("GET", windowId, type, requested, nullptr, &script);
    const std::string out = RunInNode(script, 0, "");
    const std::string lead = "open GET \"";
    ASSERT_EQ(out.rfind(lead, 0), 0u) << out;
    const std::string url = out.substr(lead.size(), out.find('"', lead.size()) - lead.size());
    EXPECT_EQ(url.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~%&=?:/"),
              std::string::npos)
        << url;
    TakeLog();
    EXPECT_EQ(Run(Request("GET", url)).callback, "cancel");
    const std::string log = TakeLog();
    EXPECT_NE(log.find("Unhandled create instance (" + type + ":" + requested + ")"), std::string::npos) << log;
}

TEST_F(InteropTest, FailedCallsAreCancelled) {
    // The id of an object that is no window must never be taken for one.
    MemoryStream* stream = nullptr;
    MemoryStream_Create(&stream);
    char streamId[INTEROP_INSTANCE_ID_SIZE];
    MemoryStream_GetInstanceId(stream, streamId, sizeof(streamId));
    const struct {
        std::string url;
        const char* body;
    } cases[] = {
        {"https://interop/?a=" + std::string(streamId) + "&b=QVR.SkinApp", nullptr},
        {"https://interop/?a=" + windowId + "&b=QVR.NoSuchClass", nullptr},
        {"https://interop/?a=nobody&b=QVR.SkinApp", nullptr},
        {"https://interop/?a=nobody", "{\"method\":\"x\"}"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Run(Request(c.body ? "POST" : "GET", c.url, c.body)).callback, "cancel") << c.url;
    MemoryStream_Release(&stream);
}

TEST_F(InteropTest, MalformedRequestsGetNoHandler) {
    const std::string json = "{\"typename\":\"QVR.SkinApp\",\"window\":\"" + windowId + "\"}";
    const std::string padded = json + std::string(321 - json.size(), ' ');
    const std::string longWindow = "{\"typename\":\"QVR.SkinApp\",\"window\":\"" + windowId + "12345678\"}";
    const struct {
        const char* method;
        std::string url;
        const char* body;
    } cases[] = {
        {"PUT", "https://interop/?a=x", nullptr},
        {"OPTIONS", "https://interop/?a=x", nullptr},
        {"POST", "https://interop/?a=x", nullptr},
        {"POST", "https://interop/?a=x", ""},
        {"POST", "https://skin.invalid/instances/", padded.c_str()},
        {"POST", "https://skin.invalid/instances/", "{\"typename\":\"QVR.SkinApp\"}"},
        // An id longer than its field would be cut into some other instance's.
        {"POST", "https://skin.invalid/instances/", longWindow.c_str()},
        {"GET", "https://interop/?a=" + windowId + "&b=" + std::string(280, 'T'), nullptr},
        {"GET", "https://interop/?a=" + windowId + "&b=T&c=" + std::string(40, 'c'), nullptr},
        {"HEAD", "https://interop/?a=" + std::string(40, 'a'), nullptr},
        {"DELETE", "https://skin.invalid/instances/" + std::string(40, 'a'), nullptr},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Run(Request(c.method, c.url, c.body)).callback, "no handler") << c.method << " " << c.url;
    EXPECT_EQ(Run(Request("POST", "https://skin.invalid/instances/", padded.substr(0, 320).c_str())).body.size(), 32u);

    // Bodies of more than one element, of a file, or too large to hold are refused unread.
    for (int shape = 0; shape < 3; shape++) {
        FakeBodyRequest* request = Request("POST", "https://interop/?a=x", "{}");
        if (shape == 0) request->body->elements.push_back(arena.Make<FakePostElement>());
        if (shape == 1) request->body->elements[0]->type = PDE_TYPE_FILE;
        if (shape == 2) request->body->elements[0]->claimed = 2147483647;
        EXPECT_EQ(CEFInterop_Start(request->url.c_str(), request), nullptr) << shape;
    }
}

TEST_F(InteropTest, ACancelledRequestIsNeverAnswered) {
    FakeBodyRequest* request = Request("GET", "https://interop/?a=" + windowId + "&b=QVR.SkinApp");
    CEFResourceHandler* handler = CEFInterop_Start(request->url.c_str(), request);
    ASSERT_NE(handler, nullptr);
    auto* callback = arena.Make<FakeCallback>();
    bool now = true;
    ASSERT_TRUE(handler->Open(request, &now, callback));
    EXPECT_FALSE(now);
    handler->Cancel();
    RunTasks();
    EXPECT_TRUE(callback->answers.empty());
    int64_t skipped = 0;
    EXPECT_FALSE(handler->Skip(4, &skipped, nullptr));
    EXPECT_EQ(skipped, -328);
    handler->Release();
}

TEST(ScriptTaskTest, CallbacksGoToTheMainFrame) {
    FakeArena arena;
    FakeEngine engine(&arena);
    CEFEngine_Set(&engine);
    auto* frame = arena.Make<FakeFrame>(&arena, 1, "https://skin/");
    auto* browser = arena.Make<FakeBrowser>(&arena, frame);
    EXPECT_EQ(CEF5414CEFScriptTask_Run(browser, "{\"type\":\"Task\"}", "cb7"), 1);
    ASSERT_EQ(frame->sent.size(), 1u);
    EXPECT_EQ(frame->sent[0].first, CEF_PROCESS_RENDERER);
    EXPECT_EQ(frame->sent[0].second->name, "CEFScriptTask_Run");
    EXPECT_EQ(frame->sent[0].second->args,
              (std::vector<FakeProcessMessage::Argument>{std::string("{\"type\":\"Task\"}"), std::string("cb7")}));
    frame->DropSent();
    browser->main = nullptr;
    EXPECT_EQ(CEF5414CEFScriptTask_Run(browser, "a", "b"), 0);
    CEFEngine_Set(nullptr);
    EXPECT_TRUE(arena.Balanced());
}

} // namespace
