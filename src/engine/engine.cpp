// The compositing engine.
//
// Why bands give the same bits as one call on the whole rectangle. A mode's
// pixel loop walks its pixels in a fixed order of stages: groups of 16, 8 or
// 4 pixels (or, for two 3-channel images, groups of 8 or 16 elements), then a
// scalar stage for what is left at the end. Each stage computes every pixel
// (element) on its own, but the stages round differently, so a pixel's bits
// depend on which stage takes it. A piece of the rectangle's pixel sequence
// that starts at a multiple of 16 pixels and ends at a multiple of 16 (or at
// the end, being the whole sequence or at least 16 pixels long) puts every
// pixel into the same stage as the whole call does: 16 pixels are a whole
// number of groups for every stage, and the loops decide between stages from
// sizes that such a piece shares with the whole. The engine therefore cuts
// the work into bands of whole background rows and hands each band's share
// of a layer to the pixel loop either in place (where the share is such a
// piece in memory) or through per-thread scratch that widens the share to
// such a piece with zero pixels, which are computed and dropped.
//
// The scratch buffers also stand for the contiguous copies: the loops run
// with `as_fresh_copies`, so the 8-bit flat stage runs as on aligned copies.
#include "engine.hpp"
#include "convert.hpp"
#include "linear.hpp"

#include <algorithm>
#if defined(__linux__)
#include <sched.h>
#endif
#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <mutex>
#include <numeric>
#include <thread>

namespace zv_engine {
namespace {

#if defined(_WIN32)
using process_id = int;
process_id this_process() { return _getpid(); }
#else
using process_id = pid_t;
process_id this_process() { return getpid(); }
#endif

constexpr zv_index kGroup = kPixelGroup;

// Bytes of output per band, at most. The kernels are bound by arithmetic, so
// a band need not stay in a core's cache while all layers are applied; what
// costs is each layer's streams starting afresh at every band (the hardware
// prefetchers ramp up again). Bands of half a megabyte cost a few percent
// less than bands of 128 KB on a 4-layer stack; larger ones gain little more
// and make each thread's scratch larger.
constexpr zv_index kBandBytes = 512 * 1024;
// Bands get smaller, down to this, so that every thread gets kBandsPerThread
// of them to share the work out evenly.
constexpr zv_index kMinBandBytes = 64 * 1024;
constexpr zv_index kBandsPerThread = 4;
// Below this much work per thread a thread costs more than it saves.
constexpr zv_index kPixelsPerThread = 128 * 1024;
// Pixels converted, blended and converted back at a time where the images are
// converted: a multiple of kGroup whose working pixels (two buffers of up to
// 16 bytes each) stay in a core's first-level cache.
constexpr zv_index kChunk = 512;

// ---- worker threads ------------------------------------------------------------

// The CPUs this process may run on (its affinity mask where there is one).
int usable_cpus() {
    int cpus = 0;
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) cpus = CPU_COUNT(&set);
#endif
    if (cpus <= 0) cpus = static_cast<int>(std::thread::hardware_concurrency());
    return std::max(cpus, 1);
}

// The most threads one call runs on: twice the CPUs this process may use, and
// at least 4. A call asking for more shares these (the bands are handed out
// one at a time, so the result is the same), and the helpers kept between
// calls never outnumber them: each holds a stack's worth of address space for
// the life of the process.
int max_workers() { return std::max(2 * usable_cpus(), 4); }
//
// Helper threads are started on first use and kept for the life of the
// process, so a call pays no thread start (on a 4K frame that is a few percent
// of the work; on small images more than the work). One call at a time uses
// them: a call that finds them busy (another Python thread compositing) starts
// threads of its own for its run. A child process made by fork() has none of
// its parent's threads, so it starts its own helpers.
class Helpers {
public:
    // work(1) .. work(count - 1) on helper threads (as many as can be had)
    // while the caller runs work(0); returns when all have returned. False if
    // the helpers are busy with another call.
    static bool run(std::size_t count, const std::function<void(std::size_t)>& work) {
        Helpers& helpers = of_this_process();
        std::unique_lock<std::mutex> turn(helpers.turn_, std::try_to_lock);
        if (!turn.owns_lock()) return false;
        {
            std::lock_guard<std::mutex> lock(helpers.mutex_);
            helpers.grow(count - 1);
            helpers.work_ = &work;
            helpers.wanted_ = std::min(count - 1, helpers.started_);
            helpers.pending_ = helpers.wanted_;
            ++helpers.generation_;
        }
        helpers.wake_.notify_all();
        std::exception_ptr failure;
        try {
            work(0);
        } catch (...) {
            failure = std::current_exception();  // the helpers still use `work`: wait for them first
        }
        std::unique_lock<std::mutex> lock(helpers.mutex_);
        helpers.done_.wait(lock, [&] { return helpers.pending_ == 0; });
        helpers.work_ = nullptr;
        if (failure) std::rethrow_exception(failure);
        return true;
    }

private:
    explicit Helpers(process_id owner) : owner_(owner) {}

    // Never destroyed: its threads wait on it until the process ends.
    static Helpers& of_this_process() {
        static std::mutex guard;
        static Helpers* helpers = nullptr;
        std::lock_guard<std::mutex> lock(guard);
        if (helpers == nullptr || helpers->owner_ != this_process()) helpers = new Helpers(this_process());
        return *helpers;
    }

    // Called with mutex_ held.
    void grow(std::size_t count) {
        while (started_ < count) {
            try {
                std::thread(&Helpers::serve, this, started_ + 1).detach();
            } catch (...) {
                return;  // no more threads to be had: the others take the bands
            }
            ++started_;
        }
    }

    void serve(std::size_t index) {
        std::uint64_t seen = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return generation_ != seen; });
            seen = generation_;
            if (index > wanted_) continue;
            const std::function<void(std::size_t)>& work = *work_;
            lock.unlock();
            work(index);
            lock.lock();
            if (--pending_ == 0) done_.notify_one();
        }
    }

    const process_id owner_;
    std::mutex turn_, mutex_;
    std::condition_variable wake_, done_;
    std::size_t started_ = 0, wanted_ = 0, pending_ = 0;
    std::uint64_t generation_ = 0;
    const std::function<void(std::size_t)>* work_ = nullptr;
};

// work(0) .. work(count - 1), each on its own thread, the caller's among them.
void run_on_workers(std::size_t count, const std::function<void(std::size_t)>& work) {
    if (count <= 1) return work(0);
    if (Helpers::run(count, work)) return;
    std::vector<std::thread> own;
    for (std::size_t i = 1; i < count; ++i) {
        try {
            own.emplace_back(work, i);
        } catch (...) {
            break;
        }
    }
    std::exception_ptr failure;
    try {
        work(0);
    } catch (...) {
        failure = std::current_exception();
    }
    for (std::thread& t : own) t.join();
    if (failure) std::rethrow_exception(failure);
}

bool stage_safe(zv_index a, zv_index b, zv_index n) {
    if (a % kGroup != 0) return false;
    if (b == n) return a == 0 || b - a >= kGroup;
    return b % kGroup == 0;
}

// The smallest stage-safe piece around [a, b) of a sequence of n pixels.
void widen(zv_index a, zv_index b, zv_index n, zv_index& a_out, zv_index& b_out) {
    a_out = a - a % kGroup;
    b_out = b % kGroup == 0 ? b : std::min(n, b + kGroup - b % kGroup);
    if (b_out == n && a_out > 0 && b_out - a_out < kGroup) a_out -= kGroup;
}

std::size_t pixel_bytes(const Grid& g) { return g.channels * element_size(g.format); }

// Whether the kernels read and write a grid's pixels as they are; the others
// convert on the way in and out (convert.hpp).
bool as_worked(const Grid& g) {
    const bool kernel_format = g.format == Format::u8 || (g.format == Format::f32 && !g.unit_scale);
    return kernel_format && !(g.premultiplied && g.channels == 4);
}

Format working_format(const Grid& g) { return as_worked(g) ? g.format : Format::f32; }

const unsigned char* at(const Grid& g, zv_index frame, zv_index row, zv_index col) {
    return static_cast<const unsigned char*>(g.data) + frame * g.frame_stride + row * g.row_stride +
           col * g.pixel_stride;
}

unsigned char* at_mut(const Grid& g, zv_index frame, zv_index row, zv_index col) {
    return const_cast<unsigned char*>(at(g, frame, row, col));
}

// The pixel loops take pixels back to back with aligned elements.
bool loop_ready(const Grid& g) {
    const std::uintptr_t bits = reinterpret_cast<std::uintptr_t>(g.data) | static_cast<std::uintptr_t>(g.frame_stride) |
                                static_cast<std::uintptr_t>(g.row_stride) | static_cast<std::uintptr_t>(g.pixel_stride);
    return static_cast<std::size_t>(g.pixel_stride) == pixel_bytes(g) && bits % element_size(g.format) == 0;
}

// ...and whole rows back to back, for runs longer than a row.
bool rows_adjacent(const Grid& g) { return loop_ready(g) && (g.height <= 1 || g.row_stride == g.width * g.pixel_stride); }

ImageIn in_view(const void* p, Format format, int channels) {
    if (format == Format::u8) return {channels, 1, static_cast<const uint8_t*>(p), nullptr};
    return {channels, 0, nullptr, static_cast<const float*>(p)};
}

ImageOut out_view(void* p, Format format, int channels) {
    if (format == Format::u8) return {channels, 1, static_cast<uint8_t*>(p), nullptr};
    return {channels, 0, nullptr, static_cast<float*>(p)};
}

// Calls f(row, col, count, offset) for the row segments of pixels [a, b) of a
// rectangle of the given width, in order; offset counts pixels from a.
template <class F>
void for_segments(zv_index a, zv_index b, zv_index width, F&& f) {
    for (zv_index q = a; q < b;) {
        const zv_index row = q / width, col = q % width, count = std::min(width - col, b - q);
        f(row, col, count, q - a);
        q += count;
    }
}

// count pixels between grids of the same format and channels.
void copy_pixels(unsigned char* dst, std::ptrdiff_t dst_stride, const unsigned char* src, std::ptrdiff_t src_stride,
                 zv_index count, std::size_t bytes) {
    if (dst_stride == static_cast<std::ptrdiff_t>(bytes) && src_stride == static_cast<std::ptrdiff_t>(bytes)) {
        std::memmove(dst, src, static_cast<std::size_t>(count) * bytes);
        return;
    }
    for (zv_index i = 0; i < count; ++i) std::memmove(dst + i * dst_stride, src + i * src_stride, bytes);
}

float weight_at(const MaskGrid& m, zv_index frame, zv_index row, zv_index col) {
    const unsigned char* p =
        static_cast<const unsigned char*>(m.data) + frame * m.frame_stride + row * m.row_stride + col * m.col_stride;
    if (m.is_uint8) return static_cast<float>(*p);
    float v;
    std::memcpy(&v, p, sizeof(float));
    return v;
}

// What a layer is, once, for every band.
struct LayerPlan {
    const Layer* layer;
    pixel_loop_fn loop;  // null: the layer leaves the background as it is
    kernel_kind kernel;
    zv_index pixels;     // height x width: the call whose stages every band follows
    bool image_direct;   // the loop reads the image where it lies (no mask, loop-ready layout)
    Format fg_format;    // the foreground as the loop sees it
    int fg_channels;
    Codec image_codec;   // the image's pixels to the working format
};

}  // namespace

struct Plan::State {
    const Job& job;
    std::vector<LayerPlan> layers;
    Codec codec;  // the background's and the output's pixels to and from the working format
    bool in_place = false;
    zv_index band_rows = 1, first_row = 0, rows = 0, bands = 0;
    std::size_t scratch_pixels = 0;
    int threads = 1;
    // Allocated, not initialised: pages that no gathered share needs are
    // never touched, so work that runs in place costs no scratch at all.
    struct Scratch {
        std::unique_ptr<unsigned char[]> background, foreground;
    };
    std::vector<Scratch> scratch;

    explicit State(const Job& j);
    void run_band(Scratch& s, zv_index frame, zv_index y0, zv_index y1) const;
    void run_layer(Scratch& s, const LayerPlan& p, const Grid& src, zv_index frame, zv_index r0, zv_index r1) const;
    void run_layer_linear(Scratch& s, const LayerPlan& p, const Grid& src, zv_index frame, zv_index r0,
                          zv_index r1) const;
    void gather_image(unsigned char* dst, const LayerPlan& p, zv_index frame, zv_index a, zv_index b) const;
    void gather_share(unsigned char* dst, const Grid& src, const Layer& l, zv_index frame, zv_index a, zv_index b) const;
    void scatter_share(const unsigned char* src, const Layer& l, zv_index frame, zv_index a, zv_index b) const;
    void prefetch_share(const LayerPlan& p, const Grid& src, zv_index frame, zv_index a, zv_index b) const;
    void copy_rows(zv_index frame, zv_index y, zv_index col0, zv_index col1) const;
};

Plan::State::State(const Job& j) : job(j) {
    const Grid& bg = job.background;
    const Grid& out = job.out;
    codec = Codec(out, job.kernel);
    in_place = bg.data == out.data && bg.frame_stride == out.frame_stride && bg.row_stride == out.row_stride &&
               bg.pixel_stride == out.pixel_stride;

    zv_index top = bg.height, bottom = 0;
    for (const Layer& layer : job.layers) {
        LayerPlan p{};
        p.layer = &layer;
        p.pixels = layer.height * layer.width;
        const bool masked = layer.mask.data != nullptr;
        // A mask is folded into a float32 RGBA copy of the foreground.
        p.fg_format = masked ? Format::f32 : working_format(layer.image);
        p.fg_channels = masked ? 4 : layer.image.channels;
        p.image_direct = !masked && as_worked(layer.image) && loop_ready(layer.image);
        if (layer.linear) {  // through float32 scratch, decoded (run_layer_linear)
            p.fg_format = Format::f32;
            p.image_direct = false;
        }
        p.loop = p.pixels > 0 ? loop_for(*layer.mode, layer.opacity, p.fg_channels) : nullptr;
        p.kernel = p.loop == layer.mode->blend ? job.kernel : KERNEL_SCALAR;
        p.image_codec = Codec(layer.image, job.kernel);
        if (p.loop != nullptr) {
            top = std::min(top, layer.top);
            bottom = std::max(bottom, layer.top + layer.height);
        }
        layers.push_back(p);
    }

    // In place, only rows under a layer change; otherwise every row is written.
    first_row = in_place ? top : 0;
    rows = in_place ? std::max<zv_index>(bottom - top, 0) : bg.height;
    const zv_index width = std::max<zv_index>(bg.width, 1);
    // Bands of a multiple of `step` rows start every full-width layer's pixel
    // sequence at a multiple of 16, so such layers run in place.
    const zv_index step = kGroup / std::gcd(width, kGroup);
    // (An image so wide that `step` rows would make a band of several times
    // the size gets bands of one row: its full-width layers go through scratch.)
    const zv_index pixels = bg.frames * rows * bg.width;
    const zv_index work = pixels * std::max<zv_index>(static_cast<zv_index>(job.layers.size()), 1);
    // Bands chosen by a test run on as many threads as asked, so that small
    // images reach every thread too.
    const zv_index per_thread = job.band_bytes > 0 ? 1 : kPixelsPerThread;
    // threads 0: every CPU, counted only where the work could use more than one.
    const zv_index asked = job.threads > 0 ? job.threads : work / per_thread >= 2 ? usable_cpus() : 1;
    const zv_index wanted_threads = std::max<zv_index>(1, std::min<zv_index>(asked, work / per_thread));
    const zv_index band_bytes =
        job.band_bytes > 0 ? job.band_bytes
                           : std::clamp<zv_index>(pixels * static_cast<zv_index>(pixel_bytes(bg)) /
                                                      (wanted_threads * kBandsPerThread),
                                                  kMinBandBytes, kBandBytes);
    const zv_index band_pixels = std::max<zv_index>(band_bytes / static_cast<zv_index>(pixel_bytes(bg)), 1);
    const zv_index target_rows = std::max<zv_index>(band_pixels / width, 1);
    band_rows = width * step <= 4 * band_pixels ? (target_rows + step - 1) / step * step : 1;
    band_rows = std::max<zv_index>(std::min(band_rows, std::max<zv_index>(rows, 1)), 1);
    bands = rows == 0 ? 0 : (rows + band_rows - 1) / band_rows;
    threads = static_cast<int>(std::max<zv_index>(1, std::min<zv_index>(wanted_threads, bg.frames * bands)));
    if (threads > 4) threads = std::min(threads, max_workers());

    // A layer's share of a band, widened by up to 31 pixels, in the widest
    // working pixel there is (4 floats).
    scratch_pixels = static_cast<std::size_t>(band_rows * bg.width + 3 * kGroup);
    scratch.resize(static_cast<std::size_t>(threads));
    for (Scratch& s : scratch) {
        s.background.reset(new unsigned char[scratch_pixels * 4 * sizeof(float)]);
        s.foreground.reset(new unsigned char[scratch_pixels * 4 * sizeof(float)]);
    }
}

void Plan::State::copy_rows(zv_index frame, zv_index y, zv_index col0, zv_index col1) const {
    if (col1 <= col0) return;
    const Grid& bg = job.background;
    const Grid& out = job.out;
    copy_pixels(at_mut(out, frame, y, col0), out.pixel_stride, at(bg, frame, y, col0), bg.pixel_stride, col1 - col0,
                pixel_bytes(bg));
}

// The band's rows [y0, y1) of one frame: the background goes to the output
// (except where the first layer writes it from the background directly),
// then every layer in order, each onto the result of the ones before.
void Plan::State::run_band(Scratch& s, zv_index frame, zv_index y0, zv_index y1) const {
    std::size_t next = 0;
    if (!in_place) {
        const LayerPlan* first = layers.empty() || layers[0].loop == nullptr ? nullptr : &layers[0];
        for (zv_index y = y0; y < y1; ++y) {
            const Layer* l = first ? first->layer : nullptr;
            if (l != nullptr && y >= l->top && y < l->top + l->height) {
                copy_rows(frame, y, 0, l->left);
                copy_rows(frame, y, l->left + l->width, job.background.width);
            } else {
                copy_rows(frame, y, 0, job.background.width);
            }
        }
        if (first != nullptr) {
            const Layer& l = *first->layer;
            run_layer(s, *first, job.background, frame, std::max(y0, l.top) - l.top,
                      std::min(y1, l.top + l.height) - l.top);
            next = 1;
        }
    }
    for (; next < layers.size(); ++next) {
        const LayerPlan& p = layers[next];
        if (p.loop == nullptr) continue;
        const Layer& l = *p.layer;
        run_layer(s, p, job.out, frame, std::max(y0, l.top) - l.top, std::min(y1, l.top + l.height) - l.top);
    }
}

// The foreground pixels [a, b) of a layer's rectangle, as the loop sees them:
// the image's own elements where the kernels read them as they are, else on
// the 0..255 float scale with straight alpha; with a mask, float32 RGBA with
// the alpha scaled by it ((alpha x weight) / 255 for an 8-bit mask, alpha x
// weight for a float one).
void Plan::State::gather_image(unsigned char* dst, const LayerPlan& p, zv_index frame, zv_index a,
                               zv_index b) const {
    const Layer& l = *p.layer;
    const Grid& img = l.image;
    const zv_index img_frame = img.frames == 1 ? 0 : frame;
    const bool masked = l.mask.data != nullptr;
    if (!masked && as_worked(img)) {
        const std::size_t bytes = pixel_bytes(img);
        for_segments(a, b, l.width, [&](zv_index row, zv_index col, zv_index count, zv_index offset) {
            copy_pixels(dst + offset * bytes, static_cast<std::ptrdiff_t>(bytes),
                        at(img, img_frame, l.image_top + row, l.image_left + col), img.pixel_stride, count, bytes);
        });
        return;
    }
    const zv_index mask_frame = l.mask.frames == 1 ? 0 : frame;
    float* out = reinterpret_cast<float*>(dst);
    const int channels = p.fg_channels;
    for_segments(a, b, l.width, [&](zv_index row, zv_index col, zv_index count, zv_index offset) {
        const zv_index y = l.image_top + row, x0 = l.image_left + col;
        float* o = out + offset * channels;
        p.image_codec.load(at(img, img_frame, y, x0), img.pixel_stride, count, o);
        if (!masked) return;
        // Three channels become four: spread out from the end, so that no
        // pixel is overwritten before it moves.
        for (zv_index i = count - 1; i >= 0; --i) {
            const float* w = o + i * img.channels;
            const float alpha = img.channels == 4 ? w[3] : 255.0f;
            const float weight = weight_at(l.mask, mask_frame, y, x0 + i);
            float* q = o + i * 4;
            const float r = w[0], g = w[1], bl = w[2];
            q[0] = r;
            q[1] = g;
            q[2] = bl;
            q[3] = l.mask.is_uint8 ? (alpha * weight) / 255.0f : alpha * weight;
        }
    });
}

// Pixels [a, b) of a layer's rectangle on a background-shaped grid, in the
// working format, to a buffer.
void Plan::State::gather_share(unsigned char* dst, const Grid& src, const Layer& l, zv_index frame, zv_index a,
                               zv_index b) const {
    const bool raw = as_worked(src);
    const std::size_t bytes = raw ? pixel_bytes(src) : src.channels * sizeof(float);
    for_segments(a, b, l.width, [&](zv_index row, zv_index col, zv_index count, zv_index offset) {
        const unsigned char* p = at(src, frame, l.top + row, l.left + col);
        unsigned char* d = dst + offset * bytes;
        if (raw) copy_pixels(d, static_cast<std::ptrdiff_t>(bytes), p, src.pixel_stride, count, bytes);
        else codec.load(p, src.pixel_stride, count, reinterpret_cast<float*>(d));
    });
}

// ...and back from a buffer to the output.
void Plan::State::scatter_share(const unsigned char* src, const Layer& l, zv_index frame, zv_index a,
                                zv_index b) const {
    const Grid& out = job.out;
    const bool raw = as_worked(out);
    const std::size_t bytes = raw ? pixel_bytes(out) : out.channels * sizeof(float);
    for_segments(a, b, l.width, [&](zv_index row, zv_index col, zv_index count, zv_index offset) {
        unsigned char* p = at_mut(out, frame, l.top + row, l.left + col);
        const unsigned char* s = src + offset * bytes;
        if (raw) copy_pixels(p, out.pixel_stride, s, static_cast<std::ptrdiff_t>(bytes), count, bytes);
        else codec.store(reinterpret_cast<const float*>(s), p, out.pixel_stride, count);
    });
}

// Read hints for the lines of `bytes` bytes from p (never faults).
static void prefetch_bytes(const unsigned char* p, std::ptrdiff_t bytes) {
    for (std::ptrdiff_t i = 0; i < bytes; i += 64) __builtin_prefetch(p + i, 0, 2);
}

// Asks for the stored pixels [a, b) of a layer's share (on the background-
// shaped grid and in the image) to be brought towards the core, so that they
// arrive while the piece before them is blended, which reads nothing from
// memory. Only adjacent pixels; others are left to the loads.
void Plan::State::prefetch_share(const LayerPlan& p, const Grid& src, zv_index frame, zv_index a, zv_index b) const {
    const Layer& l = *p.layer;
    const Grid& img = l.image;
    const zv_index img_frame = img.frames == 1 ? 0 : frame;
    const bool src_adjacent = src.pixel_stride == static_cast<std::ptrdiff_t>(pixel_bytes(src));
    const bool img_adjacent = img.pixel_stride == static_cast<std::ptrdiff_t>(pixel_bytes(img));
    for_segments(a, b, l.width, [&](zv_index row, zv_index col, zv_index count, zv_index) {
        if (src_adjacent) prefetch_bytes(at(src, frame, l.top + row, l.left + col), count * src.pixel_stride);
        if (img_adjacent)
            prefetch_bytes(at(img, img_frame, l.image_top + row, l.image_left + col), count * img.pixel_stride);
    });
}

// The end of the piece of [c0, end) that starts at c0: kChunk pixels, or all
// of it where fewer than kChunk + kGroup are left, so that a piece that ends
// the range is never shorter than kGroup unless the range is. Pieces of a
// stage-safe range that start at its start are then stage-safe too.
static zv_index piece_end(zv_index c0, zv_index end) { return end - c0 <= kChunk + kGroup ? end : c0 + kChunk; }

// Rows [r0, r1) of a layer's rectangle, read from `src` (the background or
// the output) and written to the output.
void Plan::State::run_layer(Scratch& s, const LayerPlan& p, const Grid& src, zv_index frame, zv_index r0,
                            zv_index r1) const {
    if (r1 <= r0) return;
    if (p.layer->linear) return run_layer_linear(s, p, src, frame, r0, r1);
    const Layer& l = *p.layer;
    const Grid& out = job.out;
    const Format bg_format = working_format(out);
    const int bg_channels = out.channels;
    const zv_index w = l.width, a = r0 * w, b = r1 * w;
    const zv_index img_frame = l.image.frames == 1 ? 0 : frame;

    BlendJob bj{};
    bj.opacity = l.opacity;
    bj.kernel = p.kernel;
    bj.clip_output = l.mode->clip_output;
    bj.as_fresh_copies = true;
    auto run = [&](const void* bg_px, const void* fg_px, void* out_px, zv_index pixels) {
        bj.background = in_view(bg_px, bg_format, bg_channels);
        bj.foreground = in_view(fg_px, p.fg_format, p.fg_channels);
        bj.output = out_view(out_px, bg_format, bg_channels);
        bj.pixels = pixels;
        p.loop(bj);
    };
    const std::size_t fg_bytes = static_cast<std::size_t>(p.fg_channels) * element_size(p.fg_format);
    unsigned char* fg_scratch = s.foreground.get();
    const bool src_ready = as_worked(out) && loop_ready(src) && loop_ready(out);

    // 1. The whole share at once, where it lies in memory as one run (a
    // piece at a time where the foreground is gathered).
    const bool whole_rows = w == out.width && rows_adjacent(src) && rows_adjacent(out);
    const bool image_rows = p.image_direct && w == l.image.width && rows_adjacent(l.image);
    if (whole_rows && src_ready && stage_safe(a, b, p.pixels)) {
        const std::size_t bytes = pixel_bytes(out);
        const unsigned char* src_px = at(src, frame, l.top + r0, l.left);
        unsigned char* out_px = at_mut(out, frame, l.top + r0, l.left);
        if (image_rows) {
            run(src_px, at(l.image, img_frame, l.image_top + r0, l.image_left), out_px, b - a);
            return;
        }
        for (zv_index c0 = a, c1; c0 < b; c0 = c1) {
            c1 = piece_end(c0, b);
            gather_image(fg_scratch, p, frame, c0, c1);
            run(src_px + (c0 - a) * bytes, fg_scratch, out_px + (c0 - a) * bytes, c1 - c0);
        }
        return;
    }
    // 2. Row by row where every row is a stage-safe piece.
    if (src_ready && w % kGroup == 0) {
        for (zv_index r = r0; r < r1; ++r) {
            if (!p.image_direct) gather_image(fg_scratch, p, frame, r * w, (r + 1) * w);
            const void* fg = p.image_direct ? at(l.image, img_frame, l.image_top + r, l.image_left) : fg_scratch;
            run(at(src, frame, l.top + r, l.left), fg, at_mut(out, frame, l.top + r, l.left), w);
        }
        return;
    }
    // 3. Through scratch, widened to a stage-safe piece with zero pixels, a
    // piece at a time: each is gathered (converted where the formats need it),
    // blended and scattered back while it is in cache.
    zv_index a_w, b_w;
    widen(a, b, p.pixels, a_w, b_w);
    const std::size_t bg_bytes = out.channels * element_size(bg_format);
    unsigned char* bg_scratch = s.background.get();
    for (zv_index c0 = a_w, c1; c0 < b_w; c0 = c1) {
        c1 = piece_end(c0, b_w);
        const zv_index from = std::max(a, c0), to = std::min(b, c1);  // the share's own pixels
        std::memset(bg_scratch, 0, static_cast<std::size_t>(from - c0) * bg_bytes);
        std::memset(bg_scratch + (to - c0) * bg_bytes, 0, static_cast<std::size_t>(c1 - to) * bg_bytes);
        std::memset(fg_scratch, 0, static_cast<std::size_t>(from - c0) * fg_bytes);
        std::memset(fg_scratch + (to - c0) * fg_bytes, 0, static_cast<std::size_t>(c1 - to) * fg_bytes);
        unsigned char* bg_share = bg_scratch + (from - c0) * bg_bytes;
        gather_share(bg_share, src, l, frame, from, to);
        gather_image(fg_scratch + (from - c0) * fg_bytes, p, frame, from, to);
        if (c1 < b_w) prefetch_share(p, src, frame, c1, std::min(b, piece_end(c1, b_w)));
        run(bg_scratch, fg_scratch, bg_scratch, c1 - c0);
        scatter_share(bg_share, l, frame, from, to);
    }
}

// A layer in linear light: as the third way of run_layer (pieces widened to
// stage-safe ones with zero pixels), with both images as float32 on the 0..255
// scale, their colours decoded before the loop and the result encoded after it.
void Plan::State::run_layer_linear(Scratch& s, const LayerPlan& p, const Grid& src, zv_index frame, zv_index r0,
                                   zv_index r1) const {
    const Layer& l = *p.layer;
    const Grid& out = job.out;
    const int bc = out.channels, fc = p.fg_channels;
    const zv_index w = l.width, a = r0 * w, b = r1 * w;
    const bool image_bytes = l.mask.data == nullptr && as_worked(l.image) && l.image.format == Format::u8;
    float* bg_scratch = reinterpret_cast<float*>(s.background.get());
    float* fg_scratch = reinterpret_cast<float*>(s.foreground.get());

    BlendJob bj{};
    bj.opacity = l.opacity;
    bj.kernel = p.kernel;
    bj.clip_output = l.mode->clip_output;
    bj.as_fresh_copies = true;
    zv_index a_w, b_w;
    widen(a, b, p.pixels, a_w, b_w);
    for (zv_index c0 = a_w, c1; c0 < b_w; c0 = c1) {
        c1 = piece_end(c0, b_w);
        const zv_index from = std::max(a, c0), to = std::min(b, c1);
        std::fill(bg_scratch, bg_scratch + (c1 - c0) * bc, 0.0f);
        std::fill(fg_scratch, fg_scratch + (c1 - c0) * fc, 0.0f);
        float* bg_share = bg_scratch + (from - c0) * bc;
        float* fg_share = fg_scratch + (from - c0) * fc;
        // The background's share.
        for_segments(from, to, w, [&](zv_index row, zv_index col, zv_index count, zv_index offset) {
            const unsigned char* px = at(src, frame, l.top + row, l.left + col);
            float* d = bg_share + offset * bc;
            if (!as_worked(src)) {
                codec.load(px, src.pixel_stride, count, d);
                srgb_decode_pixels(d, count, bc);
            } else if (src.format == Format::u8) {
                for (zv_index i = 0; i < count; ++i)
                    srgb_decode_bytes(px + i * src.pixel_stride, 1, bc, d + i * bc);
            } else {
                copy_pixels(reinterpret_cast<unsigned char*>(d), bc * sizeof(float), px, src.pixel_stride, count,
                            bc * sizeof(float));
                srgb_decode_pixels(d, count, bc);
            }
        });
        // The foreground's, as the loop sees it, then decoded.
        gather_image(reinterpret_cast<unsigned char*>(fg_share), p, frame, from, to);
        if (image_bytes) srgb_decode_bytes(reinterpret_cast<const uint8_t*>(fg_share), to - from, fc, fg_share);
        else srgb_decode_pixels(fg_share, to - from, fc);
        bj.background = in_view(bg_scratch, Format::f32, bc);
        bj.foreground = in_view(fg_scratch, Format::f32, fc);
        bj.output = out_view(bg_scratch, Format::f32, bc);
        bj.pixels = c1 - c0;
        p.loop(bj);
        const bool bytes_out = as_worked(out) && out.format == Format::u8;  // encoded and rounded at once
        if (!bytes_out) srgb_encode_pixels(bg_share, to - from, bc);
        for_segments(from, to, w, [&](zv_index row, zv_index col, zv_index count, zv_index offset) {
            unsigned char* px = at_mut(out, frame, l.top + row, l.left + col);
            const float* v = bg_share + offset * bc;
            if (!as_worked(out)) {
                codec.store(v, px, out.pixel_stride, count);
            } else if (bytes_out) {
                for (zv_index i = 0; i < count; ++i)
                    for (int c = 0; c < bc; ++c)
                        px[i * out.pixel_stride + c] = c == 3 ? round_u8(v[i * bc + c]) : srgb_encode_u8(v[i * bc + c]);
            } else {
                copy_pixels(px, out.pixel_stride, reinterpret_cast<const unsigned char*>(v), bc * sizeof(float), count,
                            bc * sizeof(float));
            }
        });
    }
}

Plan::Plan(const Job& job) : state_(new State(job)) {}
Plan::~Plan() = default;

void Plan::run() {
    State& st = *state_;
    const zv_index tasks = st.job.background.frames * st.bands;
    std::atomic<zv_index> next{0};
    auto work = [&st, &next, tasks](std::size_t worker) {
        State::Scratch& s = st.scratch[worker];
        for (zv_index t = next.fetch_add(1); t < tasks; t = next.fetch_add(1)) {
            const zv_index frame = t / st.bands, band = t % st.bands;
            const zv_index y0 = st.first_row + band * st.band_rows;
            st.run_band(s, frame, y0, std::min(y0 + st.band_rows, st.first_row + st.rows));
        }
    };
    run_on_workers(st.scratch.size(), work);
}

}  // namespace zv_engine
