"""pixel_frac against a NumPy transcription of the same steps, on the same sheared pixels.

    python bench/bench_pixel_frac.py [SCALE] [--record[=DIR]]   (SCALE shrinks the 10^6 and 10^7 pixels)
"""
import numpy as np
from common import median_seconds, recording, report, scale_arg

import _zolvin


def pixel_frac_numpy(x0, y0, dir_y, dir_x, x, y, u, v, dxdu, dxdv, dydu, dydv):
    ox = x0 - x
    oy = y0 - y
    tv = dir_y * dxdu - dir_x * dydu
    tu = dir_x * dydv - dir_y * dxdv
    length = np.sqrt(tv * tv + tu * tu)
    tu = tu / length
    tv = tv / length
    det = dydv * dxdu - dxdv * dydu
    pu = (((-dxdv) / det) * oy + (dydv / det) * ox + u) - u
    pv = (((-dydu) / det) * ox + (dxdu / det) * oy + v) - v
    complement = np.ones(x.shape, bool)
    m = tu < 0
    tu, pu = np.where(m, -tu, tu), np.where(m, -pu, pu)
    complement ^= m
    m = tv < 0
    tv, pv = np.where(m, -tv, tv), np.where(m, -pv, pv)
    complement ^= m
    m = ~(tv > tu)
    pu, pv = np.where(m, pv, pu), np.where(m, pu, pv)
    tu, tv = np.where(m, tv, tu), np.where(m, tu, tv)
    complement ^= m
    with np.errstate(all="ignore"):
        e = ((-0.5 - pv) * tu) / tv + pu + 0.5
        f = ((0.5 - pv) * tu) / tv + pu + 0.5
        area = np.select(
            [e >= 1, f >= 1, e > 0, f > 0],
            [1.0, 1 - ((0.5 * tv) / tu) * (1 - e) * (1 - e), (f + e) * 0.5, f * (((tv * 0.5) / tu) * f)],
            0.0,
        )
    return np.where(complement, 1 - area, area)


def pixels(n, rng):
    side = int(np.sqrt(n))
    iu, iv = np.meshgrid(np.arange(side, dtype=float), np.arange(n // side, dtype=float))
    u, v = iu.ravel(), iv.ravel()
    jac = (1.0, 0.15, -0.1, 0.95)  # sheared pixels
    x = jac[0] * u + jac[1] * v
    y = jac[2] * u + jac[3] * v
    arrays = [x, y, u, v] + [np.full(u.size, j) for j in jac]
    return [np.ascontiguousarray(a) for a in arrays]


TITLE = "`pixel_frac` beside a NumPy transcription of the same steps"


def main():
    record = recording(__file__, TITLE)
    rng = np.random.default_rng(1)
    scale = scale_arg()
    for row_id, n in (("pixel-frac-small", int(1e6 * scale)), ("pixel-frac", int(1e7 * scale))):
        arrays = pixels(n, rng)
        n = arrays[0].size
        line = (n ** 0.5 / 2, n ** 0.5 / 3, 0.8, 0.6)
        out = np.empty(n)
        addrs = [a.ctypes.data for a in arrays]
        ours = median_seconds(lambda: _zolvin.pixel_frac(*line, *addrs, out.ctypes.data, n))
        expected = pixel_frac_numpy(*line, *arrays)
        base = median_seconds(lambda: pixel_frac_numpy(*line, *arrays), repeats=3)
        same = np.array_equal(out, expected)
        report(f"pixel_frac, {n:.0e} pixels", n, "pixel", ours, base, "numpy")
        print(f"{'':34} identical to the numpy transcription: {same}")
        record.add(row_id, "`pixel_frac`, one line", f"{n:.0e} sheared pixels",
                   ("`_zolvin.pixel_frac`", ours / n), ("NumPy transcription", base / n),
                   unit="ns/pixel", note="bit-identical" if same else "NOT bit-identical")
    record.write()


if __name__ == "__main__":
    main()
