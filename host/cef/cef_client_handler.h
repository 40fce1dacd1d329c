// The browser-process side of one embedded browser: which requests are answered in the process,
// refetched, sent to the system browser or left to the engine; error pages, fitting the window to
// its content, off-screen painting, and the popup windows the browser opens.
#pragma once

#include <cstdint>

#include "host/cef/cef_engine_browser.h"

struct ClientHandler;
struct PopupClientHandler;
struct SkinWindow;
struct Dictionary;

enum : uint32_t { CLIENTHANDLER_CLASS_ID = 0x1921e57d };
enum : int32_t {
    CLIENTHANDLER_URL_SIZE = 8192,
    CLIENTHANDLER_HOST_SIZE = 256,
    CLIENTHANDLER_ERROR_PAGE_SIZE = 24576,
    CLIENTHANDLER_ACCEPT_LANGUAGE_SIZE = 32,
    CLIENTHANDLER_DEVTOOLS_TITLE_SIZE = 120,
};

// Called with the handler's user pointer: the view after every off-screen paint (pixels, bytes,
// width, height), and once when the handler has shut down.
typedef int64_t (*ClientHandlerViewChangeFunc)(ClientHandler* handler, void* user, const void* pixels,
                                               int32_t size, int32_t width, int32_t height);
typedef int64_t (*ClientHandlerUnembedFunc)(void* user);

int64_t CEF5414ClientHandler_Create(ClientHandler** handler);
int64_t CEF5414ClientHandler_AddRef(ClientHandler* handler);
int64_t CEF5414ClientHandler_Release(ClientHandler** handler);
// Aborts while the handler still holds its browser.
int64_t CEF5414ClientHandler_Delete(ClientHandler** handler);
// The client for the engine, with a reference.
CEFClient* CEF5414ClientHandler_GetClient(ClientHandler* handler);
ClientHandler* CEF5414ClientHandler_HandleFromClient(CEFClient* client);

int64_t CEF5414ClientHandler_SetBrowser(ClientHandler* handler, CEFHostBrowser* browser);
CEFHostBrowser* CEF5414ClientHandler_GetBrowser(ClientHandler* handler);
CEFBrowserHost* CEF5414ClientHandler_GetBrowserHost(ClientHandler* handler);
int64_t CEF5414ClientHandler_SetSkinWindowHandle(ClientHandler* handler, SkinWindow* window);
SkinWindow* CEF5414ClientHandler_GetSkinWindowHandle(ClientHandler* handler);
int64_t CEF5414ClientHandler_SetViewChangeCallback(ClientHandler* handler, ClientHandlerViewChangeFunc function,
                                                   void* user);
int64_t CEF5414ClientHandler_SetUnembedCallback(ClientHandler* handler, ClientHandlerUnembedFunc function,
                                                void* user);
int64_t CEF5414ClientHandler_ExecuteScript(ClientHandler* handler, const char* first, const char* second);
int64_t CEF5414ClientHandler_Shutdown(ClientHandler* handler);
int64_t CEF5414ClientHandler_PopupCreated(ClientHandler* handler, CEFHostBrowser* popup);
int64_t CEF5414ClientHandler_PopupClosed(ClientHandler* handler, CEFHostBrowser* popup);
int32_t CEF5414ClientHandler_GetPopupCount(ClientHandler* handler);

// Shared with the popup client. BeforeUrlLoad answers 0 when the URL went to the system browser.
int64_t CEF5414ClientHandler_BeforeUrlLoad(ClientHandler* handler, const char* url);
int32_t CEF5414ClientHandler_BeforeResourceLoad(ClientHandler* handler, PopupClientHandler* popup,
                                                CEFHostBrowser* browser, CEFPageFrame* frame, CEFRequest* request,
                                                CEFCallback* callback);
int32_t CEF5414ClientHandler_BeforePopup(ClientHandler* handler, CEFHostBrowser* browser, CEFPageFrame* frame,
                                         const char* targetUrl, const CEFPopupFeatures& features, CEFClient** client);
int64_t CEF5414ClientHandler_ResourceRedirect(ClientHandler* handler, std::string* url);
CEFResourceHandler* CEF5414ClientHandler_GetResourceHandler(ClientHandler* handler, CEFHostBrowser* browser,
                                                           CEFPageFrame* frame, CEFRequest* request, uint32_t popup);
int32_t CEF5414ClientHandler_GetScreenInfo(ClientHandler* handler, CEFScreenInfo* info);

int64_t CEF5414ClientHandler_LogicalToDevice(ClientHandler* handler, int32_t* value);
int64_t CEF5414ClientHandler_DeviceToLogical(ClientHandler* handler, int32_t* value);
int64_t CEF5414ClientHandler_GetEnableDeveloperTools(ClientHandler* handler, uint32_t* enabled);
int64_t CEF5414ClientHandler_SetEnableDeveloperTools(ClientHandler* handler, uint32_t enabled);
int64_t CEF5414ClientHandler_GetDeviceScaleFactor(ClientHandler* handler, float* factor);
int64_t CEF5414ClientHandler_SetDeviceScaleFactor(ClientHandler* handler, float factor);
int64_t CEF5414ClientHandler_GetIsMouseCursorChangeDisabled(ClientHandler* handler, uint32_t* disabled);
int64_t CEF5414ClientHandler_SetIsMouseCursorChangeDisabled(ClientHandler* handler, uint32_t disabled);

// ---- Decisions, exposed for their tests -------------------------------------------------------
// Where a request goes.
enum : int32_t {
    CLIENTHANDLER_ROUTE_ENGINE = 0,         // no handler: the engine fetches it itself
    CLIENTHANDLER_ROUTE_INTEROP = 1,        // the script bridge
    CLIENTHANDLER_ROUTE_SKIN = 2,           // the skin loader
    CLIENTHANDLER_ROUTE_LOADER = 3,         // the resource loader for a sub-frame
    CLIENTHANDLER_ROUTE_POPUP_LOADER = 4,   // the resource loader for a popup's document
};
int32_t CEFClientHandler_ChooseRoute(CEFPageFrame* frame, const char* url, uint32_t popup);
// 1 when the URL, from its host on, matches a wildcard pattern (without case) of the list.
int64_t CEFClientHandler_IsExternalUrl(const char* url, Dictionary* patterns);
// The page shown for a failed load as a data URL; 0 when it cannot be built.
int64_t CEFClientHandler_ErrorPageUrl(const char* url, const char* error, int32_t code, std::string* dataUrl);
// The size a window gets for a content size, with the window's minimum and the screen's size.
void CEFClientHandler_FitToContent(int32_t contentWidth, int32_t contentHeight, int32_t minWidth, int32_t minHeight,
                                   int32_t screenWidth, int32_t screenHeight, float factor, int32_t* width,
                                   int32_t* height);
