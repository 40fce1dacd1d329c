// Off-screen frames of an embedded browser copied into the view buffer: the dirty rectangles of
// a view paint, and the popup widget laid over the view.
#include "host/cef/cef_client_handler_paint.h"

#include <algorithm>
#include <cstring>

namespace {

// Rows of a frame are a few hundred to a few thousand bytes: an inline loop of fixed-size blocks
// beats a library call per row that first works out which copy to use.
inline void CopyRow(uint8_t* target, const uint8_t* source, size_t bytes) {
    for (; bytes >= 64; bytes -= 64, target += 64, source += 64) memcpy(target, source, 64);
    for (; bytes >= 16; bytes -= 16, target += 16, source += 16) memcpy(target, source, 16);
    memcpy(target, source, bytes);
}

} // namespace

void CEFPaint_CopyRects(uint8_t* view, const uint8_t* frame, int32_t width, int32_t height, const CEFRect* rects,
                        size_t count) {
    if (!view || !frame || width < 1 || height < 1) return;
    const size_t rowBytes = (size_t)width * 4;
    for (size_t i = 0; i < count; i++) {
        // The engine's rectangles are trusted no further than the view they describe.
        const int64_t left = std::max<int64_t>(rects[i].x, 0);
        const int64_t top = std::max<int64_t>(rects[i].y, 0);
        const int64_t right = std::min<int64_t>((int64_t)rects[i].x + rects[i].width, width);
        const int64_t bottom = std::min<int64_t>((int64_t)rects[i].y + rects[i].height, height);
        if (left >= right || top >= bottom) continue;
        const size_t bytes = (size_t)(right - left) * 4;
        for (int64_t y = top; y < bottom; y++) {
            const size_t offset = (size_t)y * rowBytes + (size_t)left * 4;
            CopyRow(view + offset, frame + offset, bytes);
        }
    }
}

void CEFPaint_Composite(uint8_t* view, int32_t viewWidth, int32_t viewHeight, const uint8_t* popup,
                        size_t popupBytes, int32_t stride, const CEFRect& rect) {
    if (!view || !popup || viewWidth < 1 || viewHeight < 1 || rect.width < 1 || rect.height < 1 || stride < 1) return;
    // Columns left of the view are cut from the start of each popup row, columns right of it from
    // the end: a row never runs on into the next row of the view.
    const int64_t skip = rect.x < 0 ? -(int64_t)rect.x : 0;
    const int64_t left = (int64_t)rect.x + skip;
    const int64_t right = std::min<int64_t>((int64_t)rect.x + rect.width, viewWidth);
    if (left >= right) return;
    const size_t bytes = (size_t)(right - left) * 4;
    const int64_t first = rect.y < 0 ? -(int64_t)rect.y : 0;
    const int64_t last = std::min<int64_t>(rect.height, (int64_t)viewHeight - rect.y);
    if (first >= last) return;
    const size_t viewStride = (size_t)viewWidth * 4;
    uint8_t* target = view + ((size_t)(rect.y + first) * (size_t)viewWidth + (size_t)left) * 4;
    for (int64_t r = first; r < last; r++, target += viewStride) {
        const size_t source = (size_t)r * (size_t)stride + (size_t)skip * 4;
        if (source >= popupBytes) break;
        const size_t available = popupBytes - source;
        CopyRow(target, popup + source, available < bytes ? available : bytes);
    }
}
