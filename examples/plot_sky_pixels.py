"""Pixel areas of a sky image with SIP distortion.

    python examples/plot_sky_pixels.py [OUT.png]

Pixels.from_wcs puts every pixel of a distorted image on the tangent plane
with its own Jacobian: the left panel is each pixel's area in square
arcseconds, the right one a 12 arcsecond circle on the sky covered through
those pixels.
"""
import math
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np
import zolvin
from astropy.wcs import WCS, Sip


def distorted_wcs():
    w = WCS(naxis=2)
    w.wcs.ctype = ["RA---TAN-SIP", "DEC--TAN-SIP"]
    w.wcs.crval, w.wcs.crpix = [150.1, 2.2], [118.5, 130.5]
    t = math.radians(20)
    w.wcs.cd = 0.2 / 3600 * np.array([[-math.cos(t), math.sin(t)], [math.sin(t), math.cos(t)]])
    a, b = np.zeros((4, 4)), np.zeros((4, 4))
    a[2, 0], a[1, 1], a[0, 2] = 6e-5, -3e-5, 4e-5
    b[2, 0], b[1, 1], b[0, 2] = -3e-5, 7e-5, 3e-5
    w.sip = Sip(a, b, None, None, w.wcs.crpix)
    w.wcs.set()
    return w


def main(out):
    pixels = zolvin.Pixels.from_wcs(distorted_wcs(), (256, 240))
    area = np.abs(pixels.dxdu * pixels.dydv - pixels.dxdv * pixels.dydu)
    disc = zolvin.enclosed_circle(pixels, (-6.0, 9.0), 12.0)
    fig, axes = plt.subplots(1, 2, figsize=(10, 4.4))
    im = axes[0].imshow(area, origin="lower", cmap="magma")
    fig.colorbar(im, ax=axes[0], label="pixel area (arcsec$^2$)")
    axes[0].set_title("per-pixel area")
    im = axes[1].imshow(disc, origin="lower", cmap="viridis")
    fig.colorbar(im, ax=axes[1], label="fraction inside")
    axes[1].set_title(f"circle on the sky: {float((disc * area).sum()):.3f} arcsec$^2$")
    for ax in axes:
        ax.set_xlabel("column")
        ax.set_ylabel("row")
    fig.tight_layout()
    fig.savefig(out, dpi=100)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "sky_pixels.png")
