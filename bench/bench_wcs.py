"""Pixels.from_wcs beside astropy's pixel_to_world_values alone, over one image.

    python bench/bench_wcs.py [SIZE] [--record[=DIR]]   (image SIZE x SIZE, default 2048)

astropy's time is only the sky positions of every pixel (its own pixel grid
made beforehand); ours is the whole Pixels: centres on the tangent plane and
four Jacobian entries per pixel, plus its index arrays. 0.2 arcsec pixels,
turned by 20 degrees; SIP of order 4 and TPV of order 3 with distortions of
a few pixels at the corners; "other center" puts the tangent point 30
arcseconds from CRVAL; "lookup tables" adds two cpdis tables and a det2im
one (nodes every 64 pixels) to the SIP terms. Ratios below 1 mean we are
faster.
"""
import math
import sys
import warnings

import numpy as np
import zolvin
from astropy.io import fits
from astropy.wcs import WCS, DistortionLookupTable, Sip
from common import recording, timed
from zolvin.pixels.wcs import TangentPlane

SCALE = 0.2 / 3600  # degrees per pixel


def header(size, code):
    t = math.radians(20)
    h = fits.Header()
    h["NAXIS"], h["NAXIS1"], h["NAXIS2"] = 2, size, size
    h["CTYPE1"], h["CTYPE2"] = f"RA---{code}", f"DEC--{code}"
    h["CRVAL1"], h["CRVAL2"] = 150.1, 2.2
    h["CRPIX1"], h["CRPIX2"] = size / 2 + 0.5, size / 2 + 0.5
    h["CD1_1"], h["CD1_2"] = -SCALE * math.cos(t), SCALE * math.sin(t)
    h["CD2_1"], h["CD2_2"] = SCALE * math.sin(t), SCALE * math.cos(t)
    return h


def lookup_table(size, turn):
    """Smooth offsets of up to 0.1 pixel, nodes every 64 pixels."""
    n = size // 64 + 2
    i, j = np.mgrid[:n, :n]
    table = 0.1 * np.sin(i / 5 + turn) * np.cos(j / 7 - turn)
    return DistortionLookupTable(table.astype(np.float32), (1.0, 1.0), (0.0, 0.0), (64.0, 64.0))


def make(size, kind):
    code = kind if kind in ("TPV", "SIN") else "TAN"
    h = header(size, code)
    if kind == "TPV":
        # Scaled to the field: x and y reach about 0.057 degrees at the corners.
        for k, v in {"PV1_1": 1.0, "PV1_4": 2e-3, "PV1_5": -1e-3, "PV1_7": 0.05, "PV1_9": 0.03,
                     "PV2_1": 1.0, "PV2_4": 1e-3, "PV2_6": 2e-3, "PV2_8": 0.04,
                     "PV2_10": -0.02}.items():
            h[k] = v
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        w = WCS(h)
    if "SIP" in kind:
        n = size / 2  # the polynomial's offsets reach n pixels
        a, b = np.zeros((5, 5)), np.zeros((5, 5))
        a[2, 0], a[1, 1], a[0, 2], a[3, 0], a[1, 2], a[4, 0] = 1.0, -0.5, 0.7, 0.3, -0.2, 0.05
        b[2, 0], b[1, 1], b[0, 2], b[0, 3], b[2, 1], b[2, 2] = -0.5, 1.1, 0.5, 0.2, 0.1, 0.04
        for coeffs in (a, b):
            for p in range(5):
                for q in range(5):
                    coeffs[p, q] *= 2.0 / n ** (p + q - 1)  # about 2 pixels at the corner each
        w.wcs.ctype = ["RA---TAN-SIP", "DEC--TAN-SIP"]
        w.sip = Sip(a, b, None, None, w.wcs.crpix)
    if "tables" in kind:
        w.cpdis1, w.cpdis2, w.det2im1 = (lookup_table(size, t) for t in (0.1, 0.9, 1.7))
    w.wcs.set()
    return w


TITLE = "Sky pixels from a WCS: Pixels.from_wcs beside astropy"


def main(size, record):
    print(f"Pixels.from_wcs on {size} x {size} against astropy pixel_to_world_values "
          "(medians of 5; ratio = ours / astropy)")
    y, x = (a.astype(float) for a in np.mgrid[:size, :size])
    for kind in ("TAN", "TAN-SIP", "TPV", "TAN, other center", "TAN-SIP, other center",
                 "TAN-SIP, lookup tables", "SIN"):
        w = make(size, kind)
        center = None
        if "other" in kind:
            center = (150.1 + 30 / 3600, 2.2 - 20 / 3600)
        theirs, _ = timed(lambda: w.pixel_to_world_values(x, y))
        ours, pixels = timed(lambda: zolvin.Pixels.from_wcs(w, (size, size), center=center))
        how = TangentPlane(w, (size, size), center=center).method
        print(f"{kind:<24} ours {ours * 1e3:8.1f} ms ({how:>8})   astropy {theirs * 1e3:8.1f} ms"
              f"   ratio {ours / theirs:5.2f}")
        record.add(kind.lower().replace(", ", "-").replace(" ", "-"),
                   f"`Pixels.from_wcs`, {kind} ({how} Jacobians)", f"{size}^2 image",
                   ("zolvin", ours), ("astropy `pixel_to_world_values` alone", theirs))
        del pixels
    record.write()


if __name__ == "__main__":
    rec = recording(__file__, TITLE)
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 2048, rec)
