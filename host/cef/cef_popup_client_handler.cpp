// The client of a window that a skin page opens (and of developer-tools windows): it forwards
// requests to the main client handler, places and titles the window, and reports its life.
#include "host/cef/cef_popup_client_handler.h"

#include <atomic>
#include <new>

#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "host/cef/cef_client_handler.h"
#include "skin/native_skin_window.h"
#include "skin/skin_window.h"

namespace {

struct PopupClient final : CEFClient {
    PopupClientHandler* Owner = nullptr;
    void AddRef() override;
    void Release() override;
    int32_t on_before_popup(CEFHostBrowser* browser, CEFPageFrame* frame, const char* url,
                            const CEFPopupFeatures& features, CEFClient** client) override;
    void on_after_created(CEFHostBrowser* browser) override;
    void on_before_close(CEFHostBrowser* browser) override;
    void on_title_change(CEFHostBrowser* browser, const char*) override;
    int32_t get_screen_info(CEFHostBrowser*, CEFScreenInfo* info) override;
    CEFClient* get_resource_request_handler(CEFHostBrowser*, CEFPageFrame*, CEFRequest*) override {
        AddRef();
        return this;
    }
    int32_t on_before_resource_load(CEFHostBrowser* browser, CEFPageFrame* frame, CEFRequest* request,
                                    CEFCallback* callback) override;
    CEFResourceHandler* get_resource_handler(CEFHostBrowser* browser, CEFPageFrame* frame,
                                             CEFRequest* request) override;
    void on_resource_redirect(CEFHostBrowser*, CEFPageFrame*, CEFRequest*, CEFResponse*, std::string* url) override;
};

} // namespace

struct PopupClientHandler {
    Class Base;
    PopupClient Client;
    CEFPopupFeatures Features;
    // Taken on the engine's UI thread when the popup closes, read on its I/O thread.
    std::atomic<ClientHandler*> MainClientHandler;
    std::atomic<uint32_t> ShowDeveloperTools;
    std::atomic<uint32_t> FirstRequest;
};

#define POPUP_CHECK(popup) CLASS_CHECK(popup, POPUPCLIENTHANDLER_CLASS_ID)

namespace {

template <typename T> void Drop(T*& object) {
    if (object) object->Release();
    object = nullptr;
}

void PopupClient::AddRef() { Class_AddRef(Owner); }
void PopupClient::Release() {
    PopupClientHandler* owner = Owner;
    Class_Release(&owner);
}

int32_t PopupClient::on_before_popup(CEFHostBrowser* browser, CEFPageFrame* frame, const char* url,
                                     const CEFPopupFeatures& features, CEFClient** client) {
    ClientHandler* main = Owner->MainClientHandler.load();
    return main ? CEF5414ClientHandler_BeforePopup(main, browser, frame, url, features, client) : 1;
}

void PopupClient::on_after_created(CEFHostBrowser* browser) {
    CEFBrowserEngine* engine = CEFBrowserEngine_Get();
    ClientHandler* main = Owner->MainClientHandler.load();
    CEFBrowserHost* host = browser ? browser->GetHost() : nullptr;
    if (!engine || !main || !host) {
        Drop(host);
        return;
    }
    void* window = host->GetWindowHandle();
    Drop(host);
    const CEFPopupFeatures& features = Owner->Features;
    int32_t width = features.width;
    int32_t height = features.height;
    CEF5414ClientHandler_LogicalToDevice(main, &width);
    CEF5414ClientHandler_LogicalToDevice(main, &height);
    PopupClientHandler_SetTitle(Owner, browser);
    CEF5414ClientHandler_PopupCreated(main, browser);
    int32_t x = 0;
    int32_t y = 0;
    engine->WindowGetX(window, &x);
    engine->WindowGetY(window, &y);
    if (!features.widthSet) engine->WindowGetWidth(window, &width);
    if (!features.heightSet) engine->WindowGetHeight(window, &height);
    engine->WindowAdjustWindowSize(window, &x, &y, &width, &height);
    if (features.xSet == 1) x = features.x;
    if (features.ySet == 1) y = features.y;
    engine->WindowMove(window, x, y);
    engine->WindowSize(window, width, height);
    SkinWindow* skin = CEF5414ClientHandler_GetSkinWindowHandle(main);
    if (skin) {
        char frameName[POPUPCLIENTHANDLER_FRAME_SIZE];
        SkinWindow_GetPopupFrame(skin, frameName, sizeof(frameName));
        engine->WindowSetFrame(window, NativeWindow_TranslateFrameString(frameName));
    }
}

void PopupClient::on_before_close(CEFHostBrowser* browser) {
    ClientHandler* main = Owner->MainClientHandler.exchange(nullptr);
    if (!main) return;
    CEF5414ClientHandler_PopupClosed(main, browser);
    CEF5414ClientHandler_Release(&main);
}

void PopupClient::on_title_change(CEFHostBrowser* browser, const char*) { PopupClientHandler_SetTitle(Owner, browser); }

int32_t PopupClient::get_screen_info(CEFHostBrowser*, CEFScreenInfo* info) {
    ClientHandler* main = Owner->MainClientHandler.load();
    return main ? CEF5414ClientHandler_GetScreenInfo(main, info) : 0;
}

int32_t PopupClient::on_before_resource_load(CEFHostBrowser* browser, CEFPageFrame* frame, CEFRequest* request,
                                             CEFCallback* callback) {
    ClientHandler* main = Owner->MainClientHandler.load();
    return main ? CEF5414ClientHandler_BeforeResourceLoad(main, Owner, browser, frame, request, callback)
                : RV_CONTINUE;
}

CEFResourceHandler* PopupClient::get_resource_handler(CEFHostBrowser* browser, CEFPageFrame* frame,
                                                      CEFRequest* request) {
    // Only the popup's own document is refetched; later requests follow the main routing.
    const uint32_t first = Owner->FirstRequest.exchange(0);
    ClientHandler* main = Owner->MainClientHandler.load();
    return main ? CEF5414ClientHandler_GetResourceHandler(main, browser, frame, request, first) : nullptr;
}

void PopupClient::on_resource_redirect(CEFHostBrowser*, CEFPageFrame*, CEFRequest*, CEFResponse*, std::string* url) {
    ClientHandler* main = Owner->MainClientHandler.load();
    if (main) CEF5414ClientHandler_ResourceRedirect(main, url);
}

int64_t DeleteHandle(void** handle) {
    return CEF5414PopupClientHandler_Delete(reinterpret_cast<PopupClientHandler**>(handle));
}

} // namespace

int64_t CEF5414PopupClientHandler_Create(PopupClientHandler** popup) {
    ASSERT_POINTER(popup);
    *popup = nullptr;
    void* memory = Memory_AllocZero(sizeof(PopupClientHandler));
    auto* created = new (memory) PopupClientHandler();
    created->Base.ClassId = POPUPCLIENTHANDLER_CLASS_ID;
    created->Base.RefCount = 1;
    created->Base.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(created);
    created->Client.Owner = created;
    created->Features = CEFPopupFeatures{};
    created->MainClientHandler.store(nullptr);
    created->ShowDeveloperTools.store(1);
    created->FirstRequest.store(1);
    *popup = created;
    return 1;
}

int64_t CEF5414PopupClientHandler_AddRef(PopupClientHandler* popup) {
    POPUP_CHECK(popup);
    Class_AddRef(popup);
    return 1;
}

int64_t CEF5414PopupClientHandler_Release(PopupClientHandler** popup) {
    ASSERT_POINTER(popup);
    if (!*popup) return 0;
    POPUP_CHECK(*popup);
    Class_Release(popup);
    return 1;
}

int64_t CEF5414PopupClientHandler_Delete(PopupClientHandler** handle) {
    ASSERT_POINTER(handle);
    PopupClientHandler* popup = *handle;
    POPUP_CHECK(popup);
    // A popup that never closed still holds its main handler.
    ClientHandler* main = popup->MainClientHandler.exchange(nullptr);
    if (main) CEF5414ClientHandler_Release(&main);
    popup->Base.ClassId = 0;
    popup->~PopupClientHandler();
    Memory_Free(popup, sizeof(PopupClientHandler));
    *handle = nullptr;
    return 1;
}

CEFClient* CEF5414PopupClientHandler_GetClient(PopupClientHandler* popup) {
    POPUP_CHECK(popup);
    popup->Client.AddRef();
    return &popup->Client;
}

int64_t CEF5414PopupClientHandler_SetFeatures(PopupClientHandler* popup, const CEFPopupFeatures& features) {
    POPUP_CHECK(popup);
    popup->Features = features;
    return 1;
}

int64_t CEF5414PopupClientHandler_SetMainClientHandler(PopupClientHandler* popup, ClientHandler* handler) {
    POPUP_CHECK(popup);
    if (handler) CEF5414ClientHandler_AddRef(handler);
    ClientHandler* previous = popup->MainClientHandler.exchange(handler);
    if (previous) CEF5414ClientHandler_Release(&previous);
    return 1;
}

int64_t CEF5414PopupClientHandler_GetShowDeveloperTools(PopupClientHandler* popup, uint32_t* show) {
    POPUP_CHECK(popup);
    ASSERT_POINTER(show);
    *show = popup->ShowDeveloperTools.load();
    return 1;
}

int64_t CEF5414PopupClientHandler_SetShowDeveloperTools(PopupClientHandler* popup, uint32_t show) {
    POPUP_CHECK(popup);
    popup->ShowDeveloperTools.store(show ? 1 : 0);
    return 1;
}

int64_t PopupClientHandler_SetTitle(PopupClientHandler* popup, CEFHostBrowser* browser) {
    POPUP_CHECK(popup);
    CEFBrowserEngine* engine = CEFBrowserEngine_Get();
    CEFBrowserHost* host = browser ? browser->GetHost() : nullptr;
    if (!engine || !host) {
        Drop(host);
        return 0;
    }
    char title[POPUPCLIENTHANDLER_TITLE_SIZE] = "";
    ClientHandler* main = popup->MainClientHandler.load();
    SkinWindow* skin = main ? CEF5414ClientHandler_GetSkinWindowHandle(main) : nullptr;
    if (skin) SkinWindow_GetTitle(skin, title, sizeof(title));
    engine->WindowSetTitleUtf8(host->GetWindowHandle(), title);
    Drop(host);
    return 1;
}
