// Off-screen paints of a 1920x1080 BGRA view: the dirty rectangles of a frame copied into the view
// and a popup widget laid over it, beside pixman's SRC composite of the same rectangles.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench/peer_ratio.h"
#include "host/cef/cef_client_handler_paint.h"

#ifdef QVR_HAVE_PIXMAN
#include <pixman.h>
#endif

namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;

// What a page repaints: a caret, a text line, a sidebar, a panel, a banner and the whole view.
const std::vector<CEFRect>& Rects(int64_t set) {
    static const std::vector<CEFRect> small = {{100, 200, 2, 18},     {40, 300, 900, 20},  {0, 0, 320, 1080},
                                               {500, 300, 800, 600},  {0, 1000, 1920, 80}, {1700, 20, 200, 40}};
    static const std::vector<CEFRect> whole = {{0, 0, kWidth, kHeight}};
    return set == 0 ? small : whole;
}

// A select list's popup, with and without its right part past the view's edge.
CEFRect Popup(int64_t set) { return set == 0 ? CEFRect{600, 300, 320, 480} : CEFRect{1700, 700, 400, 500}; }

struct Buffers {
    std::vector<uint32_t> view = std::vector<uint32_t>((size_t)kWidth * kHeight, 0);
    std::vector<uint32_t> frame = std::vector<uint32_t>((size_t)kWidth * kHeight, 0x11223344);
    std::vector<uint32_t> popup = std::vector<uint32_t>(400 * 500, 0x55667788);
};

Buffers& Shared() {
    static Buffers buffers;
    return buffers;
}

void BM_OursDirtyRects(benchmark::State& state) {
    Buffers& b = Shared();
    const std::vector<CEFRect>& rects = Rects(state.range(0));
    for (auto _ : state) {
        CEFPaint_CopyRects(reinterpret_cast<uint8_t*>(b.view.data()), reinterpret_cast<const uint8_t*>(b.frame.data()),
                           kWidth, kHeight, rects.data(), rects.size());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_OursDirtyRects)->Arg(0)->Arg(1);

void BM_OursPopup(benchmark::State& state) {
    Buffers& b = Shared();
    const CEFRect rect = Popup(state.range(0));
    for (auto _ : state) {
        CEFPaint_Composite(reinterpret_cast<uint8_t*>(b.view.data()), kWidth, kHeight,
                           reinterpret_cast<const uint8_t*>(b.popup.data()), (size_t)rect.width * rect.height * 4,
                           rect.width * 4, rect);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_OursPopup)->Arg(0)->Arg(1);

#ifdef QVR_HAVE_PIXMAN
pixman_image_t* Image(std::vector<uint32_t>& pixels, int32_t width, int32_t height) {
    return pixman_image_create_bits(PIXMAN_a8r8g8b8, width, height, pixels.data(), width * 4);
}

void BM_PixmanDirtyRects(benchmark::State& state) {
    Buffers& b = Shared();
    const std::vector<CEFRect>& rects = Rects(state.range(0));
    pixman_image_t* view = Image(b.view, kWidth, kHeight);
    pixman_image_t* frame = Image(b.frame, kWidth, kHeight);
    for (auto _ : state) {
        for (const CEFRect& r : rects)
            pixman_image_composite32(PIXMAN_OP_SRC, frame, nullptr, view, r.x, r.y, 0, 0, r.x, r.y, r.width, r.height);
        benchmark::ClobberMemory();
    }
    pixman_image_unref(frame);
    pixman_image_unref(view);
}
BENCHMARK(BM_PixmanDirtyRects)->Arg(0)->Arg(1);

void BM_PixmanPopup(benchmark::State& state) {
    Buffers& b = Shared();
    const CEFRect rect = Popup(state.range(0));
    pixman_image_t* view = Image(b.view, kWidth, kHeight);
    pixman_image_t* popup = Image(b.popup, rect.width, rect.height);
    for (auto _ : state) {
        pixman_image_composite32(PIXMAN_OP_SRC, popup, nullptr, view, 0, 0, 0, 0, rect.x, rect.y, rect.width,
                                 rect.height);
        benchmark::ClobberMemory();
    }
    pixman_image_unref(popup);
    pixman_image_unref(view);
}
BENCHMARK(BM_PixmanPopup)->Arg(0)->Arg(1);

PEER_RATIO("dirty rectangles (six)", "BM_OursDirtyRects/0", "BM_PixmanDirtyRects/0");
PEER_RATIO("dirty rectangles (whole view)", "BM_OursDirtyRects/1", "BM_PixmanDirtyRects/1");
PEER_RATIO("popup compositing", "BM_OursPopup/0", "BM_PixmanPopup/0");
PEER_RATIO("popup compositing (clipped at the edge)", "BM_OursPopup/1", "BM_PixmanPopup/1");
#endif

} // namespace

PEER_RATIO_MAIN()
