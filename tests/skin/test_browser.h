// Headless stand-ins for the skin's tests: a browser table that records every call it receives,
// and a native window table that keeps its geometry in memory and fires the notifications a real
// window would. Each test program includes this once.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/dictionary.h"
#include "skin/native_skin_window.h"
#include "skin/skin_window.h"
#include "skin/web_browser.h"

// ---- Recording browser --------------------------------------------------------------------------

struct WebBrowser {
    int32_t Embedded;      // what CheckEmbed answers
    int32_t DeferUnembed;  // Unembed leaves the browser embedded until Finish is called
    SkinWindow* Window;
};

struct TestBrowserState {
    std::vector<std::string> Calls;  // "Name arg arg ..." of every call but CheckEmbed
    int64_t EmbedResult = 1;
    int64_t InitResult = 1;
    int32_t EmbedAtOnce = 1;         // Embed marks the browser embedded
    int32_t DeferUnembed = 0;        // new browsers leave unembedding to the test
    int32_t CursorEnabled = 1;
    int32_t Live = 0;                // browsers created and not yet released
    std::string LastScript;
    int32_t ScriptDelayMs = 0;       // how long ExecuteScript keeps the caller
};

inline TestBrowserState& TestBrowser() {
    static TestBrowserState state;
    return state;
}

inline int64_t TestBrowserRecord(const std::string& call, int64_t result = 1) {
    TestBrowser().Calls.push_back(call);
    return result;
}

inline std::string TestBrowserArgs(std::initializer_list<int64_t> values) {
    std::string text;
    for (int64_t v : values) text += " " + std::to_string(v);
    return text;
}

#define TEST_BROWSER_SIMPLE(name) [](WebBrowser*) -> int64_t { return TestBrowserRecord(#name); }
#define TEST_BROWSER_KEY(name)                                                                 \
    [](WebBrowser*, int32_t k, int32_t c, int32_t e, uint32_t m) -> int64_t {                  \
        return TestBrowserRecord(#name + TestBrowserArgs({k, c, e, m}));                       \
    }
#define TEST_BROWSER_MOUSE(name)                                                               \
    [](WebBrowser*, int32_t x, int32_t y, uint32_t m) -> int64_t {                             \
        return TestBrowserRecord(#name + TestBrowserArgs({x, y, m}));                          \
    }

inline const WebBrowserInterface* TestBrowser_GetInterface() {
    static const WebBrowserInterface table = {
        [](WebBrowser* b, SkinWindow* w, Dictionary*) -> int64_t {
            b->Window = w;
            if (TestBrowser().EmbedAtOnce) b->Embedded = 1;
            return TestBrowserRecord("Embed", TestBrowser().EmbedResult);
        },
        [](WebBrowser* b) -> int64_t { return b->Embedded; },
        [](WebBrowser* b) -> int64_t {
            if (!b->DeferUnembed) b->Embedded = 0;
            return TestBrowserRecord("Unembed");
        },
        [](WebBrowser*, const char* url) -> int64_t { return TestBrowserRecord(std::string("Navigate ") + url); },
        TEST_BROWSER_SIMPLE(NotifyMoveOrResizeStarted),
        TEST_BROWSER_SIMPLE(Hide),
        TEST_BROWSER_SIMPLE(Show),
        [](WebBrowser*, int32_t w, int32_t h) -> int64_t { return TestBrowserRecord("SetSize" + TestBrowserArgs({w, h})); },
        [](WebBrowser*, int32_t a, int32_t b) -> int64_t { return TestBrowserRecord("SetDPI" + TestBrowserArgs({a, b})); },
        [](WebBrowser*, int32_t h) -> int64_t { return TestBrowserRecord("WasHidden" + TestBrowserArgs({h})); },
        TEST_BROWSER_SIMPLE(Invalidate),
        [](WebBrowser*, int32_t e) -> int64_t {
            TestBrowser().CursorEnabled = e;
            return TestBrowserRecord("SetMouseCursorChangeEnabled" + TestBrowserArgs({e}));
        },
        [](WebBrowser*, int32_t* e) -> int64_t {
            *e = TestBrowser().CursorEnabled;
            return TestBrowserRecord("IsMouseCursorChangeEnabled");
        },
        [](WebBrowser*, int32_t c) -> int64_t { return TestBrowserRecord("SetCursor" + TestBrowserArgs({c})); },
        [](WebBrowser*, int32_t f) -> int64_t { return TestBrowserRecord("SimulateFocus" + TestBrowserArgs({f})); },
        TEST_BROWSER_SIMPLE(SimulateCaptureLost),
        TEST_BROWSER_KEY(SimulateKeyDown),
        TEST_BROWSER_KEY(SimulateKeyUp),
        TEST_BROWSER_KEY(SimulateCharacter),
        [](WebBrowser*, int32_t x, int32_t y, uint32_t m, int32_t l) -> int64_t {
            return TestBrowserRecord("SimulateMouseMove" + TestBrowserArgs({x, y, m, l}));
        },
        TEST_BROWSER_MOUSE(SimulateMouseDown),
        TEST_BROWSER_MOUSE(SimulateMouseUp),
        [](WebBrowser*, int32_t x, int32_t y, int32_t d) -> int64_t {
            return TestBrowserRecord("SimulateMouseWheel" + TestBrowserArgs({x, y, d}));
        },
        TEST_BROWSER_SIMPLE(SimulateUndo),
        TEST_BROWSER_SIMPLE(SimulateRedo),
        TEST_BROWSER_SIMPLE(SimulateCut),
        TEST_BROWSER_SIMPLE(SimulateCopy),
        TEST_BROWSER_SIMPLE(SimulatePaste),
        TEST_BROWSER_SIMPLE(SimulateDelete),
        TEST_BROWSER_SIMPLE(SimulateSelectAll),
        [](WebBrowser*, const char* a, const char* b, Stream*) -> int64_t {
            TestBrowser().LastScript = std::string(a) + "|" + b;
            if (TestBrowser().ScriptDelayMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(TestBrowser().ScriptDelayMs));
            return TestBrowserRecord("ExecuteScript");
        },
        [](WebBrowser*, void*, WebBrowserViewChangeFunc) -> int64_t { return TestBrowserRecord("SetViewChangeCallback"); },
        [](WebBrowser** b) -> int64_t {
            *b = new WebBrowser{0, TestBrowser().DeferUnembed, nullptr};
            TestBrowser().Live++;
            return TestBrowserRecord("Create");
        },
        [](WebBrowser** b) -> int64_t {
            delete *b;
            *b = nullptr;
            TestBrowser().Live--;
            return TestBrowserRecord("Release");
        },
        []() -> int64_t { return TestBrowserRecord("RunMessagePump"); },
        []() -> int64_t { return TestBrowserRecord("QuitMessagePump", 7); },
        [](const char* path) -> int64_t { return TestBrowserRecord(std::string("Init ") + path, TestBrowser().InitResult); },
        []() -> int64_t { return TestBrowserRecord("Remove"); },
    };
    return &table;
}

// Ends an unembedding the test held back.
inline void TestBrowser_FinishUnembed(WebBrowser* browser) { browser->Embedded = 0; }

// ---- Stand-in native window --------------------------------------------------------------------

struct NativeImage {
    int32_t Width, Height;
};

// A dock menu: the number of top-level items and every check change, as "id on".
struct TestMenu {
    uint32_t Items;
    std::vector<std::string> Selected;
};

struct NativeSkinWindow {
    SkinWindow* Owner;
    int32_t X, Y, Width, Height, MinWidth, MinHeight, Frame;
    int32_t Visible, Closed, Cursor, MiniaturizedAppIcon;
    std::string Title;
    NativeImage* BigIcon;
    NativeImage* Overlay;
    TestMenu* Menu;
};

inline void TestNative_Put(NativeImage** slot, NativeImage* image) {
    delete *slot;
    *slot = image;
}

struct TestNativeState {
    int32_t ScreenWidth = 1920, ScreenHeight = 1080;
    int32_t MessageBoxAnswer = 1;
    std::vector<std::string> MessageBoxes;  // "text|caption|type"
    std::vector<std::string> Cursors;
    int32_t Live = 0;
    NativeImage DefaultIcon{128, 128};
};

inline TestNativeState& TestNative() {
    static TestNativeState state;
    return state;
}

inline const NativeSkinWindowInterface* TestNative_GetInterface() {
    static const NativeSkinWindowInterface table = {
        [](NativeSkinWindow** w, SkinWindow* owner, int32_t width, int32_t height) -> int64_t {
            *w = new NativeSkinWindow{owner, 0, 0, width, height, 0, 0, 0, 0, 0, 0, 0, "", nullptr, nullptr, nullptr};
            TestNative().Live++;
            return 1;
        },
        [](NativeSkinWindow** w) -> int64_t {
            TestNative_Put(&(*w)->BigIcon, nullptr);
            TestNative_Put(&(*w)->Overlay, nullptr);
            delete (*w)->Menu;
            delete *w;
            *w = nullptr;
            TestNative().Live--;
            return 1;
        },
        [](NativeSkinWindow* w) -> int64_t {
            w->Closed = 1;
            w->Visible = 0;
            return 1;
        },
        [](NativeSkinWindow* w, int32_t style) -> int64_t { return (w->Frame = style), 1; },
        [](NativeSkinWindow* w, const char* title) -> int64_t { return (w->Title = title), 1; },
        [](NativeSkinWindow* w, char* buffer, int32_t capacity) -> int64_t {
            snprintf(buffer, (size_t)capacity, "%s", w->Title.c_str());
            return 1;
        },
        [](NativeSkinWindow* w, int32_t width, int32_t height) -> int64_t {
            w->MinWidth = width;
            w->MinHeight = height;
            return 1;
        },
        [](NativeSkinWindow* w) -> int64_t { return w->Visible; },
        [](NativeSkinWindow* w, int32_t* v) -> int64_t { return (*v = w->Width), 1; },
        [](NativeSkinWindow* w, int32_t* v) -> int64_t { return (*v = w->Height), 1; },
        [](NativeSkinWindow* w, int32_t* v) -> int64_t { return (*v = w->X), 1; },
        [](NativeSkinWindow* w, int32_t* v) -> int64_t { return (*v = w->Y), 1; },
        [](NativeSkinWindow*, int32_t* v) -> int64_t { return (*v = TestNative().ScreenWidth), 1; },
        [](NativeSkinWindow*, int32_t* v) -> int64_t { return (*v = TestNative().ScreenHeight), 1; },
        [](NativeSkinWindow* w) -> int64_t { return w->Frame == NATIVEWINDOW_FRAME_RESIZABLE; },
        [](NativeSkinWindow* w, int32_t x, int32_t y) -> int64_t {
            w->X = x;
            w->Y = y;
            return SkinWindow_NotifyMove(w->Owner, x, y);
        },
        [](NativeSkinWindow* w, int32_t width, int32_t height) -> int64_t {
            w->Width = width;
            w->Height = height;
            return SkinWindow_NotifySize(w->Owner, width, height);
        },
        [](NativeSkinWindow* w) -> int64_t {
            w->Visible = 1;
            return SkinWindow_NotifyFrame(w->Owner, "Show");
        },
        [](NativeSkinWindow* w) -> int64_t {
            w->Visible = 0;
            return SkinWindow_NotifyFrame(w->Owner, "Hide");
        },
        [](NativeSkinWindow*, const char* text, const char* caption, uint32_t type) -> int64_t {
            TestNative().MessageBoxes.push_back(std::string(text) + "|" + caption + "|" + std::to_string(type));
            return TestNative().MessageBoxAnswer;
        },
        [](NativeSkinWindow* w, int32_t cursor) -> int64_t {
            w->Cursor = cursor;
            TestNative().Cursors.push_back(std::to_string(cursor));
            return 1;
        },
        [](NativeSkinWindow* w) -> void* { return w; },
        [](NativeSkinWindow*) -> NativeImage* { return &TestNative().DefaultIcon; },
        [](NativeSkinWindow*) -> NativeImage* { return nullptr; },
        [](NativeSkinWindow* w) -> int64_t { return (w->MiniaturizedAppIcon = 1), 1; },
        []() -> int64_t { return 1; },
        // "IMG <width> <height>" stands for an encoded picture.
        [](NativeImage** image, const void* bytes, uint32_t length) -> int64_t {
            std::string text(static_cast<const char*>(bytes), length);
            int32_t width = 0, height = 0;
            if (sscanf(text.c_str(), "IMG %d %d", &width, &height) != 2) return 0;
            *image = new NativeImage{width, height};
            return 1;
        },
        [](NativeImage** image) -> int64_t {
            delete *image;
            *image = nullptr;
            return 1;
        },
        [](NativeImage* image, int32_t* width, int32_t* height) -> int64_t {
            *width = image->Width;
            *height = image->Height;
            return 1;
        },
        [](NativeImage*, int32_t, int32_t, int32_t width, int32_t height, NativeImage** image) -> int64_t {
            *image = new NativeImage{width, height};
            return 1;
        },
        [](NativeSkinWindow* w, NativeImage* image) -> int64_t { return TestNative_Put(&w->BigIcon, image), 1; },
        [](NativeSkinWindow* w, NativeImage* image) -> int64_t { return TestNative_Put(&w->Overlay, image), 1; },
        [](NativeSkinWindow* w) -> int64_t {
            delete w->Menu;
            w->Menu = nullptr;
            return 1;
        },
        // A dictionary without items builds no menu.
        [](NativeSkinWindow* w, Dictionary* items, void** menu) -> int64_t {
            uint32_t count = 0;
            Dictionary_ItemGetCount(items, &count);
            if (count == 0) return 0;
            delete w->Menu;
            w->Menu = new TestMenu{count, {}};
            *menu = w->Menu;
            return 1;
        },
        [](void* menu, int32_t id, int32_t on) -> int64_t {
            static_cast<TestMenu*>(menu)->Selected.push_back(std::to_string(id) + " " + std::to_string(on));
            return 1;
        },
    };
    return &table;
}

// The user's own actions on the stand-in window.
inline int64_t TestNative_UserClose(NativeSkinWindow* w) { return SkinWindow_PerformClose(w->Owner); }
inline int64_t TestNative_UserResize(NativeSkinWindow* w, int32_t width, int32_t height) {
    w->Width = width;
    w->Height = height;
    return SkinWindow_NotifySize(w->Owner, width, height);
}
