// The CEF back end's browser object and its table of browser operations, and the task table that
// posts work to the engine's user-interface thread.
#pragma once

#include <cstdint>

#include "host/cef/cef_engine_browser.h"
#include "skin/web_browser.h"

struct ClientHandler;

enum : uint32_t { CEFWEBBROWSER_CLASS_ID = 0x5DCEC48A, CEFWEBBROWSERTASK_CLASS_ID = 0x04ABD35C };
enum : int32_t { CEFWEBBROWSER_URL_SIZE = 8192, CEFWEBBROWSER_TASK_RECORD_SIZE = 48 };

const WebBrowserInterface* CEF5414CEFWebBrowser_GetInterface();
const WebBrowserTaskInterface* CEFWebBrowserTask_GetInterface();

int64_t CEF5414CEFWebBrowser_Create(WebBrowser** browser);
int64_t CEF5414CEFWebBrowser_Release(WebBrowser** browser);
int64_t CEF5414CEFWebBrowser_Delete(WebBrowser** browser);
int64_t CEF5414CEFWebBrowser_GetInstanceId(WebBrowser* browser, char* buffer, int32_t capacity);

int64_t CEF5414CEFWebBrowser_Embed(WebBrowser* browser, SkinWindow* window, Dictionary* config);
int64_t CEF5414CEFWebBrowser_CheckEmbed(WebBrowser* browser);
int64_t CEF5414CEFWebBrowser_Unembed(WebBrowser* browser);
// The Navigate slot.
int64_t CEF5414CEFWebBrowser_CEFWebBrowser(WebBrowser* browser, const char* url);
int64_t CEF5414CEFWebBrowser_NotifyMoveOrResizeStarted(WebBrowser* browser);
int64_t CEF5414CEFWebBrowser_Hide(WebBrowser* browser);
int64_t CEF5414CEFWebBrowser_Show(WebBrowser* browser);
int64_t CEF5414CEFWebBrowser_SetSize(WebBrowser* browser, int32_t width, int32_t height);
int64_t CEF5414CEFWebBrowser_SetDPI(WebBrowser* browser, int32_t dpi, int32_t second);
int64_t CEF5414CEFWebBrowser_WasHidden(WebBrowser* browser, int32_t hidden);
int64_t CEF5414CEFWebBrowser_Invalidate(WebBrowser* browser);
int64_t CEF5414CEFWebBrowser_SetMouseCursorChangeEnabled(WebBrowser* browser, int32_t enabled);
int64_t CEF5414CEFWebBrowser_IsMouseCursorChangeEnabled(WebBrowser* browser, int32_t* enabled);
int64_t CEF5414CEFWebBrowser_SetCursor(WebBrowser* browser, int32_t cursor);
int64_t CEF5414CEFWebBrowser_SimulateFocus(WebBrowser* browser, int32_t focus);
int64_t CEF5414CEFWebBrowser_SimulateCaptureLost(WebBrowser* browser);
int64_t CEF5414CEFWebBrowser_SimulateKeyDown(WebBrowser* browser, int32_t virtualKey, int32_t character,
                                             int32_t unmodified, uint32_t modifiers);
int64_t CEF5414CEFWebBrowser_SimulateKeyUp(WebBrowser* browser, int32_t virtualKey, int32_t character,
                                           int32_t unmodified, uint32_t modifiers);
int64_t CEF5414CEFWebBrowser_SimulateCharacter(WebBrowser* browser, int32_t virtualKey, int32_t character,
                                               int32_t unmodified, uint32_t modifiers);
int64_t CEF5414CEFWebBrowser_SimulateMouseMove(WebBrowser* browser, int32_t x, int32_t y, uint32_t modifiers,
                                               int32_t leave);
int64_t CEF5414CEFWebBrowser_SimulateMouseDown(WebBrowser* browser, int32_t x, int32_t y, uint32_t modifiers);
int64_t CEF5414CEFWebBrowser_SimulateMouseUp(WebBrowser* browser, int32_t x, int32_t y, uint32_t modifiers);
int64_t CEF5414CEFWebBrowser_SimulateMouseWheel(WebBrowser* browser, int32_t x, int32_t y, int32_t delta);
int64_t CEF5414CEFWebBrowser_SimulateUndo(WebBrowser* browser);
int64_t CEF5414CEFWebBrowser_SimulateRedo(WebBrowser* browser);
int64_t CEF5414CEFWebBrowser_SimulateCut(WebBrowser* browser);
int64_t CEF5414CEFWebBrowser_SimulateCopy(WebBrowser* browser);
int64_t CEF5414CEFWebBrowser_SimulatePaste(WebBrowser* browser);
int64_t CEF5414CEFWebBrowser_SimulateDelete(WebBrowser* browser);
int64_t CEF5414CEFWebBrowser_SimulateSelectAll(WebBrowser* browser);
int64_t CEF5414CEFWebBrowser_ExecuteScript(WebBrowser* browser, const char* first, const char* second, Stream* reply);
int64_t CEF5414CEFWebBrowser_SetViewChangeCallback(WebBrowser* browser, void* user, WebBrowserViewChangeFunc function);
int64_t CEF5414CEFWebBrowser_RunMessagePump();
int64_t CEF5414CEFWebBrowser_QuitMessagePump();

// The handler's callbacks: the engine has closed the browser; a frame was painted.
int64_t CEFWebBrowser_UnembedCallback(void* browser);
int64_t CEFWebBrowser_DispatchWebBrowserViewChange(ClientHandler* handler, void* browser, const void* pixels,
                                                   int32_t size, int32_t width, int32_t height);
// Engine event flags of the modifier bits: keys, and one mouse button.
uint32_t CEFWebBrowser_GetEventModifiers(uint32_t modifiers);
uint32_t CEFWebBrowser_GetKeyModifiers(uint32_t modifiers);

int64_t CEFWebBrowserTask_CreateWithSize(void** task, uint32_t size, WebBrowserTaskFunc execute,
                                         WebBrowserTaskFunc remove);
int64_t CEFWebBrowserTask_Post(void* task);
int64_t CEFWebBrowserTask_PostDelayed(void* task, int64_t delayMs);
void* CEFWebBrowserTask_AddRef(void* task);
int64_t CEFWebBrowserTask_Release(void* task);
