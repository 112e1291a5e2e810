"""What the gallery scripts share: a distorted sky image's WCS, pixels drawn
as the parallelograms they are, and how a figure of image panels is finished.
"""
import math

import numpy as np
from astropy.wcs import WCS, Sip
from matplotlib.collections import PolyCollection


def sip_wcs(crpix, scale, a, b, order=None):
    """A TAN-SIP WCS at (150.1, 2.2) degrees, its pixel axes turned 20
    degrees, ``scale`` arcseconds per pixel at ``crpix``; ``a`` and ``b`` are
    the SIP terms as {(p, q): coefficient of u^p v^q}, of ``order`` (by
    default the highest term's)."""
    w = WCS(naxis=2)
    w.wcs.ctype = ["RA---TAN-SIP", "DEC--TAN-SIP"]
    w.wcs.crval, w.wcs.crpix = [150.1, 2.2], list(crpix)
    t = math.radians(20)
    w.wcs.cd = scale / 3600 * np.array([[-math.cos(t), math.sin(t)], [math.sin(t), math.cos(t)]])
    order = order or max(p + q for p, q in (*a, *b))
    sip_a, sip_b = np.zeros((order + 1, order + 1)), np.zeros((order + 1, order + 1))
    for terms, array in ((a, sip_a), (b, sip_b)):
        for (p, q), value in terms.items():
            array[p, q] = value
    w.sip = Sip(sip_a, sip_b, None, None, w.wcs.crpix)
    w.wcs.set()
    return w


def pixel_cells(ax, grid, frac, linewidths):
    """Draws a grid's pixels as parallelograms coloured by ``frac``."""
    pixels = grid.pixels()
    jac = np.asarray(grid.jac)
    c = np.stack([pixels.x, pixels.y], -1).reshape(-1, 2)
    du, dv = jac[:, 0] / 2, jac[:, 1] / 2
    quads = np.stack([c - du - dv, c + du - dv, c + du + dv, c - du + dv], 1)
    cells = PolyCollection(quads, array=np.ravel(frac), cmap="viridis", edgecolors="white",
                           linewidths=linewidths)
    ax.add_collection(cells)
    return cells


def finish_plane(fig, ax, cells, title, out):
    """Plane axes at equal scale, the fraction's colour bar, and the file."""
    ax.set_aspect("equal")
    ax.autoscale_view()
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    fig.colorbar(cells, ax=ax, label="fraction inside")
    ax.set_title(title)
    fig.tight_layout()
    fig.savefig(out, dpi=110)


def label_pixel_axes(*axes):
    """Column and row on image panels."""
    for ax in axes:
        ax.set_xlabel("column")
        ax.set_ylabel("row")
