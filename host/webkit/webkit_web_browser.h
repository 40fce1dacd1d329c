// The WebKitGTK browser back end: a web view inside a skin window's content view, the page object
// "NativeInterop" in every frame, page callbacks, synthesised input, and the answers to the view's
// questions (pop-up windows, context menus, alerts, credentials).
#pragma once

#include <cstdint>

#include "skin/web_browser.h"

enum : uint32_t { WEBKITWEBBROWSER_CLASS_ID = 0x10B356F2 };

struct Dictionary;
struct SkinWindow;
struct Stream;

// The table of this back end, and its operations in table order.
extern const WebBrowserInterface AWKWebBrowserInterface;
const WebBrowserInterface* WebKitWebBrowser_GetInterface();

// Builds the web view in the skin window's content view, with the page object in every frame; 1.
int64_t AWKWebBrowser_Embed(WebBrowser* browser, SkinWindow* window, Dictionary* config);
int64_t AWKWebBrowser_CheckEmbed(WebBrowser* browser);
// Closes the view, its inspector and the pop-ups of its pages; 1.
int64_t AWKWebBrowser_Unembed(WebBrowser* browser);
int64_t AWKWebBrowser_Navigate(WebBrowser* browser, const char* url);
// These answer 1 and do nothing: the web view sizes, draws and focuses itself.
int64_t AWKWebBrowser_NotifyMoveOrResizeStarted(WebBrowser* browser);
int64_t AWKWebBrowser_Hide(WebBrowser* browser);
int64_t AWKWebBrowser_Show(WebBrowser* browser);
int64_t AWKWebBrowser_SetSize(WebBrowser* browser, int32_t width, int32_t height);
int64_t AWKWebBrowser_SetDPI(WebBrowser* browser, int32_t dpi, int32_t second);
int64_t AWKWebBrowser_WasHidden(WebBrowser* browser, int32_t hidden);
int64_t AWKWebBrowser_Invalidate(WebBrowser* browser);
int64_t AWKWebBrowser_SetMouseCursorChangeEnabled(WebBrowser* browser, int32_t enabled);
int64_t AWKWebBrowser_IsMouseCursorChangeEnabled(WebBrowser* browser, int32_t* enabled);
int64_t AWKWebBrowser_SetCursor(WebBrowser* browser, int32_t cursor);
int64_t AWKWebBrowser_SimulateFocus(WebBrowser* browser, int32_t focus);
int64_t AWKWebBrowser_SimulateCaptureLost(WebBrowser* browser);
// Synthesised key events: the character names the key, the virtual key is its hardware code and
// the modifiers pass unchanged; 1.
int64_t AWKWebBrowser_SimulateKeyDown(WebBrowser* browser, int32_t virtualKey, int32_t character,
                                      int32_t extended, uint32_t modifiers);
int64_t AWKWebBrowser_SimulateKeyUp(WebBrowser* browser, int32_t virtualKey, int32_t character,
                                    int32_t extended, uint32_t modifiers);
int64_t AWKWebBrowser_SimulateCharacter(WebBrowser* browser, int32_t virtualKey, int32_t character,
                                        int32_t extended, uint32_t modifiers);
int64_t AWKWebBrowser_SimulateMouseMove(WebBrowser* browser, int32_t x, int32_t y, uint32_t modifiers,
                                        int32_t leave);
// A press or release of exactly one button (modifiers 1, 2 or 4); any other word sends nothing and
// answers 0.
int64_t AWKWebBrowser_SimulateMouseDown(WebBrowser* browser, int32_t x, int32_t y, uint32_t modifiers);
int64_t AWKWebBrowser_SimulateMouseUp(WebBrowser* browser, int32_t x, int32_t y, uint32_t modifiers);
int64_t AWKWebBrowser_SimulateMouseWheel(WebBrowser* browser, int32_t x, int32_t y, int32_t delta);
int64_t AWKWebBrowser_SimulateUndo(WebBrowser* browser);
int64_t AWKWebBrowser_SimulateRedo(WebBrowser* browser);
int64_t AWKWebBrowser_SimulateCut(WebBrowser* browser);
int64_t AWKWebBrowser_SimulateCopy(WebBrowser* browser);
int64_t AWKWebBrowser_SimulatePaste(WebBrowser* browser);
int64_t AWKWebBrowser_SimulateDelete(WebBrowser* browser);
int64_t AWKWebBrowser_SimulateSelectAll(WebBrowser* browser);
// Calls the page's DispatchInteropCallback with both texts; no answer is awaited; 1.
int64_t AWKWebBrowser_ExecuteScript(WebBrowser* browser, const char* first, const char* second,
                                    Stream* reply);
int64_t AWKWebBrowser_SetViewChangeCallback(WebBrowser* browser, void* user,
                                            WebBrowserViewChangeFunc function);
int64_t AWKWebBrowser_Create(WebBrowser** browser);
int64_t AWKWebBrowser_AddRef(WebBrowser* browser);
int64_t AWKWebBrowser_Release(WebBrowser** browser);
int64_t AWKWebBrowser_GetInstanceId(WebBrowser* browser, char* buffer, int32_t capacity);
// Runs the GTK main loop until AWKWebBrowser_QuitMessagePump ends it.
int64_t AWKWebBrowser_RunMessagePump();
int64_t AWKWebBrowser_QuitMessagePump();
int64_t AWKWebBrowser_Init(const char* libraryPath);
int64_t AWKWebBrowser_Remove();

// The web view widget (a GtkWidget) of an embedded browser, none while not embedded.
void* WebKitWebBrowser_GetView(WebBrowser* browser);
// How many pop-up windows the browser's pages have opened and are still open.
int32_t WebKitWebBrowser_GetPopupCount(WebBrowser* browser);
