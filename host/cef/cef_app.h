// The CEF back end's start and stop, and its application object: the switches the engine and its
// child processes get, and the render-process side that announces frames, runs page callbacks on
// request and measures a page.
#pragma once

#include <cstdint>
#include <string>

#include "host/cef/cef_engine.h"

enum : uint32_t { CEFAPP_CLASS_ID = 0x8DBE4461 };
// The engine branch whose interface the back end speaks.
enum : int32_t { CEFAPP_ENGINE_BRANCH = 5414 };

// Engine start-up in the browser process (1), or 0 when the engine cannot start or this process
// was one of its child processes that has now finished.
int64_t CEF5414CEFWebBrowser_Init(const char* libraryPath);
int64_t CEF5414CEFWebBrowser_Remove();

// The process's application object, made on first use, with a reference for the caller.
CEFApp* CEF5414CEFApp_GetApp();
// Delete callback of the object, run when its last reference goes.
int64_t CEF5414CEFApp_Delete(void** handle);

int64_t CEFApp_AppAddRef(CEFApp* app);
int64_t CEFApp_AppRelease(CEFApp** app);
int64_t CEFApp_AppHasOneRef(CEFApp* app);
// The handlers, each with a reference for the caller; no resource bundle or load handler.
CEFApp* CEFApp_GetResourceBundleHandler(CEFApp* app);
CEFApp* CEFApp_GetBrowserProcessHandler(CEFApp* app);
CEFApp* CEFApp_GetRenderProcessHandler(CEFApp* app);
CEFApp* CEFApp_GetLoadHandler(CEFApp* app);

// Every process: the engine's own command line before it is read. processType is empty in the
// browser process.
int64_t CEFApp_OnBeforeCommandLineProcessing(CEFApp* app, const char* processType, CEFCommandLine* commandLine);
// Browser process: the command line of every child process the engine starts.
int64_t CEFApp_OnBeforeChildProcessLaunch(CEFApp* app, CEFCommandLine* commandLine);
// How many child processes have been launched so far.
uint32_t CEFApp_GetChildCount(CEFApp* app);

// Render process.
int64_t CEFApp_OnWebKitInitialized(CEFApp* app);
int64_t CEFApp_OnBrowserDestroyed(CEFApp* app, CEFBrowser* browser);
int64_t CEFApp_OnContextCreated(CEFApp* app, CEFBrowser* browser, CEFFrame* frame, CEFV8Context* context);
int64_t CEFApp_OnContextReleased(CEFApp* app, CEFBrowser* browser, CEFFrame* frame, CEFV8Context* context);
int64_t CEFApp_OnUncaughtException(CEFApp* app, CEFBrowser* browser, CEFFrame* frame, CEFV8Context* context);
int64_t CEFApp_OnFocusedNodeChanged(CEFApp* app, CEFBrowser* browser, CEFFrame* frame);
// 1 when the message was handled.
int64_t CEFApp_OnRenderProcessMessageReceived(CEFApp* app, CEFBrowser* browser, CEFFrame* frame, int32_t source,
                                              CEFProcessMessage* message);
// The page's scroll width and height; both 0xFFFFFFFF and 0 when they cannot be measured.
int64_t CEFApp_GetContentSize(CEFFrame* frame, uint32_t* width, uint32_t* height);

// Window information of a new browser.
struct CEFWindowInfo {
    std::string WindowName;
    int32_t Width;
    int32_t Height;
    uint32_t WindowlessRenderingEnabled;
    uint32_t Hidden;
    void* ParentView;
};
// mode 0: a window of its own; 1: windowless and hidden; 2: a child view of the parent.
int64_t CEF5414CEFApp_WindowInfoInit(CEFWindowInfo* info, void* parentView, int32_t width, int32_t height,
                                     int32_t mode, const char* windowName);
int64_t CEF5414CEFApp_WindowInfoFree(CEFWindowInfo* info);
