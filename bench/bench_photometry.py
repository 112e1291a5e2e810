"""Catalog photometry: exact sums over many apertures on one image, beside
photutils' and sep's exact modes, in the same run.

    python bench/bench_photometry.py [SCALE] [--sky] [--record[=DIR]]     (SCALE 1: the full sizes)

--sky runs only the sky rows (4 and 5).

On a 4096^2 image of random data (sources uniform over it):
1. 10^4 circles of r = 4 and 10^5 circles of r = 6: `aperture_sums` with 1 and
   2 threads, against photutils `aperture_photometry(method="exact")` (one
   thread) and sep `sum_circle(subpix=0)`.
2. 10^4 ellipses against both.
3. 10^4 hexagons against photutils' `PolygonAperture` (exact).
4. 10^4 sky discs of 1.2 arcsec on a TAN-SIP image of 0.11 arcsec pixels:
   `sky_aperture_sums` (exact on every pixel's own parallelogram, the WCS
   evaluated around the sources included) against the same discs in pixels
   on the square grid (r = 1.2 / 0.11) and photutils' `SkyCircularAperture`
   (one local Jacobian per source).
5. One 12 arcsec disc on the Pixels of a whole 2048^2 TAN-SIP image
   (`Pixels.from_wcs`, made once): `aperture_sums` on those Pixels (the
   pixels near the disc found through the Pixels' index) against photutils'
   `SkyCircularAperture`; the index's one-time build is in the note.
Each row gives the median per source and its ratio to ours, and the largest
relative difference of the sums against the peer.
"""
import math
import sys

import numpy as np
import zolvin
from common import recording, scale_arg, timed
from zolvin.pixels.wcs import TangentPlane
from zolvin.shapes import Discs, Ellipses, Polygons

TITLE = "`aperture_sums` beside photutils and sep (exact modes), per source"
SIDE = 4096


def photutils_sums(image, apertures):
    from photutils.aperture import aperture_photometry
    table = aperture_photometry(image, apertures, method="exact")
    return np.asarray(table["aperture_sum"], dtype=float)


def largest(a, b):
    return float(np.max(np.abs(a - b) / np.maximum(np.abs(b), 1e-300)))


def run_circles(image, grid, n, r, record, rng, repeats):
    import sep
    from photutils.aperture import CircularAperture
    c = rng.uniform(10, SIDE - 10, (n, 2))
    cat = Discs(c, r)
    t1, ours = timed(lambda: zolvin.aperture_sums(image, grid, cat, n_threads=1), repeats)
    t2, _ = timed(lambda: zolvin.aperture_sums(image, grid, cat, n_threads=2), repeats)
    ap = CircularAperture(c, r)
    photutils_sums(image, CircularAperture(c[:10], r))  # warm up
    tp, theirs = timed(lambda: photutils_sums(image, ap), 1 if n > 20000 else 3)
    ts, (sep_sum, _, _) = timed(lambda: sep.sum_circle(image, c[:, 0], c[:, 1], r, subpix=0),
                                repeats)
    label = f"{n} circles r={r}"
    print(f"{label:<24} ours 1 thread {t1 / n * 1e6:6.2f} us, 2 threads {t2 / n * 1e6:6.2f} us "
          f"(x{t1 / t2:4.2f});  photutils {tp / n * 1e6:6.2f} us (x{tp / t1:5.1f}, differs "
          f"{largest(ours.sum, theirs):.1e});  sep {ts / n * 1e6:6.2f} us (x{ts / t1:5.1f}, "
          f"differs {largest(ours.sum, sep_sum):.1e})")
    data = f"{SIDE}^2 float64 image"
    record.add(f"circles-{n}-r{r}-photutils", label, data, ("aperture_sums, 1 thread", t1 / n),
               ("photutils exact", tp / n), unit="us/source",
               note=f"largest relative difference {largest(ours.sum, theirs):.1e}")
    record.add(f"circles-{n}-r{r}-sep", label, data, ("aperture_sums, 1 thread", t1 / n),
               ("sep subpix=0", ts / n), unit="us/source",
               note=f"largest relative difference {largest(ours.sum, sep_sum):.1e}")
    record.add(f"circles-{n}-r{r}-threads", label, data, ("aperture_sums, 2 threads", t2 / n),
               ("aperture_sums, 1 thread", t1 / n), unit="us/source")


def run_ellipses(image, grid, n, record, rng, repeats):
    import sep
    from photutils.aperture import EllipticalAperture
    c = rng.uniform(10, SIDE - 10, (n, 2))
    # One size and angle for all, so that photutils measures them in one call.
    a, b, th = 6.0, 3.0, 0.6
    cat = Ellipses(c, (a, b), th)
    t1, ours = timed(lambda: zolvin.aperture_sums(image, grid, cat, n_threads=1), repeats)
    tp, theirs = timed(lambda: photutils_sums(image, EllipticalAperture(c, a, b, theta=th)),
                       1 if n > 20000 else 3)
    ts, (sep_sum, _, _) = timed(lambda: sep.sum_ellipse(image, c[:, 0], c[:, 1], a, b, th, 1.0,
                                                        subpix=0), repeats)
    label = f"{n} ellipses"
    print(f"{label:<24} ours {t1 / n * 1e6:6.2f} us;  photutils {tp / n * 1e6:6.2f} us "
          f"(x{tp / t1:5.1f}, differs {largest(ours.sum, theirs):.1e});  sep "
          f"{ts / n * 1e6:6.2f} us (x{ts / t1:5.1f}, differs {largest(ours.sum, sep_sum):.1e})")
    data = f"{SIDE}^2 float64 image, semi-axes 6 and 3 at 0.6 rad"
    record.add("ellipses-photutils", label, data, ("aperture_sums, 1 thread", t1 / n),
               ("photutils exact", tp / n), unit="us/source",
               note=f"largest relative difference {largest(ours.sum, theirs):.1e}")
    record.add("ellipses-sep", label, data, ("aperture_sums, 1 thread", t1 / n),
               ("sep subpix=0", ts / n), unit="us/source",
               note=f"largest relative difference {largest(ours.sum, sep_sum):.1e}")


def run_hexagons(image, grid, n, record, rng, repeats):
    from photutils.aperture import PolygonAperture
    c = rng.uniform(10, SIDE - 10, (n, 2))
    t = np.arange(6) * math.pi / 3
    hexes = c[:, None, :] + 5 * np.stack([np.cos(t), np.sin(t)], axis=1)[None]
    cat = Polygons(hexes)
    t1, ours = timed(lambda: zolvin.aperture_sums(image, grid, cat, n_threads=1), repeats)
    m = min(n, 2000)
    offsets = hexes[0] - c[0]
    tp, theirs = timed(lambda: photutils_sums(image, PolygonAperture(c[:m], offsets)), 1)
    tp *= n / m
    label = f"{n} hexagons"
    print(f"{label:<24} ours {t1 / n * 1e6:6.2f} us;  photutils PolygonAperture "
          f"{tp / n * 1e6:8.1f} us (x{tp / t1:6.0f}, differs {largest(ours.sum[:m], theirs):.1e})")
    record.add("hexagons-photutils", label, f"{SIDE}^2 float64 image, circumradius 5",
               ("aperture_sums, 1 thread", t1 / n),
               (f"photutils PolygonAperture ({m} timed)", tp / n), unit="us/source",
               note=f"largest relative difference {largest(ours.sum[:m], theirs):.1e}")


def sip_wcs():
    from astropy.wcs import WCS, Sip
    w = WCS(naxis=2)
    w.wcs.ctype = ["RA---TAN-SIP", "DEC--TAN-SIP"]
    w.wcs.crval, w.wcs.crpix = [150.1, 2.2], [SIDE / 2 + 0.5, SIDE / 2 + 0.5]
    t = math.radians(20)
    w.wcs.cd = 0.11 / 3600 * np.array([[-math.cos(t), math.sin(t)], [math.sin(t), math.cos(t)]])
    a, b = np.zeros((4, 4)), np.zeros((4, 4))
    a[2, 0], a[1, 1], a[0, 2], b[2, 0], b[1, 1], b[0, 2] = 4e-7, -2e-7, 1e-7, -1e-7, 3e-7, 2e-7
    w.sip = Sip(a, b, None, None, w.wcs.crpix)
    w.wcs.set()
    return w


def run_sky(image, n, record, rng, repeats):
    from astropy import units as u
    from astropy.coordinates import SkyCoord
    from photutils.aperture import SkyCircularAperture
    from zolvin.shapes import SkyDiscs
    w = sip_wcs()
    xy = rng.uniform(20, SIDE - 20, (n, 2))
    lon, lat = w.pixel_to_world_values(xy[:, 0], xy[:, 1])
    cat = SkyDiscs(np.column_stack([lon, lat]), 1.2)
    ts, ours = timed(lambda: zolvin.sky_aperture_sums(image, w, cat, n_threads=1), repeats)
    square = Discs(xy, 1.2 / 0.11)
    grid = zolvin.Grid(image.shape)
    tg, _ = timed(lambda: zolvin.aperture_sums(image, grid, square, n_threads=1), repeats)
    m = min(n, 2000)
    ap = SkyCircularAperture(SkyCoord(lon[:m], lat[:m], unit="deg"), 1.2 * u.arcsec)
    photometry = __import__("photutils.aperture").aperture.aperture_photometry
    photometry(image, ap[:10], wcs=w, method="exact")  # warm up, as the other rows
    tp, table = timed(lambda: photometry(image, ap, wcs=w, method="exact"), 3)
    tp *= n / m
    theirs = np.asarray(table["aperture_sum"], float)
    label = f"{n} sky discs 1.2\""
    print(f"{label:<24} ours {ts / n * 1e6:6.2f} us (square pixels {tg / n * 1e6:6.2f} us, "
          f"x{ts / tg:4.2f});  photutils SkyCircularAperture {tp / n * 1e6:7.1f} us "
          f"(x{tp / ts:5.1f}, differs {largest(ours.sum[:m], theirs):.1e})")
    data = f"{SIDE}^2 float64 image, TAN-SIP, 0.11 arcsec pixels"
    record.add("sky-discs-square", label, data, ("sky_aperture_sums, 1 thread", ts / n),
               ("aperture_sums on the square grid, 1 thread", tg / n), unit="us/source",
               note="target: at most 2x the square grid's time")
    record.add("sky-discs-photutils", label, data, ("sky_aperture_sums, 1 thread", ts / n),
               (f"photutils SkyCircularAperture ({m} timed)", tp / n), unit="us/source",
               note=f"largest relative difference {largest(ours.sum[:m], theirs):.1e} "
                    f"(one local Jacobian per source)")


def run_sky_pixels(record, rng, repeats):
    import time

    from astropy import units as u
    from astropy.coordinates import SkyCoord
    from photutils.aperture import SkyCircularAperture, aperture_photometry
    from zolvin.coverage.many import pixel_index
    w = sip_wcs()
    side = 2048
    w.wcs.crpix = [side / 2 + 0.5, side / 2 + 0.5]
    w.sip.crpix[:] = w.wcs.crpix  # the distortion about the new reference pixel
    w.wcs.set()
    image = rng.uniform(0, 1, (side, side))
    pixels = zolvin.Pixels.from_wcs(w, image.shape)
    start = time.perf_counter()
    pixel_index(pixels)
    build = time.perf_counter() - start
    lon, lat = w.pixel_to_world_values(900.3, 1100.7)
    x, y = TangentPlane(w, image.shape).project([lon], [lat])
    disc = Discs(np.column_stack([x, y]), 12.0)
    t1, ours = timed(lambda: zolvin.aperture_sums(image, pixels, disc, n_threads=1), repeats)
    ap = SkyCircularAperture(SkyCoord(lon, lat, unit="deg"), 12 * u.arcsec)
    aperture_photometry(image, ap, wcs=w, method="exact")  # warm up
    tp, table = timed(lambda: aperture_photometry(image, ap, wcs=w, method="exact"), repeats)
    diff = largest(ours.sum, np.asarray(table["aperture_sum"], float))
    label = "one 12\" disc, sky Pixels"
    print(f"{label:<24} ours {t1 * 1e3:7.2f} ms (index built once in {build * 1e3:.0f} ms);  "
          f"photutils SkyCircularAperture {tp * 1e3:7.2f} ms (x{tp / t1:5.2f}, differs {diff:.1e})")
    record.add("sky-pixels-disc-photutils", label,
               f"{side}^2 TAN-SIP Pixels.from_wcs, 0.11 arcsec pixels", ("aperture_sums", t1),
               ("photutils SkyCircularAperture", tp), unit="ms",
               note=f"the Pixels' index built once in {build * 1e3:.0f} ms; largest relative "
                    f"difference {diff:.1e} (one local Jacobian)")


def main():
    sky_only = "--sky" in sys.argv
    if sky_only:
        sys.argv.remove("--sky")
    record = recording(__file__, TITLE)
    scale = scale_arg()
    rng = np.random.default_rng(0)
    image = rng.uniform(0, 1, (SIDE, SIDE))
    grid = zolvin.Grid(image.shape)
    repeats = 5
    if not sky_only:
        run_circles(image, grid, int(10_000 * scale), 4, record, rng, repeats)
        run_circles(image, grid, int(100_000 * scale), 6, record, rng, repeats)
        run_ellipses(image, grid, int(10_000 * scale), record, rng, repeats)
        run_hexagons(image, grid, int(10_000 * scale), record, rng, repeats)
    run_sky(image, int(10_000 * scale), record, rng, repeats)
    run_sky_pixels(record, rng, repeats)
    record.write()


if __name__ == "__main__":
    main()
