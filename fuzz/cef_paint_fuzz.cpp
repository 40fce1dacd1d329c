// Fuzz target of off-screen painting: arbitrary sequences of view and popup paints, popup sizes
// and scales from the engine, with frames of exactly the announced size, must never reach outside
// a buffer; every reported view holds the pixels it claims.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/cef/cef_client_handler.h"

namespace {

void Check(bool condition) {
    if (!condition) abort();
}

struct Host final : CEFBrowserHost {
    void AddRef() override {}
    void Release() override {}
    void* GetWindowHandle() override { return nullptr; }
    void* GetOpenerWindowHandle() override { return nullptr; }
    void CloseBrowser(int32_t) override {}
    void CloseDevTools() override {}
    void ShowDevTools(const CEFWindowInfo&, const CEFBrowserSettings&) override {}
    void WasResized() override {}
    void WasHidden(int32_t) override {}
    void NotifyScreenInfoChanged() override {}
    void NotifyMoveOrResizeStarted() override {}
    void Invalidate(int32_t) override {}
    void SetFocus(int32_t) override {}
    void SendCaptureLostEvent() override {}
    void SendKeyEvent(const CEFKeyEvent&) override {}
    void SendMouseMoveEvent(const CEFMouseEvent&, int32_t) override {}
    void SendMouseClickEvent(const CEFMouseEvent&, int32_t, int32_t, int32_t) override {}
    void SendMouseWheelEvent(const CEFMouseEvent&, int32_t, int32_t) override {}
};

struct Browser final : CEFHostBrowser {
    Host host;
    void AddRef() override {}
    void Release() override {}
    CEFFrame* GetMainFrame() override { return nullptr; }
    CEFBrowserHost* GetHost() override { return &host; }
    CEFPageFrame* GetMainPageFrame() override { return nullptr; }
    CEFPageFrame* GetFocusedFrame() override { return nullptr; }
    bool HasDocument() override { return true; }
    bool CanGoBack() override { return false; }
    bool IsSame(CEFHostBrowser* other) override { return other == this; }
};

// Reads every byte the view claims to have.
int64_t ReadView(ClientHandler*, void*, const void* pixels, int32_t size, int32_t width, int32_t height) {
    if (!pixels || width < 1 || height < 1) return 1;
    Check((int64_t)width * height * 4 <= size);
    volatile uint8_t sum = 0;
    const auto* bytes = static_cast<const uint8_t*>(pixels);
    for (int64_t i = 0; i < (int64_t)width * height * 4; i += 61) sum = (uint8_t)(sum + bytes[i]);
    return 1;
}

struct Reader {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    uint8_t Byte() { return at < size ? data[at++] : 0; }
    int32_t Int() {
        uint32_t value = 0;
        for (int i = 0; i < 4; i++) value = value << 8 | Byte();
        return (int32_t)value;
    }
    // Mostly small lengths, now and then anything.
    int32_t Length() {
        const uint8_t kind = Byte();
        return kind < 240 ? (int32_t)(kind % 40) - 2 : Int();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    Reader in{data, size};
    Browser browser;
    ClientHandler* handler = nullptr;
    CEF5414ClientHandler_Create(&handler);
    CEF5414ClientHandler_SetBrowser(handler, &browser);
    CEF5414ClientHandler_SetViewChangeCallback(handler, ReadView, nullptr);
    CEFClient* client = CEF5414ClientHandler_GetClient(handler);
    while (in.at < in.size) {
        switch (in.Byte() % 5) {
        case 0:
        case 1: {
            const int32_t type = in.Byte() % 2 ? PET_POPUP : PET_VIEW;
            const int32_t width = in.Length();
            const int32_t height = in.Length();
            std::vector<CEFRect> rects(in.Byte() % 4);
            for (CEFRect& r : rects) r = CEFRect{in.Length(), in.Length(), in.Length(), in.Length()};
            // The engine's frame is exactly as large as it says, when it is small enough to make.
            const int64_t bytes = width > 0 && height > 0 && width <= 4096 && height <= 4096 ? (int64_t)width * height * 4 : 0;
            uint8_t* frame = bytes ? static_cast<uint8_t*>(malloc((size_t)bytes)) : nullptr;
            if (frame) memset(frame, 7, (size_t)bytes);
            if (frame || width < 1 || height < 1)
                client->on_paint(&browser, type, rects.size(), rects.data(), frame, width, height);
            free(frame);
            break;
        }
        case 2:
            client->on_popup_size(&browser, CEFRect{in.Length(), in.Length(), in.Length(), in.Length()});
            break;
        case 3:
            client->on_popup_show(&browser, in.Byte() % 2);
            break;
        case 4:
            CEF5414ClientHandler_SetDeviceScaleFactor(handler, (float)(in.Byte() % 17) / 4.0f);
            break;
        }
    }
    client->Release();
    CEF5414ClientHandler_Shutdown(handler);
    CEF5414ClientHandler_Release(&handler);
    return 0;
}
