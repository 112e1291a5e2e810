"""Catalog photometry on a sky image with SIP distortion.

    python examples/plot_photometry.py [OUT.png]

Sixty stars of a synthetic field, measured with 1 arcsecond sky discs by
zolvin.sky_aperture_sums (each pixel its own parallelogram on the tangent
plane, the WCS evaluated around the sources only). Left: the image and the
apertures; right: the measured sums against the fluxes put in.
"""
import math
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np
import zolvin
from _figures import label_pixel_axes, sip_wcs
from matplotlib.patches import Circle
from zolvin.shapes import SkyDiscs


def distorted_wcs():
    return sip_wcs((128.5, 120.5), 0.11, {(2, 0): 4e-6, (1, 1): -2e-6}, {(0, 2): 3e-6, (1, 1): 2e-6})


def star_field(shape, n, rng, sigma=1.6):
    """Gaussian stars on a flat sky, and their fluxes."""
    x, y = rng.uniform(8, shape[1] - 8, n), rng.uniform(8, shape[0] - 8, n)
    flux = rng.uniform(200, 2000, n)
    rows, cols = np.mgrid[0:shape[0], 0:shape[1]]
    image = np.full(shape, 1.0)
    for xi, yi, fi in zip(x, y, flux):
        r2 = (cols - xi) ** 2 + (rows - yi) ** 2
        image += fi / (2 * math.pi * sigma**2) * np.exp(-r2 / (2 * sigma**2))
    return image, x, y, flux


def main(out):
    w = distorted_wcs()
    shape = (240, 256)
    image, x, y, flux = star_field(shape, 60, np.random.default_rng(1))
    lon, lat = w.pixel_to_world_values(x, y)
    sums = zolvin.sky_aperture_sums(image, w, SkyDiscs(np.column_stack([lon, lat]), 1.0))
    net = sums.sum - 1.0 * sums.area / 0.11**2  # the sky: 1 per pixel of 0.11" square
    fig, axes = plt.subplots(1, 2, figsize=(10, 4.4))
    axes[0].imshow(np.log10(image), origin="lower", cmap="gray")
    for xi, yi in zip(x, y):
        axes[0].add_patch(Circle((xi, yi), 1.0 / 0.11, fill=False, color="orange", lw=0.6))
    axes[0].set_title("1 arcsec sky discs")
    label_pixel_axes(axes[0])
    axes[1].plot([0, 2000], [0, 2000], color="gray", lw=0.8)
    axes[1].scatter(flux, net, s=8)
    axes[1].set_xlabel("flux put in")
    axes[1].set_ylabel("sum minus sky")
    axes[1].set_title("sums: blended stars lie above the line")
    fig.tight_layout()
    fig.savefig(out, dpi=100)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "photometry.png")
