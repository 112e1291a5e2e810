"""Pixel areas of a sky image with SIP distortion.

    python examples/plot_sky_pixels.py [OUT.png]

Pixels.from_wcs puts every pixel of a distorted image on the tangent plane
with its own Jacobian: the left panel is each pixel's area in square
arcseconds, the right one a 12 arcsecond circle on the sky covered through
those pixels.
"""
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np
import zolvin
from _figures import label_pixel_axes, sip_wcs


def distorted_wcs():
    return sip_wcs((118.5, 130.5), 0.2, {(2, 0): 6e-5, (1, 1): -3e-5, (0, 2): 4e-5},
                   {(2, 0): -3e-5, (1, 1): 7e-5, (0, 2): 3e-5}, order=3)


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
    label_pixel_axes(*axes)
    fig.tight_layout()
    fig.savefig(out, dpi=100)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "sky_pixels.png")
