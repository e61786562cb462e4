// Pixel conversions between the stored formats and the kernels' working
// format (the rules are in convert.hpp): the scalar code, and the vector
// words of each lane target that convert_stages.inc builds its runs from.
#include "convert.hpp"

#include <atomic>
#include <cstring>

#include "lanes.hpp"

namespace zv_engine {

std::size_t element_size(Format format) {
    switch (format) {
        case Format::u8: return 1;
        case Format::u16: return 2;
        case Format::f32: return 4;
        case Format::f64: return 8;
    }
    return 1;
}

namespace {

std::atomic<bool> g_pixel_by_pixel{false};

template <class T>
T load_as(const unsigned char* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}

template <class T>
void store_as(unsigned char* p, T v) {
    std::memcpy(p, &v, sizeof(T));
}

// Round to nearest, ties to even, for 0 <= x < 2^22 (adding 1.5 * 2^23
// leaves no fraction bits; -ffp-contract=off keeps the two steps apart).
float round_even(float x) { return (x + 12582912.0f) - 12582912.0f; }

float clamped(float x, float top) {
    if (!(x > 0.0f)) return 0.0f;  // NaN too
    return x < top ? x : top;
}

bool unit_floats(const Grid& g) { return g.unit_scale && (g.format == Format::f32 || g.format == Format::f64); }

// ---- the scalar code, one layout at a time ---------------------------------------

template <Format F>
float stored_value(const unsigned char* p) {
    if constexpr (F == Format::u8) return static_cast<float>(*p);
    else if constexpr (F == Format::u16) return static_cast<float>(load_as<uint16_t>(p)) / 257.0f;
    else if constexpr (F == Format::f32) return load_as<float>(p);
    else return static_cast<float>(load_as<double>(p));
}

template <Format F>
void put_value(unsigned char* p, float x) {
    if constexpr (F == Format::u8) *p = static_cast<uint8_t>(round_even(clamped(x, 255.0f)));
    else if constexpr (F == Format::u16) store_as(p, static_cast<uint16_t>(round_even(clamped(x * 257.0f, 65535.0f))));
    else if constexpr (F == Format::f32) store_as(p, x);
    else store_as(p, static_cast<double>(x));
}

template <Format F, bool kUnit, int CH, bool kPremul>
void load_one(const unsigned char* p, float* w) {
    constexpr std::size_t kSize = FormatTraits<F>::kSize;
    for (int c = 0; c < CH; ++c) {
        w[c] = stored_value<F>(p + kSize * c);
        if constexpr (kUnit) w[c] *= 255.0f;
    }
    if constexpr (kPremul) {
        const float alpha = w[3] / 255.0f;
        for (int c = 0; c < 3; ++c) w[c] = w[3] > 0.0f ? w[c] / alpha : 0.0f;
    }
}

template <Format F, bool kUnit, int CH, bool kPremul>
void store_one(const float* working, unsigned char* p) {
    constexpr std::size_t kSize = FormatTraits<F>::kSize;
    float w[CH];
    for (int c = 0; c < CH; ++c) w[c] = working[c];
    if constexpr (kPremul) {
        const float alpha = w[3] / 255.0f;
        for (int c = 0; c < 3; ++c) w[c] = w[c] * alpha;
    }
    for (int c = 0; c < CH; ++c) put_value<F>(p + kSize * c, kUnit ? w[c] / 255.0f : w[c]);
}

}  // namespace

// ---- the reference: the format of every pixel checked as it goes -----------------

void load_pixel(const unsigned char* p, const Grid& g, float* w) {
    for (int c = 0; c < g.channels; ++c) {
        switch (g.format) {
            case Format::u8: w[c] = static_cast<float>(p[c]); break;
            case Format::u16: w[c] = static_cast<float>(load_as<uint16_t>(p + 2 * c)) / 257.0f; break;
            case Format::f32: w[c] = load_as<float>(p + 4 * c); break;
            case Format::f64: w[c] = static_cast<float>(load_as<double>(p + 8 * c)); break;
        }
        if (unit_floats(g)) w[c] *= 255.0f;
    }
    if (g.premultiplied && g.channels == 4) {
        const float alpha = w[3] / 255.0f;
        for (int c = 0; c < 3; ++c) w[c] = w[3] > 0.0f ? w[c] / alpha : 0.0f;
    }
}

void store_pixel(unsigned char* p, const Grid& g, const float* working) {
    float w[4];
    for (int c = 0; c < g.channels; ++c) w[c] = working[c];
    if (g.premultiplied && g.channels == 4) {
        const float alpha = w[3] / 255.0f;
        for (int c = 0; c < 3; ++c) w[c] = w[c] * alpha;
    }
    for (int c = 0; c < g.channels; ++c) {
        const float x = unit_floats(g) ? w[c] / 255.0f : w[c];
        switch (g.format) {
            case Format::u8: p[c] = static_cast<uint8_t>(round_even(clamped(x, 255.0f))); break;
            case Format::u16:
                store_as(p + 2 * c, static_cast<uint16_t>(round_even(clamped(x * 257.0f, 65535.0f))));
                break;
            case Format::f32: store_as(p + 4 * c, x); break;
            case Format::f64: store_as(p + 8 * c, static_cast<double>(x)); break;
        }
    }
}

bool set_pixel_by_pixel_formats(bool on) { return g_pixel_by_pixel.exchange(on); }
bool pixel_by_pixel_formats() { return g_pixel_by_pixel.load(); }

}  // namespace zv_engine

// ---- the conversion words of each lane target ---------------------------------
//
//   cv_load_<f>(p)       kLanes elements of format f at p as floats (float64 rounded)
//   cv_store_<f>(p, x)   kLanes floats to format f; for the integer formats x is
//                        already clamped to the format's range, and the conversion
//                        rounds to nearest even
//   cv_alpha(x)          lane 3 of each group of four, in all four
//   cv_alpha_lanes()     the mask of lanes 3, 7, ...

#if defined(ZV_X86_64)
ZV_BEGIN_sse
namespace zv_sse {
namespace cv {
ZV_INLINE V cv_load_u8(const unsigned char* p) {
    int32_t x;
    std::memcpy(&x, p, 4);
    return _mm_cvtepi32_ps(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(x)));
}
ZV_INLINE V cv_load_u16(const unsigned char* p) {
    return _mm_cvtepi32_ps(_mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
}
ZV_INLINE V cv_load_f32(const unsigned char* p) { return _mm_loadu_ps(reinterpret_cast<const float*>(p)); }
ZV_INLINE V cv_load_f64(const unsigned char* p) {
    return _mm256_cvtpd_ps(_mm256_loadu_pd(reinterpret_cast<const double*>(p)));
}
ZV_INLINE void cv_store_u8(unsigned char* p, V x) {
    const __m128i i = _mm_cvtps_epi32(x);
    const int32_t bytes = _mm_cvtsi128_si32(_mm_packus_epi16(_mm_packs_epi32(i, i), i));
    std::memcpy(p, &bytes, 4);
}
ZV_INLINE void cv_store_u16(unsigned char* p, V x) {
    const __m128i i = _mm_cvtps_epi32(x);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packus_epi32(i, i));
}
ZV_INLINE void cv_store_f32(unsigned char* p, V x) { _mm_storeu_ps(reinterpret_cast<float*>(p), x); }
ZV_INLINE void cv_store_f64(unsigned char* p, V x) {
    _mm256_storeu_pd(reinterpret_cast<double*>(p), _mm256_cvtps_pd(x));
}
ZV_INLINE V cv_alpha(V x) { return _mm_shuffle_ps(x, x, 0xFF); }
ZV_INLINE M cv_alpha_lanes() { return _mm_castsi128_ps(_mm_setr_epi32(0, 0, 0, -1)); }
#include "convert_stages.inc"
}  // namespace cv
}  // namespace zv_sse
ZV_END_sse

ZV_BEGIN_avx
namespace zv_avx {
namespace cv {
ZV_INLINE V cv_load_u8(const unsigned char* p) {
    return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
}
ZV_INLINE V cv_load_u16(const unsigned char* p) {
    return _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
}
ZV_INLINE V cv_load_f32(const unsigned char* p) { return _mm256_loadu_ps(reinterpret_cast<const float*>(p)); }
ZV_INLINE V cv_load_f64(const unsigned char* p) {
    const double* d = reinterpret_cast<const double*>(p);
    return _mm256_set_m128(_mm256_cvtpd_ps(_mm256_loadu_pd(d + 4)), _mm256_cvtpd_ps(_mm256_loadu_pd(d)));
}
ZV_INLINE __m128i cv_words(V x) {
    const __m256i i = _mm256_cvtps_epi32(x);
    return _mm_packus_epi32(_mm256_castsi256_si128(i), _mm256_extracti128_si256(i, 1));
}
ZV_INLINE void cv_store_u8(unsigned char* p, V x) {
    const __m128i w = cv_words(x);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packus_epi16(w, w));
}
ZV_INLINE void cv_store_u16(unsigned char* p, V x) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), cv_words(x)); }
ZV_INLINE void cv_store_f32(unsigned char* p, V x) { _mm256_storeu_ps(reinterpret_cast<float*>(p), x); }
ZV_INLINE void cv_store_f64(unsigned char* p, V x) {
    double* d = reinterpret_cast<double*>(p);
    _mm256_storeu_pd(d, _mm256_cvtps_pd(_mm256_castps256_ps128(x)));
    _mm256_storeu_pd(d + 4, _mm256_cvtps_pd(_mm256_extractf128_ps(x, 1)));
}
ZV_INLINE V cv_alpha(V x) { return _mm256_permute_ps(x, 0xFF); }
ZV_INLINE M cv_alpha_lanes() { return _mm256_castsi256_ps(_mm256_setr_epi32(0, 0, 0, -1, 0, 0, 0, -1)); }
#include "convert_stages.inc"
}  // namespace cv
}  // namespace zv_avx
ZV_END_avx

ZV_BEGIN_avx512
namespace zv_avx512 {
namespace cv {
ZV_INLINE V cv_load_u8(const unsigned char* p) {
    return _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
}
ZV_INLINE V cv_load_u16(const unsigned char* p) {
    return _mm512_cvtepi32_ps(_mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))));
}
ZV_INLINE V cv_load_f32(const unsigned char* p) { return _mm512_loadu_ps(p); }
ZV_INLINE V cv_load_f64(const unsigned char* p) {
    return join(_mm512_cvtpd_ps(_mm512_loadu_pd(p)), _mm512_cvtpd_ps(_mm512_loadu_pd(p + 64)));
}
ZV_INLINE void cv_store_u8(unsigned char* p, V x) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm512_cvtepi32_epi8(_mm512_cvtps_epi32(x)));
}
ZV_INLINE void cv_store_u16(unsigned char* p, V x) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm512_cvtepi32_epi16(_mm512_cvtps_epi32(x)));
}
ZV_INLINE void cv_store_f32(unsigned char* p, V x) { _mm512_storeu_ps(p, x); }
ZV_INLINE void cv_store_f64(unsigned char* p, V x) {
    _mm512_storeu_pd(p, _mm512_cvtps_pd(low_half(x)));
    _mm512_storeu_pd(p + 64, _mm512_cvtps_pd(high_half(x)));
}
ZV_INLINE V cv_alpha(V x) { return _mm512_permute_ps(x, 0xFF); }
ZV_INLINE M cv_alpha_lanes() { return static_cast<M>(0x8888); }
#include "convert_stages.inc"
}  // namespace cv
}  // namespace zv_avx512
ZV_END_avx512

#elif defined(ZV_AARCH64)
namespace zv_neon {
namespace cv {
ZV_INLINE V cv_load_u8(const unsigned char* p) {
    uint32_t x;
    std::memcpy(&x, p, 4);
    const uint16x8_t words = vmovl_u8(vreinterpret_u8_u32(vdup_n_u32(x)));
    return vcvtq_f32_u32(vmovl_u16(vget_low_u16(words)));
}
ZV_INLINE V cv_load_u16(const unsigned char* p) {
    return vcvtq_f32_u32(vmovl_u16(vreinterpret_u16_u8(vld1_u8(p))));
}
ZV_INLINE V cv_load_f32(const unsigned char* p) { return vreinterpretq_f32_u8(vld1q_u8(p)); }
ZV_INLINE V cv_load_f64(const unsigned char* p) {
    return vcombine_f32(vcvt_f32_f64(vreinterpretq_f64_u8(vld1q_u8(p))),
                        vcvt_f32_f64(vreinterpretq_f64_u8(vld1q_u8(p + 16))));
}
ZV_INLINE uint16x4_t cv_words(V x) { return vmovn_u32(vreinterpretq_u32_s32(vcvtnq_s32_f32(x))); }
ZV_INLINE void cv_store_u8(unsigned char* p, V x) {
    const uint16x4_t w = cv_words(x);
    const uint32_t bytes = vget_lane_u32(vreinterpret_u32_u8(vmovn_u16(vcombine_u16(w, w))), 0);
    std::memcpy(p, &bytes, 4);
}
ZV_INLINE void cv_store_u16(unsigned char* p, V x) { vst1_u8(p, vreinterpret_u8_u16(cv_words(x))); }
ZV_INLINE void cv_store_f32(unsigned char* p, V x) { vst1q_u8(p, vreinterpretq_u8_f32(x)); }
ZV_INLINE void cv_store_f64(unsigned char* p, V x) {
    vst1q_u8(p, vreinterpretq_u8_f64(vcvt_f64_f32(vget_low_f32(x))));
    vst1q_u8(p + 16, vreinterpretq_u8_f64(vcvt_high_f64_f32(x)));
}
ZV_INLINE V cv_alpha(V x) { return vdupq_laneq_f32(x, 3); }
ZV_INLINE M cv_alpha_lanes() { return vsetq_lane_u32(0xFFFFFFFFu, vdupq_n_u32(0), 3); }
#include "convert_stages.inc"
}  // namespace cv
}  // namespace zv_neon
#endif

namespace zv_engine {

Codec::Codec(const Grid& g, kernel_kind kernel)
    : grid_(g), reference_(pixel_by_pixel_formats()), channels_(g.channels), pixel_bytes_(g.channels * element_size(g.format)) {
    const bool unit = unit_floats(g);
    const bool premul = g.premultiplied && g.channels == 4;
    auto pick_pixel = [&](auto f, auto u, auto ch, auto pm) {
        load_pixel_ = &load_one<decltype(f)::value, decltype(u)::value, decltype(ch)::value, decltype(pm)::value>;
        store_pixel_ = &store_one<decltype(f)::value, decltype(u)::value, decltype(ch)::value, decltype(pm)::value>;
        return 0;
    };
    with_layout(g.format, unit, g.channels, premul, pick_pixel);
    // The widest lane target the kernel runs.
#define ZV_PICK(t, ...)                                                        \
    if (load_run_ == nullptr && ((zv_##t::kKernels >> kernel) & 1u)) {        \
        load_run_ = zv_##t::cv::cv_load_run_for(g.format, unit, g.channels, premul);   \
        store_run_ = zv_##t::cv::cv_store_run_for(g.format, unit, g.channels, premul); \
    }
    ZV_LANE_TARGETS(ZV_PICK, )
#undef ZV_PICK
    (void)kernel;
}

void Codec::load(const unsigned char* src, std::ptrdiff_t pixel_stride, zv_index count, float* dst) const {
    zv_index i = 0;
    if (reference_) {
        for (; i < count; ++i) load_pixel(src + i * pixel_stride, grid_, dst + i * channels_);
        return;
    }
    if (load_run_ != nullptr && pixel_stride == static_cast<std::ptrdiff_t>(pixel_bytes_)) i = load_run_(src, count, dst);
    for (; i < count; ++i) load_pixel_(src + i * pixel_stride, dst + i * channels_);
}

void Codec::store(const float* src, unsigned char* dst, std::ptrdiff_t pixel_stride, zv_index count) const {
    zv_index i = 0;
    if (reference_) {
        for (; i < count; ++i) store_pixel(dst + i * pixel_stride, grid_, src + i * channels_);
        return;
    }
    if (store_run_ != nullptr && pixel_stride == static_cast<std::ptrdiff_t>(pixel_bytes_))
        i = store_run_(src, count, dst);
    for (; i < count; ++i) store_pixel_(src + i * channels_, dst + i * pixel_stride);
}

}  // namespace zv_engine
