"""Throughput of accumulate_triangles, in ns per candidate pixel.

    build/venv/bin/python bench/bench_triangles.py [SCALE] [--record[=DIR]]

SCALE (default 1) shrinks the triangle count. Candidate pixels are the pixels of
each triangle's bounding box clamped to the grid, the pixels the kernel visits.
The baseline computes the same per-pixel areas with shapely's vectorised
intersection on a subset of the triangles.
"""
import sys

import numpy as np
import shapely
from common import median_seconds, recording

import _zolvin as z

GRID = 1024
REPEATS = 5
TITLE = "`accumulate_triangles` beside shapely's intersection areas"


def addr(a):
    return a.ctypes.data


def make_triangles(rng, n):
    half = (GRID - 1) // 2
    centre = rng.uniform(-half, half, (n, 1, 2))
    size = rng.uniform(0.5, 5.0, (n, 1, 1))
    pts = centre + rng.uniform(-0.5, 0.5, (n, 3, 2)) * size
    return np.ascontiguousarray(pts.reshape(n, 6))


def candidate_pixels(tris):
    half = (GRID - 1) // 2
    xs, ys = tris[:, 0::2], tris[:, 1::2]
    xlo = np.maximum(np.floor(xs.min(1) + 0.5), -half)
    xhi = np.minimum(np.floor(xs.max(1) + 0.5), half)
    ylo = np.maximum(np.floor(ys.min(1) + 0.5), -half)
    yhi = np.minimum(np.floor(ys.max(1) + 0.5), half)
    return np.clip(xhi - xlo + 1, 0, None), np.clip(yhi - ylo + 1, 0, None), xlo, ylo


def shapely_areas(tris):
    """Areas of every triangle in every candidate pixel, one vectorised call."""
    nx, ny, xlo, ylo = candidate_pixels(tris)
    counts = (nx * ny).astype(int)
    idx = np.repeat(np.arange(len(tris)), counts)
    start = np.cumsum(counts) - counts
    k = np.arange(counts.sum()) - np.repeat(start, counts)
    ix = xlo[idx] + k % nx[idx]
    iy = ylo[idx] + k // nx[idx]
    polys = shapely.polygons(tris.reshape(-1, 3, 2))[idx]
    boxes = shapely.box(ix - 0.5, iy - 0.5, ix + 0.5, iy + 0.5)
    return shapely.area(shapely.intersection(polys, boxes))


def main():
    record = recording(__file__, TITLE)
    scale = float(sys.argv[1]) if len(sys.argv) > 1 else 1.0
    n = max(1000, int(100_000 / scale))
    rng = np.random.default_rng(1)
    tris = make_triangles(rng, n)
    values = rng.uniform(0.5, 2.0, n)
    weights = rng.uniform(0.5, 2.0, n)
    nx, ny, _, _ = candidate_pixels(tris)
    pixels = float((nx * ny).sum())

    grid = np.zeros(GRID * GRID)
    t = median_seconds(
        lambda: z.accumulate_triangles(addr(tris), addr(values), addr(weights), addr(grid), n, GRID),
        REPEATS, setup=lambda: grid.fill(0.0))
    ns_kernel = t / pixels * 1e9

    sub = tris[: max(200, n // 20)]
    snx, sny, _, _ = candidate_pixels(sub)
    sub_pixels = float((snx * sny).sum())
    ns_shapely = median_seconds(lambda: shapely_areas(sub), 3) / sub_pixels * 1e9

    print(f"accumulate_triangles: {n} triangles, {pixels:.0f} candidate pixels "
          f"({pixels / n:.1f} per triangle), grid {GRID}x{GRID}")
    print(f"  kernel : {ns_kernel:8.1f} ns/pixel  (median of {REPEATS})")
    print(f"  shapely: {ns_shapely:8.1f} ns/pixel  (intersection areas only, "
          f"{len(sub)} triangles, median of 3)")
    print(f"  ratio  : {ns_shapely / ns_kernel:8.1f}x faster than shapely")
    record.add("accumulate", "`accumulate_triangles`",
               f"{n} triangles 0.5 to 5 pixels across, {GRID}^2 grid",
               ("`_zolvin.accumulate_triangles`", ns_kernel * 1e-9),
               ("shapely intersection areas", ns_shapely * 1e-9),
               unit="ns/candidate pixel", baseline_unit="us/candidate pixel",
               note=f"candidate pixels: each triangle's bounding box within the grid; "
                    f"shapely on {len(sub)} of the triangles")
    record.write()


if __name__ == "__main__":
    main()
