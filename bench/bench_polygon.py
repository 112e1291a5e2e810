"""Polygon mask throughput: poly_grid_contains beside skimage's polygon2mask and
matplotlib's Path.contains_points (both on smaller grids: they are far slower).

    build/venv/bin/python bench/bench_polygon.py [GRID_SIZE]   (default 4096)
"""
import sys

import numpy as np
from matplotlib.path import Path
from skimage.draw import polygon2mask

import _zolvin
from common import median_seconds as timed_median

REPEATS = 7


def median_seconds(fn, repeats=REPEATS):
    return timed_median(fn, repeats)


def star(size, n_vertices):
    """Concave star polygon covering most of a size x size grid."""
    rng = np.random.default_rng(7)
    t = np.sort(rng.uniform(0, 2 * np.pi, n_vertices))
    r = size * rng.uniform(0.25, 0.48, n_vertices)
    return (np.ascontiguousarray(size / 2 + r * np.cos(t)),
            np.ascontiguousarray(size / 2 + r * np.sin(t)))


def ours(px, py, size):
    gx = np.arange(size, dtype=np.float64)
    mask = np.empty((size, size), np.uint8)

    def run():
        _zolvin.poly_grid_contains(px.ctypes.data, py.ctypes.data, len(px), gx.ctypes.data,
                                   gx.ctypes.data, mask.ctypes.data, size, size)
        return mask
    return run


def main():
    size = int(sys.argv[1]) if len(sys.argv) > 1 else 4096
    n_vertices = 1000
    px, py = star(size, n_vertices)
    t_ours = median_seconds(ours(px, py, size))
    ns_ours = t_ours / size**2 * 1e9

    # The baselines cost about a microsecond per cell: run them on smaller grids
    # with the same polygon scaled down.
    sk_size = max(size // 4, 1)
    sx, sy = star(sk_size, n_vertices)
    t_sk = median_seconds(lambda: polygon2mask((sk_size, sk_size), np.column_stack([sy, sx])),
                          repeats=3)
    ns_sk = t_sk / sk_size**2 * 1e9
    agree = np.mean(polygon2mask((sk_size, sk_size), np.column_stack([sy, sx]))
                    == ours(sx, sy, sk_size)().astype(bool))

    mpl_size = max(size // 8, 1)
    mx, my = star(mpl_size, n_vertices)
    g = np.arange(mpl_size, dtype=np.float64)
    X, Y = np.meshgrid(g, g)
    points = np.column_stack([X.ravel(), Y.ravel()])
    path = Path(np.column_stack([mx, my]))
    t_mpl = median_seconds(lambda: path.contains_points(points), repeats=3)
    ns_mpl = t_mpl / mpl_size**2 * 1e9

    print(f"polygon of {n_vertices} vertices; medians of {REPEATS} runs (baselines 3)")
    print(f"  poly_grid_contains    {size:5d}^2 grid {ns_ours:9.3f} ns/cell "
          f"({t_ours * 1e3:8.2f} ms)")
    print(f"  skimage polygon2mask  {sk_size:5d}^2 grid {ns_sk:9.3f} ns/cell "
          f"({t_sk * 1e3:8.2f} ms)  {ns_sk / ns_ours:7.0f}x slower")
    print(f"  mpl contains_points   {mpl_size:5d}^2 grid {ns_mpl:9.3f} ns/cell "
          f"({t_mpl * 1e3:8.2f} ms)  {ns_mpl / ns_ours:7.0f}x slower")
    print(f"  cells agreeing with polygon2mask on its grid: {agree:.5f}")


if __name__ == "__main__":
    main()
