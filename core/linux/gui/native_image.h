// Bitmap images of the native layer (icons, sprite sheets): decoded from encoded bytes (PNG, JPEG
// and the other formats GdkPixbuf reads), measured and cut. A NativeImage is reference counted.
#pragma once

#include <cstdint>

struct NativeImage;

// Pictures larger than this on either side are refused before their pixels are allocated.
constexpr int32_t NATIVEIMAGE_MAX_SIDE = 8192;

// 0 (and no image) when the bytes do not decode or the picture is too large.
int64_t NativeImage_Create(NativeImage** image, const void* bytes, uint32_t length);
int64_t NativeImage_AddRef(NativeImage* image);
int64_t NativeImage_Release(NativeImage** image);
int64_t NativeImage_GetSize(NativeImage* image, int32_t* width, int32_t* height);
// A new image of the rectangle; 0 unless it lies inside the source and is not empty.
int64_t NativeImage_Crop(NativeImage* source, int32_t x, int32_t y, int32_t width, int32_t height,
                         NativeImage** image);
