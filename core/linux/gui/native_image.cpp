// NativeImage over GdkPixbuf: the handle is the pixbuf itself, so GTK code takes it as it is.
#include "core/linux/gui/native_image.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include "core/runtime/debug.h"

namespace {

GdkPixbuf* Pixbuf(NativeImage* image) { return reinterpret_cast<GdkPixbuf*>(image); }

// Refuses a picture before its pixels exist, so that a small file cannot claim gigabytes.
void CheckSize(GdkPixbufLoader* loader, gint width, gint height, gpointer refused) {
    if (width > NATIVEIMAGE_MAX_SIDE || height > NATIVEIMAGE_MAX_SIDE || width < 1 || height < 1) {
        *static_cast<bool*>(refused) = true;
        gdk_pixbuf_loader_set_size(loader, 1, 1);
    }
}

} // namespace

int64_t NativeImage_Create(NativeImage** image, const void* bytes, uint32_t length) {
    ASSERT_POINTER(image);
    *image = nullptr;
    if (bytes == nullptr || length == 0) return 0;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
    bool refused = false;
    g_signal_connect(loader, "size-prepared", G_CALLBACK(CheckSize), &refused);
    const bool written = gdk_pixbuf_loader_write(loader, static_cast<const guchar*>(bytes), length, nullptr);
    const bool closed = gdk_pixbuf_loader_close(loader, nullptr);
    GdkPixbuf* pixbuf = written && closed && !refused ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
    if (pixbuf) *image = reinterpret_cast<NativeImage*>(g_object_ref(pixbuf));
    g_object_unref(loader);
    return *image ? 1 : 0;
}

int64_t NativeImage_AddRef(NativeImage* image) {
    ASSERT_POINTER(image);
    g_object_ref(Pixbuf(image));
    return 1;
}

int64_t NativeImage_Release(NativeImage** image) {
    ASSERT_POINTER(image);
    if (*image) g_object_unref(Pixbuf(*image));
    *image = nullptr;
    return 1;
}

int64_t NativeImage_GetSize(NativeImage* image, int32_t* width, int32_t* height) {
    ASSERT_POINTER(image);
    ASSERT_POINTER(width);
    ASSERT_POINTER(height);
    *width = gdk_pixbuf_get_width(Pixbuf(image));
    *height = gdk_pixbuf_get_height(Pixbuf(image));
    return 1;
}

int64_t NativeImage_Crop(NativeImage* source, int32_t x, int32_t y, int32_t width, int32_t height,
                         NativeImage** image) {
    ASSERT_POINTER(source);
    ASSERT_POINTER(image);
    *image = nullptr;
    const int64_t sourceWidth = gdk_pixbuf_get_width(Pixbuf(source));
    const int64_t sourceHeight = gdk_pixbuf_get_height(Pixbuf(source));
    if (x < 0 || y < 0 || width < 1 || height < 1 || x + (int64_t)width > sourceWidth ||
        y + (int64_t)height > sourceHeight)
        return 0;
    // A copy, so that the cut-out does not keep the whole sheet alive.
    GdkPixbuf* view = gdk_pixbuf_new_subpixbuf(Pixbuf(source), x, y, width, height);
    GdkPixbuf* copy = view ? gdk_pixbuf_copy(view) : nullptr;
    if (view) g_object_unref(view);
    *image = reinterpret_cast<NativeImage*>(copy);
    return copy ? 1 : 0;
}
