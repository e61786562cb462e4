// The W3C family's formulas and its pixel driver, written once over the lane
// vocabulary (lanes_scalar.hpp) and included into zv_scalar and into each lane
// target's namespace and region by w3c.cpp. No include guard on purpose: the
// includer sets ZV_W3C_LANES (1 in a lane target, 0 in zv_scalar) first.
//
// Everything is float32 on 0..1, straight alpha: inputs are clamped to 0..1
// (NaN to 0), the source alpha is as = clamp(alpha x opacity), and every lane
// computes its pixel with the same operations, loads and stores as the scalar
// stage, so a pixel's value depends neither on the stage that takes it nor on
// the kernel: the family gives the same bits on every kernel.

// ---- the words of the formulas -------------------------------------------------

struct W3cRgb {
    V r, g, b;
};

// 0..1, NaN to 0: max_l and min_l give their second operand on NaN.
ZV_INLINE V w3c_clamp(V x) { return min_l(max_l(x, splat(0.0f)), splat(1.0f)); }
ZV_INLINE V w3c_one_minus(V x) { return sub(splat(1.0f), x); }
ZV_INLINE V w3c_twice(V x) { return add(x, x); }
ZV_INLINE M w3c_low_half(V cs) { return le(cs, splat(0.5f)); }

// ---- separable blend functions B(cb, cs) ---------------------------------------
// cb: the backdrop's channel, cs: the source's.

// Multiply: the product; white is neutral.
ZV_INLINE V w3c_multiply(V cb, V cs) { return mul(cb, cs); }
// Screen: the complement of the product of the complements, cb + cs - cb cs.
ZV_INLINE V w3c_screen(V cb, V cs) { return fnmadd(cb, cs, add(cb, cs)); }
// Hard light: multiply by 2 cs below one half, screen with 2 cs - 1 above.
ZV_INLINE V w3c_hard_light(V cb, V cs) {
    const V twice = w3c_twice(cs);
    return select(w3c_low_half(cs), w3c_multiply(cb, twice), w3c_screen(cb, sub(twice, splat(1.0f))));
}
// Overlay: hard light with the two inputs swapped.
ZV_INLINE V w3c_overlay(V cb, V cs) { return w3c_hard_light(cs, cb); }
// Colour dodge: cb / (1 - cs) capped at 1; 0 where cb is 0 (before the cs = 1
// case, whose division by zero gives infinity and so the cap).
ZV_INLINE V w3c_color_dodge(V cb, V cs) {
    const V q = min_l(div(cb, w3c_one_minus(cs)), splat(1.0f));
    return select(eq(cb, splat(0.0f)), splat(0.0f), q);
}
// Colour burn: 1 - min(1, (1 - cb) / cs); 1 where cb is 1 (and cs = 0 with
// cb < 1 divides to infinity: 1 - 1 = 0).
ZV_INLINE V w3c_color_burn(V cb, V cs) {
    const V q = w3c_one_minus(min_l(div(w3c_one_minus(cb), cs), splat(1.0f)));
    return select(eq(cb, splat(1.0f)), splat(1.0f), q);
}
// Soft light: below one half cb - (1 - 2 cs) cb (1 - cb); above it
// cb + (2 cs - 1)(D(cb) - cb), D(cb) = ((16 cb - 12) cb + 4) cb up to 1/4, sqrt(cb) above.
ZV_INLINE V w3c_soft_light(V cb, V cs) {
    const V cubic = mul(mul_add(mul_add(splat(16.0f), cb, splat(-12.0f)), cb, splat(4.0f)), cb);
    const V d = select(le(cb, splat(0.25f)), cubic, sqrt_l(cb));
    const V twice = w3c_twice(cs);
    const V low = fnmadd(mul(w3c_one_minus(twice), cb), w3c_one_minus(cb), cb);
    const V high = mul_add(sub(twice, splat(1.0f)), sub(d, cb), cb);
    return select(w3c_low_half(cs), low, high);
}
ZV_INLINE V w3c_difference(V cb, V cs) { return abs_l(sub(cb, cs)); }
// Exclusion: cb + cs - 2 cb cs.
ZV_INLINE V w3c_exclusion(V cb, V cs) { return fnmadd(w3c_twice(cb), cs, add(cb, cs)); }
// Linear dodge (add): the sum, capped at 1.
ZV_INLINE V w3c_linear_dodge(V cb, V cs) { return min_l(add(cb, cs), splat(1.0f)); }
// Linear burn: the sum less 1, floored at 0.
ZV_INLINE V w3c_linear_burn(V cb, V cs) { return max_l(sub(add(cb, cs), splat(1.0f)), splat(0.0f)); }
// Vivid light: colour burn by 2 cs below one half, colour dodge by 2 cs - 1 above.
ZV_INLINE V w3c_vivid_light(V cb, V cs) {
    const V twice = w3c_twice(cs);
    return select(w3c_low_half(cs), w3c_color_burn(cb, twice), w3c_color_dodge(cb, sub(twice, splat(1.0f))));
}
// Linear light: linear burn by 2 cs below one half, linear dodge by 2 cs - 1
// above; both are cb + 2 cs - 1, clamped to 0..1.
ZV_INLINE V w3c_linear_light(V cb, V cs) { return w3c_clamp(mul_add(splat(2.0f), cs, sub(cb, splat(1.0f)))); }
// Pin light: darken with 2 cs below one half, lighten with 2 cs - 1 above.
ZV_INLINE V w3c_pin_light(V cb, V cs) {
    const V twice = w3c_twice(cs);
    return select(w3c_low_half(cs), min_l(cb, twice), max_l(cb, sub(twice, splat(1.0f))));
}
// Hard mix: 1 where cb + cs reaches 1, else 0. The threshold is half an 8-bit
// step below 1, so that 8-bit pairs summing to 255 give 1 however their float
// sum rounds.
constexpr float kW3cHardMixThreshold = 1.0f - 0.5f / 255.0f;
ZV_INLINE V w3c_hard_mix(V cb, V cs) {
    return select(ge(add(cb, cs), splat(kW3cHardMixThreshold)), splat(1.0f), splat(0.0f));
}
// Subtract: cb - cs, floored at 0.
ZV_INLINE V w3c_subtract(V cb, V cs) { return max_l(sub(cb, cs), splat(0.0f)); }
// Divide: cb / cs capped at 1; 0 where cb is 0 (cs = 0 with cb > 0 divides to
// infinity, and so 1).
ZV_INLINE V w3c_divide(V cb, V cs) {
    return select(eq(cb, splat(0.0f)), splat(0.0f), min_l(div(cb, cs), splat(1.0f)));
}

template <W3cOp Op>
ZV_INLINE V w3c_separable(V cb, V cs) {
    if constexpr (Op == W3cOp::normal) return cs;
    else if constexpr (Op == W3cOp::multiply) return w3c_multiply(cb, cs);
    else if constexpr (Op == W3cOp::screen) return w3c_screen(cb, cs);
    else if constexpr (Op == W3cOp::overlay) return w3c_overlay(cb, cs);
    else if constexpr (Op == W3cOp::darken) return min_l(cb, cs);
    else if constexpr (Op == W3cOp::lighten) return max_l(cb, cs);
    else if constexpr (Op == W3cOp::color_dodge) return w3c_color_dodge(cb, cs);
    else if constexpr (Op == W3cOp::color_burn) return w3c_color_burn(cb, cs);
    else if constexpr (Op == W3cOp::hard_light) return w3c_hard_light(cb, cs);
    else if constexpr (Op == W3cOp::soft_light) return w3c_soft_light(cb, cs);
    else if constexpr (Op == W3cOp::difference) return w3c_difference(cb, cs);
    else if constexpr (Op == W3cOp::exclusion) return w3c_exclusion(cb, cs);
    else if constexpr (Op == W3cOp::linear_dodge) return w3c_linear_dodge(cb, cs);
    else if constexpr (Op == W3cOp::linear_burn) return w3c_linear_burn(cb, cs);
    else if constexpr (Op == W3cOp::vivid_light) return w3c_vivid_light(cb, cs);
    else if constexpr (Op == W3cOp::linear_light) return w3c_linear_light(cb, cs);
    else if constexpr (Op == W3cOp::pin_light) return w3c_pin_light(cb, cs);
    else if constexpr (Op == W3cOp::hard_mix) return w3c_hard_mix(cb, cs);
    else if constexpr (Op == W3cOp::subtract) return w3c_subtract(cb, cs);
    else return w3c_divide(cb, cs);
}

// ---- whole colours: W3C Lum, ClipColor, SetLum, Sat, SetSat ------------------

// Lum: 0.3 R + 0.59 G + 0.11 B.
ZV_INLINE V w3c_lum(const W3cRgb& c) {
    return mul_add(splat(0.3f), c.r, mul_add(splat(0.59f), c.g, mul(splat(0.11f), c.b)));
}
ZV_INLINE V w3c_min3(const W3cRgb& c) { return min_l(min_l(c.r, c.g), c.b); }
ZV_INLINE V w3c_max3(const W3cRgb& c) { return max_l(max_l(c.r, c.g), c.b); }

// ClipColor: a colour pulled towards its own Lum until it fits 0..1, first
// from below (where its least channel n is negative: l + (c - l) l / (l - n)),
// then from above (where its greatest x exceeds 1: l + (c - l)(1 - l)/(x - l)),
// n and x being those of the colour as it came.
ZV_INLINE V w3c_clip_below(V c, V l, V n) { return mul_add(sub(c, l), div(l, sub(l, n)), l); }
ZV_INLINE V w3c_clip_above(V c, V l, V x) { return mul_add(sub(c, l), div(w3c_one_minus(l), sub(x, l)), l); }
ZV_INLINE W3cRgb w3c_clip_color(W3cRgb c) {
    const V l = w3c_lum(c), n = w3c_min3(c), x = w3c_max3(c);
    const M below = lt(n, splat(0.0f)), above = gt(x, splat(1.0f));
    c.r = select(below, w3c_clip_below(c.r, l, n), c.r);
    c.g = select(below, w3c_clip_below(c.g, l, n), c.g);
    c.b = select(below, w3c_clip_below(c.b, l, n), c.b);
    c.r = select(above, w3c_clip_above(c.r, l, x), c.r);
    c.g = select(above, w3c_clip_above(c.g, l, x), c.g);
    c.b = select(above, w3c_clip_above(c.b, l, x), c.b);
    return c;
}
// SetLum: the colour shifted by l - Lum(c), then clipped.
ZV_INLINE W3cRgb w3c_set_lum(const W3cRgb& c, V l) {
    const V d = sub(l, w3c_lum(c));
    return w3c_clip_color({add(c.r, d), add(c.g, d), add(c.b, d)});
}
ZV_INLINE V w3c_sat(const W3cRgb& c) { return sub(w3c_max3(c), w3c_min3(c)); }
// SetSat: the greatest channel becomes s, the least 0, the middle one
// (mid - min) s / (max - min); all 0 for a grey. Written per channel, which
// is the same for each of the three places.
ZV_INLINE W3cRgb w3c_set_sat(const W3cRgb& c, V s) {
    const V lo = w3c_min3(c), hi = w3c_max3(c), range = sub(hi, lo);
    const M coloured = gt(hi, lo);
    auto place = [&](V v) { return select(coloured, div(mul(sub(v, lo), s), range), splat(0.0f)); };
    return {place(c.r), place(c.g), place(c.b)};
}
// Darker / lighter colour: the whole colour of lower / higher Lum (the
// backdrop's on a tie).
ZV_INLINE W3cRgb w3c_pick(M source, const W3cRgb& cb, const W3cRgb& cs) {
    return {select(source, cs.r, cb.r), select(source, cs.g, cb.g), select(source, cs.b, cb.b)};
}

template <W3cOp Op>
ZV_INLINE W3cRgb w3c_whole(const W3cRgb& cb, const W3cRgb& cs) {
    if constexpr (Op == W3cOp::hue) return w3c_set_lum(w3c_set_sat(cs, w3c_sat(cb)), w3c_lum(cb));
    else if constexpr (Op == W3cOp::saturation) return w3c_set_lum(w3c_set_sat(cb, w3c_sat(cs)), w3c_lum(cb));
    else if constexpr (Op == W3cOp::color) return w3c_set_lum(cs, w3c_lum(cb));
    else if constexpr (Op == W3cOp::luminosity) return w3c_set_lum(cb, w3c_lum(cs));
    else if constexpr (Op == W3cOp::darker_color) return w3c_pick(lt(w3c_lum(cs), w3c_lum(cb)), cb, cs);
    else return w3c_pick(gt(w3c_lum(cs), w3c_lum(cb)), cb, cs);
}

// ---- compositing ---------------------------------------------------------------

// Porter-Duff factors: Fa of the source, Fb of the backdrop, from the W3C
// table. Codes: 0, 1, the other alpha, one minus the other alpha.
enum W3cFactor { kW3cZero, kW3cOne, kW3cOther, kW3cOtherComplement };
template <W3cOp Op>
struct W3cFactors;
#define ZV_W3C_FACTORS(op, fa, fb)                    \
    template <>                                       \
    struct W3cFactors<W3cOp::op> {                    \
        static constexpr W3cFactor kSource = fa;      \
        static constexpr W3cFactor kBackdrop = fb;    \
    };
ZV_W3C_FACTORS(clear, kW3cZero, kW3cZero)
ZV_W3C_FACTORS(src, kW3cOne, kW3cZero)
ZV_W3C_FACTORS(dst, kW3cZero, kW3cOne)
ZV_W3C_FACTORS(src_over, kW3cOne, kW3cOtherComplement)
ZV_W3C_FACTORS(dst_over, kW3cOtherComplement, kW3cOne)
ZV_W3C_FACTORS(src_in, kW3cOther, kW3cZero)
ZV_W3C_FACTORS(dst_in, kW3cZero, kW3cOther)
ZV_W3C_FACTORS(src_out, kW3cOtherComplement, kW3cZero)
ZV_W3C_FACTORS(dst_out, kW3cZero, kW3cOtherComplement)
ZV_W3C_FACTORS(src_atop, kW3cOther, kW3cOtherComplement)
ZV_W3C_FACTORS(dst_atop, kW3cOtherComplement, kW3cOther)
ZV_W3C_FACTORS(xor_op, kW3cOtherComplement, kW3cOtherComplement)
#undef ZV_W3C_FACTORS

// alpha x F, F given by its code and the other image's alpha.
template <W3cFactor F>
ZV_INLINE V w3c_weight(V alpha, V other) {
    if constexpr (F == kW3cZero) return splat(0.0f);
    else if constexpr (F == kW3cOne) return alpha;
    else if constexpr (F == kW3cOther) return mul(alpha, other);
    else return mul(alpha, w3c_one_minus(other));
}

// The straight result of one pixel: co (colour) and ao (alpha).
//   blend modes (source-over):  Co = as (1 - ab) Cs + ab (1 - as) Cb + as ab B(Cb, Cs)
//                               ao = as + ab (1 - as)
//   Porter-Duff:                Co = as Fa Cs + ab Fb Cb,  ao = as Fa + ab Fb
//   plus:                       Co = min(1, as Cs + ab Cb),  ao = min(1, as + ab)
// then co = Co / ao (0 where ao is 0), clamped to 0..1.
template <W3cOp Op, W3cKind Kind>
ZV_INLINE void w3c_pixel(const W3cRgb& cb, V ab, const W3cRgb& cs, V as, W3cRgb& co, V& ao) {
    W3cRgb premultiplied;
    if constexpr (Kind == W3cKind::porter_duff && Op == W3cOp::plus) {
        auto sum = [&](V s, V b) { return min_l(mul_add(as, s, mul(ab, b)), splat(1.0f)); };
        premultiplied = {sum(cs.r, cb.r), sum(cs.g, cb.g), sum(cs.b, cb.b)};
        ao = min_l(add(as, ab), splat(1.0f));
    } else if constexpr (Kind == W3cKind::porter_duff) {
        const V ws = w3c_weight<W3cFactors<Op>::kSource>(as, ab);
        const V wb = w3c_weight<W3cFactors<Op>::kBackdrop>(ab, as);
        auto sum = [&](V s, V b) { return mul_add(ws, s, mul(wb, b)); };
        premultiplied = {sum(cs.r, cb.r), sum(cs.g, cb.g), sum(cs.b, cb.b)};
        ao = add(ws, wb);
    } else {
        W3cRgb mixed;
        if constexpr (Kind == W3cKind::whole) {
            mixed = w3c_whole<Op>(cb, cs);
            mixed = {w3c_clamp(mixed.r), w3c_clamp(mixed.g), w3c_clamp(mixed.b)};
        } else {
            mixed = {w3c_separable<Op>(cb.r, cs.r), w3c_separable<Op>(cb.g, cs.g), w3c_separable<Op>(cb.b, cs.b)};
        }
        const V only_source = mul(as, w3c_one_minus(ab)), only_backdrop = mul(ab, w3c_one_minus(as)),
                both = mul(as, ab);
        auto sum = [&](V s, V b, V m) { return mul_add(both, m, mul_add(only_backdrop, b, mul(only_source, s))); };
        premultiplied = {sum(cs.r, cb.r, mixed.r), sum(cs.g, cb.g, mixed.g), sum(cs.b, cb.b, mixed.b)};
        ao = mul_add(ab, w3c_one_minus(as), as);
    }
    const M covered = gt(ao, splat(0.0f));
    auto straight = [&](V c) { return w3c_clamp(select(covered, div(c, ao), splat(0.0f))); };
    co = {straight(premultiplied.r), straight(premultiplied.g), straight(premultiplied.b)};
}

// ---- the driver ------------------------------------------------------------------

// Pixels go through a block of planes: the backdrop's R, G, B, A, then the
// source's, kW3cBlock each (a multiple of every target's lanes); the result
// replaces the backdrop's planes.
#if ZV_W3C_LANES
ZV_INLINE V w3c_plane_load(const float* p) { return load_f32(p, 1); }
ZV_INLINE void w3c_plane_store(float* p, V v) { store_f32(p, v, 1); }
#else
ZV_INLINE V w3c_plane_load(const float* p) { return *p; }
ZV_INLINE void w3c_plane_store(float* p, V v) { *p = v; }
#endif

// The formula of one mode over the first n pixels of a block (n a multiple of kLanes).
template <W3cOp Op, W3cKind Kind>
void w3c_compute(float* block, zv_index n, float opacity) {
    const V scale = splat(opacity);
    for (zv_index i = 0; i < n; i += kLanes) {
        float* p = block + i;
        auto plane = [&](int k) { return w3c_clamp(w3c_plane_load(p + k * kW3cBlock)); };
        const W3cRgb cb{plane(0), plane(1), plane(2)}, cs{plane(4), plane(5), plane(6)};
        const V ab = plane(3), as = w3c_clamp(mul(plane(7), scale));
        W3cRgb co;
        V ao;
        w3c_pixel<Op, Kind>(cb, ab, cs, as, co, ao);
        w3c_plane_store(p, co.r);
        w3c_plane_store(p + kW3cBlock, co.g);
        w3c_plane_store(p + 2 * kW3cBlock, co.b);
        w3c_plane_store(p + 3 * kW3cBlock, ao);
    }
}

using W3cCompute = void (*)(float* block, zv_index n, float opacity);
#define ZV_W3C_COMPUTE(id, name, css, kind, ...) &w3c_compute<W3cOp::id, W3cKind::kind>,
const W3cCompute kW3cCompute[] = {ZV_W3C_MODES(ZV_W3C_COMPUTE)};
#undef ZV_W3C_COMPUTE

// Pixels of an image to and from a block's planes, kLanes at a time; an RGB
// image's alpha is 1.
#if ZV_W3C_LANES
template <bool U8, int CH>
ZV_INLINE void w3c_to_planes(const void* data, zv_index pixel, float* planes) {
    V r, g, b, a;
    load_unit<U8, CH>(data, pixel, splat(kInv255), r, g, b, a);
    w3c_plane_store(planes, r);
    w3c_plane_store(planes + kW3cBlock, g);
    w3c_plane_store(planes + 2 * kW3cBlock, b);
    w3c_plane_store(planes + 3 * kW3cBlock, a);
}
template <bool U8, int CH>
ZV_INLINE void w3c_from_planes(void* data, zv_index pixel, const float* planes) {
    store_unit<U8, CH>(data, pixel, w3c_plane_load(planes), w3c_plane_load(planes + kW3cBlock),
                       w3c_plane_load(planes + 2 * kW3cBlock), w3c_plane_load(planes + 3 * kW3cBlock));
}
#else
// The lanes' arithmetic on one pixel: unit values are stored value x inv255;
// floats go out x 255, bytes x 255 clamped to 0..255 (NaN to 0) and rounded
// to nearest, ties to even.
template <bool U8>
ZV_INLINE float w3c_read(const ImageIn& image, zv_index i) {
    if constexpr (U8) return static_cast<float>(image.u8[i]) * kInv255;
    else return image.f32[i] * kInv255;
}
template <bool U8>
ZV_INLINE void w3c_write(ImageOut& out, zv_index i, float value) {
    const float scaled = value * 255.0f;
    if constexpr (U8) out.u8[i] = static_cast<uint8_t>(std::nearbyint(min_l(max_l(scaled, 0.0f), 255.0f)));
    else out.f32[i] = scaled;
}
template <bool U8, int CH>
ZV_INLINE void w3c_to_planes(const ImageIn& image, zv_index pixel, float* planes) {
    for (int c = 0; c < 3; ++c) planes[c * kW3cBlock] = w3c_read<U8>(image, pixel * CH + c);
    planes[3 * kW3cBlock] = CH == 4 ? w3c_read<U8>(image, pixel * CH + 3) : 1.0f;
}
template <bool U8, int CH>
ZV_INLINE void w3c_from_planes(ImageOut& out, zv_index pixel, const float* planes) {
    for (int c = 0; c < CH; ++c) w3c_write<U8>(out, pixel * CH + c, planes[c * kW3cBlock]);
}
#endif

// Whole groups of kLanes pixels from `index` on (the scalar stage: every pixel
// left), a block at a time: every pixel of a block is read before any is written.
template <bool BgU8, bool FgU8, int BgCh, int FgCh>
void w3c_blocks(BlendJob& job, zv_index& index, W3cCompute compute) {
    alignas(64) float block[8 * kW3cBlock];
#if ZV_W3C_LANES
    const void* bg = BgU8 ? static_cast<const void*>(job.background.u8) : job.background.f32;
    const void* fg = FgU8 ? static_cast<const void*>(job.foreground.u8) : job.foreground.f32;
    void* out = BgU8 ? static_cast<void*>(job.output.u8) : job.output.f32;
#else
    const ImageIn& bg = job.background;
    const ImageIn& fg = job.foreground;
    ImageOut& out = job.output;
#endif
    while (index + kLanes <= job.pixels) {
        const zv_index n = std::min<zv_index>(kW3cBlock, (job.pixels - index) / kLanes * kLanes);
        for (zv_index i = 0; i < n; i += kLanes) {
            w3c_to_planes<BgU8, BgCh>(bg, index + i, block + i);
            w3c_to_planes<FgU8, FgCh>(fg, index + i, block + 4 * kW3cBlock + i);
        }
        compute(block, n, job.opacity);
        for (zv_index i = 0; i < n; i += kLanes) w3c_from_planes<BgU8, BgCh>(out, index + i, block + i);
        index += n;
    }
}

// This target's stage of the W3C mode `op`.
inline void w3c_stage(BlendJob& job, zv_index& index, int op) {
    const W3cCompute compute = kW3cCompute[op];
    with_element_types(job.background.is_uint8, job.foreground.is_uint8, [&](auto bg8, auto fg8) {
        constexpr bool kBgU8 = decltype(bg8)::value, kFgU8 = decltype(fg8)::value;
        const bool bg4 = job.background.channels == 4, fg4 = job.foreground.channels == 4;
        if (bg4 && fg4) w3c_blocks<kBgU8, kFgU8, 4, 4>(job, index, compute);
        else if (bg4) w3c_blocks<kBgU8, kFgU8, 4, 3>(job, index, compute);
        else if (fg4) w3c_blocks<kBgU8, kFgU8, 3, 4>(job, index, compute);
        else w3c_blocks<kBgU8, kFgU8, 3, 3>(job, index, compute);
    });
}
