"""Throughput of clip_triangles_to_circle / clip_triangles_to_strut, ns per input triangle,
beside shapely's vectorised intersection / difference on a subset of the same triangles.

Usage: build/venv/bin/python bench/bench_clip.py [N] [--record[=DIR]]   (default N = 1_000_000)
"""
import sys

import numpy as np
import shapely
from common import median_seconds, recording

import _zolvin

REPEATS = 5
TITLE = "The triangle clippers beside shapely's intersection and difference"


def addr(a):
    return a.ctypes.data


def median_ns(fn, n, repeats=REPEATS):
    return median_seconds(fn, repeats) * 1e9 / n


def mesh_around_pupil(n, rng):
    """Small triangles (~0.005 across) scattered over a box around a unit pupil."""
    centres = rng.uniform(-1.2, 1.2, (n, 1, 2))
    return (centres + rng.normal(scale=0.003, size=(n, 3, 2))).reshape(-1)


def main():
    record = recording(__file__, TITLE)
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    n_ref = max(1, min(n, 20_000))
    rng = np.random.default_rng(1)
    tris = mesh_around_pupil(n, rng)
    out = np.empty(7 * 6 * n)
    dc = np.zeros(1, np.int32)
    cc = np.zeros(1, np.int32)
    # A vane 0.04 wide across the pupil, tilted by 30 degrees.
    d = np.array([np.cos(np.pi / 6), np.sin(np.pi / 6)])
    nrm = np.array([-d[1], d[0]]) * 0.02
    strut = (nrm[0], nrm[1], d[1], d[0], -nrm[0], -nrm[1], d[1], d[0], 0.0, 0.0, 2.4, 0.0)

    polys = shapely.polygons(tris[:6 * n_ref].reshape(-1, 3, 2))
    disc = shapely.Point(0, 0).buffer(1.0, quad_segs=64)
    vane = shapely.Polygon([-1.2 * d + nrm, -1.2 * d - nrm, 1.2 * d - nrm, 1.2 * d + nrm])

    cases = [
        ("circle", "circle keep-inside", lambda: _zolvin.clip_triangles_to_circle(
            addr(tris), n, 0.0, 0.0, 1.0, 1, 0.01, addr(out), addr(dc), addr(cc)),
         lambda: shapely.intersection(polys, disc)),
        ("circle-outside", "circle keep-outside", lambda: _zolvin.clip_triangles_to_circle(
            addr(tris), n, 0.0, 0.0, 1.0, 0, 0.01, addr(out), addr(dc), addr(cc)),
         lambda: shapely.difference(polys, disc)),
        ("strut", "strut", lambda: _zolvin.clip_triangles_to_strut(
            addr(tris), n, *strut, addr(out), addr(dc), addr(cc)),
         lambda: shapely.difference(polys, vane)),
    ]
    copy_ns = median_ns(lambda: np.copyto(out[:6 * n], tris), n)
    print(f"{n} triangles (shapely on the first {n_ref}); medians of {REPEATS} runs")
    print(f"{'case':22s} {'written':>9s} {'ns/tri':>8s} {'shapely ns/tri':>15s} {'speed-up':>9s}")
    what = {"circle": ("`clip_triangles_to_circle`, keeping the inside", "shapely intersection"),
            "circle-outside": ("`clip_triangles_to_circle`, keeping the outside",
                               "shapely difference"),
            "strut": ("`clip_triangles_to_strut`", "shapely difference")}
    for row_id, name, kernel, reference in cases:
        written = kernel()
        ns = median_ns(kernel, n)
        ns_ref = median_ns(reference, n_ref, repeats=3)
        print(f"{name:22s} {written:9d} {ns:8.2f} {ns_ref:15.1f} {ns_ref / ns:8.0f}x")
        case, baseline = what[row_id]
        record.add(row_id, case, f"{n} triangles around a pupil",
                   (f"`_zolvin.{case.split('`')[1]}`", ns * 1e-9), (baseline, ns_ref * 1e-9),
                   unit="ns/triangle", baseline_unit="us/triangle",
                   note=f"{written} triangles written; shapely on the first {n_ref}")
    print(f"{'numpy copy of input':22s} {n:9d} {copy_ns:8.2f}   (memory-bound floor)")
    record.note(f"A NumPy copy of the input takes {copy_ns:.3g} ns per triangle: "
                "the memory-bound floor.")
    record.write()


if __name__ == "__main__":
    main()
