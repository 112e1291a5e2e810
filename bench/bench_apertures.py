"""Apertures: the ELT preset and the demo pupil, exact, beside what a user
would otherwise pick, on the same grids in the same run.

    python bench/bench_apertures.py [SIZE] [JOB] [--record[=DIR]]     (defaults 4096 and 0)

1. zolvin.pupils.elt() on SIZE^2 (2 threads), against
   - an 8x8 supersampled NumPy rendering of the same segments and spiders
     (what optics packages do): its time (a band of rows, scaled to the whole
     grid) and its largest per-pixel error against the exact map;
   - photutils: one exact PolygonAperture mask per segment, added into the
     image (time for a subset of segments, scaled to all 798; no spiders).
2. The demo pupil (radius 1, obscuration 0.3, four spokes of 0.02) on SIZE^2,
   exact, against photutils' exact circle and rectangle masks composed
   (aperture minus obscuration minus spokes) and zolvin.pupil's coverage
   rule: times and largest per-pixel differences from the exact map.
3. With JOB > 0: ``python -m zolvin pupil --telescope elt --size JOB -o
   DIR/elt.zarr`` in a child process: wall time and peak resident memory.
"""
import math
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import zolvin
from common import recording, timed
from zolvin import pupils
from zolvin.shapes import Disc, Spider, Union

THREADS = 2
SUPER = 8
# Rows of the supersampled rendering that are timed, and photutils' segments.
BAND_ROWS = 256
PHOTUTILS_SEGMENTS = 60
TITLE = ("`aperture_coverage` on the ELT preset and the demo pupil beside what a user would "
         "otherwise pick")
OURS = f"`aperture_coverage`, {THREADS} threads"


# ---- ELT ---------------------------------------------------------------------

def elt_supersampled(grid, rows, segs, spiders):
    """8x8 samples per pixel of rows (r0, r1): each sample is inside when it
    lies in the kept segment of its lattice cell and outside every spider."""
    r0, r1 = rows
    (p, _), _ = grid.jac
    x0, y0 = grid.origin
    n = grid.shape[1]
    sub = (np.arange(SUPER) + 0.5) / SUPER - 0.5
    xs = (x0 + p * (np.arange(n)[:, None] + sub[None, :])).ravel()
    pitch, half = segs.pitch, 0.5 * segs.flat_to_flat
    kept = np.zeros((2 * segs.rings + 3, 2 * segs.rings + 3), bool)
    pos = np.array(segs.positions)
    kept[pos[:, 0] + segs.rings + 1, pos[:, 1] + segs.rings + 1] = True
    c30, s30 = math.cos(math.pi / 6), 0.5
    out = np.empty((r1 - r0, n))
    for r in range(r0, r1):
        ys = y0 + p * (r + sub)
        x, y = np.meshgrid(xs, ys)
        # Lattice a = pitch (cos30, sin30), b = pitch (0, 1): fractional indices, cube rounding.
        fi = x / (pitch * c30)
        fj = y / pitch - 0.5 * fi
        fk = -fi - fj
        i, j, k = np.rint(fi), np.rint(fj), np.rint(fk)
        di, dj, dk = abs(i - fi), abs(j - fj), abs(k - fk)
        fix_i = (di > dj) & (di > dk)
        fix_j = ~fix_i & (dj > dk)
        i = np.where(fix_i, -j - k, i)
        j = np.where(fix_j, -i - k, j)
        dx = x - pitch * c30 * i
        dy = y - pitch * (s30 * i + j)
        inside = (abs(dy) <= half) & (abs(c30 * dx + s30 * dy) <= half) \
            & (abs(c30 * dx - s30 * dy) <= half)
        ii, jj = i.astype(int) + segs.rings + 1, j.astype(int) + segs.rings + 1
        ok = (ii >= 0) & (ii < kept.shape[0]) & (jj >= 0) & (jj < kept.shape[1])
        inside &= ok & kept[np.clip(ii, 0, kept.shape[0] - 1), np.clip(jj, 0, kept.shape[1] - 1)]
        for s in spiders:
            ux, uy = math.cos(s.angle), math.sin(s.angle)
            ex, ey = x - s.start[0], y - s.start[1]
            along = ex * ux + ey * uy
            inside &= ~((along >= 0) & (abs(ey * ux - ex * uy) <= 0.5 * s.width))
        out[r - r0] = inside.reshape(SUPER, n, SUPER).mean(axis=(0, 2))
    return out


def elt(size, record):
    shape = pupils.elt()
    segs = shape.base
    spiders = shape.cut.parts
    grid = pupils.spanning_grid(shape, size)
    (p, _), _ = grid.jac
    print(f"ELT preset (798 segments, 6 spiders) on {size} x {size}, "
          f"{p * 1e3:.2f} mm pixels ({segs.gap / p:.2f}-pixel gaps), {THREADS} threads, medians")
    t_ours, ours = timed(lambda: zolvin.aperture_coverage(grid, shape, n_threads=THREADS), 5)
    print(f"  zolvin.aperture_coverage      {t_ours * 1e3:9.1f} ms")
    # A yardstick of the machine's load: one circle's coverage of the same grid.
    t_circ, _ = timed(lambda: zolvin.enclosed_circle(grid, (0.0, 0.0), 19.0,
                                                     n_threads=THREADS), 5)
    print(f"  enclosed_circle, same grid    {t_circ * 1e3:9.1f} ms  (ours x{t_ours / t_circ:.1f} of it)")
    case = f"ELT pupil: {len(segs.positions)} segments, {len(spiders)} spiders"
    data = f"{size}^2 grid, {segs.gap / p:.2f}-pixel gaps"
    record.add("elt-circle", case, data, (OURS, t_ours), ("`enclosed_circle` on the same grid", t_circ),
               note=f"ours takes {t_ours / t_circ:.1f}x its time")
    mid = size // 2 - BAND_ROWS // 2
    rows = (mid + BAND_ROWS // 3, mid + BAND_ROWS // 3 + BAND_ROWS)
    t_ss, ss = timed(lambda: elt_supersampled(grid, rows, segs, spiders), 1)
    err = np.abs(ss - ours[rows[0]:rows[1]]).max()
    scaled = t_ss * size / BAND_ROWS
    print(f"  8x8 supersampled NumPy        {scaled * 1e3:9.1f} ms  (x{scaled / t_ours:.0f}; "
          f"{BAND_ROWS} rows timed, scaled), largest per-pixel error {err:.3f}")
    record.add("elt-supersampled", case, data, (OURS, t_ours),
               ("8x8 supersampled NumPy of the same shapes", scaled),
               note=f"{p * 1e3:.2g} mm pixels; {BAND_ROWS} rows timed, scaled; its largest "
                    f"per-pixel difference from ours {err:.3f}")
    try:
        from photutils.aperture import PolygonAperture
    except ImportError:
        print("  photutils: not installed")
        return
    img = np.zeros(grid.shape)
    verts = segs.vertices()
    pick = np.linspace(0, len(verts) - 1, PHOTUTILS_SEGMENTS).astype(int)

    # Pixel coordinates: pixel (col, row) centred on integers; one aperture,
    # one position per segment.
    px = (verts[pick] - np.array(grid.origin)) / p
    centres = px.mean(axis=1)
    aperture = PolygonAperture(centres, px[0] - centres[0])

    def photutils_masks():
        for mask in aperture.to_mask(method="exact"):
            big, small = mask.get_overlap_slices(grid.shape)
            if big is not None:
                img[big] += mask.data[small]
    # photutils' first exact mask pays its one-time set-up; scaled by the
    # segment count that would inflate its time many times over.
    photutils_masks()
    t_pu, _ = timed(photutils_masks, 3)
    scaled = t_pu * len(verts) / PHOTUTILS_SEGMENTS
    print(f"  photutils PolygonAperture     {scaled * 1e3:9.1f} ms  (x{scaled / t_ours:.0f}; "
          f"{PHOTUTILS_SEGMENTS} of {len(verts)} segment masks timed, scaled; no spiders)")
    record.add("elt-photutils", case, data, (OURS, t_ours),
               ('photutils `PolygonAperture(...).to_mask(method="exact")` per segment, added up',
                scaled),
               note=f"{PHOTUTILS_SEGMENTS} of the {len(verts)} segments timed, scaled; no spiders")


# ---- The demo pupil ----------------------------------------------------------

def demo(size, record):
    grid = zolvin.Grid.spanning(1.0, size)
    (p, _), _ = grid.jac
    angles = zolvin.strut_angles(4)
    shape = Disc((0, 0), 1.0) - Union(Disc((0, 0), 0.3), *(Spider((0, 0), t, 0.02)
                                                             for t in angles))
    print(f"demo pupil on {size} x {size}, {THREADS} threads, medians")
    t_ours, ours = timed(lambda: zolvin.aperture_coverage(grid, shape, n_threads=THREADS), 5)
    print(f"  zolvin.aperture_coverage      {t_ours * 1e3:9.1f} ms")
    t_cov, cov = timed(lambda: zolvin.pupil(grid, 1.0, obscuration=0.3, struts=angles,
                                            strut_width=0.02, method="coverage",
                                            n_threads=THREADS), 5)
    print(f"  zolvin.pupil coverage rule    {t_cov * 1e3:9.1f} ms  (x{t_cov / t_ours:.2f}), "
          f"largest difference {np.abs(cov - ours).max():.1e}")
    case = "demo pupil: radius 1, obscuration 0.3, four spokes 0.02 wide"
    data = f"{size}^2 grid"
    record.add("demo-coverage", case, data, (OURS, t_ours),
               ('`zolvin.pupil(method="coverage")`', t_cov),
               note=f"largest difference {np.abs(cov - ours).max():.1e} (fractions multiplied)")
    try:
        from photutils.aperture import CircularAperture, RectangularAperture
    except ImportError:
        print("  photutils: not installed")
        return
    c = (-grid.origin[0] / p, -grid.origin[1] / p)

    def composed():
        img = CircularAperture(c, 1.0 / p).to_mask(method="exact").to_image(grid.shape)
        img -= CircularAperture(c, 0.3 / p).to_mask(method="exact").to_image(grid.shape)
        for t in angles:
            # Each spoke: from the centre to beyond the rim.
            mid = (c[0] + 0.55 / p * math.cos(t), c[1] + 0.55 / p * math.sin(t))
            img -= RectangularAperture(mid, 1.1 / p, 0.02 / p, theta=t).to_mask(
                method="exact").to_image(grid.shape)
        return np.clip(img, 0, 1)
    t_pu, pu = timed(composed, 3)
    print(f"  photutils circle - rectangles {t_pu * 1e3:9.1f} ms  (x{t_pu / t_ours:.1f}), "
          f"largest difference {np.abs(pu - ours).max():.1e}")
    record.add("demo-photutils", case, data, (OURS, t_ours),
               ("photutils exact circle and rectangle masks composed", t_pu),
               note=f"largest difference {np.abs(pu - ours).max():.2g} (overlaps subtracted twice)")


# ---- The job -----------------------------------------------------------------

def job(size, record):
    tmp = Path(tempfile.mkdtemp(prefix="bench_apertures-"))
    try:
        cmd = [sys.executable, "-m", "zolvin", "pupil", "--telescope", "elt", "--size",
               str(size), "--threads", str(THREADS), "-q", "-o", str(tmp / "elt.zarr")]
        t0 = time.perf_counter()
        subprocess.run(cmd, capture_output=True, text=True, check=True)
        seconds = time.perf_counter() - t0
        peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print(f"python -m zolvin pupil --telescope elt --size {size} -o elt.zarr ({THREADS} threads): "
          f"{seconds:.1f} s, peak RSS {peak / 1e9:.2f} GB")
    record.add("job", f"`python -m zolvin pupil --telescope elt --size {size} -o elt.zarr`",
               f"{size * size * 8 / 2**30:.3g} GiB of float64, {THREADS} threads",
               ("the job, wall time", seconds), unit="s", note=f"peak RSS {peak / 1e9:.2f} GB")


def main():
    record = recording(__file__, TITLE)
    size = int(sys.argv[1]) if len(sys.argv) > 1 else 4096
    big = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    elt(size, record)
    demo(size, record)
    if big:
        job(big, record)
    record.write()


if __name__ == "__main__":
    main()
