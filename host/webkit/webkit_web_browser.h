// The WebKitGTK browser back end: a web view inside a skin window's content view, the page object
// "NativeInterop" in every frame, page callbacks, synthesised input, and the answers to the view's
// questions (pop-up windows, context menus, alerts, credentials).
#pragma once

#include <cstdint>

struct WebBrowser;
struct WebBrowserInterface;

enum : uint32_t { WEBKITWEBBROWSER_CLASS_ID = 0x10B356F2 };

const WebBrowserInterface* WebKitWebBrowser_GetInterface();

// The web view widget (a GtkWidget) of an embedded browser, none while not embedded.
void* WebKitWebBrowser_GetView(WebBrowser* browser);
// How many pop-up windows the browser's pages have opened and are still open.
int32_t WebKitWebBrowser_GetPopupCount(WebBrowser* browser);
