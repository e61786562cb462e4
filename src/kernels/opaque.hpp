// Opaque 8-bit pixels at opacity 1: where a separable mode's vector stages
// give, for every pair of input bytes, exactly what one integer formula on
// the bytes gives, those stages can run the formula on whole vectors of
// bytes instead (opaque_stages.inc). It changes no bit: for two opaque pixels
// at opacity 1 the compositing rule leaves the blend function alone (the
// alphas are 255 x inv255 = 1 exactly, so ratio = 1 and the background's
// share is 0 x in = +0), and every vector stage stores it the same way, so the
// float result is  round_even(clamp(blend(a x inv255, b x inv255) x 255))
// (clipped to 0..1 first for the modes that clip), a function of the two
// bytes alone. Each mode that has an integer form names it next to its
// formula (ZV_OPAQUE_FORM) and says why the two agree; the tests compare them
// on all 65,536 byte pairs at every kernel. The scalar stage rounds
// differently (halves away from zero, true divisions) and is left as it is.
#pragma once

#include <atomic>
#include <cstdint>

enum class OpaqueForm {
    none,
    darken,       // min(a, b)
    lighten,      // max(a, b)
    difference,   // |a - b|
    add,          // min(a + b, 255)
    subtract,     // max(a - b, 0)
    multiply,     // a b / 255, rounded to nearest
    screen,       // 255 - (255 - a)(255 - b) / 255, rounded to nearest
    linear_burn,  // max(a + b - 255, 0)
    pin_light,    // min(a, 2b) for b < 128, else max(a, 2b - 255)
};

// A mode's integer form; none unless the mode's source names one.
template <class Mode>
struct opaque_form {
    static constexpr OpaqueForm value = OpaqueForm::none;
};

#define ZV_OPAQUE_FORM(mode, form)                                      \
    struct mode##_mode;                                                 \
    template <>                                                         \
    struct opaque_form<mode##_mode> {                                   \
        static constexpr OpaqueForm value = OpaqueForm::form;           \
    };

// x / 255 rounded to nearest for 0 <= x <= 255 x 255: with t = x + 128,
// (t + (t >> 8)) >> 8. (x / 255 is never a half: 2x = 255 (2k + 1) has an even
// left side and an odd right side.)
constexpr int zv_div255(int x) { return ((x + 128) + ((x + 128) >> 8)) >> 8; }

// The integer forms on one pair of bytes.
template <OpaqueForm F>
constexpr uint8_t opaque_byte(int a, int b) {
    if constexpr (F == OpaqueForm::darken) return static_cast<uint8_t>(a < b ? a : b);
    else if constexpr (F == OpaqueForm::lighten) return static_cast<uint8_t>(a > b ? a : b);
    else if constexpr (F == OpaqueForm::difference) return static_cast<uint8_t>(a > b ? a - b : b - a);
    else if constexpr (F == OpaqueForm::add) return static_cast<uint8_t>(a + b > 255 ? 255 : a + b);
    else if constexpr (F == OpaqueForm::subtract) return static_cast<uint8_t>(a > b ? a - b : 0);
    else if constexpr (F == OpaqueForm::multiply) return static_cast<uint8_t>(zv_div255(a * b));
    else if constexpr (F == OpaqueForm::screen) return static_cast<uint8_t>(255 - zv_div255((255 - a) * (255 - b)));
    else if constexpr (F == OpaqueForm::linear_burn) return static_cast<uint8_t>(a + b > 255 ? a + b - 255 : 0);
    else if (b < 128) return static_cast<uint8_t>(a < 2 * b ? a : 2 * b);
    else return static_cast<uint8_t>(a > 2 * b - 255 ? a : 2 * b - 255);
}

// Tests: whether the vector stages take the integer forms (the default) or
// always the float path; read once per call. Each module has its own switch.
extern std::atomic<bool> zv_opaque_integer_paths;
inline bool opaque_integer_paths() { return zv_opaque_integer_paths.load(std::memory_order_relaxed); }
