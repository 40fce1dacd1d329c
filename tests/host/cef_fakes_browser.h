// Recording stand-ins for the engine's browsers, hosts, frames, tasks and windows: each keeps
// what it was asked to do as text, so tests compare the engine's side exactly.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "host/cef/cef_engine_browser.h"
#include "tests/host/cef_fakes.h"

// What every fake of one test was asked, in order.
struct FakeLog {
    std::vector<std::string> asked;
    void Add(std::string line) { asked.push_back(std::move(line)); }
    std::vector<std::string> Take() { return std::exchange(asked, {}); }
};

inline std::string FakeRectText(const CEFRect& r) {
    return std::to_string(r.x) + "," + std::to_string(r.y) + "," + std::to_string(r.width) + "," +
           std::to_string(r.height);
}

class FakePageFrame : public FakeCounted<CEFPageFrame> {
  public:
    FakePageFrame(FakeArena* arena, FakeLog* log, std::string url, bool main, FakePageFrame* parent = nullptr)
        : arena(arena), log(log), url(std::move(url)), main(main), parent(parent) {}
    int64_t GetIdentifier() override { return main ? 1 : 2; }
    std::string GetURL() override { return url; }
    void ExecuteJavaScript(const char* code, const char*, int32_t) override { log->Add(std::string("js ") + code); }
    CEFV8Context* GetV8Context() override { return nullptr; }
    void SendProcessMessage(int32_t target, CEFProcessMessage* message) override {
        log->Add("message " + std::to_string(target) + " " + message->GetName() + " " +
                 std::to_string(message->GetArgumentCount()));
    }
    CEFURLRequest* CreateURLRequest(CEFRequest*, CEFURLRequestClient*) override { return nullptr; }
    bool IsMain() override { return main; }
    CEFPageFrame* GetParentFrame() override { return parent ? arena->Give(parent) : nullptr; }
    void LoadURL(const char* u) override { log->Add(std::string("load ") + u); }
    void Undo() override { log->Add("undo"); }
    void Redo() override { log->Add("redo"); }
    void Cut() override { log->Add("cut"); }
    void Copy() override { log->Add("copy"); }
    void Paste() override { log->Add("paste"); }
    void Delete() override { log->Add("del"); }
    void SelectAll() override { log->Add("select_all"); }

    FakeArena* arena;
    FakeLog* log;
    std::string url;
    bool main;
    FakePageFrame* parent;
};

class FakeBrowserHost : public FakeCounted<CEFBrowserHost> {
  public:
    FakeBrowserHost(FakeLog* log, void* window, void* opener) : log(log), window(window), opener(opener) {}
    void* GetWindowHandle() override { return window; }
    void* GetOpenerWindowHandle() override { return opener; }
    void CloseBrowser(int32_t force) override { log->Add("close_browser " + std::to_string(force)); }
    void CloseDevTools() override { log->Add("close_dev_tools"); }
    void ShowDevTools(const CEFWindowInfo& info, const CEFBrowserSettings&) override {
        log->Add("show_dev_tools " + info.WindowName);
    }
    void WasResized() override { log->Add("was_resized"); }
    void WasHidden(int32_t hidden) override { log->Add("was_hidden " + std::to_string(hidden)); }
    void NotifyScreenInfoChanged() override { log->Add("notify_screen_info_changed"); }
    void NotifyMoveOrResizeStarted() override { log->Add("notify_move_or_resize_started"); }
    void Invalidate(int32_t type) override { log->Add("invalidate " + std::to_string(type)); }
    void SetFocus(int32_t focus) override { log->Add("set_focus " + std::to_string(focus)); }
    void SendCaptureLostEvent() override { log->Add("send_capture_lost_event"); }
    void SendKeyEvent(const CEFKeyEvent& e) override {
        log->Add("key " + std::to_string(e.Type) + " " + std::to_string(e.Modifiers) + " " +
                 std::to_string(e.NativeKeyCode) + " " + std::to_string(e.Character) + " " +
                 std::to_string(e.UnmodifiedCharacter));
    }
    void SendMouseMoveEvent(const CEFMouseEvent& e, int32_t leave) override {
        log->Add("move " + Mouse(e) + " " + std::to_string(leave));
    }
    void SendMouseClickEvent(const CEFMouseEvent& e, int32_t button, int32_t up, int32_t clicks) override {
        log->Add("click " + Mouse(e) + " " + std::to_string(button) + " " + std::to_string(up) + " " +
                 std::to_string(clicks));
    }
    void SendMouseWheelEvent(const CEFMouseEvent& e, int32_t dx, int32_t dy) override {
        log->Add("wheel " + Mouse(e) + " " + std::to_string(dx) + " " + std::to_string(dy));
    }
    static std::string Mouse(const CEFMouseEvent& e) {
        return std::to_string(e.X) + "," + std::to_string(e.Y) + " " + std::to_string(e.Modifiers);
    }
    FakeLog* log;
    void* window;
    void* opener;
};

class FakeHostBrowser : public FakeCounted<CEFHostBrowser> {
  public:
    FakeHostBrowser(FakeArena* arena, FakeBrowserHost* host, FakePageFrame* main)
        : arena(arena), host(host), main(main), focused(main) {}
    CEFFrame* GetMainFrame() override { return main ? arena->Give(main) : nullptr; }
    CEFBrowserHost* GetHost() override { return host ? arena->Give(host) : nullptr; }
    CEFPageFrame* GetMainPageFrame() override { return main ? arena->Give(main) : nullptr; }
    CEFPageFrame* GetFocusedFrame() override { return focused ? arena->Give(focused) : nullptr; }
    bool HasDocument() override { return hasDocument; }
    bool CanGoBack() override { return canGoBack; }
    bool IsSame(CEFHostBrowser* other) override { return other == this; }
    FakeArena* arena;
    FakeBrowserHost* host;
    FakePageFrame* main;
    FakePageFrame* focused;
    bool hasDocument = true, canGoBack = false;
};

// A message whose arguments are strings or integers.
class FakeValueMessage : public FakeCounted<CEFValueMessage> {
  public:
    using Argument = FakeProcessMessage::Argument;
    explicit FakeValueMessage(std::vector<Argument> args) : args(std::move(args)) {}
    std::string GetName() override { return "ContentSize"; }
    int32_t GetArgumentCount() override { return (int32_t)args.size(); }
    std::string GetString(int32_t i) override {
        const auto* text = std::get_if<std::string>(&args[(size_t)i]);
        return text ? *text : "";
    }
    void SetString(int32_t i, const char* value) override { args[(size_t)i] = std::string(value); }
    void SetInt(int32_t i, int32_t value) override { args[(size_t)i] = value; }
    CEFProcessMessage* Copy() override { return nullptr; }
    int32_t GetArgumentType(int32_t i) override {
        return std::holds_alternative<int32_t>(args[(size_t)i]) ? VTYPE_INT : VTYPE_STRING;
    }
    int32_t GetInt(int32_t i) override {
        const auto* number = std::get_if<int32_t>(&args[(size_t)i]);
        return number ? *number : 0;
    }
    std::vector<Argument> args;
};

// Windows are named by the address of a string naming them.
class FakeBrowserEngine : public CEFBrowserEngine {
  public:
    FakeBrowserEngine(FakeArena* arena, FakeLog* log) : arena(arena), log(log) {}
    CEFHostBrowser* CreateBrowserSync(const CEFWindowInfo& info, CEFClient* c, const char* url,
                                      const CEFBrowserSettings& s) override {
        log->Add("create " + info.WindowName + " " + std::to_string(info.Width) + "x" + std::to_string(info.Height) +
                 " windowless " + std::to_string(info.WindowlessRenderingEnabled) + " " + url);
        settings = s;
        if (!browser) return nullptr;
        client = c;
        c->AddRef();
        return arena->Give(browser);
    }
    void RunMessageLoop() override { log->Add("run_message_loop"); }
    void QuitMessageLoop() override { log->Add("quit_message_loop"); }
    bool PostTask(int32_t thread, CEFTask* task) override { return Queue(thread, task, -1); }
    bool PostDelayedTask(int32_t thread, CEFTask* task, int64_t delay) override { return Queue(thread, task, delay); }
    bool Queue(int32_t thread, CEFTask* task, int64_t delay) {
        log->Add("post " + std::to_string(thread) + " " + std::to_string(delay));
        task->AddRef();
        tasks.push_back(task);
        return true;
    }
    // Runs what is queued now (not what the tasks post); how many ran.
    size_t RunTasks() {
        std::vector<CEFTask*> now = std::exchange(tasks, {});
        for (CEFTask* task : now) {
            task->Execute();
            task->Release();
        }
        return now.size();
    }
    // Drops the queue without running it, as a shutting-down engine does.
    void DropTasks() {
        for (CEFTask* task : std::exchange(tasks, {})) task->Release();
    }
    // Ends the engine's hold on the client it was given.
    void DropClient() {
        if (client) client->Release();
        client = nullptr;
    }

    static std::string Name(void* window) { return window ? *static_cast<std::string*>(window) : "none"; }
    int64_t WindowCenter(void* w, void* o) override { return log->Add("center " + Name(w) + " on " + Name(o)), 1; }
    int64_t WindowSetSmallIcon(void* w, NativeImage* icon) override {
        return log->Add("icon " + Name(w) + (icon ? " set" : " none")), 1;
    }
    int64_t WindowGetScreenDPI(void*, int32_t* h, int32_t* v) override {
        if (dpi < 0) return 0;
        *h = *v = dpi;
        return 1;
    }
    int64_t WindowGetTextScaleFactor(void*, float* factor) override {
        if (textScale > 0) *factor = textScale;
        return 1;
    }
    int64_t WindowGetX(void*, int32_t* v) override { return (*v = x), 1; }
    int64_t WindowGetY(void*, int32_t* v) override { return (*v = y), 1; }
    int64_t WindowGetWidth(void*, int32_t* v) override { return (*v = width), 1; }
    int64_t WindowGetHeight(void*, int32_t* v) override { return (*v = height), 1; }
    int64_t WindowAdjustWindowSize(void*, int32_t* ax, int32_t* ay, int32_t* aw, int32_t* ah) override {
        log->Add("adjust " + std::to_string(*ax) + "," + std::to_string(*ay) + " " + std::to_string(*aw) + "x" +
                 std::to_string(*ah));
        *ax += adjust;
        *ay += adjust;
        return 1;
    }
    int64_t WindowMove(void* w, int32_t mx, int32_t my) override {
        return log->Add("move " + Name(w) + " " + std::to_string(mx) + "," + std::to_string(my)), 1;
    }
    int64_t WindowSize(void* w, int32_t sw, int32_t sh) override {
        return log->Add("size " + Name(w) + " " + std::to_string(sw) + "x" + std::to_string(sh)), 1;
    }
    int64_t WindowSetTitleUtf8(void* w, const char* title) override {
        return log->Add("title " + Name(w) + " " + title), 1;
    }
    int64_t WindowSetFrame(void* w, int32_t style) override {
        return log->Add("frame " + Name(w) + " " + std::to_string(style)), 1;
    }

    FakeArena* arena;
    FakeLog* log;
    FakeHostBrowser* browser = nullptr;
    CEFClient* client = nullptr;
    CEFBrowserSettings settings{};
    std::vector<CEFTask*> tasks;
    int32_t dpi = 0;
    float textScale = 0;
    int32_t x = 10, y = 20, width = 640, height = 480, adjust = 0;
};
