"""Throughput of enclosed_circle and enclosed_strut on a pupil grid, beside
a NumPy transcription of the same arithmetic on the same data.

    python bench/bench_coverage.py [SIZE] [--record[=DIR]]    (grid SIZE x SIZE, default 4096)
"""
import sys
from pathlib import Path

import numpy as np

import _zolvin

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
from bench_pixel_frac import pixel_frac_numpy as np_pixel_frac  # noqa: E402
from common import recording, timed  # noqa: E402
from pupil import R_OUTER, STRUT_ANGLES, pixel_grid, strut_params  # noqa: E402


def np_pixel_scale(a, b, c, d):
    p, q, r, w = a + d, b - c, a - d, b + c
    return (np.sqrt(p * p + q * q) + np.sqrt(r * r + w * w)) * 0.5


def np_circle(u, v, x, y, cx, cy, r, a, b, c, d):
    s = np_pixel_scale(a, b, c, d)
    dx = x - cx
    dy = y - cy
    d2 = dx * dx + dy * dy
    out = np.where((r - s) * (r - s) > d2, 1.0, 0.0)
    k = np.flatnonzero(~((r - s) * (r - s) > d2) & ~(d2 > (s + r) * (s + r)))
    dk = np.sqrt(d2[k])
    dxk, dyk = dx[k], dy[k]
    out[k] = np_pixel_frac((dxk * r) / dk + cx, (r * dyk) / dk + cy, (-dxk) / dk, dyk / dk,
                           x[k], y[k], u[k], v[k], a[k], b[k], c[k], d[k])
    return out


def np_strut(u, v, x, y, diam, x1, y1, dy1, dx1, x2, y2, dy2, dx2, a, b, c, d):
    mx, my, r2 = 0.5 * (x2 + x1), 0.5 * (y1 + y2), (0.5 * diam) * (0.5 * diam)
    out = np.zeros(x.size)
    k = np.flatnonzero(~((x - mx) * (x - mx) + (y - my) * (y - my) >= r2))
    xk, yk, ak, bk, ck, dk = x[k], y[k], a[k], b[k], c[k], d[k]
    s2 = 2 * np_pixel_scale(ak, bk, ck, dk)
    l1 = (yk - y1) * dx1 - (xk - x1) * dy1
    l2 = (yk - y2) * dx2 - (xk - x2) * dy2
    near = (s2 > np.abs(l1)) | (s2 > np.abs(l2))
    out[k] = np.where(l1 * l2 < 0, 1.0, 0.0)
    m = k[near]
    sel = [t[m] for t in (x, y, u, v, a, b, c, d)]
    out[m] = np_pixel_frac(x1, y1, dy1, dx1, *sel) - np_pixel_frac(x2, y2, dy2, dx2, *sel)
    return out


TITLE = "`enclosed_circle` and `enclosed_strut` beside NumPy transcriptions"


def main():
    record = recording(__file__, TITLE)
    size = int(sys.argv[1]) if len(sys.argv) > 1 else 4096
    u, v, x, y, shared, _ = pixel_grid(size, shear=0.3)
    n = u.size
    # The same grid with Jacobians that differ from pixel to pixel in the last bits.
    wobble = 1 + 1e-12 * (np.arange(n) % 5)
    varying = [j * wobble for j in shared]
    pix = [t.ctypes.data for t in (u, v, x, y)]
    out = np.empty(n)
    strut = strut_params(STRUT_ANGLES[0])
    print(f"pupil grid {size} x {size} ({n} pixels, sheared); medians")
    print(f"{'kernel':16} {'jacobians':10} {'ns/px':>7} {'numpy ns/px':>12} {'speed-up':>9}  same bits")
    for label, js, suffix, data in (("shared", shared, "shared", "one Jacobian"),
                                    ("per pixel", varying, "per-pixel", "a Jacobian per pixel")):
        jac = [t.ctypes.data for t in js]
        cases = [
            ("enclosed_circle", "circle",
             lambda: _zolvin.enclosed_circle(*pix, 0.0, 0.0, R_OUTER, *jac, out.ctypes.data, n),
             lambda: np_circle(u, v, x, y, 0.0, 0.0, R_OUTER, *js)),
            ("enclosed_strut", "strut",
             lambda: _zolvin.enclosed_strut(*pix, *strut, *jac, out.ctypes.data, n),
             lambda: np_strut(u, v, x, y, *strut, *js)),
        ]
        for name, row_id, native, numpy_fn in cases:
            native()  # touch the pages once
            t_nat, _ = timed(native, 7)
            t_np, ref = timed(numpy_fn, 3)
            same = np.array_equal(out.view(np.uint64), ref.view(np.uint64))
            print(f"{name:16} {label:10} {t_nat * 1e9 / n:7.2f} {t_np * 1e9 / n:12.2f}"
                  f" {t_np / t_nat:8.1f}x  {same}")
            record.add(f"{row_id}-{suffix}", f"`{name}`", f"{size}^2 pupil grid, {data}",
                       (f"`_zolvin.{name}`", t_nat / n), ("NumPy transcription", t_np / n),
                       unit="ns/pixel", note="bit-identical" if same else "NOT bit-identical")
    record.write()


if __name__ == "__main__":
    main()
