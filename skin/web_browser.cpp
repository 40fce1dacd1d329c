// The browser dispatchers: each checks that a table is installed and, for the operations on a
// page, that the browser is embedded before it calls the back end.
#include "skin/web_browser.h"

#include <cstddef>

#include "core/runtime/debug.h"
#include "core/runtime/log.h"

const WebBrowserInterface* GlobalWebBrowserInterface = nullptr;
bool GlobalWebBrowserVerbose = false;
const WebBrowserTaskInterface* GlobalWebBrowserTaskInterface = nullptr;

namespace {

const WebBrowserInterface* Table() {
    ASSERT_POINTER(GlobalWebBrowserInterface);
    return GlobalWebBrowserInterface;
}

// The operations on a page reach a browser only while it is embedded.
bool Embedded(WebBrowser* browser) { return Table()->CheckEmbed(browser) == 1; }

#define WEBBROWSER_VERBOSE(...)                                                                \
    do {                                                                                       \
        if (GlobalWebBrowserVerbose) Log_Debug(__VA_ARGS__);                                   \
    } while (0)

// An embedded-only operation without arguments that logs its line when verbose.
int64_t Simple(WebBrowser* browser, WebBrowserFunc WebBrowserInterface::*slot, const char* line) {
    if (!Embedded(browser)) return 0;
    if (line != nullptr) WEBBROWSER_VERBOSE("%s", line);
    return (Table()->*slot)(browser);
}

} // namespace

int64_t WebBrowser_Init(const WebBrowserInterface* table, const char* libraryPath) {
    ASSERT_POINTER(table);
    GlobalWebBrowserInterface = table;
    int32_t level = 0;
    Log_GetVerboseLevel("WebBrowser", &level);
    GlobalWebBrowserVerbose = level > 0;
    return table->Init(libraryPath);
}

int64_t WebBrowser_Remove() {
    if (GlobalWebBrowserInterface != nullptr) {
        GlobalWebBrowserInterface->Remove();
        GlobalWebBrowserInterface = nullptr;
    }
    return 1;
}

int64_t WebBrowser_Embed(WebBrowser* browser, SkinWindow* window, Dictionary* config) {
    if (Embedded(browser)) return 1;
    WEBBROWSER_VERBOSE("WebBrowser - Embed\n");
    return Table()->Embed(browser, window, config);
}

int64_t WebBrowser_CheckEmbed(WebBrowser* browser) { return Table()->CheckEmbed(browser); }

int64_t WebBrowser_Unembed(WebBrowser* browser) {
    if (!Embedded(browser)) return 1;
    Log_Debug("WebBrowser - Unembed\n");
    return Table()->Unembed(browser);
}

int64_t WebBrowser_Navigate(WebBrowser* browser, const char* url) {
    if (!Embedded(browser)) return 0;
    WEBBROWSER_VERBOSE("WebBrowser - Navigate - %s\n", url);
    return Table()->Navigate(browser, url);
}

int64_t WebBrowser_NotifyMoveOrResizeStarted(WebBrowser* browser) {
    return Simple(browser, &WebBrowserInterface::NotifyMoveOrResizeStarted, nullptr);
}
int64_t WebBrowser_Hide(WebBrowser* browser) {
    return Simple(browser, &WebBrowserInterface::Hide, "WebBrowser - Hide\n");
}
int64_t WebBrowser_Show(WebBrowser* browser) {
    return Simple(browser, &WebBrowserInterface::Show, "WebBrowser - Show\n");
}

int64_t WebBrowser_SetSize(WebBrowser* browser, int32_t width, int32_t height) {
    if (!Embedded(browser)) return 0;
    WEBBROWSER_VERBOSE("WebBrowser - SetSize - Width %d Height %d\n", width, height);
    return Table()->SetSize(browser, width, height);
}

int64_t WebBrowser_SetDPI(WebBrowser* browser, int32_t dpi, int32_t second) {
    if (!Embedded(browser)) return 0;
    return Table()->SetDPI(browser, dpi, second);
}

int64_t WebBrowser_WasHidden(WebBrowser* browser, int32_t hidden) {
    if (!Embedded(browser)) return 0;
    return Table()->WasHidden(browser, hidden);
}

int64_t WebBrowser_Invalidate(WebBrowser* browser) {
    return Simple(browser, &WebBrowserInterface::Invalidate, nullptr);
}

int64_t WebBrowser_SetMouseCursorChangeEnabled(WebBrowser* browser, int32_t enabled) {
    if (!Embedded(browser)) return 0;
    return Table()->SetMouseCursorChangeEnabled(browser, enabled);
}

int64_t WebBrowser_IsMouseCursorChangeEnabled(WebBrowser* browser, int32_t* enabled) {
    ASSERT_POINTER(enabled);
    if (!Embedded(browser)) return 0;
    return Table()->IsMouseCursorChangeEnabled(browser, enabled);
}

int64_t WebBrowser_SetCursor(WebBrowser* browser, int32_t cursor) {
    if (!Embedded(browser)) return 0;
    return Table()->SetCursor(browser, cursor);
}

int64_t WebBrowser_SimulateFocus(WebBrowser* browser, int32_t focus) {
    if (!Embedded(browser)) return 0;
    WEBBROWSER_VERBOSE("WebBrowser - SimulateFocus %d\n", focus);
    return Table()->SimulateFocus(browser, focus);
}

int64_t WebBrowser_SimulateCaptureLost(WebBrowser* browser) {
    return Simple(browser, &WebBrowserInterface::SimulateCaptureLost, "WebBrowser - SimulateCaptureLost\n");
}

// The key lines name the modifiers without printing them.
int64_t WebBrowser_SimulateKeyDown(WebBrowser* browser, int32_t virtualKey, int32_t character, int32_t extended,
                                   uint32_t modifiers) {
    if (!Embedded(browser)) return 0;
    WEBBROWSER_VERBOSE("WebBrowser - SimulateKeyDown - VirtualKey %d Char %d Extended %d Modifiers\n", virtualKey,
                       character, extended);
    return Table()->SimulateKeyDown(browser, virtualKey, character, extended, modifiers);
}

int64_t WebBrowser_SimulateKeyUp(WebBrowser* browser, int32_t virtualKey, int32_t character, int32_t extended,
                                 uint32_t modifiers) {
    if (!Embedded(browser)) return 0;
    WEBBROWSER_VERBOSE("WebBrowser - SimulateKeyUp - VirtualKey %d Char %d Extended %d Modifiers\n", virtualKey,
                       character, extended);
    return Table()->SimulateKeyUp(browser, virtualKey, character, extended, modifiers);
}

int64_t WebBrowser_SimulateCharacter(WebBrowser* browser, int32_t virtualKey, int32_t character, int32_t extended,
                                     uint32_t modifiers) {
    if (!Embedded(browser)) return 0;
    WEBBROWSER_VERBOSE("WebBrowser - SimulateCharacter - VirtualKey %d Char %d Extended %d Modifiers\n",
                       virtualKey, character, extended);
    return Table()->SimulateCharacter(browser, virtualKey, character, extended, modifiers);
}

int64_t WebBrowser_SimulateMouseMove(WebBrowser* browser, int32_t x, int32_t y, uint32_t modifiers, int32_t leave) {
    if (!Embedded(browser)) return 0;
    WEBBROWSER_VERBOSE("WebBrowser - SimulateMouseMove - X %d Y %d Modifiers %d Leave %d\n", x, y, (int32_t)modifiers,
                       leave);
    return Table()->SimulateMouseMove(browser, x, y, modifiers, leave);
}

int64_t WebBrowser_SimulateMouseDown(WebBrowser* browser, int32_t x, int32_t y, uint32_t modifiers) {
    if (!Embedded(browser)) return 0;
    WEBBROWSER_VERBOSE("WebBrowser - SimulateMouseDown - X %d Y %d Modifiers %d\n", x, y, (int32_t)modifiers);
    return Table()->SimulateMouseDown(browser, x, y, modifiers);
}

int64_t WebBrowser_SimulateMouseUp(WebBrowser* browser, int32_t x, int32_t y, uint32_t modifiers) {
    if (!Embedded(browser)) return 0;
    WEBBROWSER_VERBOSE("WebBrowser - SimulateMouseUp - X %d Y %d Modifiers %d\n", x, y, (int32_t)modifiers);
    return Table()->SimulateMouseUp(browser, x, y, modifiers);
}

int64_t WebBrowser_SimulateMouseWheel(WebBrowser* browser, int32_t x, int32_t y, int32_t delta) {
    if (!Embedded(browser)) return 0;
    WEBBROWSER_VERBOSE("WebBrowser - SimulateMouseWheel - X %d Y %d Delta %d\n", x, y, delta);
    return Table()->SimulateMouseWheel(browser, x, y, delta);
}

int64_t WebBrowser_SimulateUndo(WebBrowser* browser) {
    return Simple(browser, &WebBrowserInterface::SimulateUndo, "WebBrowser - SimulateUndo\n");
}
int64_t WebBrowser_SimulateRedo(WebBrowser* browser) {
    return Simple(browser, &WebBrowserInterface::SimulateRedo, "WebBrowser - SimulateRedo\n");
}
int64_t WebBrowser_SimulateCut(WebBrowser* browser) {
    return Simple(browser, &WebBrowserInterface::SimulateCut, "WebBrowser - SimulateCut\n");
}
int64_t WebBrowser_SimulateCopy(WebBrowser* browser) {
    return Simple(browser, &WebBrowserInterface::SimulateCopy, "WebBrowser - SimulateCopy\n");
}
int64_t WebBrowser_SimulatePaste(WebBrowser* browser) {
    return Simple(browser, &WebBrowserInterface::SimulatePaste, "WebBrowser - SimulatePaste\n");
}
int64_t WebBrowser_SimulateDelete(WebBrowser* browser) {
    return Simple(browser, &WebBrowserInterface::SimulateDelete, "WebBrowser - SimulateDelete\n");
}
int64_t WebBrowser_SimulateSelectAll(WebBrowser* browser) {
    return Simple(browser, &WebBrowserInterface::SimulateSelectAll, "WebBrowser - SimulateSelectAll\n");
}

int64_t WebBrowser_ExecuteScript(WebBrowser* browser, const char* first, const char* second, Stream* reply) {
    if (!Embedded(browser)) return 0;
    return Table()->ExecuteScript(browser, first, second, reply);
}

int64_t WebBrowser_SetViewChangeCallback(WebBrowser* browser, void* user, WebBrowserViewChangeFunc function) {
    return Table()->SetViewChangeCallback(browser, user, function);
}

int64_t WebBrowser_Create(WebBrowser** browser) { return Table()->Create(browser); }
int64_t WebBrowser_Release(WebBrowser** browser) { return Table()->Release(browser); }
int64_t WebBrowser_RunMessagePump() { return Table()->RunMessagePump(); }

int64_t WebBrowser_QuitMessagePump() {
    if (GlobalWebBrowserInterface == nullptr) return 1;
    return GlobalWebBrowserInterface->QuitMessagePump();
}

// ---- Tasks ----------------------------------------------------------------------------------------

int64_t WebBrowserTask_SetInterface(const WebBrowserTaskInterface* table) {
    ASSERT_MSG(GlobalWebBrowserTaskInterface == NULL, "WebBrowserTask already set up");
    GlobalWebBrowserTaskInterface = table;
    return 1;
}

int64_t WebBrowserTask_Create(void** task, uint32_t size, WebBrowserTaskFunc execute, WebBrowserTaskFunc remove) {
    ASSERT_POINTER(task);
    *task = nullptr;
    if (GlobalWebBrowserTaskInterface == nullptr) return 0;
    return GlobalWebBrowserTaskInterface->CreateWithSize(task, size, execute, remove);
}

int64_t WebBrowserTask_Post(void* task) {
    if (GlobalWebBrowserTaskInterface == nullptr) return 0;
    return GlobalWebBrowserTaskInterface->Post(task);
}

int64_t WebBrowserTask_PostDelayed(void* task, int64_t delayMs) {
    if (GlobalWebBrowserTaskInterface == nullptr) return 0;
    return GlobalWebBrowserTaskInterface->PostDelayed(task, delayMs);
}

void* WebBrowserTask_AddRef(void* task) {
    if (GlobalWebBrowserTaskInterface == nullptr) return nullptr;
    return GlobalWebBrowserTaskInterface->AddRef(task);
}

int64_t WebBrowserTask_Release(void* task) {
    if (GlobalWebBrowserTaskInterface == nullptr) return 0;
    return GlobalWebBrowserTaskInterface->Release(task);
}
