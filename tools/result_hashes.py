"""Hash the results of every public function on fixed inputs.

    tools/env build/venv/bin/python tools/result_hashes.py > before.txt
    ... change the code, rebuild ...
    tools/env build/venv/bin/python tools/result_hashes.py > after.txt
    diff before.txt after.txt

One line per case: a name and the SHA-256 (first 16 hex digits) of the
result's bytes, shape and dtype. A reorganisation that keeps every result bit
prints the same lines; a change of arithmetic shows as the cases it moves.
The inputs touch every public entry point of ``zolvin``, ``zolvin.shapes``,
``zolvin.pupils``, ``zolvin.dask`` and ``_zolvin``, on square, sheared and
mirrored pixels, on ``Grid`` and ``Pixels``.
"""
from __future__ import annotations

import hashlib
import pickle
import sys

import numpy as np
import zolvin
from zolvin import pupils
from zolvin import shapes as S

import _zolvin


def digest(value) -> str:
    h = hashlib.sha256()

    def feed(v):
        if isinstance(v, np.ndarray):
            h.update(repr((v.shape, v.dtype.str)).encode())
            h.update(np.ascontiguousarray(v).tobytes())
        elif isinstance(v, tuple | list):
            h.update(f"seq{len(v)}".encode())
            for item in v:
                feed(item)
        elif isinstance(v, float | int | bool | str) or v is None:
            h.update(repr(v).encode())
        elif hasattr(v, "_asdict"):
            feed(tuple(v))
        elif isinstance(v, dict):
            for key in sorted(v):
                feed((key, v[key]))
        elif hasattr(v, "tocsr"):  # a sparse matrix: its arrays
            m = v.tocsr()
            feed((m.indptr, m.indices, m.data, m.shape))
        else:
            h.update(pickle.dumps(v))

    feed(value)
    return h.hexdigest()[:16]


JACS = {
    "square": ((0.05, 0.0), (0.0, 0.05)),
    "sheared": ((0.048, 0.013), (-0.007, 0.051)),
    "mirrored": ((0.05, 0.0), (0.0, -0.05)),
}


def grids():
    for name, jac in JACS.items():
        yield name, zolvin.Grid((37, 41), origin=(-1.03, -0.97), jac=jac)


def cases():
    rng = np.random.default_rng(20261209)
    for gname, g in grids():
        px = g.pixels()
        for pname, p in (("grid", g), ("pixels", px)):
            tag = f"{gname}/{pname}"
            yield f"pixel_frac {tag}", lambda p=p: zolvin.pixel_frac(p, (0.1, -0.2), (0.3, 1.0))
            yield f"enclosed_circle {tag}", lambda p=p: zolvin.enclosed_circle(p, (0.05, 0.02), 0.61)
            yield f"enclosed_strut {tag}", lambda p=p: zolvin.enclosed_strut(
                p, 2.0, ((-0.03, 0), (0.2, 1)), ((0.04, 0), (0.2, 1)))
            yield f"polygon_coverage {tag}", lambda p=p: zolvin.polygon_coverage(
                p, [[(-0.8, -0.7), (0.9, -0.5), (0.2, 0.85)], [(-0.1, -0.2), (0.1, 0.3), (0.3, -0.3)]])
            yield f"polygon_coverage evenodd {tag}", lambda p=p: zolvin.polygon_coverage(
                p, [(-0.8, -0.7), (0.9, 0.6), (0.9, -0.5), (-0.7, 0.8)], fill="evenodd")
            shape = (S.Disc((0.1, 0.05), 0.7) - S.Ellipse((0.0, 0.1), (0.3, 0.15), 0.4)
                     - S.Spider((0, 0), 0.3, 0.02)) | S.Hexagon((-0.6, 0.5), 0.2, 0.1)
            yield f"aperture_coverage {tag}", lambda p=p, s=shape: zolvin.aperture_coverage(p, s)
            yield f"pupil exact {tag}", lambda p=p: zolvin.pupil(
                p, 0.8, obscuration=0.3, struts=zolvin.strut_angles(3), strut_width=0.03)
            yield f"pupil coverage {tag}", lambda p=p: zolvin.pupil(
                p, 0.8, obscuration=0.3, struts=zolvin.strut_angles(3), strut_width=0.03,
                method="coverage")
            lens = S.Disc((0.0, 0.0), 0.6) & S.Disc((0.5, 0.2), 0.55)
            yield f"lens {tag}", lambda p=p, s=lens: zolvin.aperture_coverage(p, s)
            region = zolvin.Region(
                segments=np.array([[-0.5, -0.5, 0.5, -0.5], [0.5, -0.5, 0.5, 0.5],
                                   [0.5, 0.5, -0.5, 0.5], [-0.5, 0.5, -0.5, -0.5]]),
                segment_leaf=np.zeros(4, np.int32),
                arcs=np.array([[0.2, 0.1, 0.4, 0.0, 0.0, 0.3, 0.0, 2 * np.pi]]),
                arc_leaf=np.ones(1, np.int32), leaf_rules=("nonzero", "nonzero"),
                program=[0, 1, -4])
            yield f"region_coverage {tag}", lambda p=p, r=region: zolvin.region_coverage(p, r)
        if gname != "mirrored":
            yield f"pupil mesh {gname}", lambda g=g: zolvin.pupil(
                g, 0.8, obscuration=0.3, struts=zolvin.strut_angles(3), strut_width=0.03,
                method="mesh")
        segs = S.HexSegments(0.2, 0.01, 2)
        yield f"segment maps {gname}", lambda g=g, s=segs: [
            (m.position, m.rows, m.cols, m.coverage)
            for m in zolvin.aperture_coverage(g, s - S.Spider((0, 0), 0.5, 0.02), segments=True)]
    tris = rng.uniform(-6, 6, (200, 3, 2))
    yield "clip_area", lambda: [zolvin.clip_area(t, 0, 1) for t in tris[:50]]
    yield "accumulate_triangles", lambda: zolvin.accumulate_triangles(
        tris, rng.uniform(0, 1, 200), np.full(200, 2.0), 16)
    yield "clip_triangles_to_circle", lambda: zolvin.clip_triangles_to_circle(tris, (0.5, 0.2), 3.3)
    yield "clip_triangles_to_circle out", lambda: zolvin.clip_triangles_to_circle(
        tris, (0.5, 0.2), 3.3, keep_inside=False)
    yield "clip_triangles_to_strut", lambda: zolvin.clip_triangles_to_strut(
        tris, ((-0.3, 0), (0.1, 1)), ((0.4, 0), (0.1, 1)), (0, 0), 9.0)
    star = np.array([(np.cos(t) * r, np.sin(t) * r) for t, r in
                     zip(np.linspace(0, 2 * np.pi, 41)[:-1], np.tile([3.0, 1.2], 20), strict=True)])
    gx, gy = np.linspace(-3.5, 3.5, 57), np.linspace(-3.2, 3.4, 49)
    yield "poly_grid_contains scan", lambda: zolvin.poly_grid_contains(star, gx, gy)
    yield "poly_grid_contains points", lambda: zolvin.poly_grid_contains(star, gx, gy, rule="points")
    yield "polygon_rings", lambda: zolvin.polygon_rings([star, star[::-1] * 0.3])
    yield "analytic_area", lambda: zolvin.analytic_area(
        1.0, obscuration=0.3, struts=zolvin.strut_angles(4), strut_width=0.02)
    for name in sorted(pupils.PRESETS):
        shape = pupils.named(name)
        yield f"pupil preset {name}", lambda s=shape: zolvin.aperture_coverage(
            pupils.spanning_grid(s, 96), s)
    yield "low-level enclosed_circle", low_level_circle


def low_level_circle():
    n = 64
    u = np.arange(n, dtype=float) % 8
    v = np.arange(n, dtype=float) // 8
    x, y = u * 0.3 - 1.0, v * 0.3 - 1.0
    j = [np.full(n, a) for a in (0.3, 0.02, -0.01, 0.3)]
    out = np.empty(n)
    _zolvin.enclosed_circle(u.ctypes.data, v.ctypes.data, x.ctypes.data, y.ctypes.data, 0.1, 0.05,
                            0.8, *(a.ctypes.data for a in j), out.ctypes.data, n)
    return out


def engine_cases():
    """The many-region engine: sums over catalogs, zonal statistics, the
    coverage matrix and resampling, on the three grids and on Pixels."""
    import shapely
    rng = np.random.default_rng(5)
    data, err = rng.random((96, 80)), rng.random((96, 80))
    mask = rng.random((96, 80)) < 0.05
    c = rng.random((300, 2)) * [70, 80] + 5
    turns = np.sort(rng.random((60, 6)) * 6.28, axis=1)
    cats = {
        "discs": S.Discs(c, rng.random(300) * 6 + 0.5),
        "discs k": S.Discs(c, [[1.0, 2.5, 4.0]] * 300),
        "ellipses": S.Ellipses(c, rng.random((300, 2)) * 5 + 0.5, rng.random(300) * 6),
        "annuli": S.Annuli(c, 1.5, 4.0),
        "shapes": [S.Disc(tuple(p), 3.0) - S.RegularPolygon(tuple(p), 1.5, 5) for p in c[:40]],
        "polygons": S.Polygons([shapely.Polygon(p + 2.5 * np.c_[np.cos(t), np.sin(t)])
                                for p, t in zip(c[:60], turns)]),
    }
    cells = shapely.voronoi_polygons(shapely.MultiPoint(c[:120]),
                                     extend_to=shapely.box(-10, -10, 110, 110))
    zones = shapely.intersection(np.array(list(cells.geoms)), shapely.box(-5, -5, 100, 100))
    stats = ("sum", "count", "mean", "min", "max", "stdev", "weighted_sum", "weighted_mean")
    bands = np.stack([data, data * 3 - 1])
    bands[0, 5, 5], bands[1, 7, 9] = np.nan, -1.0
    dst = zolvin.Grid((70, 60), (3.3, -1.1), ((0.8, -0.2), (0.3, 0.9)))
    rr, cc = np.mgrid[0:96, 0:80].astype(float)
    jac = np.zeros((96, 80, 2, 2))
    jac[..., 0, 0], jac[..., 0, 1] = 0.95 + 0.002 * rr, 0.002 * cc
    jac[..., 1, 0], jac[..., 1, 1] = 0.002 * cc, 1.02
    px = zolvin.Pixels(0.5 + cc * 0.95 + 0.002 * rr * cc, 0.5 + rr * 1.02 + 0.001 * cc * cc, jac)
    for cname, cat in cats.items():
        yield f"aperture_sums pixels {cname}", lambda cat=cat: zolvin.aperture_sums(
            data, px, cat, error=err, n_threads=2)
    for name, jac_g in (("square", ((1, 0), (0, 1))), ("sheared", ((0.9, -0.25), (0.2, 1.1))),
                        ("mirrored", ((-1.0, 0.1), (0.05, 0.97)))):
        g = zolvin.Grid((96, 80), (90, 0.5) if name == "mirrored" else (0.3, -0.2), jac_g)
        for cname, cat in cats.items():
            yield f"aperture_sums {name} {cname}", lambda g=g, cat=cat: zolvin.aperture_sums(
                data, g, cat, error=err, mask=mask, n_threads=2)
        yield f"zonal_stats {name}", lambda g=g: zolvin.zonal_stats(
            bands, g, zones, stats=stats, weights=err, mask=mask, nodata=-1.0, n_threads=2)
        yield f"coverage_matrix {name}", lambda g=g: zolvin.coverage_matrix(g, zones)
        yield f"resample {name}", lambda g=g: zolvin.resample(data, g, dst, n_threads=2)
        yield f"resample mean {name}", lambda g=g: zolvin.resample(
            bands, g, dst, conserve="mean", n_threads=2)
        yield f"resample_weights {name}", lambda g=g: zolvin.resample_weights(g, dst)
    # Pixels smaller than the output's cells: the scatter kernel's small path.
    small = zolvin.Grid((96, 80), (0.7, 0.4), ((0.8, -0.25), (0.25, 0.8)))
    yield "resample small", lambda: zolvin.resample(data, small, dst, n_threads=2)
    yield "resample_weights small", lambda: zolvin.resample_weights(small, dst)


def dask_cases():
    try:
        import zolvin.dask as zd
    except ImportError:
        return
    g = zolvin.Grid((37, 41), origin=(-1.03, -0.97), jac=JACS["sheared"])
    disc = S.Disc((0.1, 0.05), 0.7) - S.Disc((0.0, 0.0), 0.2)
    yield "dask aperture_coverage", lambda: zd.aperture_coverage(g, disc, chunks=(10, 13)).compute()
    yield "dask polygon_coverage", lambda: zd.polygon_coverage(
        g, [(-0.8, -0.7), (0.9, -0.5), (0.2, 0.85)], chunks=11).compute()
    yield "dask enclosed_circle", lambda: zd.enclosed_circle(g, (0, 0), 0.5, chunks=9).compute()
    yield "dask pupil", lambda: zd.pupil(g, 0.8, obscuration=0.2, chunks=12).compute()


def main() -> int:
    for name, fn in list(cases()) + list(engine_cases()) + list(dask_cases()):
        note = ""
        try:
            result = fn()
        except Exception as exc:  # a refusal is a result too
            result = f"{type(exc).__name__}: {exc}"
            note = f" (refused: {type(exc).__name__})"
        print(f"{name}: {digest(result)}{note}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
