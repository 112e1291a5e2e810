"""Polygon coverage beside what a user would pick instead: same polygons, same
grids, same run; medians and ratios.

    python bench/bench_polygon_coverage.py [SCALE] [--record[=DIR]]   (SCALE shrinks the grids; default 1)

1. A 1,000-vertex star about 800 pixels across on a 1024^2 grid:
   zolvin.polygon_coverage (2 threads) against photutils
   ``PolygonAperture(...).to_mask(method="exact")`` and 8x8 supersampling.
2. A star of 10^5 spikes (200,000 vertices) on a 1024^2 grid, about 80
   edges over each point of the rows across its flanks: accumulated (a
   simple polygon) against the strip sweep it took before and 8x8
   supersampling.
3. The ELT's 798 hexagonal segments (1.45 m point to point, 4 mm gaps, no
   spiders) on a 4096^2 grid over 40 m, one MultiPolygon: against
   - photutils: one exact PolygonAperture mask per segment added into the
     image (a subset of the segments timed, scaled to all 798);
   - zolvin.enclosed_circle of a circle as wide as the mirror, same grid;
   - 8x8 supersampling in NumPy (a band of rows timed, scaled to the grid):
     its time and its largest per-pixel error against the exact map.
"""
import math

import numpy as np
import shapely
import zolvin
from common import recording, scale_arg, timed
from zolvin import pupils
from zolvin.coverage.region import polygon_region
from zolvin.shapes import HexSegments

THREADS = 2
SUPER = 8
BAND_ROWS = 128
PHOTUTILS_SEGMENTS = 80
TITLE = "`polygon_coverage` beside photutils, supersampling and `enclosed_circle`"
OURS = f"`polygon_coverage`, {THREADS} threads"


def star(n, centre, r_lo, r_hi):
    rng = np.random.default_rng(7)
    t = np.sort(rng.uniform(0, 2 * np.pi, n))
    r = rng.uniform(r_lo, r_hi, n)
    return np.column_stack([centre + r * np.cos(t), centre + r * np.sin(t)])


def supersampled(grid, rows, polygons):
    """8x8 samples per pixel of the grid's rows (r0, r1) (square pixels), each
    inside by the even-odd rule over the polygons' edges: per row of samples,
    the edges' crossings toggle the samples to their right."""
    r0, r1 = rows
    (p, _), _ = grid.jac
    x0, y0 = grid.origin
    sub = (np.arange(SUPER) + 0.5) / SUPER - 0.5
    xs = x0 + p * (np.arange(grid.shape[1])[:, None] + sub).ravel()
    ys = y0 + p * (np.arange(r0, r1)[:, None] + sub).ravel()
    edges = np.concatenate([np.hstack([q, np.roll(q, -1, axis=0)]) for q in polygons])
    ex0, ey0, ex1, ey1 = edges.T
    inside = np.empty((len(ys), len(xs)), bool)
    for k, y in enumerate(ys):
        hit = (ey0 <= y) != (ey1 <= y)
        xc = ex0[hit] + (y - ey0[hit]) * (ex1[hit] - ex0[hit]) / (ey1[hit] - ey0[hit])
        toggles = np.bincount(np.searchsorted(xs, xc), minlength=len(xs) + 1)
        inside[k] = np.cumsum(toggles[:-1]) % 2 == 1
    n = grid.shape[1]
    return inside.reshape(r1 - r0, SUPER, n, SUPER).mean(axis=(1, 3))


def photutils_sum(grid, polygons, shape):
    """One exact photutils PolygonAperture mask per polygon (all of one shape:
    one aperture, a position each) added into an image (pixel coordinates:
    column x, row y, centred on integers)."""
    from photutils.aperture import PolygonAperture
    (p, _), _ = grid.jac
    img = np.zeros(shape)
    px = (polygons - np.array(grid.origin)) / p
    centres = px.mean(axis=1)
    for mask in PolygonAperture(centres, px[0] - centres[0]).to_mask(method="exact"):
        big, small = mask.get_overlap_slices(shape)
        if big is not None:
            img[big] += mask.data[small]
    return img


def against_supersampling(grid, polygons, rows, ours, t_ours, record, row_id, case, data):
    """8x8 supersampling of a band of rows, timed and scaled to the grid: its
    time beside ours and its largest error against our exact map."""
    n = rows[1] - rows[0]
    t_ss, ss = timed(lambda: supersampled(grid, rows, polygons), 1)
    t_ss *= grid.shape[0] / n
    err = np.abs(ss - ours[rows[0]:rows[1]]).max()
    print(f"  8x8 supersampling              {t_ss * 1e3:9.2f} ms  x{t_ss / t_ours:6.1f}  "
          f"largest error {err:.3f} ({n} rows timed, scaled)")
    record.add(row_id, case, data, (OURS, t_ours), ("8x8 supersampling in NumPy", t_ss),
               note=f"{n} rows timed, scaled; its largest error {err:.3f} of a pixel")


def bench_star(size, record):
    grid = zolvin.Grid((size, size))
    poly = star(1000, size / 2, 0.3 * size, 0.39 * size)
    t_ours, ours = timed(lambda: zolvin.polygon_coverage(grid, poly, n_threads=THREADS), 7)
    print(f"star of 1000 vertices, {size}^2 grid, {THREADS} threads")
    print(f"  zolvin.polygon_coverage        {t_ours * 1e3:9.2f} ms")
    case, data = "1,000-vertex star polygon", f"{size}^2 grid, ~{0.78 * size:.0f} pixels across"
    area = shapely.Polygon(poly).area
    print(f"  sum - shoelace area            {ours.sum() - area:+.2e} pixels")
    try:
        from photutils.aperture import PolygonAperture
    except ImportError:
        print("  photutils: not installed")
    else:
        def pu():
            centre = poly.mean(axis=0)
            return PolygonAperture(centre, poly - centre).to_mask(method="exact").to_image(
                (size, size))
        t_pu, img = timed(pu, 3)
        diff = np.abs(img - ours).max()
        print(f"  photutils PolygonAperture      {t_pu * 1e3:9.2f} ms  x{t_pu / t_ours:6.1f}  "
              f"largest difference {diff:.1e}")
        record.add("star-photutils", case, data, (OURS, t_ours),
                   ('photutils `PolygonAperture.to_mask("exact")`', t_pu),
                   note=f"largest difference {diff:.1e}")
    rows = (size // 2 - BAND_ROWS // 2, size // 2 + BAND_ROWS // 2)
    against_supersampling(grid, [poly], rows, ours, t_ours, record, "star-supersampled", case,
                          data)


def dense_star(spikes, centre, r_lo, r_hi):
    t = np.arange(2 * spikes) * math.pi / spikes
    r = np.where(np.arange(2 * spikes) % 2 == 0, r_hi, r_lo)
    return np.column_stack([centre + r * np.cos(t), centre + r * np.sin(t)])


def bench_dense_star(size, record):
    from zolvin import Region
    grid = zolvin.Grid((size, size))
    spikes = 100_000
    poly = dense_star(spikes, size / 2, 0.29 * size, 0.49 * size)
    t_ours, ours = timed(lambda: zolvin.polygon_coverage(grid, poly, n_threads=THREADS), 3)
    region = polygon_region(poly)
    swept = Region(*region._args())  # the same pieces, not marked simple
    t_swept, old = timed(lambda: zolvin.region_coverage(grid, swept, n_threads=THREADS), 1)
    exact = spikes * 0.29 * size * 0.49 * size * math.sin(math.pi / spikes)
    print(f"star of {2 * spikes} vertices, {size}^2 grid, {THREADS} threads")
    print(f"  zolvin.polygon_coverage        {t_ours * 1e3:9.2f} ms  "
          f"(sum / exact area - 1: {math.fsum(ours.ravel()) / exact - 1:+.1e})")
    print(f"  the strip sweep, as before     {t_swept * 1e3:9.2f} ms  x{t_swept / t_ours:6.1f}  "
          f"largest difference {np.abs(old - ours).max():.1e}")
    case, data = f"{2 * spikes:,}-vertex star polygon", f"{size}^2 grid, ~80 edges over a point"
    record.add("dense-star-sweep", case, data, (OURS, t_ours),
               ("the same region swept (its path before simple regions were accumulated)",
                t_swept), note=f"largest difference {np.abs(old - ours).max():.1e}")
    rows = (size // 2 - BAND_ROWS // 8, size // 2 + BAND_ROWS // 8)
    against_supersampling(grid, [poly], rows, ours, t_ours, record, "dense-star-supersampled",
                          case, data)


def bench_elt(size, record):
    segs = HexSegments(pupils.ELT_P2P * math.sqrt(3) / 2, 0.004, 17, keep=pupils._elt_keep)
    hexes = segs.vertices()
    multi = shapely.MultiPolygon([shapely.Polygon(h) for h in hexes])
    span = 40.0
    p = span / size
    grid = zolvin.Grid((size, size), origin=(-span / 2 + p / 2, -span / 2 + p / 2),
                       jac=((p, 0.0), (0.0, p)))
    t_ours, ours = timed(lambda: zolvin.polygon_coverage(grid, multi, n_threads=THREADS), 5)
    region = polygon_region(multi)
    t_kernel, _ = timed(lambda: zolvin.region_coverage(grid, region, n_threads=THREADS), 5)
    t_circle, _ = timed(lambda: zolvin.enclosed_circle(grid, (0.0, 0.0), 19.6,
                                                       n_threads=THREADS), 5)
    print(f"ELT: {len(hexes)} hexagons, {size}^2 grid, {THREADS} threads")
    print(f"  zolvin.polygon_coverage        {t_ours * 1e3:9.2f} ms  "
          f"({t_kernel * 1e3:.2f} ms from a parsed Region)")
    print(f"  zolvin.enclosed_circle         {t_circle * 1e3:9.2f} ms  "
          f"polygon / circle x{t_ours / t_circle:.2f}")
    print(f"  sum x pixel area - glass area  {ours.sum() * p * p - multi.area:+.2e} m^2")
    case, data = f"{len(hexes)} ELT hexagons, one MultiPolygon", f"{size}^2 grid"
    record.add("elt-circle", case, data, (OURS, t_ours),
               ("`enclosed_circle` on the same grid", t_circle),
               note=f"ours takes {t_ours / t_circle:.2f}x its time")
    rows = (size // 2 + size // 8, size // 2 + size // 8 + BAND_ROWS)
    against_supersampling(grid, hexes, rows, ours, t_ours, record, "elt-supersampled", case, data)
    try:
        import photutils.aperture  # noqa: F401
    except ImportError:
        print("  photutils: not installed")
        return
    pick = np.linspace(0, len(hexes) - 1, PHOTUTILS_SEGMENTS).astype(int)
    t_pu, _ = timed(lambda: photutils_sum(grid, hexes[pick], (size, size)), 3)
    t_pu *= len(hexes) / PHOTUTILS_SEGMENTS
    print(f"  photutils masks summed         {t_pu * 1e3:9.2f} ms  x{t_pu / t_ours:6.1f}  "
          f"({PHOTUTILS_SEGMENTS} of {len(hexes)} segments timed, scaled)")
    record.add("elt-photutils", case, data, (OURS, t_ours),
               ("photutils, an exact mask per segment, summed", t_pu),
               note=f"{PHOTUTILS_SEGMENTS} of the segments timed, scaled; "
                    f"ours {t_kernel * 1e3:.3g} ms from a parsed `Region`")


def main():
    record = recording(__file__, TITLE)
    scale = scale_arg()
    bench_star(int(1024 * scale), record)
    bench_dense_star(int(1024 * scale), record)
    bench_elt(int(4096 * scale), record)
    record.write()


if __name__ == "__main__":
    main()
