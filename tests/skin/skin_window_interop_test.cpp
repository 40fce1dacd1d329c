// The page's window object: answers by method name, bad arguments, simulated input, drags and
// dialogs whose answers reach the page's callback.
#include "skin/skin_window_interop.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>

#include "core/formats/interop.h"
#include "core/formats/json.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "skin/script_invoker.h"
#include "skin/skin_window_internal.h"
#include "tests/skin/test_browser.h"
#include "tests/skin/test_window_controls.h"
#include "tests/support/dictionary_text.h"
#include "tests/support/log_capture.h"

namespace {

class InteropEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        ASSERT_EQ(Thread_Init(), 1);
        ASSERT_EQ(EventQueue_Init(), 1);
        ASSERT_EQ(Interop_Init(), 1);
        ASSERT_EQ(WebBrowser_Init(TestBrowser_GetInterface(), ""), 1);
        NativeSkinWindow_SetInterface(TestNative_GetInterface());
        SkinWindowControls_SetInterface(TestControls_GetInterface());
        SkinWindowDialog_SetNativeInterface(TestDialogs_GetInterface());
    }
    void TearDown() override {
        WebBrowser_Remove();
        Interop_Remove();
        EventQueue_Remove();
        Thread_Remove();
    }
};
::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new InteropEnvironment);

constexpr const char* kNames[] = {"BeginMove", "EndMove", "Message"};

class SkinWindowInteropTest : public LogLinesTest {
  protected:
    SkinWindow* window = nullptr;
    InteropExecuteCallback* script = nullptr;
    std::vector<std::string> fired;    // "Name information"
    std::vector<std::string> executed; // texts the page's script contexts received

    void SetUp() override {
        LogLinesTest::SetUp();
        ASSERT_EQ(NotificationCenter_Init(), 1);
        TestBrowser() = TestBrowserState();
        TestNative() = TestNativeState();
        TestControls() = TestControlsState();
        ASSERT_EQ(SkinWindow_Create(&window), 1);
        for (const char* name : kNames) NotificationCenter_AddInstanceObserver("SkinWindow", name, Id(), this, Record);
        Interop_AddExecuteCallback(&script, this, Execute);
        Dictionary* config = nullptr;
        JSON* parser = nullptr;
        Dictionary_Create(&config);
        JSON_Create(&parser);
        JSON_SetDictionaryHandle(parser, config);
        ASSERT_EQ(JSON_LoadString(parser, "%s", R"({"title":"T","deep":{"k":5},"popupFrame":"Normal"})"), 1);
        JSON_Release(&parser);
        SkinWindow_LoadConfig(window, config);
        Dictionary_Release(&config);
        Pump();
        fired.clear();
        TestBrowser().Calls.clear();
    }
    void TearDown() override {
        for (const char* name : kNames)
            NotificationCenter_RemoveInstanceObserver("SkinWindow", name, Id(), this, Record);
        Interop_RemoveExecuteCallback(&script);
        Pump();
        SkinWindow_Release(&window);
        NotificationCenter_Remove();
        Interop_Process();
        LogLinesTest::TearDown();
    }

    const char* Id() { return window->Header.InstanceId; }

    static int64_t Record(void* user, const char*, const char* name, const char*, Dictionary* info) {
        static_cast<SkinWindowInteropTest*>(user)->fired.push_back(std::string(name) + " " + DictionaryAsJson(info));
        return 1;
    }
    static int64_t Execute(void* user, InteropExecuteCallback*, const char* text, void*) {
        static_cast<SkinWindowInteropTest*>(user)->executed.push_back(text);
        return 1;
    }
    void Pump() {
        for (int i = 0; i < 5; i++) {
            EventQueue_Flush(nullptr);
            NotificationCenter_Process();
        }
    }

    // One call of the method with the arguments (a JSON object): "returnValue" as JSON text
    // ("" when none) and the invoke's result after a slash.
    std::string Call(const char* method, const char* arguments = "{}") {
        Dictionary* request = nullptr;
        JSON* parser = nullptr;
        Dictionary_Create(&request);
        JSON_Create(&parser);
        JSON_SetDictionaryHandle(parser, request);
        JSON_LoadString(parser, "%s", arguments);
        JSON_Release(&parser);
        Dictionary* root = nullptr;
        Dictionary_SkipRoot(request, &root);
        if (!root) root = request;
        Dictionary_SetStringByKey(root, "method", method);
        Dictionary_SetInt32ByKey(root, "#methodHash",
                                 (int32_t)crc32(0, reinterpret_cast<const Bytef*>(method), (uInt)strlen(method)));
        Dictionary* result = nullptr;
        Dictionary_Create(&result);
        const int64_t handled = SkinWindow_Invoke(window, root, result);
        std::string text = DictionaryAsJson(result);
        const std::string prefix = "\"returnValue\":";
        if (text.rfind(prefix, 0) == 0) text = text.substr(prefix.size());
        Dictionary_Release(&result);
        Dictionary_Release(&request);
        return text + "/" + std::to_string(handled);
    }
};

TEST_F(SkinWindowInteropTest, AnswersByMethodName) {
    const struct {
        const char* method;
        const char* arguments;
        const char* answer;
    } calls[] = {
        {"setSize", R"({"width":-1,"height":5})", "false/1"},
        {"setSize", R"({"width":"10","height":5})", "false/0"},
        {"setSize", R"({"width":300})", "false/0"},
        {"setSize", R"({"width":300,"height":200})", "true/1"},
        {"getWidth", "{}", "300/1"},
        {"getHeight", "{}", "200/1"},
        {"setOrigin", R"({"x":7,"y":9})", "true/1"},
        {"getX", "{}", "7/1"},
        {"setMinSize", R"({"width":-4,"height":50})", "true/1"},
        {"getMinWidth", "{}", "0/1"},
        {"getMinHeight", "{}", "50/1"},
        {"setTitle", R"({"title":"A &amp; B"})", "true/1"},
        {"getTitle", "{}", R"("A & B"/1)"},
        {"setTitle", R"({"title":false})", "false/0"},
        {"setWindowFrame", R"({"windowFrame":"Popup"})", "true/1"},
        {"getWindowFrame", "{}", R"("Borderless"/1)"},
        {"setWindowFrame", R"({"windowFrame":"resizable"})", "true/1"},
        {"getWindowFrame", "{}", R"("Resizable"/1)"},
        {"getPopupFrame", "{}", R"("Normal"/1)"},
        {"getConfig", R"({"key":"deep.k","defaultValue":"d"})", R"("5"/1)"},
        {"getConfig", R"({"key":"deep.none","defaultValue":"d"})", R"("d"/1)"},
        {"getConfig", R"({"key":"title"})", "false/0"},
        {"getCanClose", "{}", "false/1"},
        {"setCanClose", "{}", "false/0"},
        {"getCanClose", "{}", "false/1"},
        {"setCanClose", R"({"canClose":true})", "true/1"},
        {"getCanClose", "{}", "true/1"},
        {"setCanMinimize", R"({"canMinimize":false})", "true/1"},
        {"getCanMinimize", "{}", "false/1"},
        {"getCanActivate", "{}", "true/1"},
        {"setCanActivate", R"({"canActivate":1})", "false/0"},
        {"setCanActivate", R"({"canActivate":false})", "true/1"},
        {"getCanActivate", "{}", "true/1"},
        {"restore", "{}", "false/1"},
        {"maximize", "{}", "true/1"},
        {"isMaximized", "{}", "true/1"},
        {"restore", "{}", "true/1"},
        {"isMaximized", "{}", "false/1"},
        {"isVisible", "{}", "false/1"},
        {"show", "{}", "true/1"},
        {"isVisible", "{}", "true/1"},
        {"setBigIcon", R"({"x":0,"y":0,"width":1,"height":1})", "false/1"},
        {"setCursor", R"({"cursor":"pointer"})", "true/1"},
        {"setContextMenu", R"({"menu":"{nope"})", "false/1"},
        {"notify", R"({"type":2,"caption":"C","message":"M"})", "true/1"},
        {"notify", R"({"type":2,"caption":"C"})", "false/0"},
        {"setTaskbarProgress", R"({"value":40})", "true/1"},
        {"saveImage", R"({"path":"/tmp/shot.png"})", "true/1"},
        {"sendMessage", R"({"message":"hi \"you\""})", "true/1"},
        {"noSuchMethod", "{}", "/0"},
        {"SetSize", R"({"width":1,"height":1})", "/0"},
    };
    for (const auto& c : calls) EXPECT_EQ(Call(c.method, c.arguments), c.answer) << c.method << " " << c.arguments;
    // A picture's path is taken whole, longer than a short buffer, or not at all: never cut.
    const std::string longName = "/tmp/" + std::string(400, 'l') + ".png";
    EXPECT_EQ(Call("saveImage", ("{\"path\":\"" + longName + "\"}").c_str()), "true/1");
    EXPECT_EQ(Call("saveImage", ("{\"path\":\"/tmp/" + std::string(1100, 'c') + ".png\"}").c_str()), "false/1");
    EXPECT_EQ(TestNative().Cursors, (std::vector<std::string>{"8"}));
    EXPECT_EQ(TestControls().Calls,
              (std::vector<std::string>{"Notify 2 C M", "Progress 40", "SaveImage /tmp/shot.png",
                                        "SaveImage " + longName}));
    EXPECT_EQ(fired, (std::vector<std::string>{R"(Message "message":"hi \"you\"")"}));
}

TEST_F(SkinWindowInteropTest, RequestWithoutMethodIsNotHandled) {
    Dictionary* request = nullptr;
    Dictionary* result = nullptr;
    Dictionary_Create(&request);
    Dictionary_Create(&result);
    Dictionary_SetStringByKey(request, "method", "getTitle");
    EXPECT_EQ(SkinWindow_Invoke(window, request, result), 0);
    EXPECT_EQ(DictionaryAsJson(result), "");
    Dictionary_Release(&request);
    Dictionary_Release(&result);
}

TEST_F(SkinWindowInteropTest, SimulatedInputReachesTheBrowserUnchanged) {
    Call("simulateKeyDown", R"({"virtualKey":65,"character":97,"extended":1,"modifier":8})");
    Call("simulateCharacter", R"({"virtualKey":65,"character":97,"extended":0,"modifier":0})");
    EXPECT_EQ(Call("simulateKeyUp", R"({"virtualKey":65,"character":97,"extended":1})"), "false/0");
    Call("simulateMouseDown", R"({"x":3,"y":4,"modifiers":1})");
    Call("simulateMouseMove", R"({"x":5,"y":6,"modifiers":0,"leave":true})");
    Call("simulateMouseWheel", R"({"x":5,"y":6,"delta":-120})");
    Call("simulateMouseUp", R"({"x":5,"y":6,"modifiers":1})");
    Call("simulatePaste");
    Call("simulateSelectAll");
    EXPECT_EQ(TestBrowser().Calls,
              (std::vector<std::string>{"SimulateKeyDown 65 97 1 8", "SimulateCharacter 65 97 0 0",
                                        "SimulateMouseDown 3 4 1", "SimulateMouseMove 5 6 0 1",
                                        "SimulateMouseWheel 5 6 -120", "SimulateMouseUp 5 6 1", "SimulatePaste",
                                        "SimulateSelectAll"}));
    EXPECT_TRUE(TestControls().Calls.empty()) << "no drag ran";
}

TEST_F(SkinWindowInteropTest, DragsEndOnLeftButtonRelease) {
    TestControls().MouseX = 100.7;
    TestControls().MouseY = 50.2;
    EXPECT_EQ(Call("beginMove"), "true/1");
    Call("simulateMouseMove", R"({"x":120,"y":45,"modifiers":1,"leave":false})");
    Call("simulateMouseUp", R"({"x":120,"y":45,"modifiers":2})");
    EXPECT_EQ(fired, (std::vector<std::string>{R"(BeginMove "x":100,"y":50)"})) << "no left button, no end";
    Call("simulateMouseUp", R"({"x":130,"y":40,"modifiers":9})");
    Call("simulateMouseUp", R"({"x":130,"y":40,"modifiers":1})");
    EXPECT_EQ(fired, (std::vector<std::string>{R"(BeginMove "x":100,"y":50)",
                                               R"(EndMove "x":100,"y":50,"deltaX":29,"deltaY":-10)"}));
    Call("beginSize");
    Call("simulateMouseMove", R"({"x":1,"y":1,"modifiers":1,"leave":false})");
    Call("simulateMouseUp", R"({"x":1,"y":1,"modifiers":1})");
    Call("simulateMouseMove", R"({"x":1,"y":1,"modifiers":1,"leave":false})");
    EXPECT_EQ(TestControls().Calls,
              (std::vector<std::string>{"BeginDrag 0", "ContinueDrag 0", "BeginDrag 1", "ContinueDrag 1",
                                        "EndLiveResize"}));
    EXPECT_EQ(fired.size(), 2u);
}

TEST_F(SkinWindowInteropTest, DialogAnswersReachThePageCallbackOnce) {
    TestControls().MessageBoxAnswer = 7;
    EXPECT_EQ(Call("messageBox", R"({"text":"Sure?","caption":"Q","type":12,"callbackId":"cb1"})"), "true/1");
    EXPECT_EQ(Call("messageBox", R"({"text":"Sure?","caption":"Q","type":12})"), "false/0");
    EXPECT_EQ(TestControls().Dialogs, (std::vector<std::string>{"box|Sure?|Q|4"}));
    EXPECT_TRUE(executed.empty()) << "answered after the call";
    Pump();
    ASSERT_EQ(executed.size(), 1u);
    for (const std::string& part : std::vector<std::string>{R"("callbackId":"cb1")", R"("type":"SkinWindow")",
                                   R"("successful":true,"result":8)", "\"sender\":\"" + std::string(Id()) + "\""})
        EXPECT_NE(executed[0].find(part), std::string::npos) << executed[0] << " lacks " << part;
    // A later answer of the same kind finds no callback waiting.
    NotificationCenter_FireWithJSON("SkinWindow", "MessageBoxResponse", Id(), R"({"successful":true,"result":1})");
    Pump();
    EXPECT_EQ(executed.size(), 1u);

    TestControls().ChooserAnswer = 0;
    Call("browseForFolder", R"({"text":"Where","startPath":"/opt","callbackId":"cb2"})");
    Call("browseForFile",
         R"({"text":"Pick","fileTypeDesc":"T","fileTypeExt":"*.t","startPath":"/s/","startFile":"a","callbackId":"cb3"})");
    Pump();
    // Both answers go to the page in one batch, the file chooser's first: it answers at once.
    ASSERT_EQ(executed.size(), 2u);
    const std::string& batch = executed[1];
    const size_t file = batch.find(R"("callbackId":"cb3")"), folder = batch.find(R"("callbackId":"cb2")");
    ASSERT_NE(file, std::string::npos) << batch;
    ASSERT_NE(folder, std::string::npos) << batch;
    EXPECT_LT(file, folder);
    EXPECT_NE(batch.find(R"("successful":false,"path":"")", folder), std::string::npos) << batch;
}

// A window that goes while its page still waits for a dialog's answer lets the callback go.
TEST_F(SkinWindowInteropTest, WindowGoesWithCallbacksWaiting) {
    SkinWindowDialog_SetUseThread(window->Dialog, 1);
    Call("messageBox", R"({"text":"t","caption":"c","type":0,"callbackId":"late"})");
    SkinWindow_Release(&window);
    SkinWindow_Create(&window);
    Pump();
    EXPECT_TRUE(executed.empty());
}

TEST_F(SkinWindowInteropTest, ClassIsReachableThroughTheLibrary) {
    char id[INTEROP_INSTANCE_ID_SIZE] = "";
    InteropInvokeFunc invoke = nullptr;
    InteropReleaseFunc release = nullptr;
    InteropProcessFunc process = nullptr;
    void* user = nullptr;
    ASSERT_EQ(SkinInterop_CreateInstance("QVR.SkinWindow", id, sizeof(id), window, nullptr, &invoke, &release,
                                         &process, &user),
              1);
    EXPECT_STREQ(id, Id());
    ASSERT_EQ(invoke, SkinWindow_Invoke);
    EXPECT_EQ(release(&user), 1);
}

} // namespace
