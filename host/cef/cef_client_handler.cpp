// The browser-process side of one embedded browser: which requests are answered in the process,
// refetched, sent to the system browser or left to the engine; error pages, fitting the window to
// its content, off-screen painting, and the popup windows the browser opens.
#include "host/cef/cef_client_handler.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "core/formats/base64.h"
#include "core/formats/url.h"
#include "core/linux/platform_process.h"
#include "core/runtime/app_config_keys.h"
#include "core/runtime/callback.h"
#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/signal.h"
#include "core/runtime/string.h"
#include "core/runtime/unicode.h"
#include "core/web/web_get_redirect.h"
#include "host/cef/cef_auth_credentials.h"
#include "host/cef/cef_client_handler_paint.h"
#include "host/cef/cef_popup_client_handler.h"
#include "host/cef/cef_resource_loader.h"
#include "host/cef/cef_script_bridge.h"
#include "host/cef/cef_skin_loader.h"
#include "skin/localisation.h"
#include "skin/skin_app.h"
#include "skin/skin_window.h"
#include "skin/web_browser.h"
#include "workflow/workflow_app.h"


namespace {

struct HandlerClient final : CEFClient {
    ClientHandler* Owner = nullptr;
    void AddRef() override;
    void Release() override;
    int32_t on_before_popup(CEFHostBrowser* browser, CEFPageFrame* frame, const char* url,
                            const CEFPopupFeatures& features, CEFClient** client) override;
    void on_after_created(CEFHostBrowser* browser) override;
    void on_before_close(CEFHostBrowser* browser) override;
    void on_loading_state_change(CEFHostBrowser* browser, int32_t loading, int32_t, int32_t) override;
    void on_load_error(CEFHostBrowser* browser, CEFPageFrame* frame, int32_t code, const std::u16string& text,
                       const std::u16string& url) override;
    int32_t run_context_menu(CEFHostBrowser*, CEFPageFrame*) override { return 1; }
    int32_t on_context_menu_command(CEFHostBrowser*, CEFPageFrame*, int32_t) override { return 1; }
    CEFClient* get_resource_request_handler(CEFHostBrowser*, CEFPageFrame*, CEFRequest*) override {
        AddRef();
        return this;
    }
    int32_t get_auth_credentials(CEFHostBrowser*, const char*, int32_t isProxy, const char* host, int32_t port,
                                 const char* realm, const char*, CEFAuthCallback* callback) override {
        return (int32_t)AuthCredentials_Get(isProxy ? 1 : 0, host, port, realm, callback);
    }
    int32_t on_certificate_error(CEFHostBrowser*, int32_t, const char*, CEFCallback* callback) override;
    void on_render_process_terminated(CEFHostBrowser* browser, int32_t status) override;
    int32_t on_before_resource_load(CEFHostBrowser* browser, CEFPageFrame* frame, CEFRequest* request,
                                    CEFCallback* callback) override;
    CEFResourceHandler* get_resource_handler(CEFHostBrowser* browser, CEFPageFrame* frame,
                                             CEFRequest* request) override;
    void on_resource_redirect(CEFHostBrowser*, CEFPageFrame*, CEFRequest*, CEFResponse*, std::string* url) override;
    void on_resource_load_complete(CEFHostBrowser*, CEFPageFrame*, CEFRequest* request, CEFResponse* response,
                                   int32_t status, int64_t length) override;
    void on_protocol_execution(CEFHostBrowser*, CEFPageFrame*, CEFRequest*, int32_t* allow) override {
        if (allow) *allow = 0;
    }
    void on_title_change(CEFHostBrowser* browser, const char* title) override;
    int32_t on_cursor_change(CEFHostBrowser*, void*, int32_t) override;
    void get_view_rect(CEFHostBrowser*, CEFRect* rect) override;
    int32_t get_screen_point(CEFHostBrowser*, int32_t x, int32_t y, int32_t* screenX, int32_t* screenY) override;
    int32_t get_screen_info(CEFHostBrowser*, CEFScreenInfo* info) override;
    void on_popup_show(CEFHostBrowser*, int32_t show) override;
    void on_popup_size(CEFHostBrowser*, const CEFRect& rect) override;
    void on_paint(CEFHostBrowser*, int32_t type, size_t count, const CEFRect* rects, const void* buffer,
                  int32_t width, int32_t height) override;
    int32_t on_process_message_received(CEFHostBrowser*, CEFPageFrame*, int32_t, CEFProcessMessage* message) override;
};

struct PopupEntry {
    PopupEntry* Previous;
    PopupEntry* Next;
    CEFHostBrowser* Browser;
};

template <typename T> void Drop(T*& object) {
    if (object) object->Release();
    object = nullptr;
}

int32_t VerboseLevel() {
    int32_t level = 0;
    Log_GetVerboseLevel("WebBrowser", &level);
    return level;
}

} // namespace

struct ClientHandler {
    Class Base;
    HandlerClient Client;
    CEFHostBrowser* Browser;
    Signal* ShutdownSignal;
    uint32_t Closing;
    float DeviceScaleFactor;
    std::atomic<uint32_t> AwaitContentSize;
    std::atomic<uint32_t> DeveloperToolsEnabled;
    std::atomic<uint32_t> DeveloperToolsPending;
    int32_t ViewWidth;
    int32_t ViewHeight;
    uint8_t* ViewBuffer;
    uint32_t ViewCapacity;
    uint8_t* PopupBuffer;
    uint32_t PopupCapacity;
    // What the last popup paint filled of the popup buffer.
    uint32_t PopupFilled;
    CEFRect PopupRect;
    CEFRect PaintedPopupRect;
    void* WindowHandle;
    SkinWindow* Window;
    PopupEntry* PopupHead;
    PopupEntry* PopupTail;
    int32_t PopupCount;
    uint32_t MouseCursorChangeDisabled;
    CallbackBase ViewChange;
    CallbackBase Unembed;
};

#define CLIENTHANDLER_CHECK(handler) CLASS_CHECK(handler, CLIENTHANDLER_CLASS_ID)

namespace {

void HandlerClient::AddRef() { Class_AddRef(Owner); }
void HandlerClient::Release() {
    ClientHandler* owner = Owner;
    Class_Release(&owner);
}

bool IsShutDown(ClientHandler* handler) {
    uint32_t state = 0;
    Signal_Get(handler->ShutdownSignal, &state);
    return state != 0;
}

// The engine's browser windows: centred on their opener, with the skin window's icon.
void PlaceWindow(ClientHandler* handler, CEFBrowserHost* host) {
    CEFBrowserEngine* engine = CEFBrowserEngine_Get();
    if (!engine || !host) return;
    void* window = host->GetWindowHandle();
    void* opener = host->GetOpenerWindowHandle();
    if (opener) engine->WindowCenter(window, opener);
    NativeImage* icon = nullptr;
    if (handler->Window && !SkinWindow_GetSmallIcon(handler->Window, &icon)) SkinWindow_GetDefaultIcon(handler->Window, &icon);
    engine->WindowSetSmallIcon(window, icon);
}

std::string Utf8(const std::u16string& text) {
    std::string out(text.size() * 3 + 1, '\0');
    const int32_t length = StringUtf16_CopyLengthToUtf8(out.data(), (int32_t)out.size(),
                                                        reinterpret_cast<const uint16_t*>(text.data()),
                                                        (int32_t)text.size());
    out.resize(length > 0 ? strnlen(out.c_str(), out.size()) : 0);
    return out;
}

// The failed URL and the engine's error text are not ours: they go into the page as text only.
std::string HtmlText(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

// The part of a URL from its host on: scheme and user information dropped.
const char* FromHost(const char* url) {
    const char* start = strstr(url, "://");
    if (!start) return url;
    start += 3;
    const size_t authority = strcspn(start, "/?#");
    for (size_t i = authority; i > 0; i--)
        if (start[i - 1] == '@') return start + i;
    return start;
}

std::string CutUrl(const char* url) {
    std::string text = url ? url : "";
    if (text.size() >= (size_t)CLIENTHANDLER_URL_SIZE) text.resize(CLIENTHANDLER_URL_SIZE - 1);
    return text;
}

// Native objects only for a frame of the skin's own origin: the content server's or the
// development server's exactly, scheme, host and port.
bool FrameAllowed(CEFPageFrame* frame) {
    const std::string url = CutUrl(frame->GetURL().c_str());
    char origin[CLIENTHANDLER_HOST_SIZE];
    return URL_ParseOrigin(url.c_str(), origin, sizeof(origin)) && SkinApp_IsSkinOrigin(origin);
}

void OpenDeveloperTools(ClientHandler* handler, PopupClientHandler* popup, CEFHostBrowser* browser,
                        const std::string& url) {
    std::string title;
    if (popup) {
        title = url.size() > 99 ? url.substr(0, 99) + "..." : url;
        title += " - ";
    } else if (handler->Window) {
        char setting[100];
        char expanded[100];
        SkinWindow_GetConfig(handler->Window, kWindowConfigTitle, "", setting, sizeof(setting));
        L10N_LocalizeString(setting, sizeof(setting));
        SkinApp_ExpandString(setting, expanded, sizeof(expanded));
        title = expanded;
        if (!title.empty()) title += " - ";
    }
    title += "DevTools";
    if (title.size() >= (size_t)CLIENTHANDLER_DEVTOOLS_TITLE_SIZE) title.resize(CLIENTHANDLER_DEVTOOLS_TITLE_SIZE - 1);
    CEFBrowserHost* host = browser ? browser->GetHost() : nullptr;
    if (!host) return;
    CEFWindowInfo info;
    CEF5414CEFApp_WindowInfoInit(&info, nullptr, 0, 0, 0, title.c_str());
    CEFBrowserSettings settings{};
    settings.Size = sizeof(settings);
    host->ShowDevTools(info, settings);
    CEF5414CEFApp_WindowInfoFree(&info);
    Drop(host);
}

bool HasHeader(const CEFHeaderMap& headers, const char* name) {
    for (const auto& header : headers)
        if (String_CompareWithoutCase(header.first.c_str(), name)) return true;
    return false;
}

// Fit to content: waits on the user-interface thread until the page has a document, then asks
// the render process for its size.
struct ContentSizeTask {
    ClientHandler* Handler;
};

void ContentSizeDelete(void* data) {
    ClientHandler* handler = static_cast<ContentSizeTask*>(data)->Handler;
    CEF5414ClientHandler_Release(&handler);
}

void ContentSizeRun(void* data);

// Hands the handler's reference to a new task; drops it when none can be posted.
void PostContentSizeTask(ClientHandler* handler) {
    void* task = nullptr;
    if (WebBrowserTask_Create(&task, sizeof(ContentSizeTask), ContentSizeRun, ContentSizeDelete) != 1) {
        CEF5414ClientHandler_Release(&handler);
        return;
    }
    static_cast<ContentSizeTask*>(task)->Handler = handler;
    WebBrowserTask_PostDelayed(task, 5);
    WebBrowserTask_Release(task);
}

void ContentSizeRun(void* data) {
    ClientHandler* handler = static_cast<ContentSizeTask*>(data)->Handler;
    CEFHostBrowser* browser = handler->Browser;
    CEFPageFrame* main = nullptr;
    if (browser && (browser->HasDocument() || browser->CanGoBack())) main = browser->GetMainPageFrame();
    if (browser && !main) {
        PostContentSizeTask(handler);
        return;
    }
    CEFEngine* engine = CEFEngine_Get();
    if (main && engine) {
        CEFProcessMessage* message = engine->CreateProcessMessage("ContentSize");
        if (message) main->SendProcessMessage(CEF_PROCESS_RENDERER, message);
        Drop(message);
    }
    Drop(main);
    CEF5414ClientHandler_Release(&handler);
}

int32_t Scaled(int32_t length, float factor) {
    const double value = (double)length * factor + 0.5;
    // A render process may report anything; the result stays a window size.
    if (!(value > 0)) return 0;
    if (value >= 2147483647.0) return 2147483647;
    return (int32_t)value;
}

int32_t ConfigInt(SkinWindow* window, const char* key) {
    char text[32];
    SkinWindow_GetConfig(window, key, "0", text, sizeof(text));
    return (int32_t)strtol(text, nullptr, 10);
}

// ---- Engine callbacks ----------------------------------------------------------------------------

int32_t HandlerClient::on_before_popup(CEFHostBrowser* browser, CEFPageFrame* frame, const char* url,
                                       const CEFPopupFeatures& features, CEFClient** client) {
    return CEF5414ClientHandler_BeforePopup(Owner, browser, frame, url, features, client);
}

void HandlerClient::on_after_created(CEFHostBrowser* browser) {
    CEFBrowserHost* host = browser ? browser->GetHost() : nullptr;
    PlaceWindow(Owner, host);
    Drop(host);
}

void HandlerClient::on_before_close(CEFHostBrowser* browser) {
    ClientHandler* handler = Owner;
    if (!browser || !handler->Browser || !handler->Browser->IsSame(browser)) return;
    if (!handler->PopupCount) {
        CEF5414ClientHandler_Shutdown(handler);
        return;
    }
    handler->Closing = 1;
    for (PopupEntry* entry = handler->PopupHead; entry; entry = entry->Next) {
        CEFBrowserHost* host = entry->Browser->GetHost();
        if (host) host->CloseBrowser(1);
        Drop(host);
    }
}

void HandlerClient::on_loading_state_change(CEFHostBrowser*, int32_t loading, int32_t, int32_t) {
    if (loading || !Owner->AwaitContentSize.load()) return;
    CEF5414ClientHandler_AddRef(Owner);
    PostContentSizeTask(Owner);
}

void HandlerClient::on_load_error(CEFHostBrowser*, CEFPageFrame* frame, int32_t code, const std::u16string& text,
                                  const std::u16string& url) {
    if (code == ERR_ABORTED || !frame) return;
    std::string page;
    if (!CEFClientHandler_ErrorPageUrl(Utf8(url).c_str(), Utf8(text).c_str(), code, &page)) return;
    if (frame->IsMain() && Owner->Window) SkinWindow_SetReadyEmergencyClose(Owner->Window);
    frame->LoadURL(page.c_str());
}

int32_t HandlerClient::on_certificate_error(CEFHostBrowser*, int32_t, const char*, CEFCallback* callback) {
    // A certificate the engine rejects stops the load: going on would show a page from a peer
    // nobody has vouched for.
    if (callback) callback->Cancel();
    return 1;
}

void HandlerClient::on_render_process_terminated(CEFHostBrowser*, int32_t status) {
    static const char* const kMessages[] = {
        "Render process exited with non-zero exit status", "Render process was killed",
        "Render process crashed unexpectedly or was killed by OOM killer", "Render process was killed by OOM killer"};
    if (status >= 0 && status <= 3) Log_Error("%s\n", kMessages[status]);
    if ((status == 0 || status == 1 || status > 3) && Owner->Window) SkinWindow_SetReadyEmergencyClose(Owner->Window);
}

int32_t HandlerClient::on_before_resource_load(CEFHostBrowser* browser, CEFPageFrame* frame, CEFRequest* request,
                                               CEFCallback* callback) {
    return CEF5414ClientHandler_BeforeResourceLoad(Owner, nullptr, browser, frame, request, callback);
}

CEFResourceHandler* HandlerClient::get_resource_handler(CEFHostBrowser* browser, CEFPageFrame* frame,
                                                        CEFRequest* request) {
    return CEF5414ClientHandler_GetResourceHandler(Owner, browser, frame, request, 0);
}

void HandlerClient::on_resource_redirect(CEFHostBrowser*, CEFPageFrame*, CEFRequest*, CEFResponse*,
                                         std::string* url) {
    CEF5414ClientHandler_ResourceRedirect(Owner, url);
}

void HandlerClient::on_resource_load_complete(CEFHostBrowser*, CEFPageFrame*, CEFRequest* request,
                                              CEFResponse* response, int32_t status, int64_t length) {
    if (status == UR_SUCCESS || status == UR_IO_PENDING || !request) return;
    const std::string url = CutUrl(request->GetURL().c_str());
    if (url == "about:blank" || VerboseLevel() <= 0) return;
    Log_Debug("WebBrowser - Navigation Error - %s (Status %d HTTP Code %d Content Length %lldB)\n", url.c_str(), status,
              response ? response->GetStatus() : 0, (long long)length);
}

void HandlerClient::on_title_change(CEFHostBrowser* browser, const char* title) {
    CEFBrowserEngine* engine = CEFBrowserEngine_Get();
    CEFBrowserHost* host = browser ? browser->GetHost() : nullptr;
    if (engine && host) {
        void* opener = host->GetOpenerWindowHandle();
        void* window = host->GetWindowHandle();
        if (opener && window != opener) engine->WindowSetTitleUtf8(window, title ? title : "");
    }
    Drop(host);
}

int32_t HandlerClient::on_cursor_change(CEFHostBrowser*, void*, int32_t) {
    return Owner->MouseCursorChangeDisabled ? 1 : 0;
}

void HandlerClient::get_view_rect(CEFHostBrowser*, CEFRect* rect) {
    int32_t width = 0;
    int32_t height = 0;
    if (Owner->Window) {
        SkinWindow_GetWidth(Owner->Window, &width);
        SkinWindow_GetHeight(Owner->Window, &height);
    }
    *rect = CEFRect{0, 0, std::max(width, 1), std::max(height, 1)};
}

int32_t HandlerClient::get_screen_point(CEFHostBrowser*, int32_t x, int32_t y, int32_t* screenX, int32_t* screenY) {
    int32_t left = 0;
    int32_t top = 0;
    if (Owner->Window) {
        SkinWindow_GetX(Owner->Window, &left);
        SkinWindow_GetY(Owner->Window, &top);
    }
    *screenX = x + left;
    *screenY = y + top;
    return 1;
}

int32_t HandlerClient::get_screen_info(CEFHostBrowser*, CEFScreenInfo* info) {
    return CEF5414ClientHandler_GetScreenInfo(Owner, info);
}

void HandlerClient::on_popup_show(CEFHostBrowser*, int32_t show) {
    if (show) return;
    ClientHandler* handler = Owner;
    handler->PopupRect = CEFRect{0, 0, 0, 0};
    if (handler->PopupBuffer) Memory_Free(handler->PopupBuffer, (int32_t)handler->PopupCapacity);
    handler->PopupBuffer = nullptr;
    handler->PopupCapacity = 0;
    handler->PopupFilled = 0;
    CEFBrowserHost* host = CEF5414ClientHandler_GetBrowserHost(handler);
    if (host) host->Invalidate(PET_VIEW);
    Drop(host);
}

// A length times the scale, truncated, kept within 32 bits.
int32_t ScaledLength(int32_t length, float scale) {
    return (int32_t)std::clamp(std::trunc((double)length * scale), -2147483648.0, 2147483647.0);
}

void HandlerClient::on_popup_size(CEFHostBrowser*, const CEFRect& rect) {
    const float scale = Owner->DeviceScaleFactor;
    Owner->PopupRect = CEFRect{ScaledLength(rect.x, scale), ScaledLength(rect.y, scale), ScaledLength(rect.width, scale),
                               ScaledLength(rect.height, scale)};
}

// Largest frame the buffers take: 4 bytes a pixel must stay within a signed 32-bit size.
constexpr uint64_t kMaxFrameBytes = 0x7fff0000u;

void HandlerClient::on_paint(CEFHostBrowser*, int32_t type, size_t count, const CEFRect* rects, const void* buffer,
                             int32_t width, int32_t height) {
    ClientHandler* handler = Owner;
    if (IsShutDown(handler) || !handler->Browser) return;
    const uint8_t* frame = static_cast<const uint8_t*>(buffer);
    const uint64_t frameBytes = width > 0 && height > 0 ? (uint64_t)width * (uint64_t)height * 4 : 0;
    const bool usable = frame && frameBytes > 0 && frameBytes <= kMaxFrameBytes;
    // A frame that cannot be held is dropped whole: the view must never claim more pixels than
    // its buffer has.
    if (frameBytes > 0 && !usable) return;
    if (type == PET_VIEW) {
        const bool resized = width != handler->ViewWidth || height != handler->ViewHeight;
        handler->ViewWidth = width;
        handler->ViewHeight = height;
        bool whole = resized || (count == 1 && rects && rects[0] == CEFRect{0, 0, width, height});
        if (usable && frameBytes > handler->ViewCapacity) {
            if (handler->ViewBuffer) Memory_Free(handler->ViewBuffer, (int32_t)handler->ViewCapacity);
            handler->ViewBuffer = static_cast<uint8_t*>(Memory_Alloc((int32_t)frameBytes));
            handler->ViewCapacity = (uint32_t)frameBytes;
            whole = true;
        }
        if (usable && handler->ViewBuffer) {
            if (whole)
                memcpy(handler->ViewBuffer, frame, (size_t)frameBytes);
            else if (rects)
                CEFPaint_CopyRects(handler->ViewBuffer, frame, width, height, rects, count);
        }
    } else if (type == PET_POPUP && usable) {
        if (frameBytes > handler->PopupCapacity) {
            if (handler->PopupBuffer) Memory_Free(handler->PopupBuffer, (int32_t)handler->PopupCapacity);
            handler->PopupBuffer = static_cast<uint8_t*>(Memory_Alloc((int32_t)frameBytes));
            handler->PopupCapacity = (uint32_t)frameBytes;
        }
        memcpy(handler->PopupBuffer, frame, (size_t)frameBytes);
        handler->PopupFilled = (uint32_t)frameBytes;
    }

    const CEFRect painted = handler->PaintedPopupRect;
    if (handler->ViewBuffer && handler->PopupBuffer && painted.width > 0 && painted.height > 0 &&
        (uint64_t)handler->ViewWidth * (uint64_t)std::max(handler->ViewHeight, 0) * 4 <= handler->ViewCapacity) {
        // A fractional scale makes the engine's popup frame one pixel wider than its rectangle.
        const double twice = 2.0 * handler->DeviceScaleFactor;
        const int64_t stride = (int64_t)painted.width * 4 + (twice != std::floor(twice) ? 4 : 0);
        if (stride <= 0x7fffffff)
            CEFPaint_Composite(handler->ViewBuffer, handler->ViewWidth, handler->ViewHeight, handler->PopupBuffer,
                               handler->PopupFilled, (int32_t)stride, painted);
    }
    if (!(handler->PopupRect == painted)) {
        if (type == PET_VIEW && painted.width > 0 && painted.height > 0) {
            CEFBrowserHost* host = CEF5414ClientHandler_GetBrowserHost(handler);
            if (host) host->Invalidate(PET_POPUP);
            Drop(host);
        }
        handler->PaintedPopupRect = handler->PopupRect;
    }

    void* user = nullptr;
    void* function = nullptr;
    if (CallbackBase_GetReal(&handler->ViewChange, &user, &function))
        reinterpret_cast<ClientHandlerViewChangeFunc>(function)(handler, user, handler->ViewBuffer,
                                                                (int32_t)handler->ViewCapacity, handler->ViewWidth,
                                                                handler->ViewHeight);
}

int32_t HandlerClient::on_process_message_received(CEFHostBrowser*, CEFPageFrame*, int32_t,
                                                   CEFProcessMessage* message) {
    // Only the content size carries two integers; the name is not looked at.
    auto* values = dynamic_cast<CEFValueMessage*>(message);
    if (!values || values->GetArgumentCount() != 2 || values->GetArgumentType(0) != VTYPE_INT ||
        values->GetArgumentType(1) != VTYPE_INT)
        return 1;
    ClientHandler* handler = Owner;
    handler->AwaitContentSize.store(0);
    if (!handler->Window) return 1;
    float factor = 1.0f;
    CEFBrowserEngine* engine = CEFBrowserEngine_Get();
    if (engine) engine->WindowGetTextScaleFactor(handler->WindowHandle, &factor);
    int32_t screenWidth = 0;
    int32_t screenHeight = 0;
    SkinWindow_GetScreenWidth(handler->Window, &screenWidth);
    SkinWindow_GetScreenHeight(handler->Window, &screenHeight);
    int32_t width = 0;
    int32_t height = 0;
    CEFClientHandler_FitToContent(values->GetInt(0), values->GetInt(1),
                                  ConfigInt(handler->Window, kWindowConfigMinWidth),
                                  ConfigInt(handler->Window, kWindowConfigMinHeight), screenWidth,
                                  screenHeight, factor, &width, &height);
    int32_t currentWidth = 0;
    int32_t currentHeight = 0;
    SkinWindow_GetWidth(handler->Window, &currentWidth);
    SkinWindow_GetHeight(handler->Window, &currentHeight);
    if (width != currentWidth || height != currentHeight) SkinWindow_SetSize(handler->Window, width, height);
    return 1;
}

} // namespace

// ---- Object ----------------------------------------------------------------------------------------

namespace {
int64_t DeleteHandle(void** handle) { return CEF5414ClientHandler_Delete(reinterpret_cast<ClientHandler**>(handle)); }
} // namespace

int64_t CEF5414ClientHandler_Create(ClientHandler** handler) {
    ASSERT_POINTER(handler);
    *handler = nullptr;
    void* memory = Memory_AllocZero(sizeof(ClientHandler));
    auto* created = new (memory) ClientHandler();
    created->Base.ClassId = CLIENTHANDLER_CLASS_ID;
    created->Base.RefCount = 1;
    created->Base.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(created);
    created->Client.Owner = created;
    created->DeviceScaleFactor = 1.0f;
    created->AwaitContentSize.store(1);
    created->DeveloperToolsPending.store(1);
    Signal_Create(&created->ShutdownSignal);
    *handler = created;
    return 1;
}

int64_t CEF5414ClientHandler_AddRef(ClientHandler* handler) {
    CLIENTHANDLER_CHECK(handler);
    Class_AddRef(handler);
    return 1;
}

int64_t CEF5414ClientHandler_Release(ClientHandler** handler) {
    ASSERT_POINTER(handler);
    if (!*handler) return 0;
    CLIENTHANDLER_CHECK(*handler);
    Class_Release(handler);
    return 1;
}

int64_t CEF5414ClientHandler_Delete(ClientHandler** handle) {
    ASSERT_POINTER(handle);
    ClientHandler* handler = *handle;
    CLIENTHANDLER_CHECK(handler);
    if (handler->Browser)
        Debug_AbortInt(__FILE__, __LINE__, "Assertion failed (ClientHandler->Browser == NULL)\nClientHandler is not shut down");
    if (handler->ViewBuffer) Memory_Free(handler->ViewBuffer, (int32_t)handler->ViewCapacity);
    if (handler->PopupBuffer) Memory_Free(handler->PopupBuffer, (int32_t)handler->PopupCapacity);
    while (handler->PopupHead) {
        PopupEntry* entry = handler->PopupHead;
        handler->PopupHead = entry->Next;
        Drop(entry->Browser);
        Memory_Free(entry, sizeof(PopupEntry));
    }
    CallbackBase_ResetReal(&handler->ViewChange);
    CallbackBase_ResetReal(&handler->Unembed);
    Signal_Delete(&handler->ShutdownSignal);
    handler->Base.ClassId = 0;
    handler->~ClientHandler();
    Memory_Free(handler, sizeof(ClientHandler));
    *handle = nullptr;
    return 1;
}

CEFClient* CEF5414ClientHandler_GetClient(ClientHandler* handler) {
    CLIENTHANDLER_CHECK(handler);
    handler->Client.AddRef();
    return &handler->Client;
}

ClientHandler* CEF5414ClientHandler_HandleFromClient(CEFClient* client) {
    auto* own = dynamic_cast<HandlerClient*>(client);
    return own ? own->Owner : nullptr;
}

int64_t CEF5414ClientHandler_SetBrowser(ClientHandler* handler, CEFHostBrowser* browser) {
    CLIENTHANDLER_CHECK(handler);
    if (!browser) {
        Drop(handler->Browser);
        return 1;
    }
    if (handler->Browser) return 1;
    browser->AddRef();
    handler->Browser = browser;
    CEFBrowserHost* host = browser->GetHost();
    if (host) {
        handler->WindowHandle = host->GetWindowHandle();
        PlaceWindow(handler, host);
    }
    Drop(host);
    return 1;
}

CEFHostBrowser* CEF5414ClientHandler_GetBrowser(ClientHandler* handler) {
    CLIENTHANDLER_CHECK(handler);
    if (handler->Browser) handler->Browser->AddRef();
    return handler->Browser;
}

CEFBrowserHost* CEF5414ClientHandler_GetBrowserHost(ClientHandler* handler) {
    CLIENTHANDLER_CHECK(handler);
    return handler->Browser ? handler->Browser->GetHost() : nullptr;
}

int64_t CEF5414ClientHandler_SetSkinWindowHandle(ClientHandler* handler, SkinWindow* window) {
    CLIENTHANDLER_CHECK(handler);
    handler->Window = window;
    return 1;
}

SkinWindow* CEF5414ClientHandler_GetSkinWindowHandle(ClientHandler* handler) {
    CLIENTHANDLER_CHECK(handler);
    return handler->Window;
}

int64_t CEF5414ClientHandler_SetViewChangeCallback(ClientHandler* handler, ClientHandlerViewChangeFunc function,
                                                   void* user) {
    CLIENTHANDLER_CHECK(handler);
    CallbackBase_ResetReal(&handler->ViewChange);
    if (function) CallbackBase_SetReal(&handler->ViewChange, 0, user, reinterpret_cast<void*>(function));
    return 1;
}

int64_t CEF5414ClientHandler_SetUnembedCallback(ClientHandler* handler, ClientHandlerUnembedFunc function,
                                                void* user) {
    CLIENTHANDLER_CHECK(handler);
    CallbackBase_ResetReal(&handler->Unembed);
    if (function) CallbackBase_SetReal(&handler->Unembed, 0, user, reinterpret_cast<void*>(function));
    return 1;
}

int64_t CEF5414ClientHandler_ExecuteScript(ClientHandler* handler, const char* first, const char* second) {
    CLIENTHANDLER_CHECK(handler);
    if (IsShutDown(handler) || !handler->Browser) return 0;
    return CEF5414CEFScriptTask_Run(handler->Browser, first ? first : "", second ? second : "");
}

int64_t CEF5414ClientHandler_Shutdown(ClientHandler* handler) {
    CLIENTHANDLER_CHECK(handler);
    handler->WindowHandle = nullptr;
    Drop(handler->Browser);
    Signal_SetInt(handler->ShutdownSignal, 1, __FILE__, __LINE__);
    AuthCredentials_CancelAll();
    // The unembed callback may release the handler: hold it until the end.
    CEF5414ClientHandler_AddRef(handler);
    void* user = nullptr;
    void* function = nullptr;
    if (CallbackBase_GetReal(&handler->Unembed, &user, &function))
        reinterpret_cast<ClientHandlerUnembedFunc>(function)(user);
    CallbackBase_ResetReal(&handler->ViewChange);
    CEF5414ClientHandler_Release(&handler);
    return 1;
}

int64_t CEF5414ClientHandler_PopupCreated(ClientHandler* handler, CEFHostBrowser* popup) {
    CLIENTHANDLER_CHECK(handler);
    if (!popup) return 0;
    auto* entry = static_cast<PopupEntry*>(Memory_AllocZero(sizeof(PopupEntry)));
    popup->AddRef();
    entry->Browser = popup;
    entry->Previous = handler->PopupTail;
    if (handler->PopupTail)
        handler->PopupTail->Next = entry;
    else
        handler->PopupHead = entry;
    handler->PopupTail = entry;
    handler->PopupCount++;
    CEFBrowserHost* host = popup->GetHost();
    PlaceWindow(handler, host);
    Drop(host);
    return 1;
}

int64_t CEF5414ClientHandler_PopupClosed(ClientHandler* handler, CEFHostBrowser* popup) {
    CLIENTHANDLER_CHECK(handler);
    if (!popup) return 0;
    for (PopupEntry* entry = handler->PopupHead; entry; entry = entry->Next) {
        if (!entry->Browser->IsSame(popup)) continue;
        (entry->Previous ? entry->Previous->Next : handler->PopupHead) = entry->Next;
        (entry->Next ? entry->Next->Previous : handler->PopupTail) = entry->Previous;
        handler->PopupCount--;
        Drop(entry->Browser);
        Memory_Free(entry, sizeof(PopupEntry));
        break;
    }
    if (!handler->PopupCount && handler->Closing) CEF5414ClientHandler_Shutdown(handler);
    return 1;
}

int32_t CEF5414ClientHandler_GetPopupCount(ClientHandler* handler) {
    CLIENTHANDLER_CHECK(handler);
    return handler->PopupCount;
}

// ---- Requests ----------------------------------------------------------------------------------------

int64_t CEFClientHandler_IsExternalUrl(const char* url, Dictionary* patterns) {
    if (!url || !patterns) return 0;
    const char* tail = FromHost(url);
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(patterns, &item); item; Dictionary_ItemGetNext(patterns, item, &item)) {
        uint32_t type = 0;
        const char* pattern = nullptr;
        if (!Dictionary_ItemGetType(patterns, item, &type) || type != DICTIONARY_TYPE_STRING) continue;
        if (Dictionary_ItemGetStringPtr(patterns, item, &pattern) && pattern &&
            String_CompareWildcardWithoutCase(tail, pattern))
            return 1;
    }
    return 0;
}

int64_t CEF5414ClientHandler_BeforeUrlLoad(ClientHandler* handler, const char* url) {
    CLIENTHANDLER_CHECK(handler);
    if (!url) return 1;
    const bool verbose = VerboseLevel() >= 30;
    if (verbose) Log_Debug("WebBrowser - OnBeforeResourceLoad - %s\n", url);
    Dictionary* config = nullptr;
    Dictionary* patterns = nullptr;
    if (!WorkflowApp_GetConfigHandle(&config) || !config) return 1;
    if (Dictionary_GetDictionaryByPath(config, kAppConfigCefExternalUrls, &patterns) && patterns &&
        CEFClientHandler_IsExternalUrl(url, patterns)) {
        if (verbose) Log_Debug("WebBrowser - Open external browser - %s\n", url);
        Platform_ShellOpen(url);
        return 0;
    }
    return 1;
}

int64_t CEF5414ClientHandler_ResourceRedirect(ClientHandler* handler, std::string* url) {
    CLIENTHANDLER_CHECK(handler);
    if (!url) return 0;
    // Rules may lengthen the URL; the buffer leaves them room.
    std::string buffer(url->size() + 8192, '\0');
    memcpy(buffer.data(), url->data(), url->size());
    if (WebGet_Redirect(2, buffer.data(), (int32_t)buffer.size()) != 1) return 0;
    *url = buffer.c_str();
    return 1;
}

int32_t CEF5414ClientHandler_BeforeResourceLoad(ClientHandler* handler, PopupClientHandler* popup,
                                                CEFHostBrowser* browser, CEFPageFrame*, CEFRequest* request,
                                                CEFCallback*) {
    CLIENTHANDLER_CHECK(handler);
    if (!request) return RV_CONTINUE;
    const std::string url = request->GetURL();
    if (!CEF5414ClientHandler_BeforeUrlLoad(handler, url.c_str())) return RV_CANCEL;
    std::string target = url;
    bool changed = CEF5414ClientHandler_ResourceRedirect(handler, &target) == 1;

    uint32_t pending = 0;
    if (popup) {
        CEF5414PopupClientHandler_GetShowDeveloperTools(popup, &pending);
        CEF5414PopupClientHandler_SetShowDeveloperTools(popup, 0);
        handler->DeveloperToolsPending.store(0);
    } else {
        pending = handler->DeveloperToolsPending.exchange(0);
    }
    if (pending && handler->DeveloperToolsEnabled.load()) OpenDeveloperTools(handler, popup, browser, url);

    CEFHeaderMap headers = request->GetHeaderMap();
    if (!HasHeader(headers, "Accept-Language")) {
        char language[16] = "";
        char country[16] = "";
        L10N_GetLanguage(language, sizeof(language));
        L10N_GetCountry(country, sizeof(country));
        std::string value = std::string(language) + "-" + country + ", " + language;
        if (value.size() >= (size_t)CLIENTHANDLER_ACCEPT_LANGUAGE_SIZE)
            value.resize(CLIENTHANDLER_ACCEPT_LANGUAGE_SIZE - 1);
        headers.emplace_back("Accept-Language", value);
        changed = true;
    }
    if (changed) {
        CEFPostData* body = request->GetPostData();
        request->Set(target.c_str(), request->GetMethod().c_str(), body, headers);
        Drop(body);
    }
    return RV_CONTINUE;
}

int32_t CEF5414ClientHandler_BeforePopup(ClientHandler* handler, CEFHostBrowser*, CEFPageFrame*,
                                         const char* targetUrl, const CEFPopupFeatures& features, CEFClient** client) {
    CLIENTHANDLER_CHECK(handler);
    ASSERT_POINTER(client);
    if (!CEF5414ClientHandler_BeforeUrlLoad(handler, targetUrl ? targetUrl : "")) return 1;
    PopupClientHandler* popup = nullptr;
    if (!CEF5414PopupClientHandler_Create(&popup)) return 1;
    CEF5414PopupClientHandler_SetFeatures(popup, features);
    CEF5414PopupClientHandler_SetMainClientHandler(popup, handler);
    Drop(*client);
    *client = CEF5414PopupClientHandler_GetClient(popup);
    CEF5414PopupClientHandler_Release(&popup);
    return 0;
}

int32_t CEFClientHandler_ChooseRoute(CEFPageFrame* frame, const char* rawUrl, uint32_t popup) {
    if (!frame && !popup) return CLIENTHANDLER_ROUTE_ENGINE;
    const std::string url = CutUrl(rawUrl);
    char scheme[16];
    if (!URL_ParseProtocol(url.c_str(), scheme, sizeof(scheme)) ||
        (!String_CompareWithoutCase(scheme, "http") && !String_CompareWithoutCase(scheme, "https")))
        return CLIENTHANDLER_ROUTE_ENGINE;
    if (frame) {
        char host[CLIENTHANDLER_HOST_SIZE] = "";
        URL_ParseHost(url.c_str(), host, sizeof(host));
        if (SkinApp_IsContentUrl(url.c_str())) {
            const char* path = nullptr;
            if (URL_ParsePathPtr(url.c_str(), &path) && path && strncmp(path, "/instances/", 11) == 0)
                return FrameAllowed(frame) ? CLIENTHANDLER_ROUTE_INTEROP : CLIENTHANDLER_ROUTE_ENGINE;
            return CLIENTHANDLER_ROUTE_SKIN;
        }
        if (String_CompareWithoutCase(host, "interop"))
            return FrameAllowed(frame) ? CLIENTHANDLER_ROUTE_INTEROP : CLIENTHANDLER_ROUTE_ENGINE;
        if (!frame->IsMain()) {
            CEFPageFrame* parent = frame->GetParentFrame();
            if (parent) {
                const std::string parentUrl = CutUrl(parent->GetURL().c_str());
                Drop(parent);
                return SkinApp_IsContentUrl(parentUrl.c_str()) || SkinApp_IsDevServer(parentUrl.c_str())
                           ? CLIENTHANDLER_ROUTE_LOADER
                           : CLIENTHANDLER_ROUTE_ENGINE;
            }
        }
    }
    return popup ? CLIENTHANDLER_ROUTE_POPUP_LOADER : CLIENTHANDLER_ROUTE_ENGINE;
}

CEFResourceHandler* CEF5414ClientHandler_GetResourceHandler(ClientHandler* handler, CEFHostBrowser* browser,
                                                           CEFPageFrame* frame, CEFRequest* request, uint32_t popup) {
    CLIENTHANDLER_CHECK(handler);
    if (!request) return nullptr;
    const std::string url = CutUrl(request->GetURL().c_str());
    switch (CEFClientHandler_ChooseRoute(frame, url.c_str(), popup)) {
    case CLIENTHANDLER_ROUTE_INTEROP:
        return CEFInterop_Start(url.c_str(), request);
    case CLIENTHANDLER_ROUTE_SKIN:
        return CEFSkinLoader_Start(url.c_str(), request);
    case CLIENTHANDLER_ROUTE_LOADER:
        return ResourceLoader_Start(url.c_str(), browser, frame, request, 0);
    case CLIENTHANDLER_ROUTE_POPUP_LOADER:
        return ResourceLoader_Start(url.c_str(), browser, frame, request, 1);
    default:
        return nullptr;
    }
}

// ---- Pages and screens -------------------------------------------------------------------------------

int64_t CEFClientHandler_ErrorPageUrl(const char* url, const char* error, int32_t code, std::string* dataUrl) {
    ASSERT_POINTER(dataUrl);
    dataUrl->clear();
    const std::string link = HtmlText(url ? url : "");
    const std::string page =
        "<html><head><title>Page failed to load</title></head><body bgcolor=\"white\"><h3>Page failed to "
        "load.</h3><p>URL: <a href=\"" +
        link + "\">" + link + "</a><br/>Error: " + HtmlText(error ? error : "") + " (" + std::to_string(code) +
        ")</p></body></html>";
    // The encoding is sized to the page, so a long URL never cuts the page short.
    uint32_t size = 0;
    if (page.size() > 0x10000000u || !Base64_CalculateEncodeSize((uint32_t)page.size(), &size)) return 0;
    std::string encoded((size_t)size + 1, '\0');
    uint32_t written = 0;
    if (!Base64_Encode(page.data(), (int32_t)page.size(), encoded.data(), (int32_t)encoded.size(), &written))
        return 0;
    encoded.resize(written);
    *dataUrl = "data:text/html;base64," + encoded;
    return 1;
}

void CEFClientHandler_FitToContent(int32_t contentWidth, int32_t contentHeight, int32_t minWidth, int32_t minHeight,
                                   int32_t screenWidth, int32_t screenHeight, float factor, int32_t* width,
                                   int32_t* height) {
    *width = std::min(std::max(std::min(Scaled(minWidth, factor), screenWidth), Scaled(contentWidth, factor)),
                      screenWidth);
    *height = std::min(std::max(std::min(Scaled(minHeight, factor), screenHeight), Scaled(contentHeight, factor)),
                       screenHeight);
}

int32_t CEF5414ClientHandler_GetScreenInfo(ClientHandler* handler, CEFScreenInfo* info) {
    CLIENTHANDLER_CHECK(handler);
    CEFBrowserEngine* engine = CEFBrowserEngine_Get();
    if (!engine || !info) return 0;
    int32_t horizontal = 0;
    int32_t vertical = 0;
    if (!engine->WindowGetScreenDPI(handler->WindowHandle, &horizontal, &vertical)) return 0;
    const float scale = (float)horizontal / 96.0f;
    if (scale > 4.0f || scale < 1.0f || scale == info->DeviceScaleFactor) return 0;
    int32_t width = 0;
    int32_t height = 0;
    engine->WindowGetWidth(handler->WindowHandle, &width);
    engine->WindowGetHeight(handler->WindowHandle, &height);
    handler->DeviceScaleFactor = scale;
    info->DeviceScaleFactor = scale;
    info->Rect = CEFRect{0, 0, width, height};
    info->AvailableRect = info->Rect;
    return 1;
}

// ---- Settings ----------------------------------------------------------------------------------------

int64_t CEF5414ClientHandler_LogicalToDevice(ClientHandler* handler, int32_t* value) {
    CLIENTHANDLER_CHECK(handler);
    ASSERT_POINTER(value);
    *value = ScaledLength(*value, handler->DeviceScaleFactor);
    return 1;
}

int64_t CEF5414ClientHandler_DeviceToLogical(ClientHandler* handler, int32_t* value) {
    CLIENTHANDLER_CHECK(handler);
    ASSERT_POINTER(value);
    if (handler->DeviceScaleFactor == 0.0f) return 0;
    const double scaled = std::trunc((double)*value / handler->DeviceScaleFactor);
    *value = (int32_t)std::clamp(scaled, -2147483648.0, 2147483647.0);
    return 1;
}

int64_t CEF5414ClientHandler_GetEnableDeveloperTools(ClientHandler* handler, uint32_t* enabled) {
    CLIENTHANDLER_CHECK(handler);
    ASSERT_POINTER(enabled);
    *enabled = handler->DeveloperToolsEnabled.load();
    return 1;
}

int64_t CEF5414ClientHandler_SetEnableDeveloperTools(ClientHandler* handler, uint32_t enabled) {
    CLIENTHANDLER_CHECK(handler);
    handler->DeveloperToolsEnabled.store(enabled ? 1 : 0);
    return 1;
}

int64_t CEF5414ClientHandler_GetDeviceScaleFactor(ClientHandler* handler, float* factor) {
    CLIENTHANDLER_CHECK(handler);
    ASSERT_POINTER(factor);
    *factor = handler->DeviceScaleFactor;
    return 1;
}

int64_t CEF5414ClientHandler_SetDeviceScaleFactor(ClientHandler* handler, float factor) {
    CLIENTHANDLER_CHECK(handler);
    handler->DeviceScaleFactor = factor;
    return 1;
}

int64_t CEF5414ClientHandler_GetIsMouseCursorChangeDisabled(ClientHandler* handler, uint32_t* disabled) {
    CLIENTHANDLER_CHECK(handler);
    ASSERT_POINTER(disabled);
    *disabled = handler->MouseCursorChangeDisabled;
    return 1;
}

int64_t CEF5414ClientHandler_SetIsMouseCursorChangeDisabled(ClientHandler* handler, uint32_t disabled) {
    CLIENTHANDLER_CHECK(handler);
    handler->MouseCursorChangeDisabled = disabled ? 1 : 0;
    return 1;
}
