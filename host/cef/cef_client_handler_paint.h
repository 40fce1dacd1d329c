// Off-screen frames of an embedded browser copied into the view buffer: the dirty rectangles of
// a view paint, and the popup widget laid over the view. Pixels are 4 bytes, rows packed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/cef/cef_engine_browser.h"

// Copies each rectangle, clipped to the view, from frame to view (both width x height pixels).
void CEFPaint_CopyRects(uint8_t* view, const uint8_t* frame, int32_t width, int32_t height, const CEFRect* rects,
                        size_t count);
// Lays the popup's rows (stride bytes apart, popupBytes in all) over the view at rect, clipped to
// the view's width and height and to the popup's bytes.
void CEFPaint_Composite(uint8_t* view, int32_t viewWidth, int32_t viewHeight, const uint8_t* popup,
                        size_t popupBytes, int32_t stride, const CEFRect& rect);
