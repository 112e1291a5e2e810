"""Sheared pixels covered by a circle.

    python examples/plot_sheared_grid.py [OUT.png]

A 10 x 10 grid whose pixels share the Jacobian [[0.5, 0.2], [0, 0.5]]: each
pixel is a parallelogram, drawn with the fraction of it inside the circle.
"""
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np
import zolvin
from matplotlib.collections import PolyCollection


def main(out):
    jac = np.array([[0.5, 0.2], [0.0, 0.5]])
    grid = zolvin.Grid((10, 10), origin=(-3.2, -2.25), jac=jac)
    center, radius = (0.1, 0.2), 1.7
    frac = zolvin.enclosed_circle(grid, center, radius)
    pixels = grid.pixels()
    c = np.stack([pixels.x, pixels.y], -1).reshape(-1, 2)
    du, dv = jac[:, 0] / 2, jac[:, 1] / 2
    quads = np.stack([c - du - dv, c + du - dv, c + du + dv, c - du + dv], 1)
    fig, ax = plt.subplots(figsize=(5.5, 4.5))
    cells = PolyCollection(quads, array=frac.ravel(), cmap="viridis", edgecolors="white",
                           linewidths=0.5)
    ax.add_collection(cells)
    t = np.linspace(0, 2 * np.pi, 400)
    ax.plot(center[0] + radius * np.cos(t), center[1] + radius * np.sin(t), color="red", lw=1)
    ax.set_aspect("equal")
    ax.autoscale_view()
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    fig.colorbar(cells, ax=ax, label="fraction inside")
    ax.set_title("enclosed_circle on a sheared Grid")
    fig.tight_layout()
    fig.savefig(out, dpi=110)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "sheared_grid.png")
