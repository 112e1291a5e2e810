"""Polygon mask throughput: both rules of poly_grid_contains beside skimage's
polygon2mask and matplotlib's Path.contains_points (both on smaller grids: they
are far slower), each on one thread, medians of repeated runs in this process.

    build/venv/bin/python bench/bench_polygon.py [GRID_SIZE] [--record[=DIR]]   (default 4096)
"""
import sys

import numpy as np
from common import median_seconds as timed_median
from common import recording
from matplotlib.path import Path
from skimage.draw import polygon2mask
from zolvin import _native

import _zolvin

REPEATS = 7
TITLE = "The polygon mask's two rules beside scikit-image and matplotlib"


def median_seconds(fn, repeats=REPEATS):
    return timed_median(fn, repeats)


def star(size, n_vertices):
    """Concave star polygon covering most of a size x size grid."""
    rng = np.random.default_rng(7)
    t = np.sort(rng.uniform(0, 2 * np.pi, n_vertices))
    r = size * rng.uniform(0.25, 0.48, n_vertices)
    return (np.ascontiguousarray(size / 2 + r * np.cos(t)),
            np.ascontiguousarray(size / 2 + r * np.sin(t)))


def ours(px, py, size, rule):
    gx = np.arange(size, dtype=np.float64)
    mask = np.empty((size, size), np.uint8)

    def run():
        if rule == "scan":
            _zolvin.poly_grid_contains(px.ctypes.data, py.ctypes.data, len(px), gx.ctypes.data,
                                       gx.ctypes.data, mask.ctypes.data, size, size)
        else:
            _native.poly_grid_points(px, py, gx, gx, mask, 1)
        return mask
    return run


def main():
    record = recording(__file__, TITLE)
    size = int(sys.argv[1]) if len(sys.argv) > 1 else 4096
    n_vertices = 1000
    px, py = star(size, n_vertices)
    ns = {}
    for rule in ("scan", "points"):
        ns[rule] = median_seconds(ours(px, py, size, rule)) / size**2 * 1e9

    # The baselines cost about a microsecond per cell: run them on smaller grids
    # with the same polygon scaled down.
    sk_size = max(size // 4, 1)
    sx, sy = star(sk_size, n_vertices)
    t_sk = median_seconds(lambda: polygon2mask((sk_size, sk_size), np.column_stack([sy, sx])),
                          repeats=3)
    ns_sk = t_sk / sk_size**2 * 1e9
    sk_mask = polygon2mask((sk_size, sk_size), np.column_stack([sy, sx]))

    mpl_size = max(size // 8, 1)
    mx, my = star(mpl_size, n_vertices)
    g = np.arange(mpl_size, dtype=np.float64)
    X, Y = np.meshgrid(g, g)
    points = np.column_stack([X.ravel(), Y.ravel()])
    path = Path(np.column_stack([mx, my]))
    t_mpl = median_seconds(lambda: path.contains_points(points), repeats=3)
    ns_mpl = t_mpl / mpl_size**2 * 1e9
    mpl_mask = path.contains_points(points).reshape(mpl_size, mpl_size)

    print(f"polygon of {n_vertices} vertices, one thread; medians of {REPEATS} runs "
          "(baselines 3)")
    for rule in ("scan", "points"):
        print(f"  rule={rule:<7}            {size:5d}^2 grid {ns[rule]:9.3f} ns/cell "
              f"({ns[rule] * size**2 / 1e6:8.2f} ms)  {ns[rule] / ns['scan']:5.2f}x scan")
    for name, n, t in (("skimage polygon2mask", sk_size, ns_sk),
                       ("mpl contains_points ", mpl_size, ns_mpl)):
        print(f"  {name}      {n:5d}^2 grid {t:9.3f} ns/cell ({t * n * n / 1e6:8.2f} ms)  "
              f"{t / ns['scan']:7.0f}x scan, {t / ns['points']:7.0f}x points")
    differing = {}
    for rule in ("scan", "points"):
        on_sk = ours(sx, sy, sk_size, rule)().astype(bool)
        on_mpl = ours(mx, my, mpl_size, rule)().astype(bool)
        differing[rule] = (int(np.sum(on_sk != sk_mask)), int(np.sum(on_mpl != mpl_mask)))
        print(f"  rule={rule:<7} cells differing: from polygon2mask {differing[rule][0]:6d}"
              f" of {sk_size**2}, from contains_points {differing[rule][1]:6d} of "
              f"{mpl_size**2}")
    scan, points = (ours(px, py, size, rule)().astype(bool) for rule in ("scan", "points"))
    print(f"  the rules differ at {np.sum(scan != points)} of the {size}^2 points")

    case = f"even-odd mask of a {n_vertices:,}-vertex star, one thread"
    scan_named = ('`poly_grid_contains`, `rule="scan"`', ns["scan"] * 1e-9)
    for row_id, name, n, t, k in (("skimage", "scikit-image `polygon2mask`", sk_size, ns_sk, 0),
                                  ("matplotlib", "matplotlib `Path.contains_points`", mpl_size,
                                   ns_mpl, 1)):
        record.add(row_id, case, f"{size}^2 grid (the baseline on {n}^2, the star scaled)",
                   scan_named, (name, t * 1e-9), unit="ns/cell", baseline_unit="us/cell",
                   note=f"cells differing from it: scan {differing['scan'][k]}, "
                        f"points {differing['points'][k]}")
    record.add("points", "the point rule beside the scan rule", f"{size}^2 grid, one thread",
               ('`rule="points"`', ns["points"] * 1e-9), ('`rule="scan"`', ns["scan"] * 1e-9),
               unit="ns/cell")
    record.note(f"The two rules differ at {np.sum(scan != points)} of the {size}^2 points "
                f"({np.sum(scan & ~points)} marked by the scan only, {np.sum(points & ~scan)} "
                f"by the point rule only).")
    record.write()


if __name__ == "__main__":
    main()
