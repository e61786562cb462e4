// The compositing engine: layers blended onto a background (or a batch of
// frames) into an output buffer, each layer at an offset and through an
// optional mask, on a few native threads. Nothing here knows Python; the
// module around it checks the arguments and fills a Job.
//
// Every result equals, bit for bit, the mode's pixel loop run once on
// contiguous copies of the visible rectangle (with the mask folded into the
// foreground's alpha). How that survives cutting the work into bands is told
// in engine.cpp.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "image_view.hpp"

namespace zv_engine {

// How pixels are stored. The kernels read and write uint8 and float32 on the
// 0..255 scale with straight alpha; everything else is converted on the way
// in and out (see engine.cpp).
enum class Format { u8, u16, f32, f64 };

// frames x height x width pixels of `channels` elements each, at byte
// strides; the elements of one pixel are adjacent.
struct Grid {
    const void* data;
    Format format;
    int channels;
    zv_index frames, height, width;
    std::ptrdiff_t frame_stride, row_stride, pixel_stride;
    bool unit_scale;     // floats on 0..1 rather than 0..255
    bool premultiplied;  // colours multiplied by alpha (4 channels)
};

// frames x height x width weights, uint8 (0..255) or float32 (0..1).
struct MaskGrid {
    const void* data;  // null: no mask
    bool is_uint8;
    zv_index frames;
    std::ptrdiff_t frame_stride, row_stride, col_stride;
};

struct Layer {
    const ModeLoops* mode;
    float opacity;
    Grid image;     // one frame (laid over every frame) or as many as the background
    MaskGrid mask;  // in image coordinates, one frame or as many as the background
    // The visible part: a height x width rectangle at (top, left) on the
    // background, showing the image from (image_top, image_left).
    zv_index top, left, height, width, image_top, image_left;
    // Blended in linear light (linear.hpp): colours decoded from sRGB first.
    bool linear = false;
};

struct Job {
    Grid background;
    Grid out;  // the background's frames, size and format; may be the background itself
    std::vector<Layer> layers;
    kernel_kind kernel;
    int threads;          // 0: every CPU this process may run on
    zv_index band_bytes;  // roughly the output bytes of one band; 0: the engine's choice
};

// Plans the job and allocates every thread's working memory (a few bands of
// pixels each, never the image). Throws std::bad_alloc; nothing after it can
// fail, so it is made with the interpreter lock held and run without it.
class Plan {
   public:
    explicit Plan(const Job& job);
    ~Plan();
    Plan(const Plan&) = delete;
    Plan& operator=(const Plan&) = delete;
    void run();

   private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace zv_engine
