// The browser back end chosen at start-up (the system's web view or CEF when its library is
// present) and the task table that runs browser tasks on the main loop.
#pragma once

#include <cstdint>

struct WebBrowserInterface;
struct WebBrowserTaskInterface;

// The CEF branch this executable has a table for.
enum : int32_t { HOST_CEF_BRANCH = 5414 };

// Chooses the back end and installs it with its task table. A null native table stands for a
// process without the system's web view. 1 on success; 0 after logging why not.
int64_t Host_WebBrowserInit(int32_t cefEnabled, int32_t branch, int32_t nativeFallback,
                            const WebBrowserInterface* nativeTable);

// The native back end of this platform: the WebKitGTK view.
const WebBrowserInterface* HostWebBrowser_GetNativeInterface();

// Tasks of the native back end: run by the main thread's event queue, a posted task on a later
// pass, a delayed one once its delay has passed.
const WebBrowserTaskInterface* HostWebBrowserTask_GetInterface();
