// The skin window's sprite sheet decoded for real (GdkPixbuf behind the native image slots): the
// big icon and the tile overlay cut from it, and bytes that are no picture refused.
#include "skin/skin_window.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/formats/interop.h"
#include "core/formats/json.h"
#include "core/linux/gui/native_image.h"
#include "core/linux/gui/native_taskbar.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "tests/skin/test_browser.h"
#include "tests/support/log_capture.h"

namespace {

// A 64 x 32 PNG: left half red, right half blue.
const std::string kSheet(
    "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\x00\x40\x00\x00\x00\x20\x08\x06\x00"
    "\x00\x00\xa2\x9d\x7e\x84\x00\x00\x00\x43\x49\x44\x41\x54\x78\xda\xed\xd0\xb1\x09\x00\x00\x0c\xc3\xb0\xfc\xff"
    "\x74\x7a\x46\xa0\x68\xf0\x6c\x50\x9a\x74\xd9\x78\xdf\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
    "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\xff\x01\x0e\x28\x7a\xf0\xe2"
    "\x35\x74\x4e\x6f\x00\x00\x00\x00\x49\x45\x4e\x44\xae\x42\x60\x82",
    124);

const SkinWindowAppInterface kApp = {
    [](const char* text, char* out, int32_t capacity) -> int64_t {
        snprintf(out, (size_t)capacity, "%s", text);
        return 1;
    },
    [](const char*, Dictionary*, char* url, int32_t capacity) -> int64_t {
        snprintf(url, (size_t)capacity, "%s", "http://skin/index.html");
        return 1;
    },
    [](const char*) -> int64_t { return 1; },
    [](char*, int32_t) -> int64_t { return 0; },
    [](const char* path, void** data, uint32_t* length) -> int64_t {
        const std::string bytes = strcmp(path, "sheet.png") == 0 ? kSheet : "not a picture";
        *length = (uint32_t)bytes.size();
        *data = Memory_Alloc(*length);
        memcpy(*data, bytes.data(), *length);
        return 1;
    },
    [](void* data, uint32_t length) -> int64_t { return Memory_Free(data, length), 1; },
};

// The stand-in window with the platform's pictures in its image and icon slots.
NativeSkinWindowInterface PictureTable() {
    NativeSkinWindowInterface table = *TestNative_GetInterface();
    table.ImageCreate = NativeImage_Create;
    table.ImageRelease = NativeImage_Release;
    table.ImageGetSize = NativeImage_GetSize;
    table.ImageCrop = NativeImage_Crop;
    table.SetBigIcon = [](NativeSkinWindow* w, NativeImage* image) { return NativeWindow_SetBigIcon(w, image); };
    table.SetOverlayIcon = [](NativeSkinWindow* w, NativeImage* image) {
        return NativeTaskbar_SetOverlayIcon(w, image);
    };
    return table;
}

class SpriteSheet : public LogLinesTest {
  protected:
    static inline NativeSkinWindowInterface table_;
    SkinWindow* window = nullptr;

    static void SetUpTestSuite() {
        table_ = PictureTable();
        ASSERT_EQ(Thread_Init(), 1);
        ASSERT_EQ(EventQueue_Init(), 1);
        ASSERT_EQ(Interop_Init(), 1);
        ASSERT_EQ(WebBrowser_Init(TestBrowser_GetInterface(), ""), 1);
        NativeSkinWindow_SetInterface(&table_);
        SkinWindow_SetAppInterface(&kApp);
        SkinWindow_Init("test");
    }
    static void TearDownTestSuite() {
        NativeTaskbar_Remove();
        SkinWindow_Remove();
        WebBrowser_Remove();
        Interop_Remove();
        EventQueue_Remove();
        Thread_Remove();
    }
    void SetUp() override {
        LogLinesTest::SetUp();
        Log_SetLevel(LOG_LEVEL_DEBUG);
        ASSERT_EQ(NotificationCenter_Init(), 1);
        ASSERT_EQ(SkinWindow_Create(&window), 1);
    }
    void TearDown() override {
        SkinWindow_Release(&window);
        NotificationCenter_Remove();
        LogLinesTest::TearDown();
    }
    void Load(const char* sheet) {
        Dictionary* config = nullptr;
        Dictionary_Create(&config);
        Dictionary_SetStringByKey(config, "spriteSheet", sheet);
        EXPECT_EQ(SkinWindow_LoadConfig(window, config), 1);
        Dictionary_Release(&config);
    }
    static bool Logged(const std::string& text) {
        for (const auto& line : printed)
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
    static std::string Size(NativeImage* image) {
        if (image == nullptr) return "none";
        int32_t w = 0, h = 0;
        NativeImage_GetSize(image, &w, &h);
        NativeImage_Release(&image);
        return std::to_string(w) + "x" + std::to_string(h);
    }
};

} // namespace

TEST_F(SpriteSheet, IconsCutFromTheDecodedSheet) {
    Load("sheet.png");
    EXPECT_EQ(SkinWindow_SetBigIcon(window, 48, 16, 16, 16), 1);
    NativeImage* icon = nullptr;
    NativeWindow_GetBigIcon(nullptr, &icon);
    EXPECT_EQ(Size(icon), "16x16");
    EXPECT_EQ(SkinWindow_SetBigIcon(window, 49, 0, 16, 16), 0) << "beyond the sheet's width";
    EXPECT_EQ(SkinWindow_SetTaskbarOverlay(window, 0, 0, 8, 8), 1);
    NativeWindow_GetDefaultIcon(nullptr, &icon);
    EXPECT_EQ(Size(icon), "16x16") << "the overlay goes on the icon";
    EXPECT_EQ(SkinWindow_SetBigIcon(window, 0, 0, 0, 16), 1);
    NativeWindow_GetBigIcon(nullptr, &icon);
    EXPECT_EQ(Size(icon), "none");
}

TEST_F(SpriteSheet, BytesThatAreNoPicture) {
    Load("bad.png");
    EXPECT_TRUE(Logged("Unable to read sprite sheet (bad.png)"));
    EXPECT_EQ(SkinWindow_SetBigIcon(window, 0, 0, 8, 8), 0);
}
