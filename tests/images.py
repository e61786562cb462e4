"""Random test images, the same recipe for every test module and child process."""

import numpy as np

# Float values at every edge: NaN, infinities, below 0, ties of 8-bit rounding, above 255.
SPECIAL = np.array([np.nan, np.inf, -np.inf, -40, 0, 0.5, 3, 127.5, 254.5, 255, 300, 1e30], np.float32)


def make_image(
    rng, h, w, c, dtype, *, low=0.0, high=255.0, halves=0.3, special=0.0, specials=SPECIAL, transparent=0.2, opaque=0.25
):
    """A random (h, w, c) image: uint8 anywhere in 0..255; float32 uniform in [low, high),
    a fraction `halves` of it made whole numbers and halves (8-bit rounding ties) and a
    fraction `special` replaced by values drawn from `specials`. With 4 channels a fraction
    `transparent` of the alphas is exactly 0 and `opaque` exactly 255 (the alpha edge cases)."""
    if np.dtype(dtype) == np.uint8:
        img = rng.integers(0, 256, (h, w, c), dtype=np.uint8)
    else:
        img = rng.uniform(low, high, (h, w, c)).astype(np.float32)
        if halves:
            whole = rng.random((h, w, c)) < halves
            img[whole] = np.round(img[whole] * 2) / 2
        if special:
            pick = rng.random((h, w, c)) < special
            img[pick] = rng.choice(specials, int(pick.sum()))
    if c == 4:
        pick = rng.random((h, w))
        img[..., 3][pick < transparent] = 0
        img[..., 3][(pick >= transparent) & (pick < transparent + opaque)] = 255
    return img
